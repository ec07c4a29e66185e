#include "graph/pareto_search.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <optional>
#include <type_traits>
#include <vector>

#include "graph/approximate_routes.hpp"
#include "graph/heuristic.hpp"
#include "graph/id_index.hpp"
#include "graph/open_list.hpp"
#include "graph/pooled_heap.hpp"
#include "graph/remaining_cost.hpp"
#include "graph/route_selection.hpp"
#include "graph/search_places.hpp"
#include "graph/targeted_routes.hpp"

namespace norvel {

namespace {

constexpr std::uint32_t kNoParent = UINT32_MAX;

// A label on the open list carries everything its processing needs, so a
// pop reads nothing but the heap. Only a label that passes the pruning tests
// is copied into the arena of recorded labels, where paths are chains of
// parent links back to the start label.
struct OpenLabel {
  std::uint64_t priority;  // priority_key of the priority
  double distance_m;
  double risk;
  double familiarity;
  std::uint32_t parent;  // arena index of the label it was expanded from
  std::uint32_t place;   // index into the search's touched-node table
};

// What a path needs of a recorded label: the chain back to the start and the
// node, plus the two costs the cycle check compares.
struct RecordedLabel {
  std::uint32_t parent;
  std::uint32_t place;
  double distance_m;
  double risk;
};

// The search order: priority, then distance and risk in totalOrder.
inline bool label_before(const OpenLabel& x, const OpenLabel& y) {
  return comes_before(x.priority, x.distance_m, x.risk, y.priority, y.distance_m, y.risk);
}

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

// How a search ended without its front.
enum class Halt { over_budget, tie, stopped };

struct SolutionRef {
  std::uint32_t label;
  PathCosts costs;
};

// How the search runs. `literal` processes every label it pushes, exactly as
// the search is defined. `pruned` drops labels that cannot change the answer
// (see `Search::cannot_matter`) and gives up when the order of two labels
// that tie exactly could depend on what it dropped.
enum class Mode { literal, pruned };

template <Mode kMode>
class Search {
 public:
  Search(const RoadGraph& graph, std::uint32_t target, double target_lat, double target_lon, double eps,
         StopCheck& stop, std::uint64_t labels_before_known_routes = UINT64_MAX)
      : graph_(graph),
        target_(target),
        target_lat_(target_lat),
        target_lon_(target_lon),
        cos_t_(cos_latitude(target_lat)),
        approx_factor_(1.0 + eps),
        labels_before_known_routes_(labels_before_known_routes),
        stop_(stop),
        target_place_(target == IdIndex::kAbsent ? Places::kNone : places_.place_of(target)),
        to_go_{RemainingCost(graph, places_, kDistance, kPruned ? target_place_ : Places::kNone, &stop),
               RemainingCost(graph, places_, kRisk, kPruned ? target_place_ : Places::kNone, &stop)} {}

  // The solution front; a pruned search halts on a tie it cannot order,
  // and once it has processed more than `most_processed` labels; any search
  // halts when asked to stop. `path_uncertain` tells, per entry, whether the
  // path may be another one with the very same costs than the literal search
  // finds.
  std::expected<ParetoFront, Halt> run(std::uint32_t source, SearchReport& report,
                                       std::vector<bool>* path_uncertain = nullptr,
                                       std::uint64_t most_processed = UINT64_MAX) {
    report_ = &report;
    std::expected<ParetoFront, Halt> front = search(source, path_uncertain, most_processed);
    report.settled_backwards += to_go_[0].settled_count() + to_go_[1].settled_count();
    report.touched_nodes += places_.size();
    return front;
  }

 private:
  std::expected<ParetoFront, Halt> search(std::uint32_t source, std::vector<bool>* path_uncertain,
                                          std::uint64_t most_processed) {
    push(OpenLabel{priority_key(0.0), 0.0, 0.0, 0.0, kNoParent, places_.place_of(source)});
    while (!open_.empty()) {
      if (stop_.tick()) return std::unexpected(Halt::stopped);
      const OpenLabel label = pop();
      ++report_->popped;
      if (cannot_matter(label)) continue;
      bool tied_to_mirror = false;
      if constexpr (kPruned) {
        const Ties ties = ties_that_may_matter(label);
        if (ties == Ties::others) return std::unexpected(stop_.stopped() ? Halt::stopped : Halt::tie);
        tied_to_mirror = ties == Ties::mirrors || (mirrored_.size() != 0 && mirrored_.find(open_label_key(label)) !=
                                                                              IdIndex::kAbsent);
      }
      if (labels_.size() >= most_processed) return std::unexpected(Halt::over_budget);
      if constexpr (kPruned) {
        if (labels_.size() == labels_before_known_routes_ && solutions_.empty()) learn_known_routes(source);
      }
      process(label, tied_to_mirror);
    }
    if (stop_.stopped()) return std::unexpected(Halt::stopped);
    if (path_uncertain != nullptr) *path_uncertain = paths_uncertain();
    return materialise_solutions();
  }

  // Whether the label would be discarded when popped, or in the pruned mode
  // can no longer change the answer.
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
  // pruned search may keep its open list in a heap of another shape.
  bool cannot_matter(const OpenLabel& label) {
    if (covered_by_solution(label.distance_m, label.risk)) return true;
    if (places_[label.place].front.strictly_dominates_point(label.distance_m, label.risk)) return true;
    if (revisits_own_node(label)) return true;
    return kPruned && dead(label.distance_m, label.risk, label.place);
  }

  bool covered_by_solution(double distance, double risk) const {
    return target_place_ != Places::kNone &&
           places_[target_place_].front.covers(approx_factor_ * distance, approx_factor_ * risk);
  }

  // Whether every path from the place to the target, continuing costs
  // (distance, risk), is covered by a solution held now, or will be covered
  // when it gets there (see `KnownRoute`), or there is no such path. Asks the
  // backward searches for tighter bounds only as far as they can still make
  // a difference.
  bool dead(double distance, double risk, std::uint32_t place) {
    if (covered_with_bounds(distance, risk, places_[place])) return true;
    if (outdone_by_known_route(distance, risk, places_[place])) return true;
    const Staircase& solutions = places_[target_place_].front;
    if (solutions.empty()) return false;
    // Settling adds places, which may move the solutions' staircase.
    const double factor = approx_factor_ * kBoundMargin;
    const double enough_distance = solutions.largest_distance() / factor - distance;
    const double enough_risk = solutions.largest_risk() / factor - risk;
    to_go_[0].settle_until(place, enough_distance);
    to_go_[1].settle_until(place, enough_risk);
    return covered_with_bounds(distance, risk, places_[place]);
  }

  // Before the first solution nothing is covered, and in a long request
  // that is most of the work. Without familiarity, routes known to exist
  // stand in for solutions not yet found.
  //
  // Take a path Q from the source to the target, and B the highest priority
  // of its labels. Until the search first pops a label of priority above B,
  // call a label at the i-th node of Q a witness when its distance and risk
  // are at most those of Q's i-th label; with every familiarity zero its
  // priority is then at most that label's, so at most B. The start label is
  // a witness and is processed first. A processed witness pushes a witness
  // along Q's next edge (sums are monotone), which is popped before any label
  // of priority above B; there it is covered by a solution, which then covers
  // Q, or strictly dominated by a recorded witness, or it comes back to a
  // node where an ancestor is a witness, or it is processed. So witnesses
  // advance until one is processed at the target, where it becomes a
  // solution that covers Q, unless one covering Q was already there. Hence
  // before any label of priority above B is popped, a solution covering Q is
  // held, and it covers every label at the target whose costs are at least
  // Q's.
  //
  // So a label whose every path to the target ends with costs at least Q's
  // and a priority above B is dead in the sense of `cannot_matter`: it never
  // becomes a solution, its extensions are such labels, and so is every label
  // at its node with costs at least its own. The lower bounds from the
  // backward searches tell: the priority at the target grows with distance
  // and risk.
  struct KnownRoute {
    double distance_m;
    double risk;
    std::uint64_t highest_priority;  // priority_key, over the route's labels
  };

  bool outdone_by_known_route(double distance, double risk, const Place& place) const {
    if (known_.empty()) return false;
    const double least_distance = (distance + to_go_[0].lower_bound(place)) * kBoundMargin;
    const double least_risk = (risk + to_go_[1].lower_bound(place)) * kBoundMargin;
    const std::uint64_t least_priority =
        priority_key(label_priority(least_distance, least_risk, 0.0, target_heuristic_));
    for (const KnownRoute& route : known_) {
      if (least_distance >= route.distance_m && least_risk >= route.risk && least_priority > route.highest_priority) {
        return true;
      }
    }
    return false;
  }

  // The least paths from the source by distance, by risk and by the
  // search's own weighing of the two, each followed down a backward search.
  // Following them settles the backward searches as far as the source,
  // which also tightens the bounds of every later test.
  void learn_known_routes(std::uint32_t source_dense) {
    if (graph_.has_familiarity || target_place_ == Places::kNone || source_dense == target_) return;
    target_heuristic_ = heuristic_of(target_place_);
    RemainingCost by_priority(graph_, places_, weighted(1.0, kRiskWeight), target_place_, &stop_);
    for (RemainingCost* to_go : {&to_go_[0], &to_go_[1], &by_priority}) {
      if (std::optional<KnownRoute> route = follow_least_path(*to_go, places_.place_of(source_dense))) {
        known_.push_back(*route);
        ++report_->known_routes;
      }
    }
  }

  std::optional<KnownRoute> follow_least_path(RemainingCost& to_go, std::uint32_t source) {
    to_go.settle_until(source, RemainingCost::kUnreachable);
    if (to_go.lower_bound(places_[source]) == RemainingCost::kUnreachable) return std::nullopt;
    const Objective& objective = to_go.objective();
    std::vector<std::uint32_t> walked{source};
    places_[source].on_path = true;
    KnownRoute route{0.0, 0.0, priority_key(0.0)};
    bool arrived = true;
    for (std::uint32_t at = source; places_[at].dense != target_;) {
      const std::uint32_t dense = places_[at].dense;
      std::uint32_t best_place = Places::kNone;
      const SearchEdge* best_edge = nullptr;
      double best = RemainingCost::kUnreachable;
      for (std::uint32_t slot = graph_.out_begin[dense]; slot < graph_.out_begin[dense + 1]; ++slot) {
        const SearchEdge& edge = graph_.out_edges[slot];
        const std::uint32_t next = places_.place_of(edge.to);
        to_go.settle_until(next, RemainingCost::kUnreachable);
        const double value = objective.of(edge) + to_go.lower_bound(places_[next]);
        if (value < best) {
          best = value;
          best_place = next;
          best_edge = &edge;
        }
      }
      if (best_edge == nullptr || places_[best_place].on_path) {
        arrived = false;  // rounding led round a cycle of equal costs
        break;
      }
      route.distance_m = route.distance_m + best_edge->distance_m;
      route.risk = route.risk + best_edge->risk_score;
      const double priority = label_priority(route.distance_m, route.risk, 0.0, heuristic_of(best_place));
      route.highest_priority = std::max(route.highest_priority, priority_key(priority));
      places_[best_place].on_path = true;
      walked.push_back(best_place);
      at = best_place;
    }
    for (std::uint32_t place : walked) places_[place].on_path = false;
    if (!arrived) return std::nullopt;
    return route;
  }

  bool covered_with_bounds(double distance, double risk, const Place& place) const {
    const double distance_to_go = to_go_[0].lower_bound(place);
    const double risk_to_go = to_go_[1].lower_bound(place);
    if (distance_to_go == RemainingCost::kUnreachable || risk_to_go == RemainingCost::kUnreachable) return true;
    return covered_by_solution((distance + distance_to_go) * kBoundMargin, (risk + risk_to_go) * kBoundMargin);
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
      if (stop_.tick()) return false;
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
    const std::uint32_t index = record(label);
    if (tied_to_mirror) tied_to_mirror_.push_back(index);
    const std::uint32_t dense = places_[label.place].dense;
    if (dense == target_) {
      record_solution(index, label);
      return;
    }
    const std::uint32_t end = graph_.out_begin[dense + 1];
    for (std::uint32_t slot = graph_.out_begin[dense]; slot < end; ++slot) {
      const SearchEdge& edge = graph_.out_edges[slot];
      const std::uint32_t place = places_.place_of(edge.to);
      const double distance = label.distance_m + edge.distance_m;
      const double risk = label.risk + edge.risk_score;
      if (kPruned && would_not_matter(distance, risk, place)) continue;
      const double familiarity = label.familiarity + edge.familiarity;
      const double priority = label_priority(distance, risk, familiarity, heuristic_of(place));
      push(OpenLabel{priority_key(priority), distance, risk, familiarity, index, place});
    }
  }

  // The tests of `cannot_matter` that do not need the path, at push time:
  // a label they discard now they would discard at its pop too.
  bool would_not_matter(double distance, double risk, std::uint32_t place) {
    return covered_by_solution(distance, risk) ||
           places_[place].front.strictly_dominates_point(distance, risk) || dead(distance, risk, place);
  }

  // Going round a cycle never pays on a graph without negative costs: a label
  // that comes back to a node is strictly dominated there by its own ancestor
  // unless the cycle added exactly nothing (zero-cost edges, or additions lost
  // to rounding), and then only ancestors with the very same distance and risk
  // can lie on that cycle. Discarding such labels is what makes the search end
  // on every graph. With negative costs, or a NaN sum (which compares equal to
  // nothing), every ancestor has to be examined.
  bool revisits_own_node(const OpenLabel& label) const {
    const bool every_ancestor =
        graph_.has_negative_cost || std::isnan(label.distance_m) || std::isnan(label.risk);
    for (std::uint32_t at = label.parent; at != kNoParent; at = labels_[at].parent) {
      const RecordedLabel& ancestor = labels_[at];
      if (!every_ancestor && !(ancestor.distance_m == label.distance_m && ancestor.risk == label.risk)) {
        return false;
      }
      if (ancestor.place == label.place) return true;  // one place per node
    }
    return false;
  }

  // The label has just entered the target's front, so no solution strictly
  // dominates it: the solutions and that front hold the same points. Every
  // path of the same costs is a solution of its own, and comparing with each
  // is work to count.
  void record_solution(std::uint32_t index, const OpenLabel& label) {
    stop_.tick(solutions_.size());
    front_insert(solutions_, SolutionRef{index, {label.distance_m, label.risk, label.familiarity}});
  }

  double heuristic_of(std::uint32_t place) {
    Place& at = places_[place];
    if (!at.has_heuristic) {
      at.heuristic_m = haversine_with_cos_m(graph_.lat[at.dense], graph_.lon[at.dense], graph_.cos_lat[at.dense],
                                            target_lat_, target_lon_, cos_t_);
      at.has_heuristic = true;
    }
    return at.heuristic_m;
  }

  std::uint32_t record(const OpenLabel& label) {
    if (labels_.size() >= kNoParent) {
      std::fputs("norvel_core: label arena exhausted\n", stderr);
      std::abort();
    }
    labels_.push_back(RecordedLabel{label.parent, label.place, label.distance_m, label.risk});
    ++report_->processed;
    return static_cast<std::uint32_t>(labels_.size() - 1);
  }

  ParetoFront materialise_solutions() const {
    ParetoFront result;
    result.reserve(solutions_.size());
    for (const SolutionRef& solution : solutions_) {
      std::vector<NodeId> path;
      for (std::uint32_t at = solution.label; at != kNoParent; at = labels_[at].parent) {
        path.push_back(graph_.id_of[places_[labels_[at].place].dense]);
      }
      std::reverse(path.begin(), path.end());
      NodeId node = path.back();
      result.push_back(FrontEntry{std::move(path), node, solution.costs});
    }
    return result;
  }

  static constexpr bool kPruned = kMode == Mode::pruned;

  void push(const OpenLabel& label) {
    if constexpr (kPruned) {
      open_.push(label);
    } else {
      open_list_push(open_, label, label_before);
    }
    ++report_->pushed;
  }

  OpenLabel pop() {
    if constexpr (kPruned) {
      return open_.pop();
    } else {
      return open_list_pop(open_, label_before);
    }
  }

  const RoadGraph& graph_;
  const std::uint32_t target_;
  const double target_lat_;
  const double target_lon_;
  const double cos_t_;
  const double approx_factor_;
  const std::uint64_t labels_before_known_routes_;
  StopCheck& stop_;

  Places places_;
  // The target's place: its front holds the costs of the solutions, which
  // the cover test asks about.
  const std::uint32_t target_place_;
  RemainingCost to_go_[2];
  std::vector<RecordedLabel> labels_;
  std::conditional_t<kPruned, PooledHeap<OpenLabel>, std::vector<OpenLabel>> open_;
  std::vector<SolutionRef> solutions_;
  IdIndex mirrored_;                         // open labels found tied to a mirror
  std::vector<std::uint32_t> tied_to_mirror_;  // recorded labels that were tied to one
  SearchReport* report_ = nullptr;
  std::vector<KnownRoute> known_;
  double target_heuristic_ = 0.0;
};

// The bounds hold for non-negative finite costs, and pruning by them
// relies on a factor that keeps its order: 1 + eps for eps from 0 on.
bool prunes(const RoadGraph& graph, double eps) {
  return graph.costs_bounded_below && eps >= 0.0 && std::isfinite(eps);
}

// Whether a path that the caller needs may be another than the literal one.
bool paths_in_doubt(const ParetoFront& front, const std::vector<bool>& uncertain, PathsNeeded needed) {
  if (needed == PathsNeeded::all) return std::find(uncertain.begin(), uncertain.end(), true) != uncertain.end();
  if (front.empty()) return false;
  const RouteChoice choice = choose_routes(front);
  return std::any_of(std::begin(choice.of_type), std::end(choice.of_type),
                     [&](std::size_t at) { return uncertain[at]; });
}

}  // namespace

std::optional<ParetoFront> pareto_search(const RoadGraph& graph, NodeId source, NodeId target, double target_lat,
                                         double target_lon, double eps, PathsNeeded needed,
                                         const SearchOptions& options) {
  SearchReport unread;
  SearchReport& report = options.report != nullptr ? *options.report : unread;
  const std::uint32_t source_dense = graph.dense_of.find(source);
  if (source_dense == IdIndex::kAbsent) {
    // An id the graph has never seen has no edges: the start label is all.
    report.answered_by = Strategy::literal;
    if (source != target) return ParetoFront{};
    return ParetoFront{FrontEntry{{source}, source, {0.0, 0.0, 0.0}}};
  }
  // A target the graph has never seen stays kAbsent, which no label reaches.
  const std::uint32_t target_dense = graph.dense_of.find(target);
  StopCheck stop(options.stop);
  const SearchTuning& tuning = options.tuning;
  std::optional<Strategy> running;
  auto gave_up = [&](GaveUp why) { report.gave_up[report.gave_up_count++] = Attempt{*running, why}; };
  auto halted = [&](Halt halt) {
    switch (halt) {
      case Halt::over_budget: gave_up(GaveUp::over_budget); return false;
      case Halt::tie: gave_up(GaveUp::tie); return false;
      case Halt::stopped: report.stopped_in = running; return true;
    }
    return true;
  };
  if (prunes(graph, eps)) {
    // Whether the pruned search answered; `front` set when it did.
    auto pruned = [&](std::uint64_t most_processed, std::optional<ParetoFront>& front) {
      Search<Mode::pruned> search(graph, target_dense, target_lat, target_lon, eps, stop,
                                  tuning.labels_before_known_routes);
      std::vector<bool> uncertain;
      std::expected<ParetoFront, Halt> found = search.run(source_dense, report, &uncertain, most_processed);
      if (!found) return halted(found.error());
      if (paths_in_doubt(*found, uncertain, needed)) {
        gave_up(GaveUp::path_in_doubt);
        return false;
      }
      front = std::move(*found);
      return true;
    };
    std::optional<ParetoFront> front;
    bool over_budget = true;
    if (eps > 0.0 && needed == PathsNeeded::chosen_routes) {
      running = Strategy::approximate;
      std::expected<ParetoFront, GaveUp> found =
          approximate_route_front(graph, source_dense, target_dense, target_lat, target_lon, eps, tuning,
                                  report, stop);
      if (stop.stopped()) {
        report.stopped_in = running;
        return std::nullopt;
      }
      if (found) {
        report.answered_by = running;
        return std::move(*found);
      }
      gave_up(found.error());
    }
    if (eps == 0.0 && needed == PathsNeeded::chosen_routes) {
      // A short request is over before the targeted walks have set up their
      // backward searches, so the pruned search has the first go.
      running = Strategy::pruned_short;
      if (pruned(tuning.short_request_labels, front)) {
        if (front) report.answered_by = running;
        return front;
      }
      over_budget = report.gave_up[report.gave_up_count - 1].why == GaveUp::over_budget;
      running = Strategy::targeted;
      std::expected<ParetoFront, GaveUp> walked =
          targeted_route_front(graph, source_dense, target_dense, report, stop);
      if (stop.stopped()) {
        report.stopped_in = running;
        return std::nullopt;
      }
      if (walked) {
        report.answered_by = running;
        return std::move(*walked);
      }
      gave_up(walked.error());
    }
    // A tie within the budget would stop the pruned search again.
    if (over_budget) {
      running = Strategy::pruned;
      if (pruned(UINT64_MAX, front)) {
        if (front) report.answered_by = running;
        return front;
      }
    }
  }
  running = Strategy::literal;
  std::expected<ParetoFront, Halt> front =
      Search<Mode::literal>(graph, target_dense, target_lat, target_lon, eps, stop).run(source_dense, report);
  if (!front) {
    halted(front.error());
    return std::nullopt;
  }
  report.answered_by = running;
  return std::move(*front);
}

}  // namespace norvel
