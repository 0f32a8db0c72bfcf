// What the ledger takes from a peer: never a spend from an account the peer
// does not speak for, never a fee that lets the split create or destroy
// coins.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "chain/accounts.h"
#include "chain/tokenomics.h"
#include "chain/wallet.h"
#include "storage/block_rules.h"
#include "storage/ledger.h"

namespace fs = std::filesystem;

namespace ZezozuRiziv {
namespace {

constexpr uint64_t kCoin = 1'000'000;
const std::string kWalletAccount = "0xabababababababababababababababababababab";
const std::string kOtherWallet = "0xcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcd";

uint64_t fee_total(uint64_t amount) { return Tokenomics::calculate_fee_breakdown(amount).total; }

std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

Transaction signed_tx(TxType type, const std::string& sender, const std::string& recipient,
                      uint64_t amount, uint64_t fee) {
  Transaction tx(type, sender, recipient, amount, fee, 0, 1);
  tx.signature = std::string(64, '7');  // any 64 characters pass the form check
  return tx;
}

// ---- the rule alone ----

TEST(PeerAdmissionRule, ProtectedAccountsWhateverTheirCase) {
  const Wallet treasury = Wallet::generate();
  const Wallet native = Wallet::generate();
  const RuleContext context{treasury.address()};
  const struct {
    std::string account;
    bool is_protected;
  } cases[] = {
      {kWalletAccount, true},
      {upper(kWalletAccount), true},
      {"0X" + kWalletAccount.substr(2), true},
      {kIncubatorAddress, true},
      {kBurnAddress, true},
      {"0x000000000000000000000000000000000000dEaD", true},
      {kGameValidatorAddress, true},
      {kRewardPoolAddress, true},
      {kFeeTreasuryAddress, true},
      {upper(kFeeTreasuryAddress), true},
      {treasury.address(), true},
      {"RUZ" + upper(treasury.address().substr(3)), true},
      {native.address(), false},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_peer_protected_account(c.account, context), c.is_protected) << c.account;
  }
  // Without a known genesis treasury only the fixed accounts are protected.
  EXPECT_FALSE(is_peer_protected_account(treasury.address(), RuleContext{}));
}

TEST(PeerAdmissionRule, TransactionsTable) {
  const Wallet treasury = Wallet::generate();
  const Wallet alice = Wallet::generate();
  const Wallet bob = Wallet::generate();
  const RuleContext context{treasury.address()};
  const std::string a = alice.address();
  const std::string b = bob.address();
  const std::string bob_upper_body = "RUZ" + upper(b.substr(3));
  const uint64_t big = 1'234'567;
  const struct {
    const char* what;
    Transaction tx;
    std::string refusal;  // empty: admitted
  } cases[] = {
      {"native transfer, whole fee", signed_tx(TxType::TRANSFER, a, b, big, fee_total(big)), ""},
      {"to a wallet", signed_tx(TxType::TRANSFER, a, kWalletAccount, big, fee_total(big)), ""},
      {"to the genesis treasury",
       signed_tx(TxType::TRANSFER, a, treasury.address(), kCoin, fee_total(kCoin)), ""},
      {"smallest fee", signed_tx(TxType::TRANSFER, a, b, 1, 1'000), ""},
      {"stake, whole fee", signed_tx(TxType::STAKE, a, a, big, fee_total(big)), ""},
      {"unstake, whole fee", signed_tx(TxType::UNSTAKE, a, a, big, fee_total(big)), ""},
      {"fee one short", signed_tx(TxType::TRANSFER, a, b, big, fee_total(big) - 1), kPeerFeeMessage},
      {"fee one over", signed_tx(TxType::TRANSFER, a, b, big, fee_total(big) + 1), kPeerFeeMessage},
      {"network minimum on 1,000 RUZ",
       signed_tx(TxType::TRANSFER, a, b, 1'000 * kCoin, 1'000), kPeerFeeMessage},
      {"stake, minimum fee", signed_tx(TxType::STAKE, a, a, 1'000 * kCoin, 1'000), kPeerFeeMessage},
      {"unstake, minimum fee",
       signed_tx(TxType::UNSTAKE, a, a, 1'000 * kCoin, 1'000), kPeerFeeMessage},
      {"from a wallet",
       signed_tx(TxType::TRANSFER, kWalletAccount, kOtherWallet, 99 * kCoin, 1'000),
       kPeerProtectedSpendMessage},
      {"from a wallet, upper case",
       signed_tx(TxType::TRANSFER, upper(kWalletAccount), b, kCoin, fee_total(kCoin)),
       kPeerProtectedSpendMessage},
      {"stake of a wallet",
       signed_tx(TxType::STAKE, kWalletAccount, kWalletAccount, kCoin, fee_total(kCoin)),
       kPeerProtectedSpendMessage},
      {"unstake of a wallet",
       signed_tx(TxType::UNSTAKE, kWalletAccount, kWalletAccount, kCoin, fee_total(kCoin)),
       kPeerProtectedSpendMessage},
      {"from the genesis treasury",
       signed_tx(TxType::TRANSFER, treasury.address(), b, kCoin, fee_total(kCoin)),
       kPeerProtectedSpendMessage},
      {"from the incubator",
       signed_tx(TxType::TRANSFER, kIncubatorAddress, b, kCoin, fee_total(kCoin)),
       kPeerProtectedSpendMessage},
      {"from the game's validator",
       signed_tx(TxType::TRANSFER, kGameValidatorAddress, b, kCoin, fee_total(kCoin)),
       kPeerProtectedSpendMessage},
      {"to an upper-case wallet",
       signed_tx(TxType::TRANSFER, a, upper(kWalletAccount), kCoin, fee_total(kCoin)),
       kPeerAccountCaseMessage},
      {"to an upper-case native body",
       signed_tx(TxType::TRANSFER, a, bob_upper_body, kCoin, fee_total(kCoin)),
       kPeerAccountCaseMessage},
      {"from an upper-case native body",
       signed_tx(TxType::TRANSFER, "RUZ" + upper(a.substr(3)), b, kCoin, fee_total(kCoin)),
       kPeerAccountCaseMessage},
      {"coinbase", signed_tx(TxType::COINBASE_REWARD, a, b, kCoin, 0), "mint"},
      {"genesis", signed_tx(TxType::GENESIS, a, b, kCoin, 0), "mint"},
  };
  for (const auto& c : cases) {
    const LedgerResult result = check_peer_transaction(c.tx, context);
    if (c.refusal.empty()) {
      EXPECT_TRUE(result.ok) << c.what << ": " << result.error;
    } else if (c.refusal == "mint") {
      EXPECT_FALSE(result.ok) << c.what;
      EXPECT_FALSE(is_peer_admission_refusal(result.error)) << c.what;  // silent, as before
    } else {
      EXPECT_EQ(result.error, c.refusal) << c.what;
      EXPECT_TRUE(is_peer_admission_refusal(result.error)) << c.what;
    }
  }
}

TEST(PeerAdmissionRule, BlockNeedsEveryTransactionAndALowerCaseValidator) {
  const Wallet treasury = Wallet::generate();
  const Wallet alice = Wallet::generate();
  const RuleContext context{treasury.address()};
  const Transaction good =
      signed_tx(TxType::TRANSFER, alice.address(), kOtherWallet, kCoin, fee_total(kCoin));
  const Transaction bad =
      signed_tx(TxType::TRANSFER, kWalletAccount, kOtherWallet, kCoin, fee_total(kCoin));
  const struct {
    Block block;
    std::string refusal;
  } cases[] = {
      {Block(1, std::string(64, '0'), kOtherWallet, {good, good}, 1), ""},
      {Block(1, std::string(64, '0'), kOtherWallet, {}, 1), ""},
      {Block(1, std::string(64, '0'), kOtherWallet, {good, bad}, 1), kPeerProtectedSpendMessage},
      {Block(1, std::string(64, '0'), upper(kOtherWallet), {good}, 1), kPeerAccountCaseMessage},
      {Block(1, std::string(64, '0'), "", {good}, 1), kPeerAccountCaseMessage},
  };
  for (const auto& c : cases) {
    const LedgerResult result = check_peer_block(c.block, context);
    EXPECT_EQ(result.ok, c.refusal.empty()) << c.block.serialize();
    EXPECT_EQ(result.error, c.refusal) << c.block.serialize();
  }
}

// ---- through the ledger ----

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class PeerAdmissionLedgerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    dir_ = fs::temp_directory_path() /
           ("rozeve_peer_admission_" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "_" +
            std::to_string(counter++));
    storage_ = std::make_unique<Storage>(dir_.string());
    CommittedBlock genesis;
    ASSERT_TRUE(ledger().commit_genesis(treasury_.address(), genesis).ok);
    ASSERT_TRUE(ledger().credit(alice_.address(), 10'000'000 * kCoin).ok);
    ASSERT_TRUE(ledger().credit(kWalletAccount, 100 * kCoin).ok);
  }
  void TearDown() override {
    storage_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  Ledger ledger() { return Ledger(*storage_, state_); }
  std::string files() const {
    return read_file(dir_ / "blocks.dat") + "|" + read_file(dir_ / "credits.dat") + "|" +
           read_file(dir_ / "state.json");
  }
  Block next(std::vector<Transaction> txs, const std::string& validator = kOtherWallet) {
    const std::vector<Block>& chain = storage_->get_blocks_cached();
    Block block(chain.size(), chain.back().block_hash, validator, std::move(txs), 0);
    block.seal("any key");
    return block;
  }
  Transaction from_alice(TxType type, const std::string& to, uint64_t amount,
                         std::optional<uint64_t> fee = std::nullopt, uint64_t nonce_offset = 0) {
    Transaction tx(type, alice_.address(), to, amount, fee.value_or(fee_total(amount)),
                   state_.get_nonce(alice_.address()) + nonce_offset, 1);
    tx.sign(alice_.private_key());
    return tx;
  }

  fs::path dir_;
  Wallet treasury_ = Wallet::generate();
  Wallet alice_ = Wallet::generate();
  Wallet bob_ = Wallet::generate();
  State state_;
  std::unique_ptr<Storage> storage_;
};

TEST_F(PeerAdmissionLedgerTest, RefusalsWriteNothing) {
  const std::string before = files();
  const State state_before = state_;
  Transaction forged(TxType::TRANSFER, kWalletAccount, kOtherWallet, 99 * kCoin, 1'000, 0, 1);
  forged.signature = std::string(64, 'f');
  Transaction from_treasury(TxType::TRANSFER, treasury_.address(), kOtherWallet, 99 * kCoin,
                            fee_total(99 * kCoin), 0, 1);
  from_treasury.signature = std::string(64, 'f');
  const Block blocks[] = {
      next({forged}),
      next({from_treasury}),
      next({from_alice(TxType::TRANSFER, bob_.address(), 1'000 * kCoin, 1'000)}),
      next({from_alice(TxType::TRANSFER, bob_.address(), kCoin), forged}),
      next({from_alice(TxType::TRANSFER, bob_.address(), kCoin)}, upper(kOtherWallet)),
  };
  for (const Block& block : blocks) {
    ASSERT_TRUE(block.verify()) << block.serialize();
    CommittedBlock done;
    const LedgerResult result = ledger().commit_peer_block(block, done);
    EXPECT_FALSE(result.ok) << block.serialize();
    EXPECT_TRUE(is_peer_admission_refusal(result.error)) << result.error;
  }
  EXPECT_EQ(files(), before);
  EXPECT_EQ(state_.balances, state_before.balances);
  EXPECT_EQ(state_.nonces, state_before.nonces);
  EXPECT_EQ(storage_->get_blocks_cached().size(), 1u);
}

TEST_F(PeerAdmissionLedgerTest, AcceptedBlocksKeepTheSupplyExactly) {
  // Amounts around the rounding of every share and the 1,000-unit floor.
  const uint64_t amounts[] = {1,     999,       1'000,     49'999,     50'000,     50'001,
                              50'049, 1'234'567, 99 * kCoin, 1'000 * kCoin, 1'000'000 * kCoin};
  for (const uint64_t amount : amounts) {
    const uint64_t supply = state_.get_total_circulating();
    CommittedBlock done;
    ASSERT_TRUE(ledger().commit_peer_block(next({from_alice(TxType::TRANSFER, bob_.address(), amount)}),
                                           done)
                    .ok)
        << amount;
    EXPECT_EQ(state_.get_total_circulating(), supply) << amount;
  }
  // A stake and an unstake, and several transactions in one block.
  const uint64_t supply = state_.get_total_circulating();
  CommittedBlock done;
  ASSERT_TRUE(ledger().commit_peer_block(next({from_alice(TxType::STAKE, alice_.address(), 5'000 * kCoin)}),
                                         done)
                  .ok);
  EXPECT_EQ(state_.get_stake(alice_.address()), 5'000 * kCoin);
  ASSERT_TRUE(ledger()
                  .commit_peer_block(next({from_alice(TxType::UNSTAKE, alice_.address(), 1'234'567),
                                           from_alice(TxType::TRANSFER, kWalletAccount, 77'777, {}, 1),
                                           from_alice(TxType::TRANSFER, bob_.address(), 3 * kCoin, {}, 2)}),
                                     done)
                  .ok);
  EXPECT_EQ(state_.get_stake(alice_.address()), 5'000 * kCoin - 1'234'567);
  EXPECT_EQ(state_.get_total_circulating(), supply);
  // What the logs rebuild is what is in memory.
  Storage reopened(dir_.string());
  State saved;
  CatchUpReport report;
  ASSERT_TRUE(Ledger(reopened, saved).load_and_catch_up(report).ok);
  EXPECT_EQ(saved.get_total_circulating(), supply);
}

TEST_F(PeerAdmissionLedgerTest, ABlockLoggedBeforeTheCheckStillReplays) {
  // Admission is not application: a log written when peers could pay the
  // network minimum from the genesis treasury still rebuilds its state.
  Transaction old(TxType::TRANSFER, treasury_.address(), bob_.address(), 10 * kCoin, 1'000, 0, 1);
  old.sign(treasury_.private_key());
  const Block block = next({old});
  StateUndo undo(state_);
  ASSERT_TRUE(apply_block_rule(BlockKind::kPeer, block, state_, undo,
                               RuleContext{treasury_.address()})
                  .ok);
  ASSERT_TRUE(storage_->save_block(block));
  fs::remove(dir_ / "state.json");
  Storage reopened(dir_.string());
  State rebuilt;
  CatchUpReport report;
  ASSERT_TRUE(Ledger(reopened, rebuilt).load_and_catch_up(report).ok);
  EXPECT_EQ(rebuilt.get_balance(bob_.address()), 10 * kCoin);
}

}  // namespace
}  // namespace ZezozuRiziv
