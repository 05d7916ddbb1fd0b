#include "terminal/terminal_rules.h"

#include <gtest/gtest.h>

#include <string>

#include "../support/reason_of.h"

namespace nuvra {
namespace {

using nuvra::testing::reasonOf;

TEST(TerminalIds, AttemptAndRequestIdsAreDashOrExactLengthFromTheSet) {
  struct Case {
    std::string id;
    bool attempt;
    const char* reason;
  };
  const Case cases[] = {
      {"-", true, ""},
      {std::string(64, 'a'), true, ""},
      {std::string(60, '0') + "9f-e", true, ""},
      {std::string(63, 'a'), true, "terminal_invalid"},
      {std::string(65, 'a'), true, "terminal_invalid"},
      {std::string(64, 'A'), true, "terminal_invalid"},
      {std::string(63, 'a') + "g", true, "terminal_invalid"},
      {"", true, "terminal_invalid"},
      {"--", true, "terminal_invalid"},
      {"-", false, ""},
      {"123e4567-e89b-12d3-a456-426614174000", false, ""},
      {"123e4567-e89b-12d3-a456-42661417400", false, "terminal_invalid"},
      {"123E4567-e89b-12d3-a456-426614174000", false, "terminal_invalid"},
      {std::string(64, 'a'), false, "terminal_invalid"},
  };
  for (const Case& c : cases) {
    std::string stored = "unset";
    EXPECT_EQ(reasonOf([&] { stored = c.attempt ? checkAttemptId(c.id) : checkRequestId(c.id); }),
              c.reason)
        << c.id;
    if (*c.reason == '\0') {
      EXPECT_EQ(stored, c.id == "-" ? "" : c.id);
    }
  }
}

TEST(TerminalOwnership, TheProcessPurposeIsClaimedOnceByItsOwnOperation) {
  bool claimed = false;
  EXPECT_EQ(reasonOf([&] { claimProcessPurpose("connect", "finish", "-", claimed); }),
            "terminal_owner_refused");
  EXPECT_EQ(reasonOf([&] { claimProcessPurpose("connect", "connect", "tok", claimed); }),
            "terminal_owner_refused");
  EXPECT_FALSE(claimed);
  EXPECT_EQ(reasonOf([&] { claimProcessPurpose("connect", "connect", "-", claimed); }), "");
  EXPECT_TRUE(claimed);
  EXPECT_EQ(reasonOf([&] { claimProcessPurpose("connect", "connect", "-", claimed); }),
            "terminal_owner_refused");
  bool other = false;
  EXPECT_EQ(reasonOf([&] { claimProcessPurpose("none", "none", "-", other); }),
            "terminal_owner_refused");
  EXPECT_TRUE(claimsProcessPurpose("finish"));
  EXPECT_FALSE(claimsProcessPurpose("none"));
  EXPECT_FALSE(claimsProcessPurpose("Connect"));
  EXPECT_EQ(eventTokenOf("-"), "");
  EXPECT_EQ(eventTokenOf("t-1"), "t-1");
}

TEST(TerminalOwnership, AMismatchedEventStaysClaimed) {
  bool claimed = false;
  EXPECT_EQ(reasonOf([&] { claimDiagnosticEvent(false, claimed, "recall", "recall"); }),
            "terminal_owner_refused");
  EXPECT_FALSE(claimed);
  EXPECT_EQ(reasonOf([&] { claimDiagnosticEvent(true, claimed, "recall", "capture"); }),
            "terminal_owner_refused");
  EXPECT_TRUE(claimed);
  EXPECT_EQ(reasonOf([&] { claimDiagnosticEvent(true, claimed, "recall", "recall"); }),
            "terminal_owner_refused");
  bool fresh = false;
  EXPECT_EQ(reasonOf([&] { claimDiagnosticEvent(true, fresh, "recall", "recall"); }), "");
}

TEST(TerminalOwnership, PrepareOwnerTable) {
  struct Case {
    PrepareOwner owner;
    const char* reason;
  };
  const Case cases[] = {
      {{"t", true, "t", false, "recall", "none", "client"}, ""},
      {{"t", true, "u", false, "recall", "none", "client"}, "terminal_owner_refused"},
      {{"t", false, "", false, "recall", "none", "client"}, "terminal_owner_refused"},
      {{"t", true, "t", true, "recall", "none", "client"}, "terminal_owner_refused"},
      {{"", false, "", false, "connect", "connect", "unbound_local"}, ""},
      {{"", false, "", false, "connect", "connect", "client"}, "terminal_owner_refused"},
      {{"", false, "", false, "connect", "finish", "unbound_local"}, "terminal_owner_refused"},
  };
  for (const Case& c : cases) EXPECT_EQ(reasonOf([&] { checkPrepareOwner(c.owner); }), c.reason);
}

TEST(TerminalAvailability, FlagsFirstThenTheDeadlineWindow) {
  struct Case {
    TerminalAvailability flags;
    std::uint64_t now;
    std::uint64_t deadline;
    const char* reason;
  };
  const Case cases[] = {
      {{}, 1000, 4000, ""},
      {{}, 1000, 4001, "profile_startup_timeout"},
      {{}, 4000, 4000, "profile_startup_timeout"},
      {{true, false, false, false}, 1000, 2000, "terminal_unavailable"},
      {{false, true, false, false}, 1000, 9000, "terminal_unavailable"},
      {{false, false, true, false}, 1000, 2000, "terminal_unavailable"},
      {{false, false, false, true}, 1000, 2000, "terminal_unavailable"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(reasonOf([&] { checkTerminalAvailable(c.flags, c.now, c.deadline); }), c.reason)
        << c.now << " " << c.deadline;
  }
  EXPECT_EQ(terminalDeadline(std::nullopt, 5000), 5000u);
  EXPECT_EQ(terminalDeadline(4000, 5000), 4000u);
  EXPECT_EQ(terminalDeadline(6000, 5000), 5000u);
  EXPECT_EQ(reasonOf([] { checkTerminalCapacity(true, false, 127); }), "");
  EXPECT_EQ(reasonOf([] { checkTerminalCapacity(true, false, 128); }), "terminal_unavailable");
  EXPECT_EQ(reasonOf([] { checkTerminalCapacity(false, false, 0); }), "terminal_unavailable");
  EXPECT_EQ(reasonOf([] { checkTerminalCapacity(true, true, 0); }), "terminal_unavailable");
}

TEST(TerminalCommit, RequiresASucceededEndAndKnownWords) {
  EXPECT_EQ(reasonOf([] { checkCommitReady(true, true, true, true); }), "");
  for (int missing = 0; missing < 4; ++missing) {
    EXPECT_EQ(
        reasonOf([&] { checkCommitReady(missing != 0, missing != 1, missing != 2, missing != 3); }),
        "terminal_end_required");
  }
  EXPECT_EQ(reasonOf([] { checkCommitOutcome(true, "none", true, true, true); }), "");
  EXPECT_EQ(reasonOf([] { checkCommitOutcome(false, "broker_native_exited", true, true, true); }),
            "");
  EXPECT_EQ(
      reasonOf([] { checkCommitOutcome(true, "broker_native_peer_refused", true, true, true); }),
      "terminal_invalid");
  EXPECT_EQ(reasonOf([] { checkCommitOutcome(false, "none", false, true, true); }),
            "terminal_invalid");
  EXPECT_EQ(reasonOf([] { checkCommitOutcome(false, "none", true, false, true); }),
            "terminal_invalid");
  EXPECT_EQ(reasonOf([] { checkCommitOutcome(false, "none", true, true, false); }),
            "terminal_invalid");
}

TEST(TerminalRecords, CheckpointWritesNullForAbsentIds) {
  EXPECT_EQ(checkpointRecord({"op", "", "", "capture", "2026-03-04T05:06:07.008Z"}),
            R"({"schema_version":"nuvra.operation-checkpoint.v1","event":"terminal_pending",)"
            R"("operation_id":"op","attempt_id":null,"request_id":null,"operation":"capture",)"
            R"("terminal_status":"unavailable","outcome":"unknown",)"
            R"("utc":"2026-03-04T05:06:07.008Z"})"
            "\n");
}

TEST(TerminalRecords, TerminalRecordComputesElapsedFromTheRecordedTicks) {
  TerminalFields fields;
  fields.operationId = "op";
  fields.attemptId = "att";
  fields.operation = "recall";
  fields.phase = "terminal";
  fields.ok = true;
  fields.state = "recalled";
  fields.reason = "none";
  fields.utc = "u";
  fields.workStart = 1000;
  fields.deadline = 2000;
  fields.endRequestedAt = 1300;
  fields.endedAt = 1350;
  EXPECT_EQ(terminalRecord(fields, 1400),
            R"({"schema_version":"nuvra.operation-terminal.v1","event":"operation_result",)"
            R"("operation_id":"op","attempt_id":"att","request_id":null,"operation":"recall",)"
            R"("phase":"terminal","ok":true,"state":"recalled","reason":"none","utc":"u",)"
            R"("elapsed":{"original_budget_ms":1000,"work_ms":300,"end_ms":50,)"
            R"("projection_ms":50,"operation_ms":400},"client":null,"server":null})"
            "\n");
  fields.clientEvidence = R"({"a":1})";
  fields.serverEvidence = "null";
  EXPECT_TRUE(terminalRecord(fields, 1400)
                  .ends_with(R"("client":{"a":1},"server":null})"
                             "\n"));
}

TEST(TerminalRecords, ARecordOverFourKilobytesIsRefused) {
  TerminalFields fields;
  fields.operation = "recall";
  // The record with "client":null, less the four bytes of null.
  const std::size_t base = terminalRecord(fields, 0).size() - 4;
  std::string evidence = "\"" + std::string(4096 - base - 2, 'x') + "\"";
  fields.clientEvidence = evidence;
  EXPECT_EQ(terminalRecord(fields, 0).size(), 4096u);
  evidence.insert(1, "x");
  fields.clientEvidence = evidence;
  EXPECT_EQ(reasonOf([&] { terminalRecord(fields, 0); }), "terminal_invalid");
  const std::string longId(4096, 'a');
  EXPECT_EQ(reasonOf([&] {
              checkpointRecord({longId, "", "", "capture", "u"});
            }),
            "terminal_invalid");
}

}  // namespace
}  // namespace nuvra
