// The texts a launch hands to a child: the command line, the environment
// block and the work handoff layout. Pure functions of their input, so the
// size limits and ordering rules are host-tested and fuzzable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/layout.h"

namespace nuvra {

// CreateProcessW refuses command lines and environment blocks of this many
// UTF-16 units or more.
constexpr std::size_t kCommandLineLimit = 32767;
constexpr std::size_t kEnvironmentBlockLimit = 32767;

// Variables the launch sets for every child, replacing a caller's value.
inline constexpr std::wstring_view kStartupAttemptVariable = L"NUVRA_STARTUP_ATTEMPT";
inline constexpr std::wstring_view kHomeVariable = L"NUVRA_HOME";
inline constexpr std::wstring_view kOwnerSidHashVariable = L"NUVRA_WINDOWS_OWNER_SID_HASH";
inline constexpr std::wstring_view kWorkHandoffVariable = L"NUVRA_PROFILE_WORK_HANDOFF";

// Ordered by UTF-16 code units and case-sensitive, as the block is written.
using EnvironmentMap = std::map<std::wstring, std::wstring>;

// Length in UTF-16 units (a unit above the BMP, possible only off Windows,
// counts as a surrogate pair).
std::size_t utf16Length(std::wstring_view text) noexcept;

// The quoted application path, then a space and the quoted argument for each
// argument in order; "profile_command_size" at the limit or beyond.
std::wstring buildCommandLine(std::wstring_view applicationPath,
                              const std::vector<std::wstring>& arguments);

// A startup attempt id is passed on only in its one exact form: 32 lowercase
// hex digits.
bool isStartupAttempt(std::wstring_view value) noexcept;

// What the launching process adds to the caller's variables.
struct ChildEnvironmentFacts {
  std::optional<std::wstring> startupAttempt;  // this process's own value, if any
  std::wstring home;
  std::wstring ownerSidHash;
  std::uint64_t handoffHandle = 0;
};

// The caller's map with the four variables set (the attempt only when
// valid), as "name=value\0" per entry in map order and a final NUL;
// "profile_environment_size" at the limit or beyond.
std::wstring buildEnvironmentBlock(EnvironmentMap variables, const ChildEnvironmentFacts& facts);

// The handoff text must fit the mapping: "profile_handoff_size".
void checkHandoffSize(std::size_t textBytes);

// Writes the length, the text and zeros over the whole view, which must be
// kHandoffMappingSize bytes; "profile_handoff_size" for a text too long.
void layOutHandoff(std::span<unsigned char> view, std::string_view text);

// Reads a laid-out handoff back (for the child side and tests);
// "profile_handoff_size" when the length is out of range.
std::string_view readHandoff(std::span<const unsigned char> view);

}  // namespace nuvra
