// The market, billboards and the leaderboard of a real node, asked as curl
// asks: a seeded seller's lot bought at its fixed price, listed again, bid
// on and sold, given a billboard with a hostile title, and the views read.
#include <string>
#include <vector>

#include "app_node_api_fixture.h"
#include "world_file_support.h"
#include "server/json_reader.h"

namespace {

using rozeve_test::NodeApiTest;
using rozeve_test::read_text;
using rozeve_test::split_lines;

bool valid_json(const std::string& text) { return ZezozuRiziv::JsonDocument::parse(text).has_value(); }

// The '|'-separated fields of a world-file line.
std::vector<std::string> fields_of(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t bar = line.find('|'); bar != std::string::npos; bar = line.find('|', start)) {
    fields.push_back(line.substr(start, bar - start));
    start = bar + 1;
  }
  fields.push_back(line.substr(start));
  return fields;
}

// The world file's lot line of `key`, split, or nothing.
std::vector<std::string> lot_line(const std::filesystem::path& world, const std::string& key) {
  for (const std::string& line : split_lines(rozeve_test::saved_world_text(world.parent_path().string()))) {
    const auto fields = fields_of(line);
    if (fields.size() > 4 && fields[0] == "L" && fields[1] == key) return fields;
  }
  return {};
}

std::string value_of(const std::string& json, const std::string& key) {
  const auto document = ZezozuRiziv::JsonDocument::parse(json);
  if (!document) return "<invalid JSON>";
  const auto value = document->root().find(key);
  if (!value) return "<missing " + key + ">";
  const auto text = value->string();
  return text ? *text : std::string(value->raw());
}

TEST_F(NodeApiTest, MarketBillboardsAndLeaderboard) {
  const auto world = dir_ / "data" / "game_world.dat";
  // A wind lot (level 3) of a seeded seller: 2.5 RUZ buys it at once.
  std::string lot;
  for (const std::string& line : split_lines(rozeve_test::saved_world_text(world.parent_path().string()))) {
    const auto fields = fields_of(line);
    if (fields.size() > 4 && fields[0] == "L" && fields[4] == "0xecoempire_dao_torino_03") lot = fields[1];
  }
  ASSERT_FALSE(lot.empty());

  const std::string bought =
      curl_post("/api/game/market/bid", "addr=0xALICE&key=" + lot + "&currency=RUZ&amount=2.5");
  EXPECT_EQ(bought,
            "{\"status\":\"ok\",\"instant_transfer\":true,\"message\":\"\xF0\x9F\x8E\x89 Offerta accettata "
            "istantaneamente! Il lotto e l'impianto sono ora di tua proprieta'!\",\"coins\":300,\"ruz\":2.50}");
  EXPECT_EQ(lot_line(world, lot).at(4), "0xalice");

  EXPECT_EQ(value_of(curl_get("/api/game/market/list?addr=0xalice&key=" + lot + "&minBid=100&buyout=500"),
                     "status"),
            "ok");
  const std::string bid = curl_get("/api/game/market/bid?addr=0xbob&key=" + lot + "&amount=150");
  EXPECT_EQ(value_of(bid, "coins"), "150") << bid;
  const std::string auctions = curl_get("/api/game/market/auctions");
  EXPECT_TRUE(valid_json(auctions)) << auctions;
  EXPECT_NE(auctions.find("\"key\":\"" + lot + "\""), std::string::npos);
  EXPECT_NE(auctions.find("\"highestBid\":150.00,\"highestBidder\":\"0xbob\""), std::string::npos);

  const std::string sold = curl_post("/api/game/market/accept", "addr=0xalice&key=" + lot);
  EXPECT_EQ(value_of(sold, "message"),
            "Vendita completata! Hai incassato 150.00 WC e trasferito la proprieta' del lotto.");
  EXPECT_EQ(value_of(sold, "coins"), "450");
  EXPECT_EQ(lot_line(world, lot).at(4), "0xbob");  // on disk before the answer

  // A billboard whose title tries to close the JSON string and the line.
  const std::string set = curl_get("/api/game/billboard/set?addr=0xbob&key=" + lot +
                                   "&span=0&title=%22%2C%22owner%22%3A%22x%5C%0D%0AL%7Cforged&social=web");
  EXPECT_TRUE(valid_json(set)) << set;
  EXPECT_EQ(value_of(set, "updated_lots"), "1");
  ASSERT_EQ(value_of(curl_get("/api/game/market/list?addr=0xbob&key=" + lot + "&currency=RUZ&minBid=1"), "status"),
            "ok");
  const std::string shown = curl_get("/api/game/market/auctions");
  EXPECT_TRUE(valid_json(shown)) << shown;
  EXPECT_NE(shown.find("\"billboardTitle\":\",owner:xLforged\""), std::string::npos) << shown;
  EXPECT_EQ(lot_line(world, lot).size(), 23u);
  EXPECT_TRUE(lot_line(world, "forged").empty());

  const std::string cleared = curl_post("/api/game/billboard/clear", "addr=0xbob&key=" + lot);
  EXPECT_EQ(value_of(cleared, "message"),
            "Vetrina rimossa da 1 lotto: ripristinato il 100% della produzione energetica!");
  EXPECT_EQ(value_of(curl_get("/api/game/market/cancel?addr=0xbob&key=" + lot), "status"), "ok");
  EXPECT_EQ(curl_get("/api/game/market/auctions"), "{\"status\":\"ok\",\"auctions\":[]}");

  const std::string board = curl_get("/api/game/leaderboard");
  EXPECT_TRUE(valid_json(board)) << board;
  EXPECT_EQ(value_of(board, "total_players"), "6");  // four seeded, alice and bob
  EXPECT_EQ(value_of(board, "total_parcels"), "19");
  EXPECT_NE(board.find("\"address\":\"0xbob\""), std::string::npos);
}

}  // namespace
