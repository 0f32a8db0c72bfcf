// Metrics, benchmark and storage overview over a real server.
#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "server_route_fixture.h"

namespace {

using namespace rozeve_test;

class SystemRoutesTest : public SmallChainFixture {};

uint64_t number_after(const std::string& json, const std::string& key) {
  const std::string marker = "\"" + key + "\":";
  const size_t at = json.find(marker);
  if (at == std::string::npos) return UINT64_MAX;
  return std::stoull(json.substr(at + marker.size()));
}

TEST_F(SystemRoutesTest, MetricsReportTheCountersAndTheCache) {
  auto& server = start_server();
  get("/api/info");                // a JSON answer
  get("/api/nothing");             // a JSON-RPC answer
  exchange("OPTIONS / HTTP/1.1\r\n\r\n");  // a preflight: counted as a request only
  // A worker counts its connection finished just after the client has seen
  // it close: wait, bounded, for the earlier ones to leave the count.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (server.counters.active_connections.load() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const std::string metrics = get("/api/system/metrics");
  const std::string expected =
      "\\{\"status\":\"ok\",\"engine\":\"ZezozuRiziv C\\+\\+17 Ultra Engine\","
      "\"architecture\":\"Multi-Thread Worker Pool \\+ O\\(1\\) RAM Hash Index \\+ "
      "Server-Authoritative Anti-Cheat\",\"worker_threads\":4,\"active_connections\":1,"
      "\"total_requests\":4,\"rpc_calls\":1,\"ram_cache_hits\":1,\"avg_latency_us\":([0-9]+),"
      "\"blocked_ddos_requests\":0,\"ram_indexed_blocks\":3,\"ram_indexed_txs\":4,"
      "\"multiplayer_parcels\":" + std::to_string(server.game.get_total_parcels_count()) +
      ",\"multiplayer_players\":" + std::to_string(server.game.get_total_players_count()) + "\\}";
  std::smatch match;
  ASSERT_TRUE(std::regex_match(metrics, match, std::regex(expected))) << metrics;
  // The average over the four requests, the metrics request included; the
  // total may only have grown since (the metrics answer's own latency).
  const uint64_t average = std::stoull(match[1]);
  EXPECT_LE(average * 4, server.counters.total_latency_us.load());
}

TEST_F(SystemRoutesTest, BenchmarkChecksumFollowsTheFormula) {
  start_server();
  const std::string answer = get("/api/system/benchmark");
  ASSERT_TRUE(std::regex_match(
      answer, std::regex("\\{\"status\":\"ok\",\"iterations\":10000,\"crypto_hashes\":1000,"
                         "\"elapsed_us\":[0-9]+,\"elapsed_ms\":[0-9]+\\.[0-9]{2},"
                         "\"throughput_ops_sec\":[0-9]+,\"checksum\":[0-9]+\\}")))
      << answer;
  // base = 3 blocks + 6 balance entries = 9. The checksum adds, for j from 0
  // to 9,999, (j xor 0x5a5a) + base. Counted bit by bit: among 0..9,999 bit b
  // is set in ones(b) = 5000 (b = 0..3), 4992 (b = 4..7), 4880 (b = 8..10),
  // 4096 (b = 11, 12), 1808 (b = 13) and 0 (b = 14) values; xor with 0x5a5a
  // (bits 1, 3, 4, 6, 9, 11, 12, 14) leaves it set in 10000 - ones(b) of them
  // where the mask has it. So the xor terms sum to
  //   1*5000 + 2*5000 + 4*5000 + 8*5000 + 16*5008 + 32*4992 + 64*5008
  //   + 128*4992 + 256*4880 + 512*5120 + 1024*4880 + 2048*5904 + 4096*5904
  //   + 8192*1808 + 16384*10000 = 225,067,512,
  // and the bases to 10,000 x 9 = 90,000.
  EXPECT_EQ(number_after(answer, "checksum"), 225'157'512u);
  const uint64_t elapsed_us = number_after(answer, "elapsed_us");
  EXPECT_EQ(number_after(answer, "throughput_ops_sec"), 10'000'000'000ULL / std::max<uint64_t>(elapsed_us, 1));
  char elapsed_ms[64];
  std::snprintf(elapsed_ms, sizeof elapsed_ms, "\"elapsed_ms\":%.2f,", static_cast<double>(elapsed_us) / 1000.0);
  EXPECT_NE(answer.find(elapsed_ms), std::string::npos) << answer;
}

TEST_F(SystemRoutesTest, OverviewListsTablesAndTwelveSampleAccounts) {
  // Fourteen accounts in all: the overview shows the first twelve by address
  // (the incubator and the fee treasury sort after them).
  for (int i = 0; i < 8; ++i) {
    state_.balances["0x00000000000000000000000000000000000000e" + std::to_string(i)] = 123'456'789;
  }
  state_.nonces["0x00000000000000000000000000000000000000e0"] = 7;
  auto& server = start_server();
  const std::string head =
      "{\"status\":\"ok\",\"db_engine\":\"ZadiroZE v2.0 (ACID Atomic Rename + WAL Append + O(1) RAM "
      "Hash Tables)\",\"tables\":{"
      "\"blocks_table\":{\"rows\":3,\"index_type\":\"Primary Height + Hash O(1)\",\"file\":\"data/blocks.dat\"},"
      "\"transactions_table\":{\"rows\":4,\"index_type\":\"SHA256 TxHash + Address Secondary Index O(1)\","
      "\"file\":\"data/blocks.dat\"},"
      "\"accounts_table\":{\"rows\":14,\"index_type\":\"Hash Map O(1) + Atomic Snapshot\",\"file\":\"data/state.json\"},"
      "\"validators_table\":{\"rows\":2,\"index_type\":\"PoS Stake Map O(1)\",\"file\":\"data/state.json\"},"
      "\"parcels_spatial_table\":{\"rows\":" + std::to_string(server.game.get_total_parcels_count()) +
      ",\"index_type\":\"Spatial Grid Key (lat_lon 100m2) O(1)\",\"file\":\"data/game_world.dat\"},"
      "\"players_table\":{\"rows\":" + std::to_string(server.game.get_total_players_count()) +
      ",\"index_type\":\"Server-Authoritative Profile + AntiCheat Token\",\"file\":\"data/game_world.dat\"}},"
      "\"sample_accounts\":[";
  const auto account = [](const std::string& address, const char* balance, const char* staked, int nonce) {
    return "{\"address\":\"" + address + "\",\"balance_ruz\":" + balance + ",\"staked_ruz\":" + staked +
           ",\"nonce\":" + std::to_string(nonce) + "}";
  };
  const std::string e = "0x00000000000000000000000000000000000000e";
  const std::string expected =
      head + account(kAddrA, "20000000.0000", "1000.0000", 2) + "," +
      account(kAddrB, "12.2490", "1000.0000", 1) + "," + account(kAddrC, "0.0010", "0.0000", 0) + "," +
      account(e + "0", "123.4568", "0.0000", 7) + "," + account(e + "1", "123.4568", "0.0000", 0) + "," +
      account(e + "2", "123.4568", "0.0000", 0) + "," + account(e + "3", "123.4568", "0.0000", 0) + "," +
      account(e + "4", "123.4568", "0.0000", 0) + "," + account(e + "5", "123.4568", "0.0000", 0) + "," +
      account(e + "6", "123.4568", "0.0000", 0) + "," + account(e + "7", "123.4568", "0.0000", 0) + "," +
      account("0x000000000000000000000000000000000000dead", "0.0250", "0.0000", 0) + "]}";
  EXPECT_EQ(get("/api/db/overview"), expected);
}

}  // namespace
