// The parcel market: listings, bids and offers held in escrow on the lot,
// sales, and the view of every lot on the market.
//
// Escrow: a bid leaves the bidder at once and is held on the lot
// (highest_bid, in the lot's sale_currency) until it is refunded or paid to
// the seller, so the coins of the players plus the escrow on the lots stay
// the same across every operation. Amounts are kept within the market's
// range (market_rules.h), where every Zava Vovaz amount is an exact whole
// number as a double, and every conversion to coins is checked.
#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <vector>

#include "crypto/json_writer.h"
#include "game/engine/game_engine.h"
#include "game/model/lot_json.h"
#include "game/model/text_safety.h"
#include "game/rules/market_rules.h"

namespace ZezozuRiziv {

namespace {

constexpr char kBadMinBidMessage[] = "Inserisci una base d'asta valida (> 0)";
constexpr char kBuyoutBelowMinBidMessage[] = "Il prezzo Compra Subito deve essere maggiore o uguale alla base d'asta";
// A buy-now price beyond the range of its currency.
constexpr char kBadBuyoutMessage[] = "Prezzo Compra Subito non valido";
constexpr char kLotNotFoundMessage[] = "Lotto non trovato sul server";
constexpr char kOwnLotMessage[] = "Possiedi gia' questo lotto!";
// Also the answer when an escrow held on a lot cannot be paid out (an amount
// outside the market's range, or a balance it would carry past it).
constexpr char kBadAmountMessage[] = "Importo offerta non valido";
constexpr char kMinWcBidMessage[] = "L'offerta minima in Zava Vovaz e' 1 WC";
constexpr char kNoBidMessage[] = "Nessuna offerta attiva da accettare su questo lotto";
constexpr char kCancelledMessage[] = "Asta/Offerta annullata e fondi in escrow rimborsati all'offerente.";
// "🎉 " and "🔨 " in UTF-8.
constexpr char kInstantSaleMessage[] =
    "\xF0\x9F\x8E\x89 Offerta accettata istantaneamente! Il lotto e l'impianto sono ora di tua proprieta'!";
constexpr char kHammer[] = "\xF0\x9F\x94\xA8 ";

constexpr double kMinWcBid = 1.0;

std::string fixed2(double v) { return fixed_text(v, 2); }

bool holds_escrow(const ParcelRecord& lot) { return lot.highest_bid > 0.0 && !lot.highest_bidder.empty(); }

// A lot off the market with no bid; its currency stays as it was.
void clear_market(ParcelRecord& lot) {
  lot.for_sale = false;
  lot.highest_bid = 0.0;
  lot.highest_bidder.clear();
  lot.min_bid = 0.0;
  lot.buyout_price = 0.0;
}

// {"status":"ok",...,"coins":N,"ruz":R} tail shared by the sale answers.
void balances(JsonWriter& json, const PlayerProfile& player) {
  json.field("coins", player.coins).key("ruz").fixed(player.ruz, 2);
}

}  // namespace

bool GameEngine::credit_player_unlocked(const std::string& to, std::string_view currency, double amount) {
  if (!market_amount_in_range(amount, currency)) return false;
  const auto existing = players.find(to);
  const PlayerProfile fresh;
  const PlayerProfile& before = existing != players.end() ? existing->second : fresh;
  if (is_ruz(currency)) {
    if (!std::isfinite(before.ruz + amount)) return false;
    get_or_create_player_unlocked(to).ruz += amount;
    return true;
  }
  const std::optional<uint64_t> coins = whole_wc(amount);
  if (!coins || before.coins > std::numeric_limits<uint64_t>::max() - *coins) return false;
  get_or_create_player_unlocked(to).coins += *coins;
  return true;
}

bool GameEngine::refund_escrow_unlocked(const ParcelRecord& lot) {
  if (!holds_escrow(lot)) return true;
  // Copied: the bidder's creation must not read through the lot.
  const std::string bidder = lot.highest_bidder.str();
  return credit_player_unlocked(bidder, lot_currency(lot), lot.highest_bid);
}

bool GameEngine::list_parcel_for_sale(const std::string& address, const std::string& lot_key,
                                      const std::string& currency, double min_bid, double buyout_price,
                                      std::string& out) {
  if (!keys_usable(address, out)) return false;
  return change_owned_lot(address, lot_key, out, [&](PlayerProfile&, ParcelRecord* lot, std::string& out) REQUIRES(game_mutex) {
    const char* listed_in = market_currency(currency);
    if (!market_amount_in_range(min_bid, listed_in)) return refuse(out, kBadMinBidMessage);
    if (std::isnan(buyout_price) || buyout_price < 0.0) buyout_price = 0.0;
    // +infinity included: a price no bid can reach, and no number for the file.
    if (buyout_price > 0.0 && !market_amount_in_range(buyout_price, listed_in)) return refuse(out, kBadBuyoutMessage);
    if (buyout_price > 0.0 && buyout_price < min_bid) return refuse(out, kBuyoutBelowMinBidMessage);

    touch_parcel_unlocked(lot->key);
    if (!refund_escrow_unlocked(*lot)) {
      discard_change_unlocked();
      return refuse(out, kBadAmountMessage);
    }
    lot->highest_bid = 0.0;
    lot->highest_bidder.clear();
    lot->for_sale = true;
    lot->sale_currency = listed_in;
    lot->min_bid = min_bid;
    lot->buyout_price = buyout_price;
    lot->updated_ms = now_ms();
    parcel_index_.refile_market(*lot);

    JsonWriter json;
    json.begin_object().field("status", "ok");
    json.field("message", std::string("Lotto messo all'asta con successo in ") + listed_in + "!");
    json.field("key", lot->key).field("currency", listed_in);
    json.key("min_bid").fixed(min_bid, 2).key("buyout_price").fixed(buyout_price, 2).end_object();
    out = json.take();
    return true;
  });
}

bool GameEngine::cancel_parcel_sale(const std::string& address, const std::string& lot_key, std::string& out) {
  if (!keys_usable(address, out)) return false;
  return change(out, [&](std::string& out) REQUIRES(game_mutex) {
    // The caller is neither created nor brought up to date here.
    ParcelRecord* lot = find_owned_lot_unlocked(normalize_addr(address), lot_key);
    if (lot == nullptr) return refuse(out, kNotLotOwnerMessage);

    touch_parcel_unlocked(lot->key);
    if (!refund_escrow_unlocked(*lot)) {
      discard_change_unlocked();
      return refuse(out, kBadAmountMessage);
    }
    clear_market(*lot);
    lot->updated_ms = now_ms();
    parcel_index_.refile_market(*lot);

    JsonWriter json;
    json.begin_object().field("status", "ok").field("message", kCancelledMessage).end_object();
    out = json.take();
    return true;
  });
}

bool GameEngine::place_bid_or_offer(const std::string& address, const std::string& lot_key,
                                    const std::string& currency, double amount, std::string& out) {
  if (!keys_usable(address, out)) return false;
  return change_for(address, Accrual::kUpToDate, out, [&](PlayerProfile& bidder, std::string& out) REQUIRES(game_mutex) {
    const std::string& addr = bidder.address;

    ParcelRecord* lot = find_parcel_by_key_or_hex_unlocked(lot_key, "");
    if (lot == nullptr) return refuse(out, kLotNotFoundMessage);
    if (lot->owner == addr) return refuse(out, kOwnLotMessage);
    if (!std::isfinite(amount) || !(amount > 0.0)) return refuse(out, kBadAmountMessage);

    const char* bid_in = market_currency(currency);
    if (lot->for_sale && !lot->sale_currency.empty()) bid_in = lot_currency(*lot);
    if (!market_amount_in_range(amount, bid_in)) return refuse(out, kBadAmountMessage);
    if (!is_ruz(bid_in)) {
      amount = std::floor(amount);
      if (amount < kMinWcBid) return refuse(out, kMinWcBidMessage);
    }
    if (lot->for_sale && amount < lot->min_bid) {
      return refuse(out, "L'offerta deve essere almeno pari alla base d'asta (" + fixed2(lot->min_bid) + " " +
                             bid_in + ")");
    }
    // Compared in Zava Vovaz terms, as doubles: both sides are within the
    // market's range, so nothing wraps.
    if (lot->highest_bid > 0.0 && !(wc_worth(amount, bid_in) > wc_worth(lot->highest_bid, lot_currency(*lot)))) {
      return refuse(out, "Offerta insufficiente: supera l'offerta attuale di " + fixed2(lot->highest_bid) + " " +
                             lot_currency(*lot) + "!");
    }

    // The escrow leaves the bidder.
    if (is_ruz(bid_in)) {
      if (amount > bidder.ruz) {
        // The shortfall is bought from kWh; the balance then holds exactly
        // the bid, which leaves it whole.
        const double shortfall = amount - bidder.ruz;
        if (!(bidder.kwh >= kKwhPerRuz * shortfall)) {
          return refuse(out, "Saldo RUZ insufficiente (Richiesti: " + fixed2(amount) + " RUZ, Disponibili: " +
                                 fixed2(bidder.ruz) + " RUZ). Produci piu' kWh o offri in Zava Vovaz!");
        }
        bidder.kwh -= kKwhPerRuz * shortfall;
        bidder.ruz = 0.0;
      } else {
        bidder.ruz -= amount;
      }
    } else {
      // A whole number within the market's range: the conversion is exact.
      const uint64_t coins = static_cast<uint64_t>(amount);
      if (coins > bidder.coins) {
        return refuse(out, "Zava Vovaz insufficienti per coprire l'offerta in escrow (" + std::to_string(coins) +
                               " WC richiesti).");
      }
      bidder.coins -= coins;
    }

    touch_parcel_unlocked(lot->key);
    if (!refund_escrow_unlocked(*lot)) {
      discard_change_unlocked();
      return refuse(out, kBadAmountMessage);
    }
    lot->sale_currency = bid_in;
    lot->highest_bid = amount;
    lot->highest_bidder = addr;
    lot->updated_ms = now_ms();

    const bool fixed_price = is_fixed_price_seller(lot->owner);
    const double fixed = fixed_lot_price(lot->plant_level, bid_in);
    bool transfer = false;
    if (lot->for_sale) {
      transfer = (lot->buyout_price > 0.0 && amount >= lot->buyout_price) || (fixed_price && amount >= fixed);
    } else if (fixed_price) {
      transfer = amount >= fixed;
      if (!transfer) {
        lot->for_sale = true;
        lot->min_bid = amount;
        lot->buyout_price = fixed;
      }
    }

    if (!transfer) {
      parcel_index_.refile_market(*lot);
        JsonWriter json;
      json.begin_object().field("status", "ok").field("instant_transfer", false);
      json.field("message", std::string(kHammer) + "Offerta di " + fixed2(amount) + " " + bid_in +
                                " registrata in Escrow come Miglior Offerta!");
      json.key("highest_bid").fixed(amount, 2).field("currency", bid_in);
      balances(json, bidder);
      out = json.end_object().take();
      return true;
    }

    // The escrow is paid to the seller and the lot, plant and billboard as
    // they are, passes to the bidder.
    const std::string seller_key = lot->owner.str();
    if (!credit_player_unlocked(seller_key, bid_in, amount)) {
      discard_change_unlocked();
      return refuse(out, kBadAmountMessage);
    }
    set_parcel_owner_unlocked(*lot, addr);
    clear_market(*lot);
    parcel_index_.refile_market(*lot);
    recalculate_player_power_unlocked(get_or_create_player_unlocked(seller_key));
    recalculate_player_power_unlocked(bidder);

    JsonWriter json;
    json.begin_object().field("status", "ok").field("instant_transfer", true).field("message", kInstantSaleMessage);
    balances(json, bidder);
    out = json.end_object().take();
    return true;
  });
}

bool GameEngine::accept_highest_bid(const std::string& address, const std::string& lot_key, std::string& out) {
  if (!keys_usable(address, out)) return false;
  return change(out, [&](std::string& out) REQUIRES(game_mutex) {
    const std::string addr = normalize_addr(address);
    // The exact key only: a sale is never made on a lot found by its place.
    const auto it = parcels.find(lot_key);
    if (it == parcels.end() || it->second.owner != addr) return refuse(out, kNotLotOwnerMessage);
    ParcelRecord& lot = it->second;
    if (!holds_escrow(lot)) return refuse(out, kNoBidMessage);

    const char* sold_in = lot_currency(lot);
    const double bid = lot.highest_bid;
    const std::string buyer_key = lot.highest_bidder.str();
    PlayerProfile& seller = get_or_create_player_unlocked(addr);
    PlayerProfile& buyer = get_or_create_player_unlocked(buyer_key);
    if (!credit_player_unlocked(addr, sold_in, bid)) {
      discard_change_unlocked();
      return refuse(out, kBadAmountMessage);
    }
    set_parcel_owner_unlocked(lot, buyer_key);
    clear_market(lot);
    lot.updated_ms = now_ms();
    parcel_index_.refile_market(lot);
    recalculate_player_power_unlocked(seller);
    recalculate_player_power_unlocked(buyer);

    JsonWriter json;
    json.begin_object().field("status", "ok");
    json.field("message", "Vendita completata! Hai incassato " + fixed2(bid) + " " + sold_in +
                              " e trasferito la proprieta' del lotto.");
    balances(json, seller);
    out = json.end_object().take();
    return true;
  });
}

std::string GameEngine::get_active_auctions_json() const {
  platform::ReadLock lock(game_mutex);
  // The market's own index, in key order: the view does not walk every lot.
  std::vector<const ParcelRecord*> lots(parcel_index_.on_market().begin(), parcel_index_.on_market().end());
  std::sort(lots.begin(), lots.end(), [](const ParcelRecord* a, const ParcelRecord* b) { return a->key < b->key; });
  JsonWriter json;
  json.begin_object().field("status", "ok").key("auctions").begin_array();
  for (const ParcelRecord* lot : lots) {
    const ParcelRecord& p = *lot;
    json.begin_object();
    json.field("key", p.key).key("lat").fixed(p.lat, 6).key("lon").fixed(p.lon, 6).field("owner", p.owner);
    json.field("plantType", p.plant_type).field("plantLevel", static_cast<int64_t>(p.plant_level));
    json.field("plantName", p.plant_name).key("powerKw").fixed(p.power_kw, 2);
    write_lot_market_and_billboard(json, p);
    json.end_object();
  }
  json.end_array().end_object();
  return json.take();
}

}  // namespace ZezozuRiziv
