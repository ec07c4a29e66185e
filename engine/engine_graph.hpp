#pragma once

#include "graph/road_graph.hpp"
#include "loading/street_names.hpp"

namespace norvel::engine {

// What the norvel package holds of one document: the road graph the routes
// are searched on, and its edges' street names. Immutable once loaded, so
// any number of threads read it at once.
struct EngineGraph {
  RoadGraph graph;
  StreetNames names;
};

}  // namespace norvel::engine
