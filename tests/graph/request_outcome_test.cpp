// How a request ends: which strategy answered and why the earlier ones gave
// up; asked to stop, it ends with an interruption, whichever strategy is
// running, and a request that is not stopped answers as if never polled.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "graph/safe_route_request.hpp"

namespace norvel {
namespace {

// A side x side grid, both ways along every street. With `equal` every edge
// costs the same, so that paths of exactly equal costs abound and every
// strategy gives up in turn; otherwise costs vary enough for the quick ways
// to answer.
RoadGraph grid(int side, bool equal) {
  GraphBuilder builder;
  for (int row = 0; row < side; ++row) {
    for (int column = 0; column < side; ++column) {
      add_node(builder, Node{NodeId(row * side + column), 48.0 + row * 1e-3, 2.0 + column * 1e-3});
    }
  }
  std::uint64_t varied = 7;
  auto street = [&](int a, int b) {
    varied = varied * 6364136223846793005ULL + 1442695040888963407ULL;
    const double distance = equal ? 100.0 : 80.0 + static_cast<double>(varied >> 58);
    const double risk = equal ? 0.5 : static_cast<double>((varied >> 40) % 97) / 100.0;
    add_edge(builder, Edge{NodeId(a), NodeId(b), distance, risk, 0.0});
    add_edge(builder, Edge{NodeId(b), NodeId(a), distance, risk, 0.0});
  };
  for (int row = 0; row < side; ++row) {
    for (int column = 0; column < side; ++column) {
      const int here = row * side + column;
      if (column + 1 < side) street(here, here + 1);
      if (row + 1 < side) street(here, here + side);
    }
  }
  return build_graph(std::move(builder));
}

struct StopAt {
  std::uint64_t calls = 0;
  std::uint64_t stop_at;
};

bool stop_at(void* context) {
  auto* counting = static_cast<StopAt*>(context);
  return ++counting->calls == counting->stop_at;
}

// Stops the request at each poll in turn, with a poll per unit of work,
// until one runs to its end; returns the strategies that were stopped.
std::set<Strategy> stop_everywhere(const RoadGraph& graph, NodeId target, double eps, const SearchTuning& tuning) {
  const auto unstopped = compute_safe_routes(graph, 0, target, eps, {.tuning = tuning});
  EXPECT_TRUE(unstopped.has_value());
  std::set<Strategy> stopped;
  for (std::uint64_t at = 1;; ++at) {
    StopAt counting{.stop_at = at};
    SearchReport report;
    const auto routes = compute_safe_routes(
        graph, 0, target, eps,
        {.report = &report, .tuning = tuning, .stop = {.hook = stop_at, .context = &counting, .interval = 1}});
    if (routes.has_value()) {
      EXPECT_FALSE(report.stopped_in.has_value());
      EXPECT_EQ(routes->size(), unstopped->size());
      for (std::size_t i = 0; i < routes->size() && i < unstopped->size(); ++i) {
        EXPECT_EQ((*routes)[i].path, (*unstopped)[i].path);
      }
      return stopped;
    }
    EXPECT_EQ(routes.error().kind, RouteErrorKind::interrupted);
    EXPECT_EQ(counting.calls, at) << "the hook was asked again after it said stop";
    EXPECT_FALSE(report.answered_by.has_value());
    if (!report.stopped_in.has_value()) {
      ADD_FAILURE() << "stopped without saying where";
      return stopped;
    }
    stopped.insert(*report.stopped_in);
  }
}

// The front's own search and then the route search, stopped at each poll
// in turn: interrupted, the hook never asked again once it said stop, and
// once it runs to its end, the front of a request never stopped.
TEST(StopPoll, TheFrontStopsWhenAsked) {
  for (const bool equal : {true, false}) {
    const RoadGraph graph = grid(equal ? 4 : 6, equal);
    const NodeId target = graph.id_of.size() - 1;
    const auto unstopped = compute_front_routes(graph, 0, target);
    ASSERT_TRUE(unstopped.has_value());
    for (std::uint64_t at = 1;; ++at) {
      StopAt counting{.stop_at = at};
      const auto front =
          compute_front_routes(graph, 0, target, {.stop = {.hook = stop_at, .context = &counting, .interval = 1}});
      if (front.has_value()) {
        ASSERT_EQ(front->size(), unstopped->size());
        for (std::size_t i = 0; i < front->size(); ++i) EXPECT_EQ((*front)[i].path, (*unstopped)[i].path);
        EXPECT_GT(at, 10u);
        break;
      }
      EXPECT_EQ(front.error().kind, RouteErrorKind::interrupted);
      EXPECT_EQ(counting.calls, at) << "the hook was asked again after it said stop";
    }
  }
}

TEST(StopPoll, EveryStrategyStopsWhenAsked) {
  constexpr SearchTuning kShrunk{.short_request_labels = 2, .short_approximate_request_labels = 2, .labels_before_known_routes = 2};
  const RoadGraph ties = grid(4, true);
  EXPECT_EQ(stop_everywhere(ties, 15, 0.0, kShrunk),
            (std::set<Strategy>{Strategy::pruned_short, Strategy::targeted, Strategy::pruned, Strategy::literal}));
  const RoadGraph varied = grid(6, false);
  EXPECT_EQ(stop_everywhere(varied, 35, 0.0, kShrunk), (std::set<Strategy>{Strategy::pruned_short, Strategy::targeted}));
  EXPECT_EQ(stop_everywhere(varied, 35, 0.1, {}), std::set<Strategy>{Strategy::pruned_short});
  EXPECT_EQ(stop_everywhere(varied, 35, 0.1, {.short_request_labels = 2, .short_approximate_request_labels = 2}),
            (std::set<Strategy>{Strategy::pruned_short, Strategy::approximate}));
  EXPECT_EQ(stop_everywhere(varied, 35, -1.0, {}), std::set<Strategy>{Strategy::literal});
}

TEST(StopPoll, AHookThatNeverStopsChangesNothing) {
  const RoadGraph ties = grid(4, true);
  StopAt never{.stop_at = 0};
  SearchReport report;
  const auto routes = compute_safe_routes(ties, 0, 15, 0.0,
                                          {.report = &report, .stop = {.hook = stop_at, .context = &never, .interval = 1}});
  ASSERT_TRUE(routes.has_value());
  EXPECT_EQ(report.answered_by, Strategy::literal);
  EXPECT_GT(never.calls, report.popped);
}

std::vector<std::pair<Strategy, GaveUp>> gave_up(const SearchReport& report) {
  std::vector<std::pair<Strategy, GaveUp>> result;
  for (std::uint8_t i = 0; i < report.gave_up_count; ++i) {
    result.emplace_back(report.gave_up[i].strategy, report.gave_up[i].why);
  }
  return result;
}

TEST(RequestOutcome, SaysWhichStrategyAnsweredAndWhyEachEarlierOneGaveUp) {
  constexpr SearchTuning kShrunk{.short_request_labels = 2, .short_approximate_request_labels = 2, .labels_before_known_routes = 2};
  struct Case {
    RoadGraph graph;
    NodeId target;
    double eps;
    SearchTuning tuning;
    std::vector<std::pair<Strategy, GaveUp>> gave_up;
    Strategy answered_by;
  };
  const Case cases[] = {
      // Paths of equal costs everywhere: each quick way gives up in turn, the
      // pruned search because the paths it found for the routes may be other
      // ones of the same costs.
      {grid(4, true), 15, 0.0, kShrunk,
       {{Strategy::pruned_short, GaveUp::over_budget}, {Strategy::targeted, GaveUp::tie},
        {Strategy::pruned, GaveUp::path_in_doubt}},
       Strategy::literal},
      {grid(6, false), 35, 0.0, {}, {}, Strategy::pruned_short},
      {grid(6, false), 35, 0.0, kShrunk, {{Strategy::pruned_short, GaveUp::over_budget}}, Strategy::targeted},
      {grid(6, false), 35, 0.1, {}, {}, Strategy::pruned_short},
      {grid(6, false), 35, 0.1, {.short_request_labels = 2, .short_approximate_request_labels = 2}, {{Strategy::pruned_short, GaveUp::over_budget}},
       Strategy::approximate},
      {grid(6, false), 35, 0.1, {.short_request_labels = 2, .short_approximate_request_labels = 2, .approximate_labels = 2},
       {{Strategy::pruned_short, GaveUp::over_budget}, {Strategy::approximate, GaveUp::over_budget}},
       Strategy::pruned},
      // Neither the pruned nor the approximate search can tell which of the
      // equal paths the search keeps.
      {grid(4, true), 15, 0.1, {},
       {{Strategy::pruned_short, GaveUp::path_in_doubt}, {Strategy::approximate, GaveUp::path_in_doubt}},
       Strategy::literal},
      {grid(6, false), 35, -1.0, {}, {}, Strategy::literal},
  };
  for (const Case& c : cases) {
    SearchReport report;
    ASSERT_TRUE(compute_safe_routes(c.graph, 0, c.target, c.eps, {.report = &report, .tuning = c.tuning}));
    EXPECT_EQ(gave_up(report), c.gave_up) << "eps " << c.eps;
    EXPECT_EQ(report.answered_by, c.answered_by) << "eps " << c.eps;
    EXPECT_FALSE(report.stopped_in.has_value());
    EXPECT_GT(report.touched_nodes, 0u);
    // Only the strategies that walk settle nodes backwards or prune by bounds.
    EXPECT_EQ(report.settled_backwards == 0, c.eps < 0.0) << "eps " << c.eps;
    // The targeted walks walk before they give up; the approximate search
    // walks once its search is over (within its budget).
    auto walked = [](Strategy strategy, std::optional<GaveUp> why) {
      return strategy == Strategy::targeted || (strategy == Strategy::approximate && why != GaveUp::over_budget);
    };
    const bool walks = walked(c.answered_by, std::nullopt) ||
                       std::any_of(c.gave_up.begin(), c.gave_up.end(),
                                   [&](const auto& attempt) { return walked(attempt.first, attempt.second); });
    EXPECT_EQ(report.walked_prefixes != 0, walks) << "eps " << c.eps;
  }
}

// A request from a node to itself is decided before any strategy runs,
// whatever eps and the tuning: the start label is the whole answer.
TEST(RequestOutcome, FromANodeToItselfNoStrategyRuns) {
  constexpr SearchTuning kShrunk{.short_request_labels = 0, .short_approximate_request_labels = 0, .labels_before_known_routes = 0};
  const RoadGraph varied = grid(4, false);
  for (const double eps : {0.0, 0.1, -1.0}) {
    for (const SearchTuning& tuning : {SearchTuning{}, kShrunk}) {
      SearchReport report;
      const auto routes = compute_safe_routes(varied, 5, 5, eps, {.report = &report, .tuning = tuning});
      ASSERT_TRUE(routes.has_value());
      ASSERT_EQ(routes->size(), 1u);
      EXPECT_EQ((*routes)[0].path, std::vector<NodeId>{5});
      EXPECT_EQ((*routes)[0].total_distance_m, 0.0);
      EXPECT_EQ(report.answered_by, Strategy::literal) << "eps " << eps;
      EXPECT_EQ(report.gave_up_count, 0u);
      EXPECT_EQ(report.pushed + report.settled_backwards + report.touched_nodes, 0u);
    }
  }
}

}  // namespace
}  // namespace norvel
