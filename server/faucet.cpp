#include "server/faucet.h"

#include <algorithm>
#include <iostream>
#include <mutex>
#include <optional>

#include "chain/accounts.h"
#include "server/account_keys.h"
#include "storage/ledger.h"

namespace ZezozuRiziv {

LedgerResult fund_account(State& state, Storage& storage, ChainLock& chain_lock,
                          const std::string& address, uint64_t coins, FundReceipt& receipt) {
  const std::optional<std::string> key = writable_account_key(address);
  if (!key) return LedgerResult::failure(kUnusableAddressMessage);
  // Capped before multiplying: 10,000 coins cannot wrap.
  const uint64_t granted = std::min(coins, kFundMaxCoins);
  RequestBatch batch(storage, state, chain_lock);
  {
    std::unique_lock lock(chain_lock);
    // A credit of nothing would only leave an empty entry behind.
    if (granted > 0) {
      if (LedgerResult credited = Ledger(storage, state).credit(*key, granted * kAtomicPerCoin);
          !credited) {
        return credited;
      }
    }
  }
  // Durable before it is announced, with the lock released meanwhile.
  if (LedgerResult durable = batch.close(); !durable) return durable;
  receipt.account = *key;
  receipt.coins = granted;
  std::cout << "[RPC] Accreditati con successo " << granted
            << " RUZ all'indirizzo MetaMask: " << address << std::endl;
  return LedgerResult::success();
}

}  // namespace ZezozuRiziv
