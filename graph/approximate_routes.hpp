#pragma once

#include <cstdint>
#include <expected>

#include "graph/pareto_front.hpp"
#include "graph/request_workspace.hpp"
#include "graph/search_types.hpp"

namespace norvel {

// With eps above 0, the solution front of the search, found by a search
// guided by the least weighted cost still to go rather than by the
// great-circle distance: every entry with the search's exact costs and in
// its order, and the paths of the shortest, safest and balanced entries as
// the search finds them (other entries' paths may be others of the very
// same costs). Why not where it cannot be sure of that; the caller then runs
// the search, also once it has processed `tuning.approximate_labels` labels.
// Uses the workspace's places, fronts and bounds, and leaves the bounds
// tighter. When the workspace's stop check says stop, the result means
// nothing. Precondition: the graph's costs are bounded below, eps is finite
// and above 0, the workspace's target position is the target's own, and the
// source is not the target (`pareto_search` answers that itself).
std::expected<ParetoFront, GaveUp> approximate_route_front(RequestWorkspace& workspace, const SearchTuning& tuning);

}  // namespace norvel
