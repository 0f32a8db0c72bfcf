// The whole game world in memory, behind one reader-writer lock: players,
// parcels, login accounts and sessions, communities, the quiz, ad-network
// settings and counters, and the administration block.
//
// Locking: the game lock guards every data member. Public operations take it themselves (shared for read-only
// views, exclusive for changes and for views that first accrue a player's
// production). Functions ending in `_unlocked` take no lock; their REQUIRES
// annotation says how the caller must hold it, and clang's thread-safety
// analysis checks it (docs/ARCHITECTURE.md, "Lock order"). The lock is not
// recursive, so a public operation never calls another public one while
// holding it. Where the chain lock is also held, it is taken first.
//
// Time: the engine reads the time only through its clock (game_clock.h).
//
// Answers: every action writes its JSON answer into `out` and returns true,
// or writes {"status":"error","message":...} and returns false; the router
// sends `out` either way. All JSON goes through crypto/json_writer.h.
//
// Caller text: every operation refuses a player address or a lot key that
// is_safe_record_key() rejects (text_safety.h) before it creates or changes
// anything: an address with kBadAddressMessage, a lot key with
// kBadLotKeyMessage (one line: `if (!keys_usable(address, lot_key, out))
// return false;`). The market and the billboards only look lots up, never
// store the key given: a key no lot can have finds no lot, and they give
// their own refusal. Free text that is stored goes through
// clean_world_text() (billboard fields: sanitize_billboard_field()).
//
// Changing the world: every action runs through change() (see "The one
// road of a game change" below), LevelDB's DBImpl::Write in small:
//   return change(out, [&](std::string& out) {
//     ... checks (return refuse(out, ...)), then touch_*_unlocked(key)
//     before changing a record, then the change, then the answer:
//     out = <success answer>; return true;
//   });
// (change_for() does the same for the player of an address, found or
// created, its production brought up to date first when asked.) The lock
// is held from the first check to the answer; the journal syncs after it
// is let go, and the answer written under it is what the caller gets.
// Parcels are stored only through put_parcel_unlocked() and change owner
// only through set_parcel_owner_unlocked(), which keep the parcel indexes
// in step; `key`, `lat` and `lon` of a stored parcel never change.
//
// Persistence: game_world.dat holds a snapshot of the world and
// game_world.journal the changes since (world_journal.h). One background
// thread rewrites the snapshot when the journal grows, reading the world in
// short pieces under the shared lock.
//
// The engine holds no reference to the ledger.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "game/engine/parcel_index.h"
#include "game/model/game_clock.h"
#include "game/model/game_random.h"
#include "game/model/game_records.h"
#include "game/model/text_safety.h"
#include "game/rules/hex_grid.h"
#include "game/rules/plant_table.h"
#include "game/rules/solar_model.h"
#include "game/store/world_journal.h"
#include "game/store/world_records.h"
#include "platform/file_system.h"
#include "platform/mutex.h"
#include "platform/phase_fair_mutex.h"
#include "platform/thread_annotations.h"

namespace ZezozuRiziv {

// The ledger, handed to the on-chain claim only (see claim_ruz_onchain).
class State;
class Storage;

// The player an empty address stands for; also the JSON-RPC's sender while
// no wallet address is known. Lower-case, so normalize_addr keeps it as is.
inline constexpr char kDefaultPlayerAddress[] = "0x7a657269726f72697669000000000000000000a1";

// The answer to an operation on a lot the caller does not own.
// A community's notice board keeps its newest this many messages.
inline constexpr size_t kBoardMessages = 50;

inline constexpr char kNotLotOwnerMessage[] = "Non sei il proprietario certificato di questo lotto!";

// The file in the data directory that keeps the node's own master
// administrator password (22 letters and digits, readable by the owner
// only). It is generated at the node's first start and printed once.
inline constexpr char kMasterPasswordFileName[] = "admin_master_password.txt";

// What a change touched, with what undoes it. Map-held records keep their
// state before the change's first touch (nullopt: the entry did not
// exist). A community keeps its own fields, or the whole community when
// touch_cer_unlocked() was called; the edits of its members and board are
// logged one by one with their exact inverse, so that a change never
// copies a community's members.
struct ChangeRecords {
  template <typename T>
  using Saved = std::unordered_map<std::string, std::optional<T>>;
  struct AdsSnapshot {
    AdNetworksConfig config;
    uint64_t google_impressions;
    uint64_t meta_impressions;
    uint64_t amazon_impressions;
    uint64_t moloco_impressions;
    double total_revenue_eur;
  };
  // One community a change touched.
  struct Community {
    // Before the change: its own fields (lists empty), or with `whole` the
    // whole community; nullopt when the change created it.
    std::optional<CERCommunity> before;
    bool whole = false;
    // Its own fields changed beyond the production totals (which the
    // crediting players' "PC" lines carry).
    bool fields_changed = false;
    // Addresses whose entries changed (journaled), in order.
    std::vector<std::string> members;
    size_t board_added = 0;
    size_t board_dropped = 0;
  };
  // One edit of a community's members or board.
  struct CommunityEdit {
    enum class Kind { kMemberSet, kMemberAdded, kMembersRemoved, kMessageAdded, kMessagesDropped };
    Kind kind;
    std::string cer_id;
    // kMemberSet: the entry's index and prior value; kMembersRemoved: each
    // removed entry with its index, in order.
    std::vector<std::pair<size_t, CERMember>> members;
    // kMessagesDropped: the messages dropped, oldest first.
    std::vector<CERMessage> messages;
  };
  Saved<PlayerProfile> players;
  Saved<ParcelRecord> parcels;
  Saved<UserAccount> users;
  Saved<std::string> email_index;
  Saved<std::string> username_index;
  Saved<std::string> google_index;
  Saved<std::string> sessions;
  std::unordered_map<std::string, Community> communities;
  std::vector<CommunityEdit> community_edits;
  // Players whose production was credited to a community: its id.
  std::unordered_map<std::string, std::string> credited;
  Saved<QuizQuestion> quiz_questions;
  Saved<ClaimIntent> claims;
  std::optional<std::vector<std::string>> quiz_categories;
  std::optional<AdminConfig> admin;
  std::optional<AdsSnapshot> ads;
};

class GameEngine {
 public:
  // Creates `data_dir` (with missing parents) when it does not exist, loads
  // the world from "<data_dir>/game_world.dat" (a missing file is seeded
  // and written at once), reads the master administrator password from
  // "<data_dir>/" kMasterPasswordFileName (a missing file is generated,
  // stored and printed once; one that cannot be read sets load_failed()),
  // sets the administrator password hash from it when none is stored,
  // seeds and saves the quiz and communities when they are still missing,
  // and last applies "config/ads_publisher.conf" (relative to the working
  // directory) over the ad identifiers.
  // `clock` is the engine's only source of time (null: the system clock).
  // Nothing else can reach the engine yet. Never throws for a directory
  // that cannot be created; every save then fails and is reported.
  explicit GameEngine(const std::string& data_dir, std::shared_ptr<const GameClock> clock = nullptr);
  // Stops the background rewriter (a rewrite under way is abandoned, its
  // temporary file left) and destroys the members; nothing is saved.
  ~GameEngine();

  GameEngine(const GameEngine&) = delete;
  GameEngine& operator=(const GameEngine&) = delete;

  // True when the world file or the master password file exists but could
  // not be read (not a regular file, unreadable, or a world file with no
  // record in its bytes at all): nothing is ever written over the files,
  // and the node must not start. load_error() says why, in Italian, for
  // the console.
  bool load_failed() const { return load_failed_; }
  const std::string& load_error() const { return load_error_; }

  // The engine's clock in whole Unix milliseconds.
  uint64_t now_ms() const { return clock_->now_ms(); }

  // The player key of `addr`: a valid native address ("RUZ...") as written,
  // any other text with every ASCII capital lower-cased and every other
  // byte kept (CryptoKeys::address_key); nothing is trimmed. An empty
  // address yields kDefaultPlayerAddress. Takes no lock (touches no member).
  std::string normalize_addr(const std::string& addr) const;

  // Number of parcels / players. Take the game lock shared.
  uint64_t get_total_parcels_count() const EXCLUDES(game_mutex);
  uint64_t get_total_players_count() const EXCLUDES(game_mutex);

  // Rewrites the whole world file now and empties the journal, once every
  // queued change is durable. Takes the game lock exclusively.
  [[nodiscard]] bool save_world() EXCLUDES(game_mutex);

  // ---- Plants and sun (no lock) ------------------------------------------

  // The plant table row, or null (plant_table.h).
  static const PlantLevelSpec* get_plant_spec(std::string_view type, int level) {
    return ZezozuRiziv::get_plant_spec(type, level);
  }
  // The sun at (lat, lon) at `unix_seconds`, 0 meaning the engine's now; a
  // time the calendar cannot break down also counts as now.
  SolarEnvironment compute_solar_environment(double lat, double lon, unsigned long long unix_seconds) const;
  // The weather answer for the same arguments.
  std::string get_weather_env_json(double lat, double lon, unsigned long long unix_seconds) const;

  // ---- Production, parcels and views (this engine's own files) -----------

  // Brings the player up to date (power, then production; nothing saved)
  // and answers its production buckets. Takes the game lock exclusively.
  std::string get_production_history_json(const std::string& address) EXCLUDES(game_mutex);

  // Buys the free lot `lot_key` centred at (lat, lon) for 50 WC, checking
  // the device position (user_lat, user_lon) against the lot (50 m) and the
  // last fix (teleport, speed). Takes the game lock exclusively.
  bool buy_parcel(const std::string& address, const std::string& lot_key, double lat, double lon,
                  std::string& out, double user_lat, double user_lon, bool is_mocked) EXCLUDES(game_mutex);
  // Builds a level-1 plant of `plant_type` on an owned lot, replacing any
  // plant there. Takes the game lock exclusively.
  bool build_plant(const std::string& address, const std::string& lot_key, const std::string& plant_type,
                   std::string& out) EXCLUDES(game_mutex);
  // Raises the plant of an owned lot one level; level N needs a district of
  // N touching owned cells. Takes the game lock exclusively.
  bool upgrade_plant(const std::string& address, const std::string& lot_key, std::string& out)
      EXCLUDES(game_mutex);

  // Brings the player up to date (nothing saved) and answers everything the
  // client shows about it. Takes the game lock exclusively.
  std::string get_player_state_json(const std::string& address) EXCLUDES(game_mutex);
  // At most 600 parcels lying in the rectangle (bounds included) or owned
  // by the viewer, with the sun at the rectangle's centre. Changes nothing.
  // Takes the game lock shared.
  std::string get_viewport_parcels_json(double lat_min, double lat_max, double lon_min, double lon_max,
                                        const std::string& viewer) const EXCLUDES(game_mutex);

  // ---- Operations implemented in their own files by their owners --------
  // (declared here so the engine keeps one public face; each follows the
  // action shape above)

  // Accounts and sessions (accounts.cpp). Session tokens are "tok_"
  // (Google sign-in: "tok_g_") and 64 random hex digits; one live token per
  // account. Every change is saved before it answers, logout included.
  bool register_user(const std::string& username, const std::string& email, const std::string& password,
                     std::string& out) EXCLUDES(game_mutex);
  bool login_user(const std::string& identifier, const std::string& password, std::string& out)
      EXCLUDES(game_mutex);
  bool login_google_user(const std::string& google_id, const std::string& email, const std::string& name,
                         const std::string& avatar_url, std::string& out) EXCLUDES(game_mutex);
  bool logout_user(const std::string& session_token, std::string& out) EXCLUDES(game_mutex);
  bool get_user_profile(const std::string& session_token, std::string& out) const EXCLUDES(game_mutex);
  bool connect_user_wallet(const std::string& token_or_user_id, const std::string& wallet, std::string& out)
      EXCLUDES(game_mutex);

  // Parcel market and auctions.
  bool list_parcel_for_sale(const std::string& address, const std::string& lot_key, const std::string& currency,
                            double min_bid, double buyout_price, std::string& out) EXCLUDES(game_mutex);
  bool cancel_parcel_sale(const std::string& address, const std::string& lot_key, std::string& out)
      EXCLUDES(game_mutex);
  bool place_bid_or_offer(const std::string& address, const std::string& lot_key, const std::string& currency,
                          double amount, std::string& out) EXCLUDES(game_mutex);
  bool accept_highest_bid(const std::string& address, const std::string& lot_key, std::string& out)
      EXCLUDES(game_mutex);
  std::string get_active_auctions_json() const EXCLUDES(game_mutex);

  // Billboards (fields cleaned with sanitize_billboard_field, text_safety.h).
  bool set_parcel_billboard(const std::string& address, const std::string& lot_key, const std::string& title,
                            const std::string& image_url, const std::string& link_url,
                            const std::string& social_type, bool span_cluster, std::string& out)
                                EXCLUDES(game_mutex);
  bool clear_parcel_billboard(const std::string& address, const std::string& lot_key, bool whole_group,
                              std::string& out) EXCLUDES(game_mutex);

  // Rewarded ads and ad-network configuration.
  std::string start_ad_session(const std::string& address, const std::string& network_preference,
                               const std::string& ad_type) EXCLUDES(game_mutex);
  bool record_ad_quartile(const std::string& address, const std::string& token, int32_t quartile,
                          std::string& out) EXCLUDES(game_mutex);
  bool claim_ad_session(const std::string& address, const std::string& token, std::string& out)
      EXCLUDES(game_mutex);
  std::string get_ads_status_json() const EXCLUDES(game_mutex);
  bool update_ads_config(const std::string& google_ad_unit_id, const std::string& meta_placement_id,
                         const std::string& meta_pixel_id, const std::string& amazon_pub_id,
                         const std::string& amazon_slot_id, std::string& out) EXCLUDES(game_mutex);

  // Daily bonus cards.
  bool draw_daily_bonus_card(const std::string& address, std::string& out) EXCLUDES(game_mutex);
  std::string get_daily_bonus_card_status_json(const std::string& address) const EXCLUDES(game_mutex);

  // ---- The on-chain claim (game/claim/claim.cpp, library rozeve_game_claim) -
  //
  // Turns the player's Zava Vovaz (`source` "WC" or "wc") or kWh (any other
  // source) into whole RUZ, 100 for 1, at most `max_amount` RUZ when that is
  // at least 1. A claimant that is no valid address (normalised, checked by
  // CryptoKeys::is_valid_address) is refused before anything is touched.
  // The payment's block is built and checked first (Ledger::prepare_claim:
  // pool top-up, fee split); then the game-side debit is journaled (synced)
  // together with a ClaimIntent record naming the block's transaction hash;
  // only then is the block committed (appended, state saved). Once the log
  // holds the block, the intent's removal is queued for the journal's next
  // write (lost in a crash, the next start redoes it). Whatever fails after
  // the debit is saved, the block log decides: a claim whose block is not in
  // the log is given back (the units back, the game-side RUZ taken back, the
  // intent removed) as a change of its own, journaled at once (when that
  // write fails, memory keeps the debit and the intent as on disk, and
  // settle_pending_claims refunds it at the next start); one whose block is
  // in the log keeps its debit. Every refusal and failure answers an error
  // and leaves the ledger as it was and the player's balances as they were
  // (a new player stays created, with its production brought up to date),
  // except a block that could neither have its state.json saved nor be cut
  // back: it stands, and so does the debit, and the answer says so.
  // The game lock is held only while the debit (or the refund) is made, as
  // for any change: not while the journal or the block log syncs, so views
  // and other actions go on meanwhile. The chain lock is held throughout,
  // which keeps claims one at a time and the ledger as prepare_claim found
  // it. The answer's balances are those the claim's own debit left.
  // REQUIRES: the chain lock held exclusively by the caller. Takes the game
  // lock exclusively (chain lock first, then game lock).
  bool claim_ruz_onchain(const std::string& address, State& state, Storage& storage, std::string& out,
                         const std::string& source, uint64_t max_amount) EXCLUDES(game_mutex);

  // Settles the claims the world holds as pending, against the block log:
  // a claim whose payment `storage` holds keeps its debit, any other is
  // refunded (its Zava Vovaz or kWh back, its game-side RUZ taken back).
  // The outcome and the intents' removals are then journaled, with one
  // console line saying what was settled. Run once at start-up, after the
  // ledger's catch-up and the world's load, before any request. False, with
  // the reason in `error`, when that write fails (the intents stay for the
  // next start).
  // REQUIRES: the chain lock held (shared is enough). Takes the game lock
  // exclusively.
  [[nodiscard]] bool settle_pending_claims(const Storage& storage, std::string& error) EXCLUDES(game_mutex);

  // Communities (CER). The four changes take the game lock exclusively,
  // create the player when needed and do not accrue its production; the
  // two views take it shared. Stored texts are cleaned (clean_world_text)
  // before the length rules are checked.
  // Founds a community for 100 WC; the founder becomes its admin.
  bool create_cer_community(const std::string& address, const std::string& name, const std::string& tag,
                            const std::string& description, const std::string& emblem, std::string& out)
                                EXCLUDES(game_mutex);
  // Moves the player into the community `cer_id` as a member.
  bool join_cer_community(const std::string& address, const std::string& cer_id, std::string& out)
      EXCLUDES(game_mutex);
  // Takes the player out of its community; an admin hands the role to the
  // first remaining member.
  bool leave_cer_community(const std::string& address, std::string& out) EXCLUDES(game_mutex);
  // Posts on the board of the player's own community (at most 50 kept).
  bool post_cer_message(const std::string& address, const std::string& text, const std::string& emoji,
                        std::string& out) EXCLUDES(game_mutex);
  // Every community, highest weekly score first (ties by id).
  std::string get_cer_list_json() const EXCLUDES(game_mutex);
  // One community with its members and board, and the viewer's role.
  std::string get_cer_detail_json(const std::string& cer_id, const std::string& viewer) const
      EXCLUDES(game_mutex);

  // Quiz. Views take the game lock shared, changes exclusively; stored
  // texts are cleaned before the length rules are checked.
  std::string get_quiz_categories_json() const EXCLUDES(game_mutex);
  // Adds a category (trimmed of spaces and tabs); no token is asked.
  bool add_quiz_category(const std::string& name, std::string& out) EXCLUDES(game_mutex);
  // Stores a question of `address` (+15 WC); correct_option 0..3.
  bool submit_quiz_question(const std::string& address, const std::string& category, const std::string& question,
                            const std::string& option_a, const std::string& option_b,
                            const std::string& option_c, const std::string& option_d, uint32_t correct_option,
                            std::string& out) EXCLUDES(game_mutex);
  // A question not written by the player, not answered this week when
  // there is one; drawn through the engine's random source. Creates no
  // player.
  std::string get_random_quiz_question_json(const std::string& address) const EXCLUDES(game_mutex);
  // Right: 10 points and 5 WC to the player, 10 points to its community.
  // Wrong: 10 points to the author and the author's community.
  bool answer_quiz_question(const std::string& address, const std::string& question_id, int chosen_option,
                            std::string& out) EXCLUDES(game_mutex);
  // At most 10 players with points and 10 communities, and the seconds
  // until the week turns (Monday 00:00 UTC).
  std::string get_weekly_quiz_leaderboard_json() const EXCLUDES(game_mutex);

  // Leaderboard.
  std::string get_leaderboard_json() const EXCLUDES(game_mutex);

  // Administration and production boosts (admin.cpp). Administrator
  // tokens ("adm_tok_" and 64 random hex digits) live 86,400,000 ms, in
  // memory only. admin_verify_token takes the game lock shared; the views
  // take it shared, the login and the boost changes exclusively. Triggering
  // or cancelling a boost first brings every player's production up to
  // date, so that the change counts from now on only.
  bool admin_authenticate(const std::string& password, std::string& token_out, std::string& out)
      EXCLUDES(game_mutex);
  bool admin_verify_token(const std::string& token) const EXCLUDES(game_mutex);
  std::string admin_get_full_telemetry_json(const std::string& token) const EXCLUDES(game_mutex);
  std::string admin_get_scheduled_boosts_json(const std::string& token) const EXCLUDES(game_mutex);
  bool admin_trigger_super_boost(const std::string& token, uint64_t minutes, const std::string& reason,
                                 std::string& out) EXCLUDES(game_mutex);
  bool admin_cancel_super_boost(const std::string& token, std::string& out) EXCLUDES(game_mutex);
  bool admin_schedule_super_boost(const std::string& token, uint64_t start_ms, uint64_t end_ms,
                                  uint32_t multiplier, const std::string& title, const std::string& reason,
                                  std::string& out) EXCLUDES(game_mutex);
  bool admin_cancel_scheduled_boost(const std::string& token, const std::string& boost_id, std::string& out)
      EXCLUDES(game_mutex);

 private:
  friend class GameEngineTestPeer;

  // ---- The one road of a game change -------------------------------------
  //
  // change(out, part) carries every action that changes the world:
  //   1. takes the game lock exclusively and opens the change's records;
  //   2. runs `part`: the action's checks, its change (every record touched
  //      before it changes) and its answer, written into `out` with the lock
  //      still held, so that it reports this change alone;
  //   3. a part that refuses (returns false) journals nothing; what it
  //      changed stays in memory unsaved (the production accrued at its start)
  //      unless it called discard_change_unlocked();
  //   4. otherwise queues the journal lines of the touched records as they
  //      now stand, lets the lock go, and waits for their sync (with
  //      Durability::kQueued it does not wait: for a change a crash may lose,
  //      since the start redoes it);
  //   5. returns the part's answer; when the write failed, it takes the lock
  //      again, undoes this change and every change queued after it, newest
  //      first, exactly, and answers kSaveFailedMessage.
  // Views and other changes run while the journal syncs: a change's records
  // stay in pending_changes_ until they are durable, so that a failure can
  // still undo them.
  enum class Durability { kSynced, kQueued };
  // How change_for() treats the acting player.
  enum class Accrual { kNone, kUpToDate };

  // `part`, and the lambda of change_for(), are declared REQUIRES(game_mutex)
  // so that the analysis checks their bodies as holding the lock.
  template <typename Part>
  bool change(std::string& out, Part&& part, Durability durability = Durability::kSynced)
      EXCLUDES(game_mutex) {
    platform::WriteLock lock(game_mutex);
    ChangeScope scope(*this);
    if (!part(out)) return false;
    return scope.commit(lock, durability, out);
  }
  // change() acting for the player of normalize_addr(address), created
  // when new and, with Accrual::kUpToDate, its production accrued up to now
  // first; `part` is called as part(player, out).
  template <typename Part>
  bool change_for(const std::string& address, Accrual accrual, std::string& out, Part&& part)
      EXCLUDES(game_mutex) {
    return change(out, [&](std::string& answer) REQUIRES(game_mutex) {
      PlayerProfile& player = accrual == Accrual::kUpToDate ? acting_player_unlocked(address)
                                                             : get_or_create_player_unlocked(normalize_addr(address));
      return part(player, answer);
    });
  }
  // change_for() with Accrual::kUpToDate on the lot the acting player owns
  // under `lot_key` (find_owned_lot_unlocked), refused with
  // kNotLotOwnerMessage when there is none; `part` is called as
  // part(player, lot, out) with lot never null.
  template <typename Part>
  bool change_owned_lot(const std::string& address, const std::string& lot_key, std::string& out,
                        Part&& part) EXCLUDES(game_mutex) {
    return change_for(address, Accrual::kUpToDate, out,
                      [&](PlayerProfile& player, std::string& answer) REQUIRES(game_mutex) {
                        ParcelRecord* lot = find_owned_lot_unlocked(player.address, lot_key);
                        if (lot == nullptr) return refuse(answer, kNotLotOwnerMessage);
                        return part(player, lot, answer);
                      });
  }
  // Puts back everything the open change touched, now: for a part that
  // refuses after it changed something. REQUIRES: game lock held
  // exclusively, inside change().
  void discard_change_unlocked() REQUIRES(game_mutex);
  // True when the open change created the player stored under `key`.
  // REQUIRES: game lock held exclusively, inside change().
  bool created_by_change_unlocked(const std::string& key) const REQUIRES(game_mutex);

  // The records of the change under way (one at a time, under the game
  // lock); see change(). Every member REQUIRES the game lock held
  // exclusively.
  class ChangeScope {
   public:
    explicit ChangeScope(GameEngine& engine) REQUIRES(engine.game_mutex);
    ~ChangeScope();
    ChangeScope(const ChangeScope&) = delete;
    ChangeScope& operator=(const ChangeScope&) = delete;

    // Steps 4 and 5 of change(): `lock` is the part's exclusive hold of the
    // game lock, released for the wait. False, with the change undone and
    // the error answer in `out`, when it could not be made durable.
    // Unchecked: it lets `lock` go and takes it again, a hold the analysis
    // cannot follow through a reference.
    [[nodiscard]] bool commit(platform::WriteLock& lock, Durability durability, std::string& out)
        NO_THREAD_SAFETY_ANALYSIS;
    // Commits with the lock held throughout (loading, tests).
    [[nodiscard]] bool commit_holding_lock(std::string& out) REQUIRES(engine_.game_mutex);
    // Puts every touched entry back now, without saving.
    void undo() REQUIRES(engine_.game_mutex);
    const ChangeRecords& records() const { return records_; }

   private:
    friend class GameEngine;
    // Queues the touched records as one change, their undo kept until it is
    // durable; 0 when there is nothing to journal; false when a failure
    // still waits to be undone (nothing queued).
    bool enqueue(uint64_t& seq) REQUIRES(engine_.game_mutex);
    bool fail(std::string& out) REQUIRES(engine_.game_mutex);
    // No change is open any more.
    void close() REQUIRES(engine_.game_mutex);

    GameEngine& engine_;
    ChangeRecords records_;
    bool queued_ = false;  // handed to the journal, and let go of
  };

  // Puts back what `records` saved. REQUIRES: game lock held exclusively.
  void undo_records_unlocked(ChangeRecords& records) REQUIRES(game_mutex);
  // The journal lines of the records `records` names, as they are now (a
  // removal line for one that is gone). REQUIRES: game lock held.
  std::string journal_lines_unlocked(const ChangeRecords& records) const REQUIRES_SHARED(game_mutex);
  // The community lines of a change. REQUIRES: game lock held.
  void append_community_changes_unlocked(std::string& out, const ChangeRecords& records,
                                         const std::unordered_map<std::string, std::string>& uncredited) const
                                             REQUIRES_SHARED(game_mutex);
  // The ad counters as the "A" line reads them. REQUIRES: game lock held.
  AdLineState ads_line_state() const REQUIRES_SHARED(game_mutex);
  // After a failed journal write: undoes the queued changes that failed,
  // newest first, and lets the journal go on. REQUIRES: game lock held
  // exclusively.
  void settle_failed_changes_unlocked() REQUIRES(game_mutex);
  // False when a failed write waits for queued changes to be undone (a new
  // change, computed on top of them, must fail too); otherwise lets a
  // failure with nothing left to undo go. REQUIRES: game lock held
  // exclusively.
  bool clear_stale_failure_unlocked() REQUIRES(game_mutex);

  // Record the entry named by the key before it changes (see change()).
  // Outside a change they record nothing. REQUIRES: game lock held
  // exclusively.
  void touch_player_unlocked(const std::string& address) REQUIRES(game_mutex);
  void touch_parcel_unlocked(std::string_view key) REQUIRES(game_mutex);
  void touch_user_unlocked(const std::string& id) REQUIRES(game_mutex);
  void touch_email_index_unlocked(const std::string& email) REQUIRES(game_mutex);
  void touch_username_index_unlocked(const std::string& lower_username) REQUIRES(game_mutex);
  void touch_google_index_unlocked(const std::string& google_id) REQUIRES(game_mutex);
  void touch_session_unlocked(const std::string& token) REQUIRES(game_mutex);
  // The whole community, members and board included, journaled whole: for
  // a community created (or replaced) by the change. The community
  // helpers below change one part each and journal only it.
  void touch_cer_unlocked(const std::string& id) REQUIRES(game_mutex);
  void touch_quiz_question_unlocked(const std::string& id) REQUIRES(game_mutex);
  void touch_quiz_categories_unlocked() REQUIRES(game_mutex);
  void touch_claim_unlocked(const std::string& tx_hash) REQUIRES(game_mutex);
  void touch_admin_unlocked() REQUIRES(game_mutex);
  // The ad identifiers, the four impression counters and the revenue.
  void touch_ads_unlocked() REQUIRES(game_mutex);

  // ---- One community, part by part (change.cpp) -----------------------------
  // Each records its exact inverse in the open change and journals only
  // what it changed. REQUIRES: game lock held exclusively.

  // Before the community's own fields (name ... total_kwh, creator) change.
  void touch_cer_fields_unlocked(const CERCommunity& community) REQUIRES(game_mutex);
  // The first entry of `address`, or null; its change is journaled.
  CERMember* edit_member_unlocked(CERCommunity& community, const std::string& address) REQUIRES(game_mutex);
  void add_member_unlocked(CERCommunity& community, CERMember member) REQUIRES(game_mutex);
  // Takes every entry of `address` out.
  void remove_member_unlocked(CERCommunity& community, const std::string& address) REQUIRES(game_mutex);
  // Appends to the board, which keeps its newest kBoardMessages.
  void post_message_unlocked(CERCommunity& community, CERMessage message) REQUIRES(game_mutex);
  // Credits `kwh` of `player`'s production to the community and to the
  // player's first entry there; journaled by the player's "PC" line.
  void credit_production_unlocked(CERCommunity& community, const PlayerProfile& player, double kwh)
      REQUIRES(game_mutex);
  // The index of the first entry of `address` in `community`, or npos.
  // REQUIRES: game lock held.
  size_t member_index_unlocked(const CERCommunity& community, std::string_view address) const
      REQUIRES_SHARED(game_mutex);
  // The records of `community` in the open change, or null outside one.
  ChangeRecords::Community* community_change_unlocked(const CERCommunity& community) REQUIRES(game_mutex);

  // ---- Players and production --------------------------------------------

  // The profile stored under `key` (compared byte for byte); when there is
  // none, inserts one with the creation defaults, `address` = key and
  // `last_sync_ms` = now. Touches it. Does not save. The reference lives
  // until the lock is released or the player map changes.
  // REQUIRES: game lock held exclusively.
  PlayerProfile& get_or_create_player_unlocked(const std::string& key) REQUIRES(game_mutex);
  // get_or_create_player_unlocked, then its power and production brought
  // up to date (power first), as the views do. Nothing is saved.
  // REQUIRES: game lock held exclusively.
  PlayerProfile& bring_up_to_date_unlocked(const std::string& address) REQUIRES(game_mutex);
  // The player an action acts for: the profile of normalize_addr(address),
  // created when new, its production accrued up to now (its key is its
  // `address`). Nothing is saved. REQUIRES: game lock held exclusively.
  PlayerProfile& acting_player_unlocked(const std::string& address) REQUIRES(game_mutex);
  // Sets power_kw, storage_boost and parcels_count from the player's lots
  // and the sun at its reference position now.
  // REQUIRES: game lock held exclusively.
  void recalculate_player_power_unlocked(PlayerProfile& player) REQUIRES(game_mutex);
  // The same for every player, on several threads when there are many: a
  // player's power reads the parcel index and changes that player alone.
  // REQUIRES: game lock held exclusively, no change under way (loading).
  void recalculate_all_players_power_unlocked() REQUIRES(game_mutex);
  // recalculate_player_power_unlocked at `now`, the local time being
  // `utc_offset_seconds` ahead of UTC, without remembering the player for
  // an undo. REQUIRES: game lock held exclusively.
  void recalculate_player_power_at_unlocked(PlayerProfile& player, uint64_t now, int64_t utc_offset_seconds) const
      REQUIRES(game_mutex);
  // Accrues the kWh produced since last_sync_ms (at most one day's worth)
  // into the player, its history and its community; last_sync_ms = now.
  // REQUIRES: game lock held exclusively.
  void sync_player_unlocked(PlayerProfile& player) REQUIRES(game_mutex);
  // Syncs every player, so that a boost change that follows rewrites no
  // stretch already run: accrual reads the boosts as they stand.
  // REQUIRES: game lock held exclusively.
  void sync_all_players_unlocked() REQUIRES(game_mutex);
  // Books `kwh` produced at `now_ms` into the history buckets.
  // REQUIRES: game lock held exclusively.
  void update_player_history_buckets_unlocked(PlayerProfile& player, double kwh, uint64_t now_ms)
      REQUIRES(game_mutex);
  // The player's position for the sun: its first lot, else its last fix
  // (an exact 0 replaced by the default coordinate).
  // REQUIRES: game lock held (shared is enough).
  void reference_position_unlocked(const PlayerProfile& player, double& lat, double& lon) const
      REQUIRES_SHARED(game_mutex);

  // ---- Parcels -------------------------------------------------------------

  // The parcel stored under `key_or_latlon`, else the best parcel of the
  // cell of "<lat>_<lon>" (hex_grid.h's rules, through the cell index).
  // REQUIRES: game lock held (exclusively to change the result).
  ParcelRecord* find_parcel_by_key_or_hex_unlocked(const std::string& key_or_latlon,
                                                   const std::string& preferred_owner)
                                                       REQUIRES_SHARED(game_mutex);
  // The lot find_parcel_by_key_or_hex_unlocked gives with `owner` preferred,
  // when `owner` owns it; else null. REQUIRES: game lock held.
  ParcelRecord* find_owned_lot_unlocked(const std::string& owner, const std::string& lot_key)
      REQUIRES_SHARED(game_mutex);
  // Stores `parcel` under its key (inserting or replacing), touched and
  // indexed. REQUIRES: game lock held exclusively.
  ParcelRecord& put_parcel_unlocked(ParcelRecord parcel) REQUIRES(game_mutex);
  // Gives a stored parcel a new owner, touched and re-indexed. The spans
  // of parcel_index_ change with it: a loop over owned_by(old) that moves
  // lots copies the span into a vector first.
  // REQUIRES: game lock held exclusively.
  void set_parcel_owner_unlocked(ParcelRecord& parcel, const std::string& owner) REQUIRES(game_mutex);
  // Number of touching cells holding a lot of `owner`, reached from
  // `start` (counted), stopping once `limit` are found.
  // REQUIRES: game lock held (shared is enough).
  uint64_t district_size_unlocked(const std::string& owner, HexCell start, uint64_t limit) const
      REQUIRES_SHARED(game_mutex);

  // ---- Communities and quiz ------------------------------------------------

  // The username of the first account (in map order) that plays each of
  // `addresses`; addresses no account plays are absent. One walk over the
  // accounts. REQUIRES: game lock held (shared is enough).
  std::unordered_map<std::string, std::string> usernames_of_unlocked(
      const std::vector<std::string>& addresses) const REQUIRES_SHARED(game_mutex);
  // Removes every member entry of `address` from the community `cer_id`
  // names, when there is one; nothing else in it changes.
  // REQUIRES: game lock held exclusively.
  void remove_from_community_unlocked(const std::string& cer_id, const std::string& address)
      REQUIRES(game_mutex);
  // Where the id suffixes and the question offered come from; tests set it.
  std::shared_ptr<const GameRandom> random_ = system_game_random();

  // ---- Accounts and administration -------------------------------------------

  // The account whose live session `token` is, or null.
  // REQUIRES: game lock held (shared is enough).
  const UserAccount* session_account_unlocked(const std::string& token) const REQUIRES_SHARED(game_mutex);
  // Makes `token` the account's one live session: its previous token
  // leaves `sessions`. Touches what it changes.
  // REQUIRES: game lock held exclusively.
  void set_session_unlocked(UserAccount& account, const std::string& token) REQUIRES(game_mutex);
  // `wanted`, or when its lower-cased form is taken, `wanted` + "_" +
  // (now mod 1000), then further "_<n>" suffixes until no account has it.
  // REQUIRES: game lock held (shared is enough).
  std::string free_username_unlocked(const std::string& wanted, uint64_t now) const
      REQUIRES_SHARED(game_mutex);
  // True when `token` is a live administrator token: not empty, issued by
  // this process and not expired. Never takes the lock, so the
  // administrator operations call it while they hold it.
  // REQUIRES: game lock held (shared is enough).
  bool admin_token_valid_unlocked(const std::string& token) const REQUIRES_SHARED(game_mutex);
  // Reads, or on a first start generates, stores and prints, the master
  // administrator password kept in `data_dir`; a file that cannot be read
  // sets load_failed(). REQUIRES: game lock held exclusively (construction).
  void load_master_password_unlocked(const std::string& data_dir) REQUIRES(game_mutex);

  // ---- Market (market.cpp) ------------------------------------------------

  // Credits `amount` of `currency` to the player `to` (found or created):
  // game RUZ as it is, Zava Vovaz rounded. False, with nothing created or
  // changed, when the amount is outside the market's range (market_rules.h)
  // or the balance could not hold it. REQUIRES: game lock held exclusively.
  [[nodiscard]] bool credit_player_unlocked(const std::string& to, std::string_view currency, double amount)
      REQUIRES(game_mutex);
  // Pays the escrowed bid of `lot` (when it holds one) back to its bidder in
  // the lot's currency; the lot is not changed. False as above.
  // REQUIRES: game lock held exclusively.
  [[nodiscard]] bool refund_escrow_unlocked(const ParcelRecord& lot) REQUIRES(game_mutex);

  // ---- World file and seeding ----------------------------------------------

  // Replaces the in-memory world by the world file's content and then the
  // changes of the journals (the one a rewrite left, then the current one),
  // or by a seeded world (written at once) when the file does not exist. A
  // file that exists but cannot be read, whose non-empty content holds no
  // record, a journal damaged in the middle or a journal without a world
  // file sets load_failed(), and no file is touched. A torn journal tail is
  // cut off. Takes the game lock exclusively; called once, by the
  // constructor.
  void load_world();
  // Reads the journal at `path` (missing: nothing) into the world. False,
  // with the load failed, when it is damaged. REQUIRES: game lock held
  // exclusively (loading).
  bool replay_journal_unlocked(const std::string& path, bool current, TextPool& texts) REQUIRES(game_mutex);
  // Reads the snapshot `content` into the empty world and its lots into the
  // empty parcel index, in pieces on several threads, leaving exactly what
  // reading it line by line leaves. Counts the lines of known tags and the
  // unreadable ones among them. REQUIRES: game lock held exclusively
  // (loading).
  void load_snapshot_unlocked(std::string_view content, TextPool& texts, uint64_t& known_lines,
                              uint64_t& skipped) REQUIRES(game_mutex);
  // Stores the login account `u`, replacing an earlier one of its id and
  // its index entries. REQUIRES: game lock held exclusively (loading).
  void store_loaded_user_unlocked(UserAccount&& u) REQUIRES(game_mutex);
  // Applies one record line of the world file or of the journal. Returns
  // false for a known tag whose line could not be read; `known` says
  // whether the tag is one of the file's. Lots take their repeated texts
  // from `texts`, and the parcel index follows them. REQUIRES: game lock
  // held exclusively (loading).
  bool apply_world_line_unlocked(std::string_view line, WorldFields& fields, TextPool& texts, bool& known)
      REQUIRES(game_mutex);
  // Applies a removal line ("X"); false when it cannot be read. REQUIRES:
  // game lock held exclusively (loading).
  bool apply_removal_line_unlocked(const WorldFields& fields) REQUIRES(game_mutex);
  // With the lock held, outside a change: the whole world file rewritten
  // (seeding). False, with one console line, when nothing durable was
  // written; always false after a failed load. REQUIRES: game lock held
  // exclusively.
  [[nodiscard]] bool save_world_unlocked() REQUIRES(game_mutex);
  // Writes the full world file through "<file>.tmp" and a rename, then
  // empties the journals. REQUIRES: game lock held exclusively, every
  // queued change durable.
  [[nodiscard]] bool write_world_file_unlocked() REQUIRES(game_mutex);
  // Formats the whole world into `file`, piece by piece. With `lock_each`
  // the shared game lock is taken around each piece (a background rewrite;
  // false when a map was rehashed meanwhile), else the caller holds it.
  // `last_seq` receives the last change queued when the last piece was read
  // (the "J" line: the communities are exactly as they stood after it).
  // Unchecked: whether it or its caller holds the lock is `lock_each`'s,
  // a choice made at run time.
  bool write_snapshot(platform::AppendFile& file, bool lock_each, uint64_t& last_seq) const
      NO_THREAD_SAFETY_ANALYSIS;
  // The background rewrite: a fresh world file from the world in memory,
  // read in pieces under the shared lock, then the journal it folds in
  // removed. Takes rewrite_mutex_, then the game lock shared per piece.
  void rewrite_world_in_background();
  void rewriter_loop();
  // The four seeded owners and their 19 lots, when there is no parcel.
  // REQUIRES: game lock held exclusively.
  void seed_initial_multiplayer_world_unlocked() REQUIRES(game_mutex);
  // The six categories, three communities and six questions, each
  // collection only when it is empty. REQUIRES: game lock held exclusively.
  void seed_default_quiz_and_cer_unlocked() REQUIRES(game_mutex);
  void fail_load_unlocked(const std::string& reason) REQUIRES(game_mutex);

  std::string world_file_path;  // data directory + "/game_world.dat"
  // The game lock (phase-fair: a stream of views never keeps an action
  // out, nor a stream of actions a view); guards everything below.
  mutable platform::PhaseFairMutex game_mutex;

  AdNetworksConfig ads_config GUARDED_BY(game_mutex);
  // Claimed ad views per network.
  uint64_t google_impressions GUARDED_BY(game_mutex) = 0;
  uint64_t meta_impressions GUARDED_BY(game_mutex) = 0;
  uint64_t amazon_impressions GUARDED_BY(game_mutex) = 0;
  uint64_t moloco_impressions GUARDED_BY(game_mutex) = 0;
  double total_revenue_eur GUARDED_BY(game_mutex) = 0.0;  // ad revenue in euro

  // By player key.
  std::unordered_map<std::string, PlayerProfile> players GUARDED_BY(game_mutex);
  ParcelMap parcels GUARDED_BY(game_mutex);  // by parcel key
  // By account id.
  std::unordered_map<std::string, UserAccount> users GUARDED_BY(game_mutex);
  // Lower-cased e-mail, lower-cased username, Google id, session token -> account id.
  std::unordered_map<std::string, std::string> email_index GUARDED_BY(game_mutex);
  std::unordered_map<std::string, std::string> username_index GUARDED_BY(game_mutex);
  std::unordered_map<std::string, std::string> google_index GUARDED_BY(game_mutex);
  std::unordered_map<std::string, std::string> sessions GUARDED_BY(game_mutex);
  // By community id, by question id; the categories in insertion order.
  std::unordered_map<std::string, CERCommunity> cers GUARDED_BY(game_mutex);
  std::unordered_map<std::string, QuizQuestion> quiz_questions GUARDED_BY(game_mutex);
  std::vector<std::string> quiz_categories GUARDED_BY(game_mutex);
  // Token -> expiry ms; memory only.
  std::unordered_map<std::string, uint64_t> admin_tokens GUARDED_BY(game_mutex);
  AdminConfig admin GUARDED_BY(game_mutex);
  // SHA-256 text of the node's master administrator password, accepted
  // beside admin.admin_password_hash; empty when none could be kept.
  std::string master_password_hash_ GUARDED_BY(game_mutex);

  // ---- Rewarded ads and daily cards -----------------------------------------

  // The answer of get_ads_status_json(). REQUIRES: game lock held.
  std::string ads_status_json_unlocked() const REQUIRES_SHARED(game_mutex);
  // Applies the ad-network configuration file at `path` over ads_config; a
  // missing, unreadable or oversized file changes nothing. Called by the
  // constructor, last. REQUIRES: game lock held exclusively (or no other
  // thread can reach the engine yet).
  void read_ads_publisher_conf_unlocked(const std::string& path) REQUIRES(game_mutex);

  // Beside the world: the clock, the parcel indexes, the open change.
  std::shared_ptr<const GameClock> clock_;
  ParcelIndex parcel_index_ GUARDED_BY(game_mutex);
  ChangeScope* active_change_ GUARDED_BY(game_mutex) = nullptr;
  // Each large community's entries by address (the first of each), made
  // by the first change that needs it, kept up by appends and dropped when
  // an entry leaves, a change rewrites the community or is undone. Used
  // and changed only inside a change (the lock held exclusively).
  mutable std::unordered_map<std::string, std::unordered_map<std::string, size_t>> member_slots_
      GUARDED_BY(game_mutex);
  // Claims whose debit is saved but whose block may not be in the log yet
  // (the world's "CLAIM" records), by transaction hash: those loaded until
  // the start has settled them, and a claim's own while it runs.
  std::unordered_map<std::string, ClaimIntent> pending_claims_ GUARDED_BY(game_mutex);
  // Set while the constructor loads the world, read-only after.
  bool load_failed_ = false;
  std::string load_error_;

  // ---- Journal and rewrites ---------------------------------------------------

  // A change whose journal lines are queued or being synced, with what
  // undoes it; in journal order. Guarded by the game lock.
  struct PendingChange {
    uint64_t seq;
    ChangeRecords records;
  };
  std::deque<PendingChange> pending_changes_ GUARDED_BY(game_mutex);
  // Made by the load, then kept: it has a lock of its own.
  std::unique_ptr<WorldJournal> journal_;
  // One rewrite of the world file at a time; taken before the game lock.
  std::mutex rewrite_mutex_;
  // The background rewriter: woken when the journal has grown past
  // rewrite_threshold_ bytes; stopped and joined by the destructor.
  platform::Mutex rewriter_mu_;
  std::condition_variable rewriter_cv_;
  bool rewrite_wanted_ GUARDED_BY(rewriter_mu_) = false;
  std::atomic<bool> stopping_{false};
  uint64_t rewrite_threshold_ = 0;
  // While a journal is replayed: the last change the world file's
  // communities include (its "J" line), and whether the change being
  // replayed is one of those, whose community lines are then skipped.
  uint64_t snapshot_mark_ GUARDED_BY(game_mutex) = 0;
  bool replaying_covered_change_ GUARDED_BY(game_mutex) = false;
  // The highest change number a journal held.
  uint64_t last_replayed_seq_ GUARDED_BY(game_mutex) = 0;
  std::thread rewriter_;
};

}  // namespace ZezozuRiziv
