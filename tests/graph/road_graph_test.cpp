#include <gtest/gtest.h>

#include <vector>

#include "graph/road_graph.hpp"
#include "graph_fixtures.hpp"

namespace norvel {
namespace {

using testing::make_graph;

std::vector<NodeId> heads(const RoadGraph& graph, NodeId id) {
  std::vector<NodeId> result;
  for (const Edge& edge : outgoing_edges(graph, id)) result.push_back(edge.to);
  return result;
}

TEST(RoadGraph, EmptyGraphHasNoNodesEdgesOrOutgoingEdges) {
  RoadGraph graph = make_graph({}, {});
  EXPECT_EQ(node_count(graph), 0u);
  EXPECT_EQ(edge_count(graph), 0u);
  EXPECT_TRUE(outgoing_edges(graph, 0).empty());
  EXPECT_TRUE(outgoing_edges(graph, UINT64_MAX).empty());
  EXPECT_EQ(listed_node(graph, 0), IdIndex::kAbsent);
}

TEST(RoadGraph, OutgoingEdgesKeepDocumentOrderAcrossInterleavedTails) {
  RoadGraph graph = make_graph({{1, 0, 0}, {2, 0, 0}},
                               {{1, 10, 1, 0}, {2, 20, 1, 0}, {1, 11, 1, 0}, {2, 21, 1, 0}, {2, 22, 1, 0}, {1, 12, 1, 0}});
  auto out = outgoing_edges(graph, 1);
  std::vector<std::uint32_t> indices;
  for (std::size_t i = 0; i < out.size(); ++i) indices.push_back(out.edge_index(i));
  EXPECT_EQ(indices, (std::vector<std::uint32_t>{0, 2, 5}));
  EXPECT_EQ(heads(graph, 1), (std::vector<NodeId>{10, 11, 12}));
  EXPECT_EQ(heads(graph, 2), (std::vector<NodeId>{20, 21, 22}));
  // Every edge index once, each row strictly increasing, each row's tails right.
  const std::vector<Edge> edges = edge_list(graph);
  std::size_t total = 0;
  for (NodeId id : {1, 2, 10, 11, 12, 20, 21, 22}) {
    auto row = outgoing_edges(graph, id);
    for (std::size_t i = 0; i < row.size(); ++i) {
      EXPECT_EQ(edges[row.edge_index(i)].from, id);
      if (i > 0) {
        EXPECT_LT(row.edge_index(i - 1), row.edge_index(i));
      }
    }
    total += row.size();
  }
  EXPECT_EQ(total, edge_count(graph));
}

TEST(RoadGraph, KeepsRepeatedIdsParallelEdgesLoopsAndNegativeCosts) {
  RoadGraph graph = make_graph({{7, 1.0, 2.0}, {7, 3.0, 4.0}, {8, 5.0, 6.0}},
                               {{7, 8, 5, 1}, {7, 8, 5, 1}, {8, 8, -2, -0.5}, {9, 7, 1, 1}});
  EXPECT_EQ(node_count(graph), 3u);
  EXPECT_EQ(graph.nodes[0].lat, 1.0);
  EXPECT_EQ(graph.nodes[1].lat, 3.0);
  EXPECT_EQ(edge_count(graph), 4u);
  EXPECT_EQ(heads(graph, 7), (std::vector<NodeId>{8, 8}));
  EXPECT_EQ(heads(graph, 8), (std::vector<NodeId>{8}));
  EXPECT_EQ(outgoing_edges(graph, 8).begin().operator*().distance_m, -2.0);
  EXPECT_TRUE(graph.has_negative_cost);
  // An unlisted tail keeps its edge; an id seen only as a head has none.
  EXPECT_EQ(heads(graph, 9), (std::vector<NodeId>{7}));
  EXPECT_EQ(listed_node(graph, 9), IdIndex::kAbsent);
  // The last record of a repeated id gives its coordinates.
  std::uint32_t seven = listed_node(graph, 7);
  ASSERT_NE(seven, IdIndex::kAbsent);
  EXPECT_EQ(graph.lat[seven], 3.0);
  EXPECT_EQ(graph.lon[seven], 4.0);
}

TEST(RoadGraph, KnowsWhichSumsAreExactAndWhetherParallelEdgesDiffer) {
  const auto graph_of = [](double first, double second) {
    return make_graph({{1, 0, 0}, {2, 0, 0}}, {{1, 2, first, 0.1}, {2, 1, second, 0.0}});
  };
  // Whole metres, quarters, and a total up to 2^53 in units of the least
  // bit are exact; tenths, a total beyond, and a subnormal next to 1 are not.
  EXPECT_TRUE(graph_of(120.0, 7.0).distance_sums_exact);
  EXPECT_TRUE(graph_of(0.25, 3.5).distance_sums_exact);
  EXPECT_TRUE(graph_of(0x1p52, 0x1p52).distance_sums_exact);
  EXPECT_FALSE(graph_of(0x1p53, 1.0).distance_sums_exact);
  EXPECT_FALSE(graph_of(0.1, 1.0).distance_sums_exact);
  EXPECT_FALSE(graph_of(0x1p-1074, 1.0).distance_sums_exact);
  EXPECT_TRUE(graph_of(0.0, 0.0).distance_sums_exact);
  EXPECT_FALSE(graph_of(-1.0, 1.0).distance_sums_exact);
  // Sums of one tenth alone are exact; with two tenths they are not.
  EXPECT_TRUE(graph_of(1.0, 2.0).risk_sums_exact);
  EXPECT_FALSE(make_graph({{1, 0, 0}}, {{1, 1, 1, 0.1}, {1, 1, 1, 0.2}}).risk_sums_exact);

  EXPECT_FALSE(graph_of(1.0, 2.0).parallel_edges_differ);
  const RoadGraph same = make_graph({{1, 0, 0}, {2, 0, 0}}, {{1, 2, 5, 1}, {2, 1, 4, 1}, {1, 2, 5, 1}});
  EXPECT_FALSE(same.parallel_edges_differ);
  const RoadGraph differ = make_graph({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}},
                                      {{1, 2, 5, 1}, {3, 2, 1, 1}, {1, 2, 5, 2}});
  EXPECT_TRUE(differ.parallel_edges_differ);
}

TEST(RoadGraph, ExtremeIdsAndManyNodesSurviveTheIndex) {
  GraphBuilder builder;
  for (NodeId id = 0; id < 50000; ++id) add_node(builder, Node{id * 7919, static_cast<double>(id), 0.0});
  add_node(builder, Node{UINT64_MAX, -1.0, -2.0});
  add_edge(builder, Edge{UINT64_MAX, 0, 1.0, 0.0, 0.0});
  RoadGraph graph = build_graph(std::move(builder));
  for (NodeId id = 0; id < 50000; ++id) {
    std::uint32_t dense = listed_node(graph, id * 7919);
    ASSERT_NE(dense, IdIndex::kAbsent);
    EXPECT_EQ(graph.lat[dense], static_cast<double>(id));
  }
  EXPECT_EQ(listed_node(graph, 1), IdIndex::kAbsent);
  EXPECT_EQ(heads(graph, UINT64_MAX), (std::vector<NodeId>{0}));
  EXPECT_FALSE(graph.has_negative_cost);
}

// No edge may cost less than the least cost per plane unit times the norm
// between its ends, but for a rounding that the backward searches' 2^-20
// shrink of their potentials covers.
TEST(RoadGraph, LeastCostPerPlaneUnitBoundsEveryEdge) {
  auto bounds_every_edge = [](const RoadGraph& graph) {
    for (std::uint32_t from = 0; from + 1 < graph.out_begin.size(); ++from) {
      for (std::uint32_t slot = graph.out_begin[from]; slot < graph.out_begin[from + 1]; ++slot) {
        const SearchEdge& edge = graph.out_edges[slot];
        const double norm = static_cast<double>(plane_norm(graph.plane[from], graph.plane[edge.to]));
        if (graph.distance_per_plane_unit * (1.0 - 0x1p-20) * norm > edge.distance_m) return false;
        if (graph.risk_per_plane_unit * (1.0 - 0x1p-20) * norm > edge.risk_score) return false;
      }
    }
    return true;
  };
  // About 100 m apart: a distance of 100 per 100 m, risk 1 per 100 m at least.
  RoadGraph streets = make_graph({{1, 60.0, 24.0}, {2, 60.0009, 24.0}, {3, 60.0009, 24.0018}},
                                 {{1, 2, 100.0, 1.0}, {2, 3, 120.0, 1.5}, {3, 1, 150.0, 2.0}});
  EXPECT_TRUE(bounds_every_edge(streets));
  EXPECT_GT(streets.distance_per_plane_unit * 41 * kPlaneUnitsPerDegree / 111320.0, 0.85);
  EXPECT_GT(streets.risk_per_plane_unit, 0.0);
  // Coincident ends say nothing; a free edge between distinct ends, an
  // unlisted end at (0, 0), coordinates off the globe: the scale shrinks,
  // to nothing where it must, and still bounds every edge.
  RoadGraph odd = make_graph({{1, 60.0, 24.0}, {2, 60.0, 24.0}, {3, 60.001, 24.0}, {4, 1e300, -1e300}},
                             {{1, 2, 0.0, 0.0}, {1, 3, 111.0, 0.0}, {3, 9, 5.0, 1.0}, {4, 1, 3.0, 1.0}});
  EXPECT_TRUE(bounds_every_edge(odd));
  EXPECT_EQ(odd.risk_per_plane_unit, 0.0);
  EXPECT_GT(odd.distance_per_plane_unit, 0.0);
  // Negative costs leave no bound at all.
  RoadGraph negative = make_graph({{1, 60.0, 24.0}, {2, 60.001, 24.0}}, {{1, 2, -1.0, 1.0}});
  EXPECT_EQ(negative.distance_per_plane_unit, 0.0);
  EXPECT_EQ(negative.risk_per_plane_unit, 0.0);
}

}  // namespace
}  // namespace norvel
