// The lines of the world file game_world.dat: one '|'-separated record per
// line, nothing quoted or escaped. Writers append whole lines (LF included)
// and drop '|', CR and LF from every text, so no stored text can ever start
// a line of its own; readers fill a record from the fields of one line.
// Each kind lists its fields once (world_records.cpp), and that one list
// both writes and reads it. Pure functions; the engine calls them under its
// lock.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "game/model/game_records.h"

namespace ZezozuRiziv {

// The tag of each kind of line: its first field.
inline constexpr char kAdsTag[] = "A";
inline constexpr char kUserTag[] = "U";
inline constexpr char kPlayerTag[] = "P";
inline constexpr char kParcelTag[] = "L";
inline constexpr char kAdminTag[] = "ADM";
inline constexpr char kBoostTag[] = "SB";
inline constexpr char kCategoryTag[] = "QC";
inline constexpr char kQuestionTag[] = "QQ";
inline constexpr char kCommunityTag[] = "CER";
inline constexpr char kMemberTag[] = "CERM";
inline constexpr char kMessageTag[] = "CERMSG";
inline constexpr char kClaimTag[] = "CLAIM";
inline constexpr char kJournalMarkTag[] = "J";
// The lines only a journal holds: a player crediting its community, a
// community's own fields, a member put in place, a removal (see
// append_removal_line), and the line that closes a change (world_journal.h).
inline constexpr char kPlayerProductionTag[] = "PC";
inline constexpr char kCommunityOwnTag[] = "CERH";
inline constexpr char kMemberUpdateTag[] = "CERMU";
inline constexpr char kRemovalTag[] = "X";
inline constexpr char kChangeEndTag[] = "K";

// The kind of a record line, told by its tag. A line of any other tag
// (kUnknown) is ignored by every reader; the closing line of a journal's
// change never reaches them.
enum class RecordKind : uint8_t {
  kUnknown,
  kAds,
  kUser,
  kPlayer,
  kParcel,
  kAdmin,
  kBoost,
  kCategory,
  kQuestion,
  kCommunity,
  kMember,
  kMessage,
  kClaim,
  kJournalMark,
  kPlayerProduction,
  kCommunityOwn,
  kMemberUpdate,
  kRemoval,
};
RecordKind record_kind(std::string_view tag);
// The first field of `line`, its tag.
inline std::string_view line_tag(std::string_view line) { return line.substr(0, line.find('|')); }

using WorldFields = std::vector<std::string_view>;

// Splits `line` at every '|' into `fields` (cleared first); a '|' at the
// very end adds no empty field. The views point into `line`.
void split_world_line(std::string_view line, WorldFields& fields);

// The engine's ad-network state as the "A" line carries it.
struct AdLineState {
  AdNetworksConfig* config;
  uint64_t* google_impressions;
  uint64_t* meta_impressions;
  uint64_t* amazon_impressions;
  double* total_revenue_eur;
};

void append_ads_line(std::string& out, const AdLineState& ads);
void append_user_line(std::string& out, const UserAccount& user);
void append_player_line(std::string& out, const PlayerProfile& player);
// A journal's player line for a player whose production was credited to
// its community: the "P" fields, then the total of the community its
// cer_id names and, when that community lists it, the total of its first
// entry there ("PC", 31 or 32 fields).
void append_player_production_line(std::string& out, const PlayerProfile& player, double community_kwh,
                                   const double* member_kwh);
void append_parcel_line(std::string& out, const ParcelRecord& parcel);
// The "ADM" line followed by one "SB" line per scheduled boost.
void append_admin_lines(std::string& out, const AdminConfig& admin);
void append_category_line(std::string& out, const std::string& category);
// The category of a "QC" line as the writer will write it back; nullopt when
// that is empty ("QC||"), which would not read back as a category.
std::optional<std::string> read_category_fields(const WorldFields& fields);
void append_question_line(std::string& out, const QuizQuestion& question);
// The "CER" line, then its "CERM" and "CERMSG" lines in list order.
void append_community_lines(std::string& out, const CERCommunity& community);
// The community's own fields under `tag` ("CER", or in a journal "CERH":
// the same fields, its members and board kept as they are).
void append_community_own_line(std::string& out, const CERCommunity& community, std::string_view tag);
// One member under `tag` ("CERM" appends; in a journal "CERMU" replaces the
// first entry of its address, or appends when there is none).
void append_member_line(std::string& out, const std::string& cer_id, const CERMember& member, std::string_view tag);
// One notice-board message ("CERMSG": appended to the board).
void append_message_line(std::string& out, const std::string& cer_id, const CERMessage& message);
// "J|<n>": the world file holds every change up to number n, and the
// communities exactly as they stood after it (see the journal's replay).
void append_journal_mark_line(std::string& out, uint64_t last_change);
// A pending claim: "CLAIM|<tx hash>|<block index>|<player>|<WC or KWH>|
// <units debited>|<net atomic units>".
void append_claim_intent_line(std::string& out, const ClaimIntent& intent);
// A line that removes records (a journal line): "X|<tag>|<key>" removes the
// record of kind <tag> (U, P, L, QQ, CER, CLAIM) stored under <key>; "X|QC"
// empties the category list and "X|SB" the scheduled boosts, before the
// lines that give them anew; "X|CERM|<cer id>|<address>" takes every entry
// of that address out of the community, and "X|CERMSG|<cer id>|<n>" the n
// oldest messages off its board. An empty key or second is left out.
void append_removal_line(std::string& out, std::string_view tag, std::string_view key = {},
                         std::string_view second = {});

// Readers. `fields[0]` is the tag. Each returns false, leaving `out` in an
// unspecified state, when the line has fewer fields than its kind needs,
// one of its numbers cannot be read (not a number, a sign where none may
// stand, out of range, not finite), or the key of a record held by key (an
// account, a player, a lot, a question, a community) holds a CR, which the
// writer would drop.
bool read_user_fields(const WorldFields& fields, UserAccount& out);
bool read_player_fields(const WorldFields& fields, PlayerProfile& out);
// A "PC" line: the player, its community's total and its entry's total
// when the line carries one.
bool read_player_production_fields(const WorldFields& fields, PlayerProfile& out, double& community_kwh,
                                   std::optional<double>& member_kwh);
bool read_journal_mark_fields(const WorldFields& fields, uint64_t& last_change);
// The lot's texts other than its key come from `texts`, so that lots
// repeating an owner or a plant share it. With `owner_text` the owner stays
// empty and the text of its field goes there, for the caller to share.
bool read_parcel_fields(const WorldFields& fields, ParcelRecord& out, TextPool& texts,
                        std::string_view* owner_text = nullptr);
bool read_boost_fields(const WorldFields& fields, ScheduledSuperBoost& out);
bool read_question_fields(const WorldFields& fields, QuizQuestion& out);
// A community without members or messages.
bool read_community_fields(const WorldFields& fields, CERCommunity& out);
// A member or a message of the community `cer_id` names (the caller adds
// it there).
bool read_member_fields(const WorldFields& fields, std::string_view& cer_id, CERMember& out);
bool read_message_fields(const WorldFields& fields, std::string_view& cer_id, CERMessage& out);
// Also false for a source other than "WC" or "KWH", an empty hash or
// player, or no units.
bool read_claim_intent_fields(const WorldFields& fields, ClaimIntent& out);
// A removal line: the tag of what it removes, and its key and second field
// when the line has them. False without a tag.
struct RemovalFields {
  std::string_view tag;
  std::optional<std::string_view> key;
  std::optional<std::string_view> second;
};
bool read_removal_fields(const WorldFields& fields, RemovalFields& out);

// "A" and "ADM" lines apply their fields one by one, stopping at the first
// number that cannot be read; a line shorter than its kind is ignored.
void apply_ads_fields(const WorldFields& fields, const AdLineState& ads);
void apply_admin_fields(const WorldFields& fields, AdminConfig& admin);

// The kinds a world holds by the hundred thousand: accounts, players and
// lots, which a large world file reads in pieces on several threads.
constexpr bool is_bulk_kind(RecordKind kind) {
  return kind == RecordKind::kUser || kind == RecordKind::kPlayer || kind == RecordKind::kParcel;
}

// Reads a line of a bulk kind and hands its record to `keep`:
// keep.user(UserAccount&&), keep.player(PlayerProfile&&), or
// keep.lot(ParcelRecord&&, owner text), the lot's owner left empty for the
// keeper to share. False, handing nothing, when the line cannot be read.
template <typename Keep>
bool read_bulk_record(RecordKind kind, const WorldFields& fields, TextPool& texts, Keep& keep) {
  switch (kind) {
    case RecordKind::kUser: {
      UserAccount user;
      if (!read_user_fields(fields, user)) return false;
      keep.user(std::move(user));
      return true;
    }
    case RecordKind::kPlayer: {
      PlayerProfile player;
      if (!read_player_fields(fields, player)) return false;
      keep.player(std::move(player));
      return true;
    }
    case RecordKind::kParcel: {
      ParcelRecord lot;
      std::string_view owner;
      if (!read_parcel_fields(fields, lot, texts, &owner)) return false;
      keep.lot(std::move(lot), owner);
      return true;
    }
    default:
      return false;
  }
}

}  // namespace ZezozuRiziv
