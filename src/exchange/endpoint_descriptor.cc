#include "exchange/endpoint_descriptor.h"

#include <limits>

#include "common/reason.h"
#include "common/text.h"
#include "exchange/wire_text.h"

namespace nuvra {
namespace {

constexpr std::string_view kMagic = "NUVRA_NATIVE_ENDPOINT_V1";
constexpr std::string_view kEndMarker = "END";
constexpr std::string_view kPipePrefix = "nuvra-memory-v1-";
constexpr std::size_t kLineLimit = 2048;
constexpr std::size_t kFieldCount = 12;

[[noreturn]] void refuse() {
  fail("broker_native_protocol_refused");
}

std::uint64_t decimalField(std::string_view text, std::uint64_t minimum, std::uint64_t maximum) {
  const auto value = wireDecimal(text, minimum, maximum);
  if (!value) refuse();
  return *value;
}

std::string hexField(std::string_view text, std::size_t digits) {
  if (!isLowerHex(text, digits)) refuse();
  return std::string(text);
}

}  // namespace

NativeEndpointDescriptor parseEndpointDescriptor(std::string_view line) {
  if (line.empty() || line.size() > kLineLimit || !isWireLineText(line)) refuse();
  const auto fields = splitWireFields(line);
  if (fields.size() != kFieldCount) refuse();
  if (fields[0] != kMagic || fields[11] != kEndMarker) refuse();

  NativeEndpointDescriptor descriptor;
  const std::string_view pipe = fields[1];
  if (pipe.size() != kPipePrefix.size() + 48 || !pipe.starts_with(kPipePrefix) ||
      !isLowerHex(pipe.substr(kPipePrefix.size()), 48)) {
    refuse();
  }
  descriptor.pipe_name = std::string(pipe);
  descriptor.server_pid = static_cast<std::uint32_t>(decimalField(fields[2], 1, 2147483647));
  descriptor.process_creation_filetime =
      decimalField(fields[3], 1, std::numeric_limits<std::uint64_t>::max());
  descriptor.image_path_sha256 = hexField(fields[4], 64);
  descriptor.owner_sid_hash = hexField(fields[5], 64);
  descriptor.authentication_id_hash = hexField(fields[6], 64);
  descriptor.windows_session_id = static_cast<std::uint32_t>(
      decimalField(fields[7], 0, std::numeric_limits<std::uint32_t>::max()));
  descriptor.public_digest = hexField(fields[8], 64);
  descriptor.broker_instance = hexField(fields[9], 32);
  descriptor.exchange_timeout_ms = decimalField(fields[10], 50, 15000);
  return descriptor;
}

std::string renderEndpointDescriptor(const NativeEndpointDescriptor& descriptor) {
  std::string line(kMagic);
  const auto field = [&line](std::string_view text) {
    line.push_back('\t');
    line.append(text);
  };
  field(descriptor.pipe_name);
  field(formatDecimal32(descriptor.server_pid));
  field(formatDecimal64(descriptor.process_creation_filetime));
  field(descriptor.image_path_sha256);
  field(descriptor.owner_sid_hash);
  field(descriptor.authentication_id_hash);
  field(formatDecimal32(descriptor.windows_session_id));
  field(descriptor.public_digest);
  field(descriptor.broker_instance);
  field(formatDecimal64(descriptor.exchange_timeout_ms));
  field(kEndMarker);
  return line;
}

std::wstring pipePath(const NativeEndpointDescriptor& descriptor) {
  std::wstring path = L"\\\\.\\pipe\\";
  // The name was checked to be ASCII, so widening each byte is exact.
  for (char c : descriptor.pipe_name) path.push_back(static_cast<wchar_t>(c));
  return path;
}

}  // namespace nuvra
