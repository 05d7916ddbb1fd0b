#include <gtest/gtest.h>

#include "../support/reason_of.h"
#include "shared/handoff.h"
#include "shared/home_records.h"

namespace nuvra::launcher {
namespace {

using Values = std::map<std::string, std::string, std::less<>>;

TEST(HandoffFields, DefaultEntryHandoffHasEveryKeyInOrderWithPlaceholders) {
  EXPECT_EQ(defaultHandoff(RuntimeRole::entry).text(),
            R"({"schema_version":"nuvra.profile-startup.v1","startup_ack":"{ack}","home":"{home}",)"
            R"("root":"{root}","deadline_tick64":"{deadline}","runtime_role":"entry",)"
            R"("owner_sid_hash":"{owner_sid_hash}","parent":"{parent}","parent_pid":{parent_pid},)"
            R"("parent_image":"{parent_image}","s":"{mutex}","generation":"{generation}",)"
            R"("payload_digest":"{payload_digest}","guards":{guards},"l":"{lifetime}",)"
            R"("r":"{work}"})");
}

TEST(HandoffFields, ResidentHandoffNamesItsRole) {
  const std::string text = defaultHandoff(RuntimeRole::resident).text();
  EXPECT_NE(text.find(R"("runtime_role":"resident")"), std::string::npos);
  EXPECT_EQ(text.find("job_kind"), std::string::npos);
}

TEST(HandoffFields, JobHandoffCarriesKindAndPurposeButNoRole) {
  const std::string text = defaultHandoff(RuntimeRole::job).text();
  EXPECT_EQ(
      text.rfind(R"({"schema_version":"nuvra.profile-startup-job.v1","job_kind":"setup",)", 0), 0u);
  EXPECT_NE(text.find(R"(,"account_purpose":"{purpose}"})"), std::string::npos);
  EXPECT_EQ(text.find("runtime_role"), std::string::npos);
}

TEST(HandoffFields, SetReplacesInPlaceAndAppendsNewKeys) {
  HandoffFields fields;
  fields.set("a", "1");
  fields.set("b", "2");
  fields.set("a", "\"x\"");
  fields.set("c", "null");
  EXPECT_EQ(fields.text(), R"({"a":"x","b":2,"c":null})");
}

TEST(HandoffFields, UnsetRemovesOnlyAPresentKey) {
  HandoffFields fields;
  fields.set("a", "1");
  fields.set("b", "2");
  EXPECT_TRUE(fields.unset("a"));
  EXPECT_FALSE(fields.unset("a"));
  EXPECT_FALSE(fields.has("a"));
  EXPECT_EQ(fields.text(), R"({"b":2})");
  EXPECT_TRUE(fields.unset("b"));
  EXPECT_EQ(fields.text(), "{}");
}

TEST(HandoffFields, KeysAreEscapedLikeValues) {
  HandoffFields fields;
  fields.set("q\"k", "1");
  EXPECT_EQ(fields.text(), R"({"q\"k":1})");
}

TEST(Placeholders, KnownNamesAreReplacedAndEverythingElseIsKept) {
  const Values values{{"mutex", "44"}, {"guard0.path", "C:\\\\h"}};
  EXPECT_EQ(expandPlaceholders(R"({"s":"{mutex}","p":"{guard0.path}","x":"{other}"})", values),
            R"({"s":"44","p":"C:\\h","x":"{other}"})");
}

TEST(Placeholders, NestedObjectsAndUnclosedBracesPassThrough) {
  const Values values{{"a", "1"}};
  EXPECT_EQ(expandPlaceholders(R"({"o":{"v":{a}}})", values), R"({"o":{"v":1}})");
  EXPECT_EQ(expandPlaceholders("{a} {", values), "1 {");
  EXPECT_EQ(expandPlaceholders("{{a}}", values), "{1}");
  EXPECT_EQ(expandPlaceholders("", values), "");
}

TEST(Placeholders, AReplacementIsNotExpandedAgain) {
  const Values values{{"a", "{b}"}, {"b", "2"}};
  EXPECT_EQ(expandPlaceholders("{a}{b}", values), "{b}2");
}

TEST(HandoffImage, HoldsTheLittleEndianLengthThenTheText) {
  const auto image = handoffImage("abc", 16, std::nullopt);
  ASSERT_EQ(image.size(), 16u);
  EXPECT_EQ(std::vector<unsigned char>(image.begin(), image.begin() + 8),
            (std::vector<unsigned char>{3, 0, 0, 0, 'a', 'b', 'c', 0}));
}

TEST(HandoffImage, ALyingLengthWordIsWrittenAsGiven) {
  const auto image = handoffImage("abc", 8, 262141u);
  EXPECT_EQ(std::vector<unsigned char>(image.begin(), image.begin() + 4),
            (std::vector<unsigned char>{0xfd, 0xff, 0x03, 0x00}));
}

TEST(HandoffImage, TextBeyondTheSizeIsCutOff) {
  const auto image = handoffImage("abcdef", 6, std::nullopt);
  EXPECT_EQ(image, (std::vector<unsigned char>{6, 0, 0, 0, 'a', 'b'}));
  EXPECT_EQ(handoffImage("abc", 2, std::nullopt), (std::vector<unsigned char>{3, 0}));
}

TEST(Assignment, SplitsAtTheFirstEqualsSign) {
  std::string key;
  std::string json;
  ASSERT_TRUE(splitAssignment("parent_pid=4", key, json));
  EXPECT_EQ(key, "parent_pid");
  EXPECT_EQ(json, "4");
  ASSERT_TRUE(splitAssignment("x=\"a=b\"", key, json));
  EXPECT_EQ(json, "\"a=b\"");
  ASSERT_TRUE(splitAssignment("x=", key, json));
  EXPECT_EQ(json, "");
  EXPECT_FALSE(splitAssignment("=1", key, json));
  EXPECT_FALSE(splitAssignment("novalue", key, json));
}

Installation sampleInstallation() {
  Installation installation;
  installation.home = "C:\\users\\me\\Nuvra \"home\"";
  installation.ownerSidHash = std::string(64, 'a');
  installation.version = "1.2.3";
  installation.generation = "7";
  installation.payloadDigest = std::string(64, 'b');
  installation.lifetimeIdentity = "0000abcd:0000000000000011";
  installation.workIdentity = "0000abcd:0000000000000012";
  return installation;
}

TEST(HomeRecords, CommittedServicingRecordHasTheReadKeysInOrder) {
  EXPECT_EQ(committedServicingRecord(sampleInstallation()),
            R"({"schema_version":"nuvra.runtime-servicing.v1","state":"COMMITTED",)"
            R"("installation_root":"C:\\users\\me\\Nuvra \"home\"","owner_sid_hash":")" +
                std::string(64, 'a') + R"(","digest":")" + std::string(64, 'b') +
                R"(","generation":"7","version":"1.2.3",)"
                R"("lifetime_identity":"0000abcd:0000000000000011",)"
                R"("work_identity":"0000abcd:0000000000000012"})"
                "\n");
}

TEST(HomeRecords, CurrentRuntimeRecordNamesVersionAndDigest) {
  EXPECT_EQ(currentRuntimeRecord(sampleInstallation()),
            R"({"schema_version":"nuvra.runtime-current.v1","version":"1.2.3","digest":")" +
                std::string(64, 'b') + "\"}\n");
}

TEST(HomeRecords, AdmissionRecordNamesTheNativeEntryAndItsFiles) {
  const std::string files =
      payloadFilesText({{"runtime/node/node.exe", "11"}, {std::string(kNativeEntryPath), "22"}});
  EXPECT_EQ(
      files,
      R"([{"path":"runtime/node/node.exe","sha256":"11"},)"
      R"({"path":"connector/vevadu-code/client/nuvra_windows_broker_native.exe","sha256":"22"}])");
  EXPECT_EQ(
      admissionRecord(sampleInstallation(), files),
      R"({"schema_version":"nuvra.runtime-admission.v1",)"
      R"("installation_root":"C:\\users\\me\\Nuvra \"home\"","owner_sid_hash":")" +
          std::string(64, 'a') + R"(","payload":{"version":"1.2.3","digest":")" +
          std::string(64, 'b') +
          R"(","entrypoints":{"native":"connector/vevadu-code/client/nuvra_windows_broker_native.exe",)"
          R"("runtime":"runtime/node/node.exe"},"files":)" +
          files + "}}\n");
  EXPECT_EQ(kNativeEntryPath.size(), 60u);
}

TEST(HomeRecords, DeviceAuthRecordCarriesTheThreeBindingValues) {
  EXPECT_EQ(deviceAuthRecord("s1", "d1", "c1"),
            R"({"schema_version":"nuvra.windows-device-auth.v1","session_id":"s1",)"
            R"("device_id":"d1","consumer_id":"c1"})"
            "\n");
}

TEST(HomeRecords, PayloadFilesTextOfNoFilesIsAnEmptyArray) {
  EXPECT_EQ(payloadFilesText({}), "[]");
}

TEST(HomeRecords, GenerationMustBeACanonicalPositiveDecimal) {
  EXPECT_TRUE(isDecimalText("1"));
  EXPECT_TRUE(isDecimalText("18446744073709551615"));
  EXPECT_FALSE(isDecimalText("18446744073709551616"));
  EXPECT_FALSE(isDecimalText("0"));
  EXPECT_FALSE(isDecimalText("01"));
  EXPECT_FALSE(isDecimalText(""));
  EXPECT_FALSE(isDecimalText("1a"));
  EXPECT_FALSE(isDecimalText("-1"));
}

TEST(HomeRecords, VersionMustBeOneSafePathComponent) {
  EXPECT_TRUE(isVersionText("1.0.0"));
  EXPECT_TRUE(isVersionText("2024_10-rc1"));
  EXPECT_FALSE(isVersionText(""));
  EXPECT_FALSE(isVersionText("."));
  EXPECT_FALSE(isVersionText(".."));
  EXPECT_FALSE(isVersionText("1.0."));
  EXPECT_FALSE(isVersionText("a\\b"));
  EXPECT_FALSE(isVersionText("a/b"));
  EXPECT_FALSE(isVersionText("a b"));
  EXPECT_FALSE(isVersionText(std::string(65, '1')));
}

}  // namespace
}  // namespace nuvra::launcher

TEST(HomeRecords, ARepairReturnsToTheCommittedRecordEveryRecoveryKept) {
  const std::string committed =
      R"({"schema_version":"nuvra.runtime-servicing.v1","state":"COMMITTED","version":"1"})"
      "\n";
  const auto recovery = [](const std::string& previous) {
    std::string quoted;
    for (char c : previous) {
      if (c == '"' || c == '\\') quoted.push_back('\\');
      quoted += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return R"({"schema_version":"nuvra.runtime-servicing.v1","state":"RECOVERY_REQUIRED",)"
           R"("previous_record_text":")" +
           quoted + "\"}\n";
  };
  std::string deep = committed;
  for (int i = 0; i <= nuvra::launcher::kMaxRecoveryDepth; ++i) deep = recovery(deep);
  struct Case {
    std::string text;
    std::string result;  // "" when refused
  };
  const Case cases[] = {
      {committed, committed},
      {recovery(committed), committed},
      {recovery(recovery(committed)), committed},
      {recovery("not json"), ""},
      {recovery(R"({"schema_version":"nuvra.runtime-servicing.v1","state":"PENDING"})"), ""},
      {recovery(R"({"schema_version":"nuvra.runtime-servicing.v0","state":"COMMITTED"})"), ""},
      {R"({"schema_version":"nuvra.runtime-servicing.v1","state":"RECOVERY_REQUIRED"})", ""},
      {R"({"schema_version":"nuvra.runtime-servicing.v1","state":"RECOVERY_REQUIRED",)"
       R"("previous_record_text":7})",
       ""},
      {deep, ""},
  };
  for (const Case& c : cases) {
    std::string result;
    const std::string reason =
        nuvra::testing::reasonOf([&] { result = nuvra::launcher::committedRecordText(c.text); });
    EXPECT_EQ(result, c.result) << c.text;
    EXPECT_EQ(reason, c.result.empty() ? "installer_repair_record" : "") << c.text;
  }
}
