// Server metrics, the timing benchmark and the storage overview.
#include <algorithm>
#include <chrono>
#include <mutex>

#include "crypto/sha256.h"
#include "server/routes/route_groups.h"
#include "server/routes/route_support.h"

namespace ZezozuRiziv::routes {
namespace {

using Clock = std::chrono::steady_clock;

// The metrics average when no request has been counted (cannot happen: the
// metrics request itself is counted before it is answered).
constexpr uint64_t kAverageLatencyWithoutRequests = 12;
// Benchmark: lookup pairs of the checksum loop and hashes after it.
constexpr uint64_t kBenchmarkLookupPairs = 5000;
constexpr uint64_t kBenchmarkHashes = 1000;
constexpr uint64_t kBenchmarkIterations = 2 * kBenchmarkLookupPairs;
constexpr uint64_t kBenchmarkKeyMask = 0x5a5a;
// Throughput is this many operations scaled by the elapsed microseconds.
constexpr uint64_t kBenchmarkThroughputScale = 10'000'000'000ULL;
// Accounts listed by the storage overview, in address order.
constexpr size_t kSampleAccounts = 12;

uint64_t elapsed_us_since(Clock::time_point start) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count() / 1000);
}

RouteAnswer metrics_route(const RouteContext& context, const ApiRequest&) {
  const ServerCounters& counters = context.counters;
  const uint64_t requests = counters.total_requests.load();
  const uint64_t average =
      requests == 0 ? kAverageLatencyWithoutRequests : counters.total_latency_us.load() / requests;
  uint64_t blocks = 0;
  uint64_t txs = 0;
  {
    platform::ReadLock lock(context.chain_lock);
    blocks = context.storage.get_blocks_cached().size();
    txs = context.storage.get_total_txs_cached();
  }
  JsonWriter json;
  json.begin_object()
      .field("status", "ok")
      .field("engine", "ZezozuRiziv C++17 Ultra Engine")
      .field("architecture",
             "Multi-Thread Worker Pool + O(1) RAM Hash Index + Server-Authoritative Anti-Cheat")
      .field("worker_threads", static_cast<uint64_t>(context.worker_count))
      .field("active_connections", counters.active_connections.load())
      .field("total_requests", requests)
      .field("rpc_calls", counters.rpc_calls.load())
      .field("ram_cache_hits", counters.ram_cache_hits.load())
      .field("avg_latency_us", average)
      .field("blocked_ddos_requests", counters.blocked_ddos_requests.load())
      .field("ram_indexed_blocks", blocks)
      .field("ram_indexed_txs", txs)
      .field("multiplayer_parcels", context.game.get_total_parcels_count())
      .field("multiplayer_players", context.game.get_total_players_count())
      .end_object();
  return json.take();
}

RouteAnswer benchmark_route(const RouteContext& context, const ApiRequest&) {
  const auto start = Clock::now();
  uint64_t checksum = 0;
  {
    platform::ReadLock lock(context.chain_lock);
    const uint64_t base =
        context.storage.get_blocks_cached().size() + context.state.balances.size();
    // Unsigned arithmetic: wrapping is part of the formula.
    for (uint64_t i = 0; i < kBenchmarkLookupPairs; ++i) {
      checksum += ((2 * i) ^ kBenchmarkKeyMask) + base;
      checksum += ((2 * i + 1) ^ kBenchmarkKeyMask) + base;
    }
  }
  for (uint64_t i = 0; i < kBenchmarkHashes; ++i) {
    RozeveCrypto::SHA256::hash_string("bench_" + std::to_string(checksum + i));
  }
  const uint64_t elapsed_us = elapsed_us_since(start);
  JsonWriter json;
  json.begin_object()
      .field("status", "ok")
      .field("iterations", kBenchmarkIterations)
      .field("crypto_hashes", kBenchmarkHashes)
      .field("elapsed_us", elapsed_us)
      .key("elapsed_ms").fixed(static_cast<double>(elapsed_us) / 1000.0, 2)
      .field("throughput_ops_sec", kBenchmarkThroughputScale / std::max<uint64_t>(elapsed_us, 1))
      .field("checksum", checksum)
      .end_object();
  return json.take();
}

void write_table(JsonWriter& json, std::string_view name, uint64_t rows,
                 std::string_view index_type, std::string_view file) {
  json.key(name)
      .begin_object()
      .field("rows", rows)
      .field("index_type", index_type)
      .field("file", file)
      .end_object();
}

RouteAnswer overview_route(const RouteContext& context, const ApiRequest&) {
  JsonWriter json;
  platform::ReadLock lock(context.chain_lock);
  State& state = context.state;
  const Storage& storage = context.storage;
  json.begin_object()
      .field("status", "ok")
      .field("db_engine", "ZadiroZE v2.0 (ACID Atomic Rename + WAL Append + O(1) RAM Hash Tables)");
  json.key("tables").begin_object();
  write_table(json, "blocks_table", storage.get_blocks_cached().size(),
              "Primary Height + Hash O(1)", "data/blocks.dat");
  write_table(json, "transactions_table", storage.get_total_txs_cached(),
              "SHA256 TxHash + Address Secondary Index O(1)", "data/blocks.dat");
  write_table(json, "accounts_table", state.balances.size(), "Hash Map O(1) + Atomic Snapshot",
              "data/state.json");
  write_table(json, "validators_table", state.staked.size(), "PoS Stake Map O(1)",
              "data/state.json");
  // The game lock nests inside the chain lock, the one order allowed.
  write_table(json, "parcels_spatial_table", context.game.get_total_parcels_count(),
              "Spatial Grid Key (lat_lon 100m2) O(1)", "data/game_world.dat");
  write_table(json, "players_table", context.game.get_total_players_count(),
              "Server-Authoritative Profile + AntiCheat Token", "data/game_world.dat");
  json.end_object();
  json.key("sample_accounts").begin_array();
  size_t listed = 0;
  for (auto it = state.balances.begin(); it != state.balances.end() && listed < kSampleAccounts;
       ++it, ++listed) {
    json.begin_object()
        .field("address", it->first)
        .key("balance_ruz").fixed(coins_double(it->second), 4)
        .key("staked_ruz").fixed(coins_double(state.get_stake(it->first)), 4)
        .field("nonce", state.get_nonce(it->first))
        .end_object();
  }
  json.end_array().end_object();
  return json.take();
}

}  // namespace

void add_system_routes(Router& router) {
  router.add("/api/system/metrics", metrics_route);
  router.add("/api/system/benchmark", benchmark_route);
  router.add("/api/db/overview", overview_route);
}

}  // namespace ZezozuRiziv::routes
