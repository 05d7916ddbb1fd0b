// The bytes a client and the broker exchange over the pipe: the preamble and
// its acknowledgement, the 4-byte frame lengths, the version 2 request line
// and header, and the text that the authentication id hash is taken of. The
// native exchange (runNativeExchange, pipeTransfer, verifyPipePeer) calls
// these around its Windows pipe I/O; nothing here touches a handle.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/wipe.h"
#include "exchange/endpoint_descriptor.h"

namespace nuvra {

// The words that open each line and header, for both ends of the pipe.
constexpr std::string_view kPreambleV1 = "NUVRA_NATIVE_PUBLIC_V1\t";
constexpr std::string_view kPreambleV2 = "NUVRA_NATIVE_PUBLIC_V2\t";
constexpr std::string_view kAcknowledgementV1 = "NUVRA_NATIVE_ACK_V1\t";
constexpr std::string_view kAcknowledgementV2 = "NUVRA_NATIVE_ACK_V2\t";
constexpr std::string_view kRequestHeaderV2 = "NUVRA_REQUEST_V2\t";

// Frame bodies in both directions and a version 1 request: 2..1048576 bytes.
constexpr std::uint32_t kFrameMinimum = 2;
constexpr std::uint32_t kFrameMaximum = 1048576;
// The acknowledgement line may hold this many bytes before its line feed.
constexpr std::size_t kAcknowledgementLimit = 2048;

// "NUVRA_NATIVE_PUBLIC_V1\t" (or V2) + digest + TAB + instance + LF.
std::string preambleLine(bool version2, const NativeEndpointDescriptor& descriptor);

// The line the broker must answer with, without its line feed:
// "NUVRA_NATIVE_ACK_V1\t" (or V2) + digest + TAB + instance.
std::string expectedAcknowledgement(bool version2, const NativeEndpointDescriptor& descriptor);

// Collects the acknowledgement as it is read one byte at a time:
//   0x09, 0x20..0x7E   collected; a byte beyond 2048 collected ones is
//                      "broker_native_protocol_refused"
//   0x0A               ends the line
//   anything else      "broker_native_protocol_refused"
class AcknowledgementCollector {
 public:
  // Takes the next byte read; true once the line is complete. The caller
  // stops reading then.
  bool take(std::uint8_t byte);
  std::string_view line() const noexcept { return line_; }

 private:
  std::string line_;
  bool complete_ = false;
};

// The collected line must equal expectedAcknowledgement, else
// "broker_native_peer_refused".
void checkAcknowledgement(std::string_view line, bool version2,
                          const NativeEndpointDescriptor& descriptor);

// Unsigned 32-bit little-endian, and back without any bounds.
std::array<std::uint8_t, 4> encodeFrameLength(std::uint32_t length) noexcept;
std::uint32_t frameLengthValue(const std::array<std::uint8_t, 4>& bytes) noexcept;

// The length of a frame the broker sends, which must be 2..1048576, else
// "broker_native_frame_invalid".
std::uint32_t decodeFrameLength(const std::array<std::uint8_t, 4>& bytes);

// A caller's request must be 2..1048576 bytes: "broker_native_frame_invalid".
void checkRequestSize(std::size_t size);

// The seven fields of a version 2 request line, in wire order.
struct RequestLineFields {
  std::string_view correlation_token;  // the event token, or 64 random hex digits
  std::string_view request_id;
  std::uint64_t work_id = 0;
  std::string_view generation;
  std::string_view operation;
  std::string_view broker_instance;
  std::uint64_t work_deadline = 0;
};

// The fields joined by single tabs, decimals without leading zeros.
std::string buildRequestLine(const RequestLineFields& fields);

// Puts "NUVRA_REQUEST_V2\t" + request line + LF in front of the request.
// Header and request together over 1048576 bytes is
// "broker_native_frame_invalid", and the request is left as it was.
void prependRequestHeader(WipedBytes& requestBytes, std::string_view requestLine);

// "%08x%08x" of an authentication id, high part first: the 16 bytes whose
// SHA-256 is the authentication id hash.
std::string authenticationIdText(std::uint32_t high, std::uint32_t low);

}  // namespace nuvra
