#include "work/work_rules.h"

#include <cmath>
#include <limits>

#include "common/reason.h"

namespace nuvra {

WorkPurpose checkWorkPurpose(std::string_view role, std::string_view operation) {
  if (role != "client" && role != "server" && role != "unbound_local") {
    fail("profile_evidence_role");
  }
  // Only the operations a broker exchange can carry may be named by a work.
  constexpr std::string_view kOperations[] = {"capture", "recall",   "hello",
                                              "status",  "shutdown", "turn_prompt"};
  bool known = operation == "-";
  for (std::string_view name : kOperations) known = known || operation == name;
  if (!known) fail("profile_evidence_role");
  return WorkPurpose{std::string(role), operation == "-" ? std::string() : std::string(operation)};
}

void checkTokenPurpose(const BudgetTerms& terms, const WorkPurpose& purpose) {
  if (purpose.role != "client" || purpose.operation != terms.operation) {
    fail("profile_budget_class");
  }
}

void checkBudgetValue(double budgetMs) {
  // NaN fails the comparison as well.
  if (!std::isfinite(budgetMs) || !(budgetMs >= 1.0)) fail("profile_startup_timeout");
}

std::uint64_t workDeadline(std::uint64_t startTick, double budgetMs, bool cold,
                           const BudgetTerms* token, std::uint64_t now) {
  checkBudgetValue(budgetMs);
  const double limit = static_cast<double>(cold ? kColdBudgetMs : kWarmBudgetMs);
  const double capped = budgetMs < limit ? budgetMs : limit;
  const auto budget = static_cast<std::uint64_t>(std::floor(capped));
  if (startTick > std::numeric_limits<std::uint64_t>::max() - budget) {
    fail("profile_startup_timeout");
  }
  std::uint64_t deadline = startTick + budget;
  if (token != nullptr && token->deadline < deadline) deadline = token->deadline;
  requireDeadline(now, deadline, kOrdinaryWindowMs);
  return deadline;
}

void checkWorkValidity(bool active, const WorkTiming& timing, std::uint64_t now, bool poisoned) {
  if (!active) fail("profile_work_ended");
  const std::uint64_t limit = timing.cold ? kColdBudgetMs : kWarmBudgetMs;
  if (timing.deadline < timing.start || timing.deadline - timing.start > limit) {
    fail("profile_budget_class");
  }
  requireDeadline(now, timing.deadline, kOrdinaryWindowMs);
  if (poisoned) fail("profile_poisoned");
}

std::uint64_t WorkIdCounter::take() {
  if (next_ == std::numeric_limits<std::uint64_t>::max()) fail("profile_work_limit");
  return next_++;
}

void LiveWorkCount::enter() {
  std::size_t seen = count_.load();
  do {
    if (seen >= kLiveWorkLimit) fail("profile_work_limit");
  } while (!count_.compare_exchange_weak(seen, seen + 1));
}

void LiveWorkCount::leave() noexcept {
  count_.fetch_sub(1);
}

}  // namespace nuvra
