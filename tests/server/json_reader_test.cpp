// The JSON reader: strict RFC 8259 text, bounded, values read by key.
#include "server/json_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ZezozuRiziv::JsonDocument;
using ZezozuRiziv::JsonError;
using ZezozuRiziv::JsonKind;
using ZezozuRiziv::JsonValue;
using ZezozuRiziv::kMaxJsonBytes;
using ZezozuRiziv::kMaxJsonDepth;

JsonError error_of(const std::string& text) {
  JsonError error = JsonError::kNone;
  const auto document = JsonDocument::parse(text, &error);
  EXPECT_EQ(document.has_value(), error == JsonError::kNone) << text;
  return error;
}

TEST(JsonReader, AcceptsWellFormedText) {
  const std::vector<std::string> texts = {
      "null", "true", "false", "0", "-0", "12", "-1.5e3", "1E+2", "0.25", "\"\"",
      "\"a\\\"b\\\\c\\/d\\b\\f\\n\\r\\t\"", "\"\\u00e9\\u20AC\"", "\"\\ud83d\\ude00\"",
      "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"",  // é € 😀 as UTF-8
      "\"\xef\xbf\xbf\xf4\x8f\xbf\xbf\"",          // U+FFFF and U+10FFFF
      "[]", "{}", " \t\r\n[ 1 , [ ] , { } ] \n", "{\"a\":{\"b\":[1,2,{\"c\":null}]}}",
  };
  for (const std::string& text : texts) EXPECT_EQ(error_of(text), JsonError::kNone) << text;
}

TEST(JsonReader, RefusesWhatIsNotStrictJson) {
  const std::vector<std::string> texts = {
      "", " ", "nul", "True", "01", "-", "1.", ".5", "1e", "+1", "0x10", "NaN", "Infinity",
      "'a'", "\"a", "\"a\\\"", "\"\\x41\"", "\"\\u12\"", "\"\\u12g4\"",
      "\"\x01\"", "\"tab\there\"", "\"line\nbreak\"",
      "\"\\ud800\"", "\"\\udc00\"", "\"\\ud800\\u0041\"", "\"\\ud800x\"",
      "\"\xff\"", "\"\xc0\xaf\"", "\"\xe0\x80\xaf\"", "\"\xed\xa0\x80\"", "\"\xf4\x90\x80\x80\"",
      "\"\xc3\"", "\"\xe2\x82\"", "\"\x80\"", "\xef\xbb\xbf{}",  // a byte-order mark
      "[1,]", "[,1]", "[1 2]", "{\"a\"}", "{\"a\":}", "{\"a\":1,}", "{a:1}", "{1:1}",
      "[1]]", "{}{}", "[1] x", "[", "{", "]", "[\"a\":1]", "{\"a\" 1}",
  };
  for (const std::string& text : texts) EXPECT_EQ(error_of(text), JsonError::kSyntax) << text;
}

TEST(JsonReader, DepthAndSizeAreBounded) {
  const auto nested = [](int levels) {
    return std::string(static_cast<size_t>(levels), '[') + std::string(static_cast<size_t>(levels), ']');
  };
  EXPECT_EQ(error_of(nested(kMaxJsonDepth)), JsonError::kNone);
  EXPECT_EQ(error_of(nested(kMaxJsonDepth + 1)), JsonError::kTooDeep);
  EXPECT_EQ(error_of("{\"a\":" + nested(kMaxJsonDepth - 1) + "}"), JsonError::kNone);
  EXPECT_EQ(error_of("{\"a\":" + nested(kMaxJsonDepth) + "}"), JsonError::kTooDeep);
  // Far deeper than any stack would take, refused at the limit.
  EXPECT_EQ(error_of(std::string(1'000'000, '[')), JsonError::kTooLarge);
  EXPECT_EQ(error_of(std::string(kMaxJsonBytes, '[')), JsonError::kTooDeep);

  const std::string at_limit = "\"" + std::string(kMaxJsonBytes - 2, 'a') + "\"";
  EXPECT_EQ(error_of(at_limit), JsonError::kNone);
  EXPECT_EQ(error_of(at_limit + " "), JsonError::kTooLarge);
}

TEST(JsonReader, ValuesAreReadByKeyAtTheirOwnLevel) {
  const std::string text =
      "{\"params\":[{\"id\":\"inner\"},\"0xab\"],\"note\":\"\\\"id\\\":9\",\"id\":7,"
      "\"m\\u0065thod\":\"eth_chainId\",\"dup\":1,\"dup\":2}";
  const auto document = JsonDocument::parse(text);
  ASSERT_TRUE(document.has_value());
  const JsonValue root = document->root();
  ASSERT_TRUE(root.is_object());
  EXPECT_EQ(root.size(), 6u);

  // The top-level id, not the one inside params or inside a string.
  const auto id = root.find("id");
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(id->kind(), JsonKind::kNumber);
  EXPECT_EQ(id->raw(), "7");
  // A key written with an escape is the same key.
  EXPECT_EQ(root.find("method")->string(), "eth_chainId");
  // A repeated key reads as its last value, as JavaScript reads it.
  EXPECT_EQ(root.find("dup")->raw(), "2");
  EXPECT_FALSE(root.find("absent").has_value());
  EXPECT_FALSE(root.find("inner").has_value());

  const auto params = root.find("params");
  ASSERT_TRUE(params.has_value() && params->is_array());
  EXPECT_EQ(params->size(), 2u);
  EXPECT_EQ(params->at(0)->find("id")->string(), "inner");
  EXPECT_EQ(params->at(1)->string(), "0xab");
  EXPECT_FALSE(params->at(2).has_value());
  EXPECT_EQ(params->elements().size(), 2u);
  EXPECT_EQ(params->elements()[1].raw(), "\"0xab\"");
  // Kinds that are not asked for answer nothing.
  EXPECT_FALSE(params->find("id").has_value());
  EXPECT_FALSE(id->at(0).has_value());
  EXPECT_FALSE(id->string().has_value());
  EXPECT_EQ(id->size(), 0u);
}

TEST(JsonReader, StringsAreDecoded) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\"plain\"", "plain"},
      {"\"a\\\"b\"", "a\"b"},
      {"\"\\\\\\/\\b\\f\\n\\r\\t\"", "\\/\b\f\n\r\t"},
      {"\"\\u0041\\u00e9\\u20ac\"", "A\xc3\xa9\xe2\x82\xac"},
      {"\"\\ud83d\\ude00\"", "\xf0\x9f\x98\x80"},
      {"\"\\u0000\"", std::string(1, '\0')},
      {"\"\xc3\xa9\"", "\xc3\xa9"},
  };
  for (const auto& [text, expected] : cases) {
    const auto document = JsonDocument::parse(text);
    ASSERT_TRUE(document.has_value()) << text;
    EXPECT_EQ(document->root().string(), expected) << text;
    EXPECT_EQ(document->root().raw(), text);
  }
}

}  // namespace
