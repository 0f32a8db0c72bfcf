#include "game/store/world_records.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include "game/model/number_text.h"

namespace ZezozuRiziv {

namespace {

// The tag of each kind, the most frequent first: nearly every line of a
// large world is a lot, a player or an account.
constexpr std::pair<std::string_view, RecordKind> kKindOfTag[] = {
    {kParcelTag, RecordKind::kParcel},
    {kPlayerTag, RecordKind::kPlayer},
    {kUserTag, RecordKind::kUser},
    {kPlayerProductionTag, RecordKind::kPlayerProduction},
    {kRemovalTag, RecordKind::kRemoval},
    {kMemberTag, RecordKind::kMember},
    {kMemberUpdateTag, RecordKind::kMemberUpdate},
    {kMessageTag, RecordKind::kMessage},
    {kCommunityTag, RecordKind::kCommunity},
    {kCommunityOwnTag, RecordKind::kCommunityOwn},
    {kQuestionTag, RecordKind::kQuestion},
    {kCategoryTag, RecordKind::kCategory},
    {kBoostTag, RecordKind::kBoost},
    {kClaimTag, RecordKind::kClaim},
    {kAdminTag, RecordKind::kAdmin},
    {kAdsTag, RecordKind::kAds},
    {kJournalMarkTag, RecordKind::kJournalMark},
};

// Lines of a kind that grew keep their old length readable: the fields
// added later are read only from lines of at least this many fields (tag
// included), and a shorter line leaves them at the record's defaults.
constexpr size_t kPlayerFields = 30;        // history, community and card after the first six
constexpr size_t kParcelMarketFields = 16;  // the market after the plant
constexpr size_t kParcelFields = 23;        // the billboard after the market
constexpr size_t kBoostFields = 9;          // the reason after the title

// Doubles are written in fixed notation with this many decimals.
constexpr int kWorldDecimals = 6;

// A record key the writer writes back as it is. A CR is part of a field
// as read but never written, so two keys differing by one would be one
// record at the next load: such a line is refused whole instead.
bool is_storable_key(std::string_view key) { return key.find('\r') == std::string_view::npos; }

// Each kind's fields, in file order, are listed once, by a function of a
// field visitor `io` and the record: LineWriter appends them to a line,
// LineReader reads them back from one, FieldCounter counts those every
// line of the kind holds. The visitor's calls name the kind of a field:
//   key(k)           the record's key (a reader refuses one holding a CR)
//   owner(o)         a lot's owner (a reader may leave it to the caller)
//   field(v)         a text, a number or a flag, by the type of `v`
//   field(t, dflt)   a text written, and read, as dflt() when empty
//   optional(v)      a last field written only when there is one
//   more(n)          false when the line ends here: it is shorter than n
//                    fields, as the lines of an older writer are

// Appends fields to a line: '|', then the field's text.
class LineWriter {
 public:
  explicit LineWriter(std::string& out) : out_(out) {}

  void key(std::string_view text) { field(text); }
  void owner(std::string_view text) { field(text); }
  // '|', CR and LF never reach the file.
  void field(std::string_view text) {
    std::string& out = out_;  // held in a register: a char written may alias *this
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
  void field(std::string_view text, const SharedText& (*when_empty)()) {
    field(text.empty() ? when_empty().view() : text);
  }
  void field(uint64_t v) { put_integer(v); }
  void field(uint32_t v) { put_integer(v); }
  void field(int32_t v) { put_integer(v); }
  void field(bool v) {
    const char text[2] = {'|', v ? '1' : '0'};
    out_.append(text, sizeof text);
  }
  // Fixed, 6 decimals. A value that is not finite is never stored; if one
  // slipped through it is written as 0 rather than as text no reader takes.
  void field(double v) {
    if (!std::isfinite(v)) v = 0.0;
    std::array<char, 360> buffer;
    buffer[0] = '|';
    const auto [end, ec] = std::to_chars(buffer.data() + 1, buffer.data() + buffer.size(), v,
                                         std::chars_format::fixed, kWorldDecimals);
    if (ec != std::errc()) {
      out_ += "|0.000000";
      return;
    }
    out_.append(buffer.data(), end);
  }
  void optional(std::string_view text) {
    if (!text.empty()) field(text);
  }
  void optional(const std::optional<double>& v) {
    if (v) field(*v);
  }
  static bool more(size_t) { return true; }

 private:
  template <typename Integer>
  void put_integer(Integer v) {
    std::array<char, 24> buffer;
    buffer[0] = '|';
    const auto [end, ec] = std::to_chars(buffer.data() + 1, buffer.data() + buffer.size(), v);
    out_.append(buffer.data(), end);
  }

  std::string& out_;
};

// Counts the fields every line of a kind holds, tag included: those before
// its first more().
class FieldCounter {
 public:
  size_t count() const { return count_; }
  template <typename... Value>
  void key(const Value&...) {
    ++count_;
  }
  template <typename... Value>
  void owner(const Value&...) {
    ++count_;
  }
  template <typename... Value>
  void field(const Value&...) {
    ++count_;
  }
  template <typename Value>
  void optional(const Value&) {}
  static bool more(size_t) { return false; }

 private:
  size_t count_ = 1;
};

template <typename Fields, typename... Record>
size_t fields_always(Fields fields, Record&... record) {
  FieldCounter counter;
  fields(counter, record...);
  return counter.count();
}

// Reads the fields of one line, from fields[1] on, in the order they are
// listed. A line shorter than the `required` fields of its kind is not read
// at all; otherwise the first field that cannot be read (missing, or a
// number that does not read) fails the line, and nothing after it is read.
class LineReader {
 public:
  // SharedText fields take their text from `texts`; with `owner_text` a
  // lot's owner is not read but its text handed there.
  LineReader(const WorldFields& fields, size_t required, TextPool* texts = nullptr,
             std::string_view* owner_text = nullptr)
      : fields_(fields),
        limit_(fields.size() >= required ? fields.size() : 0),
        ok_(limit_ != 0),
        texts_(texts),
        owner_text_(owner_text) {}

  bool ok() const { return ok_; }

  // Texts are built, then moved in: cheaper than assigning over the old one.
  void key(std::string& k) {
    std::string_view text;
    if (next_key(text)) k = std::string(text);
  }
  void key(SharedText& k) {
    std::string_view text;
    if (next_key(text)) k = text;
  }
  void owner(SharedText& o) {
    std::string_view text;
    if (!next(text)) return;
    if (owner_text_ != nullptr) {
      *owner_text_ = text;
    } else {
      o = texts_->share(text);
    }
  }
  void field(std::string_view& v) { next(v); }
  void field(std::string& v) {
    std::string_view text;
    if (next(text)) v = std::string(text);
  }
  void field(SharedText& v) {
    std::string_view text;
    if (next(text)) v = texts_->share(text);
  }
  void field(SharedText& v, const SharedText& (*when_empty)()) {
    field(v);
    if (v.empty()) v = when_empty();
  }
  void field(uint64_t& v) { number(v, read_u64_prefix); }
  void field(uint32_t& v) { number(v, read_u32_prefix); }
  void field(int32_t& v) { number(v, read_i32_prefix); }
  void field(double& v) { number(v, read_double_prefix); }
  void field(bool& v) {
    std::string_view text;
    if (next(text)) v = text == "1";
  }
  void optional(std::optional<std::string_view>& v) {
    if (at_ < limit_) v = fields_[at_++];
  }
  void optional(std::optional<double>& v) {
    if (at_ >= limit_) return;
    double read = 0.0;
    field(read);
    if (ok_) v = read;
  }
  bool more(size_t fields) {
    if (ok_ && fields_.size() >= fields) return true;
    // A field listed after the end of the line is missing.
    limit_ = std::min(limit_, at_);
    return false;
  }

 private:
  bool next(std::string_view& text) {
    if (at_ >= limit_) {
      fail();
      return false;
    }
    text = fields_[at_++];
    return true;
  }
  bool next_key(std::string_view& text) {
    if (!next(text)) return false;
    if (is_storable_key(text)) return true;
    fail();
    return false;
  }
  template <typename Number, typename Read>
  void number(Number& v, Read read) {
    std::string_view text;
    if (next(text) && !read(text, v)) fail();
  }
  void fail() {
    ok_ = false;
    limit_ = 0;
  }

  const WorldFields& fields_;
  size_t at_ = 1;  // after the tag
  size_t limit_;   // fields past it are missing
  bool ok_;
  TextPool* texts_;
  std::string_view* owner_text_;
};

// Appends the line of `tag` whose fields `fields` lists.
template <typename Fields, typename... Record>
void append_line(std::string& out, std::string_view tag, Fields fields, const Record&... record) {
  out += tag;
  LineWriter writer(out);
  fields(writer, record...);
  out += '\n';
}

// Reads the line `f` into `record` as `fields` lists it.
template <typename Fields, typename... Record>
bool read_line(const WorldFields& f, Fields fields, Record&... record) {
  LineReader reader(f, fields_always(fields, record...));
  fields(reader, record...);
  return reader.ok();
}

// The field lists, one per kind.

constexpr auto ads_fields = [](auto& io, const AdLineState& a) {
  io.field(a.config->google_ad_unit_id);
  io.field(a.config->meta_placement_id);
  io.field(a.config->meta_pixel_id);
  io.field(a.config->amazon_pub_id);
  io.field(a.config->amazon_slot_id);
  io.field(*a.google_impressions);
  io.field(*a.meta_impressions);
  io.field(*a.amazon_impressions);
  io.field(*a.total_revenue_eur);
};

constexpr auto user_fields = [](auto& io, auto& u) {
  io.key(u.id);
  io.field(u.username);
  io.field(u.email);
  io.field(u.password_hash);
  io.field(u.salt);
  io.field(u.google_id);
  io.field(u.avatar_url);
  io.field(u.wallet_address);
  io.field(u.session_token);
  io.field(u.created_at);
  io.field(u.last_login);
};

constexpr auto player_fields = [](auto& io, auto& p) {
  io.key(p.address);
  io.field(p.coins);
  io.field(p.kwh);
  io.field(p.ruz);
  io.field(p.last_sync_ms);
  io.field(p.ads_watched);
  if (!io.more(kPlayerFields)) return;
  io.field(p.today_kwh);
  io.field(p.yesterday_kwh);
  io.field(p.this_week_kwh);
  io.field(p.last_week_kwh);
  io.field(p.this_month_kwh);
  io.field(p.last_month_kwh);
  io.field(p.all_time_kwh);
  io.field(p.solar_kwh);
  io.field(p.wind_kwh);
  io.field(p.storage_kwh);
  io.field(p.hydrogen_kwh);
  io.field(p.last_wc_ad_ms);
  io.field(p.boost_10x_until_ms);
  io.field(p.cer_id);
  io.field(p.cer_role);
  io.field(p.card_draw_ms);
  io.field(p.card_id);
  io.field(p.card_name);
  io.field(p.card_desc);
  io.field(p.card_type);
  io.field(p.card_value);
  io.field(p.card_until_ms);
  io.field(p.weekly_quiz_score);
};

// A "PC" line always holds the whole player.
constexpr auto player_production_fields = [](auto& io, auto& p, auto& community_kwh, auto& member_kwh) {
  player_fields(io, p);
  io.field(community_kwh);
  io.optional(member_kwh);
};

constexpr auto parcel_fields = [](auto& io, auto& l) {
  io.key(l.key);
  io.field(l.lat);
  io.field(l.lon);
  io.owner(l.owner);
  io.field(l.plant_type);
  io.field(l.plant_level);
  io.field(l.power_kw);
  io.field(l.storage_boost);
  io.field(l.plant_name);
  if (!io.more(kParcelMarketFields)) return;
  io.field(l.for_sale);
  io.field(l.sale_currency, default_sale_currency);
  io.field(l.min_bid);
  io.field(l.buyout_price);
  io.field(l.highest_bid);
  io.field(l.highest_bidder);
  if (!io.more(kParcelFields)) return;
  io.field(l.billboard_active);
  io.field(l.span_cluster);
  io.field(l.group_id);
  io.field(l.title);
  io.field(l.image_url);
  io.field(l.link_url);
  io.field(l.social_type, default_social_type);
};

constexpr auto admin_fields = [](auto& io, auto& a) {
  io.field(a.admin_password_hash);
  io.field(a.super_boost_until_ms);
  io.field(a.super_boost_reason);
  io.field(a.reserved);
};

constexpr auto boost_fields = [](auto& io, auto& b) {
  io.field(b.id);
  io.field(b.start_ms);
  io.field(b.end_ms);
  io.field(b.multiplier);
  io.field(b.cancelled);
  io.field(b.created_ms);
  io.field(b.title);
  if (!io.more(kBoostFields)) return;
  io.field(b.reason);
};

constexpr auto category_fields = [](auto& io, auto& name) { io.field(name); };

constexpr auto question_fields = [](auto& io, auto& q) {
  io.key(q.id);
  io.field(q.author_addr);
  io.field(q.author_name);
  io.field(q.category);
  io.field(q.question);
  io.field(q.option_a);
  io.field(q.option_b);
  io.field(q.option_c);
  io.field(q.option_d);
  io.field(q.correct_option);
  io.field(q.times_answered);
  io.field(q.times_correct);
  io.field(q.times_wrong);
  io.field(q.created_at);
};

constexpr auto community_fields = [](auto& io, auto& c) {
  io.key(c.id);
  io.field(c.name);
  io.field(c.tag);
  io.field(c.description);
  io.field(c.emblem);
  io.field(c.creator);
  io.field(c.created_at);
  io.field(c.weekly_score);
  io.field(c.total_kwh);
};

constexpr auto member_fields = [](auto& io, auto& cer_id, auto& m) {
  io.field(cer_id);
  io.field(m.address);
  io.field(m.role);
  io.field(m.joined_at);
  io.field(m.weekly_points);
  io.field(m.total_kwh);
};

constexpr auto message_fields = [](auto& io, auto& cer_id, auto& m) {
  io.field(cer_id);
  io.field(m.id);
  io.field(m.author_addr);
  io.field(m.author_name);
  io.field(m.text);
  io.field(m.emoji);
  io.field(m.timestamp);
};

constexpr auto journal_mark_fields = [](auto& io, auto& last_change) { io.field(last_change); };

constexpr auto claim_intent_fields = [](auto& io, auto& c) {
  io.field(c.tx_hash);
  io.field(c.block_index);
  io.field(c.player);
  io.field(c.source);
  io.field(c.units);
  io.field(c.net_atomic);
};

constexpr auto removal_fields = [](auto& io, auto& tag, auto& key, auto& second) {
  io.field(tag);
  io.optional(key);
  io.optional(second);
};

}  // namespace

RecordKind record_kind(std::string_view tag) {
  for (const auto& [text, kind] : kKindOfTag) {
    if (text == tag) return kind;
  }
  return RecordKind::kUnknown;
}

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

void append_ads_line(std::string& out, const AdLineState& ads) { append_line(out, kAdsTag, ads_fields, ads); }

void append_user_line(std::string& out, const UserAccount& u) { append_line(out, kUserTag, user_fields, u); }

void append_player_line(std::string& out, const PlayerProfile& p) { append_line(out, kPlayerTag, player_fields, p); }

void append_player_production_line(std::string& out, const PlayerProfile& p, double community_kwh,
                                   const double* member_kwh) {
  const std::optional<double> member = member_kwh != nullptr ? std::optional<double>(*member_kwh) : std::nullopt;
  append_line(out, kPlayerProductionTag, player_production_fields, p, community_kwh, member);
}

void append_parcel_line(std::string& out, const ParcelRecord& l) { append_line(out, kParcelTag, parcel_fields, l); }

void append_admin_lines(std::string& out, const AdminConfig& a) {
  append_line(out, kAdminTag, admin_fields, a);
  for (const ScheduledSuperBoost& b : a.scheduled_boosts) append_line(out, kBoostTag, boost_fields, b);
}

void append_category_line(std::string& out, const std::string& category) {
  append_line(out, kCategoryTag, category_fields, category);
}

void append_question_line(std::string& out, const QuizQuestion& q) {
  append_line(out, kQuestionTag, question_fields, q);
}

void append_community_own_line(std::string& out, const CERCommunity& c, std::string_view tag) {
  append_line(out, tag, community_fields, c);
}

void append_member_line(std::string& out, const std::string& cer_id, const CERMember& m, std::string_view tag) {
  append_line(out, tag, member_fields, cer_id, m);
}

void append_message_line(std::string& out, const std::string& cer_id, const CERMessage& m) {
  append_line(out, kMessageTag, message_fields, cer_id, m);
}

void append_community_lines(std::string& out, const CERCommunity& c) {
  append_community_own_line(out, c, kCommunityTag);
  for (const CERMember& m : c.members) append_member_line(out, c.id, m, kMemberTag);
  for (const CERMessage& m : c.messages) append_message_line(out, c.id, m);
}

void append_journal_mark_line(std::string& out, uint64_t last_change) {
  append_line(out, kJournalMarkTag, journal_mark_fields, last_change);
}

void append_claim_intent_line(std::string& out, const ClaimIntent& c) {
  append_line(out, kClaimTag, claim_intent_fields, c);
}

void append_removal_line(std::string& out, std::string_view tag, std::string_view key, std::string_view second) {
  append_line(out, kRemovalTag, removal_fields, tag, key, second);
}

// The readers of the bulk kinds run a million times at a start: each has
// its field list and the visitor inlined whole (flatten), so that the
// fields are read as a hand-written reader would.
[[gnu::flatten]] bool read_user_fields(const WorldFields& f, UserAccount& u) { return read_line(f, user_fields, u); }

namespace {

// What the reader has always made of a player line: no RUZ reads as the
// starting 5, no role as a member.
bool settle_read_player(bool ok, PlayerProfile& p) {
  if (p.ruz <= 0.0) p.ruz = 5.0;
  if (p.cer_role.empty()) p.cer_role = "member";
  return ok;
}

}  // namespace

[[gnu::flatten]] bool read_player_fields(const WorldFields& f, PlayerProfile& p) {
  p = PlayerProfile();  // the defaults, last_sync_ms 0
  return settle_read_player(read_line(f, player_fields, p), p);
}

bool read_player_production_fields(const WorldFields& f, PlayerProfile& p, double& community_kwh,
                                   std::optional<double>& member_kwh) {
  p = PlayerProfile();
  member_kwh.reset();
  return settle_read_player(read_line(f, player_production_fields, p, community_kwh, member_kwh), p);
}

bool read_journal_mark_fields(const WorldFields& f, uint64_t& last_change) {
  return read_line(f, journal_mark_fields, last_change);
}

[[gnu::flatten]] bool read_parcel_fields(const WorldFields& f, ParcelRecord& l, TextPool& texts,
                                        std::string_view* owner_text) {
  l = ParcelRecord();
  LineReader reader(f, fields_always(parcel_fields, l), &texts, owner_text);
  parcel_fields(reader, l);
  return reader.ok();
}

bool read_boost_fields(const WorldFields& f, ScheduledSuperBoost& b) {
  b = ScheduledSuperBoost();
  return read_line(f, boost_fields, b);
}

std::optional<std::string> read_category_fields(const WorldFields& f) {
  std::string_view text;
  if (!read_line(f, category_fields, text)) return std::nullopt;
  std::string name;
  for (const char c : text) {
    if (c != '\r') name += c;
  }
  if (name.empty()) return std::nullopt;
  return name;
}

bool read_question_fields(const WorldFields& f, QuizQuestion& q) { return read_line(f, question_fields, q); }

bool read_community_fields(const WorldFields& f, CERCommunity& c) {
  c = CERCommunity();
  return read_line(f, community_fields, c);
}

bool read_member_fields(const WorldFields& f, std::string_view& cer_id, CERMember& m) {
  return read_line(f, member_fields, cer_id, m);
}

bool read_message_fields(const WorldFields& f, std::string_view& cer_id, CERMessage& m) {
  return read_line(f, message_fields, cer_id, m);
}

bool read_claim_intent_fields(const WorldFields& f, ClaimIntent& c) {
  if (!read_line(f, claim_intent_fields, c)) return false;
  // Settling a record it cannot trust would pay or take the wrong amount.
  return !c.tx_hash.empty() && !c.player.empty() && (c.source == "WC" || c.source == "KWH") && c.units > 0;
}

bool read_removal_fields(const WorldFields& f, RemovalFields& r) {
  r = RemovalFields();
  return read_line(f, removal_fields, r.tag, r.key, r.second);
}

// Read in place: a short line changes nothing, a longer one its fields up
// to the first that does not read.
void apply_ads_fields(const WorldFields& f, const AdLineState& ads) { read_line(f, ads_fields, ads); }

void apply_admin_fields(const WorldFields& f, AdminConfig& a) { read_line(f, admin_fields, a); }

}  // namespace ZezozuRiziv
