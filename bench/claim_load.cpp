// Claims per second through "/api/game/claim-ruz": the node's HTTP server in
// this process on 127.0.0.1, a fresh chain (block 0 and a funded reward
// pool) and 64 players holding plenty of Zava Vovaz; 64 clients, one per
// player, each claiming 1 RUZ per request on a new connection as fast as
// the answers come. Every claim appends a block and rewrites state.json and
// game_world.dat before it is answered. Only answers with "status":"ok"
// count; the chain's length is checked against them at the end.
//   claim_load [seconds] [clients]
// Runs once with the data directory on disk (the temporary directory) and
// once on /dev/shm.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "chain/chain_lock.h"
#include "chain/mempool.h"
#include "chain/state.h"
#include "platform/socket.h"
#include "server/rpc_server.h"
#include "storage/ledger.h"
#include "storage/storage.h"

namespace {

constexpr uint64_t kChainId = 202677;
// Enough Zava Vovaz that no player runs out during a run.
constexpr uint64_t kPlayerCoins = 1'000'000'000'000;
constexpr char kTreasury[] = "0x7e00000000000000000000000000000000000001";

std::string player(int client) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "0xbe0c%036d", client);
  return buffer;
}

struct RunResult {
  uint64_t ok = 0;
  uint64_t failed = 0;
  double seconds = 0;
  std::vector<double> latencies_ms;  // successful claims only
  uint64_t blocks = 0;
  std::string first_error;
};

RunResult run(const std::filesystem::path& dir, int seconds, int clients) {
  using namespace ZezozuRiziv;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  // The players, as a world file of "P" lines; the world is seeded around them.
  {
    std::ofstream world(dir / "game_world.dat", std::ios::binary);
    for (int c = 0; c < clients; ++c) {
      world << "P|" << player(c) << "|" << kPlayerCoins << "|25.000000|5.000000|0|0\n";
    }
  }
  Storage storage(dir.string());
  State state;
  ChainLock chain_lock;
  Mempool mempool;
  {
    CommittedBlock genesis;
    std::unique_lock lock(chain_lock);
    if (!Ledger(storage, state).commit_genesis(kTreasury, genesis).ok) {
      std::fprintf(stderr, "genesis non scritto in %s\n", dir.c_str());
      std::exit(1);
    }
  }
  ServerOptions options;
  options.bind_address = "127.0.0.1";
  options.dapp_dir = (dir / "dapp").string();
  RPCServer server(state, mempool, storage, chain_lock, 0, kChainId, options);
  if (!server.start()) std::exit(1);
  const uint16_t port = server.bound_port();

  RunResult result;
  std::atomic<uint64_t> ok{0}, failed{0};
  std::vector<std::vector<double>> latencies(static_cast<size_t>(clients));
  std::vector<std::string> errors(static_cast<size_t>(clients));
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      const std::string target = "/api/game/claim-ruz?addr=" + player(c) + "&source=WC&amount=1";
      while (std::chrono::steady_clock::now() < deadline) {
        const auto sent = std::chrono::steady_clock::now();
        const std::string body = rozeve_bench::request(port, target);
        if (body.rfind("{\"status\":\"ok\"", 0) == 0) {
          ok.fetch_add(1);
          latencies[static_cast<size_t>(c)].push_back(
              std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count());
        } else {
          failed.fetch_add(1);
          if (errors[static_cast<size_t>(c)].empty()) errors[static_cast<size_t>(c)] = body.empty() ? "<no answer>" : body;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  server.stop();

  result.ok = ok.load();
  result.failed = failed.load();
  for (auto& l : latencies) result.latencies_ms.insert(result.latencies_ms.end(), l.begin(), l.end());
  std::sort(result.latencies_ms.begin(), result.latencies_ms.end());
  for (const std::string& e : errors) {
    if (!e.empty()) {
      result.first_error = e;
      break;
    }
  }
  std::unique_lock lock(chain_lock);
  result.blocks = storage.get_blocks_cached().size();
  return result;
}

double percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  const size_t i = std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size())));
  return sorted[i];
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  const int clients = argc > 2 ? std::max(1, std::atoi(argv[2])) : 64;
  platform::startup_sockets();
  platform::raise_descriptor_limit();
  std::printf("%-9s %8s %7s %7s %9s %9s %9s %8s\n", "data dir", "claims", "failed", "s", "claims/s", "p50 ms",
              "p99 ms", "blocks");
  bool consistent = true;
  struct Place {
    const char* name;
    std::filesystem::path dir;
  };
  for (const Place& place : {Place{"disk", std::filesystem::temp_directory_path() / "rozeve_claim_load"},
                             Place{"/dev/shm", std::filesystem::path("/dev/shm") / "rozeve_claim_load"}}) {
    if (!std::filesystem::is_directory(place.dir.parent_path())) continue;
    const RunResult r = run(place.dir, seconds, clients);
    std::printf("%-9s %8llu %7llu %7.2f %9.1f %9.2f %9.2f %8llu\n", place.name,
                static_cast<unsigned long long>(r.ok), static_cast<unsigned long long>(r.failed), r.seconds,
                static_cast<double>(r.ok) / r.seconds, percentile(r.latencies_ms, 0.5),
                percentile(r.latencies_ms, 0.99), static_cast<unsigned long long>(r.blocks));
    if (!r.first_error.empty()) std::printf("  first refusal: %s\n", r.first_error.c_str());
    // Block 0 and one block per acknowledged claim, nothing else.
    if (r.blocks != r.ok + 1) {
      std::printf("  the chain holds %llu blocks for %llu claims\n", static_cast<unsigned long long>(r.blocks),
                  static_cast<unsigned long long>(r.ok));
      consistent = false;
    }
    std::filesystem::remove_all(place.dir);
  }
  return consistent ? 0 : 1;
}
