// classifyBrokerFile calls a name a record only for "endpoint.json" and a
// temporary file only for "endpoint." + 64 hex digits + ".tmp", ASCII
// letters in any case; the oracle below lower-cases and compares its own
// way. The first byte picks whether the rest is taken as it is or poured
// into the temporary name's shape with one byte then changed.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "accepting_branch.h"
#include "shared/stale_endpoint.h"

namespace {

nuvra::fuzzing::AcceptingBranch acceptedName("broker_file_name");

nuvra::BrokerFileKind expectedKind(const std::string& name) {
  std::string lower;
  for (char c : name) {
    lower.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c);
  }
  if (lower == "endpoint.json") return nuvra::BrokerFileKind::record;
  if (lower.size() == 77 && lower.rfind("endpoint.", 0) == 0 && lower.compare(73, 4, ".tmp") == 0 &&
      lower.find_first_not_of("0123456789abcdef", 9) == 73) {
    return nuvra::BrokerFileKind::temporary;
  }
  return nuvra::BrokerFileKind::other;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string name;
  if (data[0] % 2 == 0) {
    name.assign(reinterpret_cast<const char*>(data + 1), size - 1);
  } else {
    name = "endpoint.";
    for (std::size_t i = 0; i < 64; ++i) {
      name.push_back("0123456789abcdefABCDEF"[i + 1 < size ? data[i + 1] % 22 : 0]);
    }
    name += ".tmp";
    if (size > 66) name[data[65] % name.size()] = static_cast<char>(data[66]);
  }
  const nuvra::BrokerFileKind kind = nuvra::classifyBrokerFile(name);
  if (kind != expectedKind(name)) std::abort();
  if (kind != nuvra::BrokerFileKind::other) acceptedName.reached();
  return 0;
}
