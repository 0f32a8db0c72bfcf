// The quiz: categories, questions written by players, the question offered
// to a player, answers and their points, and the weekly ranking.
#include <algorithm>
#include <mutex>
#include <unordered_set>

#include "crypto/json_writer.h"
#include "game/engine/game_engine.h"
#include "game/model/text_safety.h"
#include "game/rules/community_quiz_rules.h"

namespace ZezozuRiziv {

namespace {

constexpr size_t kMinCategoryBytes = 3;
// A question needs more than this many bytes.
constexpr size_t kShortQuestionBytes = 9;
constexpr uint32_t kLastOption = 3;
constexpr uint64_t kSubmitRewardWc = 15;
constexpr uint64_t kAnswerPoints = 10;
constexpr uint64_t kAnswerRewardWc = 5;
// The ranking lists at most this many players and communities.
constexpr size_t kRankingSize = 10;
// Prize figures the ranking shows; nothing pays them out.
constexpr uint64_t kCommunityPrizeWc = 500;
constexpr uint64_t kPlayerPrizeWc = 250;

constexpr char kDefaultCategory[] = "Generale";

std::string no_question_json() {
  JsonWriter json;
  json.begin_object().field("status", "ok").field("has_question", false);
  json.field("message", "Nessuna domanda disponibile al momento.").end_object();
  return json.take();
}

// The first `limit` of `items` by `before`, in that order.
template <typename T, typename Before>
void keep_best(std::vector<const T*>& items, size_t limit, Before before) {
  const auto end = items.begin() + static_cast<std::ptrdiff_t>(std::min(limit, items.size()));
  std::partial_sort(items.begin(), end, items.end(), before);
  items.erase(end, items.end());
}

}  // namespace

std::string GameEngine::get_quiz_categories_json() const {
  platform::ReadLock lock(game_mutex);
  JsonWriter json;
  json.begin_object().field("status", "ok").key("categories").begin_array();
  for (const std::string& name : quiz_categories) json.value(name);
  json.end_array().end_object();
  return json.take();
}

bool GameEngine::add_quiz_category(const std::string& name, std::string& out) {
  // Cleaned first, so that the trimmed text is what is stored.
  const std::string clean = std::string(trim_blanks(clean_world_text(name)));
  if (clean.size() < kMinCategoryBytes) {
    return refuse(out, "Il nome della categoria deve contenere almeno 3 caratteri.");
  }
  return change(out, [&](std::string& out) REQUIRES(game_mutex) {
    if (std::find(quiz_categories.begin(), quiz_categories.end(), clean) != quiz_categories.end()) {
      return refuse(out, "Categoria gia' esistente.");
    }
    touch_quiz_categories_unlocked();
    quiz_categories.push_back(clean);

    JsonWriter json;
    json.begin_object()
        .field("status", "ok")
        .field("message", "Nuova categoria quiz aggiunta con successo!")
        .field("category", clean)
        .end_object();
    out = json.take();
    return true;
  });
}

bool GameEngine::submit_quiz_question(const std::string& address, const std::string& category,
                                      const std::string& question, const std::string& option_a,
                                      const std::string& option_b, const std::string& option_c,
                                      const std::string& option_d, uint32_t correct_option, std::string& out) {
  if (!keys_usable(address, out)) return false;
  // The length rules apply to the text as it is stored.
  QuizQuestion q;
  q.category = clean_world_text(category);
  q.question = clean_world_text(question);
  q.option_a = clean_world_text(option_a);
  q.option_b = clean_world_text(option_b);
  q.option_c = clean_world_text(option_c);
  q.option_d = clean_world_text(option_d);

  return change_for(address, Accrual::kNone, out, [&](PlayerProfile& player, std::string& out) REQUIRES(game_mutex) {
    const std::string& addr = player.address;

    if (q.question.size() <= kShortQuestionBytes) {
      return refuse(out, "La domanda deve contenere almeno 10 caratteri.");
    }
    if (q.option_a.empty() || q.option_b.empty() || q.option_c.empty() || q.option_d.empty()) {
      return refuse(out, "Devi compilare tutte e 4 le risposte possibili.");
    }
    if (correct_option > kLastOption) {
      return refuse(out, "Devi indicare quale delle 4 opzioni e' quella corretta (0-3).");
    }

    const uint64_t now = now_ms();
    // A drawn id that names a stored question is drawn again: it would
    // replace another player's question.
    const std::optional<std::string> id = draw_free_id(
        "qq_", now, *random_,
        [&](const std::string& candidate) REQUIRES_SHARED(game_mutex) { return quiz_questions.count(candidate) != 0; });
    if (!id) return refuse(out, "Troppe domande inviate in questo istante: riprova tra un momento.");

    const auto names = usernames_of_unlocked({addr});
    const auto name = names.find(addr);
    q.id = *id;
    q.author_addr = addr;
    q.author_name = name != names.end() ? name->second : quiz_author_fallback_name(addr);
    if (q.category.empty()) q.category = kDefaultCategory;
    q.correct_option = static_cast<int32_t>(correct_option);
    q.created_at = now;
    touch_quiz_question_unlocked(q.id);
    quiz_questions.emplace(q.id, q);
    player.coins += kSubmitRewardWc;

    JsonWriter json;
    json.begin_object()
        .field("status", "ok")
        .field("message", "Domanda inviata con successo! Hai ricevuto +15 Watt Coin per il contributo.")
        .field("question_id", q.id)
        .end_object();
    out = json.take();
    return true;
  });
}

std::string GameEngine::get_random_quiz_question_json(const std::string& address) const {
  platform::ReadLock lock(game_mutex);
  if (quiz_questions.empty()) return no_question_json();
  const std::string addr = normalize_addr(address);

  std::unordered_set<std::string_view> answered;
  const auto player = players.find(addr);
  if (player != players.end()) answered.insert(player->second.answered_this_week.begin(),
                                               player->second.answered_this_week.end());
  std::vector<const QuizQuestion*> candidates;
  for (const auto& [id, q] : quiz_questions) {
    if (q.author_addr != addr && answered.count(id) == 0) candidates.push_back(&q);
  }
  // Everything answered this week: the answered ones come round again.
  if (candidates.empty()) {
    for (const auto& [id, q] : quiz_questions) {
      if (q.author_addr != addr) candidates.push_back(&q);
    }
  }
  if (candidates.empty()) return no_question_json();
  const QuizQuestion& q = *candidates[random_->below(candidates.size())];

  // The right option stays on the server.
  JsonWriter json;
  json.begin_object().field("status", "ok").field("has_question", true).key("question").begin_object();
  json.field("id", q.id).field("author_name", q.author_name).field("category", q.category);
  json.field("question", q.question).field("option_a", q.option_a).field("option_b", q.option_b);
  json.field("option_c", q.option_c).field("option_d", q.option_d);
  json.end_object().end_object();
  return json.take();
}

bool GameEngine::answer_quiz_question(const std::string& address, const std::string& question_id,
                                      int chosen_option, std::string& out) {
  if (!keys_usable(address, out)) return false;
  return change_for(address, Accrual::kNone, out, [&](PlayerProfile& player, std::string& out) REQUIRES(game_mutex) {
    const auto it = quiz_questions.find(question_id);
    if (it == quiz_questions.end()) return refuse(out, "Domanda quiz non trovata.");
    touch_quiz_question_unlocked(question_id);
    QuizQuestion& q = it->second;
    q.times_answered += 1;
    // The list only answers "answered yet?": a question answered again (it
    // scores again) is not listed twice, so the list stays as long as the
    // question map at most.
    if (std::find(player.answered_this_week.begin(), player.answered_this_week.end(), question_id) ==
        player.answered_this_week.end()) {
      player.answered_this_week.push_back(question_id);
    }

    // The community of `member` (when it exists) and its entry there score.
    const auto credit_community = [&](const PlayerProfile& member) REQUIRES(game_mutex) {
      const auto community = member.cer_id.empty() ? cers.end() : cers.find(member.cer_id);
      if (community == cers.end()) return;
      touch_cer_fields_unlocked(community->second);
      community->second.weekly_score += kAnswerPoints;
      if (CERMember* entry = edit_member_unlocked(community->second, member.address)) {
        entry->weekly_points += kAnswerPoints;
      }
    };

    // An option outside 0..3 is simply wrong.
    const bool correct = chosen_option == q.correct_option;
    if (correct) {
      q.times_correct += 1;
      player.weekly_quiz_score += kAnswerPoints;
      player.answers_correct += 1;
      player.coins += kAnswerRewardWc;
      credit_community(player);
    } else {
      q.times_wrong += 1;
      const auto author = players.find(q.author_addr);
      if (author != players.end()) {
        touch_player_unlocked(q.author_addr);
        author->second.weekly_quiz_score += kAnswerPoints;
        author->second.author_tricked += 1;
        credit_community(author->second);
      }
    }
    const int32_t right_option = q.correct_option;

    JsonWriter json;
    json.begin_object()
        .field("status", "ok")
        .field("is_correct", correct)
        .field("correct_option", static_cast<int64_t>(right_option))
        .field("points_earned", correct ? kAnswerPoints : uint64_t{0})
        .field("coins_earned", correct ? kAnswerRewardWc : uint64_t{0})
        .field("weekly_quiz_score", player.weekly_quiz_score)
        .field("message", correct ? "Risposta esatta! +10 Punti e +5 Watt Coin!"
                                  : "Risposta errata! I punti sono andati all'autore della domanda.")
        .end_object();
    out = json.take();
    return true;
  });
}

std::string GameEngine::get_weekly_quiz_leaderboard_json() const {
  platform::ReadLock lock(game_mutex);
  std::vector<const PlayerProfile*> players_ranked;
  for (const auto& [key, p] : players) {
    if (p.weekly_quiz_score != 0) players_ranked.push_back(&p);
  }
  // Highest first; equal scores by key, so the order is stable.
  keep_best(players_ranked, kRankingSize, [](const PlayerProfile* a, const PlayerProfile* b) {
    return a->weekly_quiz_score != b->weekly_quiz_score ? a->weekly_quiz_score > b->weekly_quiz_score
                                                        : a->address < b->address;
  });
  std::vector<const CERCommunity*> communities_ranked;
  communities_ranked.reserve(cers.size());
  for (const auto& [id, c] : cers) communities_ranked.push_back(&c);
  keep_best(communities_ranked, kRankingSize, [](const CERCommunity* a, const CERCommunity* b) {
    return a->weekly_score != b->weekly_score ? a->weekly_score > b->weekly_score : a->id < b->id;
  });

  std::vector<std::string> addresses;
  for (const PlayerProfile* p : players_ranked) addresses.push_back(p->address);
  const auto names = usernames_of_unlocked(addresses);

  JsonWriter json;
  json.begin_object()
      .field("status", "ok")
      .field("cycle_remaining_sec", quiz_cycle_remaining_sec(now_ms()))
      .field("cer_pool_watt_coins", kCommunityPrizeWc)
      .field("individual_prize_watt_coins", kPlayerPrizeWc);
  json.key("players").begin_array();
  for (const PlayerProfile* p : players_ranked) {
    const auto name = names.find(p->address);
    json.begin_object().field("address", p->address);
    json.field("username", name != names.end() ? name->second : address_display_name(p->address));
    json.field("weekly_quiz_score", p->weekly_quiz_score).field("answers_correct", p->answers_correct);
    json.field("author_tricked", p->author_tricked).end_object();
  }
  json.end_array().key("cers").begin_array();
  for (const CERCommunity* c : communities_ranked) {
    json.begin_object().field("id", c->id).field("name", c->name).field("tag", c->tag).field("emblem", c->emblem);
    json.field("weekly_score", c->weekly_score).field("members_count", static_cast<uint64_t>(c->members.size()));
    json.end_object();
  }
  json.end_array().end_object();
  return json.take();
}

}  // namespace ZezozuRiziv
