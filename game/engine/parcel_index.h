// Indexes over the engine's parcels, so that the views and actions touch
// the parcels they need instead of walking the whole map: by owner, by hex
// cell, by a coarse latitude/longitude grid, and the lots on the market. They hold pointers into the
// engine's parcel map (whose elements never move) and are kept in step by
// the engine whenever a parcel is stored, removed or changes owner.
// No lock of its own: the engine's game lock guards it.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <deque>
#include <span>
#include <string_view>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "game/model/game_records.h"
#include "game/rules/hex_grid.h"

namespace ZezozuRiziv {

// A list of parcels in key order that holds one parcel without allocating:
// most cells hold one lot.
class ParcelList {
 public:
  void insert(ParcelRecord* parcel);
  void erase(ParcelRecord* parcel);
  // For a bulk load: append() in any order, then sort() once, leaves the
  // list as insert() one by one would.
  void append(ParcelRecord* parcel);
  void sort();
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
  // Files every parcel of `parcels` into an empty index, as add() would
  // one by one. The owner, cell and grid indexes share nothing, so each is
  // built on a thread of its own; returns once all three are done.
  void add_all(ParcelMap& parcels);

  // An empty index built in bulk, part by part, as a load does it: the
  // owner, cell and grid parts touch nothing of one another (nor any field
  // of a lot the others read), so each may run on a thread of its own. Each
  // part files every lot once; once end_owners_in_bulk() has run, the index
  // is as add() one by one would leave it.
  // The owner part: files `parcel` under `owner` and sets parcel.owner to
  // the index's copy of that text, so that an owner's lots share one.
  void add_to_owner_in_bulk(ParcelRecord& parcel, std::string_view owner);
  void end_owners_in_bulk();
  void add_to_cell(ParcelRecord& parcel);  // the cell part
  void add_to_grid(ParcelRecord& parcel);  // the grid part

  // The parcels of `owner` (none for the empty owner), in key order.
  // The views stay valid until the index changes.
  ParcelSpan owned_by(std::string_view owner) const;
  // The parcels whose centre lies in `cell`, in key order.
  ParcelSpan in_hex_cell(HexCell cell) const;

  // Calls visit(parcel) for every parcel with lat_min <= lat <= lat_max
  // and lon_min <= lon <= lon_max until visit returns false, square by
  // square, in no fixed order across squares. Nothing lies in a rectangle
  // with a minimum above its maximum (or not a number). Cost: the occupied
  // squares the rectangle covers, and the occupied coarser nodes it
  // touches (see occupied_nodes_).
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
  void visit_district(std::string_view owner, HexCell start, Visit visit) const;

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

  std::unordered_map<SharedText, ParcelList, SharedTextHash, std::equal_to<>> by_owner_;
  std::unordered_map<HexCell, ParcelList, HexCellHash> by_cell_;
  std::unordered_map<uint64_t, std::vector<ParcelRecord*>> by_square_;
  // Coarser squares above the grid: a node of level k covers 4^k x 4^k grid
  // squares, and the top level covers every square number in at most 2 x 2
  // nodes (|square| <= kMaxSquare < 2^30). Each level counts, per node, its
  // occupied grid squares; a rectangle descends only into occupied nodes it
  // touches, so its cost follows the occupied squares it covers, not the
  // size of the world nor the size of the rectangle.
  static constexpr int kLevelShift = 2;
  static constexpr int kLevels = 15;
  std::array<std::unordered_map<uint64_t, uint32_t>, kLevels> occupied_nodes_;

  // The grid squares of a rectangle, bounds included.
  struct SquareRect {
    int64_t lat_lo;
    int64_t lat_hi;
    int64_t lon_lo;
    int64_t lon_hi;
  };
  // The owner part of add(); add_to_cell touches by_cell_ only, and
  // add_to_grid by_square_ and occupied_nodes_.
  void add_to_owner(ParcelRecord& parcel);  // by_owner_, on_market_
  void file_square(int64_t lat_square, int64_t lon_square, bool occupied);
  template <typename Visit>
  bool visit_node(int level, int64_t lat_node, int64_t lon_node, const SquareRect& squares, double lat_min,
                  double lat_max, double lon_min, double lon_max, Visit& visit) const;
  std::unordered_set<ParcelRecord*> on_market_;
};

template <typename Visit>
void ParcelIndex::visit_district(std::string_view owner, HexCell start, Visit visit) const {
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
bool ParcelIndex::visit_node(int level, int64_t lat_node, int64_t lon_node, const SquareRect& squares,
                             double lat_min, double lat_max, double lon_min, double lon_max, Visit& visit) const {
  if (level == 0) {
    const auto it = by_square_.find(grid_key(lat_node, lon_node));
    if (it == by_square_.end()) return true;
    for (ParcelRecord* p : it->second) {
      if (p->lat >= lat_min && p->lat <= lat_max && p->lon >= lon_min && p->lon <= lon_max) {
        if (!visit(*p)) return false;
      }
    }
    return true;
  }
  if (occupied_nodes_[level - 1].count(grid_key(lat_node, lon_node)) == 0) return true;
  // The children in the rectangle, in (lat, lon) order.
  const int shift = kLevelShift * (level - 1);
  const int64_t first = int64_t{1} << kLevelShift;
  const int64_t lat_from = std::max(lat_node * first, squares.lat_lo >> shift);
  const int64_t lat_to = std::min(lat_node * first + first - 1, squares.lat_hi >> shift);
  const int64_t lon_from = std::max(lon_node * first, squares.lon_lo >> shift);
  const int64_t lon_to = std::min(lon_node * first + first - 1, squares.lon_hi >> shift);
  for (int64_t a = lat_from; a <= lat_to; ++a) {
    for (int64_t o = lon_from; o <= lon_to; ++o) {
      if (!visit_node(level - 1, a, o, squares, lat_min, lat_max, lon_min, lon_max, visit)) return false;
    }
  }
  return true;
}

template <typename Visit>
void ParcelIndex::visit_rect(double lat_min, double lat_max, double lon_min, double lon_max,
                             Visit visit) const {
  if (!(lat_min <= lat_max) || !(lon_min <= lon_max)) return;
  const SquareRect squares{square_of(lat_min), square_of(lat_max), square_of(lon_min), square_of(lon_max)};
  const int top = kLevelShift * kLevels;
  for (int64_t a = squares.lat_lo >> top; a <= squares.lat_hi >> top; ++a) {
    for (int64_t o = squares.lon_lo >> top; o <= squares.lon_hi >> top; ++o) {
      if (!visit_node(kLevels, a, o, squares, lat_min, lat_max, lon_min, lon_max, visit)) return;
    }
  }
}

}  // namespace ZezozuRiziv
