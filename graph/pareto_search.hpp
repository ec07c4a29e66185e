#pragma once

#include <optional>

#include "graph/node_id.hpp"
#include "graph/pareto_front.hpp"
#include "graph/road_graph.hpp"
#include "graph/search_types.hpp"

namespace norvel {

// Best-first bi-objective (distance, risk) label search from `source` to
// `target`; `eps` widens the pruning by solutions (0.0 gives the exact
// front). Node coordinates come from the graph's per-node table. Returns the
// solution front in front order, empty when the target is unreachable; none
// only when `options.stop` asked the search to stop.
std::optional<ParetoFront> pareto_search(const RoadGraph& graph, NodeId source, NodeId target, double target_lat,
                                         double target_lon, double eps, PathsNeeded needed = PathsNeeded::all,
                                         const SearchOptions& options = {});

}  // namespace norvel
