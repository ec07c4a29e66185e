// The search's own parts against plain models: the staircase of a front, the
// pooled heap of the pruned search, and the lazy backward searches.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <initializer_list>
#include <map>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "graph/pareto_front.hpp"
#include "graph/plane_metric.hpp"
#include "graph/pooled_heap.hpp"
#include "graph/remaining_cost.hpp"
#include "graph/road_graph.hpp"
#include "graph/search_places.hpp"
#include "graph/staircase.hpp"

namespace norvel {
namespace {

using Point = std::pair<double, double>;

// Small values so that equal points, equal distances and equal risks are
// common.
double small_value(std::mt19937_64& rng) { return static_cast<double>(rng() % 8) * 0.5; }

TEST(Staircase, AgreesWithAPlainFrontUnderEveryInsertion) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 2000; ++round) {
    Staircase staircase;
    std::vector<Point> plain;  // the front as front_insert keeps it
    for (int step = 0; step < 12; ++step) {
      const Point point{small_value(rng), small_value(rng)};
      const bool dominated = std::any_of(plain.begin(), plain.end(), [&](const Point& kept) {
        return strictly_dominates(kept.first, kept.second, point.first, point.second);
      });
      ASSERT_EQ(staircase.strictly_dominates_point(point.first, point.second), dominated);
      if (dominated) continue;  // the search inserts only what passes this test
      std::erase_if(plain, [&](const Point& kept) {
        return strictly_dominates(point.first, point.second, kept.first, kept.second);
      });
      plain.push_back(point);
      staircase.insert(point.first, point.second);

      for (int query = 0; query < 8; ++query) {
        const double distance = small_value(rng);
        const double risk = small_value(rng);
        const bool covered = std::any_of(plain.begin(), plain.end(), [&](const Point& kept) {
          return kept.first <= distance && kept.second <= risk;
        });
        ASSERT_EQ(staircase.covers(distance, risk), covered) << distance << " " << risk;
      }
      const auto by_distance = std::minmax_element(plain.begin(), plain.end());
      ASSERT_EQ(staircase.largest_distance(), by_distance.second->first);
      ASSERT_EQ(staircase.largest_risk(),
                std::max_element(plain.begin(), plain.end(), [](const Point& a, const Point& b) {
                  return a.second < b.second;
                })->second);
    }
  }
}

struct HeapLabel {
  std::uint64_t priority;
  double distance_m;
  double risk;
  int id;
};

TEST(PooledHeap, PopsInSearchOrderAndFindsEveryTiedLabel) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 300; ++round) {
    PooledHeap<HeapLabel> heap;
    std::vector<HeapLabel> inside;
    int next_id = 0;
    for (int step = 0; step < 400; ++step) {
      if (heap.empty() || rng() % 3 != 0) {
        const HeapLabel label{priority_key(small_value(rng)), small_value(rng), small_value(rng), next_id++};
        heap.push(label);
        inside.push_back(label);
        continue;
      }
      const HeapLabel label = heap.pop();
      std::erase_if(inside, [&](const HeapLabel& l) { return l.id == label.id; });
      for (const HeapLabel& other : inside) {
        ASSERT_FALSE(comes_before(other.priority, other.distance_m, other.risk, label.priority, label.distance_m,
                                  label.risk));
      }
      std::vector<int> visited;
      heap.all_tied(label, [&](const HeapLabel& tied) {
        visited.push_back(tied.id);
        return true;
      });
      std::vector<int> expected;
      for (const HeapLabel& other : inside) {
        if (other.priority == label.priority && other.distance_m == label.distance_m && other.risk == label.risk) {
          expected.push_back(other.id);
        }
      }
      std::sort(visited.begin(), visited.end());
      ASSERT_EQ(visited, expected);
    }
  }
}

// Exact backward optima by a plain Bellman-Ford over the incoming edges,
// summed in the same order as the lazy search sums them.
std::map<std::uint32_t, double> backward_optima(const RoadGraph& graph, std::uint32_t target,
                                                const Objective& objective) {
  std::map<std::uint32_t, double> best{{target, 0.0}};
  for (std::size_t pass = 0; pass < graph.id_of.size(); ++pass) {
    for (const auto& [head, cost] : std::map<std::uint32_t, double>(best)) {
      for (std::uint32_t slot = graph.in_begin[head]; slot < graph.in_begin[head + 1]; ++slot) {
        const IncomingEdge& edge = graph.in_edges[slot];
        const double through = cost + objective.of(edge.distance_m, edge.risk_score);
        auto found = best.find(edge.from);
        if (found == best.end() || through < found->second) best[edge.from] = through;
      }
    }
  }
  return best;
}

TEST(RemainingCost, SettlesToTheExactOptimaAndBoundsTheRestFromBelow) {
  std::mt19937_64 rng(3);
  for (int round = 0; round < 300; ++round) {
    GraphBuilder builder;
    const std::uint32_t nodes = 2 + static_cast<std::uint32_t>(rng() % 10);
    for (NodeId id = 0; id < nodes; ++id) add_node(builder, Node{id, 60.0, 24.0});
    const int edges = static_cast<int>(rng() % 30);
    for (int i = 0; i < edges; ++i) {
      add_edge(builder, Edge{rng() % nodes, rng() % nodes, small_value(rng), small_value(rng) / 10.0, 0.0});
    }
    const RoadGraph graph = build_graph(std::move(builder));
    const std::uint32_t target = graph.dense_of.find(rng() % nodes);
    for (const Objective& objective : {kDistance, kRisk, weighted(0.25, 3.0)}) {
      const std::map<std::uint32_t, double> optima = backward_optima(graph, target, objective);
      Places places;
      RemainingCost to_go(graph, EdgeRisk(graph), places, objective, places.place_of(target));
      // Ask in a random order, sometimes only part of the way.
      for (std::uint32_t ask = 0; ask < 2 * nodes; ++ask) {
        const std::uint32_t dense = static_cast<std::uint32_t>(rng() % nodes);
        const std::uint32_t place = places.place_of(dense);
        const double enough = rng() % 2 ? RemainingCost::kUnreachable : small_value(rng);
        to_go.settle_until(place, enough);
        const double bound = to_go.lower_bound(place);
        auto optimum = optima.find(dense);
        if (optimum == optima.end()) {
          if (enough == RemainingCost::kUnreachable) {
            EXPECT_EQ(bound, RemainingCost::kUnreachable);
          }
          continue;
        }
        EXPECT_LE(bound, optimum->second);
        if (enough == RemainingCost::kUnreachable) {
          EXPECT_EQ(bound, optimum->second);
        }
      }
    }
  }
}

// A backward search that heads for a goal settles in another order, with
// keys that tie to the last bit where the costs follow the plane's norm
// exactly; its bounds must still be lower bounds of the exact optima (up to
// the rounding the callers' margins allow for), and a settled cost that of
// a real path.
TEST(RemainingCost, WithAGoalBoundsStayLowerBoundsAndSettledCostsNearTheOptima) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 200; ++round) {
    const std::uint32_t rows = 2 + static_cast<std::uint32_t>(rng() % 6);
    const std::uint32_t columns = 2 + static_cast<std::uint32_t>(rng() % 6);
    const std::uint32_t nodes = rows * columns;
    const bool jitter = rng() % 2 == 0;
    std::vector<Node> records;
    for (std::uint32_t i = 0; i < nodes; ++i) {
      const double shift = jitter ? static_cast<double>(rng() % 1000) * 1e-7 : 0.0;
      records.push_back(Node{i, 60.0 + (i / columns) * 0.0009 + shift, 24.0 + (i % columns) * 0.0018 - shift});
    }
    // The plane depends on the nodes alone: a first build tells the norms.
    GraphBuilder first;
    for (const Node& node : records) add_node(first, node);
    const RoadGraph plain = build_graph(std::move(first));
    const int style = static_cast<int>(rng() % 3);  // 0: costs on the norm, 1: above it, 2: small values
    GraphBuilder builder;
    for (const Node& node : records) add_node(builder, node);
    auto street = [&](std::uint32_t a, std::uint32_t b) {
      const double norm = static_cast<double>(plane_norm(plain.plane[plain.dense_of.find(a)],
                                                         plain.plane[plain.dense_of.find(b)]));
      double distance = norm * 0x1p-6;
      double risk = norm * 0x1p-10;
      if (style == 1) distance *= 1.0 + static_cast<double>(rng() % 100) / 50.0, risk *= static_cast<double>(rng() % 4);
      if (style == 2) distance = small_value(rng), risk = small_value(rng) / 10.0;
      if (rng() % 6 != 0) add_edge(builder, Edge{a, b, distance, risk, 0.0});
      if (rng() % 6 != 0) add_edge(builder, Edge{b, a, distance, risk, 0.0});
    };
    for (std::uint32_t i = 0; i < nodes; ++i) {
      if (i % columns + 1 < columns) street(i, i + 1);
      if (i + columns < nodes) street(i, i + columns);
      if (i % columns + 1 < columns && i + columns < nodes && rng() % 3 == 0) street(i, i + columns + 1);
    }
    const RoadGraph graph = build_graph(std::move(builder));
    const std::uint32_t target = graph.dense_of.find(rng() % nodes);
    const std::uint32_t goal = graph.dense_of.find(rng() % nodes);
    for (const Objective& objective : {kDistance, kRisk, weighted(1.0, 500.0), weighted(0.25, 3.0)}) {
      const std::map<std::uint32_t, double> optima = backward_optima(graph, target, objective);
      Places places;
      RemainingCost to_go(graph, EdgeRisk(graph), places, objective, places.place_of(target), nullptr, goal);
      for (std::uint32_t ask = 0; ask < 2 * nodes; ++ask) {
        const std::uint32_t dense = static_cast<std::uint32_t>(rng() % nodes);
        const std::uint32_t place = places.place_of(dense);
        const bool all_the_way = rng() % 2 == 0;
        auto optimum = optima.find(dense);
        const double enough = all_the_way ? RemainingCost::kUnreachable
                                          : (optimum == optima.end() ? 100.0 : optimum->second) *
                                                static_cast<double>(rng() % 5) / 4.0;
        to_go.settle_until(place, enough);
        const double bound = to_go.lower_bound(place);
        if (optimum == optima.end()) {
          if (all_the_way) {
            EXPECT_EQ(bound, RemainingCost::kUnreachable);
          }
          continue;
        }
        EXPECT_LE(bound, optimum->second * (1.0 + 0x1p-19));
        if (!all_the_way) {
          EXPECT_TRUE(to_go.settled(place) || bound > enough);
        }
        if (all_the_way) {
          ASSERT_TRUE(to_go.settled(place));
          EXPECT_GE(to_go.found_cost(place), optimum->second);
          EXPECT_LE(to_go.found_cost(place), optimum->second * (1.0 + 0x1p-19));
          EXPECT_LE(bound, to_go.found_cost(place));
        }
      }
    }
  }
}

// Follows a least path on a graph of edges (from, to, distance, risk), from
// node 0 to node 1, and records the places the walk reaches.
struct LeastWalk {
  std::optional<PathCosts> sums;
  std::vector<NodeId> reached;
};

LeastWalk walk_least_path(std::initializer_list<std::array<double, 4>> edges, const Objective& objective,
                          bool towards_source) {
  GraphBuilder builder;
  add_node(builder, Node{0, 60.004, 24.004});
  add_node(builder, Node{1, 60.004, 24.0});
  add_node(builder, Node{2, 60.001, 24.004});
  for (const auto& [from, to, distance, risk] : edges) {
    add_edge(builder, Edge{static_cast<NodeId>(from), static_cast<NodeId>(to), distance, risk, 0.0});
  }
  const RoadGraph graph = build_graph(std::move(builder));
  const std::uint32_t source = graph.dense_of.find(0);
  const std::uint32_t target = graph.dense_of.find(1);
  Places places;
  const std::uint32_t target_place = places.place_of(target);
  const std::uint32_t source_place = places.place_of(source);
  RemainingCost to_go(graph, EdgeRisk(graph), places, objective, target_place, nullptr,
                      towards_source ? source : RemainingCost::kNoGoal);
  LeastWalk walk;
  walk.sums = follow_least_path(graph, places, to_go, source_place, target, [&](std::uint32_t place, const PathCosts&) {
    walk.reached.push_back(graph.id_of[places[place].dense]);
  });
  return walk;
}

// Ties go to the first edge, so a least path can go round a cycle that adds
// nothing for ever: the walk gives up once it has taken more steps than
// there are places.
TEST(FollowLeastPath, EndsWithoutAPathOnACycleThatAddsNothing) {
  const LeastWalk walk = walk_least_path({{0, 2, 0.0, 1.0}, {2, 0, 0.0, 1.0}, {0, 1, 0.0, 5.0}}, kDistance, false);
  EXPECT_FALSE(walk.sums.has_value());
  EXPECT_EQ(walk.reached.size(), 4u);  // one step more than the three places
  const LeastWalk by_risk = walk_least_path({{0, 2, 0.0, 1.0}, {2, 0, 0.0, 1.0}, {0, 1, 0.0, 5.0}}, kRisk, false);
  ASSERT_TRUE(by_risk.sums.has_value());
  EXPECT_EQ(by_risk.reached, std::vector<NodeId>{1});
  EXPECT_EQ(by_risk.sums->risk, 5.0);
}

// With a goal, a settled bound is its cost less a slack that follows the
// heap, so the bounds move by a hair while the walk settles the heads of
// its edges: here the walk takes the self-loop at the source, whose bound
// was 0 then, and leaves by another edge when it comes back. The path is a
// real one: a walk must not be cut at the first node it meets twice.
TEST(FollowLeastPath, MayComeBackToANodeAndStillArrive) {
  const LeastWalk walk = walk_least_path({{0, 0, 36.0, 1e-11},
                                          {0, 1, 1e-9, 1.64},
                                          {0, 0, 1e-13, 0.0},
                                          {0, 0, 8.0, 0.0},
                                          {0, 2, 182.0, 1e-11},
                                          {0, 1, 2e-13, 3e-15},
                                          {1, 2, 0.0, 1e-11},
                                          {1, 0, 3e-13, 0.8}},
                                         kPriorityWeighing, true);
  ASSERT_TRUE(walk.sums.has_value());
  EXPECT_EQ(walk.reached, (std::vector<NodeId>{0, 1}));
  EXPECT_EQ(walk.sums->distance_m, 0.0 + 1e-13 + 2e-13);
  EXPECT_EQ(walk.sums->risk, 0.0 + 0.0 + 3e-15);
}

}  // namespace
}  // namespace norvel
