// Login accounts and their sessions: registration, password and Google
// sign-in, logout, the profile view and linking a wallet.
#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <vector>

#include "crypto/crypto_keys.h"
#include "crypto/json_writer.h"
#include "crypto/sha256.h"
#include "crypto/text.h"
#include "game/engine/game_engine.h"
#include "game/model/secrets.h"
#include "game/model/text_safety.h"
#include "game/rules/community_quiz_rules.h"

namespace ZezozuRiziv {

namespace {

constexpr size_t kMinUsernameLength = 3;
constexpr size_t kMinPasswordLength = 6;
// Random bytes of a session token (64 hex digits) and of a salt (16).
constexpr size_t kSessionTokenBytes = 32;
constexpr size_t kSaltBytes = 8;
// The random part of an e-mail account id: 1000..9999.
constexpr uint64_t kIdNumberBase = 1000;
constexpr uint64_t kIdNumberCount = 9000;
// Leading digits of the time left out of the ids.
constexpr size_t kEmailIdTimeCut = 4;
constexpr size_t kGoogleIdTimeCut = 6;
// Characters of the Google id in the account id and in the default name.
constexpr size_t kGoogleIdInAccountId = 10;
constexpr size_t kGoogleIdInName = 5;
constexpr uint64_t kUsernameSuffixModulus = 1000;

constexpr char kSessionPrefix[] = "tok_";
constexpr char kGoogleSessionPrefix[] = "tok_g_";
constexpr char kNoSessionMessage[] = "Sessione non autenticata.";
constexpr char kLinkOverflowMessage[] =
    "Collegamento non possibile: i saldi riuniti supererebbero il limite del profilo.";


// The decimal time without its first `cut` digits.
std::string time_digits(uint64_t now, size_t cut) {
  const std::string digits = std::to_string(now);
  return digits.size() > cut ? digits.substr(cut) : std::string();
}

std::string password_hash(const std::string& password, const std::string& salt) {
  return RozeveCrypto::SHA256::hash_string(password + "_" + salt);
}

// The user object of the answers; the caller closes it.
void write_user_fields(JsonWriter& json, const UserAccount& user) {
  json.field("id", user.id)
      .field("username", user.username)
      .field("email", user.email)
      .field("wallet_address", user.wallet_address)
      .field("avatar_url", user.avatar_url)
      .field("provider", user.google_id.empty() ? "email" : "google");
}

std::string login_answer(const char* message, const UserAccount& user) {
  JsonWriter json;
  json.begin_object().field("status", "ok").field("message", message).field("session_token", user.session_token);
  json.key("user").begin_object();
  write_user_fields(json, user);
  return json.end_object().end_object().take();
}

}  // namespace

const UserAccount* GameEngine::session_account_unlocked(const std::string& token) const {
  const auto session = sessions.find(token);
  if (session == sessions.end()) return nullptr;
  const auto user = users.find(session->second);
  return user == users.end() ? nullptr : &user->second;
}

void GameEngine::set_session_unlocked(UserAccount& account, const std::string& token) {
  touch_user_unlocked(account.id);
  if (!account.session_token.empty()) {
    touch_session_unlocked(account.session_token);
    sessions.erase(account.session_token);
  }
  touch_session_unlocked(token);
  sessions[token] = account.id;
  account.session_token = token;
}

std::string GameEngine::free_username_unlocked(const std::string& wanted, uint64_t now) const {
  const auto taken = [this](const std::string& name) REQUIRES_SHARED(game_mutex) {
    return username_index.count(RozeveCrypto::ascii_lower(name)) != 0;
  };
  if (!taken(wanted)) return wanted;
  const std::string suffixed = wanted + "_" + std::to_string(now % kUsernameSuffixModulus);
  std::string candidate = suffixed;
  // Each name tried is a distinct taken one, so this ends within the
  // number of accounts.
  for (uint64_t n = 2; taken(candidate); ++n) candidate = suffixed + "_" + std::to_string(n);
  return candidate;
}

bool GameEngine::register_user(const std::string& username_in, const std::string& email_in,
                               const std::string& password, std::string& out) {
  return change(out, [&](std::string& out) REQUIRES(game_mutex) {
    const std::string username(trim_blanks(clean_world_text(username_in)));
    const std::string email(trim_blanks(RozeveCrypto::ascii_lower(clean_world_text(email_in))));
    const std::string lower_username = RozeveCrypto::ascii_lower(username);

    if (username.size() < kMinUsernameLength) return refuse(out, "Lo username deve contenere almeno 3 caratteri.");
    if (email.find('@') == std::string::npos || email.find('.') == std::string::npos) {
      return refuse(out, "Indirizzo email non valido.");
    }
    if (password.size() < kMinPasswordLength) return refuse(out, "La password deve contenere almeno 6 caratteri.");
    if (username_index.count(lower_username) != 0) {
      return refuse(out, "Questo username è già in uso. Scegline un altro.");
    }
    if (email_index.count(email) != 0) return refuse(out, "Questa email è già registrata. Effettua il login.");

    const uint64_t now = now_ms();
    const std::optional<uint64_t> first_number = random_below(kIdNumberCount);
    const std::optional<std::string> salt = random_hex(kSaltBytes);
    const std::optional<std::string> token_hex = random_hex(kSessionTokenBytes);
    if (!first_number || !salt || !token_hex) return refuse(out, kRetryLaterMessage);
    // The random number is the only part of the id that two registrations
    // in the same millisecond do not share: the next free one is taken.
    std::string id;
    for (uint64_t k = 0; k < kIdNumberCount && (id.empty() || users.count(id) != 0); ++k) {
      id = "usr_" + time_digits(now, kEmailIdTimeCut) + "_" +
           std::to_string(kIdNumberBase + (*first_number + k) % kIdNumberCount);
    }
    if (users.count(id) != 0) return refuse(out, kRetryLaterMessage);

    touch_user_unlocked(id);
    UserAccount& account = users[id];
    account.id = id;
    account.username = username;
    account.email = email;
    account.salt = *salt;
    account.password_hash = password_hash(password, *salt);
    // Only the address is kept; the private key is dropped here.
    account.wallet_address = RozeveCrypto::CryptoKeys::generate_keypair().address;
    account.created_at = now;
    account.last_login = now;
    touch_username_index_unlocked(lower_username);
    username_index[lower_username] = id;
    touch_email_index_unlocked(email);
    email_index[email] = id;
    set_session_unlocked(account, kSessionPrefix + *token_hex);
    get_or_create_player_unlocked(account.wallet_address);

    out = login_answer("Benvenuto in ZeriroRivi! Account creato con successo.", account);
    return true;
  });
}

bool GameEngine::login_user(const std::string& identifier_in, const std::string& password, std::string& out) {
  return change(out, [&](std::string& out) REQUIRES(game_mutex) {
    const std::string identifier = RozeveCrypto::ascii_lower(trim_blanks(identifier_in));

    const auto by_email = email_index.find(identifier);
    const auto by_name = by_email == email_index.end() ? username_index.find(identifier) : username_index.end();
    auto user = users.end();
    if (by_email != email_index.end()) {
      user = users.find(by_email->second);
    } else if (by_name != username_index.end()) {
      user = users.find(by_name->second);
    }
    if (user == users.end()) return refuse(out, "Nessun account trovato con questo username o email.");
    UserAccount& account = user->second;
    // A Google account has no hash, and no SHA-256 text is empty.
    if (password_hash(password, account.salt) != account.password_hash) {
      return refuse(out, "Password non corretta. Riprova.");
    }
    const std::optional<std::string> token_hex = random_hex(kSessionTokenBytes);
    if (!token_hex) return refuse(out, kRetryLaterMessage);

    touch_user_unlocked(account.id);
    account.last_login = now_ms();
    set_session_unlocked(account, kSessionPrefix + *token_hex);
    out = login_answer("Accesso eseguito con successo!", account);
    return true;
  });
}

bool GameEngine::login_google_user(const std::string& google_id_in, const std::string& email_in,
                                   const std::string& name_in, const std::string& avatar_url_in,
                                   std::string& out) {
  return change(out, [&](std::string& out) REQUIRES(game_mutex) {
    const std::string google_id = clean_world_text(google_id_in);
    const std::string email = RozeveCrypto::ascii_lower(clean_world_text(email_in));
    const std::string name = clean_world_text(name_in);
    const std::string avatar_url = clean_world_text(avatar_url_in);
    if (google_id.empty() || email.empty()) return refuse(out, "Dati Google incompleti.");
    const std::optional<std::string> token_hex = random_hex(kSessionTokenBytes);
    if (!token_hex) return refuse(out, kRetryLaterMessage);
    const uint64_t now = now_ms();

    UserAccount* account = nullptr;
    if (const auto linked = google_index.find(google_id); linked != google_index.end()) {
      const auto user = users.find(linked->second);
      if (user != users.end()) account = &user->second;
    }
    if (account == nullptr) {
      const auto by_email = email_index.find(email);
      const auto user = by_email == email_index.end() ? users.end() : users.find(by_email->second);
      if (user != users.end()) {
        account = &user->second;
        touch_user_unlocked(account->id);
        // One Google id per account: an earlier one no longer leads here.
        if (!account->google_id.empty()) {
          const auto earlier = google_index.find(account->google_id);
          if (earlier != google_index.end() && earlier->second == account->id) {
            touch_google_index_unlocked(account->google_id);
            google_index.erase(earlier);
          }
        }
        account->google_id = google_id;
        touch_google_index_unlocked(google_id);
        google_index[google_id] = account->id;
        if (account->avatar_url.empty()) account->avatar_url = avatar_url;
      }
    }

    if (account != nullptr) {
      touch_user_unlocked(account->id);
      account->last_login = now;
      if (!avatar_url.empty()) account->avatar_url = avatar_url;
    } else {
      // The id has no random part: accounts whose Google ids share their
      // first characters and whose times share their last digits would meet,
      // so a later time is taken until the id is free.
      const std::string prefix = "usr_g_" + text_prefix(google_id, kGoogleIdInAccountId) + "_";
      std::string id = prefix + time_digits(now, kGoogleIdTimeCut);
      for (uint64_t k = 1; users.count(id) != 0; ++k) id = prefix + time_digits(now + k, kGoogleIdTimeCut);
      const std::string username =
          free_username_unlocked(name.empty() ? "Player_" + text_prefix(google_id, kGoogleIdInName) : name, now);
      const std::string lower_username = RozeveCrypto::ascii_lower(username);

      touch_user_unlocked(id);
      account = &users[id];
      account->id = id;
      account->username = username;
      account->email = email;
      account->google_id = google_id;
      account->avatar_url = avatar_url;
      account->wallet_address = RozeveCrypto::CryptoKeys::generate_keypair().address;
      account->created_at = now;
      account->last_login = now;
      touch_username_index_unlocked(lower_username);
      username_index[lower_username] = id;
      touch_email_index_unlocked(email);
      email_index[email] = id;
      touch_google_index_unlocked(google_id);
      google_index[google_id] = id;
      get_or_create_player_unlocked(account->wallet_address);
    }
    set_session_unlocked(*account, kGoogleSessionPrefix + *token_hex);

    out = login_answer("Accesso con Google completato!", *account);
    return true;
  });
}

bool GameEngine::logout_user(const std::string& session_token, std::string& out) {
  return change(out, [&](std::string& out) REQUIRES(game_mutex) {
    const auto session = sessions.find(session_token);
    if (session != sessions.end()) {
      const auto user = users.find(session->second);
      touch_session_unlocked(session_token);
      sessions.erase(session);
      if (user != users.end()) {
        touch_user_unlocked(user->first);
        user->second.session_token.clear();
      }
      // Saved now: a token left in the file would be live again after a
      // restart.
      }
    JsonWriter json;
    json.begin_object().field("status", "ok").field("message", "Disconnessione effettuata con successo.");
    out = json.end_object().take();
    return true;
  });
}

bool GameEngine::get_user_profile(const std::string& session_token, std::string& out) const {
  platform::ReadLock lock(game_mutex);
  const UserAccount* account = session_account_unlocked(session_token);
  if (account == nullptr) return refuse(out, kNoSessionMessage);
  JsonWriter json;
  json.begin_object().field("status", "ok").key("user").begin_object();
  write_user_fields(json, *account);
  json.field("created_at", account->created_at).field("last_login", account->last_login);
  out = json.end_object().end_object().take();
  return true;
}

bool GameEngine::connect_user_wallet(const std::string& token_or_user_id, const std::string& wallet_in,
                                     std::string& out) {
  // Only an address a wallet holds: any other text would move the profile
  // and its lots to a key that no one can play or be paid on.
  if (!RozeveCrypto::CryptoKeys::is_valid_address(wallet_in)) return refuse(out, kBadAddressMessage);
  return change(out, [&](std::string& out) REQUIRES(game_mutex) {
    auto user = users.end();
    if (const auto session = sessions.find(token_or_user_id); session != sessions.end()) {
      user = users.find(session->second);
    }
    if (user == users.end()) user = users.find(token_or_user_id);
    if (user == users.end()) return refuse(out, "Sessione non valida o utente non trovato.");
    UserAccount& account = user->second;

    // An empty wallet would stand for the shared default player.
    const std::string wallet = wallet_in.empty() ? std::string() : normalize_addr(wallet_in);
    if (wallet.size() <= 9 || !is_safe_record_key(wallet)) return refuse(out, kBadAddressMessage);

    const std::string old = account.wallet_address;
    touch_user_unlocked(account.id);
    account.wallet_address = wallet;
    PlayerProfile& to = get_or_create_player_unlocked(wallet);
    if (old != wallet && players.count(old) != 0) {
      // The profile moves: what the old wallet held is credited to the new
      // one and leaves the old, so that linking back and forth creates
      // nothing. Both are brought up to date first, so that production
      // earned so far moves too and none is earned later by lots that left.
      PlayerProfile& from = get_or_create_player_unlocked(old);
      sync_player_unlocked(from);
      sync_player_unlocked(to);
      // Every currency is added, none may be lost: sums a balance cannot hold
      // refuse the link as a whole.
      if (from.coins > std::numeric_limits<uint64_t>::max() - to.coins || !std::isfinite(to.kwh + from.kwh) ||
          !std::isfinite(to.ruz + from.ruz)) {
        discard_change_unlocked();
        return refuse(out, kLinkOverflowMessage);
      }
      to.kwh += from.kwh;
      to.ruz += from.ruz;
      to.coins += from.coins;
      from.kwh = 0.0;
      from.ruz = 0.0;
      from.coins = 0;
      const ParcelSpan owned = parcel_index_.owned_by(old);
      const std::vector<ParcelRecord*> lots(owned.begin(), owned.end());
      for (ParcelRecord* lot : lots) set_parcel_owner_unlocked(*lot, wallet);
      recalculate_player_power_unlocked(to);
      recalculate_player_power_unlocked(from);
    }

    JsonWriter json;
    json.begin_object()
        .field("status", "ok")
        .field("message", "Wallet Web3 collegato al profilo con successo!")
        .field("wallet_address", wallet);
    out = json.end_object().take();
    return true;
  });
}

}  // namespace ZezozuRiziv
