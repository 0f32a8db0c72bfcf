// Saving and loading the world file game_world.dat.
#include <algorithm>
#include <filesystem>
#include <optional>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "crypto/text.h"
#include "game/game_engine.h"
#include "game/world_records.h"
#include "platform/file_system.h"

namespace ZezozuRiziv {

namespace {

// The largest world file the engine reads into memory: about ten times the
// size of a world with a million lots. A bigger file is refused whole
// rather than half loaded.
constexpr uint64_t kMaxWorldFileBytes = 4ULL << 30;

// Formats the line of every record touched since the last save (an empty
// line for a record that is gone).
template <typename Record, typename Append>
void refresh_lines(RecordLines& lines, const std::unordered_map<std::string, Record>& records,
                   Append append) {
  for (const std::string& key : lines.dirty) {
    const auto it = records.find(key);
    std::optional<std::string>& line = lines.changed[key];
    if (it == records.end()) {
      line.reset();
      continue;
    }
    if (!line) line.emplace();
    line->clear();
    append(*line, it->second);
    line->pop_back();  // the line feed; the snapshot adds it
  }
}

// The lines of one kind: those read from the file for records unchanged
// since, then those formatted since.
void append_lines(std::string& out, const RecordLines& lines) {
  const bool any_changed = !lines.changed.empty();
  for (const LoadedLine& loaded : lines.loaded) {
    if (any_changed && lines.changed.find(loaded.key) != lines.changed.end()) continue;
    out += loaded.line;
    out += '\n';
  }
  for (const auto& [key, line] : lines.changed) {
    if (!line) continue;
    out += *line;
    out += '\n';
  }
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

// Keeps the line a record was read from. A key read a second time replaces
// the first record: its line is formatted anew at the next save, so the
// older line is never written again.
// `key` and `line` point into the loaded text.
void keep_loaded_line(RecordLines& lines, bool replaced, std::string_view key, std::string_view line) {
  lines.loaded.push_back({key, line});
  if (replaced) lines.dirty.emplace(key);
}

}  // namespace

bool GameEngine::save_world_unlocked() {
  if (load_failed_) {
    // The file on disk could not be read: writing now would replace it.
    std::cout << "[GIOCO] Salvataggio di " << world_file_path
              << " rifiutato: il file esistente non era leggibile." << std::endl;
    return false;
  }
  WorldLines& w = world_lines_;
  refresh_lines(w.users, users, append_user_line);
  refresh_lines(w.players, players, append_player_line);
  refresh_lines(w.parcels, parcels, append_parcel_line);

  std::string& out = w.snapshot;
  out.clear();
  append_ads_line(out, {&ads_config, &google_impressions, &meta_impressions, &amazon_impressions,
                        &total_revenue_eur});
  out.reserve(w.loaded_text.size());
  append_lines(out, w.users);
  append_lines(out, w.players);
  append_lines(out, w.parcels);
  append_admin_lines(out, admin);
  for (const std::string& category : quiz_categories) append_category_line(out, category);
  // In key order: a save of an unchanged world writes the same bytes.
  for (const QuizQuestion* question : in_key_order(quiz_questions)) append_question_line(out, *question);
  for (const CERCommunity* community : in_key_order(cers)) append_community_lines(out, *community);
  for (const ClaimIntent& intent : pending_claims_) append_claim_intent_line(out, intent);

  bool saved = false;
  // Live session tokens and password hashes: readable by the owner only.
  switch (platform::replace_file(world_file_path, out, platform::FileAccess::kOwnerOnly)) {
    case platform::ReplaceResult::kReplaced:
      saved = true;
      break;
    case platform::ReplaceResult::kRenameFailed:
      // The temporary file is complete and stays; copy its content over.
      saved = platform::write_file_in_place(world_file_path, out, platform::FileAccess::kOwnerOnly);
      break;
    case platform::ReplaceResult::kWriteFailed:
      break;
  }
  if (!saved) {
    std::cout << "[GIOCO] Impossibile scrivere " << world_file_path
              << ": il file precedente resta intatto." << std::endl;
    return false;
  }
  // Lines already match the records; a failure keeps them marked, so the
  // undone records are formatted again next time.
  w.users.dirty.clear();
  w.players.dirty.clear();
  w.parcels.dirty.clear();
  return true;
}

void GameEngine::rebuild_world_lines_unlocked() {
  WorldLines& w = world_lines_;
  w.users = RecordLines();
  w.players = RecordLines();
  w.parcels = RecordLines();
  w.loaded_bytes.reset();
  w.loaded_text = {};
  for (const auto& [id, user] : users) w.users.dirty.insert(id);
  for (const auto& [key, player] : players) w.players.dirty.insert(key);
  for (const auto& [key, parcel] : parcels) w.parcels.dirty.insert(key);
}

void GameEngine::fail_load_unlocked(const std::string& reason) {
  load_failed_ = true;
  load_error_ = "Impossibile leggere il mondo di gioco " + world_file_path + " (" + reason +
                "): il file resta com'e' e il nodo non puo' partire.";
  std::cout << "[GIOCO] " << load_error_ << std::endl;
}

void GameEngine::load_world() {
  std::unique_lock lock(game_mutex);
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
  world_lines_ = WorldLines();
  load_failed_ = false;
  load_error_.clear();

  // Only a file that is definitely absent is replaced by a fresh world; one
  // that exists but cannot be examined or read is left alone.
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(world_file_path, ec);
  if (status.type() == std::filesystem::file_type::not_found) {
    seed_initial_multiplayer_world_unlocked();
    seed_default_quiz_and_cer_unlocked();
    rebuild_world_lines_unlocked();
    // A failure is on the console; the world stays usable in memory and
    // every change tries to save again.
    static_cast<void>(save_world_unlocked());
    return;
  }
  if (ec) return fail_load_unlocked(ec.message());
  if (status.type() != std::filesystem::file_type::regular) return fail_load_unlocked("non e' un file");

  std::string_view content;
  try {
    std::ifstream in(world_file_path, std::ios::binary);
    if (!in) return fail_load_unlocked("apertura non riuscita");
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0) return fail_load_unlocked("dimensione illeggibile");
    if (static_cast<uint64_t>(size) > kMaxWorldFileBytes) return fail_load_unlocked("file troppo grande");
    world_lines_.loaded_bytes = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(size));
    in.seekg(0, std::ios::beg);
    in.read(world_lines_.loaded_bytes.get(), size);
    if (!in || in.gcount() != size) return fail_load_unlocked("lettura non riuscita");
    content = std::string_view(world_lines_.loaded_bytes.get(), static_cast<size_t>(size));
    world_lines_.loaded_text = content;
  } catch (const std::exception& e) {
    return fail_load_unlocked(e.what());
  }

  const AdLineState ads{&ads_config, &google_impressions, &meta_impressions, &amazon_impressions,
                        &total_revenue_eur};
  // Room for every line, so that the maps never grow while loading.
  const size_t line_count = static_cast<size_t>(std::count(content.begin(), content.end(), '\n')) + 1;
  players.reserve(line_count);
  parcels.reserve(line_count);
  WorldFields f;
  uint64_t skipped = 0;
  uint64_t known_lines = 0;  // lines whose tag this file format has
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string_view::npos) end = content.size();
    const std::string_view line(content.data() + start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    split_world_line(line, f);
    const std::string_view tag = f[0];

    bool ok = true;
    if (tag == "A") {
      apply_ads_fields(f, ads);
    } else if (tag == "U") {
      UserAccount u;
      ok = read_user_fields(f, u);
      if (ok) {
        if (!u.email.empty()) email_index[u.email] = u.id;
        if (!u.username.empty()) username_index[RozeveCrypto::ascii_lower(u.username)] = u.id;
        if (!u.google_id.empty()) google_index[u.google_id] = u.id;
        if (!u.session_token.empty()) sessions[u.session_token] = u.id;
        std::string id = u.id;
        const bool replaced = !users.insert_or_assign(std::move(id), std::move(u)).second;
        keep_loaded_line(world_lines_.users, replaced, f[1], line);
      }
    } else if (tag == "P") {
      PlayerProfile p;
      ok = read_player_fields(f, p);
      if (ok) {
        std::string key = p.address;
        const bool replaced = !players.insert_or_assign(std::move(key), std::move(p)).second;
        keep_loaded_line(world_lines_.players, replaced, f[1], line);
      }
    } else if (tag == "L") {
      ParcelRecord l;
      ok = read_parcel_fields(f, l);
      if (ok) {
        std::string key = l.key;
        const bool replaced = !parcels.insert_or_assign(std::move(key), std::move(l)).second;
        keep_loaded_line(world_lines_.parcels, replaced, f[1], line);
      }
    } else if (tag == "ADM") {
      apply_admin_fields(f, admin);
    } else if (tag == "SB") {
      ScheduledSuperBoost b;
      ok = read_boost_fields(f, b);
      if (ok) admin.scheduled_boosts.push_back(std::move(b));
    } else if (tag == "QC") {
      std::optional<std::string> category = read_category_fields(f);
      ok = category.has_value();
      if (ok) quiz_categories.push_back(std::move(*category));
    } else if (tag == "QQ") {
      QuizQuestion q;
      ok = read_question_fields(f, q);
      if (ok) {
        const std::string id = q.id;
        quiz_questions.insert_or_assign(id, std::move(q));
      }
    } else if (tag == "CER") {
      CERCommunity c;
      ok = read_community_fields(f, c);
      if (ok) {
        const std::string id = c.id;
        cers.insert_or_assign(id, std::move(c));
      }
    } else if (tag == "CERM") {
      CERMember m;
      ok = read_member_fields(f, m);
      // A member of a community not (yet) loaded is dropped.
      const auto it = ok ? cers.find(std::string(f[1])) : cers.end();
      if (it != cers.end()) it->second.members.push_back(std::move(m));
    } else if (tag == "CERMSG") {
      CERMessage m;
      ok = read_message_fields(f, m);
      const auto it = ok ? cers.find(std::string(f[1])) : cers.end();
      if (it != cers.end()) it->second.messages.push_back(std::move(m));
    } else if (tag == "CLAIM") {
      ClaimIntent c;
      ok = read_claim_intent_fields(f, c);
      if (ok) pending_claims_.push_back(std::move(c));
    } else {
      continue;  // lines of other tags are ignored
    }
    ++known_lines;
    if (!ok) ++skipped;
  }
  // Bytes that hold no record at all are no world, whatever they are: seeding
  // would write a fresh one over them at once.
  if (known_lines == skipped && content.find_first_not_of('\n') != std::string_view::npos) {
    world_lines_ = WorldLines();
    return fail_load_unlocked("nessun record leggibile");
  }
  if (skipped > 0) {
    std::cout << "[GIOCO] Ignorate " << skipped << " righe illeggibili in " << world_file_path << std::endl;
  }

  std::unordered_set<std::string> read_twice = world_lines_.players.dirty;
  parcel_index_.reserve(parcels.size(), players.size());
  for (auto& [key, parcel] : parcels) parcel_index_.add(parcel);
  if (parcels.empty()) {
    seed_initial_multiplayer_world_unlocked();
  } else {
    for (auto& [key, player] : players) recalculate_player_power_unlocked(player);
    // Only fields the file does not carry changed: the loaded lines stand,
    // except those of keys read twice.
    world_lines_.players.dirty = std::move(read_twice);
  }
  seed_default_quiz_and_cer_unlocked();
}

}  // namespace ZezozuRiziv
