// What the resident host reads from outside: a link line from the runtime
// and the home's device binding file. Any text ends in facts the host can
// compose a record from or a reason of the readers, never in a crash; a
// residency message that is accepted yields a record every client reader's
// form checks take; any FILETIME below the year 10000 writes a time stamp of
// the record's form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "accepting_branch.h"
#include "common/flat_json.h"
#include "common/reason.h"
#include "shared/host_endpoint.h"

namespace {

nuvra::fuzzing::AcceptingBranch acceptedResidency("residency_message");
nuvra::fuzzing::AcceptingBranch acceptedBinding("device_binding");

std::string fixedSha(std::string_view) {
  return std::string(64, 'a');
}

void readAnyLine(const std::string& text) {
  nuvra::ResidencyFacts facts;
  try {
    facts = nuvra::readResidencyMessage(nuvra::readFlatObject(text), 4242);
  } catch (const nuvra::ProfileError&) {
    return;
  }
  nuvra::HostEndpointInput input;
  input.self = {100, 1330, std::string(64, 'e'), "aih", 1, "osh", "hk"};
  input.residency = facts;
  input.device = {"s", "d", "c"};
  input.brokerInstance = std::string(32, '3');
  const std::string record = nuvra::composeHostEndpoint(input, fixedSha);
  nuvra::checkEndpointKeySet(nuvra::endpointEntries(nuvra::readFlatObject(record)));
  acceptedResidency.reached();
}

void readAnyDeviceBinding(const std::string& text) {
  try {
    static_cast<void>(nuvra::readDeviceBindingText(text));
    acceptedBinding.reached();
  } catch (const nuvra::ProfileError& error) {
    if (std::strcmp(error.what(), "host_device_binding") != 0) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  readAnyLine(input);
  readAnyDeviceBinding(input);
  std::uint64_t filetime = 0;
  std::memcpy(&filetime, input.data(), size < sizeof(filetime) ? size : sizeof(filetime));
  try {
    if (!nuvra::isEndpointTimestamp(nuvra::endpointTimestamp(filetime))) std::abort();
  } catch (const nuvra::ProfileError& error) {
    if (std::strcmp(error.what(), "host_clock") != 0 || filetime < 2650467744000000000ull) {
      std::abort();
    }
  }
  return 0;
}
