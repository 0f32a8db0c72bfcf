// The on-chain claim: game production turned into RUZ through the ledger
// write path, with the three files kept in step.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "chain/accounts.h"
#include "chain/state.h"
#include "crypto/crypto_keys.h"
#include "crypto/text.h"
#include "game/model/text_safety.h"
#include "game_test_support.h"
#include "small_tmpfs.h"
#include "storage/ledger.h"
#include "storage/storage.h"

namespace ZezozuRiziv {
namespace {

using game_test::json_value;
using Peer = GameEngineTestPeer;
namespace fs = std::filesystem;

constexpr uint64_t kCoin = 1'000'000;
constexpr char kTreasury[] = "0x7e00000000000000000000000000000000000001";
constexpr char kRichPlayer[] = "0x7e000000000000000000000000000000000000ff";
constexpr char kPlayer[] = "0x00000000000000000000000000000000000000ab";
constexpr char kOther[] = "0x00000000000000000000000000000000000000cd";
constexpr char kWcTooFew[] =
    "Servono almeno 100 Zava Vovaz (WC) certificati sul server per convertire 1 RUZ on-chain";
constexpr char kKwhTooFew[] = "Servono almeno 100 kWh certificati sul server per coniare 1 RUZ on-chain";

// A distinct valid claimant per number.
std::string numbered(int n) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "0xca5e%036d", n);
  return buffer;
}

// The three files a claim writes, read together.
struct Files {
  std::string blocks, state, world;
  bool operator==(const Files&) const = default;
};

class GameClaim : public game_test::GameFixture {
 protected:
  void SetUp() override {
    GameFixture::SetUp();
    open();
  }
  // Engine, storage and the ledger on dir(); with `genesis`, block 0 pays
  // the supply to kTreasury and 500,000 RUZ go on to the pool.
  void open(bool genesis = true) {
    engine_ = make_engine();
    storage_ = std::make_unique<Storage>(dir());
    state_ = State();
    if (genesis) {
      CommittedBlock block;
      ASSERT_TRUE(Ledger(*storage_, state_).commit_genesis(kTreasury, block).ok);
    }
  }
  bool claim(const std::string& who, const std::string& source = "WC", uint64_t max_amount = 0) {
    return engine_->claim_ruz_onchain(who, state_, *storage_, out_, source, max_amount);
  }
  // The player as given, saved in the world file.
  void set_player(const std::string& who, uint64_t coins, double kwh) {
    bool saved = false;
    Peer::with_lock(*engine_, [&](GameEngine& e) {
      PlayerProfile& p = Peer::get_or_create(e, who);
      p.coins = coins;
      p.kwh = kwh;
      saved = Peer::save_unlocked(e);
    });
    ASSERT_TRUE(saved);
  }
  PlayerProfile player(const std::string& who) { return Peer::player(*engine_, who); }
  Files files() const {
    return {game_test::read_file(dir() + "/blocks.dat"), game_test::read_file(dir() + "/state.json"),
            saved_world()};
  }
  const Block& last_block() const { return storage_->get_blocks_cached().back(); }
  // Every balance and stake: what only a rule that mints may raise.
  uint64_t supply() const { return state_.get_total_circulating(); }

  std::unique_ptr<GameEngine> engine_;
  std::unique_ptr<Storage> storage_;
  State state_;
  std::string out_;
};

void expect_same_player(const PlayerProfile& a, const PlayerProfile& b) {
  EXPECT_EQ(a.address, b.address);
  EXPECT_EQ(a.coins, b.coins);
  EXPECT_EQ(a.kwh, b.kwh);
  EXPECT_EQ(a.ruz, b.ruz);
  EXPECT_EQ(a.last_sync_ms, b.last_sync_ms);
  EXPECT_EQ(a.all_time_kwh, b.all_time_kwh);
}

TEST_F(GameClaim, OneRuzPaysTheFeeSplitFromThePool) {
  set_player(kPlayer, 300, 25.0);
  const uint64_t before = supply();
  const uint64_t pool = state_.get_balance(kRewardPoolAddress);
  const auto seconds = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
  ASSERT_TRUE(claim("0x00000000000000000000000000000000000000AB", "WC", 1)) << out_;

  const Block& block = last_block();
  ASSERT_EQ(block.transactions.size(), 1u);
  const Transaction& tx = block.transactions[0];
  EXPECT_EQ(out_, "{\"status\":\"ok\",\"source\":\"WC\",\"reward_pool_wallet\":\"0xzerirorivi_reward_pool_vault\","
                  "\"reward_pool_remaining_ruz\":499999.00,\"block_index\":1,\"tx_hash\":\"" + tx.tx_hash +
                      "\",\"gross_ruz\":1,\"claimed_ruz\":0.98,\"fee_ruz\":0.02,\"srl_fee_ruz\":0.01,"
                      "\"coop_fee_ruz\":0.01,\"validator_fee_ruz\":0.00,\"burn_fee_ruz\":0.00,\"remaining_kwh\":25.00,"
                      "\"remaining_coins\":200,\"total_ruz\":5.98}");
  // Gross 1,000,000: fee 20,000 = 8,000 + 6,000 + 4,000 + 2,000; net 980,000.
  EXPECT_EQ(state_.get_balance(kRewardPoolAddress), pool - kCoin);
  EXPECT_EQ(state_.get_balance(kPlayer), 980'000u);
  EXPECT_EQ(state_.get_balance(kFeeTreasuryAddress), 8'000u);
  EXPECT_EQ(state_.get_balance(kIncubatorAddress), 6'000u);
  EXPECT_EQ(state_.get_balance(kGameValidatorAddress), 4'000u);
  EXPECT_EQ(state_.get_balance(kBurnAddress), 2'000u);
  EXPECT_EQ(supply(), before);  // the pool paid: nothing minted

  // The record: a TRANSFER from the pool, amount net, fee total, stamped in seconds.
  EXPECT_EQ(block.index, 1u);
  EXPECT_EQ(block.validator, kGameValidatorAddress);
  EXPECT_EQ(tx.type, TxType::TRANSFER);
  EXPECT_EQ(tx.sender, kRewardPoolAddress);
  EXPECT_EQ(tx.recipient, kPlayer);
  EXPECT_EQ(tx.amount, 980'000u);
  EXPECT_EQ(tx.fee, 20'000u);
  EXPECT_EQ(tx.nonce, 0u);
  EXPECT_GE(tx.timestamp, seconds);
  EXPECT_LE(tx.timestamp, seconds + 60);
  EXPECT_EQ(block.timestamp, tx.timestamp);

  // The files hold it: a restart rebuilds the same ledger.
  State saved;
  Storage reread(dir());
  CatchUpReport report;
  ASSERT_TRUE(Ledger(reread, saved).load_and_catch_up(report).ok);
  EXPECT_EQ(saved.balances, state_.balances);
  EXPECT_EQ(saved.nonces, state_.nonces);
  EXPECT_NE(game_test::read_file(dir() + "/blocks.dat").find(tx.tx_hash), std::string::npos);
  engine_ = make_engine();
  EXPECT_EQ(player(kPlayer).coins, 200u);
  EXPECT_DOUBLE_EQ(player(kPlayer).ruz, 5.98);
}

TEST_F(GameClaim, ANewPlayerClaimsThreeRuzByZavaVovaz) {
  const std::string fresh = numbered(999);
  ASSERT_FALSE(Peer::has_player(*engine_, fresh));
  ASSERT_TRUE(claim(fresh, "WC")) << out_;
  EXPECT_EQ(json_value(out_, "gross_ruz"), "3");
  EXPECT_EQ(json_value(out_, "claimed_ruz"), "2.94");
  EXPECT_EQ(json_value(out_, "remaining_coins"), "0");
  EXPECT_EQ(json_value(out_, "total_ruz"), "7.94");
  EXPECT_EQ(state_.get_balance(fresh), 2'940'000u);
  const auto lines = game_test::lines_tagged(saved_world(), "P");
  const auto mine =
      std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with("P|" + fresh + "|"); });
  ASSERT_NE(mine, lines.end());
  EXPECT_TRUE(mine->starts_with("P|" + fresh + "|0|25.000000|7.940000|")) << *mine;
  // The debit went to the journal with its intent, before the block; the
  // intent's removal waits for the next write.
  const std::string intent = "CLAIM|" + json_value(out_, "tx_hash") + "|1|" + fresh + "|WC|300|2940000";
  EXPECT_EQ(game_test::lines_tagged(saved_world(), "CLAIM"), std::vector<std::string>{intent});
  // The next write drops it: the block is in the log.
  ASSERT_TRUE(engine_->save_world());
  EXPECT_TRUE(game_test::lines_tagged(saved_world(), "CLAIM").empty());
  engine_.reset();
  engine_ = make_engine();
  EXPECT_TRUE(Peer::pending_claims(*engine_).empty());
}

TEST_F(GameClaim, ANativeAddressIsPaidUnderItsOwnSpelling) {
  // A registered account plays its native address as generated.
  const std::string native = RozeveCrypto::CryptoKeys::private_key_to_address(std::string(64, '7'));
  ASSERT_TRUE(RozeveCrypto::CryptoKeys::is_valid_address(native));
  set_player(native, 300, 25.0);
  ASSERT_TRUE(claim(native, "WC", 1)) << out_;
  EXPECT_EQ(last_block().transactions.at(0).recipient, native);
  EXPECT_EQ(state_.get_balance(native), 980'000u);
  EXPECT_EQ(player(native).coins, 200u);
  const std::string lowered = RozeveCrypto::ascii_lower(native);
  EXPECT_EQ(state_.get_balance(lowered), 0u);
  EXPECT_FALSE(Peer::has_player(*engine_, lowered));
}

TEST_F(GameClaim, WholeCoinsFromZavaVovazOrKwh) {
  struct Case {
    uint64_t coins;
    double kwh;
    std::string source;
    uint64_t max_amount;
    std::string message;  // empty: paid
    uint64_t gross;
    uint64_t coins_left;
    double kwh_left;
  };
  const Case cases[] = {
      {1'000, 25.0, "WC", 0, "", 10, 0, 25.0},
      {1'000, 25.0, "WC", 3, "", 3, 700, 25.0},
      {1'000, 25.0, "wc", 11, "", 10, 0, 25.0},  // a cap above the amount is no cap
      {99, 500.0, "wc", 0, kWcTooFew, 0, 99, 500.0},
      {250, 25.0, "wc", 0, "", 2, 50, 25.0},
      {300, 199.9, "KWH", 0, "", 1, 300, 99.9},
      {300, 199.9, "Wc", 0, "", 1, 300, 99.9},  // any other text means kWh
      {300, 99.99, "KWH", 0, kKwhTooFew, 0, 300, 99.99},
      {300, 1'050.0, "", 4, "", 4, 300, 650.0},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string who = numbered(n++);
    SCOPED_TRACE(who);
    set_player(who, c.coins, c.kwh);
    const bool paid = claim(who, c.source, c.max_amount);
    if (c.message.empty()) {
      ASSERT_TRUE(paid) << out_;
      EXPECT_EQ(json_value(out_, "gross_ruz"), std::to_string(c.gross));
      EXPECT_EQ(json_value(out_, "source"), c.source == "WC" || c.source == "wc" ? "WC" : "KWH");
      EXPECT_EQ(state_.get_balance(who), c.gross * 980'000);
    } else {
      EXPECT_FALSE(paid);
      EXPECT_EQ(out_, error_json(c.message));
    }
    EXPECT_EQ(player(who).coins, c.coins_left);
    EXPECT_NEAR(player(who).kwh, c.kwh_left, 1e-9);
  }
}

TEST_F(GameClaim, BlocksFollowTheChainAndPoolNoncesCount) {
  // On an empty chain the first claim is block 0 after 64 zeros, paid by a
  // pool minted under the cap.
  engine_.reset();
  storage_.reset();
  fs::remove_all(dir());
  open(false);
  ASSERT_TRUE(claim(kPlayer, "WC", 1)) << out_;
  EXPECT_EQ(last_block().index, 0u);
  EXPECT_EQ(last_block().prev_hash, std::string(64, '0'));
  EXPECT_EQ(supply(), 500'000 * kCoin);
  const std::string first_hash = last_block().block_hash;
  ASSERT_TRUE(claim(kPlayer, "WC", 1)) << out_;
  EXPECT_EQ(last_block().index, 1u);
  EXPECT_EQ(last_block().prev_hash, first_hash);
  EXPECT_EQ(last_block().transactions[0].nonce, 1u);
  EXPECT_EQ(state_.get_nonce(kRewardPoolAddress), 2u);
  EXPECT_EQ(json_value(out_, "block_index"), "1");
}

TEST_F(GameClaim, ThePoolIsToppedUpFromTheGenesisTreasuryOnly) {
  // The pool is empty, the treasury holds 1,000,000 RUZ and a player's
  // wallet 19,500,000: richer, yet never a donor.
  state_.balances[kRewardPoolAddress] = 0;
  state_.balances[kTreasury] = 1'000'000 * kCoin;
  state_.balances[kRichPlayer] = 19'500'000 * kCoin;
  const uint64_t before = supply();
  ASSERT_TRUE(claim(kPlayer, "WC")) << out_;
  EXPECT_EQ(state_.get_balance(kRichPlayer), 19'500'000 * kCoin);
  EXPECT_EQ(state_.get_balance(kTreasury), 500'000 * kCoin);
  EXPECT_EQ(state_.get_balance(kRewardPoolAddress), 500'000 * kCoin - 3 * kCoin);
  EXPECT_EQ(json_value(out_, "reward_pool_remaining_ruz"), "499997.00");
  EXPECT_EQ(supply(), before);
}

TEST_F(GameClaim, ATopUpIsMintedOnlyUnderTheSupplyCap) {
  // No treasury that can pay: 500,000 RUZ are minted, and only they.
  state_.balances[kRewardPoolAddress] = 0;
  state_.balances[kTreasury] = 0;
  state_.balances[kRichPlayer] = 1'000'000 * kCoin;
  const uint64_t before = supply();
  ASSERT_TRUE(claim(kPlayer, "WC")) << out_;
  EXPECT_EQ(supply(), before + 500'000 * kCoin);
  EXPECT_EQ(state_.get_balance(kRichPlayer), 1'000'000 * kCoin);

  // 20,600,000 RUZ out already: minting 500,000 more would pass the cap.
  state_.balances[kRewardPoolAddress] = 0;
  const uint64_t others = supply() - state_.get_balance(kRichPlayer);
  state_.balances[kRichPlayer] = 20'600'000 * kCoin - others;
  set_player(kOther, 1'000, 25.0);
  const State ledger_before = state_;
  const Files files_before = files();
  EXPECT_FALSE(claim(kOther, "WC"));
  EXPECT_EQ(out_, error_json(kPoolExhaustedMessage));
  EXPECT_EQ(state_.balances, ledger_before.balances);
  EXPECT_EQ(state_.nonces, ledger_before.nonces);
  EXPECT_EQ(files(), files_before);
  EXPECT_EQ(player(kOther).coins, 1'000u);
}

TEST_F(GameClaim, AmountsThatWouldWrapAreRefused) {
  const State ledger_before = state_;
  struct Case {
    uint64_t coins;
    double kwh;
    std::string source;
  };
  const Case cases[] = {
      {UINT64_MAX, 25.0, "WC"},  // 1.8e17 RUZ: not in 64 bits of atomic units
      {300, 2.0e15, "KWH"},      // 2e13 RUZ: 2e19 atomic units
      {300, 1.0e30, "KWH"},      // beyond 64 bits before the conversion
      {300, 1.0e300, "KWH"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string who = numbered(100 + n++);
    SCOPED_TRACE(who);
    set_player(who, c.coins, c.kwh);
    const Files before = files();
    EXPECT_FALSE(claim(who, c.source));
    EXPECT_EQ(out_, error_json(kPoolExhaustedMessage));
    EXPECT_EQ(files(), before);
    EXPECT_EQ(player(who).coins, c.coins);
    EXPECT_EQ(player(who).kwh, c.kwh);
  }
  EXPECT_EQ(state_.balances, ledger_before.balances);
  EXPECT_EQ(storage_->get_blocks_cached().size(), 1u);
  // With a cap, a huge production still pays what was asked.
  ASSERT_TRUE(claim(numbered(102), "KWH", 3)) << out_;
  EXPECT_EQ(json_value(out_, "gross_ruz"), "3");
}

TEST_F(GameClaim, ClaimantsTheStateCannotCarryAreRefusedFirst) {
  const Files before = files();
  struct Case {
    std::string address;
    std::string message;
  };
  const Case cases[] = {
      {"0xab:cd", kUnsafeKeyMessage},
      {"0xab,cd", kUnsafeKeyMessage},
      {"{0xab}", kUnsafeKeyMessage},
      {"0xZERIRORIVI_reward_pool_vault", kUnsafeKeyMessage},  // the pool cannot pay itself
      {"0xab\"cd", kBadAddressMessage},
      {"0xab|P|forged", kBadAddressMessage},
      {"0xab\ncd", kBadAddressMessage},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(claim(c.address, "WC")) << c.address;
    EXPECT_EQ(out_, error_json(c.message)) << c.address;
    EXPECT_FALSE(Peer::has_player(*engine_, engine_->normalize_addr(c.address))) << c.address;
  }
  EXPECT_EQ(files(), before);
  EXPECT_EQ(state_.get_balance(kRewardPoolAddress), 500'000 * kCoin);
}

TEST_F(GameClaim, AWorldThatCannotBeSavedWritesNoBlock) {
  set_player(kPlayer, 1'000, 250.0);
  clock_->advance_ms(60'000);
  const PlayerProfile player_before = player(kPlayer);
  const State ledger_before = state_;
  const Files before = files();
  block_saves(*engine_);
  EXPECT_FALSE(claim(kPlayer, "WC"));
  EXPECT_EQ(out_, error_json(kSaveFailedMessage));
  EXPECT_EQ(files(), before);
  EXPECT_EQ(state_.balances, ledger_before.balances);
  EXPECT_EQ(state_.nonces, ledger_before.nonces);
  EXPECT_EQ(storage_->get_blocks_cached().size(), 1u);
  expect_same_player(player(kPlayer), player_before);

  // The same claim once the disk takes it: block 1, pool nonce 0.
  allow_saves(*engine_);
  ASSERT_TRUE(claim(kPlayer, "WC")) << out_;
  EXPECT_EQ(json_value(out_, "block_index"), "1");
  EXPECT_EQ(last_block().transactions[0].nonce, 0u);
}

TEST_F(GameClaim, ABlockThatCannotBeSyncedTakesTheClaimBack) {
  set_player(kPlayer, 1'000, 25.0);
  const PlayerProfile player_before = player(kPlayer);
  const State ledger_before = state_;
  const Files before = files();
  storage_->fail_syncs(true);
  EXPECT_FALSE(claim(kPlayer, "WC"));
  storage_->fail_syncs(false);
  EXPECT_EQ(out_, error_json(kAppendFailedMessage));
  EXPECT_EQ(files(), before);
  EXPECT_EQ(state_.balances, ledger_before.balances);
  EXPECT_EQ(storage_->get_blocks_cached().size(), 1u);
  expect_same_player(player(kPlayer), player_before);
}

TEST_F(GameClaim, AFullDiskChangesNothing) {
  engine_.reset();
  storage_.reset();
  fs::remove_all(dir());
  rozeve_test::SmallTmpfs disk(dir(), "256k");
  ROZEVE_REQUIRE_TMPFS(disk);
  open();
  set_player(kPlayer, 1'000, 25.0);
  const PlayerProfile player_before = player(kPlayer);
  const State ledger_before = state_;
  const Files before = files();
  disk.fill();
  // The debit is saved before the block: that save is the first to fail.
  EXPECT_FALSE(claim(kPlayer, "WC"));
  EXPECT_EQ(out_, error_json(kSaveFailedMessage));
  disk.unfill();
  EXPECT_EQ(files(), before);
  EXPECT_EQ(state_.balances, ledger_before.balances);
  EXPECT_EQ(storage_->get_blocks_cached().size(), 1u);
  expect_same_player(player(kPlayer), player_before);
  ASSERT_TRUE(claim(kPlayer, "WC")) << out_;
  engine_.reset();
  storage_.reset();
}

TEST_F(GameClaim, ABlockThatCannotBeWrittenIsRefunded) {
  set_player(kPlayer, 1'000, 25.0);
  const PlayerProfile player_before = player(kPlayer);
  const State ledger_before = state_;
  const Files before = files();
  // A storage that has not appended yet opens the log at its first append.
  storage_ = std::make_unique<Storage>(dir());
  ASSERT_EQ(storage_->get_blocks_cached().size(), 1u);
  // The log becomes a directory: the append alone fails.
  const std::string log = dir() + "/blocks.dat";
  fs::rename(log, log + ".kept");
  fs::create_directory(log);
  EXPECT_FALSE(claim(kPlayer, "WC"));
  EXPECT_EQ(out_, error_json(kAppendFailedMessage));
  fs::remove(log);
  fs::rename(log + ".kept", log);
  // The debit saved before the block is given back and saved again.
  EXPECT_EQ(files(), before);
  EXPECT_EQ(state_.balances, ledger_before.balances);
  EXPECT_EQ(state_.nonces, ledger_before.nonces);
  EXPECT_EQ(storage_->get_blocks_cached().size(), 1u);
  expect_same_player(player(kPlayer), player_before);
  ASSERT_TRUE(claim(kPlayer, "WC", 1)) << out_;
  EXPECT_EQ(json_value(out_, "block_index"), "1");
}

TEST_F(GameClaim, ClaimantsThatAreNoAddressAreRefused) {
  const Files before = files();
  const std::string refused =
      "Indirizzo non valido per il riscatto: i RUZ si ricevono solo su un indirizzo 0x con 40 cifre "
      "esadecimali o su un indirizzo RUZ con il suo codice di controllo";
  const std::string cases[] = {
      "0xab",
      "0x" + std::string(39, 'a'),
      "0x" + std::string(41, 'a'),
      "0x" + std::string(39, 'a') + "g",
      "ab" + std::string(40, 'a'),
      "RUZ" + std::string(40, '0'),  // no valid checksum
      "hello",
  };
  for (const std::string& address : cases) {
    EXPECT_FALSE(claim(address, "WC")) << address;
    EXPECT_EQ(out_, error_json(refused)) << address;
    EXPECT_FALSE(Peer::has_player(*engine_, engine_->normalize_addr(address))) << address;
  }
  EXPECT_EQ(files(), before);
  EXPECT_EQ(storage_->get_blocks_cached().size(), 1u);
  EXPECT_EQ(state_.get_balance(kRewardPoolAddress), 500'000 * kCoin);
}

// Every point at which a crash can stop a claim, as the files show it, and
// what the next start makes of it: the block log decides.
TEST_F(GameClaim, TheStartSettlesAClaimACrashCutShort) {
  set_player(kPlayer, 1'000, 25.0);
  const Files before = files();
  ASSERT_TRUE(claim(kPlayer, "WC", 3)) << out_;
  const Files after = files();
  // The debit and its intent, saved before the block was appended; a later
  // save drops the intent.
  const std::string intent = "CLAIM|" + json_value(out_, "tx_hash") + "|1|" + kPlayer + "|WC|300|2940000\n";
  const std::string pending = after.world;
  ASSERT_TRUE(pending.ends_with("\n" + intent)) << pending;
  const std::string dropped = pending.substr(0, pending.size() - intent.size());
  struct Case {
    const char* point;
    Files files;
    bool paid;
  };
  const Case cases[] = {
      {"before the debit is saved", before, false},
      {"debit saved, no block", {before.blocks, before.state, pending}, false},
      {"block appended, state not saved", {after.blocks, before.state, pending}, true},
      {"claim answered", after, true},
      {"intent dropped by a later save", {after.blocks, after.state, dropped}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.point);
    engine_.reset();
    storage_.reset();
    game_test::write_file(dir() + "/blocks.dat", c.files.blocks);
    // No state.json until the first checkpoint: the logs alone stand.
    if (c.files.state.empty()) {
      fs::remove(dir() + "/state.json");
    } else {
      game_test::write_file(dir() + "/state.json", c.files.state);
    }
    // The world as its files held it, as a snapshot with no journal.
    game_test::write_file(world_path(), c.files.world);
    fs::remove(dir() + "/" + kJournalFileName);
    // The start: the ledger caught up, the world loaded, the claims settled.
    storage_ = std::make_unique<Storage>(dir());
    state_ = State();
    CatchUpReport report;
    Ledger ledger(*storage_, state_);
    ASSERT_TRUE(ledger.load_and_catch_up(report).ok);
    if (report.replayed_any()) {
      ASSERT_TRUE(ledger.checkpoint().ok);
    }
    engine_ = make_engine();
    const bool was_pending = c.files.world == pending;
    testing::internal::CaptureStdout();
    std::string error;
    ASSERT_TRUE(engine_->settle_pending_claims(*storage_, error)) << error;
    const std::string console = testing::internal::GetCapturedStdout();
    if (was_pending) {
      EXPECT_NE(console.find(c.paid ? ": 1 confermati dal registro dei blocchi, 0 rimborsati"
                                    : ": 0 confermati dal registro dei blocchi, 1 rimborsati"),
                std::string::npos)
          << console;
    } else {
      EXPECT_EQ(console, "");
    }
    // Debited exactly when the log paid.
    EXPECT_EQ(player(kPlayer).coins, c.paid ? 700u : 1'000u);
    EXPECT_NEAR(player(kPlayer).ruz, c.paid ? 7.94 : 5.0, 1e-9);
    EXPECT_EQ(state_.get_balance(kPlayer), c.paid ? 2'940'000u : 0u);
    EXPECT_EQ(state_.get_nonce(kRewardPoolAddress), c.paid ? 1u : 0u);
    // Settled for good: the outcome is on disk, the intent gone.
    EXPECT_TRUE(game_test::lines_tagged(saved_world(), "CLAIM").empty());
    engine_.reset();
    engine_ = make_engine();
    EXPECT_TRUE(Peer::pending_claims(*engine_).empty());
    EXPECT_EQ(player(kPlayer).coins, c.paid ? 700u : 1'000u);
  }
}

TEST_F(GameClaim, ASettlementThatCannotBeSavedKeepsTheIntent) {
  set_player(kPlayer, 1'000, 25.0);
  const std::string intent = "CLAIM|" + std::string(64, 'a') + "|1|" + kPlayer + "|KWH|100|980000";
  engine_.reset();
  // Read twice, the line is still one claim.
  game_test::write_file(world_path(), game_test::read_file(world_path()) + intent + "\n" + intent + "\n");
  engine_ = make_engine();
  block_saves(*engine_);
  std::string error;
  EXPECT_FALSE(engine_->settle_pending_claims(*storage_, error));
  EXPECT_EQ(error, "Impossibile salvare " + world_path() + " dopo aver sistemato i riscatti in sospeso");
  EXPECT_EQ(game_test::lines_tagged(saved_world(), "CLAIM"), (std::vector<std::string>{intent, intent}));
  // Once the disk takes it, the next start refunds the kWh.
  allow_saves(*engine_);
  engine_.reset();
  engine_ = make_engine();
  ASSERT_TRUE(engine_->settle_pending_claims(*storage_, error)) << error;
  EXPECT_NEAR(player(kPlayer).kwh, 125.0, 1e-9);
}

TEST_F(GameClaim, AWorldThatCouldNotBeLoadedLeavesTheLedgerAlone) {
  engine_.reset();
  fs::remove(world_path());
  fs::create_directory(world_path());  // exists, cannot be read as a file
  engine_ = make_engine();
  ASSERT_TRUE(engine_->load_failed());
  const State ledger_before = state_;
  EXPECT_FALSE(claim(kPlayer, "WC"));
  EXPECT_EQ(out_, error_json(kSaveFailedMessage));
  EXPECT_EQ(state_.balances, ledger_before.balances);
  EXPECT_EQ(storage_->get_blocks_cached().size(), 1u);
}

}  // namespace
}  // namespace ZezozuRiziv
