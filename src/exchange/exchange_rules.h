// The portable rules of the exchange entries and their budgets: which
// operations a broker exchange carries, how a broker budget is fixed and
// handed out, the argument rules of exchange and exchangePhase, and the text
// of the stage records an exchange leaves in the local diagnostic log.
// prepareBrokerBudget and the exchange entries (Node-API) and the exchange
// job's stage writer (Windows) call these.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

namespace nuvra {

constexpr std::uint64_t kWarmBrokerBudgetMs = 1000;
constexpr std::uint64_t kColdBrokerBudgetMs = 3000;
constexpr std::size_t kLiveBudgetLimit = 128;

// "capture", "recall", "hello", "turn_prompt", "status" or "shutdown".
bool isBrokerOperation(std::string_view operation) noexcept;

// prepareBrokerBudget's operation: "profile_evidence_role" when unknown.
void checkBudgetOperation(std::string_view operation);

// start + 1000 (warm) or + 3000 (cold); "profile_startup_timeout" when `now`
// has already reached it.
std::uint64_t brokerBudgetDeadline(std::uint64_t start, bool cold, std::uint64_t now);

// "profile_work_limit".
[[noreturn]] void budgetLimitReached();

// Removes every budget whose deadline is not later than `now`, then refuses
// a 129th live one ("profile_work_limit"). `Budgets` is a map from token to
// an entry with a `deadline`.
template <typename Budgets>
void admitBudget(Budgets& budgets, std::uint64_t now) {
  for (auto entry = budgets.begin(); entry != budgets.end();) {
    entry = entry->second.deadline <= now ? budgets.erase(entry) : std::next(entry);
  }
  if (budgets.size() >= kLiveBudgetLimit) budgetLimitReached();
}

// Takes the counter's value and increments it; a token of 0 or 2^64-1 means
// the counter wrapped ("profile_work_limit").
std::uint64_t issueBudgetToken(std::atomic<std::uint64_t>& counter);

// exchangePhase needs a "client" work; exchange any work but a "server" one.
// Else "profile_evidence_role".
void checkExchangeRole(bool version2, std::string_view role);

// Native exchanges run only inside warm budgets: "profile_budget_class".
void checkExchangeBudget(bool cold);

// The exchange's own deadline: the descriptor's time-out from the call's
// start, never later than the work's deadline.
std::uint64_t exchangeDeadline(std::uint64_t start, std::uint64_t exchangeTimeoutMs,
                               std::uint64_t workDeadline) noexcept;

// exchangePhase's operation must be the work's ("profile_evidence_role"); any
// exchange's must be a broker operation ("broker_native_protocol_refused").
void checkExchangeOperation(bool version2, std::string_view operation,
                            std::string_view workOperation);

// isRequestId (wire_text.h), else "broker_native_protocol_refused".
void checkRequestId(std::string_view requestId);

// Stage names in the order an exchange raises them.
inline constexpr std::string_view kStageExchangeBegin = "profile_exchange_begin";
inline constexpr std::string_view kStagePipeConnected = "profile_pipe_connected";
inline constexpr std::string_view kStagePeerVerified = "profile_peer_verified";
inline constexpr std::string_view kStagePreambleDone = "profile_preamble_done";
inline constexpr std::string_view kStageRequestWritten = "profile_request_written";
inline constexpr std::string_view kStageResponseFirstByte = "profile_response_first_byte";
inline constexpr std::string_view kStageResponseComplete = "profile_response_complete";
inline constexpr std::string_view kStageExchangeTerminal = "profile_exchange_terminal";

// What one exchange stage record says; the caller reads the clock, the
// event, the job's counters and hashes the memory event id input.
struct ExchangeStageFacts {
  std::string_view event_id;       // the diagnostic event's token
  std::string_view diagnostic_id;  // the event's diagnostic id
  std::string_view scope;          // the event's scope, written as "operation"
  std::string_view utc;            // "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ"
  std::uint32_t pid = 0;
  std::string_view stage;
  bool failed = false;
  std::uint64_t pipe_bytes_written = 0;
  std::uint64_t pipe_bytes_read = 0;
  std::int32_t native_win32_error = 0;
  std::uint64_t event_created = 0;
  std::uint64_t work_deadline = 0;
  std::uint64_t now = 0;
  std::string_view operation;   // the job's operation
  std::string_view request_id;  // the job's request id
  std::string_view memory_event_id;
};

// One line ending in LF; the first ten keys are those of the ingress stage
// record, then the transport fields.
std::string exchangeStageRecord(const ExchangeStageFacts& facts);

// "nuvra-memory-event-v1", one zero byte, then the request id: the bytes
// whose SHA-256 is the memory event id.
std::string memoryEventIdInput(std::string_view requestId);

}  // namespace nuvra
