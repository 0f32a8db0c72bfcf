// Ledger benchmarks: loading a 100,000-block chain into the storage cache,
// applying a one-transaction block, and writing a 100,000-account state.
//
// Besides the usual Google Benchmark flags, two modes give figures that a
// process running every benchmark cannot give cleanly:
//   ledger_bench --generate <dir>    writes <dir>/blocks.dat (100,000 blocks)
//   ledger_bench --load-only <path>  loads <path> (a blocks.dat, or the data
//                                    directory holding one) with a fresh
//                                    Storage, prints the file size, the peak
//                                    resident memory (VmHWM) before and after
//                                    and its ratio to the file size, and exits.
// Run them in that order for the peak memory of a load alone.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "chain/accounts.h"
#include "chain/block.h"
#include "chain/state.h"
#include "chain/transaction.h"
#include "crypto/crypto_keys.h"
#include "bench_support.h"
#include "storage/storage.h"

namespace fs = std::filesystem;
using namespace ZezozuRiziv;
using RozeveCrypto::CryptoKeys;
using RozeveCrypto::KeyPair;

namespace {

constexpr uint64_t kChainBlocks = 100'000;    // one transaction each, genesis included
constexpr size_t kAddressPool = 1'000;        // senders and recipients of the chain
constexpr uint64_t kStateAccounts = 100'000;  // accounts of the serialize/save figures
constexpr size_t kApplyBatch = 10'000;        // blocks prebuilt for apply_block
constexpr uint64_t kFee = 1'000;
constexpr uint64_t kRichBalance = 1'000'000ULL * kAtomicPerCoin;

std::vector<KeyPair> make_address_pool() {
  std::vector<KeyPair> pool;
  pool.reserve(kAddressPool);
  for (size_t i = 0; i < kAddressPool; ++i) pool.push_back(CryptoKeys::generate_keypair());
  return pool;
}

const std::vector<KeyPair>& address_pool() {
  static const std::vector<KeyPair> pool = make_address_pool();
  return pool;
}

const KeyPair& validator_key() {
  static const KeyPair key = CryptoKeys::generate_keypair();
  return key;
}

// A signed transfer of 1 RUZ between two pool addresses.
Transaction pool_transfer(size_t from, size_t to, uint64_t nonce, uint64_t timestamp) {
  const auto& pool = address_pool();
  Transaction tx(TxType::TRANSFER, pool[from].address, pool[to].address, kAtomicPerCoin, kFee,
                 nonce, timestamp);
  tx.sign(pool[from].private_key);
  return tx;
}

// Streams a chained log to disk without holding it in memory.
bool generate_chain(const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  std::ofstream out(dir / "blocks.dat", std::ios::binary | std::ios::trunc);
  if (!out) return false;
  const auto& pool = address_pool();
  Block previous = Block::create_genesis_block(pool[0].address);
  out << previous.serialize() << '\n';
  std::vector<uint64_t> nonces(pool.size(), 0);
  for (uint64_t i = 1; i < kChainBlocks; ++i) {
    const size_t from = static_cast<size_t>(i % pool.size());
    size_t to = static_cast<size_t>((i * 7 + 1) % pool.size());
    if (to == from) to = (from + 1) % pool.size();
    const uint64_t timestamp = kGenesisTimestamp + i;
    Block block(i, previous.block_hash, validator_key().address,
                {pool_transfer(from, to, nonces[from]++, timestamp)}, timestamp);
    block.seal(validator_key().private_key);
    out << block.serialize() << '\n';
    previous = std::move(block);
  }
  out.flush();
  return static_cast<bool>(out);
}

fs::path& scratch_root() {
  static fs::path root = fs::temp_directory_path() /
                         ("rozeve_ledger_bench_" + std::to_string(std::random_device{}()));
  return root;
}

// The generated chain, written once per process.
const fs::path& chain_dir() {
  static const fs::path dir = [] {
    const fs::path d = scratch_root() / "chain";
    if (!generate_chain(d)) std::cerr << "cannot write " << d << "\n";
    return d;
  }();
  return dir;
}

// A 43-character account name that spreads over the key space like a
// native address does.
std::string account_name(uint64_t i) {
  uint64_t x = i + 0x9e3779b97f4a7c15ULL;
  std::string name = "RUZ";
  while (name.size() < 43) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(x));
    name += hex;
  }
  name.resize(43);
  return name;
}

// Accounts created one by one in no key order, as a running node meets
// them: the map nodes are scattered over the heap.
State make_grown_state() {
  State s;
  for (uint64_t i = 0; i < kStateAccounts; ++i) {
    const std::string name = account_name(i);
    s.balances.emplace(name, 1'000'000 + i * 1'237);
    s.nonces.emplace(name, i % 97);
    if (i % 10 == 0) s.staked.emplace(name, kMinValidatorStake + i);
  }
  return s;
}

// range(0) 0: the grown state; 1: the same state as a node reads it back
// from "state.json" at start-up (inserted in key order).
const State& large_state(int64_t form) {
  static const State grown = make_grown_state();
  static const State reloaded = State::deserialize(grown.serialize());
  return form == 0 ? grown : reloaded;
}

void BM_LoadChain(benchmark::State& st) {
  const fs::path& dir = chain_dir();
  const uint64_t file_bytes = rozeve_bench::file_size_or_zero(dir / "blocks.dat");
  for (auto _ : st) {
    st.PauseTiming();
    auto storage = std::make_unique<Storage>(dir.string());
    st.ResumeTiming();
    storage->ensure_cache_loaded();
    benchmark::DoNotOptimize(storage->get_blocks_cached().data());
    st.PauseTiming();
    if (storage->get_blocks_cached().size() != kChainBlocks) {
      st.SkipWithError("the generated chain did not load whole");
    }
    storage.reset();
    st.ResumeTiming();
  }
  st.counters["file_bytes"] = static_cast<double>(file_bytes);
  st.counters["blocks"] = static_cast<double>(kChainBlocks);
  // Process-wide: also counts the prebuilt states and the generation;
  // --load-only gives the figure of a load alone.
  st.counters["peak_rss_over_file"] =
      file_bytes ? static_cast<double>(rozeve_bench::proc_status_bytes("VmHWM")) / static_cast<double>(file_bytes) : 0.0;
}
BENCHMARK(BM_LoadChain)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Funded pool senders, plus idle accounts up to range(0): apply_block copies
// the whole state for its rollback, so its cost grows with the state.
void BM_ApplyBlock(benchmark::State& st) {
  const uint64_t accounts = static_cast<uint64_t>(st.range(0));
  const auto& pool = address_pool();
  State base;
  for (const KeyPair& key : pool) base.balances[key.address] = kRichBalance;
  for (uint64_t i = pool.size(); i < accounts; ++i) {
    base.balances[account_name(i)] = 1;
    base.nonces[account_name(i)] = 1;
  }

  std::vector<Block> batch;
  batch.reserve(kApplyBatch);
  std::vector<uint64_t> nonces(pool.size(), 0);
  for (size_t j = 0; j < kApplyBatch; ++j) {
    const size_t from = j % pool.size();
    const size_t to = (from + 1) % pool.size();
    Block block(j + 1, "prev", validator_key().address,
                {pool_transfer(from, to, nonces[from]++, kGenesisTimestamp + j)},
                kGenesisTimestamp + j);
    block.seal(validator_key().private_key);
    batch.push_back(std::move(block));
  }

  State state = base;
  size_t next = 0;
  for (auto _ : st) {
    if (next == batch.size()) {
      // The batch is spent: start again from the funded state.
      st.PauseTiming();
      state = base;
      next = 0;
      st.ResumeTiming();
    }
    if (!state.apply_block(batch[next++], 0)) {
      st.SkipWithError("apply_block refused a prebuilt block");
      break;
    }
  }
  st.counters["accounts"] = static_cast<double>(accounts);
}
BENCHMARK(BM_ApplyBlock)->Arg(1'000)->Arg(100'000)->Unit(benchmark::kMicrosecond);

void BM_StateSerialize(benchmark::State& st) {
  const State& state = large_state(st.range(0));
  size_t bytes = 0;
  for (auto _ : st) {
    std::string text = state.serialize();
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  st.counters["accounts"] = static_cast<double>(kStateAccounts);
  st.counters["text_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_StateSerialize)->ArgName("reloaded")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Includes the fsync of the file and of its directory.
void BM_SaveState(benchmark::State& st) {
  const State& state = large_state(st.range(0));
  Storage storage((scratch_root() / "state").string());
  for (auto _ : st) {
    if (!storage.save_state(state)) {
      st.SkipWithError("save_state failed");
      break;
    }
  }
  st.counters["accounts"] = static_cast<double>(kStateAccounts);
  st.counters["file_bytes"] = static_cast<double>(rozeve_bench::file_size_or_zero(storage.state_path()));
}
BENCHMARK(BM_SaveState)->ArgName("reloaded")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

int load_only(const fs::path& path) {
  std::error_code ec;
  const fs::path dir = fs::is_directory(path, ec) ? path : path.parent_path();
  const fs::path file = dir / "blocks.dat";
  if (!fs::is_regular_file(file, ec)) {
    std::cerr << "no blocks.dat at " << path << "\n";
    return 1;
  }
  const uint64_t file_bytes = rozeve_bench::file_size_or_zero(file);
  const uint64_t before = rozeve_bench::proc_status_bytes("VmHWM");
  const auto start = std::chrono::steady_clock::now();
  Storage storage(dir.string());
  storage.ensure_cache_loaded();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const uint64_t after = rozeve_bench::proc_status_bytes("VmHWM");
  std::cout << "file_bytes " << file_bytes << "\n"
            << "blocks " << storage.get_blocks_cached().size() << "\n"
            << "load_ms " << std::chrono::duration<double, std::milli>(elapsed).count() << "\n"
            << "vm_hwm_before_bytes " << before << "\n"
            << "vm_hwm_after_bytes " << after << "\n"
            << "peak_rss_over_file " << static_cast<double>(after) / static_cast<double>(file_bytes)
            << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--load-only") == 0) return load_only(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "--generate") == 0) {
    if (!generate_chain(argv[2])) return 1;
    std::cout << "wrote " << (fs::path(argv[2]) / "blocks.dat").string() << "\n";
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // Built before the chain load churns the heap, so that the reloaded state
  // keeps the compact layout it has in a node that has just started.
  large_state(0);
  large_state(1);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(scratch_root(), ec);
  return 0;
}
