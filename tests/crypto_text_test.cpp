// The shared text helpers: plain decimal numbers.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

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

}  // namespace
