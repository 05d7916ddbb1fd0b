// The startup handoff the launcher hands a runtime: its JSON text, assembled
// from an ordered field list whose values may hold placeholders for the
// handles and values the launcher only knows once it has opened them, and the
// image of the shared-memory block that carries it.
//
// Placeholders are "{name}" with a name from the launcher's value table (see
// broker/launcher_win.cc); text in braces that is not a known name is copied
// unchanged, so JSON objects pass through. Values are inserted as they stand:
// string values are already JSON-escaped without their quotes, numbers bare.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/layout.h"

namespace nuvra::launcher {

enum class RuntimeRole { entry, resident, job };

// The mapping's size as the runtime maps it, and the longest text it holds.

class HandoffFields {
 public:
  // Replaces the value of `key` where it stands, or appends the key.
  void set(std::string_view key, std::string json);
  // Removes the key; false when it was absent.
  bool unset(std::string_view key);
  bool has(std::string_view key) const noexcept;
  // One JSON object in field order, without spaces.
  std::string text() const;

 private:
  struct Field {
    std::string key;
    std::string json;
  };
  std::vector<Field> fields_;
};

// The handoff of a role with every launcher-supplied value as a placeholder.
// Job startups carry "job_kind" "setup" and "account_purpose".
HandoffFields defaultHandoff(RuntimeRole role);

// Replaces every "{name}" whose name is in `values`.
std::string expandPlaceholders(std::string_view text,
                               const std::map<std::string, std::string, std::less<>>& values);

// The shared-memory block: a little-endian 32-bit length, then the text.
// `lengthWord` replaces the true length (to hand over a lying length word);
// whatever does not fit into `size` bytes is cut off.
std::vector<unsigned char> handoffImage(std::string_view text, std::size_t size,
                                        std::optional<std::uint32_t> lengthWord);

// "key=json" as given on the command line; false when there is no '=' or the
// key is empty.
bool splitAssignment(std::string_view assignment, std::string& key, std::string& json);

}  // namespace nuvra::launcher
