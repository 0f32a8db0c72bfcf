// The record lines of the world file and its journal, one line at a time:
// what a reader reads, the writer writes back as it was.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "game/world_journal.h"
#include "game/world_records.h"
#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

// The lines only a journal holds (tests/data/world_every_record.journal): a
// player crediting its community with and without its entry's total, a
// community's own fields, a member put in place.
TEST(WorldRecords, JournalOnlyLinesAreWrittenBackAsTheyWereRead) {
  const std::string journal = game_test::read_file(ROZEVE_TEST_DATA_DIR "/world_every_record.journal");
  const JournalScan scan = scan_journal(journal);
  ASSERT_FALSE(scan.damaged);
  std::string kinds;
  WorldFields f;
  for (const std::string_view line : scan.records) {
    SCOPED_TRACE(std::string(line));
    split_world_line(line, f);
    std::string out;
    if (f[0] == "PC") {
      PlayerProfile p;
      double community_kwh = 0.0;
      std::optional<double> member_kwh;
      ASSERT_TRUE(read_player_production_fields(f, p, community_kwh, member_kwh));
      append_player_production_line(out, p, community_kwh, member_kwh ? &*member_kwh : nullptr);
    } else if (f[0] == "CERH") {
      CERCommunity c;
      ASSERT_TRUE(read_community_fields(f, c));
      append_community_own_line(out, c, kCommunityOwnTag);
    } else if (f[0] == "CERMU") {
      CERMember m;
      ASSERT_TRUE(read_member_fields(f, m));
      append_member_line(out, std::string(f[1]), m, kMemberUpdateTag);
    } else {
      continue;
    }
    EXPECT_EQ(out, std::string(line) + "\n");
    kinds += std::string(f[0]) + (f[0] == "PC" ? std::to_string(f.size()) : "") + " ";
  }
  EXPECT_EQ(kinds, "CERH PC31 PC32 CERH CERMU CERMU ");
}

}  // namespace
}  // namespace ZezozuRiziv
