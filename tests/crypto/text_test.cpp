// The shared text helpers: plain decimal numbers and UTF-8.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "crypto/text.h"

namespace {

TEST(PlainDecimalTest, DigitsOnlyWithinSixtyFourBits) {
  struct Case {
    const char* text;
    std::optional<uint64_t> value;
  };
  const Case cases[] = {
      {"0", 0},
      {"0005", 5},
      {"10000", 10'000},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"-5", std::nullopt},
      {"+5", std::nullopt},
      {" 5", std::nullopt},
      {"5 ", std::nullopt},
      {"5x", std::nullopt},
      {"abc", std::nullopt},
      {"0x10", std::nullopt},
      {"1e3", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(RozeveCrypto::parse_plain_decimal(c.text), c.value) << c.text;
}

// Well-formed UTF-8 passes; each maximal ill-formed subpart becomes one
// U+FFFD, as browsers decode it.
TEST(Utf8Test, IllFormedSequencesBecomeReplacementCharacters) {
  const std::string R = "\xEF\xBF\xBD";
  struct Case {
    std::string text;
    std::string repaired;
  };
  const Case cases[] = {
      {"", ""},
      {"Tetti Solari", "Tetti Solari"},
      {"citt\xC3\xA0 \xE2\x82\xAC \xF0\x9F\x8C\xB1", "citt\xC3\xA0 \xE2\x82\xAC \xF0\x9F\x8C\xB1"},
      {"\xEF\xBF\xBD", "\xEF\xBF\xBD"},
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},  // U+10FFFF, the last
      {"Tetti\xFFSolari", "Tetti" + R + "Solari"},
      {"\xFF\xFE", R + R},
      {"\x80", R},                                        // a lone continuation byte
      {"\xC3", R},                                        // cut at the end
      {"\xE2\x82", R},                                    // one subpart, one mark
      {"\xE2\x82x", R + "x"},
      {"\xE2\xC3\xA0", R + "\xC3\xA0"},                 // the next character survives
      {"\xC0\x80", R + R},                                // overlong NUL
      {"\xE0\x80\x80", R + R + R},                        // overlong
      {"\xED\xA0\x80", R + R + R},                        // a surrogate half
      {"\xF4\x90\x80\x80", R + R + R + R},                // past U+10FFFF
      {"\xF0\x9F\x8C", R},
      {"\xF8\x88\x80\x80\x80", R + R + R + R + R},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RozeveCrypto::valid_utf8(c.text), c.repaired) << c.text;
    EXPECT_EQ(RozeveCrypto::is_valid_utf8(c.text), c.text == c.repaired) << c.text;
    EXPECT_TRUE(RozeveCrypto::is_valid_utf8(c.repaired)) << c.text;
  }
  EXPECT_EQ(RozeveCrypto::utf8_sequence("a\xC3\xA0", 1), 2u);
  EXPECT_EQ(RozeveCrypto::utf8_sequence("a\xC3\xA0", 2), 0u);
  EXPECT_EQ(RozeveCrypto::utf8_sequence("a", 1), 0u);
}

TEST(Utf8Test, PrefixesNeverCutACharacter) {
  struct Case {
    std::string text;
    size_t max_bytes;
    size_t length;
  };
  const Case cases[] = {
      {"abc", 5, 3},
      {"abc", 2, 2},
      {"ab\xC3\xA9", 3, 2},         // inside a 2-byte character
      {"ab\xC3\xA9", 4, 4},
      {"\xF0\x9F\x8C\xB1x", 1, 0},  // inside a 4-byte one, at each byte
      {"\xF0\x9F\x8C\xB1x", 2, 0},
      {"\xF0\x9F\x8C\xB1x", 3, 0},
      {"\xF0\x9F\x8C\xB1x", 4, 4},
      {"a\x80\x80\x80\x80" "b", 3, 3},  // stray bytes are cut where asked
      {"\xC3\xC3\xA9", 2, 1},
      {"", 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RozeveCrypto::utf8_prefix_length(c.text, c.max_bytes), c.length) << c.text << " " << c.max_bytes;
  }
  // A long text of accented letters cut at every length stays whole UTF-8.
  std::string text;
  for (int i = 0; i < 100; ++i) text += i % 3 ? "\xC3\xA0" : "\xE2\x9A\xA1";
  for (size_t max = 0; max <= text.size(); ++max) {
    const size_t length = RozeveCrypto::utf8_prefix_length(text, max);
    EXPECT_LE(length, max);
    EXPECT_GT(length + 3, max);
    EXPECT_TRUE(RozeveCrypto::is_valid_utf8(text.substr(0, length))) << max;
  }
}

}  // namespace
