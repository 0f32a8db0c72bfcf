// The JSON API of a real "rozeve node", asked as curl asks: GET and POST.
#include <regex>
#include <string>

#include "app_node_api_fixture.h"

namespace {

using rozeve_test::NodeApiTest;
using rozeve_test::read_text;
using rozeve_test::split_lines;

constexpr char kNullAnswer[] = "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":null}";

TEST_F(NodeApiTest, LedgerAndExplorerRoutesOnAFreshChain) {
  const std::string info =
      "{\"block_height\":0,\"total_supply\":21000000,\"total_staked\":0,\"active_validators\":0,"
      "\"user_balance\":20500000,\"user_stake\":0,\"is_validator\":false}";
  EXPECT_EQ(curl_get("/api/info?addr=" + treasury_), info);
  EXPECT_EQ(curl_post("/api/info", "addr=" + treasury_), info);

  EXPECT_EQ(curl_get("/api/explorer/stats"),
            "{\"block_height\":0,\"total_blocks\":1,\"total_txs\":1,\"total_supply\":21000000,"
            "\"total_staked\":0,\"active_validators\":0,\"burned_atomic\":0,\"burned_ruz\":0,"
            "\"treasury_atomic\":0,\"treasury_ruz\":0,\"incubator_atomic\":0,\"incubator_ruz\":0,"
            "\"block_time_sec\":5}");

  // The stored line, by height and by hash, GET and POST.
  EXPECT_EQ(curl_get("/api/explorer/block?id=0"), genesis_text_);
  EXPECT_EQ(curl_get("/api/explorer/block?id=" + genesis_.block_hash), genesis_text_);
  EXPECT_EQ(curl_post("/api/explorer/block", "id=" + genesis_.block_hash), genesis_text_);

  const std::string block_item = "{\"index\":0,\"timestamp\":1700000000,\"block_hash\":\"" +
                                 genesis_.block_hash + "\",\"prev_hash\":\"" + std::string(64, '0') +
                                 "\",\"merkle_root\":\"" + genesis_.merkle_root +
                                 "\",\"validator\":\"GENESIS\",\"tx_count\":1}";
  for (const std::string limit : {"", "?limit=15", "?limit=100", "?limit=500"}) {
    EXPECT_EQ(curl_get("/api/explorer/blocks" + limit), "[" + block_item + "]") << limit;
  }
  EXPECT_EQ(curl_get("/api/explorer/blocks?limit=0"), "[]");
  EXPECT_EQ(curl_post("/api/explorer/txs", "limit=0"), "[]");

  const std::string& hash = genesis_.transactions[0].tx_hash;
  const std::string genesis_tx =
      "{\"tx_hash\":\"" + hash + "\",\"type\":\"GENESIS\",\"block_index\":0,\"block_hash\":\"" +
      genesis_.block_hash + "\",\"sender\":\"GENESIS\",\"recipient\":\"" + treasury_ +
      "\",\"amount_atomic\":21000000000000,\"amount_ruz\":2.1e+07,\"fee_atomic\":0,\"fee_ruz\":0,"
      "\"fee_treasury\":168000,\"fee_incubator\":126000,\"fee_validator\":84000,\"fee_burn\":42000,"
      "\"nonce\":0,\"timestamp\":1700000000";
  EXPECT_EQ(curl_get("/api/explorer/txs"), "[" + genesis_tx + "}]");
  EXPECT_EQ(curl_get("/api/explorer/tx?hash=" + hash),
            genesis_tx + ",\"signature\":\"GENESIS_VALIDATED\",\"status\":\"success\"}");

  EXPECT_EQ(curl_post("/api/explorer/address", "addr=" + treasury_),
            "{\"address\":\"" + treasury_ +
                "\",\"balance_atomic\":20500000000000,\"balance_ruz\":2.05e+07,\"staked_atomic\":0,"
                "\"staked_ruz\":0,\"is_validator\":false,\"nonce\":0,\"tx_count\":1,\"transactions\":"
                "[{\"tx_hash\":\"" + hash + "\",\"type\":\"GENESIS\",\"block_index\":0,\"sender\":"
                "\"GENESIS\",\"recipient\":\"" + treasury_ +
                "\",\"amount_ruz\":2.1e+07,\"timestamp\":1700000000}]}");
  EXPECT_EQ(curl_get("/api/explorer/address?addr=%22%5C"),
            "{\"address\":\"\\\"\\\\\",\"balance_atomic\":0,\"balance_ruz\":0,\"staked_atomic\":0,"
            "\"staked_ruz\":0,\"is_validator\":false,\"nonce\":0,\"tx_count\":0,\"transactions\":[]}");

  // Not served here yet: answered by the JSON-RPC, nothing credited.
  EXPECT_EQ(curl_get("/api/fund?addr=0x00000000000000000000000000000000000000aa"), kNullAnswer);
  EXPECT_EQ(curl_post("/api/stake", "addr=" + treasury_ + "&amt=1000"),
            "{\"jsonrpc\":\"2.0\",\"id\":null,\"error\":{\"code\":-32700,\"message\":\"Richiesta JSON non "
            "valida\"}}");
  EXPECT_EQ(split_lines(read_text(dir_ / "data" / "blocks.dat")).size(), 1u);
}

TEST_F(NodeApiTest, SystemAndDatabaseRoutes) {
  const std::string metrics = curl_get("/api/system/metrics");
  EXPECT_TRUE(std::regex_match(
      metrics,
      std::regex("\\{\"status\":\"ok\",\"engine\":\"ZezozuRiziv C\\+\\+17 Ultra Engine\","
                 "\"architecture\":\"[^\"]+\",\"worker_threads\":[0-9]+,\"active_connections\":1,"
                 "\"total_requests\":1,\"rpc_calls\":0,\"ram_cache_hits\":0,\"avg_latency_us\":[0-9]+,"
                 "\"blocked_ddos_requests\":0,\"ram_indexed_blocks\":1,\"ram_indexed_txs\":1,"
                 "\"multiplayer_parcels\":[0-9]+,\"multiplayer_players\":[0-9]+\\}")))
      << metrics;

  // base = 1 block + 2 balances (the treasury and the reward pool) = 3:
  // 225,067,512 + 10,000 x 3.
  const std::string bench = curl_post("/api/system/benchmark", "x=1");
  EXPECT_NE(bench.find(",\"checksum\":225097512}"), std::string::npos) << bench;
  EXPECT_EQ(bench.rfind("{\"status\":\"ok\",\"iterations\":10000,\"crypto_hashes\":1000,\"elapsed_us\":", 0), 0u);

  const std::string overview = curl_get("/api/db/overview");
  EXPECT_NE(overview.find("\"blocks_table\":{\"rows\":1,"), std::string::npos) << overview;
  EXPECT_NE(overview.find("\"accounts_table\":{\"rows\":2,"), std::string::npos) << overview;
  // Address order: "0x..." sorts before "RUZ...".
  EXPECT_NE(overview.find(
                "\"sample_accounts\":[{\"address\":\"0xzerirorivi_reward_pool_vault\",\"balance_ruz\":"
                "500000.0000,\"staked_ruz\":0.0000,\"nonce\":0},{\"address\":\"" + treasury_ +
                "\",\"balance_ruz\":20500000.0000,\"staked_ruz\":0.0000,\"nonce\":0}]}"),
            std::string::npos)
      << overview;
}

}  // namespace
