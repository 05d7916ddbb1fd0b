#include "launch/launch_text.h"

#include <algorithm>
#include <cstring>

#include "common/reason.h"
#include "common/text.h"

namespace nuvra {

std::size_t utf16Length(std::wstring_view text) noexcept {
  std::size_t units = 0;
  for (wchar_t unit : text) units += (static_cast<std::uint32_t>(unit) >> 16) != 0 ? 2u : 1u;
  return units;
}

std::wstring buildCommandLine(std::wstring_view applicationPath,
                              const std::vector<std::wstring>& arguments) {
  std::wstring line = quoteArgument(applicationPath);
  for (const std::wstring& argument : arguments) {
    line.push_back(L' ');
    line += quoteArgument(argument);
    // Stop early: a caller's argument list may be far beyond the limit.
    if (utf16Length(line) >= kCommandLineLimit) fail("profile_command_size");
  }
  if (utf16Length(line) >= kCommandLineLimit) fail("profile_command_size");
  return line;
}

bool isStartupAttempt(std::wstring_view value) noexcept {
  return value.size() == 32 && std::all_of(value.begin(), value.end(), [](wchar_t c) {
           return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f');
         });
}

std::wstring buildEnvironmentBlock(EnvironmentMap variables, const ChildEnvironmentFacts& facts) {
  if (facts.startupAttempt && isStartupAttempt(*facts.startupAttempt)) {
    variables.insert_or_assign(std::wstring(kStartupAttemptVariable), *facts.startupAttempt);
  }
  variables.insert_or_assign(std::wstring(kHomeVariable), facts.home);
  variables.insert_or_assign(std::wstring(kOwnerSidHashVariable), facts.ownerSidHash);
  const std::string handle = formatDecimal64(facts.handoffHandle);
  variables.insert_or_assign(std::wstring(kWorkHandoffVariable),
                             std::wstring(handle.begin(), handle.end()));

  std::wstring block;
  for (const auto& [name, value] : variables) {
    block += name;
    block.push_back(L'=');
    block += value;
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  if (utf16Length(block) >= kEnvironmentBlockLimit) fail("profile_environment_size");
  return block;
}

void checkHandoffSize(std::size_t textBytes) {
  if (textBytes > kHandoffTextLimit) fail("profile_handoff_size");
}

void layOutHandoff(std::span<unsigned char> view, std::string_view text) {
  checkHandoffSize(text.size());
  if (view.size() != kHandoffMappingSize) fail("profile_handoff_size");
  const auto length = static_cast<std::uint32_t>(text.size());
  for (std::size_t i = 0; i < 4; ++i) {
    view[i] = static_cast<unsigned char>((length >> (8 * i)) & 0xFFu);
  }
  std::memcpy(view.data() + 4, text.data(), text.size());
  std::fill(view.begin() + 4 + static_cast<std::ptrdiff_t>(text.size()), view.end(),
            static_cast<unsigned char>(0));
}

std::string_view readHandoff(std::span<const unsigned char> view) {
  if (view.size() < 4) fail("profile_handoff_size");
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < 4; ++i) length |= static_cast<std::uint32_t>(view[i]) << (8 * i);
  if (length > kHandoffTextLimit || length > view.size() - 4) fail("profile_handoff_size");
  return {reinterpret_cast<const char*>(view.data() + 4), length};
}

}  // namespace nuvra
