#include "graph/road_graph.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace norvel {

namespace {

constexpr double kDegreesToRadians = 0.017453292519943295;

// Dense and edge indices are 32-bit; a graph that outgrows them could not fit
// in memory anyway, so running out is treated like memory exhaustion.
[[noreturn]] void index_space_exhausted() {
  std::fputs("norvel_core: graph too large for 32-bit indices\n", stderr);
  std::abort();
}

std::uint32_t intern(RoadGraph& graph, NodeId id) {
  if (graph.id_of.size() >= IdIndex::kAbsent) index_space_exhausted();
  auto next = static_cast<std::uint32_t>(graph.id_of.size());
  std::uint32_t dense = graph.dense_of.find_or_insert(id, next);
  if (dense == next) graph.id_of.push_back(id);
  return dense;
}

}  // namespace

RoadGraph build_graph(GraphBuilder&& builder) {
  RoadGraph graph;
  graph.nodes = std::move(builder.nodes);
  graph.edges = std::move(builder.edges);
  if (graph.edges.size() >= IdIndex::kAbsent) index_space_exhausted();

  graph.dense_of.reserve(graph.nodes.size() + graph.edges.size() / 2);
  for (const Node& node : graph.nodes) intern(graph, node.id);
  std::vector<std::uint32_t> edge_from(graph.edges.size());
  std::vector<std::uint32_t> edge_to(graph.edges.size());
  for (std::size_t i = 0; i < graph.edges.size(); ++i) {
    edge_from[i] = intern(graph, graph.edges[i].from);
    edge_to[i] = intern(graph, graph.edges[i].to);
  }

  const std::size_t dense_count = graph.id_of.size();
  graph.listed.assign(dense_count, 0);
  graph.lat.assign(dense_count, 0.0);
  graph.lon.assign(dense_count, 0.0);
  // Document order: a repeated id leaves the coordinates of its last record.
  for (const Node& node : graph.nodes) {
    std::uint32_t dense = graph.dense_of.find(node.id);
    graph.listed[dense] = 1;
    graph.lat[dense] = node.lat;
    graph.lon[dense] = node.lon;
  }
  graph.cos_lat.resize(dense_count);
  for (std::size_t i = 0; i < dense_count; ++i) graph.cos_lat[i] = std::cos(graph.lat[i] * kDegreesToRadians);

  // Counting sort by tail keeps each row in ascending edge index order.
  graph.out_begin.assign(dense_count + 1, 0);
  for (std::uint32_t from : edge_from) ++graph.out_begin[from + 1];
  for (std::size_t i = 0; i < dense_count; ++i) graph.out_begin[i + 1] += graph.out_begin[i];
  graph.out_edge_index.resize(graph.edges.size());
  graph.out_edges.resize(graph.edges.size());
  std::vector<std::uint32_t> fill(graph.out_begin.begin(), graph.out_begin.end() - 1);
  for (std::size_t i = 0; i < graph.edges.size(); ++i) {
    const Edge& edge = graph.edges[i];
    std::uint32_t slot = fill[edge_from[i]]++;
    graph.out_edge_index[slot] = static_cast<std::uint32_t>(i);
    graph.out_edges[slot] = SearchEdge{edge_to[i], edge.distance_m, edge.risk_score, edge.familiarity};
    if (edge.distance_m < 0.0 || edge.risk_score < 0.0) graph.has_negative_cost = true;
  }
  return graph;
}

OutgoingEdges outgoing_edges(const RoadGraph& graph, NodeId id) {
  std::uint32_t dense = graph.dense_of.find(id);
  if (dense == IdIndex::kAbsent) return OutgoingEdges(graph.edges.data(), {});
  std::span<const std::uint32_t> row(graph.out_edge_index.data() + graph.out_begin[dense],
                                     graph.out_begin[dense + 1] - graph.out_begin[dense]);
  return OutgoingEdges(graph.edges.data(), row);
}

std::uint32_t listed_node(const RoadGraph& graph, NodeId id) {
  std::uint32_t dense = graph.dense_of.find(id);
  if (dense == IdIndex::kAbsent || !graph.listed[dense]) return IdIndex::kAbsent;
  return dense;
}

}  // namespace norvel
