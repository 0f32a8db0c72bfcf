// The journal beside game_world.dat: what a change appends, what a start
// reads back, a torn tail cut off, damage in the middle refused, failed
// writes undone with everything queued after them, and the rewrite that
// folds the journal into a fresh world file while changes go on.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "game/store/world_journal.h"
#include "game_test_support.h"
#include "small_tmpfs.h"

namespace ZezozuRiziv {
namespace {

using Peer = GameEngineTestPeer;
using game_test::read_file;
using game_test::write_file;
namespace fs = std::filesystem;

std::string journal_of(const std::vector<std::vector<std::string>>& changes) {
  std::string out;
  for (const auto& change : changes) {
    for (const std::string& record : change) append_journal_line(out, record);
    append_journal_line(out, "K|" + std::to_string(change.size()));
  }
  return out;
}

// The stored part of the world, one sorted line per record.
std::string stored_world(GameEngine& engine) {
  std::vector<std::string> lines;
  Peer::with_lock(engine, [&](GameEngine& e) {
    for (const auto& [k, p] : Peer::players_of(e)) append_player_line(lines.emplace_back(), p);
    for (const auto& [k, l] : Peer::parcels_of(e)) append_parcel_line(lines.emplace_back(), l);
    for (const auto& [k, u] : Peer::users_of(e)) append_user_line(lines.emplace_back(), u);
    for (const auto& [k, v] : Peer::sessions_of(e)) lines.push_back("session " + k + "=" + v);
    for (const auto& [k, c] : Peer::cers_of(e)) append_community_lines(lines.emplace_back(), c);
    for (const auto& [k, q] : Peer::questions_of(e)) append_question_line(lines.emplace_back(), q);
    for (const std::string& c : Peer::categories_of(e)) append_category_line(lines.emplace_back(), c);
    append_admin_lines(lines.emplace_back(), Peer::admin_of(e));
  });
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const std::string& line : lines) out += line;
  return out;
}

class GameWorldJournal : public game_test::GameFixture {
 protected:
  // A buy of a new player far from every other lot.
  static bool buy(GameEngine& engine, int n) {
    const double lat = 30.0 + static_cast<double>(n / 100) * 1e-3;
    const double lon = 30.0 + static_cast<double>(n % 100) * 1e-3;
    char key[64];
    std::snprintf(key, sizeof key, "%.5f_%.5f", lat, lon);
    std::string out;
    return engine.buy_parcel("0xbuyer" + std::to_string(n), key, lat, lon, out, lat, lon, false);
  }
};

TEST(JournalScan, TellsATornTailFromDamageInTheMiddle) {
  const std::string one = journal_of({{"P|0xa|1|1.000000|5.000000|0|0", "L|k|1.000000|2.000000|0xa||0|0|0|x"}});
  const std::string two = one + journal_of({{"P|0xb|2|1.000000|5.000000|0|0"}});
  std::string flipped = two;
  flipped[3] ^= 0x01;  // inside the first change
  std::string unclosed = one;
  append_journal_line(unclosed, "P|0xc|3|1.000000|5.000000|0|0");
  const std::string miscounted = one + journal_of({{"P|0xb|2|1.000000|5.000000|0|0"}}).substr(0, 40) + "\n";
  std::string short_close;
  append_journal_line(short_close, "P|0xb|2|1.000000|5.000000|0|0");
  append_journal_line(short_close, "K|2");
  struct Case {
    const char* what;
    std::string text;
    size_t records;
    uint64_t complete;
    bool damaged;
  };
  const std::vector<Case> cases = {
      {"empty", "", 0, 0, false},
      {"two whole changes", two, 3, two.size(), false},
      {"last line cut before its line feed", two.substr(0, two.size() - 1), 2, one.size(), false},
      {"a change without its closing line", unclosed, 2, one.size(), false},
      {"zeros after the last change, as a crash leaves them", one + std::string(512, '\0'), 2, one.size(), false},
      {"a garbled half line at the end", one + "P|0xb|2|1.0", 2, one.size(), false},
      {"a flipped byte with whole changes after it", flipped, 0, 0, true},
      {"a garbled line, then a whole one", miscounted + two.substr(one.size()), 2, one.size(), true},
      {"a closing line that does not add up", short_close, 0, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const JournalScan scan = scan_journal(c.text);
    EXPECT_EQ(scan.damaged, c.damaged);
    if (c.damaged) continue;
    EXPECT_EQ(scan.records.size(), c.records);
    EXPECT_EQ(scan.complete_bytes, c.complete);
  }
  // Known answer: the CRC-32 of "123456789".
  EXPECT_EQ(crc32_of("123456789"), 0xCBF43926U);
}

TEST_F(GameWorldJournal, AChangeAppendsOnlyItsRecordsAndAStartReadsThemBack) {
  auto engine = make_engine();
  const std::string file = read_file(world_path());
  ASSERT_TRUE(buy(*engine, 1));
  EXPECT_EQ(read_file(world_path()), file);  // the world file is not rewritten
  const std::string journal = read_file(journal_path());
  const JournalScan scan = scan_journal(journal);  // views into `journal`
  ASSERT_EQ(scan.changes, 1u);
  ASSERT_EQ(scan.records.size(), 2u);  // the buyer and the lot
  EXPECT_TRUE(scan.records[0].starts_with("P|0xbuyer1|250|"));
  EXPECT_TRUE(scan.records[1].starts_with("L|30.00000_30.00100|"));

  std::string out;
  ASSERT_TRUE(engine->register_user("Anna", "anna@x.it", "segreta1", out)) << out;
  const std::string token = game_test::json_value(out, "session_token");
  ASSERT_TRUE(engine->logout_user(token, out)) << out;
  const std::string before = stored_world(*engine);
  engine.reset();
  auto again = make_engine();
  EXPECT_EQ(stored_world(*again), before);
  Peer::with_lock(*again, [](GameEngine& e) { EXPECT_TRUE(Peer::sessions_of(e).empty()); });  // ended stays ended
}

TEST_F(GameWorldJournal, ATornTailIsCutOffAndLaterChangesFollowTheLastWholeOne) {
  auto engine = make_engine();
  ASSERT_TRUE(buy(*engine, 1));
  engine.reset();
  const std::string whole = read_file(journal_path());
  write_file(journal_path(), whole + "P|0xbuyer2|250|25.0");  // a write cut by a crash
  engine = make_engine();
  ASSERT_FALSE(engine->load_failed()) << engine->load_error();
  EXPECT_EQ(read_file(journal_path()), whole);
  EXPECT_TRUE(Peer::has_parcel(*engine, "30.00000_30.00100"));
  EXPECT_FALSE(Peer::has_player(*engine, "0xbuyer2"));
  ASSERT_TRUE(buy(*engine, 2));
  engine.reset();
  engine = make_engine();
  EXPECT_TRUE(Peer::has_player(*engine, "0xbuyer2"));
  EXPECT_FALSE(scan_journal(read_file(journal_path())).damaged);
}

TEST_F(GameWorldJournal, DamageInTheMiddleStopsTheStartAndTouchesNoFile) {
  auto engine = make_engine();
  ASSERT_TRUE(buy(*engine, 1));
  ASSERT_TRUE(buy(*engine, 2));
  engine.reset();
  std::string journal = read_file(journal_path());
  journal[5] = journal[5] == 'x' ? 'y' : 'x';
  write_file(journal_path(), journal);
  const std::string file = read_file(world_path());
  engine = make_engine();
  EXPECT_TRUE(engine->load_failed());
  EXPECT_NE(engine->load_error().find("riga 1 del giornale"), std::string::npos) << engine->load_error();
  EXPECT_FALSE(buy(*engine, 3));
  EXPECT_FALSE(engine->save_world());
  engine.reset();
  EXPECT_EQ(read_file(journal_path()), journal);
  EXPECT_EQ(read_file(world_path()), file);

  // A journal without its world file is refused the same way.
  fs::remove(world_path());
  engine = make_engine();
  EXPECT_TRUE(engine->load_failed());
  EXPECT_FALSE(fs::exists(world_path()));
  EXPECT_EQ(read_file(journal_path()), journal);
}

TEST_F(GameWorldJournal, RemovalLinesTakeRecordsOutAndResetLists) {
  auto engine = make_engine();
  engine.reset();
  write_file(journal_path(),
             journal_of({{"X|P|0xsolarking_it_milano_cer01", "X|QC", "QC|Solo", "X|CER|cer_solare_italia"}}));
  engine = make_engine();
  ASSERT_FALSE(engine->load_failed()) << engine->load_error();
  EXPECT_FALSE(Peer::has_player(*engine, "0xsolarking_it_milano_cer01"));
  EXPECT_EQ(Peer::categories(*engine), std::vector<std::string>{"Solo"});
  EXPECT_EQ(Peer::cers(*engine).count("cer_solare_italia"), 0u);
}

// A journal with every kind of record line (tests/data/world_every_record.journal:
// changes closed by "K|<n>" and by "K|<n>|<seq>", one of them covered by the
// world file's "J|42", a line of an unknown tag) read on top of the world file of
// every record kind: the world those changes leave is written byte for byte.
TEST_F(GameWorldJournal, EveryRecordKindOfAJournalIsReadOntoTheWorld) {
  plant_world(read_file(ROZEVE_TEST_DATA_DIR "/world_every_record.dat"));
  write_file(journal_path(), read_file(ROZEVE_TEST_DATA_DIR "/world_every_record.journal"));
  auto engine = make_engine();
  ASSERT_FALSE(engine->load_failed()) << engine->load_error();
  ASSERT_TRUE(engine->save_world());
  EXPECT_EQ(read_file(world_path()), read_file(ROZEVE_TEST_DATA_DIR "/world_every_record_replayed.dat"));
  EXPECT_EQ(read_file(journal_path()), "");
}

TEST_F(GameWorldJournal, AFailedWriteUndoesEveryChangeQueuedWithIt) {
  auto engine = make_engine();
  ASSERT_TRUE(buy(*engine, 0));
  const std::string before = game_test::dump_world(*engine);
  const std::string journal = read_file(journal_path());
  block_saves(*engine);
  constexpr int kWriters = 8;
  std::atomic<int> refused{0};
  std::vector<std::thread> writers;
  for (int w = 1; w <= kWriters; ++w) {
    writers.emplace_back([&, w] {
      if (!buy(*engine, w)) ++refused;
    });
  }
  for (std::thread& t : writers) t.join();
  EXPECT_EQ(refused.load(), kWriters);
  EXPECT_EQ(game_test::dump_world(*engine), before);
  EXPECT_EQ(read_file(journal_path()), journal);
  allow_saves(*engine);
  for (int w = 1; w <= kWriters; ++w) EXPECT_TRUE(buy(*engine, w)) << w;
  const std::string after = stored_world(*engine);
  engine.reset();
  EXPECT_EQ(stored_world(*make_engine()), after);
}

TEST_F(GameWorldJournal, ARewriteFoldsTheJournalInWhileChangesGoOn) {
  auto engine = make_engine();
  for (int n = 0; n < 50; ++n) ASSERT_TRUE(buy(*engine, n));
  std::atomic<bool> done{false};
  std::atomic<int> bought{50};
  std::thread writer([&] {
    while (!done.load()) {
      if (buy(*engine, bought.load())) ++bought;
    }
  });
  Peer::rewrite_in_background(*engine);
  done = true;
  writer.join();
  EXPECT_FALSE(fs::exists(journal_path() + kOldJournalSuffix));
  EXPECT_FALSE(fs::exists(world_path() + ".tmp"));
  // The new file holds at least the 50 lots bought before the rewrite; the
  // journal holds what came after it began.
  EXPECT_GE(game_test::lines_tagged(read_file(world_path()), "L").size(), 19u + 50);
  const std::string after = stored_world(*engine);
  engine.reset();
  auto again = make_engine();
  EXPECT_EQ(stored_world(*again), after);
  EXPECT_EQ(again->get_total_parcels_count(), 19u + static_cast<uint64_t>(bought.load()));
}

TEST_F(GameWorldJournal, SaveWorldRewritesTheFileAndEmptiesTheJournal) {
  auto engine = make_engine();
  ASSERT_TRUE(buy(*engine, 1));
  ASSERT_TRUE(engine->save_world());
  EXPECT_EQ(read_file(journal_path()), "");
  EXPECT_NE(read_file(world_path()).find("\nP|0xbuyer1|250|"), std::string::npos);
  const std::string after = stored_world(*engine);
  engine.reset();
  EXPECT_EQ(stored_world(*make_engine()), after);
}

// A disk that fills up for real: changes and the rewrite are refused and
// undone, nothing acknowledged is lost, and writes resume when space returns.
TEST_F(GameWorldJournal, AFullDiskRefusesChangesUntilSpaceReturns) {
  rozeve_test::SmallTmpfs disk(dir(), "512k");
  ROZEVE_REQUIRE_TMPFS(disk);
  auto engine = make_engine();
  ASSERT_FALSE(engine->load_failed()) << engine->load_error();
  for (int n = 0; n < 5; ++n) ASSERT_TRUE(buy(*engine, n));
  disk.fill();
  // The journal's last block may still take a few lines: buy until refused.
  int n = 5;
  while (n < 5000 && buy(*engine, n)) ++n;
  ASSERT_LT(n, 5000) << "the full disk never refused a change";
  const std::string before = stored_world(*engine);
  for (int k = n; k < n + 4; ++k) EXPECT_FALSE(buy(*engine, k)) << k;
  EXPECT_FALSE(engine->save_world());
  Peer::rewrite_in_background(*engine);
  EXPECT_EQ(stored_world(*engine), before);
  EXPECT_FALSE(fs::exists(world_path() + ".tmp"));
  // What is on the full disk starts as exactly the acknowledged world.
  fs::copy(dir(), dir("copy"), fs::copy_options::recursive);
  fs::remove(fs::path(dir("copy")) / "filler");
  {
    GameEngine copy(dir("copy"), clock_);
    ASSERT_FALSE(copy.load_failed()) << copy.load_error();
    EXPECT_EQ(stored_world(copy), before);
  }
  disk.unfill();
  for (int k = n; k < n + 4; ++k) EXPECT_TRUE(buy(*engine, k)) << k;
  const std::string after = stored_world(*engine);
  engine.reset();
  auto again = make_engine();
  ASSERT_FALSE(again->load_failed()) << again->load_error();
  EXPECT_EQ(stored_world(*again), after);
  again.reset();
}

}  // namespace
}  // namespace ZezozuRiziv
