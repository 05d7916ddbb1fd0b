// Where the diagnostics meet the startup profile and the serialisation
// mutex: whether this runtime holds its startup custody, and the log home of
// a write (home path, volume, user, owner-only check, mutex hold, guards).
#pragma once

#include <memory>

#include "diagnostics/log_writer_win.h"

namespace nuvra {

// initialize succeeded and finishStartup has acknowledged (the
// acknowledgement and work marker handles are closed). Takes processLock.
bool startupCustodyHeld();

// The log home of one write, from the initialized profile;
// "profile_custody_required" without one.
std::unique_ptr<LogHome> profileLogHome();

}  // namespace nuvra
