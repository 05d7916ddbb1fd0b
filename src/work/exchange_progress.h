// The version 2 exchange progress of a client work. It lives on the Work,
// guarded by the work's state mutex; the exchange subsystem owns its meaning
// (exchange/phase_frame.h moves it, exchange/client_evidence.h reads it).
#pragma once

#include <cstdint>
#include <string>

namespace nuvra {

struct ExchangeProgress {
  bool dispatch_closed = false;
  bool dispatch_submitted = false;
  // A final phase frame was accepted.
  bool terminal_observed = false;
  // Empty until a version 2 request is bound.
  std::string request_line;
  std::string operation;
  // "never_sent", "sent", "received", "admitted", "started", "terminal",
  // "refused_queue" or "refused_arrival".
  std::string last_verified_phase = "never_sent";
  std::string server_reason;
  std::string server_work;
  std::uint64_t sequence = 0;
  std::uint64_t account_send_count = 0;
  std::uint64_t memory_send_count = 0;
};

}  // namespace nuvra
