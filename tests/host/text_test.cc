#include "common/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "../support/command_line.h"
#include "../support/reason_of.h"
#include "common/reason.h"

namespace nuvra {
namespace {

using nuvra::testing::reasonOf;

// The argument splitting a child applies to its command line; the Windows
// unit tests check the same quoting against the system's own splitter.
std::vector<std::wstring> splitCommandLine(const std::wstring& line) {
  return testing::splitArguments(line);
}

TEST(DecimalFormat, WritesPlainBaseTenWithoutPadding) {
  EXPECT_EQ(formatDecimal32(0), "0");
  EXPECT_EQ(formatDecimal32(7), "7");
  EXPECT_EQ(formatDecimal32(4294967295u), "4294967295");
  EXPECT_EQ(formatDecimal64(0), "0");
  EXPECT_EQ(formatDecimal64(1000000), "1000000");
  EXPECT_EQ(formatDecimal64(18446744073709551615ull), "18446744073709551615");
}

TEST(DecimalParse, AcceptsCanonicalPositiveDecimals) {
  EXPECT_EQ(parseDecimal64("1"), 1u);
  EXPECT_EQ(parseDecimal64("10"), 10u);
  EXPECT_EQ(parseDecimal64("9223372036854775807"), 9223372036854775807ull);
  EXPECT_EQ(parseDecimal64("18446744073709551615"), 18446744073709551615ull);
}

TEST(DecimalParse, RefusesEveryNonCanonicalTextAsProfileInteger) {
  for (const char* text : {"", "0", "00", "007", "+5", "-5", " 5", "5 ", "5\n", "0x10", "1e3",
                           "1.0", "١", "123456789012345678901", "000000000000000000001"}) {
    EXPECT_EQ(reasonOf([&] { parseDecimal64(text); }), "profile_integer") << '"' << text << '"';
  }
  // An embedded NUL is a non-digit, not the end of the text.
  EXPECT_EQ(reasonOf([] {
              parseDecimal64(
                  std::string_view("12\0"
                                   "3",
                                   4));
            }),
            "profile_integer");
}

TEST(DecimalParse, TwentyDigitsAboveTheRangeKeepTheStandardLibraryMessage) {
  for (const char* text : {"18446744073709551616", "99999999999999999999"}) {
    try {
      parseDecimal64(text);
      ADD_FAILURE() << text << " was accepted";
    } catch (const ProfileError& failure) {
      ADD_FAILURE() << text << " became a reason code: " << failure.what();
    } catch (const std::out_of_range& failure) {
      EXPECT_STREQ(failure.what(), "stoull argument out of range");
    }
  }
}

TEST(DecimalParse, RoundTripsWithFormat) {
  for (std::uint64_t value : {1ull, 9ull, 10ull, 4294967296ull, 18446744073709551615ull}) {
    EXPECT_EQ(parseDecimal64(formatDecimal64(value)), value);
  }
}

TEST(HexText, WritesTwoLowercaseDigitsPerByteHighNibbleFirst) {
  EXPECT_EQ(hexLower(""), "");
  EXPECT_EQ(hexLower(std::string("\x00\x0f\xa5\xff", 4)), "000fa5ff");
  EXPECT_EQ(hexLowerWide(std::string("\x01\xab", 2)), L"01ab");
  EXPECT_EQ(hexLowerWide(""), L"");
}

TEST(HexText, FixedWidthIdentityFormatsPadWithZeros) {
  EXPECT_EQ(hex64(0, 0x3e7), "00000000000003e7");
  EXPECT_EQ(hex64(0xdeadbeef, 0x1), "deadbeef00000001");
  EXPECT_EQ(hex64(0xffffffff, 0xffffffff), "ffffffffffffffff");
  EXPECT_EQ(fileIdentityText(0x1a2b, 0, 0x10), "00001a2b:0000000000000010");
  EXPECT_EQ(fileIdentityText(0xffffffff, 0x12345678, 0x9abcdef0), "ffffffff:123456789abcdef0");
}

TEST(JsonString, EscapesControlBytesAsLowercaseUnicodeEscapes) {
  EXPECT_EQ(jsonString("a\nb"), "\"a\\u000ab\"");
  EXPECT_EQ(jsonString("\t"), "\"\\u0009\"");
  EXPECT_EQ(jsonString(std::string_view("\0", 1)), "\"\\u0000\"");
  EXPECT_EQ(jsonString("\x1f"), "\"\\u001f\"");
  EXPECT_EQ(jsonString("\x1b"), "\"\\u001b\"");
}

TEST(JsonString, EscapesQuoteAndBackslashOnly) {
  EXPECT_EQ(jsonString("\""), "\"\\\"\"");
  EXPECT_EQ(jsonString("\\"), "\"\\\\\"");
  EXPECT_EQ(jsonString(""), "\"\"");
  EXPECT_EQ(jsonString("a/b\x7f"), "\"a/b\x7f\"");
}

TEST(JsonString, PassesUtf8AndHighBytesThroughUnchanged) {
  EXPECT_EQ(jsonString("\xc3\xa9"), "\"\xc3\xa9\"");
  EXPECT_EQ(jsonString("\xf0\x9f\x98\x80"), "\"\xf0\x9f\x98\x80\"");
  EXPECT_EQ(jsonString("\x80\xff"), "\"\x80\xff\"");
}

TEST(RecordBuilder, WritesKeysInOrderWithoutSpaces) {
  RecordBuilder record;
  record.string("schema_version", "nuvra.sample.v1")
      .number("pid", 4242)
      .decimalString("handle", 18446744073709551615ull)
      .boolean("ok", true)
      .boolean("bad", false)
      .null("none")
      .raw("nested", RecordBuilder().number("a", 1).text());
  EXPECT_EQ(record.text(),
            "{\"schema_version\":\"nuvra.sample.v1\",\"pid\":4242,"
            "\"handle\":\"18446744073709551615\",\"ok\":true,\"bad\":false,\"none\":null,"
            "\"nested\":{\"a\":1}}");
  EXPECT_EQ(record.line(), record.text() + "\n");
}

TEST(RecordBuilder, EscapesStringValuesAndAnEmptyRecordIsBraces) {
  EXPECT_EQ(RecordBuilder().text(), "{}");
  EXPECT_EQ(RecordBuilder().line(), "{}\n");
  EXPECT_EQ(RecordBuilder().string("k", "a\"b\n").text(), "{\"k\":\"a\\\"b\\u000a\"}");
}

TEST(RecordBuilder, TextCanBeTakenMoreThanOnce) {
  RecordBuilder record;
  record.number("a", 1);
  EXPECT_EQ(record.text(), "{\"a\":1}");
  record.number("b", 2);
  EXPECT_EQ(record.text(), "{\"a\":1,\"b\":2}");
}

TEST(QuoteArgument, MatchesTheDocumentedForms) {
  EXPECT_EQ(quoteArgument(L""), L"\"\"");
  EXPECT_EQ(quoteArgument(LR"(C:\dir\)"), LR"("C:\dir\\")");
  EXPECT_EQ(quoteArgument(LR"(\")"), LR"("\\\"")");
  EXPECT_EQ(quoteArgument(LR"(a\\b)"), LR"("a\\b")");
  EXPECT_EQ(quoteArgument(L"a b"), L"\"a b\"");
}

TEST(QuoteArgument, SplitsBackToTheSameArguments) {
  const std::vector<std::wstring> samples = {
      L"",
      L"plain",
      L"two words",
      L"tab\there",
      L"\"",
      L"\"\"",
      L"\\",
      L"\\\\",
      L"\\\"",
      L"\\\\\"",
      L"C:\\dir\\",
      L"C:\\dir\\\\",
      L"a\\\\\\\"b",
      L"end\\\\\\",
      L"\"quoted\" text",
      L"x\"y\"z",
      L"\\\\server\\share\\",
      L"caf\u00e9",
      L"emoji \U0001F600",
      L"  lead and trail  ",
  };
  for (const auto& sample : samples) {
    const auto split = splitCommandLine(quoteArgument(sample));
    ASSERT_EQ(split.size(), 1u) << "one argument expected";
    EXPECT_EQ(split[0], sample);
  }
  // The whole list at once, as a child's command line carries it.
  std::wstring line = L"\"C:\\prog.exe\"";
  for (const auto& sample : samples) line += L" " + quoteArgument(sample);
  auto split = splitCommandLine(line);
  ASSERT_EQ(split.size(), samples.size() + 1);
  EXPECT_EQ(split[0], L"C:\\prog.exe");
  for (std::size_t i = 0; i < samples.size(); ++i) EXPECT_EQ(split[i + 1], samples[i]) << i;
}

// Every argument of up to six units over the characters that matter to the
// splitting rule comes back unchanged.
TEST(QuoteArgument, RoundTripsEveryShortArgumentOverTheSignificantCharacters) {
  const std::wstring alphabet = L"a \\\"\t";
  std::size_t checked = 0;
  for (std::size_t length = 0; length <= 6; ++length) {
    std::vector<std::size_t> digits(length, 0);
    while (true) {
      std::wstring sample;
      for (std::size_t digit : digits) sample.push_back(alphabet[digit]);
      const auto split = splitCommandLine(L"p " + quoteArgument(sample));
      ASSERT_EQ(split.size(), 2u);
      ASSERT_EQ(split[1], sample);
      ++checked;
      std::size_t position = 0;
      while (position < length && ++digits[position] == alphabet.size()) digits[position++] = 0;
      if (position == length) break;
    }
  }
  EXPECT_EQ(checked, 19531u);
}

}  // namespace
}  // namespace nuvra
