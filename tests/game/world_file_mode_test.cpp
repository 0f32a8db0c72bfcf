// game_world.dat and its journal hold session tokens and password hashes:
// owner only, as are the files a rewrite passes through.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "game/engine/game_engine.h"
#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

namespace fs = std::filesystem;

constexpr fs::perms kOwnerOnly = fs::perms::owner_read | fs::perms::owner_write;

class GameWorldFileMode : public game_test::GameFixture {
 protected:
  fs::perms mode() const { return mode_of(world_path()); }
  static fs::perms mode_of(const std::string& path) { return fs::status(path).permissions() & fs::perms::all; }
  std::string journal_path() const { return dir() + "/" + kJournalFileName; }
  static void make_readable_by_all(const std::string& path) {
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::others_read);
  }
  // A change of the world, journaled: a new player's daily card.
  static void change(GameEngine& engine, const std::string& player) {
    std::string out;
    ASSERT_TRUE(engine.draw_daily_bonus_card(player, out)) << out;
  }
};

TEST_F(GameWorldFileMode, TheSeededWorldIsOwnerOnly) {
  auto engine = make_engine();
  ASSERT_TRUE(fs::exists(world_path()));
  EXPECT_EQ(mode(), kOwnerOnly);
}

TEST_F(GameWorldFileMode, AWorldOfAnOlderRunIsNarrowedByTheNextSave) {
  make_engine().reset();
  fs::permissions(world_path(), fs::perms::owner_read | fs::perms::owner_write |
                                    fs::perms::group_read | fs::perms::others_read);
  auto engine = make_engine();
  ASSERT_TRUE(engine->save_world());
  EXPECT_EQ(mode(), kOwnerOnly);
}

TEST_F(GameWorldFileMode, TheJournalIsOwnerOnlyAndAnOlderOneIsNarrowed) {
  {
    auto engine = make_engine();
    change(*engine, "0xmode1");
    ASSERT_TRUE(fs::exists(journal_path()));
    EXPECT_EQ(mode_of(journal_path()), kOwnerOnly);
  }
  make_readable_by_all(journal_path());
  auto engine = make_engine();
  change(*engine, "0xmode2");
  EXPECT_EQ(mode_of(journal_path()), kOwnerOnly);
}

TEST_F(GameWorldFileMode, ARewriteKeepsEveryFileOwnerOnly) {
  auto engine = make_engine();
  change(*engine, "0xmode3");
  // A temporary file left by an older run, readable by all.
  game_test::write_file(world_path() + ".tmp", "stale");
  make_readable_by_all(world_path() + ".tmp");
  GameEngineTestPeer::rewrite_in_background(*engine);
  EXPECT_FALSE(fs::exists(world_path() + ".tmp"));
  EXPECT_EQ(mode(), kOwnerOnly);
  // The fresh journal the rewrite started takes the next change.
  change(*engine, "0xmode4");
  EXPECT_EQ(mode_of(journal_path()), kOwnerOnly);
}

}  // namespace
}  // namespace ZezozuRiziv
