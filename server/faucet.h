// The faucet credit: coins minted to one address, shared by the "/api/fund"
// route and the fund command (through RPCServer::fund_metamask_account).
#pragma once

#include <cstdint>
#include <string>

#include "platform/thread_annotations.h"
#include "server/router.h"
#include "storage/block_rules.h"

namespace ZezozuRiziv {

// The most whole coins one credit mints.
inline constexpr uint64_t kFundMaxCoins = 10'000;

// What a credit did.
struct FundReceipt {
  std::string account;  // the state key credited
  uint64_t coins = 0;   // whole coins credited
};

// Mints min(coins, kFundMaxCoins) whole coins to the account of `address`
// (writable_account_key), durable in credits.dat, then prints
// "[RPC] Accreditati con successo <coins> RUZ all'indirizzo MetaMask: <address>".
// Refused with nothing changed: an address that cannot hold coins
// (kUnusableAddressMessage), a balance that would pass 64 bits, a save that
// fails (undone). Zero coins change and save nothing.
// Takes the chain lock exclusively, so the caller must not hold it.
[[nodiscard]] LedgerResult fund_account(const RouteContext& context, const std::string& address,
                                        uint64_t coins, FundReceipt& receipt)
    EXCLUDES(context.chain_lock);

}  // namespace ZezozuRiziv
