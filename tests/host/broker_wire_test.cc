#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "server/broker_wire.h"

namespace nuvra {
namespace {

const std::string kLine = std::string(64, 'e') +
                          "\t0123abcd-0123-4567-89ab-0123456789ab\t7\t12\trecall\t"
                          "0123456789abcdef0123456789abcdef\t5000";

TEST(BrokerWire, PreambleVersionByPrefixAlone) {
  struct Case {
    std::string line;
    int version;
  };
  const Case cases[] = {
      {"NUVRA_NATIVE_PUBLIC_V1\tdigest\tinstance", 1},
      {"NUVRA_NATIVE_PUBLIC_V2\t", 2},
      {"NUVRA_NATIVE_PUBLIC_V3\tdigest\tinstance", 0},
      {"NUVRA_NATIVE_PUBLIC_V2", 0},
      {"nuvra_native_public_v1\t", 0},
      {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(preambleVersion(c.line), c.version) << c.line;
  EXPECT_EQ(acknowledgementLine(2, "dd", "ii"), "NUVRA_NATIVE_ACK_V2\tdd\tii\n");
  EXPECT_EQ(acknowledgementLine(1, "dd", "ii"), "NUVRA_NATIVE_ACK_V1\tdd\tii\n");
}

TEST(BrokerWire, LengthsAreLittleEndian) {
  EXPECT_EQ(frameLength(0x01020304u), std::string("\x04\x03\x02\x01", 4));
  EXPECT_EQ(frameLengthOf(std::string("\x00\x00\x10\x00", 4)), 1048576u);
  EXPECT_EQ(frameLengthOf(frameLength(0xfffffffeu)), 0xfffffffeu);
}

TEST(BrokerWire, VersionTwoRequestSplit) {
  const auto split = splitVersionTwoRequest("NUVRA_REQUEST_V2\tline\there\nbody\nmore");
  ASSERT_TRUE(split.has_value());
  EXPECT_EQ(split->requestLine, "line\there");
  EXPECT_EQ(split->body, "body\nmore");
  EXPECT_FALSE(splitVersionTwoRequest("NUVRA_REQUEST_V2\tno line feed").has_value());
  EXPECT_FALSE(splitVersionTwoRequest("NUVRA_REQUEST_V1\tx\nbody").has_value());
}

// Only what a client's exchange builds reaches the runtime; each row
// changes one thing of a client's line or frame.
TEST(BrokerWire, OnlyAClientsRequestGoesToTheRuntime) {
  const auto withField = [](std::size_t index, const std::string& value) {
    std::string fields[] = {std::string(64, 'e'),
                            "0123abcd-0123-4567-89ab-0123456789ab",
                            "7",
                            "12",
                            "recall",
                            "0123456789abcdef0123456789abcdef",
                            "5000"};
    fields[index] = value;
    std::string line = fields[0];
    for (std::size_t i = 1; i < 7; ++i) line += "\t" + fields[i];
    return line;
  };
  const auto frame = [](const std::string& line, const std::string& body) {
    return "NUVRA_REQUEST_V2\t" + line + "\n" + body;
  };
  struct Case {
    const char* what;
    int version;
    std::string frame;
    bool accepted;
  };
  const Case cases[] = {
      {"a client's version 2 request", 2, frame(kLine, "{}"), true},
      {"a version 1 request", 1, "{}", true},
      {"a version 1 request of one byte", 1, "x", false},
      {"a version 1 request over the frame limit", 1, std::string(1048577, 'x'), false},
      {"a version 1 request of the frame limit", 1, std::string(1048576, '\0'), true},
      {"a version 2 request of one byte", 2, frame(kLine, "x"), false},
      {"a version 2 request over the frame limit", 2,
       frame(kLine, std::string(1048576 - 17 - kLine.size() - 1 + 1, 'x')), false},
      {"a version 2 request of the frame limit", 2,
       frame(kLine, std::string(1048576 - 17 - kLine.size() - 1, 'x')), true},
      {"a request line of NUL bytes", 2, frame(std::string(1000, '\0'), "{}"), false},
      {"a request line with a control byte", 2, frame(withField(4, "rec\x01ll"), "{}"), false},
      {"a request line with invalid UTF-8", 2, frame(withField(4, "rec\xc3ll"), "{}"), false},
      {"a request line of six fields", 2, frame(kLine.substr(0, kLine.rfind('\t')), "{}"), false},
      {"a request line of eight fields", 2, frame(kLine + "\t1", "{}"), false},
      {"a generation of 21 digits", 2, frame(withField(3, std::string(21, '1')), "{}"), false},
      {"a token of 63 digits", 2, frame(withField(0, std::string(63, 'e')), "{}"), false},
      {"an upper-case token", 2, frame(withField(0, std::string(64, 'E')), "{}"), false},
      {"a request id with upper case", 2,
       frame(withField(1, "0123ABCD-0123-4567-89ab-0123456789ab"), "{}"), false},
      {"a work id of 0", 2, frame(withField(2, "0"), "{}"), false},
      {"a work id with a leading zero", 2, frame(withField(2, "07"), "{}"), false},
      {"a work id over 64 bits", 2, frame(withField(2, "18446744073709551616"), "{}"), false},
      {"an empty generation", 2, frame(withField(3, ""), "{}"), false},
      {"an operation no client sends", 2, frame(withField(4, "connect"), "{}"), false},
      {"an instance of 31 digits", 2, frame(withField(5, std::string(31, 'a')), "{}"), false},
      {"a deadline of 0", 2, frame(withField(6, "0"), "{}"), false},
      {"a deadline with a sign", 2, frame(withField(6, "+5000"), "{}"), false},
      {"no request header", 2, kLine + "\n{}", false},
      {"a version no client speaks", 3, frame(kLine, "{}"), false},
  };
  for (const Case& c : cases) {
    const auto request = readClientRequest(c.version, c.frame);
    EXPECT_EQ(request.has_value(), c.accepted) << c.what;
    if (request && c.version == 2) {
      EXPECT_EQ(request->requestLine, kLine) << c.what;
      EXPECT_EQ(request->body.size(), c.frame.size() - 17 - kLine.size() - 1) << c.what;
    }
    if (request && c.version == 1) {
      EXPECT_EQ(request->body.size(), c.frame.size()) << c.what;
    }
  }
}

TEST(BrokerWire, FramesAndTheFailureBody) {
  EXPECT_EQ(phaseFrame(kLine, {"9", 4, "terminal", "none", 1, 0, "validated", true}, "{}"),
            "NUVRA_PHASE_V2\t" + kLine + "\t9\t4\tterminal\tnone\t1\t0\tvalidated\t1\n{}");
  EXPECT_EQ(phaseFrame(kLine, {"9", 1, "received", "none", 0, 0, "none", false}, ""),
            "NUVRA_PHASE_V2\t" + kLine + "\t9\t1\treceived\tnone\t0\t0\tnone\t0\n");
  EXPECT_EQ(brokerFailureBody(kLine, "broker_deadline_refused"),
            "{\"broker_instance\":\"0123456789abcdef0123456789abcdef\",\"error_code\":"
            "\"broker_deadline_refused\",\"failure_reason\":\"broker_deadline_refused\","
            "\"ok\":false,\"operation\":\"recall\",\"request_id\":"
            "\"0123abcd-0123-4567-89ab-0123456789ab\",\"schema_version\":"
            "\"nuvra.windows-memory-broker.v1\"}");
  // A client's line is outside input: its quotes stay inside their strings.
  EXPECT_EQ(brokerFailureBody("a\t\"q\"\t3\t4\to\"p\ti\t7", "x"),
            "{\"broker_instance\":\"i\",\"error_code\":\"x\",\"failure_reason\":\"x\","
            "\"ok\":false,\"operation\":\"o\\\"p\",\"request_id\":\"\\\"q\\\"\","
            "\"schema_version\":\"nuvra.windows-memory-broker.v1\"}");
  EXPECT_EQ(terminalFrameReason("broker_deadline_refused"), "broker_deadline_refused");
  EXPECT_EQ(terminalFrameReason("none"), "none");
  EXPECT_EQ(terminalFrameReason("broker_failed"), "internal_error");
  EXPECT_EQ(terminalFrameReason("credential_missing"), "internal_error");
}

TEST(BrokerWire, Base64BothWays) {
  struct Case {
    std::string bytes;
    std::string text;
  };
  const Case cases[] = {
      {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
      {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {std::string("\xff\x00\xfe", 3), "/wD+"}};
  for (const Case& c : cases) {
    EXPECT_EQ(base64Encode(c.bytes), c.text);
    EXPECT_EQ(base64Decode(c.text), std::optional<std::string>(c.bytes)) << c.text;
  }
  for (const char* bad : {"Zg=", "Zg", "Z===", "Zh==", "Zm9=Zm9v", "Zm9v====", "Zm 9", "=Zm9"}) {
    EXPECT_EQ(base64Decode(bad), std::nullopt) << bad;
  }
}

TEST(BrokerWire, RuntimeAnswers) {
  struct Case {
    std::string line;
    bool accepted;
  };
  const Case cases[] = {
      {R"({"type":"response","id":3,"body":"b2s="})", true},
      {R"({"type":"response","body":"b2s=","id":3})", false},
      {R"({"type":"response","id":3,"body":"b2s"})", false},
      {R"({"type":"phase","id":3,"server_work":"9","phase":"admitted","account":0,"memory":0,"effect":"none"})",
       true},
      {R"({"type":"phase","id":3,"server_work":"9","phase":"terminal","account":0,"memory":0,"effect":"none"})",
       false},
      {R"({"type":"phase","id":3,"server_work":"9","phase":"started","account":9,"memory":0,"effect":"possible"})",
       false},
      {R"({"type":"phase","id":3,"server_work":"0","phase":"admitted","account":0,"memory":0,"effect":"none"})",
       false},
      {R"({"type":"final","id":3,"server_work":"-","phase":"refused_arrival","reason":"broker_deadline_refused","account":0,"memory":0,"effect":"none","body":""})",
       true},
      {R"({"type":"final","id":3,"server_work":"9","phase":"terminal","reason":"Bad","account":0,"memory":0,"effect":"none","body":""})",
       false},
      {R"({"type":"final","id":3,"server_work":"9","phase":"admitted","reason":"none","account":0,"memory":0,"effect":"none","body":""})",
       false},
      {R"({"type":"residency","id":3})", false},
      {"not json", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(readRuntimeAnswer(c.line).has_value(), c.accepted) << c.line;
  }
  const auto final = readRuntimeAnswer(
      R"({"type":"final","id":12,"server_work":"9","phase":"terminal","reason":"none","account":2,"memory":1,"effect":"validated","body":"e30="})");
  ASSERT_TRUE(final.has_value());
  EXPECT_EQ(final->id, 12u);
  EXPECT_EQ(final->body, "{}");
  EXPECT_EQ(phaseFrame("L", final->frame, final->body),
            "NUVRA_PHASE_V2\tL\t9\t0\tterminal\tnone\t2\t1\tvalidated\t1\n{}");
  EXPECT_EQ(runtimeRequestLine(5, 2, "a\tb", "hi"),
            "{\"type\":\"request\",\"id\":5,\"version\":2,\"request_line\":\"a\\u0009b\",\"body\":"
            "\"aGk=\"}\n");
}

}  // namespace
}  // namespace nuvra
