#pragma once

#include <cstdint>

#include "graph/node_id.hpp"
#include "graph/pareto_front.hpp"
#include "graph/road_graph.hpp"

namespace norvel {

// What one request's search did, for benchmarks and tests.
struct SearchCounters {
  std::uint64_t pushed = 0;
  std::uint64_t popped = 0;
  std::uint64_t processed = 0;
  std::uint64_t settled_backwards = 0;  // nodes settled by both backward searches
  std::uint64_t touched_nodes = 0;
  std::uint64_t known_routes = 0;  // routes found to stand in for solutions
  bool fell_back = false;  // a tie sent the request to the literal search
};

// Which solution paths the caller reads: all of them, or only those of the
// shortest, safest and balanced routes (the other entries' costs are exact,
// but where several paths have the very same costs, one may be another).
enum class PathsNeeded { all, chosen_routes };

// When the search changes its way of working. Every setting gives the same
// answers; the tests shrink them to reach every way on small graphs.
struct SearchTuning {
  // With eps 0, the pruned search's budget before the targeted walks.
  std::uint64_t short_request_labels = 256;
  // Labels processed without a solution before known routes are sought.
  std::uint64_t labels_before_known_routes = 2048;
};

// Best-first bi-objective (distance, risk) label search from `source` to
// `target`; `eps` widens the pruning by solutions (0.0 gives the exact
// front). Node coordinates come from the graph's per-node table. Returns the
// solution front in front order, empty when the target is unreachable.
ParetoFront pareto_search(const RoadGraph& graph, NodeId source, NodeId target, double target_lat,
                          double target_lon, double eps, SearchCounters* counters = nullptr,
                          PathsNeeded needed = PathsNeeded::all, const SearchTuning& tuning = {});

}  // namespace norvel
