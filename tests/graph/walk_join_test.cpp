#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "graph/walk_join.hpp"

namespace norvel {
namespace {

// A leg's routes as lists of edges, in its front order.
struct Leg {
  std::vector<std::uint32_t> edges;
  std::vector<std::size_t> starts{0};

  Leg() = default;
  Leg(std::initializer_list<std::vector<std::uint32_t>> routes) {
    for (const auto& route : routes) add(route);
  }
  void add(const std::vector<std::uint32_t>& route) {
    edges.insert(edges.end(), route.begin(), route.end());
    starts.push_back(edges.size());
  }
  LegRoutes routes() const { return {edges, starts}; }
};

struct Columns {
  std::vector<double> lengths;
  std::vector<double> risks;
  std::vector<double> familiarity;
  EdgeColumns view() const { return {lengths, risks, familiarity}; }
};

// A walk as compared here: its sums' bits and its picks.
struct Point {
  std::uint64_t distance_m;
  std::uint64_t risk;
  std::uint64_t familiarity;
  std::vector<std::uint32_t> picks;
  bool operator==(const Point&) const = default;
};

std::vector<Point> points(const WalkFront& front) {
  std::vector<Point> result;
  for (std::size_t at = 0; at < front.distance_m.size(); ++at) {
    const auto row = front.picks.begin() + static_cast<std::ptrdiff_t>(at * front.legs);
    result.push_back({std::bit_cast<std::uint64_t>(front.distance_m[at]), std::bit_cast<std::uint64_t>(front.risk[at]),
                      std::bit_cast<std::uint64_t>(front.familiarity[at]),
                      {row, row + static_cast<std::ptrdiff_t>(front.legs)}});
  }
  return result;
}

Point point(double distance_m, double risk, double familiarity, std::vector<std::uint32_t> picks) {
  return {std::bit_cast<std::uint64_t>(distance_m), std::bit_cast<std::uint64_t>(risk),
          std::bit_cast<std::uint64_t>(familiarity), std::move(picks)};
}

std::vector<Point> joined(std::vector<double> distance_m, std::vector<double> risk, const std::vector<Leg>& legs,
                          const Columns& columns) {
  std::vector<LegRoutes> routes;
  for (const Leg& leg : legs) routes.push_back(leg.routes());
  const std::vector<double> familiarity(distance_m.size(), 0.0);
  auto front = join_walks(distance_m, risk, familiarity, routes, columns.view());
  EXPECT_TRUE(front.has_value());
  return front ? points(*front) : std::vector<Point>{};
}

TEST(JoinWalks, SumsContinueTheWalkEdgeByEdgeAndKeepFrontOrder) {
  // Edge 0 and 1 add half a unit in the last place of 1.0 each: the
  // running sum stays 1.0, where the route's own total (2^-52) would not.
  const Columns columns{{0x1p-53, 0x1p-53, 2.0}, {0.0, 0.0, 0.5}, {0.5, 0.25, 0.0}};
  const Leg leg{{0, 1}, {2}};
  const std::vector<LegRoutes> routes{leg.routes()};
  auto front = join_walks(std::vector<double>{1.0, 3.0}, std::vector<double>{2.0, 0.25},
                          std::vector<double>{0.125, 0.0}, routes, columns.view());
  ASSERT_TRUE(front.has_value());
  // Walk 0 + route 0 = (1, 2) dominates walk 0 + route 1 = (3, 2.5);
  // walk 1 + route 0 = (3, 0.25) dominates walk 1 + route 1 = (5, 0.75).
  EXPECT_EQ(points(*front), (std::vector<Point>{point(1.0, 2.0, 0.875, {0, 0}), point(3.0, 0.25, 0.75, {1, 0})}));
}

TEST(JoinWalks, EqualSumsKeepTheFirstAndAStayKeepsTheWalks) {
  // Routes 0 and 1 of the second leg cost the same, and walk 0 + route 2
  // costs what walk 1 + route 0 or 1 does: of equal joins the first in
  // front order stays. The third leg is a stay.
  const Columns columns{{1.0, 0.5, 0.5, 2.0}, {1.0, 0.5, 0.5, 0.0}, {}};
  EXPECT_EQ(joined({0.0, 1.0}, {1.0, 0.0}, {Leg{{0}, {1, 2}, {3}}, Leg{{}}}, columns),
            (std::vector<Point>{point(1.0, 2.0, 0.0, {0, 0, 0}), point(2.0, 1.0, 0.0, {0, 2, 0}),
                                point(3.0, 0.0, 0.0, {1, 2, 0})}));
}

TEST(JoinWalks, NaNNeitherDominatesNorIsDominated) {
  const double nan = std::nan("");
  const Columns columns{{1.0, 1.0, 5.0}, {nan, 1.0, 0.0}, {}};
  // Joins: (1, NaN) twice, same bits: the first stays; (1, 1) stays
  // beside them; (5, 0) stays.
  EXPECT_EQ(joined({0.0}, {0.0}, {Leg{{0}, {0}, {1}, {2}}}, columns),
            (std::vector<Point>{point(1.0, nan, 0.0, {0, 0}), point(1.0, 1.0, 0.0, {0, 2}),
                                point(5.0, 0.0, 0.0, {0, 3})}));
}

TEST(JoinWalks, FaultsAreValues) {
  const Columns columns{{1.0}, {1.0}, {}};
  const Leg leg{{1}};
  const std::vector<LegRoutes> past{leg.routes()};
  const std::vector<double> one{0.0};
  EXPECT_EQ(join_walks(one, one, one, past, columns.view()).error(), WalkJoinFault::edge_out_of_range);
  const Columns ragged{{1.0, 2.0}, {1.0}, {}};
  EXPECT_EQ(join_walks(one, one, one, {}, ragged.view()).error(), WalkJoinFault::columns_differ);
  EXPECT_EQ(join_walks(one, std::vector<double>{}, one, {}, columns.view()).error(), WalkJoinFault::sums_differ);
}

// Every join summed in order, the front by its definition: of points no
// other strictly dominates, of equal ones the first.
std::vector<Point> model(const std::vector<double>& distance_m, const std::vector<double>& risk,
                         const std::vector<Leg>& legs, const Columns& columns) {
  struct Walk {
    double distance_m, risk, familiarity;
    std::vector<std::uint32_t> picks;
  };
  std::vector<Walk> walks;
  for (std::uint32_t at = 0; at < distance_m.size(); ++at) walks.push_back({distance_m[at], risk[at], 0.0, {at}});
  for (const Leg& leg : legs) {
    std::vector<Walk> joins;
    for (const Walk& walk : walks) {
      for (std::size_t route = 0; route + 1 < leg.starts.size(); ++route) {
        Walk join = walk;
        for (std::size_t at = leg.starts[route]; at < leg.starts[route + 1]; ++at) {
          join.distance_m += columns.lengths[leg.edges[at]];
          join.risk += columns.risks[leg.edges[at]];
          join.familiarity += columns.familiarity[leg.edges[at]];
        }
        join.picks.push_back(static_cast<std::uint32_t>(route));
        joins.push_back(join);
      }
    }
    walks.clear();
    for (const Walk& join : joins) {
      const auto beats = [&](const Walk& other) {
        return other.distance_m <= join.distance_m && other.risk <= join.risk &&
               (other.distance_m < join.distance_m || other.risk < join.risk);
      };
      const auto equal = [&](const Walk& other) {
        return other.distance_m == join.distance_m && other.risk == join.risk;
      };
      if (std::ranges::none_of(joins, beats) && std::ranges::none_of(walks, equal)) walks.push_back(join);
    }
  }
  std::vector<Point> result;
  for (const Walk& walk : walks) result.push_back(point(walk.distance_m, walk.risk, walk.familiarity, walk.picks));
  return result;
}

TEST(JoinWalks, ManyRoutesAgainstEveryJoinSummed) {
  std::mt19937_64 random(11);
  for (int round = 0; round < 40; ++round) {
    // Decimal costs that round, a few values so that sums tie.
    const double values[] = {0.1, 0.2, 0.3, 1.7, 12.35, 0.0};
    Columns columns;
    for (int edge = 0; edge < 30; ++edge) {
      columns.lengths.push_back(values[random() % 5] * (1.0 + static_cast<double>(random() % 3)));
      columns.risks.push_back(values[random() % 6]);
      columns.familiarity.push_back(values[random() % 6]);
    }
    std::vector<Leg> legs;
    for (int leg = 0; leg < 2; ++leg) {
      Leg routes;
      for (std::size_t route = 0, count = 1 + random() % 25; route < count; ++route) {
        std::vector<std::uint32_t> edges;
        for (std::size_t at = 0, length = random() % 12; at < length; ++at) {
          edges.push_back(static_cast<std::uint32_t>(random() % 30));
        }
        routes.add(edges);
      }
      legs.push_back(routes);
    }
    std::vector<double> distance_m;
    std::vector<double> risk;
    for (std::size_t walk = 0, count = 1 + random() % 8; walk < count; ++walk) {
      distance_m.push_back(values[random() % 6] * static_cast<double>(walk + 1));
      risk.push_back(values[random() % 6] * static_cast<double>(count - walk));
    }
    std::vector<LegRoutes> routes;
    for (const Leg& leg : legs) routes.push_back(leg.routes());
    const std::vector<double> familiarity(distance_m.size(), 0.0);
    auto front = join_walks(distance_m, risk, familiarity, routes, columns.view());
    ASSERT_TRUE(front.has_value());
    EXPECT_EQ(points(*front), model(distance_m, risk, legs, columns)) << "round " << round;
  }
}

TEST(JoinWalks, SumsSpreadWiderThanTheLargestDouble) {
  // The joins' distances lie more than the largest double apart, each one
  // finite: their spread overflows, and no join may be read as shorter
  // than another by it.
  const Columns columns{{1.0, -1.0}, {0.5, 0.25}, {0.0, 0.0}};
  const std::vector<double> distance_m{-1.5e308, 1.5e308, 1e308, -1e308};
  const std::vector<double> risk{2.0, 0.0, 1.0, 3.0};
  const std::vector<Leg> legs{Leg{{}, {0}, {1, 0}}};
  EXPECT_EQ(joined(distance_m, risk, legs, columns), model(distance_m, risk, legs, columns));
}

}  // namespace
}  // namespace norvel
