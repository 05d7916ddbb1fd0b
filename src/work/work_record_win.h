// Hands an open work to a child process: duplicates of the custody handles
// for the child's inherit list, and the profile-work record naming them.
#pragma once

#include <windows.h>

#include <string>

#include "common/handle_win.h"

namespace nuvra {

struct Work;

// The profile-work record for a child that continues `work`, whose open
// work marker is `workRecord`. Every handle the record names is duplicated
// as inheritable into `inherit`, which the launch passes on and then closes.
// Caller holds processLock and a serialisation hold (the launch), and the
// work's lock for `workRecord`. "profile_duplicate",
// "profile_lifetime_missing", "profile_custody_required".
std::string buildProfileWorkRecord(const Work& work, HANDLE workRecord, InheritList& inherit);

}  // namespace nuvra
