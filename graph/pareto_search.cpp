#include "graph/pareto_search.hpp"

#include <algorithm>
#include <cmath>
#include <expected>
#include <iterator>
#include <vector>

#include "graph/approximate_routes.hpp"
#include "graph/id_index.hpp"
#include "graph/literal_search.hpp"
#include "graph/pruned_search.hpp"
#include "graph/request_workspace.hpp"
#include "graph/route_selection.hpp"
#include "graph/targeted_routes.hpp"

namespace norvel {

namespace {

// The bounds hold for non-negative finite costs, and pruning by them
// relies on a factor that keeps its order: 1 + eps for eps from 0 on.
bool prunes(const EdgeRisk& risk, double eps) {
  return risk.facts().costs_bounded_below && eps >= 0.0 && std::isfinite(eps);
}

// Whether a path that the caller needs may be another than the literal one.
bool paths_in_doubt(const PrunedFront& pruned, PathsNeeded needed) {
  const std::vector<bool>& uncertain = pruned.path_uncertain;
  if (needed == PathsNeeded::all) return std::find(uncertain.begin(), uncertain.end(), true) != uncertain.end();
  if (pruned.front.empty()) return false;
  const RouteChoice choice = choose_routes(pruned.front);
  return std::any_of(std::begin(choice.of_type), std::end(choice.of_type),
                     [&](std::size_t at) { return uncertain[at]; });
}

// Runs the strategies in turn on one workspace and records how it went.
class Request {
 public:
  Request(RequestWorkspace& workspace, PathsNeeded needed, const SearchTuning& tuning)
      : ws_(workspace), needed_(needed), tuning_(tuning) {}

  // None when stopped.
  std::optional<ParetoFront> answer(double eps) {
    if (prunes(ws_.risk, eps)) {
      bool over_budget = true;
      if (needed_ == PathsNeeded::chosen_routes) {
        // A short request is over before the targeted walks or the
        // approximate search have set up their backward searches, so the
        // pruned search has the first go; unless the request shares the
        // searches of its target with others, which have set them up.
        if (ws_.destination() == nullptr) {
          const std::uint64_t budget =
              eps == 0.0 ? tuning_.short_request_labels : tuning_.short_approximate_request_labels;
          if (std::optional<ParetoFront> front = pruned(Strategy::pruned_short, budget)) {
            return front;
          }
          if (ws_.stop.stopped()) return std::nullopt;
          over_budget = last_gave_up_ == GaveUp::over_budget;
        }
        if (std::optional<ParetoFront> front = eps == 0.0 ? targeted() : approximate()) return front;
        if (ws_.stop.stopped()) return std::nullopt;
      }
      // A tie within the budget would stop the pruned search again.
      if (over_budget) {
        if (std::optional<ParetoFront> front = pruned(Strategy::pruned, UINT64_MAX)) return front;
        if (ws_.stop.stopped()) return std::nullopt;
      }
    }
    ws_.clear_fronts();
    std::optional<ParetoFront> front = literal_search(ws_);
    if (front) {
      ws_.report.answered_by = Strategy::literal;
    } else {
      ws_.report.stopped_in = Strategy::literal;
    }
    return front;
  }

 private:
  std::optional<ParetoFront> pruned(Strategy strategy, std::uint64_t most_processed) {
    ws_.clear_fronts();
    std::expected<PrunedFront, GaveUp> found = pruned_search(ws_, most_processed, tuning_.labels_before_known_routes);
    if (found && paths_in_doubt(*found, needed_)) found = std::unexpected(GaveUp::path_in_doubt);
    if (!found) return outcome(strategy, std::unexpected(found.error()));
    return outcome(strategy, std::move(found->front));
  }

  std::optional<ParetoFront> targeted() { return outcome(Strategy::targeted, targeted_route_front(ws_)); }

  std::optional<ParetoFront> approximate() {
    ws_.clear_fronts();
    return outcome(Strategy::approximate, approximate_route_front(ws_, tuning_));
  }

  // Records how the strategy ended: stopped, answered or gave up.
  std::optional<ParetoFront> outcome(Strategy strategy, std::expected<ParetoFront, GaveUp> ended) {
    SearchReport& report = ws_.report;
    if (ws_.stop.stopped()) {
      report.stopped_in = strategy;
      return std::nullopt;
    }
    if (!ended) {
      last_gave_up_ = ended.error();
      // Room for every strategy but the literal search, which never gives up.
      if (report.gave_up_count < std::size(report.gave_up)) {
        report.gave_up[report.gave_up_count++] = Attempt{strategy, ended.error()};
      }
      return std::nullopt;
    }
    report.answered_by = strategy;
    return std::move(*ended);
  }

  RequestWorkspace& ws_;
  const PathsNeeded needed_;
  const SearchTuning& tuning_;
  GaveUp last_gave_up_ = GaveUp::over_budget;
};

}  // namespace

std::optional<ParetoFront> pareto_search(const RoadGraph& graph, NodeId source, NodeId target, double target_lat,
                                         double target_lon, double eps, PathsNeeded needed,
                                         const SearchOptions& options) {
  SearchReport unread;
  SearchReport& report = options.report != nullptr ? *options.report : unread;
  // Here alone is a request from a node to itself decided, so that no
  // strategy needs to know of it: the start label is at the target, where
  // labels are never expanded, so the search's answer is that label alone,
  // whatever the graph and eps.
  if (source == target) {
    report.answered_by = Strategy::literal;
    return start_only_front(source);
  }
  const std::uint32_t source_dense = graph.dense_of.find(source);
  if (source_dense == IdIndex::kAbsent) {
    // An id the graph has never seen has no edges: the start label is all.
    report.answered_by = Strategy::literal;
    return ParetoFront{};
  }
  // A target the graph has never seen stays kAbsent, which no label reaches.
  RequestWorkspace workspace(graph, source_dense, graph.dense_of.find(target), target_lat, target_lon, eps,
                             options.stop, report, options.destination, options.risk_layer,
                             options.avoided);
  return Request(workspace, needed, options.tuning).answer(eps);
}

}  // namespace norvel
