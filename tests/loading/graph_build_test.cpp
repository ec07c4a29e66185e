// build_graph against a plain model of what every member of the graph must
// hold, on random graphs of every shape: repeated and unlisted ids, runs of
// edges with one tail, graphs whose edge ends outgrow the id table. The edges
// in document order and the incoming rows are derived from the outgoing rows,
// so they are checked against the records as given.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <unordered_map>
#include <vector>

#include "graph/road_graph.hpp"

namespace norvel {
namespace {

std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

// Dense indices in order of first appearance: node ids in document order,
// then edge ends, `from` before `to`, edge by edge.
struct ModelGraph {
  std::vector<NodeId> id_of;
  std::vector<std::uint8_t> listed;
  std::vector<double> lat, lon, cos_lat;
  std::vector<std::uint32_t> out_begin, out_edge_index, out_to;
  std::vector<std::uint32_t> in_begin, in_from, in_edge_index;  // tails ascending per head
  bool has_negative_cost = false;
};

ModelGraph model_of(const std::vector<Node>& nodes, const std::vector<Edge>& edges) {
  ModelGraph model;
  std::unordered_map<NodeId, std::uint32_t> dense;
  auto intern = [&](NodeId id) {
    auto [at, inserted] = dense.try_emplace(id, static_cast<std::uint32_t>(model.id_of.size()));
    if (inserted) model.id_of.push_back(id);
    return at->second;
  };
  for (const Node& node : nodes) intern(node.id);
  for (const Edge& edge : edges) intern(edge.from), intern(edge.to);
  const std::size_t count = model.id_of.size();
  model.listed.assign(count, 0);
  model.lat.assign(count, 0.0);
  model.lon.assign(count, 0.0);
  for (const Node& node : nodes) {
    std::uint32_t at = dense.at(node.id);
    model.listed[at] = 1;
    model.lat[at] = node.lat;
    model.lon[at] = node.lon;
  }
  for (double lat : model.lat) model.cos_lat.push_back(std::cos(lat * 0.017453292519943295));
  std::vector<std::vector<std::uint32_t>> rows(count);
  for (std::uint32_t i = 0; i < edges.size(); ++i) {
    rows[dense.at(edges[i].from)].push_back(i);
    if (edges[i].distance_m < 0.0 || edges[i].risk_score < 0.0) model.has_negative_cost = true;
  }
  model.out_begin.push_back(0);
  for (const std::vector<std::uint32_t>& row : rows) {
    for (std::uint32_t i : row) {
      model.out_edge_index.push_back(i);
      model.out_to.push_back(dense.at(edges[i].to));
    }
    model.out_begin.push_back(static_cast<std::uint32_t>(model.out_edge_index.size()));
  }
  // A stable pass over the edges by tail order lists each head's tails
  // ascending, and one tail's parallel edges in document order.
  std::vector<std::vector<std::uint32_t>> incoming(count);
  for (const std::vector<std::uint32_t>& row : rows) {
    for (std::uint32_t i : row) incoming[dense.at(edges[i].to)].push_back(i);
  }
  model.in_begin.push_back(0);
  for (const std::vector<std::uint32_t>& row : incoming) {
    for (std::uint32_t i : row) {
      model.in_from.push_back(dense.at(edges[i].from));
      model.in_edge_index.push_back(i);
    }
    model.in_begin.push_back(static_cast<std::uint32_t>(model.in_edge_index.size()));
  }
  return model;
}

void expect_matches_model(const std::vector<Node>& nodes, const std::vector<Edge>& edges) {
  const ModelGraph model = model_of(nodes, edges);
  const RoadGraph graph = build_graph(GraphBuilder{nodes, edges});
  ASSERT_EQ(graph.nodes.size(), nodes.size());
  ASSERT_EQ(edge_count(graph), edges.size());
  const std::vector<Edge> listed = edge_list(graph);
  ASSERT_EQ(listed.size(), edges.size());
  for (std::size_t i = 0; i < edges.size(); ++i) {
    ASSERT_EQ(listed[i].from, edges[i].from);
    ASSERT_EQ(listed[i].to, edges[i].to);
    ASSERT_EQ(bits(listed[i].distance_m), bits(edges[i].distance_m));
    ASSERT_EQ(bits(listed[i].risk_score), bits(edges[i].risk_score));
    ASSERT_EQ(bits(listed[i].familiarity), bits(edges[i].familiarity));
  }
  ASSERT_EQ(graph.id_of, model.id_of);
  ASSERT_EQ(graph.listed, model.listed);
  ASSERT_EQ(graph.out_begin, model.out_begin);
  ASSERT_EQ(graph.has_negative_cost, model.has_negative_cost);
  ASSERT_EQ(graph.dense_of.size(), model.id_of.size());
  for (std::size_t dense = 0; dense < model.id_of.size(); ++dense) {
    ASSERT_EQ(graph.dense_of.find(model.id_of[dense]), dense);
    ASSERT_EQ(bits(graph.lat[dense]), bits(model.lat[dense]));
    ASSERT_EQ(bits(graph.lon[dense]), bits(model.lon[dense]));
    ASSERT_EQ(bits(graph.cos_lat[dense]), bits(model.cos_lat[dense]));
  }
  ASSERT_EQ(graph.out_edges.size(), edges.size());
  for (std::size_t slot = 0; slot < edges.size(); ++slot) {
    const Edge& edge = edges[model.out_edge_index[slot]];
    const SearchEdge& search = graph.out_edges[slot];
    ASSERT_EQ(search.to, model.out_to[slot]);
    ASSERT_EQ(search.edge_index, model.out_edge_index[slot]);
    ASSERT_EQ(bits(search.distance_m), bits(edge.distance_m));
    ASSERT_EQ(bits(search.risk_score), bits(edge.risk_score));
    ASSERT_EQ(bits(search.familiarity), bits(edge.familiarity));
  }
  // The view the search and the request read: each row's edges as given.
  for (std::size_t dense = 0; dense < model.id_of.size(); ++dense) {
    OutgoingEdges row = outgoing_edges(graph, model.id_of[dense]);
    ASSERT_EQ(row.size(), model.out_begin[dense + 1] - model.out_begin[dense]);
    std::size_t slot = model.out_begin[dense];
    for (const Edge& got : row) {
      const Edge& want = edges[model.out_edge_index[slot++]];
      ASSERT_EQ(got.from, want.from);
      ASSERT_EQ(got.to, want.to);
      ASSERT_EQ(bits(got.distance_m), bits(want.distance_m));
      ASSERT_EQ(bits(got.risk_score), bits(want.risk_score));
      ASSERT_EQ(bits(got.familiarity), bits(want.familiarity));
    }
  }
  ASSERT_EQ(graph.in_begin, model.in_begin);
  ASSERT_EQ(graph.in_edges.size(), edges.size());
  for (std::size_t at = 0; at < edges.size(); ++at) {
    const IncomingEdge& incoming = graph.in_edges[at];
    const Edge& edge = edges[model.in_edge_index[at]];
    ASSERT_EQ(incoming.from, model.in_from[at]);
    ASSERT_EQ(bits(incoming.distance_m), bits(edge.distance_m));
    ASSERT_EQ(bits(incoming.risk_score), bits(edge.risk_score));
  }
}

class GraphShapes {
 public:
  explicit GraphShapes(std::uint64_t seed) : random_(seed) {}

  std::size_t below(std::size_t limit) { return limit == 0 ? 0 : static_cast<std::size_t>(random_() % limit); }
  double any_double() { return static_cast<double>(static_cast<std::int64_t>(random_() % 2001) - 1000) / 7.0; }

  void build(std::vector<Node>& nodes, std::vector<Edge>& edges) {
    const std::size_t scale = std::size_t{1} << below(13);
    const std::size_t node_count = below(scale + 1);
    const std::size_t edge_count = below(3 * scale + 1);
    // A small pool gives repeats; a large one, edge ends nobody lists.
    const std::size_t pool = 1 + below(2 * scale + 2);
    const std::uint64_t base = below(4) == 0 ? UINT64_MAX - pool : random_() >> below(64);
    auto id = [&] { return base + below(pool); };
    const bool negative = below(4) == 0;
    for (std::size_t i = 0; i < node_count; ++i) nodes.push_back(Node{id(), any_double(), any_double()});
    NodeId from = id();
    for (std::size_t i = 0; i < edge_count; ++i) {
      if (below(3) != 0) from = id();  // otherwise a run of edges with one tail
      double distance = std::abs(any_double());
      double risk = std::abs(any_double());
      if (negative && below(50) == 0) (below(2) ? distance : risk) = -1.5;
      edges.push_back(Edge{from, id(), distance, risk, below(2) ? 0.0 : any_double()});
    }
  }

 private:
  std::mt19937_64 random_;
};

TEST(GraphBuild, EveryMemberMatchesTheModel) {
  GraphShapes shapes(1234);
  for (int round = 0; round < 400; ++round) {
    std::vector<Node> nodes;
    std::vector<Edge> edges;
    shapes.build(nodes, edges);
    expect_matches_model(nodes, edges);
    if (HasFatalFailure()) return;
  }
}

// Only edges: every id is interned while the table grows under the lookups
// issued ahead of it.
TEST(GraphBuild, EdgesAloneOutgrowTheIdTable) {
  std::vector<Edge> edges;
  for (std::uint64_t i = 0; i < 20000; ++i) edges.push_back(Edge{i * 3, i * 3 + 1, 1.0, 2.0, 0.0});
  expect_matches_model({}, edges);
  std::vector<Node> few = {{5, 1.0, 2.0}, {6, 3.0, 4.0}};
  expect_matches_model(few, edges);
}

TEST(GraphBuild, EmptyAndTinyGraphs) {
  expect_matches_model({}, {});
  expect_matches_model({{7, 1.0, 2.0}, {7, 3.0, 4.0}}, {});
  expect_matches_model({}, {{1, 1, 0.0, -0.0, 0.0}});
  expect_matches_model({{0, -0.0, 0.0}}, {{0, UINT64_MAX, -1.0, 0.0, 0.5}, {0, 0, 1.0, 1.0, 0.0}});
}

}  // namespace
}  // namespace norvel
