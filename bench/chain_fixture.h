// A chain for the explorer benchmarks: one transfer per block, and one
// watched address touched by 10,000 of them, spread evenly over the chain.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "chain/block.h"
#include "chain/state.h"
#include "chain/transaction.h"

namespace rozeve_bench {

// Transactions that touch the watched address, whatever the chain's length
// (at least this many blocks).
inline constexpr uint64_t kWatchedTxs = 10'000;
inline constexpr char kWatchedAddress[] = "0x00000000000000000000000000000000000000cc";
inline constexpr uint64_t kOtherAccounts = 1'000;

inline std::string other_account(uint64_t i) {
  const std::string digits = std::to_string(i % kOtherAccounts);
  return "0x" + std::string(40 - digits.size(), '0') + digits;
}

// Writes "<dir>/blocks.dat" with `blocks` blocks (genesis to the watched
// address, then every (blocks / 10,000)-th block to or from it). False when
// the file cannot be written.
inline bool write_watched_chain(const std::filesystem::path& dir, uint64_t blocks) {
  using namespace ZezozuRiziv;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  std::ofstream out(dir / "blocks.dat", std::ios::binary | std::ios::trunc);
  Block previous = Block::create_genesis_block(kWatchedAddress);
  out << previous.serialize() << '\n';
  const uint64_t stride = blocks >= kWatchedTxs ? blocks / kWatchedTxs : 1;
  for (uint64_t i = 1; i < blocks; ++i) {
    const bool watched = i % stride == 0;
    const std::string from = watched && i % 2 == 0 ? kWatchedAddress : other_account(i);
    const std::string to = watched && i % 2 == 1 ? kWatchedAddress : other_account(i * 7 + 1);
    const uint64_t timestamp = kGenesisTimestamp + i;
    const Transaction tx(TxType::TRANSFER, from, to, 1'000'000 + i, 1'000, i, timestamp);
    Block block(i, previous.block_hash, other_account(3), {tx}, timestamp);
    out << block.serialize() << '\n';
    previous = std::move(block);
  }
  out.flush();
  return static_cast<bool>(out);
}

// The watched account: 123.456789 RUZ, 2,000 RUZ staked (a validator).
inline void fund_watched_account(ZezozuRiziv::State& state) {
  state.balances[kWatchedAddress] = 123'456'789;
  state.staked[kWatchedAddress] = 2'000'000'000;
  state.nonces[kWatchedAddress] = 5'000;
}

}  // namespace rozeve_bench
