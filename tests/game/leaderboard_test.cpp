#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "game/model/text_safety.h"
#include "game/rules/market_rules.h"
#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

using game_test::count_of;
using Peer = GameEngineTestPeer;

class GameLeaderboard : public game_test::GameFixture {
 protected:
  void SetUp() override {
    GameFixture::SetUp();
    engine_ = make_engine();
    // Only the players each test adds.
    Peer::with_lock(*engine_, [](GameEngine& e) { Peer::players_of(e).clear(); });
  }
  void add(const std::string& address, double power, uint64_t parcels, double boost = 1.0, double kwh = 0.0,
           double ruz = 0.0) {
    Peer::with_lock(*engine_, [&](GameEngine& e) {
      PlayerProfile& p = Peer::players_of(e)[address];
      p.address = address;
      p.power_kw = power;
      p.parcels_count = parcels;
      p.storage_boost = boost;
      p.kwh = kwh;
      p.ruz = ruz;
    });
  }

  std::unique_ptr<GameEngine> engine_;
};

TEST_F(GameLeaderboard, NoPlayers) {
  EXPECT_EQ(engine_->get_leaderboard_json(),
            "{\"status\":\"ok\",\"total_players\":0,\"total_parcels\":19,\"leaders\":[]}");
}

TEST_F(GameLeaderboard, OnePlayerWrittenInFull) {
  add("0xtop", 12.5, 3, 1.2, 840.75, 2.0);
  add("0xpi", 3.14159, 1, 1.0, 0.0, 5.0);
  EXPECT_EQ(engine_->get_leaderboard_json(),
            "{\"status\":\"ok\",\"total_players\":2,\"total_parcels\":19,\"leaders\":["
            "{\"rank\":1,\"address\":\"0xtop\",\"power_kw\":12.50,\"storage_boost\":1.20,\"parcels_count\":3,"
            "\"kwh\":840.75,\"ruz\":2.00},"
            "{\"rank\":2,\"address\":\"0xpi\",\"power_kw\":3.14,\"storage_boost\":1.00,\"parcels_count\":1,"
            "\"kwh\":0.00,\"ruz\":5.00}]}");
}

TEST_F(GameLeaderboard, TwentyFivePlayersShowTwenty) {
  for (int i = 0; i < 25; ++i) add(std::string("0xp") + std::to_string(100 + i), i, 0);
  const std::string json = engine_->get_leaderboard_json();
  EXPECT_EQ(game_test::json_value(json, "total_players"), "25");
  EXPECT_EQ(count_of(json, "\"rank\":"), 20u);
  EXPECT_NE(json.find("{\"rank\":1,\"address\":\"0xp124\""), std::string::npos);
  EXPECT_NE(json.find("{\"rank\":20,\"address\":\"0xp105\""), std::string::npos);
  EXPECT_EQ(json.find("\"rank\":21"), std::string::npos);
  EXPECT_EQ(json.find("0xp104"), std::string::npos);
}

TEST_F(GameLeaderboard, PowersWithinOneHundredthRankByParcels) {
  add("0xstrong", 10.005, 1);
  add("0xwide", 10.0, 4);
  std::string json = engine_->get_leaderboard_json();
  EXPECT_LT(json.find("0xwide"), json.find("0xstrong"));

  Peer::with_lock(*engine_, [](GameEngine& e) { Peer::players_of(e).at("0xstrong").power_kw = 10.02; });
  json = engine_->get_leaderboard_json();
  EXPECT_LT(json.find("0xstrong"), json.find("0xwide"));
}

TEST_F(GameLeaderboard, AddressesAreWrittenAsJsonText) {
  // Refused where it would enter...
  std::string out;
  EXPECT_FALSE(engine_->place_bid_or_offer("0x\"evil", "k", "WC", 1, out));
  EXPECT_EQ(out, error_json(kBadAddressMessage));
  EXPECT_FALSE(Peer::has_player(*engine_, "0x\"evil"));
  // ...and escaped if a record holds it all the same.
  add("0x\"},{\"rank\":0", 1.0, 1);
  EXPECT_NE(engine_->get_leaderboard_json().find("\"address\":\"0x\\\"},{\\\"rank\\\":0\""), std::string::npos);
}

// Players whose powers lie in a chain of steps under 0.01 kW compare in
// cycles; the pick must still hold each of them once.
TEST(LeaderSelection, HoldsEachPlayerOnceWhateverTheComparisonSays) {
  std::mt19937_64 rng(20260);
  for (int round = 0; round < 200; ++round) {
    const int n = 1 + static_cast<int>(rng() % 60);
    std::vector<PlayerProfile> players(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
      players[i].power_kw = 10.0 + 0.006 * static_cast<double>(rng() % 8);
      players[i].parcels_count = rng() % 4;
    }
    LeaderSelection selection(20);
    for (const PlayerProfile& p : players) selection.offer(p);
    const auto& leaders = selection.leaders();
    EXPECT_EQ(leaders.size(), std::min<size_t>(20, players.size()));
    std::set<const PlayerProfile*> distinct(leaders.begin(), leaders.end());
    EXPECT_EQ(distinct.size(), leaders.size());
    for (const PlayerProfile* p : leaders) {
      EXPECT_TRUE(p >= players.data() && p < players.data() + players.size());
    }
  }
}

// Powers that are equal or more than 0.01 kW apart make the comparison a
// strict weak order: the pick is then the head of a sorted list.
TEST(LeaderSelection, AgreesWithASortWhereTheComparisonIsAnOrder) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 200; ++round) {
    const int n = 1 + static_cast<int>(rng() % 80);
    std::vector<PlayerProfile> players(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
      players[i].power_kw = 0.25 * static_cast<double>(rng() % 12);
      players[i].parcels_count = rng() % 5;
    }
    std::vector<PlayerProfile> sorted = players;
    std::stable_sort(sorted.begin(), sorted.end(), ranks_before);
    LeaderSelection selection(20);
    for (const PlayerProfile& p : players) selection.offer(p);
    const auto& leaders = selection.leaders();
    ASSERT_EQ(leaders.size(), std::min<size_t>(20, sorted.size()));
    for (size_t i = 0; i < leaders.size(); ++i) {
      EXPECT_EQ(leaders[i]->power_kw, sorted[i].power_kw) << round << " " << i;
      EXPECT_EQ(leaders[i]->parcels_count, sorted[i].parcels_count) << round << " " << i;
    }
  }
}

}  // namespace
}  // namespace ZezozuRiziv
