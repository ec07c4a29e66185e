#pragma once

#include <cstdint>
#include <vector>

#include "graph/search_places.hpp"

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

// Whether every path on from `place` with costs (distance, risk) so far is
// outdone by a known route: it would be covered by a solution by the time it
// reached the target. Uses the backward searches' bounds as they stand.
bool outdone_by_known_route(const RequestWorkspace& workspace, double distance, double risk, const Place& place);

}  // namespace norvel
