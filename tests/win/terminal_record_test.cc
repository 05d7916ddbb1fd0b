// The terminal record's append on a real file: the size limit checked before
// a byte is written, the append at the end of the file, and the checkpoint's
// file refused once it gained a second link.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/file_win.h"
#include "common/handle_win.h"
#include "common/process_state.h"
#include "terminal/terminal_win.h"
#include "test_support_win.h"
#include "work/work_win.h"

namespace nuvra {
namespace {

using testing::reasonOf;
using testing::ScratchDirectory;

FileIdentity identityOf(HANDLE file) {
  FileIdentity identity;
  EXPECT_TRUE(fileIdentity(file, identity));
  return identity;
}

std::uint64_t sizeOf(HANDLE file) {
  return identityOf(file).size;
}

// A log file of a day, opened as the log writer opens it.
constexpr wchar_t kDayFile[] = L"nuvra-20261208-0.jsonl";
UniqueHandle openDayFile(const std::wstring& path) {
  return UniqueHandle(CreateFileW(path.c_str(), FILE_APPEND_DATA | READ_CONTROL,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  CREATE_NEW, FILE_FLAG_WRITE_THROUGH, nullptr));
}

class TerminalAppend : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = scratch_.file(kDayFile);
    file_ = openDayFile(path_);
    ASSERT_TRUE(file_);
    operation_.deadline = GetTickCount64() + 2000;
  }

  ScratchDirectory scratch_;
  std::wstring path_;
  UniqueHandle file_;
  TerminalObservation operation_{1, "capture", ""};
};

TEST_F(TerminalAppend, ARecordOverTheLimitIsRefusedBeforeAnythingIsWritten) {
  struct Case {
    std::size_t size;
    const char* reason;
    std::uint64_t sizeAfter;
  };
  const Case cases[] = {{4097, "terminal_invalid", 0}, {4096, "", 4096}, {1, "", 4097}};
  for (const Case& c : cases) {
    const std::string text(c.size, 'x');
    EXPECT_EQ(reasonOf([&] { appendTerminalRecord(operation_, file_.get(), text); }), c.reason)
        << c.size;
    EXPECT_EQ(sizeOf(file_.get()), c.sizeAfter) << c.size;
  }
}

TEST_F(TerminalAppend, RefusesAClosedOperationAndAPassedDeadline) {
  operation_.closed.store(true);
  EXPECT_EQ(reasonOf([&] { appendTerminalRecord(operation_, file_.get(), "{}\n"); }),
            "terminal_unavailable");
  operation_.closed.store(false);
  operation_.deadline = GetTickCount64() - 1;
  EXPECT_EQ(reasonOf([&] { appendTerminalRecord(operation_, file_.get(), "{}\n"); }),
            "profile_startup_timeout");
  EXPECT_EQ(sizeOf(file_.get()), 0u);
}

// Another appender's lock not given up by the deadline: the time ran out,
// and nothing was written.
TEST_F(TerminalAppend, AnAppendLockHeldPastTheDeadlineIsTheDeadlinesFailure) {
  UniqueHandle other(CreateFileW(path_.c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(other);
  const AppendLock held(other.get(), GetTickCount64() + 1000);
  ASSERT_TRUE(held);
  operation_.deadline = GetTickCount64() + 50;
  EXPECT_EQ(reasonOf([&] { appendTerminalRecord(operation_, file_.get(), "{}\n"); }),
            "profile_startup_timeout");
  EXPECT_EQ(sizeOf(file_.get()), 0u);
}

// The checkpoint's write hands over its handles, the file last.
void checkpointInto(TerminalObservation& operation, UniqueHandle file, const std::wstring& path) {
  std::vector<UniqueHandle> handles;
  handles.push_back(std::move(file));
  writeCheckpoint(operation, handles.back().get(), path, identityOf(handles.back().get()),
                  "{\"checkpoint\":1}\n", handles);
  ASSERT_TRUE(operation.checkpointWritten);
  ASSERT_TRUE(handles.empty());
  ASSERT_EQ(operation.logFiles.size(), 1u);
  EXPECT_EQ(sizeOf(operation.logFiles.back().get()), 17u);
}

TEST_F(TerminalAppend, TheTerminalRecordFollowsTheCheckpointAndClosesTheHandles) {
  checkpointInto(operation_, std::move(file_), path_);
  operation_.operationId = std::string(64, 'a');
  operation_.state = "saved";
  operation_.reason = "none";
  operation_.ok = true;
  EXPECT_EQ(reasonOf([&] { writeTerminalRecord(operation_); }), "");
  EXPECT_FALSE(operation_.logFiles.front());
  EXPECT_FALSE(operation_.writeEvent);
  // The record went after the checkpoint.
  UniqueHandle reader(CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(reader);
  char head[17] = {};
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(reader.get(), head, sizeof(head), &read, nullptr));
  EXPECT_EQ(std::string(head, read), "{\"checkpoint\":1}\n");
  EXPECT_GT(sizeOf(reader.get()), 17u);
}

// What the file holds cannot be confirmed once a handle of the operation
// will not close: the record job fails, the operation stays uncertain and
// the process is poisoned; never a success.
TEST_F(TerminalAppend, AHandleThatWillNotCloseLeavesTheOperationUncertain) {
  const bool poisonedBefore = isPoisoned();
  const HANDLE stuck = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(stuck, nullptr);
  ASSERT_TRUE(
      SetHandleInformation(stuck, HANDLE_FLAG_PROTECT_FROM_CLOSE, HANDLE_FLAG_PROTECT_FROM_CLOSE));
  // The checkpoint's write hands over its handles, the stuck one first.
  std::vector<UniqueHandle> handles(2);
  handles[0] = UniqueHandle(stuck);
  handles[1] = std::move(file_);
  writeCheckpoint(operation_, handles[1].get(), path_, identityOf(handles[1].get()),
                  "{\"checkpoint\":1}\n", handles);
  ASSERT_TRUE(operation_.checkpointWritten);
  operation_.operationId = std::string(64, 'a');
  operation_.state = "saved";
  operation_.reason = "none";
  operation_.ok = true;
  EXPECT_EQ(reasonOf([&] { writeTerminalRecord(operation_); }), "terminal_unavailable");
  EXPECT_TRUE(operation_.writeUncertain);
  EXPECT_TRUE(isPoisoned());
  processState().poisoned.store(poisonedBefore);
  // Uncertain for good, whatever the process's flag says.
  EXPECT_EQ(reasonOf([&] { checkTerminalAvailable(operation_); }), "terminal_unavailable");
  SetHandleInformation(stuck, HANDLE_FLAG_PROTECT_FROM_CLOSE, 0);
  CloseHandle(stuck);
}

TEST_F(TerminalAppend, AFileThatGainedALinkIsRefusedAndLeftUnchanged) {
  checkpointInto(operation_, std::move(file_), path_);
  const HANDLE file = operation_.logFiles.back().get();
  const std::wstring link = scratch_.file(L"other.jsonl");
  ASSERT_TRUE(CreateHardLinkW(link.c_str(), path_.c_str(), nullptr));
  EXPECT_EQ(reasonOf([&] { writeTerminalRecord(operation_); }), "terminal_unavailable");
  EXPECT_EQ(sizeOf(file), 17u);
}

// Between checkpoint and terminal record a rotation may move the file to
// another index of its day: the record follows it. Moved anywhere else
// (dropped by a rotation, renamed away and replaced), the file takes no
// record and the operation says so.
TEST_F(TerminalAppend, TheRecordFollowsItsFileAmongItsDaysNamesAndNowhereElse) {
  struct Case {
    const wchar_t* movedTo;  // nullptr: not moved
    // A new file takes the old name, as in a rotation. (Wine reads the
    // volume serial of an open file through the name it was opened by: with
    // nothing there any more it reports 0.)
    bool replaced;
    const char* reason;
  };
  const Case cases[] = {
      {nullptr, false, ""},
      {L"nuvra-20261208-1.jsonl", true, ""},
      {L"nuvra-20261208-3.jsonl", true, ""},
      {L"nuvra-20261208-0.jsonl.0000000000000001.dropped", true, "terminal_unavailable"},
      {L"nuvra-20261208-0.jsonl.old", true, "terminal_unavailable"},
      {L"nuvra-20261209-0.jsonl", true, "terminal_unavailable"},
  };
  for (const Case& c : cases) {
    ScratchDirectory scratch;
    const std::wstring path = scratch.file(kDayFile);
    TerminalObservation operation(1, "capture", "");
    operation.deadline = GetTickCount64() + 2000;
    operation.operationId = std::string(64, 'a');
    operation.state = "saved";
    operation.reason = "none";
    operation.ok = true;
    checkpointInto(operation, openDayFile(path), path);
    const HANDLE file = operation.logFiles.back().get();
    std::wstring now = path;
    if (c.movedTo != nullptr) {
      now = scratch.file(c.movedTo);
      ASSERT_TRUE(MoveFileExW(path.c_str(), now.c_str(), 0)) << GetLastError();
      if (c.replaced) {
        ASSERT_TRUE(openDayFile(path));
      }
    }
    const std::uint64_t before = sizeOf(file);
    EXPECT_EQ(reasonOf([&] { writeTerminalRecord(operation); }), c.reason) << now.size();
    UniqueHandle reader(CreateFileW(now.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader);
    // A refused record is not written at all; a kept one lands where the file is now.
    const bool refused = *c.reason != '\0';
    EXPECT_EQ(sizeOf(reader.get()) > before, !refused) << now.size();
  }
}

// A terminal record whose client evidence pads it to `total` bytes: the ticks
// make every elapsed figure four digits or 0, so its length follows from the
// format alone.
TEST(TerminalRecordSize, ARecordOverTheLimitIsRefusedAndTheCheckpointsFileKeptAsItWas) {
  const std::string fixed =
      "{\"schema_version\":\"nuvra.operation-terminal.v1\",\"event\":\"operation_result\","
      "\"operation_id\":\"" +
      std::string(64, 'a') +
      "\",\"attempt_id\":null,\"request_id\":null,\"operation\":\"capture\","
      "\"phase\":\"terminal\",\"ok\":true,\"state\":\"saved\",\"reason\":\"none\","
      "\"utc\":\"2026-01-02T03:04:05.006Z\",\"elapsed\":{\"original_budget_ms\":7000,"
      "\"work_ms\":0,\"end_ms\":0,\"projection_ms\":5000,\"operation_ms\":5000},"
      "\"client\":{\"pad\":\"\"},\"server\":null}\n";
  struct Case {
    std::size_t total;
    const char* reason;
    std::uint64_t sizeAfter;  // the checkpoint's 17 bytes and what was added
  };
  const Case cases[] = {{4097, "terminal_invalid", 17}, {4096, "", 17 + 4096}};
  const std::uint64_t now = GetTickCount64();
  ASSERT_GT(now, 10000u);
  for (const Case& c : cases) {
    ScratchDirectory scratch;
    const std::wstring path = scratch.file(kDayFile);
    UniqueHandle file = openDayFile(path);
    ASSERT_TRUE(file);
    TerminalObservation operation(1, "capture", "");
    operation.deadline = now + 2000;
    checkpointInto(operation, std::move(file), path);
    operation.operationId = std::string(64, 'a');
    operation.phase = "terminal";
    operation.ok = true;
    operation.state = "saved";
    operation.reason = "none";
    operation.workStart = now - 5000;
    operation.endRequestedAt.store(now - 5000);
    operation.endedAt.store(now - 5000);
    operation.clientEvidence = "{\"pad\":\"" + std::string(c.total - fixed.size(), 'p') + "\"}";
    const HANDLE written = operation.logFiles.back().get();
    // A refused record leaves the handles open, so the size can be read.
    EXPECT_EQ(reasonOf([&] { writeTerminalRecord(operation); }), c.reason) << c.total;
    if (*c.reason != '\0') {
      EXPECT_EQ(sizeOf(written), c.sizeAfter) << c.total;
      continue;
    }
    UniqueHandle reader(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader);
    EXPECT_EQ(sizeOf(reader.get()), c.sizeAfter) << c.total;
  }
}

// The evidence hooks the exchange's two sides install; each is asked only
// for a work of its own role.
void clientEvidence(Work& work, std::string& client, std::string& server) {
  if (work.operation == "status") throw std::runtime_error("terminal_invalid");
  client = "{\"side\":\"client\"}";
  if (work.operation == "capture") server = "{\"frame\":1}";
}
std::string serverEvidence(Work& work) {
  if (work.operation == "hello") throw std::runtime_error("terminal_invalid");
  return "{\"side\":\"server\"}";
}
const TerminalEvidenceHooks kEvidence{clientEvidence, serverEvidence};

struct EvidenceCase {
  const char* role;
  const char* operation;
  bool succeeded;
  const char* refused;  // what recordWorkEnd returns
  bool ended;
  const char* client;
  const char* server;
};

TEST(WorkEndNotices, TheEndsTicksVerdictAndEvidenceReachTheOperation) {
  const EvidenceCase cases[] = {
      // A client work's end carries the terminal frame's server view too.
      {"client", "capture", true, nullptr, true, "{\"side\":\"client\"}", "{\"frame\":1}"},
      {"client", "recall", true, nullptr, true, "{\"side\":\"client\"}", ""},
      {"server", "recall", true, nullptr, true, "", "{\"side\":\"server\"}"},
      {"unbound_local", "capture", true, nullptr, true, "", ""},
      // A failed end records no evidence, and nothing can be committed.
      {"client", "capture", false, nullptr, true, "", ""},
      // Refused evidence leaves the end unrecorded and fails it.
      {"server", "hello", true, "terminal_invalid", false, "", ""},
      {"client", "status", true, "terminal_invalid", false, "", ""},
  };
  terminalEvidenceHooks().install(&kEvidence);
  for (const EvidenceCase& c : cases) {
    const std::uint64_t now = GetTickCount64();
    Work work(1, WorkTiming{now, now + 900, false}, WorkPurpose{c.role, c.operation});
    auto operation = std::make_shared<TerminalObservation>(1, "capture", "");
    {
      std::lock_guard<std::mutex> binding(work.bindingLock);
      work.terminal = operation;
    }
    noteWorkEnding(work);
    EXPECT_TRUE(operation->endRequested.load());
    const std::uint64_t requested = operation->endRequestedAt.load();
    EXPECT_GE(requested, now);
    const char* refused = recordWorkEnd(work, c.succeeded);
    EXPECT_STREQ(refused, c.refused) << c.role << c.operation;
    EXPECT_EQ(operation->workEnded.load(), c.ended) << c.role << c.operation;
    EXPECT_EQ(operation->endSucceeded, c.succeeded);
    EXPECT_GE(operation->endedAt.load(), requested);
    EXPECT_EQ(operation->clientEvidence, c.client) << c.role << c.operation;
    EXPECT_EQ(operation->serverEvidence, c.server) << c.role << c.operation;
    // A second end of the same work changes nothing once the first was recorded.
    if (c.ended) {
      EXPECT_EQ(recordWorkEnd(work, !c.succeeded), nullptr);
      EXPECT_EQ(operation->endSucceeded, c.succeeded);
    }
  }
  terminalEvidenceHooks().install(nullptr);
}

TEST(WorkEndNotices, AWorkWithoutOperationIsLeftAlone) {
  const std::uint64_t now = GetTickCount64();
  Work work(1, WorkTiming{now, now + 900, false}, WorkPurpose{"client", "capture"});
  noteWorkEnding(work);
  EXPECT_EQ(recordWorkEnd(work, true), nullptr);
}

}  // namespace
}  // namespace nuvra
