#pragma once

#include <cstdint>
#include <expected>

#include "graph/pareto_front.hpp"
#include "graph/road_graph.hpp"
#include "graph/search_types.hpp"
#include "graph/stop_poll.hpp"

namespace norvel {

// With eps above 0, the solution front of the search, found by a search
// guided by the least weighted cost still to go rather than by the
// great-circle distance: every entry with the search's exact costs and in
// its order, and the paths of the shortest, safest and balanced entries as
// the search finds them (other entries' paths may be others of the very
// same costs). Why not where it cannot be sure of that; the caller then runs
// the search, also once it has processed `tuning.approximate_labels`
// labels. When `stop` says stop, the result means nothing.
// Precondition: the graph's costs are bounded below, eps is finite and
// above 0, the source is the graph's, and (target_lat, target_lon) are the
// target's own coordinates.
std::expected<ParetoFront, GaveUp> approximate_route_front(const RoadGraph& graph, std::uint32_t source_dense,
                                                           std::uint32_t target_dense, double target_lat,
                                                           double target_lon, double eps, const SearchTuning& tuning,
                                                           SearchReport& report, StopCheck& stop);

}  // namespace norvel
