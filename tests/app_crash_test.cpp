// The real node killed with SIGKILL at random moments while wallets and a
// peer write to it: nothing it acknowledged is lost, no nonce is used
// twice, and its state is always a replay of its block log plus the
// credits it made.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app_node_process.h"
#include "chain/accounts.h"
#include "chain/state.h"
#include "chain/wallet.h"
#include "eth_signing_support.h"
#include "node_client_support.h"
#include "storage/block_rules.h"
#include "storage/storage.h"

namespace {

namespace fs = std::filesystem;
using rozeve_test::NodeProcess;
using namespace ZezozuRiziv;

constexpr int kRounds = 24;
constexpr uint64_t kCoin = 1'000'000;
constexpr uint64_t kWelcome = 100 * kCoin;
constexpr uint64_t kWeiPerAtomic = 1'000'000'000'000ULL;
constexpr uint64_t kTransferAtomic = 10'000;  // 0.01 RUZ
constexpr char kRecipient[] = "0x3535353535353535353535353535353535353535";
constexpr char kPeerValidator[] = "0x4444444444444444444444444444444444444444";
// Longest time a kill is delayed into an operation that is under way.
constexpr int kMaxKillDelayUs = 15'000;
// Longest wait for a peer block to show up in the chain.
constexpr auto kPeerBlockWait = std::chrono::seconds(2);

class NodeCrashTest : public rozeve_test::BinaryFixture {
 protected:
  std::string args() { return "--daemon " + rozeve_test::local_node_args(rpc_port_, p2p_port_); }
  uint64_t nonce_of(const std::string& address) {
    const std::string answer = rozeve_test::rpc_call(
        rpc_port_, "eth_getTransactionCount", "[\"" + address + "\",\"latest\"]");
    const auto result = rozeve_test::json_text(answer, "result");
    return result ? rozeve_test::hex_quantity(*result) : UINT64_MAX;
  }
  // A native account's next nonce, as the explorer tells it.
  uint64_t native_nonce(const std::string& address) {
    const std::string answer = rozeve_test::curl_get(rpc_port_, "/api/explorer/address?addr=" + address);
    const size_t at = answer.find("\"nonce\":");
    if (at == std::string::npos) return UINT64_MAX;
    return std::strtoull(answer.c_str() + at + 8, nullptr, 10);
  }
  // One wallet transfer; its hash when the node acknowledged it.
  std::optional<std::string> wallet_transfer() {
    const uint64_t nonce = nonce_of(wallet_.address());
    if (nonce == UINT64_MAX) return std::nullopt;
    const std::string raw = wallet_.legacy_transfer(
        nonce, kRecipient, static_cast<unsigned __int128>(kTransferAtomic) * kWeiPerAtomic);
    const std::string answer =
        rozeve_test::rpc_call(rpc_port_, "eth_sendRawTransaction", "[\"" + raw + "\"]");
    return rozeve_test::json_text(answer, "result");
  }
  // One peer block spending from the peer's account; waits until it is in.
  void peer_block() {
    const auto tip = rozeve_test::chain_tip(rpc_port_);
    const uint64_t nonce = native_nonce(peer_sender_);
    if (!tip || nonce == UINT64_MAX) return;
    rozeve_test::PeerClient peer(p2p_port_);
    if (!peer.send_block(rozeve_test::peer_transfer_block(*tip, peer_sender_, kRecipient,
                                                          kTransferAtomic, nonce, kPeerValidator))) {
      return;
    }
    const auto deadline = std::chrono::steady_clock::now() + kPeerBlockWait;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto now = rozeve_test::chain_tip(rpc_port_);
      if (!now || now->index > tip->index) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  rozeve_test::EthKey wallet_{0x21};
  // A native account: what a peer may spend from.
  std::string peer_sender_ = ZezozuRiziv::Wallet::generate().address();
  uint16_t rpc_port_ = 0, p2p_port_ = 0;
};

TEST_F(NodeCrashTest, KillsMidWriteLoseNothingAcknowledged) {
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::vector<std::string> acknowledged;
  bool credited = false;

  for (int round = 0; round < kRounds; ++round) {
    NodeProcess node(dir_, args());
    if (round == 0) {
      // The first start itself is cut short: genesis half written at most.
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % 30'000));
      node.signal("KILL");
      ASSERT_TRUE(node.wait_exit(5000).has_value());
      continue;
    }
    ASSERT_TRUE(node.wait_for_output("[NODO IN MODALITA DAEMON]")) << node.output();
    if (!credited) {
      const std::string answer = rozeve_test::rpc_call(
          rpc_port_, "eth_getBalance", "[\"" + wallet_.address() + "\",\"latest\"]");
      ASSERT_NE(answer.find("\"result\":\"0x56bc75e2d63100000\""), std::string::npos) << answer;
      ASSERT_TRUE(rozeve_test::faucet(rpc_port_, peer_sender_, kWelcome / kCoin));
      credited = true;
    }
    const int whole_ops = static_cast<int>(rng() % 4);
    for (int op = 0; op < whole_ops; ++op) {
      if (rng() % 2 == 0) {
        if (auto hash = wallet_transfer()) acknowledged.push_back(*hash);
      } else {
        peer_block();
      }
    }
    // The last operation is under way when the node dies.
    std::optional<std::string> in_flight;
    const bool wallet_last = rng() % 2 == 0;
    std::thread writer([&] {
      if (wallet_last) {
        in_flight = wallet_transfer();
      } else {
        peer_block();
      }
    });
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % kMaxKillDelayUs));
    node.signal("KILL");
    ASSERT_TRUE(node.wait_exit(5000).has_value());
    writer.join();
    if (in_flight) acknowledged.push_back(*in_flight);
  }

  {
    NodeProcess node(dir_, args());
    ASSERT_TRUE(node.wait_for_output("[NODO IN MODALITA DAEMON]")) << node.output();
    node.signal("TERM");
    ASSERT_EQ(node.wait_exit(5000), 0);
  }
  ASSERT_TRUE(credited);

  Storage storage((dir_ / "data").string());
  const std::vector<Block>& chain = storage.get_blocks_cached();
  ASSERT_FALSE(chain.empty());
  // Every acknowledged transfer is in the log.
  for (const std::string& hash : acknowledged) {
    const Block* block = nullptr;
    const Transaction* tx = nullptr;
    EXPECT_TRUE(storage.find_tx_by_hash(hash, block, tx)) << hash;
  }
  // No sender's nonce is used twice.
  std::map<std::string, std::set<uint64_t>> used;
  for (const Block& block : chain) {
    for (const Transaction& tx : block.transactions) {
      if (tx.type == TxType::GENESIS) continue;
      EXPECT_TRUE(used[tx.sender].insert(tx.nonce).second)
          << tx.sender << " nonce " << tx.nonce << " twice";
    }
  }
  // The peer's blocks reached the log: peers were part of the run.
  EXPECT_FALSE(used[peer_sender_].empty());
  // The saved state is the log replayed with the two credits (the wallet's
  // welcome, the peer's faucet grant), which came right after the genesis
  // block.
  State replayed;
  const RuleContext context{chain.front().transactions.front().recipient};
  for (size_t i = 0; i < chain.size(); ++i) {
    StateJournal journal(replayed);
    ASSERT_TRUE(apply_block_rule(classify_block(chain[i]), chain[i], replayed, journal, context).ok)
        << "block " << i;
    if (i == 0) {
      replayed.balances[wallet_.address()] += kWelcome;
      replayed.balances[peer_sender_] += kWelcome;
    }
  }
  State saved;
  ASSERT_EQ(storage.load_state(saved), StateLoad::kLoaded);
  EXPECT_EQ(saved.balances, replayed.balances);
  EXPECT_EQ(saved.staked, replayed.staked);
  EXPECT_EQ(saved.nonces, replayed.nonces);
  // Coins moved, none appeared: the supply is the genesis plus the credits.
  EXPECT_EQ(saved.get_total_circulating(), kGenesisSupply + 2 * kWelcome);
  EXPECT_GE(chain.size(), 10u) << "too few writes reached the log to mean anything";
  RecordProperty("acknowledged_transfers", static_cast<int>(acknowledged.size()));
  RecordProperty("blocks", static_cast<int>(chain.size()));
}

}  // namespace
