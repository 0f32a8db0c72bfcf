// The hexagonal grid laid over latitude and longitude, and the lookup of a
// parcel by its key or by a point of its cell. Pure functions, no lock.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>

#include "game/model/game_records.h"

namespace ZezozuRiziv {

// One cell step in degrees; the whole scale of the grid, the same
// everywhere (no correction for the latitude).
inline constexpr double kHexLatStep = 5.6e-5;
inline constexpr double kHexLonStep = 7.3e-5;

// Axial coordinates of a cell; the third cube coordinate is -q - r.
struct HexCell {
  int64_t q = 0;
  int64_t r = 0;
  bool operator==(const HexCell&) const = default;
};

struct HexCellHash {
  size_t operator()(const HexCell& cell) const {
    return std::hash<uint64_t>()(static_cast<uint64_t>(cell.q) * 0x9E3779B97F4A7C15ULL ^
                                 static_cast<uint64_t>(cell.r));
  }
};

// The six neighbour steps, in this order; two cells touch when one is the
// other plus one of them.
inline constexpr std::array<HexCell, 6> kHexDirections = {
    {{1, 0}, {-1, 0}, {0, 1}, {0, -1}, {1, -1}, {-1, 1}}};

// Writes the cell of the point (lat, lon).
void snap_to_hex_qr(double lat, double lon, long long& q, long long& r);
HexCell hex_cell_of(double lat, double lon);
inline HexCell hex_neighbour(HexCell cell, int direction) {
  return {cell.q + kHexDirections[direction].q, cell.r + kHexDirections[direction].r};
}

// "q_r" in decimal, a minus sign where negative ("-3_7").
std::string hex_cell_key(HexCell cell);

// Reads "<lat>_<lon>": the text before and after the first '_', each by a
// prefix parse. False when there is no '_' or either part holds no finite
// number.
bool parse_lat_lon_text(const std::string& text, double& lat, double& lon);

// Rank of a parcel among those of one cell: plant_level * 100 + the power
// truncated to an integer, plus 100,000 for the preferred owner (a
// non-empty text equal to the owner).
int64_t parcel_lookup_score(const ParcelRecord& parcel, const std::string& preferred_owner);

// Keeps the best-scored of the parcels offered to it; on equal scores the
// first offered stays.
class ParcelLookupBest {
 public:
  explicit ParcelLookupBest(std::string preferred_owner) : preferred_owner_(std::move(preferred_owner)) {}
  void offer(ParcelRecord& parcel) {
    const int64_t score = parcel_lookup_score(parcel, preferred_owner_);
    if (best_ == nullptr || score > best_score_) {
      best_ = &parcel;
      best_score_ = score;
    }
  }
  ParcelRecord* best() const { return best_; }

 private:
  std::string preferred_owner_;
  ParcelRecord* best_ = nullptr;
  int64_t best_score_ = 0;
};

// The parcel stored under `key_or_latlon`; otherwise the best-scored parcel
// (first met wins a tie) in the cell of the point "<lat>_<lon>"; otherwise
// null. Walks the whole map for the cell match.
// REQUIRES: the caller holds the game lock over `parcels` exclusively.
ParcelRecord* find_parcel_by_key_or_hex(ParcelMap& parcels,
                                        const std::string& key_or_latlon,
                                        const std::string& preferred_owner);

// The same lookup, with the parcels of a cell offered by
// `offer_cell(HexCell, ParcelLookupBest&)` (a walk, or an index).
template <typename OfferCell>
ParcelRecord* find_parcel_by_key_or_hex_with(ParcelMap& parcels,
                                             const std::string& key_or_latlon,
                                             const std::string& preferred_owner, OfferCell offer_cell) {
  const auto exact = parcels.find(key_or_latlon);
  if (exact != parcels.end()) return &exact->second;
  double lat = 0.0;
  double lon = 0.0;
  if (!parse_lat_lon_text(key_or_latlon, lat, lon)) return nullptr;
  ParcelLookupBest best(preferred_owner);
  offer_cell(hex_cell_of(lat, lon), best);
  return best.best();
}

}  // namespace ZezozuRiziv
