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

#include "platform/socket.h"

namespace {

namespace fs = std::filesystem;
constexpr int kClients = 16;
constexpr int kLotsPerPlayer = 10;
constexpr int kIoTimeoutMs = 30'000;
constexpr int kStartTimeoutS = 120;
// Idle and busy reads alternate this many times.
constexpr int kRounds = 6;

std::string request(uint16_t port, const std::string& target) {
  const platform::SocketHandle s = platform::connect_tcp("127.0.0.1", port, kIoTimeoutMs);
  if (s == platform::kInvalidSocket) return "";
  std::string answer;
  if (platform::send_all(s, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", kIoTimeoutMs)) {
    char buffer[16384];
    while (true) {
      const long n = platform::receive(s, buffer, sizeof buffer, kIoTimeoutMs);
      if (n <= 0) break;
      answer.append(buffer, static_cast<size_t>(n));
    }
  }
  platform::close_socket(s);
  const size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? "" : answer.substr(end + 4);
}

std::string player_of(uint64_t p) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "0x%040llx", static_cast<unsigned long long>(p + 1));
  return buffer;
}

// Lots of a player: a row of cells 50 m apart somewhere in northern Italy.
void lot_of(uint64_t p, int j, double& lat, double& lon) {
  lat = 44.0 + static_cast<double>(p / 1000) * 1e-3;
  lon = 9.0 + static_cast<double>(p % 1000) * 1e-2 + j * 6e-4;
}

// `format` filled with the latitude and longitude of the player's first lot:
// its key is "%.5f_%.5f".
std::string first_lot_text(uint64_t p, const char* format) {
  double lat = 0, lon = 0;
  lot_of(p, 0, lat, lon);
  char text[96];
  std::snprintf(text, sizeof text, format, lat, lon);
  return text;
}

void write_world(const fs::path& file, uint64_t lots) {
  std::ofstream out(file, std::ios::binary);
  // A quiz and a community, so that nothing is seeded at start.
  out << "QC|Fotovoltaico\nQQ|q1|0xa|A|Fotovoltaico|Quanto rende un pannello?|a|b|c|d|0|0|0|0|1\n"
         "CER|cer1|Nome|TAG|Descrizione|e|0xa|1|0|0.000000\n";
  const uint64_t players = lots / kLotsPerPlayer;
  char line[512];
  for (uint64_t p = 0; p < players; ++p) {
    std::snprintf(line, sizeof line, "U|usr_%llu|p%llu|p%llu@x.it|%064llu|%016llu|||%s||1|1\n",
                  static_cast<unsigned long long>(p), static_cast<unsigned long long>(p),
                  static_cast<unsigned long long>(p), static_cast<unsigned long long>(p),
                  static_cast<unsigned long long>(p), player_of(p).c_str());
    out << line;
  }
  for (uint64_t p = 0; p < players; ++p) {
    std::snprintf(line, sizeof line, "P|%s|1000|25.000000|5.000000|1718964000000|0\n", player_of(p).c_str());
    out << line;
  }
  for (uint64_t p = 0; p < players; ++p) {
    for (int j = 0; j < kLotsPerPlayer; ++j) {
      double lat = 0, lon = 0;
      lot_of(p, j, lat, lon);
      std::snprintf(line, sizeof line,
                    "L|%.5f_%.5f|%.6f|%.6f|%s|solar|1|6.000000|0.000000|Impianto|0|WC|0.000000|0.000000|"
                    "0.000000||0|1|||||web\n",
                    lat, lon, lat, lon, player_of(p).c_str());
      out << line;
    }
  }
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

// A port no one listens on now (the system's choice).
uint16_t free_port() {
  std::string error;
  const platform::SocketHandle s = platform::listen_tcp("127.0.0.1", 0, error);
  const uint16_t port = s == platform::kInvalidSocket ? 0 : platform::local_port(s);
  platform::close_socket(s);
  return port;
}

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

uint64_t rss_kb(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

void measure(const std::string& binary, const fs::path& world, uint64_t lots, double seconds) {
  const uint16_t port = free_port();
  const uint16_t p2p_port = free_port();
  const fs::path dir = fs::temp_directory_path() / ("world_load_" + std::to_string(port));
  fs::remove_all(dir);
  fs::create_directories(dir / "data");
  fs::copy_file(world, dir / "data" / "game_world.dat");
  const auto t0 = std::chrono::steady_clock::now();
  const std::string command = "cd '" + dir.string() + "' && ('" + binary + "' node --daemon --bind 127.0.0.1 --rpc-port " +
                              std::to_string(port) + " --p2p-port " + std::to_string(p2p_port) +
                              " > node.out 2>&1 < /dev/null & echo $! > node.pid)";
  if (std::system(command.c_str()) != 0) return;
  double started = -1;
  while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(kStartTimeoutS)) {
    if (!request(port, "/api/info").empty()) {
      started = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::string pid;
  std::ifstream(dir / "node.pid") >> pid;
  std::printf("%s\n  start-up %.2f s, memory after start %.0f MB\n", binary.c_str(), started,
              static_cast<double>(rss_kb(pid)) / 1024.0);
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
  const fs::path world = fs::temp_directory_path() / ("world_load_" + std::to_string(lots) + ".dat");
  if (!fs::exists(world)) write_world(world, lots);
  std::printf("world of %llu lots, %llu players with an account each: %.0f MB\n",
              static_cast<unsigned long long>(lots), static_cast<unsigned long long>(lots / kLotsPerPlayer),
              static_cast<double>(fs::file_size(world)) / 1e6);
  for (int i = 3; i < argc; ++i) measure(argv[i], world, lots, seconds);
  return 0;
}
