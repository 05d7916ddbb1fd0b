// The portable rules of work ownership: deadline windows, budget classes,
// roles and operations, work validity, the work id counter and the live work
// count. No Windows and no Node-API here, so every rule is host-tested.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/deadline.h"

namespace nuvra {

// Longest budget of each class; a cold work waited for a broker start.
constexpr std::uint64_t kWarmBudgetMs = 1000;
constexpr std::uint64_t kColdBudgetMs = 3000;

constexpr std::size_t kLiveWorkLimit = 128;

// The role and operation a work is begun for. `operation` "-" means none and
// is stored empty.
struct WorkPurpose {
  std::string role;
  std::string operation;
};

// Role "client", "server" or "unbound_local"; operation "-" or one of the six
// operations a work may carry. Else "profile_evidence_role".
WorkPurpose checkWorkPurpose(std::string_view role, std::string_view operation);

// What a budget token fixed when the broker budget was prepared.
struct BudgetTerms {
  std::uint64_t deadline = 0;
  bool cold = false;
  std::string operation;
};

// A token may only open a client work for the operation it was prepared for:
// "profile_budget_class".
void checkTokenPurpose(const BudgetTerms& terms, const WorkPurpose& purpose);

// The budget function's answer must be finite and at least one millisecond:
// "profile_startup_timeout".
void checkBudgetValue(double budgetMs);

// The work's deadline from its start tick and a checked budget: capped at the
// class limit, rounded down to whole milliseconds, never past a token's
// deadline, and still ahead of `now` within the ordinary window.
std::uint64_t workDeadline(std::uint64_t startTick, double budgetMs, bool cold,
                           const BudgetTerms* token, std::uint64_t now);

// The timing facts of a work that its validity depends on.
struct WorkTiming {
  std::uint64_t start = 0;
  std::uint64_t deadline = 0;
  bool cold = false;
};

// The check every job of a work runs before and after each native step, in
// this order: "profile_work_ended", "profile_budget_class",
// "profile_startup_timeout", "profile_poisoned".
void checkWorkValidity(bool active, const WorkTiming& timing, std::uint64_t now, bool poisoned);

// Work ids: the first is 1; once the counter reaches 2^64-1 no further id is
// handed out ("profile_work_limit"). Not synchronised: the caller holds
// processLock.
class WorkIdCounter {
 public:
  std::uint64_t take();
  // For tests of exhaustion.
  void setNextForTesting(std::uint64_t next) noexcept { next_ = next; }

 private:
  std::uint64_t next_ = 1;
};

// Counts Work objects from construction to destruction; at most
// kLiveWorkLimit exist at once.
class LiveWorkCount {
 public:
  // Counts one more work, or throws "profile_work_limit" and counts nothing.
  void enter();
  void leave() noexcept;
  std::size_t current() const noexcept { return count_.load(); }

 private:
  std::atomic<std::size_t> count_{0};
};

}  // namespace nuvra
