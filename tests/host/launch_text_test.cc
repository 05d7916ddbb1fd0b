#include "launch/launch_text.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "../support/command_line.h"
#include "../support/reason_of.h"

namespace {

using nuvra::buildCommandLine;
using nuvra::buildEnvironmentBlock;
using nuvra::ChildEnvironmentFacts;
using nuvra::EnvironmentMap;

using nuvra::testing::reasonOf;

ChildEnvironmentFacts facts() {
  ChildEnvironmentFacts result;
  result.home = L"C:\\home";
  result.ownerSidHash = L"ab12";
  result.handoffHandle = 1234;
  return result;
}

// Splits a block into its "name=value" entries.
std::vector<std::wstring> entries(const std::wstring& block) {
  std::vector<std::wstring> result;
  std::size_t at = 0;
  while (at < block.size() && block[at] != L'\0') {
    const std::size_t end = block.find(L'\0', at);
    result.push_back(block.substr(at, end - at));
    at = end + 1;
  }
  EXPECT_EQ(at + 1, block.size()) << "one final NUL ends the block";
  return result;
}

TEST(CommandLine, QuotesTheProgramAndEveryArgumentSoTheyComeBackIntact) {
  const std::vector<std::wstring> arguments = {L"a b", L"C:\\dir\\", L"say \"hi\"", L"plain",
                                               L"\\\\server\\share"};
  const std::wstring line = buildCommandLine(L"C:\\root\\broker.exe", arguments);
  EXPECT_EQ(line.substr(0, 22), L"\"C:\\root\\broker.exe\" \"");
  auto split = nuvra::testing::splitArguments(line);
  ASSERT_EQ(split.size(), arguments.size() + 1);
  EXPECT_EQ(split[0], L"C:\\root\\broker.exe");
  for (std::size_t i = 0; i < arguments.size(); ++i) EXPECT_EQ(split[i + 1], arguments[i]);
}

TEST(CommandLine, AnArgumentEndingInABackslashDoublesItBeforeTheClosingQuote) {
  EXPECT_EQ(buildCommandLine(L"p", {L"C:\\dir\\"}), L"\"p\" \"C:\\dir\\\\\"");
}

TEST(CommandLine, IsRefusedAtTheLimitAndAcceptedJustBelow) {
  // "p" quoted is 3 units; each argument adds a space and its quotes.
  const std::wstring below(nuvra::kCommandLineLimit - 7, L'x');
  EXPECT_EQ(buildCommandLine(L"p", {below}).size(), nuvra::kCommandLineLimit - 1);
  const std::wstring at(nuvra::kCommandLineLimit - 6, L'x');
  EXPECT_EQ(reasonOf([&] { buildCommandLine(L"p", {at}); }), "profile_command_size");
}

TEST(StartupAttempt, OnlyThirtyTwoLowercaseHexDigitsArePassedOn) {
  EXPECT_TRUE(nuvra::isStartupAttempt(L"0123456789abcdef0123456789abcdef"));
  EXPECT_FALSE(nuvra::isStartupAttempt(L"0123456789ABCDEF0123456789abcdef"));
  EXPECT_FALSE(nuvra::isStartupAttempt(L"0123456789abcdef0123456789abcde"));
  EXPECT_FALSE(nuvra::isStartupAttempt(L"0123456789abcdef0123456789abcdef0"));
  EXPECT_FALSE(nuvra::isStartupAttempt(L"0123456789abcdef0123456789abcdeg"));
}

TEST(EnvironmentBlock, SetsTheFourVariablesOverTheCallersInCodeUnitOrder) {
  EnvironmentMap caller = {
      {L"NUVRA_HOME", L"C:\\elsewhere"}, {L"path", L"lower"}, {L"PATH", L"upper"}, {L"A", L""}};
  ChildEnvironmentFacts given = facts();
  given.startupAttempt = L"0123456789abcdef0123456789abcdef";
  const auto block = entries(buildEnvironmentBlock(caller, given));
  const std::vector<std::wstring> expected = {
      L"A=",
      L"NUVRA_HOME=C:\\home",
      L"NUVRA_PROFILE_WORK_HANDOFF=1234",
      L"NUVRA_STARTUP_ATTEMPT=0123456789abcdef0123456789abcdef",
      L"NUVRA_WINDOWS_OWNER_SID_HASH=ab12",
      L"PATH=upper",
      L"path=lower"};
  EXPECT_EQ(block, expected);
}

TEST(EnvironmentBlock, LeavesAnInvalidAttemptOutButKeepsTheCallersOwn) {
  EnvironmentMap caller = {{L"NUVRA_STARTUP_ATTEMPT", L"callers"}};
  ChildEnvironmentFacts given = facts();
  given.startupAttempt = L"0123456789ABCDEF0123456789ABCDEF";
  auto block = entries(buildEnvironmentBlock(caller, given));
  EXPECT_EQ(block[2], L"NUVRA_STARTUP_ATTEMPT=callers");
  block = entries(buildEnvironmentBlock({}, given));
  EXPECT_EQ(block.size(), 3u);
}

TEST(EnvironmentBlock, IsRefusedAtTheLimitCountingEveryNul) {
  // Fixed part: the three variables with their NULs, plus the final NUL.
  const std::size_t fixed = buildEnvironmentBlock({}, facts()).size();
  // "X=" + value + NUL.
  const std::size_t room = nuvra::kEnvironmentBlockLimit - 1 - fixed - 3;
  EXPECT_EQ(buildEnvironmentBlock({{L"X", std::wstring(room, L'v')}}, facts()).size(),
            nuvra::kEnvironmentBlockLimit - 1);
  EXPECT_EQ(reasonOf([&] {
              buildEnvironmentBlock({{L"X", std::wstring(room + 1, L'v')}}, facts());
            }),
            "profile_environment_size");
}

TEST(Handoff, HoldsTheLengthTheTextAndZeros) {
  std::vector<unsigned char> view(nuvra::kHandoffMappingSize, 0xAA);
  nuvra::layOutHandoff(view, "{\"a\":1}");
  EXPECT_EQ(view[0], 7);
  EXPECT_EQ(view[1] | view[2] | view[3], 0);
  EXPECT_EQ(std::string(view.begin() + 4, view.begin() + 11), "{\"a\":1}");
  for (std::size_t i = 11; i < view.size(); ++i) ASSERT_EQ(view[i], 0) << i;
  EXPECT_EQ(nuvra::readHandoff(view), "{\"a\":1}");
}

TEST(Handoff, AcceptsTheLargestTextAndRefusesOneByteMore) {
  std::vector<unsigned char> view(nuvra::kHandoffMappingSize);
  const std::string largest(262140, 'x');
  nuvra::layOutHandoff(view, largest);
  EXPECT_EQ(nuvra::readHandoff(view).size(), 262140u);
  EXPECT_EQ(view[0] | (view[1] << 8) | (view[2] << 16), 262140);
  EXPECT_EQ(reasonOf([&] { nuvra::layOutHandoff(view, largest + "x"); }), "profile_handoff_size");
  EXPECT_EQ(reasonOf([] { nuvra::checkHandoffSize(262141); }), "profile_handoff_size");
}

TEST(Handoff, ReadingRefusesALengthBeyondTheMapping) {
  std::vector<unsigned char> view(nuvra::kHandoffMappingSize);
  view[0] = 0xFD;
  view[1] = 0xFF;
  view[2] = 0x03;  // 262141
  EXPECT_EQ(reasonOf([&] { nuvra::readHandoff(view); }), "profile_handoff_size");
}

}  // namespace
