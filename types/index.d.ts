// Type declarations of nuvra_profile_startup.node, the 40 functions in the
// order the addon registers them.
//
// Every failure reaches JavaScript as a thrown Error, or a rejected promise,
// whose `message` is a ReasonCode and whose `code` is unset (publishResident
// also sets `code` on a synchronous failure). Two failures keep another
// message: malformed JSON text surfaces as the engine's own parse error, and
// a decimal above the 64-bit range as "stoull argument out of range".
//
// The word sets below are the addon's own (src/common/vocabulary.cc); a test
// of the test command compares them, and ReasonCode with every code the
// sources throw.

/// <reference types="node" />

/** The words `newTerminalOperation` accepts as an operation. */
export type OperationName =
  | "connect" | "finish" | "status" | "repair" | "logout" | "capture" | "recall" | "hello"
  | "shutdown" | "turn_prompt" | "startup" | "worker" | "mcp";

/** The stage names of client evidence and of terminal operations. */
export type EvidenceStage =
  | "protected_input" | "state_binding" | "credential_witness" | "signing_key_read"
  | "signing_key_validate" | "exchange_prepare" | "exchange_journal" | "exchange_http"
  | "exchange_response_validate" | "browser_result_accept" | "final_signing_write_readback"
  | "final_refresh_write_readback" | "manifest_publish" | "commit_journal_publish"
  | "retired_key_cleanup" | "access_result_construct" | "browser_pending_retire"
  | "pending_journal_retire" | "lock_lease_release" | "worker_cleanup" | "request_cleanup"
  | "native_end" | "evidence_association" | "public_projection" | "terminal_observation"
  | "local_preparation" | "local_acceptance" | "startup" | "framing" | "admission" | "terminal"
  | "unknown";

/** The reasons a terminal record may carry. */
export type TerminalReason =
  | "access_invalid" | "account_interaction_required" | "account_state_conflict"
  | "authentication_deadline_refused" | "authority_mismatch" | "authorization_origin_mismatch"
  | "authorization_refused" | "authorization_url_invalid" | "bad_request_shape"
  | "bootstrap_self_pin_refused" | "broker_cold_start" | "broker_deadline_refused"
  | "broker_frame_invalid" | "broker_native_exchange_timeout" | "broker_native_exited"
  | "broker_native_frame_invalid" | "broker_native_identity_refused"
  | "broker_native_protocol_refused" | "broker_native_transport_failed" | "broker_outcome_unknown"
  | "broker_response_invalid" | "broker_runtime_incompatible" | "broker_start_cooldown"
  | "broker_unavailable" | "callback_cancelled" | "cipher_failed" | "code_consumed"
  | "code_expired" | "code_invalid" | "credential_delete_failed" | "credential_read_failed"
  | "credential_readback_failed" | "credential_target_refused" | "credential_write_failed"
  | "deadline_expired" | "device_label_invalid" | "internal_error" | "issuer_failed"
  | "journal_invalid" | "journal_secret_refused" | "manifest_invalid" | "manifest_path_invalid"
  | "mcp_frame_invalid" | "memory_account_provider_failed" | "memory_body_read_failed"
  | "memory_http_failed" | "memory_request_build_failed" | "native_admission_digest"
  | "native_child_exited" | "native_child_signalled" | "native_frame_empty"
  | "native_frame_encoding" | "native_frame_header_truncated" | "native_frame_length_invalid"
  | "native_frame_non_json" | "native_frame_noncanonical" | "native_frame_oversized"
  | "native_frame_trailing" | "native_frame_truncated" | "native_pipe_closed"
  | "native_request_invalid" | "native_response_binding_mismatch"
  | "native_response_request_id_mismatch" | "native_transport_timeout" | "native_work_expired"
  | "none" | "origin_invalid" | "pending_code_mismatch" | "pending_secret_changed"
  | "pending_secret_readback_failed" | "profile_account_control_eof" | "profile_account_exited"
  | "profile_account_unavailable" | "profile_cleanup_uncertain"
  | "profile_diagnostic_cleanup_uncertain" | "profile_startup_timeout" | "profile_work_ended"
  | "profile_work_owner_required" | "protected_input_invalid" | "protected_input_required"
  | "protected_input_timeout" | "public_key_invalid" | "redirect_refused" | "refresh_ambiguous"
  | "refresh_invalid" | "release_account_mismatch" | "remote_ambiguous" | "request_id_invalid"
  | "request_refused" | "response_invalid" | "result_invalid" | "result_stage_ambiguous"
  | "runtime_configuration_required" | "runtime_launch_refused" | "runtime_missing"
  | "runtime_setup_unconfirmed" | "runtime_startup_refused" | "runtime_startup_timeout"
  | "signing_key_invalid" | "start_expiry_invalid" | "start_response_invalid" | "state_changed"
  | "state_invalid" | "state_path_refused" | "state_write_failed" | "store_refused"
  | "terminal_consumed" | "terminal_end_required" | "terminal_expired" | "terminal_invalid"
  | "terminal_owner_refused" | "terminal_unavailable" | "transaction_missing_or_expired"
  | "transaction_pending" | "transaction_scope_invalid" | "transaction_state"
  | "transport_unavailable" | "unexpected_acceptance" | "unexpected_access_result_construct"
  | "unexpected_browser_pending_retire" | "unexpected_browser_result_accept"
  | "unexpected_commit_journal_publish" | "unexpected_credential_witness"
  | "unexpected_evidence_association" | "unexpected_exchange_http" | "unexpected_exchange_journal"
  | "unexpected_exchange_prepare" | "unexpected_exchange_response_validate"
  | "unexpected_final_refresh_write_readback" | "unexpected_final_signing_write_readback"
  | "unexpected_lock_lease_release" | "unexpected_manifest_publish" | "unexpected_native_end"
  | "unexpected_pending_journal_retire" | "unexpected_protected_input"
  | "unexpected_public_projection" | "unexpected_request_cleanup"
  | "unexpected_retired_key_cleanup" | "unexpected_signing_key_read"
  | "unexpected_signing_key_validate" | "unexpected_state_binding"
  | "unexpected_terminal_observation" | "unexpected_worker_cleanup" | "value_invalid"
  | "worker_input_invalid";

/** The outcome states a terminal record may carry. */
export type OutcomeState =
  | "unknown" | "pending" | "ambiguous" | "failed" | "refused" | "unavailable" | "runtime_invalid"
  | "runtime_missing" | "runtime_configuration_required" | "arguments_invalid" | "sign_in_required"
  | "session_present" | "connected" | "signed_out" | "approval_required" | "manual_required"
  | "platform_unavailable" | "release_account_mismatch" | "cancelled" | "skipped" | "saved"
  | "recalled" | "session_released" | "capture_unconfirmed" | "recall_unavailable"
  | "recall_unverified" | "timeout";

/** The message of every Error the addon throws or rejects with. */
export type ReasonCode =
  | "arguments_invalid" | "broker_endpoint_invalid" | "broker_native_exited"
  | "broker_native_frame_invalid" | "broker_native_peer_refused" | "broker_native_protocol_refused"
  | "broker_native_transport_failed" | "broker_publication_failed"
  | "broker_publication_recovery_required" | "broker_runtime_incompatible"
  | "broker_startup_ceiling_expired" | "child_exit_failed" | "child_not_owned"
  | "child_wait_failed" | "diagnostic_event_busy" | "diagnostic_event_limit"
  | "diagnostic_event_mismatch" | "diagnostic_event_required" | "diagnostic_record_invalid"
  | "diagnostic_stage_invalid" | "diagnostic_stage_required" | "diagnostic_unavailable"
  | "profile_account_busy" | "profile_account_control_eof" | "profile_account_control_frame"
  | "profile_account_control_reply" | "profile_account_control_timeout"
  | "profile_account_control_write" | "profile_account_duplicate" | "profile_account_environment"
  | "profile_account_exited" | "profile_account_handoff" | "profile_account_nonce"
  | "profile_account_not_ready" | "profile_account_pipe" | "profile_account_revoke"
  | "profile_account_sequence" | "profile_account_signal" | "profile_account_startup_required"
  | "profile_account_transfer" | "profile_account_unavailable" | "profile_account_work_owner"
  | "profile_account_work_required" | "profile_account_work_reused" | "profile_arguments"
  | "profile_budget_class" | "profile_budget_required" | "profile_child_attributes"
  | "profile_child_create" | "profile_child_id" | "profile_child_job" | "profile_child_resume"
  | "profile_cleanup_failed" | "profile_cleanup_module" | "profile_cleanup_owner_required"
  | "profile_cleanup_uncertain" | "profile_close_failed" | "profile_command_size"
  | "profile_custody_required" | "profile_diagnostic_cleanup_uncertain"
  | "profile_diagnostic_entropy" | "profile_duplicate" | "profile_environment"
  | "profile_environment_size" | "profile_evidence_role" | "profile_guard"
  | "profile_guard_duplicate" | "profile_guard_links" | "profile_guards" | "profile_handle"
  | "profile_handoff_create" | "profile_handoff_duplicate" | "profile_handoff_map"
  | "profile_handoff_size" | "profile_handoff_unmap" | "profile_hash" | "profile_home_key"
  | "profile_identity" | "profile_inheritance" | "profile_integer" | "profile_lifetime_missing"
  | "profile_mapping" | "profile_mapping_writable" | "profile_marker" | "profile_markers"
  | "profile_native_api" | "profile_native_cancelled" | "profile_native_state"
  | "profile_native_target" | "profile_node_image" | "profile_nul" | "profile_observation_home"
  | "profile_observation_identity" | "profile_observation_image" | "profile_observation_pid"
  | "profile_observation_purpose" | "profile_observation_scope" | "profile_owner"
  | "profile_owner_absent" | "profile_owner_object" | "profile_owner_release"
  | "profile_owner_wait" | "profile_parent" | "profile_parent_image" | "profile_path"
  | "profile_poisoned" | "profile_queue_failed" | "profile_record" | "profile_record_open"
  | "profile_record_read" | "profile_recovery_open" | "profile_recovery_random"
  | "profile_recovery_readback" | "profile_recovery_replace" | "profile_recovery_required"
  | "profile_recovery_security" | "profile_recovery_write" | "profile_resident_clock"
  | "profile_resident_duplicate" | "profile_resident_event" | "profile_resident_handoff_required"
  | "profile_resident_host" | "profile_resident_host_duplicate" | "profile_resident_job"
  | "profile_resident_module" | "profile_resident_nonce" | "profile_resident_parent"
  | "profile_resident_publication_duplicate" | "profile_resident_required"
  | "profile_resident_reservation" | "profile_resident_role" | "profile_resident_security"
  | "profile_resident_thread" | "profile_resident_unavailable"
  | "profile_resident_validation_required" | "profile_resident_work_unsettled" | "profile_schema"
  | "profile_security" | "profile_selection" | "profile_startup_ack" | "profile_startup_job_kind"
  | "profile_startup_purpose" | "profile_startup_timeout" | "profile_string" | "profile_utf16"
  | "profile_utf8" | "profile_work_ended" | "profile_work_fenced" | "profile_work_identity"
  | "profile_work_limit" | "profile_work_open" | "profile_work_required" | "random_failed"
  | "stderr_pipe_failed" | "stdin_event_failed" | "stdin_not_writable" | "stdin_pending"
  | "stdin_pipe_failed" | "stdin_too_large" | "stdin_write_failed" | "stdin_write_incomplete"
  | "stdout_pipe_failed" | "stdout_read_failed" | "terminal_consumed" | "terminal_end_required"
  | "terminal_invalid" | "terminal_owner_refused" | "terminal_unavailable" | "timing_stage_invalid";

/** A work, as `beginWork` resolves it: a decimal string. */
export type WorkId = string;

/** A managed child (or the account worker, or the resident host) by its id. */
export type ChildId = number;

declare const terminalOperationTag: unique symbol;
/** The type-tagged object `newTerminalOperation` returns; opaque. */
export interface TerminalOperation {
  readonly [terminalOperationTag]: true;
}

declare const budgetTokenTag: unique symbol;
/** The single-use external `prepareBrokerBudget` hands out for `beginWork`. */
export interface BudgetToken {
  readonly [budgetTokenTag]: true;
}

export type TimingStage = "resident_first_line" | "worker_first_line" | "preload_first_line";

export type ResidentStage =
  | "worker_prepare" | "worker_ready" | "account_validate" | "account_ready" | "account_end"
  | "host_prepare" | "host_ready" | "publish";

export type WorkRole = "client" | "server" | "unbound_local";

/** The operations of the broker exchange. */
export type BrokerOperation = "capture" | "recall" | "hello" | "turn_prompt" | "status" | "shutdown";

/** A work's operation: none ("-") or a broker operation. */
export type WorkOperation = "-" | BrokerOperation;

export type ServerPhaseName =
  | "admitted" | "account_pending" | "memory_pending" | "account" | "memory" | "terminal";

export type ServerPhaseReason =
  | "none" | "broker_deadline_refused" | "broker_outcome_unknown"
  | "broker_native_protocol_refused" | "broker_native_identity_refused"
  | "broker_native_peer_refused" | "profile_account_unavailable" | "profile_cleanup_uncertain"
  | "profile_diagnostic_cleanup_uncertain" | "account_state_conflict" | "signing_key_invalid"
  | "credential_missing" | "access_refresh_required" | "broker_failed" | "unclassified";

export type IngressStage = "framing" | "admission";
export type IngressOutcome = "started" | "succeeded" | "failed";
export type IngressReason =
  | "none" | "unclassified" | "worker_input_invalid" | "mcp_frame_invalid"
  | "profile_startup_timeout" | "broker_deadline_refused" | "profile_cleanup_uncertain";

/** What `initialize` answers, every value a string. */
export interface StartupResult {
  home: string;
  root: string;
  payload_digest: string;
  generation: string;
  deadline_tick64: string;
  guards: string[];
}

/** The runtime selection facts a passing native target check resolves with. */
export interface RuntimeObject {
  expected_role: "managed_runtime";
  home: string;
  codeRoot: string;
  generation: string;
  payload_digest: string;
  native_sha256: string;
}

export interface IdentityObservation extends RuntimeObject {
  owner_sid_hash: string;
  authentication_id_hash: string;
  windows_session_id: number;
  purpose: "identity";
}

export interface ResidencyObservation extends RuntimeObject {
  broker_scope: "machine" | "harness_session";
  pid: number;
  process_creation_filetime: string;
  image_path_sha256: string;
  purpose: "residency";
}

export interface ChildStarted {
  id: ChildId;
  pid: number;
}

export interface ResidentStatus {
  remaining_ms: number;
  elapsed_ms: number;
}

export interface BrokerBudget {
  token: BudgetToken;
  cold: boolean;
  /** 3000 when cold, 1000 when a live broker is published. */
  budget_ms: number;
  /** Empty when cold, else the endpoint record text. */
  endpoint_json: string;
}

export type ExchangePhase =
  | "never_sent" | "sent" | "received" | "admitted" | "started" | "terminal" | "refused_queue"
  | "refused_arrival";

export interface ExchangeOutcome {
  role: "client";
  owner_work: WorkId;
  server_work: string | null;
  terminal_observed: boolean;
  no_dispatch_proven: true | null;
  dispatch_submitted: boolean;
  last_verified_phase: ExchangePhase;
  operation: string;
  terminal_reason: string | null;
  server_reason: string | null;
  sequence: number;
  account_send_count: number | null;
  memory_send_count: number | null;
  correlation: string;
}

export interface ServerOutcome {
  role: "server";
  owner_work: WorkId;
  server_work: WorkId;
  operation: string;
  correlation: string;
  sequence: number;
  last_verified_phase: string;
  terminal_sealed: boolean;
  counts_complete: boolean;
  account_send_count: number | null;
  memory_send_count: number | null;
  server_reason: string | null;
  logging_status: "unknown" | "unavailable" | "disabled" | "recorded";
}

export interface PollResult {
  /** The bytes read now (possibly none), or false once the stream is closed. */
  stdout: Buffer | false;
  stderr: Buffer | false;
  write_complete: boolean;
  /** Present once the process has exited. */
  exit_code?: number;
}

// 1-4: terminal operations.
export function newTerminalOperation(operation: OperationName, eventId: string): TerminalOperation;
export function prepareTerminal(op: TerminalOperation, work: WorkId, attemptId: string,
                                requestId: string, phase: EvidenceStage): Promise<true>;
export function commitTerminal(op: TerminalOperation, ok: boolean, state: OutcomeState,
                               reason: TerminalReason, phase: EvidenceStage): Promise<true>;
export function closeTerminalOperation(op: TerminalOperation): boolean;
// 5: the startup timing trace.
export function timingCheckpoint(stage: TimingStage): true;
// 6-11: the resident runtime.
/** false when local diagnostics are off. */
export function residentCheckpoint(stage: ResidentStage): Promise<true> | false;
export function endResident(): true;
export function publishResident(endpointRecord: string): Promise<true>;
export function spawnResidentHost(): Promise<ChildStarted>;
export function observeResident(): Promise<ResidencyObservation>;
/** null without a resident. */
export function residentStatus(): ResidentStatus | null;
// 12-15: the account worker.
export function prepareAccountWorker(): Promise<ChildStarted>;
export function readyAccountWorker(): Promise<true>;
export function adoptAccountWorker(work: WorkId): Promise<true>;
export function releaseAccountWorker(work: WorkId): Promise<true>;
// 16: the broker budget.
export function prepareBrokerBudget(operation: BrokerOperation): BrokerBudget;
// 17-18: startup.
export function initialize(): StartupResult;
/** Arguments are ignored. */
export function finishStartup(...ignored: unknown[]): true;
// 19-22: works.
/**
 * Every argument is optional: the budget function (remaining milliseconds;
 * 1000 ms when absent), a diagnostic event token or "-", the role
 * ("unbound_local"), the operation ("-") and a budget token.
 */
export function beginWork(budget?: () => number, eventToken?: string, role?: WorkRole,
                          operation?: WorkOperation, budgetToken?: BudgetToken): Promise<WorkId>;
export function endWork(work: WorkId): Promise<true>;
export function checkWorkBinding(work: WorkId, nativeTarget: string): Promise<RuntimeObject>;
export function observeBroker(work: WorkId, purpose: "identity", nativeTarget: string,
                              home: string, pid: number): Promise<IdentityObservation>;
export function observeBroker(work: WorkId, purpose: "residency", nativeTarget: string,
                              home: string, pid: number): Promise<ResidencyObservation>;
// 23-30: the broker exchange, client and server side.
/** Protocol version 1; resolves with the broker's response bytes. */
export function exchange(work: WorkId, nativeTarget: string, endpointLine: string,
                         request: Buffer, operation: BrokerOperation,
                         requestId: string): Promise<Buffer>;
export function closeClientDispatch(work: WorkId): "closed";
export function serverOutcome(work: WorkId): ServerOutcome;
export function bindServerWork(work: WorkId, requestLine: string): "bound";
export function serverPhase(work: WorkId, phase: ServerPhaseName,
                            reason: ServerPhaseReason): "observed";
/** Protocol version 2: the same arguments, with phase frames recorded on the work. */
export function exchangePhase(work: WorkId, nativeTarget: string, endpointLine: string,
                              request: Buffer, operation: BrokerOperation,
                              requestId: string): Promise<Buffer>;
export function exchangeOutcome(work: WorkId): ExchangeOutcome;
/** Milliseconds left until a client's deadline (a decimal tick). */
export function ingressRemaining(deadline: string): number;
// 31-34: local diagnostics.
/** true at once when the level filters the record out. */
export function appendIngressDiagnostic(eventToken: string, stage: IngressStage,
                                        outcome: IngressOutcome,
                                        reason: IngressReason): Promise<true> | true;
export function closeDiagnosticEvent(eventToken: string): true;
export function appendDiagnostic(work: WorkId, line: string): Promise<true>;
/** The scope is "worker" when absent; answers the event's token. */
export function newDiagnosticEvent(scope?: string): string;
// 35-40: managed children.
export function spawnAsync(work: WorkId, program: string, args: string[],
                           environment: Record<string, string>): Promise<ChildStarted>;
/** true when the whole write completed at once, false while it is in flight. */
export function write(child: ChildId, data: Buffer): boolean;
export function end(child: ChildId): true;
export function poll(child: ChildId): PollResult;
export function kill(child: ChildId): boolean;
export function dispose(child: ChildId): Promise<true>;
