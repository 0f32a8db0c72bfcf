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
//                    lots) or /api/game/viewport (a phone's map screen):
//                    requests/s idle, then while 16 buyers write and while
//                    16 clients log in, and those rates as a share of idle
// Only correct answers count: "status":"ok", and a read must show the
// player's first lot.
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
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "bench/world_fixture.h"
#include "platform/socket.h"

namespace {

namespace fs = std::filesystem;
using namespace rozeve_bench;
constexpr int kClients = 16;
// Idle and busy reads alternate this many times.
constexpr int kRounds = 6;

// `format` filled with the latitude and longitude of the player's first lot:
// its key is "%.5f_%.5f".
std::string first_lot_text(uint64_t p, const char* format) {
  double lat = 0, lon = 0;
  lot_of(p, 0, lat, lon);
  char text[96];
  std::snprintf(text, sizeof text, format, lat, lon);
  return text;
}

struct Rate {
  double per_s = 0;
  double p99_ms = 0;
};

// The latencies of the correct answers of one or more runs, and their time.
struct Sample {
  std::vector<double> latencies_ms;
  double seconds = 0;

  Sample& operator+=(const Sample& other) {
    latencies_ms.insert(latencies_ms.end(), other.latencies_ms.begin(), other.latencies_ms.end());
    seconds += other.seconds;
    return *this;
  }
  Rate rate() const {
    std::vector<double> all = latencies_ms;
    std::sort(all.begin(), all.end());
    Rate r;
    r.per_s = static_cast<double>(all.size()) / seconds;
    if (!all.empty()) r.p99_ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    return r;
  }
};

// Runs `op(client, n)` from kClients threads for `seconds`.
Sample run(double seconds, const std::function<bool(int, uint64_t)>& op) {
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
  Sample sample;
  sample.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (const auto& l : latencies) sample.latencies_ms.insert(sample.latencies_ms.end(), l.begin(), l.end());
  return sample;
}

bool ok(const std::string& answer) { return answer.find("\"status\":\"ok\"") != std::string::npos; }

bool holds(const std::string& answer, const std::string& part) { return answer.find(part) != std::string::npos; }

struct Reads {
  Sample state;
  Sample map;

  Reads& operator+=(const Reads& other) {
    state += other.state;
    map += other.map;
    return *this;
  }
};

void print_reads(const char* what, const Reads& busy, const Reads& idle) {
  const Rate state = busy.state.rate();
  const Rate map = busy.map.rate();
  std::printf("  %-22s state %6.0f/s (%3.0f%%, p99 %5.1f ms)   map %6.0f/s (%3.0f%%, p99 %5.1f ms)\n", what,
              state.per_s, 100.0 * state.per_s / idle.state.rate().per_s, state.p99_ms, map.per_s,
              100.0 * map.per_s / idle.map.rate().per_s, map.p99_ms);
}

void measure(const std::string& binary, const fs::path& world, uint64_t lots, double seconds, uint16_t port) {
  const NodeRun node = start_node(binary, world, port);
  const fs::path& dir = node.dir;
  const std::string& pid = node.pid;
  const double started = node.started_s;
  std::printf("%s\n  start-up %.2f s, memory after start %.0f MB\n", binary.c_str(), started,
              static_cast<double>(node.rss_kb) / 1024.0);
  if (started < 0) return;
  // Another process may have taken the port first: then what answered is
  // not this node.
  std::ifstream out(dir / "node.out");
  const std::string said((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
  if (said.find("Impossibile aprire la porta HTTP") != std::string::npos) {
    std::printf("  the port was taken: nothing measured\n");
    std::system(("kill " + pid + " 2>/dev/null").c_str());
    fs::remove_all(dir);
    return;
  }

  const uint64_t players = lots / kLotsPerPlayer;
  const auto state = [&](int c, uint64_t n) {
    const uint64_t p = (c * 7919 + n) % players;
    const std::string answer = request(port, "/api/game/state?addr=" + player_of(p));
    return ok(answer) && holds(answer, first_lot_text(p, "\"%.5f_%.5f\":{\"key\""));
  };
  const auto map = [&](int c, uint64_t n) {
    const uint64_t p = (c * 7919 + n) % players;
    double lat = 0, lon = 0;
    lot_of(p, 0, lat, lon);
    char target[200];
    std::snprintf(target, sizeof target, "/api/game/viewport?minLat=%.6f&maxLat=%.6f&minLon=%.6f&maxLon=%.6f",
                  lat - 0.002, lat + 0.002, lon - 0.003, lon + 0.003);
    const std::string answer = request(port, target);
    return ok(answer) && holds(answer, first_lot_text(p, "{\"key\":\"%.5f_%.5f\""));
  };
  // Every purchase, in every run, a new lot of a new buyer: none is refused.
  std::vector<std::atomic<uint64_t>> purchases(kClients);
  const auto buy = [&](int c, uint64_t) {
    const uint64_t n = purchases[c]++;
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

  const Rate buys = run(seconds, buy).rate();
  const Rate logins = run(seconds, login).rate();
  // Idle and busy reads alternate in short rounds, so that whatever else the
  // machine runs weighs on both alike. The busy reads run inside a longer
  // stretch of writes, so that they meet the writers at full speed.
  const double piece = seconds / kRounds;
  const auto reads = [&] { return Reads{run(piece, state), run(piece, map)}; };
  const auto reads_while = [&](const std::function<bool(int, uint64_t)>& write, Sample& writes) {
    Reads busy;
    std::thread writers([&] { writes += run(2.5 * piece, write); });
    std::this_thread::sleep_for(std::chrono::duration<double>(piece / 4));
    busy = reads();
    writers.join();
    return busy;
  };
  Reads idle, while_buying, while_logging_in;
  Sample buys_busy, logins_busy;
  for (int round = 0; round < kRounds; ++round) {
    idle += reads();
    while_buying += reads_while(buy, buys_busy);
    while_logging_in += reads_while(login, logins_busy);
  }
  std::printf("  buys %.0f/s (p99 %.1f ms), logins %.0f/s (p99 %.1f ms)\n", buys.per_s, buys.p99_ms, logins.per_s,
              logins.p99_ms);
  print_reads("reads idle", idle, idle);
  print_reads("reads while buying", while_buying, idle);
  print_reads("reads while logging in", while_logging_in, idle);
  std::printf("  meanwhile: buys %.0f/s (p99 %.1f ms), logins %.0f/s (p99 %.1f ms)\n", buys_busy.rate().per_s,
              buys_busy.rate().p99_ms, logins_busy.rate().per_s, logins_busy.rate().p99_ms);
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
  const fs::path world = world_path(lots);
  if (!fs::exists(world)) write_world(world, lots);
  std::printf("world of %llu lots, %llu players with an account each: %.0f MB\n",
              static_cast<unsigned long long>(lots), static_cast<unsigned long long>(lots / kLotsPerPlayer),
              static_cast<double>(fs::file_size(world)) / 1e6);
  for (int i = 3; i < argc; ++i) measure(argv[i], world, lots, seconds, free_port_pair());
  return 0;
}
