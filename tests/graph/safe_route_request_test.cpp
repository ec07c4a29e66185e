#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "graph/safe_route_request.hpp"
#include "graph_fixtures.hpp"

namespace norvel {
namespace {

using testing::make_graph;

RoadGraph worked_request_graph() {
  return make_graph({{1, 48.0, 2.0}, {2, 48.0, 2.0}, {3, 48.0, 2.0}},
                    {{1, 3, 105.0, 0.5}, {1, 2, 50.0, 0.1}, {2, 3, 60.0, 0.1}});
}

std::string error_of(const RoadGraph& graph, NodeId source, NodeId target) {
  auto result = compute_safe_routes(graph, source, target, 0.0);
  return result.has_value() ? std::string("(routes)") : result.error().message;
}

TEST(SafeRouteRequest, WorkedRequest) {
  RoadGraph graph = worked_request_graph();
  auto routes = compute_safe_routes(graph, 1, 3, 0.0);
  ASSERT_TRUE(routes.has_value());
  ASSERT_EQ(routes->size(), 2u);
  const RouteRecord& shortest = (*routes)[0];
  EXPECT_EQ(shortest.route_type, "shortest");
  EXPECT_EQ(shortest.path, (std::vector<NodeId>{1, 3}));
  EXPECT_EQ(shortest.total_distance_m, 105.0);
  EXPECT_EQ(shortest.total_risk, 0.5);
  EXPECT_EQ(shortest.total_familiarity, 0.0);
  EXPECT_EQ(shortest.estimated_time_min, 105.0 / 66.67);
  EXPECT_EQ(shortest.node_count, 2u);
  EXPECT_EQ(shortest.comfort_score, std::exp(-1.0));
  const RouteRecord& safest = (*routes)[1];
  EXPECT_EQ(safest.route_type, "safest");
  EXPECT_EQ(safest.path, (std::vector<NodeId>{1, 2, 3}));
  EXPECT_EQ(safest.total_distance_m, 110.0);
  EXPECT_EQ(safest.total_risk, 0.1 + 0.1);
  EXPECT_EQ(safest.comfort_score, std::exp(-2.0 * (0.1 + 0.1)));
  EXPECT_EQ(safest.node_count, 3u);

  auto approximate = compute_safe_routes(graph, 1, 3, 0.1);
  ASSERT_TRUE(approximate.has_value());
  ASSERT_EQ(approximate->size(), 1u);
  EXPECT_EQ((*approximate)[0].route_type, "shortest");
  EXPECT_EQ((*approximate)[0].path, (std::vector<NodeId>{1, 2, 3}));
}

TEST(SafeRouteRequest, SourceEqualToTarget) {
  auto routes = compute_safe_routes(worked_request_graph(), 1, 1, 0.0);
  ASSERT_TRUE(routes.has_value());
  ASSERT_EQ(routes->size(), 1u);
  EXPECT_EQ((*routes)[0].path, (std::vector<NodeId>{1}));
  EXPECT_EQ((*routes)[0].comfort_score, 1.0);
  EXPECT_EQ(error_of(worked_request_graph(), 3, 3),
            "Nœud source 3 isolé (aucun arc sortant) — graphe déconnecté ?");
}

TEST(SafeRouteRequest, ErrorsComeInTheirOrderWithExactMessages) {
  RoadGraph graph = make_graph({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {UINT64_MAX, 0, 0}},
                               {{1, 2, 1, 1}, {4, 1, 1, 1}, {1, 5, 1, 1}});
  EXPECT_EQ(error_of(graph, 9, 10), "Nœud source 9 introuvable dans le graphe");
  // An id that only occurs at an edge end is not in the graph.
  EXPECT_EQ(error_of(graph, 4, 1), "Nœud source 4 introuvable dans le graphe");
  EXPECT_EQ(error_of(graph, 1, 5), "Nœud cible 5 introuvable dans le graphe");
  EXPECT_EQ(error_of(graph, 2, 5), "Nœud cible 5 introuvable dans le graphe");
  EXPECT_EQ(error_of(graph, 2, 1), "Nœud source 2 isolé (aucun arc sortant) — graphe déconnecté ?");
  EXPECT_EQ(error_of(graph, 1, 3),
            "Aucun chemin trouvé entre 1 et 3. Les nœuds sont peut-être dans des composantes déconnectées.");
  EXPECT_EQ(error_of(graph, 1, UINT64_MAX),
            "Aucun chemin trouvé entre 1 et 18446744073709551615. Les nœuds sont peut-être dans des composantes "
            "déconnectées.");
  EXPECT_EQ(error_of(make_graph({}, {}), 0, 0), "Nœud source 0 introuvable dans le graphe");
  EXPECT_EQ(compute_safe_routes(graph, 1, 3, 0.0).error().kind, RouteErrorKind::no_route);
}

TEST(SafeRouteRequest, HeuristicMeasuresToTheLastRecordOfARepeatedTarget) {
  // Two equal routes; the more familiar one through node 4 wins only if its
  // label at 4 is popped first, which happens when the target is taken at
  // its first record (10, 10) but not at its last one (0, 0).
  RoadGraph graph = make_graph({{3, 10.0, 10.0}, {1, 0.0, 0.0}, {2, 0.0, 0.0}, {4, 0.0, 5.0}, {3, 0.0, 0.0}},
                               {{1, 2, 1, 0}, {1, 4, 1, 0}, {2, 3, 1, 0}, {4, 3, 1, 0, 1.0}});
  auto routes = compute_safe_routes(graph, 1, 3, 0.0);
  ASSERT_TRUE(routes.has_value());
  ASSERT_EQ(routes->size(), 1u);
  EXPECT_EQ((*routes)[0].path, (std::vector<NodeId>{1, 2, 3}));
  EXPECT_EQ((*routes)[0].total_familiarity, 0.0);
}

}  // namespace
}  // namespace norvel
