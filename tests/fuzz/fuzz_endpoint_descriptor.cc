// An accepted endpoint descriptor renders to a line that parses back to the
// same descriptor, and to the input itself when the input has no leading
// zeros; a refused one is refused with the protocol reason. The
// acknowledgement collector keeps only allowed bytes, never more than 2048.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "accepting_branch.h"
#include "common/reason.h"
#include "exchange/endpoint_descriptor.h"
#include "exchange/pipe_protocol.h"

namespace {

nuvra::fuzzing::AcceptingBranch acceptedDescriptor("descriptor");

bool sameDescriptor(const nuvra::NativeEndpointDescriptor& a,
                    const nuvra::NativeEndpointDescriptor& b) {
  return a.pipe_name == b.pipe_name && a.server_pid == b.server_pid &&
         a.process_creation_filetime == b.process_creation_filetime &&
         a.image_path_sha256 == b.image_path_sha256 && a.owner_sid_hash == b.owner_sid_hash &&
         a.authentication_id_hash == b.authentication_id_hash &&
         a.windows_session_id == b.windows_session_id && a.public_digest == b.public_digest &&
         a.broker_instance == b.broker_instance && a.exchange_timeout_ms == b.exchange_timeout_ms;
}

bool hasLeadingZero(std::string_view line) {
  std::size_t begin = 0;
  while (begin <= line.size()) {
    std::size_t end = line.find('\t', begin);
    if (end == std::string_view::npos) end = line.size();
    const std::string_view field = line.substr(begin, end - begin);
    if (field.size() > 1 && field[0] == '0' &&
        field.find_first_not_of("0123456789") == field.npos) {
      return true;
    }
    begin = end + 1;
  }
  return false;
}

void checkDescriptor(std::string_view line) {
  try {
    const auto descriptor = nuvra::parseEndpointDescriptor(line);
    const std::string rendered = nuvra::renderEndpointDescriptor(descriptor);
    if (!sameDescriptor(nuvra::parseEndpointDescriptor(rendered), descriptor)) std::abort();
    if (!hasLeadingZero(line) && rendered != line) std::abort();
    if (descriptor.exchange_timeout_ms < 50 || descriptor.exchange_timeout_ms > 15000) std::abort();
    acceptedDescriptor.reached();
  } catch (const nuvra::ProfileError& error) {
    if (std::string_view(error.what()) != "broker_native_protocol_refused") std::abort();
  }
}

void checkAcknowledgement(std::string_view bytes) {
  nuvra::AcknowledgementCollector collector;
  try {
    for (char c : bytes) {
      if (collector.take(static_cast<std::uint8_t>(c))) break;
    }
  } catch (const nuvra::ProfileError& error) {
    if (std::string_view(error.what()) != "broker_native_protocol_refused") std::abort();
  }
  const std::string_view line = collector.line();
  if (line.size() > nuvra::kAcknowledgementLimit) std::abort();
  if (bytes.substr(0, line.size()) != line) std::abort();
  for (char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte != 0x09 && (byte < 0x20 || byte > 0x7e)) std::abort();
  }
}

const std::vector<std::string> kValidFields = {"NUVRA_NATIVE_ENDPOINT_V1",
                                               "nuvra-memory-v1-" + std::string(48, 'a'),
                                               "4242",
                                               "133000000000000000",
                                               std::string(64, 'a'),
                                               std::string(64, 'b'),
                                               std::string(64, 'c'),
                                               "1",
                                               std::string(64, 'd'),
                                               "0123456789abcdef0123456789abcdef",
                                               "500",
                                               "END"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  checkDescriptor(input);
  checkAcknowledgement(input);
  // A valid line with one field replaced, so that single-field rules are reached.
  if (size >= 1) {
    std::string line;
    const std::size_t replaced = data[0] % kValidFields.size();
    for (std::size_t i = 0; i < kValidFields.size(); ++i) {
      if (i > 0) line.push_back('\t');
      line += i == replaced ? std::string(input.substr(1)) : kValidFields[i];
    }
    checkDescriptor(line);
  }
  return 0;
}
