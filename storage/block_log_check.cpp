// The start-up check of the block log: a log that does not prove itself is
// never served, and the node stops instead of building on it.
#include <algorithm>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "storage/block_rules.h"
#include "storage/storage.h"

namespace ZezozuRiziv {
namespace {

const std::string kGenesisPrevHash(64, '0');
// Below this many blocks per thread, one thread checks them all: starting a
// thread costs more than hashing a few thousand blocks.
constexpr uint64_t kMinBlocksPerThread = 2'048;
// Checking threads at most, whatever the machine offers.
constexpr uint64_t kMaxCheckThreads = 8;

// Why the block at `height` is not the one the log must hold there; nullopt
// when it is. `prev_hash` is the hash the block must link to.
std::optional<std::string> block_fault(const Block& block, uint64_t height,
                                       const std::string& prev_hash) {
  const std::string name = "blocco #" + std::to_string(height) + ": ";
  if (block.index != height) {
    return name + "il record ha indice " + std::to_string(block.index) +
           " (un blocco manca o e' fuori posto)";
  }
  if (block.prev_hash != prev_hash) {
    return name + (height == 0 ? "prev_hash diverso da 64 zeri"
                               : "prev_hash diverso dall'hash del blocco #" +
                                     std::to_string(height - 1));
  }
  // A wallet transfer carries the wallet's own hash of the signed bytes,
  // which the record does not keep; every other hash is ours to recompute.
  if (classify_block(block) != BlockKind::kWalletTransfer) {
    for (std::size_t i = 0; i < block.transactions.size(); ++i) {
      const Transaction& tx = block.transactions[i];
      if (tx.calculate_hash() != tx.tx_hash) {
        return name + "tx_hash della transazione n. " + std::to_string(i + 1) +
               " non corrisponde al suo contenuto";
      }
    }
  }
  if (block.calculate_merkle_root() != block.merkle_root) {
    return name + "merkle_root non corrisponde alle transazioni";
  }
  if (block.calculate_hash() != block.block_hash) {
    return name + "block_hash non corrisponde al contenuto del blocco";
  }
  return std::nullopt;
}

// Why the first bad block of chain[begin, end) is bad; nullopt when none is.
std::optional<std::string> first_fault(const std::vector<Block>& chain, uint64_t begin,
                                       uint64_t end) {
  for (uint64_t height = begin; height < end; ++height) {
    const std::string& prev = height == 0 ? kGenesisPrevHash : chain[height - 1].block_hash;
    if (std::optional<std::string> why = block_fault(chain[height], height, prev)) return why;
  }
  return std::nullopt;
}

// first_fault over chain[0, end), in slices checked side by side: the hashes
// of 100,000 blocks are most of a start's time. Each block is judged alone
// (its link only reads the hash stored in the block before), so the slices
// need no lock; the lowest fault wins.
std::optional<std::string> first_fault_in_parallel(const std::vector<Block>& chain, uint64_t end) {
  const uint64_t cores = std::max<uint64_t>(1, std::thread::hardware_concurrency());
  const uint64_t slices =
      std::clamp<uint64_t>(end / kMinBlocksPerThread, 1, std::min(cores, kMaxCheckThreads));
  std::vector<std::optional<std::string>> found(slices);
  std::vector<std::thread> workers;
  const auto bounds = [&](uint64_t slice) { return end * slice / slices; };
  for (uint64_t slice = 1; slice < slices; ++slice) {
    const auto check = [&chain, &found, slice, from = bounds(slice), to = bounds(slice + 1)] {
      found[slice] = first_fault(chain, from, to);
    };
    try {
      workers.emplace_back(check);
    } catch (const std::system_error&) {
      check();  // no thread to be had: this one does the slice
    }
  }
  found[0] = first_fault(chain, 0, bounds(1));
  for (std::thread& worker : workers) worker.join();
  for (std::optional<std::string>& fault : found) {
    if (fault) return fault;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> Storage::check_block_log() const {
  if (blocks_file_health() == FileHealth::kDamaged) {
    return damaged_file_message(blocks_path_, "illeggibile");
  }
  ensure_cache_loaded();
  // Blocks after an unreadable line are judged by that line first.
  const uint64_t checked = unreadable_line_ ? unreadable_line_->position : cache_.size();
  if (std::optional<std::string> fault = first_fault_in_parallel(cache_, checked)) {
    return damaged_file_message(blocks_path_, *fault);
  }
  if (unreadable_line_) {
    return damaged_file_message(blocks_path_, "riga " + std::to_string(unreadable_line_->line) +
                                                  " illeggibile, al posto del blocco #" +
                                                  std::to_string(unreadable_line_->position));
  }
  return std::nullopt;
}

}  // namespace ZezozuRiziv
