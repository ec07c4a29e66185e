#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "graph/road_graph.hpp"

namespace norvel {

// Builds the indexes of a road graph in stages, so that a loader can index
// the records it has while it is still reading the rest: all the nodes
// first, then the edges in document order, a run at a time, then the rows.
// Dense indices go to ids in order of first occurrence, node list first, so
// the graph is the same however the edges are split into runs.
class GraphIndexer {
 public:
  // `expected_ids` sizes the id table; it grows past that when needed.
  explicit GraphIndexer(std::size_t expected_ids);

  // Once, before any edge.
  void index_nodes(std::span<const Node> nodes);

  // The next run of edges. Until `finish`, each edge of the run holds the
  // dense indices of its ends in place of the ids.
  void index_edges(std::span<Edge> edges);

  // Takes the records whose edges were all indexed and returns the graph,
  // placing the edges in their rows on one thread or two.
  enum class FinishThreads { kOne, kTwo };
  RoadGraph finish(std::vector<Node>&& nodes, std::vector<Edge>&& edges, FinishThreads threads = FinishThreads::kOne);

 private:
  std::uint32_t intern(NodeId id, std::uint64_t id_hash);

  RoadGraph graph_;
  std::size_t edges_indexed_ = 0;
  // Edges of one tail usually come together, so the last tail is remembered.
  bool have_last_from_ = false;
  NodeId last_from_ = 0;
  std::uint32_t last_from_dense_ = 0;
};

}  // namespace norvel
