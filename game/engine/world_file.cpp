// The world file game_world.dat and its journal: loading both, the journal
// lines of a change, and the rewrites of the whole file.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "crypto/text.h"
#include "game/engine/game_engine.h"
#include "game/model/number_text.h"
#include "game/store/world_records.h"
#include "platform/file_system.h"
#include "platform/parallel.h"
#include "platform/process.h"

namespace ZezozuRiziv {

namespace {

// The largest world file the engine reads into memory: about ten times the
// size of a world with a million lots. A bigger file is refused whole
// rather than half loaded.
constexpr uint64_t kMaxWorldFileBytes = 4ULL << 30;

// The journal is folded into a fresh world file once it passes this
// fraction of the file's size, and never below the minimum: a start replays
// little beside the file, and a busy world is not rewritten all the time.
constexpr uint64_t kRewriteJournalFraction = 4;
constexpr uint64_t kMinRewriteJournalBytes = 16ULL << 20;

// Hash buckets of one map formatted per piece of a background rewrite: a
// few hundred records, so that a change, and the views queued behind it,
// wait well under a millisecond.
constexpr size_t kBucketsPerPiece = 512;

// A world file is read on up to this many threads, in pieces of at least
// this many bytes: a small world is read on one.
constexpr size_t kMaxLoadThreads = 8;
constexpr size_t kMinSnapshotPieceBytes = 256 << 10;

// The first entry of `address` in `c`, or null.
CERMember* first_member(CERCommunity& c, std::string_view address) {
  for (CERMember& m : c.members) {
    if (m.address == address) return &m;
  }
  return nullptr;
}

// Takes the index entries of `u` that lead to it out of the indexes.
void unindex_account(const UserAccount& u, std::unordered_map<std::string, std::string>& email_index,
                     std::unordered_map<std::string, std::string>& username_index,
                     std::unordered_map<std::string, std::string>& google_index,
                     std::unordered_map<std::string, std::string>& sessions) {
  const auto drop = [&u](std::unordered_map<std::string, std::string>& index, const std::string& key) {
    if (key.empty()) return;
    const auto it = index.find(key);
    if (it != index.end() && it->second == u.id) index.erase(it);
  };
  drop(email_index, u.email);
  drop(username_index, RozeveCrypto::ascii_lower(u.username));
  drop(google_index, u.google_id);
  drop(sessions, u.session_token);
}

// The records of `records`, sorted by key.
template <typename Record>
std::vector<const Record*> in_key_order(const std::unordered_map<std::string, Record>& records) {
  std::vector<std::pair<std::string_view, const Record*>> keyed;
  keyed.reserve(records.size());
  for (const auto& [key, record] : records) keyed.emplace_back(key, &record);
  std::sort(keyed.begin(), keyed.end());
  std::vector<const Record*> sorted;
  sorted.reserve(keyed.size());
  for (const auto& entry : keyed) sorted.push_back(entry.second);
  return sorted;
}

// Appends the lines of every record of `map` to `buffer`, a slice of hash
// buckets per piece. False when a piece fails or the map was rehashed
// between pieces (its buckets no longer name the same records).
template <typename Map, typename Append, typename Piece>
bool write_map(const Map& map, Append append, std::string& buffer, Piece piece) {
  size_t buckets = 0;
  size_t next = 0;
  bool rehashed = false;
  do {
    const bool written = piece([&] {
      if (next == 0) {
        buckets = map.bucket_count();
      } else if (map.bucket_count() != buckets) {
        rehashed = true;
        return;
      }
      const size_t end = std::min(buckets, next + kBucketsPerPiece);
      for (; next < end; ++next) {
        for (auto it = map.begin(next); it != map.end(next); ++it) append(buffer, it->second);
      }
    });
    if (!written || rehashed) return false;
  } while (next < buckets);
  return true;
}

// Appends, for every record a change touched, its line as it stands now, or
// its removal line when it is gone.
template <typename Touched, typename Map, typename Append>
void append_touched(std::string& out, const Touched& touched, const Map& live, std::string_view tag,
                    Append append) {
  for (const auto& [key, before] : touched) {
    const auto it = live.find(key);
    if (it == live.end()) {
      append_removal_line(out, tag, key);
    } else {
      append(out, it->second);
    }
  }
}

}  // namespace

std::string GameEngine::journal_lines_unlocked(const ChangeRecords& r) const {
  std::string out;
  append_touched(out, r.users, users, kUserTag, append_user_line);
  // A player whose production went to its community carries the
  // community's totals in its own line; where it cannot (it left that
  // community meanwhile), the community's lines carry them.
  std::unordered_map<std::string, std::string> uncredited;
  for (const auto& [key, before] : r.players) {
    const auto it = players.find(key);
    if (it == players.end()) {
      append_removal_line(out, kPlayerTag, key);
      continue;
    }
    const PlayerProfile& p = it->second;
    const auto credit = r.credited.find(key);
    const auto community =
        credit == r.credited.end() || p.cer_id != credit->second ? cers.end() : cers.find(credit->second);
    if (community == cers.end()) {
      if (credit != r.credited.end()) uncredited.emplace(key, credit->second);
      append_player_line(out, p);
      continue;
    }
    const size_t i = member_index_unlocked(community->second, key);
    const CERMember* entry = i == std::string::npos ? nullptr : &community->second.members[i];
    append_player_production_line(out, p, community->second.total_kwh, entry != nullptr ? &entry->total_kwh : nullptr);
  }
  for (const auto& [key, cer_id] : r.credited) {
    if (r.players.count(key) == 0) uncredited.emplace(key, cer_id);
  }
  append_touched(out, r.parcels, parcels, kParcelTag, append_parcel_line);
  if (r.admin) {
    // The boosts are a list: given anew, whole.
    append_removal_line(out, kBoostTag);
    append_admin_lines(out, admin);
  }
  if (r.quiz_categories) {
    append_removal_line(out, kCategoryTag);
    for (const std::string& category : quiz_categories) append_category_line(out, category);
  }
  append_touched(out, r.quiz_questions, quiz_questions, kQuestionTag, append_question_line);
  append_community_changes_unlocked(out, r, uncredited);
  append_touched(out, r.claims, pending_claims_, kClaimTag, append_claim_intent_line);
  if (r.ads) append_ads_line(out, ads_line_state());
  return out;
}

void GameEngine::append_community_changes_unlocked(
    std::string& out, const ChangeRecords& r, const std::unordered_map<std::string, std::string>& uncredited) const {
  for (const auto& [id, change] : r.communities) {
    const auto it = cers.find(id);
    if (it == cers.end()) {
      append_removal_line(out, kCommunityTag, id);
      continue;
    }
    const CERCommunity& c = it->second;
    // A community made or remade by the change goes whole (it is new, or
    // the change did not say what it changed in it).
    if (change.whole || !change.before || change.board_added > c.messages.size()) {
      append_community_lines(out, c);
      continue;
    }
    bool fields = change.fields_changed;
    std::vector<std::string_view> members(change.members.begin(), change.members.end());
    for (const auto& [address, cer_id] : uncredited) {
      if (cer_id != id) continue;
      fields = true;
      if (std::find(members.begin(), members.end(), address) == members.end()) members.push_back(address);
    }
    if (fields) append_community_own_line(out, c, kCommunityOwnTag);
    for (const std::string_view address : members) {
      const auto entry = std::find_if(c.members.begin(), c.members.end(),
                                      [&](const CERMember& m) { return m.address == address; });
      if (entry != c.members.end()) {
        append_member_line(out, id, *entry, kMemberUpdateTag);
      } else {
        append_removal_line(out, kMemberTag, id, address);
      }
    }
    for (size_t i = c.messages.size() - change.board_added; i < c.messages.size(); ++i) {
      append_message_line(out, id, c.messages[i]);
    }
    if (change.board_dropped > 0) append_removal_line(out, kMessageTag, id, std::to_string(change.board_dropped));
  }
}

// The ad counters as the "A" line reads them; writing a line changes none.
AdLineState GameEngine::ads_line_state() const {
  return {const_cast<AdNetworksConfig*>(&ads_config), const_cast<uint64_t*>(&google_impressions),
          const_cast<uint64_t*>(&meta_impressions), const_cast<uint64_t*>(&amazon_impressions),
          const_cast<double*>(&total_revenue_eur)};
}

bool GameEngine::save_world_unlocked() {
  if (load_failed_) {
    // The file on disk could not be read: writing now would replace it.
    std::cout << "[GIOCO] Salvataggio di " << world_file_path
              << " rifiutato: il file esistente non era leggibile." << std::endl;
    return false;
  }
  return write_world_file_unlocked();
}

bool GameEngine::write_snapshot(platform::AppendFile& file, bool lock_each, uint64_t& last_seq) const {
  std::string buffer;
  const auto piece = [&](auto&& format) {
    if (lock_each) {
      if (stopping_.load()) return false;
      std::shared_lock lock(game_mutex);
      format();
    } else {
      format();
    }
    const bool ok = file.append(buffer);
    buffer.clear();
    return ok;
  };
  const AdLineState ads = ads_line_state();
  bool ok = piece([&] { append_ads_line(buffer, ads); });
  ok = ok && write_map(users, append_user_line, buffer, piece);
  ok = ok && write_map(players, append_player_line, buffer, piece);
  ok = ok && write_map(parcels, append_parcel_line, buffer, piece);
  // The few records of the rest in one piece (unchecked: `piece` holds the
  // lock for it, or the caller does).
  ok = ok && piece([&]() NO_THREAD_SAFETY_ANALYSIS {
    append_admin_lines(buffer, admin);
    for (const std::string& category : quiz_categories) append_category_line(buffer, category);
    // In key order: a rewrite of an unchanged world writes the same bytes.
    for (const QuizQuestion* question : in_key_order(quiz_questions)) append_question_line(buffer, *question);
    for (const CERCommunity* community : in_key_order(cers)) append_community_lines(buffer, *community);
    for (const ClaimIntent* intent : in_key_order(pending_claims_)) append_claim_intent_line(buffer, *intent);
    // No change can come between this line and the communities above.
    last_seq = journal_->last_seq();
    append_journal_mark_line(buffer, last_seq);
  });
  return ok;
}

bool GameEngine::write_world_file_unlocked() {
  if (load_failed_) return save_world_unlocked();
  // The new file stands for every change queued so far: each must be
  // durable first (those that fail are undone and stay out of it).
  if (journal_->wait(journal_->last_seq()) != WorldJournal::Outcome::kDurable) settle_failed_changes_unlocked();

  const std::string tmp = world_file_path + ".tmp";
  platform::AppendFile file;
  uint64_t last_seq = 0;
  bool ok = open_world_append_file(file, tmp, true) && write_snapshot(file, false, last_seq) && file.sync();
  file.close();
  ok = ok && platform::rename_durably(tmp, world_file_path);
  if (!ok) {
    std::cout << "[GIOCO] Impossibile scrivere " << world_file_path
              << ": il file precedente resta intatto." << std::endl;
    return false;
  }
  // Everything the journals held is in the file now.
  if (!journal_->end_rewrite(true)) {
    std::cout << "[GIOCO] Giornale " << journal_->path() << " non svuotato dopo la riscrittura di "
              << world_file_path << std::endl;
  }
  return true;
}

void GameEngine::rewrite_world_in_background() {
  std::lock_guard<std::mutex> rewriting(rewrite_mutex_);
  if (load_failed_) return;
  const uint64_t failures = journal_->failures();
  if (!journal_->begin_rewrite()) {
    std::cout << "[GIOCO] Riscrittura di " << world_file_path << " rimandata: giornale non spostato." << std::endl;
    return;
  }
  const std::string tmp = world_file_path + ".tmp";
  platform::AppendFile file;
  uint64_t last_seq = 0;
  bool ok = open_world_append_file(file, tmp, true) && write_snapshot(file, true, last_seq) && file.sync();
  file.close();
  // The file may show any change queued while it was read: each must be
  // durable before the file stands for it, and none may have failed (the
  // file could show a change since undone).
  ok = ok && journal_->wait(last_seq) == WorldJournal::Outcome::kDurable && journal_->failures() == failures;
  ok = ok && platform::rename_durably(tmp, world_file_path);
  if (!ok) {
    // Nothing lost: the old file and both journals stand; a later rewrite
    // tries again.
    static_cast<void>(platform::remove_durably(tmp));
    if (!stopping_.load()) {
      std::cout << "[GIOCO] Riscrittura di " << world_file_path << " non riuscita; si riprova piu' tardi."
                << std::endl;
    }
    return;
  }
  if (!journal_->end_rewrite(false)) {
    std::cout << "[GIOCO] Giornale " << journal_->old_path() << " non rimosso dopo la riscrittura." << std::endl;
  }
}

void GameEngine::fail_load_unlocked(const std::string& reason) {
  load_failed_ = true;
  load_error_ = "Impossibile leggere il mondo di gioco " + world_file_path + " (" + reason +
                "): il file resta com'e' e il nodo non puo' partire.";
  std::cout << "[GIOCO] " << load_error_ << std::endl;
}

void GameEngine::store_loaded_user_unlocked(UserAccount&& u) {
  // A later line of the same account replaces it: what led to the earlier
  // one leads nowhere now.
  if (const auto old = users.find(u.id); old != users.end()) {
    unindex_account(old->second, email_index, username_index, google_index, sessions);
  }
  if (!u.email.empty()) email_index[u.email] = u.id;
  if (!u.username.empty()) username_index[RozeveCrypto::ascii_lower(u.username)] = u.id;
  if (!u.google_id.empty()) google_index[u.google_id] = u.id;
  if (!u.session_token.empty()) sessions[u.session_token] = u.id;
  std::string id = u.id;
  users.insert_or_assign(std::move(id), std::move(u));
}

bool GameEngine::apply_world_line_unlocked(std::string_view line, WorldFields& f, TextPool& texts, bool& known) {
  split_world_line(line, f);
  const RecordKind kind = record_kind(f[0]);
  known = kind != RecordKind::kUnknown;
  // Accounts, players and lots read line by line go straight into the
  // engine, the parcel index following the lots. Unchecked, as clang cannot
  // follow the engine through the keeper: it is only called within this
  // function's hold.
  struct Keep {
    GameEngine& engine;
    TextPool& texts;
    void user(UserAccount&& u) NO_THREAD_SAFETY_ANALYSIS { engine.store_loaded_user_unlocked(std::move(u)); }
    void player(PlayerProfile&& p) NO_THREAD_SAFETY_ANALYSIS {
      std::string key = p.address;
      engine.players.insert_or_assign(std::move(key), std::move(p));
    }
    void lot(ParcelRecord&& l, std::string_view owner) NO_THREAD_SAFETY_ANALYSIS {
      l.owner = texts.share(owner);
      engine.put_parcel_unlocked(std::move(l));
    }
  } keep{*this, texts};
  switch (kind) {
    case RecordKind::kUnknown:
      return true;  // lines of other tags are ignored
    case RecordKind::kUser:
    case RecordKind::kPlayer:
    case RecordKind::kParcel:
      return read_bulk_record(kind, f, texts, keep);
    case RecordKind::kAds:
      apply_ads_fields(f, ads_line_state());
      return true;
    case RecordKind::kAdmin:
      apply_admin_fields(f, admin);
      return true;
    case RecordKind::kBoost: {
      ScheduledSuperBoost b;
      if (!read_boost_fields(f, b)) return false;
      admin.scheduled_boosts.push_back(std::move(b));
      return true;
    }
    case RecordKind::kCategory: {
      std::optional<std::string> category = read_category_fields(f);
      if (!category) return false;
      quiz_categories.push_back(std::move(*category));
      return true;
    }
    case RecordKind::kQuestion: {
      QuizQuestion q;
      if (!read_question_fields(f, q)) return false;
      const std::string id = q.id;
      quiz_questions.insert_or_assign(id, std::move(q));
      return true;
    }
    case RecordKind::kPlayerProduction: {
      PlayerProfile p;
      double community_kwh = 0.0;
      std::optional<double> member_kwh;
      if (!read_player_production_fields(f, p, community_kwh, member_kwh)) return false;
      if (!replaying_covered_change_) {
        if (const auto c = cers.find(p.cer_id); c != cers.end()) {
          c->second.total_kwh = community_kwh;
          if (member_kwh) {
            if (CERMember* m = first_member(c->second, p.address)) m->total_kwh = *member_kwh;
          }
        }
      }
      keep.player(std::move(p));
      return true;
    }
    case RecordKind::kCommunity:
    case RecordKind::kCommunityOwn: {
      CERCommunity c;
      if (!read_community_fields(f, c)) return false;
      // The world file holds a replayed change's communities already.
      if (replaying_covered_change_) return true;
      const auto it = cers.find(c.id);
      if (kind == RecordKind::kCommunityOwn && it != cers.end()) {
        // Its own fields only: members and board stay.
        assign_own_fields(it->second, std::move(c));
        return true;
      }
      const std::string id = c.id;
      cers.insert_or_assign(id, std::move(c));
      return true;
    }
    case RecordKind::kMember:
    case RecordKind::kMemberUpdate: {
      std::string_view cer_id;
      CERMember m;
      if (!read_member_fields(f, cer_id, m)) return false;
      // A member of a community not (yet) loaded is dropped.
      const auto it = cers.find(std::string(cer_id));
      if (it == cers.end() || replaying_covered_change_) return true;
      CERMember* entry = kind == RecordKind::kMemberUpdate ? first_member(it->second, m.address) : nullptr;
      if (entry != nullptr) {
        *entry = std::move(m);
      } else {
        it->second.members.push_back(std::move(m));
      }
      return true;
    }
    case RecordKind::kMessage: {
      std::string_view cer_id;
      CERMessage m;
      if (!read_message_fields(f, cer_id, m)) return false;
      const auto it = cers.find(std::string(cer_id));
      if (it != cers.end() && !replaying_covered_change_) it->second.messages.push_back(std::move(m));
      return true;
    }
    case RecordKind::kJournalMark:
      return read_journal_mark_fields(f, snapshot_mark_);
    case RecordKind::kClaim: {
      ClaimIntent c;
      if (!read_claim_intent_fields(f, c)) return false;
      std::string hash = c.tx_hash;
      pending_claims_.insert_or_assign(std::move(hash), std::move(c));
      return true;
    }
    case RecordKind::kRemoval:
      return apply_removal_line_unlocked(f);
  }
  return true;
}

bool GameEngine::apply_removal_line_unlocked(const WorldFields& f) {
  RemovalFields removal;
  if (!read_removal_fields(f, removal)) return false;
  const RecordKind kind = record_kind(removal.tag);
  const std::string key(removal.key.value_or(std::string_view()));
  switch (kind) {
    case RecordKind::kUser:
      if (const auto it = users.find(key); it != users.end()) {
        unindex_account(it->second, email_index, username_index, google_index, sessions);
        users.erase(it);
      }
      return true;
    case RecordKind::kPlayer:
      players.erase(key);
      return true;
    case RecordKind::kParcel:
      if (const auto it = parcels.find(key); it != parcels.end()) {
        parcel_index_.remove(it->second);
        parcels.erase(it);
      }
      return true;
    case RecordKind::kQuestion:
      quiz_questions.erase(key);
      return true;
    case RecordKind::kClaim:
      pending_claims_.erase(key);
      return true;
    case RecordKind::kCategory:
      quiz_categories.clear();
      return true;
    case RecordKind::kBoost:
      admin.scheduled_boosts.clear();
      return true;
    case RecordKind::kCommunity:
      if (!replaying_covered_change_) cers.erase(key);
      return true;
    case RecordKind::kMember:
    case RecordKind::kMessage: {
      if (replaying_covered_change_ || !removal.second) return true;
      const auto c = cers.find(key);
      if (c == cers.end()) return true;
      if (kind == RecordKind::kMember) {
        std::erase_if(c->second.members, [&](const CERMember& m) { return m.address == *removal.second; });
        return true;
      }
      uint64_t dropped = 0;
      if (!read_u64_prefix(*removal.second, dropped)) return false;
      std::vector<CERMessage>& board = c->second.messages;
      const auto oldest = static_cast<std::ptrdiff_t>(std::min<uint64_t>(dropped, board.size()));
      board.erase(board.begin(), board.begin() + oldest);
      return true;
    }
    default:
      return true;  // a line removing nothing this file holds
  }
}

bool GameEngine::replay_journal_unlocked(const std::string& path, bool current, TextPool& texts) {
  std::string text;
  switch (platform::read_whole_file(path, text)) {
    case platform::ReadResult::kMissing:
      return true;
    case platform::ReadResult::kFailed:
      fail_load_unlocked("giornale " + path + " illeggibile");
      return false;
    case platform::ReadResult::kRead:
      break;
  }
  const JournalScan scan = scan_journal(text);
  if (scan.damaged) {
    fail_load_unlocked("riga " + std::to_string(scan.damaged_line) + " del giornale " + path + " danneggiata");
    return false;
  }
  WorldFields f;
  uint64_t skipped = 0;
  for (size_t i = 0; i < scan.records.size(); ++i) {
    const uint64_t seq = scan.record_seqs[i];
    last_replayed_seq_ = std::max(last_replayed_seq_, seq);
    // A change the world file's communities hold already (it was written
    // after the change, during a rewrite): its community lines, which
    // append, must not be applied twice.
    replaying_covered_change_ = seq != 0 && seq <= snapshot_mark_;
    bool known = false;
    const std::string_view line = scan.records[i];
    if (!line.empty() && !apply_world_line_unlocked(line, f, texts, known)) ++skipped;
  }
  replaying_covered_change_ = false;
  if (skipped > 0) std::cout << "[GIOCO] Ignorate " << skipped << " righe illeggibili in " << path << std::endl;
  if (scan.complete_bytes < text.size()) {
    // The trace of a crash during a write: the change it held was never
    // answered. Cut off, so that later changes follow the last whole one.
    const uint64_t dropped = text.size() - scan.complete_bytes;
    const bool cut = current ? journal_->cut_to(scan.complete_bytes)
                             : platform::truncate_file(path, scan.complete_bytes);
    std::cout << "[GIOCO] Scartati " << dropped << " byte incompleti in coda a " << path
              << (cut ? "" : " (il file non si lascia accorciare)") << std::endl;
    if (!cut) {
      fail_load_unlocked("coda del giornale " + path + " non rimovibile");
      return false;
    }
  }
  return true;
}

namespace {

// Calls line(text) for every non-empty line of `text`.
template <typename Line>
void for_each_line(std::string_view text, Line line) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) line(text.substr(start, end - start));
    start = end + 1;
  }
}

// A piece of a snapshot, whole lines, read on a thread of its own: its
// lots and players parsed into maps of its own (whose nodes then move into
// the engine's maps without a copy), its accounts into a list, every other
// record line left for later. Lines of unknown tags, which the reader
// ignores, are not kept: a file of short unknown lines must not cost many
// times its size.
struct SnapshotPiece {
  std::string_view text;
  ParcelMap lots;
  // Each lot line's record and owner text, in file order: the owner is
  // filled in as the lot is indexed, so that an owner's text is kept once,
  // not once per piece.
  std::vector<std::pair<ParcelRecord*, std::string_view>> owners;
  std::unordered_map<std::string, PlayerProfile> players;
  std::vector<UserAccount> users;
  std::vector<std::string_view> other_lines;  // in file order
  uint64_t known = 0;    // lots, players and accounts
  uint64_t skipped = 0;  // of those, the unreadable ones
  bool removals = false;
  bool replaced = false;  // a lot line given twice
  TextPool texts;

  void parse() {
    // Room first, so that the maps never grow while they fill.
    size_t lot_lines = 0;
    size_t player_lines = 0;
    size_t user_lines = 0;
    for_each_line(text, [&](std::string_view line) {
      switch (record_kind(line_tag(line))) {
        case RecordKind::kParcel:
          ++lot_lines;
          break;
        case RecordKind::kPlayer:
          ++player_lines;
          break;
        case RecordKind::kUser:
          ++user_lines;
          break;
        default:
          break;
      }
    });
    lots.reserve(lot_lines);
    owners.reserve(lot_lines);
    players.reserve(player_lines);
    users.reserve(user_lines);

    WorldFields f;
    for_each_line(text, [&](std::string_view line) {
      const RecordKind kind = record_kind(line_tag(line));
      if (!is_bulk_kind(kind)) {
        // A removal, or a player line carrying community totals, reaches
        // beyond its own kind.
        removals = removals || kind == RecordKind::kRemoval || kind == RecordKind::kPlayerProduction;
        if (kind != RecordKind::kUnknown) other_lines.push_back(line);
        return;
      }
      split_world_line(line, f);
      ++known;
      if (!read_bulk_record(kind, f, texts, *this)) ++skipped;
    });
  }

  // Where read_bulk_record hands the records.
  void user(UserAccount&& u) { users.push_back(std::move(u)); }
  void player(PlayerProfile&& p) {
    std::string key = p.address;
    players.insert_or_assign(std::move(key), std::move(p));
  }
  void lot(ParcelRecord&& l, std::string_view owner) {
    SharedText key = l.key;  // the map key shares the record's text
    // A lot given again replaces the earlier one in its place: the later
    // owner comes later in `owners`.
    const auto [stored, fresh] = lots.insert_or_assign(std::move(key), std::move(l));
    replaced = replaced || !fresh;
    owners.emplace_back(&stored->second, owner);
  }
};

// The snapshot cut into `count` pieces of whole lines.
std::vector<SnapshotPiece> cut_snapshot(std::string_view content, size_t count) {
  std::vector<SnapshotPiece> pieces(count);
  size_t start = 0;
  for (size_t i = 0; i < count; ++i) {
    size_t end = i + 1 == count ? content.size() : std::max(start, content.size() / count * (i + 1));
    if (end < content.size()) {
      end = content.find('\n', end);
      end = end == std::string_view::npos ? content.size() : end + 1;
    }
    pieces[i].text = content.substr(start, end - start);
    start = end;
  }
  return pieces;
}

// Moves the records of every piece's `part` into `into`, a record of a later
// piece replacing one of the same key in an earlier piece, as a later line
// replaces an earlier one. The later pieces go first: merge() leaves a key
// that `into` already holds behind in its piece, replaced.
template <typename Map, typename Part>
void merge_pieces(std::vector<SnapshotPiece>& pieces, Map& into, Part part) {
  size_t count = 0;
  for (SnapshotPiece& piece : pieces) count += (piece.*part).size();
  into.reserve(into.size() + count);
  for (auto piece = pieces.rbegin(); piece != pieces.rend(); ++piece) into.merge(*piece.*part);
}

}  // namespace

void GameEngine::load_snapshot_unlocked(std::string_view content, TextPool& texts, uint64_t& known_lines,
                                        uint64_t& skipped) {
  WorldFields f;
  // Unchecked, as the jobs below: they run within the caller's hold.
  const auto apply_line = [&](std::string_view line) NO_THREAD_SAFETY_ANALYSIS {
    bool known = false;
    const bool ok = apply_world_line_unlocked(line, f, texts, known);
    if (!known) return;
    ++known_lines;
    if (!ok) ++skipped;
  };
  const size_t threads =
      std::min(platform::bulk_threads(kMaxLoadThreads), content.size() / kMinSnapshotPieceBytes + 1);
  std::vector<SnapshotPiece> pieces = cut_snapshot(content, threads);
  platform::run_in_parallel(pieces.size(), [&pieces](size_t i) { pieces[i].parse(); });

  // Lots, players and accounts touch nothing of one another while a world
  // is read, so each kind is stored on its own thread. A removal record
  // (which a snapshot never holds, but a file edited by hand might) could
  // undo a line of another kind: then the whole file is read line by line.
  const bool removals = std::any_of(pieces.begin(), pieces.end(), [](const SnapshotPiece& p) { return p.removals; });
  if (removals) {
    pieces.clear();
    for_each_line(content, apply_line);
    return;
  }
  size_t lot_count = 0;
  size_t player_count = 0;
  for (const SnapshotPiece& piece : pieces) {
    known_lines += piece.known;
    skipped += piece.skipped;
    lot_count += piece.lots.size();
    player_count += piece.players.size();
  }
  parcel_index_.reserve(lot_count, player_count);

  // Six jobs at once. The lots are indexed straight from the pieces while
  // their map nodes move into the engine's map: a merge relinks nodes and
  // never touches the records in them; the owner, cell and grid parts of
  // the index each read and write their own fields. The lots a merge leaves
  // behind (a key given again in a later piece) go with their pieces, after
  // every job.
  const auto each_lot = [&pieces](auto file) {
    for (const SnapshotPiece& piece : pieces) {
      for (const auto& [lot, owner] : piece.owners) file(*lot, owner);
    }
  };
  platform::run_in_parallel(6, [&](size_t job) NO_THREAD_SAFETY_ANALYSIS {
    switch (job) {
      case 0:
        merge_pieces(pieces, parcels, &SnapshotPiece::lots);
        break;
      case 1:
        merge_pieces(pieces, players, &SnapshotPiece::players);
        break;
      case 2:
        for (SnapshotPiece& piece : pieces) {
          for (UserAccount& user : piece.users) store_loaded_user_unlocked(std::move(user));
          std::vector<UserAccount>().swap(piece.users);
          // No lot among them: they touch neither the lots nor the index.
          for (const std::string_view line : piece.other_lines) apply_line(line);
        }
        break;
      case 3:
        each_lot([this](ParcelRecord& lot, std::string_view owner)
                     NO_THREAD_SAFETY_ANALYSIS { parcel_index_.add_to_owner_in_bulk(lot, owner); });
        parcel_index_.end_owners_in_bulk();
        break;
      case 4:
        each_lot([this](ParcelRecord& lot, std::string_view)
                     NO_THREAD_SAFETY_ANALYSIS { parcel_index_.add_to_cell(lot); });
        break;
      default:
        each_lot([this](ParcelRecord& lot, std::string_view)
                     NO_THREAD_SAFETY_ANALYSIS { parcel_index_.add_to_grid(lot); });
        break;
    }
  });
  // A lot given twice was indexed twice: the index is built again from the
  // lots that stand.
  const bool twice = std::any_of(pieces.begin(), pieces.end(),
                                 [](const SnapshotPiece& p) { return p.replaced || !p.lots.empty(); });
  if (twice) {
    parcel_index_.clear();
    parcel_index_.add_all(parcels);
  }
}

void GameEngine::load_world() {
  platform::WriteLock lock(game_mutex);
  players.clear();
  parcels.clear();
  users.clear();
  email_index.clear();
  username_index.clear();
  google_index.clear();
  sessions.clear();
  cers.clear();
  quiz_questions.clear();
  quiz_categories.clear();
  pending_claims_.clear();
  parcel_index_.clear();
  pending_changes_.clear();
  load_failed_ = false;
  load_error_.clear();
  rewrite_threshold_ = kMinRewriteJournalBytes;
  snapshot_mark_ = 0;
  last_replayed_seq_ = 0;

  // Only a file that is definitely absent is replaced by a fresh world; one
  // that exists but cannot be examined or read is left alone.
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(world_file_path, ec);
  if (status.type() == std::filesystem::file_type::not_found) {
    // Changes without the world they change: a world file removed by hand.
    if (platform::path_kind(journal_->path()) != platform::PathKind::kMissing ||
        platform::path_kind(journal_->old_path()) != platform::PathKind::kMissing) {
      return fail_load_unlocked("manca, ma il giornale " + journal_->path() + " c'e'");
    }
    seed_initial_multiplayer_world_unlocked();
    seed_default_quiz_and_cer_unlocked();
    // A failure is on the console; the world stays usable in memory and
    // every change journals its records.
    static_cast<void>(write_world_file_unlocked());
    return;
  }
  if (ec) return fail_load_unlocked(ec.message());
  if (status.type() != std::filesystem::file_type::regular) return fail_load_unlocked("non e' un file");

  uint64_t file_bytes = 0;
  TextPool texts;  // the texts lots repeat, kept once
  {
    platform::FileBytes file;
    switch (file.open(world_file_path, kMaxWorldFileBytes)) {
      case platform::FileBytes::Result::kRead:
        break;
      case platform::FileBytes::Result::kTooBig:
        return fail_load_unlocked("file troppo grande");
      case platform::FileBytes::Result::kMissing:
      case platform::FileBytes::Result::kFailed:
        return fail_load_unlocked("lettura non riuscita");
    }
    const std::string_view content = file.bytes();
    file_bytes = content.size();
    uint64_t known_lines = 0;  // lines whose tag this file format has
    uint64_t skipped = 0;
    try {
      load_snapshot_unlocked(content, texts, known_lines, skipped);
    } catch (const std::exception& e) {
      return fail_load_unlocked(e.what());
    }
    // Bytes that hold no record at all are no world, whatever they are:
    // seeding would write a fresh one over them at once.
    if (known_lines == skipped && content.find_first_not_of('\n') != std::string_view::npos) {
      return fail_load_unlocked("nessun record leggibile");
    }
    if (skipped > 0) {
      std::cout << "[GIOCO] Ignorate " << skipped << " righe illeggibili in " << world_file_path << std::endl;
    }
  }

  // The changes since the file was written: those a rewrite had not yet
  // folded in, then the current ones.
  if (!replay_journal_unlocked(journal_->old_path(), false, texts)) return;
  if (!replay_journal_unlocked(journal_->path(), true, texts)) return;
  // Change numbers go on from the last one any file holds.
  journal_->continue_after(std::max(snapshot_mark_, last_replayed_seq_));
  rewrite_threshold_ = std::max(kMinRewriteJournalBytes, file_bytes / kRewriteJournalFraction);

  const bool seeds = parcels.empty() || quiz_categories.empty() || quiz_questions.empty() || cers.empty();
  if (parcels.empty()) {
    seed_initial_multiplayer_world_unlocked();
  } else {
    recalculate_all_players_power_unlocked();
  }
  seed_default_quiz_and_cer_unlocked();
  // Seeded records reach the file at once, as in a fresh world; a failure
  // is on the console and the next rewrite tries again.
  if (seeds) static_cast<void>(write_world_file_unlocked());
  // The scratch of the read is freed: the resident size is the world's.
  platform::release_free_memory();
}

}  // namespace ZezozuRiziv
