#include "chain/record_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ZezozuRiziv {
namespace {

TEST(RecordTextTest, ReadDecimalU64) {
  struct Case {
    std::string text;
    std::optional<uint64_t> value;
  };
  const std::vector<Case> cases = {
      {"0", 0},
      {"12", 12},
      {" 12abc", 12},
      {"12 34", 12},
      {"007", 7},
      {"\t\n\v\f\r 9", 9},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551615x", UINT64_MAX},
      {"00000000000000000000018446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"184467440737095516150", std::nullopt},
      {"-1", std::nullopt},
      {"+5", std::nullopt},
      {" -1", std::nullopt},
      {"", std::nullopt},
      {"  ", std::nullopt},
      {"abc", std::nullopt},
      {"\"5\"", std::nullopt},
      {"0x10", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read_decimal_u64(c.text), c.value) << "text \"" << c.text << "\"";
  }
}

TEST(RecordTextTest, ReadDecimalU64StopsAtTheViewsEnd) {
  const std::string text = "12345";
  EXPECT_EQ(read_decimal_u64(std::string_view(text).substr(0, 2)), 12u);
  EXPECT_EQ(read_decimal_u64(std::string_view(text).substr(0, 0)), std::nullopt);
}

TEST(RecordTextTest, ReadRecordNumberTreatsEmptyAsZero) {
  EXPECT_EQ(read_record_number(""), 0u);
  EXPECT_EQ(read_record_number("42"), 42u);
  EXPECT_EQ(read_record_number(" 42 "), 42u);
  EXPECT_EQ(read_record_number(" "), std::nullopt);
  EXPECT_EQ(read_record_number("-1"), std::nullopt);
  EXPECT_EQ(read_record_number("18446744073709551616"), std::nullopt);
}

TEST(RecordTextTest, FindRecordValue) {
  struct Case {
    std::string name;
    std::string text;
    std::string key;
    bool quoted;
    std::string stops;
    std::string value;
  };
  const std::vector<Case> cases = {
      {"quoted", R"({"a":"x","b":"yz"})", "b", true, ",}", "yz"},
      {"bare before comma", R"({"n":12,"m":3})", "n", false, ",}", "12"},
      {"bare before brace", R"({"n":12,"m":3})", "m", false, ",}", "3"},
      {"missing key", R"({"n":12})", "m", false, ",}", ""},
      {"missing quoted key", R"({"n":"x"})", "m", true, ",}", ""},
      {"first occurrence wins", R"({"n":1,"n":2})", "n", false, ",}", "1"},
      {"key inside another key", R"({"xn":1,"n":2})", "n", false, ",}", "2"},
      {"key as a value", R"({"a":"n","n":"v"})", "n", true, ",}", "v"},
      {"space before colon", R"({"n" :5})", "n", false, ",}", ""},
      {"white space kept", R"({"n": 5 ,"m":1})", "n", false, ",}", " 5 "},
      {"bare without stop", R"({"n":5)", "n", false, ",}", ""},
      {"quoted without closing quote", R"({"s":"abc)", "s", true, ",}", ""},
      {"quoted read bare", R"({"n":"5"})", "n", false, ",}", "\"5\""},
      {"bare read quoted", R"({"n":5,"m":"z"})", "n", true, ",}", "5,"},
      {"empty quoted", R"({"s":"","t":"u"})", "s", true, ",}", ""},
      {"bare stops at bracket", R"({"i":7]})", "i", false, ",}]", "7"},
      {"bracket ignored by default", R"({"i":7]})", "i", false, ",}", "7]"},
      {"key at the very end", R"({"n")", "n", false, ",}", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(find_record_value(c.text, c.key, c.quoted, c.stops), c.value) << c.name;
  }
}

TEST(RecordTextTest, ControlBytes) {
  EXPECT_FALSE(has_control_bytes(""));
  EXPECT_FALSE(has_control_bytes("RUZ abc ~\x7f"));
  EXPECT_FALSE(has_control_bytes("\xc3\xa8"));  // UTF-8 bytes are above 0x7f, not control
  EXPECT_TRUE(has_control_bytes("a\nb"));
  EXPECT_TRUE(has_control_bytes("a\rb"));
  EXPECT_TRUE(has_control_bytes("\t"));
  EXPECT_TRUE(has_control_bytes("\x1f"));
  EXPECT_TRUE(has_control_bytes(std::string("a\0b", 3)));
}

TEST(RecordTextTest, RecordBreakingChars) {
  EXPECT_FALSE(has_record_breaking_chars(""));
  EXPECT_FALSE(has_record_breaking_chars("RUZ62821a58c6384fb176b0840d2e0ff0b2e042756e"));
  EXPECT_FALSE(has_record_breaking_chars("0xzerirorivi_reward_pool_vault"));
  for (const std::string bad : {"a\"b", "a{b", "a}b", "a,b", "a:b", "a\nb", "a\x01"}) {
    EXPECT_TRUE(has_record_breaking_chars(bad)) << bad;
  }
}

}  // namespace
}  // namespace ZezozuRiziv
