#include "resident/endpoint_record.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "../support/reason_of.h"
#include "common/reason.h"

namespace nuvra {
namespace {

using nuvra::testing::reasonOf;

const std::string kBinding = std::string(16, '0') + std::string(32, 'b') + std::string(16, 'c');
const std::string kPipe =
    "\\\\.\\pipe\\nuvra-memory-v1-" + std::string(16, '0') + std::string(32, 'b');
const std::string kHostImage(64, 'e');
const std::string kOwnImage(64, 'f');

EndpointEntry text(std::string key, std::string value) {
  return {std::move(key), EndpointKind::string, std::move(value), 0};
}
EndpointEntry number(std::string key, double value) {
  return {std::move(key), EndpointKind::number, {}, value};
}

// A record that describes host 100 and runtime 200 in session 1, in another
// key order than the table's.
EndpointEntries goodEntries() {
  return {
      number("parent_pid", 200),
      text("schema_version", "nuvra.windows-memory-broker-endpoint.v1"),
      text("protocol_version", "nuvra.windows-memory-broker.v1"),
      text("broker_binding", kBinding),
      text("broker_instance", std::string(32, '1')),
      text("owner_sid_hash", "osh"),
      text("pipe_name", kPipe),
      text("started_at", "2026-03-04T05:06:07.890Z"),
      text("published_at", "2026-03-04T05:06:07.891Z"),
      text("broker_scope", "machine"),
      number("pid", 100),
      text("process_creation_filetime", "1330"),
      text("image_path_sha256", kHostImage),
      text("authentication_id_hash", "aih"),
      number("windows_session_id", 1),
      text("installation_root_sha256", "hk"),
      text("parent_process_creation_filetime", "1331"),
      text("parent_image_path_sha256", kOwnImage),
  };
}

EndpointEntries with(const std::string& key, const EndpointEntry& replacement) {
  EndpointEntries entries = goodEntries();
  for (EndpointEntry& entry : entries) {
    if (entry.key == key) entry = replacement;
  }
  return entries;
}

EndpointEntries without(const std::string& key) {
  EndpointEntries entries = goodEntries();
  std::erase_if(entries, [&](const EndpointEntry& entry) { return entry.key == key; });
  return entries;
}

class FakePublisher : public PublisherProbe {
 public:
  bool inJob = false;
  bool hostRuns = true;
  bool sameIdentity = true;
  void checkResidentAvailable() override {}
  bool processInJob() override { return inJob; }
  void requireHostRunning() override {
    if (!hostRuns) fail("broker_native_exited");
  }
  std::uint32_t hostPid() override { return 100; }
  std::uint32_t ownPid() override { return 200; }
  std::string hostCreationText() override { return "1330"; }
  std::string ownCreationText() override { return "1331"; }
  std::string ownImageHash() override { return kOwnImage; }
  void requireSameInteractiveIdentity() override {
    if (!sameIdentity) fail("broker_native_peer_refused");
  }
  PublisherBinding binding() override { return {1, "osh", "aih", kHostImage, "hk"}; }
};

std::string publish(const EndpointEntries& entries, FakePublisher probe = FakePublisher()) {
  return reasonOf([&] { validateEndpointForPublication(entries, probe); });
}

TEST(EndpointPublisher, AcceptsTheLiveRecordInAnyKeyOrder) {
  EXPECT_EQ(publish(goodEntries()), "");
  FakePublisher inJob;
  inJob.inJob = true;
  EXPECT_EQ(publish(with("broker_scope", text("broker_scope", "harness_session")), inJob), "");
}

TEST(EndpointPublisher, RefusesEachRuleWithItsReason) {
  struct Case {
    EndpointEntries entries;
    const char* reason;
  };
  EndpointEntries nineteen = goodEntries();
  nineteen.push_back(text("extra", "x"));
  EndpointEntries twice = without("parent_pid");
  twice.push_back(number("pid", 100));
  const Case cases[] = {
      {nineteen, "broker_endpoint_invalid"},
      {without("parent_pid"), "broker_endpoint_invalid"},
      {twice, "broker_endpoint_invalid"},
      {with("started_at", text("started_at", "2026-03-04 05:06:07.890Z")),
       "broker_endpoint_invalid"},
      {with("published_at", text("published_at", "2026-03-04T05:06:07.89Z")),
       "broker_endpoint_invalid"},
      {with("published_at", number("published_at", 5)), "broker_endpoint_invalid"},
      {with("broker_scope", text("broker_scope", "harness_session")), "broker_endpoint_invalid"},
      {with("schema_version", text("schema_version", "nuvra.windows-memory-broker-endpoint.v2")),
       "broker_endpoint_invalid"},
      {with("protocol_version", text("protocol_version", "nuvra.windows-memory-broker.v2")),
       "broker_endpoint_invalid"},
      {with("pid", text("pid", "100")), "profile_native_api"},
      {with("pid", number("pid", 100.5)), "broker_endpoint_invalid"},
      {with("pid", number("pid", 4294967396.0)), "broker_endpoint_invalid"},
      {with("windows_session_id", number("windows_session_id", -1)), "broker_endpoint_invalid"},
      {with("parent_pid", number("parent_pid", std::numeric_limits<double>::infinity())),
       "broker_endpoint_invalid"},
      {with("pid", number("pid", 101)), "broker_native_peer_refused"},
      {with("parent_pid", number("parent_pid", 100)), "broker_native_peer_refused"},
      {with("process_creation_filetime", text("process_creation_filetime", "1331")),
       "broker_native_peer_refused"},
      {with("parent_process_creation_filetime", number("parent_process_creation_filetime", 1331)),
       "broker_native_peer_refused"},
      {with("parent_image_path_sha256", text("parent_image_path_sha256", kHostImage)),
       "broker_native_peer_refused"},
      {with("windows_session_id", number("windows_session_id", 2)), "broker_native_peer_refused"},
      {with("owner_sid_hash", text("owner_sid_hash", "OSH")), "broker_native_peer_refused"},
      {with("authentication_id_hash", text("authentication_id_hash", "x")),
       "broker_native_peer_refused"},
      {with("image_path_sha256", text("image_path_sha256", kOwnImage)),
       "broker_native_peer_refused"},
      {with("installation_root_sha256", text("installation_root_sha256", "hk2")),
       "broker_native_peer_refused"},
      {with("broker_binding", text("broker_binding", std::string(64, 'B'))),
       "broker_endpoint_invalid"},
      {with("broker_binding", text("broker_binding", std::string(63, 'b'))),
       "broker_endpoint_invalid"},
      {with("broker_instance", text("broker_instance", std::string(33, '1'))),
       "broker_endpoint_invalid"},
      {with("pipe_name", text("pipe_name", kPipe + "c")), "broker_endpoint_invalid"},
  };
  for (const Case& c : cases) EXPECT_EQ(publish(c.entries), c.reason);
  FakePublisher exited;
  exited.hostRuns = false;
  EXPECT_EQ(publish(goodEntries(), exited), "broker_native_exited");
  FakePublisher stranger;
  stranger.sameIdentity = false;
  EXPECT_EQ(publish(goodEntries(), stranger), "broker_native_peer_refused");
}

// A record published before it started is refused by every client; written,
// nothing would delete it and it would block every later publication.
TEST(EndpointPublisher, RefusesARecordPublishedBeforeItStarted) {
  EXPECT_EQ(publish(with("published_at", text("published_at", "2026-03-04T05:06:07.889Z"))),
            "broker_endpoint_invalid");
  EXPECT_EQ(publish(with("published_at", text("published_at", "2026-03-04T05:06:07.890Z"))), "");
}

// The client computes the binding through this fake hash: the text itself,
// so the expected binding is known, 64 lowercase hex long only when the
// binding texts are what the rules say.
class FakeClient : public ClientProbe {
 public:
  std::string brokerImage = kHostImage;
  bool peersLive = true;
  std::string expectedBrokerText;
  ClientIdentity identity() override { return {"osh", "hk", "aih", 1}; }
  DeviceBinding deviceBinding() override { return {"sess", "dev", "cons"}; }
  std::string sha256Hex(std::string_view input) override {
    if (input == R"({"canonical_home_sha256":"hk","consumer_id":"cons","device_id":"dev",)"
                 R"("owner_sid_hash":"osh","schema_version":"nuvra.windows-memory-broker.v1",)"
                 R"("session_id":"sess"})") {
      return "inst";
    }
    if (input == R"({"authentication_id_hash":"aih","installation_binding":"inst",)"
                 R"("schema_version":"nuvra.windows-memory-broker.v1","windows_session_id":1})") {
      return kBinding;
    }
    return std::string(64, '9');
  }
  std::string brokerImageHash() override { return brokerImage; }
  bool verifyPeer(std::uint32_t pid, std::string_view creation, std::string_view image) override {
    return peersLive && ((pid == 100 && creation == "1330" && image == kHostImage) ||
                         (pid == 200 && creation == "1331" && image == kOwnImage));
  }
};

std::string client(const EndpointEntries& entries, FakeClient probe = FakeClient()) {
  bool verdict = false;
  const std::string reason = reasonOf([&] { verdict = readEndpointVerdict(entries, probe); });
  return reason.empty() ? (verdict ? "true" : "false") : reason;
}

TEST(EndpointClient, AnswersTrueOnlyWhenEveryCheckHolds) {
  EXPECT_EQ(client(goodEntries()), "true");
  EXPECT_EQ(client(with("broker_scope", text("broker_scope", "harness_session"))), "true");
  struct Case {
    EndpointEntries entries;
    const char* answer;
  };
  EndpointEntries nineteen = goodEntries();
  nineteen.push_back(text("extra", "x"));
  const Case cases[] = {
      {nineteen, "false"},
      {without("parent_pid"), "false"},
      {with("broker_scope", text("broker_scope", "Machine")), "false"},
      {with("published_at", text("published_at", "2026-03-04T05:06:07.889Z")), "false"},
      {with("published_at", text("published_at", "2026-03-04T05:06:07.890Z")), "true"},
      {with("owner_sid_hash", text("owner_sid_hash", "x")), "false"},
      {with("installation_root_sha256", text("installation_root_sha256", "x")), "false"},
      {with("authentication_id_hash", text("authentication_id_hash", "x")), "false"},
      {with("windows_session_id", number("windows_session_id", 2)), "false"},
      {with("windows_session_id", number("windows_session_id", 1.5)), "false"},
      {with("broker_binding", text("broker_binding", std::string(64, '9'))), "false"},
      {with("broker_binding", text("broker_binding", kBinding.substr(0, 63) + "C")), "false"},
      {with("pipe_name", text("pipe_name", kPipe.substr(1))), "false"},
      {with("broker_instance", text("broker_instance", std::string(32, 'G'))), "false"},
      {with("parent_image_path_sha256", text("parent_image_path_sha256", "f")), "false"},
      {with("pid", number("pid", 4242.5)), "false"},
      {with("pid", text("pid", "100")), "false"},
      {with("pid", number("pid", 0)), "false"},
      {with("parent_pid", number("parent_pid", 100)), "false"},
      {with("parent_process_creation_filetime", text("parent_process_creation_filetime", "1332")),
       "false"},
      {with("process_creation_filetime", number("process_creation_filetime", 1330)), "false"},
  };
  for (const Case& c : cases) EXPECT_EQ(client(c.entries), c.answer);
  FakeClient dead;
  dead.peersLive = false;
  EXPECT_EQ(client(goodEntries(), dead), "false");
}

TEST(EndpointClient, ABrokerImageOfAnotherRuntimeIsAnErrorNotFalse) {
  FakeClient other;
  other.brokerImage = std::string(64, 'd');
  EXPECT_EQ(client(goodEntries(), other), "broker_runtime_incompatible");
  EXPECT_EQ(client(with("pid", number("pid", 0)), other), "broker_runtime_incompatible");
  EXPECT_EQ(client(with("broker_instance", text("broker_instance", "x")), other), "false");
}

EndpointFields goodFields() {
  EndpointFields fields;
  fields.brokerBinding = kBinding;
  fields.brokerInstance = std::string(32, '1');
  fields.ownerSidHash = "osh";
  fields.startedAt = "2026-03-04T05:06:07.890Z";
  fields.publishedAt = "2026-03-04T05:06:07.891Z";
  fields.brokerScope = "machine";
  fields.pid = 100;
  fields.processCreationFiletime = "1330";
  fields.imagePathSha256 = kHostImage;
  fields.authenticationIdHash = "aih";
  fields.windowsSessionId = 1;
  fields.installationRootSha256 = "hk";
  fields.parentPid = 200;
  fields.parentProcessCreationFiletime = "1331";
  fields.parentImagePathSha256 = kOwnImage;
  return fields;
}

TEST(EndpointBuilder, WritesTheTableOrderAndPassesBothReaders) {
  const std::string record = buildEndpointRecord(goodFields());
  EXPECT_TRUE(record.starts_with(R"({"schema_version":"nuvra.windows-memory-broker-endpoint.v1",)"
                                 R"("protocol_version":"nuvra.windows-memory-broker.v1",)"
                                 R"("broker_binding":)"))
      << record;
  EXPECT_NE(record.find(R"("pipe_name":"\\\\.\\pipe\\nuvra-memory-v1-0000)"), std::string::npos);
  EXPECT_NE(record.find(R"("pid":100,)"), std::string::npos);
  const EndpointEntries entries = endpointEntries(readFlatObject(record));
  EXPECT_EQ(entries[0].key, "schema_version");
  EXPECT_EQ(entries[17].key, "parent_image_path_sha256");
  EXPECT_EQ(publish(entries), "");
  EXPECT_EQ(client(entries), "true");
}

TEST(EndpointBuilder, RefusesNumbersThatAreNotUnsigned32BitIntegers) {
  const double bad[] = {-1.0, 0.5, 4294967296.0, std::nan(""),
                        std::numeric_limits<double>::infinity()};
  for (double value : bad) {
    EndpointFields fields = goodFields();
    fields.windowsSessionId = value;
    EXPECT_EQ(reasonOf([&] { buildEndpointRecord(fields); }), "broker_endpoint_invalid") << value;
  }
  EndpointFields largest = goodFields();
  largest.pid = 4294967295.0;
  EXPECT_NE(buildEndpointRecord(largest).find(R"("pid":4294967295,)"), std::string::npos);
}

TEST(EndpointBuilder, RefusesARecordOverTheLimit) {
  EndpointFields fields = goodFields();
  const std::size_t base = buildEndpointRecord(fields).size();
  fields.brokerInstance += std::string(8191 - base, 'x');
  EXPECT_EQ(buildEndpointRecord(fields).size(), 8191u);
  fields.brokerInstance += "x";
  EXPECT_EQ(reasonOf([&] { buildEndpointRecord(fields); }), "broker_endpoint_invalid");
}

}  // namespace
}  // namespace nuvra
