// The node over a large world on disk, as players load it: for each node
// binary given (the new one, then for comparison another build, such as
// today's main), on a world of N lots, 10 per player, and one login account
// per player:
//   start-up         seconds until the HTTP port answers, and the node's
//                    resident memory then (VmRSS)
//   buys             16 clients, each buying free lots far from the rest as
//                    new players, one request per connection: buys/s, p99
//   logins           16 clients logging in to their own accounts: logins/s
//   state / map      16 clients reading /api/game/state (a player with 10
//                    lots) or /api/game/viewport (a phone's map screen),
//                    idle and while the 16 buyers write: requests/s
// Only answers with "status":"ok" (reads: any answer) count.
//   world_load <lots> <seconds> <rozeve> [<rozeve to compare>]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/world_fixture.h"
#include "platform/socket.h"

namespace {

namespace fs = std::filesystem;
using namespace rozeve_bench;
constexpr int kClients = 16;

struct Rate {
  double per_s = 0;
  double p99_ms = 0;
};

// Runs `op(client, n)` from kClients threads for `seconds`.
Rate run(double seconds, const std::function<bool(int, uint64_t)>& op) {
  std::atomic<bool> stop{false};
  std::vector<std::vector<double>> latencies(kClients);
  std::vector<std::thread> threads;
  const auto start = std::chrono::steady_clock::now();
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      for (uint64_t n = 0; !stop.load(); ++n) {
        const auto t0 = std::chrono::steady_clock::now();
        const bool ok = op(c, n);
        const auto t1 = std::chrono::steady_clock::now();
        if (ok) latencies[c].push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (std::thread& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::vector<double> all;
  for (const auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  Rate r;
  r.per_s = static_cast<double>(all.size()) / elapsed;
  if (!all.empty()) r.p99_ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  return r;
}

bool ok(const std::string& answer) { return answer.find("\"status\":\"ok\"") != std::string::npos; }

void measure(const std::string& binary, const fs::path& world, uint64_t lots, double seconds, uint16_t port) {
  const NodeRun node = start_node(binary, world, port);
  const fs::path& dir = node.dir;
  const std::string& pid = node.pid;
  const double started = node.started_s;
  std::printf("%s\n  start-up %.2f s, memory after start %.0f MB\n", binary.c_str(), started,
              static_cast<double>(node.rss_kb) / 1024.0);
  if (started < 0) return;

  const uint64_t players = lots / kLotsPerPlayer;
  const auto state = [&](int c, uint64_t n) {
    return !request(port, "/api/game/state?addr=" + player_of((c * 7919 + n) % players)).empty();
  };
  const auto map = [&](int c, uint64_t n) {
    double lat = 0, lon = 0;
    lot_of((c * 7919 + n) % players, 0, lat, lon);
    char target[200];
    std::snprintf(target, sizeof target, "/api/game/viewport?minLat=%.6f&maxLat=%.6f&minLon=%.6f&maxLon=%.6f",
                  lat - 0.002, lat + 0.002, lon - 0.003, lon + 0.003);
    return !request(port, target).empty();
  };
  const auto buy = [&](int c, uint64_t n) {
    const double lat = 30.0 + c * 0.1 + static_cast<double>(n / 1000) * 1e-3;
    const double lon = 30.0 + static_cast<double>(n % 1000) * 1e-3;
    char target[300];
    std::snprintf(target, sizeof target,
                  "/api/game/buy?addr=0xb%dn%llu&key=%.5f_%.5f&lat=%.6f&lon=%.6f&user_lat=%.6f&user_lon=%.6f", c,
                  static_cast<unsigned long long>(n) + static_cast<unsigned long long>(port) * 1'000'000ULL, lat, lon,
                  lat, lon, lat, lon);
    return ok(request(port, target));
  };
  for (int c = 0; c < kClients; ++c) {
    request(port, "/api/auth/register?username=bench" + std::to_string(c) + "&email=bench" + std::to_string(c) +
                      "%40x.it&password=segreta1");
  }
  const auto login = [&](int c, uint64_t) {
    return ok(request(port, "/api/auth/login?identifier=bench" + std::to_string(c) + "%40x.it&password=segreta1"));
  };

  const Rate state_idle = run(seconds, state);
  const Rate map_idle = run(seconds, map);
  const Rate buys = run(seconds, buy);
  const Rate logins = run(seconds, login);
  Rate state_busy, map_busy, buys_busy;
  std::thread writers([&] { buys_busy = run(2 * seconds, buy); });
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 4));
  state_busy = run(seconds / 2, state);
  map_busy = run(seconds / 2, map);
  writers.join();
  std::printf("  buys %.0f/s (p99 %.1f ms), logins %.0f/s (p99 %.1f ms)\n", buys.per_s, buys.p99_ms, logins.per_s,
              logins.p99_ms);
  std::printf("  state %.0f/s idle, %.0f/s while buying (%.0f%%); map %.0f/s idle, %.0f/s while buying (%.0f%%)\n",
              state_idle.per_s, state_busy.per_s, 100.0 * state_busy.per_s / state_idle.per_s, map_idle.per_s,
              map_busy.per_s, 100.0 * map_busy.per_s / map_idle.per_s);
  std::printf("  buys while they read %.0f/s (p99 %.1f ms)\n", buys_busy.per_s, buys_busy.p99_ms);
  std::system(("kill " + pid + " 2>/dev/null; sleep 1").c_str());
  // A world file larger than at the start was rewritten during the run.
  std::printf("  world file %.0f MB, journal %.1f MB after the run\n",
              static_cast<double>(fs::file_size(dir / "data" / "game_world.dat")) / 1e6,
              fs::exists(dir / "data" / "game_world.journal")
                  ? static_cast<double>(fs::file_size(dir / "data" / "game_world.journal")) / 1e6
                  : 0.0);
  fs::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: world_load <lots> <seconds> <rozeve> [<rozeve to compare>]\n");
    return 1;
  }
  const uint64_t lots = std::strtoull(argv[1], nullptr, 10);
  const double seconds = std::strtod(argv[2], nullptr);
  const fs::path world = fs::temp_directory_path() / ("world_load_" + std::to_string(lots) + ".dat");
  if (!fs::exists(world)) write_world(world, lots);
  std::printf("world of %llu lots, %llu players with an account each: %.0f MB\n",
              static_cast<unsigned long long>(lots), static_cast<unsigned long long>(lots / kLotsPerPlayer),
              static_cast<double>(fs::file_size(world)) / 1e6);
  for (int i = 3; i < argc; ++i) measure(argv[i], world, lots, seconds, free_port_pair());
  return 0;
}
