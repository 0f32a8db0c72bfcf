// game_world.dat holds session tokens and password hashes: owner only.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "game/game_engine.h"
#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

namespace fs = std::filesystem;

constexpr fs::perms kOwnerOnly = fs::perms::owner_read | fs::perms::owner_write;

class GameWorldFileMode : public game_test::GameFixture {
 protected:
  fs::perms mode() const { return fs::status(world_path()).permissions() & fs::perms::all; }
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

}  // namespace
}  // namespace ZezozuRiziv
