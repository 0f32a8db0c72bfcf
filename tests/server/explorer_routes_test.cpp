// The block explorer over a real server: member lists and number forms byte
// for byte, limits, lookups, escaping, and answers sent with no lock held.
#include <mutex>
#include <string>
#include <vector>

#include "server_route_fixture.h"

namespace {

using namespace rozeve_test;
using namespace std::chrono_literals;
using ZezozuRiziv::Block;
using ZezozuRiziv::Transaction;
using ZezozuRiziv::TxType;

size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

class ExplorerTest : public SmallChainFixture {
 protected:
  void SetUp() override {
    SmallChainFixture::SetUp();
    start_server();
  }

  // The transaction objects, members and number forms written out by hand.
  std::string tx1_object() const {
    return "{\"tx_hash\":\"" + tx1.tx_hash + "\",\"type\":\"TRANSFER\",\"block_index\":1,\"block_hash\":\"" +
           b1.block_hash + "\",\"sender\":\"" + kAddrA + "\",\"recipient\":\"" + kAddrB +
           "\",\"amount_atomic\":12500000,\"amount_ruz\":12.5,\"fee_atomic\":250000,\"fee_ruz\":0.25,"
           "\"fee_treasury\":0.1,\"fee_incubator\":0.075,\"fee_validator\":0.05,\"fee_burn\":0.025,"
           "\"nonce\":0,\"timestamp\":1700000090";
  }
  std::string tx2_object() const {
    // Below the minimum fee: the shares of 1,000 units are 8, 6 and 4, the
    // burn what is left of the 1,000-unit fee. No time of its own: the block's.
    return "{\"tx_hash\":\"" + tx2.tx_hash + "\",\"type\":\"TRANSFER\",\"block_index\":1,\"block_hash\":\"" +
           b1.block_hash + "\",\"sender\":\"" + kAddrB + "\",\"recipient\":\"" + kAddrC +
           "\",\"amount_atomic\":1000,\"amount_ruz\":0.001,\"fee_atomic\":1000,\"fee_ruz\":0.001,"
           "\"fee_treasury\":8e-06,\"fee_incubator\":6e-06,\"fee_validator\":4e-06,\"fee_burn\":0.000982,"
           "\"nonce\":0,\"timestamp\":1700000100";
  }
  std::string stake_object() const {
    return "{\"tx_hash\":\"" + stake.tx_hash + "\",\"type\":\"STAKE\",\"block_index\":2,\"block_hash\":\"" +
           b2.block_hash + "\",\"sender\":\"" + kAddrA +
           "\",\"recipient\":\"\",\"amount_atomic\":1000000000,\"amount_ruz\":1000,\"fee_atomic\":0,"
           "\"fee_ruz\":0,\"fee_treasury\":8,\"fee_incubator\":6,\"fee_validator\":4,\"fee_burn\":2,"
           "\"nonce\":1,\"timestamp\":1700000195";
  }
  std::string genesis_object() const {
    const Transaction& tx = b0.transactions[0];
    return "{\"tx_hash\":\"" + tx.tx_hash + "\",\"type\":\"GENESIS\",\"block_index\":0,\"block_hash\":\"" +
           b0.block_hash + "\",\"sender\":\"GENESIS\",\"recipient\":\"" + kAddrA +
           "\",\"amount_atomic\":21000000000000,\"amount_ruz\":2.1e+07,\"fee_atomic\":0,\"fee_ruz\":0,"
           "\"fee_treasury\":168000,\"fee_incubator\":126000,\"fee_validator\":84000,\"fee_burn\":42000,"
           "\"nonce\":0,\"timestamp\":1700000000";
  }
  std::string block_object(const Block& b, int tx_count) const {
    return "{\"index\":" + std::to_string(b.index) + ",\"timestamp\":" + std::to_string(b.timestamp) +
           ",\"block_hash\":\"" + b.block_hash + "\",\"prev_hash\":\"" + b.prev_hash +
           "\",\"merkle_root\":\"" + b.merkle_root + "\",\"validator\":\"" + b.validator +
           "\",\"tx_count\":" + std::to_string(tx_count) + "}";
  }
};

TEST_F(ExplorerTest, Stats) {
  EXPECT_EQ(get("/api/explorer/stats"),
            "{\"block_height\":2,\"total_blocks\":3,\"total_txs\":4,\"total_supply\":21000000,"
            "\"total_staked\":1999,\"active_validators\":1,\"burned_atomic\":25000,\"burned_ruz\":0.025,"
            "\"treasury_atomic\":100000,\"treasury_ruz\":0.1,\"incubator_atomic\":75000,"
            "\"incubator_ruz\":0.075,\"block_time_sec\":5}");
}

TEST_F(ExplorerTest, BlocksNewestFirst) {
  const std::string expected = "[" + block_object(b2, 1) + "," + block_object(b1, 2) + "," +
                               block_object(b0, 1) + "]";
  EXPECT_EQ(get("/api/explorer/blocks"), expected);
  EXPECT_EQ(get("/api/explorer/blocks?limit=2"),
            "[" + block_object(b2, 1) + "," + block_object(b1, 2) + "]");
  EXPECT_EQ(get("/api/explorer/blocks?limit=0"), "[]");
}

TEST_F(ExplorerTest, TransactionsNewestBlockFirstLastTransactionFirst) {
  EXPECT_EQ(get("/api/explorer/txs"), "[" + stake_object() + "}," + tx2_object() + "}," +
                                          tx1_object() + "}," + genesis_object() + "}]");
  EXPECT_EQ(get("/api/explorer/txs?limit=2"), "[" + stake_object() + "}," + tx2_object() + "}]");
}

TEST_F(ExplorerTest, OneTransactionAddsSignatureAndStatus) {
  const std::string expected = tx1_object() + ",\"signature\":\"" + tx1.signature + "\",\"status\":\"success\"}";
  EXPECT_EQ(get("/api/explorer/tx?hash=" + tx1.tx_hash), expected);
  EXPECT_EQ(get("/api/explorer/tx?hash=0x" + upper(tx1.tx_hash)), expected);
  const std::string not_found = "{\"status\":\"error\",\"message\":\"Transazione non trovata\"}";
  EXPECT_EQ(get("/api/explorer/tx?hash=" + std::string(64, 'f')), not_found);
  EXPECT_EQ(get("/api/explorer/tx"), not_found);
}

TEST_F(ExplorerTest, BlockByHeightAndByHashIsTheStoredRecordText) {
  const std::string stored = b2.serialize();
  EXPECT_EQ(get("/api/explorer/block?id=2"), stored);
  EXPECT_EQ(get("/api/explorer/block?id=" + b2.block_hash), stored);
  EXPECT_EQ(get("/api/explorer/block?id=0x" + upper(b2.block_hash)), stored);
  EXPECT_EQ(get("/api/explorer/block?id=0"), b0.serialize());
  const std::string not_found = "{\"status\":\"error\",\"message\":\"Blocco non trovato\"}";
  for (const std::string id : {"3", "", "zz", "18446744073709551616"}) {
    EXPECT_EQ(get("/api/explorer/block?id=" + id), not_found) << id;
  }
}

TEST_F(ExplorerTest, AddressViewEchoesTheAddressAsGiven) {
  const std::string transactions =
      "[{\"tx_hash\":\"" + tx2.tx_hash + "\",\"type\":\"TRANSFER\",\"block_index\":1,\"sender\":\"" +
      kAddrB + "\",\"recipient\":\"" + kAddrC + "\",\"amount_ruz\":0.001,\"timestamp\":1700000100}," +
      "{\"tx_hash\":\"" + tx1.tx_hash + "\",\"type\":\"TRANSFER\",\"block_index\":1,\"sender\":\"" +
      kAddrA + "\",\"recipient\":\"" + kAddrB + "\",\"amount_ruz\":12.5,\"timestamp\":1700000090}]";
  // 999.999999 RUZ at six significant digits is 1000, yet not a validator.
  const std::string tail =
      "\",\"balance_atomic\":12249000,\"balance_ruz\":12.249,\"staked_atomic\":999999999,"
      "\"staked_ruz\":1000,\"is_validator\":false,\"nonce\":1,\"tx_count\":2,\"transactions\":" +
      transactions + "}";
  EXPECT_EQ(get(std::string("/api/explorer/address?addr=") + kAddrB),
            "{\"address\":\"" + std::string(kAddrB) + tail);
  const std::string shouted = "0X" + upper(std::string(kAddrB).substr(2));
  EXPECT_EQ(get("/api/explorer/address?addr=" + shouted), "{\"address\":\"" + shouted + tail);

  EXPECT_EQ(get("/api/explorer/address?addr=0xnobody"),
            "{\"address\":\"0xnobody\",\"balance_atomic\":0,\"balance_ruz\":0,\"staked_atomic\":0,"
            "\"staked_ruz\":0,\"is_validator\":false,\"nonce\":0,\"tx_count\":0,\"transactions\":[]}");
}

TEST_F(ExplorerTest, HostileAddressEchoIsEscaped) {
  // '"', '\', a line feed and a control byte, then what would close the object.
  EXPECT_EQ(get("/api/explorer/address?addr=%22%5C%0A%01%22%7D%2C%22x%22%3A1"),
            "{\"address\":\"\\\"\\\\\\n\\u0001\\\"},\\\"x\\\":1\",\"balance_atomic\":0,"
            "\"balance_ruz\":0,\"staked_atomic\":0,\"staked_ruz\":0,\"is_validator\":false,\"nonce\":0,"
            "\"tx_count\":0,\"transactions\":[]}");
}

TEST_F(ExplorerTest, PostReadsTheFormBody) {
  const std::string body = std::string("addr=") + kAddrB;
  const std::string post = body_of(exchange("POST /api/explorer/address HTTP/1.1\r\nContent-Length: " +
                                            std::to_string(body.size()) + "\r\n\r\n" + body));
  EXPECT_EQ(post, get(std::string("/api/explorer/address?addr=") + kAddrB));
  EXPECT_EQ(body_of(exchange("POST /api/explorer/blocks?limit=1 HTTP/1.1\r\nContent-Length: 7\r\n\r\n"
                             "limit=3")),
            "[" + block_object(b2, 1) + "]");  // the URL's parameter comes first
}

// Stored texts may hold what the record writer does not escape.
class StoredTextTest : public ServerFixture {};

TEST_F(StoredTextTest, ListsEscapeStoredFieldsTheBlockViewSendsTheRecordAsItIs) {
  const Block genesis = Block::create_genesis_block(kAddrA);
  const Transaction odd = fixture_tx(TxType::TRANSFER, "0xa\\b", kAddrB, 1'000'000, 1'000, 0, 5);
  const Block block = fixture_block(genesis, "val\\idator", {odd}, 1'700'000'500);
  write_chain({genesis, block});
  start_server();

  const std::string record = get("/api/explorer/block?id=1");
  EXPECT_EQ(record, block.serialize());
  EXPECT_NE(record.find("\"validator\":\"val\\idator\""), std::string::npos) << record;

  const std::string list = get("/api/explorer/blocks?limit=1");
  EXPECT_NE(list.find("\"validator\":\"val\\\\idator\""), std::string::npos) << list;
  EXPECT_NE(get("/api/explorer/txs?limit=1").find("\"sender\":\"0xa\\\\b\""), std::string::npos);
  EXPECT_NE(get("/api/explorer/tx?hash=" + odd.tx_hash).find("\"sender\":\"0xa\\\\b\""),
            std::string::npos);
}

// 120 blocks of one transaction each, for the limits.
class ExplorerLimitsTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    std::vector<Block> chain = {Block::create_genesis_block(kAddrA)};
    for (uint64_t i = 1; i < 120; ++i) {
      chain.push_back(fixture_block(
          chain.back(), kAddrV,
          {fixture_tx(TxType::TRANSFER, kAddrA, kAddrB, i * 1'000'000, 1'000, i - 1, 1'700'000'000 + i)},
          1'700'000'000 + i));
    }
    write_chain(chain);
    start_server();
  }
};

TEST_F(ExplorerLimitsTest, LimitsAreCappedAtOneHundred) {
  struct Case {
    std::string query;
    size_t blocks;
    size_t txs;
  };
  const std::vector<Case> cases = {
      {"", 15, 25},          {"?limit=0", 0, 0},       {"?limit=1", 1, 1},
      {"?limit=15", 15, 15}, {"?limit=100", 100, 100}, {"?limit=101", 100, 100},
      {"?limit=500", 100, 100}, {"?limit=abc", 15, 25}, {"?limit=-5", 15, 25},
      {"?limit=99999999999999999999", 15, 25},
  };
  for (const Case& c : cases) {
    const std::string blocks = get("/api/explorer/blocks" + c.query);
    const std::string txs = get("/api/explorer/txs" + c.query);
    EXPECT_EQ(count_of(blocks, "\"index\":"), c.blocks) << c.query;
    EXPECT_EQ(count_of(txs, "\"tx_hash\":"), c.txs) << c.query;
    if (c.blocks == 0) {
      EXPECT_EQ(blocks, "[]");
      EXPECT_EQ(txs, "[]");
      continue;
    }
    // Newest first: the list starts at the top and ends where the limit says.
    EXPECT_EQ(blocks.rfind("[{\"index\":119,", 0), 0u) << c.query;
    EXPECT_NE(blocks.find("{\"index\":" + std::to_string(120 - c.blocks) + ","), std::string::npos);
    EXPECT_EQ(blocks.find("{\"index\":" + std::to_string(119 - c.blocks) + ","), std::string::npos);
  }
}

// A client that does not read its answer must not keep the chain locked.
class ExplorerLockTest : public ServerFixture {};

TEST_F(ExplorerLockTest, AnswerIsSentAfterTheChainLockIsReleased) {
  // One block whose record text (about 10 MB) is far larger than the
  // socket buffers.
  const Transaction wide =
      fixture_tx(TxType::TRANSFER, kAddrA, std::string(1'000, 'b'), 1'000'000, 1'000, 0, 1'700'000'000);
  const Block genesis = Block::create_genesis_block(kAddrA);
  const Block big = fixture_block(genesis, kAddrV, std::vector<Transaction>(8'000, wide), 1'700'000'001);
  write_chain({genesis, big});
  options_.idle_timeout_ms = 8000;
  auto& server = start_server();

  Client client(port());
  ASSERT_TRUE(client.send("GET /api/explorer/block?id=1 HTTP/1.1\r\n\r\n"));
  // The answer is built (counted) before it is sent.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (server.counters.ram_cache_hits.load() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_EQ(server.counters.ram_cache_hits.load(), 1u);
  // The server is now blocked writing to a client that reads nothing; a
  // writer must still get the chain lock at once.
  bool locked = false;
  const auto lock_deadline = std::chrono::steady_clock::now() + 2s;
  while (!locked && std::chrono::steady_clock::now() < lock_deadline) {
    if (chain_lock_.try_lock()) {
      chain_lock_.unlock();
      locked = true;
    } else {
      std::this_thread::sleep_for(5ms);
    }
  }
  ASSERT_TRUE(locked);
  EXPECT_EQ(body_of(client.read_all(8000)), big.serialize());
}

}  // namespace
