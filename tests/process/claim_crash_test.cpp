// The real node killed with SIGKILL at random moments while several players
// claim RUZ at once: after every restart, each player's Zava Vovaz or kWh
// debited equal 100 per gross RUZ that the claim blocks of blocks.dat paid
// it, and every claim the node acknowledged is in the log.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app_node_process.h"
#include "chain/accounts.h"
#include "chain/state.h"
#include "node_client_support.h"
#include "storage/storage.h"
#include "world_file_support.h"

namespace {

namespace fs = std::filesystem;
using rozeve_test::NodeProcess;
using namespace ZezozuRiziv;

constexpr int kRounds = 20;
// Half claim Zava Vovaz, half kWh.
constexpr int kPlayers = 6;
// What each player holds at the start, in both currencies: more than every
// round together can claim.
constexpr uint64_t kStartUnits = 1'000'000;
constexpr uint64_t kCoin = 1'000'000;
constexpr uint64_t kUnitsPerRuz = 100;
constexpr double kStartRuz = 5.0;
// Longest time the claims run before the kill.
constexpr int kMaxKillDelayUs = 40'000;
constexpr char kDaemonRunning[] = "[NODO IN MODALITA DAEMON]";
constexpr char kSettledLine[] = "[GIOCO] Riscatti RUZ in sospeso verificati con ";

std::string player_address(int n) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "0xc1a1%036d", n);
  return buffer;
}

bool claims_coins(int n) { return n % 2 == 0; }

struct WorldPlayer {
  uint64_t coins = 0;
  double kwh = 0.0;
  double ruz = 0.0;
};

class ClaimCrashTest : public rozeve_test::BinaryFixture {
 protected:
  std::string args() { return "--daemon " + rozeve_test::local_node_args(rpc_port_, p2p_port_); }
  fs::path data() const { return dir_ / "data"; }

  // Claims for player `n` until the node stops answering or `stop` is set;
  // the hashes of the claims it acknowledged go to `acknowledged`.
  void claim_until_killed(int n, unsigned seed, const std::atomic<bool>& stop,
                          std::vector<std::string>& acknowledged) const {
    std::mt19937 rng(seed);
    while (!stop.load()) {
      const std::string answer = rozeve_test::curl_get(
          rpc_port_, "/api/game/claim-ruz?addr=" + player_address(n) + "&source=" +
                         (claims_coins(n) ? "WC" : "KWH") + "&amount=" + std::to_string(1 + rng() % 3));
      if (answer.empty()) return;  // killed
      if (rozeve_test::json_text(answer, "status") == "ok") {
        acknowledged.push_back(rozeve_test::json_text(answer, "tx_hash").value_or(""));
      }
    }
  }

  // The "P" records of the world (file and journal), and whether a "CLAIM"
  // record is left.
  std::map<std::string, WorldPlayer> world_players(bool& pending) const {
    std::map<std::string, WorldPlayer> players;
    pending = false;
    for (const std::string& line : rozeve_test::split_lines(rozeve_test::saved_world_text(data().string()))) {
      if (line.starts_with("CLAIM|")) pending = true;
      if (!line.starts_with("P|")) continue;
      std::vector<std::string> f;
      for (size_t start = 0;;) {
        const size_t bar = line.find('|', start);
        f.push_back(line.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos) break;
        start = bar + 1;
      }
      if (f.size() < 5) continue;
      players[f[1]] = {std::stoull(f[2]), std::stod(f[3]), std::stod(f[4])};
    }
    return players;
  }

  uint16_t rpc_port_ = 0, p2p_port_ = 0;
};

TEST_F(ClaimCrashTest, KillsMidClaimNeverPayTwiceNorLoseAClaim) {
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);

  // A first start makes the chain and the world; the players are added
  // without lots, so that they produce nothing while the test runs.
  {
    NodeProcess node(dir_, args());
    ASSERT_TRUE(node.wait_for_output(kDaemonRunning)) << node.output();
    node.signal("TERM");
    ASSERT_EQ(node.wait_exit(5000), 0);
  }
  {
    std::ofstream world(data() / "game_world.dat", std::ios::binary | std::ios::app);
    for (int n = 0; n < kPlayers; ++n) {
      world << "P|" << player_address(n) << "|" << kStartUnits << "|" << kStartUnits << ".000000|5.000000|0|0\n";
    }
  }

  std::vector<std::string> acknowledged;
  int settled_starts = 0;
  for (int round = 0; round < kRounds; ++round) {
    NodeProcess node(dir_, args());
    ASSERT_TRUE(node.wait_for_output(kDaemonRunning)) << node.output();
    if (node.output().find(kSettledLine) != std::string::npos) ++settled_starts;
    std::atomic<bool> stop{false};
    std::vector<std::vector<std::string>> mine(kPlayers);
    std::vector<std::thread> players;
    for (int n = 0; n < kPlayers; ++n) {
      players.emplace_back([&, n, s = static_cast<unsigned>(rng())] { claim_until_killed(n, s, stop, mine[n]); });
    }
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % kMaxKillDelayUs));
    node.signal("KILL");
    ASSERT_TRUE(node.wait_exit(5000).has_value());
    stop = true;
    for (std::thread& t : players) t.join();
    for (const auto& hashes : mine) acknowledged.insert(acknowledged.end(), hashes.begin(), hashes.end());
  }
  {
    NodeProcess node(dir_, args());
    ASSERT_TRUE(node.wait_for_output(kDaemonRunning)) << node.output();
    if (node.output().find(kSettledLine) != std::string::npos) ++settled_starts;
    node.signal("TERM");
    ASSERT_EQ(node.wait_exit(5000), 0);
  }

  // What the log paid each player.
  Storage storage(data().string());
  std::map<std::string, uint64_t> gross, net;
  uint64_t claims = 0;
  for (const Block& block : storage.get_blocks_cached()) {
    for (const Transaction& tx : block.transactions) {
      if (tx.sender != kRewardPoolAddress) continue;
      gross[tx.recipient] += tx.amount + tx.fee;
      net[tx.recipient] += tx.amount;
      ++claims;
    }
  }
  for (const std::string& hash : acknowledged) {
    const Block* block = nullptr;
    const Transaction* tx = nullptr;
    EXPECT_TRUE(storage.find_tx_by_hash(hash, block, tx)) << "acknowledged claim lost: " << hash;
  }

  // What the game debited them, and what the ledger holds for them.
  bool pending = true;
  const std::map<std::string, WorldPlayer> world = world_players(pending);
  EXPECT_FALSE(pending) << "a claim is still pending after a clean start";
  State state;
  ASSERT_EQ(storage.load_state(state), StateLoad::kLoaded);
  for (int n = 0; n < kPlayers; ++n) {
    const std::string address = player_address(n);
    SCOPED_TRACE(address);
    ASSERT_EQ(world.count(address), 1u);
    const WorldPlayer& p = world.at(address);
    ASSERT_EQ(gross[address] % kCoin, 0u);
    const uint64_t paid_units = gross[address] / kCoin * kUnitsPerRuz;
    if (claims_coins(n)) {
      EXPECT_EQ(kStartUnits - p.coins, paid_units);
      EXPECT_EQ(p.kwh, static_cast<double>(kStartUnits));
    } else {
      EXPECT_EQ(static_cast<double>(kStartUnits) - p.kwh, static_cast<double>(paid_units));
      EXPECT_EQ(p.coins, kStartUnits);
    }
    EXPECT_NEAR(p.ruz, kStartRuz + static_cast<double>(net[address]) / kCoin, 1e-6);
    EXPECT_EQ(state.get_balance(address), net[address]);
  }
  EXPECT_GE(claims, static_cast<uint64_t>(kRounds)) << "too few claims reached the log to mean anything";
  RecordProperty("claims", static_cast<int>(claims));
  RecordProperty("acknowledged", static_cast<int>(acknowledged.size()));
  RecordProperty("settled_starts", settled_starts);
}

}  // namespace
