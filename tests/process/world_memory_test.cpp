// What a start costs in memory for lines the world file's reader ignores:
// lines of an unknown tag are not kept while the file is read.
#include <filesystem>
#include <fstream>
#include <string>

#include "app_node_process.h"

namespace {

namespace fs = std::filesystem;
using rozeve_test::NodeProcess;
using rozeve_test::read_text;

class WorldMemoryTest : public rozeve_test::BinaryFixture {
 protected:
  // The peak resident memory of a node started on the data directory as it
  // is, in KiB, read once it runs; -1 when it did not start.
  long peak_kib_of_a_start() {
    uint16_t rpc = 0, p2p = 0;
    NodeProcess node(dir_, rozeve_test::local_node_args(rpc, p2p));
    if (!node.wait_for_output(rozeve_test::kNodeRunning, 60000)) {
      ADD_FAILURE() << node.output();
      return -1;
    }
    const std::string pid = read_text(dir_ / "node.pid");
    long peak = -1;
    std::ifstream status("/proc/" + pid.substr(0, pid.find('\n')) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmHWM:", 0) == 0) peak = std::stol(line.substr(6));
    }
    node.type_line();
    EXPECT_EQ(node.wait_exit(10000), 0);
    return peak;
  }
};

TEST_F(WorldMemoryTest, ShortLinesOfAnUnknownTagCostNoMoreThanTheirBytes) {
  const long plain = peak_kib_of_a_start();
  ASSERT_GT(plain, 0);
  const fs::path world = dir_ / "data" / "game_world.dat";
  const std::string before = read_text(world);
  // 16 Mi lines of two bytes: 32 MiB. Kept as one view each, they cost 256 MiB and more.
  constexpr size_t kJunkBytes = 32 << 20;
  {
    std::string junk;
    junk.reserve(kJunkBytes);
    while (junk.size() < kJunkBytes) junk += "Z\n";
    std::ofstream(world, std::ios::binary | std::ios::app) << junk;
  }
  const long with_junk = peak_kib_of_a_start();
  ASSERT_GT(with_junk, 0);
  // The file's bytes, read once, and room to spare; never a multiple of them.
  EXPECT_LT(with_junk - plain, static_cast<long>(2 * kJunkBytes / 1024))
      << "plain " << plain << " KiB, with junk " << with_junk << " KiB";
  // The lines are ignored, not lost to a rewrite of the file.
  EXPECT_EQ(read_text(world).substr(0, before.size()), before);
}

}  // namespace
