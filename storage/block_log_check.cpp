// The start-up check of the block log: a log that does not prove itself is
// never served, and the node stops instead of building on it.
#include <optional>
#include <string>
#include <vector>

#include "storage/block_rules.h"
#include "storage/storage.h"

namespace ZezozuRiziv {
namespace {

const std::string kGenesisPrevHash(64, '0');

// Why the block at `height` is not the one the log must hold there; nullopt
// when it is. `prev_hash` is the hash the block must link to.
std::optional<std::string> block_fault(const Block& block, uint64_t height,
                                       const std::string& prev_hash) {
  if (block.index != height) {
    return "il record ha indice " + std::to_string(block.index) +
           " (un blocco manca o e' fuori posto)";
  }
  if (block.prev_hash != prev_hash) {
    return height == 0 ? "prev_hash diverso da 64 zeri"
                       : "prev_hash diverso dall'hash del blocco #" + std::to_string(height - 1);
  }
  // A wallet transfer carries the wallet's own hash of the signed bytes,
  // which the record does not keep; every other hash is ours to recompute.
  if (classify_block(block) != BlockKind::kWalletTransfer) {
    for (std::size_t i = 0; i < block.transactions.size(); ++i) {
      const Transaction& tx = block.transactions[i];
      if (tx.calculate_hash() != tx.tx_hash) {
        return "tx_hash della transazione n. " + std::to_string(i + 1) +
               " non corrisponde al suo contenuto";
      }
    }
  }
  if (block.calculate_merkle_root() != block.merkle_root) {
    return "merkle_root non corrisponde alle transazioni";
  }
  if (block.calculate_hash() != block.block_hash) {
    return "block_hash non corrisponde al contenuto del blocco";
  }
  return std::nullopt;
}

// Why the first bad block of chain[0, end) is bad; nullopt when none is.
// One pass, each block hashed once: the hashes are most of a start's time.
std::optional<std::string> first_fault(const std::vector<Block>& chain, uint64_t end) {
  for (uint64_t height = 0; height < end; ++height) {
    const std::string& prev = height == 0 ? kGenesisPrevHash : chain[height - 1].block_hash;
    if (std::optional<std::string> why = block_fault(chain[height], height, prev)) {
      return "blocco #" + std::to_string(height) + ": " + *why;
    }
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
  if (std::optional<std::string> fault = first_fault(cache_, checked)) {
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
