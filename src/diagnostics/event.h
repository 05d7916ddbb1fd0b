// Diagnostic events: short-lived correlation contexts for the local
// diagnostic lines of one incoming request, the process-wide table that
// holds them, and the rules of their stage records. No Windows, no Node-API:
// callers pass the tick count and the wall-clock time in.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace nuvra {

// An event is writable for this long after it is created.
constexpr std::uint64_t kEventLifetimeMs = 3000;
// Open events a process may hold; closed ones are purged on each creation.
constexpr std::size_t kEventLimit = 128;
// Stage records an event accepts (refused attempts count as well).
constexpr std::uint32_t kIngressRecordLimit = 64;
// appendDiagnostic: lines per call and bytes per line, newline included.
constexpr std::size_t kDiagnosticLineLimit = 64;
constexpr std::size_t kDiagnosticLineBytes = 4096;

struct DiagnosticEvent {
  // Set once by the terminal operation that claims the event.
  std::atomic<bool> claimed{false};
  // AddonState::environmentId of the environment that created it.
  std::uint64_t ownerEnvironment = 0;
  // 64 lowercase hex digits; the id JavaScript holds and the table key.
  std::string token;
  // The token reshaped as a version-4 style identifier (36 characters).
  std::string diagnosticId;
  // "worker" or "mcp".
  std::string scope;
  std::uint64_t created = 0;
  // Ticks. Atomic because beginWork lowers the deadline and binds the event
  // under processLock while writers on worker threads read both.
  std::atomic<std::uint64_t> deadline{0};
  std::atomic<std::uint64_t> boundWorkId{0};
  std::atomic<bool> closed{false};
  // Bound to a work from beginWork until that work's end completes.
  std::atomic<bool> bound{false};

  // lock keeps the writes the event owns apart. A write holds it while it
  // waits for the home's serialisation mutex, so the JavaScript thread never
  // takes it. Lock order: lock, then the serialisation mutex.
  std::mutex lock;
  // counterLock guards the ingress count and the stage starts, which
  // appendIngressDiagnostic moves on the JavaScript thread. It is a leaf:
  // nothing is taken or waited for while it is held.
  std::mutex counterLock;
  std::uint32_t ingressCount = 0;
  std::uint64_t framingStart = 0;
  std::uint64_t admissionStart = 0;
};

// Wall-clock UTC time as the system reports it.
struct UtcTime {
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

// "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ"
std::string utcStampText(const UtcTime& time);

// Token characters 0-7, "-", 8-11, "-4", 13-15, "-a", 17-19, "-", 20-31.
std::string diagnosticIdFromToken(std::string_view token);

// A new open event for `scope` ("worker" or "mcp", else
// "diagnostic_record_invalid") created at `now` from 32 random bytes.
std::shared_ptr<DiagnosticEvent> makeDiagnosticEvent(std::string_view scope,
                                                     std::uint64_t ownerEnvironment,
                                                     std::uint64_t now,
                                                     std::string_view randomBytes);

bool isIngressStage(std::string_view stage) noexcept;
bool isIngressOutcome(std::string_view outcome) noexcept;
bool isIngressReason(std::string_view reason) noexcept;

// The event check run before each step of a write the event owns: expired,
// closed, logging off or poisoned is "diagnostic_unavailable"; a deadline
// more than 3,000 ms away is "profile_startup_timeout".
void checkEventWritable(const DiagnosticEvent& event, std::uint64_t now, bool loggingOff,
                        bool poisoned);

// The owner check of a write the event owns: the event check, then an event
// bound to a work is "diagnostic_event_busy" (the work writes for it).
void checkEventOwner(const DiagnosticEvent& event, std::uint64_t now, bool loggingOff,
                     bool poisoned);

// The diagnostic part of a work owner's check. `event` is the work's bound
// event or null; `unbound` says an event was named but could not be bound.
void checkWorkEvent(const DiagnosticEvent* event, bool unbound, std::uint64_t workId,
                    bool loggingOff);

// Counts one stage record and moves the stage's start; returns the elapsed
// milliseconds of the stage. Call with the event's counterLock held, after the event
// check. Stage, outcome and reason must already be valid.
std::uint64_t recordIngressStage(DiagnosticEvent& event, std::string_view stage,
                                 std::string_view outcome, std::uint64_t now);

// The local-diagnostic stage record, one line ending in a line feed.
std::string ingressStageRecord(const DiagnosticEvent& event, const UtcTime& utc, std::uint32_t pid,
                               std::string_view stage, std::string_view outcome,
                               std::string_view reason, std::uint64_t elapsedMs,
                               std::uint64_t eventElapsedMs);

// The lines of an appendDiagnostic text: it ends with a line feed and has at
// most 64 lines, each non-empty and at most 4,096 bytes with its line feed;
// otherwise "diagnostic_record_invalid". Views into `text`, without the
// line feed.
std::vector<std::string_view> diagnosticLines(std::string_view text);

// --- The process-wide table of events by token. Each of these takes
// processLock itself; call without holding it.

// Purges closed events, refuses a 129th open one ("diagnostic_event_limit")
// and inserts the event under its token; an equal token stays as it was.
void registerDiagnosticEvent(const std::shared_ptr<DiagnosticEvent>& event);

// The event of `token` owned by `environment`, else "diagnostic_event_required".
std::shared_ptr<DiagnosticEvent> lookupDiagnosticEvent(std::string_view token,
                                                       std::uint64_t environment);

// The event of `token`, whoever owns it, or null. The caller holds
// processLock.
std::shared_ptr<DiagnosticEvent> findDiagnosticEvent(std::string_view token);

// Marks the event closed and takes it out of the table.
void closeDiagnosticEventEntry(const std::shared_ptr<DiagnosticEvent>& event);

// The finaliser's step: closes and removes every event of the environment.
void closeEnvironmentDiagnosticEvents(std::uint64_t environment) noexcept;

}  // namespace nuvra
