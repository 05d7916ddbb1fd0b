#include "custody/startup_rules.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "../support/reason_of.h"
#include "common/reason.h"

namespace {

using namespace nuvra::startup;

using nuvra::testing::reasonOf;

TEST(HandoffLength, AcceptsOneToTheLastByteOfTheView) {
  EXPECT_EQ(reasonOf([] { checkHandoffLength(1); }), "");
  EXPECT_EQ(reasonOf([] { checkHandoffLength(262140); }), "");
  EXPECT_EQ(reasonOf([] { checkHandoffLength(0); }), "profile_mapping");
  EXPECT_EQ(reasonOf([] { checkHandoffLength(262141); }), "profile_mapping");
  EXPECT_EQ(reasonOf([] { checkHandoffLength(0xFFFFFFFFu); }), "profile_mapping");
}

TEST(StartupDeadline, OrdinaryStartupsGetThreeSecondsAndJobsThirty) {
  const std::uint64_t now = 1'000'000;
  EXPECT_EQ(reasonOf([&] { checkStartupDeadline(now, now + 3000, false); }), "");
  EXPECT_EQ(reasonOf([&] { checkStartupDeadline(now, now + 3001, false); }),
            "profile_startup_timeout");
  EXPECT_EQ(reasonOf([&] { checkStartupDeadline(now, now + 3001, true); }), "");
  EXPECT_EQ(reasonOf([&] { checkStartupDeadline(now, now + 30000, true); }), "");
  EXPECT_EQ(reasonOf([&] { checkStartupDeadline(now, now + 30001, true); }),
            "profile_startup_timeout");
}

TEST(StartupDeadline, ADeadlineEqualToNowOrPastFailsBothKinds) {
  const std::uint64_t now = 5000;
  for (const bool job : {false, true}) {
    EXPECT_EQ(reasonOf([&] { checkStartupDeadline(now, now, job); }), "profile_startup_timeout");
    EXPECT_EQ(reasonOf([&] { checkStartupDeadline(now, now - 1, job); }),
              "profile_startup_timeout");
  }
}

TEST(StartupDeadline, AFarDeadlineDoesNotWrapIntoAcceptance) {
  EXPECT_EQ(reasonOf([] { checkStartupDeadline(10, 0xFFFFFFFFFFFFFFFFull, true); }),
            "profile_startup_timeout");
  EXPECT_EQ(millisecondsLeft(10, 5), 0u);
  EXPECT_EQ(millisecondsLeft(10, 10), 0u);
  EXPECT_EQ(millisecondsLeft(10, 2510), 2500u);
  EXPECT_LT(millisecondsLeft(0, 0xFFFFFFFFFFFFFFFFull), 0xFFFFFFFFu);
}

TEST(HandoffWords, SchemaNamesTheStartupKind) {
  EXPECT_FALSE(isJobSchema("nuvra.profile-startup.v1"));
  EXPECT_TRUE(isJobSchema("nuvra.profile-startup-job.v1"));
  EXPECT_EQ(reasonOf([] { isJobSchema("nuvra.profile-startup.v2"); }), "profile_schema");
  EXPECT_EQ(reasonOf([] { isJobSchema("NUVRA.profile-startup.v1"); }), "profile_schema");
  EXPECT_EQ(reasonOf([] { checkJobKind("setup"); }), "");
  EXPECT_EQ(reasonOf([] { checkJobKind("Setup"); }), "profile_startup_job_kind");
}

TEST(HandoffWords, ResidentRoleIsRefusedForJobStartups) {
  EXPECT_EQ(parseRuntimeRole(std::nullopt, false), RuntimeRole::entry);
  EXPECT_EQ(parseRuntimeRole(std::nullopt, true), RuntimeRole::entry);
  EXPECT_EQ(parseRuntimeRole(std::string("entry"), true), RuntimeRole::entry);
  EXPECT_EQ(parseRuntimeRole(std::string("resident"), false), RuntimeRole::resident);
  EXPECT_EQ(reasonOf([] { parseRuntimeRole(std::string("resident"), true); }),
            "profile_resident_role");
  EXPECT_EQ(reasonOf([] { parseRuntimeRole(std::string("host"), false); }),
            "profile_resident_role");
}

TEST(HandoffWords, AccountPurposeIsOneOfThree) {
  for (const char* purpose : {"none", "connect", "finish"}) {
    EXPECT_EQ(reasonOf([&] { checkAccountPurpose(purpose); }), "") << purpose;
  }
  EXPECT_EQ(reasonOf([] { checkAccountPurpose("logout"); }), "profile_startup_purpose");
}

HandoffSelection handoff() {
  return {"C:\\Home", "a1", "d1", "7"};
}

ServicingRecord committed() {
  return {
      "nuvra.runtime-servicing.v1", "COMMITTED", "C:\\Home", "a1", "d1", "7", "1.0.0", "x", "y"};
}

TEST(ServicingSelection, ACommittedMatchingRecordPasses) {
  EXPECT_EQ(reasonOf([] { checkServicingSelection(handoff(), committed()); }), "");
}

TEST(ServicingSelection, EveryMismatchIsASelectionFailure) {
  const std::function<void(ServicingRecord&)> changes[] = {
      [](ServicingRecord& r) { r.schemaVersion = "nuvra.runtime-servicing.v2"; },
      [](ServicingRecord& r) { r.state = "RECOVERY_REQUIRED"; },
      [](ServicingRecord& r) { r.installationRoot = "C:\\home"; },  // bytes, not paths
      [](ServicingRecord& r) { r.ownerSidHash = "a2"; },
      [](ServicingRecord& r) { r.digest = "d2"; },
      [](ServicingRecord& r) { r.generation = "8"; },
  };
  for (const auto& change : changes) {
    ServicingRecord record = committed();
    change(record);
    EXPECT_EQ(reasonOf([&] { checkServicingSelection(handoff(), record); }), "profile_selection");
  }
}

TEST(NativeDigest, OneLowercaseHashIsTheResult) {
  NativeDigestScan scan;
  EXPECT_TRUE(NativeDigestScan::namesNativeEntry(
      "connector/vevadu-code/client/nuvra_windows_broker_native.exe"));
  EXPECT_FALSE(NativeDigestScan::namesNativeEntry(
      "connector\\vevadu-code\\client\\nuvra_windows_broker_native.exe"));
  scan.offer(std::string(64, 'a'));
  EXPECT_EQ(scan.result(), std::string(64, 'a'));
}

TEST(NativeDigest, ASecondEntryIsRefusedEvenWithAnEqualHash) {
  NativeDigestScan scan;
  scan.offer(std::string(64, '0'));
  EXPECT_EQ(reasonOf([&] { scan.offer(std::string(64, '0')); }), "profile_native_target");
}

TEST(NativeDigest, MissingUppercaseOrShortHashesAreRefused) {
  EXPECT_EQ(reasonOf([] { NativeDigestScan().result(); }), "profile_native_target");
  for (const std::string& bad : {std::string(63, 'a'), std::string(65, 'a'),
                                 std::string(63, 'a') + "A", std::string(63, 'a') + "g"}) {
    NativeDigestScan scan;
    scan.offer(bad);
    EXPECT_EQ(reasonOf([&] { scan.result(); }), "profile_native_target") << bad;
  }
}

TEST(RecordAgreement, AdmissionMustNameTheNativeEntryExactly) {
  AdmissionRecord admission{"C:\\Home", "a1", "d1", std::string(nuvra::kNativeEntryPath)};
  EXPECT_EQ(reasonOf([&] { checkAdmissionEntry(admission); }), "");
  admission.nativeEntry += " ";
  EXPECT_EQ(reasonOf([&] { checkAdmissionEntry(admission); }), "profile_native_target");
}

TEST(RecordAgreement, VersionDigestRootAndAdmissionMustAgree) {
  const CurrentRecord current{"1.0.0", "d1"};
  const AdmissionRecord admission{"C:\\Home", "a1", "d1", std::string(nuvra::kNativeEntryPath)};
  EXPECT_EQ(
      reasonOf([&] { checkRecordAgreement(handoff(), committed(), current, admission, true); }),
      "");
  EXPECT_EQ(
      reasonOf([&] { checkRecordAgreement(handoff(), committed(), current, admission, false); }),
      "profile_selection");
  EXPECT_EQ(reasonOf([&] {
              checkRecordAgreement(handoff(), committed(), {"1.0.1", "d1"}, admission, true);
            }),
            "profile_selection");
  EXPECT_EQ(reasonOf([&] {
              checkRecordAgreement(handoff(), committed(), {"1.0.0", "d2"}, admission, true);
            }),
            "profile_selection");
  for (int field = 0; field < 3; ++field) {
    AdmissionRecord changed = admission;
    (field == 0   ? changed.installationRoot
     : field == 1 ? changed.ownerSidHash
                  : changed.payloadDigest) += "x";
    EXPECT_EQ(
        reasonOf([&] { checkRecordAgreement(handoff(), committed(), current, changed, true); }),
        "profile_selection")
        << field;
  }
}

TEST(StartupResult, KeysInFixedOrderEveryValueAString) {
  std::string guards;
  appendGuardPath(guards, "C:\\Home\\a");
  appendGuardPath(guards, "C:\\Home\\\"b\"");
  const std::string text =
      startupResultText({"C:\\Home", "C:\\Home\\runtime\\1", "d1", "7", "123", guards});
  EXPECT_EQ(text, R"({"home":"C:\\Home","root":"C:\\Home\\runtime\\1","payload_digest":"d1",)"
                  R"("generation":"7","deadline_tick64":"123",)"
                  R"("guards":["C:\\Home\\a","C:\\Home\\\"b\""]})");
}

}  // namespace
