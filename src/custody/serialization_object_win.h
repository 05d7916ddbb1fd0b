// The name of a product home's serialisation mutex and the proof that an
// inherited handle is that very mutex. The name only ever serves as proof:
// the mutex itself is always used through the handle the launcher gave.
#pragma once

#include <windows.h>

#include <string>

namespace nuvra {

// SHA-256 hex of the UTF-8 home path lower-cased with the invariant locale,
// so spellings that differ only in case share one key; "profile_home_key".
std::string homeKey(const std::wstring& home);

// "Global\Nuvra.RuntimeSerialization.V1." + home key.
std::wstring serializationMutexName(const std::wstring& home);

// Opens the mutex by name and requires `inherited` to be the same kernel
// object; "profile_home_key", "profile_owner_absent", "profile_owner_object",
// "profile_close_failed".
void proveSerializationMutex(HANDLE inherited, const std::wstring& home);

}  // namespace nuvra
