// parseDecimal64 accepts exactly the canonical decimals and gives them back
// unchanged through formatDecimal64; everything else fails with its reason.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "accepting_branch.h"
#include "common/reason.h"
#include "common/text.h"

namespace {

nuvra::fuzzing::AcceptingBranch canonicalDecimal("canonical_decimal");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  bool canonical = !text.empty() && text.size() <= 20 && text[0] != '0';
  for (char c : text) canonical = canonical && c >= '0' && c <= '9';
  const bool tooLarge = canonical && text.size() == 20 && text > "18446744073709551615";
  try {
    const std::uint64_t value = nuvra::parseDecimal64(text);
    if (!canonical || tooLarge || nuvra::formatDecimal64(value) != text) std::abort();
    canonicalDecimal.reached();
  } catch (const nuvra::ProfileError& error) {
    if (canonical || std::strcmp(error.what(), "profile_integer") != 0) std::abort();
  } catch (const std::out_of_range& error) {
    if (!tooLarge || std::strcmp(error.what(), "stoull argument out of range") != 0) std::abort();
  }
  return 0;
}
