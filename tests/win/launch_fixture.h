// Shared by the Windows tests that launch the broker executable: a runtime
// root with the broker in place, a launch context standing in for the
// subsystems a launch runs for, and helpers that drive a child to its end.
#pragma once

#include <windows.h>

// After windows.h, which it builds on.
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../support/reason_of.h"
#include "children/child_io_win.h"
#include "common/reason.h"
#include "common/text.h"
#include "handle_table_win.h"
#include "launch/launch_win.h"

namespace nuvra::testing {

inline std::wstring moduleDirectory() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring text(path, length);
  return text.substr(0, text.find_last_of(L'\\'));
}

// A runtime root with the broker executable in its place, on the temp drive.
class TestRoot {
 public:
  TestRoot() {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    root_ = std::wstring(temp) + L"nuvra-launch-" + std::to_wstring(GetCurrentProcessId());
    std::wstring dir = root_;
    CreateDirectoryW(dir.c_str(), nullptr);
    for (const wchar_t* part : {L"\\connector", L"\\vevadu-code", L"\\client"}) {
      dir += part;
      CreateDirectoryW(dir.c_str(), nullptr);
    }
    broker_ = root_ + std::wstring(nuvra::kBrokerRelativePath);
    const std::wstring built = moduleDirectory() + L"\\nuvra_windows_broker_native.exe";
    CopyFileW(built.c_str(), broker_.c_str(), FALSE);
  }
  const std::wstring& root() const { return root_; }
  const std::wstring& broker() const { return broker_; }

 private:
  std::wstring root_;
  std::wstring broker_;
};

inline const TestRoot& testRoot() {
  static const TestRoot root;
  return root;
}

class TestContext : public nuvra::LaunchContext {
 public:
  void checkDeadline() override {
    ++deadlineChecks;
    if (deadlineFails) nuvra::fail("profile_startup_timeout");
  }
  void acquireSerialization() override { ++acquisitions; }
  void releaseSerialization() override { ++releases; }
  std::unique_lock<std::mutex> tryLockOwner() override {
    ++ownerLocks;
    return std::unique_lock<std::mutex>(ownerMutex, std::try_to_lock);
  }
  std::wstring runtimeRoot() override { return root; }
  std::wstring home() override { return L"C:\\nuvra-home"; }
  std::string ownerSidHash() override { return "0123abcd"; }
  std::string buildHandoffText(ChildProcess&, nuvra::InheritList& inherit) override {
    if (handoffText) return *handoffText;
    nuvra::RecordBuilder record;
    record.string("schema_version", "nuvra.test.v1");
    for (HANDLE handle : guards) {
      record.decimalString(
          "guard", reinterpret_cast<std::uintptr_t>(nuvra::duplicateForChild(handle, inherit, 0)));
    }
    return record.text();
  }
  void checkpoint(std::string_view name) noexcept override { checkpoints.emplace_back(name); }
  void creationRetried(std::string_view name) noexcept override { retries.emplace_back(name); }

  std::wstring root = testRoot().root();
  std::optional<std::string> handoffText;
  std::vector<HANDLE> guards;
  bool deadlineFails = false;
  int deadlineChecks = 0;
  // Atomic: a test's other thread orders its steps by them.
  std::atomic<int> acquisitions{0};
  std::atomic<int> releases{0};
  std::atomic<int> ownerLocks{0};
  std::mutex ownerMutex;
  std::vector<std::string> checkpoints;
  std::vector<std::string> retries;
};

// An unnamed event standing in for a guard file the record names.
class UniqueEventForTest {
 public:
  UniqueEventForTest() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  HANDLE get() const { return handle_.get(); }

 private:
  nuvra::UniqueHandle handle_;
};

inline LaunchRequest brokerRequest(std::vector<std::wstring> arguments) {
  LaunchRequest request;
  request.applicationPath = testRoot().broker();
  request.arguments = std::move(arguments);
  return request;
}

using nuvra::testing::reasonOf;

struct Collected {
  std::string out;
  std::string err;
  std::optional<std::uint32_t> exitCode;
};

// Polls until both streams are closed and the process has exited.
inline Collected drain(ChildProcess& child) {
  Collected collected;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < until) {
    nuvra::PollResult result = nuvra::pollChild(child);
    if (result.stdoutBytes) collected.out.append(result.stdoutBytes->view());
    if (result.stderrBytes) collected.err.append(result.stderrBytes->view());
    if (!result.stdoutBytes && !result.stderrBytes && result.exitCode) {
      collected.exitCode = result.exitCode;
      return collected;
    }
    Sleep(2);
  }
  ADD_FAILURE() << "the child did not finish";
  return collected;
}

// Reads standard output until it holds a full line.
inline std::string firstLine(ChildProcess& child) {
  std::string out;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (out.find('\n') == std::string::npos && std::chrono::steady_clock::now() < until) {
    nuvra::PollResult result = nuvra::pollChild(child);
    if (!result.stdoutBytes) break;
    out.append(result.stdoutBytes->view());
    Sleep(2);
  }
  return out.substr(0, out.find('\n'));
}

// This process's handle count from the handle table.
inline DWORD handleCount() {
  const std::optional<DWORD> count = handleCount(GetCurrentProcessId());
  if (!count) ADD_FAILURE() << "the handle table could not be read";
  return count.value_or(0);
}

// The count once it has come down to `expected`, or where it stayed: a
// launch that fails hands its record to the thread pool's cleanup, which
// closes the record's handles off this thread. Read a bounded number of times.
inline DWORD handleCountSettlingTo(DWORD expected) {
  DWORD count = handleCount();
  for (int i = 0; i < 5000 && count > expected; ++i) {
    Sleep(1);
    count = handleCount();
  }
  return count;
}

// The threads of this process now.
inline std::size_t threadCount() {
  nuvra::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  std::size_t count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = snapshot ? Thread32First(snapshot.get(), &entry) : FALSE; more;
       more = Thread32Next(snapshot.get(), &entry)) {
    count += entry.th32OwnerProcessID == GetCurrentProcessId();
  }
  return count;
}

// What this process holds now: its handles, and its threads.
struct HandleSample {
  std::vector<HandleEntry> handles;
  std::size_t threads = 0;
};

inline HandleSample sampleHandles() {
  std::optional<std::vector<HandleEntry>> entries = handleEntries(GetCurrentProcessId());
  if (!entries) ADD_FAILURE() << "the handle table could not be read";
  return {entries.value_or(std::vector<HandleEntry>{}), threadCount()};
}

// The kinds of the handles opened since `before` that are still open ("" when
// none), once the thread pool's cleanup of a failed launch has had a bounded
// time to close them. Compared handle by handle rather than by count: a
// handle an earlier test's cleanup closes meanwhile must not hide one that
// stayed. A thread Wine's pool started meanwhile keeps an event for its
// life: one event per thread the process gained is not counted.
inline std::string handlesOpenedSince(const HandleSample& before) {
  const auto opened = [&] {
    const HandleSample now = sampleHandles();
    std::size_t poolEvents = now.threads > before.threads ? now.threads - before.threads : 0;
    std::string kinds;
    for (const HandleEntry& entry : now.handles) {
      if (std::any_of(before.handles.begin(), before.handles.end(), [&](const HandleEntry& was) {
            return was.handleValue == entry.handleValue &&
                   was.objectTypeIndex == entry.objectTypeIndex &&
                   was.grantedAccess == entry.grantedAccess;
          })) {
        continue;
      }
      const std::string kind = objectType(GetCurrentProcess(), entry.handleValue);
      if (kind == "Event" && poolEvents > 0) {
        --poolEvents;
        continue;
      }
      kinds += (kinds.empty() ? "" : " ") + kind;
    }
    return kinds;
  };
  std::string kinds = opened();
  for (int i = 0; i < 5000 && !kinds.empty(); ++i) {
    Sleep(1);
    kinds = opened();
  }
  return kinds;
}

inline std::span<const unsigned char> bytesOf(std::string_view text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

}  // namespace nuvra::testing
