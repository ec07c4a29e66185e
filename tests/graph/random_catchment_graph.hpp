#pragma once

// Seeded random graphs for the catchment tests: one-way edges, dead ends,
// an unlisted node that only edges name, parallel edges on request, zero
// costs, and costs drawn from a few decimals so that exact ties and sums
// that round differently in either order are everywhere.

#include <cmath>
#include <cstdint>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "graph/road_graph.hpp"

namespace norvel::testing {

enum class Costs { varied, few_decimals, small_integers };

struct RandomGraph {
  RoadGraph graph;
  std::vector<NodeId> ids;
};

inline double draw_cost(std::mt19937_64& rng, Costs costs, bool risk) {
  switch (costs) {
    case Costs::varied: {
      // Centimetres and ten-thousandths, as converted maps give them.
      const double value = std::uniform_real_distribution<double>(1.0, 200.0)(rng);
      return risk ? std::round(value * 3.0) / 10000.0 : std::round(value * 100.0) / 100.0;
    }
    case Costs::few_decimals: {
      static constexpr double kDistances[] = {0.1, 0.2, 0.3, 0.7, 1.1};
      static constexpr double kRisks[] = {0.0, 0.01, 0.02, 0.03, 0.07};
      return risk ? kRisks[rng() % 5] : kDistances[rng() % 5];
    }
    case Costs::small_integers:
      return static_cast<double>(rng() % (risk ? 3 : 4));
  }
  return 0.0;
}

// `parallel`: whether two edges may join the same nodes in the same
// direction (with different costs, which the search leaves to the request).
inline RandomGraph random_graph(std::uint64_t seed, Costs costs, int node_count, bool parallel = false) {
  std::mt19937_64 rng(seed);
  RandomGraph made;
  GraphBuilder builder;
  for (int i = 0; i < node_count; ++i) {
    const NodeId id = 1000 + rng() % 100000;
    made.ids.push_back(id);
    add_node(builder, Node{id, 60.0 + static_cast<double>(rng() % 100) * 1e-4, 25.0 + static_cast<double>(rng() % 100) * 1e-4});
  }
  // An unlisted node that only edges name, which routes may pass through.
  const NodeId unlisted = 999;
  const int edge_count = node_count * 2 + static_cast<int>(rng() % node_count);
  std::set<std::pair<NodeId, NodeId>> joined;
  for (int e = 0; e < edge_count; ++e) {
    NodeId a = made.ids[rng() % node_count];
    NodeId b = made.ids[rng() % node_count];
    if (rng() % 25 == 0) b = unlisted;
    if (rng() % 25 == 0) a = unlisted;
    if (!parallel && (!joined.insert({a, b}).second || !joined.insert({b, a}).second)) continue;
    const double distance = draw_cost(rng, costs, false);
    const double risk = draw_cost(rng, costs, true);
    add_edge(builder, Edge{a, b, distance, risk, static_cast<double>(rng() % 3)});
    if (rng() % 4 != 0) add_edge(builder, Edge{b, a, distance, risk, 0.0});  // mostly two-way
  }
  made.graph = build_graph(std::move(builder));
  return made;
}

}  // namespace norvel::testing
