#include "app/peer_handlers.h"

#include <iostream>
#include <mutex>

#include "storage/ledger.h"

namespace ZezozuRiziv {

bool handle_peer_transaction(const Transaction& tx, Mempool& mempool, Storage& storage,
                             State& state, ChainLock& chain_lock) {
  if (!tx.verify()) return false;
  platform::WriteLock lock(chain_lock);
  const RuleContext context{Ledger(storage, state).genesis_treasury()};
  if (LedgerResult admitted = check_peer_transaction(tx, context); !admitted) {
    if (is_peer_admission_refusal(admitted.error)) {
      std::cout << "[P2P] Transazione " << tx.tx_hash << " dal peer rifiutata: " << admitted.error
                << std::endl;
    }
    return false;
  }
  std::string error;
  if (!mempool.add_transaction(tx, state, error)) return false;
  std::cout << "[P2P] Ricevuta transazione valida da peer: " << tx.tx_hash << std::endl;
  return true;
}

bool handle_peer_block(const Block& block, Storage& storage, State& state,
                       ChainLock& chain_lock) {
  // Hashes and signatures are checked before the lock: they need no state.
  if (!block.verify()) return false;
  platform::WriteLock lock(chain_lock);
  CommittedBlock committed;
  const LedgerResult result = Ledger(storage, state).commit_peer_block(block, committed);
  if (!result) {
    // An invalid block is dropped silently; a disk that failed is news.
    if (result.error == kAppendFailedMessage || result.error == kStateSaveFailedMessage) {
      std::cout << "[P2P] Blocco #" << block.index << " dal peer non registrato: " << result.error
                << std::endl;
    } else if (is_peer_admission_refusal(result.error)) {
      // A forged spend or a fee that would mint: the operator hears of it.
      std::cout << "[P2P] Blocco #" << block.index << " dal peer rifiutato: " << result.error
                << std::endl;
    }
    return false;
  }
  std::cout << "[P2P] Sincronizzato blocco #" << block.index
            << " dal peer network: " << block.block_hash << std::endl;
  return true;
}

}  // namespace ZezozuRiziv
