#include "chain/state_undo.h"

#include "chain/accounts.h"

namespace ZezozuRiziv {

void StateUndo::remember(const std::string& key) {
  for (auto* map : {&state_->balances, &state_->staked, &state_->nonces}) {
    const auto it = map->find(key);
    saved_.push_back(
        {map, key, it == map->end() ? std::nullopt : std::optional<uint64_t>(it->second)});
  }
}

void StateUndo::remember_block_accounts(const Block& block) {
  for (const Transaction& tx : block.transactions) {
    remember(tx.sender);
    remember(tx.recipient);
  }
  for (const char* account : {kFeeTreasuryAddress, kIncubatorAddress, kBurnAddress}) {
    remember(account);
  }
  remember(block.validator);
}

void StateUndo::restore() {
  // Newest first: when a key was saved twice, its oldest value is the one
  // that stays.
  for (auto entry = saved_.rbegin(); entry != saved_.rend(); ++entry) {
    if (entry->value) {
      (*entry->map)[entry->key] = *entry->value;
    } else {
      entry->map->erase(entry->key);
    }
  }
}

}  // namespace ZezozuRiziv
