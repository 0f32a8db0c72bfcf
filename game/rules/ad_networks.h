// The four rewarded-ad networks (reward, quoted eCPM, revenue per paid view),
// how a session picks one, and the ad-network configuration file. Pure
// functions; the engine calls them under its lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "game/model/game_records.h"

namespace ZezozuRiziv {

struct AdNetwork {
  const char* name;      // "moloco", "amazon", "meta", "google"
  uint64_t reward_wc;    // Zava Vovaz promised for a "wc" view
  double ecpm_eur;       // quoted to the client
  double revenue_eur;    // booked per paid view
};

// Waterfall order: moloco, amazon, meta, google.
inline constexpr AdNetwork kAdNetworks[] = {
    {"moloco", 100, 24.0, 0.024},
    {"amazon", 90, 21.0, 0.021},
    {"meta", 75, 18.0, 0.018},
    {"google", 60, 15.0, 0.015},
};

// The network named by `name`; google for every other name.
const AdNetwork& ad_network_named(std::string_view name);
// The network a session opens with: the client's preference when it names
// one (searched as a substring: Moloco, then Amazon, then Meta, else
// google), or the waterfall (now + ads watched) mod 4 when the preference is
// empty, "auto" or "AUTOMATIC_WATERFALL".
const AdNetwork& pick_ad_network(std::string_view preference, uint64_t now_ms, uint64_t ads_watched);

// An identifier as it may be stored: '|' becomes '_', CR and LF are
// dropped, so it can never split a world-file line.
std::string clean_ad_identifier(std::string_view text);

// The configuration file the engine reads at start (relative to the working
// directory).
inline constexpr char kAdsPublisherConfPath[] = "config/ads_publisher.conf";
// A larger file is not read: it cannot be a list of ten identifiers.
inline constexpr uint64_t kMaxAdsConfBytes = 64 * 1024;

// Applies the KEY=VALUE lines of the configuration file over `config`:
// empty lines, '#' lines and lines without '=' are skipped, one trailing CR
// is dropped, the key is the text before the first '=' (matched exactly),
// an empty value changes nothing, a later line wins. Values are cleaned
// with clean_ad_identifier. Returns how many fields were set.
uint64_t apply_ads_publisher_conf(std::string_view text, AdNetworksConfig& config);

}  // namespace ZezozuRiziv
