// A product home as the tools open it: its final path and its serialisation
// mutex. One definition for the launcher, the home check and the recovery of
// the broker executable, and the installer's repair.
#pragma once

#include <windows.h>

#include <string>

#include "common/handle_win.h"

namespace nuvra::broker {

// The home directory's final path: the spelling every record and the handoff
// use. "launcher_home".
std::wstring resolveHome(const std::wstring& home);

// Creates or opens "Global\Nuvra.RuntimeSerialization.V1." + home key with an
// owner-only descriptor (an existing mutex keeps the descriptor its creator
// gave it). "launcher_mutex".
UniqueHandle openSerializationMutex(const std::wstring& home);

}  // namespace nuvra::broker
