#include "work/budget.h"

#include <utility>

#include "common/reason.h"

namespace nuvra {

BudgetTerms takeBudgetToken(BudgetMap& budgets, std::uint64_t token) {
  auto found = budgets.find(token);
  if (found == budgets.end()) fail("profile_budget_class");
  BudgetTerms terms{found->second.deadline, found->second.cold, std::move(found->second.operation)};
  budgets.erase(found);
  return terms;
}

}  // namespace nuvra
