#include "exchange/client_evidence.h"

#include "common/reason.h"
#include "common/text.h"
#include "common/vocabulary.h"

namespace nuvra {
namespace {

RecordBuilder& trueOrNull(RecordBuilder& record, std::string_view key, bool value) {
  return value ? record.boolean(key, true) : record.null(key);
}

// A server work of "-" is the refusal on arrival, which had none.
RecordBuilder& serverWork(RecordBuilder& record, std::string_view value) {
  return value == "-" ? record.null("server_work") : record.stringOrNull("server_work", value);
}

}  // namespace

bool noDispatchProven(const ExchangeProgress& progress) noexcept {
  return progress.dispatch_closed && !progress.dispatch_submitted;
}

bool terminalEvidencePresent(const ExchangeProgress& progress) noexcept {
  return progress.terminal_observed && !progress.request_line.empty();
}

std::string exchangeOutcomeText(const ExchangeProgress& progress, std::uint64_t workId,
                                bool deadlinePassed) {
  RecordBuilder record;
  record.string("role", "client").decimalString("owner_work", workId);
  serverWork(record, progress.server_work);
  record.boolean("terminal_observed", progress.terminal_observed);
  if (!progress.dispatch_submitted && (progress.dispatch_closed || deadlinePassed)) {
    record.boolean("no_dispatch_proven", true);
  } else {
    record.null("no_dispatch_proven");
  }
  record.boolean("dispatch_submitted", progress.dispatch_submitted)
      .string("last_verified_phase", progress.last_verified_phase)
      .string("operation", progress.operation);
  record.stringOrNull("terminal_reason", progress.server_reason);
  record.stringOrNull("server_reason", progress.server_reason);
  record.number("sequence", progress.sequence);
  if (progress.terminal_observed) {
    record.number("account_send_count", progress.account_send_count)
        .number("memory_send_count", progress.memory_send_count);
  } else {
    record.null("account_send_count").null("memory_send_count");
  }
  record.string("correlation", progress.request_line);
  return record.text();
}

std::string clientEvidenceText(const ExchangeProgress& progress, std::uint64_t workId,
                               std::string_view workOperation, std::string_view correlationHash) {
  const bool noDispatch = noDispatchProven(progress);
  const bool terminal = terminalEvidencePresent(progress);
  RecordBuilder record;
  record.string("role", "client").decimalString("owner_work", workId);
  record.stringOrNull("correlation_hash", correlationHash);
  record.string("last_verified_phase", noDispatch ? "never_sent" : progress.last_verified_phase);
  if (noDispatch) {
    record.boolean("dispatch_submitted", false);
  } else if (progress.dispatch_submitted) {
    record.boolean("dispatch_submitted", true);
  } else {
    record.null("dispatch_submitted");
  }
  trueOrNull(record, "no_dispatch_proven", noDispatch);
  trueOrNull(record, "terminal_observed", terminal);
  record.stringOrNull("terminal_reason", terminal ? progress.server_reason : "");
  record.boolean("cleanup_confirmed", true);
  const char* certainty = noDispatch                    ? "none"
                          : progress.dispatch_submitted ? "possible"
                                                        : "unknown";
  record.string("effect_certainty", certainty);
  // Only a capture stores a memory; a terminal frame that counted no memory
  // send proves the store never happened.
  const bool retryMayDuplicate =
      workOperation == "capture" && !noDispatch && !(terminal && progress.memory_send_count == 0);
  record.boolean("retry_may_duplicate", retryMayDuplicate)
      .null("saved")
      .null("delivered")
      .null("dropped");
  return record.text();
}

std::string terminalFrameEvidenceText(const ExchangeProgress& progress,
                                      std::string_view correlationHash) {
  RecordBuilder record;
  record.string("role", "server")
      .string("source", "authenticated_terminal_frame")
      .null("owner_work");
  serverWork(record, progress.server_work);
  record.stringOrNull("correlation_hash", correlationHash);
  record.number("sequence", progress.sequence)
      .string("last_verified_phase", progress.last_verified_phase)
      .null("terminal_sealed");
  record.stringOrNull("server_reason", progress.server_reason);
  const bool anySend = progress.account_send_count + progress.memory_send_count > 0;
  record.boolean("counts_complete", true)
      .number("account_send_count", progress.account_send_count)
      .number("memory_send_count", progress.memory_send_count)
      .string("effect_certainty", anySend ? "possible" : "none")
      .string("logging_status", "unknown");
  return record.text();
}

ClientEndEvidence clientEndEvidence(const ExchangeProgress& progress, std::uint64_t workId,
                                    std::string_view workOperation,
                                    std::string_view correlationHash) {
  const bool terminal = terminalEvidencePresent(progress);
  if (terminal && !isMember(terminalReasons, progress.server_reason)) fail("terminal_invalid");
  ClientEndEvidence evidence;
  evidence.client = clientEvidenceText(progress, workId, workOperation, correlationHash);
  if (terminal) evidence.server = terminalFrameEvidenceText(progress, correlationHash);
  return evidence;
}

}  // namespace nuvra
