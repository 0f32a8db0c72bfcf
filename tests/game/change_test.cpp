// The one road of a game change: an answer reports its own change, whatever
// other writers do while the journal syncs; a change journals what it
// changed, whatever the size of a community; a world read back (through a
// rewrite too) is the world that was saved.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "game/store/world_journal.h"
#include "game/store/world_records.h"
#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

using Peer = GameEngineTestPeer;
using game_test::json_value;
namespace fs = std::filesystem;

constexpr char kPlayer[] = "0x00000000000000000000000000000000000a11a0";

// Runs `work(i)` on `n` threads that start together.
template <typename Work>
void all_at_once(int n, Work work) {
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) {
    threads.emplace_back([&, i] {
      ++ready;
      while (ready.load() < n) std::this_thread::yield();
      work(i);
    });
  }
  for (std::thread& t : threads) t.join();
}

// A member address of the test's own.
std::string member_address(uint64_t i) {
  char text[48];
  std::snprintf(text, sizeof text, "0x%040llx", static_cast<unsigned long long>(i + 1));
  return text;
}

// The world file an engine writes of its memory, its lines in a form two
// engines holding the same world agree on: the lines of the hash maps
// (accounts, players, lots) sorted, the rest in the file's own order.
std::string canonical_world(GameEngine& engine, const std::string& world_path) {
  EXPECT_TRUE(engine.save_world());
  std::vector<std::string> mapped;
  std::string rest;
  for (const std::string& line : game_test::lines_of(game_test::read_file(world_path))) {
    const std::string tag = line.substr(0, line.find('|'));
    if (tag == "U" || tag == "P" || tag == "L") {
      mapped.push_back(line);
    } else if (tag != "J") {
      rest += line + "\n";
    }
  }
  std::sort(mapped.begin(), mapped.end());
  std::string text;
  for (const std::string& line : mapped) text += line + "\n";
  return text + rest;
}

class GameChange : public game_test::GameFixture {
 protected:
  void SetUp() override {
    GameFixture::SetUp();
    engine_ = make_engine();
  }
  uint64_t journal_bytes() const {
    std::error_code ec;
    const auto size = fs::file_size(journal_path(), ec);
    return ec ? 0 : size;
  }
  // Bytes the journal grew by while `change` ran.
  template <typename Change>
  uint64_t appended_by(Change change) {
    const uint64_t before = journal_bytes();
    change();
    return journal_bytes() - before;
  }
  bool buy(const std::string& who, int n, std::string& out) {
    const double lat = 20.0 + 0.01 * n;
    const double lon = 20.0 + 0.01 * (n % 7);
    char key[64];
    std::snprintf(key, sizeof key, "%.5f_%.5f", lat, lon);
    return engine_->buy_parcel(who, key, lat, lon, out, 0.0, 0.0, false);
  }
  // A community of `size` members put in place and saved in the world file.
  std::string community_of(uint64_t size, uint64_t first) {
    const std::string id = "cer_test_" + std::to_string(size);
    Peer::with_lock(*engine_, [&](GameEngine& e) {
      CERCommunity& c = Peer::cers_of(e)[id];
      c.id = id;
      c.name = "Comunita " + std::to_string(size);
      c.tag = "TST";
      c.creator = member_address(first);
      c.created_at = game_test::kSummerMorningMs;
      for (uint64_t i = 0; i < size; ++i) {
        const std::string a = member_address(first + i);
        c.members.push_back({a, i == 0 ? "admin" : "member", game_test::kSummerMorningMs, 0, 25.0});
        c.total_kwh += 25.0;
        PlayerProfile& p = Peer::get_or_create(e, a);
        p.cer_id = id;
        p.cer_role = i == 0 ? "admin" : "member";
      }
      for (int m = 0; m < 50; ++m) {
        c.messages.push_back({"msg_" + std::to_string(m), c.creator, "Admin", "testo", "x", 1});
      }
    });
    EXPECT_TRUE(engine_->save_world());
    return id;
  }

  std::unique_ptr<GameEngine> engine_;
};

TEST_F(GameChange, SimultaneousLoginsEachGetTheirOwnToken) {
  constexpr int kLogins = 24;
  std::string out;
  ASSERT_TRUE(engine_->register_user("anna", "anna@example.it", "segreta1", out)) << out;
  ASSERT_TRUE(engine_->login_google_user("g-anna", "anna@example.it", "Anna", "", out)) << out;

  for (const bool google : {false, true}) {
    SCOPED_TRACE(google ? "Google" : "password");
    std::vector<std::string> answers(kLogins);
    all_at_once(kLogins, [&](int i) {
      if (google) {
        EXPECT_TRUE(engine_->login_google_user("g-anna", "anna@example.it", "Anna", "", answers[i])) << answers[i];
      } else {
        EXPECT_TRUE(engine_->login_user("Anna", "segreta1", answers[i])) << answers[i];
      }
    });
    std::set<std::string> tokens;
    for (const std::string& a : answers) tokens.insert(json_value(a, "session_token"));
    EXPECT_EQ(tokens.size(), static_cast<size_t>(kLogins));
    // One session per account: the last login's, and no other.
    size_t live = 0;
    for (const std::string& token : tokens) live += engine_->get_user_profile(token, out) ? 1 : 0;
    EXPECT_EQ(live, 1u);
  }
}

TEST_F(GameChange, SimultaneousBuysEachAnswerTheCoinsTheirOwnBuyLeft) {
  // 300 WC: six lots at 50, and the seventh and eighth refused.
  std::vector<std::string> answers(8);
  std::vector<char> bought(8);
  all_at_once(8, [&](int i) { bought[i] = buy(kPlayer, i, answers[i]); });
  std::multiset<uint64_t> coins;
  size_t refused = 0;
  for (int i = 0; i < 8; ++i) {
    if (!bought[i]) {
      ++refused;
      EXPECT_NE(answers[i].find("Zava Vovaz insufficienti"), std::string::npos) << answers[i];
      continue;
    }
    coins.insert(std::stoull(json_value(answers[i], "coins")));
  }
  EXPECT_EQ(refused, 2u);
  EXPECT_EQ(coins, (std::multiset<uint64_t>{0, 50, 100, 150, 200, 250}));
  EXPECT_EQ(Peer::player(*engine_, kPlayer).coins, 0u);
}

TEST_F(GameChange, MembersOfOneLargeCommunityBuyAtOnce) {
  const std::string id = community_of(3000, 100);
  clock_->advance_ms(60'000);
  std::vector<std::string> answers(16);
  std::vector<char> bought(16);
  all_at_once(16, [&](int i) { bought[i] = buy(member_address(100 + i), 100 + i, answers[i]); });
  for (int i = 0; i < 16; ++i) EXPECT_TRUE(bought[i]) << answers[i];
  const std::string before = canonical_world(*engine_, world_path());
  engine_.reset();
  EXPECT_EQ(canonical_world(*make_engine(), world_path()), before);
}

TEST_F(GameChange, AMemberWritesWhatItChangedWhateverTheSizeOfItsCommunity) {
  const std::string small = community_of(10, 0);
  const std::string large = community_of(3000, 100);
  std::string out;
  // A buy: the buyer's line (with its community's totals) and the lot.
  const uint64_t lone = appended_by([&] { ASSERT_TRUE(buy(kPlayer, 1, out)) << out; });
  const uint64_t in_small = appended_by([&] { ASSERT_TRUE(buy(member_address(1), 2, out)) << out; });
  const uint64_t in_large = appended_by([&] { ASSERT_TRUE(buy(member_address(101), 3, out)) << out; });
  EXPECT_LE(in_large, in_small + 8);  // the totals' digits at most
  EXPECT_LE(in_small, in_large + 8);
  EXPECT_LT(in_large, lone + 80);
  EXPECT_LT(in_large, 1024u);

  // A join, a post, a leave: a few lines each, never the community.
  const std::string joiner = member_address(9000);
  const uint64_t join_small = appended_by([&] { ASSERT_TRUE(engine_->join_cer_community(joiner, small, out)) << out; });
  const uint64_t join_large = appended_by([&] { ASSERT_TRUE(engine_->join_cer_community(joiner, large, out)) << out; });
  EXPECT_LE(join_large, join_small + 120);  // the join also leaves the first community
  EXPECT_LT(join_large, 2048u);
  EXPECT_LT(appended_by([&] { ASSERT_TRUE(engine_->post_cer_message(joiner, "ciao", "", out)) << out; }), 512u);
  // The admin leaves: its entry goes, the next one becomes admin.
  EXPECT_LT(appended_by([&] { ASSERT_TRUE(engine_->leave_cer_community(member_address(100), out)) << out; }),
            1024u);

  // And all of it reads back as it stands.
  const std::string before = canonical_world(*engine_, world_path());
  engine_.reset();
  auto reloaded = make_engine();
  EXPECT_EQ(canonical_world(*reloaded, world_path()), before);
}

class GameChangeReplay : public game_test::GameFixture {
 protected:
  // A stretch of community life: founding, joins, posts past the board's
  // cap, production credited to members, a quiz answer, an admin leaving.
  void live(GameEngine& engine, int round) {
    std::string out;
    const std::string founder = member_address(1000 + round);
    Peer::with_lock(engine, [&](GameEngine& e) { Peer::get_or_create(e, founder).coins = 10'000; });
    ASSERT_TRUE(engine.create_cer_community(founder, "Sole " + std::to_string(round), "SOL", "", "", out)) << out;
    const std::string id = json_value(out, "cer_id");
    for (int m = 0; m < 6; ++m) {
      const std::string who = member_address(2000 + round * 10 + m);
      ASSERT_TRUE(engine.join_cer_community(who, id, out)) << out;
      ASSERT_TRUE(engine.join_cer_community(who, "cer_solare_italia", out)) << out;
      ASSERT_TRUE(engine.join_cer_community(who, id, out)) << out;
      for (int p = 0; p < 10; ++p) ASSERT_TRUE(engine.post_cer_message(who, "m" + std::to_string(p), "", out));
      // A lot with a plant: the sun makes kWh, credited to the community.
      const double lat = 41.0 + 0.001 * (round * 10 + m);
      char key[64];
      std::snprintf(key, sizeof key, "%.5f_12.00000", lat);
      ASSERT_TRUE(engine.buy_parcel(who, key, lat, 12.0, out, 0.0, 0.0, false)) << out;
      ASSERT_TRUE(engine.build_plant(who, key, "solar", out)) << out;
    }
    clock_->advance_ms(3'600'000);
    for (int m = 0; m < 6; ++m) {
      ASSERT_TRUE(engine.draw_daily_bonus_card(member_address(2000 + round * 10 + m), out)) << out;
    }
    const auto questions = Peer::questions(engine);
    ASSERT_FALSE(questions.empty());
    const QuizQuestion& q = questions.begin()->second;
    ASSERT_TRUE(engine.answer_quiz_question(founder, q.id, q.correct_option, out)) << out;
    ASSERT_TRUE(engine.leave_cer_community(founder, out)) << out;
  }
};

TEST_F(GameChangeReplay, AWorldReadBackThroughItsJournalIsTheWorldThatWasSaved) {
  auto engine = make_engine();
  live(*engine, 0);
  // The files as a crash would leave them: the world file and the journal.
  fs::copy(dir(), dir("copy"), fs::copy_options::recursive);
  const std::string expected = canonical_world(*engine, world_path());
  GameEngine replayed(dir("copy"), clock_);
  EXPECT_EQ(canonical_world(replayed, dir("copy") + "/game_world.dat"), expected);
}

TEST_F(GameChangeReplay, ChangesAWorldFileAlreadyHoldsAreNotAppliedTwice) {
  auto engine = make_engine();
  live(*engine, 0);
  const std::string journal_a = game_test::read_file(journal_path());
  // A fresh world file holds every change so far; more changes follow.
  ASSERT_TRUE(engine->save_world());
  const std::string world_after_a = game_test::read_file(world_path());
  live(*engine, 1);
  const std::string journal_b = game_test::read_file(journal_path());
  const std::string want = canonical_world(*engine, world_path());

  // The files as a rewrite leaves them when a crash cuts it short after
  // the new world file is in place.
  const auto image = [&](const std::string& old_journal, const std::string& journal) {
    fs::remove_all(dir("copy"));
    fs::create_directories(dir("copy"));
    fs::copy_file(dir() + "/" + kMasterPasswordFileName, dir("copy") + "/" + kMasterPasswordFileName);
    game_test::write_file(dir("copy") + "/game_world.dat", world_after_a);
    if (!old_journal.empty()) {
      game_test::write_file(dir("copy") + "/" + kJournalFileName + kOldJournalSuffix, old_journal);
    }
    game_test::write_file(dir("copy") + "/" + kJournalFileName, journal);
    GameEngine replayed(dir("copy"), clock_);
    EXPECT_FALSE(replayed.load_failed()) << replayed.load_error();
    return canonical_world(replayed, dir("copy") + "/game_world.dat");
  };
  // The old journal still beside the file that holds it.
  EXPECT_EQ(image(journal_a, journal_b), want);
  // The changes the file holds at the head of the journal (written while
  // the file was being read).
  EXPECT_EQ(image("", journal_a + journal_b), want);
}

}  // namespace
}  // namespace ZezozuRiziv
