// The administrator: the master password, login and tokens, the telemetry
// and boost-list views, and the global production boosts.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <system_error>

#include "crypto/json_writer.h"
#include "crypto/sha256.h"
#include "game/engine/game_engine.h"
#include "game/model/secrets.h"
#include "game/model/text_safety.h"
#include "game/rules/production.h"
#include "platform/file_system.h"

namespace ZezozuRiziv {

namespace {

constexpr char kAdminTokenPrefix[] = "adm_tok_";
constexpr size_t kAdminTokenBytes = 32;  // 64 hex digits
constexpr uint64_t kAdminTokenLifetimeMs = 86'400'000;
constexpr uint64_t kAdminTokenLifetimeSec = kAdminTokenLifetimeMs / 1000;

constexpr uint64_t kDefaultBoostMinutes = 30;
constexpr uint64_t kMaxBoostMinutes = 180;
constexpr uint64_t kMsPerMinute = 60'000;
constexpr uint64_t kDefaultScheduledDurationMs = 1'800'000;
constexpr uint32_t kDefaultScheduledMultiplier = 100;
constexpr char kDefaultBoostReason[] = "Super Spinta Energetica di Rete Nazionale x100 programmata";

// Shares of the ad revenue shown by the telemetry.
constexpr double kSrlRevenueShare = 0.6;
constexpr double kCoopRevenueShare = 0.3;
constexpr double kNodeRevenueShare = 0.1;

constexpr char kDeniedMessage[] = "Accesso negato: token amministratore non valido o scaduto.";

uint64_t saturating_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// One boost of the telemetry and of the list, with its state at `now`.
void write_boost(JsonWriter& json, const ScheduledSuperBoost& b, uint64_t now) {
  const char* status = "completed";
  uint64_t remaining_sec = 0;
  uint64_t starts_in_sec = 0;
  if (b.cancelled) {
    status = "cancelled";
  } else if (now < b.start_ms) {
    status = "scheduled";
    starts_in_sec = (b.start_ms - now) / 1000;
  } else if (now < b.end_ms) {
    status = "active";
    remaining_sec = (b.end_ms - now) / 1000;
  }
  json.begin_object()
      .field("id", b.id)
      .field("title", b.title)
      .field("reason", b.reason)
      .field("start_ms", b.start_ms)
      .field("end_ms", b.end_ms)
      .field("multiplier", b.multiplier)
      .field("status", status)
      .field("remaining_sec", remaining_sec)
      .field("starts_in_sec", starts_in_sec)
      .field("cancelled", b.cancelled)
      .end_object();
}

void write_boost_list(JsonWriter& json, const AdminConfig& admin, uint64_t now) {
  json.key("scheduled_boosts").begin_array();
  for (const ScheduledSuperBoost& b : admin.scheduled_boosts) write_boost(json, b, now);
  json.end_array();
}

}  // namespace

void GameEngine::load_master_password_unlocked(const std::string& data_dir) {
  const std::string path = data_dir + "/" + kMasterPasswordFileName;
  const auto refuse_start = [&](const std::string& reason) {
    load_failed_ = true;
    load_error_ = "Impossibile leggere la password master amministratore " + path + " (" + reason +
                  "): il file resta com'e' e il nodo non puo' partire.";
    std::cout << "[ADMIN] " << load_error_ << std::endl;
  };
  std::string content;
  switch (platform::read_whole_file(path, content)) {
    case platform::ReadResult::kRead: {
      std::string_view password = content;
      if (password.ends_with('\n')) password.remove_suffix(1);
      if (!is_master_password_form(password)) return refuse_start("contenuto non valido");
      master_password_hash_ = RozeveCrypto::SHA256::hash_string(std::string(password));
      return;
    }
    case platform::ReadResult::kFailed:
      // A data directory that could not be made holds no file at all.
      if (platform::path_kind(path) != platform::PathKind::kMissing) return refuse_start("lettura non riuscita");
      break;
    case platform::ReadResult::kMissing:
      break;
  }

  // First start: the node's own password, kept only where its owner can
  // read it, and shown once.
  const std::optional<std::string> password = random_password(kMasterPasswordLength);
  if (!password) {
    std::cout << "[ADMIN] Generatore casuale del sistema non disponibile: nessuna password master "
                 "amministratore per questo avvio."
              << std::endl;
    return;
  }
  if (platform::replace_file(path, *password + "\n", platform::FileAccess::kOwnerOnly) !=
      platform::ReplaceResult::kReplaced) {
    std::error_code ec;
    std::filesystem::remove(path + ".tmp", ec);  // it holds the secret
    std::cout << "[ADMIN] Impossibile salvare " << path
              << ": nessuna password master amministratore per questo avvio." << std::endl;
    return;
  }
  master_password_hash_ = RozeveCrypto::SHA256::hash_string(*password);
  std::cout << "[ADMIN] Password master amministratore di questo nodo: " << *password << "\n"
            << "[ADMIN] Conservata in " << path
            << " (leggibile solo dal proprietario): non verra' mostrata di nuovo." << std::endl;
}

bool GameEngine::admin_token_valid_unlocked(const std::string& token) const {
  if (token.empty()) return false;
  const auto it = admin_tokens.find(token);
  return it != admin_tokens.end() && now_ms() < it->second;
}

bool GameEngine::admin_authenticate(const std::string& password, std::string& token_out, std::string& out) {
  platform::WriteLock lock(game_mutex);
  const std::string hash = RozeveCrypto::SHA256::hash_string(password);
  const bool accepted = (!admin.admin_password_hash.empty() && hash == admin.admin_password_hash) ||
                        (!master_password_hash_.empty() && hash == master_password_hash_);
  if (!accepted) return refuse(out, "Password Master Amministratore non corretta.");
  const std::optional<std::string> random = random_hex(kAdminTokenBytes);
  if (!random) return refuse(out, kRetryLaterMessage);

  const uint64_t now = now_ms();
  // Expired tokens are refused anyway; dropping them keeps the table small.
  std::erase_if(admin_tokens, [now](const auto& entry) { return entry.second <= now; });
  token_out = kAdminTokenPrefix + *random;
  admin_tokens[token_out] = now + kAdminTokenLifetimeMs;

  JsonWriter json;
  json.begin_object()
      .field("status", "ok")
      .field("message", "Accesso Amministratore Superiore autorizzato con successo.")
      .field("token", token_out)
      .field("expires_in_sec", kAdminTokenLifetimeSec);
  out = json.end_object().take();
  return true;
}

bool GameEngine::admin_verify_token(const std::string& token) const {
  platform::ReadLock lock(game_mutex);
  return admin_token_valid_unlocked(token);
}

std::string GameEngine::admin_get_full_telemetry_json(const std::string& token) const {
  platform::ReadLock lock(game_mutex);
  if (!admin_token_valid_unlocked(token)) return error_json(kDeniedMessage);
  const uint64_t now = now_ms();

  double power_kw = 0.0;
  double kwh = 0.0;
  double ruz = 0.0;
  uint64_t coins = 0;
  for (const auto& [key, p] : players) {
    power_kw += p.power_kw;
    kwh += p.kwh;
    ruz += p.ruz;
    coins = saturating_add(coins, p.coins);
  }

  // The running x100 boost, then the scheduled ones running now.
  bool active = now < admin.super_boost_until_ms;
  uint64_t remaining_sec = active ? (admin.super_boost_until_ms - now) / 1000 : 0;
  uint64_t multiplier = active ? kSuperBoostMultiplier : 1;
  const std::string* reason = &admin.super_boost_reason;
  for (const ScheduledSuperBoost& b : admin.scheduled_boosts) {
    if (b.cancelled || now < b.start_ms || now >= b.end_ms) continue;
    active = true;
    remaining_sec = std::max(remaining_sec, (b.end_ms - now) / 1000);
    reason = b.title.empty() ? &b.reason : &b.title;
    multiplier = std::max<uint64_t>(multiplier, b.multiplier);
  }

  JsonWriter json;
  json.begin_object().field("status", "ok").field("server_time_ms", now);
  json.key("metrics").begin_object();
  json.field("total_players", static_cast<uint64_t>(players.size()))
      .field("total_parcels", static_cast<uint64_t>(parcels.size()));
  json.key("total_power_kw").fixed(power_kw, 2).key("total_accumulated_kwh").fixed(kwh, 2);
  json.field("total_watt_coins", coins).key("total_ruz").fixed(ruz, 2);
  json.end_object();
  json.key("super_boost_100x").begin_object();
  json.field("is_active", active)
      .field("multiplier", multiplier)
      .field("until_ms", admin.super_boost_until_ms)
      .field("remaining_sec", remaining_sec)
      .field("reason", *reason);
  json.end_object();
  write_boost_list(json, admin, now);
  json.key("ads_telemetry").begin_object();
  json.field("google_impressions", google_impressions)
      .field("meta_impressions", meta_impressions)
      .field("amazon_impressions", amazon_impressions)
      .field("moloco_impressions", moloco_impressions);
  json.key("total_revenue_eur").fixed(total_revenue_eur, 2);
  json.key("srl_revenue_eur").fixed(total_revenue_eur * kSrlRevenueShare, 2);
  json.key("coop_revenue_eur").fixed(total_revenue_eur * kCoopRevenueShare, 2);
  json.key("node_revenue_eur").fixed(total_revenue_eur * kNodeRevenueShare, 2);
  json.end_object();
  json.field("cers_count", static_cast<uint64_t>(cers.size()))
      .field("quiz_questions_count", static_cast<uint64_t>(quiz_questions.size()));
  return json.end_object().take();
}

std::string GameEngine::admin_get_scheduled_boosts_json(const std::string& token) const {
  platform::ReadLock lock(game_mutex);
  if (!admin_token_valid_unlocked(token)) return error_json("Accesso negato.");
  const uint64_t now = now_ms();
  JsonWriter json;
  json.begin_object().field("status", "ok").field("server_time_ms", now);
  write_boost_list(json, admin, now);
  return json.end_object().take();
}

bool GameEngine::admin_trigger_super_boost(const std::string& token, uint64_t minutes, const std::string& reason,
                                           std::string& out) {
  return change(out, [&](std::string& out) REQUIRES(game_mutex) {
    if (!admin_token_valid_unlocked(token)) return refuse(out, kDeniedMessage);
    minutes = minutes == 0 ? kDefaultBoostMinutes : std::min(minutes, kMaxBoostMinutes);
    const std::string cleaned = clean_world_text(reason);
    // The x100 boost keeps no start: nobody may accrue across it unsynced.
    sync_all_players_unlocked();
    touch_admin_unlocked();
    admin.super_boost_until_ms = now_ms() + minutes * kMsPerMinute;
    admin.super_boost_reason = cleaned.empty() ? kDefaultBoostReason : cleaned;

    JsonWriter json;
    json.begin_object()
        .field("status", "ok")
        .field("message", "Super Spinta Energetica x100 attivata per " + std::to_string(minutes) +
                              " minuti su tutta la rete!")
        .field("super_boost_until_ms", admin.super_boost_until_ms)
        .field("duration_minutes", minutes);
    out = json.end_object().take();
    return true;
  });
}

bool GameEngine::admin_cancel_super_boost(const std::string& token, std::string& out) {
  return change(out, [&](std::string& out) REQUIRES(game_mutex) {
    if (!admin_token_valid_unlocked(token)) return refuse(out, kDeniedMessage);
    // The boost ran until now: that stretch is credited before it is erased.
    sync_all_players_unlocked();
    touch_admin_unlocked();
    admin.super_boost_until_ms = 0;
    admin.super_boost_reason.clear();
    JsonWriter json;
    json.begin_object().field("status", "ok").field("message", "Super Spinta Energetica x100 disattivata con successo.");
    out = json.end_object().take();
    return true;
  });
}

bool GameEngine::admin_schedule_super_boost(const std::string& token, uint64_t start_ms, uint64_t end_ms,
                                            uint32_t multiplier, const std::string& title,
                                            const std::string& reason, std::string& out) {
  return change(out, [&](std::string& out) REQUIRES(game_mutex) {
    if (!admin_token_valid_unlocked(token)) return refuse(out, kDeniedMessage);
    const uint64_t now = now_ms();
    ScheduledSuperBoost boost;
    boost.start_ms = start_ms == 0 || start_ms < now ? now : start_ms;
    boost.end_ms = end_ms > boost.start_ms ? end_ms : saturating_add(boost.start_ms, kDefaultScheduledDurationMs);
    boost.multiplier = multiplier == 0 ? kDefaultScheduledMultiplier : multiplier;
    boost.id = "sb_" + std::to_string(now) + "_" + std::to_string(admin.scheduled_boosts.size() + 1);
    boost.title = clean_world_text(title);
    if (boost.title.empty()) boost.title = "Super Boost x" + std::to_string(boost.multiplier);
    boost.reason = clean_world_text(reason);
    boost.cancelled = false;
    boost.created_ms = now;
    touch_admin_unlocked();
    admin.scheduled_boosts.push_back(boost);

    JsonWriter json;
    json.begin_object()
        .field("status", "ok")
        .field("message", "Super Boost programmato con successo per l orario selezionato!")
        .field("id", boost.id)
        .field("start_ms", boost.start_ms)
        .field("end_ms", boost.end_ms)
        .field("multiplier", boost.multiplier)
        .field("title", boost.title);
    out = json.end_object().take();
    return true;
  });
}

bool GameEngine::admin_cancel_scheduled_boost(const std::string& token, const std::string& boost_id,
                                              std::string& out) {
  bool found = false;
  const bool saved = change(out, [&](std::string& out) REQUIRES(game_mutex) {
    if (!admin_token_valid_unlocked(token)) return refuse(out, "Accesso negato: token non valido.");
    // What the cancelled boosts and the x100 boost ran until now is credited
    // before they stop counting.
    sync_all_players_unlocked();
    touch_admin_unlocked();
    const bool all = boost_id.empty() || boost_id == "ALL";
    for (ScheduledSuperBoost& b : admin.scheduled_boosts) {
      if (all || b.id == boost_id) {
        b.cancelled = true;
        found = true;
      }
    }
    // Found or not, the running x100 boost ends, and that is saved.
    admin.super_boost_until_ms = 0;
    if (!found) {
      refuse(out, "ID programmazione non trovato.");
      return true;
    }
    JsonWriter json;
    json.begin_object().field("status", "ok").field("message", "Programmazione Super Boost annullata.");
    out = json.end_object().take();
    return true;
  });
  return saved && found;
}

}  // namespace ZezozuRiziv
