// The kinds of promise job and the rule that decides how a completed job's
// promise settles. Portable, so the rule is host-tested.
#pragma once

#include <cstdint>
#include <string_view>

namespace nuvra {

// Values are part of the interface (they appear in diagnostics and tests).
enum class JobKind : std::int32_t {
  kBeginWork = 0,
  kSpawnChild = 1,
  kEndWork = 2,
  kDisposeChild = 3,
  kCheckWorkBinding = 4,
  kObserveIdentity = 5,
  kObserveResidency = 6,
  kExchange = 7,
  kAppendDiagnostic = 8,
  kPrepareAccountWorker = 9,
  kReadyAccountWorker = 10,
  kAdoptAccountWorker = 11,
  kReleaseAccountWorker = 12,
  kSpawnResidentHost = 13,
  kPublishResident = 14,
  kPrepareTerminal = 15,
  kCommitTerminal = 16,
};

inline constexpr std::int32_t kJobKindCount = 17;

inline constexpr bool isJobKind(std::int32_t value) noexcept {
  return value >= 0 && value < kJobKindCount;
}

// Kinds whose diagnostic log writer is closed after every execute step.
inline constexpr bool writesDiagnosticLog(JobKind kind) noexcept {
  return kind == JobKind::kAppendDiagnostic || kind == JobKind::kPrepareTerminal;
}

// How a completed job settles before any value is built. Empty: build the
// value and resolve. Otherwise the reason to reject with:
//   Node cancelled the work            "profile_native_cancelled" (even after a
//                                      successful execute step)
//   the execute step stored a reason   exactly that reason
// `storedError` must outlive the returned view.
std::string_view settlementFailure(bool completedByNode, std::string_view storedError) noexcept;

}  // namespace nuvra
