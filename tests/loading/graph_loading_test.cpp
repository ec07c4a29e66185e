#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <vector>

#include "document_generator.hpp"
#include "loading_test_support.hpp"

namespace norvel {
namespace {

using testing::message_of;

RoadGraph loaded(std::string_view text) {
  std::expected<RoadGraph, DocumentError> graph = load_graph(text);
  EXPECT_TRUE(graph.has_value()) << text << "\n" << (graph ? "" : graph.error().message());
  return graph ? std::move(*graph) : RoadGraph{};
}

std::vector<std::uint32_t> outgoing_indices(const RoadGraph& graph, NodeId id) {
  OutgoingEdges row = outgoing_edges(graph, id);
  std::vector<std::uint32_t> indices;
  for (std::size_t i = 0; i < row.size(); ++i) indices.push_back(row.edge_index(i));
  return indices;
}

std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

TEST(LoadingGraph, EmptyArraysGiveAnEmptyGraph) {
  for (const char* text : {R"({"nodes":[],"edges":[]})", "[[],[]]", " [ [ ] , [ ] ] "}) {
    RoadGraph graph = loaded(text);
    EXPECT_EQ(node_count(graph), 0u);
    EXPECT_EQ(edge_count(graph), 0u);
    EXPECT_TRUE(outgoing_edges(graph, 1).empty());
  }
}

TEST(LoadingGraph, MemberOrderDoesNotMatterAndEdgeEndsNeedNoNode) {
  RoadGraph graph = loaded(
      R"({"edges":[{"from":1,"to":2,"distance_m":10,"risk_score":0.1}],"nodes":[{"id":1,"lat":0,"lon":0}]})");
  ASSERT_EQ(node_count(graph), 1u);
  ASSERT_EQ(edge_count(graph), 1u);
  EXPECT_EQ(graph.nodes[0].id, 1u);
  const Edge edge = edge_list(graph)[0];
  EXPECT_EQ(edge.from, 1u);
  EXPECT_EQ(edge.to, 2u);
  EXPECT_EQ(edge.distance_m, 10.0);
  EXPECT_EQ(edge.risk_score, 0.1);
  EXPECT_EQ(edge.familiarity, 0.0);
  EXPECT_EQ(outgoing_indices(graph, 1), std::vector<std::uint32_t>{0});
  EXPECT_TRUE(outgoing_edges(graph, 2).empty());
}

TEST(LoadingGraph, RecordsKeepDocumentOrderWithRepeatsAndNegativeCosts) {
  RoadGraph graph = loaded(R"({"nodes":[[7,1.5,2.5],{"lon":-4,"id":7,"lat":-3}],"edges":[
      [1,2,5,0.5,null],
      {"from":3,"to":1,"distance_m":1,"risk_score":1,"familiarity":0.25},
      {"risk_score":-2,"distance_m":-1,"to":1,"from":1},
      [3,3,1,1,1],
      [9,9,0,0,0],
      [1,1,2.5,0.125,-0.5]]})");
  ASSERT_EQ(node_count(graph), 2u);
  EXPECT_EQ(graph.nodes[0].lat, 1.5);
  EXPECT_EQ(graph.nodes[1].lat, -3.0);
  EXPECT_EQ(graph.nodes[1].lon, -4.0);
  ASSERT_EQ(edge_count(graph), 6u);
  const std::vector<Edge> edges = edge_list(graph);
  EXPECT_EQ(edges[1].familiarity, 0.25);
  EXPECT_EQ(edges[2].distance_m, -1.0);
  EXPECT_EQ(edges[2].risk_score, -2.0);
  EXPECT_EQ(edges[5].familiarity, -0.5);
  EXPECT_EQ(outgoing_indices(graph, 1), (std::vector<std::uint32_t>{0, 2, 5}));
  EXPECT_EQ(outgoing_indices(graph, 3), (std::vector<std::uint32_t>{1, 3}));
  EXPECT_TRUE(outgoing_edges(graph, 2).empty());
}

TEST(LoadingGraph, AnyErrorBuildsNothing) {
  EXPECT_EQ(message_of(R"({"nodes":[[1,0,0]],"edges":[[1,2,3,4,null],{"from":1,"to":2,"distance_m":3}]})"),
            "missing field `risk_score` at line 1 column 75");
  EXPECT_EQ(message_of(R"({"nodes":[[1,0,0]],"edges":[[1,2,3,4,null]]}[])"), "trailing characters at line 1 column 45");
}

// Documents in every mix of forms, member orders, escaped names, skipped
// members and whitespace hold exactly what was written.
TEST(LoadingGraph, GeneratedDocumentsLoadExactly) {
  std::mt19937_64 random(2024);
  const testing::GeneratorOptions options{.max_nodes = 12, .max_edges = 30};
  for (int round = 0; round < 500; ++round) {
    testing::GeneratedDocument doc = testing::generate_document(random, options);
    std::expected<RoadGraph, DocumentError> graph = load_graph(doc.text);
    ASSERT_TRUE(graph.has_value()) << doc.text << "\n" << graph.error().message();
    ASSERT_EQ(graph->nodes.size(), doc.nodes.size()) << doc.text;
    const std::vector<Edge> edges = edge_list(*graph);
    ASSERT_EQ(edge_count(*graph), doc.edges.size()) << doc.text;
    ASSERT_EQ(edges.size(), doc.edges.size()) << doc.text;
    for (std::size_t i = 0; i < doc.nodes.size(); ++i) {
      EXPECT_EQ(graph->nodes[i].id, doc.nodes[i].id) << doc.text;
      EXPECT_EQ(bits(graph->nodes[i].lat), bits(doc.nodes[i].lat)) << doc.text;
      EXPECT_EQ(bits(graph->nodes[i].lon), bits(doc.nodes[i].lon)) << doc.text;
    }
    for (std::size_t i = 0; i < doc.edges.size(); ++i) {
      const Edge& got = edges[i];
      const Edge& want = doc.edges[i];
      EXPECT_EQ(got.from, want.from) << doc.text;
      EXPECT_EQ(got.to, want.to) << doc.text;
      EXPECT_EQ(bits(got.distance_m), bits(want.distance_m)) << doc.text;
      EXPECT_EQ(bits(got.risk_score), bits(want.risk_score)) << doc.text;
      EXPECT_EQ(bits(got.familiarity), bits(want.familiarity)) << doc.text;
    }
  }
}

}  // namespace
}  // namespace norvel
