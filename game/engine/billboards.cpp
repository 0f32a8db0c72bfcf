// Billboards ("vetrine"): an advert on one lot or on the whole district of
// touching lots around it. A lot under a billboard produces half its power
// (production.cpp applies the halving).
#include <mutex>

#include "crypto/json_writer.h"
#include "game/engine/game_engine.h"
#include "game/model/text_safety.h"
#include "game/rules/community_quiz_rules.h"

namespace ZezozuRiziv {

namespace {

// Byte limits of the advert's fields.
constexpr uint64_t kTitleMaxBytes = 120;
constexpr uint64_t kImageUrlMaxBytes = 240'000;
constexpr uint64_t kLinkUrlMaxBytes = 512;
constexpr uint64_t kSocialTypeMaxBytes = 120;
// Characters of the owner's address in a district's group id.
constexpr size_t kGroupAddressChars = 8;

constexpr char kEmptyAdvertMessage[] =
    "Inserisci almeno una foto o un messaggio pubblicitario per attivare la vetrina sul lotto.";

// Shared texts: the lots of a group keep the advert once.
struct Advert {
  SharedText title;
  SharedText image_url;
  SharedText link_url;
  SharedText social_type;
};

void show(ParcelRecord& lot, const Advert& advert, bool span_cluster, const SharedText& group_id) {
  lot.billboard_active = true;
  lot.span_cluster = span_cluster;
  lot.group_id = group_id;
  lot.title = advert.title;
  lot.image_url = advert.image_url;
  lot.link_url = advert.link_url;
  lot.social_type = advert.social_type;
}

// The social type stays: it is the client's last choice for the next advert.
void take_down(ParcelRecord& lot) {
  lot.billboard_active = false;
  lot.span_cluster = false;
  lot.group_id.clear();
  lot.title.clear();
  lot.image_url.clear();
  lot.link_url.clear();
}

std::string lots_word(uint64_t count) { return count == 1 ? " lotto" : " lotti"; }

}  // namespace

bool GameEngine::set_parcel_billboard(const std::string& address, const std::string& lot_key,
                                      const std::string& title, const std::string& image_url,
                                      const std::string& link_url, const std::string& social_type,
                                      bool span_cluster, std::string& out) {
  if (!keys_usable(address, out)) return false;
  return change_owned_lot(address, lot_key, out, [&](PlayerProfile& player, ParcelRecord* lot, std::string& out) REQUIRES(game_mutex) {
    const std::string& addr = player.address;
    Advert advert{sanitize_billboard_field(title, kTitleMaxBytes),
                  sanitize_billboard_field(image_url, kImageUrlMaxBytes),
                  sanitize_billboard_field(link_url, kLinkUrlMaxBytes),
                  sanitize_billboard_field(social_type, kSocialTypeMaxBytes)};
    if (advert.social_type.empty()) advert.social_type = "web";
    if (advert.title.empty() && advert.image_url.empty()) return refuse(out, kEmptyAdvertMessage);

    const uint64_t now = now_ms();
    uint64_t updated = 0;
    if (!span_cluster) {
      touch_parcel_unlocked(lot->key);
      show(*lot, advert, false, lot->key);
      lot->updated_ms = now;
      updated = 1;
    } else {
      const SharedText group_id = "bb_" + text_prefix(addr, kGroupAddressChars) + "_" + std::to_string(now);
      // Every lot of the owner in every cell of the district, the target's
      // cell included (a cell may hold several). Changing the advert moves no
      // lot in the indexes.
      // Unchecked: visit_district calls it within this change's hold.
      parcel_index_.visit_district(addr, hex_cell_of(lot->lat, lot->lon), [&](HexCell cell) NO_THREAD_SAFETY_ANALYSIS {
        for (ParcelRecord* p : parcel_index_.in_hex_cell(cell)) {
          if (p->owner != addr) continue;
          touch_parcel_unlocked(p->key);
          show(*p, advert, true, group_id);
          p->updated_ms = now;
          ++updated;
        }
        return true;
      });
    }
    recalculate_player_power_unlocked(player);

    JsonWriter json;
    json.begin_object().field("status", "ok");
    json.field("message", "Vetrina pubblicitaria attiva su " + std::to_string(updated) + lots_word(updated) +
                              " (-50% kW sui lotti usati)!");
    json.field("updated_lots", updated).key("power_kw").fixed(player.power_kw, 2).end_object();
    out = json.take();
    return true;
  });
}

bool GameEngine::clear_parcel_billboard(const std::string& address, const std::string& lot_key, bool whole_group,
                                        std::string& out) {
  if (!keys_usable(address, out)) return false;
  return change_owned_lot(address, lot_key, out, [&](PlayerProfile& player, ParcelRecord* lot, std::string& out) REQUIRES(game_mutex) {
    const std::string& addr = player.address;

    const uint64_t now = now_ms();
    uint64_t cleared = 0;
    if (whole_group && !lot->group_id.empty()) {
      // Copied: clearing the lot that holds it empties it.
      const std::string group_id = lot->group_id.str();
      // Clearing changes no owner, so the owner's list stays as it is.
      for (ParcelRecord* p : parcel_index_.owned_by(addr)) {
        if (p->group_id != group_id) continue;
        touch_parcel_unlocked(p->key);
        take_down(*p);
        p->updated_ms = now;
        ++cleared;
      }
    }
    if (cleared == 0) {
      touch_parcel_unlocked(lot->key);
      take_down(*lot);
      lot->updated_ms = now;
      cleared = 1;
    }
    recalculate_player_power_unlocked(player);

    JsonWriter json;
    json.begin_object().field("status", "ok");
    json.field("message", "Vetrina rimossa da " + std::to_string(cleared) + lots_word(cleared) +
                              ": ripristinato il 100% della produzione energetica!");
    json.key("power_kw").fixed(player.power_kw, 2).end_object();
    out = json.take();
    return true;
  });
}

}  // namespace ZezozuRiziv
