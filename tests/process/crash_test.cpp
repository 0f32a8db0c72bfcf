// The real node killed with SIGKILL at random moments while wallets, the
// faucet, new wallets, game claims and a peer write to it at once, and its
// state.json sometimes lost between runs: nothing it acknowledged is lost,
// no nonce is used twice, and its state is always what its two logs alone
// rebuild.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app_node_process.h"
#include "app_test_support.h"
#include "chain/accounts.h"
#include "chain/state.h"
#include "chain/wallet.h"
#include "eth_signing_support.h"
#include "node_client_support.h"
#include "storage/block_rules.h"
#include "storage/credits_log.h"
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
// Longest time the writers run before the kill.
constexpr int kMaxKillDelayUs = 120'000;
constexpr uint64_t kFaucetCoins = 7;
// Longest wait for a peer block to show up in the chain.
constexpr auto kPeerBlockWait = std::chrono::seconds(2);
// Longest wait for the first peer block, on a loaded machine.
constexpr auto kPeerLandingWait = std::chrono::seconds(30);

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
  // One peer block spending from the peer's account; waits until the chain
  // has grown. False once the node does not answer.
  bool peer_block() {
    const auto tip = rozeve_test::chain_tip(rpc_port_);
    const uint64_t nonce = native_nonce(peer_sender_);
    if (!tip || nonce == UINT64_MAX) return false;
    rozeve_test::PeerClient peer(p2p_port_);
    if (!peer.send_block(rozeve_test::peer_transfer_block(*tip, peer_sender_, kRecipient,
                                                          kTransferAtomic, nonce, kPeerValidator))) {
      return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + kPeerBlockWait;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto now = rozeve_test::chain_tip(rpc_port_);
      if (!now) return false;
      if (now->index > tip->index) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;  // another writer's block came first: the next try reads the new tip
  }

  // Sends peer blocks until one of them is in the chain; false at the deadline.
  bool peer_block_lands() {
    const auto deadline = std::chrono::steady_clock::now() + kPeerLandingWait;
    while (std::chrono::steady_clock::now() < deadline) {
      const uint64_t nonce = native_nonce(peer_sender_);
      if (nonce != UINT64_MAX && nonce > 0) return true;
      if (!peer_block()) return false;
    }
    return false;
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
  std::mutex mutex;
  std::vector<std::string> acknowledged;          // transfer and claim hashes
  std::map<std::string, uint64_t> credited_to;    // fresh address -> what it got
  bool funded = false;
  uint64_t fresh = 0;
  const auto fresh_address = [&fresh] {
    char address[43];
    std::snprintf(address, sizeof address, "0x%040llx", static_cast<unsigned long long>(++fresh));
    return std::string(address);
  };
  int lost_states = 0;

  for (int round = 0; round < kRounds; ++round) {
    // state.json lost between two runs: the next start rebuilds it.
    if (round > 1 && rng() % 4 == 0 && fs::remove(dir_ / "data" / "state.json")) ++lost_states;
    NodeProcess node(dir_, args());
    if (round == 0) {
      // The first start itself is cut short: genesis half written at most.
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % 30'000));
      node.signal("KILL");
      ASSERT_TRUE(node.wait_exit(5000).has_value());
      continue;
    }
    ASSERT_TRUE(node.wait_for_output("[NODO IN MODALITA DAEMON]")) << node.output();
    if (!funded) {
      const std::string answer = rozeve_test::rpc_call(
          rpc_port_, "eth_getBalance", "[\"" + wallet_.address() + "\",\"latest\"]");
      ASSERT_NE(answer.find("\"result\":\"0x56bc75e2d63100000\""), std::string::npos) << answer;
      // Peers spend only from native accounts, funded here by the faucet.
      ASSERT_TRUE(rozeve_test::faucet(rpc_port_, peer_sender_, kWelcome / kCoin));
      // One peer block lands before the writers start: with them running, a
      // block built on the tip is mostly outrun by the node's own blocks.
      ASSERT_TRUE(peer_block_lands()) << node.output();
      funded = true;
    }
    // Every writer runs until the node dies under it.
    std::vector<std::string> welcome, faucet, claimers;
    for (int i = 0; i < 200; ++i) {
      welcome.push_back(fresh_address());
      faucet.push_back(fresh_address());
      claimers.push_back(fresh_address());
    }
    std::vector<std::thread> writers;
    writers.emplace_back([&] {
      while (auto hash = wallet_transfer()) {
        std::lock_guard lock(mutex);
        acknowledged.push_back(*hash);
      }
    });
    writers.emplace_back([&] {
      for (const std::string& address : welcome) {
        const std::string answer =
            rozeve_test::rpc_call(rpc_port_, "eth_getBalance", "[\"" + address + "\",\"latest\"]");
        if (answer.find("\"result\":\"0x56bc75e2d63100000\"") == std::string::npos) return;
        std::lock_guard lock(mutex);
        credited_to[address] = kWelcome;
      }
    });
    writers.emplace_back([&] {
      for (const std::string& address : faucet) {
        const std::string answer = rozeve_test::curl_get(
            rpc_port_, "/api/fund?addr=" + address + "&amt=" + std::to_string(kFaucetCoins));
        if (rozeve_test::json_text(answer, "status") != "ok") return;
        std::lock_guard lock(mutex);
        credited_to[address] = kFaucetCoins * kCoin;
      }
    });
    writers.emplace_back([&] {
      for (const std::string& address : claimers) {
        const std::string answer = rozeve_test::curl_get(
            rpc_port_, "/api/game/claim-ruz?addr=" + address + "&source=WC&amount=1");
        const auto hash = rozeve_test::json_text(answer, "tx_hash");
        if (!hash) return;
        std::lock_guard lock(mutex);
        acknowledged.push_back(*hash);
      }
    });
    writers.emplace_back([&] {
      for (int i = 0; i < 50 && peer_block(); ++i) {
      }
    });
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % kMaxKillDelayUs));
    node.signal("KILL");
    ASSERT_TRUE(node.wait_exit(5000).has_value());
    for (std::thread& writer : writers) writer.join();
  }

  {
    NodeProcess node(dir_, args());
    ASSERT_TRUE(node.wait_for_output("[NODO IN MODALITA DAEMON]")) << node.output();
    node.signal("TERM");
    ASSERT_EQ(node.wait_exit(5000), 0);
  }
  ASSERT_TRUE(funded);

  Storage storage((dir_ / "data").string());
  const std::vector<Block>& chain = storage.get_blocks_cached();
  ASSERT_FALSE(chain.empty());
  // Every acknowledged transfer and claim is in the log.
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
  // The state the node starts from is the one the two logs alone rebuild.
  const State started = rozeve_test::logged_state(dir_ / "data");
  fs::remove(dir_ / "data" / "state.json");
  const State rebuilt = rozeve_test::logged_state(dir_ / "data");
  EXPECT_EQ(started.balances, rebuilt.balances);
  EXPECT_EQ(started.staked, rebuilt.staked);
  EXPECT_EQ(started.nonces, rebuilt.nonces);
  // Every acknowledged credit is there, exactly.
  for (const auto& [address, amount] : credited_to) {
    EXPECT_EQ(rebuilt.get_balance(address), amount) << address;
  }
  // Coins moved, none appeared: the supply is the genesis plus what the
  // credits log minted.
  CreditsLogContent credits;
  std::string damage;
  ASSERT_EQ(storage.read_credits(credits, damage), CreditsRead::kRead) << damage;
  uint64_t minted = 0;
  for (const CreditRecord& record : credits.records) {
    if (record.kind == CreditKind::kFaucet || record.kind == CreditKind::kWelcome) minted += record.amount;
  }
  EXPECT_EQ(rebuilt.get_total_circulating(), kGenesisSupply + minted);
  EXPECT_GE(chain.size(), 10u) << "too few writes reached the log to mean anything";
  RecordProperty("acknowledged_blocks", static_cast<int>(acknowledged.size()));
  RecordProperty("acknowledged_credits", static_cast<int>(credited_to.size()));
  RecordProperty("lost_states", lost_states);
  RecordProperty("blocks", static_cast<int>(chain.size()));
}

}  // namespace
