// Budget tokens: what prepareBrokerBudget fixed for one operation before a
// work exists. beginWork consumes a token exactly once.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "work/work_rules.h"

namespace nuvra {

struct BudgetEntry {
  std::uint64_t token = 0;
  std::uint64_t start = 0;
  std::uint64_t deadline = 0;
  bool cold = false;
  std::string operation;
};

using BudgetMap = std::map<std::uint64_t, BudgetEntry>;

// Removes the token's entry and returns its terms; an unknown token is
// "profile_budget_class". The entry is gone even when the caller fails later,
// so a token can never be presented twice.
BudgetTerms takeBudgetToken(BudgetMap& budgets, std::uint64_t token);

}  // namespace nuvra
