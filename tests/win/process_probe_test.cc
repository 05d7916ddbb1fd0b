// A native probe of another process's handle count and memory, for the leak
// suite and the benchmarks, which run in node.exe and cannot read either for
// their own process. Run as
//   win_tests.exe --gtest_also_run_disabled_tests --gtest_filter=ProcessProbe.*
// with NUVRA_PROBE_PID set; it prints one "PROBE {...}" line. The enabled
// cases check that the counts it reports follow what a process really holds.
#include <gtest/gtest.h>
#include <windows.h>

// After windows.h, which it builds on.
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/handle_win.h"
#include "common/text.h"
#include "handle_table_win.h"

namespace {

using nuvra::UniqueHandle;
using nuvra::testing::handleCount;
using nuvra::testing::objectType;

struct Memory {
  std::uint64_t workingSet = 0;
  std::uint64_t peakWorkingSet = 0;
  std::uint64_t privateBytes = 0;
};

std::optional<Memory> memoryOf(HANDLE process) {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof(counters);
  if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                            sizeof(counters))) {
    return std::nullopt;
  }
  return Memory{counters.WorkingSetSize, counters.PeakWorkingSetSize, counters.PrivateUsage};
}

struct ProcessRow {
  DWORD pid = 0;
  DWORD parent = 0;
  // When it was created (100 ns units), 0 when it could not be asked.
  std::uint64_t created = 0;
};

// How many of `rows` descend from `pid` (its children, theirs, ...). A row
// names its parent by pid, and a pid names whichever process holds it now: a
// process may outlive its parent, so the orphans of an earlier holder of a pid
// in the tree name it too. A child counts only if it was not created before
// the process its parent pid names now; one whose age is unknown counts.
std::uint64_t descendantsIn(const std::vector<ProcessRow>& rows, DWORD pid) {
  const auto createdOf = [&](DWORD of) {
    const auto row =
        std::find_if(rows.begin(), rows.end(), [&](const ProcessRow& r) { return r.pid == of; });
    return row == rows.end() ? 0 : row->created;
  };
  std::vector<DWORD> found{pid};
  for (std::size_t i = 0; i < found.size(); ++i) {
    const std::uint64_t parentCreated = createdOf(found[i]);
    for (const ProcessRow& row : rows) {
      const bool younger = row.created == 0 || parentCreated == 0 || row.created >= parentCreated;
      if (row.parent == found[i] && row.pid != pid && younger &&
          std::find(found.begin(), found.end(), row.pid) == found.end()) {
        found.push_back(row.pid);
      }
    }
  }
  return found.size() - 1;
}

std::uint64_t createdAt(DWORD pid) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  FILETIME created{};
  FILETIME exited{};
  FILETIME kernel{};
  FILETIME user{};
  if (!process || !GetProcessTimes(process.get(), &created, &exited, &kernel, &user)) return 0;
  return (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}

// Processes below `pid`: a launch that failed must leave none behind.
std::optional<std::uint64_t> descendantsOf(DWORD pid) {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return std::nullopt;
  std::vector<ProcessRow> rows;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    rows.push_back(
        {entry.th32ProcessID, entry.th32ParentProcessID, createdAt(entry.th32ProcessID)});
  }
  return descendantsIn(rows, pid);
}

UniqueHandle openForQuery(DWORD pid) {
  return UniqueHandle(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
}

// pid: parent, created. 10 is the probed process; 30 held a pid of the tree
// before it (its orphan 31 and 31's child 32 name it still).
TEST(ProcessProbe, CountsOnlyProcessesYoungerThanTheParentTheirPidNames) {
  struct Case {
    const char* name;
    std::vector<ProcessRow> rows;
    std::uint64_t descendants;
  };
  const Case cases[] = {
      {"children and grandchildren",
       {{10, 1, 100}, {20, 10, 110}, {21, 20, 120}, {22, 10, 130}},
       3},
      {"an orphan of an earlier holder of a child's pid",
       {{10, 1, 100}, {30, 10, 200}, {31, 30, 150}, {32, 31, 160}, {33, 30, 210}},
       2},
      {"an orphan of an earlier holder of the probed pid", {{10, 1, 100}, {40, 10, 90}}, 0},
      {"an age nobody could read counts", {{10, 1, 100}, {50, 10, 0}, {51, 50, 20}}, 2},
  };
  for (const Case& c : cases) EXPECT_EQ(descendantsIn(c.rows, 10), c.descendants) << c.name;
}

TEST(ProcessProbe, ALaunchedChildIsADescendantUntilItEnds) {
  const std::optional<std::uint64_t> before = descendantsOf(GetCurrentProcessId());
  ASSERT_TRUE(before.has_value());
  wchar_t image[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameW(nullptr, image, MAX_PATH), 0u);
  std::wstring line = L"probe --gtest_list_tests";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION child{};
  ASSERT_TRUE(CreateProcessW(image, line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                             nullptr, &startup, &child));
  const UniqueHandle process(child.hProcess);
  const UniqueHandle thread(child.hThread);
  EXPECT_EQ(descendantsOf(GetCurrentProcessId()), *before + 1);
  ASSERT_TRUE(TerminateProcess(process.get(), 1));
  ASSERT_EQ(WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
  EXPECT_EQ(descendantsOf(GetCurrentProcessId()), before);
}

TEST(ProcessProbe, AnotherEventRaisesTheHandleCountByOne) {
  const std::optional<DWORD> before = handleCount(GetCurrentProcessId());
  ASSERT_TRUE(before.has_value());
  std::vector<UniqueHandle> events;
  for (int i = 0; i < 10; ++i) events.emplace_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const std::optional<DWORD> during = handleCount(GetCurrentProcessId());
  ASSERT_TRUE(during.has_value());
  EXPECT_EQ(*during, *before + 10);
  events.clear();
  EXPECT_EQ(handleCount(GetCurrentProcessId()), before);
}

TEST(ProcessProbe, TouchedMemoryShowsInTheWorkingSet) {
  UniqueHandle self = openForQuery(GetCurrentProcessId());
  ASSERT_TRUE(self);
  const std::optional<Memory> before = memoryOf(self.get());
  ASSERT_TRUE(before.has_value());
  constexpr std::size_t kSize = 64u << 20;
  std::vector<unsigned char> block(kSize, 1);
  const std::optional<Memory> during = memoryOf(self.get());
  ASSERT_TRUE(during.has_value());
  EXPECT_GE(during->peakWorkingSet, before->workingSet + kSize / 2);
  EXPECT_GE(during->peakWorkingSet, during->workingSet);
  EXPECT_EQ(block[kSize - 1], 1);
}

TEST(ProcessProbe, DISABLED_ReportsHandlesAndMemory) {
  const char* pidText = std::getenv("NUVRA_PROBE_PID");
  ASSERT_NE(pidText, nullptr);
  const DWORD pid = static_cast<DWORD>(std::strtoul(pidText, nullptr, 10));
  UniqueHandle process = openForQuery(pid);
  ASSERT_TRUE(process) << "OpenProcess " << GetLastError();
  const auto entries = nuvra::testing::handleEntries(pid);
  const std::optional<Memory> memory = memoryOf(process.get());
  const std::optional<std::uint64_t> descendants = descendantsOf(pid);
  ASSERT_TRUE(entries.has_value() && memory.has_value() && descendants.has_value());
  nuvra::RecordBuilder out;
  out.number("pid", pid)
      .number("handles", entries->size())
      .number("working_set", memory->workingSet)
      .number("peak_working_set", memory->peakWorkingSet)
      .number("private_bytes", memory->privateBytes)
      .number("descendants", *descendants);
  // Each handle as type:value, so that a leak check can name what was left.
  // A handle that cannot be copied (closed meanwhile) is named by the type
  // index of another that could.
  UniqueHandle owner(OpenProcess(PROCESS_DUP_HANDLE, FALSE, pid));
  std::map<USHORT, std::string> names;
  std::vector<std::string> types;
  for (const auto& entry : *entries) {
    types.push_back(owner ? objectType(owner.get(), entry.handleValue) : "?");
    if (types.back() != "?") names[entry.objectTypeIndex] = types.back();
  }
  std::string list;
  for (std::size_t i = 0; i < entries->size(); ++i) {
    const auto named = names.find((*entries)[i].objectTypeIndex);
    if (types[i] == "?" && named != names.end()) types[i] = named->second;
    if (!list.empty()) list += ' ';
    list += types[i] + ':' + std::to_string((*entries)[i].handleValue);
  }
  out.string("list", list);
  std::printf("PROBE %s", out.line().c_str());
  std::fflush(stdout);
}

}  // namespace
