// The record lines of the world file and its journal, one line at a time:
// what a reader reads, the writer writes back as it was.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "game/store/world_journal.h"
#include "game/store/world_records.h"
#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

// The lines only a journal holds (tests/data/world_every_record.journal): a
// player crediting its community with and without its entry's total, a
// community's own fields, a member put in place, and removals with and
// without a key and a second field.
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
      std::string_view cer_id;
      CERMember m;
      ASSERT_TRUE(read_member_fields(f, cer_id, m));
      append_member_line(out, std::string(cer_id), m, kMemberUpdateTag);
    } else if (f[0] == "X") {
      RemovalFields removal;
      ASSERT_TRUE(read_removal_fields(f, removal));
      append_removal_line(out, removal.tag, removal.key.value_or(""), removal.second.value_or(""));
    } else {
      continue;
    }
    EXPECT_EQ(out, std::string(line) + "\n");
    kinds += f[0];
    if (f[0] == "PC") kinds += std::to_string(f.size());
    if (f[0] == "X") kinds.append("|").append(f[1]);
    kinds += ' ';
  }
  EXPECT_EQ(kinds,
            "CERH PC31 PC32 CERH CERMU CERMU X|CERMSG X|CERM X|QC X|SB X|QQ X|CLAIM X|CER X|U X|P X|L ");
}

}  // namespace
}  // namespace ZezozuRiziv
