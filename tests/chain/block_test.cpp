#include "chain/block.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace ZezozuRiziv {
namespace {

const std::string kValidator = "RUZ62821a58c6384fb176b0840d2e0ff0b2e042756e";
const std::string kOther = "RUZe304167b9aa8e6cb67d982188b1978c5a196db7b";
const std::string kPrev = [] {
  std::string prev;
  for (int i = 0; i < 32; ++i) prev += "ab";
  return prev;
}();
const std::string kZeros(64, '0');
const std::string kEmptySha256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// Worked out with an independent SHA-256 for the treasury text "RUZtreasury".
const std::string kGenesisTxHash =
    "6154d193a5c854334c85b664d1006755a3125b2225e7f77d4010f0255dcc5114";
const std::string kGenesisBlockHash =
    "3d3fbdd6082a189d7ff15e0490ff399c9a7432cb16579d5bbba9cc3ac07c49f0";

// The two transactions of the fixed block and its hashes, worked out the
// same way: the root double-hashes the two hash texts joined.
const std::string kTx1Hash = "f121f4e8accaa572222a7a6d50a0f2cab788ba564c1db1a310c8f4ea340f9203";
const std::string kTx2Hash = "848e7884cd8075a187c9a015bf4fbf8f87166caa70166bae6c8a7487e5fcaf83";
const std::string kFixedRoot = "f621f13b6983930f6d84c8888efeca15548baf280f0e886375f7e7ed595d0a83";
const std::string kFixedHash = "ed4b10baf3f53cc9f8ed88eae48fb492a93a1d0b9d0ce6f0fa5dd966c429904a";
// Its seal with the empty key.
const std::string kFixedSignature =
    "9a7999dfa47817a4ca891a5a20698c9680ed1f6b0e1d57a8bf0828c99b7d64a3";
const std::string kEmptyBlockHash =
    "a27804b124f454d38054386c42b8a862e452d8ee77cdb571885493e9a22dbe18";

Block fixed_block() {
  const std::vector<Transaction> txs = {Transaction(TxType::TRANSFER, "a", "b", 1, 2, 3, 4),
                                        Transaction(TxType::STAKE, "a", "a", 5, 0, 4, 4)};
  return Block(1, kPrev, kValidator, txs, 1'700'000'100);
}

std::string fixed_tx1_text() {
  return "{\"type\":\"TRANSFER\",\"sender\":\"a\",\"recipient\":\"b\",\"amount\":1,\"fee\":2,"
         "\"nonce\":3,\"timestamp\":4,\"tx_hash\":\"" +
         kTx1Hash + "\",\"signature\":\"\"}";
}

std::string fixed_tx2_text() {
  return "{\"type\":\"STAKE\",\"sender\":\"a\",\"recipient\":\"a\",\"amount\":5,\"fee\":0,"
         "\"nonce\":4,\"timestamp\":4,\"tx_hash\":\"" +
         kTx2Hash + "\",\"signature\":\"\"}";
}

// A sealed block of height 5 whose transactions all verify.
Block sealed_block() {
  Transaction transfer(TxType::TRANSFER, kOther, kValidator, 3'000'000, 1'000, 0, 1'700'000'500);
  transfer.sign("other key");
  Transaction stake(TxType::STAKE, kOther, kOther, 1'000'000'000, 0, 1, 1'700'000'501);
  stake.sign("other key");
  Block block(5, kPrev, kValidator, {transfer, stake}, 1'700'000'502);
  block.seal("");
  return block;
}

void expect_same(const Block& a, const Block& b) {
  EXPECT_EQ(a.index, b.index);
  EXPECT_EQ(a.timestamp, b.timestamp);
  EXPECT_EQ(a.prev_hash, b.prev_hash);
  EXPECT_EQ(a.merkle_root, b.merkle_root);
  EXPECT_EQ(a.validator, b.validator);
  EXPECT_EQ(a.validator_signature, b.validator_signature);
  EXPECT_EQ(a.block_hash, b.block_hash);
  ASSERT_EQ(a.transactions.size(), b.transactions.size());
  for (size_t i = 0; i < a.transactions.size(); ++i) {
    EXPECT_EQ(a.transactions[i].serialize(), b.transactions[i].serialize()) << "tx " << i;
  }
}

TEST(BlockTest, DefaultRecord) {
  const Block block;
  EXPECT_EQ(block.index, 0u);
  EXPECT_EQ(block.timestamp, 0u);
  EXPECT_TRUE(block.prev_hash.empty());
  EXPECT_TRUE(block.merkle_root.empty());
  EXPECT_TRUE(block.validator.empty());
  EXPECT_TRUE(block.validator_signature.empty());
  EXPECT_TRUE(block.transactions.empty());
  EXPECT_TRUE(block.block_hash.empty());
}

TEST(BlockTest, ConstructorSetsRootAndHash) {
  const Block block = fixed_block();
  EXPECT_EQ(block.merkle_root, kFixedRoot);
  EXPECT_EQ(block.block_hash, kFixedHash);
  EXPECT_TRUE(block.validator_signature.empty());
}

TEST(BlockTest, ZeroTimestampMeansNow) {
  const auto now = [] {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
  };
  const uint64_t before = now();
  const Block block(1, kPrev, kValidator, {}, 0);
  EXPECT_GE(block.timestamp, before);
  EXPECT_LE(block.timestamp, now());
}

TEST(BlockTest, EmptyBlock) {
  const Block block(2, kZeros, kValidator, {}, 1'700'000'200);
  EXPECT_EQ(block.merkle_root, kEmptySha256);
  EXPECT_EQ(block.block_hash, kEmptyBlockHash);
  const std::string text = block.serialize();
  EXPECT_NE(text.find("\"tx_count\":0,\"transactions\":[]}"), std::string::npos) << text;
  const auto back = Block::deserialize(text);
  ASSERT_TRUE(back.has_value());
  EXPECT_TRUE(back->transactions.empty());
  expect_same(*back, block);
}

TEST(BlockTest, GenesisBlock) {
  const Block genesis = Block::create_genesis_block("RUZtreasury");
  EXPECT_EQ(genesis.index, 0u);
  EXPECT_EQ(genesis.timestamp, 1'700'000'000u);
  EXPECT_EQ(genesis.prev_hash, kZeros);
  EXPECT_EQ(genesis.validator, "GENESIS");
  EXPECT_EQ(genesis.validator_signature, "GENESIS_SIGNATURE");
  ASSERT_EQ(genesis.transactions.size(), 1u);
  const Transaction& tx = genesis.transactions[0];
  EXPECT_EQ(tx.type, TxType::GENESIS);
  EXPECT_EQ(tx.sender, "GENESIS");
  EXPECT_EQ(tx.recipient, "RUZtreasury");
  EXPECT_EQ(tx.amount, 21'000'000'000'000u);
  EXPECT_EQ(tx.fee, 0u);
  EXPECT_EQ(tx.nonce, 0u);
  EXPECT_EQ(tx.timestamp, 1'700'000'000u);
  EXPECT_EQ(tx.signature, "GENESIS_VALIDATED");
  EXPECT_EQ(tx.tx_hash, kGenesisTxHash);
  // One transaction: the root is its hash unchanged.
  EXPECT_EQ(genesis.merkle_root, kGenesisTxHash);
  EXPECT_EQ(genesis.block_hash, kGenesisBlockHash);
  EXPECT_TRUE(genesis.verify());

  EXPECT_EQ(Block::create_genesis_block("RUZtreasury").block_hash, genesis.block_hash);
  EXPECT_NE(Block::create_genesis_block("RUZtreasurz").block_hash, genesis.block_hash);
}

TEST(BlockTest, SealSignsTheHash) {
  Block block = fixed_block();
  block.seal("");
  EXPECT_EQ(block.validator_signature, kFixedSignature);

  Block stale = fixed_block();
  stale.transactions.pop_back();
  stale.timestamp = 1'700'000'101;
  stale.seal("some key");
  EXPECT_EQ(stale.merkle_root, kTx1Hash);
  EXPECT_EQ(stale.block_hash, stale.calculate_hash());
  EXPECT_EQ(stale.validator_signature.size(), 64u);
  EXPECT_NE(stale.validator_signature, kFixedSignature);

  // Height 0 always carries the fixed genesis signature.
  Block zero(0, kZeros, kValidator, {}, 1);
  zero.seal("any key");
  EXPECT_EQ(zero.validator_signature, "GENESIS_SIGNATURE");
}

TEST(BlockTest, SealedBlockVerifies) {
  const Block block = sealed_block();
  EXPECT_EQ(block.validator_signature.size(), 64u);
  EXPECT_TRUE(block.verify());

  Block other_signature = block;
  other_signature.validator_signature = std::string(64, 'q');
  EXPECT_TRUE(other_signature.verify());
}

TEST(BlockTest, VerifyRefusals) {
  const std::vector<std::pair<std::string, std::function<void(Block&)>>> changes = {
      {"short signature", [](Block& b) { b.validator_signature.pop_back(); }},
      {"no signature", [](Block& b) { b.validator_signature.clear(); }},
      {"timestamp", [](Block& b) { b.timestamp += 1; }},
      {"index", [](Block& b) { b.index += 1; }},
      {"prev_hash", [](Block& b) { b.prev_hash = kZeros; }},
      {"validator", [](Block& b) { b.validator = kOther; }},
      {"merkle_root", [](Block& b) { b.merkle_root = kEmptySha256; }},
      {"block_hash", [](Block& b) { b.block_hash = kFixedHash; }},
      {"transaction amount", [](Block& b) { b.transactions[0].amount += 1; }},
      {"transaction hash", [](Block& b) { b.transactions[1].tx_hash = kTx1Hash; }},
      {"transaction dropped", [](Block& b) { b.transactions.pop_back(); }},
      {"invalid validator, resealed",
       [](Block& b) {
         b.validator = "GENESIS";
         b.seal("");
       }},
      {"transaction unsigned, resealed",
       [](Block& b) {
         b.transactions[0].signature.clear();
         b.seal("");
       }},
      {"transaction to an invalid recipient, resealed",
       [](Block& b) {
         b.transactions[0].recipient = "nobody";
         b.transactions[0].sign("other key");
         b.seal("");
       }},
  };
  for (const auto& [name, change] : changes) {
    Block block = sealed_block();
    change(block);
    EXPECT_FALSE(block.verify()) << name;
  }
}

TEST(BlockTest, HeightThreeFromGenesisValidatorFails) {
  Block block(3, kPrev, "GENESIS", {}, 1'700'000'300);
  block.seal("");
  EXPECT_FALSE(block.verify());
}

TEST(BlockTest, HeightZeroSkipsSignerAndTransactionRules) {
  // An unsigned transfer between invalid addresses: only the hashes count.
  Block block(0, kZeros, "anyone", {Transaction(TxType::TRANSFER, "x", "y", 1, 0, 0, 1)}, 1);
  EXPECT_TRUE(block.verify());
}

TEST(BlockTest, SerializeWritesTheKeysInOrder) {
  Block block = fixed_block();
  block.seal("");
  EXPECT_EQ(block.serialize(),
            "{\"index\":1,\"timestamp\":1700000100,\"prev_hash\":\"" + kPrev +
                "\",\"merkle_root\":\"" + kFixedRoot + "\",\"validator\":\"" + kValidator +
                "\",\"validator_signature\":\"" + kFixedSignature + "\",\"block_hash\":\"" +
                kFixedHash + "\",\"tx_count\":2,\"transactions\":[" + fixed_tx1_text() + "," +
                fixed_tx2_text() + "]}");
}

TEST(BlockTest, RoundTrip) {
  Block fixed = fixed_block();
  fixed.seal("");
  Block big = sealed_block();
  big.index = UINT64_MAX;
  big.timestamp = UINT64_MAX;
  big.seal("k");
  for (const Block& block : {fixed, sealed_block(), big, Block::create_genesis_block(kValidator),
                             Block()}) {
    const std::string text = block.serialize();
    const auto back = Block::deserialize(text);
    ASSERT_TRUE(back.has_value()) << text;
    expect_same(*back, block);
    EXPECT_EQ(back->serialize(), text);
    EXPECT_EQ(back->verify(), block.verify());
  }
}

TEST(BlockTest, ReaderTakesTheArrayNotTheCount) {
  Block block = fixed_block();
  std::string text = block.serialize();
  const std::string count = "\"tx_count\":2";
  text.replace(text.find(count), count.size(), "\"tx_count\":9");
  const auto back = Block::deserialize(text);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->transactions.size(), 2u);
  expect_same(*back, block);
}

TEST(BlockTest, ReaderStopsBareValuesAtABracket) {
  const auto block = Block::deserialize("{\"timestamp\":5,\"index\":7]}");
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(block->index, 7u);
  EXPECT_EQ(block->timestamp, 5u);
  EXPECT_TRUE(block->transactions.empty());
}

TEST(BlockTest, ReaderWithoutTransactionsKeyOrWithAnOpenArray) {
  const auto none = Block::deserialize("{\"index\":4,\"validator\":\"v\"}");
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(none->index, 4u);
  EXPECT_EQ(none->validator, "v");
  EXPECT_TRUE(none->transactions.empty());

  // A slice without its closing brace is not read; the ones before it are.
  const auto torn = Block::deserialize("{\"index\":4,\"transactions\":[" + fixed_tx1_text() +
                                       ",{\"type\":\"STAKE\",\"amount\":5");
  ASSERT_TRUE(torn.has_value());
  ASSERT_EQ(torn->transactions.size(), 1u);
  EXPECT_EQ(torn->transactions[0].tx_hash, kTx1Hash);
}

TEST(BlockTest, ReaderFailsOnBadNumbers) {
  for (const std::string key : {"index", "timestamp"}) {
    for (const std::string value : {"-1", "+5", "\"5\"", "x", " ", "18446744073709551616"}) {
      const std::string text = "{\"" + key + "\":" + value + ",\"transactions\":[]}";
      EXPECT_FALSE(Block::deserialize(text).has_value()) << text;
    }
    const auto max = Block::deserialize("{\"" + key + "\":18446744073709551615}");
    ASSERT_TRUE(max.has_value()) << key;
  }
  const auto empty = Block::deserialize("{\"index\":,\"timestamp\":]}");
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->index, 0u);
  EXPECT_EQ(empty->timestamp, 0u);
}

TEST(BlockTest, ReaderFailsOnControlBytesInATextField) {
  for (const std::string key :
       {"prev_hash", "merkle_root", "validator", "validator_signature", "block_hash"}) {
    for (const char bad : {'\n', '\r', '\t', '\x01'}) {
      const std::string text = "{\"index\":1,\"" + key + "\":\"ab" + std::string(1, bad) +
                               "c\",\"transactions\":[]}";
      EXPECT_FALSE(Block::deserialize(text).has_value())
          << key << " with byte " << static_cast<int>(bad);
    }
  }
}

TEST(BlockTest, ADamagedTransactionFailsTheBlock) {
  Block block = fixed_block();
  block.seal("");
  const std::string good = block.serialize();
  ASSERT_TRUE(Block::deserialize(good).has_value());

  const std::vector<std::pair<std::string, std::string>> damages = {
      {"\"amount\":5", "\"amount\":-5"},
      {"\"fee\":2", "\"fee\":\"2\""},
      {"\"nonce\":4", "\"nonce\":99999999999999999999"},
      {"\"sender\":\"a\"", "\"sender\":\"a\x01\""},
  };
  for (const auto& [from, to] : damages) {
    std::string text = good;
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    EXPECT_FALSE(Block::deserialize(text).has_value()) << to;
  }
}

}  // namespace
TEST(BlockTest, ReaderRefusesMoreTransactionsThanABlockHolds) {
  const Transaction tx(TxType::COINBASE_REWARD, "COINBASE", "0xabc", 1, 0, 0, 1);
  const std::string record = tx.serialize();
  const auto block_text = [&record](size_t count) {
    std::string text =
        "{\"index\":1,\"timestamp\":1,\"prev_hash\":\"p\",\"merkle_root\":\"m\","
        "\"validator\":\"v\",\"validator_signature\":\"s\",\"block_hash\":\"h\","
        "\"tx_count\":0,\"transactions\":[";
    for (size_t i = 0; i < count; ++i) text += (i ? "," : "") + record;
    return text + "]}";
  };
  const auto full = Block::deserialize(block_text(kMaxBlockTransactions));
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(full->transactions.size(), kMaxBlockTransactions);
  EXPECT_FALSE(Block::deserialize(block_text(kMaxBlockTransactions + 1)).has_value());
  // An 8 MiB frame of empty records is refused before four million are built.
  std::string empties = "{\"transactions\":[";
  for (size_t i = 0; i < (8u << 20) / 3; ++i) empties += "{},";
  EXPECT_FALSE(Block::deserialize(empties + "{}]}").has_value());
}

}  // namespace ZezozuRiziv
