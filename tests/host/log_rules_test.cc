#include "diagnostics/log_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nuvra {
namespace {

TEST(LogLevel, OnlyTheExactWordOffSwitchesLoggingOff) {
  EXPECT_EQ(parseLogLevel(std::wstring_view(L"off")), LogLevel::off);
  EXPECT_EQ(parseLogLevel(std::wstring_view(L"OFF")), LogLevel::everything);
  EXPECT_EQ(parseLogLevel(std::wstring_view(L"off ")), LogLevel::everything);
  EXPECT_EQ(parseLogLevel(std::wstring_view(L" off")), LogLevel::everything);
  EXPECT_EQ(parseLogLevel(std::wstring_view(L"")), LogLevel::everything);
  EXPECT_EQ(parseLogLevel(std::nullopt), LogLevel::everything);
}

TEST(LogLevel, SummaryAndErrorsKeepOnlyFailures) {
  EXPECT_EQ(parseLogLevel(std::wstring_view(L"summary")), LogLevel::failuresOnly);
  EXPECT_EQ(parseLogLevel(std::wstring_view(L"errors")), LogLevel::failuresOnly);
  EXPECT_EQ(parseLogLevel(std::wstring_view(L"Errors")), LogLevel::everything);
  EXPECT_EQ(parseLogLevel(std::wstring_view(L"verbose")), LogLevel::everything);
}

TEST(LogFileName, IsBuiltFromDateAndIndex) {
  EXPECT_EQ(logFileName("20261208", 0), L"nuvra-20261208-0.jsonl");
  EXPECT_EQ(logFileName("20261208", 3), L"nuvra-20261208-3.jsonl");
}

TEST(LogFileName, AcceptsTheFourIndexesOfARealDate) {
  for (const wchar_t* name : {L"nuvra-20261208-0.jsonl", L"nuvra-20261208-1.jsonl",
                              L"nuvra-20261208-2.jsonl", L"nuvra-20261208-3.jsonl"}) {
    ASSERT_TRUE(logFileDate(name).has_value());
    EXPECT_EQ(*logFileDate(name), "20261208");
  }
  EXPECT_EQ(*logFileDate(L"nuvra-20240229-0.jsonl"), "20240229");
  EXPECT_EQ(*logFileDate(L"nuvra-16010101-0.jsonl"), "16010101");
}

TEST(LogFileName, RefusesImpossibleDates) {
  EXPECT_FALSE(logFileDate(L"nuvra-20200230-0.jsonl"));  // 30 February
  EXPECT_FALSE(logFileDate(L"nuvra-20230229-0.jsonl"));  // not a leap year
  EXPECT_FALSE(logFileDate(L"nuvra-19000229-0.jsonl"));  // century without leap day
  EXPECT_FALSE(logFileDate(L"nuvra-20201301-0.jsonl"));
  EXPECT_FALSE(logFileDate(L"nuvra-20201200-0.jsonl"));
  EXPECT_FALSE(logFileDate(L"nuvra-20200431-0.jsonl"));
  EXPECT_FALSE(logFileDate(L"nuvra-16001231-0.jsonl"));  // before FILETIME begins
  EXPECT_FALSE(logFileDate(L"nuvra-00000000-0.jsonl"));
}

TEST(LogFileName, RefusesOtherShapes) {
  EXPECT_FALSE(logFileDate(L"nuvra-20200101-4.jsonl"));
  EXPECT_FALSE(logFileDate(L"nuvra-20200101-9.jsonl"));
  EXPECT_FALSE(logFileDate(L"nuvra-2020011-0.jsonl"));
  EXPECT_FALSE(logFileDate(L"nuvra-20200101-0.jsonl.bak"));
  EXPECT_FALSE(logFileDate(L"nuvra-20200101-00.jsonl"));
  EXPECT_FALSE(logFileDate(L"Nuvra-20200101-0.jsonl"));
  EXPECT_FALSE(logFileDate(L"nuvra_20200101-0.jsonl"));
  EXPECT_FALSE(logFileDate(L"nuvra-20200101_0.jsonl"));
  EXPECT_FALSE(logFileDate(L"nuvra-20200101-0.JSONL"));
  EXPECT_FALSE(logFileDate(L"nuvra-2020010a-0.jsonl"));
  EXPECT_FALSE(logFileDate(L"nuvra-2020+101-0.jsonl"));
  EXPECT_FALSE(logFileDate(L""));
}

TEST(Retention, CutoffIsSixDaysBeforeToday) {
  EXPECT_EQ(retentionCutoffText({2026, 12, 8}), "20261202");
  EXPECT_EQ(retentionCutoffText({2026, 12, 3}), "20261127");
  EXPECT_EQ(retentionCutoffText({2026, 1, 4}), "20251229");
  EXPECT_EQ(retentionCutoffText({2024, 3, 5}), "20240228");
  EXPECT_EQ(retentionCutoffText({2023, 3, 5}), "20230227");
}

TEST(Retention, TheSeventhDayBackIsTheFirstToGo) {
  const std::string cutoff = retentionCutoffText({2026, 12, 8});
  EXPECT_LT(*logFileDate(L"nuvra-20261201-0.jsonl"), cutoff);
  EXPECT_FALSE(*logFileDate(L"nuvra-20261202-0.jsonl") < cutoff);
  EXPECT_FALSE(*logFileDate(L"nuvra-20261208-3.jsonl") < cutoff);
}

TEST(Retention, DaysBeforeWalksBackAcrossMonthsAndYears) {
  const CalendarDate date = daysBefore({2025, 1, 1}, 366);
  EXPECT_EQ(dateText(date), "20240101");
  EXPECT_EQ(dateText(daysBefore({2026, 12, 8}, 0)), "20261208");
}

TEST(Rotation, ThresholdIsOneMebibyteAfterTheAppend) {
  EXPECT_FALSE(needsRotation(0, 600));
  EXPECT_FALSE(needsRotation(1048000, 576));
  EXPECT_TRUE(needsRotation(1048000, 577));
  EXPECT_TRUE(needsRotation(1048000, 600));
  EXPECT_FALSE(needsRotation(kLogFileLimit, 0));
  EXPECT_TRUE(needsRotation(kLogFileLimit + 1, 0));
  EXPECT_TRUE(needsRotation(0, UINT64_MAX));
}

// Terminal records go past the writer into the file their checkpoint went
// to, so a day's file can be over the limit by any number of them: it is
// rotated, never refused.
TEST(Rotation, AFileTerminalRecordsPushedPastTheLimitRotates) {
  struct Case {
    std::uint64_t size;
    std::uint64_t text;
    std::uint64_t limit;
    bool rotates;
  };
  const Case cases[] = {
      {1048576 + 4096, 1, 1048576, true},
      {1048576 + 4097, 1, 1048576, true},
      {1048576 + 16 * 4096, 1, 1048576, true},
      {UINT64_MAX, 1, 1048576, true},
      {65536, 0, 65536, false},
      {65000, 536, 65536, false},
      {65000, 537, 65536, true},
      {70000, 1, 65536, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(needsRotation(c.size, c.text, c.limit), c.rotates) << c.size << "+" << c.text;
  }
}

TEST(Rotation, OnlyTheTestBedsFileLowersTheLimitAndNeverRaisesIt) {
  struct Case {
    const char* text;
    std::uint64_t limit;
  };
  const Case cases[] = {
      {"65536", 65536},     {"16384", 16384},     {"1048575", 1048575}, {"16383", 1048576},
      {"1048576", 1048576}, {"1048577", 1048576}, {"4096", 1048576},    {"64k", 1048576},
      {"", 1048576},        {" 65536", 1048576},  {"65536\n", 1048576}, {"99999999", 1048576},
      {"0", 1048576},       {"-65536", 1048576},
  };
  for (const Case& c : cases) EXPECT_EQ(loweredLogFileLimit(c.text), c.limit) << c.text;
}

TEST(DayLogPaths, NameTheFourIndexesOfTheFilesDayInItsDirectory) {
  struct Case {
    const wchar_t* path;
    std::vector<std::wstring> paths;
  };
  const std::wstring d = L"C:\\h\\logs\\";
  const Case cases[] = {
      {L"C:\\h\\logs\\nuvra-20261208-0.jsonl",
       {d + L"nuvra-20261208-0.jsonl", d + L"nuvra-20261208-1.jsonl", d + L"nuvra-20261208-2.jsonl",
        d + L"nuvra-20261208-3.jsonl"}},
      {L"C:\\h\\logs\\nuvra-20240229-3.jsonl",
       {d + L"nuvra-20240229-0.jsonl", d + L"nuvra-20240229-1.jsonl", d + L"nuvra-20240229-2.jsonl",
        d + L"nuvra-20240229-3.jsonl"}},
      {L"C:\\h\\logs\\day.jsonl", {}},
      {L"C:\\h\\logs\\nuvra-20261208-3.jsonl.0000001a0000002b.dropped", {}},
      {L"C:\\h\\logs\\nuvra-20261208-4.jsonl", {}},
      {L"nuvra-20261208-0.jsonl", {}},
      {L"", {}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(dayLogPaths(c.path), c.paths) << std::wstring(c.path).size();
}

TEST(DayLogPaths, ADroppedFileHasANameOfItsOwnOutsideItsDay) {
  const std::wstring dropped = droppedLogPath(L"C:\\h\\logs\\nuvra-20261208-3.jsonl", 0x1a, 0x2b);
  EXPECT_EQ(dropped, L"C:\\h\\logs\\nuvra-20261208-3.jsonl.0000001a0000002b.dropped");
  EXPECT_NE(droppedLogPath(L"x", 0, 1), droppedLogPath(L"x", 1, 0));
  EXPECT_EQ(droppedLogPath(L"x", 0xffffffff, 0), L"x.ffffffff00000000.dropped");
  EXPECT_TRUE(dayLogPaths(dropped).empty());
}

TEST(DayLogPaths, ADroppedNameIsExactlyWhatARotationGivesALogFile) {
  struct Case {
    const wchar_t* name;
    bool dropped;
  };
  const Case cases[] = {
      {L"nuvra-20261208-3.jsonl.0000001a0000002b.dropped", true},
      {L"nuvra-20240229-0.jsonl.ffffffffffffffff.dropped", true},
      {L"nuvra-20261208-3.jsonl.0000001A0000002b.dropped", false},
      {L"nuvra-20261208-4.jsonl.0000001a0000002b.dropped", false},
      {L"nuvra-20260230-3.jsonl.0000001a0000002b.dropped", false},
      {L"nuvra-20261208-3.jsonl.0000001a0000002.dropped", false},
      {L"nuvra-20261208-3.jsonl.0000001a0000002bb.dropped", false},
      {L"nuvra-20261208-3.jsonl-0000001a0000002b.dropped", false},
      {L"nuvra-20261208-3.jsonl.0000001a0000002b.droppeD", false},
      {L"nuvra-20261208-3.jsonl.0000001a0000002b", false},
      {L"nuvra-20261208-3.jsonl", false},
      {L"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isDroppedLogFileName(c.name), c.dropped) << std::wstring(c.name).size();
  }
  const std::wstring made = droppedLogPath(L"nuvra-20261208-3.jsonl", 0x1a, 0x2b);
  EXPECT_TRUE(isDroppedLogFileName(made));
  EXPECT_FALSE(logFileDate(made).has_value());
}

TEST(CalendarDate, DateTextPadsEveryField) {
  EXPECT_EQ(dateText({1601, 1, 1}), "16010101");
  EXPECT_EQ(dateText({2026, 7, 9}), "20260709");
}

}  // namespace
}  // namespace nuvra
