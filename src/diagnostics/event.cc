#include "diagnostics/event.h"

#include <algorithm>
#include <array>
#include <functional>
#include <map>

#include "common/process_state.h"
#include "common/reason.h"
#include "common/text.h"

namespace nuvra {
namespace {

constexpr std::array<std::string_view, 7> kIngressReasons = {
    "none",
    "unclassified",
    "worker_input_invalid",
    "mcp_frame_invalid",
    "profile_startup_timeout",
    "broker_deadline_refused",
    "profile_cleanup_uncertain",
};

void appendDigits(std::string& out, unsigned value, std::size_t width) {
  std::string digits = std::to_string(value);
  if (digits.size() < width) out.append(width - digits.size(), '0');
  out += digits;
}

}  // namespace

std::string utcStampText(const UtcTime& time) {
  std::string out;
  appendDigits(out, time.year, 4);
  out += '-';
  appendDigits(out, time.month, 2);
  out += '-';
  appendDigits(out, time.day, 2);
  out += 'T';
  appendDigits(out, time.hour, 2);
  out += ':';
  appendDigits(out, time.minute, 2);
  out += ':';
  appendDigits(out, time.second, 2);
  out += '.';
  appendDigits(out, time.millisecond, 3);
  out += 'Z';
  return out;
}

std::string diagnosticIdFromToken(std::string_view token) {
  if (token.size() < 32) fail("diagnostic_record_invalid");
  std::string id;
  id.reserve(36);
  id.append(token.substr(0, 8));
  id += '-';
  id.append(token.substr(8, 4));
  id += "-4";
  id.append(token.substr(13, 3));
  id += "-a";
  id.append(token.substr(17, 3));
  id += '-';
  id.append(token.substr(20, 12));
  return id;
}

std::shared_ptr<DiagnosticEvent> makeDiagnosticEvent(std::string_view scope,
                                                     std::uint64_t ownerEnvironment,
                                                     std::uint64_t now,
                                                     std::string_view randomBytes) {
  if (scope != "worker" && scope != "mcp") fail("diagnostic_record_invalid");
  auto event = std::make_shared<DiagnosticEvent>();
  event->ownerEnvironment = ownerEnvironment;
  event->scope = std::string(scope);
  event->created = now;
  event->deadline = now + kEventLifetimeMs;
  event->token = hexLower(randomBytes);
  event->diagnosticId = diagnosticIdFromToken(event->token);
  return event;
}

bool isIngressStage(std::string_view stage) noexcept {
  return stage == "framing" || stage == "admission";
}

bool isIngressOutcome(std::string_view outcome) noexcept {
  return outcome == "started" || outcome == "succeeded" || outcome == "failed";
}

bool isIngressReason(std::string_view reason) noexcept {
  return std::find(kIngressReasons.begin(), kIngressReasons.end(), reason) != kIngressReasons.end();
}

void checkEventWritable(const DiagnosticEvent& event, std::uint64_t now, bool loggingOff,
                        bool poisoned) {
  const std::uint64_t deadline = event.deadline.load();
  if (now >= deadline || event.closed.load() || loggingOff || poisoned) {
    fail("diagnostic_unavailable");
  }
  if (deadline - now > kEventLifetimeMs) fail("profile_startup_timeout");
}

void checkEventOwner(const DiagnosticEvent& event, std::uint64_t now, bool loggingOff,
                     bool poisoned) {
  checkEventWritable(event, now, loggingOff, poisoned);
  if (event.bound.load()) fail("diagnostic_event_busy");
}

void checkWorkEvent(const DiagnosticEvent* event, bool unbound, std::uint64_t workId,
                    bool loggingOff) {
  // Logging off silences every owner, with or without an event.
  if (loggingOff || unbound) fail("diagnostic_unavailable");
  if (event == nullptr) return;
  if (event->closed.load()) fail("diagnostic_unavailable");
  if (event->boundWorkId.load() != workId) fail("diagnostic_event_mismatch");
}

std::uint64_t recordIngressStage(DiagnosticEvent& event, std::string_view stage,
                                 std::string_view outcome, std::uint64_t now) {
  if (event.bound.load()) fail("diagnostic_event_busy");
  // A refused attempt still counts, so a caller cannot probe past the limit.
  if (event.ingressCount < UINT32_MAX) ++event.ingressCount;
  if (event.ingressCount > kIngressRecordLimit) fail("diagnostic_event_busy");
  std::uint64_t& start = stage == "framing" ? event.framingStart : event.admissionStart;
  if (outcome == "started") {
    start = now;
    return 0;
  }
  if (start == 0) fail("diagnostic_stage_required");
  return now - start;
}

std::string ingressStageRecord(const DiagnosticEvent& event, const UtcTime& utc, std::uint32_t pid,
                               std::string_view stage, std::string_view outcome,
                               std::string_view reason, std::uint64_t elapsedMs,
                               std::uint64_t eventElapsedMs) {
  return RecordBuilder()
      .string("schema_version", "nuvra.local-diagnostic.v1")
      .string("event", "stage")
      .string("event_id", event.token)
      .string("diagnostic_id", event.diagnosticId)
      .string("operation", event.scope)
      .string("utc", utcStampText(utc))
      .number("pid", pid)
      .string("stage", stage)
      .string("outcome", outcome)
      .string("reason", reason)
      .number("elapsed_ms", elapsedMs)
      .number("event_elapsed_ms", eventElapsedMs)
      .line();
}

std::vector<std::string_view> diagnosticLines(std::string_view text) {
  if (text.empty() || text.back() != '\n') fail("diagnostic_record_invalid");
  std::vector<std::string_view> lines;
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t end = text.find('\n', begin);
    const std::size_t length = end - begin;
    if (length == 0 || length + 1 > kDiagnosticLineBytes) fail("diagnostic_record_invalid");
    if (lines.size() == kDiagnosticLineLimit) fail("diagnostic_record_invalid");
    lines.push_back(text.substr(begin, length));
    begin = end + 1;
  }
  return lines;
}

namespace {

// The process-wide table of events by token, guarded by processLock. Never
// destroyed, like the rest of the process-wide state.
std::map<std::string, std::shared_ptr<DiagnosticEvent>, std::less<>>& eventTable() {
  static auto* const table =
      new std::map<std::string, std::shared_ptr<DiagnosticEvent>, std::less<>>();
  return *table;
}

}  // namespace

void registerDiagnosticEvent(const std::shared_ptr<DiagnosticEvent>& event) {
  std::lock_guard<std::mutex> guard(processState().processLock);  // the events table
  auto& events = eventTable();
  std::erase_if(events, [](const auto& entry) { return entry.second->closed.load(); });
  if (events.size() >= kEventLimit) fail("diagnostic_event_limit");
  events.emplace(event->token, event);
}

std::shared_ptr<DiagnosticEvent> findDiagnosticEvent(std::string_view token) {
  auto& events = eventTable();
  const auto found = events.find(token);
  return found == events.end() ? nullptr : found->second;
}

std::shared_ptr<DiagnosticEvent> lookupDiagnosticEvent(std::string_view token,
                                                       std::uint64_t environment) {
  std::lock_guard<std::mutex> guard(processState().processLock);  // the events table
  std::shared_ptr<DiagnosticEvent> event = findDiagnosticEvent(token);
  if (!event || event->ownerEnvironment != environment) fail("diagnostic_event_required");
  return event;
}

void closeDiagnosticEventEntry(const std::shared_ptr<DiagnosticEvent>& event) {
  event->closed.store(true);
  std::lock_guard<std::mutex> guard(processState().processLock);  // the events table
  auto& events = eventTable();
  const auto found = events.find(event->token);
  if (found != events.end() && found->second == event) events.erase(found);
}

void closeEnvironmentDiagnosticEvents(std::uint64_t environment) noexcept {
  std::lock_guard<std::mutex> guard(processState().processLock);  // the events table
  auto& events = eventTable();
  for (auto entry = events.begin(); entry != events.end();) {
    if (entry->second->ownerEnvironment == environment) {
      entry->second->closed.store(true);
      entry = events.erase(entry);
    } else {
      ++entry;
    }
  }
}

}  // namespace nuvra
