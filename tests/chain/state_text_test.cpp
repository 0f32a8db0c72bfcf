// The saved state text: the last block it names, and the strict reader that
// never takes a cut or garbled file for a smaller ledger.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chain/state.h"

namespace ZezozuRiziv {
namespace {

State sample() {
  State state;
  state.balances["RUZ0123456789abcdef0123456789abcdef0123abcd"] = 20'500'000'000'000;
  state.balances["0xzerirorivi_reward_pool_vault"] = 500'000'000'000;
  state.staked["0xaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"] = 1'000'000'000;
  state.nonces["0xaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"] = 18'446'744'073'709'551'615ULL;
  return state;
}

void expect_same(const State& a, const State& b) {
  EXPECT_EQ(a.balances, b.balances);
  EXPECT_EQ(a.staked, b.staked);
  EXPECT_EQ(a.nonces, b.nonces);
}

TEST(StateTextTest, TheTipIsOneMoreMemberThatOldReadersIgnore) {
  const State state = sample();
  const std::string text = state.serialize_with_tip(StateTip{7, "ab12", 5});
  EXPECT_EQ(text, state.serialize().substr(0, state.serialize().size() - 1) +
                      ",\"last_block\":{\"index\":7,\"hash\":\"ab12\"},\"last_credit\":5}");
  expect_same(State::deserialize(text), state);  // the section reader
  std::optional<StateTip> tip;
  const auto read = State::parse_saved(text, tip);
  ASSERT_TRUE(read.has_value());
  expect_same(*read, state);
  EXPECT_EQ(tip, (StateTip{7, "ab12", 5}));
  EXPECT_EQ(state.serialize_with_tip(std::nullopt), state.serialize());
  // A file from before the credits log names no position in it: none included.
  const std::string old = state.serialize().substr(0, state.serialize().size() - 1) +
                          ",\"last_block\":{\"index\":7,\"hash\":\"ab12\"}}";
  ASSERT_TRUE(State::parse_saved(old, tip).has_value());
  EXPECT_EQ(tip, (StateTip{7, "ab12", 0}));
  EXPECT_FALSE(State::parse_saved(old.substr(0, old.size() - 1) + ",\"last_credit\":x}", tip));
}

TEST(StateTextTest, AFileWithoutTheTipReadsWithNone) {
  std::optional<StateTip> tip = StateTip{1, "x"};
  const auto read = State::parse_saved(sample().serialize() + "\n", tip);
  ASSERT_TRUE(read.has_value());
  expect_same(*read, sample());
  EXPECT_FALSE(tip.has_value());
  ASSERT_TRUE(State::parse_saved("{\"balances\":{},\"staked\":{},\"nonces\":{}}", tip));
}

TEST(StateTextTest, EveryCutOfAWholeTextIsRefused) {
  const std::string text = sample().serialize_with_tip(StateTip{3, "beef"});
  std::optional<StateTip> tip;
  for (size_t length = 0; length < text.size(); ++length) {
    EXPECT_FALSE(State::parse_saved(text.substr(0, length), tip).has_value()) << length;
  }
}

TEST(StateTextTest, DamagedTextsAreRefused) {
  const std::vector<std::string> damaged = {
      "garbage",
      "{\"balances\":{\"a\":1},\"staked\":{},\"nonces\":{}}x",
      "{\"balances\":{\"a\":-1},\"staked\":{},\"nonces\":{}}",
      "{\"balances\":{\"a\":x1},\"staked\":{},\"nonces\":{}}",
      "{\"balances\":{\"a\":18446744073709551616},\"staked\":{},\"nonces\":{}}",
      "{\"balances\":{\"a\":},\"staked\":{},\"nonces\":{}}",
      "{\"balances\":{\"a\":1,},\"staked\":{},\"nonces\":{}}",
      "{\"balances\":{\"a\x01\":1},\"staked\":{},\"nonces\":{}}",
      "{\"staked\":{},\"balances\":{},\"nonces\":{}}",
      "{\"balances\":{},\"staked\":{},\"nonces\":{},\"last_block\":{\"index\":1}}",
      "{\"balances\":{},\"staked\":{},\"nonces\":{},\"last_block\":{\"index\":,\"hash\":\"a\"}}",
      "{\"balances\":{},\"staked\":{},\"nonces\":{},\"other\":1}",
  };
  for (const std::string& text : damaged) {
    std::optional<StateTip> tip;
    EXPECT_FALSE(State::parse_saved(text, tip).has_value()) << text;
    EXPECT_FALSE(tip.has_value());
  }
}

TEST(StateTextTest, KeysWrittenByOlderNodesStillReadWhole) {
  // A brace inside a key broke the section reader; the strict reader walks
  // the quotes, so such a file from before the key check loses nothing.
  const std::string text =
      "{\"balances\":{\"RUZ!}000\":0,\"b\":2},\"staked\":{},\"nonces\":{\"b\":1}}";
  std::optional<StateTip> tip;
  const auto read = State::parse_saved(text, tip);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->get_balance("b"), 2u);
  EXPECT_EQ(read->get_nonce("b"), 1u);
}

TEST(StateKeyTest, KeysTheStateTextCanCarry) {
  for (const std::string key : {"0xabc", "RUZ0123", "0xzerirorivi_reward_pool_vault", "a b"}) {
    EXPECT_TRUE(is_state_key_safe(key)) << key;
  }
  for (const std::string key : {"", "a\"b", "a{b", "a}b", "a,b", "a:b", "a\nb", "a\tb"}) {
    EXPECT_FALSE(is_state_key_safe(key)) << key;
  }
  EXPECT_FALSE(is_state_key_safe(std::string("a\0b", 3)));
}

}  // namespace
}  // namespace ZezozuRiziv
