#include "common/vocabulary.h"

#include <algorithm>

namespace nuvra {

WordSet::WordSet(std::initializer_list<std::string_view> words) : words_(words) {
  std::sort(words_.begin(), words_.end());
}

bool WordSet::isMember(std::string_view word) const noexcept {
  return std::binary_search(words_.begin(), words_.end(), word);
}

// The word lists are kept packed, several to a line.
// clang-format off
const WordSet operationNames{{
    "connect", "finish", "status", "repair", "logout", "capture", "recall", "hello", "shutdown",
    "turn_prompt", "startup", "worker", "mcp",
}};

const WordSet evidenceStages{{
    "protected_input", "state_binding", "credential_witness", "signing_key_read",
    "signing_key_validate", "exchange_prepare", "exchange_journal", "exchange_http",
    "exchange_response_validate", "browser_result_accept", "final_signing_write_readback",
    "final_refresh_write_readback", "manifest_publish", "commit_journal_publish",
    "retired_key_cleanup", "access_result_construct", "browser_pending_retire",
    "pending_journal_retire", "lock_lease_release", "worker_cleanup", "request_cleanup",
    "native_end", "evidence_association", "public_projection", "terminal_observation",
    "local_preparation", "local_acceptance", "startup", "framing", "admission", "terminal",
    "unknown",
}};

const WordSet terminalReasons{{
    "access_invalid", "account_interaction_required", "account_state_conflict",
    "authentication_deadline_refused", "authority_mismatch", "authorization_origin_mismatch",
    "authorization_refused", "authorization_url_invalid", "bad_request_shape",
    "bootstrap_self_pin_refused", "broker_cold_start", "broker_deadline_refused",
    "broker_frame_invalid", "broker_native_exchange_timeout", "broker_native_exited",
    "broker_native_frame_invalid", "broker_native_identity_refused",
    "broker_native_protocol_refused", "broker_native_transport_failed", "broker_outcome_unknown",
    "broker_response_invalid", "broker_runtime_incompatible", "broker_start_cooldown",
    "broker_unavailable", "callback_cancelled", "cipher_failed", "code_consumed", "code_expired",
    "code_invalid", "credential_delete_failed", "credential_read_failed",
    "credential_readback_failed", "credential_target_refused", "credential_write_failed",
    "deadline_expired", "device_label_invalid", "internal_error", "issuer_failed",
    "journal_invalid", "journal_secret_refused", "manifest_invalid", "manifest_path_invalid",
    "mcp_frame_invalid", "memory_account_provider_failed", "memory_body_read_failed",
    "memory_http_failed", "memory_request_build_failed", "native_admission_digest",
    "native_child_exited", "native_child_signalled", "native_frame_empty",
    "native_frame_encoding", "native_frame_header_truncated", "native_frame_length_invalid",
    "native_frame_non_json", "native_frame_noncanonical", "native_frame_oversized",
    "native_frame_trailing", "native_frame_truncated", "native_pipe_closed",
    "native_request_invalid", "native_response_binding_mismatch",
    "native_response_request_id_mismatch", "native_transport_timeout", "native_work_expired",
    "none", "origin_invalid", "pending_code_mismatch", "pending_secret_changed",
    "pending_secret_readback_failed", "profile_account_control_eof", "profile_account_exited",
    "profile_account_unavailable", "profile_cleanup_uncertain",
    "profile_diagnostic_cleanup_uncertain", "profile_startup_timeout", "profile_work_ended",
    "profile_work_owner_required", "protected_input_invalid", "protected_input_required",
    "protected_input_timeout", "public_key_invalid", "redirect_refused", "refresh_ambiguous",
    "refresh_invalid", "release_account_mismatch", "remote_ambiguous", "request_id_invalid",
    "request_refused", "response_invalid", "result_invalid", "result_stage_ambiguous",
    "runtime_configuration_required", "runtime_launch_refused", "runtime_missing",
    "runtime_setup_unconfirmed", "runtime_startup_refused", "runtime_startup_timeout",
    "signing_key_invalid", "start_expiry_invalid", "start_response_invalid", "state_changed",
    "state_invalid", "state_path_refused", "state_write_failed", "store_refused",
    "terminal_consumed", "terminal_end_required", "terminal_expired", "terminal_invalid",
    "terminal_owner_refused", "terminal_unavailable", "transaction_missing_or_expired",
    "transaction_pending", "transaction_scope_invalid", "transaction_state",
    "transport_unavailable", "unexpected_acceptance", "unexpected_access_result_construct",
    "unexpected_browser_pending_retire", "unexpected_browser_result_accept",
    "unexpected_commit_journal_publish", "unexpected_credential_witness",
    "unexpected_evidence_association", "unexpected_exchange_http", "unexpected_exchange_journal",
    "unexpected_exchange_prepare", "unexpected_exchange_response_validate",
    "unexpected_final_refresh_write_readback", "unexpected_final_signing_write_readback",
    "unexpected_lock_lease_release", "unexpected_manifest_publish", "unexpected_native_end",
    "unexpected_pending_journal_retire", "unexpected_protected_input",
    "unexpected_public_projection", "unexpected_request_cleanup",
    "unexpected_retired_key_cleanup", "unexpected_signing_key_read",
    "unexpected_signing_key_validate", "unexpected_state_binding",
    "unexpected_terminal_observation", "unexpected_worker_cleanup", "value_invalid",
    "worker_input_invalid",
}};

const WordSet outcomeStates{{
    "unknown", "pending", "ambiguous", "failed", "refused", "unavailable", "runtime_invalid",
    "runtime_missing", "runtime_configuration_required", "arguments_invalid", "sign_in_required",
    "session_present", "connected", "signed_out", "approval_required", "manual_required",
    "platform_unavailable", "release_account_mismatch", "cancelled", "skipped", "saved",
    "recalled", "session_released", "capture_unconfirmed", "recall_unavailable",
    "recall_unverified", "timeout",
}};
// clang-format on

}  // namespace nuvra
