// What a community member's change costs: the bytes one buy and one join
// append to the world's journal for a member of a community of 10, 1,000
// and 10,000 members beside a player in no community, and the buys per
// second of 16 members of one 10,000-member community beside 16 players in
// none; for each binary given, measured in the same run.
//
//   community_load <seconds> <rozeve> [<other rozeve>]
//
// Only answers that report the buy or the join count.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/world_fixture.h"

namespace fs = std::filesystem;
using namespace rozeve_bench;

namespace {

constexpr uint64_t kLone = 10'000;  // players in no community
const std::vector<uint64_t> kSizes = {10, 1'000, 10'000};
constexpr uint64_t kJoiners = 200;  // players in no community who join one
constexpr int kOps = 20;            // buys or joins per byte count
constexpr int kClients = 16;
constexpr uint64_t kCoins = 1'000'000;

// Players: the lone ones first, then each community's members, then the
// joiners.
uint64_t lone_player(uint64_t i) { return i; }
uint64_t member(size_t community, uint64_t i) {
  uint64_t base = kLone;
  for (size_t c = 0; c < community; ++c) base += kSizes[c];
  return base + i;
}
uint64_t joiner(uint64_t i) {
  uint64_t base = kLone;
  for (uint64_t s : kSizes) base += s;
  return base + i;
}
std::string community_id(size_t c) { return "cer_n" + std::to_string(kSizes[c]); }

// A player and its one lot, whose hydrogen plant makes 6 kW day and night:
// every buy first credits what it made since the last one, to the player
// and to its community.
void write_player(std::ofstream& out, uint64_t p, const std::string& cer_id, const char* role) {
  char line[512];
  double lat = 0, lon = 0;
  lot_of(p, 0, lat, lon);
  std::snprintf(line, sizeof line,
                "L|%.5f_%.5f|%.6f|%.6f|%s|hydrogen|1|6.000000|0.000000|Impianto|0|WC|0.000000|0.000000|"
                "0.000000||0|1|||||web\n",
                lat, lon, lat, lon, player_of(p).c_str());
  out << line;
  std::snprintf(line, sizeof line,
                "P|%s|%llu|25.000000|5.000000|1718964000000|0|0.000000|0.000000|0.000000|0.000000|0.000000|"
                "0.000000|25.000000|0.000000|0.000000|0.000000|0.000000|0|0|%s|%s|0|||||0.000000|0|0\n",
                player_of(p).c_str(), static_cast<unsigned long long>(kCoins), cer_id.c_str(), role);
  out << line;
}

void write_world(const fs::path& file) {
  std::ofstream out(file, std::ios::binary);
  out << "QC|Fotovoltaico\nQQ|q1|0xa|A|Fotovoltaico|Quanto rende un pannello?|a|b|c|d|0|0|0|0|1\n";
  for (uint64_t i = 0; i < kLone; ++i) write_player(out, lone_player(i), "", "member");
  for (uint64_t i = 0; i < kJoiners; ++i) write_player(out, joiner(i), "", "member");
  for (size_t c = 0; c < kSizes.size(); ++c) {
    const std::string id = community_id(c);
    for (uint64_t i = 0; i < kSizes[c]; ++i) write_player(out, member(c, i), id, i == 0 ? "admin" : "member");
    char line[512];
    std::snprintf(line, sizeof line, "CER|%s|Comunita %llu|N%llu|Descrizione|e|%s|1|0|%.6f\n", id.c_str(),
                  static_cast<unsigned long long>(kSizes[c]), static_cast<unsigned long long>(c),
                  player_of(member(c, 0)).c_str(), 25.0 * static_cast<double>(kSizes[c]));
    out << line;
    for (uint64_t i = 0; i < kSizes[c]; ++i) {
      out << "CERM|" << id << "|" << player_of(member(c, i)) << "|" << (i == 0 ? "admin" : "member")
          << "|1|0|25.000000\n";
    }
    // A full board, as a lively community has.
    for (int m = 0; m < 50; ++m) {
      out << "CERMSG|" << id << "|msg_" << m << "|" << player_of(member(c, 0)) << "|Membro|Ciao a tutti|x|1\n";
    }
  }
}

std::atomic<uint64_t> g_lot{0};

// One buy of a new lot by player `p`; true when the answer reports it.
bool buy(uint16_t port, uint64_t p) {
  const uint64_t n = g_lot++;
  const double lat = 30.0 + static_cast<double>(n / 1000) * 1e-3;
  const double lon = 30.0 + static_cast<double>(n % 1000) * 1e-3;
  char target[256];
  std::snprintf(target, sizeof target, "/api/game/buy?addr=%s&key=%.5f_%.5f&lat=%.6f&lon=%.6f", player_of(p).c_str(),
                lat, lon, lat, lon);
  const std::string answer = request(port, target);
  const bool ok = answer.find("\"status\":\"ok\"") != std::string::npos && answer.find("\"coins\":") != std::string::npos;
  return ok;
}

bool join(uint16_t port, uint64_t p, const std::string& id) {
  const std::string answer = request(port, "/api/cer/join?addr=" + player_of(p) + "&id=" + id);
  return answer.find("\"status\":\"ok\"") != std::string::npos && answer.find("\"cer_id\":\"" + id) != std::string::npos;
}

uint64_t journal_bytes(const NodeRun& node) {
  return file_size_or_zero(node.dir / "data" / "game_world.journal") +
         file_size_or_zero(node.dir / "data" / "game_world.journal.old");
}

void stop(const NodeRun& node) {
  std::system(("kill " + node.pid + " 2>/dev/null; while kill -0 " + node.pid + " 2>/dev/null; do sleep 0.05; done")
                  .c_str());
  fs::remove_all(node.dir);
}

// Bytes per change of `ops` changes made one after another on a fresh node.
template <typename Op>
double bytes_per(const std::string& binary, const fs::path& world, uint16_t port, Op op) {
  const NodeRun node = start_node(binary, world, port);
  if (node.started_s < 0) return -1;
  const uint64_t before = journal_bytes(node);
  int done = 0;
  for (int i = 0; i < kOps; ++i) done += op(port, i) ? 1 : 0;
  const uint64_t after = journal_bytes(node);
  stop(node);
  return done == kOps ? static_cast<double>(after - before) / kOps : -1;
}

// Buys per second by 16 clients, each buying with the players `pick` gives.
template <typename Pick>
double buys_per_second(uint16_t port, double seconds, Pick pick) {
  std::atomic<uint64_t> ok{0};
  std::atomic<bool> stopping{false};
  std::vector<std::thread> clients;
  const auto t0 = std::chrono::steady_clock::now();
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      for (uint64_t k = 0; !stopping.load(); ++k) {
        if (buy(port, pick(static_cast<uint64_t>(c) + kClients * k))) ++ok;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stopping = true;
  for (std::thread& t : clients) t.join();
  return static_cast<double>(ok.load()) /
         std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void measure(const std::string& binary, const fs::path& world, double seconds) {
  const uint16_t port = free_port_pair();
  std::printf("\n%s\n", binary.c_str());
  const double lone = bytes_per(binary, world, port, [](uint16_t p, int i) { return buy(p, lone_player(i)); });
  std::printf("  bytes per buy, no community:          %8.0f\n", lone);
  for (size_t c = 0; c < kSizes.size(); ++c) {
    const double b = bytes_per(binary, world, port, [c](uint16_t p, int i) { return buy(p, member(c, 1 + i)); });
    std::printf("  bytes per buy, community of %6llu:   %8.0f   (%.2f of no community)\n",
                static_cast<unsigned long long>(kSizes[c]), b, b / lone);
  }
  for (size_t c = 0; c < kSizes.size(); ++c) {
    const std::string id = community_id(c);
    const double b = bytes_per(binary, world, port, [&](uint16_t p, int i) { return join(p, joiner(c * kOps + i), id); });
    std::printf("  bytes per join, community of %6llu:  %8.0f\n", static_cast<unsigned long long>(kSizes[c]), b);
  }
  const NodeRun node = start_node(binary, world, port);
  if (node.started_s < 0) {
    std::printf("  the node did not start\n");
    return;
  }
  // Alternating rounds, so that the machine's drift falls on both.
  double none = 0, members = 0;
  for (int round = 0; round < 2; ++round) {
    none += buys_per_second(port, seconds, [](uint64_t k) { return lone_player(k % kLone); });
    members += buys_per_second(port, seconds, [](uint64_t k) { return member(2, k % kSizes[2]); });
  }
  stop(node);
  std::printf("  buys/s, 16 players in no community:   %8.0f\n", none / 2);
  std::printf("  buys/s, 16 members of 10,000:         %8.0f   (%.2f of no community)\n", members / 2,
              members / none);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "uso: %s <secondi> <rozeve> [<altro rozeve>]\n", argv[0]);
    return 2;
  }
  const double seconds = std::atof(argv[1]);
  const fs::path world = fs::temp_directory_path() / "world_communities.dat";
  write_world(world);
  for (int i = 2; i < argc; ++i) measure(argv[i], world, seconds);
  fs::remove(world);
  return 0;
}
