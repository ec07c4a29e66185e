// The catchment search against the route request itself, node by node, on
// seeded random graphs: one-way edges, dead ends, parallel edges, zero
// costs, and costs drawn from a few decimals so that exact ties and sums
// that round differently in either order are everywhere.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "graph/catchment_search.hpp"
#include "graph/pareto_search.hpp"
#include "graph/route_selection.hpp"
#include "graph/safe_route_request.hpp"
#include "random_catchment_graph.hpp"

namespace norvel {
namespace {

using norvel::testing::Costs;
using norvel::testing::random_graph;
using norvel::testing::RandomGraph;

constexpr double kInf = std::numeric_limits<double>::infinity();

// What the request gives between two nodes: its emitted routes' totals,
// a route it leaves out taking those of the emitted one whose path its
// chosen path repeats.
std::optional<CatchmentNode> request_answer(const RoadGraph& graph, NodeId source, NodeId target) {
  const auto records = compute_safe_routes(graph, source, target, 0.0);
  if (!records) return std::nullopt;
  const std::uint32_t target_dense = graph.dense_of.find(target);
  const std::optional<ParetoFront> front =
      pareto_search(graph, source, target, graph.lat[target_dense], graph.lon[target_dense], 0.0);
  const RouteChoice choice = choose_routes(*front);
  RouteTotals chosen[3];
  for (int type = 0; type < 3; ++type) {
    const std::vector<NodeId>& path = (*front)[choice.of_type[type]].path;
    const RouteRecord* emitted = nullptr;
    for (const RouteRecord& record : *records) {
      if (record.path == path) emitted = &record;
    }
    EXPECT_NE(emitted, nullptr);
    if (emitted == nullptr) return std::nullopt;
    chosen[type] = RouteTotals{emitted->total_distance_m, emitted->total_risk};
  }
  return CatchmentNode{target_dense, chosen[0], chosen[1], chosen[2]};
}

struct Totals {
  double values[6];
  bool operator==(const Totals&) const = default;
};

Totals totals_of(const CatchmentNode& node) {
  return Totals{{node.shortest.distance_m, node.shortest.risk, node.safest.distance_m, node.safest.risk,
                 node.balanced.distance_m, node.balanced.risk}};
}

std::string show(const Totals& totals) {
  std::string shown;
  for (double value : totals.values) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g ", value);
    shown += text;
  }
  return shown;
}

struct Checked {
  std::uint64_t answered_by_request = 0;
  std::uint64_t inside = 0;
};

// The catchment of `place` against one request per node of the graph.
Checked check_catchment(const RandomGraph& made, NodeId place, double minutes, WalkDirection direction,
                        const std::string& where) {
  const RoadGraph& graph = made.graph;
  const auto found = catchment_search(graph, place, minutes, direction);
  if (direction == WalkDirection::from_place && outgoing_edges(graph, place).empty()) {
    EXPECT_EQ(found.error(), CatchmentFailure::place_isolated) << where;
    return {};
  }
  EXPECT_TRUE(found.has_value()) << where;
  if (!found) return {};
  std::map<NodeId, Totals> got;
  for (const CatchmentNode& node : found->nodes) got[graph.id_of[node.dense]] = totals_of(node);
  std::map<NodeId, Totals> expected;
  for (std::uint32_t dense = 0; dense < graph.id_of.size(); ++dense) {
    const NodeId id = graph.id_of[dense];
    const bool to_place = direction == WalkDirection::to_place;
    const auto answer = to_place ? request_answer(graph, id, place) : request_answer(graph, place, id);
    if (answer && answer->shortest.distance_m / kWalkingSpeedMPerMin <= minutes) expected[id] = totals_of(*answer);
  }
  EXPECT_EQ(got.size(), expected.size()) << where;
  for (const auto& [id, totals] : expected) {
    const auto at = got.find(id);
    if (at == got.end()) {
      ADD_FAILURE() << where << ": node " << id << " missing";
      continue;
    }
    EXPECT_EQ(at->second, totals) << where << ": node " << id << "\n got      " << show(at->second)
                                  << "\n expected " << show(totals);
  }
  // The caps behind the margins hold every route's totals: the risk of
  // every shortest route, the distance of every safest one.
  const CatchmentReport& report = found->report;
  for (const auto& [id, totals] : expected) {
    if (report.risk_margin > 0.0) {
      EXPECT_LE(totals.values[1], report.risk_margin * 0x1p17) << where;
    }
    if (report.distance_margin > 0.0) {
      EXPECT_LE(totals.values[2], report.distance_margin * 0x1p17) << where;
    }
  }
  // Sorted by shortest distance.
  for (std::size_t i = 1; i < found->nodes.size(); ++i) {
    EXPECT_LE(found->nodes[i - 1].shortest.distance_m, found->nodes[i].shortest.distance_m) << where;
  }
  return Checked{found->report.answered_by_request, expected.size()};
}

// One request's shortest time from or to `place`, so that a limit falls
// exactly on a node.
double time_of_some_node(const RandomGraph& made, NodeId place, std::uint64_t pick) {
  for (std::size_t k = 0; k < made.ids.size(); ++k) {
    const NodeId id = made.ids[(pick + k) % made.ids.size()];
    const auto answer = request_answer(made.graph, id, place);
    if (answer && id != place) return answer->shortest.distance_m / kWalkingSpeedMPerMin;
  }
  return 0.0;
}

void check_many(Costs costs, int node_count, std::uint64_t seeds, Checked& total, bool parallel = false) {
  for (std::uint64_t seed = 1; seed <= seeds; ++seed) {
    const RandomGraph made =
        random_graph(seed * 7919 + static_cast<std::uint64_t>(costs), costs, node_count, parallel);
    for (int p = 0; p < 2; ++p) {
      const NodeId place = made.ids[(seed + 5 * p) % made.ids.size()];
      const double minutes[] = {kInf, time_of_some_node(made, place, seed + p), 0.0};
      for (double limit : minutes) {
        for (WalkDirection direction : {WalkDirection::to_place, WalkDirection::from_place}) {
          const std::string where = "seed " + std::to_string(seed) + " place " + std::to_string(place) +
                                    " minutes " + std::to_string(limit) +
                                    (direction == WalkDirection::to_place ? " to" : " from");
          const Checked checked = check_catchment(made, place, limit, direction, where);
          total.answered_by_request += checked.answered_by_request;
          total.inside += checked.inside;
        }
      }
    }
  }
}

TEST(CatchmentSearch, EqualsTheRequestOnGraphsWithFewTies) {
  Checked total;
  check_many(Costs::varied, 40, 40, total);
  EXPECT_GT(total.inside, 1000u);
}

// A graph large enough that the search finds its nodes through a hash
// first and moves them to an array over the graph part way through.
TEST(CatchmentSearch, EqualsTheRequestOnALargerGraph) {
  Checked total;
  check_many(Costs::varied, 120, 1, total);
  EXPECT_GT(total.inside, 300u);
}

TEST(CatchmentSearch, EqualsTheRequestWhereSumsTieOrRoundApart) {
  Checked total;
  check_many(Costs::few_decimals, 30, 60, total);
  check_many(Costs::small_integers, 25, 60, total);
  // Ties of the balanced score between distinct points did occur, and the
  // request answered them.
  EXPECT_GT(total.answered_by_request, 0u);
}

TEST(CatchmentSearch, EqualsTheRequestWithParallelEdges) {
  Checked total;
  check_many(Costs::varied, 30, 15, total, true);
  check_many(Costs::few_decimals, 30, 15, total, true);
  EXPECT_GT(total.answered_by_request, 0u);
}

// Several places: every node's front to each place from the request's own
// search, merged, against one catchment of them all.
struct PlacePoint {
  double distance_m;
  double risk;
  std::uint32_t place;
};

bool before_by(const PlacePoint& a, const PlacePoint& b, bool risk_first) {
  const double a1 = risk_first ? a.risk : a.distance_m, a2 = risk_first ? a.distance_m : a.risk;
  const double b1 = risk_first ? b.risk : b.distance_m, b2 = risk_first ? b.distance_m : b.risk;
  return a1 < b1 || (a1 == b1 && (a2 < b2 || (a2 == b2 && a.place < b.place)));
}

// With `routes` false, the three routes go unchecked: on parallel edges of
// different costs the request leaves out a route whose nodes repeat an
// earlier one's, and EqualsTheRequestWithParallelEdges checks those.
std::uint64_t check_places(const RandomGraph& made, const std::vector<NodeId>& places, double minutes,
                           const std::vector<double>& cutoffs, WalkDirection direction, const std::string& where,
                           bool routes = true) {
  const RoadGraph& graph = made.graph;
  const bool to_place = direction == WalkDirection::to_place;
  const auto found = catchment_search(graph, places, minutes, direction, cutoffs);
  if (!found) {
    // Walks from a place without an edge out: refused, as one place is.
    EXPECT_EQ(found.error(), CatchmentFailure::place_isolated) << where;
    return 0;
  }
  EXPECT_EQ(found->within.size(), found->nodes.size() * cutoffs.size()) << where;
  if (found->within.size() != found->nodes.size() * cutoffs.size()) return 0;
  std::map<NodeId, std::size_t> row_of;
  for (std::size_t i = 0; i < found->nodes.size(); ++i) row_of[graph.id_of[found->nodes[i].dense]] = i;
  std::size_t expected_count = 0;
  for (std::uint32_t dense = 0; dense < graph.id_of.size(); ++dense) {
    if (!graph.listed[dense]) continue;
    const NodeId id = graph.id_of[dense];
    std::vector<PlacePoint> points;
    for (std::uint32_t p = 0; p < places.size(); ++p) {
      const NodeId source = to_place ? id : places[p];
      const NodeId target = to_place ? places[p] : id;
      if (!compute_safe_routes(graph, source, target, 0.0)) continue;  // refused: no walk
      const std::uint32_t target_dense = graph.dense_of.find(target);
      const auto front = pareto_search(graph, source, target, graph.lat[target_dense], graph.lon[target_dense], 0.0);
      for (const FrontEntry& entry : *front) points.push_back({entry.costs.distance_m, entry.costs.risk, p});
    }
    if (points.empty()) continue;
    std::vector<PlacePoint> front;  // the union's Pareto points, a tie to the lowest place
    std::sort(points.begin(), points.end(), [](const PlacePoint& a, const PlacePoint& b) { return before_by(a, b, false); });
    for (const PlacePoint& point : points) {
      if (front.empty() || point.risk < front.back().risk) front.push_back(point);
    }
    const PlacePoint shortest = front.front();
    if (!(shortest.distance_m / kWalkingSpeedMPerMin <= minutes)) continue;
    ++expected_count;
    const PlacePoint safest = front.back();
    const BalanceWeights weights{std::max(safest.distance_m, 1.0), std::max(shortest.risk, 1.0)};
    PlacePoint balanced = front.front();
    double least = kInf;
    for (const PlacePoint& point : front) {
      const double score = balance_score(PathCosts{point.distance_m, point.risk, 0.0}, weights);
      if (score < least) {
        least = score;
        balanced = point;
      }
    }
    const auto at = row_of.find(id);
    if (at == row_of.end()) {
      ADD_FAILURE() << where << ": node " << id << " missing";
      continue;
    }
    const CatchmentNode& node = found->nodes[at->second];
    const PlacePoint want[3] = {shortest, safest, balanced};
    const RouteTotals got[3] = {node.shortest, node.safest, node.balanced};
    for (int type = 0; type < (routes ? 3 : 1); ++type) {
      EXPECT_EQ(got[type].distance_m, want[type].distance_m) << where << ": node " << id << " type " << type;
      EXPECT_EQ(got[type].risk, want[type].risk) << where << ": node " << id << " type " << type;
      EXPECT_EQ(node.place[type], want[type].place) << where << ": node " << id << " type " << type;
    }
    for (std::size_t c = 0; c < cutoffs.size(); ++c) {
      std::optional<PlacePoint> within;
      for (const PlacePoint& point : points) {
        if (point.distance_m / kWalkingSpeedMPerMin <= cutoffs[c] && (!within || before_by(point, *within, true))) {
          within = point;
        }
      }
      const WithinCutoff& got_within = found->within[at->second * cutoffs.size() + c];
      if (!within) {
        EXPECT_TRUE(std::isnan(got_within.totals.distance_m)) << where << ": node " << id << " cutoff " << c;
        continue;
      }
      EXPECT_EQ(got_within.totals.distance_m, within->distance_m) << where << ": node " << id << " cutoff " << c;
      EXPECT_EQ(got_within.totals.risk, within->risk) << where << ": node " << id << " cutoff " << c;
      EXPECT_EQ(got_within.place, within->place) << where << ": node " << id << " cutoff " << c;
    }
  }
  EXPECT_EQ(found->nodes.size(), expected_count) << where;
  return found->report.answered_by_request;
}

TEST(CatchmentSearch, SeveralPlacesEqualTheirRequestsMerged) {
  std::uint64_t asked = 0;
  for (Costs costs : {Costs::varied, Costs::few_decimals, Costs::small_integers}) {
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
      const RandomGraph made = random_graph(seed * 104729 + static_cast<std::uint64_t>(costs), costs, 24);
      // Two or three places, one of them listed twice now and then: the
      // lower index wins every tie.
      std::vector<NodeId> places{made.ids[seed % made.ids.size()], made.ids[(seed * 7 + 3) % made.ids.size()]};
      if (seed % 3 == 0) places.push_back(made.ids[(seed * 11 + 5) % made.ids.size()]);
      if (seed % 4 == 0) places.push_back(places[0]);
      const double some = time_of_some_node(made, places[0], seed);
      for (WalkDirection direction : {WalkDirection::to_place, WalkDirection::from_place}) {
        for (double limit : {kInf, some}) {
          const std::string where = "costs " + std::to_string(static_cast<int>(costs)) + " seed " +
                                    std::to_string(seed) + " minutes " + std::to_string(limit) +
                                    (direction == WalkDirection::to_place ? " to" : " from");
          asked += check_places(made, places, limit, {limit, some * 0.5, 0.0, kInf}, direction, where);
        }
      }
    }
  }
  // Exact ties of the balanced score occurred, answered by the requests
  // to every place, merged.
  EXPECT_GT(asked, 0u);
}

// Where parallel edges differ, the safest route may be left out for
// repeating the shortest's nodes; the walks within each cutoff are still
// read from the whole front, its least risky point included.
TEST(CatchmentSearch, WalksWithinCutoffsComeFromTheWholeFrontOnParallelEdges) {
  std::uint64_t asked = 0;
  for (Costs costs : {Costs::varied, Costs::few_decimals}) {
    for (std::uint64_t seed = 1; seed <= 10; ++seed) {
      const RandomGraph made = random_graph(seed * 7919 + static_cast<std::uint64_t>(costs), costs, 15, true);
      std::vector<NodeId> places{made.ids[seed % made.ids.size()]};
      if (seed % 2 == 0) places.push_back(made.ids[(seed * 5 + 2) % made.ids.size()]);
      const double some = time_of_some_node(made, places[0], seed);
      for (WalkDirection direction : {WalkDirection::to_place, WalkDirection::from_place}) {
        const std::string where = "costs " + std::to_string(static_cast<int>(costs)) + " seed " +
                                  std::to_string(seed) + (direction == WalkDirection::to_place ? " to" : " from");
        asked += check_places(made, places, kInf, {some, some * 0.5, kInf}, direction, where, false);
      }
    }
  }
  EXPECT_GT(asked, 0u);
}

// A catchment of some nodes only: their rows of the whole catchment, bit
// for bit, with fewer labels.
TEST(CatchmentSearch, SomeNodesOnlyAnswerAsInTheWholeCatchment) {
  std::uint64_t fewer = 0;
  for (Costs costs : {Costs::varied, Costs::few_decimals, Costs::small_integers}) {
    for (std::uint64_t seed = 1; seed <= 8; ++seed) {
      const RandomGraph made = random_graph(seed * 6151 + static_cast<std::uint64_t>(costs), costs, 40, seed % 2 == 0);
      const std::vector<NodeId> places{made.ids[seed % made.ids.size()], made.ids[(seed * 3 + 1) % made.ids.size()]};
      // Repeats, and an id of no node, are allowed.
      std::vector<NodeId> only{made.ids[(seed * 5) % made.ids.size()], made.ids[(seed * 5 + 7) % made.ids.size()],
                               made.ids[(seed * 5) % made.ids.size()], 7};
      const std::vector<double> cutoffs{1.0, 3.0, kInf};
      for (WalkDirection direction : {WalkDirection::to_place, WalkDirection::from_place}) {
        for (double limit : {kInf, time_of_some_node(made, places[0], seed)}) {
          const std::string where = "costs " + std::to_string(static_cast<int>(costs)) + " seed " +
                                    std::to_string(seed) + (direction == WalkDirection::to_place ? " to" : " from");
          const auto whole = catchment_search(made.graph, places, limit, direction, cutoffs);
          const auto some = catchment_search(made.graph, places, limit, direction, cutoffs, nullptr, {}, nullptr,
                                             std::span<const NodeId>(only));
          // Walks from a place without an edge out: refused either way.
          ASSERT_EQ(whole.has_value(), some.has_value()) << where;
          if (!whole) continue;
          std::vector<std::size_t> rows;
          for (std::size_t i = 0; i < whole->nodes.size(); ++i) {
            if (std::find(only.begin(), only.end(), made.graph.id_of[whole->nodes[i].dense]) != only.end()) {
              rows.push_back(i);
            }
          }
          ASSERT_EQ(some->nodes.size(), rows.size()) << where;
          for (std::size_t k = 0; k < rows.size(); ++k) {
            const CatchmentNode& want = whole->nodes[rows[k]];
            const CatchmentNode& got = some->nodes[k];
            EXPECT_EQ(got.dense, want.dense) << where;
            EXPECT_EQ(totals_of(got), totals_of(want)) << where;
            for (int type = 0; type < 3; ++type) EXPECT_EQ(got.place[type], want.place[type]) << where;
            for (std::size_t c = 0; c < cutoffs.size(); ++c) {
              const WithinCutoff& a = some->within[k * cutoffs.size() + c];
              const WithinCutoff& b = whole->within[rows[k] * cutoffs.size() + c];
              EXPECT_TRUE((std::isnan(a.totals.distance_m) && std::isnan(b.totals.distance_m)) ||
                          (a.totals.distance_m == b.totals.distance_m && a.totals.risk == b.totals.risk &&
                           a.place == b.place))
                  << where << " cutoff " << c;
            }
          }
          fewer += some->report.labels_kept < whole->report.labels_kept;
        }
      }
    }
  }
  EXPECT_GT(fewer, 0u);
}

TEST(CatchmentSearch, OnePlaceInAListAnswersAsThatPlace) {
  const RandomGraph made = random_graph(11, Costs::few_decimals, 30);
  const NodeId place = made.ids[3];
  for (WalkDirection direction : {WalkDirection::to_place, WalkDirection::from_place}) {
    const auto one = catchment_search(made.graph, place, kInf, direction);
    const auto listed = catchment_search(made.graph, std::vector<NodeId>{place}, kInf, direction, {});
    ASSERT_TRUE(one && listed);
    ASSERT_EQ(one->nodes.size(), listed->nodes.size());
    for (std::size_t i = 0; i < one->nodes.size(); ++i) {
      EXPECT_EQ(totals_of(one->nodes[i]), totals_of(listed->nodes[i]));
      EXPECT_EQ(listed->nodes[i].place[0] + listed->nodes[i].place[1] + listed->nodes[i].place[2], 0u);
    }
  }
  std::uint32_t failed = 99;
  EXPECT_EQ(catchment_search(made.graph, std::vector<NodeId>{place, 5}, kInf, WalkDirection::to_place, {}, &failed)
                .error(),
            CatchmentFailure::place_not_found);
  EXPECT_EQ(failed, 1u);
  EXPECT_EQ(catchment_search(made.graph, std::vector<NodeId>{}, kInf, WalkDirection::to_place, {}).error(),
            CatchmentFailure::no_places);
}

TEST(CatchmentSearch, RefusesWhatTheSearchCannotAnswer) {
  GraphBuilder builder;
  add_node(builder, Node{1, 60.0, 25.0});
  add_node(builder, Node{2, 60.0, 25.001});
  add_node(builder, Node{3, 60.0, 25.002});
  add_edge(builder, Edge{1, 2, 10.0, -0.5, 0.0});
  add_edge(builder, Edge{3, 1, 10.0, 0.5, 0.0});
  const RoadGraph negative = build_graph(std::move(builder));
  EXPECT_EQ(catchment_search(negative, 1, kInf, WalkDirection::to_place).error(), CatchmentFailure::costs_unsupported);
  EXPECT_EQ(catchment_search(negative, 7, kInf, WalkDirection::to_place).error(), CatchmentFailure::place_not_found);
  EXPECT_EQ(catchment_search(negative, 2, kInf, WalkDirection::from_place).error(), CatchmentFailure::place_isolated);
}

TEST(CatchmentSearch, StopsWhenAsked) {
  const RandomGraph made = random_graph(3, Costs::small_integers, 40);
  StopPoll stop{.hook = [](void*) { return true; }, .context = nullptr, .interval = 1};
  EXPECT_EQ(catchment_search(made.graph, made.ids[0], kInf, WalkDirection::to_place, stop).error(),
            CatchmentFailure::interrupted);
}

}  // namespace
}  // namespace norvel
