#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "crypto/json_writer.h"
#include "game/model/text_safety.h"
#include "game/rules/market_rules.h"
#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

using game_test::json_value;
using Peer = GameEngineTestPeer;

constexpr char kSolarKing[] = "0xsolarking_it_milano_cer01";    // hydrogen, level 3
constexpr char kEcoEmpire[] = "0xecoempire_dao_torino_03";       // wind, level 3
constexpr char kCerSolidale[] = "0xcer_solidale_napoli_04";      // storage, level 2
constexpr char kNotOwner[] = "{\"status\":\"error\",\"message\":\"Non sei il proprietario certificato di questo lotto!\"}";
constexpr char kRefunded[] =
    "{\"status\":\"ok\",\"message\":\"Asta/Offerta annullata e fondi in escrow rimborsati all'offerente.\"}";

// Zava Vovaz and game RUZ in the world: every player's balance plus the
// escrow held on the lots. kWh count as RUZ at the market's rate, since a
// RUZ bid may buy its shortfall from them.
struct Totals {
  uint64_t wc = 0;  // wraps like the sum it checks, so equality stays exact
  double ruz = 0.0;
};

Totals totals(GameEngine& engine) {
  Totals t;
  for (const auto& [key, p] : Peer::players(engine)) {
    t.wc += p.coins;
    t.ruz += p.ruz + p.kwh / kKwhPerRuz;
  }
  for (const auto& [key, lot] : Peer::parcels(engine)) {
    if (!(lot.highest_bid > 0.0) || lot.highest_bidder.empty()) continue;
    if (is_ruz(lot.sale_currency)) {
      t.ruz += lot.highest_bid;
    } else {
      t.wc += *whole_wc(lot.highest_bid);
    }
  }
  return t;
}

class GameMarket : public game_test::GameFixture {
 protected:
  void SetUp() override {
    GameFixture::SetUp();
    engine_ = make_engine();
  }

  // A lot of `owner` at the centre of cell (q, r) with a level-1 hydrogen
  // plant (its output does not follow the sun).
  void own(const std::string& owner, const std::string& key, int64_t q, int64_t r) {
    ParcelRecord p;
    game_test::cell_centre(q, r, p.lat, p.lon);
    p.key = key;
    p.owner = owner;
    p.plant_type = "hydrogen";
    p.plant_level = 1;
    p.power_kw = get_plant_spec("hydrogen", 1)->power_kw;
    Peer::with_lock(*engine_, [&](GameEngine& e) {
      Peer::get_or_create(e, owner);
      Peer::put_parcel(e, p);
      Peer::recalc(e, Peer::get_or_create(e, owner));
    });
  }
  void wallet(const std::string& who, uint64_t coins, double ruz = 5.0, double kwh = 25.0) {
    Peer::with_lock(*engine_, [&](GameEngine& e) {
      PlayerProfile& p = Peer::get_or_create(e, who);
      p.coins = coins;
      p.ruz = ruz;
      p.kwh = kwh;
    });
  }
  // Stores a changed copy of a lot, as a world file could have left it.
  void edit_lot(const std::string& key, const std::function<void(ParcelRecord&)>& change) {
    Peer::with_lock(*engine_, [&](GameEngine& e) {
      ParcelRecord lot = Peer::parcels_of(e).at(key);
      change(lot);
      Peer::put_parcel(e, lot);
    });
  }
  // The auctions view holds exactly the lots a walk over every lot finds
  // on the market.
  void expect_view_matches_the_lots() {
    size_t on_market = 0;
    for (const auto& [key, p] : Peer::parcels(*engine_)) on_market += is_on_market(p) ? 1 : 0;
    const std::string view = engine_->get_active_auctions_json();
    EXPECT_EQ(game_test::count_of(view, "{\"key\":"), on_market) << view;
    for (const auto& [key, p] : Peer::parcels(*engine_)) {
      EXPECT_EQ(view.find("{\"key\":\"" + key.str() + "\"") != std::string::npos, is_on_market(p)) << key;
    }
  }
  ParcelRecord lot(const std::string& key) { return Peer::parcel(*engine_, key); }
  PlayerProfile player(const std::string& who) { return Peer::player(*engine_, who); }
  // A seeded lot of `owner` (the first in key order).
  std::string seeded_lot(const std::string& owner) {
    std::string first;
    for (const auto& [key, p] : Peer::parcels(*engine_)) {
      if (p.owner == owner && (first.empty() || key < first)) first = key;
    }
    return first;
  }

  bool list(const std::string& who, const std::string& key, const std::string& currency, double min_bid,
            double buyout = 0.0) {
    return engine_->list_parcel_for_sale(who, key, currency, min_bid, buyout, out_);
  }
  bool cancel(const std::string& who, const std::string& key) { return engine_->cancel_parcel_sale(who, key, out_); }
  bool bid(const std::string& who, const std::string& key, const std::string& currency, double amount) {
    return engine_->place_bid_or_offer(who, key, currency, amount, out_);
  }
  bool accept(const std::string& who, const std::string& key) { return engine_->accept_highest_bid(who, key, out_); }
  std::string message() const { return json_value(out_, "message"); }

  std::unique_ptr<GameEngine> engine_;
  std::string out_;
};

TEST_F(GameMarket, FixedPriceSellersSellAtTheirPriceAndListBelowIt) {
  EXPECT_EQ(fixed_lot_price(3, "WC"), 360.0);
  EXPECT_EQ(fixed_lot_price(3, "RUZ"), 2.5);
  wallet("0xbuyer", 1000);
  const std::string wind = seeded_lot(kEcoEmpire);
  const uint64_t seller_coins = player(kEcoEmpire).coins;
  const double seller_power = player(kEcoEmpire).power_kw;

  ASSERT_TRUE(bid("0xbuyer", wind, "WC", 360)) << out_;
  EXPECT_EQ(out_,
            "{\"status\":\"ok\",\"instant_transfer\":true,\"message\":\"\xF0\x9F\x8E\x89 Offerta accettata "
            "istantaneamente! Il lotto e l'impianto sono ora di tua proprieta'!\",\"coins\":640,\"ruz\":5.00}");
  ParcelRecord sold = lot(wind);
  EXPECT_EQ(sold.owner, "0xbuyer");
  EXPECT_EQ(sold.plant_type, "wind");
  EXPECT_EQ(sold.plant_level, 3);
  EXPECT_FALSE(sold.for_sale);
  EXPECT_EQ(sold.highest_bid, 0.0);
  EXPECT_EQ(sold.highest_bidder, "");
  EXPECT_EQ(player(kEcoEmpire).coins, seller_coins + 360);
  EXPECT_EQ(player(kEcoEmpire).parcels_count, 3u);
  EXPECT_LT(player(kEcoEmpire).power_kw, seller_power);
  EXPECT_EQ(player("0xbuyer").parcels_count, 1u);
  EXPECT_GT(player("0xbuyer").power_kw, 0.0);

  // 200 WC: the lot goes on the market at that price, buy-now at 360.
  const std::string other = seeded_lot(kSolarKing);
  ASSERT_TRUE(bid("0xbuyer", other, "WC", 200)) << out_;
  EXPECT_EQ(out_,
            "{\"status\":\"ok\",\"instant_transfer\":false,\"message\":\"\xF0\x9F\x94\xA8 Offerta di 200.00 WC "
            "registrata in Escrow come Miglior Offerta!\",\"highest_bid\":200.00,\"currency\":\"WC\",\"coins\":440,"
            "\"ruz\":5.00}");
  ParcelRecord listed = lot(other);
  EXPECT_EQ(listed.owner, kSolarKing);
  EXPECT_TRUE(listed.for_sale);
  EXPECT_EQ(listed.min_bid, 200.0);
  EXPECT_EQ(listed.buyout_price, 360.0);
  EXPECT_EQ(listed.highest_bid, 200.0);
  EXPECT_EQ(listed.highest_bidder, "0xbuyer");
  EXPECT_EQ(listed.updated_ms, game_test::kSummerMorningMs);

  // In RUZ a level-2 lot costs 2 RUZ.
  ASSERT_TRUE(bid("0xbuyer", seeded_lot(kCerSolidale), "ruz", 2.0)) << out_;
  EXPECT_EQ(json_value(out_, "instant_transfer"), "true");
  EXPECT_EQ(json_value(out_, "ruz"), "3.00");
}

TEST_F(GameMarket, WattCoinBidsAreWholeCoins) {
  own("0xseller", "lot", 0, 0);
  wallet("0xb", 100);
  ASSERT_TRUE(list("0xseller", "lot", "WC", 5)) << out_;
  ASSERT_TRUE(bid("0xb", "lot", "WC", 10.7)) << out_;
  EXPECT_EQ(lot("lot").highest_bid, 10.0);
  EXPECT_EQ(player("0xb").coins, 90u);
  EXPECT_FALSE(bid("0xc", "lot", "WC", 0.5));
  EXPECT_EQ(message(), "L'offerta minima in Zava Vovaz e' 1 WC");
}

TEST_F(GameMarket, ARuzListingTakesBidsInRuzWhateverTheyName) {
  own("0xseller", "lot", 0, 0);
  ASSERT_TRUE(list("0xseller", "lot", "ruz", 1.5, 3)) << out_;
  EXPECT_EQ(out_,
            "{\"status\":\"ok\",\"message\":\"Lotto messo all'asta con successo in RUZ!\",\"key\":\"lot\","
            "\"currency\":\"RUZ\",\"min_bid\":1.50,\"buyout_price\":3.00}");
  wallet("0xb", 100, 5.0);
  ASSERT_TRUE(bid("0xb", "lot", "WC", 2)) << out_;
  EXPECT_EQ(json_value(out_, "currency"), "RUZ");
  EXPECT_EQ(player("0xb").ruz, 3.0);
  EXPECT_EQ(player("0xb").coins, 100u);
  EXPECT_EQ(lot("lot").sale_currency, "RUZ");
}

TEST_F(GameMarket, ARuzShortfallIsBoughtFromKwh) {
  own("0xseller", "lot", 0, 0);
  wallet("0xpoor", 0, 1.0, 150.0);
  EXPECT_FALSE(bid("0xpoor", "lot", "RUZ", 3));
  EXPECT_EQ(message(),
            "Saldo RUZ insufficiente (Richiesti: 3.00 RUZ, Disponibili: 1.00 RUZ). Produci piu' kWh o offri in "
            "Zava Vovaz!");
  EXPECT_EQ(player("0xpoor").kwh, 150.0);
  EXPECT_EQ(lot("lot").highest_bid, 0.0);

  wallet("0xb", 0, 1.0, 250.0);
  ASSERT_TRUE(bid("0xb", "lot", "RUZ", 3)) << out_;
  EXPECT_EQ(player("0xb").kwh, 50.0);
  EXPECT_EQ(player("0xb").ruz, 0.0);
  EXPECT_EQ(json_value(out_, "message"),
            "\xF0\x9F\x94\xA8 Offerta di 3.00 RUZ registrata in Escrow come Miglior Offerta!");
}

TEST_F(GameMarket, ABidMustBeatTheHeldOneAndRefundsIt) {
  own("0xseller", "lot", 0, 0);
  wallet("0xfirst", 300);
  wallet("0xsecond", 300, 5.0);
  ASSERT_TRUE(list("0xseller", "lot", "WC", 5)) << out_;
  ASSERT_TRUE(bid("0xfirst", "lot", "WC", 10)) << out_;
  EXPECT_FALSE(bid("0xsecond", "lot", "WC", 10));
  EXPECT_EQ(message(), "Offerta insufficiente: supera l'offerta attuale di 10.00 WC!");
  ASSERT_TRUE(bid("0xsecond", "lot", "WC", 11)) << out_;
  EXPECT_EQ(player("0xfirst").coins, 300u);
  EXPECT_EQ(player("0xsecond").coins, 289u);
  EXPECT_EQ(lot("lot").highest_bidder, "0xsecond");
}

TEST_F(GameMarket, OffersAreComparedInWattCoinTerms) {
  own("0xseller", "lot", 0, 0);
  wallet("0xwc", 300);
  wallet("0xruz", 300, 5.0);
  ASSERT_TRUE(bid("0xwc", "lot", "WC", 150)) << out_;  // an offer: the lot is not listed
  EXPECT_FALSE(lot("lot").for_sale);
  EXPECT_FALSE(bid("0xruz", "lot", "RUZ", 1));          // 100 WC against 150
  EXPECT_EQ(message(), "Offerta insufficiente: supera l'offerta attuale di 150.00 WC!");
  ASSERT_TRUE(bid("0xruz", "lot", "RUZ", 2)) << out_;   // 200 WC against 150
  EXPECT_EQ(player("0xwc").coins, 300u);
  EXPECT_EQ(player("0xruz").ruz, 3.0);
  EXPECT_EQ(lot("lot").sale_currency, "RUZ");
  EXPECT_EQ(lot("lot").highest_bid, 2.0);
}

TEST_F(GameMarket, ListingAndCancellingRefundTheOffer) {
  own("0xseller", "lot", 0, 0);
  wallet("0xb", 300);
  ASSERT_TRUE(bid("0xb", "lot", "WC", 40)) << out_;
  ASSERT_TRUE(list("0xseller", "lot", "RUZ", 1)) << out_;
  EXPECT_EQ(player("0xb").coins, 300u);
  EXPECT_EQ(lot("lot").highest_bid, 0.0);
  EXPECT_EQ(lot("lot").highest_bidder, "");

  ASSERT_TRUE(bid("0xb", "lot", "RUZ", 1.25)) << out_;
  EXPECT_EQ(player("0xb").ruz, 3.75);
  ASSERT_TRUE(cancel("0xseller", "lot")) << out_;
  EXPECT_EQ(out_, kRefunded);
  EXPECT_EQ(player("0xb").ruz, 5.0);
  const ParcelRecord after = lot("lot");
  EXPECT_FALSE(after.for_sale);
  EXPECT_EQ(after.min_bid, 0.0);
  EXPECT_EQ(after.sale_currency, "RUZ");  // left as it was

  // With nothing to refund the answer is the same.
  ASSERT_TRUE(cancel("0xseller", "lot")) << out_;
  EXPECT_EQ(out_, kRefunded);
  EXPECT_FALSE(cancel("0xb", "lot"));
  EXPECT_EQ(out_, kNotOwner);
}

TEST_F(GameMarket, AcceptingSellsTheLotWithItsPlantAndBillboard) {
  own("0xseller", "lot", 0, 0);
  own("0xseller", "other", 3, 0);
  edit_lot("lot", [](ParcelRecord& l) {
    l.billboard_active = true;
    l.title = "Vendesi";
  });
  wallet("0xb", 300);
  const double one_plant = get_plant_spec("hydrogen", 1)->power_kw;
  EXPECT_FALSE(accept("0xseller", "lot"));
  EXPECT_EQ(message(), "Nessuna offerta attiva da accettare su questo lotto");

  ASSERT_TRUE(list("0xseller", "lot", "WC", 100)) << out_;
  EXPECT_FALSE(bid("0xb", "lot", "WC", 99));
  EXPECT_EQ(message(), "L'offerta deve essere almeno pari alla base d'asta (100.00 WC)");
  ASSERT_TRUE(bid("0xb", "lot", "WC", 150)) << out_;
  EXPECT_FALSE(accept("0xb", "lot"));
  EXPECT_EQ(out_, kNotOwner);
  ASSERT_TRUE(accept("0xseller", "lot")) << out_;
  EXPECT_EQ(out_,
            "{\"status\":\"ok\",\"message\":\"Vendita completata! Hai incassato 150.00 WC e trasferito la "
            "proprieta' del lotto.\",\"coins\":450,\"ruz\":5.00}");
  const ParcelRecord sold = lot("lot");
  EXPECT_EQ(sold.owner, "0xb");
  EXPECT_EQ(sold.plant_type, "hydrogen");
  EXPECT_TRUE(sold.billboard_active);
  EXPECT_EQ(sold.title, "Vendesi");
  EXPECT_FALSE(sold.for_sale);
  EXPECT_EQ(sold.highest_bid, 0.0);
  EXPECT_EQ(player("0xb").coins, 150u);
  EXPECT_DOUBLE_EQ(player("0xseller").power_kw, one_plant);
  EXPECT_DOUBLE_EQ(player("0xb").power_kw, one_plant * 0.5);  // under its billboard
  EXPECT_EQ(player("0xb").parcels_count, 1u);
  EXPECT_EQ(Peer::index_of(*engine_).owned_by("0xb").size(), 1u);
}

TEST_F(GameMarket, ACellTextFindsTheLotExceptForAcceptance) {
  own("0xseller", "lot", 0, 0);
  wallet("0xb", 300);
  double lat = 0;
  double lon = 0;
  game_test::cell_centre(0, 0, lat, lon);
  const std::string place = fixed_text(lat, 7) + "_" + fixed_text(lon, 7);
  ASSERT_TRUE(list("0xseller", place, "WC", 5)) << out_;
  EXPECT_EQ(json_value(out_, "key"), "lot");
  ASSERT_TRUE(bid("0xb", place, "WC", 10)) << out_;
  EXPECT_FALSE(accept("0xseller", place));
  EXPECT_EQ(out_, kNotOwner);
  ASSERT_TRUE(cancel("0xseller", place)) << out_;
  EXPECT_EQ(player("0xb").coins, 300u);
}

TEST_F(GameMarket, RefusedBidsAndTheirMessages) {
  own("0xseller", "lot", 0, 0);
  wallet("0xb", 300);
  struct Case {
    std::string who;
    std::string key;
    std::string currency;
    double amount;
    std::string message;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<Case> cases = {
      {"0xb", "nowhere", "WC", 10, "Lotto non trovato sul server"},
      {"0xSELLER", "lot", "WC", 10, "Possiedi gia' questo lotto!"},
      {"0xb", "lot", "WC", 0, "Importo offerta non valido"},
      {"0xb", "lot", "WC", -3, "Importo offerta non valido"},
      {"0xb", "lot", "WC", std::nan(""), "Importo offerta non valido"},
      {"0xb", "lot", "WC", inf, "Importo offerta non valido"},
      {"0xb", "lot", "WC", 1e300, "Importo offerta non valido"},
      {"0xb", "lot", "WC", kMaxMarketWc * 2, "Importo offerta non valido"},
      {"0xb", "lot", "RUZ", kMaxMarketRuz * 1.01, "Importo offerta non valido"},
      {"0xb", "lot", "WC", 400, "Zava Vovaz insufficienti per coprire l'offerta in escrow (400 WC richiesti)."},
      {"0xb", "lot", "WC", kMaxMarketWc,
       "Zava Vovaz insufficienti per coprire l'offerta in escrow (9007199254740992 WC richiesti)."},
      {"0xb", "lot", "RUZ", kMaxMarketRuz,
       "Saldo RUZ insufficiente (Richiesti: 90071992547409.92 RUZ, Disponibili: 5.00 RUZ). Produci piu' kWh o "
       "offri in Zava Vovaz!"},
  };
  const ParcelRecord before = lot("lot");
  for (const Case& c : cases) {
    EXPECT_FALSE(bid(c.who, c.key, c.currency, c.amount)) << c.amount;
    EXPECT_EQ(message(), c.message) << c.amount;
  }
  const ParcelRecord after = lot("lot");
  EXPECT_EQ(after.highest_bid, before.highest_bid);
  EXPECT_EQ(after.for_sale, before.for_sale);
  EXPECT_EQ(player("0xb").coins, 300u);
  EXPECT_EQ(player("0xb").ruz, 5.0);
}

TEST_F(GameMarket, RefusedListingsAndTheirMessages) {
  own("0xseller", "lot", 0, 0);
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::string currency;
    double min_bid;
    double buyout;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"WC", 0, 0, "Inserisci una base d'asta valida (> 0)"},
      {"WC", -1, 0, "Inserisci una base d'asta valida (> 0)"},
      {"WC", std::nan(""), 0, "Inserisci una base d'asta valida (> 0)"},
      {"WC", inf, 0, "Inserisci una base d'asta valida (> 0)"},
      {"WC", 1e300, 0, "Inserisci una base d'asta valida (> 0)"},
      {"RUZ", 1e14, 0, "Inserisci una base d'asta valida (> 0)"},  // above the RUZ range
      {"WC", 10, 5, "Il prezzo Compra Subito deve essere maggiore o uguale alla base d'asta"},
      {"WC", 10, inf, "Prezzo Compra Subito non valido"},
      {"WC", 10, 1e300, "Prezzo Compra Subito non valido"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(list("0xseller", "lot", c.currency, c.min_bid, c.buyout)) << c.min_bid << " " << c.buyout;
    EXPECT_EQ(message(), c.message) << c.min_bid << " " << c.buyout;
  }
  EXPECT_FALSE(lot("lot").for_sale);
  EXPECT_FALSE(list("0xother", "lot", "WC", 10));
  EXPECT_EQ(out_, kNotOwner);

  // A buy-now price that is no number, or negative, means none; 1e14 WC is
  // within the Zava Vovaz range.
  ASSERT_TRUE(list("0xseller", "lot", "WC", 1e14, std::nan(""))) << out_;
  EXPECT_EQ(json_value(out_, "buyout_price"), "0.00");
  ASSERT_TRUE(list("0xseller", "lot", "WC", 10, -inf)) << out_;
  EXPECT_EQ(json_value(out_, "buyout_price"), "0.00");
  ASSERT_TRUE(list("0xseller", "lot", "WC", 10, 10)) << out_;
  EXPECT_EQ(json_value(out_, "buyout_price"), "10.00");
}

TEST_F(GameMarket, ABuyNowBidTransfersAtOnce) {
  own("0xseller", "lot", 0, 0);
  wallet("0xseller", 0);
  wallet("0xb", 300);
  ASSERT_TRUE(list("0xseller", "lot", "WC", 10, 50)) << out_;
  ASSERT_TRUE(bid("0xb", "lot", "WC", 49)) << out_;
  EXPECT_EQ(json_value(out_, "instant_transfer"), "false");
  ASSERT_TRUE(bid("0xb", "lot", "WC", 50)) << out_;  // the held 49 comes back to the same bidder
  EXPECT_EQ(json_value(out_, "instant_transfer"), "true");
  EXPECT_EQ(player("0xb").coins, 250u);
  EXPECT_EQ(player("0xseller").coins, 50u);
  EXPECT_EQ(lot("lot").owner, "0xb");
}

TEST_F(GameMarket, AnEscrowThatCannotBePaidOutChangesNothing) {
  own("0xseller", "lot", 0, 0);
  wallet("0xb", 300);
  // A stored escrow beyond the range of Zava Vovaz: no count of coins.
  edit_lot("lot", [](ParcelRecord& l) {
    l.highest_bid = 1e300;
    l.highest_bidder = "0xb";
  });
  const std::string before = game_test::dump_world(*engine_);
  EXPECT_FALSE(cancel("0xseller", "lot"));
  EXPECT_EQ(message(), "Importo offerta non valido");
  EXPECT_FALSE(accept("0xseller", "lot"));
  EXPECT_EQ(message(), "Importo offerta non valido");
  EXPECT_EQ(game_test::dump_world(*engine_), before);

  // A seller whose coins could not hold the price.
  edit_lot("lot", [](ParcelRecord& l) {
    l.highest_bid = 0.0;
    l.highest_bidder.clear();
  });
  wallet("0xseller", std::numeric_limits<uint64_t>::max() - 5);
  ASSERT_TRUE(list("0xseller", "lot", "WC", 1, 10)) << out_;
  const std::string listed = game_test::dump_world(*engine_);
  EXPECT_FALSE(bid("0xb", "lot", "WC", 10));
  EXPECT_EQ(message(), "Importo offerta non valido");
  EXPECT_EQ(game_test::dump_world(*engine_), listed);
  EXPECT_TRUE(bid("0xb", "lot", "WC", 5)) << out_;  // just fits
  EXPECT_EQ(json_value(out_, "instant_transfer"), "false");
  expect_view_matches_the_lots();
}

TEST_F(GameMarket, UnsafeAddressesAreRefusedBeforeAnyPlayerExists) {
  own("0xseller", "lot", 0, 0);
  const size_t players = Peer::players(*engine_).size();
  const std::string bad_address = "0xa\"|b";
  EXPECT_FALSE(list(bad_address, "lot", "WC", 10));
  EXPECT_EQ(message(), kBadAddressMessage);
  EXPECT_FALSE(bid(bad_address, "lot", "WC", 10));
  EXPECT_EQ(message(), kBadAddressMessage);
  EXPECT_FALSE(cancel(bad_address, "lot"));
  EXPECT_FALSE(accept(bad_address, "lot"));
  EXPECT_EQ(Peer::players(*engine_).size(), players);
}

// A key that no lot can have only finds no lot: each operation gives the
// refusal it gives for any lot it does not find.
TEST_F(GameMarket, LotKeysNoLotCanHaveFindNoLot) {
  own("0xseller", "lot", 0, 0);
  for (const std::string key : {"lot\nP|0xforged|999999", "lot|x", "lot\"", "\xFF"}) {
    EXPECT_FALSE(bid("0xfine", key, "WC", 10)) << key;
    EXPECT_EQ(message(), "Lotto non trovato sul server") << key;
    EXPECT_FALSE(list("0xseller", key, "WC", 10)) << key;
    EXPECT_EQ(message(), kNotLotOwnerMessage) << key;
    EXPECT_FALSE(cancel("0xseller", key)) << key;
    EXPECT_EQ(message(), kNotLotOwnerMessage) << key;
    EXPECT_FALSE(accept("0xseller", key)) << key;
    EXPECT_EQ(message(), kNotLotOwnerMessage) << key;
  }
  EXPECT_FALSE(Peer::parcel(*engine_, "lot").for_sale);
}

TEST_F(GameMarket, AFailedSaveUndoesTheSale) {
  own("0xseller", "lot", 0, 0);
  wallet("0xb", 300);
  ASSERT_TRUE(list("0xseller", "lot", "WC", 10, 100)) << out_;
  ASSERT_TRUE(bid("0xb", "lot", "WC", 20)) << out_;
  const std::string before = game_test::dump_world(*engine_);
  const std::string file = saved_world();
  block_saves(*engine_);  // no save can replace the file

  EXPECT_FALSE(accept("0xseller", "lot"));
  EXPECT_EQ(out_, error_json(kSaveFailedMessage));
  EXPECT_EQ(game_test::dump_world(*engine_), before);
  // An instant sale to a buyer met for the first time.
  EXPECT_FALSE(bid("0xnew", "lot", "WC", 100));
  EXPECT_EQ(out_, error_json(kSaveFailedMessage));
  EXPECT_EQ(game_test::dump_world(*engine_), before);
  EXPECT_FALSE(Peer::has_player(*engine_, "0xnew"));
  EXPECT_EQ(saved_world(), file);

  expect_view_matches_the_lots();
  allow_saves(*engine_);
  ASSERT_TRUE(accept("0xseller", "lot")) << out_;
  EXPECT_EQ(lot("lot").owner, "0xb");
  expect_view_matches_the_lots();
}

TEST_F(GameMarket, EscrowNeitherCreatesNorLosesCurrency) {
  own("0xa", "a1", 0, 0);
  own("0xa", "a2", 3, 0);
  wallet("0xa", 500, 2.0, 40.0);
  wallet("0xb", 800, 1.0, 450.0);
  wallet("0xc", 120, 0.5, 1000.0);
  const std::string bot_lot = seeded_lot(kEcoEmpire);
  // Every step, accepted or refused, among players who already exist.
  struct Step {
    std::function<bool()> run;
    bool ok;
  };
  const std::vector<Step> steps = {
      {[&] { return list("0xa", "a1", "WC", 50, 300); }, true},
      {[&] { return bid("0xb", "a1", "WC", 60.9); }, true},
      {[&] { return bid("0xc", "a1", "WC", 60); }, false},        // not above the held bid
      {[&] { return bid("0xc", "a1", "WC", 130); }, false},       // more than it has
      {[&] { return bid("0xc", "a1", "WC", 100); }, true},        // refunds 0xb
      {[&] { return bid("0xb", "a2", "RUZ", 3); }, true},         // an offer, 2 RUZ from kWh
      {[&] { return bid("0xc", "a2", "WC", 250); }, false},       // 250 WC against 300
      {[&] { return bid("0xc", "a2", "RUZ", 3.5); }, true},       // refunds 3 RUZ to 0xb
      {[&] { return list("0xa", "a2", "WC", 10); }, true},        // refunds 3.5 RUZ to 0xc
      {[&] { return accept("0xa", "a1"); }, true},
      {[&] { return accept("0xa", "a2"); }, false},               // no bid any more
      {[&] { return bid("0xb", "a2", "WC", 10); }, true},
      {[&] { return cancel("0xa", "a2"); }, true},
      {[&] { return bid("0xb", bot_lot, "WC", 200); }, true},     // lists the seller's lot
      {[&] { return bid("0xc", bot_lot, "WC", 360); }, false},    // 0xc holds 20 WC now
      {[&] { return bid("0xa", bot_lot, "WC", 360); }, true},     // fixed price: sold, 0xb refunded
      {[&] { return list("0xa", bot_lot, "RUZ", 0.25, 5); }, true},
      {[&] { return bid("0xc", bot_lot, "RUZ", 0.3); }, true},
      {[&] { return bid("0xb", bot_lot, "RUZ", 5); }, true},      // buy-now
  };
  Totals expected = totals(*engine_);
  for (size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(steps[i].run(), steps[i].ok) << "step " << i << ": " << out_;
    const Totals now = totals(*engine_);
    EXPECT_EQ(now.wc, expected.wc) << "step " << i;
    EXPECT_NEAR(now.ruz, expected.ruz, 1e-9) << "step " << i;
    expect_view_matches_the_lots();
  }
  EXPECT_EQ(lot("a1").owner, "0xc");
  EXPECT_EQ(lot(bot_lot).owner, "0xb");
}

TEST_F(GameMarket, TheAuctionsViewListsLotsOnTheMarketOrWithAnOffer) {
  EXPECT_EQ(engine_->get_active_auctions_json(), "{\"status\":\"ok\",\"auctions\":[]}");
  own("0xa", "listed", 0, 0);
  own("0xa", "offered", 3, 0);
  own("0xa", "quiet", 6, 0);
  wallet("0xb", 300);
  ASSERT_TRUE(list("0xa", "listed", "WC", 12.5, 40)) << out_;
  ASSERT_TRUE(bid("0xb", "offered", "WC", 7)) << out_;
  edit_lot("listed", [](ParcelRecord& l) {
    l.title = "a \"quoted\" \\ title";
    l.social_type.clear();
  });
  const std::string view = engine_->get_active_auctions_json();
  EXPECT_EQ(game_test::count_of(view, "\"key\":"), 2u);
  EXPECT_EQ(view.find("\"quiet\""), std::string::npos);
  const ParcelRecord l = lot("listed");
  const std::string listed_entry =
      "{\"key\":\"listed\",\"lat\":" + fixed_text(l.lat, 6) + ",\"lon\":" + fixed_text(l.lon, 6) +
      ",\"owner\":\"0xa\",\"plantType\":\"hydrogen\",\"plantLevel\":1,\"plantName\":\"\",\"powerKw\":" +
      fixed_text(l.power_kw, 2) +
      ",\"forSale\":true,\"saleCurrency\":\"WC\",\"minBid\":12.50,\"buyoutPrice\":40.00,\"highestBid\":0.00,"
      "\"highestBidder\":\"\",\"billboardActive\":false,\"billboardSpanCluster\":true,\"billboardGroupId\":\"\","
      "\"billboardTitle\":\"a \\\"quoted\\\" \\\\ title\",\"billboardImageUrl\":\"\",\"billboardLinkUrl\":\"\","
      "\"billboardSocialType\":\"web\"}";
  EXPECT_NE(view.find(listed_entry), std::string::npos) << view;
  EXPECT_NE(view.find("\"key\":\"offered\""), std::string::npos);
  EXPECT_NE(view.find("\"forSale\":false,\"saleCurrency\":\"WC\",\"minBid\":0.00,\"buyoutPrice\":0.00,"
                      "\"highestBid\":7.00,\"highestBidder\":\"0xb\""),
            std::string::npos)
      << view;
  // In key order, and the same after the world is read back.
  EXPECT_LT(view.find("\"key\":\"listed\""), view.find("\"key\":\"offered\""));
  engine_ = make_engine();
  expect_view_matches_the_lots();
  EXPECT_EQ(game_test::count_of(engine_->get_active_auctions_json(), "{\"key\":"), 2u);
}

TEST(MarketRules, CurrenciesRangesAndWholeCoins) {
  EXPECT_STREQ(market_currency("RUZ"), "RUZ");
  EXPECT_STREQ(market_currency("ruz"), "RUZ");
  EXPECT_STREQ(market_currency("Ruz"), "WC");
  EXPECT_STREQ(market_currency(""), "WC");
  ParcelRecord lot;
  lot.sale_currency = "";
  EXPECT_STREQ(lot_currency(lot), "WC");
  lot.sale_currency = "RUZ";
  EXPECT_STREQ(lot_currency(lot), "RUZ");

  EXPECT_TRUE(market_amount_in_range(kMaxMarketWc, "WC"));
  EXPECT_FALSE(market_amount_in_range(std::nextafter(kMaxMarketWc, 1e300), "WC"));
  EXPECT_TRUE(market_amount_in_range(kMaxMarketRuz, "RUZ"));
  EXPECT_FALSE(market_amount_in_range(kMaxMarketRuz * 1.0001, "RUZ"));
  EXPECT_FALSE(market_amount_in_range(std::nan(""), "WC"));
  EXPECT_FALSE(market_amount_in_range(0.0, "WC"));

  EXPECT_EQ(whole_wc(2.5), 3u);  // halves away from zero
  EXPECT_EQ(whole_wc(2.49), 2u);
  EXPECT_EQ(whole_wc(0.0), 0u);
  EXPECT_EQ(whole_wc(kMaxMarketWc), 9'007'199'254'740'992u);
  EXPECT_FALSE(whole_wc(kMaxMarketWc * 2).has_value());
  EXPECT_FALSE(whole_wc(1e300).has_value());
  EXPECT_FALSE(whole_wc(-1.0).has_value());
  EXPECT_FALSE(whole_wc(std::numeric_limits<double>::infinity()).has_value());
  EXPECT_FALSE(whole_wc(std::nan("")).has_value());
}

}  // namespace
}  // namespace ZezozuRiziv
