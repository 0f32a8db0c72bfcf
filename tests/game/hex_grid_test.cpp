#include "game/rules/hex_grid.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "game/model/number_text.h"

namespace ZezozuRiziv {
namespace {

struct CellCase {
  const char* name;
  double lat;
  double lon;
  long long q;
  long long r;
};

TEST(GameHexGrid, PointsSnapToTheirCells) {
  const std::vector<CellCase> cases = {
      {"origin", 0.0, 0.0, 0, 0},
      {"one longitude step east", 0.0, 7.3e-5, 1, 0},
      {"three latitude steps north", 3 * 5.6e-5, 0.0, -1, 2},
      // q = -1/3, r = 2/3, s = -1/3: dq equals ds, so r is rewritten.
      {"tie one latitude step north", 5.6e-5, 0.0, 0, 0},
      {"one longitude step west", 0.0, -7.3e-5, -1, 0},
  };
  for (const CellCase& c : cases) {
    long long q = 99;
    long long r = 99;
    snap_to_hex_qr(c.lat, c.lon, q, r);
    EXPECT_EQ(q, c.q) << c.name;
    EXPECT_EQ(r, c.r) << c.name;
  }
}

TEST(GameHexGrid, PointsBeyondAnyPlaceStillGiveACell) {
  for (const double v : {1e300, -1e300, std::numeric_limits<double>::infinity(),
                         std::numeric_limits<double>::quiet_NaN()}) {
    long long q = 0;
    long long r = 0;
    snap_to_hex_qr(v, v, q, r);  // no crash, no undefined conversion
    SUCCEED();
  }
}

TEST(GameHexGrid, NeighboursAndCellKeys) {
  const HexCell c{-3, 7};
  EXPECT_EQ(hex_cell_key(c), "-3_7");
  const std::vector<HexCell> expected = {{-2, 7}, {-4, 7}, {-3, 8}, {-3, 6}, {-2, 6}, {-4, 8}};
  for (int d = 0; d < 6; ++d) EXPECT_EQ(hex_neighbour(c, d), expected[static_cast<size_t>(d)]) << d;
}

TEST(GameHexGrid, LatLonTextIsReadByPrefix) {
  double lat = 0;
  double lon = 0;
  ASSERT_TRUE(parse_lat_lon_text("45.1_9.2x", lat, lon));
  EXPECT_DOUBLE_EQ(lat, 45.1);
  EXPECT_DOUBLE_EQ(lon, 9.2);
  ASSERT_TRUE(parse_lat_lon_text("  -1.5_+2e-3", lat, lon));
  EXPECT_DOUBLE_EQ(lat, -1.5);
  EXPECT_DOUBLE_EQ(lon, 0.002);
  for (const char* bad : {"45.1", "abc_9.0", "45.0_", "1e999_1", "nan_1", "1_inf", "_"}) {
    EXPECT_FALSE(parse_lat_lon_text(bad, lat, lon)) << bad;
  }
}

ParcelRecord lot(const std::string& key, double lat, double lon, const std::string& owner, int level,
                 double power) {
  ParcelRecord p;
  p.key = key;
  p.lat = lat;
  p.lon = lon;
  p.owner = owner;
  p.plant_level = level;
  p.power_kw = power;
  return p;
}

TEST(GameHexGrid, LookupPrefersExactKeyThenOwnerThenScore) {
  ParcelMap parcels;
  // Three lots in the cell of (45, 9), one far away.
  parcels["a"] = lot("a", 45.0, 9.0, "0xother", 100, 5352.0);
  parcels["b"] = lot("b", 45.0 + 1e-6, 9.0, "0xme", 1, 6.0);
  parcels["c"] = lot("c", 45.0, 9.0 + 1e-6, "0xthird", 3, 20.9);
  parcels["45.0_9.0"] = lot("45.0_9.0", 10.0, 10.0, "0xfar", 0, 0.0);

  // The exact key wins over any cell match, whoever owns it.
  EXPECT_EQ(find_parcel_by_key_or_hex(parcels, "45.0_9.0", "0xme")->key, "45.0_9.0");
  // The preferred owner's lot beats a level-100 lot of another owner.
  EXPECT_EQ(find_parcel_by_key_or_hex(parcels, "45.0_9.00000001", "0xme")->key, "b");
  // Without a preferred owner the highest level * 100 + power wins.
  EXPECT_EQ(find_parcel_by_key_or_hex(parcels, "45.0_9.00000001", "")->key, "a");
  EXPECT_EQ(parcel_lookup_score(parcels["c"], ""), 320);
  EXPECT_EQ(parcel_lookup_score(parcels["b"], "0xme"), 100'106);

  EXPECT_EQ(find_parcel_by_key_or_hex(parcels, "nokey", ""), nullptr);
  EXPECT_EQ(find_parcel_by_key_or_hex(parcels, "abc_9.0", ""), nullptr);
  EXPECT_EQ(find_parcel_by_key_or_hex(parcels, "10.5_20.5", ""), nullptr);  // an empty cell
  ParcelMap none;
  EXPECT_EQ(find_parcel_by_key_or_hex(none, "45.0_9.0", ""), nullptr);
}

TEST(GameHexGrid, EqualScoresKeepTheFirstOffered) {
  ParcelRecord x = lot("x", 0, 0, "", 1, 6.0);
  ParcelRecord y = lot("y", 0, 0, "", 1, 6.9);  // truncated: the same score
  ParcelLookupBest best("");
  best.offer(x);
  best.offer(y);
  EXPECT_EQ(best.best(), &x);
}

TEST(GameNumberText, PrefixReadersFollowTheCLibraryButRefuseWhatCannotBeStored) {
  uint64_t u = 0;
  EXPECT_TRUE(read_u64_prefix(" 42", u));
  EXPECT_EQ(u, 42u);
  EXPECT_TRUE(read_u64_prefix("+7\r", u));  // a CR left by a CRLF file
  EXPECT_EQ(u, 7u);
  EXPECT_TRUE(read_u64_prefix("18446744073709551615", u));
  EXPECT_EQ(u, 18446744073709551615ULL);
  for (const char* bad : {"-5", "", "x1", "18446744073709551616", "+-1", " "}) {
    EXPECT_FALSE(read_u64_prefix(bad, u)) << bad;
  }
  uint32_t m = 0;
  EXPECT_TRUE(read_u32_prefix("4294967295", m));
  EXPECT_FALSE(read_u32_prefix("4294967296", m));
  int32_t i = 0;
  EXPECT_TRUE(read_i32_prefix("-2147483648", i));
  EXPECT_EQ(i, -2147483647 - 1);
  EXPECT_FALSE(read_i32_prefix("2147483648", i));
  double d = 0;
  EXPECT_TRUE(read_double_prefix("25.000000", d));
  EXPECT_DOUBLE_EQ(d, 25.0);
  EXPECT_TRUE(read_double_prefix("-1.5e2abc", d));
  EXPECT_DOUBLE_EQ(d, -150.0);
  for (const char* bad : {"nan", "inf", "-inf", "1e400", "", "abc"}) EXPECT_FALSE(read_double_prefix(bad, d)) << bad;
}

}  // namespace
}  // namespace ZezozuRiziv
