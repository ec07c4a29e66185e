#pragma once

#include <cstdint>
#include <optional>

#include "graph/pareto_front.hpp"
#include "graph/pareto_search.hpp"
#include "graph/road_graph.hpp"

namespace norvel {

// With eps 0, the shortest, safest and balanced solutions of the search
// without enumerating the front: a front of just those entries (repeats
// merged) from which `select_routes` makes the same records as from the
// whole front. None where it cannot be sure of that; the caller then runs
// the search. Precondition: the graph's costs are bounded below, and both
// dense indices are the graph's (the target may be IdIndex::kAbsent).
std::optional<ParetoFront> targeted_route_front(const RoadGraph& graph, std::uint32_t source_dense,
                                                std::uint32_t target_dense, SearchCounters& counters);

}  // namespace norvel
