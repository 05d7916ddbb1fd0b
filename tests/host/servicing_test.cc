#include "custody/servicing.h"

#include <gtest/gtest.h>

#include <string>

#include "common/reason.h"

namespace {

using nuvra::servicing::recordPath;
using nuvra::servicing::recoveryRecordText;
using nuvra::servicing::temporaryPath;

constexpr std::string_view kHash =
    "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
constexpr std::string_view kCommitted =
    "{\"schema_version\":\"nuvra.runtime-servicing.v1\",\"state\":\"COMMITTED\"}\r\n";

TEST(ServicingPaths, RecordLivesUnderStateRuntime) {
  EXPECT_EQ(recordPath(L"C:\\Users\\a\\Nuvra"),
            L"C:\\Users\\a\\Nuvra\\state\\runtime\\servicing.json");
}

TEST(ServicingPaths, TemporaryNameCarriesThirtyTwoLowercaseHexDigits) {
  const std::string random("\x00\x01\xab\xcd\xef\x10\x20\x30\x40\x50\x60\x70\x80\x90\xa0\xff", 16);
  EXPECT_EQ(temporaryPath(L"C:\\h\\state\\runtime\\servicing.json", random),
            L"C:\\h\\state\\runtime\\servicing.json.0001abcdef102030405060708090a0ff.tmp");
}

TEST(ServicingPaths, TemporaryNameRefusesAnythingButSixteenBytes) {
  EXPECT_THROW(temporaryPath(L"x", std::string(15, 'a')), nuvra::ProfileError);
  EXPECT_THROW(temporaryPath(L"x", std::string(17, 'a')), nuvra::ProfileError);
}

TEST(RecoveryRecord, HasTheFixedHeadAndKeyOrderAndEndsInALineFeed) {
  const std::string text = recoveryRecordText("C:\\Users\\a\\Nuvra", kHash, kCommitted);
  EXPECT_EQ(text,
            "{\"schema_version\":\"nuvra.runtime-servicing.v1\",\"state\":\"RECOVERY_REQUIRED\","
            "\"installation_root\":\"C:\\\\Users\\\\a\\\\Nuvra\",\"owner_sid_hash\":\"" +
                std::string(kHash) +
                "\",\"previous_record_text\":"
                "\"{\\\"schema_version\\\":\\\"nuvra.runtime-servicing.v1\\\","
                "\\\"state\\\":\\\"COMMITTED\\\"}\\u000d\\u000a\"}\n");
  EXPECT_EQ(text.find(' '), std::string::npos);
  EXPECT_EQ(text.find('\n'), text.size() - 1);
}

TEST(RecoveryRecord, KeepsNonAsciiHomeBytesUnchanged) {
  const std::string text = recoveryRecordText("C:\\Users\\J\xc3\xb6rg", kHash, "x");
  EXPECT_NE(text.find("\"installation_root\":\"C:\\\\Users\\\\J\xc3\xb6rg\""), std::string::npos);
}

TEST(RecoveryRecord, ASecondRecoveryWrapsTheFirstWhole) {
  const std::string first = recoveryRecordText("C:\\h", kHash, kCommitted);
  const std::string second = recoveryRecordText("C:\\h", kHash, first);
  const std::string head =
      "{\"schema_version\":\"nuvra.runtime-servicing.v1\",\"state\":\"RECOVERY_REQUIRED\","
      "\"installation_root\":\"C:\\\\h\",\"owner_sid_hash\":\"" +
      std::string(kHash) + "\",\"previous_record_text\":";
  ASSERT_EQ(second.rfind(head, 0), 0u);
  // The embedded text is the first record with quotes and backslashes escaped
  // once more, and its line feed as \u000a.
  std::string embedded = second.substr(head.size(), second.size() - head.size() - 2);
  ASSERT_EQ(embedded.front(), '"');
  ASSERT_EQ(embedded.back(), '"');
  embedded = embedded.substr(1, embedded.size() - 2);
  std::string decoded;
  for (std::size_t i = 0; i < embedded.size(); ++i) {
    if (embedded[i] != '\\') {
      decoded.push_back(embedded[i]);
    } else if (embedded.compare(i, 6, "\\u000a") == 0) {
      decoded.push_back('\n');
      i += 5;
    } else if (embedded.compare(i, 6, "\\u000d") == 0) {
      decoded.push_back('\r');
      i += 5;
    } else {
      decoded.push_back(embedded[++i]);
    }
  }
  EXPECT_EQ(decoded, first);
  EXPECT_EQ(second.substr(second.size() - 2), "}\n");
}

}  // namespace
