// The catchment search bounded to walks within its minutes
// (CatchmentWalks::within_minutes) against the unbounded search, whose
// fronts hold every walk: a worked example where the bound falls between
// two walks, and random graphs where it falls exactly on a node's shortest
// walk and just short of it.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <expected>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "graph/catchment_search.hpp"
#include "graph/route_selection.hpp"
#include "graph_fixtures.hpp"
#include "random_catchment_graph.hpp"

namespace norvel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint32_t kNoPlace = std::numeric_limits<std::uint32_t>::max();
// A detour budget past every walk, yet finite: a node at its place (0 m)
// keeps a budget of 0 m rather than infinity times zero.
constexpr double kWideDetour = 1e9;

std::expected<Catchment, CatchmentFailure> search(const RoadGraph& graph, const std::vector<NodeId>& places,
                                                  double minutes, WalkDirection direction,
                                                  const std::vector<double>& cutoffs, double max_detour,
                                                  CatchmentWalks walks) {
  return catchment_search(graph, places, minutes, direction, cutoffs, nullptr, {}, nullptr, std::nullopt, nullptr,
                          max_detour, walks);
}

// Both no walk, or the same walk from the same place.
bool same_walk(const WithinCutoff& a, const WithinCutoff& b) {
  if (std::isnan(a.totals.distance_m) || std::isnan(b.totals.distance_m)) {
    return std::isnan(a.totals.distance_m) && std::isnan(b.totals.distance_m);
  }
  return a.totals.distance_m == b.totals.distance_m && a.totals.risk == b.totals.risk && a.place == b.place;
}

// From the place P, a risky short street and a safe long way to A and to
// B; the safe way to A is exactly 100 m (within the limit), the one to B
// 100.00001 m (beyond it, yet within the search's widened cap on
// distance). I lies exactly at the limit, J just beyond, G well beyond.
TEST(BoundedCatchment, TheBoundKeepsAWalkAtTheLimitAndCutsOneJustBeyond) {
  enum : NodeId { P = 1, A, B, C, D, I, J, G };
  std::vector<testing::EdgeSpec> streets{{P, A, 30.0, 3.0},      {P, C, 50.0, 0.0},      {C, A, 50.0, 0.0},
                                         {P, B, 40.0, 4.0},      {P, D, 50.0, 0.0},      {D, B, 50.00001, 0.0},
                                         {C, I, 50.0, 0.0},      {D, J, 50.00001, 0.0},  {B, G, 70.0, 0.0}};
  GraphBuilder builder;
  for (NodeId id = P; id <= G; ++id) add_node(builder, Node{id, 60.0, 25.0 + 1e-6 * static_cast<double>(id)});
  for (const testing::EdgeSpec& street : streets) {
    add_edge(builder, Edge{street.from, street.to, street.distance_m, street.risk_score, 0.0});
    add_edge(builder, Edge{street.to, street.from, street.distance_m, street.risk_score, 0.0});
  }
  const RoadGraph graph = build_graph(std::move(builder));
  const double minutes = 100.0 / kWalkingSpeedMPerMin;
  struct Row {
    NodeId id;
    RouteTotals shortest;
    RouteTotals within;
  };
  // By shortest distance, then id; within the limit, A's safe way counts
  // and B's does not.
  const Row want[] = {{P, {0.0, 0.0}, {0.0, 0.0}},    {A, {30.0, 3.0}, {100.0, 0.0}}, {B, {40.0, 4.0}, {40.0, 4.0}},
                      {C, {50.0, 0.0}, {50.0, 0.0}},  {D, {50.0, 0.0}, {50.0, 0.0}},  {I, {100.0, 0.0}, {100.0, 0.0}}};
  for (WalkDirection direction : {WalkDirection::from_place, WalkDirection::to_place}) {
    const std::string where = direction == WalkDirection::to_place ? "to" : "from";
    // The limit as a cutoff, and no cutoff: a bounded front holds no walk
    // beyond the minutes, even one within the search's cap.
    const auto bounded =
        search(graph, {P}, minutes, direction, {minutes, kInf}, kWideDetour, CatchmentWalks::within_minutes);
    const auto whole = search(graph, {P}, minutes, direction, {minutes, kInf}, kWideDetour, CatchmentWalks::every);
    ASSERT_TRUE(bounded && whole) << where;
    ASSERT_EQ(bounded->nodes.size(), std::size(want)) << where;
    for (std::size_t k = 0; k < std::size(want); ++k) {
      const CatchmentNode& node = bounded->nodes[k];
      EXPECT_EQ(graph.id_of[node.dense], want[k].id) << where << " row " << k;
      EXPECT_EQ(node.shortest.distance_m, want[k].shortest.distance_m) << where << " row " << k;
      EXPECT_EQ(node.shortest.risk, want[k].shortest.risk) << where << " row " << k;
      EXPECT_EQ(node.place[0], 0u);
      EXPECT_TRUE(std::isnan(node.safest.distance_m) && std::isnan(node.balanced.risk)) << where << " row " << k;
      EXPECT_EQ(node.place[1], kNoPlace);
      EXPECT_EQ(node.place[2], kNoPlace);
      for (std::size_t c = 0; c < 2; ++c) {
        const WithinCutoff& within = bounded->within[k * 2 + c];
        EXPECT_EQ(within.totals.distance_m, want[k].within.distance_m) << where << " row " << k << " cutoff " << c;
        EXPECT_EQ(within.totals.risk, want[k].within.risk) << where << " row " << k << " cutoff " << c;
      }
      // A detour budget past every walk: the least risky walk within the
      // minutes.
      EXPECT_TRUE(same_walk(bounded->within_detour[k], bounded->within[k * 2])) << where << " row " << k;
    }
    // Unbounded, B's safest walk is the one just beyond the limit, which it
    // leaves out of the cutoff at the limit alone.
    ASSERT_EQ(whole->nodes.size(), std::size(want)) << where;
    EXPECT_EQ(whole->nodes[2].safest.distance_m, 50.0 + 50.00001) << where;
    EXPECT_EQ(whole->within[2 * 2].totals.distance_m, 40.0) << where;
    EXPECT_EQ(whole->within[2 * 2 + 1].totals.distance_m, 50.0 + 50.00001) << where;
    EXPECT_LT(bounded->report.labels_kept, whole->report.labels_kept) << where;
  }
}

// On random graphs, with a limit exactly at some node's shortest walk and
// one just short of it: the same nodes, in the same order, with the same
// shortest walks and the same walks within every cutoff up to the limit
// as the unbounded search; past the limit, and within a detour past every
// walk, the walk within the limit; within a finite detour, the unbounded
// search's walk wherever that lies within the limit, else one within the
// limit and no less risky.
TEST(BoundedCatchment, EqualsTheUnboundedSearchWithinTheLimit) {
  using testing::Costs;
  std::uint64_t rows = 0;
  std::uint64_t detours_cut = 0;
  for (Costs costs : {Costs::varied, Costs::few_decimals, Costs::small_integers}) {
    for (std::uint64_t seed = 1; seed <= 25; ++seed) {
      const testing::RandomGraph made =
          testing::random_graph(seed * 4099 + static_cast<std::uint64_t>(costs), costs, 30, seed % 3 == 0);
      const RoadGraph& graph = made.graph;
      std::vector<NodeId> places{made.ids[seed % made.ids.size()]};
      for (std::uint64_t more = 0; more < seed % 3; ++more) {
        places.push_back(made.ids[(seed * 13 + more * 7 + 1) % made.ids.size()]);
      }
      for (WalkDirection direction : {WalkDirection::to_place, WalkDirection::from_place}) {
        const auto every = search(graph, places, kInf, direction, {}, kInf, CatchmentWalks::every);
        if (!every) continue;  // walks from a place without an edge out
        const double at_node =
            every->nodes[(seed * 7) % every->nodes.size()].shortest.distance_m / kWalkingSpeedMPerMin;
        for (double limit : {at_node, std::nextafter(at_node, 0.0), 0.0}) {
          const double detour = seed % 2 == 0 ? kWideDetour : 0.25;
          const std::string where = "costs " + std::to_string(static_cast<int>(costs)) + " seed " +
                                    std::to_string(seed) + " limit " + std::to_string(limit) +
                                    (direction == WalkDirection::to_place ? " to" : " from");
          const std::vector<double> cutoffs{limit, limit * 0.5, 0.0};
          const auto whole = search(graph, places, limit, direction, cutoffs, detour, CatchmentWalks::every);
          std::vector<double> past = cutoffs;
          past.push_back(kInf);
          const auto bounded = search(graph, places, limit, direction, past, detour, CatchmentWalks::within_minutes);
          ASSERT_TRUE(whole && bounded) << where;
          ASSERT_EQ(bounded->nodes.size(), whole->nodes.size()) << where;
          for (std::size_t k = 0; k < whole->nodes.size(); ++k) {
            const CatchmentNode& got = bounded->nodes[k];
            const CatchmentNode& want = whole->nodes[k];
            ASSERT_EQ(got.dense, want.dense) << where << " row " << k;
            EXPECT_EQ(got.shortest.distance_m, want.shortest.distance_m) << where << " row " << k;
            EXPECT_EQ(got.shortest.risk, want.shortest.risk) << where << " row " << k;
            EXPECT_EQ(got.place[0], want.place[0]) << where << " row " << k;
            EXPECT_TRUE(std::isnan(got.safest.risk) && std::isnan(got.balanced.distance_m)) << where;
            for (std::size_t c = 0; c < cutoffs.size(); ++c) {
              EXPECT_TRUE(same_walk(bounded->within[k * past.size() + c], whole->within[k * cutoffs.size() + c]))
                  << where << " row " << k << " cutoff " << c;
            }
            const WithinCutoff& at_limit = whole->within[k * cutoffs.size()];
            EXPECT_TRUE(same_walk(bounded->within[k * past.size() + cutoffs.size()], at_limit))
                << where << " row " << k << " past the limit";
            const WithinCutoff& detoured = bounded->within_detour[k];
            const WithinCutoff& unbounded = whole->within_detour[k];
            if (std::isnan(unbounded.totals.distance_m)) {
              EXPECT_TRUE(same_walk(detoured, unbounded)) << where << " row " << k << " detour";
            } else if (detour == kWideDetour && want.shortest.distance_m > 0.0) {
              EXPECT_TRUE(same_walk(detoured, at_limit)) << where << " row " << k << " detour";
            } else if (unbounded.totals.distance_m / kWalkingSpeedMPerMin <= limit) {
              EXPECT_TRUE(same_walk(detoured, unbounded)) << where << " row " << k << " detour";
            } else {
              // Cut at the limit: a walk within it, no less risky.
              ++detours_cut;
              EXPECT_LE(detoured.totals.distance_m / kWalkingSpeedMPerMin, limit) << where << " row " << k;
              EXPECT_GE(detoured.totals.risk, unbounded.totals.risk) << where << " row " << k;
            }
            ++rows;
          }
        }
      }
    }
  }
  EXPECT_GT(rows, 1000u);
  EXPECT_GT(detours_cut, 0u);
}

}  // namespace
}  // namespace norvel
