#include "server/server_evidence.h"

#include "common/text.h"

namespace nuvra {
namespace {

// Counts are only reported once they can no longer change.
RecordBuilder& sendCounts(RecordBuilder& record, const ServerExchangeState& state) {
  if (!serverCountsComplete(state)) {
    return record.null("account_send_count").null("memory_send_count");
  }
  return record.number("account_send_count", state.server_account_sends)
      .number("memory_send_count", state.server_memory_sends);
}

}  // namespace

bool serverCountsComplete(const ServerExchangeState& state) noexcept {
  return state.terminal_sealed && state.account_pending == 0 && state.memory_pending == 0;
}

std::string serverOutcomeText(const ServerExchangeState& state, std::uint64_t workId,
                              std::string_view operation) {
  RecordBuilder record;
  record.string("role", "server")
      .decimalString("owner_work", workId)
      .decimalString("server_work", workId)
      .string("operation", operation)
      .string("correlation", state.bound_request_line)
      .number("sequence", state.server_sequence)
      .string("last_verified_phase", reportedServerPhase(state))
      .boolean("terminal_sealed", state.terminal_sealed)
      .boolean("counts_complete", serverCountsComplete(state));
  sendCounts(record, state);
  record.stringOrNull("server_reason", state.sealed_reason);
  record.string("logging_status", state.logging_status);
  return record.text();
}

std::string serverEvidenceText(const ServerExchangeState& state, std::uint64_t workId,
                               std::string_view correlationHash) {
  const bool complete = serverCountsComplete(state);
  RecordBuilder record;
  record.string("role", "server")
      .string("source", "native_server_owner")
      .decimalString("owner_work", workId)
      .decimalString("server_work", workId);
  record.stringOrNull("correlation_hash", correlationHash);
  record.number("sequence", state.server_sequence)
      .string("last_verified_phase", state.terminal_sealed ? "terminal" : state.server_phase);
  if (state.terminal_sealed) {
    record.boolean("terminal_sealed", true);
  } else {
    record.null("terminal_sealed");
  }
  record.stringOrNull("server_reason", state.sealed_reason);
  record.boolean("counts_complete", complete);
  sendCounts(record, state);
  const bool noEffect =
      complete && state.server_account_sends == 0 && state.server_memory_sends == 0;
  record.string("effect_certainty", noEffect ? "none" : "unknown")
      .string("logging_status", state.logging_status);
  return record.text();
}

}  // namespace nuvra
