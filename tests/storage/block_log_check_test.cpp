// The block log proves itself before it is trusted: every line but a torn
// last one is a block at its own height, linked to the one before, whose
// hashes are those its content gives.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "chain/block.h"
#include "storage/storage.h"

namespace fs = std::filesystem;

namespace ZezozuRiziv {
namespace {

const std::string kTreasury = "RUZ0123456789abcdef0123456789abcdef0123abcd";
const std::string kAlice = "0xaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
const std::string kBob = "0xbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb";
const std::string kValidator = "0x2000000000000000000000000000000000000003";
constexpr uint64_t kBaseTime = 1'700'000'100;

// Block `index` on `prev`: one transfer Alice -> Bob, sealed as the node seals.
Block next_block(const Block& prev, uint64_t amount = 5) {
  const uint64_t index = prev.index + 1;
  Transaction tx(TxType::TRANSFER, kAlice, kBob, amount, 1'000, index, kBaseTime + index);
  Block block(index, prev.block_hash, kValidator, {tx}, kBaseTime + index);
  block.seal("");
  return block;
}

std::vector<Block> make_chain(uint64_t count) {
  std::vector<Block> chain{Block::create_genesis_block(kTreasury)};
  while (chain.size() < count) chain.push_back(next_block(chain.back()));
  return chain;
}

// The block with its hashes made right again after an edit, so that only
// the edited rule is broken.
Block resealed(Block block) {
  block.seal("");
  return block;
}

class BlockLogCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    dir_ = fs::temp_directory_path() /
           ("rozeve_block_log_check_" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "_" +
            std::to_string(counter++));
    data_dir_ = (dir_ / "data").string();
    fs::create_directories(data_dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string blocks_path() const { return data_dir_ + "/blocks.dat"; }
  void write_log(const std::string& text) const {
    std::ofstream(blocks_path(), std::ios::binary | std::ios::trunc) << text;
  }
  std::string read_log() const {
    std::ifstream in(blocks_path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static std::string lines_of(const std::vector<Block>& chain) {
    std::string text;
    for (const Block& block : chain) text += block.serialize() + "\n";
    return text;
  }
  // What a fresh Storage says of the log (standard error swallowed).
  std::optional<std::string> check() const {
    Storage storage(data_dir_);
    ::testing::internal::CaptureStderr();
    std::optional<std::string> damage = storage.check_block_log();
    ::testing::internal::GetCapturedStderr();
    return damage;
  }
  std::string damaged(const std::string& why) const {
    return "File danneggiato: " + blocks_path() + " (" + why + ")";
  }

  fs::path dir_;
  std::string data_dir_;
};

TEST_F(BlockLogCheckTest, ASoundLogPassesSilently) {
  std::vector<Block> chain = make_chain(4);
  // A wallet transfer keeps the wallet's own hash, which no record rebuilds.
  Block wallet = next_block(chain.back());
  wallet.transactions[0].tx_hash = "0x" + std::string(64, 'e');
  wallet.transactions[0].signature = "eth2:" + std::string(128, '1') + ":1";
  chain.push_back(resealed(wallet));
  write_log(lines_of(chain));
  Storage storage(data_dir_);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(storage.check_block_log(), std::nullopt);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(storage.get_blocks_cached().size(), 5u);
}

TEST_F(BlockLogCheckTest, AnEmptyOrMissingLogIsSound) {
  EXPECT_EQ(check(), std::nullopt);
  write_log("");
  EXPECT_EQ(check(), std::nullopt);
}

TEST_F(BlockLogCheckTest, EachBrokenRuleNamesTheBlock) {
  const std::vector<Block> chain = make_chain(4);
  struct Case {
    std::string name;
    std::function<void(std::vector<Block>&)> edit;
    std::string why;
  };
  const std::vector<Case> cases = {
      {"middle block deleted", [](auto& c) { c.erase(c.begin() + 2); },
       "blocco #2: il record ha indice 3 (un blocco manca o e' fuori posto)"},
      {"two blocks swapped", [](auto& c) { std::swap(c[1], c[2]); },
       "blocco #1: il record ha indice 2 (un blocco manca o e' fuori posto)"},
      {"index rewritten", [](auto& c) { c[2].index = 7; c[2] = resealed(c[2]); },
       "blocco #2: il record ha indice 7 (un blocco manca o e' fuori posto)"},
      {"prev_hash of another block",
       [](auto& c) { c[2].prev_hash = c[0].block_hash; c[2] = resealed(c[2]); },
       "blocco #2: prev_hash diverso dall'hash del blocco #1"},
      {"genesis prev_hash not zeros",
       [](auto& c) { c[0].prev_hash = std::string(63, '0') + "1"; c[0] = resealed(c[0]); },
       "blocco #0: prev_hash diverso da 64 zeri"},
      {"amount edited", [](auto& c) { c[2].transactions[0].amount = 5'000'000; },
       "blocco #2: tx_hash della transazione n. 1 non corrisponde al suo contenuto"},
      {"transaction hash rewritten with its edit",
       [](auto& c) {
         Transaction& tx = c[2].transactions[0];
         tx.amount = 5'000'000;
         tx.tx_hash = tx.calculate_hash();
       },
       "blocco #2: merkle_root non corrisponde alle transazioni"},
      {"timestamp edited", [](auto& c) { c[2].timestamp += 1; },
       "blocco #2: block_hash non corrisponde al contenuto del blocco"},
      {"block hash edited", [](auto& c) { c[3].block_hash[0] ^= 1; },
       "blocco #3: block_hash non corrisponde al contenuto del blocco"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Block> edited = chain;
    c.edit(edited);
    write_log(lines_of(edited));
    const std::string before = read_log();
    EXPECT_EQ(check(), damaged(c.why));
    EXPECT_EQ(read_log(), before);
  }
}

TEST_F(BlockLogCheckTest, AnUnreadableLineBeforeTheLastIsDamage) {
  const std::vector<Block> chain = make_chain(4);
  const std::string second = chain[2].serialize();
  std::string control = second;
  control[control.find("\"validator\":\"") + 14] = '\x01';  // no text field holds one
  for (const std::string& bad : {std::string("garbage"), second.substr(0, second.size() / 2),
                                 control}) {
    SCOPED_TRACE(bad);
    // Line 3 held block 2; an empty line before it is no damage.
    write_log(chain[0].serialize() + "\n\n" + chain[1].serialize() + "\n" + bad + "\n" +
              chain[3].serialize() + "\n");
    EXPECT_EQ(check(), damaged("riga 4 illeggibile, al posto del blocco #2"));
  }
  // A bad block before the unreadable line is named first.
  std::vector<Block> edited = chain;
  edited[1].timestamp += 1;
  write_log(lines_of({edited[0], edited[1]}) + "garbage\n" + chain[3].serialize() + "\n");
  EXPECT_EQ(check(), damaged("blocco #1: block_hash non corrisponde al contenuto del blocco"));
}

TEST_F(BlockLogCheckTest, ATornLastLineIsSkippedAndCutBeforeTheNextBlock) {
  const std::vector<Block> chain = make_chain(4);
  const std::string record = chain[3].serialize();
  for (const std::string& torn : {record.substr(0, record.size() / 2), record.substr(0, 1),
                                  record.substr(0, record.size() - 1) + "\n"}) {
    SCOPED_TRACE(torn);
    const std::string whole = lines_of({chain[0], chain[1], chain[2]});
    write_log(whole + torn);
    {
      Storage storage(data_dir_);
      ::testing::internal::CaptureStderr();
      EXPECT_EQ(storage.check_block_log(), std::nullopt);
      EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                "[STORAGE] Ignorate 1 righe illeggibili in " + blocks_path() + "\n");
      EXPECT_EQ(storage.get_blocks_cached().size(), 3u);
      EXPECT_EQ(read_log(), whole + torn);  // reading changes nothing
      ASSERT_TRUE(storage.save_block(chain[3]));
    }
    EXPECT_EQ(read_log(), lines_of(chain));
    EXPECT_EQ(check(), std::nullopt);
  }
}

}  // namespace
}  // namespace ZezozuRiziv
