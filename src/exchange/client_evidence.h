// What a client work's exchange progress proves, as compact JSON text:
// the exchange outcome object that exchangeOutcome returns, and the client
// and server evidence that the work-end hook (recordWorkEnd) keeps in the
// terminal operation. Callers hold the work's state mutex and pass in the
// SHA-256 of the request line, which is taken on the Windows side.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "exchange/phase_frame.h"

namespace nuvra {

// dispatch_closed and not dispatch_submitted.
bool noDispatchProven(const ExchangeProgress& progress) noexcept;

// terminal_observed and a bound request line.
bool terminalEvidencePresent(const ExchangeProgress& progress) noexcept;

// The exchange outcome object. `deadlinePassed` says whether the work's
// deadline has passed, which proves no dispatch as much as a closed one.
std::string exchangeOutcomeText(const ExchangeProgress& progress, std::uint64_t workId,
                                bool deadlinePassed);

// The client evidence. `workOperation` is the operation the work was begun
// for; `correlationHash` is empty when no request line is bound (then null).
std::string clientEvidenceText(const ExchangeProgress& progress, std::uint64_t workId,
                               std::string_view workOperation, std::string_view correlationHash);

// The server's view carried by the authenticated terminal frame; only kept
// when terminal evidence is present.
std::string terminalFrameEvidenceText(const ExchangeProgress& progress,
                                      std::string_view correlationHash);

// The two texts a client work's end leaves in its terminal operation: its
// own evidence, and the server's view when terminal evidence is present
// (else empty, written null). A terminal frame's reason was only checked for
// its form on the wire; the set of terminal reasons is closed, so one
// outside it is "terminal_invalid" and nothing is built.
struct ClientEndEvidence {
  std::string client;
  std::string server;
};
ClientEndEvidence clientEndEvidence(const ExchangeProgress& progress, std::uint64_t workId,
                                    std::string_view workOperation,
                                    std::string_view correlationHash);

}  // namespace nuvra
