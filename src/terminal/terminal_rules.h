// The portable rules of terminal operations: attempt and request ids, the
// ownership claims of a new operation, the owner rule of prepare, the
// availability and commit checks, and the checkpoint and terminal records
// with their size limit. Called by terminal/terminal_napi.cc (the four
// JavaScript entries) and terminal/terminal_record_win.cc (the kind 16 job).
// Membership in the closed word sets stays with common/vocabulary; the
// checks here take its answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nuvra {

// A record longer than this is refused before anything is written.
constexpr std::size_t kTerminalRecordLimit = 4096;
constexpr std::size_t kLiveTerminalOperationLimit = 128;
constexpr std::uint64_t kTerminalWindowMs = 3000;

// "-" is none (stored empty); otherwise exactly 64 (attempt) or 36 (request)
// characters of "0123456789abcdef-". Else "terminal_invalid".
//   "-"                     ""
//   64 x "a"                the same text
//   63 x "a", 64 x "A"      refused
std::string checkAttemptId(std::string_view attemptId);
std::string checkRequestId(std::string_view requestId);

// newTerminalOperation step 2: the event token, empty for "-".
std::string eventTokenOf(std::string_view eventId);

// newTerminalOperation step 3: "terminal_unavailable" unless initialised, not
// poisoned and fewer than 128 operations live.
void checkTerminalCapacity(bool initialized, bool poisoned, std::size_t live);

// newTerminalOperation step 4 decides by the account purpose which claim an
// operation takes: the process purpose for "connect" and "finish", else a
// diagnostic event.
bool claimsProcessPurpose(std::string_view accountPurpose) noexcept;

// The process-purpose claim: the operation must be the purpose, the event id
// exactly "-" and the claim free; the claim is then taken. The caller holds
// processLock. Else "terminal_owner_refused".
void claimProcessPurpose(std::string_view accountPurpose, std::string_view operation,
                         std::string_view eventId, bool& purposeClaimed);

// The event claim: the event must be usable (live, of this environment, not
// closed) and unclaimed; it is then claimed, and only after that its
// operation is compared, so a mismatch leaves it claimed. Else
// "terminal_owner_refused".
void claimDiagnosticEvent(bool eventUsable, bool& eventClaimed, std::string_view eventOperation,
                          std::string_view operation);

// prepareTerminal step 4.
struct PrepareOwner {
  std::string_view eventToken;  // the operation's; empty for a process-purpose operation
  bool workHasEvent = false;
  std::string_view workEventToken;
  bool workDiagnosticUnbound = false;
  std::string_view operation;
  std::string_view accountPurpose;
  std::string_view workRole;
};
// With an event token the work's event must carry it and the work must not
// be diagnostic-unbound; without one the operation must be the account
// purpose on an "unbound_local" work. Else "terminal_owner_refused".
void checkPrepareOwner(const PrepareOwner& owner);

// prepareTerminal step 6: the earlier of the event's and the work's deadline,
// or the work's when there is no event.
std::uint64_t terminalDeadline(std::optional<std::uint64_t> eventDeadline,
                               std::uint64_t workDeadline) noexcept;

// checkTerminalAvailable: "terminal_unavailable" when closed, uncertain,
// poisoned or logging "off"; then "profile_startup_timeout" unless
// now < deadline and deadline - now <= 3000.
struct TerminalAvailability {
  bool closed = false;
  bool writeUncertain = false;
  bool poisoned = false;
  bool loggingOff = false;
};
void checkTerminalAvailable(const TerminalAvailability& flags, std::uint64_t now,
                            std::uint64_t deadline);

// commitTerminal step 3: "terminal_end_required" unless the checkpoint was
// written and the bound work's end was requested, completed and succeeded.
void checkCommitReady(bool checkpointWritten, bool endRequested, bool workEnded, bool endSucceeded);

// commitTerminal step 6, with the word-set answers of the caller: every word
// known, and "none" as the reason of a success. Else "terminal_invalid".
void checkCommitOutcome(bool ok, std::string_view reason, bool stateKnown, bool reasonKnown,
                        bool phaseKnown);

// Nullable members are written null when empty.
struct CheckpointFields {
  std::string_view operationId;
  std::string_view attemptId;
  std::string_view requestId;
  std::string_view operation;
  std::string_view utc;
};
// "nuvra.operation-checkpoint.v1", event "terminal_pending", ending "}\n";
// over 4,096 bytes "terminal_invalid".
std::string checkpointRecord(const CheckpointFields& fields);

struct TerminalFields {
  std::string_view operationId;
  std::string_view attemptId;
  std::string_view requestId;
  std::string_view operation;
  std::string_view phase;
  bool ok = false;
  std::string_view state;
  std::string_view reason;
  std::string_view utc;
  std::uint64_t workStart = 0;
  std::uint64_t deadline = 0;
  std::uint64_t endRequestedAt = 0;
  std::uint64_t endedAt = 0;
  std::string_view clientEvidence;  // JSON text; empty is null
  std::string_view serverEvidence;  // JSON text; empty is null
};
// "nuvra.operation-terminal.v1", event "operation_result", the "elapsed"
// object from the recorded ticks and `now` in unsigned 64-bit arithmetic,
// the evidence copied raw, ending "}\n"; over 4,096 bytes "terminal_invalid".
std::string terminalRecord(const TerminalFields& fields, std::uint64_t now);

}  // namespace nuvra
