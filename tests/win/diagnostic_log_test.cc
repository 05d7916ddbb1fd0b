#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/file_win.h"
#include "common/handle_win.h"
#include "common/reason.h"
#include "diagnostics/event.h"
#include "diagnostics/log_rules.h"
#include "diagnostics/log_writer_win.h"
#include "terminal/terminal_rules.h"
#include "terminal/terminal_win.h"

namespace nuvra {
namespace {

std::wstring currentSidText() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"";
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<std::uint64_t> buffer(size / sizeof(std::uint64_t) + 1);
  std::wstring text;
  if (GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    wchar_t* sid = nullptr;
    if (ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
      text = sid;
      LocalFree(sid);
    }
  }
  CloseHandle(token);
  return text;
}

std::uint32_t volumeSerialOf(const std::wstring& directory) {
  HANDLE handle = CreateFileW(directory.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  FileIdentity identity;
  const bool known = handle != INVALID_HANDLE_VALUE && fileIdentity(handle, identity);
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  return known ? identity.volumeSerial : 0;
}

// What the fakes saw, shared with the test after the write took them over.
struct Observed {
  int ownerChecks = 0;
  int failOwnerCheckAt = 0;  // 0: never
  int acquired = 0;
  int released = 0;
  int guardChecks = 0;
  int ownerOnlyChecks = 0;
  bool refuseOwnerOnly = false;
  // Refuses the owner-only check of an empty file: the index 0 a rotation creates.
  bool refuseEmptyFiles = false;
  std::uint32_t volumeOffset = 0;
  std::uint64_t limit = kLogFileLimit;
};

class FakeHome final : public LogHome {
 public:
  FakeHome(std::wstring home, Observed& observed)
      : home_(std::move(home)), sid_(currentSidText()), observed_(observed) {
    serial_ = volumeSerialOf(home_) + observed.volumeOffset;
  }
  const std::wstring& homePath() const override { return home_; }
  std::uint32_t volumeSerial() const override { return serial_; }
  const std::wstring& userSid() const override { return sid_; }
  void checkOwnerOnly(HANDLE handle, bool directory) const override {
    ++observed_.ownerOnlyChecks;
    if (observed_.refuseOwnerOnly) fail("profile_security");
    FileIdentity identity;
    if (observed_.refuseEmptyFiles && !directory && fileIdentity(handle, identity) &&
        identity.size == 0) {
      fail("profile_security");
    }
  }
  void acquireSerialization(std::uint64_t, std::uint32_t, bool) override {
    ++observed_.acquired;
    owned_ = true;
  }
  void releaseSerialization() override {
    if (!owned_) return;
    owned_ = false;
    ++observed_.released;
  }
  void verifyGuards(const std::function<void()>& ownerCheck) override {
    ownerCheck();
    ++observed_.guardChecks;
  }
  std::uint64_t fileLimit() const override { return observed_.limit; }

 private:
  std::wstring home_;
  std::wstring sid_;
  std::uint32_t serial_ = 0;
  Observed& observed_;
  bool owned_ = false;
};

class FakeOwner final : public LogOwner {
 public:
  FakeOwner(Observed& observed, bool fenced) : observed_(observed), fenced_(fenced) {}
  std::unique_lock<std::mutex> lockOwner() override { return std::unique_lock<std::mutex>(lock_); }
  void check() override {
    ++observed_.ownerChecks;
    if (observed_.ownerChecks == observed_.failOwnerCheckAt) fail("profile_work_ended");
  }
  std::uint64_t deadline() const override { return GetTickCount64() + 2000; }
  std::uint32_t clock() const override { return 0; }
  bool fencedAtOpen() const override { return fenced_; }

 private:
  Observed& observed_;
  bool fenced_;
  std::mutex lock_;
};

std::string todayText() {
  SYSTEMTIME now{};
  GetSystemTime(&now);
  return dateText({now.wYear, now.wMonth, now.wDay});
}

std::string thrownReason(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "";
}

std::string readAll(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  std::string bytes;
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    bytes.append(buffer, read);
  }
  CloseHandle(file);
  return bytes;
}

void writeFile(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  ASSERT_EQ(written, bytes.size());
  CloseHandle(file);
}

bool exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class DiagnosticLogFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1] = {};
    ASSERT_GT(GetTempPathW(MAX_PATH + 1, temp), 0u);
    static std::atomic<unsigned> counter{0};
    home_ = std::wstring(temp) + L"nuvra-log-test-" + std::to_wstring(GetCurrentProcessId()) +
            L"-" + std::to_wstring(++counter);
    ASSERT_TRUE(CreateDirectoryW(home_.c_str(), nullptr));
    // Compare against the path the file system reports, as the writer does.
    HANDLE handle = CreateFileW(home_.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    home_ = canonicalPath(handle);
    CloseHandle(handle);
    logs_ = home_ + L"\\logs";
  }
  void TearDown() override {
    static_cast<void>(clearLogs());
    RemoveDirectoryW(logs_.c_str());
    DeleteFileW(logs_.c_str());
    RemoveDirectoryW(home_.c_str());
  }

  // Deletes every file in "\\logs"; gives the names it found.
  std::vector<std::wstring> clearLogs() {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry{};
    HANDLE search = FindFirstFileW((logs_ + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        names.push_back(name);
        DeleteFileW((logs_ + L"\\" + name).c_str());
      } while (FindNextFileW(search, &entry));
      FindClose(search);
    }
    return names;
  }
  std::unique_ptr<DiagnosticWrite> write(const std::string& text, bool fenced = true) {
    return std::make_unique<DiagnosticWrite>(std::make_unique<FakeOwner>(observed_, fenced),
                                             std::make_unique<FakeHome>(home_, observed_), text);
  }
  std::string append(const std::string& text, bool fenced = true) {
    return thrownReason([&] { write(text, fenced)->execute(); });
  }
  std::wstring logFile(const std::string& date, unsigned index) const {
    return logs_ + L"\\" + logFileName(date, index);
  }
  void makeLogs() { ASSERT_TRUE(CreateDirectoryW(logs_.c_str(), nullptr)); }

  std::wstring home_;
  std::wstring logs_;
  Observed observed_;
};

TEST_F(DiagnosticLogFiles, FirstWriteCreatesTheDirectoryAndTodaysFile) {
  EXPECT_EQ(append("{\"a\":1}\n"), "");
  EXPECT_EQ(append("{\"b\":2}\n"), "");
  EXPECT_EQ(readAll(logFile(todayText(), 0)), "{\"a\":1}\n{\"b\":2}\n");
  EXPECT_EQ(observed_.acquired, 2);
  EXPECT_EQ(observed_.released, 2);
  EXPECT_GE(observed_.ownerOnlyChecks, 4);  // directory and file, twice
}

TEST_F(DiagnosticLogFiles, EveryOpenedHandleIsClosedAfterTheWrite) {
  EXPECT_EQ(append("{}\n"), "");
  // An exclusive open only succeeds once the writer let go of the file.
  HANDLE exclusive = CreateFileW(logFile(todayText(), 0).c_str(), GENERIC_READ, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(exclusive, INVALID_HANDLE_VALUE);
  if (exclusive != INVALID_HANDLE_VALUE) CloseHandle(exclusive);
}

TEST_F(DiagnosticLogFiles, RetentionDeletesOnlyRealLogFilesOlderThanSixDays) {
  makeLogs();
  SYSTEMTIME now{};
  GetSystemTime(&now);
  const CalendarDate today{now.wYear, now.wMonth, now.wDay};
  const std::string lastKept = dateText(daysBefore(today, 6));
  const std::string firstGone = dateText(daysBefore(today, 7));
  const std::wstring kept[] = {
      logFile(lastKept, 0),
      logFile("20200230", 0),               // 30 February never existed
      logs_ + L"\\nuvra-20200101-4.jsonl",  // index 4 is not a rotation
      logs_ + L"\\nuvra-2020010-0.jsonl",   // 21 characters
      logs_ + L"\\nuvra-20200101-0.jsonl.old",
  };
  const std::wstring gone[] = {logFile(firstGone, 0), logFile("20200101", 0),
                               logFile("20200101", 3)};
  for (const auto& path : kept) writeFile(path, "x\n");
  for (const auto& path : gone) writeFile(path, "x\n");
  EXPECT_EQ(append("{}\n"), "");
  for (const auto& path : kept) EXPECT_TRUE(exists(path));
  for (const auto& path : gone) EXPECT_FALSE(exists(path));
}

TEST_F(DiagnosticLogFiles, SixtyFiveMatchingFilesRefuseEveryWrite) {
  makeLogs();
  // Future days: never old enough to be deleted.
  for (unsigned i = 0; i < 64; ++i) {
    writeFile(logFile(dateText(daysBefore({2099, 12, 31}, i)), 0), "x\n");
  }
  EXPECT_EQ(append("{}\n"), "");  // 64 seen; today's file makes 65
  EXPECT_EQ(append("{}\n"), "diagnostic_unavailable");
  EXPECT_EQ(readAll(logFile(todayText(), 0)), "{}\n");
  EXPECT_EQ(observed_.released, 2);
}

TEST_F(DiagnosticLogFiles, RotationShiftsIndexesAndStartsAFreshFile) {
  makeLogs();
  const std::string today = todayText();
  writeFile(logFile(today, 0), std::string(1048000, 'a'));
  writeFile(logFile(today, 1), "one\n");
  writeFile(logFile(today, 2), "two\n");
  writeFile(logFile(today, 3), "three\n");
  const std::string text = std::string(599, 'z') + "\n";
  EXPECT_EQ(append(text), "");
  EXPECT_EQ(readAll(logFile(today, 0)), text);
  EXPECT_EQ(readAll(logFile(today, 1)).size(), 1048000u);
  EXPECT_EQ(readAll(logFile(today, 2)), "one\n");
  EXPECT_EQ(readAll(logFile(today, 3)), "two\n");
}

TEST_F(DiagnosticLogFiles, AFileThatStillFitsIsAppendedTo) {
  makeLogs();
  const std::string today = todayText();
  writeFile(logFile(today, 0), std::string(1048000, 'a'));
  EXPECT_EQ(append(std::string(575, 'z') + "\n"), "");
  EXPECT_EQ(readAll(logFile(today, 0)).size(), 1048576u);
  EXPECT_FALSE(exists(logFile(today, 1)));
}

TEST_F(DiagnosticLogFiles, RotationWithGapsSkipsMissingIndexes) {
  makeLogs();
  const std::string today = todayText();
  writeFile(logFile(today, 0), std::string(1048576, 'a'));
  writeFile(logFile(today, 2), "two\n");
  EXPECT_EQ(append("{}\n"), "");
  EXPECT_EQ(readAll(logFile(today, 0)), "{}\n");
  EXPECT_EQ(readAll(logFile(today, 1)).size(), 1048576u);
  EXPECT_FALSE(exists(logFile(today, 2)));
  EXPECT_EQ(readAll(logFile(today, 3)), "two\n");
}

// A rotation that meets a file somebody holds, or that fails halfway. Index
// 0 is full at a limit of 64 bytes, so the text rotates it.
TEST_F(DiagnosticLogFiles, ARotationMovesHeldFilesAndCompletesOrChangesNothing) {
  const std::string zero = std::string(60, '0') + "\n";
  const std::string text = "{\"t\":1}\n";
  struct Case {
    const char* name;
    int held;               // the index a reader holds open meanwhile; -1 none
    bool heldSharesDelete;  // held as the log writer holds a file, or not
    bool refuseNewFile;     // the new index 0 fails its owner-only check
    const char* reason;
    std::array<std::string, 4> after;  // index 0 to 3 afterwards; "" absent
    int heldLandsAt;  // where a line written through the held handle goes; -1 no day's file
  };
  const Case cases[] = {
      {"held index 0 moves to 1", 0, true, false, "", {text, zero, "1\n", "2\n"}, 1},
      {"held index 2 moves to 3", 2, true, false, "", {text, zero, "1\n", "2\n"}, 3},
      {"held index 3 is dropped", 3, true, false, "", {text, zero, "1\n", "2\n"}, -1},
      {"a file held without delete sharing stops it first",
       1,
       false,
       false,
       "diagnostic_unavailable",
       {zero, "1\n", "2\n", "3\n"},
       1},
      {"a refused new index 0 puts every file back",
       -1,
       true,
       true,
       "profile_security",
       {zero, "1\n", "2\n", "3\n"},
       -1},
  };
  makeLogs();
  const std::string today = todayText();
  observed_.limit = 64;
  for (const Case& c : cases) {
    const std::array<std::string, 4> before = {zero, "1\n", "2\n", "3\n"};
    for (unsigned index = 0; index < before.size(); ++index) {
      writeFile(logFile(today, index), before[index]);
    }
    UniqueHandle held;
    FileIdentity heldIdentity;
    if (c.held >= 0) {
      const DWORD share =
          FILE_SHARE_READ | FILE_SHARE_WRITE | (c.heldSharesDelete ? FILE_SHARE_DELETE : 0);
      held = UniqueHandle(CreateFileW(logFile(today, static_cast<unsigned>(c.held)).c_str(),
                                      FILE_APPEND_DATA | READ_CONTROL, share, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(held) << c.name;
      // As a checkpoint records it, before anything moves the file.
      ASSERT_TRUE(fileIdentity(held.get(), heldIdentity)) << c.name;
    }
    observed_.refuseEmptyFiles = c.refuseNewFile;
    EXPECT_EQ(append(text), c.reason) << c.name;
    for (unsigned index = 0; index < c.after.size(); ++index) {
      EXPECT_EQ(readAll(logFile(today, index)), c.after[index]) << c.name << " index " << index;
    }
    if (held) {
      EXPECT_EQ(isDayLogFile(heldIdentity, logFile(today, static_cast<unsigned>(c.held))),
                c.heldLandsAt >= 0)
          << c.name;
      DWORD written = 0;
      ASSERT_TRUE(WriteFile(held.get(), "held\n", 5, &written, nullptr)) << c.name;
      if (c.heldLandsAt >= 0) {
        const std::string landed = readAll(logFile(today, static_cast<unsigned>(c.heldLandsAt)));
        EXPECT_EQ(landed.substr(landed.size() - 5), "held\n") << c.name;
      }
      held.closeQuietly();
    }
    // Nothing else is left: no dropped file once its holder let go, no new file.
    std::vector<std::wstring> expected;
    for (unsigned index = 0; index < c.after.size(); ++index) {
      if (!c.after[index].empty()) expected.push_back(logFileName(today, index));
    }
    std::vector<std::wstring> found = clearLogs();
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, expected) << c.name;
  }
}

// The product's own path: the writer's terminal append writes a checkpoint
// and hands the day's file to the operation, which holds it (shared as the
// writer shares it) while other writes rotate; then the terminal record. It
// lands after its checkpoint in whatever index the file moved to; once a
// rotation dropped the file, it is refused before a byte is written.
TEST_F(DiagnosticLogFiles, ATerminalRecordFollowsTheFileItsCheckpointHoldsThroughRotations) {
  struct Case {
    unsigned rotations;
    int landsAt;  // the index holding checkpoint and record; -1 refused
  };
  const Case cases[] = {{0, 0}, {1, 1}, {3, 3}, {4, -1}};
  const std::string checkpoint = "{\"checkpoint\":1}\n";
  // 60 bytes: at a limit of 64 every such line rotates what is there.
  const std::string line = std::string(59, 'r') + "\n";
  makeLogs();
  const std::string today = todayText();
  observed_.limit = 64;
  for (const Case& c : cases) {
    TerminalObservation operation(1, "capture", "");
    // As far away as an operation's deadline may be, for a loaded machine.
    operation.deadline = GetTickCount64() + kTerminalWindowMs - 100;
    operation.operationId = std::string(64, 'a');
    operation.state = "saved";
    operation.reason = "none";
    operation.ok = true;
    DiagnosticWrite held(std::make_unique<FakeOwner>(observed_, true),
                         std::make_unique<FakeHome>(home_, observed_), checkpoint,
                         [&](HANDLE file, const std::wstring& path, const FileIdentity& identity,
                             std::vector<UniqueHandle>& handles) {
                           writeCheckpoint(operation, file, path, identity, checkpoint, handles);
                         });
    ASSERT_EQ(thrownReason([&] { held.execute(); }), "") << c.rotations;
    ASSERT_TRUE(operation.checkpointWritten);
    for (unsigned rotation = 0; rotation < c.rotations; ++rotation) {
      ASSERT_EQ(append(line), "") << c.rotations << " rotation " << rotation;
    }
    // A write while the operation holds its file, also a dropped one.
    ASSERT_EQ(append("{}\n"), "") << c.rotations;
    const HANDLE file = operation.logFiles.back().get();
    FileIdentity before;
    ASSERT_TRUE(fileIdentity(file, before));
    const std::string reason = thrownReason([&] { writeTerminalRecord(operation); });
    if (c.landsAt >= 0) {
      EXPECT_EQ(reason, "") << c.rotations;
      const std::string landed = readAll(logFile(today, static_cast<unsigned>(c.landsAt)));
      EXPECT_EQ(landed.substr(0, checkpoint.size()), checkpoint) << c.rotations;
      EXPECT_NE(landed.find("\"operation_result\""), std::string::npos) << c.rotations;
    } else {
      EXPECT_EQ(reason, "terminal_unavailable");
      // Refused before the append: the operation still holds the file, unchanged.
      ASSERT_FALSE(operation.logFiles.empty());
      ASSERT_TRUE(operation.logFiles.back());
      FileIdentity after;
      ASSERT_TRUE(fileIdentity(operation.logFiles.back().get(), after));
      EXPECT_EQ(after.size, before.size);
      EXPECT_TRUE(closeOperationHandles(operation));
    }
    // Only the index it landed in holds a record, and only day's files are
    // left once the operation let go.
    for (unsigned index = 0; index <= kLogRotations; ++index) {
      const bool holds =
          readAll(logFile(today, index)).find("operation_result") != std::string::npos;
      EXPECT_EQ(holds, c.landsAt == static_cast<int>(index)) << c.rotations << " index " << index;
    }
    for (const std::wstring& name : clearLogs()) {
      EXPECT_TRUE(logFileDate(name).has_value()) << c.rotations;
    }
  }
}

// A rotation killed between moving the oldest index aside and marking it for
// deletion leaves it under its dropped name; the next rotation collects it,
// and nothing else that merely looks like one.
TEST_F(DiagnosticLogFiles, TheNextRotationCollectsAFileAnInterruptedRotationLeftAside) {
  makeLogs();
  const std::string today = todayText();
  const std::wstring aside = logFile(today, 3) + L".000000000000002b.dropped";
  const std::wstring old = logFile("20200101", 1) + L".ffffffff00000000.dropped";
  const std::wstring kept[] = {
      logFile(today, 3) + L".2b.dropped",  // not an index as the writer names one
      logs_ + L"\\nuvra-20261208-4.jsonl.000000000000002b.dropped",  // no log file name
      logFile(today, 3) + L".00000000000000AB.dropped",              // the writer writes lowercase
  };
  writeFile(aside, "{\"aside\":1}\n");
  writeFile(old, "{\"aside\":2}\n");
  for (const auto& path : kept) writeFile(path, "x\n");
  EXPECT_EQ(append("{}\n"), "");
  EXPECT_TRUE(exists(aside));
  writeFile(logFile(today, 0), std::string(1048576, 'a'));
  EXPECT_EQ(append("{}\n"), "");
  EXPECT_FALSE(exists(aside));
  EXPECT_FALSE(exists(old));
  for (const auto& path : kept) EXPECT_TRUE(exists(path)) << path.size();
  EXPECT_EQ(readAll(logFile(today, 0)), "{}\n");
}

// Terminal records overran the file (by one or by many): the next write
// rotates it, whole, and starts a new index 0; nothing is refused or cut.
TEST_F(DiagnosticLogFiles, AnOverrunFileIsRotatedHoweverFarTerminalRecordsPushedIt) {
  makeLogs();
  for (const std::uint64_t size : {1048576u + 4096u, 1048576u + 4097u, 1048576u + 40960u}) {
    writeFile(logFile(todayText(), 0), std::string(size, 'a'));
    EXPECT_EQ(append("{}\n"), "") << size;
    EXPECT_EQ(readAll(logFile(todayText(), 1)).size(), size);
    EXPECT_EQ(readAll(logFile(todayText(), 0)), "{}\n");
  }
}

TEST_F(DiagnosticLogFiles, ALogsEntryThatIsAFileIsRefused) {
  writeFile(logs_, "not a directory");
  EXPECT_EQ(append("{}\n"), "diagnostic_unavailable");
  EXPECT_EQ(observed_.released, 1);
}

TEST_F(DiagnosticLogFiles, ALogsDirectoryOnAnotherVolumeIsRefused) {
  observed_.volumeOffset = 1;
  EXPECT_EQ(append("{}\n"), "diagnostic_unavailable");
}

TEST_F(DiagnosticLogFiles, AHomeThatResolvesElsewhereIsRefused) {
  // A drive letter standing for the home: every path the writer asks for
  // resolves to another final path, as through a link.
  wchar_t letter = 0;
  for (wchar_t candidate = L'Q'; candidate <= L'Y'; ++candidate) {
    const wchar_t drive[] = {candidate, L':', 0};
    if (DefineDosDeviceW(0, drive, home_.c_str())) {
      letter = candidate;
      break;
    }
  }
  if (letter == 0) GTEST_SKIP() << "no drive letter could be defined";
  const wchar_t drive[] = {letter, L':', 0};
  makeLogs();
  Observed observed;
  DiagnosticWrite linked(std::make_unique<FakeOwner>(observed, true),
                         std::make_unique<FakeHome>(std::wstring(drive), observed), "{}\n");
  EXPECT_EQ(thrownReason([&] { linked.execute(); }), "diagnostic_unavailable");
  DefineDosDeviceW(DDD_REMOVE_DEFINITION, drive, nullptr);
  EXPECT_FALSE(exists(logFile(todayText(), 0)));
}

TEST_F(DiagnosticLogFiles, AFailedOwnerOnlyCheckIsASecurityRefusal) {
  observed_.refuseOwnerOnly = true;
  EXPECT_EQ(append("{}\n"), "profile_security");
  EXPECT_EQ(observed_.released, 1);
}

TEST_F(DiagnosticLogFiles, AnOwnerCheckFailingBeforeTheAppendWritesNothing) {
  // Checks: lock, directory step, append step. The third is the last before the append.
  observed_.failOwnerCheckAt = 3;
  EXPECT_EQ(append("{}\n"), "profile_work_ended");
  EXPECT_EQ(readAll(logFile(todayText(), 0)), "");
  EXPECT_EQ(observed_.acquired, 1);
  EXPECT_EQ(observed_.released, 1);
}

TEST_F(DiagnosticLogFiles, AnOwnerCheckFailingAtTheLockTakesNoMutex) {
  observed_.failOwnerCheckAt = 1;
  EXPECT_EQ(append("{}\n"), "profile_work_ended");
  EXPECT_EQ(observed_.acquired, 0);
}

TEST_F(DiagnosticLogFiles, OwnersNotFencedAtOpenReverifyTheGuards) {
  EXPECT_EQ(append("{}\n", true), "");
  EXPECT_EQ(observed_.guardChecks, 0);
  EXPECT_EQ(append("{}\n", false), "");
  EXPECT_EQ(observed_.guardChecks, 1);
}

TEST_F(DiagnosticLogFiles, AWriteWithoutOwnerNeedsAnEvent) {
  DiagnosticWrite orphan(nullptr, std::make_unique<FakeHome>(home_, observed_), "{}\n");
  EXPECT_EQ(thrownReason([&] { orphan.execute(); }), "diagnostic_event_required");
}

TEST_F(DiagnosticLogFiles, ATextLargerThanAFileIsRefused) {
  EXPECT_EQ(append(std::string(1048577, 'x')), "diagnostic_unavailable");
  EXPECT_EQ(observed_.acquired, 0);
}

// Appenders of one file, each with a handle of its own as separate processes
// have: log writes and terminal records at once, none lands over another.
TEST_F(DiagnosticLogFiles, AppendersOfOneFileNeverWriteOverEachOther) {
  makeLogs();
  const std::wstring today = logFile(todayText(), 0);
  constexpr int kAppenders = 4;
  constexpr int kRecords = 150;
  // "k-i-" and a letter per appender, 100 to 2099 of them.
  const auto lineOf = [](int k, int i) {
    return std::to_string(k) + "-" + std::to_string(i) + "-" +
           std::string(static_cast<std::size_t>(100 + (i * 7919 + k * 104729) % 2000),
                       static_cast<char>('a' + k)) +
           "\n";
  };
  std::atomic<int> failed{0};
  std::vector<std::thread> appenders;
  for (int k = 0; k < kAppenders; ++k) {
    appenders.emplace_back([&, k] {
      Observed observed;
      TerminalObservation operation(1, "capture", "");
      UniqueHandle file;
      if (k % 2 == 1) {
        file = UniqueHandle(CreateFileW(today.c_str(), FILE_APPEND_DATA | READ_CONTROL,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_ALWAYS, FILE_FLAG_WRITE_THROUGH, nullptr));
      }
      for (int i = 0; i < kRecords; ++i) {
        std::string reason;
        if (k % 2 == 0) {
          DiagnosticWrite write(std::make_unique<FakeOwner>(observed, true),
                                std::make_unique<FakeHome>(home_, observed), lineOf(k, i));
          reason = thrownReason([&] { write.execute(); });
        } else {
          operation.deadline = GetTickCount64() + kTerminalWindowMs - 100;
          reason = thrownReason([&] { appendTerminalRecord(operation, file.get(), lineOf(k, i)); });
        }
        if (!reason.empty()) ++failed;
      }
    });
  }
  for (std::thread& appender : appenders) appender.join();
  EXPECT_EQ(failed.load(), 0);
  std::istringstream lines(readAll(today));
  std::set<std::string> whole;
  int broken = 0;
  for (std::string line; std::getline(lines, line);) {
    const std::size_t dash = line.find('-', 2);
    const bool known = line.size() > 4 && line[0] >= '0' && line[0] < '0' + kAppenders &&
                       dash != std::string::npos &&
                       line + "\n" == lineOf(line[0] - '0', std::atoi(line.c_str() + 2));
    if (!known || !whole.insert(line).second) ++broken;
  }
  EXPECT_EQ(broken, 0);
  EXPECT_EQ(whole.size(), std::size_t{kAppenders} * kRecords);
}

TEST_F(DiagnosticLogFiles, ATerminalAppendWritesThroughTheDaysFileAndTakesTheHandles) {
  std::size_t handedOver = 0;
  std::wstring pathGiven;
  bool identityOfTheFile = false;
  auto terminal = [&](HANDLE file, const std::wstring& path, const FileIdentity& identity,
                      std::vector<UniqueHandle>& handles) {
    pathGiven = path;
    FileIdentity read;
    identityOfTheFile = fileIdentity(file, read) && read.sameFile(identity) && read.links == 1;
    const char record[] = "{\"terminal\":true}\n";
    DWORD written = 0;
    if (!WriteFile(file, record, sizeof(record) - 1, &written, nullptr))
      fail("terminal_unavailable");
    handedOver = handles.size();
    std::vector<UniqueHandle> taken = std::move(handles);
    handles.clear();
  };
  DiagnosticWrite write(std::make_unique<FakeOwner>(observed_, true),
                        std::make_unique<FakeHome>(home_, observed_), "unused\n", terminal);
  EXPECT_EQ(thrownReason([&] { write.execute(); }), "");
  EXPECT_EQ(handedOver, 2u);  // the directory and the day's file
  EXPECT_TRUE(identityOfTheFile);
  EXPECT_EQ(readAll(logFile(todayText(), 0)), "{\"terminal\":true}\n");
  EXPECT_EQ(pathGiven, logFile(todayText(), 0));
}

class LogLevelVariable : public ::testing::Test {
 protected:
  void TearDown() override { SetEnvironmentVariableW(L"NUVRA_AUTH_LOG_LEVEL", nullptr); }
  LogLevel levelFor(const wchar_t* value) {
    SetEnvironmentVariableW(L"NUVRA_AUTH_LOG_LEVEL", value);
    return currentLogLevel();
  }
};

TEST_F(LogLevelVariable, IsReadExactlyFromTheEnvironment) {
  EXPECT_EQ(levelFor(nullptr), LogLevel::everything);
  EXPECT_EQ(levelFor(L"off"), LogLevel::off);
  EXPECT_EQ(levelFor(L"OFF"), LogLevel::everything);
  EXPECT_EQ(levelFor(L"off "), LogLevel::everything);
  EXPECT_EQ(levelFor(L"errors"), LogLevel::failuresOnly);
  EXPECT_EQ(levelFor(L"summary"), LogLevel::failuresOnly);
  // Sixteen characters do not fit the buffer and count as no level.
  EXPECT_EQ(levelFor(L"errorserrorserro"), LogLevel::everything);
}

class EventOwnedWrites : public DiagnosticLogFiles {
 protected:
  void TearDown() override {
    SetEnvironmentVariableW(L"NUVRA_AUTH_LOG_LEVEL", nullptr);
    DiagnosticLogFiles::TearDown();
  }
  std::string appendFor(const std::shared_ptr<DiagnosticEvent>& event, const std::string& text) {
    DiagnosticWrite write(eventLogOwner(event), std::make_unique<FakeHome>(home_, observed_), text);
    return thrownReason([&] { write.execute(); });
  }
};

TEST_F(EventOwnedWrites, AnOpenEventWritesAndReverifiesTheGuards) {
  auto event = makeDiagnosticEvent("worker", 1, GetTickCount64(), std::string(32, '\x11'));
  EXPECT_EQ(appendFor(event, "{\"e\":1}\n"), "");
  EXPECT_EQ(readAll(logFile(todayText(), 0)), "{\"e\":1}\n");
  EXPECT_EQ(observed_.guardChecks, 1);
}

TEST_F(EventOwnedWrites, LoggingOffRefusesButCapitalsDoNot) {
  auto event = makeDiagnosticEvent("worker", 1, GetTickCount64(), std::string(32, '\x12'));
  SetEnvironmentVariableW(L"NUVRA_AUTH_LOG_LEVEL", L"off");
  EXPECT_EQ(appendFor(event, "{}\n"), "diagnostic_unavailable");
  SetEnvironmentVariableW(L"NUVRA_AUTH_LOG_LEVEL", L"OFF");
  EXPECT_EQ(appendFor(event, "{}\n"), "");
  SetEnvironmentVariableW(L"NUVRA_AUTH_LOG_LEVEL", L"off ");
  EXPECT_EQ(appendFor(event, "{}\n"), "");
  EXPECT_EQ(readAll(logFile(todayText(), 0)), "{}\n{}\n");
}

TEST_F(EventOwnedWrites, ClosedExpiredAndBoundEventsAreRefused) {
  auto closed = makeDiagnosticEvent("worker", 1, GetTickCount64(), std::string(32, '\x13'));
  closed->closed = true;
  EXPECT_EQ(appendFor(closed, "{}\n"), "diagnostic_unavailable");
  auto expired = makeDiagnosticEvent("worker", 1, GetTickCount64() - 3000, std::string(32, '\x14'));
  EXPECT_EQ(appendFor(expired, "{}\n"), "diagnostic_unavailable");
  auto bound = makeDiagnosticEvent("worker", 1, GetTickCount64(), std::string(32, '\x15'));
  bound->boundWorkId = 3;
  bound->bound = true;
  EXPECT_EQ(appendFor(bound, "{}\n"), "diagnostic_event_busy");
  EXPECT_FALSE(exists(logFile(todayText(), 0)));
}

TEST(RetentionCutoff, MatchesFiletimeArithmeticOverFourYears) {
  SYSTEMTIME start{};
  start.wYear = 2023;
  start.wMonth = 1;
  start.wDay = 1;
  FILETIME time{};
  ASSERT_TRUE(SystemTimeToFileTime(&start, &time));
  ULARGE_INTEGER ticks{};
  ticks.LowPart = time.dwLowDateTime;
  ticks.HighPart = time.dwHighDateTime;
  constexpr std::uint64_t kDay = 864000000000ull;
  for (int day = 0; day < 4 * 366; ++day, ticks.QuadPart += kDay) {
    FILETIME todayTime{ticks.LowPart, ticks.HighPart};
    ULARGE_INTEGER cutoffTicks = ticks;
    cutoffTicks.QuadPart -= 5184000000000ull;
    FILETIME cutoffTime{cutoffTicks.LowPart, cutoffTicks.HighPart};
    SYSTEMTIME today{};
    SYSTEMTIME cutoff{};
    ASSERT_TRUE(FileTimeToSystemTime(&todayTime, &today));
    ASSERT_TRUE(FileTimeToSystemTime(&cutoffTime, &cutoff));
    EXPECT_EQ(retentionCutoffText({today.wYear, today.wMonth, today.wDay}),
              dateText({cutoff.wYear, cutoff.wMonth, cutoff.wDay}));
  }
}

}  // namespace
}  // namespace nuvra
