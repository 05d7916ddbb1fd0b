// Per-environment state, attached as Node-API instance data by registration
// and destroyed by the environment's finaliser.
#pragma once

#include <cstdint>
#include <map>

#include "children/child_slot.h"
#include "work/budget.h"

namespace nuvra {

struct AddonState {
  // Launched children of this environment by child id. Only the JavaScript
  // thread touches the table: job completions add, dispose takes out.
  std::map<std::uint32_t, ChildSlot> children;
  // Tags the process-wide table entries this environment owns. Unique for the
  // life of the process, unlike the environment or state addresses.
  std::uint64_t environmentId = 0;
  // Budget tokens handed out by prepareBrokerBudget, each consumed by one
  // beginWork. JavaScript thread only.
  BudgetMap budgets;
  // Next managed-child id; 0 is never handed out.
  std::uint32_t nextChildId = 1;
};

}  // namespace nuvra
