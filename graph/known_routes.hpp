#pragma once

#include <cstdint>
#include <vector>

#include "graph/heuristic.hpp"
#include "graph/search_order.hpp"

namespace norvel {

class RequestWorkspace;

// A path from the source to the target found before the search has any
// solution, which stands in for one (see `outdone_by_known_route`).
struct KnownRoute {
  double distance_m;
  double risk;
  std::uint64_t highest_priority;  // priority_key, over the route's labels
};

// Known routes hold for the whole request, whichever strategy learns them.
struct KnownRoutes {
  std::vector<KnownRoute> routes;
  bool sought = false;
  double target_heuristic = 0.0;
};

// The least paths from the source by distance, by risk and by the search's
// own weighing of the two, each followed down a backward search, on a graph
// without familiarity. Following them settles the backward searches as far
// as the source, which also tightens the bounds of every later test.
void seek_known_routes(RequestWorkspace& workspace);

// Whether every path whose costs at the target are at least (distance,
// risk), lower bounds already shrunk by the bounds' margin, is outdone by a
// known route: it would be covered by a solution by the time it got there.
inline bool outdone_by_known_route(const KnownRoutes& known, double least_distance, double least_risk) {
  const std::uint64_t least_priority =
      priority_key(label_priority(least_distance, least_risk, 0.0, known.target_heuristic));
  for (const KnownRoute& route : known.routes) {
    if (least_distance >= route.distance_m && least_risk >= route.risk && least_priority > route.highest_priority) {
      return true;
    }
  }
  return false;
}

}  // namespace norvel
