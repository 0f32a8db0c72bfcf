#include "chain/mempool.h"

#include <algorithm>

namespace ZezozuRiziv {

bool Mempool::add_transaction(const Transaction& tx, const State& state, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pending_.count(tx.tx_hash) != 0) {
    error = "Transazione gia' presente nella Mempool";
    return false;
  }
  // Minted coins enter only through blocks the node builds itself.
  if (tx.type == TxType::GENESIS || tx.type == TxType::COINBASE_REWARD) {
    error = "Transazioni di conio non accettate nella Mempool";
    return false;
  }
  if (pending_.size() >= kMaxPendingTransactions) {
    error = "Mempool piena: transazione rifiutata";
    return false;
  }
  if (!state.validate_transaction(tx, error)) return false;
  pending_.emplace(tx.tx_hash, Pending{next_arrival_++, tx});
  return true;
}

void Mempool::remove_transactions(const std::vector<Transaction>& txs) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Transaction& tx : txs) pending_.erase(tx.tx_hash);
}

bool Mempool::contains(const std::string& tx_hash) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_.count(tx_hash) != 0;
}

size_t Mempool::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_.size();
}

void Mempool::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.clear();
}

std::vector<Transaction> Mempool::get_best_transactions(uint64_t limit) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<const Pending*> order;
  order.reserve(pending_.size());
  for (const auto& entry : pending_) order.push_back(&entry.second);
  // Arrival breaks ties so that one sender's transfers come out in the order
  // they were accepted, which is their nonce order.
  std::sort(order.begin(), order.end(), [](const Pending* a, const Pending* b) {
    if (a->tx.fee != b->tx.fee) return a->tx.fee > b->tx.fee;
    return a->arrival < b->arrival;
  });
  if (order.size() > limit) order.resize(static_cast<size_t>(limit));

  std::vector<Transaction> best;
  best.reserve(order.size());
  for (const Pending* pending : order) best.push_back(pending->tx);
  return best;
}

}  // namespace ZezozuRiziv
