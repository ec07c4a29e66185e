#include "engine/nearest_index.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <utility>
#include <vector>

#include "engine/earth.hpp"
#include "graph/edge_risk.hpp"

namespace norvel::engine {

namespace {

using Vector = std::array<double, 3>;

Vector unit_vector(double lat, double lon) {
  const double phi = lat * (std::numbers::pi / 180.0);
  const double lambda = lon * (std::numbers::pi / 180.0);
  const double cos_phi = std::cos(phi);
  return {cos_phi * std::cos(lambda), cos_phi * std::sin(lambda), std::sin(phi)};
}

double squared_chord(const Vector& a, const Vector& b) {
  const double dx = a[0] - b[0];
  const double dy = a[1] - b[1];
  const double dz = a[2] - b[2];
  return dx * dx + dy * dy + dz * dz;
}

struct Placed {
  Vector point;
  std::uint32_t dense;
};

// Arranges [begin, end) into a subtree: the median on the widest axis at
// the middle, the lesser half before it.
void arrange(std::vector<Placed>& placed, std::vector<std::uint8_t>& axis, std::size_t begin, std::size_t end) {
  while (end - begin > 1) {
    Vector low = placed[begin].point, high = placed[begin].point;
    for (std::size_t i = begin + 1; i < end; ++i) {
      for (std::size_t k = 0; k < 3; ++k) {
        low[k] = std::min(low[k], placed[i].point[k]);
        high[k] = std::max(high[k], placed[i].point[k]);
      }
    }
    std::size_t widest = 0;
    for (std::size_t k = 1; k < 3; ++k) {
      if (high[k] - low[k] > high[widest] - low[widest]) widest = k;
    }
    const std::size_t middle = begin + (end - begin) / 2;
    const auto at = [&](std::size_t i) { return placed.begin() + static_cast<std::ptrdiff_t>(i); };
    std::nth_element(at(begin), at(middle), at(end),
                     [widest](const Placed& a, const Placed& b) { return a.point[widest] < b.point[widest]; });
    axis[middle] = static_cast<std::uint8_t>(widest);
    arrange(placed, axis, begin, middle);
    begin = middle + 1;
  }
}

struct Search {
  const NearestIndex& index;
  const RoadGraph& graph;
  const AvoidedRows* avoided;
  Vector target;
  std::uint32_t best = IdIndex::kAbsent;
  double best_chord2 = INFINITY;

  Vector point(std::uint32_t dense) const { return unit_vector(graph.lat[dense], graph.lon[dense]); }

  void consider(std::uint32_t dense, double chord2) {
    if (chord2 < best_chord2 || (chord2 == best_chord2 && graph.id_of[dense] < graph.id_of[best])) {
      best = dense;
      best_chord2 = chord2;
    }
  }

  void visit(std::size_t begin, std::size_t end) {
    while (begin < end) {
      const std::size_t middle = begin + (end - begin) / 2;
      const std::uint32_t dense = index.order[middle];
      const Vector here = point(dense);
      if (avoided == nullptr || has_edge_out(graph, avoided, dense)) consider(dense, squared_chord(here, target));
      if (end - begin == 1) return;
      const std::size_t k = index.axis[middle];
      const double offset = target[k] - here[k];
      // The nearer side first; the far side only if the splitting plane is
      // within reach (ties included, for the least id).
      const bool lower_first = offset < 0.0;
      const std::size_t near_begin = lower_first ? begin : middle + 1;
      const std::size_t near_end = lower_first ? middle : end;
      const std::size_t far_begin = lower_first ? middle + 1 : begin;
      const std::size_t far_end = lower_first ? end : middle;
      visit(near_begin, near_end);
      if (!(offset * offset <= best_chord2)) return;
      begin = far_begin;
      end = far_end;
    }
  }
};

}  // namespace

NearestIndex build_nearest_index(const EngineGraph& engine) {
  if (engine.has_nearest) return NearestIndex{&engine, engine.nearest_order, engine.nearest_axis};
  const RoadGraph& graph = engine.graph;
  std::vector<Placed> placed;
  const std::size_t dense_count = graph.id_of.size();
  for (std::size_t dense = 0; dense < dense_count; ++dense) {
    if (graph.listed[dense] != 0 && graph.out_begin[dense + 1] > graph.out_begin[dense]) {
      placed.push_back({unit_vector(graph.lat[dense], graph.lon[dense]), static_cast<std::uint32_t>(dense)});
    }
  }
  std::vector<std::uint8_t> axis(placed.size(), 0);
  arrange(placed, axis, 0, placed.size());
  std::vector<std::uint32_t> order;
  order.reserve(placed.size());
  for (const Placed& node : placed) order.push_back(node.dense);
  return NearestIndex{&engine, std::move(order), std::move(axis)};
}

NearestNode nearest_node(const NearestIndex& index, double lat, double lon, const AvoidedRows* avoided) {
  Search search{index, index.engine->graph, avoided, unit_vector(lat, lon)};
  search.visit(0, index.order.size());
  if (search.best == IdIndex::kAbsent) return {IdIndex::kAbsent, INFINITY};
  // The chord c of an arc of angle a is 2 sin(a / 2).
  const double chord = std::sqrt(search.best_chord2);
  return {search.best, 2.0 * earth::kMeanRadiusM * std::asin(std::min(chord / 2.0, 1.0))};
}

}  // namespace norvel::engine
