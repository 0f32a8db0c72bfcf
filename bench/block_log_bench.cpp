// The start-up read of a 100,000-block log, one transfer per block: the load
// into the cache alone, and the load followed by the check that proves the
// log (indexes, links, transaction hashes, Merkle roots, block hashes). A
// run ends with the ratio of the two; the goal is a checked load under 1 s.
//
//   block_log_bench [benchmark flags] (the log goes in the system temp
//   directory; set TMPDIR=/dev/shm to take the disk out)
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "chain_fixture.h"
#include "storage/storage.h"

namespace fs = std::filesystem;
using namespace ZezozuRiziv;

namespace {

constexpr uint64_t kBlocks = 100'000;

fs::path scratch_dir() {
  static const fs::path dir = [] {
    const fs::path path = fs::temp_directory_path() /
                          ("rozeve_block_log_bench_" + std::to_string(std::random_device{}()));
    if (!rozeve_bench::write_watched_chain(path, kBlocks)) std::cerr << "cannot write " << path << "\n";
    return path;
  }();
  return dir;
}

// One start's read of the log, from a fresh Storage (the file is in the page
// cache after the first run); freeing the cache is not timed. Only a whole,
// sound chain counts.
void load(benchmark::State& bench, bool check) {
  const std::string dir = scratch_dir().string();
  for (auto _ : bench) {
    auto storage = std::make_unique<Storage>(dir);
    const bool whole = storage->get_blocks_cached().size() == kBlocks;
    const bool sound = !check || !storage->check_block_log().has_value();
    bench.PauseTiming();
    if (!whole || !sound) {
      bench.SkipWithError("the log did not load whole and sound");
      break;
    }
    storage.reset();
    bench.ResumeTiming();
  }
  bench.counters["blocks"] = static_cast<double>(kBlocks);
}

void BM_LoadBlockLog(benchmark::State& bench) { load(bench, false); }
void BM_LoadAndCheckBlockLog(benchmark::State& bench) { load(bench, true); }
BENCHMARK(BM_LoadBlockLog)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_LoadAndCheckBlockLog)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The console report, then the checked load against the plain one.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (!run.error_occurred && run.iterations > 0) {
        per_run_ms_[run.run_name.function_name] =
            run.GetAdjustedRealTime();  // in the run's unit: ms
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const auto plain = per_run_ms_.find("BM_LoadBlockLog");
    const auto checked = per_run_ms_.find("BM_LoadAndCheckBlockLog");
    if (plain == per_run_ms_.end() || checked == per_run_ms_.end() || plain->second <= 0) return;
    std::cout << "checked load / plain load: " << checked->second / plain->second << " ("
              << checked->second << " ms against " << plain->second << " ms, goal < 1000 ms)\n";
  }

 private:
  std::map<std::string, double> per_run_ms_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(scratch_dir(), ec);
  return 0;
}
