#include "diagnostics/log_rules.h"

#include <array>

namespace nuvra {
namespace {

constexpr unsigned kFirstFiletimeYear = 1601;
constexpr unsigned kLastFiletimeYear = 30827;

bool isLeapYear(unsigned year) noexcept {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned daysInMonth(unsigned year, unsigned month) noexcept {
  constexpr std::array<unsigned, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && isLeapYear(year)) return 29;
  return kDays[month - 1];
}

void appendDigits(std::string& out, unsigned value, unsigned width) {
  std::string digits = std::to_string(value);
  if (digits.size() < width) out.append(width - digits.size(), '0');
  out += digits;
}

bool isDigit(wchar_t unit) noexcept {
  return unit >= L'0' && unit <= L'9';
}

unsigned digitsValue(std::wstring_view digits) noexcept {
  unsigned value = 0;
  for (wchar_t unit : digits) value = value * 10 + static_cast<unsigned>(unit - L'0');
  return value;
}

}  // namespace

bool isCalendarDate(const CalendarDate& date) noexcept {
  if (date.year < kFirstFiletimeYear || date.year > kLastFiletimeYear) return false;
  if (date.month < 1 || date.month > 12) return false;
  return date.day >= 1 && date.day <= daysInMonth(date.year, date.month);
}

std::string dateText(const CalendarDate& date) {
  std::string out;
  appendDigits(out, date.year, 4);
  appendDigits(out, date.month, 2);
  appendDigits(out, date.day, 2);
  return out;
}

CalendarDate daysBefore(const CalendarDate& date, unsigned days) {
  CalendarDate result = date;
  for (unsigned i = 0; i < days; ++i) {
    if (result.day > 1) {
      --result.day;
      continue;
    }
    if (result.month > 1) {
      --result.month;
    } else {
      result.month = 12;
      --result.year;
    }
    result.day = daysInMonth(result.year, result.month);
  }
  return result;
}

std::string retentionCutoffText(const CalendarDate& today) {
  return dateText(daysBefore(today, kLogRetentionDays));
}

std::wstring logFileName(std::string_view date, unsigned index) {
  std::wstring name = L"nuvra-";
  name.append(date.begin(), date.end());
  name += L'-';
  name += static_cast<wchar_t>(L'0' + index);
  name += L".jsonl";
  return name;
}

std::optional<std::string> logFileDate(std::wstring_view name) {
  // 0-5 "nuvra-", 6-13 date, 14 "-", 15 index 0-3, 16-21 ".jsonl".
  if (name.size() != 22) return std::nullopt;
  if (name.substr(0, 6) != L"nuvra-" || name.substr(16) != L".jsonl") return std::nullopt;
  if (name[14] != L'-' || name[15] < L'0' || name[15] > L'3') return std::nullopt;
  const std::wstring_view digits = name.substr(6, 8);
  for (wchar_t unit : digits) {
    if (!isDigit(unit)) return std::nullopt;
  }
  const CalendarDate date{digitsValue(digits.substr(0, 4)), digitsValue(digits.substr(4, 2)),
                          digitsValue(digits.substr(6, 2))};
  if (!isCalendarDate(date)) return std::nullopt;
  return std::string(digits.begin(), digits.end());
}

bool needsRotation(std::uint64_t currentSize, std::uint64_t textLength,
                   std::uint64_t limit) noexcept {
  return currentSize > limit || textLength > limit - currentSize;
}

std::uint64_t loweredLogFileLimit(std::string_view text) noexcept {
  // Below this a file could not take a checkpoint, a few stage records and
  // the terminal record after them, and every write would rotate.
  constexpr std::uint64_t kFloor = 16384;
  if (text.empty() || text.size() > 7) return kLogFileLimit;
  std::uint64_t value = 0;
  for (char unit : text) {
    if (unit < '0' || unit > '9') return kLogFileLimit;
    value = value * 10 + static_cast<std::uint64_t>(unit - '0');
  }
  return value >= kFloor && value < kLogFileLimit ? value : kLogFileLimit;
}

std::vector<std::wstring> dayLogPaths(std::wstring_view path) {
  const std::size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring_view::npos) return {};
  const std::optional<std::string> date = logFileDate(path.substr(slash + 1));
  if (!date) return {};
  std::vector<std::wstring> paths;
  for (unsigned index = 0; index <= kLogRotations; ++index) {
    paths.push_back(std::wstring(path.substr(0, slash + 1)) + logFileName(*date, index));
  }
  return paths;
}

std::wstring droppedLogPath(std::wstring_view path, std::uint32_t indexHigh,
                            std::uint32_t indexLow) {
  constexpr wchar_t kHex[] = L"0123456789abcdef";
  std::wstring out(path);
  out += L'.';
  for (const std::uint32_t word : {indexHigh, indexLow}) {
    for (int shift = 28; shift >= 0; shift -= 4) out += kHex[(word >> shift) & 0xF];
  }
  out += L".dropped";
  return out;
}

bool isDroppedLogFileName(std::wstring_view name) noexcept {
  constexpr std::size_t kNameLength = 22;
  constexpr std::size_t kIndexDigits = 16;
  constexpr std::wstring_view kSuffix = L".dropped";
  if (name.size() != kNameLength + 1 + kIndexDigits + kSuffix.size()) return false;
  if (name[kNameLength] != L'.' || name.substr(kNameLength + 1 + kIndexDigits) != kSuffix) {
    return false;
  }
  for (const wchar_t unit : name.substr(kNameLength + 1, kIndexDigits)) {
    if (!isDigit(unit) && (unit < L'a' || unit > L'f')) return false;
  }
  try {
    return logFileDate(name.substr(0, kNameLength)).has_value();
  } catch (...) {
    return false;
  }
}

LogLevel parseLogLevel(std::optional<std::wstring_view> value) noexcept {
  if (!value) return LogLevel::everything;
  if (*value == L"off") return LogLevel::off;
  if (*value == L"summary" || *value == L"errors") return LogLevel::failuresOnly;
  return LogLevel::everything;
}

}  // namespace nuvra
