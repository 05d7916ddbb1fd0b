// Standard input, output and exit of a launched child, driven the way the
// JavaScript functions drive it: never blocking.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launch_fixture.h"

namespace {

using namespace nuvra::testing;
using nuvra::ChildSlot;

ChildSlot launch(std::vector<std::wstring> arguments) {
  TestContext context;
  return nuvra::launchChild(brokerRequest(std::move(arguments)), context);
}

TEST(ChildInput, AnEmptyWriteCompletesAtOnce) {
  ChildSlot child = launch({L"child", L"echo"});
  EXPECT_TRUE(nuvra::writeChildInput(*child, {}));
  EXPECT_TRUE(nuvra::writeChildInput(*child, bytesOf("after")));
  EXPECT_TRUE(nuvra::endChildInput(*child));
  EXPECT_EQ(drain(*child).out, "after");
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
}

TEST(ChildInput, ALargeWriteStaysPendingAndRefusesAnotherWriteAndEnd) {
  // The child reads nothing, so 8 MiB cannot fit the 64 KiB pipe.
  ChildSlot child = launch({L"child", L"sleep", L"600000"});
  const std::string large(nuvra::kMaxWriteBytes, 'w');
  EXPECT_FALSE(nuvra::writeChildInput(*child, bytesOf(large)));
  EXPECT_EQ(reasonOf([&] { nuvra::writeChildInput(*child, bytesOf("x")); }), "stdin_not_writable");
  EXPECT_EQ(reasonOf([&] { nuvra::endChildInput(*child); }), "stdin_pending");
  EXPECT_FALSE(nuvra::pollChild(*child).writeComplete);
  // The release cancels the write and waits for the kernel to let go of it.
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
}

TEST(ChildInput, APendingWriteCompletesWhenTheChildReads) {
  ChildSlot child = launch({L"child", L"echo"});
  const std::string large(1 << 20, 'r');
  const bool atOnce = nuvra::writeChildInput(*child, bytesOf(large));
  std::string out;
  bool complete = atOnce;
  for (int i = 0; i < 5000 && (out.size() < large.size() || !complete); ++i) {
    nuvra::PollResult result = nuvra::pollChild(*child);
    if (result.stdoutBytes) out.append(result.stdoutBytes->view());
    complete = result.writeComplete;
    EXPECT_LE(result.stdoutBytes ? result.stdoutBytes->size() : 0, nuvra::kMaxPollBytes);
    Sleep(1);
  }
  EXPECT_TRUE(complete);
  EXPECT_EQ(out, large);
  EXPECT_TRUE(nuvra::endChildInput(*child));
  EXPECT_TRUE(nuvra::endChildInput(*child));
  EXPECT_EQ(reasonOf([&] { nuvra::writeChildInput(*child, bytesOf("late")); }),
            "stdin_not_writable");
  EXPECT_EQ(drain(*child).exitCode, 0u);
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
}

TEST(ChildInput, RefusesAWriteAboveTheLimit) {
  ChildSlot child = launch({L"child", L"echo"});
  const std::string tooLarge(nuvra::kMaxWriteBytes + 1, 'x');
  EXPECT_EQ(reasonOf([&] { nuvra::writeChildInput(*child, bytesOf(tooLarge)); }),
            "stdin_too_large");
  EXPECT_TRUE(nuvra::endChildInput(*child));
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
}

TEST(ChildOutput, AClosedStreamReadsAsClosedOnEveryLaterPoll) {
  ChildSlot child = launch({L"child", L"exit", L"0"});
  const Collected collected = drain(*child);
  EXPECT_EQ(collected.exitCode, 0u);
  for (int i = 0; i < 3; ++i) {
    nuvra::PollResult result = nuvra::pollChild(*child);
    EXPECT_FALSE(result.stdoutBytes.has_value());
    EXPECT_FALSE(result.stderrBytes.has_value());
    EXPECT_TRUE(result.writeComplete);
    EXPECT_EQ(result.exitCode, 0u);
  }
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
}

TEST(ChildOutput, APollTakesAtMostSixtyFourKibibytesPerStream) {
  ChildSlot child = launch({L"child", L"flood", L"200000"});
  std::size_t total = 0;
  for (int i = 0; i < 5000; ++i) {
    nuvra::PollResult result = nuvra::pollChild(*child);
    if (!result.stdoutBytes) break;
    EXPECT_LE(result.stdoutBytes->size(), nuvra::kMaxPollBytes);
    total += result.stdoutBytes->size();
    Sleep(1);
  }
  EXPECT_EQ(total, 200000u);
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
}

// A poll that fails on one stream takes nothing from the other: the bytes
// stay in the pipe for the next poll. An event stands in for a standard-error
// pipe that cannot be peeked.
TEST(ChildOutput, AFailedPollLosesNoBytesOfTheOtherStream) {
  ChildSlot child = launch({L"child", L"echo"});
  EXPECT_TRUE(nuvra::writeChildInput(*child, bytesOf("kept")));
  EXPECT_TRUE(nuvra::endChildInput(*child));
  ASSERT_EQ(WaitForSingleObject(child->process.get(), 10000), WAIT_OBJECT_0);
  nuvra::UniqueHandle stderrPipe = std::move(child->stderrPipe);
  child->stderrPipe = nuvra::UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  EXPECT_EQ(reasonOf([&] { nuvra::pollChild(*child); }), "stdout_read_failed");
  child->stderrPipe = std::move(stderrPipe);
  EXPECT_EQ(drain(*child).out, "kept");
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
}

TEST(ChildExit, ARunningChildHasNoExitCodeAndAKilledOneExitsWithOne) {
  ChildSlot child = launch({L"child", L"sleep", L"600000"});
  EXPECT_FALSE(nuvra::pollChild(*child).exitCode.has_value());
  EXPECT_TRUE(nuvra::killChild(*child));
  EXPECT_EQ(WaitForSingleObject(child->process.get(), 5000), WAIT_OBJECT_0);
  EXPECT_EQ(nuvra::pollChild(*child).exitCode, 1u);
  // Killing an exited child still answers true.
  EXPECT_TRUE(nuvra::killChild(*child));
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
}

TEST(ChildExit, ReportsTheExitCodeOfACrash) {
  ChildSlot child = launch({L"child", L"crash"});
  EXPECT_EQ(drain(*child).exitCode, 0xC0000005u);
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
}

}  // namespace
