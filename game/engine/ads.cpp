// Rewarded ads: opening a session, following its quartiles, paying the view,
// the status view, and the identifiers handed to the client's ad SDKs.
#include <algorithm>
#include <iostream>
#include <mutex>

#include "crypto/json_writer.h"
#include "crypto/sha256.h"
#include "game/engine/game_engine.h"
#include "game/model/text_safety.h"
#include "game/rules/ad_networks.h"
#include "game/rules/cooldown.h"
#include "platform/file_system.h"

namespace ZezozuRiziv {

namespace {

// The server's secret in every session token (15 characters).
constexpr char kSsvKey[] = "zr$SSV#k3y!2026";
static_assert(sizeof kSsvKey - 1 == 15);
constexpr size_t kTokenChars = 32;
constexpr size_t kSignatureChars = 24;

// A "wc" advert pays at most once per 30 minutes.
constexpr uint64_t kWcCooldownMs = 1'800'000;
// Each "boost" view adds an hour of x10 production, up to 5 hours ahead.
constexpr uint64_t kBoostGrantMs = 3'600'000;
constexpr uint64_t kBoostCapMs = 18'000'000;
// A view claimed sooner than this was not watched.
constexpr uint64_t kMinViewMs = 13'500;
constexpr double kWcBonusKwh = 15.0;
constexpr double kBoostBonusKwh = 5.0;
// Paid when the session promised nothing.
constexpr uint64_t kFallbackRewardWc = 50;
constexpr uint64_t kAdvertisedDurationSec = 15;

// How the status view splits the ad revenue.
constexpr double kPhotovoltaicFundShare = 0.6;
constexpr double kAnimalOasisFundShare = 0.3;
constexpr double kNodePoolFundShare = 0.1;

constexpr char kBoostType[] = "boost";
constexpr char kWcType[] = "wc";

std::string hash_prefix(const std::string& text, size_t chars) {
  return RozeveCrypto::SHA256::hash_string(text).substr(0, chars);
}

uint64_t saturating_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// The quartile's bit in the session's mask; 0 for a value that names none.
uint32_t quartile_bit(int32_t quartile) {
  switch (quartile) {
    case 1:
    case 25:
      return 1;
    case 2:
    case 50:
      return 2;
    case 3:
    case 75:
      return 4;
    case 4:
    case 100:
      return 8;
    default:
      return 0;
  }
}

// The Google, Meta and Amazon identifiers, as both the session and the
// status view show them (the session adds Moloco's).
void put_identifiers(JsonWriter& json, const AdNetworksConfig& ids) {
  json.field("google_ad_unit_id", ids.google_ad_unit_id)
      .field("google_publisher_id", ids.google_publisher_id)
      .field("google_client_id", ids.google_client_id)
      .field("google_vast_tag", ids.google_vast_tag)
      .field("meta_placement_id", ids.meta_placement_id)
      .field("meta_pixel_id", ids.meta_pixel_id)
      .field("amazon_pub_id", ids.amazon_pub_id)
      .field("amazon_slot_id", ids.amazon_slot_id);
}

}  // namespace

std::string GameEngine::start_ad_session(const std::string& address, const std::string& network_preference,
                                         const std::string& ad_type) {
  std::string refusal;
  if (!keys_usable(address, refusal)) return refusal;
  platform::WriteLock lock(game_mutex);
  PlayerProfile& player = acting_player_unlocked(address);
  const std::string addr = player.address;
  const uint64_t now = now_ms();
  const bool boost = ad_type == "boost" || ad_type == "BOOST";

  JsonWriter json;
  if (!boost) {
    const uint64_t left = cooldown_left_ms(player.last_wc_ad_ms, kWcCooldownMs, now);
    if (left > 0) {
      json.begin_object()
          .field("status", "error")
          .field("message", "Limite raggiunto: puoi guadagnare Watt Coin da sponsor una volta ogni 30 minuti.")
          .field("cooldown_remaining_sec", left / 1000)
          .field("ad_type", kWcType)
          .end_object();
      return json.take();
    }
  } else if (player.boost_10x_until_ms >= now + kBoostCapMs) {
    json.begin_object()
        .field("status", "error")
        .field("message", "Hai raggiunto il limite massimo accumulabile di 5 ore di Spinta Energetica x10!")
        .field("boost_until_ms", player.boost_10x_until_ms)
        .field("ad_type", kBoostType)
        .end_object();
    return json.take();
  }

  const AdNetwork& network = pick_ad_network(network_preference, now, player.ads_watched);
  const char* type = boost ? kBoostType : kWcType;
  // A session already open is replaced; nothing here is saved.
  player.ad_token = hash_prefix(addr + "_" + network.name + "_" + type + "_" + std::to_string(now) + kSsvKey,
                                kTokenChars);
  player.ad_network = network.name;
  player.ad_type = type;
  player.ad_started_ms = now;
  player.ad_reward = network.reward_wc;
  player.ad_quartile_mask = 0;

  json.begin_object()
      .field("status", "ok")
      .field("network", network.name)
      .field("ad_type", type)
      .field("ad_token", player.ad_token)
      .field("duration_sec", kAdvertisedDurationSec)
      .field("reward", boost ? uint64_t{0} : network.reward_wc)
      .field("boost_grant_sec", boost ? kBoostGrantMs / 1000 : uint64_t{0});
  json.key("bonus_kwh").fixed(boost ? kBoostBonusKwh : kWcBonusKwh, 2);
  json.key("ecpm_eur").fixed(network.ecpm_eur, 2);
  json.key("sdk_config").begin_object();
  put_identifiers(json, ads_config);
  json.field("moloco_app_key", ads_config.moloco_app_key).field("moloco_ad_unit_id", ads_config.moloco_ad_unit_id);
  return json.end_object().end_object().take();
}

bool GameEngine::record_ad_quartile(const std::string& address, const std::string& token, int32_t quartile,
                                    std::string& out) {
  if (!keys_usable(address, out)) return false;
  platform::WriteLock lock(game_mutex);
  PlayerProfile& player = get_or_create_player_unlocked(normalize_addr(address));
  if (token.empty() || player.ad_token.empty() || token != player.ad_token) {
    out = error_json("Sessione SSV non valida per il tracking quartile");
    return false;
  }
  // Progress lives in memory only: nothing is saved.
  player.ad_quartile_mask |= quartile_bit(quartile);
  JsonWriter json;
  json.begin_object()
      .field("status", "ok")
      .field("quartile", quartile)
      .field("mask", player.ad_quartile_mask)
      .end_object();
  out = json.take();
  return true;
}

bool GameEngine::claim_ad_session(const std::string& address, const std::string& token, std::string& out) {
  if (!keys_usable(address, out)) return false;
  return change_for(address, Accrual::kUpToDate, out, [&](PlayerProfile& player, std::string& out) REQUIRES(game_mutex) {
    if (token.empty() || player.ad_token.empty() || token != player.ad_token) {
      out = error_json("Token Anti-Cheat SSV non valido o gia' riscattato");
      return false;
    }
    const uint64_t now = now_ms();
    if (now < player.ad_started_ms || now - player.ad_started_ms < kMinViewMs) {
      out = error_json("Anti-Cheat Server SSV: riproduzione dello spot non ancora completata!");
      return false;
    }

    const AdNetwork& network = ad_network_named(player.ad_network);
    touch_ads_unlocked();
    uint64_t& impressions = network.name == std::string_view("moloco")   ? moloco_impressions
                            : network.name == std::string_view("amazon") ? amazon_impressions
                            : network.name == std::string_view("meta")   ? meta_impressions
                                                                         : google_impressions;
    ++impressions;
    total_revenue_eur += network.revenue_eur;

    const std::string type = player.ad_type.empty() ? kWcType : player.ad_type;
    uint64_t reward = 0;
    uint64_t boost_remaining_sec = 0;
    double bonus_kwh = kWcBonusKwh;
    if (type == kBoostType) {
      // Each view adds an hour after what is left, never past 5 hours from now.
      const uint64_t cap = now + kBoostCapMs;
      const uint64_t extended = saturating_add(std::max(now, player.boost_10x_until_ms), kBoostGrantMs);
      player.boost_10x_until_ms = std::min(cap, extended);
      boost_remaining_sec = player.boost_10x_until_ms > now ? (player.boost_10x_until_ms - now) / 1000 : 0;
      bonus_kwh = kBoostBonusKwh;
    } else {
      player.last_wc_ad_ms = now;
      reward = player.ad_reward != 0 ? player.ad_reward : kFallbackRewardWc;
      player.coins = saturating_add(player.coins, reward);
    }
    ++player.ads_watched;
    player.kwh += bonus_kwh;
    const std::string signature = hash_prefix(token + "_VERIFIED_" + std::to_string(now), kSignatureChars);

    // The token is spent; the start time and type stay as they were.
    player.ad_token.clear();
    player.ad_network.clear();
    player.ad_reward = 0;
    player.ad_quartile_mask = 0;

    JsonWriter json;
    json.begin_object()
        .field("status", "ok")
        .field("network", network.name)
        .field("ad_type", type)
        .field("ssv_signature", signature)
        .field("reward_coins", reward);
    json.key("bonus_kwh").fixed(bonus_kwh, 3);
    json.field("boost_active", now < player.boost_10x_until_ms)
        .field("boost_10x_until_ms", player.boost_10x_until_ms)
        .field("boost_remaining_sec", boost_remaining_sec);
    json.key("revenue_eur").fixed(network.revenue_eur, 3);
    json.key("total_revenue_eur").fixed(total_revenue_eur, 3);
    json.field("coins", player.coins);
    json.key("kwh").fixed(player.kwh, 2);
    out = json.end_object().take();
    return true;
  });
}

std::string GameEngine::get_ads_status_json() const {
  platform::ReadLock lock(game_mutex);
  return ads_status_json_unlocked();
}

std::string GameEngine::ads_status_json_unlocked() const {
  // The Moloco counter is not part of the shown total.
  const uint64_t total = google_impressions + meta_impressions + amazon_impressions;
  JsonWriter json;
  json.begin_object().field("status", "ok");
  json.key("config").begin_object();
  put_identifiers(json, ads_config);
  json.end_object();
  json.key("telemetry")
      .begin_object()
      .field("google_impressions", google_impressions)
      .field("meta_impressions", meta_impressions)
      .field("amazon_impressions", amazon_impressions)
      .field("total_impressions", total);
  json.key("total_revenue_eur").fixed(total_revenue_eur, 3);
  json.key("srl_photovoltaic_fund_eur").fixed(total_revenue_eur * kPhotovoltaicFundShare, 3);
  json.key("coop_animal_oasis_fund_eur").fixed(total_revenue_eur * kAnimalOasisFundShare, 3);
  json.key("node_pool_fund_eur").fixed(total_revenue_eur * kNodePoolFundShare, 3);
  return json.end_object().end_object().take();
}

bool GameEngine::update_ads_config(const std::string& google_ad_unit_id, const std::string& meta_placement_id,
                                   const std::string& meta_pixel_id, const std::string& amazon_pub_id,
                                   const std::string& amazon_slot_id, std::string& out) {
  return change(out, [&](std::string& out) REQUIRES(game_mutex) {
    touch_ads_unlocked();
    const auto set = [](std::string& field, const std::string& text) {
      std::string cleaned = clean_ad_identifier(text);
      if (!cleaned.empty()) field = std::move(cleaned);
    };
    set(ads_config.google_ad_unit_id, google_ad_unit_id);
    set(ads_config.meta_placement_id, meta_placement_id);
    set(ads_config.meta_pixel_id, meta_pixel_id);
    set(ads_config.amazon_pub_id, amazon_pub_id);
    set(ads_config.amazon_slot_id, amazon_slot_id);
    // Saved also when nothing changed.
    out = ads_status_json_unlocked();
    return true;
  });
}

void GameEngine::read_ads_publisher_conf_unlocked(const std::string& path) {
  platform::FileInfo info;
  if (!platform::stat_file(path, info) || !info.regular) return;
  std::string text;
  if (info.size > kMaxAdsConfBytes) {
    std::cout << "[GIOCO] " << path << " ignorato: supera " << kMaxAdsConfBytes << " byte." << std::endl;
    return;
  }
  if (platform::read_whole_file(path, text) != platform::ReadResult::kRead) return;
  // It may have grown since it was measured.
  if (text.size() > kMaxAdsConfBytes) return;
  apply_ads_publisher_conf(text, ads_config);
}

}  // namespace ZezozuRiziv
