#include "common/text.h"

#include <charconv>
#include <stdexcept>

#include "common/reason.h"

namespace nuvra {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

template <typename Number>
std::string formatDecimal(Number value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return std::string(buffer, result.ptr);
}

}  // namespace

std::string formatDecimal32(std::uint32_t value) {
  return formatDecimal(value);
}
std::string formatDecimal64(std::uint64_t value) {
  return formatDecimal(value);
}

std::uint64_t parseDecimal64(std::string_view text) {
  if (text.empty() || text.size() > 20 || text.front() == '0') fail("profile_integer");
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') fail("profile_integer");
  }
  auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec == std::errc::result_out_of_range) {
    throw std::out_of_range("stoull argument out of range");
  }
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) {
    fail("profile_integer");
  }
  return value;
}

std::string hexLower(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    out.push_back(kHexDigits[byte >> 4]);
    out.push_back(kHexDigits[byte & 0x0f]);
  }
  return out;
}

std::wstring hexLowerWide(std::string_view bytes) {
  std::string narrow = hexLower(bytes);
  return std::wstring(narrow.begin(), narrow.end());
}

std::string hex64(std::uint32_t high, std::uint32_t low) {
  std::string out(16, '0');
  for (int i = 0; i < 8; ++i) {
    out[static_cast<std::size_t>(7 - i)] = kHexDigits[(high >> (4 * i)) & 0x0f];
    out[static_cast<std::size_t>(15 - i)] = kHexDigits[(low >> (4 * i)) & 0x0f];
  }
  return out;
}

std::string fileIdentityText(std::uint32_t volumeSerial, std::uint32_t indexHigh,
                             std::uint32_t indexLow) {
  std::string serial = hex64(0, volumeSerial).substr(8);
  return serial + ":" + hex64(indexHigh, indexLow);
}

std::string jsonString(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + 2);
  out.push_back('"');
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20) {
      out += "\\u00";
      out.push_back(kHexDigits[byte >> 4]);
      out.push_back(kHexDigits[byte & 0x0f]);
    } else if (byte == '"' || byte == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(byte));
    } else {
      out.push_back(static_cast<char>(byte));
    }
  }
  out.push_back('"');
  return out;
}

RecordBuilder& RecordBuilder::key(std::string_view name) {
  if (text_.size() > 1) text_.push_back(',');
  text_.push_back('"');
  text_.append(name);
  text_ += "\":";
  return *this;
}

RecordBuilder& RecordBuilder::string(std::string_view name, std::string_view value) {
  key(name).text_ += jsonString(value);
  return *this;
}

RecordBuilder& RecordBuilder::number(std::string_view name, std::uint64_t value) {
  key(name).text_ += formatDecimal64(value);
  return *this;
}

RecordBuilder& RecordBuilder::decimalString(std::string_view name, std::uint64_t value) {
  key(name).text_ += "\"" + formatDecimal64(value) + "\"";
  return *this;
}

RecordBuilder& RecordBuilder::boolean(std::string_view name, bool value) {
  key(name).text_ += value ? "true" : "false";
  return *this;
}

RecordBuilder& RecordBuilder::null(std::string_view name) {
  key(name).text_ += "null";
  return *this;
}

RecordBuilder& RecordBuilder::stringOrNull(std::string_view name, std::string_view value) {
  return value.empty() ? null(name) : string(name, value);
}

RecordBuilder& RecordBuilder::raw(std::string_view name, std::string_view json) {
  key(name).text_.append(json);
  return *this;
}

std::wstring quoteArgument(std::wstring_view argument) {
  std::wstring out(1, L'"');
  std::size_t pendingBackslashes = 0;
  for (wchar_t unit : argument) {
    if (unit == L'\\') {
      ++pendingBackslashes;
    } else if (unit == L'"') {
      out.append(2 * pendingBackslashes + 1, L'\\');
      out.push_back(L'"');
      pendingBackslashes = 0;
    } else {
      out.append(pendingBackslashes, L'\\');
      out.push_back(unit);
      pendingBackslashes = 0;
    }
  }
  out.append(2 * pendingBackslashes, L'\\');
  out.push_back(L'"');
  return out;
}

void GuardArrayBuilder::add(std::uint64_t handle, std::string_view pathUtf8, std::uint32_t volume,
                            std::uint64_t fileId) {
  if (!empty()) text_.push_back(',');
  text_ += RecordBuilder()
               .decimalString("handle", handle)
               .string("path", pathUtf8)
               .number("volume", volume)
               .decimalString("file_id", fileId)
               .text();
}

}  // namespace nuvra
