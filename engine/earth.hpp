#pragma once

#include <algorithm>
#include <cmath>
#include <numbers>

namespace norvel::engine {

// Mean Earth radius (IUGG), in metres: the one norvel measures with, here
// and in norvel/_earth.py (a test holds the two to each other).
inline constexpr double kEarthRadiusM = 6371008.8;

// Great-circle distance in metres between two points in degrees (haversine).
inline double haversine_m(double lat1, double lon1, double lat2, double lon2) {
  constexpr double kRadians = std::numbers::pi / 180.0;
  const double phi1 = lat1 * kRadians;
  const double phi2 = lat2 * kRadians;
  const double half_dphi = (lat2 - lat1) * kRadians / 2.0;
  const double half_dlambda = (lon2 - lon1) * kRadians / 2.0;
  const double s = std::sin(half_dphi);
  const double t = std::sin(half_dlambda);
  // a can exceed 1 by a rounding error for antipodal points.
  const double a = std::min(1.0, s * s + std::cos(phi1) * std::cos(phi2) * t * t);
  return 2.0 * kEarthRadiusM * std::asin(std::sqrt(a));
}

}  // namespace norvel::engine
