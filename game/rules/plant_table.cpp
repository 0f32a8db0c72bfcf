#include "game/rules/plant_table.h"

#include <array>
#include <cmath>
#include <map>
#include <vector>

namespace ZezozuRiziv {

namespace {

struct BaseRow {
  const char* type;
  const char* base_name;
  double power_factor;    // a
  double boost_per_level; // b
  uint64_t price_per_level;  // c
  double yearly_hours;    // d: hours at full power per year
};

constexpr std::array<BaseRow, 4> kBaseRows = {{
    {"solar", "Centrale Fotovoltaica TOPCon", 6.0, 0.0, 60, 1400},
    {"wind", "Parco Aerogeneratori Smart-Wind", 4.0, 0.0, 80, 1800},
    {"storage", "Stazione Accumulo BESS LFP", 5.0, 0.15, 90, 0},
    {"hydrogen", "Reattore Idrogeno Verde PEM", 8.0, 0.0, 130, 7000},
}};

const char* tier_name(int level) {
  if (level == 1) return "Micro-Impianto Singola Cella";
  if (level == 2) return "Impianto Binato Distrettuale";
  if (level == 3) return "Polo Energetico di Quartiere";
  if (level == 4) return "Centrale Zonale Integrata";
  if (level == 5) return "Distretto Industriale Smart-Grid";
  if (level <= 10) return "Hub Energetico Metropolitano";
  if (level <= 20) return "Mega-Parco Regionale Alta Tensione";
  if (level <= 40) return "Giga-Polo Nazionale Sincrono";
  if (level <= 70) return "Tera-Grid Continentale";
  return "Peta-Hub Planetario Kardashev";
}

PlantLevelSpec make_row(const BaseRow& base, int level) {
  PlantLevelSpec spec;
  spec.level = level;
  const double l = level;
  // std::round takes halves away from zero.
  spec.power_kw = std::round((1.0 + 0.08 * (l - 1.0)) * l * base.power_factor * 10.0) / 10.0;
  spec.storage_boost = base.boost_per_level > 0.0 ? l * base.boost_per_level : 0.0;
  const uint64_t above_one = static_cast<uint64_t>(level - 1);
  spec.cost_wc = base.price_per_level * static_cast<uint64_t>(level) + 20 * above_one * above_one;
  spec.yearly_kwh =
      base.yearly_hours > 0.0 ? static_cast<uint64_t>(std::round(base.yearly_hours * spec.power_kw)) : 0;
  spec.area_label = level == 1 ? std::string("1 Lotto (100 m2)")
                               : std::to_string(level) + " Lotti Contigui (" +
                                     std::to_string(100 * level) + " m2)";
  spec.name = std::string(base.base_name) + " - " + tier_name(level) + " (Liv. " +
              std::to_string(level) + ")";
  return spec;
}

using PlantTable = std::map<std::string, std::vector<PlantLevelSpec>, std::less<>>;

PlantTable build_table() {
  PlantTable table;
  for (const BaseRow& base : kBaseRows) {
    std::vector<PlantLevelSpec>& rows = table[base.type];
    rows.reserve(kMaxPlantLevel);
    for (int level = 1; level <= kMaxPlantLevel; ++level) rows.push_back(make_row(base, level));
  }
  return table;
}

}  // namespace

const PlantLevelSpec* get_plant_spec(std::string_view type, int level) {
  // Built on the first call; the runtime makes concurrent first calls safe.
  static const PlantTable table = build_table();
  const auto it = table.find(type);
  if (it == table.end() || level < 1 || level > static_cast<int>(it->second.size())) return nullptr;
  return &it->second[static_cast<size_t>(level - 1)];
}

}  // namespace ZezozuRiziv
