// The undo records of a change (GameEngine::UndoScope), the touch_* calls
// that feed them, and the road of a change to the journal.
#include <cassert>
#include <iostream>
#include <utility>

#include "game/game_engine.h"
#include "game/text_safety.h"

namespace ZezozuRiziv {

namespace {

// Records the prior state of one map entry, once: a later touch of the same
// entry within the scope must not overwrite the original.
template <typename T, typename Live>
void remember(std::unordered_map<std::string, std::optional<T>>& saved, const Live& live, const std::string& key) {
  if (saved.count(key) != 0) return;
  const auto it = live.find(key);
  saved.emplace(key, it == live.end() ? std::nullopt : std::optional<T>(it->second));
}

template <typename T>
void restore(std::unordered_map<std::string, std::optional<T>>& saved, std::unordered_map<std::string, T>& live) {
  for (auto& [key, before] : saved) {
    if (before) {
      live.insert_or_assign(key, std::move(*before));
    } else {
      live.erase(key);
    }
  }
  saved.clear();
}

}  // namespace

GameEngine::UndoScope::UndoScope(GameEngine& engine) : engine_(engine) {
  assert(engine_.active_undo_ == nullptr && "one change at a time under the game lock");
  engine_.active_undo_ = this;
}

GameEngine::UndoScope::UndoScope(GameEngine& engine, std::unique_lock<platform::PhaseFairMutex>& lock)
    : UndoScope(engine) {
  lock_ = &lock;
}

GameEngine::UndoScope::~UndoScope() {
  if (engine_.active_undo_ == this) engine_.active_undo_ = nullptr;
  if (answering_) engine_.game_mutex.unlock_shared();
}

bool GameEngine::UndoScope::commit_holding_lock() {
  GameEngine& e = engine_;
  if (e.load_failed_) return e.save_world_unlocked();
  const std::string lines = e.journal_lines_unlocked(records_);
  if (lines.empty()) return true;
  if (!e.clear_stale_failure_unlocked()) return false;
  const uint64_t seq = e.journal_->enqueue(lines);
  if (e.journal_->wait(seq) == WorldJournal::Outcome::kDurable) {
    records_ = UndoRecords();
    return true;
  }
  return false;
}

bool GameEngine::UndoScope::save(std::string& out) {
  GameEngine& e = engine_;
  const auto fail = [&] {
    // This change is the newest: it goes first, then those queued before it
    // that failed too.
    undo();
    e.settle_failed_changes_unlocked();
    std::cout << "[GIOCO] Impossibile scrivere il giornale " << e.journal_->path()
              << ": modifica annullata." << std::endl;
    out = error_json(kSaveFailedMessage);
    return false;
  };
  if (lock_ == nullptr || e.load_failed_) {
    if (commit_holding_lock()) return true;
    return fail();
  }
  const std::string lines = e.journal_lines_unlocked(records_);
  if (lines.empty()) {
    records_ = UndoRecords();
    return true;
  }
  if (!e.clear_stale_failure_unlocked()) return fail();
  const uint64_t seq = enqueue(lines);
  // From here on the change belongs to the journal: no undo of the scope.
  e.active_undo_ = nullptr;

  // Views and other changes go on while the journal syncs.
  lock_->unlock();
  const WorldJournal::Outcome outcome = e.journal_->wait(seq);
  if (outcome == WorldJournal::Outcome::kDurable) {
    // The answer only reads: the lock is taken shared for it, and given
    // back when the scope ends, before the action's lock object (which no
    // longer owns it).
    e.game_mutex.lock_shared();
    lock_->release();
    answering_ = true;
    return true;
  }
  lock_->lock();
  e.settle_failed_changes_unlocked();
  std::cout << "[GIOCO] Impossibile scrivere il giornale " << e.journal_->path() << ": modifica annullata."
            << std::endl;
  out = error_json(kSaveFailedMessage);
  return false;
}

uint64_t GameEngine::UndoScope::enqueue(const std::string& lines) {
  GameEngine& e = engine_;
  const uint64_t seq = e.journal_->enqueue(lines);
  // Undo data of changes already durable is no longer needed.
  const uint64_t durable = e.journal_->durable_seq();
  while (!e.pending_changes_.empty() && e.pending_changes_.front().seq <= durable) e.pending_changes_.pop_front();
  e.pending_changes_.push_back({seq, std::move(records_)});
  records_ = UndoRecords();
  return seq;
}

bool GameEngine::UndoScope::queue() {
  GameEngine& e = engine_;
  if (e.load_failed_) return false;
  const std::string lines = e.journal_lines_unlocked(records_);
  if (lines.empty()) {
    records_ = UndoRecords();
    return true;
  }
  if (!e.clear_stale_failure_unlocked()) return false;
  static_cast<void>(enqueue(lines));
  return true;
}

void GameEngine::UndoScope::undo() { engine_.undo_records_unlocked(records_); }

bool GameEngine::clear_stale_failure_unlocked() {
  const uint64_t from = journal_->failed_from();
  if (from == 0) return true;
  // A change computed on top of queued changes whose write failed fails
  // with them.
  if (!pending_changes_.empty() && pending_changes_.back().seq >= from) return false;
  // Nothing left to undo (a change made with the lock held undid its own).
  journal_->clear_failure();
  return true;
}

void GameEngine::settle_failed_changes_unlocked() {
  const uint64_t from = journal_->failed_from();
  if (from == 0) return;
  while (!pending_changes_.empty() && pending_changes_.back().seq >= from) {
    undo_records_unlocked(pending_changes_.back().records);
    pending_changes_.pop_back();
  }
  journal_->clear_failure();
}

void GameEngine::undo_records_unlocked(UndoRecords& r) {
  // Parcels are filed in the indexes by owner and place: take the current
  // version out before putting the old one back.
  for (auto& [key, before] : r.parcels) {
    auto it = parcels.find(key);
    if (it != parcels.end()) parcel_index_.remove(it->second);
    if (before) {
      if (it == parcels.end()) {
        SharedText stored_key = before->key;  // shared with the record
        it = parcels.emplace(std::move(stored_key), std::move(*before)).first;
      } else {
        it->second = std::move(*before);
      }
      parcel_index_.add(it->second);
    } else if (it != parcels.end()) {
      parcels.erase(it);
    }
  }
  r.parcels.clear();

  restore(r.players, players);
  restore(r.users, users);
  restore(r.email_index, email_index);
  restore(r.username_index, username_index);
  restore(r.google_index, google_index);
  restore(r.sessions, sessions);
  restore(r.cers, cers);
  restore(r.quiz_questions, quiz_questions);
  restore(r.claims, pending_claims_);
  if (r.quiz_categories) quiz_categories = std::move(*r.quiz_categories);
  if (r.admin) admin = std::move(*r.admin);
  if (r.ads) {
    ads_config = r.ads->config;
    google_impressions = r.ads->google_impressions;
    meta_impressions = r.ads->meta_impressions;
    amazon_impressions = r.ads->amazon_impressions;
    moloco_impressions = r.ads->moloco_impressions;
    total_revenue_eur = r.ads->total_revenue_eur;
  }
  r = UndoRecords();
}

void GameEngine::touch_records_unlocked(const UndoRecords& r) {
  for (const auto& [key, before] : r.players) touch_player_unlocked(key);
  for (const auto& [key, before] : r.parcels) touch_parcel_unlocked(key);
  for (const auto& [key, before] : r.users) touch_user_unlocked(key);
  for (const auto& [key, before] : r.email_index) touch_email_index_unlocked(key);
  for (const auto& [key, before] : r.username_index) touch_username_index_unlocked(key);
  for (const auto& [key, before] : r.google_index) touch_google_index_unlocked(key);
  for (const auto& [key, before] : r.sessions) touch_session_unlocked(key);
  for (const auto& [key, before] : r.cers) touch_cer_unlocked(key);
  for (const auto& [key, before] : r.quiz_questions) touch_quiz_question_unlocked(key);
  for (const auto& [key, before] : r.claims) touch_claim_unlocked(key);
  if (r.quiz_categories) touch_quiz_categories_unlocked();
  if (r.admin) touch_admin_unlocked();
  if (r.ads) touch_ads_unlocked();
}

void GameEngine::touch_player_unlocked(const std::string& address) {
  if (active_undo_ != nullptr) remember(active_undo_->records_.players, players, address);
}

void GameEngine::touch_parcel_unlocked(std::string_view key) {
  if (active_undo_ != nullptr) remember(active_undo_->records_.parcels, parcels, std::string(key));
}

void GameEngine::touch_user_unlocked(const std::string& id) {
  if (active_undo_ != nullptr) remember(active_undo_->records_.users, users, id);
}

void GameEngine::touch_email_index_unlocked(const std::string& email) {
  if (active_undo_ != nullptr) remember(active_undo_->records_.email_index, email_index, email);
}

void GameEngine::touch_username_index_unlocked(const std::string& lower_username) {
  if (active_undo_ != nullptr) remember(active_undo_->records_.username_index, username_index, lower_username);
}

void GameEngine::touch_google_index_unlocked(const std::string& google_id) {
  if (active_undo_ != nullptr) remember(active_undo_->records_.google_index, google_index, google_id);
}

void GameEngine::touch_session_unlocked(const std::string& token) {
  if (active_undo_ != nullptr) remember(active_undo_->records_.sessions, sessions, token);
}

void GameEngine::touch_cer_unlocked(const std::string& id) {
  if (active_undo_ != nullptr) remember(active_undo_->records_.cers, cers, id);
}

void GameEngine::touch_quiz_question_unlocked(const std::string& id) {
  if (active_undo_ != nullptr) remember(active_undo_->records_.quiz_questions, quiz_questions, id);
}

void GameEngine::touch_claim_unlocked(const std::string& tx_hash) {
  if (active_undo_ != nullptr) remember(active_undo_->records_.claims, pending_claims_, tx_hash);
}

void GameEngine::touch_quiz_categories_unlocked() {
  if (active_undo_ != nullptr && !active_undo_->records_.quiz_categories) {
    active_undo_->records_.quiz_categories = quiz_categories;
  }
}

void GameEngine::touch_admin_unlocked() {
  if (active_undo_ != nullptr && !active_undo_->records_.admin) active_undo_->records_.admin = admin;
}

void GameEngine::touch_ads_unlocked() {
  if (active_undo_ != nullptr && !active_undo_->records_.ads) {
    active_undo_->records_.ads = UndoRecords::AdsSnapshot{ads_config,         google_impressions, meta_impressions,
                                                amazon_impressions, moloco_impressions, total_revenue_eur};
  }
}

}  // namespace ZezozuRiziv
