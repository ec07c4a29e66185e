#pragma once

#include <array>
#include <cstdint>

#include "graph/road_graph.hpp"
#include "loading/street_names.hpp"

namespace norvel::engine {

// What the norvel package holds of one document: the road graph the routes
// are searched on, and its edges' street names. Immutable once loaded, so
// any number of threads read it at once. A graph read from a snapshot file
// views the file's pages (mapped once, shared by every process that maps
// it) and brings its nearest-node index along.
struct EngineGraph {
  RoadGraph graph;
  StreetNames names;
  // The nearest-node index's arrays (engine/nearest_index.hpp), when the
  // graph came with them.
  bool has_nearest = false;
  GraphArray<std::uint32_t> nearest_order;
  GraphArray<std::uint8_t> nearest_axis;
  // The SHA-256 of the document a snapshot was made from, as it says.
  bool has_source = false;
  std::array<unsigned char, 32> source_sha256{};
};

}  // namespace norvel::engine
