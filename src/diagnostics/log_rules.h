// Naming, dating, sizing and switching rules of the daily diagnostic log
// files. Pure functions, callable from any thread; the file steps that use
// them live in log_writer_win.cc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nuvra {

// A file may hold at most this many bytes once the append is done.
constexpr std::uint64_t kLogFileLimit = 0x100000;
// Indexes 0 (being written) to 3 (oldest rotation) of one day.
constexpr unsigned kLogRotations = 3;
// The current day and the six before it survive retention.
constexpr unsigned kLogRetentionDays = 6;
// Entries the retention scan may meet before it refuses.
constexpr unsigned kLogScanLimit = 64;

struct CalendarDate {
  unsigned year = 0;
  unsigned month = 0;
  unsigned day = 0;
};

// True when the date can be written as a FILETIME and read back unchanged:
// Gregorian, years 1601 to 30827, a day that exists in its month.
bool isCalendarDate(const CalendarDate& date) noexcept;

// "%04u%02u%02u"
std::string dateText(const CalendarDate& date);

// The calendar date `days` days before `date` (a valid date).
CalendarDate daysBefore(const CalendarDate& date, unsigned days);

// The date text below which a log file is deleted: today minus six days.
std::string retentionCutoffText(const CalendarDate& today);

// "nuvra-" + date + "-" + index + ".jsonl"
std::wstring logFileName(std::string_view date, unsigned index);

// The date text of a log file name, or nothing when the name is not one:
//   nuvra-20261208-0.jsonl   20261208
//   nuvra-20260230-0.jsonl   (none: there is no 30 February)
//   nuvra-20261208-4.jsonl   (none: index above 3)
//   nuvra-2026128-0.jsonl    (none: 21 characters)
std::optional<std::string> logFileDate(std::wstring_view name);

// True when a file of `currentSize` bytes cannot take `textLength` more
// within `limit` (the day's limit unless the test bed lowered it). A file
// already past the limit always rotates: terminal records are appended
// through the file their checkpoint went to, past this check, so a day's file
// may hold any number of them beyond the limit, and such a file is still the
// day's. Refusing it instead would refuse every write of the home until the
// date changes.
bool needsRotation(std::uint64_t currentSize, std::uint64_t textLength,
                   std::uint64_t limit = kLogFileLimit) noexcept;

// The limit a file in the home "log-rotation-size" (decimal bytes) asks for,
// read only by the test bed's build: a lower limit that still takes a
// terminal record, else the day's limit.
//   "65536"    65536          "1048577"  1048576 (never raised)
//   "4096"     1048576        "64k"      1048576
std::uint64_t loweredLogFileLimit(std::string_view text) noexcept;

// The four names a log file of the day of `path` can have, in the same
// directory, oldest index last; none when `path` does not end in a log file
// name. A rotation moves a file among these names; a file under any other
// name has been moved away or dropped.
//   C:\h\logs\nuvra-20261208-2.jsonl  C:\h\logs\nuvra-20261208-0.jsonl ... -3.jsonl
//   C:\h\logs\day.jsonl               (none)
std::vector<std::wstring> dayLogPaths(std::wstring_view path);

// The name a rotation moves the oldest index to before it drops it: its own
// name, the file's index on its volume and ".dropped", so that two files
// dropped while still held never meet under one name.
//   (C:\h\logs\nuvra-20261208-3.jsonl, 0x1a, 0x2b)
//       C:\h\logs\nuvra-20261208-3.jsonl.0000001a0000002b.dropped
std::wstring droppedLogPath(std::wstring_view path, std::uint32_t indexHigh,
                            std::uint32_t indexLow);

// True when `name` is what droppedLogPath gives for a log file name: a kill
// between a rotation's move aside and the delete leaves such a file, which
// the writer collects later and which is never a day's log.
//   nuvra-20261208-3.jsonl.0000001a0000002b.dropped   true
//   nuvra-20261208-3.jsonl.0000001A0000002b.dropped   false (as written, lowercase)
//   nuvra-20261208-4.jsonl.0000001a0000002b.dropped   false (no log file name)
//   nuvra-20261208-3.jsonl.1a.dropped                 false
bool isDroppedLogFileName(std::wstring_view name) noexcept;

// What `NUVRA_AUTH_LOG_LEVEL` asks for.
enum class LogLevel {
  everything,    // absent, or any value not named below
  failuresOnly,  // "summary" or "errors": successful stage records are not written
  off,           // exactly "off": nothing is written
};

// `value` is the variable's text, or nothing when it is absent or does not
// fit the 16-unit buffer it is read into. Matching is exact: no trimming, no
// case folding, so "OFF" and "off " leave logging on.
LogLevel parseLogLevel(std::optional<std::wstring_view> value) noexcept;

}  // namespace nuvra
