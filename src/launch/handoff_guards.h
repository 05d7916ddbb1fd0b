// The "guards" list shared by the resident-host and idle-account handoff
// records, and the handle rule both records' readers use. The launch code
// (children/launch_win.cc) writes the list while it duplicates the guards;
// the host and account-worker roles of the broker executable read it back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/flat_json.h"

namespace nuvra {

struct HandoffGuard {
  std::uint64_t handle = 0;  // the inheritable duplicate
  std::string path;          // UTF-8
  std::uint32_t volume = 0;
  std::uint64_t fileId = 0;
};

// Written while the guards are duplicated, in guard-list order. The duplicate
// of the guard that is the startup lifetime marker becomes "l".
class HandoffGuards {
 public:
  // {"handle":"…","path":"…","volume":N,"file_id":"…"}
  void add(const HandoffGuard& guard, bool lifetimeMarker);
  // "l": "profile_lifetime_missing" when no guard was the lifetime marker.
  std::uint64_t lifetime() const;
  // "[" objects separated by "," "]"
  std::string text() const { return text_ + "]"; }

 private:
  std::string text_ = "[";
  std::optional<std::uint64_t> lifetime_;
};

// A handle value as the records carry it: a canonical positive decimal string
// below 2^63-1. Anything else is nothing.
std::optional<std::uint64_t> handoffHandle(const FlatValue& value);

// A 64-bit value written as a decimal string ("deadline_tick64", "file_id",
// "instance_nonce"): "0" or a canonical positive decimal.
std::optional<std::uint64_t> handoffDecimal(const FlatValue& value);

// The guards array of a handoff record read back: every element an object
// with exactly "handle", "path", "volume", "file_id" in that order, a
// non-empty path and a 32-bit volume; at least one guard. Else nothing.
std::optional<std::vector<HandoffGuard>> readHandoffGuards(const FlatValue& value);

}  // namespace nuvra
