// The market, billboard and leaderboard routes over HTTP: parameters,
// their defaults and flags, and answers that stay valid JSON.
#include <cmath>
#include <string>

#include "game_test_support.h"
#include "server/json_reader.h"
#include "server_test_support.h"

namespace {

using game_test::json_value;
using Peer = ZezozuRiziv::GameEngineTestPeer;

constexpr char kOwner[] = "0xowner";

bool valid_json(const std::string& text) { return ZezozuRiziv::JsonDocument::parse(text).has_value(); }

class MarketRoutesTest : public rozeve_test::ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    start_server();
    // Three touching cells and a fourth apart, with hydrogen plants.
    for (const int q : {0, 1, 2, 5}) {
      ZezozuRiziv::ParcelRecord p;
      p.key = "lot" + std::to_string(q);
      p.lat = 40.0;
      p.lon = 10.0 + std::sqrt(3.0) * static_cast<double>(q) * ZezozuRiziv::kHexLonStep;
      p.owner = kOwner;
      p.plant_type = "hydrogen";
      p.plant_level = 1;
      p.power_kw = 10.0;
      Peer::with_lock(server_->game, [&](ZezozuRiziv::GameEngine& e) {
        Peer::put_parcel(e, p);
        Peer::get_or_create(e, "0xbidder").coins = 1000;
      });
    }
  }
  ZezozuRiziv::ParcelRecord lot(const std::string& key) { return Peer::parcel(server_->game, key); }
};

TEST_F(MarketRoutesTest, ListBidAcceptAndTheAuctionsView) {
  const std::string listed = get("/api/game/market/list?addr=0xOWNER&key=lot0&currency=ruz&minBid=1.5");
  EXPECT_EQ(listed,
            "{\"status\":\"ok\",\"message\":\"Lotto messo all'asta con successo in RUZ!\",\"key\":\"lot0\","
            "\"currency\":\"RUZ\",\"min_bid\":1.50,\"buyout_price\":0.00}");
  const std::string bid = post("/api/game/market/bid", "addr=0xbidder&key=lot0&currency=WC&amount=2");
  EXPECT_EQ(json_value(bid, "instant_transfer"), "false") << bid;
  EXPECT_EQ(json_value(bid, "currency"), "RUZ");

  const std::string auctions = get("/api/game/market/auctions");
  EXPECT_TRUE(valid_json(auctions)) << auctions;
  EXPECT_EQ(auctions, server_->game.get_active_auctions_json());
  EXPECT_NE(auctions.find("\"key\":\"lot0\""), std::string::npos);
  EXPECT_NE(auctions.find("\"highestBid\":2.00,\"highestBidder\":\"0xbidder\""), std::string::npos);

  const std::string sold = post("/api/game/market/accept", "addr=0xowner&key=lot0");
  EXPECT_EQ(json_value(sold, "message"),
            "Vendita completata! Hai incassato 2.00 RUZ e trasferito la proprieta' del lotto.");
  EXPECT_EQ(lot("lot0").owner, "0xbidder");
  EXPECT_EQ(get("/api/game/market/auctions"), "{\"status\":\"ok\",\"auctions\":[]}");

  EXPECT_EQ(json_value(get("/api/game/market/list?addr=0xowner&key=lot1&minBid=10"), "status"), "ok");
  EXPECT_EQ(json_value(get("/api/game/market/cancel?addr=0xowner&key=lot1"), "message"),
            "Asta/Offerta annullata e fondi in escrow rimborsati all'offerente.");
}

TEST_F(MarketRoutesTest, AmountsThatAreNoNumberOrOutOfRangeAreRefused) {
  const std::string bad_base = "Inserisci una base d'asta valida (> 0)";
  for (const std::string value : {"inf", "-inf", "nan", "1e400", "1e300", "abc", ""}) {
    const std::string answer = get("/api/game/market/list?addr=0xowner&key=lot1&minBid=" + value);
    EXPECT_EQ(json_value(answer, "message"), bad_base) << value;
    const std::string bid = get("/api/game/market/bid?addr=0xbidder&key=lot1&amount=" + value);
    EXPECT_EQ(json_value(bid, "message"), "Importo offerta non valido") << value;
  }
  EXPECT_EQ(json_value(get("/api/game/market/list?addr=0xowner&key=lot1&minBid=5&buyout=1e300"), "message"),
            "Prezzo Compra Subito non valido");
  // A buy-now price the router cannot read as a finite number means none.
  for (const std::string value : {"nan", "inf", "1e400", "x"}) {
    EXPECT_EQ(json_value(get("/api/game/market/list?addr=0xowner&key=lot1&minBid=5&buyout=" + value),
                         "buyout_price"),
              "0.00")
        << value;
  }
  EXPECT_EQ(Peer::player(server_->game, "0xbidder").coins, 1000u);
}

TEST_F(MarketRoutesTest, BillboardFlagsAndFieldNames) {
  // No "span": the whole district of three.
  std::string set = get("/api/game/billboard/set?addr=0xowner&key=lot1&title=Sole");
  EXPECT_EQ(json_value(set, "updated_lots"), "3") << set;
  EXPECT_EQ(lot("lot0").group_id, lot("lot2").group_id);
  for (const std::string off : {"0", "false"}) {
    set = get("/api/game/billboard/set?addr=0xowner&key=lot5&title=Solo&span=" + off);
    EXPECT_EQ(json_value(set, "updated_lots"), "1") << off;
  }
  // Any other value is on.
  EXPECT_EQ(json_value(get("/api/game/billboard/set?addr=0xowner&key=lot0&title=T&span=no"), "updated_lots"), "3");

  // The long field names win; the short ones fill in when they are empty.
  set = get("/api/game/billboard/set?addr=0xowner&key=lot5&span=0&imageUrl=&image=i.png&linkUrl=L&link=l"
            "&social=tiktok");
  ASSERT_EQ(json_value(set, "status"), "ok") << set;
  EXPECT_EQ(lot("lot5").image_url, "i.png");
  EXPECT_EQ(lot("lot5").link_url, "L");
  EXPECT_EQ(lot("lot5").social_type, "tiktok");
  EXPECT_EQ(lot("lot5").title, "");

  // "cluster" absent: the whole group; "0" or "false": the lot alone.
  std::string cleared = get("/api/game/billboard/clear?addr=0xowner&key=lot0&cluster=false");
  EXPECT_EQ(json_value(cleared, "message"),
            "Vetrina rimossa da 1 lotto: ripristinato il 100% della produzione energetica!");
  EXPECT_TRUE(lot("lot1").billboard_active);
  cleared = post("/api/game/billboard/clear", "addr=0xowner&key=lot1");
  EXPECT_EQ(json_value(cleared, "message"),
            "Vetrina rimossa da 2 lotti: ripristinato il 100% della produzione energetica!");
  EXPECT_FALSE(lot("lot2").billboard_active);
}

TEST_F(MarketRoutesTest, AHostileTitleLeavesEveryAnswerValidJson) {
  const std::string set = get(
      "/api/game/billboard/set?addr=0xowner&key=lot5&span=0&title=%22%7D%5D%7D%3Cscript%3E%5C%0A%7C%01x"
      "&linkUrl=javascript:%22alert(1)%22");
  EXPECT_TRUE(valid_json(set)) << set;
  EXPECT_EQ(json_value(set, "status"), "ok");
  // Quote, backslash, '|' and line breaks are dropped; a control byte is escaped.
  EXPECT_EQ(lot("lot5").title, "}]}<script>\x01x");
  EXPECT_EQ(lot("lot5").link_url, "javascript:alert(1)");
  ASSERT_EQ(json_value(get("/api/game/market/list?addr=0xowner&key=lot5&minBid=3"), "status"), "ok");
  const std::string auctions = get("/api/game/market/auctions");
  EXPECT_TRUE(valid_json(auctions)) << auctions;
  EXPECT_NE(auctions.find("\"billboardTitle\":\"}]}<script>\\u0001x\""), std::string::npos) << auctions;
  const std::string cleared = get("/api/game/billboard/clear?addr=0xowner&key=lot5");
  EXPECT_TRUE(valid_json(cleared)) << cleared;
  // Refused keys answer valid JSON too, and create nobody.
  const std::string refused = get("/api/game/market/bid?addr=0x%22evil&key=lot5&amount=5");
  EXPECT_TRUE(valid_json(refused)) << refused;
  EXPECT_EQ(json_value(refused, "message"), "Indirizzo wallet non valido.");
  EXPECT_FALSE(Peer::has_player(server_->game, "0x\"evil"));
}

TEST_F(MarketRoutesTest, TheLeaderboardRoute) {
  const std::string board = get("/api/game/leaderboard");
  EXPECT_TRUE(valid_json(board)) << board;
  EXPECT_EQ(board, server_->game.get_leaderboard_json());
  EXPECT_EQ(post("/api/game/leaderboard", "x=1"), board);
  EXPECT_EQ(json_value(board, "total_parcels"), "23");  // 19 seeded and 4 here
}

}  // namespace
