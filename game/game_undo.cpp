// The undo journal of a change (GameEngine::UndoScope) and the touch_*
// calls that feed it and mark records for the next save.
#include <cassert>
#include <utility>

#include "game/game_engine.h"
#include "game/text_safety.h"

namespace ZezozuRiziv {

namespace {

// Records the prior state of one map entry, once: a later touch of the same
// entry within the scope must not overwrite the original.
template <typename T>
void remember(std::unordered_map<std::string, std::optional<T>>& saved,
              const std::unordered_map<std::string, T>& live, const std::string& key) {
  if (saved.count(key) != 0) return;
  const auto it = live.find(key);
  saved.emplace(key, it == live.end() ? std::nullopt : std::optional<T>(it->second));
}

template <typename T>
void restore(std::unordered_map<std::string, std::optional<T>>& saved, std::unordered_map<std::string, T>& live,
             std::unordered_set<std::string>* dirty) {
  for (auto& [key, before] : saved) {
    if (before) {
      live.insert_or_assign(key, std::move(*before));
    } else {
      live.erase(key);
    }
    // The line cache may hold the changed record's line.
    if (dirty != nullptr) dirty->insert(key);
  }
  saved.clear();
}

}  // namespace

GameEngine::UndoScope::UndoScope(GameEngine& engine) : engine_(engine) {
  assert(engine_.active_undo_ == nullptr && "one change at a time under the game lock");
  engine_.active_undo_ = this;
}

GameEngine::UndoScope::~UndoScope() { engine_.active_undo_ = nullptr; }

bool GameEngine::UndoScope::save(std::string& out) {
  if (engine_.save_world_unlocked()) {
    forget();
    return true;
  }
  undo();
  out = error_json(kSaveFailedMessage);
  return false;
}

void GameEngine::UndoScope::forget() {
  players_.clear();
  parcels_.clear();
  users_.clear();
  email_index_.clear();
  username_index_.clear();
  google_index_.clear();
  sessions_.clear();
  cers_.clear();
  quiz_questions_.clear();
  quiz_categories_.reset();
  admin_.reset();
  ads_.reset();
}

void GameEngine::UndoScope::undo() {
  GameEngine& e = engine_;
  // Parcels are filed in the indexes by owner and place: take the current
  // version out before putting the old one back.
  for (auto& [key, before] : parcels_) {
    auto it = e.parcels.find(key);
    if (it != e.parcels.end()) e.parcel_index_.remove(it->second);
    if (before) {
      if (it == e.parcels.end()) {
        it = e.parcels.emplace(key, std::move(*before)).first;
      } else {
        it->second = std::move(*before);
      }
      e.parcel_index_.add(it->second);
    } else if (it != e.parcels.end()) {
      e.parcels.erase(it);
    }
    e.world_lines_.parcels.dirty.insert(key);
  }
  parcels_.clear();

  restore(players_, e.players, &e.world_lines_.players.dirty);
  restore(users_, e.users, &e.world_lines_.users.dirty);
  restore(email_index_, e.email_index, nullptr);
  restore(username_index_, e.username_index, nullptr);
  restore(google_index_, e.google_index, nullptr);
  restore(sessions_, e.sessions, nullptr);
  restore(cers_, e.cers, nullptr);
  restore(quiz_questions_, e.quiz_questions, nullptr);
  if (quiz_categories_) e.quiz_categories = std::move(*quiz_categories_);
  if (admin_) e.admin = std::move(*admin_);
  if (ads_) {
    e.ads_config = ads_->config;
    e.google_impressions = ads_->google_impressions;
    e.meta_impressions = ads_->meta_impressions;
    e.amazon_impressions = ads_->amazon_impressions;
    e.moloco_impressions = ads_->moloco_impressions;
    e.total_revenue_eur = ads_->total_revenue_eur;
  }
  forget();
}

void GameEngine::touch_player_unlocked(const std::string& address) {
  if (active_undo_ != nullptr) remember(active_undo_->players_, players, address);
  world_lines_.players.dirty.insert(address);
}

void GameEngine::touch_parcel_unlocked(const std::string& key) {
  if (active_undo_ != nullptr) remember(active_undo_->parcels_, parcels, key);
  world_lines_.parcels.dirty.insert(key);
}

void GameEngine::touch_user_unlocked(const std::string& id) {
  if (active_undo_ != nullptr) remember(active_undo_->users_, users, id);
  world_lines_.users.dirty.insert(id);
}

void GameEngine::touch_email_index_unlocked(const std::string& email) {
  if (active_undo_ != nullptr) remember(active_undo_->email_index_, email_index, email);
}

void GameEngine::touch_username_index_unlocked(const std::string& lower_username) {
  if (active_undo_ != nullptr) remember(active_undo_->username_index_, username_index, lower_username);
}

void GameEngine::touch_google_index_unlocked(const std::string& google_id) {
  if (active_undo_ != nullptr) remember(active_undo_->google_index_, google_index, google_id);
}

void GameEngine::touch_session_unlocked(const std::string& token) {
  if (active_undo_ != nullptr) remember(active_undo_->sessions_, sessions, token);
}

void GameEngine::touch_cer_unlocked(const std::string& id) {
  if (active_undo_ != nullptr) remember(active_undo_->cers_, cers, id);
}

void GameEngine::touch_quiz_question_unlocked(const std::string& id) {
  if (active_undo_ != nullptr) remember(active_undo_->quiz_questions_, quiz_questions, id);
}

void GameEngine::touch_quiz_categories_unlocked() {
  if (active_undo_ != nullptr && !active_undo_->quiz_categories_) active_undo_->quiz_categories_ = quiz_categories;
}

void GameEngine::touch_admin_unlocked() {
  if (active_undo_ != nullptr && !active_undo_->admin_) active_undo_->admin_ = admin;
}

void GameEngine::touch_ads_unlocked() {
  if (active_undo_ != nullptr && !active_undo_->ads_) {
    active_undo_->ads_ = UndoScope::AdsSnapshot{ads_config,         google_impressions, meta_impressions,
                                                amazon_impressions, moloco_impressions, total_revenue_eur};
  }
}

}  // namespace ZezozuRiziv
