// What a server work knows about the request it served, as compact JSON
// text: the outcome object serverOutcome returns and the native server-owner
// evidence the work-end hook (recordWorkEnd) keeps in the terminal
// operation. Callers hold the work's lock and pass in the SHA-256 of the
// bound request line, which is taken on the Windows side.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "server/server_exchange.h"

namespace nuvra {

// Sealed, and no send of either kind pending.
bool serverCountsComplete(const ServerExchangeState& state) noexcept;

// The server outcome object; `operation` is the one the work was begun for.
std::string serverOutcomeText(const ServerExchangeState& state, std::uint64_t workId,
                              std::string_view operation);

// The server evidence; `correlationHash` is empty when unbound (then null).
std::string serverEvidenceText(const ServerExchangeState& state, std::uint64_t workId,
                               std::string_view correlationHash);

}  // namespace nuvra
