#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "game/model/game_random.h"
#include "game/model/text_safety.h"
#include "game/rules/daily_cards.h"
#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

using game_test::json_value;
using Peer = GameEngineTestPeer;
namespace fs = std::filesystem;

constexpr uint64_t kDayMs = 86'400'000;

TEST(DailyCards, TheTableOfSevenCards) {
  struct Row {
    const char* id;
    const char* name;
    const char* desc;
    const char* type;
    double value;
    const char* icon;
  };
  // As the game shows them, icons in UTF-8 (the sun and the desert end
  // with the variation selector).
  const Row rows[] = {
      {"c_solar_30", "Insolazione Eccezionale", "+30% produzione fotovoltaica per 24 ore", "solar_boost", 0.30, "☀️"},
      {"c_wind_35", "Bora & Tramontana", "+35% rendimento aerogeneratori eolici per 24 ore", "wind_boost", 0.35, "💨"},
      {"c_bess_50", "Scarica Notturna BESS", "+50% efficienza accumulatori notturni per 24 ore", "storage_boost", 0.50,
       "🔋"},
      {"c_h2_25", "Catalizzatore Platino", "+25% resa idrogeno verde per 24 ore", "h2_boost", 0.25, "💧"},
      {"c_syn_20", "Sinergia Totale di Rete", "+20% boost su tutti gli impianti per 24 ore", "global_boost", 0.20, "⚡"},
      {"c_cer_25", "Risonanza di Comunita", "+25% produzione per i membri attivi di una CER", "cer_resonance", 0.25,
       "🤝"},
      {"c_dust_twist", "Scirocco & Polveri Sahariane", "+20% eolico ma -10% solare per 24 ore", "sahara_dust", 0.20,
       "🏜️"},
  };
  for (uint64_t i = 0; i < kDailyCardCount; ++i) {
    const DailyCardDef& card = kDailyCards[i];
    EXPECT_STREQ(card.id, rows[i].id);
    EXPECT_STREQ(card.name, rows[i].name);
    EXPECT_STREQ(card.desc, rows[i].desc);
    EXPECT_STREQ(card.type, rows[i].type);
    EXPECT_DOUBLE_EQ(card.value, rows[i].value);
    EXPECT_STREQ(card.icon, rows[i].icon);
  }
  EXPECT_STREQ(kDailyCards[0].icon, "\xE2\x98\x80\xEF\xB8\x8F");
  EXPECT_STREQ(kDailyCards[6].icon, "\xF0\x9F\x8F\x9C\xEF\xB8\x8F");
}

TEST(DailyCards, IndexOfADraw) {
  // 1,000 WC at 1,700,000,000,000 ms with a draw of 41: (1,000 + 1,700,000,000 + 41) mod 7.
  EXPECT_EQ(daily_card_index(1'000, 1'700'000'000'000, 41), 4u);
  EXPECT_EQ(daily_card_index(0, 999, 0), 0u);  // whole seconds only
  EXPECT_EQ(daily_card_index(UINT64_MAX, 1'000, 0), 0u);  // the sum wraps to 0
}

class GameCards : public game_test::GameFixture {
 protected:
  void SetUp() override {
    GameFixture::SetUp();
    engine_ = make_engine();
  }
  // Makes the next draw give row `index` for a player holding `coins`.
  void next_draw_gives(uint64_t index, uint64_t coins) {
    const uint64_t base = daily_card_index(coins, clock_->now_ms(), 0);
    const uint64_t draw = (index + kDailyCardCount - base) % kDailyCardCount;
    Peer::set_random(*engine_, std::make_shared<ZezozuRiziv::ScriptedGameRandom>(std::vector<uint64_t>{draw}));
  }
  bool draw(const std::string& who) { return engine_->draw_daily_bonus_card(who, out_); }
  PlayerProfile player(const std::string& who) { return Peer::player(*engine_, who); }

  std::unique_ptr<GameEngine> engine_;
  std::string out_;
};

TEST_F(GameCards, TheDrawOfTheExample) {
  clock_->set_ms(1'700'000'000'000);
  Peer::with_lock(*engine_, [](GameEngine& e) { Peer::get_or_create(e, "0xab").coins = 1'000; });
  Peer::set_random(*engine_, std::make_shared<ZezozuRiziv::ScriptedGameRandom>(std::vector<uint64_t>{41}));
  ASSERT_TRUE(draw("0xAB")) << out_;
  EXPECT_EQ(out_,
            "{\"status\":\"ok\",\"message\":\"Carta bonus pescata con successo!\",\"card\":{\"id\":\"c_syn_20\","
            "\"name\":\"Sinergia Totale di Rete\",\"desc\":\"+20% boost su tutti gli impianti per 24 ore\","
            "\"type\":\"global_boost\",\"value\":0.2,\"icon\":\"⚡\",\"expires_ms\":1700086400000,"
            "\"duration_sec\":86400}}");
  const PlayerProfile p = player("0xab");
  EXPECT_EQ(p.card_draw_ms, 1'700'000'000'000u);
  EXPECT_EQ(p.card_until_ms, 1'700'086'400'000u);
  EXPECT_EQ(p.card_id, "c_syn_20");
  EXPECT_EQ(p.card_type, "global_boost");
  EXPECT_DOUBLE_EQ(p.card_value, 0.2);
  // Saved at once: the card survives a restart.
  engine_ = make_engine();
  EXPECT_EQ(player("0xab").card_name, "Sinergia Totale di Rete");
  EXPECT_EQ(player("0xab").card_until_ms, 1'700'086'400'000u);
}

TEST_F(GameCards, ValuesInTheStreamsDefaultForm) {
  const char* shown[] = {"0.3", "0.35", "0.5", "0.25", "0.2", "0.25", "0.2"};
  for (uint64_t i = 0; i < kDailyCardCount; ++i) {
    const std::string who = "0xp" + std::to_string(i);
    next_draw_gives(i, 300);
    ASSERT_TRUE(draw(who)) << out_;
    EXPECT_EQ(json_value(out_, "id"), kDailyCards[i].id);
    EXPECT_EQ(json_value(out_, "value"), shown[i]);
    EXPECT_EQ(json_value(out_, "icon"), kDailyCards[i].icon);
  }
}

TEST_F(GameCards, OneDrawPerDay) {
  ASSERT_TRUE(draw("0xab")) << out_;
  const uint64_t drawn = clock_->now_ms();
  const auto refused_with = [](uint64_t seconds) {
    return "{\"status\":\"error\",\"message\":\"Hai gia' pescato la tua carta bonus nelle ultime 24 ore!\","
           "\"cooldown_sec\":" + std::to_string(seconds) + "}";
  };
  clock_->set_ms(drawn + 1'000);
  EXPECT_FALSE(draw("0xab"));
  EXPECT_EQ(out_, refused_with(86'399));
  clock_->set_ms(drawn + kDayMs - 1);
  EXPECT_FALSE(draw("0xab"));
  EXPECT_EQ(out_, refused_with(0));
  EXPECT_EQ(player("0xab").card_draw_ms, drawn);

  // Between the card's end and the next draw the old card is still shown.
  clock_->set_ms(drawn + kDayMs);
  const std::string status = engine_->get_daily_bonus_card_status_json("0xab");
  EXPECT_EQ(json_value(status, "can_draw"), "true");
  EXPECT_EQ(json_value(status, "is_active"), "false");
  EXPECT_EQ(json_value(status, "remaining_sec"), "0");
  EXPECT_EQ(json_value(status, "id"), player("0xab").card_id);
  ASSERT_TRUE(draw("0xab")) << out_;
  EXPECT_EQ(player("0xab").card_draw_ms, drawn + kDayMs);

  // A draw time ahead of the clock (set back) still waits.
  clock_->set_ms(drawn);
  EXPECT_FALSE(draw("0xab"));
  EXPECT_EQ(json_value(out_, "cooldown_sec"), "172800");
}

TEST_F(GameCards, StatusView) {
  EXPECT_EQ(engine_->get_daily_bonus_card_status_json("0xnobody"),
            "{\"status\":\"ok\",\"can_draw\":true,\"cooldown_sec\":0,\"is_active\":false,\"card\":null}");
  EXPECT_FALSE(Peer::has_player(*engine_, "0xnobody"));  // the view creates nobody

  Peer::with_lock(*engine_, [](GameEngine& e) { Peer::get_or_create(e, "0xab"); });
  EXPECT_EQ(engine_->get_daily_bonus_card_status_json("0xAB"),
            "{\"status\":\"ok\",\"can_draw\":true,\"cooldown_sec\":0,\"is_active\":false,\"card\":{\"id\":\"\","
            "\"name\":\"\",\"desc\":\"\",\"type\":\"\",\"value\":0,\"remaining_sec\":0}}");

  next_draw_gives(1, 300);
  ASSERT_TRUE(draw("0xab")) << out_;
  clock_->advance_ms(3'600'500);
  EXPECT_EQ(engine_->get_daily_bonus_card_status_json("0xab"),
            "{\"status\":\"ok\",\"can_draw\":false,\"cooldown_sec\":82799,\"is_active\":true,\"card\":{\"id\":"
            "\"c_wind_35\",\"name\":\"Bora & Tramontana\",\"desc\":\"+35% rendimento aerogeneratori eolici per 24 "
            "ore\",\"type\":\"wind_boost\",\"value\":0.35,\"remaining_sec\":82799}}");
}

TEST_F(GameCards, TheDrawRecomputesPower) {
  ParcelRecord lot;
  lot.key = "h2_lot";
  lot.lat = 40.0;
  lot.lon = 10.0;
  lot.owner = "0xab";
  lot.plant_type = "hydrogen";
  lot.plant_level = 1;
  lot.power_kw = 10.0;
  Peer::with_lock(*engine_, [&](GameEngine& e) {
    Peer::put_parcel(e, lot);
    Peer::recalc(e, Peer::get_or_create(e, "0xab"));
  });
  ASSERT_DOUBLE_EQ(player("0xab").power_kw, 10.0);
  next_draw_gives(3, 300);  // hydrogen +25%
  ASSERT_TRUE(draw("0xab")) << out_;
  EXPECT_DOUBLE_EQ(player("0xab").power_kw, 12.5);
}

TEST_F(GameCards, AFailedSaveDrawsNothing) {
  block_saves(*engine_);
  EXPECT_FALSE(draw("0xab"));
  EXPECT_EQ(out_, error_json(kSaveFailedMessage));
  EXPECT_FALSE(Peer::has_player(*engine_, "0xab"));
  allow_saves(*engine_);
  EXPECT_TRUE(draw("0xab")) << out_;

  EXPECT_FALSE(engine_->draw_daily_bonus_card("0xab|P|x", out_));
  EXPECT_EQ(out_, error_json(kBadAddressMessage));
}

}  // namespace
}  // namespace ZezozuRiziv
