#include "game/rules/solar_model.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <limits>
#include <string>
#include <vector>

#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

// Expected figures were computed outside this code, from the model's
// formulas, with the machine's zone at UTC unless a case says otherwise.
constexpr uint64_t kMilanSummer10Utc = 1'718'964'000;  // 2024-06-21 10:00 UTC
constexpr uint64_t kEquatorEquinoxNoon = 1'710'936'000;  // 2024-03-20 12:00 UTC (N = 80)
constexpr uint64_t kRomeWinterMidnight = 1'734'739'200;  // 2024-12-21 00:00 UTC
constexpr uint64_t kJanFirst2023 = 1'672'531'200;        // 2023-01-01 00:00 UTC
constexpr double kMilanLat = 45.4642;
constexpr double kMilanLon = 9.19;

TEST(GameSolarModel, MilanOnASummerMorning) {
  const SolarEnvironment env = compute_solar_environment(kMilanLat, kMilanLon, kMilanSummer10Utc, 0);
  EXPECT_TRUE(env.is_day);
  EXPECT_NEAR(env.solar_elevation, 62.05939, 1e-4);
  EXPECT_NEAR(env.solar_declination, 23.44805, 1e-4);
  EXPECT_NEAR(env.solar_factor, 0.84205, 1e-4);
  EXPECT_DOUBLE_EQ(env.wind_factor, 1.0);
  EXPECT_EQ(env.season, "estate");
  EXPECT_EQ(env.sunrise, "03:40");
  EXPECT_EQ(env.sunset, "19:09");
  EXPECT_EQ(weather_env_json(env),
            "{\"status\":\"ok\",\"is_day\":true,\"solar_factor\":0.8421,\"wind_factor\":1.0000,"
            "\"solar_elevation\":62.0594,\"solar_declination\":23.4480,\"season\":\"estate\","
            "\"season_name\":\"Estate\",\"sunrise\":\"03:40\",\"sunset\":\"19:09\","
            "\"weather_desc\":\"Giorno (Produzione Fotovoltaica a pieno regime)\","
            "\"weather_icon\":\"\xE2\x98\x80\xEF\xB8\x8F\"}");

  // Two hours ahead of UTC: only the local clock times move.
  const SolarEnvironment local = compute_solar_environment(kMilanLat, kMilanLon, kMilanSummer10Utc, 7200);
  EXPECT_EQ(local.sunrise, "05:40");
  EXPECT_EQ(local.sunset, "21:09");
  EXPECT_DOUBLE_EQ(local.solar_elevation, env.solar_elevation);
}

TEST(GameSolarModel, EquatorAtEquinoxNoonIsClampedToFullOutput) {
  const SolarEnvironment env = compute_solar_environment(0.0, 0.0, kEquatorEquinoxNoon, 0);
  EXPECT_NEAR(env.solar_declination, -0.40365, 1e-4);
  EXPECT_NEAR(env.solar_elevation, 87.99820, 1e-4);
  EXPECT_DOUBLE_EQ(env.solar_factor, 1.0);
  EXPECT_EQ(env.season, "primavera");
  EXPECT_EQ(env.sunrise, "06:07");
  EXPECT_EQ(env.sunset, "18:07");
}

TEST(GameSolarModel, NightDawnAndDusk) {
  const SolarEnvironment night = compute_solar_environment(41.9027, 12.4963, kRomeWinterMidnight, 0);
  EXPECT_FALSE(night.is_day);
  EXPECT_DOUBLE_EQ(night.solar_factor, 0.0);
  EXPECT_NEAR(night.solar_elevation, -68.71479, 1e-4);
  EXPECT_EQ(night.weather_desc, "Notte (Sole sotto l'orizzonte - FV inattivo)");
  EXPECT_EQ(night.weather_icon, "\xF0\x9F\x8C\x99");
  EXPECT_EQ(night.season, "inverno");

  const uint64_t midnight = 1'718'928'000;  // 2024-06-21 00:00 UTC
  const SolarEnvironment dawn = compute_solar_environment(kMilanLat, kMilanLon, midnight + 4 * 3600, 0);
  EXPECT_TRUE(dawn.is_day);
  EXPECT_NEAR(dawn.solar_elevation, 2.9063, 1e-3);
  EXPECT_EQ(dawn.weather_desc, "Alba (Basso irraggiamento)");
  EXPECT_EQ(dawn.weather_icon, "\xF0\x9F\x8C\x85");
  const SolarEnvironment dusk = compute_solar_environment(kMilanLat, kMilanLon, midnight + 18 * 3600 + 1800, 0);
  EXPECT_NEAR(dusk.solar_elevation, 5.9299, 1e-3);
  EXPECT_EQ(dusk.weather_desc, "Tramonto (Irraggiamento calante)");
  EXPECT_EQ(dusk.weather_icon, "\xF0\x9F\x8C\x87");

  // Just above the horizon but with a sine of 0.005 or less: still night.
  const SolarEnvironment low = compute_solar_environment(kMilanLat, kMilanLon, 1'718'941'320, 0);
  EXPECT_GT(low.solar_elevation, 0.2);
  EXPECT_FALSE(low.is_day);
  EXPECT_DOUBLE_EQ(low.solar_factor, 0.0);
}

TEST(GameSolarModel, PolarDayAndPolarNight) {
  const SolarEnvironment june = compute_solar_environment(80.0, 0.0, kMilanSummer10Utc, 0);
  EXPECT_EQ(june.sunrise, "00:01");
  EXPECT_EQ(june.sunset, "00:01");
  const SolarEnvironment december = compute_solar_environment(80.0, 0.0, kRomeWinterMidnight, 0);
  EXPECT_EQ(december.sunrise, "11:59");
  EXPECT_EQ(december.sunset, "11:59");
}

TEST(GameSolarModel, SeasonsTurnOnTheirDays) {
  const std::vector<std::pair<int, std::string>> days = {
      {1, "inverno"}, {78, "inverno"}, {79, "primavera"}, {171, "primavera"}, {172, "estate"},
      {265, "estate"}, {266, "autunno"}, {354, "autunno"}, {355, "inverno"}, {365, "inverno"}};
  for (const auto& [n, season] : days) {
    const uint64_t t = kJanFirst2023 + static_cast<uint64_t>(n - 1) * 86'400 + 43'200;
    EXPECT_EQ(compute_solar_environment(45.0, 9.0, t, 0).season, season) << n;
  }
  // 21 March 2023 is day 80: B about -0.99 degrees, declination about -0.40.
  const SolarEnvironment march = compute_solar_environment(45.0, 9.0, kJanFirst2023 + 79 * 86'400, 0);
  EXPECT_NEAR(march.solar_declination, 23.45 * std::sin(-360.0 / 365.0 * 3.14159265358979 / 180.0), 1e-9);
  EXPECT_NEAR(march.solar_declination, -0.4036, 1e-3);
}

TEST(GameSolarModel, InputsBeyondAnyPlaceAnswerPromptly) {
  // Each used to loop (hours brought into range by adding 24 at a time) or
  // to reach a failed calendar breakdown.
  auto all = std::async(std::launch::async, [] {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<SolarEnvironment> out;
    out.push_back(compute_solar_environment(45.0, 1e300, kMilanSummer10Utc, 0));
    out.push_back(compute_solar_environment(45.0, -1e300, kMilanSummer10Utc, 0));
    out.push_back(compute_solar_environment(inf, inf, kMilanSummer10Utc, 0));
    out.push_back(compute_solar_environment(nan, nan, kMilanSummer10Utc, 0));
    out.push_back(compute_solar_environment(-inf, 1e18, kMilanSummer10Utc, 0));
    out.push_back(solar_environment_at(45.0, 9.0, std::numeric_limits<uint64_t>::max(), kMilanSummer10Utc));
    out.push_back(solar_environment_at(45.0, 9.0, 1ULL << 62, kMilanSummer10Utc));
    return out;
  });
  ASSERT_EQ(all.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const std::vector<SolarEnvironment> envs = all.get();
  for (const SolarEnvironment& env : envs) {
    EXPECT_EQ(env.sunrise.size(), 5u);
    EXPECT_TRUE(std::isfinite(env.solar_elevation));
    const std::string json = weather_env_json(env);
    EXPECT_EQ(json.find("nan"), std::string::npos) << json;
    EXPECT_EQ(json.find("inf"), std::string::npos) << json;
  }
  // A time the calendar cannot break down counts as now.
  EXPECT_EQ(weather_env_json(envs[5]), weather_env_json(solar_environment_at(45.0, 9.0, 0, kMilanSummer10Utc)));
}

class GameWeatherView : public game_test::GameFixture {};

TEST_F(GameWeatherView, ZeroMeansTheEngineClockAndOtherTimesAreUsedAsGiven) {
  auto engine = make_engine();
  const std::string now_view = engine->get_weather_env_json(kMilanLat, kMilanLon, 0);
  EXPECT_EQ(now_view, engine->get_weather_env_json(kMilanLat, kMilanLon, kMilanSummer10Utc));
  EXPECT_NE(now_view, engine->get_weather_env_json(kMilanLat, kMilanLon, kRomeWinterMidnight));
  EXPECT_NE(now_view.find("\"solar_elevation\":62.0594"), std::string::npos) << now_view;
  clock_->advance_ms(12 * 3600 * 1000);  // 22:00 UTC: night
  EXPECT_NE(engine->get_weather_env_json(kMilanLat, kMilanLon, 0).find("\"is_day\":false"), std::string::npos);
}

}  // namespace
}  // namespace ZezozuRiziv
