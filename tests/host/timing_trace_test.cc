#include "custody/timing_trace.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using nuvra::timing::attemptIdFrom;
using nuvra::timing::isJavaScriptCheckpoint;
using nuvra::timing::isTraceStageName;
using nuvra::timing::traceFilePath;
using nuvra::timing::traceLine;
using nuvra::timing::TraceLineBudget;

constexpr const wchar_t* kId = L"0123456789abcdef0123456789abcdef";

TEST(TraceAttemptId, AcceptsThirtyTwoLowercaseHexCharacters) {
  EXPECT_EQ(attemptIdFrom(kId), "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(attemptIdFrom(std::wstring(32, L'f')), std::string(32, 'f'));
}

TEST(TraceAttemptId, RefusesThirtyOneAndThirtyThreeCharacters) {
  EXPECT_EQ(attemptIdFrom(std::wstring(kId).substr(0, 31)), "");
  EXPECT_EQ(attemptIdFrom(std::wstring(kId) + L"0"), "");
  EXPECT_EQ(attemptIdFrom(L""), "");
}

TEST(TraceAttemptId, RefusesUppercaseAndNonHexCharacters) {
  std::wstring upper(kId);
  upper[10] = L'A';
  EXPECT_EQ(attemptIdFrom(upper), "");
  for (wchar_t bad : {L'g', L'z', L'-', L' ', L'/', L':', L'`', L'\0', L'\u00e9'}) {
    std::wstring id(kId);
    id[31] = bad;
    EXPECT_EQ(attemptIdFrom(id), "") << static_cast<int>(bad);
  }
}

TEST(TraceStageName, LetsOnlyLowerSnakeCaseWordsThrough) {
  EXPECT_TRUE(isTraceStageName("native_profile_entry"));
  EXPECT_TRUE(isTraceStageName("publication_refused_profile_security"));
  EXPECT_TRUE(isTraceStageName(std::string(96, 'a')));
  EXPECT_FALSE(isTraceStageName(std::string(97, 'a')));
  EXPECT_FALSE(isTraceStageName(""));
  EXPECT_FALSE(isTraceStageName("a\"b"));
  EXPECT_FALSE(isTraceStageName("a\\b"));
  EXPECT_FALSE(isTraceStageName("Startup"));
  EXPECT_FALSE(isTraceStageName("line\nbreak"));
}

TEST(TraceStageName, AllowsJavaScriptExactlyItsThreeCheckpoints) {
  EXPECT_TRUE(isJavaScriptCheckpoint("resident_first_line"));
  EXPECT_TRUE(isJavaScriptCheckpoint("worker_first_line"));
  EXPECT_TRUE(isJavaScriptCheckpoint("preload_first_line"));
  EXPECT_FALSE(isJavaScriptCheckpoint("native_profile_entry"));
  EXPECT_FALSE(isJavaScriptCheckpoint("startup_ack_sent"));
  EXPECT_FALSE(isJavaScriptCheckpoint("Worker_first_line"));
  EXPECT_FALSE(isJavaScriptCheckpoint("worker_first_line "));
  EXPECT_FALSE(isJavaScriptCheckpoint(std::string_view("worker_first_line\0", 18)));
}

TEST(TraceLine, HasTheFixedKeysInOrderWithoutSpaces) {
  EXPECT_EQ(traceLine("0123456789abcdef0123456789abcdef", "startup_ack_sent", 4242,
                      18446744073709551615ull),
            "{\"schema_version\":\"nuvra.startup-timing.v1\","
            "\"attempt_id\":\"0123456789abcdef0123456789abcdef\",\"source\":\"native_addon\","
            "\"stage\":\"startup_ack_sent\",\"pid\":4242,"
            "\"monotonic_ms\":18446744073709551615}\n");
}

TEST(TraceFile, IsNamedForTheAttemptAndTheProcess) {
  EXPECT_EQ(traceFilePath("0123456789abcdef0123456789abcdef", 316),
            L"C:\\Tevra\\ona\\temp\\st24data\\trace\\"
            L"0123456789abcdef0123456789abcdef-316-native.jsonl");
}

TEST(TraceLineBudget, GrantsTwoHundredFiftySixLinesAndNoMore) {
  TraceLineBudget budget;
  for (int i = 0; i < 256; ++i) ASSERT_TRUE(budget.take()) << i;
  EXPECT_FALSE(budget.take());  // the 257th
  for (int i = 0; i < 1000; ++i) EXPECT_FALSE(budget.take());
  EXPECT_EQ(budget.used(), 256u);
}

TEST(TraceLineBudget, ABudgetOfItsOwnGrantsItsLimitAndNoMore) {
  struct Case {
    std::uint32_t limit;
    std::uint32_t granted;
  };
  // The retry budget, and the edges of any limit.
  const Case cases[] = {{nuvra::timing::kMaxRetryLines, 64}, {1, 1}, {0, 0}};
  for (const Case& c : cases) {
    TraceLineBudget budget(c.limit);
    std::uint32_t granted = 0;
    for (int i = 0; i < 1000; ++i) granted += budget.take() ? 1u : 0u;
    EXPECT_EQ(granted, c.granted) << c.limit;
    EXPECT_EQ(budget.used(), c.granted) << c.limit;
  }
}

}  // namespace
