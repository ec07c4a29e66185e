#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string_view>
#include <vector>

#include "graph/route_selection.hpp"

namespace norvel {
namespace {

FrontEntry solution(std::vector<NodeId> path, double distance_m, double risk, double familiarity = 0.0) {
  NodeId node = path.back();
  return FrontEntry{std::move(path), node, {distance_m, risk, familiarity}};
}

std::vector<std::string_view> types(const std::vector<RouteRecord>& records) {
  std::vector<std::string_view> result;
  for (const RouteRecord& record : records) result.push_back(record.route_type);
  return result;
}

TEST(SelectRoutes, ThreeDistinctChoicesWithTheirMetrics) {
  ParetoFront front{solution({1, 2, 9}, 1000, 6.0, 0.5), solution({1, 3, 9}, 1200, 2.0),
                    solution({1, 4, 5, 9}, 2000, 0.5)};
  std::vector<RouteRecord> records = select_routes(front);
  ASSERT_EQ(types(records), (std::vector<std::string_view>{"shortest", "safest", "balanced"}));
  EXPECT_EQ(records[0].path, (std::vector<NodeId>{1, 2, 9}));
  EXPECT_EQ(records[1].path, (std::vector<NodeId>{1, 4, 5, 9}));
  EXPECT_EQ(records[2].path, (std::vector<NodeId>{1, 3, 9}));
  EXPECT_EQ(records[0].estimated_time_min, 1000 / 66.67);
  EXPECT_LT(records[0].estimated_time_min, 15.0);
  EXPECT_EQ(records[1].estimated_time_min, 2000 / 66.67);
  EXPECT_EQ(records[2].estimated_time_min, 1200 / 66.67);
  EXPECT_EQ(records[0].comfort_score, std::exp(-12.0));
  EXPECT_EQ(records[1].comfort_score, std::exp(-1.0));
  EXPECT_EQ(records[2].comfort_score, std::exp(-4.0));
  EXPECT_EQ(records[0].total_familiarity, 0.5);
  EXPECT_EQ(records[1].node_count, 4u);
}

TEST(SelectRoutes, BalancedRepeatingAnEarlierChoiceIsDropped) {
  EXPECT_EQ(types(select_routes({solution({1, 2}, 1000, 5.0), solution({1, 3, 2}, 1500, 1.0)})),
            (std::vector<std::string_view>{"shortest", "safest"}));
  // Risks below the floor: scores 49/45 and 1.1, the balanced is the shortest.
  std::vector<RouteRecord> floored = select_routes({solution({1, 2}, 800, 0.2), solution({1, 3, 2}, 900, 0.1)});
  ASSERT_EQ(types(floored), (std::vector<std::string_view>{"shortest", "safest"}));
  EXPECT_EQ(floored[1].path, (std::vector<NodeId>{1, 3, 2}));
}

TEST(SelectRoutes, TiedKeysGoToTheEarliestSolution) {
  ParetoFront front{solution({1, 5}, 500, 4.0), solution({1, 2, 5}, 1000, 2.0), solution({1, 3, 5}, 1500, 1.0),
                    solution({1, 4, 5}, 2000, 0.0)};
  std::vector<RouteRecord> records = select_routes(front);
  ASSERT_EQ(types(records), (std::vector<std::string_view>{"shortest", "safest", "balanced"}));
  EXPECT_EQ(records[1].path, (std::vector<NodeId>{1, 4, 5}));
  EXPECT_EQ(records[2].path, (std::vector<NodeId>{1, 2, 5}));
  // Equal distances: the first in front order is the shortest.
  std::vector<RouteRecord> equal = select_routes({solution({1, 2}, 10, 1.0), solution({1, 3, 2}, 10, 1.0)});
  ASSERT_EQ(equal.size(), 1u);
  EXPECT_EQ(equal[0].path, (std::vector<NodeId>{1, 2}));
}

TEST(SelectRoutes, SamePathFromParallelEdgesGivesOneRecord) {
  std::vector<RouteRecord> records = select_routes({solution({1, 2}, 10, 3.0), solution({1, 2}, 20, 1.0)});
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].total_distance_m, 10.0);
}

TEST(SelectRoutes, SingleSolutionAndMetricEdges) {
  std::vector<RouteRecord> one = select_routes({solution({4}, 0.0, 0.0)});
  ASSERT_EQ(types(one), (std::vector<std::string_view>{"shortest"}));
  EXPECT_EQ(one[0].node_count, 1u);
  EXPECT_EQ(one[0].estimated_time_min, 0.0);
  EXPECT_EQ(one[0].comfort_score, 1.0);
  EXPECT_EQ(select_routes({solution({1, 2}, 66.67, -3.0)})[0].estimated_time_min, 1.0);
  EXPECT_EQ(select_routes({solution({1, 2}, 66.67, -3.0)})[0].comfort_score, 1.0);
  EXPECT_EQ(select_routes({solution({1, 2}, 1.0, 0.5)})[0].comfort_score, std::exp(-1.0));
  EXPECT_TRUE(std::isnan(select_routes({solution({1, 2}, 1.0, std::nan(""))})[0].comfort_score));
}

TEST(SelectRoutes, NaNAndNegativeZeroFollowTotalOrder) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // A NaN distance sorts after every number; -0.0 before +0.0.
  std::vector<RouteRecord> records =
      select_routes({solution({1, 2}, nan, 0.0), solution({1, 3}, 0.0, 1.0), solution({1, 4}, -0.0, 2.0)});
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records[0].path, (std::vector<NodeId>{1, 4}));
  EXPECT_EQ(records[1].path, (std::vector<NodeId>{1, 2}));
  // A negative NaN risk sorts before everything.
  std::vector<RouteRecord> safest = select_routes({solution({1, 2}, 1.0, 0.0), solution({1, 3}, 2.0, -nan)});
  ASSERT_EQ(types(safest), (std::vector<std::string_view>{"shortest", "safest"}));
  EXPECT_EQ(safest[1].path, (std::vector<NodeId>{1, 3}));
}

}  // namespace
}  // namespace norvel
