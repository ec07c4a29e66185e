// Answers on a risk layer against the same requests on a graph whose
// document has the layer's risks as risk_score: bit for bit, every strategy
// and tie-break included.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "graph/catchment_search.hpp"
#include "graph/destination_bounds.hpp"
#include "graph/edge_risk.hpp"
#include "graph/road_graph.hpp"
#include "graph/safe_route_request.hpp"

namespace norvel {
namespace {

struct Made {
  std::vector<Node> nodes;
  std::vector<Edge> edges;
  std::vector<NodeId> ids;
};

RoadGraph graph_of(const Made& made, const std::vector<double>* risks = nullptr) {
  GraphBuilder builder;
  for (const Node& node : made.nodes) add_node(builder, node);
  for (std::size_t i = 0; i < made.edges.size(); ++i) {
    Edge edge = made.edges[i];
    if (risks != nullptr) edge.risk_score = (*risks)[i];
    add_edge(builder, edge);
  }
  return build_graph(std::move(builder));
}

// Street-like: a jittered grid, mostly two-way, some one-way and parallel
// edges, an unlisted node, risks of a few decimals or whole numbers that tie.
Made random_graph(std::mt19937_64& rng, int side) {
  Made made;
  for (int i = 0; i < side * side; ++i) {
    const NodeId id = 100 + static_cast<NodeId>(i) * 7;
    made.ids.push_back(id);
    made.nodes.push_back(Node{id, 60.0 + (i / side) * 1e-3 + static_cast<double>(rng() % 10) * 1e-5,
                              25.0 + (i % side) * 2e-3 + static_cast<double>(rng() % 10) * 1e-5});
  }
  auto add = [&](NodeId a, NodeId b) {
    const double distance = static_cast<double>(100 + rng() % 60) + (rng() % 2 ? 0.25 : 0.0);
    const double risk = static_cast<double>(rng() % 5) / 100.0;
    made.edges.push_back(Edge{a, b, distance, risk, 0.0});
    if (rng() % 5 != 0) made.edges.push_back(Edge{b, a, distance, risk, 0.0});
    if (rng() % 17 == 0) made.edges.push_back(Edge{a, b, distance + 3.0, risk / 2.0, 0.0});
  };
  for (int r = 0; r < side; ++r) {
    for (int c = 0; c < side; ++c) {
      const NodeId at = made.ids[r * side + c];
      if (c + 1 < side && rng() % 10 != 0) add(at, made.ids[r * side + c + 1]);
      if (r + 1 < side && rng() % 10 != 0) add(at, made.ids[(r + 1) * side + c]);
    }
  }
  add(made.ids[0], 5);  // an end that is no listed node
  return made;
}

std::vector<double> random_layer(std::mt19937_64& rng, std::size_t count, int flavour) {
  std::vector<double> risks(count);
  for (double& risk : risks) {
    switch (flavour) {
      case 0: risk = static_cast<double>(rng() % 4); break;                 // whole numbers: many ties
      case 1: risk = std::round(std::uniform_real_distribution<double>(0.0, 0.2)(rng) * 1e4) / 1e4; break;
      default: risk = rng() % 3 == 0 ? 0.0 : static_cast<double>(rng() % 1000) / 997.0; break;
    }
  }
  return risks;
}

bool same_records(const std::expected<std::vector<RouteRecord>, RouteError>& a,
                  const std::expected<std::vector<RouteRecord>, RouteError>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return a.error().kind == b.error().kind;
  if (a->size() != b->size()) return false;
  for (std::size_t i = 0; i < a->size(); ++i) {
    const RouteRecord& x = (*a)[i];
    const RouteRecord& y = (*b)[i];
    if (x.path != y.path || x.route_type != y.route_type || !(x.total_distance_m == y.total_distance_m) ||
        !(x.total_risk == y.total_risk) || !(x.comfort_score == y.comfort_score)) {
      return false;
    }
  }
  return true;
}

bool same_facts(const CostFacts& a, const CostFacts& b) {
  return a.has_negative_cost == b.has_negative_cost && a.costs_bounded_below == b.costs_bounded_below &&
         a.distance_sums_exact == b.distance_sums_exact && a.risk_sums_exact == b.risk_sums_exact &&
         a.parallel_edges_differ == b.parallel_edges_differ &&
         a.distance_per_plane_unit == b.distance_per_plane_unit && a.risk_per_plane_unit == b.risk_per_plane_unit;
}

TEST(RiskLayer, AnswersEqualThoseOfTheDocumentWithTheLayersRisks) {
  std::mt19937_64 rng(20261209);
  int compared = 0;
  for (int round = 0; round < 24; ++round) {
    const Made made = random_graph(rng, 5 + round % 4);
    const RoadGraph graph = graph_of(made);
    const std::vector<double> risks = random_layer(rng, made.edges.size(), round % 3);
    const RiskLayer layer = make_risk_layer(graph, risks);
    const RoadGraph replaced = graph_of(made, &risks);
    ASSERT_TRUE(same_facts(layer.facts, document_cost_facts(replaced))) << "round " << round;
    ASSERT_EQ(risks_by_edge(graph, layer), risks);

    DestinationBounds on_layer(graph, &layer);
    DestinationBounds on_replaced(replaced);
    for (int pair = 0; pair < 40; ++pair) {
      const NodeId source = made.ids[rng() % made.ids.size()];
      const NodeId target = pair % 7 == 0 ? NodeId{5} : made.ids[rng() % made.ids.size()];
      const double eps = pair % 2 == 0 ? 0.0 : 0.1;
      const auto expected = compute_safe_routes(replaced, source, target, eps);
      ASSERT_TRUE(same_records(compute_safe_routes(graph, source, target, eps, SearchOptions{.risk_layer = &layer}),
                               expected))
          << "round " << round << " pair " << source << " -> " << target << " eps " << eps;
      // Requests that share a destination's searches, on the layer's.
      const std::uint32_t target_dense = graph.dense_of.find(target);
      if (target_dense != IdIndex::kAbsent) {
        on_layer.start(target_dense);
        ASSERT_TRUE(same_records(compute_safe_routes(graph, source, target, eps,
                                                     SearchOptions{.destination = &on_layer, .risk_layer = &layer}),
                                 expected));
        // Searches made on other risks are not used for a layer's request.
        on_replaced.start(target_dense);
        ASSERT_TRUE(same_records(
            compute_safe_routes(graph, source, target, eps, SearchOptions{.destination = &on_replaced, .risk_layer = &layer}),
            expected));
      }
      ++compared;
    }
    for (WalkDirection direction : {WalkDirection::to_place, WalkDirection::from_place}) {
      const NodeId place = made.ids[rng() % made.ids.size()];
      const auto on = catchment_search(graph, place, 12.0, direction, {}, &layer);
      const auto off = catchment_search(replaced, place, 12.0, direction);
      ASSERT_EQ(on.has_value(), off.has_value());
      if (!on) continue;
      ASSERT_EQ(on->nodes.size(), off->nodes.size());
      for (std::size_t i = 0; i < on->nodes.size(); ++i) {
        const CatchmentNode& x = on->nodes[i];
        const CatchmentNode& y = off->nodes[i];
        ASSERT_EQ(x.dense, y.dense);
        ASSERT_TRUE(x.shortest.distance_m == y.shortest.distance_m && x.shortest.risk == y.shortest.risk &&
                    x.safest.distance_m == y.safest.distance_m && x.safest.risk == y.safest.risk &&
                    x.balanced.distance_m == y.balanced.distance_m && x.balanced.risk == y.balanced.risk);
      }
    }
  }
  EXPECT_EQ(compared, 24 * 40);
}

// A layer made from values handed over is the layer made from a copy of
// them, whether the document lists its edges in the order of the rows
// (kept as they are) or in another (gathered into that order).
TEST(RiskLayer, ValuesHandedOverMakeTheSameLayerInEitherOrder) {
  std::mt19937_64 rng(91);
  for (int round = 0; round < 12; ++round) {
    const Made shuffled = random_graph(rng, 4 + round % 3);
    Made in_rows = shuffled;
    in_rows.edges.clear();
    const RoadGraph first = graph_of(shuffled);
    for (const SearchEdge& entry : first.out_edges) in_rows.edges.push_back(shuffled.edges[entry.edge_index]);
    for (const Made* made : {&shuffled, static_cast<const Made*>(&in_rows)}) {
      const RoadGraph graph = graph_of(*made);
      const std::vector<double> risks = random_layer(rng, made->edges.size(), round % 3);
      const RiskLayer copied = make_risk_layer(graph, risks);
      const RiskLayer handed = make_risk_layer(graph, std::vector<double>(risks.begin(), risks.end()));
      EXPECT_EQ(handed.by_row, copied.by_row);
      EXPECT_TRUE(same_facts(handed.facts, copied.facts));
    }
  }
}

TEST(RiskLayer, FactsFollowTheLayerNotTheDocument) {
  // A document whose own risks are negative has a layer that is fine, and
  // the other way round: each search decides by the risks it reads.
  Made made;
  made.nodes = {{1, 60.0, 25.0}, {2, 60.001, 25.0}, {3, 60.002, 25.0}};
  made.edges = {{1, 2, 100.0, -1.0, 0.0}, {2, 3, 100.0, 0.5, 0.0}, {1, 2, 100.0, 0.25, 0.0}};
  const RoadGraph graph = graph_of(made);
  EXPECT_FALSE(graph.costs_bounded_below);
  const std::vector<double> risks = {0.5, 0.5, 0.5};
  const RiskLayer layer = make_risk_layer(graph, risks);
  EXPECT_TRUE(layer.facts.costs_bounded_below);
  EXPECT_FALSE(layer.facts.parallel_edges_differ);  // both 1 -> 2 edges weigh alike on the layer
  EXPECT_TRUE(catchment_search(graph, 3, std::numeric_limits<double>::infinity(), WalkDirection::to_place, {}, &layer).has_value());
  EXPECT_FALSE(catchment_search(graph, 3, std::numeric_limits<double>::infinity(), WalkDirection::to_place).has_value());
}

}  // namespace
}  // namespace norvel
