// What a resident runtime tells its host is outside input to the host: an
// accepted answer has a known kind, send counts within 8, and a body that
// encodes back to the text it came from; base64 decoding is exact both ways.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "accepting_branch.h"
#include "server/broker_wire.h"

namespace {

nuvra::fuzzing::AcceptingBranch acceptedAnswer("runtime_answer");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (const auto answer = nuvra::readRuntimeAnswer(input)) {
    if (answer->frame.account > 8 || answer->frame.memory > 8) std::abort();
    if (answer->body.size() > nuvra::kBrokerFrameLimit) std::abort();
    if (input.find(nuvra::base64Encode(answer->body)) == std::string_view::npos) std::abort();
    acceptedAnswer.reached();
  }
  if (const auto bytes = nuvra::base64Decode(input)) {
    if (nuvra::base64Encode(*bytes) != input) std::abort();
  }
  if (nuvra::base64Decode(nuvra::base64Encode(input)) != std::string(input)) std::abort();
  return 0;
}
