#pragma once

#include <expected>

#include "graph/pareto_front.hpp"
#include "graph/request_workspace.hpp"
#include "graph/search_types.hpp"

namespace norvel {

// With eps 0, the shortest, safest and balanced solutions of the search
// without enumerating the front: a front of just those entries (repeats
// merged) from which `select_routes` makes the same records as from the
// whole front. Why not where it cannot be sure of that; the caller then runs
// the search. Uses the workspace's places and bounds, and leaves them
// tighter. When the workspace's stop check says stop, the result means
// nothing. Precondition: the graph's costs are bounded below, and the
// source is not the target (`pareto_search` answers that itself).
std::expected<ParetoFront, GaveUp> targeted_route_front(RequestWorkspace& workspace);

}  // namespace norvel
