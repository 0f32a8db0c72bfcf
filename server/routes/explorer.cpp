// The block explorer: chain statistics, the newest blocks and transactions,
// one block, one transaction, one address. Every answer is built whole under
// the shared chain lock: the block and transaction pointers of the storage
// live only until the next save_block.
#include <algorithm>
#include <mutex>

#include "chain/tokenomics.h"
#include "server/routes/route_groups.h"
#include "server/routes/route_support.h"

namespace ZezozuRiziv::routes {
namespace {

// Lists stop here, whatever "limit" asks for.
constexpr uint64_t kMaxListed = 100;
constexpr uint64_t kDefaultBlockLimit = 15;
constexpr uint64_t kDefaultTxLimit = 25;
// Transactions shown for one address, newest first.
constexpr uint64_t kAddressTxLimit = 100;
// The block time the explorer announces, in seconds.
constexpr uint64_t kBlockTimeSec = 5;

constexpr char kBlockNotFound[] = "Blocco non trovato";
constexpr char kTxNotFound[] = "Transazione non trovata";

uint64_t limit_param(const ApiRequest& request, uint64_t fallback) {
  return std::min(request.get_u64("limit", fallback), kMaxListed);
}

// A ledger record carries no time of its own when it was sealed with 0.
uint64_t shown_timestamp(const Block& block, const Transaction& tx) {
  return tx.timestamp != 0 ? tx.timestamp : block.timestamp;
}

// The transaction object; the single view adds its signature and status.
void write_transaction(JsonWriter& json, const Block& block, const Transaction& tx,
                       bool single_view) {
  const FeeBreakdown shares = Tokenomics::calculate_fee_breakdown(tx.amount);
  json.begin_object()
      .field("tx_hash", tx.tx_hash)
      .field("type", tx_type_to_string(tx.type))
      .field("block_index", block.index)
      .field("block_hash", block.block_hash)
      .field("sender", tx.sender)
      .field("recipient", tx.recipient)
      .field("amount_atomic", tx.amount)
      .key("amount_ruz").number(coins_double(tx.amount))
      // The stored fee, then what the fee rule gives for the amount.
      .field("fee_atomic", tx.fee)
      .key("fee_ruz").number(coins_double(tx.fee))
      .key("fee_treasury").number(coins_double(shares.treasury))
      .key("fee_incubator").number(coins_double(shares.incubator))
      .key("fee_validator").number(coins_double(shares.validator))
      .key("fee_burn").number(coins_double(shares.burn))
      .field("nonce", tx.nonce)
      .field("timestamp", shown_timestamp(block, tx));
  if (single_view) json.field("signature", tx.signature).field("status", "success");
  json.end_object();
}

RouteAnswer stats_route(const RouteContext& context, const ApiRequest&) {
  JsonWriter json;
  platform::ReadLock lock(context.chain_lock);
  State& state = context.state;
  const uint64_t burned = state.get_balance(kBurnAddress);
  const uint64_t treasury = state.get_balance(kFeeTreasuryAddress);
  const uint64_t incubator = state.get_balance(kIncubatorAddress);
  json.begin_object()
      .field("block_height", last_block_index(context.storage))
      .field("total_blocks", static_cast<uint64_t>(context.storage.get_blocks_cached().size()))
      .field("total_txs", context.storage.get_total_txs_cached())
      .field("total_supply", kTotalSupplyCoins)
      .field("total_staked", coins_int(state.get_total_staked()))
      .field("active_validators", static_cast<uint64_t>(state.get_active_validators().size()))
      .field("burned_atomic", burned)
      .key("burned_ruz").number(coins_double(burned))
      .field("treasury_atomic", treasury)
      .key("treasury_ruz").number(coins_double(treasury))
      .field("incubator_atomic", incubator)
      .key("incubator_ruz").number(coins_double(incubator))
      .field("block_time_sec", kBlockTimeSec)
      .end_object();
  return json.take();
}

RouteAnswer blocks_route(const RouteContext& context, const ApiRequest& request) {
  const uint64_t limit = limit_param(request, kDefaultBlockLimit);
  JsonWriter json;
  json.begin_array();
  platform::ReadLock lock(context.chain_lock);
  const std::vector<Block>& chain = context.storage.get_blocks_cached();
  uint64_t listed = 0;
  for (auto it = chain.rbegin(); it != chain.rend() && listed < limit; ++it, ++listed) {
    json.begin_object()
        .field("index", it->index)
        .field("timestamp", it->timestamp)
        .field("block_hash", it->block_hash)
        .field("prev_hash", it->prev_hash)
        .field("merkle_root", it->merkle_root)
        .field("validator", it->validator)
        .field("tx_count", static_cast<uint64_t>(it->transactions.size()))
        .end_object();
  }
  json.end_array();
  return json.take();
}

RouteAnswer block_route(const RouteContext& context, const ApiRequest& request) {
  const std::string id = request.get_param("id");
  platform::ReadLock lock(context.chain_lock);
  const Block* block = context.storage.find_block_by_id(id);
  if (block == nullptr) return error_json(kBlockNotFound);
  // The record text, exactly as the block log and the peers carry it.
  return block->serialize();
}

RouteAnswer txs_route(const RouteContext& context, const ApiRequest& request) {
  const uint64_t limit = limit_param(request, kDefaultTxLimit);
  JsonWriter json;
  json.begin_array();
  platform::ReadLock lock(context.chain_lock);
  const std::vector<Block>& chain = context.storage.get_blocks_cached();
  uint64_t listed = 0;
  for (auto block = chain.rbegin(); block != chain.rend() && listed < limit; ++block) {
    const auto& txs = block->transactions;
    for (auto tx = txs.rbegin(); tx != txs.rend() && listed < limit; ++tx, ++listed) {
      write_transaction(json, *block, *tx, false);
    }
  }
  json.end_array();
  return json.take();
}

RouteAnswer tx_route(const RouteContext& context, const ApiRequest& request) {
  const std::string hash = request.get_param("hash");
  JsonWriter json;
  platform::ReadLock lock(context.chain_lock);
  const Block* block = nullptr;
  const Transaction* tx = nullptr;
  if (!context.storage.find_tx_by_hash(hash, block, tx)) return error_json(kTxNotFound);
  write_transaction(json, *block, *tx, true);
  return json.take();
}

RouteAnswer address_route(const RouteContext& context, const ApiRequest& request) {
  const std::string address = request.get_param("addr");
  const std::string key = account_key(address);
  JsonWriter json;
  platform::ReadLock lock(context.chain_lock);
  State& state = context.state;
  const uint64_t balance = state.get_balance(key);
  const uint64_t staked = state.get_stake(key);
  const auto txs = context.storage.get_address_txs(key, kAddressTxLimit);
  // The address is echoed as given, escaped like every text.
  json.begin_object()
      .field("address", address)
      .field("balance_atomic", balance)
      .key("balance_ruz").number(coins_double(balance))
      .field("staked_atomic", staked)
      .key("staked_ruz").number(coins_double(staked))
      .field("is_validator", is_validator_stake(staked))
      .field("nonce", state.get_nonce(key))
      .field("tx_count", static_cast<uint64_t>(txs.size()))
      .key("transactions")
      .begin_array();
  for (const auto& [block, tx] : txs) {
    json.begin_object()
        .field("tx_hash", tx->tx_hash)
        .field("type", tx_type_to_string(tx->type))
        .field("block_index", block->index)
        .field("sender", tx->sender)
        .field("recipient", tx->recipient)
        .key("amount_ruz").number(coins_double(tx->amount))
        .field("timestamp", shown_timestamp(*block, *tx))
        .end_object();
  }
  json.end_array().end_object();
  return json.take();
}

}  // namespace

void add_explorer_routes(Router& router) {
  router.add("/api/explorer/stats", stats_route);
  router.add("/api/explorer/blocks", blocks_route);
  router.add("/api/explorer/block", block_route);
  router.add("/api/explorer/txs", txs_route);
  router.add("/api/explorer/tx", tx_route);
  router.add("/api/explorer/address", address_route);
}

}  // namespace ZezozuRiziv::routes
