#include "game/world_records.h"

#include <array>
#include <charconv>
#include <cmath>

#include "game/number_text.h"

namespace ZezozuRiziv {

namespace {

// Fields per kind, tag included, as the writer writes them; a reader needs
// at least the minimum.
constexpr size_t kAdsFields = 10;
constexpr size_t kUserFields = 12;
constexpr size_t kPlayerMinFields = 7;
constexpr size_t kPlayerFields = 30;
// A player line, then its community's production total (and its entry's).
constexpr size_t kPlayerProductionFields = kPlayerFields + 1;
constexpr size_t kParcelMinFields = 10;
constexpr size_t kParcelMarketFields = 16;
constexpr size_t kParcelFields = 23;
constexpr size_t kAdminFields = 5;
constexpr size_t kBoostMinFields = 8;
constexpr size_t kBoostFields = 9;
constexpr size_t kCategoryFields = 2;
constexpr size_t kQuestionFields = 15;
constexpr size_t kCommunityFields = 10;
constexpr size_t kMemberFields = 7;
constexpr size_t kMessageFields = 8;
constexpr size_t kClaimIntentFields = 7;

// Doubles are written in fixed notation with this many decimals.
constexpr int kWorldDecimals = 6;

// A text field: '|', CR and LF never reach the file.
void put_text(std::string& out, std::string_view text) {
  out += '|';
  size_t start = 0;
  while (start < text.size()) {
    const size_t bad = text.find_first_of("|\r\n", start);
    if (bad == std::string_view::npos) {
      out.append(text.substr(start));
      return;
    }
    out.append(text.substr(start, bad - start));
    start = bad + 1;
  }
}

void put_u64(std::string& out, uint64_t v) {
  std::array<char, 24> buffer;
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), v);
  out += '|';
  out.append(buffer.data(), end);
}

void put_i32(std::string& out, int32_t v) {
  std::array<char, 16> buffer;
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), v);
  out += '|';
  out.append(buffer.data(), end);
}

void put_bool(std::string& out, bool v) {
  out += '|';
  out += v ? '1' : '0';
}

// Fixed, 6 decimals. A value that is not finite is never stored; if one
// slipped through it is written as 0 rather than as text no reader takes.
void put_double(std::string& out, double v) {
  if (!std::isfinite(v)) v = 0.0;
  std::array<char, 360> buffer;
  const auto [end, ec] =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), v, std::chars_format::fixed, kWorldDecimals);
  out += '|';
  if (ec != std::errc()) {
    out += "0.000000";
    return;
  }
  out.append(buffer.data(), end);
}

std::string text_of(std::string_view field) { return std::string(field); }

// A record key the writer writes back as it is. A CR is part of a field
// as read but never written, so two keys differing by one would be one
// record at the next load: such a line is refused whole instead.
bool is_storable_key(std::string_view key) { return key.find('\r') == std::string_view::npos; }

}  // namespace

void split_world_line(std::string_view line, WorldFields& fields) {
  fields.clear();
  size_t start = 0;
  while (start <= line.size()) {
    const size_t bar = line.find('|', start);
    if (bar == std::string_view::npos) {
      // A '|' at the very end adds no empty field.
      if (start < line.size() || fields.empty()) fields.push_back(line.substr(start));
      break;
    }
    fields.push_back(line.substr(start, bar - start));
    start = bar + 1;
  }
}

void append_ads_line(std::string& out, const AdLineState& ads) {
  out += 'A';
  put_text(out, ads.config->google_ad_unit_id);
  put_text(out, ads.config->meta_placement_id);
  put_text(out, ads.config->meta_pixel_id);
  put_text(out, ads.config->amazon_pub_id);
  put_text(out, ads.config->amazon_slot_id);
  put_u64(out, *ads.google_impressions);
  put_u64(out, *ads.meta_impressions);
  put_u64(out, *ads.amazon_impressions);
  put_double(out, *ads.total_revenue_eur);
  out += '\n';
}

void append_user_line(std::string& out, const UserAccount& u) {
  out += 'U';
  put_text(out, u.id);
  put_text(out, u.username);
  put_text(out, u.email);
  put_text(out, u.password_hash);
  put_text(out, u.salt);
  put_text(out, u.google_id);
  put_text(out, u.avatar_url);
  put_text(out, u.wallet_address);
  put_text(out, u.session_token);
  put_u64(out, u.created_at);
  put_u64(out, u.last_login);
  out += '\n';
}

namespace {

// The fields of a player line after its tag, without the LF.
void put_player_fields(std::string& out, const PlayerProfile& p) {
  put_text(out, p.address);
  put_u64(out, p.coins);
  put_double(out, p.kwh);
  put_double(out, p.ruz);
  put_u64(out, p.last_sync_ms);
  put_u64(out, p.ads_watched);
  put_double(out, p.today_kwh);
  put_double(out, p.yesterday_kwh);
  put_double(out, p.this_week_kwh);
  put_double(out, p.last_week_kwh);
  put_double(out, p.this_month_kwh);
  put_double(out, p.last_month_kwh);
  put_double(out, p.all_time_kwh);
  put_double(out, p.solar_kwh);
  put_double(out, p.wind_kwh);
  put_double(out, p.storage_kwh);
  put_double(out, p.hydrogen_kwh);
  put_u64(out, p.last_wc_ad_ms);
  put_u64(out, p.boost_10x_until_ms);
  put_text(out, p.cer_id);
  put_text(out, p.cer_role);
  put_u64(out, p.card_draw_ms);
  put_text(out, p.card_id);
  put_text(out, p.card_name);
  put_text(out, p.card_desc);
  put_text(out, p.card_type);
  put_double(out, p.card_value);
  put_u64(out, p.card_until_ms);
  put_u64(out, p.weekly_quiz_score);
}

}  // namespace

void append_player_line(std::string& out, const PlayerProfile& p) {
  out += 'P';
  put_player_fields(out, p);
  out += '\n';
}

void append_player_production_line(std::string& out, const PlayerProfile& p, double community_kwh,
                                   const double* member_kwh) {
  out += kPlayerProductionTag;
  put_player_fields(out, p);
  put_double(out, community_kwh);
  if (member_kwh != nullptr) put_double(out, *member_kwh);
  out += '\n';
}

void append_parcel_line(std::string& out, const ParcelRecord& l) {
  out += 'L';
  put_text(out, l.key);
  put_double(out, l.lat);
  put_double(out, l.lon);
  put_text(out, l.owner);
  put_text(out, l.plant_type);
  put_i32(out, l.plant_level);
  put_double(out, l.power_kw);
  put_double(out, l.storage_boost);
  put_text(out, l.plant_name);
  put_bool(out, l.for_sale);
  put_text(out, l.sale_currency.empty() ? std::string_view("WC") : l.sale_currency.view());
  put_double(out, l.min_bid);
  put_double(out, l.buyout_price);
  put_double(out, l.highest_bid);
  put_text(out, l.highest_bidder);
  put_bool(out, l.billboard_active);
  put_bool(out, l.span_cluster);
  put_text(out, l.group_id);
  put_text(out, l.title);
  put_text(out, l.image_url);
  put_text(out, l.link_url);
  put_text(out, l.social_type.empty() ? std::string_view("web") : l.social_type.view());
  out += '\n';
}

void append_admin_lines(std::string& out, const AdminConfig& a) {
  out += "ADM";
  put_text(out, a.admin_password_hash);
  put_u64(out, a.super_boost_until_ms);
  put_text(out, a.super_boost_reason);
  put_u64(out, a.reserved);
  out += '\n';
  for (const ScheduledSuperBoost& b : a.scheduled_boosts) {
    out += "SB";
    put_text(out, b.id);
    put_u64(out, b.start_ms);
    put_u64(out, b.end_ms);
    put_u64(out, b.multiplier);
    put_bool(out, b.cancelled);
    put_u64(out, b.created_ms);
    put_text(out, b.title);
    put_text(out, b.reason);
    out += '\n';
  }
}

void append_category_line(std::string& out, const std::string& category) {
  out += "QC";
  put_text(out, category);
  out += '\n';
}

void append_question_line(std::string& out, const QuizQuestion& q) {
  out += "QQ";
  put_text(out, q.id);
  put_text(out, q.author_addr);
  put_text(out, q.author_name);
  put_text(out, q.category);
  put_text(out, q.question);
  put_text(out, q.option_a);
  put_text(out, q.option_b);
  put_text(out, q.option_c);
  put_text(out, q.option_d);
  put_i32(out, q.correct_option);
  put_u64(out, q.times_answered);
  put_u64(out, q.times_correct);
  put_u64(out, q.times_wrong);
  put_u64(out, q.created_at);
  out += '\n';
}

void append_community_own_line(std::string& out, const CERCommunity& c, std::string_view tag) {
  out += tag;
  put_text(out, c.id);
  put_text(out, c.name);
  put_text(out, c.tag);
  put_text(out, c.description);
  put_text(out, c.emblem);
  put_text(out, c.creator);
  put_u64(out, c.created_at);
  put_u64(out, c.weekly_score);
  put_double(out, c.total_kwh);
  out += '\n';
}

void append_member_line(std::string& out, const std::string& cer_id, const CERMember& m, std::string_view tag) {
  out += tag;
  put_text(out, cer_id);
  put_text(out, m.address);
  put_text(out, m.role);
  put_u64(out, m.joined_at);
  put_u64(out, m.weekly_points);
  put_double(out, m.total_kwh);
  out += '\n';
}

void append_message_line(std::string& out, const std::string& cer_id, const CERMessage& m) {
  out += kMessageTag;
  put_text(out, cer_id);
  put_text(out, m.id);
  put_text(out, m.author_addr);
  put_text(out, m.author_name);
  put_text(out, m.text);
  put_text(out, m.emoji);
  put_u64(out, m.timestamp);
  out += '\n';
}

void append_community_lines(std::string& out, const CERCommunity& c) {
  append_community_own_line(out, c, kCommunityTag);
  for (const CERMember& m : c.members) append_member_line(out, c.id, m, kMemberTag);
  for (const CERMessage& m : c.messages) append_message_line(out, c.id, m);
}

void append_journal_mark_line(std::string& out, uint64_t last_change) {
  out += kJournalMarkTag;
  put_u64(out, last_change);
  out += '\n';
}

void append_claim_intent_line(std::string& out, const ClaimIntent& c) {
  out += "CLAIM";
  put_text(out, c.tx_hash);
  put_u64(out, c.block_index);
  put_text(out, c.player);
  put_text(out, c.source);
  put_u64(out, c.units);
  put_u64(out, c.net_atomic);
  out += '\n';
}

bool read_user_fields(const WorldFields& f, UserAccount& u) {
  if (f.size() < kUserFields || !is_storable_key(f[1])) return false;
  u.id = text_of(f[1]);
  u.username = text_of(f[2]);
  u.email = text_of(f[3]);
  u.password_hash = text_of(f[4]);
  u.salt = text_of(f[5]);
  u.google_id = text_of(f[6]);
  u.avatar_url = text_of(f[7]);
  u.wallet_address = text_of(f[8]);
  u.session_token = text_of(f[9]);
  return read_u64_prefix(f[10], u.created_at) && read_u64_prefix(f[11], u.last_login);
}

bool read_player_fields(const WorldFields& f, PlayerProfile& p) {
  if (f.size() < kPlayerMinFields || !is_storable_key(f[1])) return false;
  p = PlayerProfile();  // the defaults, last_sync_ms 0
  p.address = text_of(f[1]);
  bool ok = read_u64_prefix(f[2], p.coins) && read_double_prefix(f[3], p.kwh) &&
            read_double_prefix(f[4], p.ruz) && read_u64_prefix(f[5], p.last_sync_ms) &&
            read_u64_prefix(f[6], p.ads_watched);
  if (ok && f.size() >= kPlayerFields) {
    ok = read_double_prefix(f[7], p.today_kwh) && read_double_prefix(f[8], p.yesterday_kwh) &&
         read_double_prefix(f[9], p.this_week_kwh) && read_double_prefix(f[10], p.last_week_kwh) &&
         read_double_prefix(f[11], p.this_month_kwh) && read_double_prefix(f[12], p.last_month_kwh) &&
         read_double_prefix(f[13], p.all_time_kwh) && read_double_prefix(f[14], p.solar_kwh) &&
         read_double_prefix(f[15], p.wind_kwh) && read_double_prefix(f[16], p.storage_kwh) &&
         read_double_prefix(f[17], p.hydrogen_kwh) && read_u64_prefix(f[18], p.last_wc_ad_ms) &&
         read_u64_prefix(f[19], p.boost_10x_until_ms);
    p.cer_id = text_of(f[20]);
    p.cer_role = text_of(f[21]);
    ok = ok && read_u64_prefix(f[22], p.card_draw_ms);
    p.card_id = text_of(f[23]);
    p.card_name = text_of(f[24]);
    p.card_desc = text_of(f[25]);
    p.card_type = text_of(f[26]);
    ok = ok && read_double_prefix(f[27], p.card_value) && read_u64_prefix(f[28], p.card_until_ms) &&
         read_u64_prefix(f[29], p.weekly_quiz_score);
  }
  if (p.ruz <= 0.0) p.ruz = 5.0;
  if (p.cer_role.empty()) p.cer_role = "member";
  return ok;
}

bool read_player_production_fields(const WorldFields& f, PlayerProfile& p, double& community_kwh,
                                   std::optional<double>& member_kwh) {
  if (f.size() < kPlayerProductionFields) return false;
  member_kwh.reset();
  if (!read_player_fields(f, p) || !read_double_prefix(f[kPlayerFields], community_kwh)) return false;
  if (f.size() > kPlayerProductionFields) {
    double member = 0.0;
    if (!read_double_prefix(f[kPlayerProductionFields], member)) return false;
    member_kwh = member;
  }
  return true;
}

bool read_journal_mark_fields(const WorldFields& f, uint64_t& last_change) {
  return f.size() >= 2 && read_u64_prefix(f[1], last_change);
}

bool read_parcel_fields(const WorldFields& f, ParcelRecord& l, TextPool& texts, OwnerText owner) {
  if (f.size() < kParcelMinFields || !is_storable_key(f[1])) return false;
  l = ParcelRecord();
  l.key = f[1];
  if (owner == OwnerText::kShared) l.owner = texts.share(f[4]);
  l.plant_type = texts.share(f[5]);
  l.plant_name = texts.share(f[9]);
  bool ok = read_double_prefix(f[2], l.lat) && read_double_prefix(f[3], l.lon) &&
            read_i32_prefix(f[6], l.plant_level) && read_double_prefix(f[7], l.power_kw) &&
            read_double_prefix(f[8], l.storage_boost);
  if (ok && f.size() >= kParcelMarketFields) {
    l.for_sale = f[10] == "1";
    l.sale_currency = texts.share(f[11]);
    ok = read_double_prefix(f[12], l.min_bid) && read_double_prefix(f[13], l.buyout_price) &&
         read_double_prefix(f[14], l.highest_bid);
    l.highest_bidder = texts.share(f[15]);
  }
  if (ok && f.size() >= kParcelFields) {
    l.billboard_active = f[16] == "1";
    l.span_cluster = f[17] == "1";
    l.group_id = texts.share(f[18]);
    l.title = texts.share(f[19]);
    l.image_url = texts.share(f[20]);
    l.link_url = texts.share(f[21]);
    l.social_type = texts.share(f[22]);
  }
  if (l.sale_currency.empty()) l.sale_currency = default_sale_currency();
  if (l.social_type.empty()) l.social_type = default_social_type();
  return ok;
}

bool read_boost_fields(const WorldFields& f, ScheduledSuperBoost& b) {
  if (f.size() < kBoostMinFields) return false;
  b = ScheduledSuperBoost();
  b.id = text_of(f[1]);
  const bool ok = read_u64_prefix(f[2], b.start_ms) && read_u64_prefix(f[3], b.end_ms) &&
                  read_u32_prefix(f[4], b.multiplier) && read_u64_prefix(f[6], b.created_ms);
  b.cancelled = f[5] == "1";
  b.title = text_of(f[7]);
  b.reason = f.size() >= kBoostFields ? text_of(f[8]) : std::string();
  return ok;
}

std::optional<std::string> read_category_fields(const WorldFields& f) {
  if (f.size() < kCategoryFields) return std::nullopt;
  std::string name;
  for (const char c : f[1]) {
    if (c != '\r') name += c;
  }
  if (name.empty()) return std::nullopt;
  return name;
}

bool read_question_fields(const WorldFields& f, QuizQuestion& q) {
  if (f.size() < kQuestionFields || !is_storable_key(f[1])) return false;
  q.id = text_of(f[1]);
  q.author_addr = text_of(f[2]);
  q.author_name = text_of(f[3]);
  q.category = text_of(f[4]);
  q.question = text_of(f[5]);
  q.option_a = text_of(f[6]);
  q.option_b = text_of(f[7]);
  q.option_c = text_of(f[8]);
  q.option_d = text_of(f[9]);
  return read_i32_prefix(f[10], q.correct_option) && read_u64_prefix(f[11], q.times_answered) &&
         read_u64_prefix(f[12], q.times_correct) && read_u64_prefix(f[13], q.times_wrong) &&
         read_u64_prefix(f[14], q.created_at);
}

bool read_community_fields(const WorldFields& f, CERCommunity& c) {
  if (f.size() < kCommunityFields || !is_storable_key(f[1])) return false;
  c = CERCommunity();
  c.id = text_of(f[1]);
  c.name = text_of(f[2]);
  c.tag = text_of(f[3]);
  c.description = text_of(f[4]);
  c.emblem = text_of(f[5]);
  c.creator = text_of(f[6]);
  return read_u64_prefix(f[7], c.created_at) && read_u64_prefix(f[8], c.weekly_score) &&
         read_double_prefix(f[9], c.total_kwh);
}

bool read_member_fields(const WorldFields& f, CERMember& m) {
  if (f.size() < kMemberFields) return false;
  m.address = text_of(f[2]);
  m.role = text_of(f[3]);
  return read_u64_prefix(f[4], m.joined_at) && read_u64_prefix(f[5], m.weekly_points) &&
         read_double_prefix(f[6], m.total_kwh);
}

bool read_message_fields(const WorldFields& f, CERMessage& m) {
  if (f.size() < kMessageFields) return false;
  m.id = text_of(f[2]);
  m.author_addr = text_of(f[3]);
  m.author_name = text_of(f[4]);
  m.text = text_of(f[5]);
  m.emoji = text_of(f[6]);
  return read_u64_prefix(f[7], m.timestamp);
}

bool read_claim_intent_fields(const WorldFields& f, ClaimIntent& c) {
  if (f.size() < kClaimIntentFields) return false;
  c.tx_hash = text_of(f[1]);
  c.player = text_of(f[3]);
  c.source = text_of(f[4]);
  // Settling a record it cannot trust would pay or take the wrong amount.
  if (c.tx_hash.empty() || c.player.empty() || (c.source != "WC" && c.source != "KWH")) return false;
  return read_u64_prefix(f[2], c.block_index) && read_u64_prefix(f[5], c.units) && c.units > 0 &&
         read_u64_prefix(f[6], c.net_atomic);
}

void apply_ads_fields(const WorldFields& f, const AdLineState& ads) {
  if (f.size() < kAdsFields) return;
  ads.config->google_ad_unit_id = text_of(f[1]);
  ads.config->meta_placement_id = text_of(f[2]);
  ads.config->meta_pixel_id = text_of(f[3]);
  ads.config->amazon_pub_id = text_of(f[4]);
  ads.config->amazon_slot_id = text_of(f[5]);
  // Up to the first number that cannot be read.
  if (!read_u64_prefix(f[6], *ads.google_impressions)) return;
  if (!read_u64_prefix(f[7], *ads.meta_impressions)) return;
  if (!read_u64_prefix(f[8], *ads.amazon_impressions)) return;
  read_double_prefix(f[9], *ads.total_revenue_eur);
}

void apply_admin_fields(const WorldFields& f, AdminConfig& a) {
  if (f.size() < kAdminFields) return;
  a.admin_password_hash = text_of(f[1]);
  if (!read_u64_prefix(f[2], a.super_boost_until_ms)) return;
  a.super_boost_reason = text_of(f[3]);
  read_u64_prefix(f[4], a.reserved);
}

}  // namespace ZezozuRiziv

namespace ZezozuRiziv {

void append_removal_line(std::string& out, std::string_view tag, std::string_view key, std::string_view second) {
  out += kRemovalTag;
  put_text(out, tag);
  if (!key.empty()) put_text(out, key);
  if (!second.empty()) put_text(out, second);
  out += '\n';
}

}  // namespace ZezozuRiziv
