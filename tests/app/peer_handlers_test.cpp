// What the node does with peers' frames: real sockets on 127.0.0.1, the
// node's own callbacks, the chain files on disk.
#include <chrono>
#include <filesystem>
#include <memory>
#include <shared_mutex>
#include <thread>

#include "app/peer_handlers.h"
#include "app_test_support.h"
#include "chain/chain_lock.h"
#include "chain/mempool.h"
#include "chain/tokenomics.h"
#include "chain/wallet.h"
#include "p2p/p2p_node.h"
#include "storage/storage.h"

namespace {

using namespace ZezozuRiziv;
using rozeve_test::read_text;

// "RUZ1", big-endian type and length, the payload: the wire as a peer writes it.
std::string frame(uint16_t type, const std::string& payload) {
  std::string out = "RUZ1";
  out += static_cast<char>(type >> 8);
  out += static_cast<char>(type & 0xff);
  const uint32_t n = static_cast<uint32_t>(payload.size());
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((n >> shift) & 0xff);
  return out + payload;
}

class PeerHandlersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("rozeve_peers_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    storage_ = std::make_unique<Storage>(dir_.string());
    genesis_ = Block::create_genesis_block(treasury_.address());
    ASSERT_TRUE(state_.apply_block(genesis_, 0));
    // A native account peers may spend from: the genesis treasury is not one.
    state_.balances[treasury_.address()] -= kSenderFunds;
    state_.balances[sender_.address()] = kSenderFunds;
    ASSERT_TRUE(storage_->save_block(genesis_));
    ASSERT_TRUE(storage_->save_state(state_));
    p2p_ = std::make_unique<P2PNode>(0, "127.0.0.1");
    p2p_->on_transaction = [this](const Transaction& tx) {
      handle_peer_transaction(tx, mempool_, *storage_, state_, chain_lock_);
      ++transactions_seen_;
    };
    p2p_->on_block = [this](const Block& block) {
      handle_peer_block(block, *storage_, state_, chain_lock_);
      ++blocks_seen_;
    };
    ASSERT_TRUE(p2p_->start_server());
    peer_ = platform::connect_tcp("127.0.0.1", p2p_->bound_port(), 2000);
    ASSERT_NE(peer_, platform::kInvalidSocket);
  }
  void TearDown() override {
    platform::close_socket(peer_);
    p2p_.reset();
    storage_.reset();
    std::filesystem::remove_all(dir_);
  }

  Block next_block(uint64_t index, const std::string& prev, std::vector<Transaction> txs) {
    Block block(index, prev, validator_.address(), txs, 0);
    block.seal(validator_.private_key());
    return block;
  }
  // A transfer from `from` paying the whole fee of its amount.
  Transaction transfer(uint64_t nonce, uint64_t amount = 1'000'000) {
    return transfer_from(sender_, nonce, amount);
  }
  Transaction transfer_from(const Wallet& from, uint64_t nonce, uint64_t amount) {
    return from.create_transfer(helios_.address(), amount,
                                Tokenomics::calculate_fee_breakdown(amount).total, nonce);
  }
  // Send the record and wait until the node has dealt with it.
  void deliver(const Transaction& tx) { deliver_frame(3, tx.serialize(), transactions_seen_); }
  void deliver(const Block& block) { deliver_frame(4, block.serialize(), blocks_seen_); }
  void deliver_frame(uint16_t type, const std::string& payload, const std::atomic<int>& seen) {
    const int before = seen.load();
    ASSERT_TRUE(platform::send_all(peer_, frame(type, payload), 2000));
    for (int i = 0; i < 300 && seen.load() == before; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GT(seen.load(), before);
  }
  std::string files() {
    return read_text(storage_->blocks_path()) + "|" + read_text(storage_->state_path());
  }

  std::filesystem::path dir_;
  Wallet treasury_ = Wallet::generate();
  Wallet validator_ = Wallet::generate();
  Wallet helios_ = Wallet::generate();
  Wallet sender_ = Wallet::generate();
  static constexpr uint64_t kSenderFunds = 1'000'000'000;
  Block genesis_;
  State state_;
  Mempool mempool_;
  ChainLock chain_lock_;
  std::unique_ptr<Storage> storage_;
  std::unique_ptr<P2PNode> p2p_;
  platform::SocketHandle peer_ = platform::kInvalidSocket;
  std::atomic<int> blocks_seen_{0};
  std::atomic<int> transactions_seen_{0};
};

TEST_F(PeerHandlersTest, NextBlockIsAppliedAppendedAndSaved) {
  const Block block = next_block(1, genesis_.block_hash, {transfer(0)});
  deliver(block);
  EXPECT_EQ(storage_->get_blocks_cached().size(), 2u);
  const std::string log = read_text(storage_->blocks_path());
  EXPECT_NE(log.find(block.serialize() + "\n"), std::string::npos);
  const State saved = rozeve_test::logged_state(storage_->data_dir());
  EXPECT_EQ(saved.get_balance(helios_.address()), 1'000'000u);
  EXPECT_EQ(saved.get_nonce(sender_.address()), 1u);
}

TEST_F(PeerHandlersTest, BlocksThatDoNotFitChangeNoFile) {
  const std::string before = files();
  Block tampered = next_block(1, genesis_.block_hash, {transfer(0)});
  tampered.timestamp += 1;  // its hash no longer matches
  Transaction mint(TxType::COINBASE_REWARD, "peer", helios_.address(), 1'000'000'000, 0, 0, 0);
  const Block cases[] = {
      next_block(2, genesis_.block_hash, {transfer(0)}),     // skips a height
      next_block(1, std::string(64, 'a'), {transfer(0)}),    // links elsewhere
      next_block(1, genesis_.block_hash, {transfer(5)}),     // a nonce the state refuses
      next_block(1, genesis_.block_hash, {transfer(0, 30'000'000 * 1'000'000ULL)}),  // overdraws
      next_block(1, genesis_.block_hash, {transfer_from(treasury_, 0, 1'000'000)}),  // genesis treasury
      next_block(1, genesis_.block_hash,
                 {sender_.create_transfer(helios_.address(), 100'000'000, 1'000, 0)}),  // fee short
      next_block(1, genesis_.block_hash, {mint}),            // mints coins
      tampered,
  };
  for (const Block& block : cases) deliver(block);
  EXPECT_EQ(files(), before);
  EXPECT_EQ(storage_->get_blocks_cached().size(), 1u);
}

TEST_F(PeerHandlersTest, TransactionReachesTheMempoolOnce) {
  const Transaction tx = transfer(0);
  ASSERT_TRUE(platform::send_all(peer_, frame(3, tx.serialize()) + frame(3, tx.serialize()), 2000));
  for (int i = 0; i < 300 && !mempool_.contains(tx.tx_hash); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(mempool_.contains(tx.tx_hash));
  EXPECT_EQ(mempool_.size(), 1u);
}

TEST_F(PeerHandlersTest, RefusedTransactionsNeverReachTheMempool) {
  Transaction upper_case = transfer(0);
  upper_case.recipient = "0xABABABABABABABABABABABABABABABABABABABAB";
  upper_case.sign(sender_.private_key());
  const Transaction cases[] = {
      transfer_from(treasury_, 0, 1'000'000),  // the genesis treasury
      sender_.create_transfer(helios_.address(), 100'000'000, 1'000, 0),  // fee short
      upper_case,  // would credit a second, upper-case account
  };
  for (const Transaction& tx : cases) deliver(tx);
  EXPECT_EQ(mempool_.size(), 0u);
  // The stream is still read: a sound transaction after them is taken.
  deliver(transfer(0));
  EXPECT_EQ(mempool_.size(), 1u);
}

}  // namespace
