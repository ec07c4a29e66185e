#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/engine_graph.hpp"
#include "graph/avoided_rows.hpp"

namespace norvel::engine {

// The nodes a request can start from (listed, with an outgoing edge), for
// the question "which is nearest to this point?". A balanced k-d tree over
// the points' unit vectors on the sphere, stored implicitly: the subtree of
// a range of `order` has its root at the range's middle, split on the axis
// recorded there. Nearest by straight-line (chord) distance is nearest on
// the sphere. Only the permutation and the axes are kept; a point's vector
// is computed from the graph's coordinates when a query reaches it, so the
// index costs five bytes a node. A graph read from a snapshot brings its
// index along (`EngineGraph::nearest_order`), and the index views it.
struct NearestIndex {
  const EngineGraph* engine = nullptr;
  GraphArray<std::uint32_t> order;  // dense indices
  GraphArray<std::uint8_t> axis;    // per position of `order`: 0, 1 or 2
};

struct NearestNode {
  std::uint32_t dense;  // IdIndex::kAbsent when the index is empty
  double distance_m;    // great-circle distance from the point asked
};

// The index of the graph: the one the graph brought, or a new one.
NearestIndex build_nearest_index(const EngineGraph& engine);

// Of nodes at the very same distance, the one with the least id. With
// `avoided`, only the nodes that keep an outgoing edge outside it count:
// the nearest of them, as the index of the document without those edges
// would find it (the search is exact, whatever the tree's shape).
NearestNode nearest_node(const NearestIndex& index, double lat, double lon, const AvoidedRows* avoided = nullptr);

}  // namespace norvel::engine
