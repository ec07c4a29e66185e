#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
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
  const Edge& edge = graph.edges[0];
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
  EXPECT_EQ(graph.edges[1].familiarity, 0.25);
  EXPECT_EQ(graph.edges[2].distance_m, -1.0);
  EXPECT_EQ(graph.edges[2].risk_score, -2.0);
  EXPECT_EQ(graph.edges[5].familiarity, -0.5);
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
  testing::GeneratorOptions options;
  options.max_nodes = 12;
  options.max_edges = 30;
  for (int round = 0; round < 500; ++round) {
    testing::GeneratedDocument doc = testing::generate_document(random, options);
    std::expected<RoadGraph, DocumentError> graph = load_graph(doc.text);
    ASSERT_TRUE(graph.has_value()) << doc.text << "\n" << graph.error().message();
    ASSERT_EQ(graph->nodes.size(), doc.nodes.size()) << doc.text;
    ASSERT_EQ(graph->edges.size(), doc.edges.size()) << doc.text;
    for (std::size_t i = 0; i < doc.nodes.size(); ++i) {
      EXPECT_EQ(graph->nodes[i].id, doc.nodes[i].id) << doc.text;
      EXPECT_EQ(bits(graph->nodes[i].lat), bits(doc.nodes[i].lat)) << doc.text;
      EXPECT_EQ(bits(graph->nodes[i].lon), bits(doc.nodes[i].lon)) << doc.text;
    }
    for (std::size_t i = 0; i < doc.edges.size(); ++i) {
      const Edge& got = graph->edges[i];
      const Edge& want = doc.edges[i];
      EXPECT_EQ(got.from, want.from) << doc.text;
      EXPECT_EQ(got.to, want.to) << doc.text;
      EXPECT_EQ(bits(got.distance_m), bits(want.distance_m)) << doc.text;
      EXPECT_EQ(bits(got.risk_score), bits(want.risk_score)) << doc.text;
      EXPECT_EQ(bits(got.familiarity), bits(want.familiarity)) << doc.text;
    }
  }
}

// The same bits, element for element (the records have no padding).
template <class T>
::testing::AssertionResult same_array(const std::vector<T>& a, const std::vector<T>& b, const char* what) {
  if (a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << what << " differ";
}

void expect_same_graph(const RoadGraph& a, const RoadGraph& b) {
  EXPECT_TRUE(same_array(a.nodes, b.nodes, "nodes"));
  EXPECT_TRUE(same_array(a.edges, b.edges, "edges"));
  EXPECT_TRUE(same_array(a.id_of, b.id_of, "id_of"));
  EXPECT_TRUE(same_array(a.listed, b.listed, "listed"));
  EXPECT_TRUE(same_array(a.lat, b.lat, "lat"));
  EXPECT_TRUE(same_array(a.lon, b.lon, "lon"));
  EXPECT_TRUE(same_array(a.cos_lat, b.cos_lat, "cos_lat"));
  EXPECT_TRUE(same_array(a.out_begin, b.out_begin, "out_begin"));
  EXPECT_TRUE(same_array(a.out_edges, b.out_edges, "out_edges"));
  EXPECT_EQ(a.has_negative_cost, b.has_negative_cost);
  EXPECT_EQ(a.dense_of.size(), b.dense_of.size());
  for (std::size_t dense = 0; dense < b.id_of.size(); ++dense) ASSERT_EQ(a.dense_of.find(b.id_of[dense]), dense);
}

std::string message_with(std::string_view text, LoadThreads threads) {
  std::expected<RoadGraph, DocumentError> graph = load_graph(text, threads);
  return graph ? std::string("accepted") : graph.error().message();
}

// Large documents, so that the edges reach the second thread in many runs
// and their array moves while it indexes them; nodes before edges, after
// them, or none at all.
testing::GeneratedDocument large_document(std::mt19937_64& random) {
  testing::GeneratorOptions options;
  options.max_nodes = 15000;
  options.max_edges = 70000;
  options.unrecognised_members = random() % 2 == 0;
  options.whitespace = random() % 2 == 0;
  return testing::generate_document(random, options);
}

TEST(LoadingGraph, IndexingOnASecondThreadBuildsTheSameGraph) {
  std::mt19937_64 random(77);
  for (int round = 0; round < 8; ++round) {
    testing::GeneratedDocument doc = large_document(random);
    std::expected<RoadGraph, DocumentError> one = load_graph(doc.text, LoadThreads::kOne);
    std::expected<RoadGraph, DocumentError> two = load_graph(doc.text, LoadThreads::kTwo);
    ASSERT_TRUE(one.has_value() && two.has_value());
    ASSERT_EQ(two->edges.size(), doc.edges.size());
    expect_same_graph(*two, *one);
    if (HasFailure()) return;
  }
}

// Long records first and short ones after: the room made for the edges from
// the first ones is far too small, so the edge array moves again and again
// while the second thread indexes it.
TEST(LoadingGraph, IndexingOnASecondThreadSurvivesTheEdgesMoving) {
  std::string text = R"({"nodes":[)";
  for (int i = 0; i < 1000; ++i) text += (i ? ",[" : "[") + std::to_string(i * 7) + ",0.5,1.5]";
  text += R"(],"edges":[)";
  const std::string note(300, 'n');
  for (int i = 0; i < 120000; ++i) {
    if (i > 0) text += ",";
    const std::string from = std::to_string((i % 1500) * 7), to = std::to_string((i * 13 % 1700) * 7);
    if (i < 3000) {
      text += R"({"from":)" + from + R"(,"note":")" + note + R"(","to":)" + to + R"(,"distance_m":1.5,"risk_score":0.25})";
    } else {
      text += "[" + from + "," + to + ",2.5,0.75,null]";
    }
  }
  text += "]}";
  std::expected<RoadGraph, DocumentError> one = load_graph(text, LoadThreads::kOne);
  std::expected<RoadGraph, DocumentError> two = load_graph(text, LoadThreads::kTwo);
  ASSERT_TRUE(one.has_value()) << one.error().message();
  ASSERT_TRUE(two.has_value());
  ASSERT_EQ(two->edges.size(), 120000u);
  expect_same_graph(*two, *one);
}

// A document that fails anywhere, the node list, the first run of edges, the
// middle, the very end, fails with the same message; the second thread is
// stopped wherever it is.
TEST(LoadingGraph, IndexingOnASecondThreadReportsTheSameErrors) {
  std::mt19937_64 random(78);
  for (int round = 0; round < 5; ++round) {
    const std::string text = large_document(random).text;
    for (int cut = 0; cut < 8; ++cut) {
      std::string broken = text;
      const std::size_t at = cut == 0 ? text.size() - 1 : random() % text.size();
      if (random() % 2 == 0) {
        broken.resize(at);
      } else {
        broken[at] = "x}]:,\"\0"[random() % 7];
      }
      ASSERT_EQ(message_with(broken, LoadThreads::kTwo), message_with(broken, LoadThreads::kOne)) << "at " << at;
    }
  }
}

}  // namespace
}  // namespace norvel
