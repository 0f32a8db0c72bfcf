// The world the node benchmarks load: N lots, 10 per player, and one login
// account per player, written as game_world.dat lines in the order the node
// writes them; and the few HTTP and /proc helpers they share.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "bench/bench_support.h"
#include "platform/socket.h"

namespace rozeve_bench {

inline constexpr int kLotsPerPlayer = 10;

inline std::string player_of(uint64_t p) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "0x%040llx", static_cast<unsigned long long>(p + 1));
  return buffer;
}

// Lots of a player: a row of cells 50 m apart somewhere in northern Italy.
inline void lot_of(uint64_t p, int j, double& lat, double& lon) {
  lat = 44.0 + static_cast<double>(p / 1000) * 1e-3;
  lon = 9.0 + static_cast<double>(p % 1000) * 1e-2 + j * 6e-4;
}

// Records in the order the node writes them: its maps' hash order, which
// scatters a player's lots over the whole file. A stride through the
// records (prime, so it reaches each once) stands for it.
inline constexpr uint64_t kRecordStride = 7919;

inline uint64_t scattered(uint64_t i, uint64_t count) { return i * kRecordStride % count; }

// The file the benchmarks share for a world of `lots` lots.
inline std::filesystem::path world_path(uint64_t lots) {
  return std::filesystem::temp_directory_path() / ("world_scattered_" + std::to_string(lots) + ".dat");
}

inline void write_world(const std::filesystem::path& file, uint64_t lots) {
  std::ofstream out(file, std::ios::binary);
  // A quiz and a community, so that nothing is seeded at start.
  out << "QC|Fotovoltaico\nQQ|q1|0xa|A|Fotovoltaico|Quanto rende un pannello?|a|b|c|d|0|0|0|0|1\n"
         "CER|cer1|Nome|TAG|Descrizione|e|0xa|1|0|0.000000\n";
  const uint64_t players = lots / kLotsPerPlayer;
  char line[512];
  for (uint64_t i = 0; i < players; ++i) {
    const uint64_t p = scattered(i, players);
    std::snprintf(line, sizeof line, "U|usr_%llu|p%llu|p%llu@x.it|%064llu|%016llu|||%s||1|1\n",
                  static_cast<unsigned long long>(p), static_cast<unsigned long long>(p),
                  static_cast<unsigned long long>(p), static_cast<unsigned long long>(p),
                  static_cast<unsigned long long>(p), player_of(p).c_str());
    out << line;
  }
  for (uint64_t i = 0; i < players; ++i) {
    std::snprintf(line, sizeof line, "P|%s|1000|25.000000|5.000000|1718964000000|0\n",
                  player_of(scattered(i, players)).c_str());
    out << line;
  }
  for (uint64_t i = 0; i < lots; ++i) {
    const uint64_t lot = scattered(i, lots);
    const uint64_t p = lot / kLotsPerPlayer;
    double lat = 0, lon = 0;
    lot_of(p, static_cast<int>(lot % kLotsPerPlayer), lat, lon);
    std::snprintf(line, sizeof line,
                  "L|%.5f_%.5f|%.6f|%.6f|%s|solar|1|6.000000|0.000000|Impianto|0|WC|0.000000|0.000000|"
                  "0.000000||0|1|||||web\n",
                  lat, lon, lat, lon, player_of(p).c_str());
    out << line;
  }
}

// A port no one listens on now (the system's choice), with the one above
// it for the peer port; 0 when none could be had.
inline uint16_t free_port_pair() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    std::string error;
    const platform::SocketHandle s = platform::listen_tcp("127.0.0.1", 0, error);
    if (s == platform::kInvalidSocket) return 0;
    const uint16_t port = platform::local_port(s);
    platform::close_socket(s);
    const platform::SocketHandle next = platform::listen_tcp("127.0.0.1", port + 1, error);
    if (next == platform::kInvalidSocket) continue;
    platform::close_socket(next);
    return port;
  }
  return 0;
}

// The resident memory of process `pid`, in kB; 0 when unknown.
inline uint64_t rss_kb(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

inline constexpr int kStartTimeoutS = 120;

// A node started on a copy of a world file.
struct NodeRun {
  std::filesystem::path dir;  // its working directory, "data" inside
  std::string pid;
  double started_s = -1;  // seconds until the HTTP port answered; -1: never
  uint64_t rss_kb = 0;    // resident memory then
};

// Starts `binary` as a daemon node in a fresh directory holding a copy of
// `world`, on `port` (HTTP) and `port` + 1 (peers), and waits until the
// HTTP port answers or kStartTimeoutS pass.
inline NodeRun start_node(const std::string& binary, const std::filesystem::path& world, uint16_t port) {
  namespace fs = std::filesystem;
  NodeRun node;
  node.dir = fs::temp_directory_path() / ("world_load_" + std::to_string(port));
  fs::remove_all(node.dir);
  fs::create_directories(node.dir / "data");
  fs::copy_file(world, node.dir / "data" / "game_world.dat");
  const auto t0 = std::chrono::steady_clock::now();
  const std::string command = "cd '" + node.dir.string() + "' && ('" + binary +
                              "' node --daemon --bind 127.0.0.1 --rpc-port " + std::to_string(port) +
                              " --p2p-port " + std::to_string(port + 1) +
                              " > node.out 2>&1 < /dev/null & echo $! > node.pid)";
  if (std::system(command.c_str()) != 0) return node;
  while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(kStartTimeoutS)) {
    if (!request(port, "/api/info").empty()) {
      node.started_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::ifstream(node.dir / "node.pid") >> node.pid;
  node.rss_kb = rss_kb(node.pid);
  return node;
}

}  // namespace rozeve_bench
