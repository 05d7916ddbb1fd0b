// The version 2 progress of a client work and the rules that move it: the
// request binding, the dispatch mark and the phase frames the broker answers
// with. The Work owns one ExchangeProgress under its state mutex; the native
// exchange calls these with that mutex held, and the evidence builders
// (client_evidence.h) read the same struct.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common/wipe.h"
#include "work/exchange_progress.h"

namespace nuvra {

// A version 2 answer is at most this many phase frames.
constexpr std::size_t kPhaseFrameLimit = 32;
// A phase frame header, without its line feed.
constexpr std::size_t kPhaseHeaderLimit = 1024;

// An exchange may not start once the client dispatch is closed:
// "profile_startup_timeout".
void checkDispatchOpen(const ExchangeProgress& progress);

// One version 2 request per work: a second is "broker_native_protocol_refused".
void bindRequestLine(ExchangeProgress& progress, std::string_view requestLine,
                     std::string_view operation);

// Before every write of version 2 request bytes, after the caller's validity
// and deadline checks: a closed dispatch is "profile_startup_timeout";
// otherwise the request counts as dispatched from its first byte on.
void markDispatched(ExchangeProgress& progress);

// Before every write of a version 1 request on a client work: the same
// dispatch check, and the request counts as dispatched, so that it is never
// later reported as proven not dispatched. The version 2 progress stays as
// it was.
void markVersion1Dispatched(ExchangeProgress& progress);

// Before reading a phase frame: after 32 frames none is read and the
// exchange is "broker_native_protocol_refused".
void checkPhaseFrameCount(std::size_t framesRead);

// The fields of a phase frame that passed the layout and field rules; views
// into the frame.
struct PhaseFrame {
  std::string_view echo;  // fields 1 to 7 joined by tabs
  std::string_view request_id;
  std::string_view operation;
  std::string_view broker_instance;
  std::string_view server_work;  // a positive decimal or "-"
  std::uint64_t sequence = 0;
  std::string_view phase;
  std::string_view server_reason;
  std::uint64_t account_send_count = 0;
  std::uint64_t memory_send_count = 0;
  std::string_view effect_certainty;
  bool final = false;  // terminal flag "1"
  std::string_view body;
};

// Header line (at most 1024 bytes of tab and 0x20..0x7E, 16 fields), LF,
// body. Any defect is "broker_native_protocol_refused".
PhaseFrame parsePhaseFrame(std::string_view frame);

// The body a final frame carrying a failure reason must hold:
// {"broker_instance":..,"error_code":reason,"failure_reason":reason,"ok":false,
//  "operation":..,"request_id":..,"schema_version":"nuvra.windows-memory-broker.v1"}
std::string brokerFailureBody(std::string_view brokerInstance, std::string_view reason,
                              std::string_view operation, std::string_view requestId);

// The checks a phase frame runs against the work and the clock: the work
// validity check followed by the deadline check, and the deadline check alone.
struct PhaseFrameChecks {
  std::function<void()> workValidAndDeadline;
  std::function<void()> deadline;
};

// Processes one phase frame with the work's state mutex held. A final
// frame's body goes into `responseBytes`. Returns true when the frame was
// final. A frame that is refused, or whose check throws, changes neither the
// progress nor `responseBytes`.
bool acceptPhaseFrame(ExchangeProgress& progress, std::string_view frame,
                      const PhaseFrameChecks& checks, WipedBytes& responseBytes);

}  // namespace nuvra
