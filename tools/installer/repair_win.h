// The servicing side's repair of a product home whose servicing record a
// runtime left in state "RECOVERY_REQUIRED"; see repair_win.cc.
#pragma once

#include <string>

namespace nuvra::installer {

// Exit codes: 0 repaired, or nothing to repair; 1 a file does not verify
// (named on standard output; nothing changed); 3 the repair could not run
// (its reason on standard error).
int repairHome(const std::wstring& home);

}  // namespace nuvra::installer
