// The "guards" list shared by the resident-host and idle-account handoff
// records, the handle rule and the one reader both records go through. The
// launch code writes the list while it duplicates the guards; the host and
// account-worker roles of the broker executable read the records back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/flat_json.h"
#include "common/text.h"

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
  std::string text() const { return array_.text(); }

 private:
  GuardArrayBuilder array_;
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

// A handoff record read back: a flat JSON object with exactly `keys` in that
// order, the first being "schema_version" with the value `schema`. Each
// accessor names a key of `keys`; whatever is refused, here or there, fails
// with `reason`.
class HandoffRecordReader {
 public:
  HandoffRecordReader(std::string_view text, std::string_view schema,
                      std::vector<std::string_view> keys, const char* reason);

  std::string text(std::string_view key) const;        // a non-empty string
  std::uint64_t decimal(std::string_view key) const;   // handoffDecimal
  std::uint64_t handle(std::string_view key) const;    // handoffHandle
  std::uint32_t number32(std::string_view key) const;  // a number up to 2^32-1
  // The guards, one of which must be the lifetime marker `lifetime`.
  std::vector<HandoffGuard> guards(std::string_view key, std::uint64_t lifetime) const;
  [[noreturn]] void refuse() const;
  // The head profileRecordHead writes, into any fields type with its members.
  template <typename Fields>
  void head(Fields& fields) const {
    fields.home = text("home");
    fields.root = text("root");
    fields.ownerSidHash = text("owner_sid_hash");
    fields.payloadDigest = text("payload_digest");
    fields.generation = text("generation");
    fields.deadline = decimal("deadline_tick64");
  }

 private:
  const FlatValue& value(std::string_view key) const;
  template <typename Value>
  Value need(const std::optional<Value>& value) const {
    if (!value) refuse();
    return *value;
  }

  FlatObject record_;
  const char* reason_;
};

}  // namespace nuvra
