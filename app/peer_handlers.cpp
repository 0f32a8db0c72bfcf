#include "app/peer_handlers.h"

#include <algorithm>
#include <iostream>
#include <mutex>

namespace ZezozuRiziv {

void handle_peer_transaction(const Transaction& tx, Mempool& mempool, const State& state,
                             std::shared_mutex& chain_lock) {
  if (!tx.verify()) return;
  std::unique_lock lock(chain_lock);
  std::string error;
  if (mempool.add_transaction(tx, state, error)) {
    std::cout << "[P2P] Ricevuta transazione valida da peer: " << tx.tx_hash << std::endl;
  }
}

bool handle_peer_block(const Block& block, Storage& storage, State& state,
                       std::shared_mutex& chain_lock) {
  if (!block.verify()) return false;
  // A block's own validity rule waves minting through unchecked: a peer
  // could create any amount.
  const bool mints = std::any_of(block.transactions.begin(), block.transactions.end(),
                                 [](const Transaction& tx) {
                                   return tx.type == TxType::GENESIS ||
                                          tx.type == TxType::COINBASE_REWARD;
                                 });
  if (mints) return false;

  std::unique_lock lock(chain_lock);
  const std::vector<Block>& chain = storage.get_blocks_cached();
  if (chain.empty()) {
    if (block.index != 1) return false;
  } else if (block.index != chain.back().index + 1 || block.prev_hash != chain.back().block_hash) {
    return false;
  }
  if (!state.apply_block(block, 0)) return false;
  if (!storage.save_block(block)) {
    // Not stored: back to the last saved state rather than keep a block
    // that the log does not have.
    storage.load_state(state);
    return false;
  }
  storage.save_state(state);
  std::cout << "[P2P] Sincronizzato blocco #" << block.index
            << " dal peer network: " << block.block_hash << std::endl;
  return true;
}

}  // namespace ZezozuRiziv
