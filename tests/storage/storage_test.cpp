#include "storage/storage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "chain/block.h"
#include "chain/state.h"
#include "chain/transaction.h"

namespace fs = std::filesystem;

namespace ZezozuRiziv {
namespace {

const std::string kTreasury = "RUZ0123456789abcdef0123456789abcdef0123abcd";
const std::string kAlice = "0xaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
const std::string kBob = "0xbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb";
const std::string kCarol = "0xcccccccccccccccccccccccccccccccccccccccc";
const std::string kValidator = "0x2000000000000000000000000000000000000003";
constexpr uint64_t kBaseTime = 1'700'000'100;

Transaction make_transfer(const std::string& from, const std::string& to, uint64_t amount,
                          uint64_t nonce) {
  return Transaction(TxType::TRANSFER, from, to, amount, 1'000, nonce, kBaseTime + nonce);
}

Block make_block(uint64_t index, const std::string& prev_hash, std::vector<Transaction> txs,
                 const std::string& validator = kValidator) {
  Block block(index, prev_hash, validator, txs, kBaseTime + index);
  block.seal("");
  return block;
}

// A block record written by hand in the log's format, so that reading is
// checked against the text rather than against our own writer.
std::string hand_block_line(uint64_t index, const std::string& block_hash,
                            const std::string& transactions = "") {
  return "{\"index\":" + std::to_string(index) +
         ",\"timestamp\":1700000000,\"prev_hash\":\"p\",\"merkle_root\":\"m\","
         "\"validator\":\"v\",\"validator_signature\":\"s\",\"block_hash\":\"" +
         block_hash + "\",\"tx_count\":0,\"transactions\":[" + transactions + "]}";
}

std::string hand_tx(const std::string& sender, const std::string& recipient,
                    const std::string& tx_hash) {
  return "{\"type\":\"TRANSFER\",\"sender\":\"" + sender + "\",\"recipient\":\"" + recipient +
         "\",\"amount\":5,\"fee\":1000,\"nonce\":0,\"timestamp\":1,\"tx_hash\":\"" + tx_hash +
         "\",\"signature\":\"sig\"}";
}

std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    std::random_device rd;
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    dir_ = fs::temp_directory_path() /
           ("rozeve_storage_test_" + std::to_string(now) + "_" + std::to_string(rd()) + "_" +
            std::to_string(counter++));
    data_dir_ = (dir_ / "data").string();
  }

  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string blocks_path() const { return data_dir_ + "/blocks.dat"; }
  std::string state_path() const { return data_dir_ + "/state.json"; }

  // Genesis plus `count - 1` linked blocks, each moving coins Alice -> Bob.
  std::vector<Block> make_chain(uint64_t count) {
    std::vector<Block> chain{Block::create_genesis_block(kTreasury)};
    for (uint64_t i = 1; i < count; ++i) {
      chain.push_back(make_block(i, chain.back().block_hash, {make_transfer(kAlice, kBob, i, i)}));
    }
    return chain;
  }

  void save_all(Storage& storage, const std::vector<Block>& blocks) {
    for (const Block& block : blocks) ASSERT_TRUE(storage.save_block(block));
  }

  static std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }

  static void write_file(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  }

  static void append_raw(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::app) << content;
  }

  // The trace of a crash mid-append: half of a record, no line feed.
  void append_torn_line(const std::string& record) {
    append_raw(blocks_path(), record.substr(0, record.size() / 2));
  }

  static std::vector<std::string> serialized(const std::vector<Block>& blocks) {
    std::vector<std::string> out;
    for (const Block& block : blocks) out.push_back(block.serialize());
    return out;
  }

  fs::path dir_;
  std::string data_dir_;
};

// --- construction, files and reset ------------------------------------------

TEST_F(StorageTest, ConstructorCreatesMissingParentsAndSetsPaths) {
  const std::string nested = (dir_ / "a" / "b" / "data").string();
  Storage storage(nested);
  EXPECT_TRUE(fs::is_directory(nested));
  EXPECT_EQ(storage.data_dir(), nested);
  EXPECT_EQ(storage.blocks_path(), nested + "/blocks.dat");
  EXPECT_EQ(storage.state_path(), nested + "/state.json");
  EXPECT_FALSE(storage.has_persisted_chain());
  EXPECT_TRUE(storage.get_blocks_cached().empty());
  EXPECT_EQ(storage.get_total_txs_cached(), 0u);
}

TEST_F(StorageTest, EmptyBlockLogIsNoPersistedChain) {
  Storage storage(data_dir_);
  write_file(blocks_path(), "");
  EXPECT_FALSE(storage.has_persisted_chain());
  write_file(blocks_path(), "\n");
  EXPECT_TRUE(storage.has_persisted_chain());
}

TEST_F(StorageTest, SaveBlockAppendsOneLinePerBlockAndReloads) {
  const std::vector<Block> chain = make_chain(3);
  {
    Storage storage(data_dir_);
    save_all(storage, chain);
    EXPECT_TRUE(storage.has_persisted_chain());
    EXPECT_EQ(storage.get_blocks_cached().size(), 3u);
    EXPECT_EQ(storage.get_total_txs_cached(), 3u);
  }
  std::string expected;
  for (const Block& block : chain) expected += block.serialize() + "\n";
  EXPECT_EQ(read_file(blocks_path()), expected);

  Storage reloaded(data_dir_);
  EXPECT_EQ(serialized(reloaded.get_blocks_cached()), serialized(chain));
  EXPECT_EQ(reloaded.get_total_txs_cached(), 3u);
  EXPECT_EQ(serialized(reloaded.load_all_blocks()), serialized(chain));
}

TEST_F(StorageTest, SaveBlockOnUnloadedCacheReadsTheLogFirst) {
  const std::vector<Block> chain = make_chain(3);
  {
    Storage storage(data_dir_);
    save_all(storage, {chain[0], chain[1]});
  }
  Storage storage(data_dir_);
  ASSERT_TRUE(storage.save_block(chain[2]));
  EXPECT_EQ(serialized(storage.get_blocks_cached()), serialized(chain));
  EXPECT_EQ(storage.find_block_by_id("2"), &storage.get_blocks_cached()[2]);
}

TEST_F(StorageTest, HandWrittenRecordLoadsEveryField) {
  write_file(blocks_path(), hand_block_line(7, "ABCDEF", hand_tx("RUZaa", "0xBB", "0xFEED")) + "\n");
  Storage storage(data_dir_);
  ASSERT_EQ(storage.get_blocks_cached().size(), 1u);
  const Block& block = storage.get_blocks_cached()[0];
  EXPECT_EQ(block.index, 7u);
  EXPECT_EQ(block.timestamp, 1'700'000'000u);
  EXPECT_EQ(block.prev_hash, "p");
  EXPECT_EQ(block.validator, "v");
  EXPECT_EQ(block.block_hash, "ABCDEF");
  ASSERT_EQ(block.transactions.size(), 1u);
  EXPECT_EQ(block.transactions[0].amount, 5u);

  // Keys are normalised: hashes lower-cased without "0x", addresses lower-cased.
  EXPECT_EQ(storage.find_block_by_id("abcdef"), &block);
  const Block* found_block = nullptr;
  const Transaction* found_tx = nullptr;
  ASSERT_TRUE(storage.find_tx_by_hash("feed", found_block, found_tx));
  EXPECT_EQ(found_tx, &block.transactions[0]);
  EXPECT_EQ(storage.get_address_txs("ruzaa", 10).size(), 1u);
  EXPECT_EQ(storage.get_address_txs("0xbb", 10).size(), 1u);
}

TEST_F(StorageTest, ResetAllDataRemovesFilesAndEmptiesTheCache) {
  Storage storage(data_dir_);
  save_all(storage, make_chain(2));
  State state;
  state.balances[kAlice] = 5;
  ASSERT_TRUE(storage.save_state(state));

  storage.reset_all_data();
  EXPECT_FALSE(storage.has_persisted_chain());
  EXPECT_FALSE(fs::exists(blocks_path()));
  EXPECT_FALSE(fs::exists(state_path()));
  EXPECT_TRUE(storage.get_blocks_cached().empty());
  EXPECT_EQ(storage.get_total_txs_cached(), 0u);
  EXPECT_EQ(storage.find_block_by_id("0"), nullptr);
  EXPECT_TRUE(storage.get_address_txs(kAlice, 10).empty());

  // The next chain starts from scratch.
  const Block genesis = Block::create_genesis_block(kTreasury);
  ASSERT_TRUE(storage.save_block(genesis));
  EXPECT_EQ(storage.get_blocks_cached().size(), 1u);
  EXPECT_EQ(read_file(blocks_path()), genesis.serialize() + "\n");
}

TEST_F(StorageTest, ResetAllDataWithoutFilesIsQuiet) {
  Storage storage(data_dir_);
  storage.reset_all_data();
  EXPECT_FALSE(storage.has_persisted_chain());
  EXPECT_TRUE(fs::is_directory(data_dir_));
}

// --- finding blocks ----------------------------------------------------------

TEST_F(StorageTest, FindBlockById) {
  const std::vector<Block> chain = make_chain(10);
  Storage storage(data_dir_);
  save_all(storage, chain);
  const Block* base = storage.get_blocks_cached().data();

  struct Case {
    std::string id;
    int expected_position;  // -1: none
  };
  const std::vector<Case> cases = {
      {"0", 0},
      {"007", 7},
      {"9", 9},
      {"10", -1},                         // no such height, and no such hash
      {"1234567890123456789012345", -1},  // too large for 64 bits
      {"", -1},
      {"0X" + upper(chain[4].block_hash), 4},
      {"0x" + chain[5].block_hash, 5},
      {upper(chain[6].block_hash), 6},
      {chain[3].block_hash, 3},
      {"0x", -1},
      {"-1", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("id \"" + c.id + "\"");
    const Block* found = storage.find_block_by_id(c.id);
    if (c.expected_position < 0) {
      EXPECT_EQ(found, nullptr);
    } else {
      EXPECT_EQ(found, base + c.expected_position);
    }
  }
}

TEST_F(StorageTest, DecimalIdFallsBackToHashLookup) {
  // Hashes made of digits: the height lookup misses, the hash lookup hits.
  write_file(blocks_path(), hand_block_line(0, "42") + "\n" +
                                hand_block_line(1, "1234567890123456789012345") + "\n");
  Storage storage(data_dir_);
  const std::vector<Block>& cache = storage.get_blocks_cached();
  ASSERT_EQ(cache.size(), 2u);
  EXPECT_EQ(storage.find_block_by_id("42"), &cache[0]);
  EXPECT_EQ(storage.find_block_by_id("1234567890123456789012345"), &cache[1]);
  EXPECT_EQ(storage.find_block_by_id("1"), &cache[1]);
}

TEST_F(StorageTest, HeightLookupPrefersThePositionThenTheFirstMatch) {
  write_file(blocks_path(), hand_block_line(3, "a") + "\n" + hand_block_line(1, "b") + "\n" +
                                hand_block_line(5, "c") + "\n" + hand_block_line(3, "d") + "\n");
  Storage storage(data_dir_);
  const std::vector<Block>& cache = storage.get_blocks_cached();
  ASSERT_EQ(cache.size(), 4u);
  EXPECT_EQ(storage.find_block_by_id("3"), &cache[3]);  // position 3 has height 3
  EXPECT_EQ(storage.find_block_by_id("1"), &cache[1]);
  EXPECT_EQ(storage.find_block_by_id("5"), &cache[2]);  // first block of height 5
  EXPECT_EQ(storage.find_block_by_id("2"), nullptr);
}

TEST_F(StorageTest, LaterBlockWithTheSameHashWinsTheHashIndex) {
  write_file(blocks_path(), hand_block_line(0, "aa") + "\n" + hand_block_line(1, "AA") + "\n");
  Storage storage(data_dir_);
  EXPECT_EQ(storage.find_block_by_id("0xaa"), &storage.get_blocks_cached()[1]);
}

// --- finding transactions ----------------------------------------------------

TEST_F(StorageTest, FindTxByHash) {
  const std::vector<Block> chain = make_chain(3);
  Storage storage(data_dir_);
  save_all(storage, chain);
  const std::vector<Block>& cache = storage.get_blocks_cached();

  const Block* block = nullptr;
  const Transaction* tx = nullptr;
  ASSERT_TRUE(storage.find_tx_by_hash("0X" + upper(chain[2].transactions[0].tx_hash), block, tx));
  EXPECT_EQ(block, &cache[2]);
  EXPECT_EQ(tx, &cache[2].transactions[0]);
  ASSERT_TRUE(storage.find_tx_by_hash(chain[0].transactions[0].tx_hash, block, tx));
  EXPECT_EQ(block, &cache[0]);

  // A miss leaves the outputs as they were.
  const Block* const kept_block = block;
  const Transaction* const kept_tx = tx;
  EXPECT_FALSE(storage.find_tx_by_hash("00", block, tx));
  EXPECT_FALSE(storage.find_tx_by_hash("", block, tx));
  EXPECT_EQ(block, kept_block);
  EXPECT_EQ(tx, kept_tx);
}

TEST_F(StorageTest, DuplicateTxHashFindsTheLaterBlock) {
  const Block genesis = Block::create_genesis_block(kTreasury);
  const Transaction transfer = make_transfer(kAlice, kBob, 7, 0);
  const Block first = make_block(1, genesis.block_hash, {transfer});
  const Block second = make_block(2, first.block_hash, {make_transfer(kBob, kCarol, 1, 0), transfer});
  Storage storage(data_dir_);
  save_all(storage, {genesis, first, second});

  const Block* block = nullptr;
  const Transaction* tx = nullptr;
  ASSERT_TRUE(storage.find_tx_by_hash(transfer.tx_hash, block, tx));
  EXPECT_EQ(block, &storage.get_blocks_cached()[2]);
  EXPECT_EQ(tx, &storage.get_blocks_cached()[2].transactions[1]);

  // The same after a reload from the file.
  Storage reloaded(data_dir_);
  ASSERT_TRUE(reloaded.find_tx_by_hash(transfer.tx_hash, block, tx));
  EXPECT_EQ(block, &reloaded.get_blocks_cached()[2]);
}

// --- listing addresses -------------------------------------------------------

TEST_F(StorageTest, AddressListsNewestFirstWithinTheLimit) {
  const Block genesis = Block::create_genesis_block(kTreasury);
  const Transaction t1 = make_transfer(kAlice, kBob, 1, 0);
  const Transaction t2 = make_transfer(kBob, kCarol, 2, 0);
  const Transaction t3 = make_transfer(kCarol, kBob, 3, 0);
  const Block b1 = make_block(1, genesis.block_hash, {t1});
  const Block b2 = make_block(2, b1.block_hash, {t2, t3});  // two in one block
  Storage storage(data_dir_);
  save_all(storage, {genesis, b1, b2});

  struct Case {
    std::string address;
    uint64_t limit;
    std::vector<std::string> expected_hashes;
  };
  const std::vector<Case> cases = {
      {kBob, 0, {}},
      {kBob, 2, {t3.tx_hash, t2.tx_hash}},
      {kBob, 3, {t3.tx_hash, t2.tx_hash, t1.tx_hash}},
      {kBob, 100, {t3.tx_hash, t2.tx_hash, t1.tx_hash}},
      {upper(kBob).replace(0, 2, "0x"), 1, {t3.tx_hash}},  // lookups are lower-cased
      {kAlice, 5, {t1.tx_hash}},
      {"0xdddddddddddddddddddddddddddddddddddddddd", 5, {}},
      {"", 5, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address + " limit " + std::to_string(c.limit));
    std::vector<std::string> hashes;
    for (const auto& [block, tx] : storage.get_address_txs(c.address, c.limit)) {
      ASSERT_NE(block, nullptr);
      hashes.push_back(tx->tx_hash);
    }
    EXPECT_EQ(hashes, c.expected_hashes);
  }
  // The pairs point at the right blocks.
  const auto newest = storage.get_address_txs(kBob, 3);
  EXPECT_EQ(newest[0].first, &storage.get_blocks_cached()[2]);
  EXPECT_EQ(newest[2].first, &storage.get_blocks_cached()[1]);
}

TEST_F(StorageTest, TransferToItselfIsListedOnce) {
  const std::string mixed_case = "0xAbCdEf0000000000000000000000000000000000";
  const std::string lower_case = "0xabcdef0000000000000000000000000000000000";
  const Block genesis = Block::create_genesis_block(kTreasury);
  const Block b1 = make_block(1, genesis.block_hash,
                              {make_transfer(kAlice, kAlice, 1, 0), make_transfer(mixed_case, lower_case, 1, 0)});
  Storage storage(data_dir_);
  save_all(storage, {genesis, b1});
  EXPECT_EQ(storage.get_address_txs(kAlice, 10).size(), 1u);
  EXPECT_EQ(storage.get_address_txs(lower_case, 10).size(), 1u);
  EXPECT_EQ(storage.get_address_txs(mixed_case, 10).size(), 1u);
}

TEST_F(StorageTest, ZeroXPrefixIsPartOfTheAddressKey) {
  write_file(blocks_path(), hand_block_line(0, "h0", hand_tx("0xabc", "x1", "t0")) + "\n" +
                                hand_block_line(1, "h1", hand_tx("abc", "x2", "t1")) + "\n");
  Storage storage(data_dir_);
  const auto with_prefix = storage.get_address_txs("0xabc", 10);
  const auto without_prefix = storage.get_address_txs("ABC", 10);
  ASSERT_EQ(with_prefix.size(), 1u);
  ASSERT_EQ(without_prefix.size(), 1u);
  EXPECT_EQ(with_prefix[0].second->tx_hash, "t0");
  EXPECT_EQ(without_prefix[0].second->tx_hash, "t1");
}

TEST_F(StorageTest, GenesisTransactionIndexesItsRecipient) {
  Storage storage(data_dir_);
  ASSERT_TRUE(storage.save_block(Block::create_genesis_block(kTreasury)));
  EXPECT_EQ(storage.get_address_txs("ruz0123456789ABCDEF0123456789abcdef0123abcd", 10).size(), 1u);
  EXPECT_EQ(storage.get_address_txs("genesis", 10).size(), 1u);
}

// --- damaged block logs ------------------------------------------------------

TEST_F(StorageTest, EmptyAndDamagedLinesBetweenGoodBlocksAreSkipped) {
  const std::vector<Block> chain = make_chain(2);
  std::string bad_index = hand_block_line(1, "x");
  bad_index[9] = 'z';  // the index now reads "z"
  write_file(blocks_path(), chain[0].serialize() + "\n" + "\n" + "not a block at all\n" +
                                bad_index + "\n" + chain[1].serialize() + "\n");
  Storage storage(data_dir_);
  ::testing::internal::CaptureStderr();
  const std::vector<Block>& cache = storage.get_blocks_cached();
  const std::string console = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(serialized(cache), serialized(chain));
  EXPECT_EQ(storage.find_block_by_id("1"), &cache[1]);
  // Said once, with the count of unreadable lines (the empty one is not one).
  EXPECT_EQ(console, "[STORAGE] Ignorate 2 righe illeggibili in " + blocks_path() + "\n");
}

TEST_F(StorageTest, CleanLogLoadsSilently) {
  {
    Storage storage(data_dir_);
    save_all(storage, make_chain(3));
  }
  Storage storage(data_dir_);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(storage.get_blocks_cached().size(), 3u);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(StorageTest, LinesThatAreNotWholeRecordsAreSkipped) {
  const std::vector<Block> chain = make_chain(3);
  const std::string whole = chain[1].serialize();
  const std::vector<std::string> bad_lines = {
      whole.substr(0, whole.size() - 2),   // cut after the last transaction's '}'
      whole.substr(0, whole.size() - 1),   // "]" without the closing '}'
      whole.substr(1),                     // does not begin with '{'
      hand_block_line(1, ""),              // empty block_hash
      "{\"index\":1,\"transactions\":[]}",  // no block_hash at all
      "]}",
      "{]}",
  };
  for (const std::string& bad : bad_lines) {
    SCOPED_TRACE(bad);
    write_file(blocks_path(), chain[0].serialize() + "\n" + bad + "\n" + chain[2].serialize() + "\n");
    Storage storage(data_dir_);
    ::testing::internal::CaptureStderr();
    const std::vector<Block>& cache = storage.get_blocks_cached();
    const std::string console = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(cache.size(), 2u);
    EXPECT_EQ(cache[0].block_hash, chain[0].block_hash);
    EXPECT_EQ(cache[1].block_hash, chain[2].block_hash);
    EXPECT_NE(console.find("Ignorate 1 righe"), std::string::npos);
  }
}

TEST_F(StorageTest, CrlfLinesStillLoad) {
  const std::vector<Block> chain = make_chain(2);
  write_file(blocks_path(), chain[0].serialize() + "\r\n" + chain[1].serialize() + "\r\n");
  Storage storage(data_dir_);
  EXPECT_EQ(serialized(storage.get_blocks_cached()), serialized(chain));
}

TEST_F(StorageTest, LastLineWithoutLineFeedLoads) {
  const std::vector<Block> chain = make_chain(2);
  write_file(blocks_path(), chain[0].serialize() + "\n" + chain[1].serialize());
  Storage storage(data_dir_);
  EXPECT_EQ(serialized(storage.get_blocks_cached()), serialized(chain));
}

TEST_F(StorageTest, TornLastLineDoesNotSwallowTheNextBlock) {
  const std::vector<Block> chain = make_chain(3);
  {
    Storage storage(data_dir_);
    save_all(storage, {chain[0], chain[1]});
  }
  // Crash in the middle of appending block 2; the restarted node appends it again.
  append_torn_line(chain[2].serialize());
  {
    Storage storage(data_dir_);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(storage.get_blocks_cached().size(), 2u);  // the fragment is no block
    ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(storage.save_block(chain[2]));
  }
  // The fragment was cut off before the append: the log is whole again.
  std::string lines;
  for (const Block& block : chain) lines += block.serialize() + "\n";
  EXPECT_EQ(read_file(blocks_path()), lines);
  Storage reloaded(data_dir_);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(serialized(reloaded.get_blocks_cached()), serialized(chain));
  EXPECT_EQ(reloaded.check_block_log(), std::nullopt);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(StorageTest, TornTailAfterLoadDoesNotSwallowTheNextBlock) {
  // The tear appears under a running instance whose cache is already loaded.
  const std::vector<Block> chain = make_chain(3);
  Storage storage(data_dir_);
  save_all(storage, {chain[0], chain[1]});
  append_torn_line(make_block(2, chain[1].block_hash, {make_transfer(kCarol, kBob, 9, 0)}).serialize());
  ASSERT_TRUE(storage.save_block(chain[2]));

  Storage reloaded(data_dir_);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(serialized(reloaded.get_blocks_cached()), serialized(chain));
  ::testing::internal::GetCapturedStderr();
}

TEST_F(StorageTest, SaveBlockRefusesLineBreaksInTheRecord) {
  const std::vector<Block> chain = make_chain(2);
  Storage storage(data_dir_);
  ASSERT_TRUE(storage.save_block(chain[0]));
  const std::string before = read_file(blocks_path());

  for (const std::string& validator : {std::string("RUZ\nabc"), std::string("RUZ\rabc")}) {
    Block bad = make_block(1, chain[0].block_hash, {make_transfer(kAlice, kBob, 1, 1)}, validator);
    EXPECT_FALSE(storage.save_block(bad));
  }
  Block bad_tx = make_block(1, chain[0].block_hash, {make_transfer(kAlice, "0xbb\n", 1, 1)});
  EXPECT_FALSE(storage.save_block(bad_tx));

  EXPECT_EQ(read_file(blocks_path()), before);
  EXPECT_EQ(storage.get_blocks_cached().size(), 1u);
  EXPECT_EQ(storage.get_total_txs_cached(), 1u);
}

TEST_F(StorageTest, SaveBlockFailsWhenTheLogCannotBeOpened) {
  Storage storage(data_dir_);
  fs::create_directory(blocks_path());  // a directory where the log should be
  EXPECT_FALSE(storage.save_block(Block::create_genesis_block(kTreasury)));
  EXPECT_TRUE(storage.get_blocks_cached().empty());
  EXPECT_EQ(storage.get_total_txs_cached(), 0u);
}

// --- the state snapshot ------------------------------------------------------

TEST_F(StorageTest, SaveStateWritesTheStateTextAndLoadsItBack) {
  Storage storage(data_dir_);
  State state;
  state.balances["b"] = 2;
  state.balances["a"] = 1;
  state.staked["a"] = 1'000'000'000;
  state.nonces["a"] = 3;
  ASSERT_TRUE(storage.save_state(state));
  EXPECT_EQ(read_file(state_path()),
            "{\"balances\":{\"a\":1,\"b\":2},\"staked\":{\"a\":1000000000},\"nonces\":{\"a\":3}}");
  EXPECT_FALSE(fs::exists(state_path() + ".tmp"));

  State loaded;
  loaded.balances["stale"] = 99;  // replaced, not merged
  ASSERT_EQ(storage.load_state(loaded), StateLoad::kLoaded);
  EXPECT_EQ(loaded.balances, state.balances);
  EXPECT_EQ(loaded.staked, state.staked);
  EXPECT_EQ(loaded.nonces, state.nonces);
}

TEST_F(StorageTest, SaveStateReplacesTheOldSnapshot) {
  Storage storage(data_dir_);
  State state;
  state.balances["a"] = 1;
  ASSERT_TRUE(storage.save_state(state));
  state.balances["a"] = 2;
  ASSERT_TRUE(storage.save_state(state));
  EXPECT_EQ(read_file(state_path()), "{\"balances\":{\"a\":2},\"staked\":{},\"nonces\":{}}");
  EXPECT_FALSE(fs::exists(state_path() + ".tmp"));
}

TEST_F(StorageTest, SaveStateRecreatesARemovedDataDirectory) {
  Storage storage(data_dir_);
  fs::remove_all(data_dir_);
  State state;
  state.balances["a"] = 1;
  EXPECT_TRUE(storage.save_state(state));
  EXPECT_EQ(read_file(state_path()), "{\"balances\":{\"a\":1},\"staked\":{},\"nonces\":{}}");
}

TEST_F(StorageTest, SaveStateFailsWhenTheDataDirectoryIsAFile) {
  Storage storage(data_dir_);
  fs::remove_all(data_dir_);
  write_file(data_dir_, "not a directory");
  State state;
  state.balances["a"] = 1;
  EXPECT_FALSE(storage.save_state(state));
  EXPECT_EQ(read_file(data_dir_), "not a directory");
}

TEST_F(StorageTest, FailedTemporaryWriteLeavesTheOldSnapshot) {
  Storage storage(data_dir_);
  State state;
  state.balances["a"] = 1;
  ASSERT_TRUE(storage.save_state(state));
  fs::create_directory(state_path() + ".tmp");  // the temporary file cannot be written
  state.balances["a"] = 2;
  EXPECT_FALSE(storage.save_state(state));
  EXPECT_EQ(read_file(state_path()), "{\"balances\":{\"a\":1},\"staked\":{},\"nonces\":{}}");
}

TEST_F(StorageTest, SaveStateFailsOverADirectoryNamedStateJson) {
  Storage storage(data_dir_);
  fs::create_directories(state_path() + "/inside");  // rename and in-place write both fail
  State state;
  state.balances["a"] = 1;
  EXPECT_FALSE(storage.save_state(state));
  EXPECT_TRUE(fs::is_directory(state_path() + "/inside"));
}

TEST_F(StorageTest, LoadStateWithoutAFileLeavesTheState) {
  Storage storage(data_dir_);
  State state;
  state.balances["keep"] = 7;
  EXPECT_EQ(storage.load_state(state), StateLoad::kMissing);
  EXPECT_EQ(state.balances.at("keep"), 7u);
}

TEST_F(StorageTest, LoadStateOfAnUnreadableFileLeavesTheState) {
  Storage storage(data_dir_);
  fs::create_directory(state_path());  // exists, but cannot be read as a file
  State state;
  state.balances["keep"] = 7;
  state.staked["keep"] = 8;
  state.nonces["keep"] = 9;
  EXPECT_EQ(storage.load_state(state), StateLoad::kDamaged);
  EXPECT_EQ(state.balances.at("keep"), 7u);
  EXPECT_EQ(state.staked.at("keep"), 8u);
  EXPECT_EQ(state.nonces.at("keep"), 9u);
}

TEST_F(StorageTest, LoadStateOfAnEmptyFileIsDamaged) {
  // An empty file is a cut one, not an empty ledger.
  Storage storage(data_dir_);
  write_file(state_path(), "");
  State state;
  state.balances["kept"] = 1;
  EXPECT_EQ(storage.load_state(state), StateLoad::kDamaged);
  EXPECT_EQ(state.balances.at("kept"), 1u);
}

TEST_F(StorageTest, LoadStateReadsAHandWrittenSnapshot) {
  Storage storage(data_dir_);
  write_file(state_path(),
             "{\"balances\":{\"0xAb\":10,\"z\":20},\"staked\":{\"0xAb\":5},"
             "\"nonces\":{\"0xAb\":2}}");
  State state;
  ASSERT_EQ(storage.load_state(state), StateLoad::kLoaded);
  EXPECT_EQ(state.balances, (std::map<std::string, uint64_t>{{"0xAb", 10}, {"z", 20}}));
  EXPECT_EQ(state.staked, (std::map<std::string, uint64_t>{{"0xAb", 5}}));
  EXPECT_EQ(state.nonces, (std::map<std::string, uint64_t>{{"0xAb", 2}}));
}

}  // namespace
}  // namespace ZezozuRiziv
