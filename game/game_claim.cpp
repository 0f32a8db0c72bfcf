// The one road from the game to the ledger: a player's Zava Vovaz or kWh
// become whole RUZ paid by the reward pool in a block of their own. The
// ledger write path owns the payment rule and its durability; this file
// owns the game side and keeps the two in step when a save fails.
//
// Built as its own library (rozeve_game_claim), the only game code that
// links to storage.
#include <cmath>
#include <iostream>
#include <mutex>

#include "chain/accounts.h"
#include "chain/state.h"
#include "crypto/json_writer.h"
#include "game/game_engine.h"
#include "game/text_safety.h"
#include "storage/block_rules.h"
#include "storage/ledger.h"
#include "storage/storage.h"

namespace ZezozuRiziv {

namespace {

// Zava Vovaz or kWh per whole RUZ.
constexpr uint64_t kUnitsPerRuz = 100;
constexpr double kKwhPerRuz = 100.0;
// 2^64: the first whole amount a 64-bit count cannot hold.
constexpr double kTwoTo64 = 18446744073709551616.0;

constexpr char kWcTooFew[] =
    "Servono almeno 100 Zava Vovaz (WC) certificati sul server per convertire 1 RUZ on-chain";
constexpr char kKwhTooFew[] = "Servono almeno 100 kWh certificati sul server per coniare 1 RUZ on-chain";
constexpr char kBelowOneRuz[] = "Quantita' RUZ inferiore al minimo (1 RUZ)";
constexpr char kBlockKeptMessage[] =
    "Salvataggio del mondo di gioco non riuscito: il blocco del riscatto resta registrato e il saldo di "
    "gioco resta addebitato fino al prossimo salvataggio.";

double ruz_of(uint64_t atomic) { return static_cast<double>(atomic) / static_cast<double>(kAtomicPerCoin); }

}  // namespace

bool GameEngine::claim_ruz_onchain(const std::string& address, State& state, Storage& storage, std::string& out,
                                   const std::string& source, uint64_t max_amount) {
  // Checked before anything exists: the claimant must be a world-file key
  // and a key the state text can carry, and never the pool itself.
  if (!keys_usable(address, out)) return false;
  const std::string addr = normalize_addr(address);
  if (!is_state_key_safe(addr) || addr == kRewardPoolAddress) return refuse(out, kUnsafeKeyMessage);

  std::unique_lock<std::shared_mutex> lock(game_mutex);
  // A world that could not be loaded is never saved: the claim could not
  // be kept, so the ledger is not touched.
  if (load_failed_) return refuse(out, kSaveFailedMessage);
  UndoScope undo(*this);
  PlayerProfile& player = get_or_create_player_unlocked(addr);
  sync_player_unlocked(player);

  const bool by_coins = source == "WC" || source == "wc";
  uint64_t amount = 0;
  if (by_coins) {
    if (player.coins < kUnitsPerRuz) return refuse(out, kWcTooFew);
    amount = player.coins / kUnitsPerRuz;
    if (max_amount >= 1 && max_amount <= amount) amount = max_amount;
  } else {
    if (!(player.kwh >= kKwhPerRuz)) return refuse(out, kKwhTooFew);
    // Boosts can make kWh huge: the whole amount is judged as a double
    // before it is taken into 64 bits.
    const double whole = std::floor(player.kwh / kKwhPerRuz);
    if (whole >= kTwoTo64) {
      if (max_amount == 0) return refuse(out, kPoolExhaustedMessage);
      amount = max_amount;  // below the whole amount, whatever it is
    } else {
      amount = static_cast<uint64_t>(whole);
      if (max_amount >= 1 && max_amount <= amount) amount = max_amount;
    }
    if (amount == 0) return refuse(out, kBelowOneRuz);
  }
  // An amount whose atomic value does not fit could never be paid.
  if (static_cast<unsigned __int128>(amount) * kAtomicPerCoin > UINT64_MAX) {
    return refuse(out, kPoolExhaustedMessage);
  }

  Ledger ledger(storage, state);
  ClaimReceipt receipt;
  if (LedgerResult paid = ledger.commit_claim(addr, amount, receipt); !paid) return refuse(out, paid.error);
  BlockUndo& block_undo = *receipt.committed.undo;

  if (by_coins) {
    player.coins -= amount * kUnitsPerRuz;
  } else {
    player.kwh -= static_cast<double>(amount) * kKwhPerRuz;
  }
  player.ruz += ruz_of(receipt.net);

  if (!save_world_unlocked()) {
    if (LedgerResult back = ledger.undo_block(block_undo); !back) {
      // The block could not be cut from the log: it stands, and so must the
      // game-side debit (kept in memory, written by the next save), or the
      // same production could be claimed twice.
      std::cout << "[GIOCO] Riscatto: blocco #" << receipt.committed.block.index
                << " non annullato dopo il salvataggio del mondo fallito (" << back.error << ")" << std::endl;
      return refuse(out, kBlockKeptMessage);
    }
    undo.undo();
    return refuse(out, kSaveFailedMessage);
  }

  const Transaction& payment = receipt.committed.block.transactions.front();
  JsonWriter json;
  json.begin_object()
      .field("status", "ok")
      .field("source", by_coins ? "WC" : "KWH")
      .field("reward_pool_wallet", kRewardPoolAddress);
  json.key("reward_pool_remaining_ruz").fixed(ruz_of(receipt.pool_remaining), 2);
  json.field("block_index", receipt.committed.block.index).field("tx_hash", payment.tx_hash).field("gross_ruz", amount);
  json.key("claimed_ruz").fixed(ruz_of(receipt.net), 2);
  json.key("fee_ruz").fixed(ruz_of(receipt.fee.total), 2);
  json.key("srl_fee_ruz").fixed(ruz_of(receipt.fee.treasury), 2);
  json.key("coop_fee_ruz").fixed(ruz_of(receipt.fee.incubator), 2);
  json.key("validator_fee_ruz").fixed(ruz_of(receipt.fee.validator), 2);
  json.key("burn_fee_ruz").fixed(ruz_of(receipt.fee.burn), 2);
  json.key("remaining_kwh").fixed(player.kwh, 2);
  json.field("remaining_coins", player.coins);
  json.key("total_ruz").fixed(player.ruz, 2);
  out = json.end_object().take();
  return true;
}

}  // namespace ZezozuRiziv
