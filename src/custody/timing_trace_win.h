// The startup timing trace of this process. When the launcher traces an
// attempt (NUVRA_STARTUP_ATTEMPT), each checkpoint appends one line to this
// process's trace file. Tracing never fails its caller and leaves the
// thread's last-error value as it found it.
#pragma once

#include <cstdint>
#include <string_view>

#include "custody/timing_trace.h"

namespace nuvra {

// Checkpoint names recorded by native code.
inline constexpr std::string_view kCheckpointNativeProfileEntry = "native_profile_entry";
inline constexpr std::string_view kCheckpointStartupAckSent = "startup_ack_sent";
inline constexpr std::string_view kCheckpointAccountCreateProcessBefore =
    "account_createprocess_before";
inline constexpr std::string_view kCheckpointAccountCreateProcessAfter =
    "account_createprocess_after";
inline constexpr std::string_view kCheckpointManagedCreateProcessBefore =
    "managed_createprocess_before";
inline constexpr std::string_view kCheckpointManagedCreateProcessAfter =
    "managed_createprocess_after";
// One line for each time process creation is tried again.
inline constexpr std::string_view kCheckpointAccountCreateProcessRetry =
    "account_createprocess_retry";
inline constexpr std::string_view kCheckpointManagedCreateProcessRetry =
    "managed_createprocess_retry";
// Followed by the refusal's reason code.
inline constexpr std::string_view kCheckpointPublicationRefusedPrefix = "publication_refused_";

// Records `stage` at `tick` (0: now) against the process-wide line budget.
void recordCheckpoint(std::string_view stage, std::uint64_t tick = 0) noexcept;

// A retry of process creation, against a process-wide budget of its own
// (timing::kMaxRetryLines): a long-lived process uses up the shared budget
// with its launches' before and after lines, and a retry is what a reader of
// the trace most needs to see, so that creations which failed and were tried
// again never pass unseen.
void recordRetryCheckpoint(std::string_view stage) noexcept;

// The same against a given budget; the process-wide one is used above.
void recordCheckpoint(std::string_view stage, std::uint64_t tick,
                      timing::TraceLineBudget& budget) noexcept;

}  // namespace nuvra
