#include "custody/timing_trace_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/text.h"

namespace {

constexpr const wchar_t* kTraceDirectory = L"C:\\Tevra\\ona\\temp\\st24data\\trace";
constexpr const char* kAttempt = "00112233445566778899aabbccddeeff";

std::wstring wide(std::string_view text) {
  return std::wstring(text.begin(), text.end());
}

std::string readFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string text;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    text.append(buffer, read);
  }
  CloseHandle(file);
  return text;
}

std::size_t lineCount(const std::string& text) {
  std::size_t lines = 0;
  for (char c : text) lines += c == '\n' ? 1 : 0;
  return lines;
}

class TraceFile : public ::testing::Test {
 protected:
  void SetUp() override {
    // The directory is fixed and not created by the addon; the launcher of
    // a traced attempt makes it.
    std::wstring partial;
    for (const wchar_t* part : {L"C:\\Tevra", L"\\ona", L"\\temp", L"\\st24data", L"\\trace"}) {
      partial += part;
      CreateDirectoryW(partial.c_str(), nullptr);
    }
    path_ = nuvra::timing::traceFilePath(kAttempt, GetCurrentProcessId());
    DeleteFileW(path_.c_str());
    ASSERT_TRUE(SetEnvironmentVariableW(L"NUVRA_STARTUP_ATTEMPT", wide(kAttempt).c_str()));
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"NUVRA_STARTUP_ATTEMPT", nullptr);
    DeleteFileW(path_.c_str());
  }
  std::wstring path_;
};

TEST_F(TraceFile, AppendsOneLinePerCheckpointWithTheGivenTick) {
  nuvra::timing::TraceLineBudget budget;
  nuvra::recordCheckpoint(nuvra::kCheckpointNativeProfileEntry, 1234, budget);
  nuvra::recordCheckpoint("worker_first_line", 99999999999ull, budget);
  const std::string pid = nuvra::formatDecimal32(GetCurrentProcessId());
  EXPECT_EQ(readFile(path_),
            "{\"schema_version\":\"nuvra.startup-timing.v1\",\"attempt_id\":\"" +
                std::string(kAttempt) +
                "\",\"source\":\"native_addon\",\"stage\":\"native_profile_entry\",\"pid\":" + pid +
                ",\"monotonic_ms\":1234}\n"
                "{\"schema_version\":\"nuvra.startup-timing.v1\",\"attempt_id\":\"" +
                std::string(kAttempt) +
                "\",\"source\":\"native_addon\",\"stage\":\"worker_first_line\",\"pid\":" + pid +
                ",\"monotonic_ms\":99999999999}\n");
  EXPECT_EQ(budget.used(), 2u);
}

TEST_F(TraceFile, TickZeroMeansNow) {
  nuvra::timing::TraceLineBudget budget;
  const ULONGLONG before = GetTickCount64();
  nuvra::recordCheckpoint("startup_ack_sent", 0, budget);
  const ULONGLONG after = GetTickCount64();
  const std::string text = readFile(path_);
  const std::size_t at = text.find("\"monotonic_ms\":");
  ASSERT_NE(at, std::string::npos);
  const std::uint64_t tick = std::stoull(text.substr(at + 15));
  EXPECT_GE(tick, before);
  EXPECT_LE(tick, after);
}

TEST_F(TraceFile, StopsAfterTwoHundredFiftySixLines) {
  nuvra::timing::TraceLineBudget budget;
  for (int i = 0; i < 300; ++i) nuvra::recordCheckpoint("managed_createprocess_before", 7, budget);
  EXPECT_EQ(lineCount(readFile(path_)), 256u);
}

TEST_F(TraceFile, UnusableAttemptIdsWriteNothingAndSpendNoBudget) {
  nuvra::timing::TraceLineBudget budget;
  std::string upper(kAttempt);
  upper[31] = 'F';
  for (const std::string& id : {upper, std::string(kAttempt).substr(0, 31),
                                std::string(kAttempt) + "0", std::string(40, 'a')}) {
    ASSERT_TRUE(SetEnvironmentVariableW(L"NUVRA_STARTUP_ATTEMPT", wide(id).c_str()));
    nuvra::recordCheckpoint("startup_ack_sent", 1, budget);
  }
  SetEnvironmentVariableW(L"NUVRA_STARTUP_ATTEMPT", nullptr);
  nuvra::recordCheckpoint("startup_ack_sent", 1, budget);
  EXPECT_EQ(budget.used(), 0u);
  EXPECT_EQ(GetFileAttributesW(path_.c_str()), INVALID_FILE_ATTRIBUTES);
  std::wstring upperPath = nuvra::timing::traceFilePath(upper, GetCurrentProcessId());
  EXPECT_EQ(GetFileAttributesW(upperPath.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(TraceFile, ANameThatWouldBreakTheLineIsNotWritten) {
  nuvra::timing::TraceLineBudget budget;
  nuvra::recordCheckpoint("publication_refused_\"x\":1", 1, budget);
  nuvra::recordCheckpoint("publication_refused_profile_security", 1, budget);
  const std::string text = readFile(path_);
  EXPECT_EQ(lineCount(text), 1u);
  EXPECT_NE(text.find("\"stage\":\"publication_refused_profile_security\""), std::string::npos);
}

TEST_F(TraceFile, LeavesTheLastErrorValueAsItWas) {
  nuvra::timing::TraceLineBudget budget;
  SetLastError(0x2A5u);
  nuvra::recordCheckpoint("preload_first_line", 5, budget);
  EXPECT_EQ(GetLastError(), 0x2A5u);
  // Also when the write cannot happen at all.
  SetEnvironmentVariableW(L"NUVRA_STARTUP_ATTEMPT", nullptr);
  SetLastError(0x57u);
  nuvra::recordCheckpoint("preload_first_line", 5, budget);
  EXPECT_EQ(GetLastError(), 0x57u);
}

TEST(TraceDirectory, AFileThatCannotBeOpenedOnlyLosesTheLine) {
  // An attempt id whose file cannot be created because a directory of that
  // name is in the way: the checkpoint still returns quietly.
  const std::string id = "ffffffffffffffffffffffffffffffff";
  std::wstring blocker = nuvra::timing::traceFilePath(id, GetCurrentProcessId());
  CreateDirectoryW(kTraceDirectory, nullptr);
  ASSERT_TRUE(CreateDirectoryW(blocker.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  SetEnvironmentVariableW(L"NUVRA_STARTUP_ATTEMPT", wide(id).c_str());
  nuvra::timing::TraceLineBudget budget;
  SetLastError(0x11u);
  nuvra::recordCheckpoint("worker_first_line", 3, budget);
  EXPECT_EQ(GetLastError(), 0x11u);
  EXPECT_EQ(budget.used(), 1u);
  EXPECT_NE(GetFileAttributesW(blocker.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  SetEnvironmentVariableW(L"NUVRA_STARTUP_ATTEMPT", nullptr);
  RemoveDirectoryW(blocker.c_str());
}

}  // namespace
