#include "diagnostics/event.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/process_state.h"
#include "common/reason.h"

namespace nuvra {
namespace {

std::string thrownReason(const std::function<void()>& action) {
  try {
    action();
  } catch (const ProfileError& error) {
    return error.what();
  }
  return "";
}

std::string bytesFrom(unsigned seed) {
  std::string bytes(32, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>((seed * 131 + i * 7) & 0xff);
  }
  return bytes;
}

// Binds as beginWork does: the earlier deadline, the work id, the bound mark.
void bindToWork(DiagnosticEvent& event, std::uint64_t workId, std::uint64_t workDeadline) {
  if (workDeadline < event.deadline.load()) event.deadline.store(workDeadline);
  event.boundWorkId.store(workId);
  event.bound.store(true);
}

std::shared_ptr<DiagnosticEvent> openEvent(std::uint64_t now = 1000, std::uint64_t environment = 1,
                                           unsigned seed = 1) {
  return makeDiagnosticEvent("worker", environment, now, bytesFrom(seed));
}

TEST(DiagnosticEventCreation, TokenIsSixtyFourHexAndIdHasTheVersionMarks) {
  auto event = makeDiagnosticEvent("mcp", 7, 5000, bytesFrom(3));
  ASSERT_EQ(event->token.size(), 64u);
  EXPECT_EQ(event->token.find_first_not_of("0123456789abcdef"), std::string::npos);
  ASSERT_EQ(event->diagnosticId.size(), 36u);
  EXPECT_EQ(event->diagnosticId[8], '-');
  EXPECT_EQ(event->diagnosticId[13], '-');
  EXPECT_EQ(event->diagnosticId[14], '4');
  EXPECT_EQ(event->diagnosticId[18], '-');
  EXPECT_EQ(event->diagnosticId[19], 'a');
  EXPECT_EQ(event->diagnosticId[23], '-');
  EXPECT_EQ(event->diagnosticId.substr(0, 8), event->token.substr(0, 8));
  EXPECT_EQ(event->diagnosticId.substr(24), event->token.substr(20, 12));
  EXPECT_EQ(event->scope, "mcp");
  EXPECT_EQ(event->deadline.load(), 8000u);
  EXPECT_EQ(event->ownerEnvironment, 7u);
}

TEST(DiagnosticEventCreation, DiagnosticIdFollowsTheTokenLayout) {
  EXPECT_EQ(
      diagnosticIdFromToken("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"),
      "01234567-89ab-4def-a123-456789abcdef");
}

TEST(DiagnosticEventCreation, ScopeMustBeWorkerOrMcp) {
  EXPECT_EQ(thrownReason([] { makeDiagnosticEvent("Worker", 1, 1, bytesFrom(1)); }),
            "diagnostic_record_invalid");
  EXPECT_EQ(thrownReason([] { makeDiagnosticEvent("mcp ", 1, 1, bytesFrom(1)); }),
            "diagnostic_record_invalid");
}

TEST(IngressVocabulary, StagesOutcomesAndReasonsAreExact) {
  EXPECT_TRUE(isIngressStage("framing"));
  EXPECT_TRUE(isIngressStage("admission"));
  EXPECT_FALSE(isIngressStage("terminal"));
  EXPECT_TRUE(isIngressOutcome("started"));
  EXPECT_TRUE(isIngressOutcome("succeeded"));
  EXPECT_TRUE(isIngressOutcome("failed"));
  EXPECT_FALSE(isIngressOutcome("Failed"));
  for (const char* reason :
       {"none", "unclassified", "worker_input_invalid", "mcp_frame_invalid",
        "profile_startup_timeout", "broker_deadline_refused", "profile_cleanup_uncertain"}) {
    EXPECT_TRUE(isIngressReason(reason)) << reason;
  }
  EXPECT_FALSE(isIngressReason("diagnostic_unavailable"));
  EXPECT_FALSE(isIngressReason(""));
}

TEST(EventCheck, RefusesExpiredClosedSilencedOrPoisonedEvents) {
  auto event = openEvent(1000);
  EXPECT_EQ(thrownReason([&] { checkEventWritable(*event, 1000, false, false); }), "");
  EXPECT_EQ(thrownReason([&] { checkEventWritable(*event, 3999, false, false); }), "");
  EXPECT_EQ(thrownReason([&] { checkEventWritable(*event, 4000, false, false); }),
            "diagnostic_unavailable");
  EXPECT_EQ(thrownReason([&] { checkEventWritable(*event, 1000, true, false); }),
            "diagnostic_unavailable");
  EXPECT_EQ(thrownReason([&] { checkEventWritable(*event, 1000, false, true); }),
            "diagnostic_unavailable");
  event->closed = true;
  EXPECT_EQ(thrownReason([&] { checkEventWritable(*event, 1000, false, false); }),
            "diagnostic_unavailable");
}

TEST(EventCheck, ADeadlineTooFarAheadIsATimeout) {
  auto event = openEvent(1000);
  EXPECT_EQ(thrownReason([&] { checkEventWritable(*event, 999, false, false); }),
            "profile_startup_timeout");
}

TEST(EventCheck, AnEventBoundToAWorkCannotWriteForItself) {
  auto event = openEvent(1000);
  bindToWork(*event, 9, 2500);
  EXPECT_EQ(thrownReason([&] { checkEventOwner(*event, 1000, false, false); }),
            "diagnostic_event_busy");
  event->bound = false;
  EXPECT_EQ(thrownReason([&] { checkEventOwner(*event, 1000, false, false); }), "");
}

TEST(WorkEventCheck, SortsUnboundClosedForeignAndSilencedEvents) {
  auto event = openEvent(1000);
  bindToWork(*event, 9, 2500);
  EXPECT_EQ(thrownReason([&] { checkWorkEvent(event.get(), false, 9, false); }), "");
  EXPECT_EQ(thrownReason([&] { checkWorkEvent(event.get(), false, 8, false); }),
            "diagnostic_event_mismatch");
  EXPECT_EQ(thrownReason([&] { checkWorkEvent(nullptr, true, 9, false); }),
            "diagnostic_unavailable");
  EXPECT_EQ(thrownReason([&] { checkWorkEvent(nullptr, false, 9, false); }), "");
  EXPECT_EQ(thrownReason([&] { checkWorkEvent(nullptr, false, 9, true); }),
            "diagnostic_unavailable");
  event->closed = true;
  EXPECT_EQ(thrownReason([&] { checkWorkEvent(event.get(), false, 9, false); }),
            "diagnostic_unavailable");
}

TEST(IngressStages, SixtyFourRecordsAreAcceptedAndTheSixtyFifthRefused) {
  auto event = openEvent(1000);
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(thrownReason([&] { recordIngressStage(*event, "framing", "started", 1100); }), "")
        << i;
  }
  EXPECT_EQ(thrownReason([&] { recordIngressStage(*event, "framing", "started", 1100); }),
            "diagnostic_event_busy");
  EXPECT_EQ(event->ingressCount, 65u);
  EXPECT_EQ(thrownReason([&] { recordIngressStage(*event, "framing", "failed", 1100); }),
            "diagnostic_event_busy");
  EXPECT_EQ(event->ingressCount, 66u);
}

TEST(IngressStages, SucceededWithoutStartedIsRefusedEvenAfterAnotherStageStarted) {
  auto event = openEvent(1000);
  EXPECT_EQ(recordIngressStage(*event, "framing", "started", 1100), 0u);
  EXPECT_EQ(thrownReason([&] { recordIngressStage(*event, "admission", "succeeded", 1200); }),
            "diagnostic_stage_required");
  EXPECT_EQ(event->ingressCount, 2u);  // the refused attempt counted
  EXPECT_EQ(recordIngressStage(*event, "framing", "succeeded", 1250), 150u);
}

TEST(IngressStages, ElapsedRunsFromTheLatestStart) {
  auto event = openEvent(1000);
  recordIngressStage(*event, "admission", "started", 1100);
  recordIngressStage(*event, "admission", "started", 1300);
  EXPECT_EQ(recordIngressStage(*event, "admission", "failed", 1350), 50u);
}

TEST(IngressStages, ABoundEventTakesNoStageRecords) {
  auto event = openEvent(1000);
  bindToWork(*event, 4, 2000);
  EXPECT_EQ(thrownReason([&] { recordIngressStage(*event, "framing", "started", 1100); }),
            "diagnostic_event_busy");
}

TEST(StageRecord, HasItsKeysInOrderOnOneLine) {
  auto event = makeDiagnosticEvent(
      "mcp", 1, 1000,
      std::string("\x01\x23\x45\x67\x89\xab\xcd\xef\x01\x23\x45\x67\x89\xab\xcd\xef"
                  "\x01\x23\x45\x67\x89\xab\xcd\xef\x01\x23\x45\x67\x89\xab\xcd\xef",
                  32));
  const std::string record =
      ingressStageRecord(*event, {2026, 12, 8, 7, 5, 9, 42}, 4321, "admission", "failed",
                         "mcp_frame_invalid", 12, 345);
  EXPECT_EQ(record,
            "{\"schema_version\":\"nuvra.local-diagnostic.v1\",\"event\":\"stage\",\"event_id\":"
            "\"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\","
            "\"diagnostic_id\":\"01234567-89ab-4def-a123-456789abcdef\",\"operation\":\"mcp\","
            "\"utc\":\"2026-12-08T07:05:09.042Z\",\"pid\":4321,\"stage\":\"admission\","
            "\"outcome\":\"failed\",\"reason\":\"mcp_frame_invalid\",\"elapsed_ms\":12,"
            "\"event_elapsed_ms\":345}\n");
}

TEST(DiagnosticLines, SixtyFourLinesAreAcceptedAndSixtyFiveRefused) {
  std::string text;
  for (int i = 0; i < 64; ++i) text += "{\"n\":" + std::to_string(i) + "}\n";
  EXPECT_EQ(diagnosticLines(text).size(), 64u);
  EXPECT_EQ(diagnosticLines(text)[63], "{\"n\":63}");
  text += "{}\n";
  EXPECT_EQ(thrownReason([&] { diagnosticLines(text); }), "diagnostic_record_invalid");
}

TEST(DiagnosticLines, RefusesEmptyLinesAndAMissingFinalNewline) {
  EXPECT_EQ(thrownReason([] { diagnosticLines("{}\n\n{}\n"); }), "diagnostic_record_invalid");
  EXPECT_EQ(thrownReason([] { diagnosticLines("\n"); }), "diagnostic_record_invalid");
  EXPECT_EQ(thrownReason([] { diagnosticLines("{}\n{}"); }), "diagnostic_record_invalid");
  EXPECT_EQ(thrownReason([] { diagnosticLines(""); }), "diagnostic_record_invalid");
}

TEST(DiagnosticLines, ALineMayHoldFourKibibytesWithItsNewline) {
  const std::string longest = std::string(4095, 'x') + "\n";
  EXPECT_EQ(diagnosticLines(longest).size(), 1u);
  EXPECT_EQ(thrownReason([] { diagnosticLines(std::string(4096, 'x') + "\n"); }),
            "diagnostic_record_invalid");
}

class EventTable : public ::testing::Test {
 protected:
  void TearDown() override {
    for (std::uint64_t environment : {101u, 102u}) closeEnvironmentDiagnosticEvents(environment);
  }
};

TEST_F(EventTable, LookupFindsOnlyTheCreatingEnvironmentsEvents) {
  auto event = openEvent(1000, 101, 11);
  registerDiagnosticEvent(event);
  EXPECT_EQ(lookupDiagnosticEvent(event->token, 101), event);
  EXPECT_EQ(thrownReason([&] { lookupDiagnosticEvent(event->token, 102); }),
            "diagnostic_event_required");
  EXPECT_EQ(thrownReason([&] { lookupDiagnosticEvent("00", 101); }), "diagnostic_event_required");
}

TEST_F(EventTable, AClosedEventIsGoneAndItsTokenUnknown) {
  auto event = openEvent(1000, 101, 12);
  registerDiagnosticEvent(event);
  closeDiagnosticEventEntry(event);
  EXPECT_TRUE(event->closed.load());
  EXPECT_EQ(thrownReason([&] { lookupDiagnosticEvent(event->token, 101); }),
            "diagnostic_event_required");
}

TEST_F(EventTable, HoldsAtMost128OpenEventsAndPurgesClosedOnes) {
  std::vector<std::shared_ptr<DiagnosticEvent>> events;
  for (unsigned i = 0; i < 128; ++i) {
    events.push_back(openEvent(1000, 101, 1000 + i));
    // Distinct tokens: the seed pattern repeats, so mark the first byte.
    events.back()->token = std::to_string(i) + events.back()->token.substr(4);
    registerDiagnosticEvent(events.back());
  }
  auto extra = openEvent(1000, 101, 5000);
  EXPECT_EQ(thrownReason([&] { registerDiagnosticEvent(extra); }), "diagnostic_event_limit");
  events[5]->closed = true;  // an expired-but-unclosed event would still count
  EXPECT_EQ(thrownReason([&] { registerDiagnosticEvent(extra); }), "");
}

TEST_F(EventTable, TheFinaliserClosesOnlyItsOwnEnvironmentsEvents) {
  auto mine = openEvent(1000, 101, 21);
  auto theirs = openEvent(1000, 102, 22);
  registerDiagnosticEvent(mine);
  registerDiagnosticEvent(theirs);
  closeEnvironmentDiagnosticEvents(101);
  EXPECT_TRUE(mine->closed.load());
  EXPECT_FALSE(theirs->closed.load());
  EXPECT_EQ(lookupDiagnosticEvent(theirs->token, 102), theirs);
}

}  // namespace
}  // namespace nuvra
