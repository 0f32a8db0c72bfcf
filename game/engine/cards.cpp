// Daily bonus cards: the draw and the status view. The card's effect on
// production is applied where power and accrual are computed.
#include <mutex>
#include <string_view>

#include "crypto/json_writer.h"
#include "game/engine/game_engine.h"
#include "game/model/text_safety.h"
#include "game/rules/cooldown.h"
#include "game/rules/daily_cards.h"

namespace ZezozuRiziv {

namespace {

// The card's texts and value, as the draw and the status view show them.
void put_card(JsonWriter& json, std::string_view id, std::string_view name, std::string_view desc,
              std::string_view type, double value) {
  json.field("id", id).field("name", name).field("desc", desc).field("type", type);
  json.key("value").number(value);
}

}  // namespace

bool GameEngine::draw_daily_bonus_card(const std::string& address, std::string& out) {
  if (!keys_usable(address, out)) return false;
  return change(out, [&](std::string& out) REQUIRES(game_mutex) {
    PlayerProfile& player = get_or_create_player_unlocked(normalize_addr(address));
    sync_player_unlocked(player);
    const uint64_t now = now_ms();

    const uint64_t left = cooldown_left_ms(player.card_draw_ms, kDailyCardPeriodMs, now);
    if (left > 0) {
      JsonWriter json;
      json.begin_object()
          .field("status", "error")
          .field("message", "Hai gia' pescato la tua carta bonus nelle ultime 24 ore!")
          .field("cooldown_sec", left / 1000)
          .end_object();
      out = json.take();
      return false;
    }

    const uint64_t draw = random_->below(kCardDrawBound);
    const DailyCardDef& card = kDailyCards[daily_card_index(player.coins, now, draw)];
    player.card_draw_ms = now;
    player.card_until_ms = now + kDailyCardPeriodMs;
    player.card_id = card.id;
    player.card_name = card.name;
    player.card_desc = card.desc;
    player.card_type = card.type;
    player.card_value = card.value;
    recalculate_player_power_unlocked(player);

    JsonWriter json;
    json.begin_object()
        .field("status", "ok")
        .field("message", "Carta bonus pescata con successo!")
        .key("card")
        .begin_object();
    put_card(json, card.id, card.name, card.desc, card.type, card.value);
    json.field("icon", card.icon)
        .field("expires_ms", player.card_until_ms)
        .field("duration_sec", kDailyCardPeriodMs / 1000)
        .end_object()
        .end_object();
    out = json.take();
    return true;
  });
}

std::string GameEngine::get_daily_bonus_card_status_json(const std::string& address) const {
  platform::ReadLock lock(game_mutex);
  const auto it = players.find(normalize_addr(address));
  JsonWriter json;
  json.begin_object().field("status", "ok");
  if (it == players.end()) {
    json.field("can_draw", true).field("cooldown_sec", uint64_t{0}).field("is_active", false).key("card").null();
    return json.end_object().take();
  }
  const PlayerProfile& player = it->second;
  const uint64_t now = now_ms();
  const uint64_t left = cooldown_left_ms(player.card_draw_ms, kDailyCardPeriodMs, now);
  const bool active = now < player.card_until_ms && !player.card_type.empty();
  json.field("can_draw", left == 0)
      .field("cooldown_sec", left / 1000)
      .field("is_active", active)
      .key("card")
      .begin_object();
  put_card(json, player.card_id, player.card_name, player.card_desc, player.card_type, player.card_value);
  json.field("remaining_sec", active ? (player.card_until_ms - now) / 1000 : uint64_t{0});
  return json.end_object().end_object().take();
}

}  // namespace ZezozuRiziv
