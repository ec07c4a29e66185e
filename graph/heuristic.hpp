#pragma once

#include <cmath>

namespace norvel {

inline constexpr double kDegreesToRadians = 0.017453292519943295;
// The search heuristic's own sphere, 12,742,000 m across (a radius of
// 6,371,000 m): part of the search's exact arithmetic, since the label
// priorities and so the search order follow from its bits. It is not the
// Earth radius norvel measures distances with for users (6,371,008.8 m, in
// engine/earth.hpp and norvel/_earth.py); the 8.8 m between them changes no
// route, and changing this constant would change the order of the search.
inline constexpr double kHeuristicDiameterM = 12742000.0;

// The cosine of a latitude in degrees, as the haversine formula takes it.
// The graph precomputes it per node and the search once for its target;
// every caller goes through here, so the bits are the same wherever it is
// computed.
inline double cos_latitude(double lat) { return std::cos(lat * kDegreesToRadians); }

// Great-circle distance by the haversine formula, with the cosines of both
// latitudes supplied by the caller (`cos_latitude`). The operations and their order are fixed: results must be
// reproducible to the last bit.
inline double haversine_with_cos_m(double lat_n, double lon_n, double cos_lat_n, double lat_t, double lon_t,
                                   double cos_t) {
  const double d_phi = (lat_t - lat_n) * kDegreesToRadians;
  const double d_lambda = (lon_t - lon_n) * kDegreesToRadians;
  const double sin_phi = std::sin(d_phi * 0.5);
  const double a_phi = sin_phi * sin_phi;
  const double b = cos_lat_n * cos_t;
  const double sin_lambda = std::sin(d_lambda * 0.5);
  const double a = sin_lambda * sin_lambda * b + a_phi;
  return std::atan2(std::sqrt(a), std::sqrt(1.0 - a)) * kHeuristicDiameterM;
}

// The heuristic's distance between two points, each cosine computed here.
inline double heuristic_distance_m(double lat_n, double lon_n, double lat_t, double lon_t) {
  return haversine_with_cos_m(lat_n, lon_n, cos_latitude(lat_n), lat_t, lon_t, cos_latitude(lat_t));
}

inline constexpr double kRiskWeight = 500.0;
inline constexpr double kFamiliarityWeight = -200.0;

inline double label_priority(double distance_m, double risk, double familiarity, double heuristic_m) {
  return ((distance_m + kRiskWeight * risk) + (kFamiliarityWeight * familiarity)) + heuristic_m;
}

}  // namespace norvel
