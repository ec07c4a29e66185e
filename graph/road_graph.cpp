#include "graph/road_graph.hpp"

#include <utility>

#include "graph/graph_indexer.hpp"

namespace norvel {

RoadGraph build_graph(GraphBuilder&& builder) {
  GraphIndexer indexer(builder.nodes.size() + builder.edges.size() / 8);
  indexer.index_nodes(builder.nodes);
  indexer.index_edges(builder.edges);
  return indexer.finish(std::move(builder.nodes), std::move(builder.edges));
}

OutgoingEdges outgoing_edges(const RoadGraph& graph, NodeId id) {
  std::uint32_t dense = graph.dense_of.find(id);
  if (dense == IdIndex::kAbsent) return OutgoingEdges(graph.edges.data(), {});
  std::span<const SearchEdge> row(graph.out_edges.data() + graph.out_begin[dense],
                                  graph.out_begin[dense + 1] - graph.out_begin[dense]);
  return OutgoingEdges(graph.edges.data(), row);
}

std::uint32_t listed_node(const RoadGraph& graph, NodeId id) {
  std::uint32_t dense = graph.dense_of.find(id);
  if (dense == IdIndex::kAbsent || !graph.listed[dense]) return IdIndex::kAbsent;
  return dense;
}

}  // namespace norvel
