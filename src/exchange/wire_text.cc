#include "exchange/wire_text.h"

#include <charconv>

namespace nuvra {

bool isWireLineText(std::string_view text) noexcept {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte != 0x09 && (byte < 0x20 || byte > 0x7e)) return false;
  }
  return true;
}

std::vector<std::string_view> splitWireFields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t begin = 0;
  while (true) {
    const std::size_t tab = line.find('\t', begin);
    if (tab == std::string_view::npos) {
      fields.push_back(line.substr(begin));
      return fields;
    }
    fields.push_back(line.substr(begin, tab - begin));
    begin = tab + 1;
  }
}

bool isLowerHex(std::string_view text, std::size_t digits) noexcept {
  if (text.size() != digits) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::optional<std::uint64_t> wireDecimal(std::string_view text, std::uint64_t minimum,
                                         std::uint64_t maximum) noexcept {
  if (text.empty() || text.size() > 20) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  std::uint64_t value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
  if (value < minimum || value > maximum) return std::nullopt;
  return value;
}

bool hasRequestIdShape(std::string_view text) noexcept {
  return text.size() == 36 && text[8] == '-' && text[13] == '-' && text[18] == '-' &&
         text[23] == '-';
}

bool isRequestId(std::string_view text) noexcept {
  if (!hasRequestIdShape(text)) return false;
  std::size_t digits = 0;
  for (char c : text) {
    if (c == '-') continue;
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    ++digits;
  }
  return digits == 32;
}

}  // namespace nuvra
