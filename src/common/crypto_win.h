// SHA-256 digests as lowercase hex and bytes from the system's preferred
// random generator. No cached state; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nuvra {

// 64 lowercase hex digits; "profile_hash".
std::string sha256Hex(std::string_view bytes);

// Fills `buffer` with `count` random bytes; fails with the caller's reason.
void randomBytes(void* buffer, std::size_t count, const char* failureReason);

}  // namespace nuvra
