#include "graph/targeted_routes.hpp"

#include <algorithm>
#include <span>
#include <vector>

#include "graph/destination_bounds.hpp"
#include "graph/path_walk.hpp"
#include "graph/remaining_cost.hpp"
#include "graph/route_selection.hpp"

// Why three targeted searches give the search's answer with eps 0.
//
// With eps 0 the search ends with exactly one solution per Pareto-optimal
// (distance, risk) point of the paths to the target, whatever order it
// takes its labels in: a discarded prefix of a path to such a point is
// covered by a solution, or strictly dominated at its node by a label whose
// extension along the same edges costs no more (sums are monotone), hence
// exactly as much; so some path to the point survives, and any later one of
// equal costs is covered. On such a front no two entries share a distance or
// a risk, so the shortest route is the least (distance, risk) of all paths,
// the safest the least (risk, distance), the front's largest distance is the
// safest route's and its largest risk the shortest route's. The balanced
// route is then the entry with the least balance score, which is (up to
// rounding) the least weighted sum of distance and risk over all paths.
//
// Each is found by walking only the paths that lower bounds from a backward
// search allow to be optimal (`walk_paths`), with exact forward sums, so
// that values which coincide only after rounding are compared as the search
// compares them. The order of the search decides two things alone: which
// path stands for a point when several paths have exactly its sums, and the
// balanced choice when two entries have the same score. Where either could
// arise for a chosen route, or a walk grows too long, there is no answer
// here.

namespace norvel {

namespace {

struct Arrival {
  PathCosts costs;
  std::vector<std::uint32_t> places;  // the path's places, target excluded
};

// The least path in the order (first, then second), and how many paths have
// exactly its sums.
struct Least {
  Arrival path;
  int count = 0;
};

class Targeted {
 public:
  explicit Targeted(RequestWorkspace& workspace)
      : ws_(workspace),
        graph_(workspace.graph),
        places_(workspace.places),
        target_dense_(workspace.target_dense),
        source_place_(workspace.source_place) {}

  std::expected<ParetoFront, GaveUp> answer() {
    std::expected<ParetoFront, GaveUp> front = find();
    ws_.report.walked_prefixes += kBudget - budget_;
    return front;
  }

 private:
  // Walks are cut off beyond this many kept prefixes.
  static constexpr std::uint64_t kBudget = 200'000;

  std::expected<ParetoFront, GaveUp> find() {
    ws_.distance_to_go.settle_until(source_place_, RemainingCost::kUnreachable);
    if (ws_.distance_to_go.lower_bound(source_place_) == RemainingCost::kUnreachable) return ParetoFront{};

    const std::expected<Least, GaveUp> shortest = least_by(ws_.distance_to_go, false);
    if (!shortest) return std::unexpected(shortest.error());
    const std::expected<Least, GaveUp> safest = least_by(ws_.risk_to_go, true);
    if (!safest) return std::unexpected(safest.error());

    ParetoFront front{entry(shortest->path)};
    if (!same_point(safest->path.costs, shortest->path.costs)) front.push_back(entry(safest->path));
    if (front.size() == 1) return front;

    const std::expected<Arrival, GaveUp> balanced = least_balanced(balance_weights(front), front);
    if (!balanced) return std::unexpected(balanced.error());
    if (!same_point(balanced->costs, shortest->path.costs) && !same_point(balanced->costs, safest->path.costs)) {
      front.push_back(entry(*balanced));
    }
    return front;
  }

  // The least path by one objective, its ties broken by the other one, if
  // no other path has exactly its sums.
  std::expected<Least, GaveUp> least_by(RemainingCost& to_go, bool by_risk) {
    auto first = [by_risk](const PathCosts& c) { return by_risk ? c.risk : c.distance_m; };
    auto second = [by_risk](const PathCosts& c) { return by_risk ? c.distance_m : c.risk; };
    to_go.settle_until(source_place_, RemainingCost::kUnreachable);
    double bound = to_go.found_cost(source_place_) * kUpperMargin;
    Least least;
    auto keep = [&](std::uint32_t place, const PathCosts& costs) {
      to_go.settle_until(place, bound - first(costs));
      return (first(costs) + to_go.lower_bound(place)) * kBoundMargin <= bound;
    };
    auto reach = [&](const PathCosts& costs, std::span<const std::uint32_t> path) {
      if (least.count > 0 && first(costs) == first(least.path.costs) && second(costs) == second(least.path.costs)) {
        ++least.count;
        return;
      }
      const bool better = least.count == 0 ? first(costs) <= bound
                                           : first(costs) < first(least.path.costs) ||
                                                 (first(costs) == first(least.path.costs) &&
                                                  second(costs) < second(least.path.costs));
      if (!better) return;
      least = Least{Arrival{costs, {path.begin(), path.end()}}, 1};
      bound = first(costs);
    };
    if (!walk_paths(graph_, ws_.risk, places_, source_place_, target_dense_, budget_, ws_.stop, keep, reach)) {
      return std::unexpected(GaveUp::over_budget);
    }
    // No path at all cannot happen: the bound is met by some path.
    if (least.count != 1) return std::unexpected(GaveUp::tie);
    return least;
  }

  // The entry with the least balance score among the Pareto-optimal
  // points, given the front's normalisers (those of `extremes`, the shortest
  // and safest entries); none when its score or its sums are shared.
  std::expected<Arrival, GaveUp> least_balanced(const BalanceWeights& norms, const ParetoFront& extremes) {
    const Objective weights = weighted(1.0 / norms.norm_distance, 1.0 / norms.norm_risk);
    const double distance_weight = weights.distance_weight;
    const double risk_weight = weights.risk_weight;
    auto weighted_sum = [&](const PathCosts& c) { return weights.of(c.distance_m, c.risk); };
    // Comfortably above the least score of the front, so that every path of
    // a point that could be chosen, and every path dominating one, is met:
    // any path's weighted sum, widened so, is such a bound, and the least
    // one is the tightest.
    constexpr double kAbove = 1.0 + 0x1p-12;
    double bound = RemainingCost::kUnreachable;
    // The bound still to go: from a search by this weighing of the
    // request's own, or, where requests share the searches from their
    // target, put together from those (no search of its own to settle,
    // for a walk that meets a few more paths).
    std::optional<BlendedBound> blended;
    RemainingCost* own = nullptr;
    if (DestinationBounds* shared = ws_.destination()) {
      blended.emplace(*shared, distance_weight, risk_weight, &ws_.stop);
      for (const FrontEntry& extreme : extremes) bound = std::min(bound, weighted_sum(extreme.costs) * kAbove);
      if (const std::optional<PathCosts> greedy = follow_blended(*blended, weighted_sum)) {
        bound = std::min(bound, weighted_sum(*greedy) * kAbove);
      }
    } else {
      own = &ws_.weighted_to_go(weights);
      own->settle_until(source_place_, RemainingCost::kUnreachable);
      bound = own->found_cost(source_place_) * kAbove;
    }
    std::vector<Arrival> arrivals;
    auto keep = [&](std::uint32_t place, const PathCosts& costs) {
      const double so_far = weighted_sum(costs);
      double to_go = 0.0;
      if (own != nullptr) {
        own->settle_until(place, bound - so_far);
        to_go = own->lower_bound(place);
      } else {
        const std::uint32_t dense = places_[place].dense;
        blended->settle_until(dense, bound - so_far);
        to_go = blended->lower_bound(dense);
      }
      return (so_far + to_go) * kWeightedMargin <= bound;
    };
    bool too_many = false;
    auto reach = [&](const PathCosts& costs, std::span<const std::uint32_t> path) {
      if (weighted_sum(costs) * kWeightedMargin > bound) return;
      too_many = too_many || arrivals.size() == kMostArrivals;
      if (!too_many) arrivals.push_back(Arrival{costs, {path.begin(), path.end()}});
      // A path met is a bound too (see above).
      bound = std::min(bound, weighted_sum(costs) * kAbove);
    };
    const bool walked = walk_paths(graph_, ws_.risk, places_, source_place_, target_dense_, budget_, ws_.stop, keep, reach);
    if (blended) ws_.report.settled_backwards += blended->slope_settles();
    if (!walked || too_many) return std::unexpected(GaveUp::over_budget);

    // The candidates' Pareto-optimal points, each once, the extremes among
    // them; the choice is the one `select_routes` makes among those.
    std::vector<PathCosts> candidates;
    for (const FrontEntry& extreme : extremes) candidates.push_back(extreme.costs);
    for (const Arrival& arrival : arrivals) candidates.push_back(arrival.costs);
    std::vector<PathCosts> points;
    for (const PathCosts& p : candidates) {
      const bool dominated = std::any_of(candidates.begin(), candidates.end(), [&](const PathCosts& q) {
        return strictly_dominates(q.distance_m, q.risk, p.distance_m, p.risk);
      });
      const bool repeated =
          std::any_of(points.begin(), points.end(), [&](const PathCosts& q) { return same_point(p, q); });
      if (!dominated && !repeated) points.push_back(p);
    }
    if (points.empty()) return std::unexpected(GaveUp::tie);  // cannot happen: the extremes are optimal
    const BalancedChoice choice =
        choose_balanced(std::span<const PathCosts>(points), norms, [](const PathCosts& c) { return c; });
    if (choice.shared) return std::unexpected(GaveUp::tie);
    const PathCosts* best = &points[choice.at];
    const Arrival* chosen = nullptr;
    int paths = 0;
    for (const Arrival& arrival : arrivals) {
      if (arrival.costs.distance_m == best->distance_m && arrival.costs.risk == best->risk) {
        chosen = &arrival;
        ++paths;
      }
    }
    if (paths != 1) return std::unexpected(GaveUp::tie);
    return *chosen;
  }

  // The sums of a path from the source down the blended bound, each step
  // the first edge whose weighed cost plus the bound at its head is least;
  // none where it ends or comes round to a node it has passed. Not
  // `follow_least_path`, which reads a bound by place: the shared searches
  // are read by node, and giving a place to every head looked at costs a
  // request that shares them about 1 % more instructions.
  template <class WeightedSum>
  std::optional<PathCosts> follow_blended(BlendedBound& to_go, WeightedSum weighted_sum) {
    PathCosts sums{0.0, 0.0, 0.0};
    std::vector<std::uint32_t> passed;
    std::optional<PathCosts> arrived;
    for (std::uint32_t at = source_place_;;) {
      places_[at].on_path = true;
      passed.push_back(at);
      const std::uint32_t dense = places_[at].dense;
      const SearchEdge* best_edge = nullptr;
      double best = RemainingCost::kUnreachable;
      with_risks(ws_.risk, [&](auto risks) {
        for (std::uint32_t slot = graph_.out_begin[dense]; slot < graph_.out_begin[dense + 1]; ++slot) {
          if (!risks.takes(slot)) continue;
          const SearchEdge& edge = graph_.out_edges[slot];
          const PathCosts step{edge.distance_m, risks.at(slot, edge), 0.0};
          to_go.settle_until(edge.to, RemainingCost::kUnreachable);
          const double value = weighted_sum(step) + (edge.to == target_dense_ ? 0.0 : to_go.lower_bound(edge.to));
          if (value < best) {
            best = value;
            best_edge = &edge;
          }
        }
      });
      if (best_edge == nullptr) break;
      sums.distance_m = sums.distance_m + best_edge->distance_m;
      sums.risk = sums.risk + ws_.risk.of(*best_edge);
      if (best_edge->to == target_dense_) {
        arrived = sums;
        break;
      }
      const std::uint32_t next = places_.place_of(best_edge->to);
      if (places_[next].on_path || ws_.stop.tick()) break;
      at = next;
    }
    for (const std::uint32_t place : passed) places_[place].on_path = false;
    return arrived;
  }

  static bool same_point(const PathCosts& a, const PathCosts& b) {
    return a.distance_m == b.distance_m && a.risk == b.risk;
  }

  FrontEntry entry(const Arrival& arrival) const {
    std::vector<NodeId> path;
    path.reserve(arrival.places.size() + 1);
    for (std::uint32_t place : arrival.places) path.push_back(graph_.id_of[places_[place].dense]);
    const NodeId target = graph_.id_of[target_dense_];
    path.push_back(target);
    return FrontEntry{std::move(path), target, arrival.costs};
  }

  static constexpr std::size_t kMostArrivals = 4096;

  RequestWorkspace& ws_;
  const RoadGraph& graph_;
  Places& places_;
  const std::uint32_t target_dense_;
  const std::uint32_t source_place_;
  std::uint64_t budget_ = kBudget;
};

}  // namespace

std::expected<ParetoFront, GaveUp> targeted_route_front(RequestWorkspace& workspace) {
  return Targeted(workspace).answer();
}

}  // namespace norvel
