#include "shared/host_endpoint.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../support/reason_of.h"
#include "common/flat_json.h"

namespace nuvra {
namespace {

using nuvra::testing::reasonOf;

const std::string kImage(64, 'e');

std::string residency(const std::string& observation) {
  return R"({"type":"residency","observation":)" + observation + "}";
}

TEST(HostEndpoint, ReadsTheResidencyMessageOfItsOwnRuntime) {
  const std::string good =
      R"({"broker_scope":"machine","pid":4242,"process_creation_filetime":"1331",)"
      R"("image_path_sha256":")" +
      kImage + R"(","purpose":"residency","home":"C:\\h"})";
  struct Case {
    std::string line;
    const char* reason;
  };
  const Case cases[] = {
      {residency(good), ""},
      {residency(R"({"pid":4242,"process_creation_filetime":"1","image_path_sha256":")" + kImage +
                 R"(","broker_scope":"harness_session"})"),
       ""},
      {R"({"type":"endpoint","observation":{}})", "host_residency_invalid"},
      {R"({"type":"residency","observation":"x"})", "host_residency_invalid"},
      {residency(R"({"broker_scope":"Machine","pid":4242,"process_creation_filetime":"1",)"
                 R"("image_path_sha256":")" +
                 kImage + "\"}"),
       "host_residency_invalid"},
      {residency(R"({"broker_scope":"machine","pid":4243,"process_creation_filetime":"1",)"
                 R"("image_path_sha256":")" +
                 kImage + "\"}"),
       "host_residency_invalid"},
      {residency(R"({"broker_scope":"machine","pid":"4242","process_creation_filetime":"1",)"
                 R"("image_path_sha256":")" +
                 kImage + "\"}"),
       "host_residency_invalid"},
      {residency(R"({"broker_scope":"machine","pid":4242,"process_creation_filetime":"01",)"
                 R"("image_path_sha256":")" +
                 kImage + "\"}"),
       "host_residency_invalid"},
      {residency(R"({"broker_scope":"machine","pid":4242,"process_creation_filetime":"1",)"
                 R"("image_path_sha256":")" +
                 std::string(64, 'E') + "\"}"),
       "host_residency_invalid"},
      {residency(R"({"broker_scope":"machine","pid":4242,"image_path_sha256":")" + kImage + "\"}"),
       "host_residency_invalid"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(reasonOf([&] { readResidencyMessage(readFlatObject(c.line), 4242); }), c.reason)
        << c.line;
  }
  const ResidencyFacts facts = readResidencyMessage(readFlatObject(residency(good)), 4242);
  EXPECT_EQ(facts.brokerScope, "machine");
  EXPECT_EQ(facts.pid, 4242u);
  EXPECT_EQ(facts.creationFiletime, "1331");
  EXPECT_EQ(facts.imagePathSha256, kImage);
}

TEST(HostEndpoint, ReadsTheDeviceBindingAsClientsReadIt) {
  struct Case {
    std::string text;
    const char* reason;
  };
  const Case cases[] = {
      {R"({"schema_version":"v","session_id":"s","device_id":"d","consumer_id":"c"})"
       "\n",
       ""},
      {R"({"consumer_id":"c","device_id":"d","session_id":"s"})", ""},
      // Written by another program: laid out as it likes, read as a JSON
      // parser reads it.
      {"{\r\n  \"session_id\": \"s\",\r\n  \"device_id\": \"d\",\r\n"
       "  \"consumer_id\": \"c\"\r\n}\r\n",
       ""},
      {" \t{\"session_id\":\"s\" , \"device_id\":\"d\",\"consumer_id\":\"c\",\"extra\":[1,{}]}\n\n",
       ""},
      {R"({"session_id":"s","device_id":"d"})", "host_device_binding"},
      {R"({"session_id":"s","device_id":"d","consumer_id":7})", "host_device_binding"},
      {R"({"session_id":"s","device_id":"d","consumer_id":"c"} x)", "host_device_binding"},
      {R"([{"session_id":"s","device_id":"d","consumer_id":"c"}])", "host_device_binding"},
      {"", "host_device_binding"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(reasonOf([&] { readDeviceBindingText(c.text); }), c.reason) << c.text;
  }
  for (const Case& c : cases) {
    if (*c.reason != '\0') continue;
    const DeviceBinding binding = readDeviceBindingText(c.text);
    EXPECT_EQ(binding.sessionId, "s") << c.text;
    EXPECT_EQ(binding.deviceId, "d") << c.text;
    EXPECT_EQ(binding.consumerId, "c") << c.text;
  }
}

TEST(HostEndpoint, WritesFiletimesAsTheRecordsTimeStamps) {
  struct Case {
    std::uint64_t filetime;
    const char* text;
  };
  const Case cases[] = {
      {0, "1601-01-01T00:00:00.000Z"},
      {116444736000000000ull, "1970-01-01T00:00:00.000Z"},
      {133800000009999999ull, "2024-12-30T02:40:00.999Z"},
      {125963012967890000ull, "2000-02-29T12:34:56.789Z"},
      {2650467743999999999ull, "9999-12-31T23:59:59.999Z"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(endpointTimestamp(c.filetime), c.text) << c.filetime;
    EXPECT_TRUE(isEndpointTimestamp(endpointTimestamp(c.filetime)));
  }
  EXPECT_EQ(reasonOf([] { endpointTimestamp(2650467744000000000ull); }), "host_clock");
}

std::vector<std::string> hashed;
std::string recordingSha(std::string_view text) {
  hashed.emplace_back(text);
  return hashed.size() == 1 ? std::string(64, '1') : "b" + std::string(63, '2');
}

HostEndpointInput input() {
  HostEndpointInput in;
  in.self = {100, 1330, kImage, "aih", 1, "osh", "hk"};
  in.residency = {"harness_session", 200, "1331", std::string(64, 'f')};
  in.device = {"s", "d", "c"};
  in.brokerInstance = std::string(32, '3');
  in.startedAt = 116444736000000000ull;
  in.publishedAt = 116444736000010000ull;
  return in;
}

TEST(HostEndpoint, ComposesTheRecordEveryClientRecomputes) {
  hashed.clear();
  const std::string record = composeHostEndpoint(input(), recordingSha);
  ASSERT_EQ(hashed.size(), 2u);
  EXPECT_EQ(hashed[0],
            R"({"canonical_home_sha256":"hk","consumer_id":"c","device_id":"d",)"
            R"("owner_sid_hash":"osh","schema_version":"nuvra.windows-memory-broker.v1",)"
            R"("session_id":"s"})");
  EXPECT_EQ(hashed[1], R"({"authentication_id_hash":"aih","installation_binding":")" +
                           std::string(64, '1') +
                           R"(","schema_version":"nuvra.windows-memory-broker.v1",)"
                           R"("windows_session_id":1})");
  const std::string binding = "b" + std::string(63, '2');
  EXPECT_EQ(record,
            R"({"schema_version":"nuvra.windows-memory-broker-endpoint.v1",)"
            R"("protocol_version":"nuvra.windows-memory-broker.v1","broker_binding":")" +
                binding + R"(","broker_instance":")" + std::string(32, '3') +
                R"(","owner_sid_hash":"osh","pipe_name":"\\\\.\\pipe\\nuvra-memory-v1-)" +
                binding.substr(0, 48) +
                R"(","started_at":"1970-01-01T00:00:00.000Z",)"
                R"("published_at":"1970-01-01T00:00:00.001Z","broker_scope":"harness_session",)"
                R"("pid":100,"process_creation_filetime":"1330","image_path_sha256":")" +
                kImage +
                R"(","authentication_id_hash":"aih","windows_session_id":1,)"
                R"("installation_root_sha256":"hk","parent_pid":200,)"
                R"("parent_process_creation_filetime":"1331","parent_image_path_sha256":")" +
                std::string(64, 'f') + "\"}");
}

TEST(HostEndpoint, RefusesAPublicationTimeBeforeItsStart) {
  HostEndpointInput early = input();
  early.publishedAt = early.startedAt - 1;
  EXPECT_EQ(reasonOf([&] { composeHostEndpoint(early, recordingSha); }), "host_clock");
}

TEST(HostEndpoint, HandsTheRecordOverAsOneLinkLine) {
  EXPECT_EQ(endpointMessage(R"({"a":"\\"})"),
            "{\"type\":\"endpoint\",\"record\":\"{\\\"a\\\":\\\"\\\\\\\\\\\"}\"}\n");
  const FlatObject message = readFlatObject(R"({"type":"residency","x":1})");
  EXPECT_EQ(linkMessageType(message), "residency");
  EXPECT_EQ(linkMessageType(readFlatObject(R"({"type":1})")), std::nullopt);
}

}  // namespace
}  // namespace nuvra
