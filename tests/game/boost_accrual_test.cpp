// Production under the global boosts: every stretch of the time since the
// last sync is multiplied by the boost that ran during it, on the game
// clock, with the boosts set through the administrator's operations.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "game/rules/production.h"
#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

using Peer = GameEngineTestPeer;

constexpr char kPlayer[] = "0x00000000000000000000000000000000000000b0";
constexpr uint64_t kSecond = 1000;
constexpr uint64_t kMinute = 60 * kSecond;
constexpr uint64_t kHour = 60 * kMinute;
// 3,600 kW with no storage: one kWh a second at x1.
constexpr double kOneKwhPerSecond = 3600.0;

// One administrator operation, `at` ms after the player's last sync.
struct BoostStep {
  enum Kind { kTrigger, kCancelX100, kSchedule, kCancelScheduled } kind;
  uint64_t at;
  uint64_t minutes_or_start = 0;  // trigger: minutes; schedule: start offset
  uint64_t end = 0;               // schedule: end offset
  uint32_t multiplier = 0;        // schedule
};

struct BoostCase {
  const char* name;
  double power_kw;
  std::vector<BoostStep> steps;
  uint64_t sync_at;  // ms after the last sync
  double expected_kwh;
};

class GameBoostAccrual : public game_test::GameFixture {
 protected:
  // A fresh world holding kPlayer with one hydrogen lot (the sun does not
  // change it) of `power_kw`, synced now; and an administrator token.
  void open(const std::string& sub, double power_kw) {
    engine_ = std::make_unique<GameEngine>(dir(sub), clock_);
    Peer::with_lock(*engine_, [&](GameEngine& e) {
      ParcelRecord lot;
      lot.key = "h2";
      lot.lat = 40.0;
      lot.lon = 10.0;
      lot.owner = kPlayer;
      lot.plant_type = "hydrogen";
      lot.plant_level = 1;
      lot.power_kw = power_kw;
      Peer::put_parcel(e, lot);
      PlayerProfile& p = Peer::get_or_create(e, kPlayer);
      Peer::recalc(e, p);
      p.last_sync_ms = clock_->now_ms();
    });
    password_ = game_test::read_file(dir(sub) + "/" + kMasterPasswordFileName);
    password_.pop_back();
  }
  // Logs in afresh: a token lives one day, and cases span three.
  void run(const BoostStep& s, const std::string& boost_id) {
    std::string out;
    ASSERT_TRUE(engine_->admin_authenticate(password_, token_, out)) << out;
    const uint64_t t0 = start_;
    switch (s.kind) {
      case BoostStep::kTrigger:
        ASSERT_TRUE(engine_->admin_trigger_super_boost(token_, s.minutes_or_start, "", out)) << out;
        break;
      case BoostStep::kCancelX100:
        ASSERT_TRUE(engine_->admin_cancel_super_boost(token_, out)) << out;
        break;
      case BoostStep::kSchedule:
        ASSERT_TRUE(engine_->admin_schedule_super_boost(token_, t0 + s.minutes_or_start, t0 + s.end, s.multiplier,
                                                        "", "", out))
            << out;
        break;
      case BoostStep::kCancelScheduled:
        ASSERT_TRUE(engine_->admin_cancel_scheduled_boost(token_, boost_id, out)) << out;
        break;
    }
  }
  double kwh() { return Peer::player(*engine_, kPlayer).kwh; }

  std::unique_ptr<GameEngine> engine_;
  std::string password_;
  std::string token_;
  uint64_t start_ = 0;
};

TEST_F(GameBoostAccrual, EachStretchRunsAtTheBoostInForce) {
  using S = BoostStep;
  const uint64_t three_days = 3 * kDayMs;
  const std::vector<BoostCase> cases = {
      // A fresh x100 multiplies nothing of what was produced before it.
      {"idle three days, x100 triggered at the sync", 7136.0, {{S::kTrigger, three_days, 30}}, three_days, 171'264.0},
      {"idle three days, x100 for the last minute", kOneKwhPerSecond, {{S::kTrigger, three_days - kMinute, 30}},
       three_days, 86'400.0 + 60 * 100.0},  // the trigger credits the day before it
      // A 2 s x100 that ended before the sync still gives its 2 s at x100.
      {"a 2 s x100 ended before the sync", 7136.0, {{S::kSchedule, 0, kMinute, kMinute + 2 * kSecond, 100}},
       2 * kMinute, 7136.0 / 3600.0 * (118.0 + 2 * 100.0)},
      {"a boost starting mid-interval", kOneKwhPerSecond, {{S::kSchedule, 0, kHour, 10 * kHour, 5}}, 2 * kHour,
       3600.0 + 5 * 3600.0},
      {"the x100 ending mid-interval", kOneKwhPerSecond, {{S::kTrigger, 0, 30}}, kHour, 1800 * 100.0 + 1800.0},
      {"a scheduled boost wholly inside", kOneKwhPerSecond, {{S::kSchedule, 0, 10 * kMinute, 20 * kMinute, 10}},
       kHour, 3000.0 + 600 * 10.0},
      {"a scheduled boost after the sync", kOneKwhPerSecond, {{S::kSchedule, 0, 2 * kHour, 3 * kHour, 10}}, kHour,
       3600.0},
      {"x150 over the x100 takes the larger", kOneKwhPerSecond,
       {{S::kTrigger, 0, 30}, {S::kSchedule, 0, 10 * kMinute, 20 * kMinute, 150}}, kHour,
       600 * 100.0 + 600 * 150.0 + 600 * 100.0 + 1800.0},
      {"x50 under the x100 adds nothing", kOneKwhPerSecond,
       {{S::kTrigger, 0, 30}, {S::kSchedule, 0, 10 * kMinute, 40 * kMinute, 50}}, kHour,
       1800 * 100.0 + 600 * 50.0 + 1200.0},
      {"the cap drops a boost older than a day", kOneKwhPerSecond, {{S::kSchedule, 0, kHour, 2 * kHour, 100}},
       three_days, 86'400.0},
      {"the cap keeps a boost of the last day", kOneKwhPerSecond,
       {{S::kSchedule, 0, three_days - kHour, three_days - 30 * kMinute, 10}}, three_days,
       86'400.0 - 1800.0 + 1800 * 10.0},
      {"a cancelled x100 counts until its cancellation", kOneKwhPerSecond,
       {{S::kTrigger, 0, 30}, {S::kCancelX100, 10 * kMinute}}, kHour, 600 * 100.0 + 3000.0},
      {"a cancelled scheduled boost counts until its cancellation", kOneKwhPerSecond,
       {{S::kSchedule, 0, 10 * kMinute, 50 * kMinute, 20}, {S::kCancelScheduled, 20 * kMinute}}, kHour,
       600 * 20.0 + 3000.0},
      {"the x100 triggered again after it ended", kOneKwhPerSecond, {{S::kTrigger, 0, 30}, {S::kTrigger, kHour, 30}},
       kHour + 10 * kMinute, 1800 * 100.0 + 1800.0 + 600 * 100.0},
  };
  for (size_t n = 0; n < cases.size(); ++n) {
    const BoostCase& c = cases[n];
    clock_->set_ms(game_test::kSummerMorningMs);
    start_ = clock_->now_ms();
    open("case_" + std::to_string(n), c.power_kw);
    const double before = kwh();
    std::string boost_id;
    for (const BoostStep& s : c.steps) {
      clock_->set_ms(start_ + s.at);
      run(s, boost_id);
      if (s.kind == BoostStep::kSchedule) boost_id = Peer::admin(*engine_).scheduled_boosts.back().id;
    }
    clock_->set_ms(start_ + c.sync_at);
    engine_->get_production_history_json(kPlayer);
    EXPECT_NEAR(kwh() - before, c.expected_kwh, 1e-9 * c.expected_kwh) << c.name;
  }
}

}  // namespace
}  // namespace ZezozuRiziv
