// The one road of a game change: its records, what journals them, and the
// exact undo of a change whose write fails.
#include <cassert>
#include <iostream>
#include <utility>

#include "game/engine/game_engine.h"
#include "game/model/text_safety.h"

namespace ZezozuRiziv {

namespace {

// Records the prior state of one map entry, once: a later touch of the same
// entry within the change must not overwrite the original.
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

// A community's own fields, its lists left out.
CERCommunity own_fields_of(const CERCommunity& c) {
  CERCommunity fields;
  fields.id = c.id;
  fields.name = c.name;
  fields.tag = c.tag;
  fields.description = c.description;
  fields.emblem = c.emblem;
  fields.creator = c.creator;
  fields.created_at = c.created_at;
  fields.weekly_score = c.weekly_score;
  fields.total_kwh = c.total_kwh;
  return fields;
}

using CommunityEdit = ChangeRecords::CommunityEdit;

// Undoes one edit of a community's lists.
void reverse(CERCommunity& c, CommunityEdit& edit) {
  switch (edit.kind) {
    case CommunityEdit::Kind::kMemberSet:
      c.members[edit.members.front().first] = std::move(edit.members.front().second);
      break;
    case CommunityEdit::Kind::kMemberAdded:
      c.members.pop_back();
      break;
    case CommunityEdit::Kind::kMembersRemoved:
      for (auto& [index, member] : edit.members) {
        c.members.insert(c.members.begin() + static_cast<std::ptrdiff_t>(index), std::move(member));
      }
      break;
    case CommunityEdit::Kind::kMessageAdded:
      c.messages.pop_back();
      break;
    case CommunityEdit::Kind::kMessagesDropped:
      c.messages.insert(c.messages.begin(), std::make_move_iterator(edit.messages.begin()),
                        std::make_move_iterator(edit.messages.end()));
      break;
  }
}

}  // namespace

GameEngine::ChangeScope::ChangeScope(GameEngine& engine) : engine_(engine) {
  assert(engine_.active_change_ == nullptr && "one change at a time under the game lock");
  engine_.active_change_ = this;
}

GameEngine::ChangeScope::~ChangeScope() {
  // Once queued, the change is no longer the engine's open one, and the
  // lock may be another change's by now: nothing of the engine is touched.
  if (!queued_) close();
}

void GameEngine::ChangeScope::close() { engine_.active_change_ = nullptr; }

bool GameEngine::ChangeScope::enqueue(uint64_t& seq) {
  seq = 0;
  const std::string lines = engine_.journal_lines_unlocked(records_);
  if (lines.empty()) {
    records_ = ChangeRecords();
    return true;
  }
  if (!engine_.clear_stale_failure_unlocked()) return false;
  seq = engine_.journal_->enqueue(lines);
  // Undo data of changes already durable is no longer needed.
  const uint64_t durable = engine_.journal_->durable_seq();
  std::deque<PendingChange>& pending = engine_.pending_changes_;
  while (!pending.empty() && pending.front().seq <= durable) pending.pop_front();
  pending.push_back({seq, std::move(records_)});
  records_ = ChangeRecords();
  // From here on the change belongs to the journal's queue.
  close();
  queued_ = true;
  return true;
}

bool GameEngine::ChangeScope::fail(std::string& out) {
  // This change is the newest: it goes first, then those queued before it
  // that failed too.
  undo();
  engine_.settle_failed_changes_unlocked();
  std::cout << "[GIOCO] Impossibile scrivere il giornale " << engine_.journal_->path()
            << ": modifica annullata." << std::endl;
  out = error_json(kSaveFailedMessage);
  return false;
}

bool GameEngine::ChangeScope::commit(platform::WriteLock& lock, Durability durability, std::string& out) {
  GameEngine& e = engine_;
  // A world that could not be loaded is never written over.
  if (e.load_failed_) return fail(out);
  uint64_t seq = 0;
  if (!enqueue(seq)) return fail(out);
  if (seq == 0 || durability == Durability::kQueued) return true;
  // Views and other changes go on while the journal syncs; the answer is
  // already written.
  lock.unlock();
  if (e.journal_->wait(seq) == WorldJournal::Outcome::kDurable) return true;
  lock.lock();
  // This change is among the failed ones the journal lists: undone with
  // them, newest first.
  e.settle_failed_changes_unlocked();
  std::cout << "[GIOCO] Impossibile scrivere il giornale " << e.journal_->path() << ": modifica annullata."
            << std::endl;
  out = error_json(kSaveFailedMessage);
  return false;
}

bool GameEngine::ChangeScope::commit_holding_lock(std::string& out) {
  if (engine_.load_failed_) return fail(out);
  uint64_t seq = 0;
  if (!enqueue(seq)) return fail(out);
  if (seq == 0 || engine_.journal_->wait(seq) == WorldJournal::Outcome::kDurable) return true;
  engine_.settle_failed_changes_unlocked();
  out = error_json(kSaveFailedMessage);
  return false;
}

void GameEngine::ChangeScope::undo() { engine_.undo_records_unlocked(records_); }

void GameEngine::discard_change_unlocked() {
  if (active_change_ != nullptr) undo_records_unlocked(active_change_->records_);
}

bool GameEngine::created_by_change_unlocked(const std::string& key) const {
  if (active_change_ == nullptr) return false;
  const auto it = active_change_->records_.players.find(key);
  return it != active_change_->records_.players.end() && !it->second;
}

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

void GameEngine::undo_records_unlocked(ChangeRecords& r) {
  member_slots_.clear();
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

  // The edits of members and boards, newest first, then each community's
  // own fields (or the whole of it).
  for (auto edit = r.community_edits.rbegin(); edit != r.community_edits.rend(); ++edit) {
    const auto c = cers.find(edit->cer_id);
    const auto change = r.communities.find(edit->cer_id);
    if (c == cers.end() || (change != r.communities.end() && change->second.whole)) continue;
    reverse(c->second, *edit);
  }
  for (auto& [id, change] : r.communities) {
    if (!change.before) {
      cers.erase(id);
    } else if (change.whole) {
      cers.insert_or_assign(id, std::move(*change.before));
    } else if (const auto c = cers.find(id); c != cers.end()) {
      assign_own_fields(c->second, std::move(*change.before));
    }
  }

  restore(r.players, players);
  restore(r.users, users);
  restore(r.email_index, email_index);
  restore(r.username_index, username_index);
  restore(r.google_index, google_index);
  restore(r.sessions, sessions);
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
  r = ChangeRecords();
}

void GameEngine::touch_player_unlocked(const std::string& address) {
  if (active_change_ != nullptr) remember(active_change_->records_.players, players, address);
}

void GameEngine::touch_parcel_unlocked(std::string_view key) {
  if (active_change_ != nullptr) remember(active_change_->records_.parcels, parcels, std::string(key));
}

void GameEngine::touch_user_unlocked(const std::string& id) {
  if (active_change_ != nullptr) remember(active_change_->records_.users, users, id);
}

void GameEngine::touch_email_index_unlocked(const std::string& email) {
  if (active_change_ != nullptr) remember(active_change_->records_.email_index, email_index, email);
}

void GameEngine::touch_username_index_unlocked(const std::string& lower_username) {
  if (active_change_ != nullptr) remember(active_change_->records_.username_index, username_index, lower_username);
}

void GameEngine::touch_google_index_unlocked(const std::string& google_id) {
  if (active_change_ != nullptr) remember(active_change_->records_.google_index, google_index, google_id);
}

void GameEngine::touch_session_unlocked(const std::string& token) {
  if (active_change_ != nullptr) remember(active_change_->records_.sessions, sessions, token);
}

void GameEngine::touch_cer_unlocked(const std::string& id) {
  // The change may rewrite the community's list at will.
  member_slots_.erase(id);
  if (active_change_ == nullptr) return;
  ChangeRecords& r = active_change_->records_;
  const auto live = cers.find(id);
  const auto [it, fresh] = r.communities.try_emplace(id);
  ChangeRecords::Community& change = it->second;
  if (change.whole || (!fresh && !change.before)) {
    change.whole = true;  // remembered whole already, or created by this change
    return;
  }
  if (live == cers.end()) {
    change.whole = true;  // created now: the undo erases it
    return;
  }
  // The community as it stood before the change: as it is now, with this
  // change's edits of it taken back on the copy.
  CERCommunity whole = live->second;
  for (auto edit = r.community_edits.rbegin(); edit != r.community_edits.rend(); ++edit) {
    if (edit->cer_id == id) reverse(whole, *edit);
  }
  std::erase_if(r.community_edits, [&](const CommunityEdit& edit) { return edit.cer_id == id; });
  if (!fresh) assign_own_fields(whole, std::move(*change.before));
  change.before = std::move(whole);
  change.whole = true;
}

void GameEngine::touch_quiz_question_unlocked(const std::string& id) {
  if (active_change_ != nullptr) remember(active_change_->records_.quiz_questions, quiz_questions, id);
}

void GameEngine::touch_claim_unlocked(const std::string& tx_hash) {
  if (active_change_ != nullptr) remember(active_change_->records_.claims, pending_claims_, tx_hash);
}

void GameEngine::touch_quiz_categories_unlocked() {
  if (active_change_ != nullptr && !active_change_->records_.quiz_categories) {
    active_change_->records_.quiz_categories = quiz_categories;
  }
}

void GameEngine::touch_admin_unlocked() {
  if (active_change_ != nullptr && !active_change_->records_.admin) active_change_->records_.admin = admin;
}

void GameEngine::touch_ads_unlocked() {
  if (active_change_ != nullptr && !active_change_->records_.ads) {
    active_change_->records_.ads = ChangeRecords::AdsSnapshot{ads_config,         google_impressions, meta_impressions,
                                                            amazon_impressions, moloco_impressions, total_revenue_eur};
  }
}

// ---- One community, part by part ---------------------------------------------

ChangeRecords::Community* GameEngine::community_change_unlocked(const CERCommunity& community) {
  if (active_change_ == nullptr) return nullptr;
  const auto [it, fresh] = active_change_->records_.communities.try_emplace(community.id);
  if (fresh) it->second.before = own_fields_of(community);
  return &it->second;
}

void GameEngine::touch_cer_fields_unlocked(const CERCommunity& community) {
  if (ChangeRecords::Community* change = community_change_unlocked(community)) change->fields_changed = true;
}

namespace {

void note_member(ChangeRecords::Community& change, const std::string& address) {
  for (const std::string& a : change.members) {
    if (a == address) return;
  }
  change.members.push_back(address);
}

// Communities this small are searched entry by entry.
constexpr size_t kIndexedCommunityMembers = 64;

}  // namespace

size_t GameEngine::member_index_unlocked(const CERCommunity& c, std::string_view address) const {
  if (active_change_ == nullptr || c.members.size() < kIndexedCommunityMembers) {
    for (size_t i = 0; i < c.members.size(); ++i) {
      if (c.members[i].address == address) return i;
    }
    return std::string::npos;
  }
  // A large community's entries are found by address, not by a walk of
  // its members per change (a boost credits every member in one change).
  auto [slots, fresh] = member_slots_.try_emplace(c.id);
  if (fresh) {
    slots->second.reserve(c.members.size());
    for (size_t i = 0; i < c.members.size(); ++i) slots->second.try_emplace(c.members[i].address, i);
  }
  const auto it = slots->second.find(std::string(address));
  return it == slots->second.end() ? std::string::npos : it->second;
}

CERMember* GameEngine::edit_member_unlocked(CERCommunity& community, const std::string& address) {
  const size_t i = member_index_unlocked(community, address);
  if (i == std::string::npos) return nullptr;
  if (ChangeRecords::Community* change = community_change_unlocked(community)) {
    note_member(*change, address);
    if (!change->whole) {
      active_change_->records_.community_edits.push_back(
          {CommunityEdit::Kind::kMemberSet, community.id, {{i, community.members[i]}}, {}});
    }
  }
  return &community.members[i];
}

void GameEngine::add_member_unlocked(CERCommunity& community, CERMember member) {
  if (const auto slots = member_slots_.find(community.id); slots != member_slots_.end()) {
    slots->second.try_emplace(member.address, community.members.size());
  }
  if (ChangeRecords::Community* change = community_change_unlocked(community)) {
    note_member(*change, member.address);
    if (!change->whole) {
      active_change_->records_.community_edits.push_back({CommunityEdit::Kind::kMemberAdded, community.id, {}, {}});
    }
  }
  community.members.push_back(std::move(member));
}

void GameEngine::remove_member_unlocked(CERCommunity& community, const std::string& address) {
  if (member_index_unlocked(community, address) == std::string::npos) return;
  member_slots_.erase(community.id);
  if (ChangeRecords::Community* change = community_change_unlocked(community)) {
    note_member(*change, address);
    if (!change->whole) {
      CommunityEdit edit{CommunityEdit::Kind::kMembersRemoved, community.id, {}, {}};
      for (size_t i = 0; i < community.members.size(); ++i) {
        if (community.members[i].address == address) edit.members.emplace_back(i, community.members[i]);
      }
      active_change_->records_.community_edits.push_back(std::move(edit));
    }
  }
  std::erase_if(community.members, [&](const CERMember& m) { return m.address == address; });
}

void GameEngine::post_message_unlocked(CERCommunity& community, CERMessage message) {
  ChangeRecords::Community* change = community_change_unlocked(community);
  const bool logged = change != nullptr && !change->whole;
  if (logged) {
    active_change_->records_.community_edits.push_back({CommunityEdit::Kind::kMessageAdded, community.id, {}, {}});
  }
  community.messages.push_back(std::move(message));
  if (change != nullptr) ++change->board_added;
  if (community.messages.size() <= kBoardMessages) return;
  const auto drop = community.messages.end() - static_cast<std::ptrdiff_t>(kBoardMessages);
  if (logged) {
    CommunityEdit edit{CommunityEdit::Kind::kMessagesDropped, community.id, {}, {}};
    edit.messages.assign(std::make_move_iterator(community.messages.begin()), std::make_move_iterator(drop));
    active_change_->records_.community_edits.push_back(std::move(edit));
  }
  if (change != nullptr) change->board_dropped += static_cast<size_t>(drop - community.messages.begin());
  community.messages.erase(community.messages.begin(), drop);
}

void GameEngine::credit_production_unlocked(CERCommunity& community, const PlayerProfile& player, double kwh) {
  ChangeRecords::Community* change = community_change_unlocked(community);
  community.total_kwh += kwh;
  const size_t i = member_index_unlocked(community, player.address);
  if (change != nullptr) {
    active_change_->records_.credited.insert_or_assign(player.address, community.id);
    if (i != std::string::npos && !change->whole) {
      active_change_->records_.community_edits.push_back(
          {CommunityEdit::Kind::kMemberSet, community.id, {{i, community.members[i]}}, {}});
    }
  }
  if (i != std::string::npos) community.members[i].total_kwh += kwh;
}

}  // namespace ZezozuRiziv
