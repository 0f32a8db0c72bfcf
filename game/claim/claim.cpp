// The one road from the game to the ledger: a player's Zava Vovaz or kWh
// become whole RUZ paid by the reward pool in a block of their own. The
// ledger write path owns the payment rule and its durability; this file
// owns the game side and keeps the two in step through failures and
// crashes, with the block log as the judge.
//
// Built as its own library (rozeve_game_claim), the only game code that
// links to storage.
#include <cmath>
#include <iostream>
#include <mutex>
#include <shared_mutex>

#include "chain/accounts.h"
#include "chain/state.h"
#include "crypto/crypto_keys.h"
#include "crypto/json_writer.h"
#include "game/engine/game_engine.h"
#include "game/model/text_safety.h"
#include "game/store/world_records.h"
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
constexpr char kClaimantNotAddress[] =
    "Indirizzo non valido per il riscatto: i RUZ si ricevono solo su un indirizzo 0x con 40 cifre "
    "esadecimali o su un indirizzo RUZ con il suo codice di controllo";
constexpr char kBlockKeptMessage[] =
    "Salvataggio dello stato del ledger non riuscito: il blocco del riscatto resta registrato e sara' "
    "riapplicato al prossimo avvio; il saldo di gioco resta addebitato.";

double ruz_of(uint64_t atomic) { return static_cast<double>(atomic) / static_cast<double>(kAtomicPerCoin); }

// True when the log holds the payment `intent` names: its transaction, in
// the block of that height, from the pool to the player.
bool log_holds(const Storage& storage, const ClaimIntent& intent) {
  const Block* block = nullptr;
  const Transaction* tx = nullptr;
  return storage.find_tx_by_hash(intent.tx_hash, block, tx) && block->index == intent.block_index &&
         tx->sender == kRewardPoolAddress && tx->recipient == intent.player;
}

// The game side of a claim: the Zava Vovaz or kWh taken, the net RUZ shown.
void debit(PlayerProfile& player, const ClaimIntent& intent) {
  if (intent.source == "WC") {
    player.coins -= intent.units;
  } else {
    player.kwh -= static_cast<double>(intent.units);
  }
  player.ruz += ruz_of(intent.net_atomic);
}

// The reverse of debit(), for a claim whose block never reached the log.
void refund(PlayerProfile& player, const ClaimIntent& intent) {
  if (intent.source == "WC") {
    player.coins = intent.units > UINT64_MAX - player.coins ? UINT64_MAX : player.coins + intent.units;
  } else {
    player.kwh += static_cast<double>(intent.units);
  }
  player.ruz -= ruz_of(intent.net_atomic);
}

}  // namespace

bool GameEngine::claim_ruz_onchain(const std::string& address, State& state, Storage& storage, std::string& out,
                                   const std::string& source, uint64_t max_amount) {
  // Checked before anything exists: the claimant must be a world-file key
  // and a key the state text can carry, and never the pool itself.
  if (!keys_usable(address, out)) return false;
  const std::string addr = normalize_addr(address);
  if (!is_state_key_safe(addr) || addr == kRewardPoolAddress) return refuse(out, kUnsafeKeyMessage);
  // Coins paid to a text that is no address would belong to no key.
  if (!RozeveCrypto::CryptoKeys::is_valid_address(addr)) return refuse(out, kClaimantNotAddress);

  const bool by_coins = source == "WC" || source == "wc";
  Ledger ledger(storage, state);
  PreparedClaim prepared;
  ClaimIntent intent;
  // The game side as the debit left it, for the answer.
  double remaining_kwh = 0.0;
  uint64_t remaining_coins = 0;
  double total_ruz = 0.0;
  uint64_t amount = 0;
  // A player the claim created, as it stood before the debit.
  std::string as_created;

  // 1. The debit and its intent reach the world's journal before the block
  // reaches the log: a crash in between leaves an intent that the next
  // start settles against the log, never coins paid twice. The game lock
  // is let go while the journal syncs; the chain lock, held by the caller,
  // keeps the ledger as prepare_claim() found it.
  const bool debited =
      change_for(addr, Accrual::kUpToDate, out, [&](PlayerProfile& player, std::string& out) REQUIRES(game_mutex) {
    // A world that could not be loaded is never saved: the claim could not
    // be kept, so the ledger is not touched.
    if (load_failed_) return refuse(out, kSaveFailedMessage);
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
    if (LedgerResult ready = ledger.prepare_claim(addr, amount, prepared); !ready) return refuse(out, ready.error);
    intent = ClaimIntent{prepared.block.transactions.front().tx_hash, prepared.block.index, addr,
                         by_coins ? "WC" : "KWH", amount * kUnitsPerRuz, prepared.net};
    if (created_by_change_unlocked(addr)) append_player_line(as_created, player);
    debit(player, intent);
    touch_claim_unlocked(intent.tx_hash);
    pending_claims_.insert_or_assign(intent.tx_hash, intent);
    remaining_kwh = player.kwh;
    remaining_coins = player.coins;
    total_ruz = player.ruz;
    return true;
  });
  if (!debited) return false;

  // 2. The block, synced on return: the debit already on disk never rests
  // on a block a crash could still take from the log.
  ClaimReceipt receipt;
  const LedgerResult paid = ledger.commit_claim(prepared, receipt);
  const std::string failure = paid.error;

  // 3. The block log decides. Other changes may have come between: the
  // debit is given back as a change of its own, not by putting the player
  // back as it was.
  std::string settled;
  if (!log_holds(storage, intent)) {
    const bool refunded = change(settled, [&](std::string&) REQUIRES(game_mutex) {
      touch_claim_unlocked(intent.tx_hash);
      pending_claims_.erase(intent.tx_hash);
      if (const auto it = players.find(intent.player); it != players.end()) {
        touch_player_unlocked(intent.player);
        refund(it->second, intent);
        // A player the claim made, and nothing else changed since, goes
        // again: the world is as before the claim.
        std::string now_line;
        append_player_line(now_line, it->second);
        if (!as_created.empty() && now_line == as_created) players.erase(it);
      }
      return true;
    });
    // The debit and the intent stay in memory as on disk: the next start
    // refunds it.
    if (!refunded) {
      std::cout << "[GIOCO] Riscatto non registrato: il rimborso di " << intent.player
                << " sara' salvato al prossimo avvio" << std::endl;
    }
    return refuse(out, failure);
  }
  // The block stands, and so does the debit. The intent's removal goes to
  // the journal's next write without a sync of its own: lost in a crash, it
  // is redone at the next start, which finds the block.
  static_cast<void>(change(
      settled,
      [&](std::string&) REQUIRES(game_mutex) {
        touch_claim_unlocked(intent.tx_hash);
        pending_claims_.erase(intent.tx_hash);
        return true;
      },
      Durability::kQueued));
  if (!failure.empty()) return refuse(out, kBlockKeptMessage);

  const Transaction& payment = receipt.committed.block.transactions.front();
  JsonWriter json;
  json.begin_object()
      .field("status", "ok")
      .field("source", by_coins ? "WC" : "KWH")
      .field("reward_pool_wallet", kRewardPoolAddress);
  json.key("reward_pool_remaining_ruz").fixed(ruz_of(receipt.pool_remaining), 2);
  json.field("block_index", intent.block_index).field("tx_hash", payment.tx_hash).field("gross_ruz", amount);
  json.key("claimed_ruz").fixed(ruz_of(receipt.net), 2);
  json.key("fee_ruz").fixed(ruz_of(receipt.fee.total), 2);
  json.key("srl_fee_ruz").fixed(ruz_of(receipt.fee.treasury), 2);
  json.key("coop_fee_ruz").fixed(ruz_of(receipt.fee.incubator), 2);
  json.key("validator_fee_ruz").fixed(ruz_of(receipt.fee.validator), 2);
  json.key("burn_fee_ruz").fixed(ruz_of(receipt.fee.burn), 2);
  json.key("remaining_kwh").fixed(remaining_kwh, 2);
  json.field("remaining_coins", remaining_coins);
  json.key("total_ruz").fixed(total_ruz, 2);
  out = json.end_object().take();
  return true;
}

bool GameEngine::settle_pending_claims(const Storage& storage, std::string& error) {
  uint64_t kept = 0;
  uint64_t refunded = 0;
  std::string out;
  const bool settled = change(out, [&](std::string&) REQUIRES(game_mutex) {
    if (pending_claims_.empty() || load_failed_) return false;
    // One record per transaction: a line read twice is one claim, refunded
    // once.
    for (const auto& [hash, intent] : pending_claims_) {
      touch_claim_unlocked(hash);
      if (log_holds(storage, intent)) {
        ++kept;  // the world file shows the debit already
        continue;
      }
      // A player whose line was lost has no debit to give back.
      if (const auto it = players.find(intent.player); it != players.end()) {
        touch_player_unlocked(intent.player);
        refund(it->second, intent);
      }
      ++refunded;
    }
    pending_claims_.clear();
    return true;
  });
  if (kept + refunded == 0) return true;  // nothing was pending
  if (!settled) {
    error = "Impossibile salvare " + world_file_path + " dopo aver sistemato i riscatti in sospeso";
    return false;
  }
  std::cout << "[GIOCO] Riscatti RUZ in sospeso verificati con " << storage.blocks_path() << ": " << kept
            << " confermati dal registro dei blocchi, " << refunded << " rimborsati" << std::endl;
  return true;
}

}  // namespace ZezozuRiziv
