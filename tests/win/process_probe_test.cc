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

// Processes below `pid` (its children, theirs, ...): a launch that failed
// must leave none behind.
std::optional<std::uint64_t> descendantsOf(DWORD pid) {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return std::nullopt;
  std::vector<std::pair<DWORD, DWORD>> parents;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    parents.emplace_back(entry.th32ProcessID, entry.th32ParentProcessID);
  }
  std::vector<DWORD> found{pid};
  for (std::size_t i = 0; i < found.size(); ++i) {
    for (const auto& [child, parent] : parents) {
      if (parent == found[i] && child != pid &&
          std::find(found.begin(), found.end(), child) == found.end()) {
        found.push_back(child);
      }
    }
  }
  return found.size() - 1;
}

UniqueHandle openForQuery(DWORD pid) {
  return UniqueHandle(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
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
