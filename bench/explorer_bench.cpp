// The explorer's address view for an address with 10,000 transactions, as
// the chain grows from 10,000 to 300,000 blocks, and the /api/info and block
// list reads on 100,000 blocks: time per answer, parsed, routed and built as
// a worker does it (the HTTP cost, measured by bench/http_load.sh, comes on
// top), and the answer's size.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <shared_mutex>
#include <string>

#include "chain/chain_lock.h"
#include "chain/mempool.h"
#include "chain/state.h"
#include "chain_fixture.h"
#include "game/engine/game_engine.h"
#include "server/router.h"
#include "storage/storage.h"

namespace fs = std::filesystem;
using namespace ZezozuRiziv;

namespace {

// A server's worth of ledger around one loaded chain.
struct LoadedChain {
  explicit LoadedChain(const fs::path& dir) : storage(dir.string()), game((dir / "game").string()) {
    rozeve_bench::fund_watched_account(state);
    storage.ensure_cache_loaded();
  }
  RouteContext context() {
    return RouteContext{state, storage, chain_lock, mempool, game, faucet, validator, counters, 1,
                        *system_game_clock()};
  }
  State state;
  Mempool mempool;
  Storage storage;
  ChainLock chain_lock;
  GameEngine game;
  FaucetRateMap faucet;
  std::string validator;
  ServerCounters counters;
};

fs::path scratch_root() {
  static const fs::path root =
      fs::temp_directory_path() / ("rozeve_explorer_bench_" + std::to_string(std::random_device{}()));
  return root;
}

// One loaded chain per size, kept for the run.
LoadedChain& chain_of(uint64_t blocks) {
  static std::map<uint64_t, std::unique_ptr<LoadedChain>> chains;
  auto& chain = chains[blocks];
  if (!chain) {
    const fs::path dir = scratch_root() / std::to_string(blocks);
    if (!rozeve_bench::write_watched_chain(dir, blocks)) std::cerr << "cannot write " << dir << "\n";
    chain = std::make_unique<LoadedChain>(dir);
  }
  return *chain;
}

// One request's route work, as a worker does it: parse, route, build.
void run_route(benchmark::State& bench, uint64_t blocks, const std::string& target) {
  LoadedChain& chain = chain_of(blocks);
  const Router router = Router::api();
  const RouteContext context = chain.context();
  const std::string raw = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  size_t bytes = 0;
  for (auto _ : bench) {
    const auto request = ApiRequest::parse(raw);
    const RouteAnswer answer = router.route(context, *request);
    bytes = answer ? answer->size() : 0;
    benchmark::DoNotOptimize(bytes);
  }
  bench.counters["chain_blocks"] = static_cast<double>(chain.storage.get_blocks_cached().size());
  bench.counters["answer_bytes"] = static_cast<double>(bytes);
}

void BM_ExplorerAddress(benchmark::State& bench) {
  run_route(bench, static_cast<uint64_t>(bench.range(0)),
            std::string("/api/explorer/address?addr=") + rozeve_bench::kWatchedAddress);
  bench.counters["address_txs"] = static_cast<double>(
      chain_of(bench.range(0)).storage.get_address_txs(rozeve_bench::kWatchedAddress, UINT64_MAX).size());
}
BENCHMARK(BM_ExplorerAddress)
    ->ArgName("blocks")
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(300'000)
    ->Unit(benchmark::kMicrosecond);

// The two reads that bench/http_load.sh compares with the static page.
void BM_Info(benchmark::State& bench) {
  run_route(bench, 100'000, std::string("/api/info?addr=") + rozeve_bench::kWatchedAddress);
}
BENCHMARK(BM_Info)->Unit(benchmark::kMicrosecond);

void BM_ExplorerBlocks(benchmark::State& bench) {
  run_route(bench, 100'000, "/api/explorer/blocks?limit=15");
}
BENCHMARK(BM_ExplorerBlocks)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(scratch_root(), ec);
  return 0;
}
