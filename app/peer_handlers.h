// What the node does with what peers send.
#pragma once

#include "chain/block.h"
#include "chain/chain_lock.h"
#include "chain/mempool.h"
#include "chain/state.h"
#include "chain/transaction.h"
#include "platform/thread_annotations.h"
#include "storage/storage.h"

namespace ZezozuRiziv {

// A verified transaction that the peer admission rule (check_peer_transaction)
// accepts goes to the mempool (validated against the state); one the rule
// refuses is reported on the console and never reaches the mempool, so no
// block sealed from it can carry it. Takes the chain lock exclusively, then
// the mempool's own. Returns whether the transaction was added.
bool handle_peer_transaction(const Transaction& tx, Mempool& mempool, Storage& storage,
                             State& state, ChainLock& chain_lock) EXCLUDES(chain_lock);

// A verified block that extends the stored chain goes through the ledger's
// peer rule (Ledger::commit_peer_block): applied with no reward, appended,
// then the state saved; anything it refuses changes nothing, and an
// admission refusal is reported on the console. Takes the chain lock
// exclusively. Returns whether the block was taken.
bool handle_peer_block(const Block& block, Storage& storage, State& state,
                       ChainLock& chain_lock) EXCLUDES(chain_lock);

}  // namespace ZezozuRiziv
