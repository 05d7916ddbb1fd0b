// The field rules shared by every tab-separated line of the broker exchange:
// the endpoint descriptor, the version 2 request line, phase frame headers
// and the server's binding of a request line. Pure functions; the descriptor,
// frame and binding parsers here and in server/ are their only callers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace nuvra {

// Every byte is a tab or printable ASCII 0x20..0x7E.
bool isWireLineText(std::string_view text) noexcept;

// Splits at every tab; adjacent tabs give empty fields, so "a\t\tb" has three.
std::vector<std::string_view> splitWireFields(std::string_view line);

// Exactly `digits` characters, all from "0123456789abcdef".
bool isLowerHex(std::string_view text, std::size_t digits) noexcept;

// A decimal field: 1 to 20 ASCII digits and nothing else, leading zeros
// accepted, the value within [minimum, maximum]:
//   "0007"  min 1       7
//   "0"     min 1       (none)
//   "+7" " 7" ""         (none)
//   "18446744073709551616"   (none: above 2^64-1)
std::optional<std::uint64_t> wireDecimal(std::string_view text, std::uint64_t minimum,
                                         std::uint64_t maximum) noexcept;

// 36 characters with "-" at positions 8, 13, 18 and 23 (the other characters
// are not examined): the shape a server accepts in a bound request line.
bool hasRequestIdShape(std::string_view text) noexcept;

// A request id as a client sends it: the shape above, and with every "-"
// removed exactly 32 lowercase hexadecimal digits remain.
//   0123abcd-0123-4567-89ab-0123456789ab   accepted
//   0123ABCD-0123-4567-89ab-0123456789ab   refused (upper case)
//   0123abcd0-123-4567-89ab-0123456789ab   refused (dash moved)
bool isRequestId(std::string_view text) noexcept;

}  // namespace nuvra
