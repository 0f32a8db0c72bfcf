// A large world file is read in pieces on several threads, its lots indexed
// while they are stored. What it reads must be the world that reading the
// same file line by line gives (a removal line anywhere makes the start
// read that way): records given twice, accounts and their indexes, the
// parcel indexes, every player's power, and a journal read on top.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "game/store/world_journal.h"
#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

using Peer = GameEngineTestPeer;
using game_test::kSummerMorningMs;
using game_test::write_file;
namespace fs = std::filesystem;

constexpr int kPlayers = 2500;
constexpr int kLotsPerPlayer = 4;

std::string player_key(int p) { return "0xplayer" + std::to_string(p); }

std::string lot_line(const std::string& key, double lat, double lon, const std::string& owner, int level,
                     bool for_sale) {
  ParcelRecord lot;
  lot.key = key;
  lot.lat = lat;
  lot.lon = lon;
  lot.owner = owner;
  lot.plant_type = level % 2 ? "solar" : "wind";
  lot.plant_level = level;
  lot.plant_name = "Impianto";
  lot.power_kw = 3.0 * level;
  lot.for_sale = for_sale;
  lot.min_bid = for_sale ? 10.0 : 0.0;
  std::string line;
  append_parcel_line(line, lot);
  line.pop_back();  // the LF
  return line;
}

std::string player_line(int p, uint64_t coins) {
  PlayerProfile player;
  player.address = player_key(p);
  player.coins = coins;
  player.last_sync_ms = kSummerMorningMs - 3'600'000;
  std::string line;
  append_player_line(line, player);
  line.pop_back();
  return line;
}

std::string user_line(int u, const std::string& email, const std::string& token) {
  UserAccount user;
  user.id = "usr_" + std::to_string(u);
  user.username = "Giocatore" + std::to_string(u);
  user.email = email;
  user.password_hash = std::string(64, 'a');
  user.salt = std::string(16, 'b');
  user.wallet_address = player_key(u);
  user.session_token = token;
  user.created_at = 1;
  user.last_login = 2;
  std::string line;
  append_user_line(line, user);
  line.pop_back();
  return line;
}

// Over 1 MB, so that it is read in several pieces: accounts, players and
// lots in the writer's order, the lots shuffled as a hash map leaves them.
// A lot, a player and an account are given twice far apart (in different
// pieces), and a lot twice in a row (in one piece).
std::string large_world() {
  std::string out = "QC|Fotovoltaico\nQQ|q1|0xa|A|Fotovoltaico|Domanda?|a|b|c|d|0|0|0|0|1\n"
                    "CER|cer1|Nome|TAG|Descrizione|e|0xa|1|0|0.000000\n"
                    "ADM|" + std::string(64, 'd') + "|0||0\n";
  out += user_line(5, "primo@example.it", "tok_first") + "\n";
  for (int u = 0; u < kPlayers; ++u) out += user_line(u, std::to_string(u) + "@example.it", "") + "\n";
  out += player_line(3, 111) + "\n";
  for (int p = 0; p < kPlayers; ++p) out += player_line(p, 1000 + p) + "\n";
  out += player_line(3, 333) + "\n";

  std::mt19937_64 rng(20261211);
  std::uniform_real_distribution<double> spot(0.0, 0.05);
  std::vector<std::string> lots;
  for (int p = 0; p < kPlayers; ++p) {
    for (int j = 0; j < kLotsPerPlayer; ++j) {
      // On a 1e-4 degree grid: some hex cells hold several lots.
      const double lat = 45.0 + std::round(spot(rng) * 1e4) / 1e4;
      const double lon = 9.0 + std::round(spot(rng) * 1e4) / 1e4;
      char key[64];
      std::snprintf(key, sizeof key, "%d_%d", p, j);
      lots.push_back(lot_line(key, lat, lon, j == 3 ? "" : player_key(p), 1 + (p + j) % 5, (p + j) % 97 == 0));
    }
  }
  std::shuffle(lots.begin(), lots.end(), rng);
  out += lot_line("dup_far", 45.01, 9.01, player_key(1), 2, false) + "\n";
  for (size_t i = 0; i < lots.size(); ++i) {
    out += lots[i] + "\n";
    if (i == lots.size() / 2) {
      out += lot_line("dup_near", 45.02, 9.02, player_key(7), 1, true) + "\n";
      out += lot_line("dup_near", 45.02, 9.02, player_key(8), 4, false) + "\n";
    }
  }
  out += lot_line("dup_far", 45.03, 9.03, player_key(2), 3, false) + "\n";
  out += user_line(5, "secondo@example.it", "tok_second") + "\n";
  return out;
}

// The lines of one dump that the other lacks, a few of each: a plain
// comparison of two dumps this large would print them whole.
std::string difference(const std::string& a, const std::string& b) {
  std::vector<std::string> left = game_test::lines_of(a);
  std::vector<std::string> right = game_test::lines_of(b);
  std::vector<std::string> only_left;
  std::vector<std::string> only_right;
  std::set_difference(left.begin(), left.end(), right.begin(), right.end(), std::back_inserter(only_left));
  std::set_difference(right.begin(), right.end(), left.begin(), left.end(), std::back_inserter(only_right));
  std::string out;
  for (size_t i = 0; i < std::min<size_t>(only_left.size(), 5); ++i) out += "- " + only_left[i] + "\n";
  for (size_t i = 0; i < std::min<size_t>(only_right.size(), 5); ++i) out += "+ " + only_right[i] + "\n";
  return out;
}

class GameWorldLoad : public game_test::GameFixture {
 protected:
  // The world of `content` (and `journal`, when given) in data directory
  // `sub`, and its dump.
  std::string load(const std::string& sub, const std::string& content, const std::string& journal = "") {
    fs::create_directories(dir(sub));
    write_file(dir(sub) + "/game_world.dat", content);
    if (!journal.empty()) write_file(dir(sub) + "/" + kJournalFileName, journal);
    GameEngine engine(dir(sub), clock_);
    EXPECT_FALSE(engine.load_failed()) << engine.load_error();
    return game_test::dump_world(engine);
  }
};

TEST_F(GameWorldLoad, PiecesReadTheWorldThatLineByLineReads) {
  const std::string world = large_world();
  ASSERT_GT(world.size(), 1'000'000u);
  const std::string in_pieces = load("pieces", world);
  // A removal of nothing at the end: the start reads the file line by line.
  EXPECT_EQ(difference(in_pieces, load("lines", world + "X|L|no_such_lot\n")), "");

  GameEngine engine(dir("pieces"), clock_);
  ASSERT_FALSE(engine.load_failed());
  EXPECT_EQ(Peer::parcels(engine).size(), static_cast<size_t>(kPlayers * kLotsPerPlayer + 2));
  // The later line of a record given twice stands, and the indexes follow it.
  const ParcelRecord far = Peer::parcel(engine, "dup_far");
  EXPECT_EQ(far.owner, player_key(2));
  EXPECT_DOUBLE_EQ(far.lat, 45.03);
  EXPECT_EQ(Peer::parcel(engine, "dup_near").owner, player_key(8));
  EXPECT_EQ(Peer::player(engine, player_key(3)).coins, 333u);
  Peer::with_lock(engine, [](GameEngine& e) {
    const auto owns = [&e](const std::string& owner, const std::string& key) {
      const ParcelSpan owned = Peer::index_of(e).owned_by(owner);
      return std::any_of(owned.begin(), owned.end(), [&](const ParcelRecord* p) { return p->key == key; });
    };
    EXPECT_FALSE(owns(player_key(1), "dup_far"));
    EXPECT_TRUE(owns(player_key(2), "dup_far"));
    EXPECT_FALSE(owns(player_key(7), "dup_near"));
    EXPECT_TRUE(owns(player_key(8), "dup_near"));
    EXPECT_EQ(Peer::index_of(e).owned_by(player_key(40)).size(), 3u);  // its fourth lot has no owner
    EXPECT_EQ(Peer::email_index_of(e).count("primo@example.it"), 0u);
    EXPECT_EQ(Peer::email_index_of(e).at("secondo@example.it"), "usr_5");
    EXPECT_EQ(Peer::sessions_of(e).count("tok_first"), 0u);
    EXPECT_EQ(Peer::sessions_of(e).at("tok_second"), "usr_5");
    // An owner's lots share one copy of its text.
    const ParcelSpan owned = Peer::index_of(e).owned_by(player_key(9));
    ASSERT_EQ(owned.size(), 3u);
    EXPECT_EQ(owned[0]->owner.view().data(), owned[2]->owner.view().data());
  });
}

TEST_F(GameWorldLoad, AJournalReadOnTopKeepsTheIndexesInStep) {
  const std::string world = large_world();
  std::string journal;
  for (const std::string& record :
       {lot_line("0_0", 45.04, 9.04, player_key(99), 5, true), std::string("X|L|1_1"),
        lot_line("new_lot", 45.045, 9.045, player_key(1), 1, false), std::string("X|L|dup_far")}) {
    append_journal_line(journal, record);
  }
  append_journal_line(journal, "K|4");
  const std::string in_pieces = load("pieces", world, journal);
  EXPECT_EQ(difference(in_pieces, load("lines", world + "X|L|no_such_lot\n", journal)), "");
  EXPECT_NE(in_pieces.find("owned " + player_key(99) + ": 0_0 "), std::string::npos) << "moved to its new owner";
  EXPECT_EQ(in_pieces.find(" 1_1"), std::string::npos) << "removed, and gone from every index";
  EXPECT_EQ(in_pieces.find(" dup_far"), std::string::npos);
}

}  // namespace
}  // namespace ZezozuRiziv
