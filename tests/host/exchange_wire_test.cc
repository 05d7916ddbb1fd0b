#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "../support/reason_of.h"
#include "exchange/endpoint_descriptor.h"
#include "exchange/exchange_rules.h"
#include "exchange/pipe_protocol.h"

namespace nuvra {
namespace {

using nuvra::testing::reasonOf;

const std::string kPipe = "nuvra-memory-v1-" + std::string(48, 'a');
const std::string kHashA(64, 'a'), kHashB(64, 'b'), kHashC(64, 'c'), kDigest(64, 'd');
const std::string kInstance = "0123456789abcdef0123456789abcdef";

// The twelve fields of a valid descriptor; a case replaces one of them.
std::vector<std::string> validFields() {
  return {"NUVRA_NATIVE_ENDPOINT_V1",
          kPipe,
          "4242",
          "133000000000000000",
          kHashA,
          kHashB,
          kHashC,
          "1",
          kDigest,
          kInstance,
          "500",
          "END"};
}

std::string joined(const std::vector<std::string>& fields) {
  std::string line;
  for (const auto& field : fields) line += (line.empty() ? "" : "\t") + field;
  return line;
}

TEST(EndpointDescriptor, ParsesEveryFieldOfAValidLine) {
  const auto d = parseEndpointDescriptor(joined(validFields()));
  EXPECT_EQ(d.pipe_name, kPipe);
  EXPECT_EQ(d.server_pid, 4242u);
  EXPECT_EQ(d.process_creation_filetime, 133000000000000000u);
  EXPECT_EQ(d.image_path_sha256, kHashA);
  EXPECT_EQ(d.owner_sid_hash, kHashB);
  EXPECT_EQ(d.authentication_id_hash, kHashC);
  EXPECT_EQ(d.windows_session_id, 1u);
  EXPECT_EQ(d.public_digest, kDigest);
  EXPECT_EQ(d.broker_instance, kInstance);
  EXPECT_EQ(d.exchange_timeout_ms, 500u);
  EXPECT_EQ(pipePath(d), L"\\\\.\\pipe\\nuvra-memory-v1-" + std::wstring(48, L'a'));
}

TEST(EndpointDescriptor, AcceptsAndRefusesFieldValuesAtTheirBounds) {
  struct Case {
    std::size_t field;
    std::string value;
    bool accepted;
  };
  const Case cases[] = {
      {2, "0", false},
      {2, "1", true},
      {2, "2147483647", true},
      {2, "2147483648", false},
      {2, "+5", false},
      {2, "", false},
      {2, "007", true},
      {3, "0", false},
      {3, "18446744073709551615", true},
      {3, "18446744073709551616", false},
      {3, "000000000000000000001", false},  // 21 digits
      {7, "0", true},
      {7, "4294967295", true},
      {7, "4294967296", false},
      {10, "49", false},
      {10, "50", true},
      {10, "15000", true},
      {10, "15001", false},
      {1, "nuvra-memory-v1-" + std::string(47, 'a') + "A", false},
      {1, "nuvra-memory-v1-" + std::string(47, 'a'), false},
      {1, "nuvra-memory-v2-" + std::string(48, 'a'), false},
      {4, std::string(63, 'a'), false},
      {5, std::string(63, 'a') + "g", false},
      {9, std::string(32, 'A'), false},
      {9, std::string(33, 'a'), false},
      {0, "NUVRA_NATIVE_ENDPOINT_V2", false},
      {11, "end", false},
  };
  for (const auto& c : cases) {
    auto fields = validFields();
    fields[c.field] = c.value;
    EXPECT_EQ(reasonOf([&] { parseEndpointDescriptor(joined(fields)); }),
              c.accepted ? "" : "broker_native_protocol_refused")
        << c.field << " " << c.value;
  }
}

TEST(EndpointDescriptor, RefusesWrongFieldCountsAndBytes) {
  auto eleven = validFields();
  eleven.pop_back();
  auto thirteen = validFields();
  thirteen.push_back("END");
  const std::string valid = joined(validFields());
  const std::string refused[] = {joined(eleven),
                                 joined(thirteen),
                                 "",
                                 valid + "\t",
                                 valid + "\n",
                                 valid + " ",
                                 std::string(valid).replace(30, 1, "\xc3"),
                                 std::string(valid).replace(0, 1, "\x7f")};
  for (const auto& line : refused) {
    EXPECT_EQ(reasonOf([&] { parseEndpointDescriptor(line); }), "broker_native_protocol_refused")
        << line;
  }
}

TEST(EndpointDescriptor, AcceptsDecimalsPaddedToTwentyDigits) {
  auto fields = validFields();
  fields[2] = std::string(16, '0') + "4242";
  fields[3] = "00133000000000000000";
  fields[7] = std::string(20, '0');
  fields[10] = std::string(17, '0') + "500";
  const auto d = parseEndpointDescriptor(joined(fields));
  EXPECT_EQ(d.server_pid, 4242u);
  EXPECT_EQ(d.process_creation_filetime, 133000000000000000u);
  EXPECT_EQ(d.windows_session_id, 0u);
  EXPECT_EQ(d.exchange_timeout_ms, 500u);
}

TEST(Preamble, LinesCarryTheVersionDigestAndInstance) {
  const auto d = parseEndpointDescriptor(joined(validFields()));
  EXPECT_EQ(preambleLine(false, d), "NUVRA_NATIVE_PUBLIC_V1\t" + kDigest + "\t" + kInstance + "\n");
  EXPECT_EQ(preambleLine(true, d), "NUVRA_NATIVE_PUBLIC_V2\t" + kDigest + "\t" + kInstance + "\n");
  const std::string ack2 = "NUVRA_NATIVE_ACK_V2\t" + kDigest + "\t" + kInstance;
  EXPECT_EQ(reasonOf([&] { checkAcknowledgement(ack2, true, d); }), "");
  EXPECT_EQ(reasonOf([&] { checkAcknowledgement(ack2, false, d); }), "broker_native_peer_refused");
  EXPECT_EQ(reasonOf([&] { checkAcknowledgement(ack2 + " ", true, d); }),
            "broker_native_peer_refused");
}

// Feeds bytes until the collector reports the line complete; the reason, or
// "" with the collected line.
std::string collect(const std::string& bytes, std::string* line) {
  return reasonOf([&] {
    AcknowledgementCollector collector;
    for (char c : bytes) {
      if (collector.take(static_cast<std::uint8_t>(c))) break;
    }
    *line = std::string(collector.line());
  });
}

TEST(Acknowledgement, CollectsUpTo2048PrintableBytesBeforeTheLineFeed) {
  struct Case {
    std::string bytes;
    std::string reason;
    std::string line;
  };
  const Case cases[] = {
      {"ab\tc\nrest", "", "ab\tc"},
      {"\n", "", ""},
      {std::string(2048, 'x') + "\n", "", std::string(2048, 'x')},
      {std::string(2049, 'x') + "\n", "broker_native_protocol_refused", ""},
      {"ab\rc\n", "broker_native_protocol_refused", ""},
      {"ab\x80\n", "broker_native_protocol_refused", ""},
      {std::string("a\0b\n", 4), "broker_native_protocol_refused", ""},
      {"a~\x7f\n", "broker_native_protocol_refused", ""},
  };
  for (const auto& c : cases) {
    std::string line;
    EXPECT_EQ(collect(c.bytes, &line), c.reason) << c.bytes.size();
    if (c.reason.empty()) {
      EXPECT_EQ(line, c.line);
    }
  }
}

TEST(FrameLength, IsLittleEndianAndBoundedTo2Through1048576) {
  EXPECT_EQ(encodeFrameLength(0x00100000), (std::array<std::uint8_t, 4>{0x00, 0x00, 0x10, 0x00}));
  EXPECT_EQ(encodeFrameLength(0x01020304), (std::array<std::uint8_t, 4>{0x04, 0x03, 0x02, 0x01}));
  struct Case {
    std::array<std::uint8_t, 4> bytes;
    std::uint32_t length;  // 0: refused
  };
  const Case cases[] = {{{1, 0, 0, 0}, 0},           {{2, 0, 0, 0}, 2},
                        {{0, 0, 0x10, 0}, 1048576},  {{1, 0, 0x10, 0}, 0},
                        {{0, 0, 0, 0}, 0},           {{0xff, 0xff, 0xff, 0xff}, 0},
                        {{0x34, 0x12, 0, 0}, 0x1234}};
  for (const auto& c : cases) {
    if (c.length == 0) {
      EXPECT_EQ(reasonOf([&] { decodeFrameLength(c.bytes); }), "broker_native_frame_invalid");
    } else {
      EXPECT_EQ(decodeFrameLength(c.bytes), c.length);
    }
  }
  EXPECT_EQ(reasonOf([] { checkRequestSize(1); }), "broker_native_frame_invalid");
  EXPECT_EQ(reasonOf([] { checkRequestSize(2); }), "");
  EXPECT_EQ(reasonOf([] { checkRequestSize(1048576); }), "");
  EXPECT_EQ(reasonOf([] { checkRequestSize(1048577); }), "broker_native_frame_invalid");
}

TEST(RequestHeader, PrefixesTheRequestLineWithinTheFrameBound) {
  const std::string line = buildRequestLine(
      {kHashA, "0123abcd-0123-4567-89ab-0123456789ab", 7, "12", "recall", kInstance, 90210});
  EXPECT_EQ(line, kHashA + "\t0123abcd-0123-4567-89ab-0123456789ab\t7\t12\trecall\t" + kInstance +
                      "\t90210");
  WipedBytes request("{}");
  prependRequestHeader(request, line);
  EXPECT_EQ(request.view(), "NUVRA_REQUEST_V2\t" + line + "\n{}");

  // 17 + 1 header bytes around a 6-byte line leave 1048552 for the request.
  WipedBytes fits(std::string(1048552, 'x'));
  EXPECT_EQ(reasonOf([&] { prependRequestHeader(fits, "abcdef"); }), "");
  EXPECT_EQ(fits.size(), 1048576u);
  WipedBytes over(std::string(1048553, 'x'));
  EXPECT_EQ(reasonOf([&] { prependRequestHeader(over, "abcdef"); }), "broker_native_frame_invalid");
  EXPECT_EQ(over.size(), 1048553u);
}

TEST(AuthenticationIdText, IsHighThenLowAsEightLowercaseDigitsEach) {
  EXPECT_EQ(authenticationIdText(0, 0x3e7), "00000000000003e7");
  EXPECT_EQ(authenticationIdText(0xABCDEF01, 0x12), "abcdef0100000012");
}

TEST(RequestId, NeedsDashesAtFixedPlacesAndLowercaseHex) {
  const std::pair<const char*, bool> cases[] = {
      {"0123abcd-0123-4567-89ab-0123456789ab", true},
      {"0123ABCD-0123-4567-89ab-0123456789ab", false},
      {"0123abcd0-123-4567-89ab-0123456789ab", false},
      {"0123abcd-0123-4567-89ab-0123456789a", false},
      {"0123abcd-0123-4567-89ab-0123456789a-", false},
      {"0123abcg-0123-4567-89ab-0123456789ab", false},
      {"0123abcd01234567-89ab-0123456789ab--", false},
  };
  for (const auto& [id, accepted] : cases) {
    EXPECT_EQ(reasonOf([&] { checkRequestId(id); }),
              accepted ? "" : "broker_native_protocol_refused")
        << id;
  }
}

}  // namespace
}  // namespace nuvra
