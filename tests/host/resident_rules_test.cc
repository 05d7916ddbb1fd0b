#include "resident/resident_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "../support/reason_of.h"
#include "resident/host_record.h"
#include "resident/publication_rules.h"

namespace nuvra {
namespace {

using nuvra::testing::reasonOf;

TEST(ResidentKey, JoinsTheFourPartsWithLineFeedsAndNamesTheMutex) {
  EXPECT_EQ(residentKeyText("h1", "o2", "a3", 0), "h1\no2\na3\n0");
  EXPECT_EQ(residentKeyText("h", "o", "a", 4294967295u), "h\no\na\n4294967295");
  EXPECT_EQ(residentMutexName("0123abcd"), L"Global\\Nuvra.Resident.V1.0123abcd");
}

TEST(ResidentCeiling, TimesComeFromOneTickAndNeverGoNegative) {
  struct Case {
    std::optional<ResidentClock> clock;
    std::uint64_t now;
    std::uint64_t elapsed;
    std::uint64_t remaining;
  };
  const ResidentClock clock = residentClock(1000);
  EXPECT_EQ(clock.ceiling, 4000u);
  const Case cases[] = {
      {clock, 1500, 500, 2500}, {clock, 1000, 0, 3000}, {clock, 4000, 3000, 0},
      {clock, 4200, 3200, 0},   {clock, 900, 0, 3100},  {std::nullopt, 1500, 0, 0},
  };
  for (const Case& c : cases) {
    const CeilingTimes times = ceilingTimes(c.clock, c.now);
    EXPECT_EQ(times.elapsed, c.elapsed) << c.now;
    EXPECT_EQ(times.remaining, c.remaining) << c.now;
  }
}

TEST(ResidentAvailability, OnlyPendingBeforeTheCeilingWithoutPoisonOrStoredError) {
  struct Case {
    std::optional<ResidentPhase> phase;
    bool failed;
    bool poisoned;
    std::uint64_t now;
    const char* reason;
  };
  const Case cases[] = {
      {ResidentPhase::pending, false, false, 3999, ""},
      {ResidentPhase::pending, false, false, 4000, "broker_startup_ceiling_expired"},
      {ResidentPhase::pending, false, true, 1000, "profile_resident_unavailable"},
      {ResidentPhase::pending, true, false, 1000, "profile_resident_unavailable"},
      {ResidentPhase::pending, true, false, 4000, "profile_resident_unavailable"},
      {ResidentPhase::published, false, false, 1000, "profile_resident_unavailable"},
      {ResidentPhase::expired, false, false, 1000, "profile_resident_unavailable"},
      {ResidentPhase::ended, false, false, 9000, "profile_resident_unavailable"},
      {std::nullopt, false, false, 1000, "profile_resident_unavailable"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(reasonOf([&] { checkResidentAvailable(c.phase, c.failed, c.poisoned, c.now, 4000); }),
              c.reason)
        << c.now << " failed " << c.failed;
  }
}

TEST(ReservationEnd, AFailedReservationNeitherExpiresNorHolds) {
  using End = ReservationEnd;
  using Phase = ResidentPhase;
  struct Case {
    bool failed;
    bool ceilingPassed;
    Phase phase;
    End end;
  };
  const Case cases[] = {
      {false, true, Phase::pending, End::expire},
      {false, false, Phase::pending, End::release},
      {false, true, Phase::published, End::holdUntilEnded},
      {false, false, Phase::published, End::holdUntilEnded},
      {false, true, Phase::ended, End::release},
      {false, true, Phase::expired, End::release},
      {true, true, Phase::pending, End::release},
      {true, false, Phase::pending, End::release},
      {true, true, Phase::published, End::release},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(reservationEnd(c.failed, c.ceilingPassed, c.phase), c.end)
        << "failed " << c.failed << " ceiling " << c.ceilingPassed << " phase "
        << static_cast<int>(c.phase);
  }
}

TEST(ResidentPhaseWord, OnlyOneWayOutOfPendingWins) {
  ResidentPhaseWord word;
  EXPECT_TRUE(word.leavePending(ResidentPhase::published));
  EXPECT_FALSE(word.leavePending(ResidentPhase::expired));
  EXPECT_EQ(word.load(), ResidentPhase::published);
  word.set(ResidentPhase::ended);
  EXPECT_FALSE(word.leavePending(ResidentPhase::published));
  EXPECT_EQ(word.load(), ResidentPhase::ended);
}

TEST(ResidentJobList, EndStopsAtTheFirstFailureAndExpiryDoesNot) {
  ResidentJobList list;
  for (std::uint64_t job : {11u, 12u, 13u}) list.add(job, [] {});
  std::vector<std::pair<std::uint64_t, std::uint32_t>> calls;
  EXPECT_EQ(reasonOf([&] {
              list.endAll([&](std::uint64_t job, std::uint32_t code) {
                calls.emplace_back(job, code);
                return job != 12;
              });
            }),
            "profile_cleanup_uncertain");
  const std::vector<std::pair<std::uint64_t, std::uint32_t>> ended{{11, 0}, {12, 0}};
  EXPECT_EQ(calls, ended);
  calls.clear();
  list.expireAll([&](std::uint64_t job, std::uint32_t code) {
    calls.emplace_back(job, code);
    return false;
  });
  const std::vector<std::pair<std::uint64_t, std::uint32_t>> expired{{11, 74}, {12, 74}, {13, 74}};
  EXPECT_EQ(calls, expired);
}

TEST(ResidentJobList, CloseTriesEveryHandleOnceAndEmptiesTheList) {
  ResidentJobList list;
  for (std::uint64_t job : {21u, 22u, 23u}) list.add(job, [] {});
  EXPECT_EQ(reasonOf([&] { list.add(24, [] { throw std::runtime_error("recheck"); }); }),
            "recheck");
  std::vector<std::uint64_t> closed;
  EXPECT_EQ(reasonOf([&] {
              list.closeAll([&](std::uint64_t job) {
                closed.push_back(job);
                return job != 22;
              });
            }),
            "profile_close_failed");
  EXPECT_EQ(closed, (std::vector<std::uint64_t>{21, 22, 23, 24}));
  EXPECT_EQ(list.size(), 0u);
  EXPECT_EQ(reasonOf([&] { list.closeAll([](std::uint64_t) { return false; }); }), "");
}

TEST(ResidentStages, OnlyTheEightNamesExactly) {
  for (const char* stage : {"worker_prepare", "worker_ready", "account_validate", "account_ready",
                            "account_end", "host_prepare", "host_ready", "publish"}) {
    EXPECT_EQ(reasonOf([&] { checkResidentStage(stage); }), "") << stage;
  }
  for (const char* stage : {"Publish", "publish ", "", "publication_refused", "host"}) {
    EXPECT_EQ(reasonOf([&] { checkResidentStage(stage); }), "diagnostic_stage_invalid") << stage;
  }
}

TEST(ResidentTexts, StageLineStatusAndObservationAreWrittenInTheirKeyOrder) {
  EXPECT_EQ(residentStageLine("host_ready", {120, 2880}),
            "{\"schema_version\":\"nuvra.resident-startup-diagnostic.v1\",\"scope\":"
            "\"resident_startup\",\"stage\":\"host_ready\",\"elapsed_ms\":120,\"remaining_ms\":"
            "2880}\n");
  EXPECT_EQ(residentStatusText({120, 2880}), R"({"remaining_ms":2880,"elapsed_ms":120})");
  EXPECT_EQ(residentStatusText({4294967297u, 0}), R"({"remaining_ms":0,"elapsed_ms":1})");
  EXPECT_EQ(residencyObservationText(true, 42, 133000000000000000u, "ab"),
            R"({"broker_scope":"harness_session","pid":42,)"
            R"("process_creation_filetime":"133000000000000000","image_path_sha256":"ab"})");
  EXPECT_EQ(residencyObservationText(false, 1, 7, "c").substr(0, 26),
            R"({"broker_scope":"machine",)");
}

HandoffGuards twoGuards(bool withLifetime) {
  HandoffGuards guards;
  guards.add({500, "C:\\h\\g\"1", 7, 9}, false);
  guards.add({504, "C:\\h\\l", 4294967295u, 18446744073709551615u}, withLifetime);
  return guards;
}

ResidentHostFields hostFields() {
  ResidentHostFields fields;
  fields.home = "C:\\Users\\\xc3\xa9";
  fields.root = "C:\\r";
  fields.ownerSidHash = "osh";
  fields.payloadDigest = "pd";
  fields.generation = "g1";
  fields.deadline = 123456;
  fields.serialization = 600;
  fields.lifetime = 504;
  fields.activation = 608;
  fields.parent = 612;
  fields.parentPid = 4242;
  fields.guards = twoGuards(true).text();
  return fields;
}

TEST(ResidentHostRecord, IsWrittenInTheFixedOrderWithNumbersBare) {
  EXPECT_EQ(residentHostRecord(hostFields()),
            "{\"schema_version\":\"nuvra.profile-resident-host.v1\",\"home\":\"C:\\\\Users\\\\"
            "\xc3\xa9\",\"root\":\"C:\\\\r\",\"owner_sid_hash\":\"osh\",\"payload_digest\":\"pd\","
            "\"generation\":\"g1\",\"deadline_tick64\":\"123456\",\"s\":\"600\",\"l\":\"504\","
            "\"activation\":\"608\",\"parent\":\"612\",\"parent_pid\":4242,\"guards\":["
            "{\"handle\":\"500\",\"path\":\"C:\\\\h\\\\g\\\"1\",\"volume\":7,\"file_id\":\"9\"},"
            "{\"handle\":\"504\",\"path\":\"C:\\\\h\\\\l\",\"volume\":4294967295,"
            "\"file_id\":\"18446744073709551615\"}]}");
  EXPECT_EQ(reasonOf([] { twoGuards(false).lifetime(); }), "profile_lifetime_missing");
  EXPECT_EQ(twoGuards(true).lifetime(), 504u);
}

TEST(ResidentHostRecord, TheHostReadsBackWhatWasWritten) {
  const ResidentHostHandoff handoff = readResidentHostRecord(residentHostRecord(hostFields()));
  const ResidentHostFields& read = handoff.fields;
  EXPECT_EQ(std::tie(read.home, read.root, read.ownerSidHash, read.payloadDigest, read.generation),
            std::make_tuple("C:\\Users\\\xc3\xa9", "C:\\r", "osh", "pd", "g1"));
  EXPECT_EQ(std::tie(read.deadline, read.serialization, read.lifetime, read.activation, read.parent,
                     read.parentPid),
            std::make_tuple(123456u, 600u, 504u, 608u, 612u, 4242u));
  ASSERT_EQ(handoff.guards.size(), 2u);
  EXPECT_EQ(handoff.guards[0].path, "C:\\h\\g\"1");
  EXPECT_EQ(handoff.guards[1].fileId, 18446744073709551615u);
}

TEST(ResidentHostRecord, TheHostRefusesARecordOutOfShape) {
  const std::string good = residentHostRecord(hostFields());
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const std::string cases[] = {
      replaced("resident-host.v1", "resident-host.v2"),
      replaced("\"s\":\"600\"", "\"s\":\"0600\""),
      replaced("\"s\":\"600\"", "\"s\":600"),
      replaced("\"activation\":\"608\"", "\"activation\":\"9223372036854775807\""),
      replaced("\"l\":\"504\"", "\"l\":\"508\""),
      replaced("\"parent_pid\":4242", "\"parent_pid\":0"),
      replaced("\"parent_pid\":4242", "\"parent_pid\":\"4242\""),
      replaced("\"home\":", "\"homes\":"),
      replaced("\"root\":\"C:\\\\r\",", ""),
      replaced("\"volume\":7", "\"volume\":4294967296"),
      replaced("\"generation\":\"g1\"", "\"generation\":\"\""),
      good + " ",
  };
  for (const std::string& text : cases) {
    EXPECT_EQ(reasonOf([&] { readResidentHostRecord(text); }), "profile_resident_host") << text;
  }
}

TEST(PublicationRefusal, NamesFourteenCodesAndClassifiesTheRest) {
  for (const char* code :
       {"profile_security", "broker_publication_recovery_required", "broker_publication_failed",
        "profile_resident_validation_required", "profile_resident_work_unsettled",
        "profile_account_busy", "profile_account_unavailable", "profile_account_exited",
        "broker_native_exited", "broker_endpoint_invalid", "broker_native_peer_refused",
        "profile_resident_unavailable", "broker_startup_ceiling_expired",
        "profile_cleanup_uncertain"}) {
    EXPECT_EQ(classifyPublicationRefusal(code), code);
  }
  for (const char* code : {"profile_native_api", "profile_resident_publication_duplicate",
                           "profile_close_failed", "Broker_endpoint_invalid", ""}) {
    EXPECT_EQ(classifyPublicationRefusal(code), "native_unclassified") << code;
  }
}

TEST(PublicationRefusal, LinesCarryTheClassifiedCode) {
  EXPECT_EQ(publicationRefusedLine("broker_endpoint_invalid", {3100, 0}),
            "{\"schema_version\":\"nuvra.resident-startup-diagnostic.v1\",\"scope\":"
            "\"resident_startup\",\"stage\":\"publication_refused\",\"error_kind\":"
            "\"native_exception\",\"error_code\":\"broker_endpoint_invalid\",\"elapsed_ms\":3100,"
            "\"remaining_ms\":0}\n");
  EXPECT_EQ(publicationRefusedStderrLine("profile_native_api"),
            "Nuvra publication refused: native_exception/native_unclassified; "
            "diagnostic_unavailable\n");
  EXPECT_EQ(publicationRefusedStderrLine("profile_security"),
            "Nuvra publication refused: native_exception/profile_security; "
            "diagnostic_unavailable\n");
  EXPECT_EQ(publicationRefusedCheckpoint("broker_native_exited"),
            "publication_refused_broker_native_exited");
}

TEST(PublicationPaths, TheTemporaryFileIsNamedByTheNonceAlone) {
  const std::string nonce(64, 'a');
  EXPECT_EQ(temporaryEndpointPath(L"C:\\H", nonce),
            L"C:\\H\\state\\broker\\endpoint." + std::wstring(64, L'a') + L".tmp");
  EXPECT_EQ(endpointPath(L"C:\\H"), L"C:\\H\\state\\broker\\endpoint.json");
  EXPECT_EQ(endpointSearchPattern(L"C:\\H"), L"C:\\H\\state\\broker\\endpoint*");
  for (const std::string& bad : {std::string(63, 'a'), std::string(65, 'a'), std::string(64, 'A'),
                                 std::string(60, 'a') + "\\..\\"}) {
    EXPECT_EQ(reasonOf([&] { temporaryEndpointPath(L"C:\\H", bad); }), "profile_resident_nonce");
  }
}

}  // namespace
}  // namespace nuvra

namespace nuvra {
namespace {

SecurityFacts directoryFacts(std::wstring owner, bool isProtected, std::uint8_t flags,
                             std::uint32_t mask) {
  return {
      std::move(owner), true, isProtected, {{kAccessAllowedAceType, flags, mask, L"S-1-5-21-7"}}};
}

TEST(PublicationDirectories, OnlyTheUserHoldsThemAndWhatTheyHoldInherits) {
  const std::wstring user = L"S-1-5-21-7";
  SecurityFacts twoAces = directoryFacts(user, true, kObjectAndContainerInherit, kGenericAll);
  twoAces.aces.push_back(
      {kAccessAllowedAceType, kObjectAndContainerInherit, kGenericAll, L"S-1-5-18"});
  struct Case {
    SecurityFacts facts;
    bool accepted;
  };
  const Case cases[] = {
      {directoryFacts(user, true, kObjectAndContainerInherit, kGenericAll), true},
      {directoryFacts(user, true, kObjectAndContainerInherit, kFileAllAccess), true},
      {directoryFacts(user, true, 0, kGenericAll), false},
      {directoryFacts(user, true, 0x01, kGenericAll), false},
      {directoryFacts(user, false, kObjectAndContainerInherit, kGenericAll), false},
      {directoryFacts(L"S-1-5-21-8", true, kObjectAndContainerInherit, kGenericAll), false},
      {directoryFacts(user, true, kObjectAndContainerInherit, 0x001200A9), false},
      {twoAces, false},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(isPublicationDirectorySecurity(cases[i].facts, user), cases[i].accepted) << i;
  }
}

TEST(PublicationEnd, ActivatesOnlyInsideTheCeilingOnceTheStateIsPublished) {
  struct Case {
    bool expiredFirst;
    std::uint64_t (*tick)();
    const char* reason;
    PublicationEnd end;
  };
  const Case cases[] = {
      {false, [] { return std::uint64_t{3999}; }, "", PublicationEnd::activate},
      {false, [] { return std::uint64_t{4000}; }, "", PublicationEnd::expire},
      {false, [] { return std::uint64_t{5000}; }, "", PublicationEnd::expire},
      {true, [] { return std::uint64_t{3999}; }, "broker_startup_ceiling_expired",
       PublicationEnd::expire},
  };
  for (const Case& c : cases) {
    ResidentPhaseWord phase;
    if (c.expiredFirst) {
      EXPECT_TRUE(phase.leavePending(ResidentPhase::expired));
    }
    PublicationEnd end = PublicationEnd::expire;
    EXPECT_EQ(reasonOf([&] { end = finishPublication(phase, c.tick, 4000); }), c.reason);
    if (*c.reason != '\0') {
      EXPECT_EQ(phase.load(), ResidentPhase::expired);
      continue;
    }
    EXPECT_EQ(end, c.end);
    // Published either way: the file is in place, whatever the ceiling says.
    EXPECT_EQ(phase.load(), ResidentPhase::published);
  }
}

}  // namespace
}  // namespace nuvra
