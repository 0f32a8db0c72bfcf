#include "game/rules/production.h"

#include <gtest/gtest.h>

#include <string>

#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

using game_test::kSummerMorningMs;

ParcelRecord plant(const std::string& type, double power, double boost = 0.0, bool billboard = false) {
  ParcelRecord p;
  p.key = type;
  p.plant_type = type;
  p.power_kw = power;
  p.storage_boost = boost;
  p.billboard_active = billboard;
  return p;
}

SolarEnvironment sun(bool day, double factor) {
  SolarEnvironment env;
  env.is_day = day;
  env.solar_factor = factor;
  return env;
}

TEST(GameProduction, LotOutputByTypeSunAndBillboard) {
  const SolarEnvironment day = sun(true, 0.5);
  const SolarEnvironment night = sun(false, 0.0);
  EXPECT_DOUBLE_EQ(lot_effective_power(plant("solar", 100, 0, true), day), 25.0);
  EXPECT_DOUBLE_EQ(lot_effective_power(plant("solar", 100), night), 0.0);
  EXPECT_DOUBLE_EQ(lot_effective_power(plant("wind", 13.9), night), 13.9);
  EXPECT_DOUBLE_EQ(lot_effective_power(plant("storage", 10), day), 0.0);
  EXPECT_DOUBLE_EQ(lot_effective_power(plant("storage", 10), night), 4.0);
  EXPECT_DOUBLE_EQ(lot_effective_power(plant("hydrogen", 27.8), night), 27.8);
  EXPECT_DOUBLE_EQ(lot_effective_power(plant("", 3.0), day), 3.0);
}

TEST(GameProduction, StorageRaisesTheMultiplierDayAndNightUpToItsCap) {
  const PlayerProfile player;
  for (const bool is_day : {true, false}) {
    const SolarEnvironment env = sun(is_day, 0.7);
    PowerTally tally(player, env, kSummerMorningMs);
    tally.add(plant("storage", 5.0, 0.15));
    EXPECT_DOUBLE_EQ(tally.power_kw(), is_day ? 0.0 : 2.0);
    EXPECT_DOUBLE_EQ(tally.storage_boost(), 1.15);
    EXPECT_EQ(tally.parcels_count(), 1u);
  }
  const SolarEnvironment env = sun(false, 0.0);
  PowerTally big(player, env, kSummerMorningMs);
  for (int i = 0; i < 4; ++i) big.add(plant("storage", 1.0, 1.0));  // 1 + 4.0
  EXPECT_DOUBLE_EQ(big.storage_boost(), 3.5);
  // A bare lot counts and adds nothing; a boost on a non-storage lot is ignored.
  PowerTally bare(player, env, kSummerMorningMs);
  bare.add(plant("", 0.0));
  bare.add(plant("wind", 4.0, 9.0));
  EXPECT_EQ(bare.parcels_count(), 2u);
  EXPECT_DOUBLE_EQ(bare.storage_boost(), 1.0);
  EXPECT_DOUBLE_EQ(bare.power_kw(), 4.0);
}

TEST(GameProduction, ActiveCardsChangeTheirLots) {
  struct CardCase {
    const char* card;
    const char* lot;
    double expected;
  };
  const CardCase cases[] = {
      {"solar_boost", "solar", 130.0}, {"solar_boost", "wind", 100.0}, {"wind_boost", "wind", 130.0},
      {"storage_boost", "storage", 52.0}, {"h2_boost", "hydrogen", 130.0}, {"sahara_dust", "solar", 90.0},
      {"sahara_dust", "wind", 120.0}, {"global_boost", "solar", 100.0}};
  const SolarEnvironment env = sun(false, 1.0);  // storage produces x0.4 at night
  SolarEnvironment day = sun(true, 1.0);
  for (const CardCase& c : cases) {
    PlayerProfile player;
    player.card_type = c.card;
    player.card_value = 0.30;
    player.card_until_ms = kSummerMorningMs + 1;
    const SolarEnvironment& e = std::string(c.lot) == "storage" ? env : day;
    PowerTally tally(player, e, kSummerMorningMs);
    tally.add(plant(c.lot, 100.0));
    EXPECT_NEAR(tally.power_kw(), c.expected, 1e-9) << c.card << " on " << c.lot;

    // Expired: no effect.
    PowerTally later(player, e, kSummerMorningMs + 1);
    later.add(plant(c.lot, 100.0));
    EXPECT_NEAR(later.power_kw(), std::string(c.lot) == "storage" ? 40.0 : 100.0, 1e-9) << c.card;
  }
}

TEST(GameProduction, GlobalBoostTakesTheLargestRunningMultiplier) {
  const uint64_t now = kSummerMorningMs;
  AdminConfig admin;
  EXPECT_EQ(global_boost_state(admin, now).multiplier, 1u);
  EXPECT_FALSE(global_boost_state(admin, now).active);

  admin.super_boost_until_ms = now + 60'000;
  admin.super_boost_reason = "Rete";
  ScheduledSuperBoost big;
  big.start_ms = now - 1;
  big.end_ms = now + 120'000;
  big.multiplier = 150;
  big.title = "Festa";
  admin.scheduled_boosts.push_back(big);
  GlobalBoostState s = global_boost_state(admin, now);
  EXPECT_TRUE(s.active);
  EXPECT_EQ(s.multiplier, 150u);
  EXPECT_EQ(s.remaining_sec, 120u);
  EXPECT_EQ(s.reason, "Festa");

  admin.super_boost_until_ms = 0;
  admin.scheduled_boosts[0].multiplier = 50;
  admin.scheduled_boosts[0].title.clear();
  admin.scheduled_boosts[0].reason = "Motivo";
  s = global_boost_state(admin, now);
  EXPECT_EQ(s.multiplier, 50u);
  EXPECT_EQ(s.reason, "Motivo");

  admin.scheduled_boosts[0].cancelled = true;
  EXPECT_EQ(global_boost_state(admin, now).multiplier, 1u);
  admin.scheduled_boosts[0].cancelled = false;
  EXPECT_EQ(global_boost_state(admin, admin.scheduled_boosts[0].end_ms).multiplier, 1u);  // end excluded
}

TEST(GameProduction, AccrualOverFixedIntervals) {
  const uint64_t now = kSummerMorningMs;
  AdminConfig admin;
  PlayerProfile p;
  p.power_kw = 10.0;
  p.storage_boost = 1.0;
  p.last_sync_ms = now - 3 * kDayMs;  // away three days: one day is credited
  EXPECT_DOUBLE_EQ(accrual_increment(p, admin, now), 240.0);
  p.last_sync_ms = now - 3'600'000;  // one hour
  EXPECT_DOUBLE_EQ(accrual_increment(p, admin, now), 10.0);

  p.storage_boost = 1.5;
  p.boost_10x_until_ms = now + 1;
  admin.super_boost_until_ms = now + 1;
  p.card_type = "global_boost";
  p.card_value = 0.2;
  p.card_until_ms = now + 1;
  EXPECT_NEAR(accrual_increment(p, admin, now), 10.0 * 1.5 * 100 * 1.2 * 10.0, 1e-6);

  p.card_type = "cer_resonance";  // only inside a community
  EXPECT_NEAR(accrual_increment(p, admin, now), 10.0 * 1.5 * 100 * 10.0, 1e-6);
  p.cer_id = "cer_x";
  EXPECT_NEAR(accrual_increment(p, admin, now), 10.0 * 1.5 * 100 * 1.2 * 10.0, 1e-6);

  PlayerProfile idle;
  idle.power_kw = 10.0;
  idle.last_sync_ms = 0;  // never synced
  EXPECT_EQ(accrual_increment(idle, admin, now), 0.0);
  idle.last_sync_ms = now + 5;  // clock set back
  EXPECT_EQ(accrual_increment(idle, admin, now), 0.0);
  idle.last_sync_ms = now - 1000;
  idle.power_kw = 0.0;
  EXPECT_EQ(accrual_increment(idle, admin, now), 0.0);
}

TEST(GameProduction, WeeksTurnOnMondayAtMidnightUtc) {
  const uint64_t sunday = 1'718'496'000'000ULL;  // 2024-06-16 00:00 UTC
  const uint64_t monday = 1'718'582'400'000ULL;  // 2024-06-17 00:00 UTC
  EXPECT_EQ(week_number(sunday), week_number(monday - 1));
  EXPECT_EQ(week_number(monday), week_number(monday - 1) + 1);
  EXPECT_EQ(week_number(monday + 7 * kDayMs - 1), week_number(monday));
  // The epoch's week began on Monday 1969-12-29.
  EXPECT_EQ(week_number(0), week_number(4 * kDayMs - 1));
  EXPECT_EQ(week_number(4 * kDayMs), week_number(0) + 1);
}

TEST(GameProduction, HistoryBucketsRollAndSplit) {
  const uint64_t monday = 1'718'582'400'000ULL;
  PlayerProfile p;
  p.weekly_quiz_score = 40;
  p.answered_this_week = {"q1"};
  book_production(p, 10.0, monday + 1000);
  EXPECT_DOUBLE_EQ(p.today_kwh, 10.0);
  EXPECT_DOUBLE_EQ(p.all_time_kwh, 35.0);
  EXPECT_DOUBLE_EQ(p.solar_kwh, 4.0);
  EXPECT_DOUBLE_EQ(p.wind_kwh, 3.5);
  EXPECT_DOUBLE_EQ(p.storage_kwh, 1.5);
  EXPECT_DOUBLE_EQ(p.hydrogen_kwh, 1.0);
  EXPECT_EQ(p.weekly_quiz_score, 40u);  // the first booking only records the periods

  book_production(p, 5.0, monday + kDayMs);  // next day
  EXPECT_DOUBLE_EQ(p.yesterday_kwh, 10.0);
  EXPECT_DOUBLE_EQ(p.today_kwh, 5.0);
  EXPECT_DOUBLE_EQ(p.this_week_kwh, 15.0);

  book_production(p, 1.0, monday + 3 * kDayMs);  // two days later
  EXPECT_DOUBLE_EQ(p.yesterday_kwh, 0.0);
  EXPECT_DOUBLE_EQ(p.today_kwh, 1.0);

  book_production(p, 2.0, monday + 7 * kDayMs);  // the next Monday
  EXPECT_DOUBLE_EQ(p.last_week_kwh, 16.0);
  EXPECT_DOUBLE_EQ(p.this_week_kwh, 2.0);
  EXPECT_EQ(p.weekly_quiz_score, 0u);
  EXPECT_TRUE(p.answered_this_week.empty());

  const PlayerProfile before = p;
  book_production(p, 0.0, monday + 30 * kDayMs);  // nothing booked, periods untouched
  EXPECT_EQ(p.day_index, before.day_index);
  EXPECT_DOUBLE_EQ(p.today_kwh, before.today_kwh);
}

class GameProductionEngine : public game_test::GameFixture {};

TEST_F(GameProductionEngine, SyncAccruesIntoPlayerHistoryAndCommunity) {
  auto engine = make_engine();
  using Peer = GameEngineTestPeer;
  Peer::with_lock(*engine, [&](GameEngine& e) {
    PlayerProfile& p = Peer::get_or_create(e, "0xabc");
    ParcelRecord lot;
    lot.key = "h2";
    lot.lat = 45.0;
    lot.lon = 9.0;
    lot.owner = "0xabc";
    lot.plant_type = "hydrogen";
    lot.power_kw = 10.0;
    Peer::put_parcel(e, lot);
    Peer::recalc(e, p);
    p.cer_id = "cer_solare_italia";
    CERCommunity& c = Peer::cers_of(e)["cer_solare_italia"];
    c.members.push_back({"0xabc", "member", 0, 0, 1.0});
  });
  const double community_before = Peer::cers(*engine)["cer_solare_italia"].total_kwh;
  clock_->advance_ms(3 * kDayMs);
  Peer::with_lock(*engine, [&](GameEngine& e) { Peer::sync(e, Peer::players_of(e)["0xabc"]); });

  const PlayerProfile p = Peer::player(*engine, "0xabc");
  EXPECT_DOUBLE_EQ(p.power_kw, 10.0);
  EXPECT_DOUBLE_EQ(p.kwh, 25.0 + 240.0);
  EXPECT_DOUBLE_EQ(p.today_kwh, 240.0);
  EXPECT_EQ(p.last_sync_ms, kSummerMorningMs + 3 * kDayMs);
  const CERCommunity c = Peer::cers(*engine)["cer_solare_italia"];
  EXPECT_DOUBLE_EQ(c.total_kwh, community_before + 240.0);
  EXPECT_DOUBLE_EQ(c.members.back().total_kwh, 241.0);

  // Clock set back: nothing accrues, the sync time follows the clock.
  clock_->set_ms(kSummerMorningMs);
  Peer::with_lock(*engine, [&](GameEngine& e) { Peer::sync(e, Peer::players_of(e)["0xabc"]); });
  EXPECT_DOUBLE_EQ(Peer::player(*engine, "0xabc").kwh, 265.0);
  EXPECT_EQ(Peer::player(*engine, "0xabc").last_sync_ms, kSummerMorningMs);
}

TEST_F(GameProductionEngine, PowerFollowsTheSunAtTheFirstLotOrTheFix) {
  auto engine = make_engine();
  using Peer = GameEngineTestPeer;
  // A solar lot in Milan at 10:00 UTC on 21 June: factor 0.8421.
  Peer::with_lock(*engine, [&](GameEngine& e) {
    PlayerProfile& p = Peer::get_or_create(e, "0xsun");
    ParcelRecord lot;
    lot.key = "milan";
    lot.lat = 45.4642;
    lot.lon = 9.19;
    lot.owner = "0xsun";
    lot.plant_type = "solar";
    lot.power_kw = 100.0;
    Peer::put_parcel(e, lot);
    Peer::recalc(e, p);
  });
  EXPECT_NEAR(Peer::player(*engine, "0xsun").power_kw, 84.205, 1e-2);
  clock_->advance_ms(12 * 3600 * 1000);  // night in Milan
  Peer::with_lock(*engine, [&](GameEngine& e) { Peer::recalc(e, Peer::players_of(e)["0xsun"]); });
  EXPECT_DOUBLE_EQ(Peer::player(*engine, "0xsun").power_kw, 0.0);
  EXPECT_EQ(Peer::player(*engine, "0xsun").parcels_count, 1u);
}

}  // namespace
}  // namespace ZezozuRiziv
