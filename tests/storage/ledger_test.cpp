#include "chain/chain_lock.h"
#include "storage/ledger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <thread>

#include "chain/accounts.h"
#include "chain/tokenomics.h"
#include "chain/wallet.h"
#include "storage/checkpointer.h"

namespace fs = std::filesystem;

namespace ZezozuRiziv {
namespace {

constexpr uint64_t kCoin = 1'000'000;
const std::string kAlice = "0xaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
const std::string kBob = "0xbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb";
const std::string kWalletSignature = "eth2:" + std::string(128, '1') + ":1";

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class LedgerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    dir_ = fs::temp_directory_path() /
           ("rozeve_ledger_test_" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "_" +
            std::to_string(counter++));
    open();
    CommittedBlock genesis;
    ASSERT_TRUE(ledger().commit_genesis(treasury_.address(), genesis).ok);
    ASSERT_TRUE(ledger().checkpoint().ok);
  }
  void TearDown() override {
    storage_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // A fresh Storage and State on the same directory, as a restart has.
  void open() {
    storage_ = std::make_unique<Storage>((dir_ / "data").string());
    state_ = State();
  }
  Ledger ledger() { return Ledger(*storage_, state_); }
  std::string state_path() const { return (dir_ / "data" / "state.json").string(); }
  std::string blocks_path() const { return (dir_ / "data" / "blocks.dat").string(); }
  std::string credits_path() const { return (dir_ / "data" / "credits.dat").string(); }
  // The two logs as they are on disk.
  std::string logs() const { return read_file(blocks_path()) + "|" + read_file(credits_path()); }

  WalletTransfer transfer(const std::string& from, const std::string& to, uint64_t amount) {
    WalletTransfer t;
    t.sender = from;
    t.recipient = to;
    t.amount = amount;
    t.nonce = state_.get_nonce(from);
    t.validator = from;
    t.tx_hash = "0x" + std::to_string(++hashes_) + std::string(60, 'a');
    t.signature = kWalletSignature;
    return t;
  }
  // A peer block: one signed native transfer from `from`, paying the fee
  // total of its amount.
  Block peer_block(const Wallet& from, const std::string& to, uint64_t amount,
                   const std::string& validator) {
    const std::vector<Block>& chain = storage_->get_blocks_cached();
    const uint64_t fee = Tokenomics::calculate_fee_breakdown(amount).total;
    Block block(chain.size(), chain.back().block_hash, validator,
                {from.create_transfer(to, amount, fee, state_.get_nonce(from.address()))}, 0);
    block.seal("validator key");
    return block;
  }
  // The state a restart builds from the files.
  State reopened_state(CatchUpReport* report = nullptr) {
    Storage storage((dir_ / "data").string());
    State state;
    CatchUpReport ignored;
    EXPECT_TRUE(Ledger(storage, state).load_and_catch_up(report ? *report : ignored).ok);
    return state;
  }
  static void expect_same(const State& a, const State& b) {
    EXPECT_EQ(a.balances, b.balances);
    EXPECT_EQ(a.staked, b.staked);
    EXPECT_EQ(a.nonces, b.nonces);
  }

  fs::path dir_;
  std::unique_ptr<Storage> storage_;
  State state_;
  Wallet treasury_ = Wallet::generate();
  int hashes_ = 0;
};

// ---- genesis and the tip of state.json ----

TEST_F(LedgerTest, GenesisFundsTreasuryAndPoolAndNamesItsBlock) {
  EXPECT_EQ(state_.get_balance(treasury_.address()), 20'500'000 * kCoin);
  EXPECT_EQ(state_.get_balance(kRewardPoolAddress), 500'000 * kCoin);
  const Block& genesis = storage_->get_blocks_cached().at(0);
  const std::string text = read_file(state_path());
  EXPECT_TRUE(text.ends_with(",\"last_block\":{\"index\":0,\"hash\":\"" + genesis.block_hash +
                             "\"},\"last_credit\":0}"))
      << text;
  CommittedBlock again;
  EXPECT_FALSE(ledger().commit_genesis(Wallet::generate().address(), again).ok);
  EXPECT_EQ(storage_->get_blocks_cached().size(), 1u);
}

// ---- wallet transfers ----

TEST_F(LedgerTest, WalletTransferMovesTheFeeRuleFigures) {
  ASSERT_TRUE(ledger().credit(kAlice, 10 * kCoin).ok);
  const uint64_t supply = state_.get_total_circulating();
  CommittedBlock done;
  ASSERT_TRUE(ledger().commit_wallet_transfer(transfer(kAlice, kBob, kCoin), done).ok);
  // 1 RUZ: fee 20,000 = 8,000 treasury + 6,000 incubator + 4,000 validator + 2,000 burn.
  EXPECT_EQ(state_.get_balance(kAlice), 9 * kCoin + 4'000);  // the validator share comes back
  EXPECT_EQ(state_.get_balance(kBob), 980'000u);
  EXPECT_EQ(state_.get_balance(kFeeTreasuryAddress), 8'000u);
  EXPECT_EQ(state_.get_balance(kIncubatorAddress), 6'000u);
  EXPECT_EQ(state_.get_balance(kBurnAddress), 2'000u);
  EXPECT_EQ(state_.get_nonce(kAlice), 1u);
  EXPECT_EQ(state_.get_total_circulating(), supply);
  const Transaction& record = done.block.transactions.at(0);
  EXPECT_EQ(record.amount, 980'000u);
  EXPECT_EQ(record.fee, 20'000u);
  EXPECT_EQ(record.signature, kWalletSignature);
  EXPECT_EQ(classify_block(done.block), BlockKind::kWalletTransfer);
  expect_same(reopened_state(), state_);
}

TEST_F(LedgerTest, WalletTransferBelowItsFeeIsRefused) {
  // The fee rule charges at least 1,000 units, so 1,001 is the first amount
  // that leaves the recipient something.
  EXPECT_EQ(Ledger::min_wallet_transfer(), 1'001u);
  EXPECT_EQ(Ledger::min_wallet_transfer_message(),
            "Importo minimo: 0.001001 RUZ (la commissione di rete deve restare sotto l'importo)");
  ASSERT_TRUE(ledger().credit(kAlice, kCoin).ok);
  const std::string before = read_file(blocks_path());
  for (uint64_t amount : {1ULL, 999ULL, 1'000ULL}) {
    CommittedBlock done;
    const LedgerResult refused = ledger().commit_wallet_transfer(transfer(kAlice, kBob, amount), done);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.error, Ledger::min_wallet_transfer_message());
  }
  EXPECT_EQ(read_file(blocks_path()), before);
  EXPECT_EQ(state_.get_balance(kAlice), kCoin);
  CommittedBlock done;
  ASSERT_TRUE(ledger().commit_wallet_transfer(transfer(kAlice, kBob, 1'001), done).ok);
  EXPECT_EQ(state_.get_balance(kBob), 1u);
  EXPECT_EQ(state_.get_balance(kBurnAddress), 1'000u - 8 - 6 - 4);
}

TEST_F(LedgerTest, WalletTransferRefusalsChangeNothing) {
  ASSERT_TRUE(ledger().credit(kAlice, kCoin).ok);
  const State before = state_;
  const std::string log = read_file(blocks_path());
  WalletTransfer too_much = transfer(kAlice, kBob, 2 * kCoin);
  WalletTransfer wrong_nonce = transfer(kAlice, kBob, 10'000);
  wrong_nonce.nonce = 5;
  WalletTransfer bad_recipient = transfer(kAlice, "0xab}cd", 10'000);
  WalletTransfer bad_validator = transfer(kAlice, kBob, 10'000);
  bad_validator.validator = "RUZ!\"x";
  for (const auto& [t, message] : std::vector<std::pair<WalletTransfer, std::string>>{
           {too_much, kWalletFundsMessage},
           {wrong_nonce, "Nonce non valido (atteso: 0, fornito: 5)"},
           {bad_recipient, kUnsafeKeyMessage},
           {bad_validator, kUnsafeKeyMessage}}) {
    CommittedBlock done;
    const LedgerResult refused = ledger().commit_wallet_transfer(t, done);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.error, message);
  }
  expect_same(state_, before);
  EXPECT_EQ(read_file(blocks_path()), log);
}

TEST_F(LedgerTest, FailedSyncUndoesTheBlockExactly) {
  ASSERT_TRUE(ledger().credit(kAlice, kCoin).ok);
  const State before = state_;
  const std::string on_disk = logs();
  storage_->fail_syncs(true);
  CommittedBlock done;
  const LedgerResult refused = ledger().commit_wallet_transfer(transfer(kAlice, kBob, 10'000), done);
  EXPECT_EQ(refused.error, kAppendFailedMessage);
  expect_same(state_, before);
  EXPECT_EQ(logs(), on_disk);
  EXPECT_EQ(storage_->get_blocks_cached().size(), 1u);
  // The disk mends: the same transfer goes through and survives a restart.
  storage_->fail_syncs(false);
  ASSERT_TRUE(ledger().commit_wallet_transfer(transfer(kAlice, kBob, 10'000), done).ok);
  EXPECT_EQ(done.block.index, 1u);
  CatchUpReport report;
  expect_same(reopened_state(&report), state_);
  EXPECT_EQ(report.replayed, 1u);
  EXPECT_EQ(report.credits_replayed, 1u);
}

TEST_F(LedgerTest, AnAcknowledgedTransferSurvivesALaterFailedBlock) {
  ASSERT_TRUE(ledger().credit(kAlice, kCoin).ok);
  CommittedBlock acknowledged;
  ASSERT_TRUE(ledger().commit_wallet_transfer(transfer(kAlice, kBob, 100'000), acknowledged).ok);
  const State after_transfer = state_;
  const Wallet peer = Wallet::generate();
  ASSERT_TRUE(ledger().credit(peer.address(), kCoin).ok);
  const State after_credit = state_;
  storage_->fail_syncs(true);
  CommittedBlock refused;
  EXPECT_FALSE(
      ledger().commit_peer_block(peer_block(peer, kBob, 10'000, kAlice), refused).ok);
  storage_->fail_syncs(false);
  expect_same(state_, after_credit);
  expect_same(reopened_state(), after_credit);
  EXPECT_NE(after_credit.balances, after_transfer.balances);
}

// ---- peer blocks ----

TEST_F(LedgerTest, PeerBlockAppliesAndRefusalsChangeNothing) {
  const Wallet alice = Wallet::generate();
  ASSERT_TRUE(ledger().credit(alice.address(), 10 * kCoin).ok);
  const Wallet validator = Wallet::generate();
  CommittedBlock done;
  ASSERT_TRUE(ledger().commit_peer_block(peer_block(alice, kBob, kCoin, validator.address()), done).ok);
  EXPECT_EQ(state_.get_balance(kBob), kCoin);
  EXPECT_EQ(state_.get_balance(validator.address()), 4'000u);

  const State before = state_;
  const std::string log = read_file(blocks_path());
  Block minting = peer_block(alice, kBob, kCoin, validator.address());
  minting.transactions.push_back(Transaction(TxType::COINBASE_REWARD, "x", kBob, kCoin, 0, 0, 1));
  minting.seal("k");
  Block wallet_look = peer_block(alice, kBob, kCoin, validator.address());
  wallet_look.transactions[0].signature = "eth" + std::string(61, '0');  // 64 characters: verifies
  wallet_look.seal("k");
  ASSERT_TRUE(wallet_look.verify());
  Block unsafe_validator = peer_block(alice, kBob, kCoin, "ab}cd");
  Block not_next = peer_block(alice, kBob, kCoin, validator.address());
  not_next.index += 1;
  not_next.seal("k");
  Block overdraft = peer_block(alice, kBob, 100 * kCoin, validator.address());
  for (const Block* block : {&minting, &wallet_look, &unsafe_validator, &not_next, &overdraft}) {
    EXPECT_FALSE(ledger().commit_peer_block(*block, done).ok) << block->serialize();
  }
  expect_same(state_, before);
  EXPECT_EQ(read_file(blocks_path()), log);
}

TEST_F(LedgerTest, UnsafeValidatorNeverBecomesAKeyOfTheStateText) {
  // The attack: a validator whose text closes the balances section.
  Block block(1, storage_->get_blocks_cached().back().block_hash, "RUZ!}" + std::string(38, '0'),
              {}, 0);
  block.seal("");
  const State before = state_;
  EXPECT_FALSE(state_.apply_block(block, 0));
  expect_same(state_, before);
  CommittedBlock done;
  EXPECT_FALSE(ledger().commit_peer_block(block, done).ok);
  EXPECT_EQ(reopened_state().get_balance(treasury_.address()), 20'500'000 * kCoin);
}

// ---- staking and the game claim ----

TEST_F(LedgerTest, StakeMovesBalanceToStakeInItsOwnBlock) {
  ASSERT_TRUE(ledger().credit(kAlice, 2'000 * kCoin).ok);
  CommittedBlock done;
  ASSERT_TRUE(ledger().commit_stake(kAlice, 1'500 * kCoin, kAlice, done).ok);
  EXPECT_EQ(state_.get_balance(kAlice), 500 * kCoin);
  EXPECT_EQ(state_.get_stake(kAlice), 1'500 * kCoin);
  EXPECT_EQ(state_.get_nonce(kAlice), 1u);
  const Transaction& stake = done.block.transactions.at(0);
  EXPECT_EQ(stake.type, TxType::STAKE);
  EXPECT_EQ(stake.fee, 0u);
  EXPECT_EQ(stake.recipient, "");
  EXPECT_EQ(classify_block(done.block), BlockKind::kStake);

  const State before = state_;
  LedgerResult refused = ledger().commit_stake(kAlice, 501 * kCoin, kAlice, done);
  EXPECT_EQ(refused.error, kStakeFundsMessage);
  refused = ledger().commit_stake(kAlice, 0, kAlice, done);
  EXPECT_EQ(refused.error, kStakeFundsMessage);
  expect_same(state_, before);

  ASSERT_TRUE(ledger().unstake(kAlice, 1'000 * kCoin).ok);
  EXPECT_EQ(state_.get_stake(kAlice), 500 * kCoin);
  EXPECT_EQ(state_.get_balance(kAlice), 1'500 * kCoin);
  EXPECT_EQ(ledger().unstake(kAlice, 501 * kCoin).error,
            "Fondi in staking insufficienti per il ritiro");
  expect_same(reopened_state(), state_);
}

TEST_F(LedgerTest, ClaimPaysFromThePoolWithTheFeeSplit) {
  const uint64_t supply = state_.get_total_circulating();
  ClaimReceipt first, second;
  ASSERT_TRUE(ledger().commit_claim(kAlice, 1, first).ok);
  EXPECT_EQ(first.gross, kCoin);
  EXPECT_EQ(first.net, 980'000u);
  EXPECT_EQ(first.fee.total, 20'000u);
  EXPECT_EQ(first.pool_remaining, 500'000 * kCoin - kCoin);
  EXPECT_EQ(state_.get_balance(kAlice), 980'000u);
  EXPECT_EQ(state_.get_balance(kGameValidatorAddress), 4'000u);
  EXPECT_EQ(first.committed.block.validator, kGameValidatorAddress);
  EXPECT_EQ(classify_block(first.committed.block), BlockKind::kGameClaim);
  ASSERT_TRUE(ledger().commit_claim(kAlice, 3, second).ok);
  EXPECT_EQ(first.committed.block.transactions[0].nonce, 0u);
  EXPECT_EQ(second.committed.block.transactions[0].nonce, 1u);
  EXPECT_EQ(state_.get_total_circulating(), supply);
  expect_same(reopened_state(), state_);
}

TEST_F(LedgerTest, ClaimTopsThePoolUpFromTheGenesisTreasuryOnly) {
  // A richer account than the treasury must not pay.
  ASSERT_TRUE(ledger().credit(kBob, 30'000'000 * kCoin).ok);
  ClaimReceipt receipt;
  ASSERT_TRUE(ledger().commit_claim(kAlice, 600'000, receipt).ok);  // more than the pool
  // Short by 100,000 RUZ: the larger of the claim and 500,000 RUZ comes in.
  EXPECT_EQ(state_.get_balance(treasury_.address()), 19'900'000 * kCoin);
  EXPECT_EQ(receipt.pool_remaining, 500'000 * kCoin);
  EXPECT_EQ(state_.get_balance(kBob), 30'000'000 * kCoin);
  expect_same(reopened_state(), state_);
}

TEST_F(LedgerTest, ClaimMintsOnlyUnderTheSupplyCap) {
  // The treasury gives everything away: the pool can only be minted.
  const State start = state_;
  CommittedBlock moved;
  ASSERT_TRUE(ledger().commit_wallet_transfer(
      transfer(treasury_.address(), kBob, state_.get_balance(treasury_.address())), moved).ok);
  ClaimReceipt receipt;
  // Circulating is 21,000,000 RUZ already: nothing may be minted.
  const State before = state_;
  const LedgerResult refused = ledger().commit_claim(kAlice, 600'000, receipt);
  EXPECT_EQ(refused.error, kPoolExhaustedMessage);
  expect_same(state_, before);
  // A claim within the pool's balance needs no top-up.
  ASSERT_TRUE(ledger().commit_claim(kAlice, 500'000, receipt).ok);
  EXPECT_EQ(state_.get_balance(kRewardPoolAddress), 0u);
  EXPECT_EQ(state_.get_total_circulating(), start.get_total_circulating());
  // With room under the cap, the top-up is minted: the supply grows by it alone.
  state_.balances[kBob] = 0;
  const uint64_t supply = state_.get_total_circulating();
  ASSERT_TRUE(ledger().commit_claim(kAlice, 600'000, receipt).ok);
  EXPECT_EQ(state_.get_total_circulating(), supply + 600'000 * kCoin);
  EXPECT_EQ(receipt.pool_remaining, 0u);
}

TEST_F(LedgerTest, APreparedClaimIsCheckedWithoutChangingAnythingThenCommittedAsBuilt) {
  const State before = state_;
  const std::string log = read_file(blocks_path());
  PreparedClaim prepared;
  ASSERT_TRUE(ledger().prepare_claim(kAlice, 2, prepared).ok);
  expect_same(state_, before);
  EXPECT_EQ(read_file(blocks_path()), log);
  EXPECT_EQ(prepared.block.index, 1u);
  EXPECT_EQ(prepared.gross, 2 * kCoin);
  EXPECT_EQ(prepared.net, 1'960'000u);
  ClaimReceipt receipt;
  ASSERT_TRUE(ledger().commit_claim(prepared, receipt).ok);
  // The hash known before the write is the one in the log.
  const Block* block = nullptr;
  const Transaction* tx = nullptr;
  const Storage reopened((dir_ / "data").string());
  ASSERT_TRUE(reopened.find_tx_by_hash(prepared.block.transactions[0].tx_hash, block, tx));
  EXPECT_EQ(block->index, 1u);
  EXPECT_EQ(receipt.committed.block.block_hash, prepared.block.block_hash);
  // The rule's refusals come at once: a pool that cannot pay.
  state_.balances[kRewardPoolAddress] = 0;
  state_.balances[treasury_.address()] = 0;
  state_.balances[kBob] = kMaxSupply;
  const State empty_pool = state_;
  EXPECT_EQ(ledger().prepare_claim(kAlice, 1, prepared).error, kPoolExhaustedMessage);
  expect_same(state_, empty_pool);
}

TEST_F(LedgerTest, ClaimWithAKeyTheStateCannotCarryIsRefused) {
  const State before = state_;
  ClaimReceipt receipt;
  for (const std::string& key : std::vector<std::string>{"a\"b", "a:b", "a,b", "{x}", "a\nb", ""}) {
    EXPECT_EQ(ledger().commit_claim(key, 1, receipt).error, kUnsafeKeyMessage) << key;
  }
  EXPECT_FALSE(ledger().commit_claim(kAlice, 0, receipt).ok);
  EXPECT_FALSE(ledger().commit_claim(kAlice, UINT64_MAX / kCoin + 1, receipt).ok);
  expect_same(state_, before);
}

TEST_F(LedgerTest, UndoBlockTakesTheClaimBackExactly) {
  const State before = state_;
  const std::string log = read_file(blocks_path());
  const std::string saved = read_file(state_path());
  ClaimReceipt receipt;
  ASSERT_TRUE(ledger().commit_claim(kAlice, 2, receipt).ok);
  const std::string tx_hash = receipt.committed.block.transactions[0].tx_hash;
  ASSERT_TRUE(ledger().undo_block(*receipt.committed.undo).ok);
  expect_same(state_, before);
  EXPECT_EQ(read_file(blocks_path()), log);
  EXPECT_EQ(read_file(state_path()), saved);
  EXPECT_EQ(storage_->get_blocks_cached().size(), 1u);
  const Block* block = nullptr;
  const Transaction* tx = nullptr;
  EXPECT_FALSE(storage_->find_tx_by_hash(tx_hash, block, tx));
  EXPECT_TRUE(storage_->get_address_txs(kAlice, 10).empty());
  // Only the last block can be taken back.
  ClaimReceipt a, b;
  ASSERT_TRUE(ledger().commit_claim(kAlice, 1, a).ok);
  ASSERT_TRUE(ledger().commit_claim(kAlice, 1, b).ok);
  EXPECT_FALSE(ledger().undo_block(*a.committed.undo).ok);
}

// ---- changes without a block ----

TEST_F(LedgerTest, EveryChangeWithoutABlockIsOneCreditLine) {
  ASSERT_TRUE(ledger().credit(kAlice, 2'000 * kCoin).ok);
  CommittedBlock staked;
  ASSERT_TRUE(ledger().commit_stake(kAlice, 1'000 * kCoin, kAlice, staked).ok);
  ASSERT_TRUE(ledger().credit_in_request(kBob, 100 * kCoin).ok);
  ASSERT_TRUE(ledger().unstake(kAlice, 400 * kCoin).ok);
  state_.balances[kRewardPoolAddress] = 0;  // as if the game had emptied it
  bool refilled = false;
  ASSERT_TRUE(ledger().refill_reward_pool(refilled).ok);
  ASSERT_TRUE(refilled);
  CreditsLogContent content;
  std::string damage;
  ASSERT_EQ(storage_->read_credits(content, damage), CreditsRead::kRead);
  const std::vector<CreditRecord> expected = {
      {1, 0, CreditKind::kFaucet, kAlice, 2'000 * kCoin},
      {2, 1, CreditKind::kWelcome, kBob, 100 * kCoin},
      {3, 1, CreditKind::kUnstake, kAlice, 400 * kCoin},
      {4, 1, CreditKind::kRefill, treasury_.address(), 500'000 * kCoin},
  };
  EXPECT_EQ(content.records, expected);
  EXPECT_FALSE(content.torn_tail);
  // None of them rewrote state.json.
  EXPECT_EQ(storage_->state_saves(), 1u);
}

TEST_F(LedgerTest, FailedSyncUndoesCreditUnstakeAndRefill) {
  ASSERT_TRUE(ledger().credit(kAlice, 2'000 * kCoin).ok);
  CommittedBlock staked;
  ASSERT_TRUE(ledger().commit_stake(kAlice, 1'000 * kCoin, kAlice, staked).ok);
  const State before = state_;
  const std::string on_disk = logs();
  storage_->fail_syncs(true);
  EXPECT_EQ(ledger().credit(kAlice, kCoin).error, kStateSaveFailedMessage);
  EXPECT_FALSE(ledger().credit(kBob, kCoin).ok);  // a new entry is erased again
  EXPECT_FALSE(ledger().unstake(kAlice, kCoin).ok);
  state_.balances[kRewardPoolAddress] = 0;
  const State emptied = state_;
  bool refilled = true;
  EXPECT_FALSE(ledger().refill_reward_pool(refilled).ok);
  EXPECT_FALSE(refilled);
  expect_same(state_, emptied);
  state_.balances[kRewardPoolAddress] = before.get_balance(kRewardPoolAddress);
  expect_same(state_, before);
  EXPECT_EQ(logs(), on_disk);
  // The next line takes the number the undone ones had.
  storage_->fail_syncs(false);
  ASSERT_TRUE(ledger().credit(kBob, kCoin).ok);
  CreditsLogContent content;
  std::string damage;
  ASSERT_EQ(storage_->read_credits(content, damage), CreditsRead::kRead);
  ASSERT_EQ(content.records.size(), 2u);
  EXPECT_EQ(content.records[1].seq, 2u);
  expect_same(reopened_state(), state_);
}

TEST_F(LedgerTest, ChangesWithoutABlockNeedAChain) {
  storage_->reset_all_data();
  state_ = State();
  EXPECT_EQ(ledger().credit(kAlice, kCoin).error, kNoChainMessage);
  EXPECT_TRUE(state_.balances.empty());
  EXPECT_FALSE(fs::exists(credits_path()));
}

TEST_F(LedgerTest, CreditRefusesUnsafeKeysAndOverflow) {
  const State before = state_;
  for (const std::string& key : std::vector<std::string>{"RUZ!}", "a,b", "x:y", "q\"", "t\tab", ""}) {
    EXPECT_EQ(ledger().credit(key, kCoin).error, kUnsafeKeyMessage) << key;
  }
  state_.balances[kAlice] = UINT64_MAX;
  EXPECT_EQ(ledger().credit(kAlice, 1).error, kOverflowMessage);
  state_.balances.erase(kAlice);
  expect_same(state_, before);
}

TEST_F(LedgerTest, RefillComesFromTheGenesisTreasuryOnly) {
  state_.balances[kRewardPoolAddress] = 0;
  ASSERT_TRUE(ledger().credit("0x0000000000000000000000000000000000000001", 600'000 * kCoin).ok);
  bool refilled = false;
  ASSERT_TRUE(ledger().refill_reward_pool(refilled).ok);
  EXPECT_TRUE(refilled);
  EXPECT_EQ(state_.get_balance(kRewardPoolAddress), 500'000 * kCoin);
  EXPECT_EQ(state_.get_balance(treasury_.address()), 20'000'000 * kCoin);
  ASSERT_TRUE(ledger().refill_reward_pool(refilled).ok);
  EXPECT_FALSE(refilled);  // the pool holds coins: nothing moves
}

// ---- request batches ----

TEST_F(LedgerTest, RequestBatchMakesItsChangesDurableWhenItCloses) {
  ChainLock chain_lock;
  const std::string saved = read_file(state_path());
  const uint64_t saves = storage_->state_saves();
  {
    RequestBatch batch(*storage_, state_, chain_lock);
    ASSERT_EQ(RequestBatch::current(), &batch);
    for (int i = 0; i < 1'000; ++i) {
      std::unique_lock lock(chain_lock);
      const std::string account = "0x" + std::string(37, 'a') + std::to_string(100 + i);
      ASSERT_TRUE(ledger().credit_in_request(account, 100 * kCoin).ok);
    }
    EXPECT_EQ(batch.changes(), 1'000u);
    ASSERT_TRUE(batch.close().ok);
  }
  EXPECT_EQ(storage_->state_saves(), saves);  // a checkpoint is not a save per change
  EXPECT_EQ(read_file(state_path()), saved);
  EXPECT_EQ(RequestBatch::current(), nullptr);
  EXPECT_EQ(reopened_state().balances.size(), state_.balances.size());
  expect_same(reopened_state(), state_);
  // Without a batch the change is durable at once.
  {
    std::unique_lock lock(chain_lock);
    ASSERT_TRUE(ledger().credit_in_request(kBob, kCoin).ok);
  }
  expect_same(reopened_state(), state_);
}

TEST_F(LedgerTest, RequestBatchWithoutChangesClosesWithoutTheLock) {
  ChainLock chain_lock;
  std::unique_lock held(chain_lock);  // a writer of another request holds it
  auto closing = std::async(std::launch::async, [&] {
    RequestBatch batch(*storage_, state_, chain_lock);
    return batch.close().ok;
  });
  const bool closed = closing.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  held.unlock();
  EXPECT_TRUE(closed) << "a batch that changed nothing waited for the chain lock";
  EXPECT_TRUE(closing.get());
}

TEST_F(LedgerTest, ABatchWhoseSyncFailsUndoesItsCreditsAndTheBlocksBuiltOnThem) {
  ChainLock chain_lock;
  state_.balances[kBob] = 0;  // an entry at 0 stays at 0
  const State before = state_;
  const std::string on_disk = logs();
  RequestBatch batch(*storage_, state_, chain_lock);
  {
    std::unique_lock lock(chain_lock);
    ASSERT_TRUE(ledger().credit_in_request(kAlice, 100 * kCoin).ok);
    ASSERT_TRUE(ledger().credit_in_request(kBob, 100 * kCoin).ok);
    CommittedBlock done;
    ASSERT_TRUE(ledger().commit_wallet_transfer(transfer(kAlice, kBob, 50 * kCoin), done).ok);
    ASSERT_TRUE(ledger().credit_in_request(kAlice, 5).ok);
  }
  storage_->fail_syncs(true);
  EXPECT_EQ(batch.close().error, kStateSaveFailedMessage);
  expect_same(state_, before);
  EXPECT_EQ(logs(), on_disk);
  EXPECT_EQ(storage_->get_blocks_cached().size(), 1u);
  EXPECT_TRUE(storage_->get_address_txs(kAlice, 10).empty());
}

TEST_F(LedgerTest, ConcurrentBatchesShareSyncsAndAllBecomeDurable) {
  ChainLock chain_lock;
  constexpr int kWriters = 8;
  constexpr int kEach = 50;
  std::vector<std::future<bool>> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.push_back(std::async(std::launch::async, [&, w] {
      bool ok = true;
      for (int i = 0; i < kEach; ++i) {
        RequestBatch batch(*storage_, state_, chain_lock);
        {
          std::unique_lock lock(chain_lock);
          ok = Ledger(*storage_, state_)
                   .credit_in_request("0x" + std::string(38, 'c') + std::to_string(10 + w), 1)
                   .ok && ok;
        }
        ok = batch.close().ok && ok;
      }
      return ok;
    }));
  }
  for (auto& writer : writers) EXPECT_TRUE(writer.get());
  for (int w = 0; w < kWriters; ++w) {
    EXPECT_EQ(state_.get_balance("0x" + std::string(38, 'c') + std::to_string(10 + w)),
              static_cast<uint64_t>(kEach));
  }
  expect_same(reopened_state(), state_);
}

// ---- checkpoints ----

TEST(CheckpointDue, AfterEnoughChangesForTheStatesSize) {
  struct Case {
    uint64_t changes, accounts;
    bool due;
  };
  for (const Case& c : {Case{255, 10, false}, Case{256, 10, true}, Case{256, 1'024, true},
                        Case{256, 1'028, false}, Case{25'000, 100'000, true},
                        Case{24'999, 100'000, false}}) {
    EXPECT_EQ(checkpoint_due(c.changes, c.accounts), c.due) << c.changes << " " << c.accounts;
  }
}

TEST_F(LedgerTest, TheCheckpointerWritesStateJsonOnceTheLogsHaveGrown) {
  ChainLock chain_lock;
  const std::string first = read_file(state_path());
  Checkpointer checkpointer(*storage_, state_, chain_lock);
  for (uint64_t i = 0; i < kCheckpointMinChanges; ++i) {
    RequestBatch batch(*storage_, state_, chain_lock);
    {
      std::unique_lock lock(chain_lock);
      ASSERT_TRUE(ledger().credit_in_request(kAlice, 1).ok);
    }
    ASSERT_TRUE(batch.close().ok);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::optional<StateTip> tip;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string text = read_file(state_path());
    if (text != first && State::parse_saved(text, tip) && tip && tip->credits > 0) break;
    std::this_thread::yield();
  }
  ASSERT_TRUE(tip.has_value());
  EXPECT_EQ(tip->credits, kCheckpointMinChanges);
  CatchUpReport report;
  expect_same(reopened_state(&report), state_);
  EXPECT_EQ(report.credits_replayed, 0u);
}

// ---- the catch-up at start ----

class CatchUpTest : public LedgerTest {
 protected:
  // One block of every kind the node writes, and a credit between them.
  void write_every_kind() {
    const Wallet alice = Wallet::generate();
    ASSERT_TRUE(ledger().credit(alice.address(), 5'000 * kCoin).ok);
    ASSERT_TRUE(ledger().credit(kAlice, 5'000 * kCoin).ok);
    ASSERT_TRUE(ledger().checkpoint().ok);
    before_blocks_ = read_file(state_path());
    CommittedBlock done;
    ClaimReceipt claim;
    ASSERT_TRUE(ledger().commit_peer_block(peer_block(alice, kBob, kCoin, Wallet::generate().address()), done).ok);
    ASSERT_TRUE(ledger().commit_wallet_transfer(transfer(kAlice, kBob, 3 * kCoin), done).ok);
    ASSERT_TRUE(ledger().commit_stake(kAlice, 1'000 * kCoin, kAlice, done).ok);
    ASSERT_TRUE(ledger().commit_claim(kBob, 7, claim).ok);
    ASSERT_TRUE(ledger().commit_claim(kAlice, 600'000, claim).ok);  // tops the pool up
    ASSERT_TRUE(ledger().unstake(kAlice, 250 * kCoin).ok);
    ASSERT_TRUE(ledger().credit_in_request(kBob, 100 * kCoin).ok);
  }
  std::string before_blocks_;  // state.json as it was before the blocks
};

TEST_F(CatchUpTest, BlocksAfterTheNamedOneAreAppliedByTheirRules) {
  write_every_kind();
  // A crash left state.json as it was before the five blocks.
  std::ofstream(state_path(), std::ios::binary | std::ios::trunc) << before_blocks_;
  CatchUpReport report;
  expect_same(reopened_state(&report), state_);
  EXPECT_EQ(report.replayed, 5u);
  EXPECT_EQ(report.credits_replayed, 2u);
  EXPECT_FALSE(report.state_missing);
  // Checkpointed after the catch-up, the state names the last block.
  Storage storage((dir_ / "data").string());
  State state;
  Ledger caught_up(storage, state);
  ASSERT_TRUE(caught_up.load_and_catch_up(report).ok);
  ASSERT_TRUE(report.replayed_any());
  ASSERT_TRUE(caught_up.checkpoint().ok);
  std::optional<StateTip> tip;
  ASSERT_TRUE(State::parse_saved(read_file(state_path()), tip).has_value());
  ASSERT_TRUE(tip.has_value());
  EXPECT_EQ(tip->index, 5u);
  EXPECT_EQ(tip->hash, storage_->get_blocks_cached().back().block_hash);
  EXPECT_EQ(tip->credits, 4u);
  expect_same(reopened_state(&report), state_);
  EXPECT_EQ(report.replayed, 0u);
}

TEST_F(CatchUpTest, MissingStateIsRebuiltFromBlockZero) {
  // Blocks that spend only what the log itself gives out.
  CommittedBlock done;
  ClaimReceipt claim;
  const Wallet peer = Wallet::generate();
  ASSERT_TRUE(ledger().commit_wallet_transfer(transfer(treasury_.address(), peer.address(), 20 * kCoin), done).ok);
  ASSERT_TRUE(ledger().commit_peer_block(peer_block(peer, kBob, 10 * kCoin, Wallet::generate().address()), done).ok);
  ASSERT_TRUE(ledger().commit_wallet_transfer(transfer(treasury_.address(), kAlice, 2'000 * kCoin), done).ok);
  ASSERT_TRUE(ledger().commit_stake(kAlice, 1'000 * kCoin, kAlice, done).ok);
  ASSERT_TRUE(ledger().commit_claim(kBob, 7, claim).ok);
  ASSERT_TRUE(ledger().commit_claim(kAlice, 600'000, claim).ok);
  fs::remove(state_path());
  CatchUpReport report;
  expect_same(reopened_state(&report), state_);
  EXPECT_TRUE(report.state_missing);
  EXPECT_EQ(report.replayed, 7u);  // genesis included
}

TEST_F(CatchUpTest, BothLogsAloneRebuildTheSameState) {
  write_every_kind();
  fs::remove(state_path());
  CatchUpReport report;
  expect_same(reopened_state(&report), state_);
  EXPECT_TRUE(report.state_missing);
  EXPECT_EQ(report.replayed, 6u);
  EXPECT_EQ(report.credits_replayed, 4u);
}

TEST_F(CatchUpTest, ABlockThatDoesNotApplyStopsTheCatchUp) {
  // Without the credits log the blocks that spent its credits cannot be
  // applied, and the start must say so, not guess.
  write_every_kind();
  fs::remove(state_path());
  fs::remove(credits_path());
  Storage storage((dir_ / "data").string());
  State state;
  CatchUpReport report;
  const LedgerResult refused = Ledger(storage, state).load_and_catch_up(report);
  EXPECT_FALSE(refused.ok);
  // It says what is missing, why the log cannot stand in, and what to do.
  EXPECT_EQ(refused.error.find("Manca " + state_path() + " e " + blocks_path() + " con " +
                               credits_path() +
                               " non bastano a ricostruirlo: il blocco #1 non si applica ("),
            0u)
      << refused.error;
  EXPECT_NE(refused.error.find("accrediti fatti senza blocco"), std::string::npos);
  EXPECT_NE(refused.error.find("Ripristina " + state_path() + " da una copia di sicurezza"),
            std::string::npos);
  EXPECT_EQ(refused.error.find("stato salvato"), std::string::npos);
  EXPECT_FALSE(fs::exists(state_path()));
}

TEST_F(CatchUpTest, AStateWithoutATipCoversTheWholeLog) {
  write_every_kind();
  std::ofstream(state_path(), std::ios::binary | std::ios::trunc) << state_.serialize();
  fs::remove(credits_path());  // a node from before the credits log
  CatchUpReport report;
  expect_same(reopened_state(&report), state_);
  EXPECT_EQ(report.replayed, 0u);
  EXPECT_EQ(report.credits_replayed, 0u);
}

TEST_F(CatchUpTest, AStateWithoutACreditPositionIncludesNoCreditLine) {
  // A state.json from before the credits log names its block only.
  CommittedBlock done;
  ASSERT_TRUE(ledger().commit_wallet_transfer(transfer(treasury_.address(), kAlice, kCoin), done).ok);
  ASSERT_TRUE(ledger().checkpoint().ok);
  std::string old = read_file(state_path());
  const size_t credit_member = old.find(",\"last_credit\":");
  ASSERT_NE(credit_member, std::string::npos);
  old = old.substr(0, credit_member) + "}";
  std::ofstream(state_path(), std::ios::binary | std::ios::trunc) << old;
  ASSERT_TRUE(ledger().credit(kBob, kCoin).ok);
  CatchUpReport report;
  expect_same(reopened_state(&report), state_);
  EXPECT_EQ(report.credits_replayed, 1u);
}

TEST_F(CatchUpTest, CrashTracesOfTheCreditsLogAreLeftAsideAndCutByAWriter) {
  ASSERT_TRUE(ledger().credit(kAlice, kCoin).ok);
  const State acknowledged = state_;
  const std::string whole = read_file(credits_path());
  // A line written beside a block whose sync never finished, then a torn one.
  CreditRecord beyond{2, 1, CreditKind::kWelcome, kBob, 100 * kCoin};
  const std::string traces = format_credit_line(beyond) + "\n" + "{\"seq\":3,\"aft";
  std::ofstream(credits_path(), std::ios::binary | std::ios::app) << traces;
  CatchUpReport report;
  expect_same(reopened_state(&report), acknowledged);
  EXPECT_EQ(report.credits_dropped, 1u);
  EXPECT_EQ(read_file(credits_path()), whole + traces);  // a reader changes nothing
  Storage storage((dir_ / "data").string());
  State state;
  Ledger writer(storage, state);
  ASSERT_TRUE(writer.load_and_catch_up(report).ok);
  EXPECT_EQ(read_file(credits_path()), whole + traces);
  ASSERT_TRUE(writer.cut_crash_traces(report).ok);
  EXPECT_EQ(read_file(credits_path()), whole);
  // The next line follows the last good one.
  ASSERT_TRUE(Ledger(storage, state).credit(kBob, 7).ok);
  CreditsLogContent content;
  std::string damage;
  ASSERT_EQ(storage.read_credits(content, damage), CreditsRead::kRead);
  ASSERT_EQ(content.records.size(), 2u);
  EXPECT_EQ(content.records[1].seq, 2u);
}

TEST_F(CatchUpTest, DamagedFilesStopTheCatchUpAndStayAsTheyAre) {
  write_every_kind();
  const std::string log = read_file(blocks_path());
  const std::string whole = read_file(state_path());
  struct Case {
    std::string name;
    std::string state_text;
  };
  const std::vector<Case> cases = {
      {"cut to 40 bytes", whole.substr(0, 40)},
      {"cut before the last brace", whole.substr(0, whole.size() - 1)},
      {"garbage", "\x01\x02garbage"},
      {"empty", ""},
      {"a pair that does not read", "{\"balances\":{\"a\":x1},\"staked\":{},\"nonces\":{}}"},
      {"names a block the log lacks",
       "{\"balances\":{},\"staked\":{},\"nonces\":{},\"last_block\":{\"index\":99,\"hash\":\"ff\"}}"},
      {"names credit lines the log lacks",
       "{\"balances\":{},\"staked\":{},\"nonces\":{},\"last_block\":{\"index\":0,\"hash\":\"" +
           storage_->get_blocks_cached().at(0).block_hash + "\"},\"last_credit\":99}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(state_path(), std::ios::binary | std::ios::trunc) << c.state_text;
    Storage storage((dir_ / "data").string());
    State state;
    CatchUpReport report;
    const LedgerResult refused = Ledger(storage, state).load_and_catch_up(report);
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(refused.error.find("state.json"), std::string::npos) << refused.error;
    EXPECT_EQ(read_file(state_path()), c.state_text);
    EXPECT_EQ(read_file(blocks_path()), log);
  }
  std::ofstream(state_path(), std::ios::binary | std::ios::trunc) << whole;
  // A credits log garbled before its last line: the start stops.
  const std::string credits = read_file(credits_path());
  for (const std::string& damaged :
       {"x" + credits.substr(1), credits.substr(0, 20) + credits.substr(credits.find('\n'))}) {
    std::ofstream(credits_path(), std::ios::binary | std::ios::trunc) << damaged;
    Storage storage((dir_ / "data").string());
    State state;
    CatchUpReport report;
    const LedgerResult refused = Ledger(storage, state).load_and_catch_up(report);
    EXPECT_NE(refused.error.find("File danneggiato: " + credits_path() + " (riga 1"),
              std::string::npos)
        << refused.error;
    EXPECT_EQ(read_file(credits_path()), damaged);
    EXPECT_EQ(read_file(state_path()), whole);
    EXPECT_EQ(read_file(blocks_path()), log);
  }
  std::ofstream(credits_path(), std::ios::binary | std::ios::trunc) << credits;
  fs::rename(blocks_path(), blocks_path() + ".away");
  fs::create_directory(blocks_path());
  Storage storage((dir_ / "data").string());
  State state;
  CatchUpReport report;
  const LedgerResult refused = Ledger(storage, state).load_and_catch_up(report);
  EXPECT_NE(refused.error.find("blocks.dat"), std::string::npos) << refused.error;
  EXPECT_TRUE(fs::is_directory(blocks_path()));
  EXPECT_EQ(read_file(state_path()), whole);
}

}  // namespace
}  // namespace ZezozuRiziv
