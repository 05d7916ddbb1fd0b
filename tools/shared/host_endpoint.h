// How the resident host composes its endpoint record: what it observed of
// itself, what the runtime's residency message says of the runtime, and the
// device binding file of the home, put into the record the runtime then
// publishes. Called by the host role of the broker executable
// (tools/broker/host_role_win.cc), which supplies the live facts; the addon
// itself never derives a record.
//
// The link between the runtime and its host is single-line JSON objects with
// a "type" member, one per line, on the host's standard streams:
//   runtime -> host  {"type":"residency","observation":{...}}
//   host -> runtime  {"type":"endpoint","record":"<the record text>"}
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/flat_json.h"
#include "resident/endpoint_record.h"

namespace nuvra {

// What the host reads off its own process and its resident-host record.
struct HostSelf {
  std::uint32_t pid = 0;
  std::uint64_t creationFiletime = 0;
  std::string imagePathSha256;
  std::string authenticationIdHash;
  std::uint32_t sessionId = 0;
  std::string ownerSidHash;  // the record's, the startup owner SID hash
  std::string homeKey;
};

// What observeResident told the runtime about itself.
struct ResidencyFacts {
  std::string brokerScope;
  std::uint32_t pid = 0;
  std::string creationFiletime;
  std::string imagePathSha256;
};

// The "type" of one link line, or nothing when the line is no link message
// (not a flat JSON object, or no string "type").
std::optional<std::string> linkMessageType(const FlatObject& message);

// {"type":"residency","observation":{...}}: the observation's four keys of
// the residency text must be there with their types ("broker_scope"
// "machine" or "harness_session", "pid" a number equal to `parentPid`,
// "process_creation_filetime" a canonical decimal, "image_path_sha256" 64
// lowercase hex digits); the members the completion adds ("purpose",
// "home", ...) are ignored. Anything else is "host_residency_invalid".
ResidencyFacts readResidencyMessage(const FlatObject& message, std::uint32_t parentPid);

// The three strings of "\windows-device-auth.json", read as every client
// reads the file (its writer is not this product, so whitespace, CRLF and
// pretty printing are as good as one line); other members are ignored.
// Anything else is "host_device_binding". `check` reads the file with this
// too, so it reports exactly what the host would refuse.
//   {"schema_version":"…","session_id":"s","device_id":"d","consumer_id":"c"}\n
//   {\r\n  "session_id": "s",\r\n  "device_id": "d",\r\n  "consumer_id": "c"\r\n}\r\n
DeviceBinding readDeviceBindingText(std::string_view text);

// A FILETIME (100 ns since 1601-01-01 UTC) as the record's time stamp:
//   0                     1601-01-01T00:00:00.000Z
//   116444736000000000    1970-01-01T00:00:00.000Z
//   133800000009999999    2025-01-01T... (milliseconds truncated, never rounded up)
// Years past 9999 cannot be written in four digits: "host_clock".
std::string endpointTimestamp(std::uint64_t filetime);

using Sha256Hex = std::string (*)(std::string_view text);

struct HostEndpointInput {
  HostSelf self;
  ResidencyFacts residency;
  DeviceBinding device;
  std::string brokerInstance;     // 32 lowercase hex digits
  std::uint64_t startedAt = 0;    // FILETIME: the host's own creation
  std::uint64_t publishedAt = 0;  // FILETIME: now; not before startedAt
};

// The record: the installation binding and the broker binding computed as
// every client recomputes them, the host's own facts and the runtime's.
// A published time before the start is "host_clock".
std::string composeHostEndpoint(const HostEndpointInput& input, Sha256Hex sha256Hex);

// {"type":"endpoint","record":…} and a line feed.
std::string endpointMessage(std::string_view record);

}  // namespace nuvra
