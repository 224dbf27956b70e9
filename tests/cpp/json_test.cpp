#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "json.h"

namespace vendrel {
namespace {

using Kind = JsonValue::Kind;

JsonValue parse_ok(std::string_view text) {
  Result<JsonValue> parsed = parse_json(text);
  EXPECT_TRUE(parsed.ok()) << text << ": " << (parsed.ok() ? "" : parsed.error().message);
  return parsed.ok() ? parsed.value() : JsonValue{};
}

std::string parse_error(std::string_view text) {
  Result<JsonValue> parsed = parse_json(text);
  if (parsed.ok()) return "<parsed>";
  EXPECT_EQ(parsed.error().kind, ErrorKind::kValue);
  return parsed.error().message;
}

TEST(JsonParse, NumberKindsAndLimits) {
  JsonValue max_uint = parse_ok("18446744073709551615");
  EXPECT_EQ(max_uint.kind, Kind::kUint);
  EXPECT_EQ(max_uint.uint_number, std::numeric_limits<uint64_t>::max());

  JsonValue min_int = parse_ok("-9223372036854775808");
  EXPECT_EQ(min_int.kind, Kind::kInt);
  EXPECT_EQ(min_int.int_number, std::numeric_limits<int64_t>::min());

  EXPECT_EQ(parse_ok("7").kind, Kind::kUint);
  EXPECT_EQ(parse_ok("-7").int_number, -7);
  EXPECT_EQ(parse_ok("-7").kind, Kind::kInt);
  EXPECT_EQ(parse_ok("7.0").kind, Kind::kDouble);

  JsonValue beyond_u64 = parse_ok("18446744073709551616");
  EXPECT_EQ(beyond_u64.kind, Kind::kDouble);
  EXPECT_EQ(beyond_u64.double_number, 18446744073709551616.0);
  EXPECT_EQ(parse_ok("0.1").double_number, 0.1);  // full precision

  EXPECT_EQ(parse_error("1e400"), "number out of range at line 1 column 1");
  EXPECT_EQ(parse_error("[2e308]"), "number out of range at line 1 column 2");
  EXPECT_EQ(parse_ok("-1e-400").as_double(), 0.0);

  EXPECT_EQ(parse_ok("9007199254740993").as_double(), 9007199254740992.0);
  EXPECT_EQ(min_int.as_double(), -9223372036854775808.0);
}

TEST(JsonParse, ObjectMembersSortedByBytesLastDuplicateWins) {
  JsonValue object = parse_ok(R"({"b": 1, "a": [true, null], "\u0080": 0, "\u007f": 0, "b": "last", "B": {}})");
  ASSERT_EQ(object.kind, Kind::kObject);
  std::vector<std::string> keys;
  for (const auto& member : object.members) keys.push_back(member.key);
  // 0x7f sorts before the two-byte UTF-8 of U+0080 (0xC2 0x80): unsigned byte order.
  EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "b", "\x7f", "\xc2\x80"}));
  EXPECT_EQ(object.members[2].value.text, "last");
  EXPECT_EQ(object.members[1].value.elements.size(), 2u);
  EXPECT_EQ(object.members[1].value.elements[0].kind, Kind::kBool);
  EXPECT_EQ(object.members[1].value.elements[1].kind, Kind::kNull);
}

TEST(JsonParse, StringsKeepNulBytesAndDecodeEscapes) {
  JsonValue text = parse_ok(R"("a\u0000b\n\ud83d\ude00")");
  EXPECT_EQ(text.text, std::string("a\0b\n\xf0\x9f\x98\x80", 8));
  JsonValue object = parse_ok(R"({"k\u0000": 1})");
  EXPECT_EQ(object.members[0].key, std::string("k\0", 2));
}

TEST(JsonParse, DepthLimit) {
  const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_TRUE(parse_json(nested(kJsonMaxDepth)).ok());
  EXPECT_EQ(parse_error(nested(kJsonMaxDepth + 1)), "recursion limit exceeded at line 1 column 129");
  EXPECT_EQ(parse_error("{\"a\":" + std::string(200, '[')), "recursion limit exceeded at line 1 column 133");
  // Must stop early rather than recurse 100000 levels deep.
  EXPECT_EQ(parse_error(std::string(100000, '[')), "recursion limit exceeded at line 1 column 129");
}

TEST(JsonParse, ErrorMessagesAndPositions) {
  const std::pair<std::string, std::string> cases[] = {
      {"not json", "expected value at line 1 column 2"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {"{} x", "trailing characters at line 1 column 4"},
      {"[1,", "EOF while parsing a list at line 1 column 3"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\n  \"a\": tru }", "expected value at line 2 column 11"},
      {"[\n1,\n\"abc", "EOF while parsing a string at line 3 column 4"},
      {"[1,]", "expected value at line 1 column 4"},
      {"{\"a\":1,}", "key must be a string at line 1 column 8"},
      {"// note\n1", "expected value at line 1 column 1"},
      {"[1.]", "invalid number at line 1 column 4"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"\"\\x\"", "invalid escape at line 1 column 2"},
      {"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"\"\xff\"", "invalid unicode code point at line 1 column 2"},
      {"\"\\ud800\"", "lone leading surrogate in hex escape at line 1 column 2"},
      {"\"\\udc00\"", "lone trailing surrogate in hex escape at line 1 column 8"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(parse_error(text), message) << text;
}

TEST(JsonParse, EmbeddedNulByteIsNotEndOfInput) {
  EXPECT_EQ(parse_error(std::string("{}\0{", 4)), "trailing characters at line 1 column 3");
  EXPECT_EQ(parse_error(std::string("\"a\0\"", 4)),
            "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3");
  // A view into a larger buffer ends where the view ends.
  const std::string buffer = "[1]garbage";
  EXPECT_TRUE(parse_json(std::string_view(buffer).substr(0, 3)).ok());
}

}  // namespace
}  // namespace vendrel

TEST(JsonNumberTest, ZeroSignificandWithLargeExponentIsZero) {
  for (const char* text : {"0e40", "0E+300", "-0e40", "0.000e300", "1e-400"}) {
    vendrel::Result<vendrel::JsonValue> parsed = vendrel::parse_json(text);
    ASSERT_TRUE(parsed.ok()) << text;
    EXPECT_EQ(parsed.value().kind, vendrel::JsonValue::Kind::kDouble) << text;
    EXPECT_EQ(parsed.value().double_number, 0.0) << text;
  }
  vendrel::Result<vendrel::JsonValue> exact = vendrel::parse_json("0.1e1");
  ASSERT_TRUE(exact.ok());
  EXPECT_EQ(exact.value().double_number, 1.0);
}
