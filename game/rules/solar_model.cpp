#include "game/rules/solar_model.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <mutex>

#include "crypto/json_writer.h"

namespace ZezozuRiziv {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegToRad = kPi / 180.0;
constexpr int64_t kSecondsPerDay = 86'400;
// Below this sine of the elevation the sun counts as set.
constexpr double kDaySineThreshold = 0.005;
// Elevation from which the day counts as full day.
constexpr double kFullDayElevation = 12.0;

constexpr char kIconMoon[] = "\xF0\x9F\x8C\x99";            // U+1F319
constexpr char kIconSun[] = "\xE2\x98\x80\xEF\xB8\x8F";     // U+2600 U+FE0F
constexpr char kIconSunrise[] = "\xF0\x9F\x8C\x85";         // U+1F305
constexpr char kIconSunset[] = "\xF0\x9F\x8C\x87";          // U+1F307

double sin_deg(double d) { return std::sin(d * kDegToRad); }
double cos_deg(double d) { return std::cos(d * kDegToRad); }
double tan_deg(double d) { return std::tan(d * kDegToRad); }

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// The year of a day count since 1970-01-01.
int64_t year_of_days(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  return yoe + era * 400 + (m <= 2 ? 1 : 0);
}

// Brings an hour into [0, 24); a value that is not finite counts as 0.
double wrap_hours(double h) {
  if (!std::isfinite(h)) return 0.0;
  h = std::fmod(h, 24.0);
  if (h < 0.0) h += 24.0;
  if (h >= 24.0) h -= 24.0;
  return h;
}

std::string clock_text(double hours) {
  const int whole = static_cast<int>(hours);
  const int minutes = static_cast<int>((hours - whole) * 60.0);
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%02d:%02d", whole, minutes);
  return buffer;
}

void set_season(SolarEnvironment& env, int64_t day_number) {
  if (day_number < 79 || day_number >= 355) {
    env.season = "inverno";
    env.season_name = "Inverno";
  } else if (day_number < 172) {
    env.season = "primavera";
    env.season_name = "Primavera";
  } else if (day_number < 266) {
    env.season = "estate";
    env.season_name = "Estate";
  } else {
    env.season = "autunno";
    env.season_name = "Autunno";
  }
}

}  // namespace

SolarEnvironment compute_solar_environment(double lat, double lon, uint64_t unix_seconds,
                                           int64_t utc_offset_seconds) {
  SolarEnvironment env;

  const int64_t days = static_cast<int64_t>(unix_seconds / kSecondsPerDay);
  const int64_t second_of_day = static_cast<int64_t>(unix_seconds % kSecondsPerDay);
  const int64_t utc_hour = second_of_day / 3600;
  const int64_t utc_minute = second_of_day / 60 % 60;
  const int64_t utc_second = second_of_day % 60;
  int64_t local_second_of_day = (second_of_day + utc_offset_seconds % kSecondsPerDay) % kSecondsPerDay;
  if (local_second_of_day < 0) local_second_of_day += kSecondsPerDay;
  const int64_t local_hour = local_second_of_day / 3600;

  // 1. Day of the year, 1 on 1 January (UTC).
  const int64_t n = days - days_from_civil(year_of_days(days), 1, 1) + 1;
  set_season(env, n);

  // 2-4. Declination and the equation of time (hours).
  const double b = static_cast<double>(n - 81) * 360.0 / 365.0;
  env.solar_declination = 23.45 * sin_deg(b);
  const double e = (9.87 * sin_deg(2.0 * b) - 7.53 * cos_deg(b) - 1.5 * sin_deg(b)) / 60.0;

  // 5-8. Solar noon, half-day length, sunrise and sunset in local time.
  const double noon = 12.0 - lon / 15.0 - e;
  const double x = tan_deg(lat) * tan_deg(env.solar_declination);
  double half_day = 0.0;  // also when x is not a number: the sun does not rise
  if (x > -1.0 && x < 1.0) {
    half_day = std::acos(-x) / kDegToRad / 15.0;
  } else if (x >= 1.0) {
    half_day = 12.0;
  }
  const double zone = static_cast<double>(local_hour - utc_hour);
  env.sunrise = clock_text(wrap_hours(noon - half_day + zone));
  env.sunset = clock_text(wrap_hours(noon + half_day + zone));

  // 9-12. Local solar time, hour angle and elevation.
  const double lst = wrap_hours(lon / 15.0 + static_cast<double>(utc_hour) +
                                static_cast<double>(utc_minute) / 60.0 +
                                static_cast<double>(utc_second) / 3600.0 + e);
  const double hour_angle = (lst - 12.0) * 15.0;
  double sin_el = sin_deg(lat) * sin_deg(env.solar_declination) +
                  cos_deg(lat) * cos_deg(env.solar_declination) * cos_deg(hour_angle);
  if (std::isnan(sin_el)) sin_el = 0.0;  // a latitude that is no number: the sun on the horizon
  if (sin_el >= 1.0) {
    env.solar_elevation = 90.0;
  } else if (sin_el <= -1.0) {
    env.solar_elevation = -90.0;
  } else {
    env.solar_elevation = std::asin(sin_el) / kDegToRad;
  }

  // 13-16. Day or night, factor and phase.
  if (!(sin_el > kDaySineThreshold)) {
    env.is_day = false;
    env.solar_factor = 0.0;
    env.weather_desc = "Notte (Sole sotto l'orizzonte - FV inattivo)";
    env.weather_icon = kIconMoon;
  } else {
    env.is_day = true;
    const double factor =
        (1.0 + 0.033 * cos_deg(360.0 * static_cast<double>(n) / 365.0)) * std::pow(sin_el, 1.12);
    env.solar_factor = std::fmax(0.0, std::fmin(1.0, factor));
    if (env.solar_elevation >= kFullDayElevation) {
      env.weather_desc = "Giorno (Produzione Fotovoltaica a pieno regime)";
      env.weather_icon = kIconSun;
    } else if (lst < 12.0) {
      env.weather_desc = "Alba (Basso irraggiamento)";
      env.weather_icon = kIconSunrise;
    } else {
      env.weather_desc = "Tramonto (Irraggiamento calante)";
      env.weather_icon = kIconSunset;
    }
  }
  env.wind_factor = 1.0;
  return env;
}

std::optional<int64_t> local_utc_offset_seconds(uint64_t unix_seconds) {
  if (unix_seconds > static_cast<uint64_t>(std::numeric_limits<std::time_t>::max())) return std::nullopt;
  const std::time_t t = static_cast<std::time_t>(unix_seconds);
  // std::localtime shares one buffer; the lock keeps our callers apart.
  static std::mutex localtime_mutex;
  std::lock_guard<std::mutex> lock(localtime_mutex);
  const std::tm* local = std::localtime(&t);
  if (local == nullptr) return std::nullopt;
  const int64_t local_as_utc =
      days_from_civil(int64_t{local->tm_year} + 1900, local->tm_mon + 1, local->tm_mday) * kSecondsPerDay +
      local->tm_hour * 3600 + local->tm_min * 60 + local->tm_sec;
  return local_as_utc - static_cast<int64_t>(t);
}

SolarEnvironment solar_environment_at(double lat, double lon, uint64_t unix_seconds,
                                      uint64_t now_seconds) {
  uint64_t t = unix_seconds != 0 ? unix_seconds : now_seconds;
  std::optional<int64_t> offset = local_utc_offset_seconds(t);
  if (!offset) {
    // A time the calendar cannot break down counts as now.
    t = now_seconds;
    offset = local_utc_offset_seconds(t);
  }
  return compute_solar_environment(lat, lon, t, offset.value_or(0));
}

std::string weather_env_json(const SolarEnvironment& env) {
  JsonWriter json;
  json.begin_object()
      .field("status", "ok")
      .field("is_day", env.is_day)
      .key("solar_factor").fixed(env.solar_factor, 4)
      .key("wind_factor").fixed(env.wind_factor, 4)
      .key("solar_elevation").fixed(env.solar_elevation, 4)
      .key("solar_declination").fixed(env.solar_declination, 4)
      .field("season", env.season)
      .field("season_name", env.season_name)
      .field("sunrise", env.sunrise)
      .field("sunset", env.sunset)
      .field("weather_desc", env.weather_desc)
      .field("weather_icon", env.weather_icon)
      .end_object();
  return json.take();
}

}  // namespace ZezozuRiziv
