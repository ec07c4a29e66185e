#pragma once

#include <expected>
#include <string>
#include <vector>

#include "graph/node_id.hpp"
#include "graph/pareto_search.hpp"
#include "graph/road_graph.hpp"
#include "graph/search_types.hpp"
#include "graph/route_record.hpp"

namespace norvel {

enum class RouteErrorKind {
  source_not_found,  // source is not in the node list
  target_not_found,  // target is not in the node list
  source_isolated,   // source has no outgoing edge
  no_route,          // the search found no route
  interrupted,       // the stop hook asked the search to stop
};

// A routing failure; the Python layer raises it as RuntimeError(message),
// except an interruption, whose exception the stop hook has already set.
struct RouteError {
  RouteErrorKind kind;
  std::string message;  // French, UTF-8
};

// Checks both ids, runs the search and picks the shortest, safest and
// balanced routes (repeats dropped), in that order.
std::expected<std::vector<RouteRecord>, RouteError> compute_safe_routes(const RoadGraph& graph, NodeId source,
                                                                        NodeId target, double eps,
                                                                        const SearchOptions& options = {});

// Checks both ids as `compute_safe_routes` does and gives every point of
// the exact front (eps 0) by distance ascending (`front_routes`): a point
// that `compute_safe_routes` at eps 0 chooses is its route, path, sums and
// type; every other point has the path the front search reaches it by first
// (graph/front_search.cpp). The first has the shortest route's costs, the
// last the safest's. The same failures as `compute_safe_routes`.
std::expected<std::vector<RouteRecord>, RouteError> compute_front_routes(const RoadGraph& graph, NodeId source,
                                                                         NodeId target,
                                                                         const SearchOptions& options = {});

}  // namespace norvel
