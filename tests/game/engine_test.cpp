#include "game/engine/game_engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <regex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "crypto/crypto_keys.h"
#include "crypto/sha256.h"
#include "crypto/text.h"
#include "game/model/game_records.h"
#include "game_test_support.h"

namespace fs = std::filesystem;

namespace ZezozuRiziv {

namespace {

PlayerProfile& locked_get_or_create(GameEngine& engine, const std::string& key) {
  PlayerProfile* p = nullptr;
  GameEngineTestPeer::with_lock(engine, [&](GameEngine& e) { p = &GameEngineTestPeer::get_or_create(e, key); });
  return *p;
}

void add_parcel(GameEngine& engine, const ParcelRecord& parcel) {
  GameEngineTestPeer::with_lock(engine, [&](GameEngine& e) { GameEngineTestPeer::put_parcel(e, parcel); });
}

// A fresh directory path under the system temporary directory, removed at
// the end of each test. The directory itself is not created: some tests
// check that the engine creates it.
class GameEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    root_ = fs::temp_directory_path() /
            ("rozeve_game_engine_" + std::to_string(rd()) + "_" + std::to_string(rd()));
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  std::string dir(const std::string& sub = "data") const { return (root_ / sub).string(); }

  fs::path root_;
};

uint64_t system_clock_ms() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

// Slack for "close to now": generous enough for a loaded sanitizer run.
constexpr uint64_t kClockSlackMs = 5'000;

TEST_F(GameEngineTest, NowMsFollowsTheSystemClockByDefault) {
  GameEngine engine(dir());
  const uint64_t before = system_clock_ms();
  const uint64_t now = engine.now_ms();
  const uint64_t after = system_clock_ms();
  EXPECT_GE(now + kClockSlackMs, before);
  EXPECT_LE(now, after + kClockSlackMs);
  // Milliseconds, not seconds or microseconds: after 2020-01-01 and before 2100.
  EXPECT_GT(now, 1'577'836'800'000ULL);
  EXPECT_LT(now, 4'102'444'800'000ULL);
}

struct NormalizeCase {
  const char* name;
  std::string input;
  std::string expected;
};

TEST_F(GameEngineTest, NormalizeAddrLowerCasesAsciiCapitalsOnly) {
  // A native address names its ledger account only as written.
  const std::string kNative = RozeveCrypto::CryptoKeys::private_key_to_address(std::string(64, '3'));
  ASSERT_TRUE(RozeveCrypto::CryptoKeys::is_valid_address(kNative));
  const std::string kWrongDigit = kNative.back() == '0' ? "1" : "0";
  using RozeveCrypto::ascii_lower;
  const std::vector<NormalizeCase> cases = {
      {"upper-case hex", "0xABCDEF0123456789ABCDEF0123456789ABCDEF01",
       "0xabcdef0123456789abcdef0123456789abcdef01"},
      {"mixed-case checksum form", "0x5aAeb6053F3E94C9b9A09f33669435E7Ef1BeAed",
       "0x5aaeb6053f3e94c9b9a09f33669435e7ef1beaed"},
      {"already lower", "0xdeadbeef", "0xdeadbeef"},
      {"other ASCII capitals", "RUZ-Player_XYZ", "ruz-player_xyz"},
      {"the capital 0X prefix", "0XAB", "0xab"},
      {"neighbours of A and Z stay", "@AZ[`az{", "@az[`az{"},
      {"leading and trailing blanks kept", " 0xAB ", " 0xab "},
      {"tabs and line feeds kept", "\t0xAB\n", "\t0xab\n"},
      {"UTF-8 capitals unchanged", "\xC3\x80\xC3\x89Z", "\xC3\x80\xC3\x89z"},
      {"high bytes unchanged", std::string("\xFF\xC1\x80", 3), std::string("\xFF\xC1\x80", 3)},
      {"embedded NUL kept", std::string("A\0B", 3), std::string("a\0b", 3)},
      {"a lone blank is not empty", " ", " "},
      {"a valid native address as written", kNative, kNative},
      {"a native address lower-cased is no address", ascii_lower(kNative), ascii_lower(kNative)},
      {"a native address with a wrong checksum", kNative.substr(0, 42) + kWrongDigit,
       ascii_lower(kNative.substr(0, 42) + kWrongDigit)},
      {"a native address with a blank around it", kNative + " ", ascii_lower(kNative + " ")},
  };
  GameEngine engine(dir());
  for (const NormalizeCase& c : cases) {
    EXPECT_EQ(engine.normalize_addr(c.input), c.expected) << c.name;
  }
}

TEST_F(GameEngineTest, EmptyAddressBecomesTheDefaultPlayer) {
  GameEngine engine(dir());
  const std::string def = engine.normalize_addr("");
  EXPECT_EQ(def, kDefaultPlayerAddress);
  EXPECT_TRUE(std::regex_match(def, std::regex("^0x[0-9a-f]{40}$"))) << def;
  // Normalising it again keeps it, so it names one player either way.
  EXPECT_EQ(engine.normalize_addr(def), def);
}

TEST_F(GameEngineTest, GetOrCreateReturnsTheSameProfile) {
  GameEngine engine(dir());
  PlayerProfile& first = locked_get_or_create(engine, "0xaa");
  first.coins = 1234;
  PlayerProfile& again = locked_get_or_create(engine, "0xaa");
  EXPECT_EQ(&first, &again);
  EXPECT_EQ(again.coins, 1234u);
  const uint64_t players1 = engine.get_total_players_count();

  // Keys compare byte for byte: the engine does not normalise them itself.
  PlayerProfile& other = locked_get_or_create(engine, "0xAA");
  EXPECT_NE(&first, &other);
  EXPECT_EQ(other.coins, 300u);
  EXPECT_EQ(engine.get_total_players_count(), players1 + 1);
}

TEST_F(GameEngineTest, NewPlayerStartsWithTheWelcomeDefaults) {
  GameEngine engine(dir());
  const uint64_t before = system_clock_ms();
  const PlayerProfile& p = locked_get_or_create(engine, "0xbeef");
  const uint64_t after = system_clock_ms();

  EXPECT_EQ(p.address, "0xbeef");
  EXPECT_EQ(p.coins, 300u);
  EXPECT_DOUBLE_EQ(p.kwh, 25.0);
  EXPECT_DOUBLE_EQ(p.ruz, 5.0);
  EXPECT_DOUBLE_EQ(p.power_kw, 0.0);
  EXPECT_DOUBLE_EQ(p.storage_boost, 1.0);
  EXPECT_EQ(p.parcels_count, 0u);
  EXPECT_DOUBLE_EQ(p.all_time_kwh, 25.0);
  EXPECT_DOUBLE_EQ(p.today_kwh, 0.0);
  EXPECT_DOUBLE_EQ(p.last_month_kwh, 0.0);
  EXPECT_EQ(p.cer_role, "member");
  EXPECT_TRUE(p.cer_id.empty());
  EXPECT_EQ(p.ad_type, "wc");
  EXPECT_TRUE(p.ad_token.empty());
  EXPECT_EQ(p.ad_quartile_mask, 0u);
  EXPECT_EQ(p.boost_10x_until_ms, 0u);
  EXPECT_TRUE(p.answered_this_week.empty());
  EXPECT_EQ(p.last_gps_ms, 0u);
  EXPECT_GE(p.last_sync_ms + kClockSlackMs, before);
  EXPECT_LE(p.last_sync_ms, after + kClockSlackMs);
}

TEST(GameRecords, DefaultConstructedPlayerLeavesSyncAtZero) {
  const PlayerProfile p;
  EXPECT_EQ(p.last_sync_ms, 0u);
  EXPECT_TRUE(p.address.empty());
  EXPECT_EQ(p.coins, 300u);
  EXPECT_DOUBLE_EQ(p.kwh, 25.0);
  EXPECT_DOUBLE_EQ(p.ruz, 5.0);
  EXPECT_DOUBLE_EQ(p.storage_boost, 1.0);
  EXPECT_DOUBLE_EQ(p.all_time_kwh, 25.0);
  EXPECT_EQ(p.ad_type, "wc");
  EXPECT_EQ(p.cer_role, "member");
}

TEST(GameRecords, FreshParcelIsFreeUnlistedAndWithoutAdvert) {
  const ParcelRecord parcel;
  EXPECT_EQ(parcel.sale_currency, "WC");
  EXPECT_EQ(parcel.social_type, "web");
  EXPECT_TRUE(parcel.span_cluster);
  EXPECT_FALSE(parcel.billboard_active);
  EXPECT_FALSE(parcel.for_sale);
  EXPECT_TRUE(parcel.owner.empty());
  EXPECT_TRUE(parcel.plant_type.empty());
  EXPECT_EQ(parcel.plant_level, 0);
  EXPECT_DOUBLE_EQ(parcel.power_kw, 0.0);
  EXPECT_DOUBLE_EQ(parcel.storage_boost, 0.0);
  EXPECT_DOUBLE_EQ(parcel.highest_bid, 0.0);
  EXPECT_EQ(parcel.updated_ms, 0u);
}

TEST(GameRecords, BoostAndAdminDefaults) {
  const ScheduledSuperBoost boost;
  EXPECT_EQ(boost.multiplier, 100u);
  EXPECT_FALSE(boost.cancelled);
  const AdminConfig admin;
  EXPECT_EQ(admin.reserved, 0u);
  EXPECT_EQ(admin.super_boost_until_ms, 0u);
  EXPECT_TRUE(admin.scheduled_boosts.empty());
}

TEST_F(GameEngineTest, CreatesAMissingDataDirectoryWithParents) {
  const std::string nested = dir("a/b/data");
  ASSERT_FALSE(fs::exists(root_));
  GameEngine engine(nested);
  EXPECT_TRUE(fs::is_directory(nested));
  EXPECT_EQ(GameEngineTestPeer::world_file_path(engine), nested + "/game_world.dat");
}

TEST_F(GameEngineTest, ExistingDataDirectoryIsLeftAlone) {
  fs::create_directories(dir());
  { std::ofstream(dir() + "/keep.txt") << "x"; }
  GameEngine engine(dir());
  EXPECT_TRUE(fs::exists(dir() + "/keep.txt"));
}

TEST_F(GameEngineTest, UncreatableDataDirectoryDoesNotThrow) {
  fs::create_directories(root_);
  { std::ofstream((root_ / "file").string()) << "x"; }
  // A directory cannot be made under a regular file.
  const std::string bad = (root_ / "file" / "data").string();
  EXPECT_NO_THROW({
    GameEngine engine(bad);
    // The file cannot exist there: the world is seeded in memory, and the
    // save that fails is only reported.
    EXPECT_FALSE(engine.load_failed());
    EXPECT_EQ(engine.get_total_players_count(), 4u);
  });
}

TEST_F(GameEngineTest, CountsFollowTheMaps) {
  GameEngine engine(dir());
  // The seeded world: four owners and their 19 lots.
  const uint64_t parcels0 = engine.get_total_parcels_count();
  const uint64_t players0 = engine.get_total_players_count();
  EXPECT_EQ(parcels0, 19u);
  EXPECT_EQ(players0, 4u);

  ParcelRecord a;
  a.key = "cell_1";
  ParcelRecord b;
  b.key = "cell_2";
  add_parcel(engine, a);
  add_parcel(engine, b);
  add_parcel(engine, a);  // same key replaces
  locked_get_or_create(engine, "0x01");
  locked_get_or_create(engine, "0x02");
  locked_get_or_create(engine, "0x03");

  EXPECT_EQ(engine.get_total_parcels_count(), parcels0 + 2);
  EXPECT_EQ(engine.get_total_players_count(), players0 + 3);
}

TEST_F(GameEngineTest, CountsWaitForAWriter) {
  GameEngine engine(dir());
  std::unique_lock writer(GameEngineTestPeer::game_lock(engine));
  std::atomic<bool> done{false};
  std::thread reader([&] {
    engine.get_total_players_count();
    engine.get_total_parcels_count();
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(done.load());
  writer.unlock();
  reader.join();
  EXPECT_TRUE(done.load());
}

TEST_F(GameEngineTest, AdminPasswordHashComesFromTheMasterPassword) {
  GameEngine engine(dir());
  const std::string hash = GameEngineTestPeer::admin(engine).admin_password_hash;
  EXPECT_TRUE(std::regex_match(hash, std::regex("^[0-9a-f]{64}$"))) << hash;
  // The node's own password, kept in its data directory.
  std::ifstream in(fs::path(dir()) / kMasterPasswordFileName);
  std::string password;
  ASSERT_TRUE(std::getline(in, password));
  ASSERT_EQ(password.size(), 22u);
  EXPECT_EQ(hash, RozeveCrypto::SHA256::hash_string(password));
  EXPECT_EQ(GameEngineTestPeer::admin(engine).reserved, 0u);
}

}  // namespace
}  // namespace ZezozuRiziv
