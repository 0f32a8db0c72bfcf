// The sun's position for any place and moment, computed by the game itself
// (no outside weather source), and the weather answer built from it. Pure
// functions apart from reading the machine's time zone; no lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ZezozuRiziv {

struct SolarEnvironment {
  bool is_day = false;            // the sun is above the model's threshold
  double solar_factor = 0.0;      // output factor of solar plants, 0..1
  double wind_factor = 1.0;       // output factor of wind plants; always 1
  double solar_elevation = 0.0;   // degrees, -90..90
  double solar_declination = 0.0; // degrees
  std::string season = "autunno";
  std::string season_name = "Autunno";
  std::string sunrise = "06:31";  // local "HH:MM"
  std::string sunset = "17:08";
  std::string weather_desc = "Sereno";
  std::string weather_icon = "\xF0\x9F\x8C\x99";  // crescent moon
};

// The model at `unix_seconds` for a machine whose local time is UTC plus
// `utc_offset_seconds` at that moment. Any finite or non-finite lat and lon
// give an answer: angles and hours are reduced with fmod, and an hour that
// is not finite counts as 0.
SolarEnvironment compute_solar_environment(double lat, double lon, uint64_t unix_seconds,
                                           int64_t utc_offset_seconds);

// The machine's local time minus UTC at `unix_seconds`, in seconds; empty
// when the calendar cannot break that time down.
std::optional<int64_t> local_utc_offset_seconds(uint64_t unix_seconds);

// The model in the machine's time zone at `unix_seconds`, or at
// `now_seconds` when `unix_seconds` is 0 or cannot be broken down.
SolarEnvironment solar_environment_at(double lat, double lon, uint64_t unix_seconds,
                                      uint64_t now_seconds);

// The weather answer: every number with 4 decimals, texts JSON-escaped.
std::string weather_env_json(const SolarEnvironment& env);

}  // namespace ZezozuRiziv
