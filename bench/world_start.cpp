// The node's start on a large world, against another build (such as
// today's main) in the same run: for worlds of 10k, 100k and 1M lots (10
// per player, one login account each), the seconds until the HTTP port
// answers and the node's resident memory then, as a ratio of the other
// build's. Each binary starts `runs` times per size, in turns; the fastest
// start of each is shown (the machine may be shared), with its memory.
//   world_start <rozeve> <rozeve to compare> [runs] [largest lots]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/world_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace rozeve_bench;

struct Best {
  double started_s = -1;
  double rss_mb = 0;
};

// One start of `binary` on `world`, stopped once measured.
void start_once(const std::string& binary, const fs::path& world, Best& best) {
  const NodeRun node = start_node(binary, world, free_port_pair());
  if (!node.pid.empty()) std::system(("kill " + node.pid + " 2>/dev/null; sleep 1").c_str());
  fs::remove_all(node.dir);
  if (node.started_s < 0) return;
  if (best.started_s < 0 || node.started_s < best.started_s) {
    best.started_s = node.started_s;
    best.rss_mb = static_cast<double>(node.rss_kb) / 1024.0;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: world_start <rozeve> <rozeve to compare> [runs] [largest lots]\n");
    return 1;
  }
  const int runs = argc > 3 ? std::atoi(argv[3]) : 2;
  const uint64_t largest = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1'000'000;
  std::printf("%-9s %22s %22s %16s\n", "lots", "start-up s (new/other)", "memory MB (new/other)", "ratios");
  for (uint64_t lots = 10'000; lots <= largest; lots *= 10) {
    const fs::path world = world_path(lots);
    if (!fs::exists(world)) write_world(world, lots);
    Best fresh, other;
    for (int r = 0; r < runs; ++r) {
      start_once(argv[1], world, fresh);
      start_once(argv[2], world, other);
    }
    if (fresh.started_s < 0 || other.started_s < 0) {
      std::printf("%-9llu a node did not start\n", static_cast<unsigned long long>(lots));
      continue;
    }
    std::printf("%-9llu %10.2f / %-10.2f %10.0f / %-10.0f %6.2fx %6.2fx\n", static_cast<unsigned long long>(lots),
                fresh.started_s, other.started_s, fresh.rss_mb, other.rss_mb, fresh.started_s / other.started_s,
                fresh.rss_mb / other.rss_mb);
  }
  return 0;
}
