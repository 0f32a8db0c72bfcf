// Transactions validated against the committed state and waiting for a block.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "chain/limits.h"
#include "chain/state.h"
#include "chain/transaction.h"

namespace ZezozuRiziv {

// Every public operation takes the pool's own mutex; when the chain lock is
// also needed it is taken first.
class Mempool {
 public:
  Mempool() = default;

  // Refuses duplicates, GENESIS and COINBASE_REWARD, a full pool, and what
  // `state` does not validate; on false `error` holds the Italian reason.
  [[nodiscard]] bool add_transaction(const Transaction& tx, const State& state, std::string& error);
  void remove_transactions(const std::vector<Transaction>& txs);
  bool contains(const std::string& tx_hash) const;
  size_t size() const;
  void clear();
  // Copies of at most `limit` pending transactions, highest fee first; equal
  // fees keep their order of arrival, so one sender's transfers stay in nonce order.
  std::vector<Transaction> get_best_transactions(uint64_t limit) const;

 private:
  struct Pending {
    uint64_t arrival;
    Transaction tx;
  };

  mutable std::mutex mutex_;
  std::unordered_map<std::string, Pending> pending_;  // by tx_hash as stored
  uint64_t next_arrival_ = 0;
};

}  // namespace ZezozuRiziv
