// Indexes over the engine's parcels, so that the views and actions touch
// the parcels they need instead of walking the whole map: by owner, by hex
// cell, by a coarse latitude/longitude grid, and the lots on the market. They hold pointers into the
// engine's parcel map (whose elements never move) and are kept in step by
// the engine whenever a parcel is stored, removed or changes owner.
// No lock of its own: the engine's game lock guards it.
#pragma once

#include <cmath>
#include <cstdint>
#include <deque>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "game/game_records.h"
#include "game/hex_grid.h"

namespace ZezozuRiziv {

// A list of parcels in key order that holds one parcel without allocating:
// most cells hold one lot.
class ParcelList {
 public:
  void insert(ParcelRecord* parcel);
  void erase(ParcelRecord* parcel);
  bool empty() const { return one_ == nullptr && many_.empty(); }
  std::span<ParcelRecord* const> items() const {
    if (!many_.empty()) return many_;
    return one_ == nullptr ? std::span<ParcelRecord* const>() : std::span<ParcelRecord* const>(&one_, 1);
  }

 private:
  ParcelRecord* one_ = nullptr;       // the only parcel while `many_` is empty
  std::vector<ParcelRecord*> many_;   // every parcel once there are two or more
};

using ParcelSpan = std::span<ParcelRecord* const>;

// A lot is on the market while it is listed or holds a bid or an offer.
inline bool is_on_market(const ParcelRecord& parcel) { return parcel.for_sale || parcel.highest_bid > 0.0; }

class ParcelIndex {
 public:
  // Files `parcel` under its current owner, hex cell and grid square, and
  // among the lots on the market when it is.
  void add(ParcelRecord& parcel);
  // Removes `parcel`, which must have been added with its current owner,
  // lat and lon.
  void remove(ParcelRecord& parcel);
  void clear();
  // Room for `parcels` lots of `owners` owners, before a bulk load.
  void reserve(size_t parcels, size_t owners);

  // The parcels of `owner` (none for the empty owner), in key order.
  // The views stay valid until the index changes.
  ParcelSpan owned_by(const std::string& owner) const;
  // The parcels whose centre lies in `cell`, in key order.
  ParcelSpan in_hex_cell(HexCell cell) const;

  // Calls visit(parcel) for every parcel with lat_min <= lat <= lat_max
  // and lon_min <= lon <= lon_max until visit returns false, square by
  // square in (lat, lon) order. Nothing lies in a rectangle with a minimum
  // above its maximum (or not a number). Cost: the occupied squares inside
  // the rectangle, plus a seek per occupied row of squares it crosses.
  template <typename Visit>
  void visit_rect(double lat_min, double lat_max, double lon_min, double lon_max, Visit visit) const;

  // Some parcel with |lat - p.lat| < dlat and |lon - p.lon| < dlon, or null.
  ParcelRecord* find_near(double lat, double lon, double dlat, double dlon) const;

  // The lots on the market, in no order.
  const std::unordered_set<ParcelRecord*>& on_market() const { return on_market_; }
  // Files or unfiles an added `parcel` among the lots on the market after
  // its for_sale or highest_bid changed.
  void refile_market(ParcelRecord& parcel);

  // The district of `owner` around `start`: calls visit(cell) for `start`,
  // then breadth first for every cell holding a lot of `owner` that touches
  // one already visited, each cell once, until visit returns false.
  template <typename Visit>
  void visit_district(const std::string& owner, HexCell start, Visit visit) const;

 private:
  // Grid squares of this many degrees: a square holds a few thousand lots
  // at most, and a map screen spans a handful of squares.
  static constexpr double kGridDegrees = 0.005;
  // Square numbers are kept within 31 bits so that two fit in one key.
  static constexpr double kMaxSquare = 1'000'000'000.0;

  static int64_t square_of(double degrees) {
    const double s = std::floor(degrees / kGridDegrees);
    return static_cast<int64_t>(std::fmax(-kMaxSquare, std::fmin(kMaxSquare, s)));
  }
  static uint64_t grid_key(int64_t lat_square, int64_t lon_square) {
    return (static_cast<uint64_t>(lat_square) << 32) ^ (static_cast<uint64_t>(lon_square) & 0xFFFFFFFFULL);
  }

  std::unordered_map<std::string, ParcelList> by_owner_;
  std::unordered_map<HexCell, ParcelList, HexCellHash> by_cell_;
  std::unordered_map<uint64_t, std::vector<ParcelRecord*>> by_square_;
  // The occupied squares as (lat square, lon square), in order: a rectangle
  // finds the squares it covers without trying the empty ones.
  std::set<std::pair<int64_t, int64_t>> occupied_squares_;
  std::unordered_set<ParcelRecord*> on_market_;
};

template <typename Visit>
void ParcelIndex::visit_district(const std::string& owner, HexCell start, Visit visit) const {
  const auto holds_owner = [&](HexCell cell) {
    for (const ParcelRecord* p : in_hex_cell(cell)) {
      if (p->owner == owner) return true;
    }
    return false;
  };
  std::unordered_set<HexCell, HexCellHash> seen{start};
  std::deque<HexCell> queue{start};
  if (!visit(start)) return;
  while (!queue.empty()) {
    const HexCell cell = queue.front();
    queue.pop_front();
    for (int d = 0; d < static_cast<int>(kHexDirections.size()); ++d) {
      const HexCell next = hex_neighbour(cell, d);
      if (!seen.insert(next).second || !holds_owner(next)) continue;
      if (!visit(next)) return;
      queue.push_back(next);
    }
  }
}

template <typename Visit>
void ParcelIndex::visit_rect(double lat_min, double lat_max, double lon_min, double lon_max,
                             Visit visit) const {
  if (!(lat_min <= lat_max) || !(lon_min <= lon_max)) return;
  const int64_t lat_lo = square_of(lat_min);
  const int64_t lat_hi = square_of(lat_max);
  const int64_t lon_lo = square_of(lon_min);
  const int64_t lon_hi = square_of(lon_max);

  // Row by row of occupied squares: each row costs one seek to its first
  // square in range, then only the squares in range, so a rectangle over
  // empty land or sea costs next to nothing, whatever the size of the world.
  auto it = occupied_squares_.lower_bound({lat_lo, lon_lo});
  while (it != occupied_squares_.end() && it->first <= lat_hi) {
    const int64_t row = it->first;
    if (it->second < lon_lo) {
      it = occupied_squares_.lower_bound({row, lon_lo});
      continue;
    }
    if (it->second > lon_hi) {
      it = occupied_squares_.lower_bound({row + 1, lon_lo});
      continue;
    }
    for (ParcelRecord* p : by_square_.find(grid_key(row, it->second))->second) {
      if (p->lat >= lat_min && p->lat <= lat_max && p->lon >= lon_min && p->lon <= lon_max) {
        if (!visit(*p)) return;
      }
    }
    ++it;
  }
}

}  // namespace ZezozuRiziv
