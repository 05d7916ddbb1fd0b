// The server side of a version 2 exchange as pure rules: binding a server
// work to a client's request line, the order and bounds of the phases the
// broker reports, the state part of sealing the terminal phase, the phase
// audit file's name and image, and the ingress deadline left. The Node-API
// entries bindServerWork, serverPhase and ingressRemaining and the Windows
// sealServerTerminal call these with the work's lock held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "work/server_progress.h"

namespace nuvra {

// Account sends (pending and completed) and memory sends are each bounded.
constexpr std::uint64_t kServerSendLimit = 8;
// The audit file is exactly this long: one line, then zero bytes.
constexpr std::size_t kPhaseAuditFileBytes = 4096;

// What the binding is checked against.
struct ServerBindingFacts {
  std::string_view generation;      // the runtime generation given to initialize
  std::string_view work_operation;  // the operation the work was begun for
  std::uint64_t work_deadline = 0;
};

// At most 1024 bytes of tab and 0x20..0x7E, exactly 7 fields:
//   1 64 lowercase hex   2 36 characters, "-" at 8, 13, 18, 23
//   3 client work id (positive decimal)   4 the generation, exactly
//   5 the work's operation ("profile_evidence_role" if another)
//   6 32 lowercase hex   7 client deadline, positive, not before the work's
// Any other defect is "broker_native_protocol_refused".
void checkServerRequestLine(std::string_view requestLine, const ServerBindingFacts& facts);

// A request line exactly as a client's exchange builds it, before any work
// is known: the limits above, and field 2 a request id (32 lowercase hex
// once its dashes are gone), fields 3 and 7 positive decimals and field 4 a
// runtime generation without leading zeros, field 5 an operation a client
// may send to the broker. The broker host refuses any other line before it
// reaches the runtime.
//   <64 hex>\t0123abcd-0123-4567-89ab-0123456789ab\t7\t12\trecall\t<32 hex>\t5000
bool isClientRequestLine(std::string_view requestLine);

// Binds a checked request line; a second binding or a sealed work is
// "broker_native_protocol_refused".
void bindServerRequest(ServerExchangeState& state, std::string_view requestLine);

// The 15 reasons a terminal phase may carry.
bool isServerTerminalReason(std::string_view reason) noexcept;

enum class ServerPhaseStep {
  observed,      // the state moved; answer "observed"
  sealTerminal,  // the caller seals the terminal phase (sealServerTerminal)
};

// One serverPhase call: the role must be "server" ("profile_evidence_role"),
// then every order or bound violation is "broker_native_protocol_refused"
// and leaves the state as it was. `checkWorkValid` runs the work validity
// check where a phase must not be taken by an ended work.
//   "admitted"                       from "received"
//   "account_pending"/"memory_pending"  from "admitted"/"started", at most 8 of a kind
//   "account"/"memory"               complete one pending send of that kind
//   "terminal"                       any of the 15 reasons, from any bound state
ServerPhaseStep observeServerPhase(ServerExchangeState& state, std::string_view role,
                                   std::string_view phase, std::string_view reason,
                                   const std::function<void()>& checkWorkValid);

// The state part of sealing: nothing when already sealed or unbound (false);
// else seals with `reason`, counts the phase and sets logging_status to
// "unavailable", or "disabled" when logging is off. True when the audit file
// is to be written.
bool sealServerState(ServerExchangeState& state, std::string_view reason, bool loggingOff);

// "refused_queue" when sealed with "broker_deadline_refused" still in
// "received", "terminal" when otherwise sealed, else server_phase.
std::string_view reportedServerPhase(const ServerExchangeState& state) noexcept;

// The audit line of a sealed state, with its line feed.
std::string phaseAuditLine(const ServerExchangeState& state, std::uint64_t workId);

// The line in a zero-filled 4096-byte image; a longer line is
// "diagnostic_record_invalid".
std::string phaseAuditImage(std::string_view line);

// "phase-" + the request line's SHA-256 (64 lowercase hex) + ".bin".
std::wstring phaseAuditFileName(std::string_view requestLineHash);

// The name the audit is written under before it is renamed into place:
// "phase-" + the hash + "." + 16 lowercase hex (random) + ".tmp". A crash
// leaves at most such a file, never a short "phase-*.bin".
std::wstring phaseAuditTemporaryName(std::string_view requestLineHash, std::string_view nonce);

// Whether the bytes of a phase audit file are one whole audit image: exactly
// 4096 bytes, a line that begins "NUVRA_AUDIT_V3\tserver\t" and ends with the
// first line feed, then zero bytes only. Every reader calls anything else
// torn (a write that never finished, or bytes nobody's seal made):
//   the image of a sealed line             whole
//   0 bytes, 4095 bytes, 4097 bytes        torn
//   no line feed, a byte after the zeros   torn
//   another head ("NUVRA_AUDIT_V2\t...")    torn
bool isWholePhaseAudit(std::string_view bytes) noexcept;

// Milliseconds left until a client's deadline tick, 0 once passed. The text
// is a positive decimal of at most 20 digits and the deadline may lie at most
// 1000 ms ahead; else "broker_native_protocol_refused".
std::uint64_t ingressRemaining(std::string_view deadline, std::uint64_t now);

}  // namespace nuvra
