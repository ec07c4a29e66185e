#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "graph/destination_bounds.hpp"
#include "graph/heuristic.hpp"
#include "graph/pareto_front.hpp"
#include "graph/plane_metric.hpp"
#include "graph/road_graph.hpp"
#include "graph/search_objective.hpp"
#include "graph/search_places.hpp"
#include "graph/stop_poll.hpp"

namespace norvel {

// The least cost of one objective still needed from a node to the target,
// found by a search backwards over the incoming edges that runs only as far
// as it is asked to.
//
// Without a goal it is Dijkstra's search: a node not yet settled is at least
// as far as the search's radius, the least cost on its heap, and a settled
// node's cost is the least sum backwards. Once the heap has run empty, an
// unsettled node cannot reach the target at all.
//
// With a goal (the request's source) the heap is ordered by cost plus a
// potential: `scale` times the plane norm between the node and the goal, no
// more than any path from the goal to the node costs (`potential_scale`).
// The search then settles the nodes between the target and the source
// first instead of a whole disc around the target. A node not yet settled
// is at least the least key on the heap minus its own potential away.
//
// Costs are summed in floating point in the backward direction, while a
// forward search sums the same edges the other way round; callers leave a
// margin for the difference (`kBoundMargin`, `kUpperMargin`).
//
// Each search keeps its costs in arrays of its own, indexed by place, rather
// than in `Place`: a settle then touches 8 bytes of cost and a bit per node
// reached, and a search's working set stays a fraction of the places'.
//
// Or it stands for a search that the requests to one target share
// (`DestinationSearch`, without a goal), read through the request's places.
//
// Precondition: the graph's costs are bounded below (`costs_bounded_below`).
class RemainingCost {
 public:
  static constexpr std::uint32_t kNoGoal = UINT32_MAX;

  // Nodes settled count as units of work for `stop`, if given; once it
  // says stop, settling ends early, which leaves every bound a lower bound
  // still. `goal_dense` is the node the search heads for, if any.
  RemainingCost(const RoadGraph& graph, const EdgeRisk& risk, Places& places, Objective objective,
                std::uint32_t target_place, StopCheck* stop = nullptr, std::uint32_t goal_dense = kNoGoal);
  // The request's view of a shared search, whose target is the request's.
  RemainingCost(const RoadGraph& graph, Places& places, DestinationSearch& shared, StopCheck* stop = nullptr);

  // A lower bound of the cost still to go from the place.
  double lower_bound(std::uint32_t place) const {
    if (shared_ != nullptr) return shared_->lower_bound(places_[place].dense);
    if (scale_ == 0.0) {
      if (own_settled(place)) return cost_[place];
      return heap_.empty() ? kUnreachable : heap_.front().key;
    }
    if (own_settled(place)) return std::max(0.0, cost_[place] - slack(0.0));
    return unsettled_bound(potential(places_[place].dense));
  }

  // The cost of the best path from the place found so far, summed
  // backwards: an upper bound of the least such sum, and once the place is
  // settled at most a hair above it (equal to it without a goal).
  double found_cost(std::uint32_t place) const {
    if (shared_ != nullptr) return shared_->found_cost(places_[place].dense);
    return place < cost_.size() ? cost_[place] : kUnreachable;
  }

  bool settled(std::uint32_t place) const {
    if (shared_ != nullptr) return shared_->settled(places_[place].dense);
    return own_settled(place);
  }

  // Settles nodes until `place` is settled or its lower bound exceeds
  // `enough`.
  void settle_until(std::uint32_t place, double enough) {
    if (shared_ != nullptr) {
      shared_->settle_until(places_[place].dense, enough, stop_);
      return;
    }
    if (own_settled(place)) return;
    if (scale_ == 0.0) {
      while (!own_settled(place) && !heap_.empty() && heap_.front().key <= enough) {
        if (!settle_next()) return;
      }
      return;
    }
    const double own = potential(places_[place].dense);
    while (!own_settled(place) && !heap_.empty() && unsettled_bound(own) <= enough) {
      if (!settle_next()) return;
    }
  }

  // Of a shared search, the nodes settled since this view was made.
  std::uint64_t settled_count() const {
    return shared_ != nullptr ? shared_->settled_count() - settled_count_ : settled_count_;
  }
  const Objective& objective() const { return objective_; }
  // The risks it sums, which walks down it sum too.
  const EdgeRisk& edge_risk() const { return risk_; }

  static constexpr double kUnreachable = __builtin_inf();

 private:
  struct Entry {
    double key;            // cost, plus the potential with a goal
    std::uint32_t place;
    std::uint32_t dense;   // the place's node, kept here to spare a load per settle
  };

  // The search's own state, when it stands for no shared search.
  bool own_settled(std::uint32_t place) const {
    return place < cost_.size() && (settled_[place / 64] >> (place % 64) & 1u) != 0;
  }

  double potential(std::uint32_t dense) const {
    return scale_ * static_cast<double>(plane_norm(graph_.plane[dense], goal_));
  }

  // Keys are rounded sums, so with a goal the order of the heap may differ
  // from the exact one by a rounding, and a node may be settled with a cost
  // a little above the least. This margin covers that (see the .cpp).
  double slack(double own_potential) const {
    const double top = heap_.empty() ? top_key_ : std::max(top_key_, heap_.front().key);
    return (static_cast<double>(settled_count_) + 4.0) * 0x1p-50 * (top + own_potential);
  }

  double unsettled_bound(double own_potential) const {
    if (heap_.empty()) return kUnreachable;
    return std::max(0.0, (heap_.front().key - own_potential) - slack(own_potential));
  }

  // False when the stop check says stop.
  bool settle_next() {
    // A node settled is too little work to count one by one.
    if ((settled_count_ & (kSettledPerTick - 1)) == 0 && stop_ != nullptr && stop_->tick(kSettledPerTick)) {
      return false;
    }
    settle_first();
    return true;
  }
  void settle_first();
  // Makes room for every place the request has so far.
  void cover_places();

  static constexpr std::uint64_t kSettledPerTick = 1024;

  const RoadGraph& graph_;
  EdgeRisk risk_;
  Places& places_;
  const Objective objective_;
  // Per place: the cost to the target once settled, before that the least
  // found so far (infinite where none is); and one settled bit.
  std::vector<double> cost_;
  std::vector<std::uint64_t> settled_;
  std::vector<Entry> heap_;
  std::uint64_t settled_count_ = 0;
  StopCheck* stop_;
  double scale_ = 0.0;     // of the potential; 0 without a goal
  PlanePoint goal_{0, 0};
  double top_key_ = 0.0;   // the greatest key settled so far
  DestinationSearch* shared_ = nullptr;  // stands for this search when set
};

// One step down a least path by `to_go`'s objective: the first edge leaving
// `at` (in edge index order) whose cost plus the bound at its head is
// least, settling each head as far as needed. The edge is null when `at`
// has no edge to a node that can reach the target.
struct LeastStep {
  const SearchEdge* edge = nullptr;
  std::uint32_t place = Places::kNone;
};

inline LeastStep least_step(const RoadGraph& graph, Places& places, RemainingCost& to_go, std::uint32_t at) {
  const Objective& objective = to_go.objective();
  const std::uint32_t dense = places[at].dense;
  LeastStep step;
  double best = RemainingCost::kUnreachable;
  with_risks(to_go.edge_risk(), [&](auto risks) {
    for (std::uint32_t slot = graph.out_begin[dense]; slot < graph.out_begin[dense + 1]; ++slot) {
      if (!risks.takes(slot)) continue;
      const SearchEdge& edge = graph.out_edges[slot];
      const std::uint32_t next = places.place_of(edge.to);
      to_go.settle_until(next, RemainingCost::kUnreachable);
      const double value = objective.of(edge.distance_m, risks.at(slot, edge)) + to_go.lower_bound(next);
      if (value < best) {
        best = value;
        step = {&edge, next};
      }
    }
  });
  return step;
}

// The sums along a least path by `to_go`'s objective from `from` to the
// target's node, following `least_step` down the backward search and adding
// the edges' costs forwards, as a label search would; none where there is no
// such path or it cannot be followed. `visit(place, sums)` is called after
// each step with the place reached and the sums so far.
//
// Ties between edges go to the first, so a least path can go round a cycle
// whose costs add exactly nothing (zero-cost edges, or additions lost to
// rounding), and would for ever. It cannot be told by a node met twice:
// with a goal, the bounds of settled places move by a hair as the search
// goes on (their slack follows its heap, see `slack`), so a walk that comes
// back to a node may leave it by another edge and still arrive. Such a path
// is a real one, and all its callers need. A walk of more steps than the
// request has places has come back to some node, though, and is cut there;
// the places only grow with the graph's nodes, so every walk ends.
template <class Visit>
std::optional<PathCosts> follow_least_path(const RoadGraph& graph, Places& places, RemainingCost& to_go,
                                           std::uint32_t from, std::uint32_t target_dense, Visit visit) {
  to_go.settle_until(from, RemainingCost::kUnreachable);
  if (to_go.lower_bound(from) == RemainingCost::kUnreachable) return std::nullopt;
  PathCosts sums{0.0, 0.0, 0.0};
  std::uint32_t at = from;
  for (std::size_t steps = 0; places[at].dense != target_dense; ++steps) {
    if (steps > places.size()) return std::nullopt;
    const LeastStep step = least_step(graph, places, to_go, at);
    if (step.edge == nullptr) return std::nullopt;
    sums.distance_m = sums.distance_m + step.edge->distance_m;
    sums.risk = sums.risk + to_go.edge_risk().of(*step.edge);
    at = step.place;
    visit(at, sums);
  }
  return sums;
}

inline std::optional<PathCosts> follow_least_path(const RoadGraph& graph, Places& places, RemainingCost& to_go,
                                                  std::uint32_t from, std::uint32_t target_dense) {
  return follow_least_path(graph, places, to_go, from, target_dense, [](std::uint32_t, const PathCosts&) {});
}

}  // namespace norvel
