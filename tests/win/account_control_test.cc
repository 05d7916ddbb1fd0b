// The addon's side of the account control protocol against pipes the test
// holds itself: what awaitReply makes of each reply a worker could send, and
// the revoke exchange's choice between a revoke frame and only the signal,
// and its wait for an adopt of the same work still in flight.
// The worker process is a live broker child that reads nothing.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "account/account_win.h"
#include "launch/child_process_win.h"
#include "launch_fixture.h"
#include "work/work_win.h"

namespace {

using namespace nuvra::testing;
using nuvra::ControlFrame;
using nuvra::ControlKind;
using nuvra::Prepared;
using nuvra::UniqueHandle;

constexpr std::uint64_t kNonce = 0x1122334455667788;

// A worker whose control ends are the test's pipes.
struct Rig {
  std::shared_ptr<Prepared> worker = std::make_shared<Prepared>();
  UniqueHandle replies;   // what the worker would write
  UniqueHandle requests;  // what the worker would read
};

Rig rig() {
  Rig made;
  TestContext context;
  made.worker->child = nuvra::launchChild(brokerRequest({L"child", L"sleep", L"600000"}), context);
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  EXPECT_TRUE(CreatePipe(&read, &write, nullptr, 4096));
  made.worker->child->controlRead = UniqueHandle(read);
  made.replies = UniqueHandle(write);
  EXPECT_TRUE(CreatePipe(&read, &write, nullptr, 4096));
  made.requests = UniqueHandle(read);
  made.worker->child->controlWrite = UniqueHandle(write);
  made.worker->nonce = kNonce;
  made.worker->installed.store(true);
  return made;
}

void put(HANDLE pipe, std::string_view bytes) {
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  ASSERT_EQ(written, bytes.size());
}

std::string frameBytes(const ControlFrame& frame) {
  const nuvra::ControlBytes bytes = nuvra::encodeControlFrame(frame);
  return std::string(bytes.begin(), bytes.end());
}

ControlFrame ready(std::uint64_t sequence, std::uint64_t nonce) {
  return nuvra::replyFrame(ControlKind::ready, sequence, nonce);
}

TEST(AccountControl, AwaitReplyJudgesEachReplyAWorkerCouldSend) {
  ControlFrame otherWords = ready(0, kNonce);
  otherWords.workId = 9;
  otherWords.signalHandle = 4;
  std::string otherMagic = frameBytes(ready(0, kNonce));
  otherMagic[0] = 'X';
  enum class Then { nothing, closeWriter, endWorker, stopWorker };
  struct Case {
    const char* name;
    std::string bytes;
    Then then;
    std::uint64_t deadlineMs;
    const char* expected;
  };
  const Case cases[] = {
      {"the ready frame", frameBytes(ready(0, kNonce)), Then::nothing, 5000, ""},
      {"other words ignored", frameBytes(otherWords), Then::nothing, 5000, ""},
      {"another nonce", frameBytes(ready(0, kNonce + 1)), Then::nothing, 5000,
       "profile_account_control_reply"},
      {"sequence 1", frameBytes(ready(1, kNonce)), Then::nothing, 5000,
       "profile_account_control_reply"},
      {"another kind", frameBytes(nuvra::replyFrame(ControlKind::adopted, 0, kNonce)),
       Then::nothing, 5000, "profile_account_control_reply"},
      {"another magic", otherMagic, Then::nothing, 5000, "profile_account_control_reply"},
      {"half a frame", frameBytes(ready(0, kNonce)).substr(0, 40), Then::nothing, 5000,
       "profile_account_control_frame"},
      {"two frames", frameBytes(ready(0, kNonce)) + frameBytes(ready(0, kNonce)), Then::nothing,
       5000, "profile_account_control_frame"},
      {"nothing until the deadline", "", Then::nothing, 0, "profile_account_control_timeout"},
      {"the worker closed its end", "", Then::closeWriter, 5000, "profile_account_control_eof"},
      {"the worker ended", "", Then::endWorker, 5000, "profile_account_exited"},
      {"the worker was stopped", frameBytes(ready(0, kNonce)), Then::stopWorker, 5000,
       "profile_account_exited"},
  };
  for (const Case& c : cases) {
    Rig r = rig();
    if (!c.bytes.empty()) put(r.replies.get(), c.bytes);
    if (c.then == Then::closeWriter) r.replies.closeQuietly();
    if (c.then == Then::stopWorker) r.worker->stopped.store(true);
    if (c.then == Then::endWorker) {
      const HANDLE process = r.worker->child->process.get();
      ASSERT_TRUE(TerminateProcess(process, 5));
      ASSERT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
    }
    EXPECT_EQ(reasonOf([&] {
                nuvra::awaitReply(*r.worker, GetTickCount64() + c.deadlineMs, ControlKind::ready,
                                  0);
              }),
              c.expected)
        << c.name;
  }
}

// A worker still running that closed its request end: the frame cannot be
// written, which is not the worker's exit.
TEST(AccountControl, AFrameToAClosedRequestEndIsAWriteFailure) {
  Rig r = rig();
  r.requests.closeQuietly();
  EXPECT_EQ(reasonOf([&] { nuvra::sendFrame(*r.worker, nuvra::revokeFrame(3, 6, kNonce)); }),
            "profile_account_control_write");
}

nuvra::Work& workWithId(std::unique_ptr<nuvra::Work>& holder, std::uint64_t id,
                        std::uint64_t budgetMs = 2000) {
  const std::uint64_t now = GetTickCount64();
  holder = std::make_unique<nuvra::Work>(1, nuvra::WorkTiming{now, now + budgetMs, false},
                                         nuvra::WorkPurpose{"unbound_local", ""});
  holder->id = id;
  holder->accountSignal = UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  return *holder;
}

TEST(AccountControl, RevokeSendsAFrameOnlyForTheAdoptedWork) {
  struct Case {
    const char* name;
    std::uint64_t adopted;
    std::uint64_t workId;
    const char* expected;
    bool frameSent;
  };
  const Case cases[] = {
      {"nothing adopted", 0, 6, "", false},
      {"another work adopted", 5, 6, "profile_account_work_owner", false},
      {"this work adopted", 6, 6, "", true},
  };
  for (const Case& c : cases) {
    Rig r = rig();
    r.worker->adoptedWork.store(c.adopted);
    r.worker->sequence = 3;
    std::unique_ptr<nuvra::Work> holder;
    nuvra::Work& work = workWithId(holder, c.workId);
    work.accountBinding = r.worker;
    // The worker's answer is waiting before the revoke is sent.
    if (c.frameSent)
      put(r.replies.get(), frameBytes(nuvra::replyFrame(ControlKind::revoked, 3, kNonce)));
    bool revoked = false;
    EXPECT_EQ(reasonOf([&] { revoked = nuvra::revokeExchange(*r.worker, work); }), c.expected)
        << c.name;
    EXPECT_EQ(revoked, c.frameSent) << c.name;
    // The signal is set before anything else, whatever follows.
    EXPECT_EQ(WaitForSingleObject(work.accountSignal.get(), 0), WAIT_OBJECT_0) << c.name;
    DWORD available = 0;
    ASSERT_TRUE(PeekNamedPipe(r.requests.get(), nullptr, 0, nullptr, &available, nullptr));
    EXPECT_EQ(available, c.frameSent ? nuvra::kControlFrameSize : 0u) << c.name;
    if (c.frameSent) {
      nuvra::ControlBytes bytes{};
      DWORD read = 0;
      ASSERT_TRUE(ReadFile(r.requests.get(), bytes.data(), 72, &read, nullptr));
      ControlFrame expected{};
      expected.kind = 4;
      expected.sequence = 3;
      expected.workId = 6;
      expected.nonce = kNonce;
      EXPECT_EQ(nuvra::decodeControlFrame(bytes), expected);
      EXPECT_EQ(r.worker->adoptedWork.load(), 0u);
      EXPECT_FALSE(work.accountBinding);
      EXPECT_TRUE(work.accountRevoked);
    }
  }
}

// A release (or an end) that runs while the adopt of the same work is still
// queued or running: adoptAccountWorker set the busy flag, and the revoke
// waits for the adopt's job to give it back, so it takes back what the adopt
// lent, or ends at the work's deadline, never finding "nothing adopted" first.
TEST(AccountControl, RevokeWaitsForTheAdoptInFlight) {
  struct Case {
    const char* name;
    bool adoptEnds;
    std::uint64_t budgetMs;
    const char* expected;
    bool revoked;
  };
  const Case cases[] = {
      {"the adopt lends the work while the revoke waits", true, 5000, "", true},
      {"the adopt never ends", false, 400, "profile_account_control_timeout", false},
  };
  for (const Case& c : cases) {
    Rig r = rig();
    r.worker->busy.store(true);
    r.worker->sequence = 3;
    std::unique_ptr<nuvra::Work> holder;
    nuvra::Work& work = workWithId(holder, 6, c.budgetMs);
    work.accountBinding = r.worker;
    std::string reason;
    bool revoked = false;
    std::thread revoke(
        [&] { reason = reasonOf([&] { revoked = nuvra::revokeExchange(*r.worker, work); }); });
    // The revoke has begun: it sets the work's signal first.
    EXPECT_EQ(WaitForSingleObject(work.accountSignal.get(), 10000), WAIT_OBJECT_0) << c.name;
    if (c.adoptEnds) {
      // What the adopt job leaves: the work lent, the worker's answer to the
      // revoke waiting, and then the busy flag given back by the hub.
      r.worker->adoptedWork.store(6);
      put(r.replies.get(), frameBytes(nuvra::replyFrame(ControlKind::revoked, 3, kNonce)));
      r.worker->busy.store(false);
    }
    revoke.join();
    EXPECT_EQ(reason, c.expected) << c.name;
    EXPECT_EQ(revoked, c.revoked) << c.name;
    EXPECT_EQ(r.worker->adoptedWork.load(), 0u) << c.name;
    DWORD available = 0;
    ASSERT_TRUE(PeekNamedPipe(r.requests.get(), nullptr, 0, nullptr, &available, nullptr));
    EXPECT_EQ(available, c.revoked ? nuvra::kControlFrameSize : 0u) << c.name;
  }
}

}  // namespace
