// Placeholder expansion of a handoff template never reads outside its input,
// leaves text without a known placeholder alone (with values that name
// themselves, every text is its own expansion), and the mapping image always
// has the asked size, the length word and a prefix of the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "accepting_branch.h"
#include "shared/handoff.h"

namespace {

nuvra::fuzzing::AcceptingBranch expandedPlaceholder("expanded_placeholder");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  using Values = std::map<std::string, std::string, std::less<>>;
  const Values none;
  if (nuvra::launcher::expandPlaceholders(text, none) != text) std::abort();
  const Values themselves{{"a", "{a}"}, {"mutex", "{mutex}"}, {"guard0.path", "{guard0.path}"}};
  if (nuvra::launcher::expandPlaceholders(text, themselves) != text) std::abort();
  const Values values{{"a", "1"}, {"mutex", "{a}"}, {"", "empty"}};
  const std::string expanded = nuvra::launcher::expandPlaceholders(text, values);
  if (text.find('{') == std::string::npos && expanded != text) std::abort();
  if (expanded != text) expandedPlaceholder.reached();

  const std::size_t imageSize = size % 64;
  const auto image = nuvra::launcher::handoffImage(text, imageSize, std::nullopt);
  if (image.size() != imageSize) std::abort();
  for (std::size_t i = 0; i < 4 && i < imageSize; ++i) {
    if (image[i] != ((size >> (8 * i)) & 0xffu)) std::abort();
  }
  for (std::size_t i = 4; i < imageSize; ++i) {
    const unsigned char expected = i - 4 < size ? data[i - 4] : 0;
    if (image[i] != expected) std::abort();
  }
  return 0;
}
