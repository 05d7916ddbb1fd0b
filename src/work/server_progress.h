// The server side's view of the request a server work serves. It lives on the
// Work, guarded by the work's state mutex; the server subsystem owns its
// meaning (server/server_exchange.h moves it, server/server_evidence.h reads
// it).
#pragma once

#include <cstdint>
#include <string>

namespace nuvra {

struct ServerExchangeState {
  std::string bound_request_line;
  // "received", "admitted" or "started".
  std::string server_phase = "received";
  std::string sealed_reason;
  // "unknown" until sealed; then "unavailable", "disabled" or "recorded".
  std::string logging_status = "unknown";
  std::uint64_t server_account_sends = 0;
  std::uint64_t server_memory_sends = 0;
  std::uint64_t account_pending = 0;
  std::uint64_t memory_pending = 0;
  std::uint64_t server_sequence = 0;
  bool terminal_sealed = false;
};

}  // namespace nuvra
