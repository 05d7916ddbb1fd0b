#include "common/flat_json.h"

#include <gtest/gtest.h>

#include <string>

#include "../support/reason_of.h"

namespace nuvra {
namespace {

using nuvra::testing::reasonOf;

TEST(FlatJsonReader, RefusesEverythingButOneFlatObjectWithoutSpaces) {
  struct Case {
    std::string text;
    bool accepted;
  };
  const Case cases[] = {
      {"{}", true},
      {R"({"a":"x","n":12,"t":true,"f":false,"z":null})", true},
      {R"({"g":[{"h":"1","v":2}],"o":{"k":-0.5e+3}})", true},
      {R"({"g":[],"o":{}})", true},
      {R"({"a":[1,"x",null]})", true},
      {R"({"a": "x"})", false},
      {R"( {"a":"x"})", false},
      {"{\"a\":\"x\"}\n", false},
      {R"({"a":"x"}{})", false},
      {R"({"a":"x",})", false},
      {R"({"a":"x","a":"y"})", false},
      {R"({"a":[[1]]})", false},
      {R"({"a":{"b":{}}})", false},
      {R"({"a":{"b":[]}})", false},
      {R"({"g":[{"h":{}}]})", false},
      {R"(["a"])", false},
      {R"({"a":01})", false},
      {R"({"a":1.})", false},
      {R"({"a":+1})", false},
      {R"({"a":.5})", false},
      {R"({"a":1e})", false},
      {R"({"a":tru})", false},
      {R"({"a":"\x"})", false},
      {R"({"a":"\u00e"})", false},
      {R"({"a":"\ud800"})", false},
      {R"({"a":"\udc00\ud800"})", false},
      {"{\"a\":\"\x01\"}", false},
      {"{\"a\":\"\xc3\"}", false},
      {"{\"a\":\"\xc0\xaf\"}", false},
      {"{\"a\":\"\xed\xa0\x80\"}", false},
      {"{\"a\":\"\xf4\x90\x80\x80\"}", false},
      {std::string("{\"a\":\"x\"}\0", 10), false},
      {R"({"a":"x")", false},
      {R"({a:"x"})", false},
      {"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(reasonOf([&] { readFlatObject(c.text); }), c.accepted ? "" : "profile_record")
        << c.text;
  }
}

TEST(FlatJsonReader, DecodesEscapesAndKeepsKeysAndNumbersAsWritten) {
  const FlatObject object = readFlatObject(
      R"({"p":"C:\\d\"\u00e9\ud83d\ude00\/\n","n":-12.50e3,"e":"é","g":[{"h":"7"}]})");
  ASSERT_EQ(object.size(), 4u);
  EXPECT_EQ(object[0].key, "p");
  EXPECT_EQ(object[0].value.text, "C:\\d\"\xc3\xa9\xf0\x9f\x98\x80/\n");
  EXPECT_EQ(object[1].value.kind, FlatValue::Kind::number);
  EXPECT_EQ(object[1].value.text, "-12.50e3");
  EXPECT_EQ(object[2].value.text, "\xc3\xa9");
  ASSERT_EQ(object[3].value.items.size(), 1u);
  EXPECT_EQ(object[3].value.items[0].members[0].key, "h");
  EXPECT_EQ(object[3].value.items[0].members[0].value.text, "7");
}

TEST(FlatJsonReader, UnsignedNumbersArePlainIntegersThatFit) {
  struct Case {
    std::string literal;
    std::optional<std::uint64_t> value;
  };
  const Case cases[] = {
      {"0", 0},
      {"4294967295", 4294967295u},
      {"18446744073709551615", 18446744073709551615u},
      {"18446744073709551616", std::nullopt},
      {"-1", std::nullopt},
      {"-0", std::nullopt},
      {"1.0", std::nullopt},
      {"1e3", std::nullopt},
  };
  for (const Case& c : cases) {
    const FlatObject object = readFlatObject("{\"n\":" + c.literal + "}");
    EXPECT_EQ(flatUnsigned(object[0].value), c.value) << c.literal;
  }
  EXPECT_EQ(flatUnsigned(readFlatObject(R"({"n":"5"})")[0].value), std::nullopt);
}

TEST(FlatJsonReader, KeyOrderMustMatchExactly) {
  const FlatObject object = readFlatObject(R"({"a":1,"b":2})");
  EXPECT_TRUE(hasKeysInOrder(object, {"a", "b"}));
  EXPECT_FALSE(hasKeysInOrder(object, {"b", "a"}));
  EXPECT_FALSE(hasKeysInOrder(object, {"a"}));
  EXPECT_FALSE(hasKeysInOrder(object, {"a", "b", "c"}));
}

TEST(JsonObjectReader, ReadsWhatJsonParseReadsIntoAnObject) {
  struct Case {
    std::string text;
    bool accepted;
  };
  const std::string deep = std::string(63, '[') + std::string(63, ']');
  const Case cases[] = {
      {"{\"a\":\"x\"}\n", true},
      {" \t\r\n{ \"a\" : [ 1 , { \"b\" : [ [ ] ] } ] , \"c\" : { } } ", true},
      {R"({"payload":{"entrypoints":{"native":"n"},"files":[{"path":"p","sha256":"s"}]}})", true},
      {R"({"a":1,"a":2})", true},
      {"{\"a\":" + deep + "}", true},
      {"{\"a\":[" + deep + "]}", false},
      {R"(["a"])", false},
      {R"({"a":1,})", false},
      {R"({"a":1}{})", false},
      {"{\"a\":\"\x01\"}", false},
      {R"({"a":"\ud800"})", false},
      {"{\"a\"\f:1}", false},
      {"\xef\xbb\xbf{}", false},
      {R"({"a":1)", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(reasonOf([&] { readJsonObject(c.text); }), c.accepted ? "" : "profile_record")
        << c.text;
  }
}

TEST(JsonObjectReader, ARepeatedKeyKeepsItsFirstPlaceAndItsLastValue) {
  const FlatObject object = readJsonObject(R"({"a":1,"b":{"c":[true]},"a":"z"})");
  ASSERT_EQ(object.size(), 2u);
  EXPECT_EQ(object[0].key, "a");
  EXPECT_EQ(object[0].value.kind, FlatValue::Kind::string);
  EXPECT_EQ(object[0].value.text, "z");
  EXPECT_EQ(object[1].value.members[0].value.items[0].text, "true");
}

}  // namespace
}  // namespace nuvra
