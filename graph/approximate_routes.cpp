#include "graph/approximate_routes.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "graph/heuristic.hpp"
#include "graph/id_index.hpp"
#include "graph/path_walk.hpp"
#include "graph/remaining_cost.hpp"
#include "graph/route_selection.hpp"
#include "graph/search_order.hpp"
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
// cuts of `Cut`, describe where its points can lie.
//
// What the search does not see is checked on the outcome: the claim's
// condition on each point's path, and, for the shortest, safest and balanced
// entries, that no other path has exactly their costs (the search's order
// alone would decide which of them it keeps). Failing either, the request
// goes to the searches that follow the search order itself.

namespace norvel {

namespace {

constexpr std::uint32_t kNoParent = UINT32_MAX;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The key of a label is a lower bound of the priority at the target of every
// path it leads to: the weighted bound's margin and the two roundings of the
// priority are covered by 2^-15.
constexpr double kKeyMargin = 1.0 - 0x1p-15;
// Widens the uncovered boxes past every rounding of `f * cost` and of the
// box's own corners.
constexpr double kBoxMargin = 1.0 + 0x1p-30;

struct Recorded {
  std::uint32_t parent;
  std::uint32_t place;
  double distance_m;
  double risk;
};

// A label on the queue, or a path that has reached the target (its key is
// then its exact priority).
struct Queued {
  double key;
  double distance_m;
  double risk;
  std::uint32_t parent;  // recorded label it extends
  std::uint32_t place;
  bool arrived;
  std::uint32_t steps;  // the kept points when its key was taken; kRetest after a new key
};
constexpr std::uint32_t kRetest = UINT32_MAX;

// Heap order: the least key first; on equal keys a label before an arrival,
// so that an arrival is taken only when every label left has a greater key,
// and arrivals in the search order. A lambda rather than a function, so
// that the heap algorithms inline it.
constexpr auto later = [](const Queued& x, const Queued& y) {
  if (x.key != y.key) return x.key > y.key;
  if (x.arrived != y.arrived) return x.arrived;
  if (!x.arrived) return false;
  const std::uint64_t xd = total_order_key(x.distance_m);
  const std::uint64_t yd = total_order_key(y.distance_m);
  if (xd != yd) return xd > yd;
  return total_order_key(x.risk) > total_order_key(y.risk);
};

struct Kept {
  PathCosts costs;
  std::uint32_t parent;  // the recorded label the path to the target extends
};

class Approximate {
 public:
  Approximate(RequestWorkspace& workspace, const SearchTuning& tuning)
      : ws_(workspace),
        graph_(workspace.graph),
        target_dense_(workspace.target_dense),
        factor_(workspace.approx_factor),
        most_labels_(tuning.approximate_labels),
        labels_before_cuts_(tuning.approximate_labels_before_cuts),
        stop_(workspace.stop),
        places_(workspace.places),
        target_place_(workspace.target_place),
        source_place_(workspace.source_place),
        distance_to_go_(workspace.distance_to_go),
        risk_to_go_(workspace.risk_to_go),
        weighted_to_go_(workspace.weighted_to_go(kPriorityWeighing)) {}

  std::expected<ParetoFront, GaveUp> answer() {
    std::expected<ParetoFront, GaveUp> front = find();
    SearchReport& report = ws_.report;
    report.pushed += pushed_;
    report.popped += popped_;
    report.processed += labels_.size();
    report.walked_prefixes += kWalkBudget - walk_budget_;
    report.settled_backwards += settled_for_cuts_;
    for (const Cut* cut : {&shorter_, &safer_}) {
      if (cut->to_go) report.settled_backwards += cut->to_go->settled_count();
    }
    return front;
  }

 private:
  static constexpr std::uint64_t kWalkBudget = 200'000;
  // The second cuts come once the first have been in use a while.
  static constexpr std::uint64_t kRefineAfter = 4;
  static constexpr int kHullRounds = 5;

  std::expected<ParetoFront, GaveUp> find() {
    // The priority at the target must be distance + 500 risk alone.
    if (heuristic_of(target_place_) != 0.0) return std::unexpected(GaveUp::priority_falls);
    if (!search()) return std::unexpected(GaveUp::over_budget);
    for (const Kept& kept : kept_) {
      if (!arrives_in_order(kept)) return std::unexpected(GaveUp::priority_falls);
    }
    ParetoFront front;
    front.reserve(kept_.size());
    for (const Kept& kept : kept_) front.push_back(FrontEntry{path_of(kept.parent), graph_.id_of[target_dense_],
                                                              kept.costs});
    if (front.empty()) return front;
    const RouteChoice choice = choose_routes(front);
    for (std::size_t type = 0; type < 3; ++type) {
      const std::size_t at = choice.of_type[type];
      if (std::find(choice.of_type, choice.of_type + type, at) != choice.of_type + type) continue;
      if (!only_path(front[at].costs)) return std::unexpected(GaveUp::path_in_doubt);
    }
    return front;
  }

  // Runs the queue dry; false when stopped or over budget.
  bool search() {
    // Every label's key rests on the weighted bound, which is settled as far
    // as the source from the start: the first keys are then exact.
    weighted_to_go_.settle_until(source_place_, RemainingCost::kUnreachable);
    labels_.push_back(Recorded{kNoParent, source_place_, 0.0, 0.0});
    places_[source_place_].front.insert(0.0, 0.0);
    expand(0, 0.0);
    while (any_queued()) {
      if (stop_.tick()) return false;
      Queued item = take();
      ++popped_;
      level_ = std::max(level_, item.key);
      if (item.arrived) {
        arrive(item);
        continue;
      }
      // A key from unsettled bounds may be too low: make it exact, or at
      // least larger than the next key, before going on.
      if (any_queued() && (!weighted_to_go_.settled(item.place) || cuts_unsettled(item.place))) {
        const double next = ready_.empty() ? queue_.front().key : level_;
        settle_for_key(item, next);
        const double key = std::max(item.key, key_of(item.distance_m, item.risk, item.place));
        if (key > next) {
          item.key = key;
          item.steps = kRetest;
          requeue(item);
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
      if (!staircase_.empty() && cuts_set_up_ < 2 && labels_.size() >= cuts_due()) prepare_cuts();

      places_[item.place].front.insert(item.distance_m, item.risk);
      labels_.push_back(Recorded{item.parent, item.place, item.distance_m, item.risk});
      expand(static_cast<std::uint32_t>(labels_.size() - 1), item.key);
    }
    return true;
  }

  void expand(std::uint32_t index, double key) {
    const Recorded label = labels_[index];
    const std::uint32_t dense = places_[label.place].dense;
    for (std::uint32_t slot = graph_.out_begin[dense]; slot < graph_.out_begin[dense + 1]; ++slot) {
      const SearchEdge& edge = graph_.out_edges[slot];
      const double distance = label.distance_m + edge.distance_m;
      const double risk = label.risk + edge.risk_score;
      if (edge.to == target_dense_) {
        if (covered(distance, risk)) continue;
        const double priority = label_priority(distance, risk, 0.0, 0.0);
        requeue(Queued{priority, distance, risk, index, target_place_, true, 0});
        continue;
      }
      const std::uint32_t place = places_.place_of(edge.to);
      if (places_[place].front.covers(distance, risk)) continue;
      const double least = least_sum(distance, risk, place);
      if (least == kInfinity) continue;
      requeue(Queued{std::max(key, least * kKeyMargin), distance, risk, index, place, false,
                     static_cast<std::uint32_t>(staircase_.size())});
    }
  }

  // Nearly half the labels queued on long requests have the very key last
  // taken: they skip the heap. The keys taken never fall. The heap is taken
  // from only once the stack is empty, so all that waits then has a key at
  // least the one taken; a label's children get keys at least their
  // parent's, and a label queued again gets one above the next key; a path
  // at the target below the level is covered (every point of the front
  // below the level is kept by then) and is never queued. So a label whose
  // key is the level comes next in any case, and labels of equal keys may
  // be taken in any order, all before a path at the target of that key.
  void requeue(const Queued& item) {
    ++pushed_;
    if (!item.arrived && item.key <= level_) {
      ready_.push_back(item);
      return;
    }
    queue_.push_back(item);
    std::push_heap(queue_.begin(), queue_.end(), later);
  }

  bool any_queued() const { return !ready_.empty() || !queue_.empty(); }

  Queued take() {
    if (!ready_.empty()) {
      const Queued item = ready_.back();
      ready_.pop_back();
      return item;
    }
    std::pop_heap(queue_.begin(), queue_.end(), later);
    const Queued item = queue_.back();
    queue_.pop_back();
    return item;
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
    for (Cut* cut : {&shorter_, &safer_}) {
      if (!cut->to_go) continue;
      const double limit = cut == &shorter_ ? staircase_.front().alpha : staircase_.back().beta;
      const Objective& weights = cut->to_go->objective();
      const double so_far = weights.of(item.distance_m, item.risk);
      cut->to_go->settle_until(item.place,
                               ((needed + cut->multiplier * limit) / kWeightedMargin - so_far) * 1.125);
    }
  }

  // The labels processed when the cuts are set up next.
  std::uint64_t cuts_due() const {
    if (cuts_set_up_ == 0) return labels_before_cuts_;
    return labels_before_cuts_ > UINT64_MAX / kRefineAfter ? UINT64_MAX : labels_before_cuts_ * kRefineAfter;
  }

  bool cuts_unsettled(std::uint32_t place) const {
    return (shorter_.to_go && !shorter_.to_go->settled(place)) || (safer_.to_go && !safer_.to_go->settled(place));
  }

  // A path at the target, taken in key order: kept unless covered.
  void arrive(const Queued& item) {
    if (covered(item.distance_m, item.risk)) return;
    kept_.push_back(Kept{{item.distance_m, item.risk, 0.0}, item.parent});
    const double alpha = item.distance_m / factor_ * kBoxMargin;
    const double beta = item.risk / factor_ * kBoxMargin;
    const auto at = std::lower_bound(staircase_.begin(), staircase_.end(), item.distance_m,
                                     [](const Step& step, double d) { return step.distance_m < d; });
    staircase_.insert(at, Step{item.distance_m, item.risk, alpha, beta});
  }

  // As the search tests a label against its solutions.
  bool covered(double distance, double risk) const {
    const double d = factor_ * distance;
    const double r = factor_ * risk;
    return std::any_of(staircase_.begin(), staircase_.end(),
                       [&](const Step& s) { return s.distance_m <= d && s.risk <= r; });
  }

  // Whether some point below the kept staircase lies within the bounds of
  // the paths from the label. Settles the backward searches for distance
  // and risk only as far as that can still tell.
  bool may_reach_uncovered(double distance, double risk, std::uint32_t place) {
    if (staircase_.empty()) return true;
    // Only the boxes that may still hold a point need the bounds to tell
    // whether the label reaches them: the two open ones, and the closed ones
    // whose greatest priority lies above the level (see `least_sum`). Once
    // the level has passed a closed box, the searches need not go as far as
    // its limits.
    const std::size_t n = staircase_.size();
    double distance_limit = staircase_.front().alpha;
    double risk_limit = staircase_.back().beta;
    for (std::size_t j = 1; j < n; ++j) {
      if (!(level_ < closed_box_most(j))) continue;
      distance_limit = std::max(distance_limit, staircase_[j].alpha);
      risk_limit = std::max(risk_limit, staircase_[j - 1].beta);
    }
    distance_to_go_.settle_until(place, distance_limit / kBoundMargin - distance);
    risk_to_go_.settle_until(place, risk_limit / kBoundMargin - risk);
    return least_sum(distance, risk, place) != kInfinity;
  }

  // The greatest distance + 500 risk of a point in the closed box j, with
  // room for rounding. Precondition: 0 < j < steps.
  double closed_box_most(std::size_t j) const {
    return kPriorityWeighing.of(staircase_[j].alpha, staircase_[j - 1].beta) * kBoxMargin;
  }

  // The least distance + 500 risk that a path from the label can have where
  // it is not covered by a kept point; infinite where there is none.
  //
  // Points not covered by the kept ones lie in the boxes between consecutive
  // steps of the staircase (distance below the next step's alpha, risk below
  // this step's beta; the first box has no bound on risk, the last none on
  // distance). A path's point has distance and risk at least the bounds
  // still to go, and distance + 500 risk at least the weighted bound, which
  // a box must leave room for; and no point still to be found has a priority
  // below the key last taken from the queue, so a closed box whose points
  // all lie below it is empty. In the two open boxes the cuts of `Cut` say
  // more.
  double least_sum(double distance, double risk, std::uint32_t place) const {
    const double distance_to_go = distance_to_go_.lower_bound(place);
    const double risk_to_go = risk_to_go_.lower_bound(place);
    const double weighted_to_go = weighted_to_go_.lower_bound(place);
    if (distance_to_go == kInfinity || risk_to_go == kInfinity || weighted_to_go == kInfinity) return kInfinity;
    const double least_distance = (distance + distance_to_go) * kBoundMargin;
    const double least_risk = (risk + risk_to_go) * kBoundMargin;
    const double least_weighted = (kPriorityWeighing.of(distance, risk) + weighted_to_go) * kWeightedMargin;
    const double anywhere = std::max(least_weighted, kPriorityWeighing.of(least_distance, least_risk));
    const std::size_t n = staircase_.size();
    if (n == 0) return anywhere;
    double least = kInfinity;
    for (std::size_t j = 0; j <= n; ++j) {
      const double alpha = j < n ? staircase_[j].alpha : kInfinity;
      const double beta = j > 0 ? staircase_[j - 1].beta : kInfinity;
      if (!(least_distance < alpha && least_risk < beta)) continue;
      if (j == 0) {
        least = std::min(least, std::max(anywhere, shorter_.least_sum(distance, risk, place, alpha)));
      } else if (j == n) {
        least = std::min(least, std::max(anywhere, safer_.least_sum(distance, risk, place, beta)));
      } else if (const double most = closed_box_most(j); least_weighted < most && level_ < most) {
        least = std::min(least, anywhere);
      }
    }
    return least;
  }

  // A Lagrangian cut for an open box: in the first box, where every point
  // has a distance below the box's alpha, distance + 500 risk is at least
  // (1 + l) distance + 500 risk - l alpha for any l >= 0, and a backward
  // search by that weighing bounds the first part; likewise in the last box
  // with risk, beta and (1, 500 + l). With l the slope between the first
  // kept point and the least path by distance (or risk), the bound comes
  // close to the least sum in the box, which keeps the search from every
  // path that is short (or safe) enough but too risky (or too long) to
  // matter there.
  struct Cut {
    std::optional<RemainingCost> to_go;
    double multiplier = 0.0;  // l

    double least_sum(double distance, double risk, std::uint32_t place, double box_limit) const {
      if (!to_go) return -kInfinity;
      const Objective& weights = to_go->objective();
      const double bound = to_go->lower_bound(place);
      if (bound == kInfinity) return kInfinity;
      const double weighed = (weights.of(distance, risk) + bound) * kWeightedMargin;
      const double relaxed = weighed - multiplier * box_limit;
      return relaxed - std::fabs(weighed) * 0x1p-40;
    }
  };

  // Sets the cuts up for the open boxes, once the search has spent a while
  // without them (most requests end before). The best multiplier is the
  // slope of the lower convex hull of the paths' points where it crosses the
  // box's limit. The first cuts take the slope between the least path by
  // the box's own cost and the kept point that bounds the box, which costs
  // one backward search per box. A search that goes on long after has a
  // front worth more: its cuts are set up again from the slope that a few
  // weighted searches, each from the two points that straddle the limit,
  // home in on. Any multiplier gives a lower bound, so the cuts may change
  // while labels wait on the queue.
  void prepare_cuts() {
    const int rounds = cuts_set_up_++ == 0 ? 0 : kHullRounds;
    // A box that even the least path by its own cost misses is empty.
    const Step& leftmost = staircase_.front();
    std::optional<PathCosts> shortest = follow_least_path(distance_to_go_);
    if (shortest && shortest->distance_m < leftmost.alpha) {
      const double slope =
          hull_slope(*shortest, {leftmost.distance_m, leftmost.risk, 0.0}, leftmost.alpha, true, rounds);
      set_cut(shorter_, slope, Objective{1.0 + slope, kRiskWeight});
    }
    const Step& rightmost = staircase_.back();
    std::optional<PathCosts> safest = follow_least_path(risk_to_go_);
    if (safest && safest->risk < rightmost.beta) {
      const double slope =
          hull_slope(*safest, {rightmost.distance_m, rightmost.risk, 0.0}, rightmost.beta, false, rounds);
      set_cut(safer_, slope, Objective{1.0, kRiskWeight + slope});
    }
  }

  // Puts the cut of this multiplier and weighing in place of the cut's
  // earlier one. A multiplier of 0 cuts nothing: the earlier cut, if any,
  // stays, since the bound of a cut holds only with its own multiplier.
  void set_cut(Cut& cut, double multiplier, const Objective& weights) {
    if (!(multiplier > 0.0)) return;
    if (cut.to_go) settled_for_cuts_ += cut.to_go->settled_count();
    cut.multiplier = multiplier;
    cut.to_go.emplace(graph_, places_, weights, target_place_, &stop_, places_[source_place_].dense);
  }

  // `inside` lies in the open box (below `limit` in distance, or in risk),
  // `outside` beyond it. The multiplier that weighs both alike; 0 if none.
  double hull_slope(PathCosts inside, PathCosts outside, double limit, bool by_distance, int rounds) {
    auto slope_between = [&](const PathCosts& in, const PathCosts& out) {
      return by_distance ? kRiskWeight * (in.risk - out.risk) / (out.distance_m - in.distance_m) - 1.0
                         : (in.distance_m - out.distance_m) / (out.risk - in.risk) - kRiskWeight;
    };
    auto beyond = [&](const PathCosts& p) { return by_distance ? p.distance_m >= limit : p.risk >= limit; };
    double slope = slope_between(inside, outside);
    for (int round = 0; round < rounds && slope > 0.0 && std::isfinite(slope); ++round) {
      Places scratch;
      const std::uint32_t target = scratch.place_of(target_dense_);
      const std::uint32_t source = scratch.place_of(places_[source_place_].dense);
      const Objective weights = by_distance ? Objective{1.0 + slope, kRiskWeight}
                                            : Objective{1.0, kRiskWeight + slope};
      RemainingCost to_go(graph_, scratch, weights, target, &stop_, places_[source_place_].dense);
      const std::optional<PathCosts> least = norvel::follow_least_path(graph_, scratch, to_go, source, target_dense_);
      settled_for_cuts_ += to_go.settled_count();
      if (!least) break;
      const double weigh_least = weights.of(least->distance_m, least->risk);
      const double weigh_inside = weights.of(inside.distance_m, inside.risk);
      if (!(weigh_least < weigh_inside * (1.0 - 0x1p-20))) break;  // the two lie on the hull already
      if (beyond(*least)) {
        outside = *least;
      } else {
        inside = *least;
      }
      slope = slope_between(inside, outside);
    }
    return slope > 0.0 && std::isfinite(slope) ? slope : 0.0;
  }

  // The least path by one objective of the request, followed down its
  // backward search from the source.
  std::optional<PathCosts> follow_least_path(RemainingCost& to_go) {
    return norvel::follow_least_path(graph_, places_, to_go, source_place_, target_dense_);
  }

  double heuristic_of(std::uint32_t place) { return ws_.heuristic_of(place); }

  // The claim's condition on a kept point's path: no label along it comes
  // later in the search order than its label at the target. Sums only grow
  // along the path, so comparing priorities is enough.
  bool arrives_in_order(const Kept& kept) {
    const std::uint64_t at_target = priority_key(label_priority(kept.costs.distance_m, kept.costs.risk, 0.0, 0.0));
    for (std::uint32_t at = kept.parent; at != kNoParent && labels_[at].parent != kNoParent; at = labels_[at].parent) {
      const Recorded& label = labels_[at];
      const double priority = label_priority(label.distance_m, label.risk, 0.0, heuristic_of(label.place));
      if (priority_key(priority) > at_target) return false;
    }
    return true;
  }

  std::vector<NodeId> path_of(std::uint32_t parent) const {
    std::vector<NodeId> path{graph_.id_of[target_dense_]};
    for (std::uint32_t at = parent; at != kNoParent; at = labels_[at].parent) {
      path.push_back(graph_.id_of[places_[labels_[at].place].dense]);
    }
    std::reverse(path.begin(), path.end());
    return path;
  }

  // Whether exactly one path without a repeated node has exactly these
  // sums. The search's solution for the point is such a path, so it is then
  // the one found here.
  //
  // A prefix goes on only where the bounds allow it to end at the point,
  // and where no label recorded at its node is better by more than rounding
  // can make up for: a path of fewer than 2^32 edges, each sum at most the
  // point's, loses less than 2^-20 of the point's cost to rounding, so such
  // a label's continuation would end strictly below the point in that cost
  // and no higher in the other, and no path's point strictly dominates a kept
  // point (see the top of this file).
  bool only_path(const PathCosts& point) {
    int paths = 0;
    const double distance_gap = point.distance_m * 0x1p-18;
    const double risk_gap = point.risk * 0x1p-18;
    // Strictly below, so that a label of the very same costs is no reason.
    auto below = [](double value) { return std::nextafter(value, -kInfinity); };
    const double point_weighted = kPriorityWeighing.of(point.distance_m, point.risk);
    // The tests that settle nothing come first. The search by distance is
    // not grown at all: the label search took it as far as its boxes need,
    // and past that the other bounds and the fronts prune the walk as well,
    // while settling it out to the safest entry's detour would cost more
    // than the whole walk.
    auto keep = [&](std::uint32_t place, const PathCosts& costs) {
      if ((kPriorityWeighing.of(costs.distance_m, costs.risk) + weighted_to_go_.lower_bound(place)) * kKeyMargin >
              point_weighted ||
          (costs.distance_m + distance_to_go_.lower_bound(place)) * kBoundMargin > point.distance_m) {
        return false;
      }
      const Place& at = places_[place];
      if (at.front.covers(below(costs.distance_m - distance_gap), costs.risk) ||
          at.front.covers(costs.distance_m, below(costs.risk - risk_gap))) {
        return false;
      }
      risk_to_go_.settle_until(place, point.risk - costs.risk);
      if ((costs.risk + risk_to_go_.lower_bound(place)) * kBoundMargin > point.risk) return false;
      for (Cut* cut : {&shorter_, &safer_}) {
        if (!cut->to_go) continue;
        const Objective& weights = cut->to_go->objective();
        const double so_far = weights.of(costs.distance_m, costs.risk);
        const double at_point = weights.of(point.distance_m, point.risk);
        cut->to_go->settle_until(place, at_point - so_far);
        if ((so_far + cut->to_go->lower_bound(place)) * kWeightedMargin > at_point) return false;
      }
      return true;
    };
    auto reach = [&](const PathCosts& costs, std::span<const std::uint32_t>) {
      if (costs.distance_m == point.distance_m && costs.risk == point.risk) ++paths;
    };
    if (!walk_paths(graph_, places_, source_place_, target_dense_, walk_budget_, stop_, keep, reach)) return false;
    return paths == 1;
  }

  struct Step {
    double distance_m;
    double risk;
    double alpha;  // no point with a distance below this is covered by this step
    double beta;   // nor any with a risk below this
  };

  RequestWorkspace& ws_;
  const RoadGraph& graph_;
  const std::uint32_t target_dense_;
  const double factor_;
  const std::uint64_t most_labels_;
  const std::uint64_t labels_before_cuts_;
  StopCheck& stop_;
  Places& places_;
  const std::uint32_t target_place_;
  const std::uint32_t source_place_;
  RemainingCost& distance_to_go_;
  RemainingCost& risk_to_go_;
  RemainingCost& weighted_to_go_;
  int cuts_set_up_ = 0;  // times the cuts were set up
  Cut shorter_;  // for the first box, by distance
  Cut safer_;    // for the last box, by risk
  std::vector<Recorded> labels_;
  std::vector<Queued> queue_;
  std::vector<Queued> ready_;  // labels whose key is the level (see `requeue`)
  std::vector<Kept> kept_;
  std::vector<Step> staircase_;  // the kept points by distance
  double level_ = 0.0;  // the greatest key taken from the queue so far
  std::uint64_t settled_for_cuts_ = 0;  // by the weighted searches that home in on a cut
  std::uint64_t pushed_ = 0;
  std::uint64_t popped_ = 0;
  std::uint64_t walk_budget_ = kWalkBudget;
};

}  // namespace

std::expected<ParetoFront, GaveUp> approximate_route_front(RequestWorkspace& workspace, const SearchTuning& tuning) {
  if (workspace.graph.has_familiarity) return std::unexpected(GaveUp::familiarity);
  if (workspace.target_place == Places::kNone) return ParetoFront{};
  return Approximate(workspace, tuning).answer();
}

}  // namespace norvel
