#include <gtest/gtest.h>

#include <string>

#include "../support/reason_of.h"
#include "common/reason.h"
#include "exchange/phase_frame.h"

// A frame case names only the fields that differ from a valid "received"
// frame; GCC would warn about every member left to its default.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace nuvra {
namespace {

using nuvra::testing::reasonOf;

const std::string kToken(64, 'e');
const std::string kRequestId = "0123abcd-0123-4567-89ab-0123456789ab";
const std::string kInstance = "0123456789abcdef0123456789abcdef";
const std::string kLine = kToken + "\t" + kRequestId + "\t7\t12\tcapture\t" + kInstance + "\t90210";

// The failure object of reason "broker_deadline_refused", written out by hand.
const std::string kRefusedBody =
    "{\"broker_instance\":\"0123456789abcdef0123456789abcdef\","
    "\"error_code\":\"broker_deadline_refused\",\"failure_reason\":\"broker_deadline_refused\","
    "\"ok\":false,\"operation\":\"capture\",\"request_id\":\"0123abcd-0123-4567-89ab-"
    "0123456789ab\",\"schema_version\":\"nuvra.windows-memory-broker.v1\"}";

struct Frame {
  std::string work = "9";
  int sequence = 1;
  std::string phase = "received";
  std::string reason = "none";
  int account = 0;
  int memory = 0;
  std::string certainty = "none";
  std::string flag = "0";
  std::string body;
  std::string echo = kLine;

  std::string bytes() const {
    return "NUVRA_PHASE_V2\t" + echo + "\t" + work + "\t" + std::to_string(sequence) + "\t" +
           phase + "\t" + reason + "\t" + std::to_string(account) + "\t" + std::to_string(memory) +
           "\t" + certainty + "\t" + flag + "\n" + body;
  }
};

ExchangeProgress sentProgress() {
  ExchangeProgress p;
  p.request_line = kLine;
  p.operation = "capture";
  p.dispatch_submitted = true;
  p.last_verified_phase = "sent";
  return p;
}

ExchangeProgress at(const std::string& phase, int sequence, int account = 0, int memory = 0) {
  ExchangeProgress p = sentProgress();
  p.last_verified_phase = phase;
  p.sequence = static_cast<std::uint64_t>(sequence);
  p.server_work = "9";
  p.account_send_count = static_cast<std::uint64_t>(account);
  p.memory_send_count = static_cast<std::uint64_t>(memory);
  return p;
}

const PhaseFrameChecks kPass{[] {}, [] {}};

bool sameProgress(const ExchangeProgress& a, const ExchangeProgress& b) {
  return a.terminal_observed == b.terminal_observed &&
         a.last_verified_phase == b.last_verified_phase && a.server_reason == b.server_reason &&
         a.server_work == b.server_work && a.sequence == b.sequence &&
         a.account_send_count == b.account_send_count && a.memory_send_count == b.memory_send_count;
}

TEST(PhaseFrames, AStreamToTerminalResolvesWithTheLastBody) {
  ExchangeProgress p = sentProgress();
  WipedBytes response;
  EXPECT_FALSE(acceptPhaseFrame(p, Frame{}.bytes(), kPass, response));
  EXPECT_FALSE(
      acceptPhaseFrame(p, Frame{.sequence = 2, .phase = "admitted"}.bytes(), kPass, response));
  EXPECT_FALSE(acceptPhaseFrame(
      p, Frame{.sequence = 3, .phase = "started", .account = 1, .certainty = "possible"}.bytes(),
      kPass, response));
  EXPECT_TRUE(acceptPhaseFrame(p,
                               Frame{.sequence = 4,
                                     .phase = "terminal",
                                     .account = 1,
                                     .memory = 2,
                                     .certainty = "validated",
                                     .flag = "1",
                                     .body = "{\"ok\":true}"}
                                   .bytes(),
                               kPass, response));
  EXPECT_EQ(response.view(), "{\"ok\":true}");
  EXPECT_TRUE(p.terminal_observed);
  EXPECT_EQ(p.last_verified_phase, "terminal");
  EXPECT_EQ(p.server_reason, "none");
  EXPECT_EQ(p.server_work, "9");
  EXPECT_EQ(p.sequence, 4u);
  EXPECT_EQ(p.account_send_count, 1u);
  EXPECT_EQ(p.memory_send_count, 2u);
  // Nothing is accepted after a final frame.
  EXPECT_EQ(reasonOf([&] {
              acceptPhaseFrame(
                  p, Frame{.sequence = 5, .phase = "terminal", .flag = "1", .body = "x"}.bytes(),
                  kPass, response);
            }),
            "broker_native_protocol_refused");
}

TEST(PhaseFrames, RefusalsOnArrivalAndInTheQueueNeedTheExactFailureObject) {
  const Frame arrival{.work = "-",
                      .phase = "refused_arrival",
                      .reason = "broker_deadline_refused",
                      .flag = "1",
                      .body = kRefusedBody};
  ExchangeProgress p = sentProgress();
  WipedBytes response;
  EXPECT_TRUE(acceptPhaseFrame(p, arrival.bytes(), kPass, response));
  EXPECT_EQ(response.view(), kRefusedBody);
  EXPECT_EQ(p.server_work, "-");
  EXPECT_EQ(p.server_reason, "broker_deadline_refused");

  Frame otherBody = arrival;
  otherBody.body = kRefusedBody + " ";
  ExchangeProgress q = sentProgress();
  EXPECT_EQ(reasonOf([&] { acceptPhaseFrame(q, otherBody.bytes(), kPass, response); }),
            "broker_native_protocol_refused");

  ExchangeProgress r = at("received", 1);
  const Frame queue{.sequence = 2,
                    .phase = "refused_queue",
                    .reason = "broker_deadline_refused",
                    .flag = "1",
                    .body = kRefusedBody};
  EXPECT_TRUE(acceptPhaseFrame(r, queue.bytes(), kPass, response));
  EXPECT_EQ(r.last_verified_phase, "refused_queue");
}

TEST(PhaseFrames, RefusedFramesLeaveTheProgressUntouched) {
  struct Case {
    const char* name;
    ExchangeProgress progress;
    Frame frame;
  };
  const Case cases[] = {
      {"received out of order", at("received", 1), Frame{.sequence = 2}},
      {"sequence skips", sentProgress(), Frame{.sequence = 2}},
      {"received with a send", sentProgress(), Frame{.account = 1}},
      {"received with a body", sentProgress(), Frame{.body = "x"}},
      {"non-final with a reason", sentProgress(), Frame{.reason = "broker_failed"}},
      {"server work -", sentProgress(), Frame{.work = "-"}},
      {"server work 0", sentProgress(), Frame{.work = "0"}},
      {"another server work", at("received", 1),
       Frame{.work = "10", .sequence = 2, .phase = "admitted"}},
      {"admitted after started", at("started", 3, 1),
       Frame{.sequence = 4, .phase = "admitted", .account = 1}},
      {"started counts do not grow", at("started", 3, 1),
       Frame{.sequence = 4, .phase = "started", .account = 1, .certainty = "possible"}},
      {"counts go back", at("started", 3, 2),
       Frame{
           .sequence = 4, .phase = "started", .account = 1, .memory = 2, .certainty = "possible"}},
      {"started certainty none", at("admitted", 2),
       Frame{.sequence = 3, .phase = "started", .account = 1}},
      {"started straight after received", at("received", 1),
       Frame{.sequence = 2, .phase = "started", .account = 1, .certainty = "possible"}},
      {"nine sends", at("admitted", 2),
       Frame{.sequence = 3, .phase = "started", .account = 9, .certainty = "possible"}},
      {"terminal none after received", at("received", 1),
       Frame{.sequence = 2, .phase = "terminal", .flag = "1", .body = "x"}},
      {"terminal without body", at("admitted", 2),
       Frame{.sequence = 3, .phase = "terminal", .flag = "1"}},
      {"terminal with flag 0", at("admitted", 2), Frame{.sequence = 3, .phase = "terminal"}},
      {"received with flag 1", sentProgress(), Frame{.flag = "1", .body = "x"}},
      {"failure body differs", at("admitted", 2),
       Frame{.sequence = 3,
             .phase = "terminal",
             .reason = "broker_failed",
             .flag = "1",
             .body = kRefusedBody}},
      {"queue after admitted", at("admitted", 2),
       Frame{.sequence = 3,
             .phase = "refused_queue",
             .reason = "broker_deadline_refused",
             .flag = "1",
             .body = kRefusedBody}},
      {"arrival as second frame", at("received", 1),
       Frame{.work = "-",
             .sequence = 2,
             .phase = "refused_arrival",
             .reason = "broker_deadline_refused",
             .flag = "1",
             .body = kRefusedBody}},
      {"arrival with a server work", sentProgress(),
       Frame{.phase = "refused_arrival",
             .reason = "broker_deadline_refused",
             .flag = "1",
             .body = kRefusedBody}},
      {"echo differs", sentProgress(), Frame{.echo = kLine + "1"}},
      {"uppercase reason", sentProgress(), Frame{.reason = "None"}},
      {"unknown certainty", sentProgress(), Frame{.certainty = "maybe"}},
      {"sequence 33", at("started", 32, 1),
       Frame{.sequence = 33, .phase = "started", .account = 2, .certainty = "possible"}},
  };
  for (const auto& c : cases) {
    ExchangeProgress p = c.progress;
    WipedBytes response("before");
    EXPECT_EQ(reasonOf([&] { acceptPhaseFrame(p, c.frame.bytes(), kPass, response); }),
              "broker_native_protocol_refused")
        << c.name;
    EXPECT_TRUE(sameProgress(p, c.progress)) << c.name;
    EXPECT_EQ(response.view(), "before") << c.name;
  }
}

TEST(PhaseFrames, LayoutRulesRefuseMalformedHeaders) {
  const std::string good = Frame{}.bytes();
  const std::string cases[] = {
      good.substr(0, good.size() - 1),            // no line feed
      "NUVRA_PHASE_V3" + good.substr(14),         // magic
      good.substr(0, good.size() - 1) + "\t0\n",  // 17 fields
      std::string(good).replace(good.find("\t9\t"), 3, "\t9\x01\t"),
      "NUVRA_PHASE_V2\t" + std::string(1010, 'a') + "\n",  // header over 1024 bytes
  };
  for (const auto& frame : cases) {
    ExchangeProgress p = sentProgress();
    WipedBytes response;
    EXPECT_EQ(reasonOf([&] { acceptPhaseFrame(p, frame, kPass, response); }),
              "broker_native_protocol_refused");
  }
}

TEST(PhaseFrames, AFailedWorkCheckStopsTheFrameBeforeItIsRecorded) {
  const Frame admitted{.sequence = 2, .phase = "admitted"};
  const PhaseFrameChecks ended{[] { fail("profile_work_ended"); }, [] {}};
  const PhaseFrameChecks late{[] {}, [] { fail("profile_startup_timeout"); }};
  for (const auto* checks : {&ended, &late}) {
    ExchangeProgress p = at("received", 1);
    WipedBytes response;
    const std::string reason =
        reasonOf([&] { acceptPhaseFrame(p, admitted.bytes(), *checks, response); });
    EXPECT_EQ(reason, checks == &ended ? "profile_work_ended" : "profile_startup_timeout");
    EXPECT_EQ(p.last_verified_phase, "received");
    EXPECT_EQ(p.sequence, 1u);
  }
}

// A version 1 request on a client work counts as dispatched, and leaves the
// version 2 progress where it was.
TEST(ExchangeProgressRules, Version1DispatchMarksOnlySubmission) {
  ExchangeProgress p;
  markVersion1Dispatched(p);
  EXPECT_TRUE(p.dispatch_submitted);
  EXPECT_EQ(p.last_verified_phase, "never_sent");
  EXPECT_EQ(p.request_line, "");
}

TEST(ExchangeProgressRules, OneBindingPerWorkAndNoDispatchOnceClosed) {
  ExchangeProgress p;
  bindRequestLine(p, kLine, "capture");
  EXPECT_EQ(p.request_line, kLine);
  EXPECT_EQ(reasonOf([&] { bindRequestLine(p, "other", "recall"); }),
            "broker_native_protocol_refused");
  EXPECT_EQ(p.operation, "capture");
  markDispatched(p);
  EXPECT_TRUE(p.dispatch_submitted);
  EXPECT_EQ(p.last_verified_phase, "sent");
  ExchangeProgress closed;
  closed.dispatch_closed = true;
  EXPECT_EQ(reasonOf([&] { markDispatched(closed); }), "profile_startup_timeout");
  EXPECT_FALSE(closed.dispatch_submitted);
  EXPECT_EQ(closed.last_verified_phase, "never_sent");
  EXPECT_EQ(reasonOf([&] { markVersion1Dispatched(closed); }), "profile_startup_timeout");
  EXPECT_FALSE(closed.dispatch_submitted);
  EXPECT_EQ(reasonOf([] { checkPhaseFrameCount(31); }), "");
  EXPECT_EQ(reasonOf([] { checkPhaseFrameCount(32); }), "broker_native_protocol_refused");
}

}  // namespace
}  // namespace nuvra
