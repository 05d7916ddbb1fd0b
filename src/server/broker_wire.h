// The broker's end of the pipe protocol and of the link between the resident
// host and its runtime, as pure text rules. The host's pipe service and the
// testbed's exchange peer both build their frames with these.
//
// The link (the host's standard streams) carries single-line JSON objects,
// each ended by one line feed, members in this order:
//   host -> runtime
//     {"type":"request","id":N,"version":1|2,"request_line":TEXT,"body":BASE64}
//     (request_line is "" for version 1)
//   runtime -> host
//     {"type":"response","id":N,"body":BASE64}                 version 1
//     {"type":"phase","id":N,"server_work":W,"phase":P,"account":A,"memory":M,
//      "effect":E}                                              a non-final frame
//     {"type":"final","id":N,"server_work":W,"phase":P,"reason":R,"account":A,
//      "memory":M,"effect":E,"body":BASE64}                     the final frame
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/flat_json.h"

namespace nuvra {

// A response or phase frame is 2..this many bytes; a request 1..this many.
constexpr std::uint32_t kBrokerFrameLimit = 1048576;
// Longer preambles are not read to their end.
constexpr std::size_t kPreambleLimit = 2048;

// The 4-byte little-endian length in front of every frame, and back.
std::string frameLength(std::uint32_t length);
std::uint32_t frameLengthOf(std::string_view fourBytes) noexcept;

// Only the prefix decides the version; the broker answers with its own digest
// and instance, and a client that named others refuses that answer.
//   "NUVRA_NATIVE_PUBLIC_V1\t..."  1
//   "NUVRA_NATIVE_PUBLIC_V2\t..."  2
//   anything else                  0
int preambleVersion(std::string_view line) noexcept;
// "NUVRA_NATIVE_ACK_V<version>\t" digest TAB instance LF
std::string acknowledgementLine(int version, std::string_view digest, std::string_view instance);

// A version 2 request frame: "NUVRA_REQUEST_V2\t" request line LF body.
// Nothing when the header or its line feed is missing.
struct VersionTwoRequest {
  std::string_view requestLine;
  std::string_view body;
};
std::optional<VersionTwoRequest> splitVersionTwoRequest(std::string_view frame) noexcept;

// A request frame as a client's exchange builds it, split for the link; the
// host refuses any other before it reaches the runtime, so a hostile peer
// cannot make the link carry what no client sends (a request line of
// control bytes, each escaped to six characters, or of any length).
//   version 1  the caller's request: 2..kBrokerFrameLimit bytes
//   version 2  "NUVRA_REQUEST_V2\t" + a client's request line
//              (isClientRequestLine) + LF + the caller's request, at least
//              2 bytes, all of it at most kBrokerFrameLimit
std::optional<VersionTwoRequest> readClientRequest(int version, std::string_view frame);

// The client's deadline tick, the request line's seventh field; nothing when
// the line has no such field.
std::optional<std::uint64_t> requestLineDeadline(std::string_view requestLine);

struct PhaseFrameFields {
  std::string serverWork;  // decimal, or "-" for "refused_arrival"
  std::uint32_t sequence = 0;
  std::string phase;
  std::string reason;  // "none" when there is no failure
  std::uint32_t account = 0;
  std::uint32_t memory = 0;
  std::string effect;  // "none", "possible" or "validated"
  bool final = false;
};
// The 16-field header echoing the request line, a line feed, then the body.
std::string phaseFrame(std::string_view requestLine, const PhaseFrameFields& fields,
                       std::string_view body);

// The body every final frame with a failure reason carries, from the
// request line's instance (field 6), operation (5) and request id (2):
//   {"broker_instance":I,"error_code":R,"failure_reason":R,"ok":false,
//    "operation":O,"request_id":Q,"schema_version":"nuvra.windows-memory-broker.v1"}
// A line without seven fields gives empty strings for them.
std::string brokerFailureBody(std::string_view requestLine, std::string_view reason);

// A terminal frame carries a terminal reason; the server's own failures that
// are not one ("credential_missing", "broker_failed", ...) become
// "internal_error".
std::string_view terminalFrameReason(std::string_view reason) noexcept;

// Standard base64 with padding; decoding refuses anything else.
std::string base64Encode(std::string_view bytes);
std::optional<std::string> base64Decode(std::string_view text);

// host -> runtime.
std::string runtimeRequestLine(std::uint64_t id, int version, std::string_view requestLine,
                               std::string_view body);

// runtime -> host, checked member by member; nothing for a line that is not
// one of the three answers or breaks a rule (the host then ignores it).
struct RuntimeAnswer {
  enum class Kind { response, phase, final };
  Kind kind = Kind::response;
  std::uint64_t id = 0;
  PhaseFrameFields frame;
  std::string body;
};
std::optional<RuntimeAnswer> readRuntimeAnswer(std::string_view line);
// The same for a line the link has already read.
std::optional<RuntimeAnswer> readRuntimeAnswer(const FlatObject& message);

}  // namespace nuvra
