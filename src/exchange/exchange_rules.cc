#include "exchange/exchange_rules.h"

#include <limits>

#include "common/reason.h"
#include "common/text.h"
#include "exchange/wire_text.h"

namespace nuvra {

bool isBrokerOperation(std::string_view operation) noexcept {
  constexpr std::string_view kOperations[] = {"capture",     "recall", "hello",
                                              "turn_prompt", "status", "shutdown"};
  for (std::string_view name : kOperations) {
    if (operation == name) return true;
  }
  return false;
}

void checkBudgetOperation(std::string_view operation) {
  if (!isBrokerOperation(operation)) fail("profile_evidence_role");
}

std::uint64_t brokerBudgetDeadline(std::uint64_t start, bool cold, std::uint64_t now) {
  const std::uint64_t budget = cold ? kColdBrokerBudgetMs : kWarmBrokerBudgetMs;
  // A tick this close to the top of the range has no deadline ahead of it.
  if (start > std::numeric_limits<std::uint64_t>::max() - budget) fail("profile_startup_timeout");
  const std::uint64_t deadline = start + budget;
  if (now >= deadline) fail("profile_startup_timeout");
  return deadline;
}

void budgetLimitReached() {
  fail("profile_work_limit");
}

std::uint64_t issueBudgetToken(std::atomic<std::uint64_t>& counter) {
  const std::uint64_t token = counter.fetch_add(1);
  if (token == 0 || token == std::numeric_limits<std::uint64_t>::max()) budgetLimitReached();
  return token;
}

void checkExchangeRole(bool version2, std::string_view role) {
  const bool allowed = version2 ? role == "client" : role != "server";
  if (!allowed) fail("profile_evidence_role");
}

void checkExchangeBudget(bool cold) {
  if (cold) fail("profile_budget_class");
}

std::uint64_t exchangeDeadline(std::uint64_t start, std::uint64_t exchangeTimeoutMs,
                               std::uint64_t workDeadline) noexcept {
  if (start > workDeadline || workDeadline - start <= exchangeTimeoutMs) return workDeadline;
  return start + exchangeTimeoutMs;
}

void checkExchangeOperation(bool version2, std::string_view operation,
                            std::string_view workOperation) {
  if (version2 && operation != workOperation) fail("profile_evidence_role");
  if (!isBrokerOperation(operation)) fail("broker_native_protocol_refused");
}

void checkRequestId(std::string_view requestId) {
  if (!isRequestId(requestId)) fail("broker_native_protocol_refused");
}

std::string exchangeStageRecord(const ExchangeStageFacts& facts) {
  // A stage raised just after the deadline would otherwise wrap to a huge
  // remaining time.
  const std::uint64_t remaining =
      facts.work_deadline > facts.now ? facts.work_deadline - facts.now : 0;
  const std::uint64_t eventElapsed =
      facts.now > facts.event_created ? facts.now - facts.event_created : 0;
  return RecordBuilder()
      .string("schema_version", "nuvra.local-diagnostic.v1")
      .string("event", "stage")
      .string("event_id", facts.event_id)
      .string("diagnostic_id", facts.diagnostic_id)
      .string("operation", facts.scope)
      .string("utc", facts.utc)
      .number("pid", facts.pid)
      .string("stage", facts.stage)
      .string("outcome", facts.failed ? "failed" : "succeeded")
      .string("reason", facts.failed ? "broker_native_transport_failed" : "none")
      .number("pipe_bytes_written", facts.pipe_bytes_written)
      .number("pipe_bytes_read", facts.pipe_bytes_read)
      .raw("native_win32_error", std::to_string(facts.native_win32_error))
      .number("event_elapsed_ms", eventElapsed)
      .number("remaining_work_ms", remaining)
      .string("transport_operation", facts.operation)
      .string("transport_request_id", facts.request_id)
      .string("memory_event_id", facts.memory_event_id)
      .line();
}

std::string memoryEventIdInput(std::string_view requestId) {
  std::string input("nuvra-memory-event-v1");
  input.push_back('\0');
  input.append(requestId);
  return input;
}

}  // namespace nuvra
