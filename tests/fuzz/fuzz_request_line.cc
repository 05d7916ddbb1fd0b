// A request line a server accepts has seven fields that rebuild it exactly
// and binds once with sequence 1; refusals carry one of the two reasons. A
// request id accepted from a client also has the server's shape. The ingress
// time left is never more than one second. A phase audit a reader calls whole
// is exactly the image of its own first line. A line the host takes for a
// client's binds for a work of its own generation and operation, and a
// request frame the host forwards splits back into exactly its bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "accepting_branch.h"
#include "common/reason.h"
#include "exchange/wire_text.h"
#include "server/broker_wire.h"
#include "server/server_exchange.h"

namespace {

nuvra::fuzzing::AcceptingBranch acceptedLine("request_line");

const nuvra::ServerBindingFacts kFacts{"12", "recall", 4000};

void checkLine(std::string_view line) {
  try {
    nuvra::checkServerRequestLine(line, kFacts);
    const auto fields = nuvra::splitWireFields(line);
    if (fields.size() != 7 || line.size() > 1024) std::abort();
    std::string rebuilt(fields[0]);
    for (std::size_t i = 1; i < fields.size(); ++i) {
      rebuilt.push_back('\t');
      rebuilt.append(fields[i]);
    }
    if (rebuilt != line) std::abort();
    if (fields[3] != kFacts.generation || fields[4] != kFacts.work_operation) std::abort();
    nuvra::ServerExchangeState state;
    nuvra::bindServerRequest(state, line);
    if (state.server_sequence != 1 || state.bound_request_line != line) std::abort();
    acceptedLine.reached();
  } catch (const nuvra::ProfileError& error) {
    const std::string_view reason = error.what();
    if (reason != "broker_native_protocol_refused" && reason != "profile_evidence_role") {
      std::abort();
    }
  }
}

void checkClientLine(std::string_view line) {
  if (!nuvra::isClientRequestLine(line)) return;
  const auto fields = nuvra::splitWireFields(line);
  if (fields.size() != 7) std::abort();
  try {
    nuvra::checkServerRequestLine(line, {fields[3], fields[4], 1});
  } catch (const nuvra::ProfileError&) {
    std::abort();
  }
}

// An audit file a reader calls whole is an image the writer could have made
// of its own first line.
void checkAudit(std::string_view bytes) {
  if (!nuvra::isWholePhaseAudit(bytes)) return;
  const std::string_view line = bytes.substr(0, bytes.find('\n') + 1);
  if (bytes.size() != nuvra::kPhaseAuditFileBytes || nuvra::phaseAuditImage(line) != bytes) {
    std::abort();
  }
}

void checkClientFrame(int version, std::string_view frame) {
  const auto request = nuvra::readClientRequest(version, frame);
  if (!request) return;
  if (request->body.size() < 2 || frame.size() > nuvra::kBrokerFrameLimit) std::abort();
  const std::string rebuilt = version == 1
                                  ? std::string(request->body)
                                  : "NUVRA_REQUEST_V2\t" + std::string(request->requestLine) +
                                        "\n" + std::string(request->body);
  if (rebuilt != frame) std::abort();
}

void checkIds(std::string_view text) {
  if (nuvra::isRequestId(text) && !nuvra::hasRequestIdShape(text)) std::abort();
}

void checkIngress(std::string_view text, std::uint64_t now) {
  try {
    if (nuvra::ingressRemaining(text, now) > 1000) std::abort();
  } catch (const nuvra::ProfileError& error) {
    if (std::string_view(error.what()) != "broker_native_protocol_refused") std::abort();
  }
}

const std::vector<std::string> kValidFields = {std::string(64, 'e'),
                                               "0123abcd-0123-4567-89ab-0123456789ab",
                                               "7",
                                               "12",
                                               "recall",
                                               "0123456789abcdef0123456789abcdef",
                                               "5000"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  checkLine(input);
  checkClientLine(input);
  checkClientFrame(1, input);
  checkClientFrame(2, input);
  checkIds(input);
  checkIngress(input, 10000);
  checkAudit(input);
  // The same bytes as the start of a whole image.
  std::string padded = "NUVRA_AUDIT_V3\tserver\t" + std::string(input.substr(0, 4000));
  padded.resize(nuvra::kPhaseAuditFileBytes, '\0');
  checkAudit(padded);
  if (size >= 1) {
    std::string line;
    const std::size_t replaced = data[0] % kValidFields.size();
    for (std::size_t i = 0; i < kValidFields.size(); ++i) {
      if (i > 0) line.push_back('\t');
      line += i == replaced ? std::string(input.substr(1)) : kValidFields[i];
    }
    checkLine(line);
    checkClientLine(line);
    checkClientFrame(2, "NUVRA_REQUEST_V2\t" + line + "\n{}");
    checkIds(input.substr(1));
  }
  return 0;
}
