#include "shared/stale_endpoint.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "common/flat_json.h"

namespace nuvra {
namespace {

const std::string kNonce = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

TEST(StaleEndpoint, NamesOnlyWhatPublicationWrites) {
  struct Case {
    std::string name;
    BrokerFileKind kind;
  };
  const Case cases[] = {
      {"endpoint.json", BrokerFileKind::record},
      {"ENDPOINT.Json", BrokerFileKind::record},
      {"endpoint." + kNonce + ".tmp", BrokerFileKind::temporary},
      {"Endpoint." + std::string(64, 'F') + ".TMP", BrokerFileKind::temporary},
      {"endpoint." + kNonce.substr(1) + ".tmp", BrokerFileKind::other},
      {"endpoint." + kNonce + "0.tmp", BrokerFileKind::other},
      {"endpoint." + std::string(63, 'a') + "g.tmp", BrokerFileKind::other},
      {"endpoint." + kNonce + ".tmx", BrokerFileKind::other},
      {"endpointx" + kNonce + ".tmp", BrokerFileKind::other},
      {"endpoint.json.bak", BrokerFileKind::other},
      {"endpoint.jso", BrokerFileKind::other},
      {"endpoint", BrokerFileKind::other},
      {"", BrokerFileKind::other},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(classifyBrokerFile(c.name), c.kind) << c.name;
  }
}

TEST(StaleEndpoint, ProvesAProcessGoneOnlyByItsIdAndCreationTime) {
  using Open = ProcessLook::Open;
  struct Case {
    Open open;
    bool exited;
    const char* creation;
    const char* recorded;
    ProcessFate fate;
  };
  const Case cases[] = {
      {Open::noSuchProcess, false, "", "133", ProcessFate::gone},
      {Open::refused, false, "", "133", ProcessFate::unknown},
      {Open::refused, true, "133", "133", ProcessFate::unknown},
      {Open::opened, true, "133", "133", ProcessFate::gone},
      {Open::opened, false, "", "133", ProcessFate::unknown},
      {Open::opened, false, "134", "133", ProcessFate::gone},
      {Open::opened, false, "13", "133", ProcessFate::gone},
      {Open::opened, false, "133", "133", ProcessFate::live},
  };
  for (const Case& c : cases) {
    const ProcessLook look{c.open, c.exited, c.creation};
    EXPECT_EQ(processFate(look, c.recorded), c.fate)
        << static_cast<int>(c.open) << " " << c.exited << " " << c.creation;
  }
}

TEST(StaleEndpoint, CallsARecordStaleOnlyWhenItsReadingReachedAProcessThatIsGone) {
  using F = ProcessFate;
  struct Case {
    bool reached;
    F broker;
    F runtime;
    RecordStaleness staleness;
  };
  const Case cases[] = {
      {false, F::gone, F::gone, RecordStaleness::unproven},
      {false, F::unknown, F::unknown, RecordStaleness::unproven},
      {true, F::gone, F::unknown, RecordStaleness::brokerGone},
      {true, F::gone, F::live, RecordStaleness::brokerGone},
      {true, F::live, F::gone, RecordStaleness::runtimeGone},
      {true, F::unknown, F::gone, RecordStaleness::runtimeGone},
      {true, F::live, F::live, RecordStaleness::live},
      {true, F::live, F::unknown, RecordStaleness::live},
      {true, F::unknown, F::unknown, RecordStaleness::live},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(recordStaleness(c.reached, c.broker, c.runtime), c.staleness)
        << c.reached << " " << static_cast<int>(c.broker) << " " << static_cast<int>(c.runtime);
  }
}

TEST(StaleEndpoint, CallsATemporaryFileStaleOnlyPastTheCeilingAndItsMargin) {
  // FILETIME ticks of 100 ns; the bound is 3,000 ms of ceiling and 2,000 ms
  // of margin.
  constexpr std::uint64_t kWritten = 133'000'000'000'000'000;
  constexpr std::uint64_t kMs = 10'000;
  struct Case {
    std::uint64_t now;
    bool stale;
    std::uint64_t ageMs;
  };
  const Case cases[] = {
      {kWritten, false, 0},
      {kWritten + 3'000 * kMs, false, 3'000},
      {kWritten + 5'000 * kMs, false, 5'000},
      {kWritten + 5'000 * kMs + 1, true, 5'000},
      {kWritten + 5'001 * kMs, true, 5'001},
      {kWritten + 86'400'000 * kMs, true, 86'400'000},
      {kWritten - 1, false, 0},
      {0, false, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(temporaryEndpointStale(c.now, kWritten), c.stale) << c.now - kWritten;
    EXPECT_EQ(fileAgeMs(c.now, kWritten), c.ageMs) << c.now - kWritten;
  }
}

TEST(StaleEndpoint, NamesTheRemovedFileAndWhyInAResidentStartupLine) {
  const char* kHead =
      R"({"schema_version":"nuvra.resident-startup-diagnostic.v1","scope":"resident_startup",)"
      R"("stage":"stale_endpoint_removed",)";
  struct Case {
    std::string line;
    std::string expected;
  };
  const Case cases[] = {
      {staleRecordRemovedLine("state\\broker\\endpoint.json", RecordStaleness::brokerGone, 4242),
       std::string(kHead) +
           R"("file":"state\\broker\\endpoint.json","stale":"broker_exited","pid":4242})" + "\n"},
      {staleRecordRemovedLine("state\\broker\\endpoint.json", RecordStaleness::runtimeGone, 8),
       std::string(kHead) +
           R"("file":"state\\broker\\endpoint.json","stale":"runtime_exited","pid":8})" + "\n"},
      {staleTemporaryRemovedLine("state\\broker\\endpoint.x.tmp", 6001),
       std::string(kHead) +
           R"("file":"state\\broker\\endpoint.x.tmp","stale":"temporary_expired","age_ms":6001})" +
           "\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.line, c.expected);
    EXPECT_NO_THROW(readJsonObject(c.line.substr(0, c.line.size() - 1))) << c.line;
  }
}

}  // namespace
}  // namespace nuvra
