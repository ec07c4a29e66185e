#pragma once

#include <algorithm>
#include <cstdint>

namespace norvel {

// Node coordinates projected onto a plane, in whole units of about a
// sixty-fourth of a metre, and a norm on that plane computed in integers:
// its triangle inequality then holds exactly, with no rounding to argue
// about. The units are finer than the coordinates of most data, so that
// even an edge of a few centimetres keeps its length on the plane.
// How far the projection strays from the sphere does not matter for what
// rests on it (`RoadGraph::distance_per_plane_unit`): that is measured
// against these very units, edge by edge.
struct PlanePoint {
  std::int32_t x;
  std::int32_t y;
};

inline constexpr double kPlaneUnitsPerDegree = 111320.0 * 64.0;

// `cos_reference` is one cosine for the whole graph, so that the units are
// the same everywhere. Coordinates off the globe (or not numbers) are
// clamped: any fixed point will do for them.
inline PlanePoint plane_point(double lat, double lon, double cos_reference) {
  auto clamp = [](double value, double limit) { return value >= -limit ? (value <= limit ? value : limit) : -limit; };
  return {static_cast<std::int32_t>(clamp(lon, 180.0) * cos_reference * kPlaneUnitsPerDegree),
          static_cast<std::int32_t>(clamp(lat, 90.0) * kPlaneUnitsPerDegree)};
}

// An octagonal norm, 41 times the length along an axis or a diagonal (29/41
// is just above 1/sqrt 2) and within 8 % of it in between. Below 2^37, as
// coordinates are below 2^31 units.
inline std::int64_t plane_norm(PlanePoint a, PlanePoint b) {
  const std::int64_t dx = a.x > b.x ? std::int64_t{a.x} - b.x : std::int64_t{b.x} - a.x;
  const std::int64_t dy = a.y > b.y ? std::int64_t{a.y} - b.y : std::int64_t{b.y} - a.y;
  return std::max({41 * dx, 41 * dy, 29 * (dx + dy)});
}

}  // namespace norvel
