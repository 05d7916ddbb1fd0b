#include "resident/resident_rules.h"

#include <array>

#include "common/reason.h"
#include "common/text.h"

namespace nuvra {
namespace {

constexpr std::array<std::string_view, 8> kResidentStages = {
    "worker_prepare", "worker_ready", "account_validate", "account_ready",
    "account_end",    "host_prepare", "host_ready",       "publish"};

}  // namespace

std::string residentKeyText(std::string_view homeKey, std::string_view ownerSidHash,
                            std::string_view authenticationIdHash, std::uint32_t sessionId) {
  std::string text;
  text.append(homeKey).push_back('\n');
  text.append(ownerSidHash).push_back('\n');
  text.append(authenticationIdHash).push_back('\n');
  text += formatDecimal32(sessionId);
  return text;
}

std::wstring residentMutexName(std::string_view residentKey) {
  std::wstring name = L"Global\\Nuvra.Resident.V1.";
  for (char c : residentKey) name.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return name;
}

ResidentClock residentClock(std::uint64_t startTick) noexcept {
  return {startTick, startTick + kBrokerStartupWindowMs};
}

CeilingTimes ceilingTimes(const std::optional<ResidentClock>& clock, std::uint64_t now) noexcept {
  if (!clock) return {};
  CeilingTimes times;
  times.remaining = clock->ceiling > now ? clock->ceiling - now : 0;
  times.elapsed = now > clock->start ? now - clock->start : 0;
  return times;
}

bool ResidentPhaseWord::leavePending(ResidentPhase to) noexcept {
  auto expected = static_cast<std::uint32_t>(ResidentPhase::pending);
  return word_.compare_exchange_strong(expected, static_cast<std::uint32_t>(to));
}

ReservationEnd reservationEnd(bool failed, bool ceilingPassed, ResidentPhase phase) noexcept {
  if (failed) return ReservationEnd::release;
  if (phase == ResidentPhase::published) return ReservationEnd::holdUntilEnded;
  if (ceilingPassed && phase == ResidentPhase::pending) return ReservationEnd::expire;
  return ReservationEnd::release;
}

void checkResidentAvailable(std::optional<ResidentPhase> phase, bool reservationFailed,
                            bool poisoned, std::uint64_t now, std::uint64_t ceiling) {
  if (!phase || *phase != ResidentPhase::pending || reservationFailed || poisoned) {
    fail("profile_resident_unavailable");
  }
  if (now >= ceiling) fail("broker_startup_ceiling_expired");
}

void ResidentJobList::failCleanup() {
  fail("profile_cleanup_uncertain");
}
void ResidentJobList::failClose() {
  fail("profile_close_failed");
}

void checkResidentStage(std::string_view stage) {
  for (std::string_view accepted : kResidentStages) {
    if (stage == accepted) return;
  }
  fail("diagnostic_stage_invalid");
}

std::string residentStageLine(std::string_view stage, const CeilingTimes& times) {
  return RecordBuilder()
      .string("schema_version", "nuvra.resident-startup-diagnostic.v1")
      .string("scope", "resident_startup")
      .string("stage", stage)
      .number("elapsed_ms", times.elapsed)
      .number("remaining_ms", times.remaining)
      .line();
}

std::string residentStatusText(const CeilingTimes& times) {
  return RecordBuilder()
      .number("remaining_ms", static_cast<std::uint32_t>(times.remaining))
      .number("elapsed_ms", static_cast<std::uint32_t>(times.elapsed))
      .text();
}

std::string residencyObservationText(bool inJob, std::uint32_t pid, std::uint64_t creationFiletime,
                                     std::string_view imagePathSha256) {
  return RecordBuilder()
      .string("broker_scope", inJob ? "harness_session" : "machine")
      .number("pid", pid)
      .decimalString("process_creation_filetime", creationFiletime)
      .string("image_path_sha256", imagePathSha256)
      .text();
}

}  // namespace nuvra
