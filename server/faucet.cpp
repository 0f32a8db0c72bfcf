#include "server/faucet.h"

#include <algorithm>
#include <iostream>
#include <optional>

#include "chain/accounts.h"
#include "server/account_keys.h"
#include "storage/ledger.h"

namespace ZezozuRiziv {

LedgerResult fund_account(const RouteContext& context, const std::string& address, uint64_t coins,
                          FundReceipt& receipt) {
  const std::optional<std::string> key = writable_account_key(address);
  if (!key) return LedgerResult::failure(kUnusableAddressMessage);
  // Capped before multiplying: 10,000 coins cannot wrap.
  const uint64_t granted = std::min(coins, kFundMaxCoins);
  RequestBatch batch = context.open_batch();
  {
    platform::WriteLock lock(context.chain_lock);
    // A credit of nothing would only leave an empty entry behind.
    if (granted > 0) {
      if (LedgerResult credited =
              Ledger(context.storage, context.state).credit(*key, granted * kAtomicPerCoin);
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
