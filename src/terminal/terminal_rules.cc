#include "terminal/terminal_rules.h"

#include "common/reason.h"
#include "common/text.h"

namespace nuvra {

namespace {

[[noreturn]] void invalid() {
  fail("terminal_invalid");
}
[[noreturn]] void ownerRefused() {
  fail("terminal_owner_refused");
}

std::string checkId(std::string_view id, std::size_t length) {
  if (id == "-") return {};
  if (id.size() != length) invalid();
  for (char c : id) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-')) invalid();
  }
  return std::string(id);
}

std::string_view rawOrNull(std::string_view json) {
  return json.empty() ? "null" : json;
}

std::string limited(std::string record) {
  if (record.size() > kTerminalRecordLimit) invalid();
  return record;
}

}  // namespace

std::string checkAttemptId(std::string_view attemptId) {
  return checkId(attemptId, 64);
}
std::string checkRequestId(std::string_view requestId) {
  return checkId(requestId, 36);
}

std::string eventTokenOf(std::string_view eventId) {
  return eventId == "-" ? std::string() : std::string(eventId);
}

void checkTerminalCapacity(bool initialized, bool poisoned, std::size_t live) {
  if (!initialized || poisoned || live >= kLiveTerminalOperationLimit) {
    fail("terminal_unavailable");
  }
}

bool claimsProcessPurpose(std::string_view accountPurpose) noexcept {
  return accountPurpose == "connect" || accountPurpose == "finish";
}

void claimProcessPurpose(std::string_view accountPurpose, std::string_view operation,
                         std::string_view eventId, bool& purposeClaimed) {
  if (!claimsProcessPurpose(accountPurpose) || operation != accountPurpose || eventId != "-" ||
      purposeClaimed) {
    ownerRefused();
  }
  purposeClaimed = true;
}

void claimDiagnosticEvent(bool eventUsable, bool& eventClaimed, std::string_view eventOperation,
                          std::string_view operation) {
  if (!eventUsable || eventClaimed) ownerRefused();
  eventClaimed = true;
  if (eventOperation != operation) ownerRefused();
}

void checkPrepareOwner(const PrepareOwner& owner) {
  if (!owner.eventToken.empty()) {
    if (!owner.workHasEvent || owner.workEventToken != owner.eventToken ||
        owner.workDiagnosticUnbound) {
      ownerRefused();
    }
    return;
  }
  if (owner.operation != owner.accountPurpose || owner.workRole != "unbound_local") ownerRefused();
}

std::uint64_t terminalDeadline(std::optional<std::uint64_t> eventDeadline,
                               std::uint64_t workDeadline) noexcept {
  return eventDeadline && *eventDeadline < workDeadline ? *eventDeadline : workDeadline;
}

void checkTerminalAvailable(const TerminalAvailability& flags, std::uint64_t now,
                            std::uint64_t deadline) {
  if (flags.closed || flags.writeUncertain || flags.poisoned || flags.loggingOff) {
    fail("terminal_unavailable");
  }
  if (!(now < deadline && deadline - now <= kTerminalWindowMs)) fail("profile_startup_timeout");
}

void checkCommitReady(bool checkpointWritten, bool endRequested, bool workEnded,
                      bool endSucceeded) {
  if (!checkpointWritten || !endRequested || !workEnded || !endSucceeded) {
    fail("terminal_end_required");
  }
}

void checkCommitOutcome(bool ok, std::string_view reason, bool stateKnown, bool reasonKnown,
                        bool phaseKnown) {
  if (!stateKnown || !reasonKnown || !phaseKnown || (ok && reason != "none")) invalid();
}

std::string checkpointRecord(const CheckpointFields& fields) {
  RecordBuilder record;
  record.string("schema_version", "nuvra.operation-checkpoint.v1")
      .string("event", "terminal_pending")
      .string("operation_id", fields.operationId);
  record.stringOrNull("attempt_id", fields.attemptId);
  record.stringOrNull("request_id", fields.requestId);
  record.string("operation", fields.operation)
      .string("terminal_status", "unavailable")
      .string("outcome", "unknown")
      .string("utc", fields.utc);
  return limited(record.line());
}

std::string terminalRecord(const TerminalFields& fields, std::uint64_t now) {
  const std::string elapsed = RecordBuilder()
                                  .number("original_budget_ms", fields.deadline - fields.workStart)
                                  .number("work_ms", fields.endRequestedAt - fields.workStart)
                                  .number("end_ms", fields.endedAt - fields.endRequestedAt)
                                  .number("projection_ms", now - fields.endedAt)
                                  .number("operation_ms", now - fields.workStart)
                                  .text();
  RecordBuilder record;
  record.string("schema_version", "nuvra.operation-terminal.v1")
      .string("event", "operation_result")
      .string("operation_id", fields.operationId);
  record.stringOrNull("attempt_id", fields.attemptId);
  record.stringOrNull("request_id", fields.requestId);
  record.string("operation", fields.operation);
  record.stringOrNull("phase", fields.phase);
  record.boolean("ok", fields.ok)
      .string("state", fields.state)
      .string("reason", fields.reason)
      .string("utc", fields.utc)
      .raw("elapsed", elapsed)
      .raw("client", rawOrNull(fields.clientEvidence))
      .raw("server", rawOrNull(fields.serverEvidence));
  return limited(record.line());
}

}  // namespace nuvra
