#include "diagnostics/profile_link_win.h"

#include "common/reason.h"

namespace nuvra {

// Until this process can hold a startup profile there is no custody and no
// home to write into: events are refused and no write starts.
bool startupCustodyHeld() {
  return false;
}

std::unique_ptr<LogHome> profileLogHome() {
  fail("profile_custody_required");
}

}  // namespace nuvra
