#pragma once

// The Earth as norvel measures it for users: the same sphere and the same
// great-circle distance as norvel/_earth.py (tests/engine and
// tests/norvel/test_earth.py check both against one table). The route
// search's heuristic keeps a sphere of its own (graph/heuristic.hpp).

#include <algorithm>
#include <cmath>
#include <numbers>

namespace norvel::earth {

// Mean Earth radius (IUGG), in metres.
inline constexpr double kMeanRadiusM = 6371008.8;

// Great-circle distance in metres between two points given in degrees, by
// the haversine formula, operation for operation as norvel._earth.haversine_m.
inline double haversine_m(double lat1, double lon1, double lat2, double lon2) {
  constexpr double kRadians = std::numbers::pi / 180.0;
  const double phi1 = lat1 * kRadians;
  const double phi2 = lat2 * kRadians;
  const double sin_half_dphi = std::sin((lat2 - lat1) * kRadians / 2.0);
  const double sin_half_dlambda = std::sin((lon2 - lon1) * kRadians / 2.0);
  const double a = sin_half_dphi * sin_half_dphi +
                   std::cos(phi1) * std::cos(phi2) * (sin_half_dlambda * sin_half_dlambda);
  // a can exceed 1 by a rounding error for antipodal points.
  return 2.0 * kMeanRadiusM * std::asin(std::sqrt(std::min(1.0, a)));
}

}  // namespace norvel::earth
