// Start-up catch-up: a node whose state.json names block 0 while blocks.dat
// holds 10,000 more one-transaction peer blocks (as after a crash that lost
// every state save). One iteration is what the start does: a fresh Storage
// reads the log, the Ledger applies the 10,000 blocks by their rules, and
// the state is saved once.
//
//   catch_up_bench [benchmark flags] (the data directory goes in the system
//   temp directory; set TMPDIR=/dev/shm to take the disk out)
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "chain/accounts.h"
#include "chain/block.h"
#include "chain/state.h"
#include "chain/wallet.h"
#include "storage/ledger.h"
#include "storage/storage.h"

namespace fs = std::filesystem;
using namespace ZezozuRiziv;

namespace {

constexpr uint64_t kLoggedBlocks = 10'000;  // after the genesis block
constexpr size_t kRecipients = 4;
constexpr uint64_t kAmount = 1'000;
constexpr uint64_t kFee = 1'000;

// The bytes of state.json as the genesis start left them.
std::string state_file_text(const Storage& storage) {
  std::ifstream in(storage.state_path(), std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Fixture {
  fs::path dir;
  std::string stale_state;  // state.json naming block 0
  bool ready = false;
};

// Writes the chain once: genesis through the Ledger (as a first start), then
// the peer blocks appended as text, state.json left at block 0.
Fixture& fixture() {
  static Fixture f = [] {
    Fixture out;
    out.dir = fs::temp_directory_path() / "rozeve_catch_up_bench";
    fs::remove_all(out.dir);
    Storage storage((out.dir / "data").string());
    State state;
    const Wallet sender = Wallet::generate();
    const Wallet validator = Wallet::generate();
    CommittedBlock genesis;
    if (!Ledger(storage, state).commit_genesis(sender.address(), genesis).ok) return out;
    out.stale_state = state_file_text(storage);
    std::vector<Wallet> recipients;
    for (size_t i = 0; i < kRecipients; ++i) recipients.push_back(Wallet::generate());
    std::ofstream log(storage.blocks_path(), std::ios::binary | std::ios::app);
    std::string prev = genesis.block.block_hash;
    for (uint64_t i = 1; i <= kLoggedBlocks; ++i) {
      Block block(i, prev, validator.address(),
                  {sender.create_transfer(recipients[i % kRecipients].address(), kAmount, kFee,
                                          i - 1)},
                  0);
      block.seal(validator.private_key());
      log << block.serialize() << '\n';
      prev = block.block_hash;
    }
    out.ready = static_cast<bool>(log);
    return out;
  }();
  return f;
}

}  // namespace

static void BM_CatchUp10000Blocks(benchmark::State& st) {
  Fixture& f = fixture();
  if (!f.ready) {
    st.SkipWithError("the chain could not be written");
    return;
  }
  const std::string state_path = (f.dir / "data" / "state.json").string();
  for (auto _ : st) {
    st.PauseTiming();
    std::ofstream(state_path, std::ios::binary | std::ios::trunc) << f.stale_state;
    st.ResumeTiming();
    Storage storage((f.dir / "data").string());
    State state;
    CatchUpReport report;
    Ledger ledger(storage, state);
    if (!ledger.load_and_catch_up(report).ok || report.replayed != kLoggedBlocks ||
        !ledger.checkpoint().ok) {
      st.SkipWithError("the catch-up did not apply every block");
      return;
    }
  }
  st.counters["blocks"] = static_cast<double>(kLoggedBlocks);
}
BENCHMARK(BM_CatchUp10000Blocks)->Unit(benchmark::kMillisecond)->MinTime(2.0);

BENCHMARK_MAIN();
