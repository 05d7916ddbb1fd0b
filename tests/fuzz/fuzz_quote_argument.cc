// Quoted arguments joined by spaces must split back into exactly the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "../support/command_line.h"
#include "accepting_branch.h"
#include "common/text.h"

namespace {

nuvra::fuzzing::AcceptingBranch splitBack("split_back");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Pairs of bytes are UTF-16 code units; a zero unit ends an argument.
  std::vector<std::wstring> arguments(1);
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const auto unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    if (unit == 0) {
      arguments.emplace_back();
    } else {
      arguments.back().push_back(unit);
    }
  }
  std::wstring line;
  for (const auto& argument : arguments) {
    if (!line.empty()) line.push_back(L' ');
    line += nuvra::quoteArgument(argument);
  }
  if (nuvra::testing::splitArguments(line) != arguments) std::abort();
  splitBack.reached();
  return 0;
}
