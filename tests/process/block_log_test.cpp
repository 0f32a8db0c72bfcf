// The real node with a block log that does not prove itself: it stops at
// start and touches no file; a torn last line is a crash's trace, skipped and
// cut off before the next block.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app_node_process.h"
#include "chain/wallet.h"
#include "node_client_support.h"

namespace {

namespace fs = std::filesystem;
using rozeve_test::NodeProcess;
using rozeve_test::read_text;
using rozeve_test::split_lines;

constexpr uint64_t kCoin = 1'000'000;
constexpr char kRecipient[] = "0x3535353535353535353535353535353535353535";
constexpr char kPeerValidator[] = "0x4444444444444444444444444444444444444444";

// The three files a damaged start must leave as they were.
struct Files {
  std::string blocks, state, world;
  bool operator==(const Files&) const = default;
};

class BlockLogNodeTest : public rozeve_test::BinaryFixture {
 protected:
  fs::path data() const { return dir_ / "data"; }
  std::string args() { return rozeve_test::local_node_args(rpc_port_, p2p_port_); }
  Files files() const {
    return {read_text(data() / "blocks.dat"), read_text(data() / "state.json"),
            read_text(data() / "game_world.dat")};
  }
  void write_log(const std::string& text) const {
    std::ofstream(data() / "blocks.dat", std::ios::binary | std::ios::trunc) << text;
  }

  // Peer blocks from sender_ (a native account given 100 RUZ by the faucet)
  // until the chain holds `height` + 1 blocks.
  void extend_to(NodeProcess& node, uint64_t height) {
    ASSERT_TRUE(rozeve_test::faucet(rpc_port_, sender_, 100));
    auto tip = rozeve_test::chain_tip(rpc_port_);
    ASSERT_TRUE(tip);
    rozeve_test::PeerClient peer(p2p_port_);
    while (tip->index < height) {
      const ZezozuRiziv::Block block = rozeve_test::peer_transfer_block(
          *tip, sender_, kRecipient, kCoin, tip->index, kPeerValidator);
      ASSERT_TRUE(peer.send_block(block));
      const std::string synced = "[P2P] Sincronizzato blocco #" + std::to_string(block.index) + " ";
      ASSERT_TRUE(node.wait_for_output(synced)) << node.output();
      tip = rozeve_test::ChainTip{block.index, block.block_hash};
    }
  }
  // A node run that builds blocks 0 to 3 and stops.
  void write_chain() {
    NodeProcess node(dir_, args());
    ASSERT_TRUE(node.wait_for_output(rozeve_test::kNodeRunning)) << node.output();
    extend_to(node, 3);
    node.type_line();
    ASSERT_EQ(node.wait_exit(3000), 0);
  }

  uint16_t rpc_port_ = 0, p2p_port_ = 0;
  const std::string sender_ = ZezozuRiziv::Wallet::generate().address();
};

// Text edits of one line of the log, as a damaged disk or a hand would make.
std::string replaced(std::string line, const std::string& from, const std::string& to) {
  const size_t at = line.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) line.replace(at, from.size(), to);
  return line;
}

TEST_F(BlockLogNodeTest, ADamagedLogStopsTheStartAndEveryFileStays) {
  ASSERT_NO_FATAL_FAILURE(write_chain());
  const std::vector<std::string> lines = split_lines(read_text(data() / "blocks.dat"));
  ASSERT_EQ(lines.size(), 4u);
  const std::string prev_key = "\"prev_hash\":\"";
  const std::string block2_prev = lines[2].substr(lines[2].find(prev_key) + prev_key.size(), 64);
  const std::string block0_hash = lines[1].substr(lines[1].find(prev_key) + prev_key.size(), 64);
  struct Case {
    std::string name;
    std::function<void(std::vector<std::string>&)> edit;
    std::string why;
  };
  const std::vector<Case> cases = {
      {"middle line deleted", [](auto& l) { l.erase(l.begin() + 2); },
       "blocco #2: il record ha indice 3"},
      {"middle line garbled", [](auto& l) { l[2] = std::string(l[2].rbegin(), l[2].rend()); },
       "riga 3 illeggibile, al posto del blocco #2"},
      {"amount edited", [](auto& l) { l[2] = replaced(l[2], "\"amount\":1000000,", "\"amount\":9000000,"); },
       "blocco #2: tx_hash della transazione n. 1 non corrisponde"},
      {"wrong prev_hash", [&](auto& l) { l[2] = replaced(l[2], block2_prev, block0_hash); },
       "blocco #2: prev_hash diverso dall'hash del blocco #1"},
      {"wrong index", [](auto& l) { l[2] = replaced(l[2], "{\"index\":2,", "{\"index\":7,"); },
       "blocco #2: il record ha indice 7"},
  };
  const Files sound = files();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> edited = lines;
    c.edit(edited);
    std::string log;
    for (const std::string& line : edited) log += line + "\n";
    write_log(log);
    const Files before = files();

    NodeProcess node(dir_, args());
    EXPECT_EQ(node.wait_exit(10000), 1);
    EXPECT_NE(node.output().find("[NODO] File danneggiato: data/blocks.dat (" + c.why),
              std::string::npos)
        << node.output();
    EXPECT_TRUE(files() == before);
    for (const std::string command : {"chain info", "chain dump"}) {
      const rozeve_test::RunResult shown = run(command);
      EXPECT_EQ(shown.exit_code, 1) << command;
      EXPECT_NE(shown.out.find("[STORAGE] File danneggiato: data/blocks.dat (" + c.why),
                std::string::npos)
          << shown.out;
      EXPECT_EQ(shown.out.find("blocchi"), std::string::npos) << shown.out;
    }
    EXPECT_TRUE(files() == before);
  }
  write_log(sound.blocks);
  EXPECT_EQ(run("chain info").exit_code, 0);
}

TEST_F(BlockLogNodeTest, ATornLastLineIsCutBeforeTheNextBlock) {
  ASSERT_NO_FATAL_FAILURE(write_chain());
  const std::string whole = read_text(data() / "blocks.dat");
  const std::string last = split_lines(whole).back();
  // A crash in the middle of appending a block.
  write_log(whole + last.substr(0, last.size() / 2));
  {
    NodeProcess node(dir_, args());
    ASSERT_TRUE(node.wait_for_output(rozeve_test::kNodeRunning)) << node.output();
    EXPECT_NE(node.output().find("[STORAGE] Ignorate 1 righe illeggibili in data/blocks.dat"),
              std::string::npos)
        << node.output();
    extend_to(node, 4);
    node.type_line();
    ASSERT_EQ(node.wait_exit(3000), 0);
  }
  const std::string grown = read_text(data() / "blocks.dat");
  ASSERT_EQ(grown.substr(0, whole.size()), whole);
  const std::vector<std::string> added = split_lines(grown.substr(whole.size()));
  ASSERT_EQ(added.size(), 1u) << grown.substr(whole.size());
  EXPECT_EQ(added[0].rfind("{\"index\":4,", 0), 0u) << added[0];

  const rozeve_test::RunResult info = run("chain info");
  EXPECT_EQ(info.exit_code, 0) << info.out;
  EXPECT_NE(info.out.find("Altezza Catena:     5 blocchi"), std::string::npos) << info.out;
  EXPECT_EQ(info.err, "");
  NodeProcess again(dir_, args());
  ASSERT_TRUE(again.wait_for_output(rozeve_test::kNodeRunning)) << again.output();
  again.type_line();
  EXPECT_EQ(again.wait_exit(3000), 0);
}

TEST_F(BlockLogNodeTest, AMissingStateTheLogCannotRebuildIsNamed) {
  // A data directory from before credits.dat: sender_'s 100 RUZ came
  // without a block, and only state.json held them.
  ASSERT_NO_FATAL_FAILURE(write_chain());
  fs::remove(data() / "state.json");
  fs::remove(data() / "credits.dat");
  const Files before = files();
  NodeProcess node(dir_, args());
  EXPECT_EQ(node.wait_exit(10000), 1);
  EXPECT_NE(node.output().find("[NODO] Manca data/state.json e data/blocks.dat con data/credits.dat "
                               "non bastano a ricostruirlo: il blocco #1 non si applica ("),
            std::string::npos)
      << node.output();
  EXPECT_NE(node.output().find("Ripristina data/state.json da una copia di sicurezza"),
            std::string::npos);
  EXPECT_TRUE(files() == before);
  EXPECT_FALSE(fs::exists(data() / "state.json"));
  EXPECT_FALSE(fs::exists(data() / "credits.dat"));
}

}  // namespace
