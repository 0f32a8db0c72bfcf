// The on-chain claim and the ad configuration on a real "rozeve node", asked
// with curl's requests: what reaches blocks.dat, state.json and
// game_world.dat, across a restart and when a file cannot be written.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "node_client_support.h"
#include "app_node_api_fixture.h"
#include "app_node_process.h"
#include "world_file_support.h"
#include "chain/block.h"
#include "chain/state.h"
#include "json_test_support.h"
#include "small_tmpfs.h"

namespace {

namespace fs = std::filesystem;
using rozeve_test::json_field;
using rozeve_test::read_text;
using rozeve_test::split_lines;
using ZezozuRiziv::State;

constexpr char kPlayer[] = "0xAbCdEf0123456789aBcDeF0123456789AbCdEf01";
constexpr char kPlayerKey[] = "0xabcdef0123456789abcdef0123456789abcdef01";

// The three files a claim writes, read together.
struct Files {
  std::string blocks, state, world;
  bool operator==(const Files&) const = default;
};

class RewardsNodeTest : public rozeve_test::RunningNodeFixture {
 protected:

  fs::path data() const { return dir_ / "data"; }
  Files files() const {
    return {read_text(data() / "blocks.dat"), read_text(data() / "state.json"),
            read_text(data() / "game_world.dat") + read_text(data() / ZezozuRiziv::kJournalFileName)};
  }
  // The state a restart rebuilds from the files.
  State saved_state() const { return rozeve_test::logged_state(data()); }
  std::string claim(const std::string& addr, const std::string& source = "WC", const std::string& amount = "") {
    return rozeve_test::curl_get(rpc_port_, "/api/game/claim-ruz?addr=" + addr + "&source=" + source +
                                                (amount.empty() ? "" : "&amount=" + amount));
  }
  // The world file's "P" line of `key`.
  std::string player_line(const std::string& key) const {
    for (const std::string& line : split_lines(rozeve_test::saved_world_text(data().string()))) {
      if (line.starts_with("P|" + key + "|")) return line;
    }
    return "";
  }
};

TEST_F(RewardsNodeTest, AClaimIsInAllThreeFilesAndSurvivesARestart) {
  start();
  const uint64_t supply = saved_state().get_total_circulating();
  const std::string paid = claim(kPlayer);
  ASSERT_EQ(json_field(paid, "status"), "ok") << paid;
  EXPECT_EQ(json_field(paid, "block_index"), "1");
  EXPECT_EQ(json_field(paid, "gross_ruz"), "3");
  const std::string tx_hash = json_field(paid, "tx_hash");

  // blocks.dat: the block, with the payment in it.
  const auto lines = split_lines(read_text(data() / "blocks.dat"));
  ASSERT_EQ(lines.size(), 2u);
  const auto block = ZezozuRiziv::Block::deserialize(lines[1]);
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(block->index, 1u);
  ASSERT_EQ(block->transactions.size(), 1u);
  EXPECT_EQ(block->transactions[0].tx_hash, tx_hash);
  EXPECT_EQ(block->transactions[0].recipient, kPlayerKey);
  const std::string found = get("/api/explorer/tx?hash=" + tx_hash);
  EXPECT_EQ(json_field(found, "block_index"), "1") << found;
  EXPECT_EQ(json_field(found, "recipient"), kPlayerKey);
  EXPECT_EQ(json_field(found, "sender"), "0xzerirorivi_reward_pool_vault");

  // state.json: the net to the player; the pool paid, so nothing was minted.
  EXPECT_EQ(saved_state().get_balance(kPlayerKey), 2'940'000u);
  EXPECT_EQ(saved_state().get_total_circulating(), supply);
  // game_world.dat: the coins spent, the game-side RUZ credited.
  EXPECT_TRUE(player_line(kPlayerKey).starts_with("P|" + std::string(kPlayerKey) + "|0|25.000000|7.940000|"))
      << player_line(kPlayerKey);

  // The debit reached the journal with its intent, before the block.
  const std::string intent = "CLAIM|" + tx_hash + "|1|" + kPlayerKey + "|WC|300|2940000";
  const std::string journal = read_text(data() / ZezozuRiziv::kJournalFileName);
  const std::vector<std::string_view> records = ZezozuRiziv::scan_journal(journal).records;
  EXPECT_NE(std::find(records.begin(), records.end(), intent), records.end()) << journal;
  const Files before = files();
  const std::string world_before = rozeve_test::saved_world_text(data().string());
  const State ledger_before = saved_state();
  stop();
  start();
  // The restart finds the block in the log: the debit stands, the intent
  // goes.
  const auto sorted_lines = [](const std::string& text) {
    std::vector<std::string> lines;
    for (const std::string& line : split_lines(text)) {
      if (!line.starts_with("CLAIM|")) lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  const std::string world_after = rozeve_test::saved_world_text(data().string());
  EXPECT_EQ(world_after.find("CLAIM|"), std::string::npos) << world_after;
  EXPECT_EQ(sorted_lines(world_after), sorted_lines(world_before));
  // The start may write a checkpoint of what it caught up; the ledger
  // stays as it was.
  EXPECT_EQ(files().blocks, before.blocks);
  EXPECT_EQ(saved_state().balances, ledger_before.balances);
  EXPECT_EQ(saved_state().nonces, ledger_before.nonces);
  // The game remembers the spent coins; the chain goes on from block 1.
  EXPECT_EQ(json_field(claim(kPlayer), "message"),
            "Servono almeno 100 Zava Vovaz (WC) certificati sul server per convertire 1 RUZ on-chain");
  const std::string next = claim("0x00000000000000000000000000000000000000b2", "WC", "1");
  EXPECT_EQ(json_field(next, "block_index"), "2") << next;
  EXPECT_EQ(json_field(get("/api/game/reward-pool"), "reward_pool_ruz"), "499996.00");
  EXPECT_EQ(saved_state().get_nonce("0xzerirorivi_reward_pool_vault"), 2u);
}

TEST_F(RewardsNodeTest, AClaimOnAFullDiskChangesNothing) {
  rozeve_test::SmallTmpfs disk(data(), "1m");
  ROZEVE_REQUIRE_TMPFS(disk);
  start();
  const Files before = files();
  disk.fill();
  const std::string refused = claim(kPlayer);
  disk.unfill();
  EXPECT_EQ(refused, "{\"status\":\"error\",\"message\":\"Salvataggio del mondo di gioco non riuscito: "
                     "operazione annullata.\"}");
  EXPECT_EQ(files(), before);
  EXPECT_EQ(player_line(kPlayerKey), "");
  // The node goes on: the same claim is paid once the disk has room.
  const std::string paid = claim(kPlayer);
  EXPECT_EQ(json_field(paid, "block_index"), "1") << paid;
  // The node holds its data directory's lock file and its logs open:
  // stopped before the disk is unmounted.
  stop();
}

TEST_F(RewardsNodeTest, AClaimWhoseBlockCannotBeWrittenIsRefunded) {
  // Restarted over its chain, the node opens the log at its first append.
  start();
  stop();
  start();
  const Files before = files();
  // The log turns into a directory: only the append fails.
  fs::rename(data() / "blocks.dat", data() / "blocks.kept");
  fs::create_directory(data() / "blocks.dat");
  EXPECT_EQ(claim(kPlayer), "{\"status\":\"error\",\"message\":\"Impossibile registrare il blocco su disco: "
                            "operazione annullata\"}");
  fs::remove(data() / "blocks.dat");
  fs::rename(data() / "blocks.kept", data() / "blocks.dat");
  EXPECT_EQ(files().blocks, before.blocks);
  EXPECT_EQ(files().state, before.state);
  // The debit saved before the append was taken back with the new player,
  // and nothing is left pending.
  EXPECT_EQ(player_line(kPlayerKey), "");
  EXPECT_EQ(rozeve_test::saved_world_text(data().string()).find("\nCLAIM|"), std::string::npos);
  stop();
  start();
  const std::string paid = claim(kPlayer);
  EXPECT_EQ(json_field(paid, "block_index"), "1") << paid;
  EXPECT_EQ(json_field(paid, "gross_ruz"), "3") << paid;
}

TEST_F(RewardsNodeTest, AClaimWhoseWorldCannotBeSavedChangesNothing) {
  start();
  const Files before = files();
  const uint64_t supply = saved_state().get_total_circulating();
  // The journal cannot be created.
  fs::create_directory(data() / ZezozuRiziv::kJournalFileName);
  EXPECT_EQ(claim(kPlayer), "{\"status\":\"error\",\"message\":\"Salvataggio del mondo di gioco non riuscito: "
                            "operazione annullata.\"}");
  EXPECT_EQ(files(), before);
  fs::remove(data() / ZezozuRiziv::kJournalFileName);
  const std::string paid = claim(kPlayer);
  EXPECT_EQ(json_field(paid, "block_index"), "1") << paid;
  EXPECT_EQ(saved_state().get_total_circulating(), supply);
}

TEST_F(RewardsNodeTest, AdIdentifiersComeFromTheConfigurationFile) {
  fs::create_directories(dir_ / "config");
  std::ofstream(dir_ / "config" / "ads_publisher.conf", std::ios::binary)
      << "# publisher\r\nGOOGLE_AD_UNIT_ID=/4242/unit|A|forged\r\nAMAZON_PUB_ID=1\"2\r\nMETA_PIXEL_ID=\r\n";
  start();
  const std::string status = get("/api/game/ad/status");
  EXPECT_NE(status.find("\"google_ad_unit_id\":\"/4242/unit_A_forged\""), std::string::npos) << status;
  EXPECT_NE(status.find("\"amazon_pub_id\":\"1\\\"2\""), std::string::npos) << status;
  EXPECT_NE(status.find("\"meta_pixel_id\":\"618204937251846\""), std::string::npos) << status;
  // The start writes them on the world's one "A" line of ten fields.
  std::vector<std::string> world;
  for (const std::string& line : split_lines(rozeve_test::saved_world_text(data().string()))) {
    if (line.starts_with("A|")) world.push_back(line);
  }
  ASSERT_EQ(world.size(), 1u);
  EXPECT_EQ(world[0], "A|/4242/unit_A_forged|618204937251846_REWARDED_VIDEO|618204937251846|1\"2|zr_rewarded_slot|0|0|0|"
                      "0.000000");
  EXPECT_EQ(get("/api/game/ad/config"),
            "{\"status\":\"error\",\"message\":\"Accesso negato: la configurazione Publisher e' riservata "
            "all'amministratore sul server (config/ads_publisher.conf).\"}");
}

}  // namespace
