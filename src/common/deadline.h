// Deadlines are absolute GetTickCount64 milliseconds. A deadline holds while
// now is before it and it lies no further ahead than the window of its kind.
#pragma once

#include <cstdint>

#include "common/reason.h"

namespace nuvra {

// A deadline may lie at most this far ahead when a step starts.
inline constexpr std::uint64_t kOrdinaryWindowMs = 3000;
// Job startups and account control have the longer window.
inline constexpr std::uint64_t kJobStartupWindowMs = 30000;

// True while `now` is before `deadline` and `deadline` is at most `window`
// milliseconds away.
constexpr bool deadlineHolds(std::uint64_t now, std::uint64_t deadline,
                             std::uint64_t window) noexcept {
  return now < deadline && deadline - now <= window;
}

// deadlineHolds, else "profile_startup_timeout".
inline void requireDeadline(std::uint64_t now, std::uint64_t deadline, std::uint64_t window) {
  if (!deadlineHolds(now, deadline, window)) fail("profile_startup_timeout");
}

}  // namespace nuvra
