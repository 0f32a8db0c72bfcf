#include "game/rules/ad_networks.h"

#include <array>
#include <utility>

namespace ZezozuRiziv {

namespace {

constexpr size_t kMoloco = 0;
constexpr size_t kAmazon = 1;
constexpr size_t kMeta = 2;
constexpr size_t kGoogle = 3;
constexpr uint64_t kWaterfallSize = 4;

bool contains(std::string_view text, std::string_view word) { return text.find(word) != std::string_view::npos; }

struct ConfKey {
  const char* key;
  std::string AdNetworksConfig::*field;
};

// No key sets google_vast_tag: it comes from the built-in default only.
constexpr std::array<ConfKey, 9> kConfKeys = {{
    {"GOOGLE_AD_UNIT_ID", &AdNetworksConfig::google_ad_unit_id},
    {"GOOGLE_PUBLISHER_ID", &AdNetworksConfig::google_publisher_id},
    {"GOOGLE_CLIENT_ID", &AdNetworksConfig::google_client_id},
    {"META_PLACEMENT_ID", &AdNetworksConfig::meta_placement_id},
    {"META_PIXEL_ID", &AdNetworksConfig::meta_pixel_id},
    {"AMAZON_PUB_ID", &AdNetworksConfig::amazon_pub_id},
    {"AMAZON_SLOT_ID", &AdNetworksConfig::amazon_slot_id},
    {"MOLOCO_APP_KEY", &AdNetworksConfig::moloco_app_key},
    {"MOLOCO_AD_UNIT_ID", &AdNetworksConfig::moloco_ad_unit_id},
}};

}  // namespace

const AdNetwork& ad_network_named(std::string_view name) {
  for (const AdNetwork& network : kAdNetworks) {
    if (name == network.name) return network;
  }
  return kAdNetworks[kGoogle];
}

const AdNetwork& pick_ad_network(std::string_view preference, uint64_t now_ms, uint64_t ads_watched) {
  if (preference.empty() || preference == "auto" || preference == "AUTOMATIC_WATERFALL") {
    // Unsigned wrap-around keeps the sum's remainder: 4 divides 2^64.
    return kAdNetworks[(now_ms + ads_watched) % kWaterfallSize];
  }
  if (contains(preference, "Moloco") || contains(preference, "moloco")) return kAdNetworks[kMoloco];
  if (contains(preference, "Amazon") || contains(preference, "amazon")) return kAdNetworks[kAmazon];
  if (contains(preference, "Meta") || contains(preference, "meta")) return kAdNetworks[kMeta];
  return kAdNetworks[kGoogle];
}

std::string clean_ad_identifier(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '|') {
      out += '_';
    } else if (c != '\r' && c != '\n') {
      out += c;
    }
  }
  return out;
}

uint64_t apply_ads_publisher_conf(std::string_view text, AdNetworksConfig& config) {
  uint64_t applied = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, equals);
    // A CR left inside the line, or a '|', would otherwise split the world
    // file's "A" line when the identifier is saved.
    std::string value = clean_ad_identifier(line.substr(equals + 1));
    if (value.empty()) continue;
    for (const ConfKey& known : kConfKeys) {
      if (key == known.key) {
        config.*known.field = std::move(value);
        ++applied;
        break;
      }
    }
  }
  return applied;
}

}  // namespace ZezozuRiziv
