#include "storage/credits_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "chain/accounts.h"

namespace fs = std::filesystem;

namespace ZezozuRiziv {
namespace {

const std::string kAlice = "0xaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";

std::vector<CreditRecord> sample() {
  return {{1, 0, CreditKind::kFaucet, kAlice, 1'000'000'000},
          {2, 0, CreditKind::kWelcome, "RUZ0123456789abcdef0123456789abcdef01234abcd", 100'000'000},
          {3, 4, CreditKind::kUnstake, kAlice, 5},
          {4, 4, CreditKind::kRefill, "ruz7a3f0c1e5b9d24681ace0bdf13579e2468ac0f1e", UINT64_MAX}};
}

class CreditsLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    path_ = fs::temp_directory_path() /
            ("rozeve_credits_" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "_" +
             std::to_string(counter++) + ".dat");
  }
  void TearDown() override { fs::remove(path_); }
  void write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  static std::string lines(const std::vector<CreditRecord>& records) {
    std::string text;
    for (const CreditRecord& record : records) text += format_credit_line(record) + "\n";
    return text;
  }
  CreditsRead read(CreditsLogContent& content, std::string& damage) {
    return read_credits_log(path_.string(), content, damage);
  }
  fs::path path_;
};

TEST_F(CreditsLogTest, LinesReadBackAsTheyWereWritten) {
  EXPECT_EQ(format_credit_line(sample()[0]),
            "{\"seq\":1,\"after_block\":0,\"kind\":\"faucet\",\"account\":\"" + kAlice +
                "\",\"amount\":1000000000,\"check\":\"" +
                format_credit_line(sample()[0]).substr(format_credit_line(sample()[0]).size() - 10));
  for (const CreditRecord& record : sample()) {
    EXPECT_EQ(parse_credit_line(format_credit_line(record)), record);
  }
  write(lines(sample()));
  CreditsLogContent content;
  std::string damage;
  ASSERT_EQ(read(content, damage), CreditsRead::kRead);
  EXPECT_EQ(content.records, sample());
  EXPECT_EQ(content.ends.back(), fs::file_size(path_));
  EXPECT_FALSE(content.torn_tail);
}

TEST_F(CreditsLogTest, AnyChangedByteFailsTheLine) {
  const std::string line = format_credit_line(sample()[2]);
  for (size_t i = 0; i < line.size(); ++i) {
    std::string changed = line;
    changed[i] = changed[i] == '7' ? '8' : '7';
    EXPECT_FALSE(parse_credit_line(changed).has_value()) << i;
  }
  EXPECT_FALSE(parse_credit_line(line + " ").has_value());
  EXPECT_FALSE(parse_credit_line(line.substr(0, line.size() - 1)).has_value());
  // A well-formed line of an unknown kind or an unsafe account is refused
  // even with a matching checksum.
  CreditRecord unsafe = sample()[0];
  unsafe.account = "a\"b";
  EXPECT_FALSE(parse_credit_line(format_credit_line(unsafe)).has_value());
}

TEST_F(CreditsLogTest, OnlyTheLastLineMayBeTorn) {
  const std::string whole = lines(sample());
  const std::string last = format_credit_line(sample()[3]);
  const std::string three = lines({sample()[0], sample()[1], sample()[2]});
  struct Case {
    std::string name;
    std::string text;
    CreditsRead expected;
    size_t records;
    bool torn;
  };
  const std::vector<Case> cases = {
      {"empty", "", CreditsRead::kRead, 0, false},
      {"whole", whole, CreditsRead::kRead, 4, false},
      {"last line cut", three + last.substr(0, 30), CreditsRead::kRead, 3, true},
      {"last line without its line feed", three + last, CreditsRead::kRead, 3, true},
      {"zeros after the last line", three + std::string(300, '\0'), CreditsRead::kRead, 3, true},
      {"garbled last line", three + "x" + last.substr(1) + "\n", CreditsRead::kRead, 3, true},
      {"garbled first line", "x" + whole.substr(1), CreditsRead::kDamaged, 0, false},
      {"empty line inside", lines({sample()[0]}) + "\n" + lines({sample()[1]}), CreditsRead::kDamaged, 0, false},
      {"line out of sequence", lines({sample()[0], sample()[2]}), CreditsRead::kDamaged, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write(c.text);
    CreditsLogContent content;
    std::string damage;
    EXPECT_EQ(read(content, damage), c.expected);
    if (c.expected == CreditsRead::kDamaged) {
      EXPECT_NE(damage.find("riga "), std::string::npos) << damage;
      continue;
    }
    EXPECT_EQ(content.records.size(), c.records);
    EXPECT_EQ(content.torn_tail, c.torn);
  }
  fs::remove(path_);
  CreditsLogContent content;
  std::string damage;
  EXPECT_EQ(read(content, damage), CreditsRead::kMissing);
  fs::create_directory(path_);
  EXPECT_EQ(read(content, damage), CreditsRead::kDamaged);
  fs::remove(path_);
}

TEST_F(CreditsLogTest, EachKindHasItsRule) {
  State state;
  state.balances[kAlice] = 10;
  state.staked[kAlice] = 5;
  state.balances["ruz7a3f0c1e5b9d24681ace0bdf13579e2468ac0f1e"] = 600;
  const std::string treasury = "ruz7a3f0c1e5b9d24681ace0bdf13579e2468ac0f1e";
  struct Case {
    CreditKind kind;
    std::string account;
    uint64_t amount;
    const char* error;  // empty: applies
  };
  const Case cases[] = {
      {CreditKind::kFaucet, kAlice, UINT64_MAX, kOverflowMessage},
      {CreditKind::kWelcome, "a,b", 1, kUnsafeKeyMessage},
      {CreditKind::kUnstake, kAlice, 6, kUnstakeFundsMessage},
      {CreditKind::kUnstake, kAlice, 0, kUnstakeFundsMessage},
      {CreditKind::kRefill, treasury, 601, kRefillFundsMessage},
      {CreditKind::kRefill, kRewardPoolAddress, 1, kRefillFundsMessage},
      {CreditKind::kFaucet, kAlice, 3, ""},
      {CreditKind::kUnstake, kAlice, 5, ""},
      {CreditKind::kRefill, treasury, 600, ""},
  };
  for (const Case& c : cases) {
    const State before = state;
    StateUndo undo(state);
    const CreditRecord record{1, 0, c.kind, c.account, c.amount};
    const LedgerResult result = apply_credit_rule(record, state, undo);
    EXPECT_EQ(result.error, c.error) << format_credit_line(record);
    if (!result) {
      EXPECT_EQ(state.balances, before.balances);
      EXPECT_EQ(state.staked, before.staked);
    }
  }
  EXPECT_EQ(state.get_balance(kAlice), 18u);
  EXPECT_EQ(state.get_stake(kAlice), 0u);
  EXPECT_EQ(state.get_balance(treasury), 0u);
  EXPECT_EQ(state.get_balance(kRewardPoolAddress), 600u);
}

}  // namespace
}  // namespace ZezozuRiziv
