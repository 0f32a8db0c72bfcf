#include "game/rules/plant_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ZezozuRiziv {
namespace {

struct RowCase {
  const char* type;
  int level;
  double power_kw;
  double storage_boost;
  uint64_t cost_wc;
  uint64_t yearly_kwh;
};

TEST(GamePlantTable, RowsMatchTheKnownFigures) {
  const std::vector<RowCase> rows = {
      {"solar", 1, 6.0, 0, 60, 8400},         {"wind", 1, 4.0, 0, 80, 7200},
      {"storage", 1, 5.0, 0.15, 90, 0},       {"hydrogen", 1, 8.0, 0, 130, 56000},
      {"solar", 2, 13.0, 0, 140, 18200},      {"wind", 2, 8.6, 0, 180, 15480},
      {"storage", 2, 10.8, 0.30, 200, 0},     {"hydrogen", 2, 17.3, 0, 280, 121100},
      {"solar", 3, 20.9, 0, 260, 29260},      {"wind", 3, 13.9, 0, 320, 25020},
      {"storage", 3, 17.4, 0.45, 350, 0},     {"hydrogen", 3, 27.8, 0, 470, 194600},
      {"solar", 10, 103.2, 0, 2220, 144480},  {"wind", 10, 68.8, 0, 2420, 123840},
      {"storage", 10, 86.0, 1.5, 2520, 0},    {"hydrogen", 10, 137.6, 0, 2920, 963200},
      {"solar", 100, 5352.0, 0, 202020, 7492800}, {"wind", 100, 3568.0, 0, 204020, 6422400},
      {"storage", 100, 4460.0, 15.0, 205020, 0},  {"hydrogen", 100, 7136.0, 0, 209020, 49952000},
  };
  for (const RowCase& row : rows) {
    const PlantLevelSpec* spec = get_plant_spec(row.type, row.level);
    ASSERT_NE(spec, nullptr) << row.type << row.level;
    EXPECT_EQ(spec->level, row.level);
    EXPECT_DOUBLE_EQ(spec->power_kw, row.power_kw) << row.type << row.level;
    EXPECT_NEAR(spec->storage_boost, row.storage_boost, 1e-12) << row.type << row.level;
    EXPECT_EQ(spec->cost_wc, row.cost_wc) << row.type << row.level;
    EXPECT_EQ(spec->yearly_kwh, row.yearly_kwh) << row.type << row.level;
  }
  EXPECT_EQ(get_plant_spec("storage", 3)->storage_boost, 3 * 0.15);
}

TEST(GamePlantTable, NamesAndAreas) {
  const PlantLevelSpec* first = get_plant_spec("solar", 1);
  EXPECT_EQ(first->name, "Centrale Fotovoltaica TOPCon - Micro-Impianto Singola Cella (Liv. 1)");
  EXPECT_EQ(first->area_label, "1 Lotto (100 m2)");
  EXPECT_EQ(get_plant_spec("solar", 5)->area_label, "5 Lotti Contigui (500 m2)");
  EXPECT_EQ(get_plant_spec("hydrogen", 3)->name, "Reattore Idrogeno Verde PEM - Polo Energetico di Quartiere (Liv. 3)");

  const std::vector<std::pair<int, std::string>> tiers = {
      {2, "Impianto Binato Distrettuale"},   {4, "Centrale Zonale Integrata"},
      {5, "Distretto Industriale Smart-Grid"}, {6, "Hub Energetico Metropolitano"},
      {10, "Hub Energetico Metropolitano"},  {11, "Mega-Parco Regionale Alta Tensione"},
      {20, "Mega-Parco Regionale Alta Tensione"}, {21, "Giga-Polo Nazionale Sincrono"},
      {40, "Giga-Polo Nazionale Sincrono"},  {41, "Tera-Grid Continentale"},
      {70, "Tera-Grid Continentale"},        {71, "Peta-Hub Planetario Kardashev"},
      {100, "Peta-Hub Planetario Kardashev"}};
  for (const auto& [level, tier] : tiers) {
    EXPECT_EQ(get_plant_spec("wind", level)->name,
              "Parco Aerogeneratori Smart-Wind - " + tier + " (Liv. " + std::to_string(level) + ")");
  }
}

TEST(GamePlantTable, UnknownTypesAndLevelsHaveNoRow) {
  EXPECT_EQ(get_plant_spec("solar", 0), nullptr);
  EXPECT_EQ(get_plant_spec("solar", 101), nullptr);
  EXPECT_EQ(get_plant_spec("solar", -5), nullptr);
  EXPECT_EQ(get_plant_spec("Solar", 1), nullptr);
  EXPECT_EQ(get_plant_spec("", 1), nullptr);
  EXPECT_EQ(get_plant_spec("solar", 1), get_plant_spec("solar", 1));  // one table for the process
}

}  // namespace
}  // namespace ZezozuRiziv
