// The real node killed with SIGKILL while 16 clients buy lots and register
// accounts: every change it acknowledged is in the world read back, every
// change in it is whole, and no journal line is torn.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app_node_process.h"
#include "app_test_support.h"
#include "app_world_peer.h"
#include "game/engine/game_engine.h"
#include "game/store/world_journal.h"
#include "node_client_support.h"

namespace ZezozuRiziv {

namespace {

namespace fs = std::filesystem;
using rozeve_test::NodeProcess;
using Peer = GameEngineTestPeer;

constexpr int kRounds = 20;
constexpr int kClients = 16;
// Longest time the clients write before the kill.
constexpr int kMaxKillDelayUs = 60'000;
constexpr uint64_t kLotPrice = 50;
constexpr uint64_t kStartCoins = 300;

class GameCrashTest : public rozeve_test::BinaryFixture {
 protected:
  std::string args() { return "--daemon " + rozeve_test::local_node_args(rpc_port_, p2p_port_); }

  // A buy by a player of its own, far from every other lot.
  static void lot_of(int client, uint64_t n, std::string& addr, std::string& key, double& lat, double& lon) {
    lat = 30.0 + client * 0.5 + static_cast<double>(n / 1000) * 1e-3;
    lon = 30.0 + static_cast<double>(n % 1000) * 1e-3;
    char text[64];
    std::snprintf(text, sizeof text, "%.5f_%.5f", lat, lon);
    key = text;
    addr = "0xkill" + std::to_string(client) + "n" + std::to_string(n);
  }
  bool buy(int client, uint64_t n) {
    std::string addr, key;
    double lat = 0, lon = 0;
    lot_of(client, n, addr, key, lat, lon);
    char coords[160];
    std::snprintf(coords, sizeof coords, "&lat=%.6f&lon=%.6f&user_lat=%.6f&user_lon=%.6f", lat, lon, lat, lon);
    const std::string answer =
        rozeve_test::curl_get(rpc_port_, "/api/game/buy?addr=" + addr + "&key=" + key + coords);
    return answer.find("\"status\":\"ok\"") != std::string::npos;
  }
  bool register_account(int client, uint64_t n) {
    const std::string name = "u" + std::to_string(client) + "x" + std::to_string(n);
    const std::string answer = rozeve_test::curl_post(
        rpc_port_, "/api/auth/register", "username=" + name + "&email=" + name + "%40x.it&password=segreta1");
    return answer.find("\"status\":\"ok\"") != std::string::npos;
  }

  uint16_t rpc_port_ = 0, p2p_port_ = 0;
};

TEST_F(GameCrashTest, KillsDuringSixteenWritersLoseNoAcknowledgedChange) {
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::mutex mu;
  std::set<std::string> bought;      // acknowledged buys, by lot key
  std::set<std::string> registered;  // acknowledged registrations, by username
  std::vector<uint64_t> next(kClients, 0);

  for (int round = 0; round < kRounds; ++round) {
    NodeProcess node(dir_, args());
    ASSERT_TRUE(node.wait_for_output("[NODO IN MODALITA DAEMON]")) << node.output();
    std::atomic<bool> killed{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
      clients.emplace_back([&, c] {
        while (!killed.load()) {
          const uint64_t n = next[c]++;
          if (c % 4 == 3) {
            if (register_account(c, n)) {
              std::lock_guard<std::mutex> lock(mu);
              registered.insert("u" + std::to_string(c) + "x" + std::to_string(n));
            }
          } else if (buy(c, n)) {
            std::string addr, key;
            double lat = 0, lon = 0;
            lot_of(c, n, addr, key, lat, lon);
            std::lock_guard<std::mutex> lock(mu);
            bought.insert(key);
          }
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % kMaxKillDelayUs));
    node.signal("KILL");
    killed = true;
    ASSERT_TRUE(node.wait_exit(5000).has_value());
    for (std::thread& t : clients) t.join();
  }

  const std::string data = (dir_ / "data").string();
  // No line of the journal is damaged: a torn tail at most.
  const std::string journal = rozeve_test::read_text(dir_ / "data" / kJournalFileName);
  const JournalScan scan = scan_journal(journal);
  EXPECT_FALSE(scan.damaged) << "line " << scan.damaged_line;

  GameEngine engine(data);
  ASSERT_FALSE(engine.load_failed()) << engine.load_error();
  const auto parcels = Peer::parcels(engine);
  const auto players = Peer::players(engine);
  const auto users = Peer::users(engine);
  for (const std::string& key : bought) {
    const auto lot = parcels.find(key);
    ASSERT_NE(lot, parcels.end()) << key;
    EXPECT_FALSE(lot->second.owner.empty()) << key;
  }
  std::set<std::string> names;
  for (const auto& [id, user] : users) names.insert(user.username);
  for (const std::string& name : registered) EXPECT_EQ(names.count(name), 1u) << name;

  // Every change read back is whole: a lot of a buyer comes with its
  // buyer's payment, and an account with its player.
  uint64_t buys = 0;
  for (const auto& [key, lot] : parcels) {
    if (!lot.owner.view().starts_with("0xkill")) continue;
    ++buys;
    const auto buyer = players.find(lot.owner.str());
    ASSERT_NE(buyer, players.end()) << lot.owner;
    EXPECT_EQ(buyer->second.coins, kStartCoins - kLotPrice) << lot.owner;
  }
  for (const auto& [address, player] : players) {
    if (address.starts_with("0xkill")) {
      EXPECT_EQ(player.coins, kStartCoins - kLotPrice) << address;
    }
  }
  for (const auto& [id, user] : users) EXPECT_EQ(players.count(user.wallet_address), 1u) << id;
  EXPECT_GE(buys, bought.size());
  EXPECT_GE(bought.size(), 100u) << "too few writes were acknowledged to mean anything";
  RecordProperty("acknowledged_buys", static_cast<int>(bought.size()));
  RecordProperty("acknowledged_accounts", static_cast<int>(registered.size()));
}

}  // namespace
}  // namespace ZezozuRiziv
