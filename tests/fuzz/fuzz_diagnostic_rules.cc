// The diagnostic text rules hold for any input: a name accepted as a log file
// name is rebuilt exactly from its date and index and names a real date; the
// lines of an accepted text rebuild the text and keep their bounds; a level
// other than the three words leaves logging fully on; the retention cutoff
// of a real date is a real date six days earlier.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "accepting_branch.h"
#include "common/reason.h"
#include "diagnostics/event.h"
#include "diagnostics/log_rules.h"

namespace {

nuvra::fuzzing::AcceptingBranch logFileName("log_file_name");
nuvra::fuzzing::AcceptingBranch diagnosticText("diagnostic_text");

void checkName(std::string_view bytes) {
  std::wstring name;
  for (char c : bytes) name.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  const auto date = nuvra::logFileDate(name);
  if (!date) return;
  const auto index = static_cast<unsigned>(name[15] - L'0');
  if (index > 3 || nuvra::logFileName(*date, index) != name) std::abort();
  const nuvra::CalendarDate parsed{static_cast<unsigned>(std::stoul(date->substr(0, 4))),
                                   static_cast<unsigned>(std::stoul(date->substr(4, 2))),
                                   static_cast<unsigned>(std::stoul(date->substr(6, 2)))};
  if (!nuvra::isCalendarDate(parsed) || nuvra::dateText(parsed) != *date) std::abort();
  const std::string cutoff = nuvra::retentionCutoffText(parsed);
  if (parsed.year > 1601 && !(cutoff < *date)) std::abort();
  logFileName.reached();
}

void checkLines(std::string_view text) {
  try {
    const auto lines = nuvra::diagnosticLines(text);
    if (lines.empty() || lines.size() > nuvra::kDiagnosticLineLimit) std::abort();
    std::string rebuilt;
    for (std::string_view line : lines) {
      if (line.empty() || line.size() + 1 > nuvra::kDiagnosticLineBytes) std::abort();
      if (line.find('\n') != std::string_view::npos) std::abort();
      rebuilt.append(line);
      rebuilt.push_back('\n');
    }
    if (rebuilt != text) std::abort();
    diagnosticText.reached();
  } catch (const nuvra::ProfileError& error) {
    if (std::string_view(error.what()) != "diagnostic_record_invalid") std::abort();
  }
}

void checkLevel(std::string_view bytes) {
  std::wstring value;
  for (char c : bytes) value.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  const nuvra::LogLevel level = nuvra::parseLogLevel(std::wstring_view(value));
  const bool named = value == L"off" || value == L"summary" || value == L"errors";
  if (!named && level != nuvra::LogLevel::everything) std::abort();
  if ((level == nuvra::LogLevel::off) != (value == L"off")) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  checkName(input);
  // The same bytes shaped as a log file name, so that dates are reached.
  if (size >= 9) {
    std::string shaped = "nuvra-";
    for (std::size_t i = 0; i < 8; ++i) shaped.push_back(static_cast<char>('0' + data[i] % 10));
    shaped += "-";
    shaped.push_back(static_cast<char>('0' + data[8] % 5));
    shaped += ".jsonl";
    checkName(shaped);
  }
  checkLines(input);
  checkLevel(input);
  return 0;
}
