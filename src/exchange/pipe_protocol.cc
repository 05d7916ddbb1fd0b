#include "exchange/pipe_protocol.h"

#include "common/reason.h"
#include "common/text.h"

namespace nuvra {
namespace {

std::string digestAndInstance(const NativeEndpointDescriptor& descriptor) {
  return descriptor.public_digest + "\t" + descriptor.broker_instance;
}

}  // namespace

std::string preambleLine(bool version2, const NativeEndpointDescriptor& descriptor) {
  return std::string(version2 ? kPreambleV2 : kPreambleV1) + digestAndInstance(descriptor) + "\n";
}

std::string expectedAcknowledgement(bool version2, const NativeEndpointDescriptor& descriptor) {
  return std::string(version2 ? kAcknowledgementV2 : kAcknowledgementV1) +
         digestAndInstance(descriptor);
}

bool AcknowledgementCollector::take(std::uint8_t byte) {
  if (complete_) return true;
  if (byte == 0x0a) {
    complete_ = true;
    return true;
  }
  if (byte != 0x09 && (byte < 0x20 || byte > 0x7e)) fail("broker_native_protocol_refused");
  if (line_.size() == kAcknowledgementLimit) fail("broker_native_protocol_refused");
  line_.push_back(static_cast<char>(byte));
  return false;
}

void checkAcknowledgement(std::string_view line, bool version2,
                          const NativeEndpointDescriptor& descriptor) {
  if (line != expectedAcknowledgement(version2, descriptor)) fail("broker_native_peer_refused");
}

std::array<std::uint8_t, 4> encodeFrameLength(std::uint32_t length) noexcept {
  return {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
          static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
}

std::uint32_t frameLengthValue(const std::array<std::uint8_t, 4>& bytes) noexcept {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::uint32_t decodeFrameLength(const std::array<std::uint8_t, 4>& bytes) {
  const std::uint32_t length = frameLengthValue(bytes);
  if (length < kFrameMinimum || length > kFrameMaximum) fail("broker_native_frame_invalid");
  return length;
}

void checkRequestSize(std::size_t size) {
  if (size < kFrameMinimum || size > kFrameMaximum) fail("broker_native_frame_invalid");
}

std::string buildRequestLine(const RequestLineFields& fields) {
  std::string line(fields.correlation_token);
  const auto field = [&line](std::string_view text) {
    line.push_back('\t');
    line.append(text);
  };
  field(fields.request_id);
  field(formatDecimal64(fields.work_id));
  field(fields.generation);
  field(fields.operation);
  field(fields.broker_instance);
  field(formatDecimal64(fields.work_deadline));
  return line;
}

void prependRequestHeader(WipedBytes& requestBytes, std::string_view requestLine) {
  const std::size_t headerSize = kRequestHeaderV2.size() + requestLine.size() + 1;
  if (headerSize > kFrameMaximum || requestBytes.size() > kFrameMaximum - headerSize) {
    fail("broker_native_frame_invalid");
  }
  WipedBytes framed;
  framed.reserve(headerSize + requestBytes.size());
  framed.append(kRequestHeaderV2);
  framed.append(requestLine);
  framed.append("\n");
  framed.append(requestBytes.view());
  requestBytes = std::move(framed);
}

std::string authenticationIdText(std::uint32_t high, std::uint32_t low) {
  return hex64(high, low);
}

}  // namespace nuvra
