// The launch routine against the real broker executable: pipes, job,
// handoff, inherit list, and what the parent keeps afterwards.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/process_state.h"
#include "common/text_win.h"
#include "launch_fixture.h"

namespace {

using namespace nuvra::testing;
using nuvra::ChildSlot;
using nuvra::LaunchRequest;

Collected run(std::vector<std::wstring> arguments, TestContext& context) {
  ChildSlot child = nuvra::launchChild(brokerRequest(std::move(arguments)), context);
  Collected collected = drain(*child);
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
  return collected;
}

std::string jsonArray(const std::vector<std::wstring>& items) {
  std::string out = "[";
  for (const std::wstring& item : items) {
    if (out.size() > 1) out += ",";
    out += nuvra::jsonString(item.empty() ? std::string() : nuvra::utf16ToUtf8(item));
  }
  return out + "]";
}

TEST(LaunchChild, ConnectsStandardInputAndOutputToTheChild) {
  TestContext context;
  ChildSlot child = nuvra::launchChild(brokerRequest({L"child", L"echo"}), context);
  ASSERT_NE(child->pid, 0u);
  const std::string text = "hello through the pipe";
  EXPECT_TRUE(nuvra::writeChildInput(
      *child, std::span(reinterpret_cast<const unsigned char*>(text.data()), text.size())));
  EXPECT_TRUE(nuvra::endChildInput(*child));
  const Collected collected = drain(*child);
  EXPECT_EQ(collected.out, text);
  EXPECT_EQ(collected.err, "");
  EXPECT_EQ(collected.exitCode, 0u);
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
  EXPECT_EQ(context.acquisitions.load(), 1);
  EXPECT_EQ(context.releases.load(), 1);
  EXPECT_EQ(context.ownerLocks.load(), 1);
  EXPECT_EQ(context.checkpoints, (std::vector<std::string>{"managed_createprocess_before",
                                                           "managed_createprocess_after"}));
}

TEST(LaunchChild, DeliversStandardErrorSeparately) {
  TestContext context;
  const Collected collected = run({L"child", L"stderr", L"to the error stream"}, context);
  EXPECT_EQ(collected.out, "");
  EXPECT_EQ(collected.err, "to the error stream");
}

TEST(LaunchChild, PassesEveryArgumentIntact) {
  TestContext context;
  const std::vector<std::wstring> arguments = {
      L"with space", L"C:\\trailing\\", L"a \"quoted\" word", L"\\\\\"", L"", L"\u00e9t\u00e9"};
  std::vector<std::wstring> command = {L"child", L"args"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  const Collected collected = run(command, context);
  EXPECT_EQ(collected.out, jsonArray(arguments) + "\n");
}

TEST(LaunchChild, LaunchesThePathInOtherLetterCase) {
  TestContext context;
  LaunchRequest request = brokerRequest({L"child", L"exit", L"7"});
  for (wchar_t& c : request.applicationPath) c = static_cast<wchar_t>(towupper(c));
  ChildSlot child = nuvra::launchChild(request, context);
  EXPECT_EQ(drain(*child).exitCode, 7u);
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
}

TEST(LaunchChild, RefusesAnyOtherProgramBeforeAnyPipeOrJobExists) {
  const std::wstring sameNameElsewhere = moduleDirectory() + L"\\nuvra_windows_broker_native.exe";
  const std::wstring other = moduleDirectory() + L"\\win_tests.exe";
  // The first refusals in a process start the thread pool that runs child
  // cleanups, whose threads stay with their own handles; under Wine the
  // second starts another thread. The handles are sampled after both.
  for (int warm = 0; warm < 2; ++warm) {
    TestContext context;
    LaunchRequest request = brokerRequest({L"child", L"exit", L"0"});
    request.applicationPath = other;
    EXPECT_EQ(reasonOf([&] { nuvra::launchChild(request, context); }), "profile_native_target");
  }
  for (const std::wstring& path : {sameNameElsewhere, other}) {
    TestContext context;
    LaunchRequest request = brokerRequest({L"child", L"exit", L"0"});
    request.applicationPath = path;
    const HandleSample before = sampleHandles();
    EXPECT_EQ(reasonOf([&] { nuvra::launchChild(request, context); }), "profile_native_target");
    EXPECT_EQ(handlesOpenedSince(before), "");
    EXPECT_EQ(context.acquisitions.load(), context.releases.load());
    EXPECT_TRUE(context.checkpoints.empty());
  }
}

TEST(LaunchChild, GivesTheChildTheFourVariablesOverTheCallersOwn) {
  TestContext context;
  SetEnvironmentVariableW(L"NUVRA_STARTUP_ATTEMPT", L"0123456789abcdef0123456789abcdef");
  LaunchRequest request = brokerRequest({L"child", L"env"});
  request.environment = {{L"NUVRA_HOME", L"C:\\caller"}, {L"Mixed", L"1"}, {L"MIXED", L"2"}};
  ChildSlot child = nuvra::launchChild(request, context);
  std::string out = drain(*child).out;
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
  EXPECT_NE(out.find("\"NUVRA_HOME=C:\\\\nuvra-home\""), std::string::npos) << out;
  EXPECT_EQ(out.find("C:\\\\caller"), std::string::npos) << out;
  EXPECT_NE(out.find("\"Mixed=1\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"MIXED=2\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"NUVRA_WINDOWS_OWNER_SID_HASH=0123abcd\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"NUVRA_STARTUP_ATTEMPT=0123456789abcdef0123456789abcdef\""),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\"NUVRA_PROFILE_WORK_HANDOFF="), std::string::npos) << out;
  // Nothing of this process's environment leaks through.
  EXPECT_EQ(out.find("\"PATH="), std::string::npos) << out;

  SetEnvironmentVariableW(L"NUVRA_STARTUP_ATTEMPT", L"0123456789ABCDEF0123456789ABCDEF");
  child = nuvra::launchChild(brokerRequest({L"child", L"env"}), context);
  out = drain(*child).out;
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
  EXPECT_EQ(out.find("NUVRA_STARTUP_ATTEMPT"), std::string::npos) << out;
  SetEnvironmentVariableW(L"NUVRA_STARTUP_ATTEMPT", nullptr);
}

TEST(LaunchChild, HandsOverAReadOnlyHandoffAndTheHandlesItNames) {
  TestContext context;
  UniqueEventForTest guard;
  context.guards = {guard.get()};
  ChildSlot child = nuvra::launchChild(brokerRequest({L"child", L"handoff"}), context);
  const std::string out = drain(*child).out;
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
  EXPECT_NE(out.find("\"text\":\"{\\\"schema_version\\\":\\\"nuvra.test.v1\\\",\\\"guard\\\":"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\"writable\":false"), std::string::npos) << out;

  child = nuvra::launchChild(brokerRequest({L"child", L"handles", L"guard"}), context);
  const std::string handles = drain(*child).out;
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
  EXPECT_NE(handles.find("{\"key\":\"guard\""), std::string::npos) << handles;
  EXPECT_NE(handles.find("\"open\":true"), std::string::npos) << handles;
}

TEST(LaunchChild, AcceptsTheLargestHandoffAndRefusesOneByteMore) {
  TestContext context;
  context.handoffText = "\"" + std::string(262138, 'h') + "\"";
  ChildSlot child = nuvra::launchChild(brokerRequest({L"child", L"handoff"}), context);
  const std::string out = drain(*child).out;
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
  EXPECT_NE(out.find(std::string(262138, 'h')), std::string::npos);

  context.handoffText->push_back(' ');
  const HandleSample before = sampleHandles();
  EXPECT_EQ(reasonOf([&] {
              nuvra::launchChild(brokerRequest({L"child", L"handoff"}), context);
            }),
            "profile_handoff_size");
  EXPECT_EQ(handlesOpenedSince(before), "");
}

TEST(LaunchChild, LeavesNothingOpenWhenCreationFails) {
  TestContext context;
  // The right place under a root where no executable exists.
  context.root = testRoot().root() + L"\\missing";
  LaunchRequest request = brokerRequest({L"child", L"exit", L"0"});
  request.applicationPath = context.root + std::wstring(nuvra::kBrokerRelativePath);
  UniqueEventForTest guard;
  context.guards = {guard.get()};
  const HandleSample before = sampleHandles();
  EXPECT_EQ(reasonOf([&] { nuvra::launchChild(request, context); }), "profile_child_create");
  EXPECT_EQ(handlesOpenedSince(before), "");
  EXPECT_EQ(context.checkpoints.size(), 2u);
  EXPECT_EQ(context.retries, (std::vector<std::string>{"managed_createprocess_retry",
                                                       "managed_createprocess_retry"}));
  EXPECT_EQ(context.acquisitions.load(), context.releases.load());
}

// Moves the program away just before creation and back after the given
// number of failed creations, so that a launch meets exactly that many.
class FailingCreations : public TestContext {
 public:
  FailingCreations(std::wstring program, std::size_t failures)
      : program_(std::move(program)), away_(program_ + L".away"), failures_(failures) {}
  ~FailingCreations() override { back(); }

  void checkpoint(std::string_view name) noexcept override {
    TestContext::checkpoint(name);
    if (name == "managed_createprocess_before" && failures_ > 0) {
      moved_ = MoveFileW(program_.c_str(), away_.c_str()) != FALSE;
    }
  }
  void creationRetried(std::string_view name) noexcept override {
    TestContext::creationRetried(name);
    if (retries.size() >= failures_) back();
  }

 private:
  void back() noexcept {
    if (moved_) moved_ = MoveFileW(away_.c_str(), program_.c_str()) == FALSE;
  }
  std::wstring program_;
  std::wstring away_;
  std::size_t failures_;
  bool moved_ = false;
};

TEST(LaunchChild, RecordsEveryCreationItTriesAgain) {
  // A root of its own, so that moving its program away touches no other launch.
  std::wstring root = testRoot().root() + L"\\retry";
  std::wstring dir = root;
  CreateDirectoryW(dir.c_str(), nullptr);
  for (const wchar_t* part : {L"\\connector", L"\\vevadu-code", L"\\client"}) {
    dir += part;
    CreateDirectoryW(dir.c_str(), nullptr);
  }
  const std::wstring program = root + std::wstring(nuvra::kBrokerRelativePath);
  ASSERT_TRUE(CopyFileW(testRoot().broker().c_str(), program.c_str(), FALSE));
  struct Case {
    std::size_t failures;
    std::size_t retries;
    const char* reason;
  };
  const Case cases[] = {{0, 0, ""}, {1, 1, ""}, {2, 2, ""}, {3, 2, "profile_child_create"}};
  for (const Case& c : cases) {
    FailingCreations context(program, c.failures);
    context.root = root;
    LaunchRequest request = brokerRequest({L"child", L"exit", L"0"});
    request.applicationPath = program;
    const std::string reason = reasonOf([&] {
      ChildSlot child = nuvra::launchChild(request, context);
      EXPECT_EQ(drain(*child).exitCode, 0u);
      EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
    });
    EXPECT_EQ(reason, c.reason) << c.failures;
    EXPECT_EQ(context.retries, std::vector<std::string>(c.retries, "managed_createprocess_retry"))
        << c.failures;
  }
}

TEST(LaunchChild, RefusesOversizedCommandLinesAndEnvironmentsWithoutLeaking) {
  TestContext context;
  // Counted, not compared entry by entry: after the launches of the tests
  // before it, an event that none of these refusals creates can appear in
  // the process meanwhile and stay (seen in whole runs, never alone), while
  // their cleanups close handles of their own.
  const DWORD before = handleCount();
  EXPECT_EQ(reasonOf([&] {
              nuvra::launchChild(brokerRequest({L"child", std::wstring(32767, L'a')}), context);
            }),
            "profile_command_size");
  LaunchRequest request = brokerRequest({L"child", L"env"});
  request.environment = {{L"BIG", std::wstring(32767, L'b')}};
  EXPECT_EQ(reasonOf([&] { nuvra::launchChild(request, context); }), "profile_environment_size");
  EXPECT_LE(handleCountSettlingTo(before), before);
  EXPECT_EQ(context.acquisitions.load(), context.releases.load());
}

TEST(LaunchChild, StopsWhenTheDeadlinePassesAndReleasesItsLocks) {
  TestContext context;
  context.deadlineFails = true;
  EXPECT_EQ(reasonOf([&] {
              nuvra::launchChild(brokerRequest({L"child", L"echo"}), context);
            }),
            "profile_startup_timeout");
  EXPECT_EQ(context.acquisitions.load(), 0);
  // processLock was not left held.
  EXPECT_TRUE(nuvra::processState().processLock.try_lock());
  nuvra::processState().processLock.unlock();
}

TEST(LaunchChild, BacksOffWhileAnotherThreadHoldsTheProcessLock) {
  TestContext context;
  std::atomic<bool> held{false};
  // Held until the launch has let go once for want of it.
  std::thread holder([&] {
    std::lock_guard<std::mutex> lock(nuvra::processState().processLock);
    held = true;
    while (context.releases.load() == 0) Sleep(1);
  });
  while (!held) Sleep(1);
  ChildSlot child = nuvra::launchChild(brokerRequest({L"child", L"exit", L"0"}), context);
  holder.join();
  EXPECT_GT(context.acquisitions.load(), 1);
  EXPECT_EQ(context.acquisitions.load(), context.releases.load());
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
}

// A diagnostic write of the work holds the work's lock while it waits for the
// serialisation mutex; the launch must not sit on the mutex and processLock
// waiting for that lock, but let both go until the lock is free.
TEST(LaunchChild, BacksOffWhileAnotherThreadHoldsTheOwnersLock) {
  TestContext context;
  std::atomic<bool> held{false};
  std::atomic<bool> processLockFree{false};
  std::thread holder([&] {
    std::lock_guard<std::mutex> owner(context.ownerMutex);
    held = true;
    // The launch has tried the owner's lock and let everything go.
    while (context.releases.load() == 0) Sleep(1);
    for (int i = 0; i < 2000 && !processLockFree; ++i) {
      if (nuvra::processState().processLock.try_lock()) {
        nuvra::processState().processLock.unlock();
        processLockFree = true;
      }
      Sleep(1);
    }
  });
  while (!held) Sleep(1);
  ChildSlot child = nuvra::launchChild(brokerRequest({L"child", L"exit", L"0"}), context);
  holder.join();
  EXPECT_TRUE(processLockFree);
  EXPECT_GT(context.ownerLocks.load(), 1);
  EXPECT_EQ(context.acquisitions.load(), context.releases.load());
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
}

TEST(LaunchChild, LeaksNoHandleAcrossHundredsOfLaunches) {
  TestContext context;
  ChildSlot warm = nuvra::launchChild(brokerRequest({L"child", L"exit", L"0"}), context);
  drain(*warm);
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(warm)));
  const DWORD before = handleCount();
  for (int i = 0; i < 100; ++i) {
    ChildSlot child = nuvra::launchChild(brokerRequest({L"child", L"exit", L"0"}), context);
    ASSERT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
  }
  EXPECT_LE(handleCountSettlingTo(before + 2), before + 2);
}

TEST(ReleaseChild, EndsTheWholeProcessTreeWithTheJob) {
  TestContext context;
  ChildSlot child = nuvra::launchChild(brokerRequest({L"child", L"grandchild"}), context);
  const std::string line = firstLine(*child);
  const auto at = line.find("\"grandchild\":");
  ASSERT_NE(at, std::string::npos) << line;
  const auto pid = static_cast<DWORD>(std::stoul(line.substr(at + 13)));
  HANDLE grandchild = OpenProcess(SYNCHRONIZE, FALSE, pid);
  ASSERT_NE(grandchild, nullptr);
  EXPECT_EQ(WaitForSingleObject(grandchild, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(child)));
  EXPECT_EQ(WaitForSingleObject(grandchild, 5000), WAIT_OBJECT_0);
  CloseHandle(grandchild);
}

TEST(ReleaseChild, RunsOnTheThreadPoolWhenTheSlotIsDropped) {
  TestContext context;
  ChildSlot child = nuvra::launchChild(brokerRequest({L"child", L"sleep", L"600000"}), context);
  HANDLE process = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), child->process.get(), GetCurrentProcess(),
                              &process, SYNCHRONIZE, FALSE, 0));
  child.reset();
  EXPECT_EQ(WaitForSingleObject(process, 5000), WAIT_OBJECT_0);
  CloseHandle(process);
  EXPECT_FALSE(nuvra::isPoisoned());
}

}  // namespace
