#include "graph/pruned_search.hpp"

#include <algorithm>
#include <bit>

#include "graph/heuristic.hpp"
#include "graph/id_index.hpp"
#include "graph/pooled_heap.hpp"
#include "graph/search_labels.hpp"

namespace norvel {

namespace {

inline bool same_bits(double x, double y) { return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y); }

// Two labels at one node with the very same costs: their extensions have the
// very same costs and priorities too, edge for edge.
inline bool mirrors(const OpenLabel& x, const OpenLabel& y) {
  return x.place == y.place && same_bits(x.distance_m, y.distance_m) && same_bits(x.risk, y.risk) &&
         same_bits(x.familiarity, y.familiarity);
}

// Identifies a label on the open list by its parent and its node. Labels
// along parallel edges share a key: marking one marks them all, which at
// worst raises a needless doubt about a path.
inline std::uint64_t open_label_key(const OpenLabel& label) {
  return (std::uint64_t{label.parent} << 32) | label.place;
}

enum class Ties { none, mirrors, others };

class PrunedSearch {
 public:
  PrunedSearch(RequestWorkspace& workspace, std::uint64_t labels_before_known_routes)
      : ws_(workspace), places_(workspace.places), labels_before_known_routes_(labels_before_known_routes) {}

  std::expected<PrunedFront, GaveUp> run(std::uint64_t most_processed) {
    push(start_label(ws_.source_place));
    while (!open_.empty()) {
      // The caller tells a stop from giving up by the stop check itself.
      if (ws_.stop.tick()) return std::unexpected(GaveUp::over_budget);
      const OpenLabel label = open_.pop();
      ++ws_.report.popped;
      if (cannot_matter(label)) continue;
      const Ties ties = ties_that_may_matter(label);
      if (ties == Ties::others) return std::unexpected(GaveUp::tie);
      const bool tied_to_mirror =
          ties == Ties::mirrors ||
          (mirrored_.size() != 0 && mirrored_.find(open_label_key(label)) != IdIndex::kAbsent);
      if (labels_.size() >= most_processed) return std::unexpected(GaveUp::over_budget);
      if (!ws_.known.sought && labels_.size() >= labels_before_known_routes_ && solutions_.empty()) {
        seek_known_routes(ws_);
      }
      process(label, tied_to_mirror);
    }
    return PrunedFront{labels_.front_of(solutions_, ws_.graph, places_), paths_uncertain()};
  }

 private:
  // Whether the label would be discarded when popped, or can no longer
  // change the answer.
  //
  // Why dropping such labels changes nothing. Call a label dead when every
  // path from it to the target is covered by a solution already held:
  // solutions are only ever replaced by solutions that strictly dominate
  // them, so a dead label stays dead, its extensions are dead, and so is
  // every label at its node with costs at least its own (sums are monotone).
  // A dead label that is processed anyway only records itself at its node,
  // where it strictly dominates dead labels only, and pushes dead labels; at
  // the target it is covered. A label that the literal search discards at
  // its pop is discarded whenever it is tested, because fronts and solutions
  // only grow stronger. So neither kind decides anything for the labels that
  // matter: those the literal search processes while they are alive. By
  // induction over the pops, the pruned search processes exactly those, in
  // the same order, and records the same solutions, provided that the order
  // of any two of them is fixed by the search order alone. It is not when two
  // of them tie exactly while both are on the open list: the heap's shape,
  // which the dropped labels change, then decides. Both would be on the
  // pruned search's open list too, so `ties_that_may_matter` sees every
  // such case, and the literal search answers instead. That is also why the
  // pruned search may keep its open list in a heap of another shape, and
  // why bounds and known routes may come from any earlier strategy of the
  // request: however tight, they only ever say that a label is dead.
  [[gnu::always_inline]] bool cannot_matter(const OpenLabel& label) {
    if (ws_.covered_by_solution(label.distance_m, label.risk)) return true;
    if (places_[label.place].front.strictly_dominates_point(label.distance_m, label.risk)) return true;
    if (labels_.revisits_own_node(label, ws_.risk.facts().has_negative_cost)) return true;
    return dead(label.distance_m, label.risk, label.place);
  }

  // Whether every path from the place to the target, continuing costs
  // (distance, risk), is covered by a solution held now, or will be covered
  // when it gets there (see graph/known_routes.cpp), or there is no such
  // path. Asks the backward searches for tighter bounds only as far as they
  // can still make a difference.
  bool dead(double distance, double risk, std::uint32_t place) {
    if (covered_with_bounds(distance, risk, place)) return true;
    if (!ws_.known.routes.empty()) {
      const double least_distance = (distance + ws_.distance_to_go.lower_bound(place)) * kBoundMargin;
      const double least_risk = (risk + ws_.risk_to_go.lower_bound(place)) * kBoundMargin;
      if (outdone_by_known_route(ws_.known, least_distance, least_risk)) return true;
    }
    const Staircase& solutions = places_[ws_.target_place].front;
    if (solutions.empty()) return false;
    // Settling adds places, which may move the solutions' staircase.
    const double factor = ws_.approx_factor * kBoundMargin;
    const double enough_distance = solutions.largest_distance() / factor - distance;
    const double enough_risk = solutions.largest_risk() / factor - risk;
    ws_.distance_to_go.settle_until(place, enough_distance);
    ws_.risk_to_go.settle_until(place, enough_risk);
    return covered_with_bounds(distance, risk, place);
  }

  bool covered_with_bounds(double distance, double risk, std::uint32_t place) const {
    const double distance_to_go = ws_.distance_to_go.lower_bound(place);
    const double risk_to_go = ws_.risk_to_go.lower_bound(place);
    if (distance_to_go == RemainingCost::kUnreachable || risk_to_go == RemainingCost::kUnreachable) return true;
    return ws_.covered_by_solution((distance + distance_to_go) * kBoundMargin, (risk + risk_to_go) * kBoundMargin);
  }

  // The labels tied with `label` sit in a subtree at the top of the heap
  // (each one's parent comes no later than it). Those that would be
  // discarded now do not matter. Mirrors of `label` (same node, same costs)
  // are processed alike whatever their order, and give extensions that
  // mirror each other: only which of their paths a solution takes is left
  // to the heap's shape, so they are marked and their descendants' paths
  // count as uncertain. Any other tie may change the answer. Where paths of
  // equal costs abound, so do ties: each one looked at is a unit of work, and
  // a stop ends the look as if at a tie that matters.
  Ties ties_that_may_matter(const OpenLabel& label) {
    Ties found = Ties::none;
    const bool only_mirrors = open_.all_tied(label, [&](const OpenLabel& other) {
      if (ws_.stop.tick()) return false;
      if (cannot_matter(other)) return true;
      if (!mirrors(other, label)) return false;
      mirrored_.find_or_insert(open_label_key(other), 0);
      found = Ties::mirrors;
      return true;
    });
    return only_mirrors ? found : Ties::others;
  }

  // Per solution: whether some label on its path was tied to a mirror.
  std::vector<bool> paths_uncertain() {
    std::sort(tied_to_mirror_.begin(), tied_to_mirror_.end());
    std::vector<bool> uncertain;
    for (const SolutionRef& solution : solutions_) {
      bool tied_on_path = false;
      for (std::uint32_t at = solution.label; at != kNoParent && !tied_on_path; at = labels_[at].parent) {
        tied_on_path = std::binary_search(tied_to_mirror_.begin(), tied_to_mirror_.end(), at);
      }
      uncertain.push_back(tied_on_path);
    }
    return uncertain;
  }

  void process(const OpenLabel& label, bool tied_to_mirror) {
    places_[label.place].front.insert(label.distance_m, label.risk);
    const std::uint32_t index = labels_.record(label);
    ++ws_.report.processed;
    if (tied_to_mirror) tied_to_mirror_.push_back(index);
    const std::uint32_t dense = places_[label.place].dense;
    if (dense == ws_.target_dense) {
      // As in the literal search: a new point of the target's front.
      ws_.stop.tick(solutions_.size());
      front_insert(solutions_, SolutionRef{index, {label.distance_m, label.risk, label.familiarity}});
      return;
    }
    const RoadGraph& graph = ws_.graph;
    const std::uint32_t end = graph.out_begin[dense + 1];
    with_risks(ws_.risk, [&](auto risks) {
      for (std::uint32_t slot = graph.out_begin[dense]; slot < end; ++slot) {
        if (!risks.takes(slot)) continue;
        const SearchEdge& edge = graph.out_edges[slot];
        const std::uint32_t place = places_.place_of(edge.to);
        const double distance = label.distance_m + edge.distance_m;
        const double risk = label.risk + risks.at(slot, edge);
        if (would_not_matter(distance, risk, place)) continue;
        const double familiarity = label.familiarity + edge.familiarity;
        const double priority = label_priority(distance, risk, familiarity, ws_.heuristic_of(place));
        push(OpenLabel{priority_key(priority), distance, risk, familiarity, index, place});
      }
    });
  }

  // The tests of `cannot_matter` that do not need the path, at push time:
  // a label they discard now they would discard at its pop too.
  bool would_not_matter(double distance, double risk, std::uint32_t place) {
    return ws_.covered_by_solution(distance, risk) ||
           places_[place].front.strictly_dominates_point(distance, risk) || dead(distance, risk, place);
  }

  void push(const OpenLabel& label) {
    open_.push(label);
    ++ws_.report.pushed;
  }

  RequestWorkspace& ws_;
  Places& places_;
  const std::uint64_t labels_before_known_routes_;
  LabelArena labels_;
  PooledHeap<OpenLabel> open_;
  std::vector<SolutionRef> solutions_;
  IdIndex mirrored_;                           // open labels found tied to a mirror
  std::vector<std::uint32_t> tied_to_mirror_;  // recorded labels that were tied to one
};

}  // namespace

std::expected<PrunedFront, GaveUp> pruned_search(RequestWorkspace& workspace, std::uint64_t most_processed,
                                                 std::uint64_t labels_before_known_routes) {
  return PrunedSearch(workspace, labels_before_known_routes).run(most_processed);
}

}  // namespace norvel
