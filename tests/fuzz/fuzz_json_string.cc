// jsonString output is a valid JSON string that decodes to the input bytes,
// and it contains no raw control character.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "accepting_branch.h"
#include "common/text.h"

namespace {

nuvra::fuzzing::AcceptingBranch writtenString("written_string");

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  std::abort();
}

// A strict decoder for the escapes JSON allows; \u escapes above 0x7F are
// never produced by the writer, so they are treated as a failure here.
std::string decode(const std::string& json) {
  if (json.size() < 2 || json.front() != '"' || json.back() != '"') std::abort();
  std::string out;
  for (std::size_t i = 1; i + 1 < json.size(); ++i) {
    const char c = json[i];
    if (static_cast<unsigned char>(c) < 0x20 || c == '"') std::abort();
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (++i + 1 >= json.size()) std::abort();
    switch (json[i]) {
      case '"':
        out.push_back('"');
        break;
      case '\\':
        out.push_back('\\');
        break;
      case 'u': {
        if (i + 4 >= json.size()) std::abort();
        int value = 0;
        for (int k = 1; k <= 4; ++k)
          value = value * 16 + hexValue(json[i + static_cast<std::size_t>(k)]);
        if (value >= 0x20) std::abort();
        out.push_back(static_cast<char>(value));
        i += 4;
        break;
      }
      default:
        std::abort();
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  if (decode(nuvra::jsonString(input)) != input) std::abort();
  writtenString.reached();
  return 0;
}
