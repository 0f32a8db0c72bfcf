#include "game/rules/hex_grid.h"

#include <cmath>

#include "game/model/number_text.h"

namespace ZezozuRiziv {

namespace {

// Fractional coordinates beyond this cannot be rounded into a 64-bit cell;
// no real place comes near it (the poles are 1.6 million steps away).
constexpr double kMaxAxial = 1e15;

constexpr int64_t kLevelWeight = 100;
constexpr int64_t kPreferredOwnerBonus = 100'000;

double bounded(double v) {
  if (!std::isfinite(v)) return 0.0;
  return std::fmax(-kMaxAxial, std::fmin(kMaxAxial, v));
}

}  // namespace

void snap_to_hex_qr(double lat, double lon, long long& q, long long& r) {
  const double y = lat / kHexLatStep;
  const double x = lon / kHexLonStep;
  const double fq = bounded(x * (std::sqrt(3.0) / 3.0) - y / 3.0);
  const double fr = bounded((2.0 / 3.0) * y);
  const double fs = -fq - fr;

  const double rq = std::round(fq);
  const double rr = std::round(fr);
  const double rs = std::round(fs);
  const double dq = std::fabs(rq - fq);
  const double dr = std::fabs(rr - fr);
  const double ds = std::fabs(rs - fs);

  // Strict comparisons: on equal differences the later branch wins.
  if (dq > ds && dq > dr) {
    q = static_cast<long long>(-rs - rr);
    r = static_cast<long long>(rr);
  } else if (ds > dr) {
    q = static_cast<long long>(rq);
    r = static_cast<long long>(rr);
  } else {
    q = static_cast<long long>(rq);
    r = static_cast<long long>(-rq - rs);
  }
}

HexCell hex_cell_of(double lat, double lon) {
  long long q = 0;
  long long r = 0;
  snap_to_hex_qr(lat, lon, q, r);
  return {q, r};
}

std::string hex_cell_key(HexCell cell) {
  return std::to_string(cell.q) + "_" + std::to_string(cell.r);
}

bool parse_lat_lon_text(const std::string& text, double& lat, double& lon) {
  const size_t sep = text.find('_');
  if (sep == std::string::npos) return false;
  const std::string_view view(text);
  return read_double_prefix(view.substr(0, sep), lat) && read_double_prefix(view.substr(sep + 1), lon);
}

int64_t parcel_lookup_score(const ParcelRecord& parcel, const std::string& preferred_owner) {
  // The power is truncated toward zero; a stored power past the range of
  // 64-bit integers cannot happen for a plant of level 100 or less.
  const double power = std::isfinite(parcel.power_kw) ? std::trunc(parcel.power_kw) : 0.0;
  int64_t score = static_cast<int64_t>(parcel.plant_level) * kLevelWeight +
                  static_cast<int64_t>(std::fmax(-1e15, std::fmin(1e15, power)));
  if (!preferred_owner.empty() && preferred_owner == parcel.owner) score += kPreferredOwnerBonus;
  return score;
}

ParcelRecord* find_parcel_by_key_or_hex(ParcelMap& parcels,
                                        const std::string& key_or_latlon,
                                        const std::string& preferred_owner) {
  return find_parcel_by_key_or_hex_with(parcels, key_or_latlon, preferred_owner,
                                        [&](HexCell cell, ParcelLookupBest& best) {
                                          for (auto& [key, parcel] : parcels) {
                                            if (hex_cell_of(parcel.lat, parcel.lon) == cell) best.offer(parcel);
                                          }
                                        });
}

}  // namespace ZezozuRiziv
