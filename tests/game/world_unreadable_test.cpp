// A world file whose bytes hold no record is not a world: it is left exactly
// as it is and the load fails, where seeding would have written over it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "game/engine/game_engine.h"
#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

using game_test::lines_tagged;
using game_test::read_file;
namespace fs = std::filesystem;

class GameWorldUnreadable : public game_test::GameFixture {};

TEST_F(GameWorldUnreadable, BytesWithoutARecordAreLeftAlone) {
  std::string binary;
  for (int i = 0; i < 1024; ++i) binary += static_cast<char>(i * 13 % 256);
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"binary bytes", binary},
      {"zeros, as a crash can leave them", std::string(8192, '\0')},
      {"text of another program", "[settings]\nlanguage=it\n"},
      {"only lines of its kinds that cannot be read", "P|0xa|-5|1|2|3|4\nL|k|x|9.0|0xa|solar|1|6|0\nU|short\n"},
      {"a line break in a CR LF file", "\r\n"},
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    plant_world(bytes);
    auto engine = make_engine();
    EXPECT_TRUE(engine->load_failed());
    EXPECT_NE(engine->load_error().find("nessun record leggibile"), std::string::npos) << engine->load_error();
    EXPECT_EQ(engine->get_total_parcels_count(), 0u);
    EXPECT_EQ(engine->get_total_players_count(), 0u);
    EXPECT_FALSE(engine->save_world());
    EXPECT_EQ(read_file(world_path()), bytes);
    EXPECT_FALSE(fs::exists(world_path() + ".tmp"));
  }
}

TEST_F(GameWorldUnreadable, AnEmptyFileOrOneReadableRecordStillMakesAWorld) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty", ""},
      {"blank lines", "\n\n\n"},
      // One record among damage: the rest is skipped as unreadable lines.
      {"one record among damage", std::string(100, '\0') + "\nQC|Fotovoltaico & Solare\nP|0xa|-5|1|2|3|4\n"},
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    plant_world(bytes);
    auto engine = make_engine();
    EXPECT_FALSE(engine->load_failed()) << engine->load_error();
    EXPECT_EQ(engine->get_total_parcels_count(), 19u);
    // The seeded world is written by the next save.
    EXPECT_TRUE(engine->save_world());
    EXPECT_EQ(lines_tagged(read_file(world_path()), "L").size(), 19u);
  }
}

}  // namespace
}  // namespace ZezozuRiziv
