#include "game/engine/parcel_index.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>
#include <string>
#include <unordered_map>

#include "game/rules/hex_grid.h"

namespace ZezozuRiziv {
namespace {

// A random world of lots clustered around a few towns, indexed and walked.
class GameParcelIndex : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937_64 rng(20260501);
    std::uniform_int_distribution<int> town(0, 3);
    std::normal_distribution<double> spread(0.0, 0.002);
    std::uniform_int_distribution<int> owner(0, 30);
    std::uniform_int_distribution<int> level(0, 5);
    const double towns[4][2] = {{45.4642, 9.19}, {41.9027, 12.4963}, {0.0005, -0.0005}, {-33.9, 151.2}};
    for (int i = 0; i < 5000; ++i) {
      ParcelRecord p;
      p.key = "lot" + std::to_string(i);
      const int t = town(rng);
      // Snap some to one another, so that cells hold several lots.
      p.lat = towns[t][0] + std::round(spread(rng) / 2e-5) * 2e-5;
      p.lon = towns[t][1] + std::round(spread(rng) / 2e-5) * 2e-5;
      p.owner = owner(rng) == 0 ? "" : "0xp" + std::to_string(owner(rng));
      p.plant_level = level(rng);
      p.power_kw = p.plant_level * 6.3;
      parcels.emplace(p.key, p);
    }
    for (auto& [key, p] : parcels) index.add(p);
  }

  std::set<std::string> walk_rect(double a, double b, double c, double d) {
    std::set<std::string> out;
    for (auto& [key, p] : parcels) {
      if (p.lat >= a && p.lat <= b && p.lon >= c && p.lon <= d) out.insert(key.str());
    }
    return out;
  }
  std::set<std::string> index_rect(double a, double b, double c, double d) {
    std::set<std::string> out;
    index.visit_rect(a, b, c, d, [&](ParcelRecord& p) {
      EXPECT_TRUE(out.insert(p.key.str()).second) << "visited twice: " << p.key;
      return true;
    });
    return out;
  }

  ParcelMap parcels;
  ParcelIndex index;
};

TEST_F(GameParcelIndex, RectanglesHoldTheSameLotsAsTheWalk) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> jitter(-0.004, 0.004);
  std::uniform_real_distribution<double> size(0.0, 0.006);
  for (int i = 0; i < 200; ++i) {
    const double lat = (i % 2 ? 45.4642 : 0.0) + jitter(rng);
    const double lon = (i % 2 ? 9.19 : 0.0) + jitter(rng);
    const double h = size(rng);
    const double w = size(rng);
    EXPECT_EQ(index_rect(lat, lat + h, lon, lon + w), walk_rect(lat, lat + h, lon, lon + w)) << i;
  }
  EXPECT_EQ(index_rect(-90, 90, -180, 180).size(), parcels.size());
  EXPECT_EQ(index_rect(-1e300, 1e300, -INFINITY, INFINITY).size(), parcels.size());
  EXPECT_TRUE(index_rect(1, 0, -180, 180).empty());
  // Exactly on a lot's coordinates: bounds are included.
  const ParcelRecord& any = parcels.begin()->second;
  EXPECT_EQ(index_rect(any.lat, any.lat, any.lon, any.lon), walk_rect(any.lat, any.lat, any.lon, any.lon));
}

// Rectangles much wider than the occupied squares, over towns, beside them
// and over empty sea.
TEST_F(GameParcelIndex, WideRectanglesHoldTheSameLots) {
  std::mt19937_64 rng(19);
  std::uniform_real_distribution<double> corner(-40.0, 50.0);
  std::uniform_real_distribution<double> size(0.0, 60.0);
  for (int i = 0; i < 200; ++i) {
    const double lat = corner(rng);
    const double lon = corner(rng) + 60.0 * (i % 3);
    const double h = size(rng);
    const double w = i % 2 ? size(rng) : 0.001;  // tall and thin, or wide
    EXPECT_EQ(index_rect(lat, lat + h, lon, lon + w), walk_rect(lat, lat + h, lon, lon + w)) << i;
  }
  // Open sea beside Milan, on the same rows as its lots.
  EXPECT_TRUE(index_rect(45.0, 46.0, 0.0, 9.0).empty());
  EXPECT_EQ(index_rect(45.0, 46.0, 0.0, 9.2), walk_rect(45.0, 46.0, 0.0, 9.2));

  // Lots removed and put back are found again, and the emptied places not.
  for (auto& [key, p] : parcels) {
    if (p.lat > 45.0) index.remove(p);
  }
  EXPECT_TRUE(index_rect(45.0, 46.0, 0.0, 20.0).empty());
  EXPECT_EQ(index_rect(-90, 90, -180, 180).size(), parcels.size() - walk_rect(45.0, 46.0, 0.0, 20.0).size());
  for (auto& [key, p] : parcels) {
    if (p.lat > 45.0) index.add(p);
  }
  EXPECT_EQ(index_rect(45.0, 46.0, 0.0, 20.0), walk_rect(45.0, 46.0, 0.0, 20.0));
}

TEST_F(GameParcelIndex, OwnersCellsAndNeighbourhoodsMatchTheWalk) {
  for (int o = 0; o < 31; ++o) {
    const std::string owner = "0xp" + std::to_string(o);
    std::set<std::string> walked;
    for (auto& [key, p] : parcels) {
      if (p.owner == owner) walked.insert(key.str());
    }
    std::set<std::string> indexed;
    std::string previous;
    for (const ParcelRecord* p : index.owned_by(owner)) {
      indexed.insert(p->key.str());
      EXPECT_LT(previous, p->key);  // key order
      previous = p->key;
    }
    EXPECT_EQ(indexed, walked) << owner;
  }
  EXPECT_TRUE(index.owned_by("").empty());

  // The lookup by a point gives a lot of the best score in that cell.
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> jitter(-0.003, 0.003);
  for (int i = 0; i < 300; ++i) {
    const double lat = 45.4642 + jitter(rng);
    const double lon = 9.19 + jitter(rng);
    const std::string text = std::to_string(lat) + "_" + std::to_string(lon);
    const std::string preferred = i % 3 == 0 ? "0xp" + std::to_string(i % 31) : "";
    const ParcelRecord* walked = find_parcel_by_key_or_hex(parcels, text, preferred);
    double plat = 0;
    double plon = 0;
    ASSERT_TRUE(parse_lat_lon_text(text, plat, plon));
    ParcelLookupBest best(preferred);
    for (ParcelRecord* p : index.in_hex_cell(hex_cell_of(plat, plon))) best.offer(*p);
    if (walked == nullptr) {
      EXPECT_EQ(best.best(), nullptr) << text;
      continue;
    }
    ASSERT_NE(best.best(), nullptr) << text;
    EXPECT_EQ(parcel_lookup_score(*best.best(), preferred), parcel_lookup_score(*walked, preferred));
    EXPECT_EQ(hex_cell_of(best.best()->lat, best.best()->lon), hex_cell_of(walked->lat, walked->lon));

    // Occupancy: some lot within the strict distances exactly when the walk finds one.
    bool near = false;
    for (auto& [key, p] : parcels) near = near || (std::fabs(p.lat - lat) < 5.5e-5 && std::fabs(p.lon - lon) < 6.5e-5);
    const ParcelRecord* found = index.find_near(lat, lon, 5.5e-5, 6.5e-5);
    EXPECT_EQ(found != nullptr, near) << text;
    if (found != nullptr) {
      EXPECT_LT(std::fabs(found->lat - lat), 5.5e-5);
      EXPECT_LT(std::fabs(found->lon - lon), 6.5e-5);
    }
  }
}

TEST(GameParcelList, OneTwoAndBackToOne) {
  ParcelRecord a;
  a.key = "a";
  ParcelRecord b;
  b.key = "b";
  ParcelRecord c;
  c.key = "c";
  ParcelList list;
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(list.items().empty());
  list.insert(&c);
  ASSERT_EQ(list.items().size(), 1u);
  list.insert(&a);
  list.insert(&b);
  ASSERT_EQ(list.items().size(), 3u);
  EXPECT_EQ(list.items()[0], &a);  // key order
  EXPECT_EQ(list.items()[2], &c);
  list.erase(&a);
  list.erase(&c);
  ASSERT_EQ(list.items().size(), 1u);
  EXPECT_EQ(list.items()[0], &b);
  list.erase(&a);  // not there: nothing happens
  list.erase(&b);
  EXPECT_TRUE(list.empty());
}

TEST_F(GameParcelIndex, RemovingAndReAddingLeavesTheSameLists) {
  ParcelRecord& p = parcels.at("lot42");
  const auto list = [](ParcelSpan span) { return std::vector<ParcelRecord*>(span.begin(), span.end()); };
  const std::vector<ParcelRecord*> owned = list(index.owned_by(p.owner));
  const std::vector<ParcelRecord*> cell = list(index.in_hex_cell(hex_cell_of(p.lat, p.lon)));
  index.remove(p);
  EXPECT_EQ(std::count(index.owned_by(p.owner).begin(), index.owned_by(p.owner).end(), &p), 0);
  EXPECT_TRUE(index_rect(p.lat, p.lat, p.lon, p.lon).count("lot42") == 0);
  index.add(p);
  EXPECT_EQ(list(index.owned_by(p.owner)), owned);
  EXPECT_EQ(list(index.in_hex_cell(hex_cell_of(p.lat, p.lon))), cell);
}

}  // namespace
}  // namespace ZezozuRiziv
