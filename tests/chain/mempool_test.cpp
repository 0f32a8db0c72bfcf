#include "chain/mempool.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "chain/state.h"
#include "chain/transaction.h"
#include "chain/wallet.h"

namespace ZezozuRiziv {
namespace {

constexpr uint64_t kCoin = 1'000'000;
const char kDuplicate[] = "Transazione gia' presente nella Mempool";
const char kMinting[] = "Transazioni di conio non accettate nella Mempool";
const char kFull[] = "Mempool piena: transazione rifiutata";

class MempoolTest : public ::testing::Test {
 protected:
  void SetUp() override { state.balances[alice.address()] = 1'000'000 * kCoin; }

  // Distinct amounts give distinct hashes for the same nonce.
  Transaction transfer(uint64_t amount, uint64_t fee = 1'000, uint64_t nonce = 0) const {
    return alice.create_transfer(bob.address(), amount, fee, nonce);
  }

  bool add(const Transaction& tx) {
    std::string error;
    return pool.add_transaction(tx, state, error);
  }

  static std::vector<uint64_t> amounts(const std::vector<Transaction>& txs) {
    std::vector<uint64_t> out;
    for (const Transaction& tx : txs) out.push_back(tx.amount);
    return out;
  }

  Wallet alice = Wallet::generate();
  Wallet bob = Wallet::generate();
  State state;
  Mempool pool;
};

TEST_F(MempoolTest, StoresValidTransactionLeavingErrorAlone) {
  const Transaction tx = transfer(kCoin);
  std::string error = "untouched";
  ASSERT_TRUE(pool.add_transaction(tx, state, error));
  EXPECT_EQ(error, "untouched");
  EXPECT_TRUE(pool.contains(tx.tx_hash));
  EXPECT_FALSE(pool.contains("0x" + tx.tx_hash));  // keys are not normalised
  EXPECT_EQ(pool.size(), 1u);
}

TEST_F(MempoolTest, DuplicateRefusedEvenAfterStateChanged) {
  const Transaction tx = transfer(kCoin);
  ASSERT_TRUE(add(tx));
  state.nonces[alice.address()] = 9;  // the copy would no longer validate
  std::string error;
  EXPECT_FALSE(pool.add_transaction(tx, state, error));
  EXPECT_EQ(error, kDuplicate);
  EXPECT_EQ(pool.size(), 1u);
}

TEST_F(MempoolTest, InvalidTransactionNotStored) {
  const Transaction tx = transfer(kCoin, 999);
  std::string error;
  EXPECT_FALSE(pool.add_transaction(tx, state, error));
  EXPECT_EQ(error, "Fee inferiore alla commissione minima richiesta dalla rete");
  EXPECT_FALSE(pool.contains(tx.tx_hash));
  EXPECT_EQ(pool.size(), 0u);
}

TEST_F(MempoolTest, OnlyCommittedNonceCounts) {
  ASSERT_TRUE(add(transfer(kCoin, 1'000, 0)));
  std::string error;
  EXPECT_FALSE(pool.add_transaction(transfer(kCoin, 1'000, 1), state, error));
  EXPECT_EQ(error, "Nonce non valido (atteso: 0, fornito: 1)");
}

TEST_F(MempoolTest, MintingTypesRefused) {
  for (TxType type : {TxType::GENESIS, TxType::COINBASE_REWARD}) {
    SCOPED_TRACE(tx_type_to_string(type));
    // Valid for the state: the refusal is the pool's own.
    const Transaction tx(type, "COINBASE", bob.address(), kCoin, 0, 0, 1'700'000'000);
    std::string error;
    ASSERT_TRUE(state.validate_transaction(tx, error));
    EXPECT_FALSE(pool.add_transaction(tx, state, error));
    EXPECT_EQ(error, kMinting);
    EXPECT_FALSE(pool.contains(tx.tx_hash));
  }
}

TEST_F(MempoolTest, CapacityAndOrderOfChecks) {
  std::vector<Transaction> added;
  for (uint64_t i = 1; i <= kMaxPendingTransactions; ++i) {
    added.push_back(transfer(i));
    ASSERT_TRUE(add(added.back())) << i;
  }
  ASSERT_EQ(pool.size(), kMaxPendingTransactions);

  std::string error;
  // A duplicate is named as such even when the pool is full.
  EXPECT_FALSE(pool.add_transaction(added.front(), state, error));
  EXPECT_EQ(error, kDuplicate);
  // Minting is refused before the capacity is looked at.
  const Transaction coinbase(TxType::COINBASE_REWARD, "COINBASE", bob.address(), 1, 0, 0, 1);
  EXPECT_FALSE(pool.add_transaction(coinbase, state, error));
  EXPECT_EQ(error, kMinting);
  // Capacity comes before validation: this one would fail on its fee.
  EXPECT_FALSE(pool.add_transaction(transfer(kCoin, 999), state, error));
  EXPECT_EQ(error, kFull);
  const Transaction one_more = transfer(kMaxPendingTransactions + 1);
  EXPECT_FALSE(pool.add_transaction(one_more, state, error));
  EXPECT_EQ(error, kFull);
  EXPECT_EQ(pool.size(), kMaxPendingTransactions);

  pool.remove_transactions({added.front()});
  EXPECT_TRUE(add(one_more));
  EXPECT_EQ(pool.size(), kMaxPendingTransactions);
}

TEST_F(MempoolTest, BestTransactionsByFeeWithoutChangingPool) {
  ASSERT_TRUE(add(transfer(1, 5'000)));
  ASSERT_TRUE(add(transfer(2, 1'000)));
  ASSERT_TRUE(add(transfer(3, 3'000)));
  EXPECT_TRUE(pool.get_best_transactions(0).empty());
  const std::vector<Transaction> best = pool.get_best_transactions(2);
  ASSERT_EQ(best.size(), 2u);
  EXPECT_EQ(best[0].fee, 5'000u);
  EXPECT_EQ(best[1].fee, 3'000u);
  EXPECT_EQ(pool.size(), 3u);
  EXPECT_EQ(amounts(pool.get_best_transactions(100)), (std::vector<uint64_t>{1, 3, 2}));
}

TEST_F(MempoolTest, EqualFeesKeepArrivalOrder) {
  const std::vector<std::pair<uint64_t, uint64_t>> arrivals = {  // (amount, fee)
      {10, 2'000}, {11, 3'000}, {12, 2'000}, {13, 3'000}, {14, 2'000}, {15, 1'000},
      {16, 3'000}, {17, 1'000}, {18, 2'000}, {19, 3'000}, {20, 2'000}, {21, 2'000}};
  for (const auto& [amount, fee] : arrivals) ASSERT_TRUE(add(transfer(amount, fee)));
  EXPECT_EQ(amounts(pool.get_best_transactions(100)),
            (std::vector<uint64_t>{11, 13, 16, 19, 10, 12, 14, 18, 20, 21, 15, 17}));
  EXPECT_EQ(amounts(pool.get_best_transactions(3)), (std::vector<uint64_t>{11, 13, 16}));
}

TEST_F(MempoolTest, EqualFeesKeepArrivalOrderAcrossManyEntries) {
  // Enough entries that the hash map's own order would show through.
  std::vector<uint64_t> expected;
  for (uint64_t i = 1; i <= 300; ++i) {
    ASSERT_TRUE(add(transfer(i)));
    expected.push_back(i);
  }
  EXPECT_EQ(amounts(pool.get_best_transactions(1'000)), expected);
}

TEST_F(MempoolTest, RemoveAndClear) {
  const Transaction a = transfer(1);
  const Transaction b = transfer(2);
  ASSERT_TRUE(add(a));
  ASSERT_TRUE(add(b));
  pool.remove_transactions({transfer(3)});  // not pending: nothing changes
  EXPECT_EQ(pool.size(), 2u);
  pool.remove_transactions({a, a});
  EXPECT_FALSE(pool.contains(a.tx_hash));
  EXPECT_TRUE(pool.contains(b.tx_hash));
  pool.clear();
  EXPECT_EQ(pool.size(), 0u);
  EXPECT_TRUE(pool.get_best_transactions(10).empty());
  EXPECT_TRUE(add(a));  // removed transactions may come back
}

TEST_F(MempoolTest, ConcurrentAddsAllLand) {
  constexpr int kThreads = 4;
  constexpr uint64_t kPerThread = 100;
  std::vector<std::vector<Transaction>> batches(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    for (uint64_t i = 0; i < kPerThread; ++i) batches[t].push_back(transfer(1 + t * kPerThread + i));
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (const Transaction& tx : batches[t]) {
        std::string error;
        EXPECT_TRUE(pool.add_transaction(tx, state, error)) << error;
        pool.get_best_transactions(5);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(pool.size(), kThreads * kPerThread);
}

}  // namespace
}  // namespace ZezozuRiziv
