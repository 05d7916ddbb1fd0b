// What an earlier resident may leave in the broker's folder of a product
// home, and when it is proven stale: the portable decisions of the broker
// executable's recovery (before a resident publishes, and after a resident
// ended its host) and of the home check.
//
// Publication refuses while any "endpoint*" file is there and never removes
// one, so a home could publish only once. A file is removed only on proof:
// the record when a process it names no longer lives (its pid now names no
// process, an exited one, or one created at another time), the temporary
// file when no publication can still be writing it. Anything the proof does
// not reach (a record of another home or user, one naming live processes,
// a process that cannot be asked, a name publication never makes) stays.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "resident/resident_rules.h"

namespace nuvra {

// A name in "\state\broker", ASCII letters compared ignoring case as the
// file system compares them:
//   "endpoint.json"                      record
//   "endpoint." + 64 hex + ".tmp"        temporary
//   "endpoint.json.bak", "endpoint.x"    other (refuses publication; never
//                                        removed: no publication makes it)
enum class BrokerFileKind { record, temporary, other };
BrokerFileKind classifyBrokerFile(std::string_view name) noexcept;

// What could be learnt of the process a record names by its pid.
struct ProcessLook {
  enum class Open { opened, noSuchProcess, refused };
  Open open = Open::refused;
  bool exited = false;   // opened: its handle is signalled
  std::string creation;  // opened: decimal FILETIME of its creation; empty when unreadable
};

// live: that pid still names the process created at the recorded time.
// gone: no process has the pid, or it has exited, or the pid now names a
//       process created at another time (the recorded one ended).
// unknown: it could not be asked; nothing is proven.
//   open            exited  creation  recorded  fate
//   noSuchProcess   -       -         "5"       gone
//   refused         -       -         "5"       unknown
//   opened          yes     "5"       "5"       gone
//   opened          no      ""        "5"       unknown
//   opened          no      "6"       "5"       gone
//   opened          no      "5"       "5"       live
enum class ProcessFate { live, gone, unknown };
ProcessFate processFate(const ProcessLook& look, std::string_view recordedCreation) noexcept;

// The record's staleness, once the client's reading of it ran. Only a record
// the reading accepted up to its processes (for this home, user, logon,
// session, device binding and runtime) can be proven stale; the broker is
// asked first, then the runtime that published it (a client asks the
// runtime only when the broker holds, so `runtime` is unknown otherwise).
//   reached  broker   runtime  staleness
//   no       -        -        unproven
//   yes      gone     -        brokerGone
//   yes      live     gone     runtimeGone
//   yes      unknown  gone     runtimeGone
//   yes      live     live     live
//   yes      live     unknown  live
enum class RecordStaleness { live, brokerGone, runtimeGone, unproven };
RecordStaleness recordStaleness(bool reachedProcesses, ProcessFate broker,
                                ProcessFate runtime) noexcept;

// A publication writes its temporary file between its first native call and
// its ceiling, 3,000 ms later, and by then its runtime has published (the
// file is renamed away) or ends (Expire). The margin covers what the ceiling
// does not: Expire terminating the jobs before the process, file times kept
// in coarse steps, and small corrections of the system clock.
inline constexpr std::uint64_t kTemporaryEndpointMarginMs = 2000;
inline constexpr std::uint64_t kStaleTemporaryEndpointMs =
    kBrokerStartupWindowMs + kTemporaryEndpointMarginMs;

// FILETIME ticks (100 ns). Stale when the file was last written more than
// kStaleTemporaryEndpointMs before now; a time after now (a clock set back)
// proves nothing.
//   now - written = 5,000 ms      fresh
//   now - written = 5,000.1 ms    stale
//   written after now             fresh
bool temporaryEndpointStale(std::uint64_t nowFiletime, std::uint64_t writtenFiletime) noexcept;
// Whole milliseconds from `writtenFiletime` to `nowFiletime`, 0 when negative.
std::uint64_t fileAgeMs(std::uint64_t nowFiletime, std::uint64_t writtenFiletime) noexcept;

// Why a removed file was stale, as the diagnostic names it.
inline constexpr std::string_view kStaleBrokerExited = "broker_exited";
inline constexpr std::string_view kStaleRuntimeExited = "runtime_exited";
inline constexpr std::string_view kStaleTemporaryExpired = "temporary_expired";

// The resident startup diagnostic line of one removal, with a line feed:
//   {"schema_version":"nuvra.resident-startup-diagnostic.v1","scope":"resident_startup",
//    "stage":"stale_endpoint_removed","file":<relative path>,"stale":<why>,
//    "pid":N | "age_ms":N}
// `pid` (the process that no longer lives) for a record, `age_ms` for a
// temporary file.
std::string staleRecordRemovedLine(std::string_view file, RecordStaleness why, std::uint32_t pid);
std::string staleTemporaryRemovedLine(std::string_view file, std::uint64_t ageMs);

}  // namespace nuvra
