// Renewable-power communities (CER): founding, joining, leaving, the notice
// board ("bacheca"), and the list and detail views.
#include <algorithm>
#include <mutex>
#include <unordered_set>

#include "crypto/json_writer.h"
#include "game/engine/game_engine.h"
#include "game/model/text_safety.h"
#include "game/rules/community_quiz_rules.h"

namespace ZezozuRiziv {

namespace {

constexpr uint64_t kFoundingFeeWc = 100;
constexpr size_t kMinNameBytes = 3;
constexpr size_t kMinTagBytes = 2;
constexpr size_t kMaxTagBytes = 6;
// A post keeps this much of its text.
constexpr size_t kMaxPostBytes = 200;
// Post ids end in "_" and a number below this.
constexpr uint64_t kPostSuffixCount = 100;

constexpr char kRoleAdmin[] = "admin";
constexpr char kRoleMember[] = "member";
constexpr char kDefaultDescription[] = "Comunita Energetica Rinnovabile certificata su ZezozuRiziv";
constexpr char kDefaultEmblem[] = "\xF0\x9F\x8C\xB1";     // seedling
constexpr char kDefaultPostEmoji[] = "\xF0\x9F\x92\xAC";  // speech balloon
constexpr char kFoundedEmoji[] = "\xE2\x9A\xA1";          // high voltage
constexpr char kJoinedEmoji[] = "\xF0\x9F\xA4\x9D";       // handshake

constexpr char kNotFoundMessage[] = "CER non trovata";
constexpr char kNoCommunityMessage[] = "Non fai parte di nessuna CER.";

std::string or_default(std::string text, const char* fallback) { return text.empty() ? fallback : text; }

}  // namespace

std::unordered_map<std::string, std::string> GameEngine::usernames_of_unlocked(
    const std::vector<std::string>& addresses) const {
  std::unordered_map<std::string, std::string> names;
  if (addresses.empty() || users.empty()) return names;
  const std::unordered_set<std::string_view> wanted(addresses.begin(), addresses.end());
  for (const auto& [id, user] : users) {
    // try_emplace: the first account met keeps the name.
    if (wanted.count(user.wallet_address) != 0) names.try_emplace(user.wallet_address, user.username);
  }
  return names;
}

void GameEngine::remove_from_community_unlocked(const std::string& cer_id, const std::string& address) {
  const auto it = cer_id.empty() ? cers.end() : cers.find(cer_id);
  if (it != cers.end()) remove_member_unlocked(it->second, address);
}

bool GameEngine::create_cer_community(const std::string& address, const std::string& name, const std::string& tag,
                                      const std::string& description, const std::string& emblem,
                                      std::string& out) {
  if (!keys_usable(address, out)) return false;
  // The length rules apply to the text as it is stored.
  const std::string clean_name = clean_world_text(name);
  const std::string clean_tag = clean_world_text(tag);

  return change_for(address, Accrual::kNone, out, [&](PlayerProfile& player, std::string& out) REQUIRES(game_mutex) {
    const std::string& addr = player.address;

    if (clean_name.size() < kMinNameBytes) return refuse(out, "Il nome della CER deve contenere almeno 3 caratteri.");
    if (clean_tag.size() < kMinTagBytes || clean_tag.size() > kMaxTagBytes) {
      return refuse(out, "Il Tag della CER deve contenere da 2 a 6 caratteri.");
    }
    if (player.coins < kFoundingFeeWc) return refuse(out, "Servono almeno 100 Watt Coin per registrare una nuova CER.");

    const uint64_t now = now_ms();
    // A drawn id that names a community already is drawn again: it would
    // replace that community.
    const std::optional<std::string> id =
        draw_free_id("cer_", now, *random_, [&](const std::string& candidate) REQUIRES_SHARED(game_mutex) {
          return cers.count(candidate) != 0;
        });
    if (!id) return refuse(out, "Troppe CER fondate in questo istante: riprova tra un momento.");

    remove_from_community_unlocked(player.cer_id, addr);
    player.coins -= kFoundingFeeWc;

    touch_cer_unlocked(*id);
    CERCommunity& community = cers[*id];
    community.id = *id;
    community.name = clean_name;
    community.tag = ascii_upper(clean_tag);
    community.description = or_default(clean_world_text(description), kDefaultDescription);
    community.emblem = or_default(clean_world_text(emblem), kDefaultEmblem);
    community.creator = addr;
    community.created_at = now;
    community.weekly_score = 0;
    community.total_kwh = player.kwh;
    community.members.push_back(CERMember{addr, kRoleAdmin, now, 0, player.kwh});
    community.messages.push_back(CERMessage{"msg_" + std::to_string(now), addr, "Admin",
                                          "Comunita Energetica Rinnovabile creata! Iniziamo la transizione verde "
                                          "insieme.",
                                          kFoundedEmoji, now});
    player.cer_id = *id;
    player.cer_role = kRoleAdmin;

    JsonWriter json;
    json.begin_object()
        .field("status", "ok")
        .field("message", "Comunita Energetica [" + clean_name + "] fondata con successo!")
        .field("cer_id", *id)
        .end_object();
    out = json.take();
    return true;
  });
}

bool GameEngine::join_cer_community(const std::string& address, const std::string& cer_id, std::string& out) {
  if (!keys_usable(address, out)) return false;
  return change_for(address, Accrual::kNone, out, [&](PlayerProfile& player, std::string& out) REQUIRES(game_mutex) {
    const std::string& addr = player.address;

    const auto it = cers.find(cer_id);
    if (it == cers.end()) return refuse(out, "CER non trovata.");
    if (player.cer_id == cer_id) return refuse(out, "Fai gia' parte di questa CER!");

    remove_from_community_unlocked(player.cer_id, addr);
    CERCommunity& community = it->second;
    const uint64_t now = now_ms();
    // A player is listed once: an entry left from before goes.
    remove_member_unlocked(community, addr);
    add_member_unlocked(community, CERMember{addr, kRoleMember, now, 0, player.kwh});
    touch_cer_fields_unlocked(community);
    community.total_kwh += player.kwh;
    player.cer_id = cer_id;
    player.cer_role = kRoleMember;
    post_message_unlocked(community, CERMessage{"msg_" + std::to_string(now), addr, "Sistema",
                                          "Nuovo membro unito alla comunita! +Produzione per tutti.", kJoinedEmoji,
                                          now});

    JsonWriter json;
    json.begin_object()
        .field("status", "ok")
        .field("message", "Ti sei unito alla CER [" + community.name + "]!")
        .field("cer_id", cer_id)
        .end_object();
    out = json.take();
    return true;
  });
}

bool GameEngine::leave_cer_community(const std::string& address, std::string& out) {
  if (!keys_usable(address, out)) return false;
  return change_for(address, Accrual::kNone, out, [&](PlayerProfile& player, std::string& out) REQUIRES(game_mutex) {
    const std::string& addr = player.address;

    const auto it = player.cer_id.empty() ? cers.end() : cers.find(player.cer_id);
    if (it == cers.end()) return refuse(out, kNoCommunityMessage);

    remove_from_community_unlocked(player.cer_id, addr);
    CERCommunity& community = it->second;
    if (player.cer_role == kRoleAdmin && !community.members.empty()) {
      // The longest-standing member takes over.
      const std::string heir_address = community.members.front().address;
      CERMember& heir = *edit_member_unlocked(community, heir_address);
      heir.role = kRoleAdmin;
      touch_cer_fields_unlocked(community);
      community.creator = heir.address;
      const auto heir_profile = players.find(heir.address);
      if (heir_profile != players.end()) {
        touch_player_unlocked(heir.address);
        heir_profile->second.cer_role = kRoleAdmin;
      }
    }
    // The community stays, also when nobody is left in it.
    player.cer_id.clear();
    player.cer_role = kRoleMember;

    JsonWriter json;
    json.begin_object().field("status", "ok").field("message", "Hai lasciato la CER con successo.").end_object();
    out = json.take();
    return true;
  });
}

bool GameEngine::post_cer_message(const std::string& address, const std::string& text, const std::string& emoji,
                                  std::string& out) {
  if (!keys_usable(address, out)) return false;
  const std::string clean_text = clean_world_text(text);

  return change_for(address, Accrual::kNone, out, [&](PlayerProfile& player, std::string& out) REQUIRES(game_mutex) {
    const std::string& addr = player.address;

    const auto it = player.cer_id.empty() ? cers.end() : cers.find(player.cer_id);
    if (it == cers.end()) return refuse(out, "Devi unirti a una CER per scrivere sulla bacheca.");
    if (clean_text.empty()) return refuse(out, "Il messaggio non puo' essere vuoto.");

    const auto names = usernames_of_unlocked({addr});
    const auto name = names.find(addr);
    std::string author = name != names.end()                ? name->second
                         : player.cer_role == kRoleAdmin ? "Leader CER"
                                                            : "Membro";
    const uint64_t now = now_ms();
    std::string id = "msg_" + std::to_string(now) + "_" + std::to_string(random_->below(kPostSuffixCount));
    post_message_unlocked(it->second, CERMessage{std::move(id), addr, std::move(author), text_prefix(clean_text, kMaxPostBytes),
                                           or_default(clean_world_text(emoji), kDefaultPostEmoji), now});

    JsonWriter json;
    json.begin_object().field("status", "ok").field("message", "Messaggio pubblicato sulla bacheca CER!").end_object();
    out = json.take();
    return true;
  });
}

std::string GameEngine::get_cer_list_json() const {
  platform::ReadLock lock(game_mutex);
  std::vector<const CERCommunity*> ranked;
  ranked.reserve(cers.size());
  for (const auto& [id, community] : cers) ranked.push_back(&community);
  // Highest weekly score first; equal scores by id, so the order is stable.
  std::sort(ranked.begin(), ranked.end(), [](const CERCommunity* a, const CERCommunity* b) {
    return a->weekly_score != b->weekly_score ? a->weekly_score > b->weekly_score : a->id < b->id;
  });

  JsonWriter json;
  json.begin_object().field("status", "ok").field("count", static_cast<uint64_t>(ranked.size()));
  json.key("communities").begin_array();
  for (const CERCommunity* c : ranked) {
    json.begin_object().field("id", c->id).field("name", c->name).field("tag", c->tag);
    json.field("description", c->description).field("emblem", c->emblem).field("creator", c->creator);
    json.field("members_count", static_cast<uint64_t>(c->members.size())).field("weekly_score", c->weekly_score);
    json.key("total_kwh").fixed(c->total_kwh, 2).end_object();
  }
  json.end_array().end_object();
  return json.take();
}

std::string GameEngine::get_cer_detail_json(const std::string& cer_id, const std::string& viewer) const {
  platform::ReadLock lock(game_mutex);
  const auto it = cers.find(cer_id);
  if (it == cers.end()) return error_json(kNotFoundMessage);
  const CERCommunity& c = it->second;

  const std::string viewer_addr = normalize_addr(viewer);
  const CERMember* viewer_entry = nullptr;
  std::vector<std::string> addresses;
  addresses.reserve(c.members.size());
  for (const CERMember& m : c.members) {
    if (viewer_entry == nullptr && m.address == viewer_addr) viewer_entry = &m;
    addresses.push_back(m.address);
  }
  const auto names = usernames_of_unlocked(addresses);

  JsonWriter json;
  json.begin_object().field("status", "ok").field("id", c.id).field("name", c.name).field("tag", c.tag);
  json.field("description", c.description).field("emblem", c.emblem).field("creator", c.creator);
  json.field("weekly_score", c.weekly_score).key("total_kwh").fixed(c.total_kwh, 2);
  json.field("my_role", viewer_entry != nullptr ? viewer_entry->role : std::string("guest"));
  json.key("members").begin_array();
  for (const CERMember& m : c.members) {
    const auto name = names.find(m.address);
    json.begin_object().field("address", m.address);
    json.field("username", name != names.end() ? name->second : address_display_name(m.address));
    json.field("role", m.role).field("joined_at", m.joined_at).field("weekly_points", m.weekly_points);
    json.key("total_kwh").fixed(m.total_kwh, 2).end_object();
  }
  json.end_array();
  json.key("bacheca").begin_array();
  for (const CERMessage& m : c.messages) {
    json.begin_object().field("id", m.id).field("author_addr", m.author_addr).field("author_name", m.author_name);
    json.field("text", m.text).field("emoji", m.emoji).field("timestamp", m.timestamp).end_object();
  }
  json.end_array().end_object();
  return json.take();
}

}  // namespace ZezozuRiziv
