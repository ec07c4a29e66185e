#pragma once

#include <cmath>

namespace norvel {

inline constexpr double kDegreesToRadians = 0.017453292519943295;
inline constexpr double kEarthDiameterM = 12742000.0;

// Great-circle distance by the haversine formula, with the cosine of the
// node's latitude supplied by the caller (the graph precomputes it once per
// node; cos is the same function of the same input, so the result is the
// same bits). The operations and their order are fixed: results must be
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
  return std::atan2(std::sqrt(a), std::sqrt(1.0 - a)) * kEarthDiameterM;
}

inline double haversine_m(double lat_n, double lon_n, double lat_t, double lon_t) {
  return haversine_with_cos_m(lat_n, lon_n, std::cos(lat_n * kDegreesToRadians), lat_t, lon_t,
                              std::cos(lat_t * kDegreesToRadians));
}

inline constexpr double kRiskWeight = 500.0;
inline constexpr double kFamiliarityWeight = -200.0;

inline double label_priority(double distance_m, double risk, double familiarity, double heuristic_m) {
  return ((distance_m + kRiskWeight * risk) + (kFamiliarityWeight * familiarity)) + heuristic_m;
}

}  // namespace norvel
