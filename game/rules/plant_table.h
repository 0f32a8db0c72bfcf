// The plant table: for each of the four plant types and each level 1..100,
// the plant's name, power, storage boost, price, yearly output and land.
// Computed once on first use; read-only afterwards, so no lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ZezozuRiziv {

inline constexpr int kMaxPlantLevel = 100;

struct PlantLevelSpec {
  int32_t level = 0;          // 1..100
  std::string name;           // "<base name> - <tier name> (Liv. <level>)"
  double power_kw = 0.0;      // nominal power, one decimal
  double storage_boost = 0.0; // multiplier added by the plant; 0 without one
  uint64_t cost_wc = 0;       // price of building (level 1) or upgrading to this level
  uint64_t yearly_kwh = 0;    // expected yearly output; 0 for storage
  std::string area_label;     // the land the level needs, as players see it
};

// The row for `type` ("solar", "wind", "storage" or "hydrogen", exact
// case) at `level`, or null for another type or a level outside 1..100.
// The pointer stays valid for the life of the process.
const PlantLevelSpec* get_plant_spec(std::string_view type, int level);

}  // namespace ZezozuRiziv
