// The names of a product home as the launcher creates them: the home key and
// the serialisation mutex name.
#pragma once

#include <windows.h>

#include <string>

namespace nuvra::launcher {

// SHA-256 hex of the home path lower-cased with the invariant locale, UTF-8;
// "launcher_home_key". Two spellings differing only in case give one key.
std::string homeKey(const std::wstring& home);

// "Global\Nuvra.RuntimeSerialization.V1." + home key.
std::wstring serializationMutexName(const std::wstring& home);

}  // namespace nuvra::launcher
