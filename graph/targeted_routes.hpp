#pragma once

#include <cstdint>
#include <expected>

#include "graph/pareto_front.hpp"
#include "graph/road_graph.hpp"
#include "graph/search_types.hpp"
#include "graph/stop_poll.hpp"

namespace norvel {

// With eps 0, the shortest, safest and balanced solutions of the search
// without enumerating the front: a front of just those entries (repeats
// merged) from which `select_routes` makes the same records as from the
// whole front. Why not where it cannot be sure of that; the caller then runs
// the search. When `stop` says stop, the result means nothing. Precondition:
// the graph's costs are bounded below, and both dense indices are the
// graph's (the target may be IdIndex::kAbsent).
std::expected<ParetoFront, GaveUp> targeted_route_front(const RoadGraph& graph, std::uint32_t source_dense,
                                                        std::uint32_t target_dense, SearchReport& report,
                                                        StopCheck& stop);

}  // namespace norvel
