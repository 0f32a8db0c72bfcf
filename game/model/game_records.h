// The records of the game world. Plain structures copied by value; the
// engine owns every instance. Default member initialisers are the values a
// record has when the game creates it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "game/model/shared_text.h"

namespace ZezozuRiziv {

// One per player, keyed by the player address as normalize_addr gives it.
// get_or_create_player_unlocked stamps last_sync_ms with the current time;
// a default-constructed record leaves it 0.
struct PlayerProfile {
  std::string address;
  uint64_t coins = 300;  // Zava Vovaz (WC)
  double kwh = 25.0;     // spendable kWh
  double ruz = 5.0;      // game-side RUZ
  double power_kw = 0.0;        // recomputed from the owned plants
  double storage_boost = 1.0;   // production multiplier of storage plants
  uint64_t parcels_count = 0;   // recomputed from the owned parcels
  uint64_t last_sync_ms = 0;    // production accrued up to here

  // Production history; all_time_kwh starts with the welcome balance.
  double today_kwh = 0.0;
  double yesterday_kwh = 0.0;
  double this_week_kwh = 0.0;
  double last_week_kwh = 0.0;
  double this_month_kwh = 0.0;
  double last_month_kwh = 0.0;
  double all_time_kwh = 25.0;
  // Periods the buckets above belong to; memory only.
  uint64_t day_index = 0;
  uint64_t week_index = 0;
  uint64_t month_index = 0;

  // Production split by source.
  double solar_kwh = 0.0;
  double wind_kwh = 0.0;
  double storage_kwh = 0.0;
  double hydrogen_kwh = 0.0;

  // The open rewarded-ad session; memory only.
  std::string ad_token;
  std::string ad_network;
  uint64_t ad_started_ms = 0;
  uint64_t ad_reward = 0;         // WC promised by the session
  uint32_t ad_quartile_mask = 0;  // quartile bits reported so far
  uint64_t ads_watched = 0;
  uint64_t last_wc_ad_ms = 0;
  uint64_t boost_10x_until_ms = 0;  // end of the personal x10 boost
  std::string ad_type = "wc";       // "wc" or "boost"

  std::string cer_id;               // empty when in no community
  std::string cer_role = "member";  // "admin" or "member"

  // The daily bonus card last drawn.
  uint64_t card_draw_ms = 0;
  std::string card_id;
  std::string card_name;
  std::string card_desc;
  std::string card_type;
  double card_value = 0.0;
  uint64_t card_until_ms = 0;

  uint64_t weekly_quiz_score = 0;
  uint64_t answers_correct = 0;  // quiz questions this player answered right
  uint64_t author_tricked = 0;   // wrong answers to questions this player wrote
  std::vector<std::string> answered_this_week;  // question ids; memory only

  // Last accepted position fix; memory only.
  double last_gps_lat = 0.0;
  double last_gps_lon = 0.0;
  uint64_t last_gps_ms = 0;
};

// The texts every new lot starts with, kept once for all of them, for the
// whole run (never destroyed: copies may be dropped while the program ends).
inline const SharedText& default_sale_currency() {
  static const SharedText* const text = new SharedText(SharedText::lasting("WC"));
  return *text;
}
inline const SharedText& default_social_type() {
  static const SharedText* const text = new SharedText(SharedText::lasting("web"));
  return *text;
}

// One per hex parcel, keyed by its cell key. Its texts are SharedText, so
// that a million lots keep each repeated owner, plant or currency once.
struct ParcelRecord {
  SharedText key;
  double lat = 0.0;  // centre, degrees
  double lon = 0.0;
  SharedText owner;       // player key; empty when free
  SharedText plant_type;  // "solar", "wind", "storage", "hydrogen"; empty without plant
  int32_t plant_level = 0; // 1..100; 0 without plant
  SharedText plant_name;
  double power_kw = 0.0;       // rated power of the plant
  double storage_boost = 0.0;  // contribution to the owner's multiplier
  uint64_t updated_ms = 0;     // last build, upgrade, market or billboard change; memory only

  // Market.
  bool for_sale = false;
  SharedText sale_currency = default_sale_currency();  // "WC" or "RUZ"
  double min_bid = 0.0;
  double buyout_price = 0.0;
  double highest_bid = 0.0;
  SharedText highest_bidder;  // player key of the escrowed bid

  // Billboard.
  bool billboard_active = false;
  bool span_cluster = true;  // the advert spans the contiguous group
  SharedText group_id;
  SharedText title;
  SharedText image_url;
  SharedText link_url;
  SharedText social_type = default_social_type();
};

// The parcels by key; a stored parcel's map key shares its `key` text.
// Found by any text (std::string, std::string_view) without a copy.
using ParcelMap = std::unordered_map<SharedText, ParcelRecord, SharedTextHash, std::equal_to<>>;

// One per login account, keyed by id.
struct UserAccount {
  std::string id;             // "usr_..." or "usr_g_..."
  std::string username;       // as entered, trimmed
  std::string email;          // lower-cased
  std::string password_hash;  // 64 hex digits, salted; empty for Google accounts
  std::string salt;           // 16 hex digits; empty for Google accounts
  std::string google_id;      // empty for e-mail accounts
  std::string avatar_url;
  std::string wallet_address;  // the player this account plays
  std::string session_token;   // the one live token; empty after logout
  uint64_t created_at = 0;
  uint64_t last_login = 0;
};

struct CERMember {
  std::string address;
  std::string role;  // "admin" or "member"
  uint64_t joined_at = 0;
  uint64_t weekly_points = 0;
  double total_kwh = 0.0;
};

// One notice-board ("bacheca") entry.
struct CERMessage {
  std::string id;
  std::string author_addr;
  std::string author_name;
  std::string text;
  std::string emoji;
  uint64_t timestamp = 0;
};

// A renewable-power community, keyed by id.
struct CERCommunity {
  std::string id;
  std::string name;
  std::string tag;  // 2 to 6 upper-case characters
  std::string description;
  std::string emblem;   // an emoji
  std::string creator;  // player key
  uint64_t created_at = 0;
  uint64_t weekly_score = 0;  // quiz points of the week
  double total_kwh = 0.0;
  std::vector<CERMember> members;    // in joining order
  std::vector<CERMessage> messages;  // oldest first
};

// Gives `community` the own fields of `fields` (id ... total_kwh),
// keeping its members and messages.
inline void assign_own_fields(CERCommunity& community, CERCommunity&& fields) {
  fields.members = std::move(community.members);
  fields.messages = std::move(community.messages);
  community = std::move(fields);
}

struct QuizQuestion {
  std::string id;
  std::string author_addr;
  std::string author_name;
  std::string category;
  std::string question;
  std::string option_a;
  std::string option_b;
  std::string option_c;
  std::string option_d;
  int32_t correct_option = 0;  // 0..3
  uint64_t times_answered = 0;
  uint64_t times_correct = 0;
  uint64_t times_wrong = 0;
  uint64_t created_at = 0;
};

// A global production boost planned by the administrator.
struct ScheduledSuperBoost {
  std::string id;
  uint64_t start_ms = 0;
  uint64_t end_ms = 0;
  uint32_t multiplier = 100;
  std::string title;
  std::string reason;
  bool cancelled = false;
  uint64_t created_ms = 0;
};

struct AdminConfig {
  std::string admin_password_hash;  // 64 hex digits
  uint64_t super_boost_until_ms = 0;  // end of the global x100 boost; 0 when none
  std::string super_boost_reason;
  uint64_t reserved = 0;  // always 0; the world file carries the slot
  std::vector<ScheduledSuperBoost> scheduled_boosts;  // in creation order
};

// Identifiers handed to the client's ad SDKs. The initialisers are the
// built-in defaults; the world file and config/ads_publisher.conf override
// them at start.
struct AdNetworksConfig {
  std::string google_ad_unit_id = "/22914365087/zerirorivi_rewarded_video";
  std::string google_publisher_id = "pub-7301946285510347";
  std::string google_client_id = "ca-pub-7301946285510347";
  std::string google_vast_tag =
      "https://pubads.g.doubleclick.net/gampad/ads?iu=/22914365087/zerirorivi_rewarded_video"
      "&sz=640x480&gdfp_req=1&output=vast&unviewed_position_start=1&env=vp";
  std::string meta_placement_id = "618204937251846_REWARDED_VIDEO";
  std::string meta_pixel_id = "618204937251846";
  std::string amazon_pub_id = "5390274816";
  std::string amazon_slot_id = "zr_rewarded_slot";
  std::string moloco_app_key = "zr_moloco_app";
  std::string moloco_ad_unit_id = "zr_rewarded_unit";
};

// A claim of RUZ whose block may not have reached the block log yet. It is
// saved in the world file together with the game-side debit before the
// block is appended, and dropped once the claim is settled: at start-up,
// a claim the log holds keeps its debit and any other is refunded.
struct ClaimIntent {
  std::string tx_hash;      // the payment's transaction hash, as the block carries it
  uint64_t block_index = 0;  // the block's height
  std::string player;       // the player key debited, also the account paid
  std::string source;       // "WC" (Zava Vovaz) or "KWH"
  uint64_t units = 0;       // Zava Vovaz or kWh debited: 100 per gross RUZ
  uint64_t net_atomic = 0;  // atomic units added to the player's game-side RUZ
};

}  // namespace ZezozuRiziv
