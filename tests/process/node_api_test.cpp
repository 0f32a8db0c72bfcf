// The JSON API of a real "rozeve node", asked as curl asks: GET and POST.
#include <regex>
#include <string>

#include "app_node_api_fixture.h"
#include "chain/state.h"
#include "server/account_keys.h"

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
}

TEST_F(NodeApiTest, FaucetStakeAndUnstake) {
  constexpr uint64_t kCoin = 1'000'000;
  const std::string wallet = "0x00000000000000000000000000000000000000aa";
  const std::string other = "0x00000000000000000000000000000000000000BB";
  const auto saved = [this] { return rozeve_test::logged_state(dir_ / "data"); };
  const auto files = [this] {
    return read_text(dir_ / "data" / "state.json") + "|" + read_text(dir_ / "data" / "blocks.dat") +
           "|" + read_text(dir_ / "data" / "credits.dat");
  };
  const uint64_t supply = saved().get_total_circulating();
  EXPECT_EQ(supply, 21'000'000 * kCoin);

  // The faucet: 5,000 at most; the same address again within a second is refused.
  EXPECT_EQ(curl_get("/api/fund?addr=" + wallet + "&amt=9999"),
            "{\"status\":\"ok\",\"message\":\"Fondi accreditati dalla Treasury\",\"address\":\"" +
                wallet + "\",\"amount\":5000}");
  EXPECT_EQ(curl_post("/api/fund", "addr=" + wallet),
            "{\"status\":\"error\",\"message\":\"Rate Limit Anti-Abuso attivo: attendi qualche secondo "
            "prima di richiedere nuovamente dal Faucet.\"}");
  EXPECT_EQ(curl_post("/api/fund", "addr=" + other),
            "{\"status\":\"ok\",\"message\":\"Fondi accreditati dalla Treasury\",\"address\":\"" +
                other + "\",\"amount\":1000}");
  EXPECT_EQ(saved().get_total_circulating(), supply + 6'000 * kCoin);

  // A stake: one block with one STAKE transaction and an empty recipient.
  EXPECT_EQ(curl_post("/api/stake", "addr=" + wallet + "&amt=1000"),
            "{\"status\":\"ok\",\"staked\":1000,\"is_validator\":true}");
  const auto lines = split_lines(read_text(dir_ / "data" / "blocks.dat"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], genesis_text_);
  const auto block = ZezozuRiziv::Block::deserialize(lines[1]);
  ASSERT_TRUE(block.has_value()) << lines[1];
  EXPECT_EQ(block->index, 1u);
  EXPECT_EQ(block->prev_hash, genesis_.block_hash);
  EXPECT_EQ(block->validator, wallet);
  ASSERT_EQ(block->transactions.size(), 1u);
  EXPECT_EQ(block->transactions[0].type, ZezozuRiziv::TxType::STAKE);
  EXPECT_EQ(block->transactions[0].sender, wallet);
  EXPECT_EQ(block->transactions[0].recipient, "");
  EXPECT_EQ(block->transactions[0].amount, 1'000 * kCoin);
  EXPECT_EQ(block->transactions[0].fee, 0u);
  EXPECT_EQ(curl_get("/api/explorer/block?id=1"), lines[1]);

  // An unstake adds no block.
  EXPECT_EQ(curl_get("/api/unstake?addr=" + wallet + "&amt=400"),
            "{\"status\":\"ok\",\"staked\":600,\"is_validator\":false}");
  EXPECT_EQ(split_lines(read_text(dir_ / "data" / "blocks.dat")).size(), 2u);
  EXPECT_EQ(curl_post("/api/info", "addr=" + wallet),
            "{\"block_height\":1,\"total_supply\":21000000,\"total_staked\":600,\"active_validators\":0,"
            "\"user_balance\":4400,\"user_stake\":600,\"is_validator\":false}");
  const ZezozuRiziv::State after = saved();
  EXPECT_EQ(after.get_balance(wallet), 4'400 * kCoin);
  EXPECT_EQ(after.get_stake(wallet), 600 * kCoin);
  EXPECT_EQ(after.get_nonce(wallet), 1u);
  EXPECT_EQ(after.get_total_circulating(), supply + 6'000 * kCoin);

  // Refusals change neither file.
  const std::string before = files();
  const std::string unusable =
      "{\"status\":\"error\",\"message\":\"" + std::string(ZezozuRiziv::kUnusableAddressMessage) + "\"}";
  const std::string stake_funds =
      "{\"status\":\"error\",\"message\":\"Saldo spendibile insufficiente per completare lo staking\"}";
  const std::string unstake_funds =
      "{\"status\":\"error\",\"message\":\"Fondi in staking insufficienti per il ritiro\"}";
  EXPECT_EQ(curl_get("/api/fund?addr=%22%7D%2C%22x"), unusable);
  EXPECT_EQ(curl_post("/api/fund", "addr=0xzerirorivi_reward_pool_vault"), unusable);
  EXPECT_EQ(curl_get("/api/fund"), kNullAnswer);
  EXPECT_EQ(curl_post("/api/stake", "addr=" + wallet + "&amt=5000"), stake_funds);
  EXPECT_EQ(curl_get("/api/stake?addr=" + wallet + "&amt=-5"), stake_funds);
  EXPECT_EQ(curl_post("/api/stake", "addr=" + wallet + "&amt=18446744073710"), stake_funds);
  EXPECT_EQ(curl_get("/api/stake?addr=" + treasury_ + "&amt=99999999999999999999"), stake_funds);
  EXPECT_EQ(curl_post("/api/stake", "addr=0xab&amt=1"), unusable);
  EXPECT_EQ(curl_get("/api/unstake?addr=" + wallet + "&amt=601"), unstake_funds);
  EXPECT_EQ(curl_post("/api/unstake", "addr=" + wallet + "&amt=-5"), unstake_funds);
  EXPECT_EQ(curl_get("/api/unstake?addr=" + wallet + "&amt=18446744073710"), unstake_funds);
  EXPECT_EQ(curl_post("/api/unstake", "addr=" + treasury_), unstake_funds);
  EXPECT_EQ(files(), before);
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
