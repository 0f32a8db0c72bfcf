#include "chain/state.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "chain/accounts.h"
#include "chain/block.h"
#include "chain/transaction.h"
#include "chain/wallet.h"
#include "crypto/sha256.h"

namespace ZezozuRiziv {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kCoin = 1'000'000;
const char kIntegrity[] = "Firma o integrita' della transazione non valida";

// A native address around any 36-character body: the checksum is all that
// makes it valid, so it can carry characters a real key never produces.
std::string forged_address(const std::string& body) {
  const std::string stem = "RUZ" + body;
  return stem + RozeveCrypto::SHA256::double_hash_string(stem).substr(0, 4);
}

Transaction minting(TxType type, const std::string& sender, const std::string& recipient,
                    uint64_t amount) {
  return Transaction(type, sender, recipient, amount, 0, 0, 1'700'000'000);
}

class StateTest : public ::testing::Test {
 protected:
  struct Snapshot {
    std::map<std::string, uint64_t> balances, staked, nonces;
  };

  Snapshot snapshot() const { return {state.balances, state.staked, state.nonces}; }
  void expect_unchanged(const Snapshot& before) const {
    EXPECT_EQ(state.balances, before.balances);
    EXPECT_EQ(state.staked, before.staked);
    EXPECT_EQ(state.nonces, before.nonces);
  }

  std::string validation_error(const Transaction& tx) const {
    std::string error;
    return state.validate_transaction(tx, error) ? "" : error;
  }

  Wallet alice = Wallet::generate();
  Wallet bob = Wallet::generate();
  State state;
};

// ---- validation ----

struct ValidationCase {
  const char* name;
  TxType type;
  uint64_t amount;
  uint64_t fee;
  uint64_t nonce;
  uint64_t committed_nonce;
  uint64_t balance;
  bool has_stake_entry;
  uint64_t stake;
  const char* expected;  // empty: valid
};

class ValidationMessages : public StateTest,
                           public ::testing::WithParamInterface<ValidationCase> {};

TEST_P(ValidationMessages, FirstFailingCheckGivesItsMessage) {
  const ValidationCase& c = GetParam();
  state.balances[alice.address()] = c.balance;
  if (c.committed_nonce != 0) state.nonces[alice.address()] = c.committed_nonce;
  if (c.has_stake_entry) state.staked[alice.address()] = c.stake;

  Transaction tx;
  switch (c.type) {
    case TxType::TRANSFER:
      tx = alice.create_transfer(bob.address(), c.amount, c.fee, c.nonce);
      break;
    case TxType::STAKE:
      tx = alice.create_stake(c.amount, c.fee, c.nonce);
      break;
    default:
      tx = alice.create_unstake(c.amount, c.fee, c.nonce);
      break;
  }
  std::string error = "untouched";
  const bool valid = state.validate_transaction(tx, error);
  if (std::string(c.expected).empty()) {
    EXPECT_TRUE(valid);
    EXPECT_EQ(error, "untouched");
  } else {
    EXPECT_FALSE(valid);
    EXPECT_EQ(error, c.expected);
  }
}

const char kFeeMsg[] = "Fee inferiore alla commissione minima richiesta dalla rete";
const char kTransferZero[] = "Importo di trasferimento deve essere maggiore di zero";
const char kTransferBalance[] = "Saldo insufficiente per coprire importo e commissione";
const char kStakeZero[] = "Importo di staking deve essere maggiore di zero";
const char kStakeBalance[] = "Saldo insufficiente per il deposito di stake e fee";
const char kUnstakeZero[] = "Importo di unstake deve essere maggiore di zero";
const char kUnstakeFee[] = "Saldo insufficiente per pagare la fee di unstake";
const char kUnstakeStake[] = "Stake depositato insufficiente per il ritiro richiesto";

INSTANTIATE_TEST_SUITE_P(
    State, ValidationMessages,
    ::testing::Values(
        // The fee check comes before the nonce check.
        ValidationCase{"FeeBeforeNonce", TxType::TRANSFER, kCoin, 999, 5, 0, 10 * kCoin, false,
                       0, kFeeMsg},
        ValidationCase{"NonceMessage", TxType::TRANSFER, kCoin, 1'000, 5, 0, 10 * kCoin, false,
                       0, "Nonce non valido (atteso: 0, fornito: 5)"},
        ValidationCase{"NonceBehindCommitted", TxType::TRANSFER, kCoin, 1'000, 2, 1234567, 0,
                       false, 0, "Nonce non valido (atteso: 1234567, fornito: 2)"},
        // The nonce check comes before the balance check.
        ValidationCase{"NonceBeforeBalance", TxType::STAKE, kCoin, 1'000, 1, 0, 0, false, 0,
                       "Nonce non valido (atteso: 0, fornito: 1)"},
        ValidationCase{"TransferZero", TxType::TRANSFER, 0, 1'000, 0, 0, 0, false, 0,
                       kTransferZero},
        ValidationCase{"TransferShortByOne", TxType::TRANSFER, kCoin, 1'000, 0, 0,
                       kCoin + 999, false, 0, kTransferBalance},
        ValidationCase{"TransferExact", TxType::TRANSFER, kCoin, 1'000, 0, 0, kCoin + 1'000,
                       false, 0, ""},
        ValidationCase{"TransferLaterNonce", TxType::TRANSFER, kCoin, 1'000, 7, 7, 2 * kCoin,
                       false, 0, ""},
        // amount + fee wraps: it exceeds any balance, even the largest.
        ValidationCase{"TransferSumWraps", TxType::TRANSFER, kMax, 1'000, 0, 0, kMax, false, 0,
                       kTransferBalance},
        ValidationCase{"TransferSumWrapsToSmall", TxType::TRANSFER, kMax - 500, 1'500, 0, 0,
                       kCoin, false, 0, kTransferBalance},
        ValidationCase{"StakeZero", TxType::STAKE, 0, 1'000, 0, 0, 0, false, 0, kStakeZero},
        ValidationCase{"StakeShort", TxType::STAKE, kCoin, 1'000, 0, 0, kCoin, false, 0,
                       kStakeBalance},
        ValidationCase{"StakeSumWraps", TxType::STAKE, kMax, 1'000, 0, 0, kMax, false, 0,
                       kStakeBalance},
        ValidationCase{"StakeExact", TxType::STAKE, kCoin, 1'000, 0, 0, kCoin + 1'000, false, 0,
                       ""},
        ValidationCase{"UnstakeZero", TxType::UNSTAKE, 0, 1'000, 0, 0, 0, false, 0,
                       kUnstakeZero},
        ValidationCase{"UnstakeCannotPayFee", TxType::UNSTAKE, kCoin, 1'000, 0, 0, 999, true,
                       kCoin, kUnstakeFee},
        ValidationCase{"UnstakeWithoutStakeEntry", TxType::UNSTAKE, kCoin, 1'000, 0, 0,
                       10 * kCoin, false, 0, kUnstakeStake},
        ValidationCase{"UnstakeMoreThanStaked", TxType::UNSTAKE, kCoin, 1'000, 0, 0, 10 * kCoin,
                       true, kCoin - 1, kUnstakeStake},
        // Unstaking needs only the fee in the balance, not the amount.
        ValidationCase{"UnstakeExact", TxType::UNSTAKE, kMax, 1'000, 0, 0, 1'000, true, kMax,
                       ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StateTest, TamperedTransactionFailsIntegrityFirst) {
  Transaction tx = alice.create_transfer(bob.address(), kCoin, 999, 3);
  tx.amount += 1;  // hash no longer matches; every later check would fail too
  EXPECT_EQ(validation_error(tx), kIntegrity);
}

TEST_F(StateTest, MintingSkipsFeeNonceAndBalance) {
  for (TxType type : {TxType::COINBASE_REWARD, TxType::GENESIS}) {
    Transaction tx = minting(type, "COINBASE", bob.address(), 5 * kCoin);
    tx.nonce = 42;
    tx.tx_hash = tx.calculate_hash();
    EXPECT_EQ(validation_error(tx), "") << tx_type_to_string(type);
  }
}

TEST_F(StateTest, MintingCreditsRecipientWithoutNonce) {
  ASSERT_TRUE(state.apply_transaction(minting(TxType::COINBASE_REWARD, "COINBASE", "x", 7)));
  ASSERT_TRUE(state.apply_transaction(minting(TxType::GENESIS, "GENESIS", "x", 3)));
  EXPECT_EQ(state.get_balance("x"), 10u);
  EXPECT_TRUE(state.nonces.empty());
}

// ---- texts that would break a record or a state key ----

class RecordBreakingText : public StateTest, public ::testing::WithParamInterface<char> {};

TEST_P(RecordBreakingText, RefusedInSenderOrRecipientOfEveryType) {
  const char bad = GetParam();
  const std::string text = std::string("ab") + bad + "cd";

  EXPECT_EQ(validation_error(minting(TxType::COINBASE_REWARD, text, "x", 1)), kIntegrity);
  EXPECT_EQ(validation_error(minting(TxType::COINBASE_REWARD, "COINBASE", text, 1)), kIntegrity);
  EXPECT_EQ(validation_error(minting(TxType::GENESIS, "GENESIS", text, 1)), kIntegrity);

  // The recipient of a stake is not an address rule's business, only ours.
  state.balances[alice.address()] = 10 * kCoin;
  Transaction stake(TxType::STAKE, alice.address(), text, kCoin, 1'000, 0, 0);
  stake.sign(alice.private_key());
  ASSERT_TRUE(stake.verify());
  EXPECT_EQ(validation_error(stake), kIntegrity);

  // A native address body must be hex, so a forged one with a matching
  // checksum no longer verifies.
  const std::string sender = forged_address(std::string(17, 'a') + bad + std::string(18, 'a'));
  state.balances[sender] = 10 * kCoin;
  Transaction transfer(TxType::TRANSFER, sender, bob.address(), kCoin, 1'000, 0, 0);
  transfer.sign("any key");
  EXPECT_FALSE(transfer.verify());
  EXPECT_EQ(validation_error(transfer), kIntegrity);
  EXPECT_FALSE(state.apply_transaction(transfer));
  EXPECT_EQ(state.get_balance(bob.address()), 0u);
}

INSTANTIATE_TEST_SUITE_P(State, RecordBreakingText,
                         ::testing::Values('"', '{', '}', ',', ':', '\n', '\r', '\t', '\x01',
                                           '\x1f', '\0'));

TEST_F(StateTest, ForgedAddressWithPlainBodyIsAccepted) {
  // Control case for the above: the refusal comes from the character alone.
  const std::string sender = forged_address(std::string(36, 'a'));
  state.balances[sender] = 10 * kCoin;
  Transaction transfer(TxType::TRANSFER, sender, bob.address(), kCoin, 1'000, 0, 0);
  transfer.sign("any key");
  EXPECT_EQ(validation_error(transfer), "");
}

// ---- applying transactions ----

TEST_F(StateTest, TransferMovesAmountAndChargesFee) {
  state.balances[alice.address()] = 10 * kCoin;
  ASSERT_TRUE(state.apply_transaction(alice.create_transfer(bob.address(), 3 * kCoin, 2'000, 0)));
  EXPECT_EQ(state.get_balance(alice.address()), 7 * kCoin - 2'000);
  EXPECT_EQ(state.get_balance(bob.address()), 3 * kCoin);
  EXPECT_EQ(state.get_nonce(alice.address()), 1u);
  EXPECT_EQ(state.get_nonce(bob.address()), 0u);
}

TEST_F(StateTest, TransferToSelfCostsOnlyTheFee) {
  // The amount never really leaves, so a full balance cannot overflow.
  state.balances[alice.address()] = kMax;
  ASSERT_TRUE(
      state.apply_transaction(alice.create_transfer(alice.address(), kMax - 1'000, 1'000, 0)));
  EXPECT_EQ(state.get_balance(alice.address()), kMax - 1'000);
  EXPECT_EQ(state.get_nonce(alice.address()), 1u);
}

TEST_F(StateTest, StakeAndUnstakeMoveBetweenBalanceAndStake) {
  state.balances[alice.address()] = 2'000 * kCoin;
  ASSERT_TRUE(state.apply_transaction(alice.create_stake(1'500 * kCoin, 1'000, 0)));
  EXPECT_EQ(state.get_balance(alice.address()), 500 * kCoin - 1'000);
  EXPECT_EQ(state.get_stake(alice.address()), 1'500 * kCoin);
  ASSERT_TRUE(state.apply_transaction(alice.create_unstake(500 * kCoin, 1'000, 1)));
  EXPECT_EQ(state.get_balance(alice.address()), 1'000 * kCoin - 2'000);
  EXPECT_EQ(state.get_stake(alice.address()), 1'000 * kCoin);
  EXPECT_EQ(state.get_nonce(alice.address()), 2u);
}

TEST_F(StateTest, InvalidTransactionChangesNothing) {
  state.balances[alice.address()] = kCoin;
  const Snapshot before = snapshot();
  EXPECT_FALSE(state.apply_transaction(alice.create_transfer(bob.address(), kCoin, 1'000, 0)));
  expect_unchanged(before);
}

TEST_F(StateTest, CreditThatWouldOverflowChangesNothing) {
  struct Case {
    const char* name;
    std::function<void()> prepare;
    std::function<Transaction()> make;
  };
  const std::vector<Case> cases = {
      {"recipient balance",
       [&] {
         state.balances[alice.address()] = 10 * kCoin;
         state.balances[bob.address()] = kMax;
       },
       [&] { return alice.create_transfer(bob.address(), 1, 1'000, 0); }},
      {"stake",
       [&] {
         state.balances[alice.address()] = 10 * kCoin;
         state.staked[alice.address()] = kMax;
       },
       [&] { return alice.create_stake(1, 1'000, 0); }},
      {"balance after unstake",
       [&] {
         state.balances[alice.address()] = kMax;
         state.staked[alice.address()] = 5'000;
       },
       [&] { return alice.create_unstake(2'000, 1'000, 0); }},
      {"minting recipient",
       [&] { state.balances["x"] = kMax - 1; },
       [&] { return minting(TxType::COINBASE_REWARD, "COINBASE", "x", 2); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    state = State();
    c.prepare();
    const Transaction tx = c.make();
    std::string error;
    ASSERT_TRUE(state.validate_transaction(tx, error)) << error;
    const Snapshot before = snapshot();
    EXPECT_FALSE(state.apply_transaction(tx));
    expect_unchanged(before);
  }
}

TEST_F(StateTest, CreditUpToTheLimitIsApplied) {
  state.balances[alice.address()] = 10 * kCoin;
  state.balances[bob.address()] = kMax - 1;
  EXPECT_TRUE(state.apply_transaction(alice.create_transfer(bob.address(), 1, 1'000, 0)));
  EXPECT_EQ(state.get_balance(bob.address()), kMax);
}

// ---- applying blocks ----

Block make_block(uint64_t index, const std::string& validator, std::vector<Transaction> txs) {
  return Block(index, std::string(64, '0'), validator, txs, 1'700'000'100);
}

TEST_F(StateTest, FeeSharesFollowTheAmountNotTheFee) {
  state.balances[alice.address()] = 10 * kCoin;
  const std::string validator = "RUZvalidator";
  Block block = make_block(1, validator, {alice.create_transfer(bob.address(), kCoin, 5'000, 0)});
  ASSERT_TRUE(state.apply_block(block, 0));
  EXPECT_EQ(state.get_balance(alice.address()), 10 * kCoin - kCoin - 5'000);
  EXPECT_EQ(state.get_balance(bob.address()), kCoin);
  EXPECT_EQ(state.get_balance(kFeeTreasuryAddress), 8'000u);
  EXPECT_EQ(state.get_balance(kIncubatorAddress), 6'000u);
  EXPECT_EQ(state.get_balance(kBurnAddress), 2'000u);
  EXPECT_EQ(state.get_balance(validator), 4'000u);
}

TEST_F(StateTest, ValidatorGetsSharesOfEveryTransactionPlusReward) {
  state.balances[alice.address()] = 10 * kCoin;
  Block block = make_block(2, "RUZv", {alice.create_transfer(bob.address(), kCoin, 1'000, 0),
                                       alice.create_transfer(bob.address(), 2 * kCoin, 1'000, 1),
                                       minting(TxType::COINBASE_REWARD, "COINBASE", "RUZv", 1)});
  ASSERT_TRUE(state.apply_block(block, 2'000'000));
  // 4,000 + 8,000 in shares, 2 coins of reward and the minted unit.
  EXPECT_EQ(state.get_balance("RUZv"), 4'000u + 8'000u + 2'000'000u + 1u);
  EXPECT_EQ(state.get_balance(kFeeTreasuryAddress), 24'000u);
}

TEST_F(StateTest, NoValidatorCreditAtIndexZeroOrWithoutValidator) {
  state.balances[alice.address()] = 10 * kCoin;
  ASSERT_TRUE(state.apply_block(
      make_block(0, "RUZv", {alice.create_transfer(bob.address(), kCoin, 1'000, 0)}), 5 * kCoin));
  ASSERT_TRUE(state.apply_block(
      make_block(1, "", {alice.create_transfer(bob.address(), kCoin, 1'000, 1)}), 5 * kCoin));
  EXPECT_EQ(state.balances.count("RUZv"), 0u);
  EXPECT_EQ(state.balances.count(""), 0u);
  EXPECT_EQ(state.get_balance(kFeeTreasuryAddress), 16'000u);
}

TEST_F(StateTest, AllMintingBlockCreatesValidatorEntryWithZero) {
  ASSERT_TRUE(state.apply_block(
      make_block(1, "RUZv", {minting(TxType::COINBASE_REWARD, "COINBASE", "RUZm", kCoin)}), 0));
  ASSERT_EQ(state.balances.count("RUZv"), 1u);
  EXPECT_EQ(state.get_balance("RUZv"), 0u);
  // Minting pays no fee shares.
  EXPECT_EQ(state.balances.count(kFeeTreasuryAddress), 0u);
  EXPECT_EQ(state.balances.count(kBurnAddress), 0u);
}

TEST_F(StateTest, GenesisBlockCreditsTreasury) {
  ASSERT_TRUE(state.apply_block(Block::create_genesis_block(alice.address()), 0));
  EXPECT_EQ(state.get_balance(alice.address()), kGenesisSupply);
  EXPECT_EQ(state.balances.size(), 1u);
}

TEST_F(StateTest, BlockIsAllOrNothing) {
  const std::string full = forged_address(std::string(36, 'f'));
  struct Case {
    const char* name;
    std::function<void()> prepare;
    std::function<Transaction()> second;  // follows a valid 1-coin transfer
    uint64_t reward;
  };
  const std::vector<Case> cases = {
      {"second transaction invalid", [] {},
       [&] { return alice.create_transfer(bob.address(), kCoin, 1'000, 5); }, 0},
      {"second transaction overflows a credit", [&] { state.balances[full] = kMax; },
       [&] { return alice.create_transfer(full, kCoin, 1'000, 1); }, 0},
      {"second stake overflows", [&] { state.staked[alice.address()] = kMax - kCoin + 1; },
       [&] { return alice.create_stake(kCoin, 1'000, 1); }, 0},
      // The first transfer's 2,000 fits, the second's does not.
      {"fee share overflows the burn account",
       [&] { state.balances[kBurnAddress] = kMax - 3'000; },
       [&] { return alice.create_transfer(bob.address(), kCoin, 1'000, 1); }, 0},
      {"fee share overflows the treasury",
       [&] { state.balances[kFeeTreasuryAddress] = kMax - 10'000; },
       [&] { return alice.create_transfer(bob.address(), kCoin, 1'000, 1); }, 0},
      {"validator credit overflows", [&] { state.balances["RUZv"] = kMax - 4'000; },
       [&] { return alice.create_stake(kCoin, 1'000, 1); }, 0},
      {"validator total plus reward overflows", [] {},
       [&] { return alice.create_transfer(bob.address(), kCoin, 1'000, 1); }, kMax - 4'000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    state = State();
    state.balances[alice.address()] = 10 * kCoin;
    state.balances[kFeeTreasuryAddress] = 77;
    state.staked[alice.address()] = 3 * kCoin;
    state.nonces[bob.address()] = 4;
    c.prepare();
    const Snapshot before = snapshot();
    Block block = make_block(1, "RUZv",
                             {alice.create_transfer(bob.address(), kCoin, 1'000, 0), c.second()});
    EXPECT_FALSE(state.apply_block(block, c.reward));
    expect_unchanged(before);
  }
}

TEST_F(StateTest, BlockAppliesWhenEveryCreditFits) {
  // The same block as above with room everywhere, so the failures are the
  // overflows and not something else.
  state.balances[alice.address()] = 10 * kCoin;
  state.balances[kBurnAddress] = kMax - 4'000;
  state.balances["RUZv"] = kMax - 8'000 - 5;
  Block block = make_block(1, "RUZv", {alice.create_transfer(bob.address(), kCoin, 1'000, 0),
                                       alice.create_stake(kCoin, 1'000, 1)});
  ASSERT_TRUE(state.apply_block(block, 5));
  EXPECT_EQ(state.get_balance(kBurnAddress), kMax);
  EXPECT_EQ(state.get_balance("RUZv"), kMax);
  EXPECT_EQ(state.get_stake(alice.address()), kCoin);
  EXPECT_EQ(state.get_nonce(alice.address()), 2u);
}

// ---- totals and validators ----

TEST_F(StateTest, GettersDoNotCreateEntries) {
  EXPECT_EQ(state.get_balance("nobody"), 0u);
  EXPECT_EQ(state.get_stake("nobody"), 0u);
  EXPECT_EQ(state.get_nonce("nobody"), 0u);
  EXPECT_TRUE(state.balances.empty());
  EXPECT_TRUE(state.staked.empty());
  EXPECT_TRUE(state.nonces.empty());
}

TEST_F(StateTest, TotalsSumAndSaturate) {
  state.balances = {{"a", 5}, {"b", 7}};
  state.staked = {{"a", 100}, {"c", 1}};
  EXPECT_EQ(state.get_total_staked(), 101u);
  EXPECT_EQ(state.get_total_circulating(), 113u);

  state.balances["d"] = kMax;
  EXPECT_EQ(state.get_total_circulating(), kMax);
  EXPECT_EQ(state.get_total_staked(), 101u);
  state.staked["e"] = kMax;
  EXPECT_EQ(state.get_total_staked(), kMax);
}

TEST_F(StateTest, ActiveValidatorsFromOneThousandCoinsInAddressOrder) {
  state.staked = {{"b", 1'000'000'000}, {"a", 5'000'000'000}, {"c", 999'999'999}, {"d", 0}};
  const std::vector<std::pair<std::string, uint64_t>> expected = {{"a", 5'000'000'000},
                                                                  {"b", 1'000'000'000}};
  EXPECT_EQ(state.get_active_validators(), expected);
}

// ---- state text ----

TEST(StateText, ExactTextOfSmallState) {
  State state;
  state.balances = {{"RUZb", 5}, {"abc", 2}, {"ab", 1}, {"0xdead", 0}};
  state.staked = {{"RUZb", 18'446'744'073'709'551'615ULL}};
  state.nonces = {{"RUZb", 3}};
  EXPECT_EQ(state.serialize(),
            "{\"balances\":{\"0xdead\":0,\"RUZb\":5,\"ab\":1,\"abc\":2},"
            "\"staked\":{\"RUZb\":18446744073709551615},\"nonces\":{\"RUZb\":3}}");
}

TEST(StateText, EmptyState) {
  EXPECT_EQ(State().serialize(), "{\"balances\":{},\"staked\":{},\"nonces\":{}}");
  const State read = State::deserialize("{\"balances\":{},\"staked\":{},\"nonces\":{}}");
  EXPECT_TRUE(read.balances.empty());
  EXPECT_TRUE(read.staked.empty());
  EXPECT_TRUE(read.nonces.empty());
}

TEST(StateText, RoundTrip) {
  State state;
  for (int i = 0; i < 50; ++i) {
    const std::string address = "RUZ" + std::to_string(i * 7919);
    state.balances[address] = static_cast<uint64_t>(i) * 1'234'567;
    if (i % 3 == 0) state.staked[address] = kMax - static_cast<uint64_t>(i);
    if (i % 2 == 0) state.nonces[address] = static_cast<uint64_t>(i);
  }
  state.balances[kRewardPoolAddress] = 0;
  const State read = State::deserialize(state.serialize());
  EXPECT_EQ(read.balances, state.balances);
  EXPECT_EQ(read.staked, state.staked);
  EXPECT_EQ(read.nonces, state.nonces);
  EXPECT_EQ(read.serialize(), state.serialize());
}

TEST(StateText, UnreadablePairsAreDroppedNeighboursSurvive) {
  const State read = State::deserialize(
      "{\"balances\":{\"a\":1,\"b\":x5,\"c\":2,\"d\":-1,\"e\":3,"
      "\"f\":18446744073709551616,\"g\":4,\"h\":+5,\"i\": 7,\"j\":8abc,\"k\":,"
      "\"l\":18446744073709551615},"
      "\"staked\":{\"s\":-0,\"t\":9},\"nonces\":{\"n\":1}}");
  const std::map<std::string, uint64_t> balances = {
      {"a", 1}, {"c", 2}, {"e", 3}, {"g", 4}, {"i", 7}, {"j", 8}, {"l", kMax}};
  EXPECT_EQ(read.balances, balances);
  EXPECT_EQ(read.staked, (std::map<std::string, uint64_t>{{"t", 9}}));
  EXPECT_EQ(read.nonces, (std::map<std::string, uint64_t>{{"n", 1}}));
}

TEST(StateText, MissingSectionsAndRepeatedNames) {
  const State read = State::deserialize("{\"nonces\":{\"n\":1,\"n\":2},\"balances\":{\"a\":3}}");
  EXPECT_EQ(read.balances, (std::map<std::string, uint64_t>{{"a", 3}}));
  EXPECT_TRUE(read.staked.empty());
  EXPECT_EQ(read.nonces, (std::map<std::string, uint64_t>{{"n", 2}}));

  EXPECT_TRUE(State::deserialize("").balances.empty());
  EXPECT_TRUE(State::deserialize("{\"balances\":{\"a\":1").balances.empty());  // no '}'
}

TEST(StateText, LastPairWithoutCommaRunsToEndOfSection) {
  const State read = State::deserialize("{\"balances\":{ \"a\" : 12 , \"b\":34}}");
  EXPECT_EQ(read.balances, (std::map<std::string, uint64_t>{{"a", 12}, {"b", 34}}));
}

}  // namespace
}  // namespace ZezozuRiziv
