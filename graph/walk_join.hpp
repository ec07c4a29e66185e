#pragma once

// Walks through stops: the front of the walks that take one route of each
// leg's exact front, joined. The package's norvel._walks says what that
// front is, in which order its points come and which of equal points it
// keeps; this is its join, leg by leg.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

namespace norvel {

// What the walks' edges cost, per edge by document index. An empty
// `familiarity`: the graph has none, and every joined walk's is 0.0.
struct EdgeColumns {
  std::span<const double> lengths;
  std::span<const double> risks;
  std::span<const double> familiarity;
};

// The routes of one leg's front, in its order: route i took
// edges[starts[i]], ..., edges[starts[i + 1] - 1] (document indices), in
// travel order. `starts` holds one more entry than there are routes.
struct LegRoutes {
  std::span<const std::uint32_t> edges;
  std::span<const std::size_t> starts;
};

// Walks in front order: the sums of each, and the route of each leg it
// joins (`picks`: a row of `legs` positions per walk).
struct WalkFront {
  std::size_t legs = 0;
  std::vector<double> distance_m;
  std::vector<double> risk;
  std::vector<double> familiarity;
  std::vector<std::uint32_t> picks;
};

enum class WalkJoinFault {
  sums_differ,        // the first leg's three sums are not one per route
  columns_differ,     // the edge columns are not one per edge
  leg_malformed,      // a leg's starts do not mark out its edges
  edge_out_of_range,  // a route took an edge past the columns
};

// The front of the walks joining one route of the first leg's front (its
// routes' sums, in its order) with one of each of `legs` in turn. A join's
// sums continue the walk's before it edge by edge, in travel order, each a
// plain double addition; of joins no other strictly dominates, of equal
// sums only the first in front order is kept, and a NaN sum neither
// dominates nor is dominated.
std::expected<WalkFront, WalkJoinFault> join_walks(std::span<const double> distance_m, std::span<const double> risk,
                                                   std::span<const double> familiarity,
                                                   std::span<const LegRoutes> legs, const EdgeColumns& columns);

}  // namespace norvel
