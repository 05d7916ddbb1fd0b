#include "diagnostics/log_rules.h"

#include <gtest/gtest.h>

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

// A file one terminal record overran is still opened, and rotated.
TEST(Rotation, AcceptsAFileOverrunByOneTerminalRecord) {
  EXPECT_TRUE(logFileSizeAccepted(0));
  EXPECT_TRUE(logFileSizeAccepted(1048576 + 4096));
  EXPECT_FALSE(logFileSizeAccepted(1048576 + 4097));
  EXPECT_TRUE(needsRotation(1048576 + 4096, 1));
}

TEST(CalendarDate, DateTextPadsEveryField) {
  EXPECT_EQ(dateText({1601, 1, 1}), "16010101");
  EXPECT_EQ(dateText({2026, 7, 9}), "20260709");
}

}  // namespace
}  // namespace nuvra
