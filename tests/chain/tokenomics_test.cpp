#include "chain/tokenomics.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ZezozuRiziv {
namespace {

constexpr uint64_t kMaxAmount = UINT64_MAX;

TEST(TokenomicsTest, BlockRewardHalvesByEra) {
  struct Case {
    uint64_t height;
    uint64_t reward;
  };
  const std::vector<Case> cases = {
      {0, 0},
      {1, 2'000'000},
      {2'099'999, 2'000'000},
      {2'100'000, 1'000'000},
      {4'199'999, 1'000'000},
      {4'200'000, 500'000},
      {41'999'999, 3},
      {42'000'000, 1},
      {44'099'999, 1},
      {44'100'000, 0},
      {134'399'999, 0},
      {134'400'000, 0},
      {134'400'001, 0},
      {kMaxAmount, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Tokenomics::get_block_reward(c.height), c.reward) << "height " << c.height;
  }
}

TEST(TokenomicsTest, FeeBreakdownTable) {
  struct Case {
    uint64_t amount;
    FeeBreakdown expected;
  };
  // The largest-amount rows were worked out with exact integer arithmetic
  // outside this code base; 64-bit products would wrap there.
  const std::vector<Case> cases = {
      {0, {1'000, 0, 0, 0, 1'000}},
      {1, {1'000, 0, 0, 0, 1'000}},
      {49'999, {1'000, 399, 299, 199, 103}},
      {50'000, {1'000, 400, 300, 200, 100}},
      {50'001, {1'000, 400, 300, 200, 100}},
      {1'000'000, {20'000, 8'000, 6'000, 4'000, 2'000}},
      {1'234'567, {24'691, 9'876, 7'407, 4'938, 2'470}},
      {92'233'720'368'547'758,
       {1'844'674'407'370'955, 737'869'762'948'382, 553'402'322'211'286, 368'934'881'474'191,
        184'467'440'737'096}},
      {92'233'720'368'547'759,
       {1'844'674'407'370'955, 737'869'762'948'382, 553'402'322'211'286, 368'934'881'474'191,
        184'467'440'737'096}},
      {kMaxAmount,
       {368'934'881'474'191'032, 147'573'952'589'676'412, 110'680'464'442'257'309,
        73'786'976'294'838'206, 36'893'488'147'419'105}},
  };
  for (const Case& c : cases) {
    const FeeBreakdown fees = Tokenomics::calculate_fee_breakdown(c.amount);
    SCOPED_TRACE("amount " + std::to_string(c.amount));
    EXPECT_EQ(fees.total, c.expected.total);
    EXPECT_EQ(fees.treasury, c.expected.treasury);
    EXPECT_EQ(fees.incubator, c.expected.incubator);
    EXPECT_EQ(fees.validator, c.expected.validator);
    EXPECT_EQ(fees.burn, c.expected.burn);
  }
}

TEST(TokenomicsTest, FeeSharesAlwaysAddUpToTotal) {
  for (uint64_t amount : {uint64_t{0}, uint64_t{7}, uint64_t{49'999}, uint64_t{50'000},
                          uint64_t{99'999'999}, uint64_t{21'000'000'000'000},
                          uint64_t{92'233'720'368'547'759}, kMaxAmount / 3, kMaxAmount - 1,
                          kMaxAmount}) {
    const FeeBreakdown fees = Tokenomics::calculate_fee_breakdown(amount);
    EXPECT_EQ(fees.treasury + fees.incubator + fees.validator + fees.burn, fees.total)
        << "amount " << amount;
  }
}

TEST(TokenomicsTest, FormatAmount) {
  struct Case {
    uint64_t amount;
    std::string text;
  };
  const std::vector<Case> cases = {
      {0, "0.000000 RUZ"},
      {1, "0.000001 RUZ"},
      {999'999, "0.999999 RUZ"},
      {1'000'000, "1.000000 RUZ"},
      {2'000'000, "2.000000 RUZ"},
      {1'500'000, "1.500000 RUZ"},
      {1'234'567, "1.234567 RUZ"},
      {21'000'000'000'000, "21000000.000000 RUZ"},
      {kMaxAmount, "18446744073709.551615 RUZ"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Tokenomics::format_amount(c.amount), c.text);
  }
}

TEST(TokenomicsTest, ParseAmount) {
  struct Case {
    std::string text;
    uint64_t amount;
  };
  const std::vector<Case> cases = {
      {"5", 5'000'000},
      {"1.5", 1'500'000},
      {"0.000001", 1},
      {".25", 250'000},
      {"1.1234567", 1'123'456},  // cut, not rounded
      {"1.9999999", 1'999'999},
      {"1.", 1'000'000},
      {"0", 0},
      {"000012.000", 12'000'000},
      {"abc", 0},
      {"", 0},
      {".", 0},
      {"123456789012345678901", 0},  // 21 digits
      // Only the leading digits of the fraction count.
      {"1.5 RUZ", 1'500'000},
      {"2.000000 RUZ", 2'000'000},
      {"1.25x", 1'250'000},
      {"12abc", 12'000'000},
      {"5 RUZ", 5'000'000},
      {"  7", 7'000'000},
      {" 3.5", 3'500'000},
      // A sign or other non-digit start is not a number.
      {"-1", 0},
      {"+5", 0},
      {"-1.5", 0},
      {"1.-5", 0},
      {"1.x", 0},
      {"x.5", 0},
      {" .5", 0},
      // The top of the 64-bit range, and one unit beyond it.
      {"18446744073709.551615", kMaxAmount},
      {"18446744073709.551616", 0},
      {"18446744073709.6", 0},
      {"18446744073709.55161599", kMaxAmount},
      {"18446744073709", 18'446'744'073'709'000'000ULL},
      {"18446744073710", 0},
      {"18446744073710.0", 0},
      {"18446744073709551615", 0},
      {"18446744073709551616", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Tokenomics::parse_amount(c.text), c.amount) << "text \"" << c.text << "\"";
  }
}

TEST(TokenomicsTest, FormatThenParseGivesTheAmountBack) {
  std::vector<uint64_t> amounts = {0,
                                   1,
                                   9,
                                   10,
                                   999'999,
                                   1'000'000,
                                   1'000'001,
                                   123'456'789,
                                   21'000'000'000'000,
                                   92'233'720'368'547'758,
                                   kMaxAmount - 1'000'000,
                                   kMaxAmount - 1,
                                   kMaxAmount};
  // A spread across the whole range: every power of two and its neighbour.
  for (int bit = 0; bit < 64; ++bit) {
    const uint64_t power = uint64_t{1} << bit;
    amounts.push_back(power);
    amounts.push_back(power - 1);
    amounts.push_back(power + 1);
  }
  for (uint64_t amount : amounts) {
    const std::string text = Tokenomics::format_amount(amount);
    const std::string number = text.substr(0, text.find(' '));
    EXPECT_EQ(Tokenomics::parse_amount(number), amount) << text;
    EXPECT_EQ(Tokenomics::parse_amount(text), amount) << text;
  }
}

}  // namespace
}  // namespace ZezozuRiziv
