#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "graph/pareto_search.hpp"
#include "graph_fixtures.hpp"

namespace norvel {
namespace {

using testing::make_graph;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Search with every node at one place, so every heuristic is 0.0.
ParetoFront search(const RoadGraph& graph, NodeId source, NodeId target, double eps) {
  return *pareto_search(graph, source, target, 48.0, 2.0, eps);
}

std::vector<std::vector<NodeId>> paths(const ParetoFront& front) {
  std::vector<std::vector<NodeId>> result;
  for (const FrontEntry& entry : front) result.push_back(entry.path);
  return result;
}

// A = 1, B = 2, T = 3.
RoadGraph worked_example() {
  return make_graph({{1, 48.0, 2.0}, {2, 48.0, 2.0}, {3, 48.0, 2.0}},
                    {{1, 3, 105.0, 0.5}, {1, 2, 50.0, 0.1}, {2, 3, 60.0, 0.1}});
}

TEST(ParetoSearch, WorkedExampleExactAndApproximate) {
  RoadGraph graph = worked_example();
  ParetoFront exact = search(graph, 1, 3, 0.0);
  ASSERT_EQ(paths(exact), (std::vector<std::vector<NodeId>>{{1, 2, 3}, {1, 3}}));
  EXPECT_EQ(exact[0].costs.distance_m, 110.0);
  EXPECT_EQ(exact[0].costs.risk, 0.1 + 0.1);
  EXPECT_EQ(exact[1].costs.distance_m, 105.0);
  EXPECT_EQ(exact[1].costs.risk, 0.5);
  EXPECT_EQ(exact[1].node, 3u);
  EXPECT_EQ(paths(search(graph, 1, 3, 0.1)), (std::vector<std::vector<NodeId>>{{1, 2, 3}}));
}

TEST(ParetoSearch, SourceEqualToTargetAndUnreachableTarget) {
  RoadGraph graph = worked_example();
  ParetoFront same = search(graph, 1, 1, 0.0);
  ASSERT_EQ(paths(same), (std::vector<std::vector<NodeId>>{{1}}));
  EXPECT_EQ(same[0].costs.distance_m, 0.0);
  EXPECT_EQ(same[0].costs.familiarity, 0.0);
  EXPECT_TRUE(search(graph, 3, 1, 0.0).empty());
  EXPECT_TRUE(search(graph, 1, 99, 0.0).empty());
}

TEST(ParetoSearch, EqualRoutesGoToTheMoreFamiliarLabel) {
  // Two routes of equal distance and risk; the familiar one has the smaller
  // priority, reaches the target first and covers the other.
  RoadGraph graph = make_graph({{1, 48, 2}, {2, 48, 2}, {3, 48, 2}, {4, 48, 2}},
                               {{1, 2, 10, 1, 0}, {1, 3, 10, 1, 0.5}, {2, 4, 10, 1, 0}, {3, 4, 10, 1, 0}});
  ParetoFront front = search(graph, 1, 4, 0.0);
  ASSERT_EQ(paths(front), (std::vector<std::vector<NodeId>>{{1, 3, 4}}));
  EXPECT_EQ(front[0].costs.familiarity, 0.5);
}

TEST(ParetoSearch, EqualLabelsAtAnIntermediateNodeAreBothExpanded) {
  // Parallel edges 1->2 give two equal labels at 2; both are kept and
  // expanded. With eps 0.0 the second arrival at the target is covered by
  // the first; a slightly negative eps lets both through.
  RoadGraph graph = make_graph({{1, 48, 2}, {2, 48, 2}, {3, 48, 2}},
                               {{1, 2, 5, 1, 0}, {1, 2, 5, 1, 0}, {2, 3, 5, 1, 0}, {1, 3, 20, 0, 0}});
  EXPECT_EQ(paths(search(graph, 1, 3, 0.0)), (std::vector<std::vector<NodeId>>{{1, 3}, {1, 2, 3}}));
  EXPECT_EQ(paths(search(graph, 1, 3, -0.01)), (std::vector<std::vector<NodeId>>{{1, 3}, {1, 2, 3}, {1, 2, 3}}));
}

TEST(ParetoSearch, LaterSolutionEvictsTheOnesItStrictlyDominates) {
  // With eps negative the solution test covers nothing here, so a strictly
  // better route found later evicts the earlier one. The heuristic pulls
  // the worse route through node 2 first.
  RoadGraph graph = make_graph({{1, 0.0, 0.0}, {2, 0.0, 0.0}, {3, 0.0, 0.1}, {4, 0.0, 0.0}},
                               {{1, 2, 10, 1}, {2, 4, 10, 1}, {1, 3, 1, 0}, {3, 4, 1, 0}});
  ParetoFront front = *pareto_search(graph, 1, 4, 0.0, 0.0, -0.5);
  ASSERT_EQ(paths(front), (std::vector<std::vector<NodeId>>{{1, 3, 4}}));
}

TEST(ParetoSearch, NaNEpsCoversNothingAndNegativeEpsKeepsEqualRoutes) {
  RoadGraph graph = make_graph({{1, 48, 2}, {2, 48, 2}, {3, 48, 2}},
                               {{1, 3, 105.0, 0.5}, {1, 2, 50.0, 0.1}, {2, 3, 60.0, 0.1}, {1, 3, 105.0, 0.5}});
  EXPECT_EQ(paths(search(graph, 1, 3, kNaN)), (std::vector<std::vector<NodeId>>{{1, 2, 3}, {1, 3}, {1, 3}}));
  EXPECT_EQ(paths(search(graph, 1, 3, -0.01)), (std::vector<std::vector<NodeId>>{{1, 2, 3}, {1, 3}, {1, 3}}));
  EXPECT_EQ(paths(search(graph, 1, 3, 0.0)), (std::vector<std::vector<NodeId>>{{1, 2, 3}, {1, 3}}));
}

TEST(ParetoSearch, ZeroCostCyclesEnd) {
  RoadGraph graph = make_graph({{1, 48, 2}, {2, 48, 2}, {3, 48, 2}, {4, 48, 2}},
                               {{1, 2, 0, 0}, {2, 1, 0, 0}, {2, 3, 0, 0}, {3, 2, 0, 0}, {2, 2, 0, 0}, {3, 4, 1, 1}});
  ParetoFront front = search(graph, 1, 4, 0.0);
  ASSERT_EQ(paths(front), (std::vector<std::vector<NodeId>>{{1, 2, 3, 4}}));
  EXPECT_EQ(front[0].costs.distance_m, 1.0);
}

TEST(ParetoSearch, NegativeCyclesEndWithSimplePaths) {
  RoadGraph graph = make_graph({{1, 48, 2}, {2, 48, 2}, {3, 48, 2}, {4, 48, 2}},
                               {{1, 2, 1, 1}, {2, 3, -5, -1}, {3, 2, 1, 0}, {2, 4, 1, 1}, {3, 4, 2, -2}, {4, 4, -1, -1}});
  ParetoFront front = search(graph, 1, 4, 0.0);
  ASSERT_FALSE(front.empty());
  for (const FrontEntry& entry : front) {
    EXPECT_EQ(entry.path.front(), 1u);
    EXPECT_EQ(entry.path.back(), 4u);
    std::vector<NodeId> sorted = entry.path;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
  }
}

TEST(ParetoSearch, CyclesWhoseCostsRoundAwayEnd) {
  // After the first huge edge, the cycle's 1 m no longer changes the sum.
  RoadGraph graph = make_graph({{1, 48, 2}, {2, 48, 2}, {3, 48, 2}, {4, 48, 2}},
                               {{1, 2, 1e300, 1e300}, {2, 3, 1, 1}, {3, 2, 1, 1}, {3, 4, 1, 1}});
  EXPECT_EQ(paths(search(graph, 1, 4, 0.0)), (std::vector<std::vector<NodeId>>{{1, 2, 3, 4}}));
  RoadGraph overflowing = make_graph({{1, 48, 2}, {2, 48, 2}, {3, 48, 2}},
                                     {{1, 2, 1e308, 1e308}, {2, 2, 1e308, 1e308}, {2, 3, 1e308, 1}});
  ParetoFront front = search(overflowing, 1, 3, 0.0);
  ASSERT_EQ(paths(front), (std::vector<std::vector<NodeId>>{{1, 2, 3}}));
  EXPECT_TRUE(std::isinf(front[0].costs.distance_m));
}

}  // namespace
}  // namespace norvel

namespace norvel {
namespace {

TEST(ParetoSearch, NaNCostsAreNeverPrunedNorPrune) {
  // Documents cannot hold NaN, but the library's own callers can: a NaN
  // distance is neither covered by a solution nor dominated at a node, and
  // the cycle through node 2 must still end.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  RoadGraph graph = make_graph({{1, 48, 2}, {2, 48, 2}, {3, 48, 2}},
                               {{1, 3, 1, 1}, {1, 2, nan, 0}, {2, 2, 1, 1}, {2, 3, 1, 1}});
  ParetoFront front = search(graph, 1, 3, 0.0);
  ASSERT_EQ(paths(front), (std::vector<std::vector<NodeId>>{{1, 3}, {1, 2, 3}}));
  EXPECT_TRUE(std::isnan(front[1].costs.distance_m));
}

}  // namespace
}  // namespace norvel
