// logFileDate accepts exactly the names "nuvra-YYYYMMDD-N.jsonl" with an index
// of 0 to 3 and a real Gregorian date a FILETIME can hold, and a name it
// accepts is rebuilt unchanged by logFileName. The oracle below counts days
// its own way. The first byte picks how the rest becomes a name: as single
// bytes, as UTF-16 unit pairs, or poured into the name's shape (date bytes
// mostly become digits) with one unit then changed, inserted or dropped, so
// that real dates, near misses and every index are reached quickly. The
// same name under a directory gives its day's four paths exactly when it is
// a log file name, a dropped name is one of those with the rotation's suffix,
// and the raw bytes read as a lowered rotation size never raise the limit.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accepting_branch.h"
#include "diagnostics/log_rules.h"

namespace {

nuvra::fuzzing::AcceptingBranch acceptedName("log_file_name");

bool leap(unsigned year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool realDate(unsigned year, unsigned month, unsigned day) {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1601 || month < 1 || month > 12 || day < 1) return false;
  return day <= kDays[month - 1] + (month == 2 && leap(year) ? 1u : 0u);
}

std::optional<std::string> expectedDate(const std::wstring& name) {
  if (name.size() != 22 || name.compare(0, 6, L"nuvra-") != 0 ||
      name.compare(16, 6, L".jsonl") != 0 || name[14] != L'-' || name[15] < L'0' ||
      name[15] > L'3') {
    return std::nullopt;
  }
  std::string date;
  unsigned values[3] = {0, 0, 0};
  for (std::size_t i = 6; i < 14; ++i) {
    if (name[i] < L'0' || name[i] > L'9') return std::nullopt;
    const unsigned digit = static_cast<unsigned>(name[i] - L'0');
    values[i < 10 ? 0 : (i < 12 ? 1 : 2)] = values[i < 10 ? 0 : (i < 12 ? 1 : 2)] * 10 + digit;
    date.push_back(static_cast<char>('0' + digit));
  }
  if (!realDate(values[0], values[1], values[2])) return std::nullopt;
  return date;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::wstring name;
  switch (data[0] % 3) {
    case 0:
      for (std::size_t i = 1; i < size; ++i) name.push_back(static_cast<wchar_t>(data[i]));
      break;
    case 1:
      for (std::size_t i = 1; i + 1 < size; i += 2) {
        name.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
      }
      break;
    default: {
      if (size < 11) return 0;
      name = L"nuvra-";
      for (std::size_t i = 1; i <= 8; ++i) {
        name.push_back(static_cast<wchar_t>(data[i] < 250 ? '0' + data[i] % 10 : data[i]));
      }
      name.push_back(L'-');
      name.push_back(static_cast<wchar_t>(data[9] < 240 ? '0' + data[9] % 5 : data[9]));
      name += L".jsonl";
      if (size >= 13) {
        const std::size_t at = data[11] % 24u;
        const auto unit = static_cast<wchar_t>(data[12] | (size >= 14 ? data[13] << 8 : 0));
        if (data[10] % 3 == 0 && at < name.size()) name[at] = unit;
        if (data[10] % 3 == 1) name.insert(std::min<std::size_t>(at, name.size()), 1, unit);
        if (data[10] % 3 == 2 && at < name.size()) name.erase(at, 1);
      }
    }
  }
  const std::optional<std::string> date = nuvra::logFileDate(name);
  if (date != expectedDate(name)) std::abort();
  if (date && nuvra::logFileName(*date, static_cast<unsigned>(name[15] - L'0')) != name)
    std::abort();
  // A name holding a backslash is a path of its own: the day's names are
  // taken from its last part, which the checks above do not describe.
  if (name.find(L'\\') == std::wstring::npos) {
    const std::vector<std::wstring> day = nuvra::dayLogPaths(L"C:\\h\\logs\\" + name);
    if (day.size() != (date ? 4u : 0u)) std::abort();
    if (date && day[static_cast<std::size_t>(name[15] - L'0')] != L"C:\\h\\logs\\" + name)
      std::abort();
  }
  // A dropped name is a log file name, a dot, sixteen lowercase hex digits
  // and ".dropped"; every log file name dropped is one, and nothing else.
  const bool dropped = nuvra::isDroppedLogFileName(name);
  if (dropped) {
    const std::wstring_view index = std::wstring_view(name).substr(23, 16);
    if (!nuvra::logFileDate(name.substr(0, 22)) || name.compare(39, 8, L".dropped") != 0 ||
        index.find_first_not_of(L"0123456789abcdef") != std::wstring_view::npos) {
      std::abort();
    }
  }
  if (date && !nuvra::isDroppedLogFileName(
                  nuvra::droppedLogPath(name, static_cast<std::uint32_t>(size), data[0])))
    std::abort();
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::uint64_t limit = nuvra::loweredLogFileLimit(text);
  while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
  if (limit != nuvra::kLogFileLimit &&
      (limit < 16384 || limit > nuvra::kLogFileLimit || std::to_string(limit) != text)) {
    std::abort();
  }
  if (date) acceptedName.reached();
  return 0;
}
