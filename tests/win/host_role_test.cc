// The host role of the broker executable against resident-host records the
// test builds itself: a sound record gets the host up, waiting on its
// activation event and its parent; every wrong key, type or handle is
// refused with its reason on standard error and exit code 3.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/file_win.h"
#include "common/text.h"
#include "launch/handoff_guards.h"
#include "launch_fixture.h"
#include "resident/host_record.h"

namespace {

using namespace nuvra::testing;
using nuvra::ChildSlot;

constexpr DWORD kParentAccess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;

std::uint64_t valueOf(HANDLE handle) {
  return reinterpret_cast<std::uintptr_t>(handle);
}

// The objects a runtime hands its host, made here: a mutex for "s", an
// event for "activation", a process for "parent" and a file for the guard.
struct HostObjects {
  HostObjects() {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    guardPath = std::wstring(temp) + L"nuvra-host-guard-" + std::to_wstring(GetCurrentProcessId());
    guard = nuvra::UniqueHandle(CreateFileW(guardPath.c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    nuvra::fileIdentity(guard.get(), identity);
    HANDLE self = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self,
                    kParentAccess, FALSE, 0);
    parent = nuvra::UniqueHandle(self);
    parentPid = GetCurrentProcessId();
  }
  nuvra::UniqueHandle mutex{CreateMutexW(nullptr, FALSE, nullptr)};
  nuvra::UniqueHandle activation{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  nuvra::UniqueHandle parent;
  std::uint32_t parentPid = 0;
  std::wstring guardPath;
  nuvra::UniqueHandle guard;
  nuvra::FileIdentity identity;
};

// Duplicates the objects for the child and writes the record; `edit` may
// change the fields or the finished text.
class HostContext : public TestContext {
 public:
  explicit HostContext(HostObjects& objects) : objects_(objects) {}
  std::function<void(nuvra::ResidentHostFields&)> editFields = [](auto&) {};
  std::function<void(std::string&)> editText = [](std::string&) {};

  std::string buildHandoffText(nuvra::ChildProcess&, nuvra::InheritList& inherit) override {
    nuvra::ResidentHostFields fields;
    fields.home = "C:\\nuvra-home";  // what TestContext gives as NUVRA_HOME
    fields.root = "C:\\nuvra-home\\runtime\\1.0.0";
    fields.ownerSidHash = ownerSidHash();
    fields.payloadDigest = "digest";
    fields.generation = "1";
    fields.deadline = 12345;
    nuvra::HandoffGuards guardList;
    const std::uint64_t guard = valueOf(nuvra::duplicateForChild(objects_.guard.get(), inherit, 0));
    guardList.add({guard, "C:\\guard", objects_.identity.volumeSerial,
                   (static_cast<std::uint64_t>(objects_.identity.indexHigh) << 32) |
                       objects_.identity.indexLow},
                  true);
    fields.lifetime = guardList.lifetime();
    fields.guards = guardList.text();
    fields.serialization = valueOf(nuvra::duplicateForChild(objects_.mutex.get(), inherit, 0));
    fields.activation =
        valueOf(nuvra::duplicateForChild(objects_.activation.get(), inherit, SYNCHRONIZE));
    fields.parent =
        valueOf(nuvra::duplicateForChild(objects_.parent.get(), inherit, kParentAccess));
    fields.parentPid = objects_.parentPid;
    editFields(fields);
    std::string text = nuvra::residentHostRecord(fields);
    editText(text);
    return text;
  }

 private:
  HostObjects& objects_;
};

ChildSlot startHost(HostContext& context, std::uint32_t pid) {
  return nuvra::launchChild(brokerRequest({L"host", std::to_wstring(pid)}), context);
}

TEST(HostRole, ComesUpWaitsForActivationAndStaysUntilItsJobEnds) {
  HostObjects objects;
  HostContext context(objects);
  ChildSlot host = startHost(context, objects.parentPid);
  EXPECT_EQ(firstLine(*host), R"({"host":"ready","parent_pid":)" +
                                  std::to_string(objects.parentPid) +
                                  R"(,"guards":1,"diagnostics":"on"})");
  ASSERT_TRUE(SetEvent(objects.activation.get()));
  EXPECT_EQ(firstLine(*host), R"({"host":"activated"})");
  // Still up: the activation ended only its own wait.
  EXPECT_EQ(WaitForSingleObject(host->process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  const HANDLE process = host->process.get();
  HANDLE watched = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &watched,
                              SYNCHRONIZE, FALSE, 0));
  nuvra::UniqueHandle watch(watched);
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(host)));
  EXPECT_EQ(WaitForSingleObject(watch.get(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST(HostRole, EndsWhenItsParentRuntimeEnds) {
  HostObjects objects;
  // A parent that the test can end: a sleeping broker outside any job.
  std::wstring commandLine = L"\"" + testRoot().broker() + L"\" child sleep 600000";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION created{};
  ASSERT_TRUE(CreateProcessW(testRoot().broker().c_str(), commandLine.data(), nullptr, nullptr,
                             FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &created));
  CloseHandle(created.hThread);
  nuvra::UniqueHandle sleeper(created.hProcess);
  objects.parent = nuvra::UniqueHandle();
  HANDLE parent = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), sleeper.get(), GetCurrentProcess(), &parent,
                              kParentAccess, FALSE, 0));
  objects.parent = nuvra::UniqueHandle(parent);
  objects.parentPid = created.dwProcessId;
  HostContext context(objects);
  ChildSlot host = startHost(context, objects.parentPid);
  ASSERT_EQ(firstLine(*host).substr(0, 17), R"({"host":"ready",")");
  ASSERT_TRUE(TerminateProcess(sleeper.get(), 1));
  const Collected collected = drain(*host);
  EXPECT_EQ(collected.exitCode, 0u);
  EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(host)));
}

TEST(HostRole, RefusesEveryWrongKeyTypeAndHandle) {
  struct Case {
    const char* name;
    std::function<void(nuvra::ResidentHostFields&)> fields;
    std::function<void(std::string&)> text;
    int pidOffset;
    const char* reason;
  };
  const auto replace = [](std::string from, std::string to) {
    return [from, to](std::string& text) { text.replace(text.find(from), from.size(), to); };
  };
  const auto none = [](std::string&) {};
  const auto same = [](nuvra::ResidentHostFields&) {};
  const Case cases[] = {
      {"parent_pid as a string", same,
       [&](std::string& text) {
         replace(R"("parent_pid":)", R"("parent_pid":")")(text);
         replace(R"(,"guards")", R"(","guards")")(text);
       },
       0, "profile_resident_host"},
      {"deadline as a number", same,
       replace(R"("deadline_tick64":"12345")", R"("deadline_tick64":12345)"), 0,
       "profile_resident_host"},
      {"keys out of order", same, replace(R"("home")", R"("homes")"), 0, "profile_resident_host"},
      {"another schema", same, replace("resident-host.v1", "resident-host.v2"), 0,
       "profile_resident_host"},
      {"a pid that is not the command line's", same, none, 8, "host_parent_pid"},
      {"another home", [](auto& f) { f.home = "C:\\elsewhere"; }, none, 0, "host_environment"},
      {"another owner", [](auto& f) { f.ownerSidHash = "ffff"; }, none, 0, "host_environment"},
      {"s is the event", [](auto& f) { f.serialization = f.activation; }, none, 0, "host_handle_s"},
      {"s is not open", [](auto& f) { f.serialization = 0x7ff0; }, none, 0, "host_handle_s"},
      {"activation is the mutex", [](auto& f) { f.activation = f.serialization; }, none, 0,
       "host_handle_activation"},
      {"parent is the mutex", [](auto& f) { f.parent = f.serialization; }, none, 0,
       "host_handle_parent"},
      {"parent_pid of another process", [](auto& f) { f.parentPid += 8; }, none, 8,
       "host_handle_parent"},
      {"guard of another file", same, replace(R"("file_id":")", R"("file_id":"1)"), 0,
       "host_handle_guard"},
  };
  for (const Case& c : cases) {
    HostObjects objects;
    HostContext context(objects);
    context.editFields = c.fields;
    context.editText = c.text;
    ChildSlot host =
        startHost(context, objects.parentPid + static_cast<std::uint32_t>(c.pidOffset));
    const Collected collected = drain(*host);
    EXPECT_EQ(collected.exitCode, 3u) << c.name;
    EXPECT_EQ(collected.err,
              std::string("nuvra host: refused its resident-host record: ") + c.reason + "\n")
        << c.name;
    EXPECT_EQ(collected.out, "") << c.name;
    EXPECT_TRUE(nuvra::releaseAndFreeChild(std::move(host)));
  }
}

}  // namespace
