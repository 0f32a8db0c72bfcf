#include "game/engine/parcel_index.h"

#include <algorithm>

#include "platform/parallel.h"

namespace ZezozuRiziv {

namespace {

// Widening of the search rectangle of find_near, so that rounding of the
// bounds never hides a parcel that the exact test accepts.
constexpr double kNearSlackDegrees = 1e-9;

// Owners' lists put in order per thread, at least, at the end of a bulk
// load, and the threads for it at most.
constexpr size_t kMinOwnersPerThread = 20'000;
constexpr size_t kMaxSortThreads = 4;

// Owner and cell lists are kept in key order, so that which of them comes
// first never depends on the history of changes (an undone change leaves
// the lists exactly as they were).
bool key_before(const ParcelRecord* a, const ParcelRecord* b) { return a->key < b->key; }

// Squares have no order to keep: the last element fills the gap.
void erase_unordered(std::vector<ParcelRecord*>& list, ParcelRecord* parcel) {
  const auto it = std::find(list.begin(), list.end(), parcel);
  if (it == list.end()) return;
  *it = list.back();
  list.pop_back();
}

}  // namespace

void ParcelList::insert(ParcelRecord* parcel) {
  append(parcel);
  if (many_.empty()) return;
  // Moved from the end to its place in key order.
  const auto at = std::lower_bound(many_.begin(), many_.end() - 1, parcel, key_before);
  std::rotate(at, many_.end() - 1, many_.end());
}

void ParcelList::append(ParcelRecord* parcel) {
  if (empty()) {
    one_ = parcel;
    return;
  }
  if (many_.empty()) {
    many_.push_back(one_);
    one_ = nullptr;
  }
  many_.push_back(parcel);
}

void ParcelList::sort() { std::sort(many_.begin(), many_.end(), key_before); }

void ParcelList::erase(ParcelRecord* parcel) {
  if (many_.empty()) {
    if (one_ == parcel) one_ = nullptr;
    return;
  }
  const auto it = std::lower_bound(many_.begin(), many_.end(), parcel, key_before);
  if (it != many_.end() && *it == parcel) many_.erase(it);
  if (many_.size() == 1) {
    one_ = many_.front();
    many_.clear();
  }
}

void ParcelIndex::add(ParcelRecord& parcel) {
  add_to_owner(parcel);
  add_to_cell(parcel);
  add_to_grid(parcel);
}

void ParcelIndex::add_to_owner(ParcelRecord& parcel) {
  if (!parcel.owner.empty()) by_owner_[parcel.owner].insert(&parcel);
  if (is_on_market(parcel)) on_market_.insert(&parcel);
}

void ParcelIndex::add_to_owner_in_bulk(ParcelRecord& parcel, std::string_view owner) {
  if (!owner.empty()) {
    auto it = by_owner_.find(owner);
    if (it == by_owner_.end()) it = by_owner_.emplace(SharedText(owner), ParcelList()).first;
    parcel.owner = it->first;
    it->second.append(&parcel);
  } else {
    parcel.owner.clear();
  }
  if (is_on_market(parcel)) on_market_.insert(&parcel);
}

void ParcelIndex::end_owners_in_bulk() {
  // An owner's lots were filed in any order: each list is put in key order
  // once, when its few lots are fetched together, the lists shared out
  // among a few threads by hash bucket.
  const size_t threads = std::min(platform::bulk_threads(kMaxSortThreads), by_owner_.size() / kMinOwnersPerThread + 1);
  platform::visit_in_parallel(by_owner_, threads, [](ParcelList& list) { list.sort(); });
}

void ParcelIndex::add_to_cell(ParcelRecord& parcel) { by_cell_[hex_cell_of(parcel.lat, parcel.lon)].insert(&parcel); }

void ParcelIndex::add_to_grid(ParcelRecord& parcel) {
  const int64_t a = square_of(parcel.lat);
  const int64_t o = square_of(parcel.lon);
  std::vector<ParcelRecord*>& square = by_square_[grid_key(a, o)];
  if (square.empty()) file_square(a, o, true);
  square.push_back(&parcel);
}

void ParcelIndex::add_all(ParcelMap& parcels) {
  // The owner, cell and grid indexes share nothing, so each is built on a
  // thread of its own; each ends up as add() one by one would leave it.
  platform::run_in_parallel(3, [&](size_t part) {
    if (part == 0) {
      for (auto& [key, parcel] : parcels) add_to_owner_in_bulk(parcel, parcel.owner);
      end_owners_in_bulk();
    } else if (part == 1) {
      for (auto& [key, parcel] : parcels) add_to_cell(parcel);
    } else {
      for (auto& [key, parcel] : parcels) add_to_grid(parcel);
    }
  });
}

void ParcelIndex::remove(ParcelRecord& parcel) {
  if (!parcel.owner.empty()) {
    const auto it = by_owner_.find(parcel.owner);
    if (it != by_owner_.end()) {
      it->second.erase(&parcel);
      if (it->second.empty()) by_owner_.erase(it);
    }
  }
  const auto cell = by_cell_.find(hex_cell_of(parcel.lat, parcel.lon));
  if (cell != by_cell_.end()) {
    cell->second.erase(&parcel);
    if (cell->second.empty()) by_cell_.erase(cell);
  }
  const int64_t a = square_of(parcel.lat);
  const int64_t o = square_of(parcel.lon);
  const auto square = by_square_.find(grid_key(a, o));
  if (square != by_square_.end()) {
    erase_unordered(square->second, &parcel);
    if (square->second.empty()) {
      by_square_.erase(square);
      file_square(a, o, false);
    }
  }
  on_market_.erase(&parcel);
}

void ParcelIndex::file_square(int64_t lat_square, int64_t lon_square, bool occupied) {
  for (int level = 1; level <= kLevels; ++level) {
    const int shift = kLevelShift * level;
    auto& nodes = occupied_nodes_[level - 1];
    const uint64_t key = grid_key(lat_square >> shift, lon_square >> shift);
    if (occupied) {
      ++nodes[key];
      continue;
    }
    const auto it = nodes.find(key);
    if (it != nodes.end() && --it->second == 0) nodes.erase(it);
  }
}

void ParcelIndex::refile_market(ParcelRecord& parcel) {
  if (is_on_market(parcel)) {
    on_market_.insert(&parcel);
  } else {
    on_market_.erase(&parcel);
  }
}

void ParcelIndex::clear() {
  by_owner_.clear();
  by_cell_.clear();
  by_square_.clear();
  for (auto& level : occupied_nodes_) level.clear();
  on_market_.clear();
}

void ParcelIndex::reserve(size_t parcels, size_t owners) {
  by_owner_.reserve(owners);
  by_cell_.reserve(parcels);
}

ParcelSpan ParcelIndex::owned_by(std::string_view owner) const {
  const auto it = by_owner_.find(owner);
  return it == by_owner_.end() ? ParcelSpan() : it->second.items();
}

ParcelSpan ParcelIndex::in_hex_cell(HexCell cell) const {
  const auto it = by_cell_.find(cell);
  return it == by_cell_.end() ? ParcelSpan() : it->second.items();
}

ParcelRecord* ParcelIndex::find_near(double lat, double lon, double dlat, double dlon) const {
  ParcelRecord* found = nullptr;
  visit_rect(lat - dlat - kNearSlackDegrees, lat + dlat + kNearSlackDegrees, lon - dlon - kNearSlackDegrees,
             lon + dlon + kNearSlackDegrees, [&](ParcelRecord& p) {
               if (std::fabs(p.lat - lat) < dlat && std::fabs(p.lon - lon) < dlon) {
                 found = &p;
                 return false;
               }
               return true;
             });
  return found;
}

}  // namespace ZezozuRiziv
