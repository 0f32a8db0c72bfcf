// Ledger routes: the node and address summary, the faucet, staking and
// unstaking. Every change goes through the ledger write path under the chain
// lock held exclusively, and is on disk before it is answered; a refusal
// changes nothing, and an address is checked before any map is looked at.
#include <algorithm>
#include <cstdint>
#include <iostream>
#include <mutex>
#include <optional>

#include "server/faucet.h"
#include "server/http_request.h"
#include "server/routes/route_groups.h"
#include "server/routes/route_support.h"
#include "storage/ledger.h"

namespace ZezozuRiziv::routes {
namespace {

// Whole coins when "amt" is missing or not a number.
constexpr uint64_t kDefaultCoins = 1'000;
// The most whole coins one faucet request grants.
constexpr uint64_t kFaucetMaxCoins = 5'000;
// A grant within this many whole seconds of the last one to the same
// address is refused: a second grant needs at least two seconds between.
constexpr uint64_t kFaucetMinGapSeconds = 1;
constexpr uint64_t kMsPerSecond = 1'000;

constexpr char kFaucetGranted[] = "Fondi accreditati dalla Treasury";
constexpr char kFaucetRateLimited[] =
    "Rate Limit Anti-Abuso attivo: attendi qualche secondo prima di richiedere nuovamente dal "
    "Faucet.";

RouteAnswer info_route(const RouteContext& context, const ApiRequest& request) {
  const std::string key = account_key(request.get_param("addr"));
  JsonWriter json;
  platform::ReadLock lock(context.chain_lock);
  State& state = context.state;
  // The getters create no entry; an empty address reports nothing at all.
  const uint64_t balance = key.empty() ? 0 : state.get_balance(key);
  const uint64_t stake = key.empty() ? 0 : state.get_stake(key);
  json.begin_object()
      .field("block_height", last_block_index(context.storage))
      .field("total_supply", kTotalSupplyCoins)
      .field("total_staked", coins_int(state.get_total_staked()))
      .field("active_validators", static_cast<uint64_t>(state.get_active_validators().size()))
      .field("user_balance", coins_int(balance))
      .field("user_stake", coins_int(stake))
      .field("is_validator", is_validator_stake(stake))
      .end_object();
  return json.take();
}

// --- faucet -------------------------------------------------------------------

RouteAnswer fund_route(const RouteContext& context, const ApiRequest& request) {
  const std::string address = request.get_param("addr");
  // Without an address the request is not the faucet's: it goes on to the
  // JSON-RPC as an unknown path does.
  if (address.empty()) return std::nullopt;
  const std::optional<std::string> key = writable_account_key(address);
  if (!key) return error_json(kUnusableAddressMessage);
  const uint64_t coins = std::min(request.get_u64("amt", kDefaultCoins), kFaucetMaxCoins);
  const uint64_t now_s = context.clock.now_ms() / kMsPerSecond;

  std::optional<uint64_t> previous_grant;
  {
    platform::WriteLock lock(context.chain_lock);
    FaucetRateMap& rates = context.faucet_rate_map;
    const auto it = rates.find(*key);
    if (it != rates.end()) {
      // Unsigned, as the rule has it: a clock set back never blocks.
      if (now_s - it->second <= kFaucetMinGapSeconds) return error_json(kFaucetRateLimited);
      previous_grant = it->second;
    }
    rates[*key] = now_s;
  }
  // The lock is released: fund_account takes it again by itself.
  FundReceipt receipt;
  if (LedgerResult funded = fund_account(context, address, coins, receipt); !funded) {
    platform::WriteLock lock(context.chain_lock);
    // Nothing was granted, so the address may ask again at once; a stamp
    // that a later grant has replaced meanwhile stays.
    FaucetRateMap& rates = context.faucet_rate_map;
    const auto it = rates.find(*key);
    if (it != rates.end() && it->second == now_s) {
      if (previous_grant) {
        it->second = *previous_grant;
      } else {
        rates.erase(it);
      }
    }
    return error_json(funded.error);
  }
  JsonWriter json;
  json.begin_object()
      .field("status", "ok")
      .field("message", kFaucetGranted)
      .field("address", address)
      .field("amount", receipt.coins)
      .end_object();
  return json.take();
}

// --- staking ------------------------------------------------------------------

// "amt" of stake and unstake in atomic units: the default when it is missing
// or not a number; nullopt, refused with the route's own text, for a '-'
// sign and for an amount whose atomic value passes 64 bits (never read as
// the default, never wrapped).
std::optional<uint64_t> stake_amount(const ApiRequest& request) {
  const http::U64Reading amt = http::read_u64(request.get_param("amt"));
  switch (amt.kind) {
    case http::U64Reading::kNotANumber:
      return kDefaultCoins * kAtomicPerCoin;
    case http::U64Reading::kNumber:
      if (amt.value > UINT64_MAX / kAtomicPerCoin) return std::nullopt;
      return amt.value * kAtomicPerCoin;
    case http::U64Reading::kNegative:
    case http::U64Reading::kTooLarge:
      break;
  }
  return std::nullopt;
}

// {"status":"ok","staked":<whole coins>,"is_validator":<bool>}
std::string stake_answer(uint64_t staked) {
  JsonWriter json;
  json.begin_object()
      .field("status", "ok")
      .field("staked", coins_int(staked))
      .field("is_validator", is_validator_stake(staked))
      .end_object();
  return json.take();
}

// The account a stake or unstake names, or its refusal: `funds_message`
// for an empty address or an amount refused by stake_amount.
struct StakeRequest {
  std::string key;
  uint64_t atomic = 0;
  std::optional<std::string> refusal;
};
StakeRequest read_stake_request(const ApiRequest& request, const char* funds_message) {
  StakeRequest read;
  const std::string address = request.get_param("addr");
  if (address.empty()) {
    read.refusal = error_json(funds_message);
    return read;
  }
  const std::optional<std::string> key = writable_account_key(address);
  if (!key) {
    read.refusal = error_json(kUnusableAddressMessage);
    return read;
  }
  const std::optional<uint64_t> atomic = stake_amount(request);
  if (!atomic) {
    read.refusal = error_json(funds_message);
    return read;
  }
  read.key = *key;
  read.atomic = *atomic;
  return read;
}

// The node's validator when its stake qualifies it, else the staker.
std::string stake_block_validator(const RouteContext& context, const std::string& staker)
    REQUIRES_SHARED(context.chain_lock) {
  const std::string& node = context.node_validator_address;
  if (!node.empty() && is_validator_stake(context.state.get_stake(node))) return node;
  return staker;
}

RouteAnswer stake_route(const RouteContext& context, const ApiRequest& request) {
  const StakeRequest stake = read_stake_request(request, kStakeFundsMessage);
  if (stake.refusal) return stake.refusal;
  RequestBatch batch = context.open_batch();
  uint64_t staked = 0;
  {
    platform::WriteLock lock(context.chain_lock);
    CommittedBlock committed;
    if (LedgerResult done = Ledger(context.storage, context.state)
                                .commit_stake(stake.key, stake.atomic,
                                              stake_block_validator(context, stake.key), committed);
        !done) {
      return error_json(done.error);
    }
    staked = context.state.get_stake(stake.key);
  }
  // Answered once the block is durable, without holding the lock meanwhile.
  if (LedgerResult durable = batch.close(); !durable) return error_json(durable.error);
  return stake_answer(staked);
}

RouteAnswer unstake_route(const RouteContext& context, const ApiRequest& request) {
  const StakeRequest unstake = read_stake_request(request, kUnstakeFundsMessage);
  if (unstake.refusal) return unstake.refusal;
  RequestBatch batch = context.open_batch();
  uint64_t staked = 0;
  {
    platform::WriteLock lock(context.chain_lock);
    if (LedgerResult done =
            Ledger(context.storage, context.state).unstake(unstake.key, unstake.atomic);
        !done) {
      return error_json(done.error);
    }
    staked = context.state.get_stake(unstake.key);
  }
  if (LedgerResult durable = batch.close(); !durable) return error_json(durable.error);
  return stake_answer(staked);
}

}  // namespace

void add_ledger_routes(Router& router) {
  router.add("/api/info", info_route);
  router.add_change("/api/fund", fund_route);
  router.add_change("/api/stake", stake_route);
  router.add_change("/api/unstake", unstake_route);
}

}  // namespace ZezozuRiziv::routes
