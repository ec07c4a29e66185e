#include "graph/approximate_routes.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "graph/approximate_boxes.hpp"
#include "graph/approximate_checks.hpp"
#include "graph/approximate_cuts.hpp"
#include "graph/approximate_queue.hpp"
#include "graph/heuristic.hpp"
#include "graph/remaining_cost.hpp"
#include "graph/route_selection.hpp"
#include "graph/search_labels.hpp"
#include "graph/search_places.hpp"


// Why the front of the search with eps > 0 can be found in another order.
//
// Take a graph without familiarity whose costs are finite and not negative,
// f = 1 + eps, and call the key of a path to the target its label's place
// in the search order there: (priority, distance, risk), the priority being
// distance + 500 risk (the heuristic is 0 at the target). Distinct points
// (distance, risk) have distinct keys. Let G be the points of the paths to
// the target taken greedily in key order, each kept unless a point kept
// before covers it. A later point never strictly dominates an earlier one
// (its key would be smaller: sums and products round monotonically), and a
// point that strictly dominates or equals a kept point P would have been
// kept before P or covered by a point that also covers P, so every path to
// the target whose point is at or below P has exactly P's point.
//
// Claim: if every point P of G has a path whose labels all come, in the
// search order, no later than its label at the target, the search's
// solutions are exactly G, in G's order. For P_i, let t be the first pop
// of a label later than K(P_i). Suppose the points kept before t are among
// P_1 .. P_i (by induction over i, as below). Among the labels processed
// before t, with a remainder of a path to P_i along which all labels come
// no later than K(P_i), take one with the shortest remainder (the start
// label, with P_i's own path, is one). Were the remainder not empty, the
// next label along it would be pushed, and popped before t since it comes
// no later than K(P_i). Then it is processed (a shorter remainder), or
// strictly dominated at its node by a processed label, or it comes back to
// a node of its path where a processed ancestor costs no more; that label
// with the same remainder costs no more along it, so it comes no later at
// every step and reaches a point at or below P_i, that is P_i: a shorter
// remainder again. Or a kept point covers it, and so covers P_i (sums are
// monotone): a contradiction if it is an earlier P_j, so it is P_i. So
// P_i is kept before t, hence before any later point of G is popped at the
// target. A point that is not in G is covered by an earlier P_j; its label
// comes later than K(P_j), so it is popped at or after that t, once P_j is
// kept, and is discarded. So nothing else is kept (which is also the
// induction's step), and as keys grow along G nothing kept is ever evicted.
//
// So the front depends on the points of the paths alone, not on the order in
// which they are found. This search finds G by taking labels in the order of
// a lower bound of the priority at the target, from a backward search by the
// weighted sum itself, which makes it far more direct than the great-circle
// distance; a path that reaches the target waits in the same queue, keyed by
// its exact priority, so that it is taken only once no label left can lead
// to an earlier key. A label is dropped when a label recorded at its node
// costs no more in both (its continuations cost no less than that label's,
// whose reach the argument above covers), or when no point it can reach can
// still be kept: each is covered by a point already kept (so it is not in
// G), or would have a priority below the key last taken from the queue
// (every label left has a key at least that). The bounds of the backward
// searches for distance, risk and the weighted sum, and in long searches the
// cuts of `BoxCuts`, describe where its points can lie.
//
// What the search does not see is checked on the outcome: the claim's
// condition on each point's path, and, for the shortest, safest and balanced
// entries, that no other path has exactly their costs (the search's order
// alone would decide which of them it keeps). Failing either, the request
// goes to the searches that follow the search order itself.


namespace norvel {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

struct Kept {
  PathCosts costs;
  std::uint32_t parent;  // the recorded label the path to the target extends
};

// The search itself: labels taken from the queue in key order, tested
// against the fronts, the kept points and the bounds, and expanded.
class Approximate {
 public:
  Approximate(RequestWorkspace& workspace, const SearchTuning& tuning)
      : ws_(workspace),
        graph_(workspace.graph),
        places_(workspace.places),
        target_dense_(workspace.target_dense),
        target_place_(workspace.target_place),
        source_place_(workspace.source_place),
        most_labels_(tuning.approximate_labels),
        distance_to_go_(workspace.distance_to_go),
        risk_to_go_(workspace.risk_to_go),
        weighted_to_go_(workspace.weighted_to_go(kPriorityWeighing)),
        staircase_(workspace.approx_factor),
        cuts_(workspace, tuning.approximate_labels_before_cuts),
        checks_(workspace, weighted_to_go_, cuts_) {}

  std::expected<ParetoFront, GaveUp> answer() {
    std::expected<ParetoFront, GaveUp> front = find();
    SearchReport& report = ws_.report;
    report.pushed += queue_.pushed();
    report.popped += queue_.popped();
    report.processed += labels_.size();
    report.walked_prefixes += checks_.walked_prefixes();
    report.settled_backwards += cuts_.settled_count();
    return front;
  }

 private:
  std::expected<ParetoFront, GaveUp> find() {
    // The priority at the target must be distance + 500 risk alone.
    if (ws_.heuristic_of(target_place_) != 0.0) return std::unexpected(GaveUp::priority_falls);
    if (!search()) return std::unexpected(GaveUp::over_budget);
    for (const Kept& kept : kept_) {
      if (!checks_.arrives_in_order(labels_, kept.parent, kept.costs)) return std::unexpected(GaveUp::priority_falls);
    }
    const NodeId target = graph_.id_of[target_dense_];
    ParetoFront front;
    front.reserve(kept_.size());
    for (const Kept& kept : kept_) {
      std::vector<NodeId> path = labels_.path_of(kept.parent, graph_, places_);
      path.push_back(target);
      front.push_back(FrontEntry{std::move(path), target, kept.costs});
    }
    if (front.empty()) return front;
    const RouteChoice choice = choose_routes(front);
    for (std::size_t type = 0; type < 3; ++type) {
      const std::size_t at = choice.of_type[type];
      if (std::find(choice.of_type, choice.of_type + type, at) != choice.of_type + type) continue;
      if (!checks_.only_path(front[at].costs)) return std::unexpected(GaveUp::path_in_doubt);
    }
    return front;
  }

  // Runs the queue dry; false when stopped or over budget.
  bool search() {
    // Every label's key rests on the weighted bound, which is settled as far
    // as the source from the start: the first keys are then exact.
    weighted_to_go_.settle_until(source_place_, RemainingCost::kUnreachable);
    const std::uint32_t start = labels_.record(RecordedLabel{kNoParent, source_place_, 0.0, 0.0});
    places_[source_place_].front.insert(0.0, 0.0);
    expand(start, 0.0);
    while (!queue_.empty()) {
      if (ws_.stop.tick()) return false;
      Queued item = queue_.take();
      if (item.arrived) {
        arrive(item);
        continue;
      }
      // A key from unsettled bounds may be too low: make it exact, or at
      // least larger than the next key, before going on.
      if (!queue_.empty() && (!weighted_to_go_.settled(item.place) || cuts_.unsettled(item.place))) {
        const double next = queue_.next_key();
        settle_for_key(item, next);
        const double key = std::max(item.key, key_of(item.distance_m, item.risk, item.place));
        if (key > next) {
          item.key = key;
          item.steps = kRetest;
          queue_.push(item);
          continue;
        }
      }
      // The label's edges are read only after its tests: fetch them while
      // those run.
      const Place& at = places_[item.place];
      __builtin_prefetch(graph_.out_edges.data() + graph_.out_begin[at.dense]);
      if (at.front.covers(item.distance_m, item.risk)) continue;
      // A label queued under the same kept points passed this test then. The
      // bounds have tightened and the level risen since, which might drop it
      // now, but the test is an economy: a label it would drop may be
      // processed all the same (the argument at the top never needs one
      // dropped). It drops almost none of these, and skipping it spares a
      // bound and a search step per label.
      if (item.steps != staircase_.size() && !may_reach_uncovered(item.distance_m, item.risk, item.place)) continue;
      if (labels_.size() >= most_labels_) return false;
      if (!staircase_.empty() && cuts_.due(labels_.size())) cuts_.set_up(staircase_);

      places_[item.place].front.insert(item.distance_m, item.risk);
      const std::uint32_t index = labels_.record(RecordedLabel{item.parent, item.place, item.distance_m, item.risk});
      expand(index, item.key);
    }
    return true;
  }

  void expand(std::uint32_t index, double key) {
    const RecordedLabel label = labels_[index];
    const std::uint32_t dense = places_[label.place].dense;
    with_risks(ws_.risk, [&](auto risks) {
      for (std::uint32_t slot = graph_.out_begin[dense]; slot < graph_.out_begin[dense + 1]; ++slot) {
        if (!risks.takes(slot)) continue;
        const SearchEdge& edge = graph_.out_edges[slot];
        const double distance = label.distance_m + edge.distance_m;
        const double risk = label.risk + risks.at(slot, edge);
        if (edge.to == target_dense_) {
          if (staircase_.covered(distance, risk)) continue;
          const double priority = label_priority(distance, risk, 0.0, 0.0);
          queue_.push(Queued{priority, distance, risk, index, target_place_, true, 0});
          continue;
        }
        const std::uint32_t place = places_.place_of(edge.to);
        if (places_[place].front.covers(distance, risk)) continue;
        const double least = least_sum(distance, risk, place);
        if (least == kInfinity) continue;
        queue_.push(Queued{std::max(key, least * kKeyMargin), distance, risk, index, place, false,
                           static_cast<std::uint32_t>(staircase_.size())});
      }
    });
  }

  // A path at the target, taken in key order: kept unless covered.
  void arrive(const Queued& item) {
    if (staircase_.covered(item.distance_m, item.risk)) return;
    kept_.push_back(Kept{{item.distance_m, item.risk, 0.0}, item.parent});
    staircase_.keep(item.distance_m, item.risk);
  }

  // A lower bound of the priority at the target of every path from the
  // label that may still be kept (see `least_sum`).
  double key_of(double distance, double risk, std::uint32_t place) const {
    return least_sum(distance, risk, place) * kKeyMargin;
  }

  // Settles each backward search a little beyond what would lift the key
  // above `next`, so that a label is queued again only a few times while
  // the radii grow.
  void settle_for_key(const Queued& item, double next) {
    // The searches by distance and by risk go only as far as the tests of
    // `may_reach_uncovered` take them: for the key, the weighted bound
    // mostly says more.
    const double needed = next / kKeyMargin;
    weighted_to_go_.settle_until(item.place, (needed - kPriorityWeighing.of(item.distance_m, item.risk)) * 1.125);
    if (staircase_.empty()) return;
    for (Cut* cut : {&cuts_.shorter(), &cuts_.safer()}) {
      if (!cut->to_go) continue;
      const double limit = cut == &cuts_.shorter() ? staircase_.first_box_alpha() : staircase_.last_box_beta();
      const Objective& weights = cut->to_go->objective();
      const double so_far = weights.of(item.distance_m, item.risk);
      cut->to_go->settle_until(item.place,
                               ((needed + cut->multiplier * limit) / kWeightedMargin - so_far) * 1.125);
    }
  }

  // Whether some point below the kept staircase lies within the bounds of
  // the paths from the label. Settles the backward searches for distance
  // and risk only as far as the boxes that may still hold a point reach.
  bool may_reach_uncovered(double distance, double risk, std::uint32_t place) {
    if (staircase_.empty()) return true;
    const auto [distance_limit, risk_limit] = staircase_.reach(queue_.level());
    distance_to_go_.settle_until(place, distance_limit / kBoundMargin - distance);
    risk_to_go_.settle_until(place, risk_limit / kBoundMargin - risk);
    return least_sum(distance, risk, place) != kInfinity;
  }

  // The least distance + 500 risk that a path from the label can have where
  // it is not covered by a kept point; infinite where there is none. A
  // path's point has distance and risk at least the bounds still to go, and
  // distance + 500 risk at least the weighted bound, which a box must leave
  // room for (see `KeptStaircase::least_uncovered`).
  double least_sum(double distance, double risk, std::uint32_t place) const {
    const double distance_to_go = distance_to_go_.lower_bound(place);
    const double risk_to_go = risk_to_go_.lower_bound(place);
    const double weighted_to_go = weighted_to_go_.lower_bound(place);
    if (distance_to_go == kInfinity || risk_to_go == kInfinity || weighted_to_go == kInfinity) return kInfinity;
    const double least_distance = (distance + distance_to_go) * kBoundMargin;
    const double least_risk = (risk + risk_to_go) * kBoundMargin;
    const double least_weighted = (kPriorityWeighing.of(distance, risk) + weighted_to_go) * kWeightedMargin;
    const double anywhere = std::max(least_weighted, kPriorityWeighing.of(least_distance, least_risk));
    if (staircase_.empty()) return anywhere;
    return staircase_.least_uncovered(
        least_distance, least_risk, least_weighted, anywhere, queue_.level(),
        [&](double alpha) { return cuts_.shorter().least_sum(distance, risk, place, alpha); },
        [&](double beta) { return cuts_.safer().least_sum(distance, risk, place, beta); });
  }

  RequestWorkspace& ws_;
  const RoadGraph& graph_;
  Places& places_;
  const std::uint32_t target_dense_;
  const std::uint32_t target_place_;
  const std::uint32_t source_place_;
  const std::uint64_t most_labels_;
  RemainingCost& distance_to_go_;
  RemainingCost& risk_to_go_;
  RemainingCost& weighted_to_go_;
  LabelArena labels_;
  KeyQueue queue_;
  KeptStaircase staircase_;
  std::vector<Kept> kept_;  // in the order kept
  BoxCuts cuts_;
  OutcomeChecks checks_;
};

}  // namespace

std::expected<ParetoFront, GaveUp> approximate_route_front(RequestWorkspace& workspace, const SearchTuning& tuning) {
  if (workspace.graph.has_familiarity) return std::unexpected(GaveUp::familiarity);
  if (workspace.target_place == Places::kNone) return ParetoFront{};
  return Approximate(workspace, tuning).answer();
}

}  // namespace norvel
