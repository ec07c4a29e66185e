#include "graph/front_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

#include "graph/destination_bounds.hpp"
#include "graph/edge_risk.hpp"
#include "graph/front_queue.hpp"
#include "graph/search_objective.hpp"

// The front search: which path each point of the front gets, and why the
// search finds every point and those very paths.
//
// The order. Let D(v) and R(v) be the least distance and the least risk
// from node v to the target, as a search backwards from the target sums
// them (Dijkstra's search over the incoming edges: D(v) is the least, over
// v's edges v -> w, of distance(v -> w) + D(w); `DestinationSearch`). A
// label is a path from the source, with its sums (d, r) added edge by edge
// from the source. Labels are taken in lexicographic order of the key
// (d + D(v), r + R(v)), each sum rounded once; of equal keys, the label
// whose parent (the label it extends by one edge) was kept first, and of
// one parent's labels, the one along the edge listed first in the parent
// node's outgoing edges (document order). No two labels are equal in this
// order, so it alone says which comes first: neither the heap's shape nor
// anything the search leaves out changes it.
//
// The search that defines the paths (call it the plain search) starts with
// the empty path at the source and takes the first label, again and again.
// A label equal to or dominated by one kept at its node (less or equal in
// both sums) is dropped; else it is kept, and unless its node is the
// target it is extended along each outgoing edge. The points of the front
// are the target's labels kept and not strictly dominated by another one
// kept there; each point's path is the first label to reach it.
//
// Every point is found. Take a point p and, among the labels ever made
// whose path has a continuation to the target with sums (added on from the
// label's) at most p in both, hence exactly p, one with the fewest edges to
// go k. At k = 0 it is at the target: kept, or dropped for a kept label
// there with sums at most p, that is p. At k > 0, were it kept it would be
// extended, along its continuation's first edge too, to a label with k - 1
// to go; so it was dropped for a label kept at its node with sums at most
// its own, whose own extension along the same edges ends at most at p,
// since rounding to nearest is monotone (x <= y gives x + c <= y + c): it
// was extended, a contradiction again. A kept point leaves the front only
// for one that strictly dominates it, which p has not. The argument asks
// nothing of the order, so rounding that makes a key fall along a path
// (the backward sums are added the other way round) breaks nothing.
//
// What the search leaves out. Call a label dead when every continuation of
// it to the target is at least some point held already in both sums. A
// dead label stays dead (points held are only ever replaced by points that
// strictly dominate them); its extensions are dead, and so is any label at
// its node with both sums at least its own. So a live label is never
// dropped for a dead one, which it would be at least, and a dead label kept
// reaches the target only to be dropped there. So the live labels, their
// order, which of them are kept and which points the target holds are the
// same whether dead labels are kept, dropped, or never made: this search
// drops a label as soon as its bounds say it is dead, and makes only the
// live ones' extensions, and it keeps the plain search's points with the
// plain search's paths. Among live labels, a parent was kept before
// another in one search if and only if it was in the other: that is all
// the order asks of kept labels.
//
// The bounds: (d + D(v)) (1 - 2^-17) and likewise for risk are below the
// sums of every continuation (`kBoundMargin`); before v is settled, the
// backward search's radius stands for D(v). A label whose bounds some point
// held is at most in both is dead. The backward searches are grown only as
// far as a label can still be shown dead by them, and to settle the nodes
// of labels that are pushed, whose keys need D(v) and R(v) themselves.
//
// Per node the kept labels come, almost always, by distance ascending:
// the keys of one node differ by d and r alone, and the order takes the
// least key first, so a label taken later has a distance at least that of
// every label kept there, and is dominated if and only if its risk is at
// least the least risk kept there: two numbers per node answer. A label
// that comes out of that order (a key rounded to a tie, a key that fell
// along a path) is tested against every label kept at its node instead.

namespace norvel {

namespace {

constexpr std::uint32_t kNone = UINT32_MAX;
constexpr double kInfinite = std::numeric_limits<double>::infinity();

// A label waiting to be taken. It carries all its processing reads.
struct OpenLabel {
  double key_distance;  // distance + D(node)
  double key_risk;      // risk + R(node)
  double distance_m;
  double risk;
  std::uint32_t parent;  // index of the kept label it extends; kNone for the start
  std::uint32_t slot;    // the outgoing row entry it came along
  std::uint32_t dense;
};

// The front order (see above): a strict total order, so any heap gives it.
constexpr auto taken_before = [](const OpenLabel& x, const OpenLabel& y) {
  if (x.key_distance != y.key_distance) return x.key_distance < y.key_distance;
  if (x.key_risk != y.key_risk) return x.key_risk < y.key_risk;
  if (x.parent != y.parent) return x.parent < y.parent;
  return x.slot < y.slot;
};

struct KeptLabel {
  double distance_m;
  double risk;
  std::uint32_t parent;
  std::uint32_t slot;
  std::uint32_t dense;
  std::uint32_t previous_here;  // the label kept at the node before it
};

// What the search knows of a node it has reached.
struct NodeState {
  double to_go_distance;  // D(node) once its backward search settled it, NaN before
  double to_go_risk;      // R(node), likewise
  double most_distance;   // the greatest distance of a label kept here
  double least_risk;      // the least risk of a label kept here
  std::uint32_t last_kept;
};

// The points held at the target, by distance ascending (so risk descending).
class HeldPoints {
 public:
  // The least risk of a point whose distance is at most `distance`;
  // infinite where there is none. A label whose bounds are (d, r) is dead
  // when r is at least the least risk held within d.
  double least_risk_within(double distance) const {
    if (points_.empty()) return kInfinite;
    // Labels come by key: most reach past every point held.
    if (distance >= points_.back().distance_m) return points_.back().risk;
    auto after = std::upper_bound(points_.begin(), points_.end(), distance,
                                  [](double value, const Point& point) { return value < point.distance_m; });
    return after == points_.begin() ? kInfinite : (after - 1)->risk;
  }

  // A point at most no point held; drops those it strictly dominates.
  void insert(double distance, double risk) {
    auto at = std::lower_bound(points_.begin(), points_.end(), distance,
                               [](const Point& point, double value) { return point.distance_m < value; });
    auto run_end = at;
    while (run_end != points_.end() && run_end->risk >= risk) ++run_end;
    at = points_.erase(at, run_end);
    points_.insert(at, Point{distance, risk});
  }

 private:
  struct Point {
    double distance_m;
    double risk;
  };
  std::vector<Point> points_;
};

class FrontSearch {
 public:
  FrontSearch(const RoadGraph& graph, std::uint32_t source_dense, std::uint32_t target_dense,
              const EdgeRisk& risk, DestinationSearch& by_distance, DestinationSearch& by_risk, StopCheck& stop)
      : graph_(graph),
        risk_(risk),
        source_(source_dense),
        target_(target_dense),
        by_distance_(by_distance),
        by_risk_(by_risk),
        stop_(stop),
        // Written before read (see `seen_`): a request costs what it reaches.
        nodes_(std::make_unique_for_overwrite<NodeState[]>(graph.id_of.size())),
        seen_((graph.id_of.size() + 63) / 64, 0) {
    kept_.reserve(1024);
  }

  std::optional<ParetoFront> run(SearchReport& report) {
    const std::optional<ParetoFront> front = search();
    report.pushed += pushed_;
    report.popped += popped_;
    report.processed += kept_.size();
    report.settled_backwards += by_distance_.settled_count() + by_risk_.settled_count();
    report.touched_nodes += touched_;
    return front;
  }

 private:
  std::optional<ParetoFront> search() {
    NodeState& start = state(source_);
    if (!knows_to_go(start, source_, 0.0, 0.0)) {
      if (stop_.stopped()) return std::nullopt;
      return ParetoFront{};
    }
    push(OpenLabel{0.0 + start.to_go_distance, 0.0 + start.to_go_risk, 0.0, 0.0, kNone, 0, source_});
    while (!open_.empty()) {
      if (stop_.tick()) return std::nullopt;
      const OpenLabel label = open_.pop();
      ++popped_;
      if (dead(label.key_distance, label.key_risk)) continue;
      NodeState& at = nodes_[label.dense];
      if (dominated_at(at, label.distance_m, label.risk)) continue;
      const std::uint32_t index = keep(label, at);
      if (label.dense == target_) {
        held_.insert(label.distance_m, label.risk);
        continue;
      }
      extend(index);
      if (stop_.stopped()) return std::nullopt;
    }
    return points();
  }

  NodeState& state(std::uint32_t dense) {
    std::uint64_t& word = seen_[dense / 64];
    const std::uint64_t bit = std::uint64_t{1} << (dense % 64);
    NodeState& node = nodes_[dense];
    if ((word & bit) == 0) {
      word |= bit;
      ++touched_;
      node = NodeState{std::nan(""), std::nan(""), -kInfinite, kInfinite, kNone};
    }
    return node;
  }

  // Whether a label kept at the node has both sums at most (distance, risk).
  bool dominated_at(const NodeState& node, double distance, double risk) const {
    if (node.last_kept == kNone) return false;
    // Every label kept here has a distance at most `most_distance`, so one
    // of them is at most the label if and only if the least risk is.
    if (distance >= node.most_distance) return risk >= node.least_risk;
    for (std::uint32_t at = node.last_kept; at != kNone; at = kept_[at].previous_here) {
      if (kept_[at].distance_m <= distance && kept_[at].risk <= risk) return true;
    }
    return false;
  }

  // Whether a label with this key (sums plus the exact costs to go, or
  // lower bounds of them) is dead: a held point is at most its bounds.
  bool dead(double key_distance, double key_risk) const {
    return key_risk * kBoundMargin >= held_.least_risk_within(key_distance * kBoundMargin);
  }

  // Settles the node in both backward searches, for the key of a label
  // there with sums (distance, risk); false, leaving the node unsettled,
  // once the radii show the label dead, or the node cannot reach the
  // target, or the stop check says stop.
  bool knows_to_go(NodeState& node, std::uint32_t dense, double distance, double risk) {
    if (!std::isnan(node.to_go_distance)) return true;
    // The distance search's radius stays near the source's own distance to
    // go, in any order of the labels: it is settled outright.
    by_distance_.settle_until(dense, kInfinite, &stop_);
    if (stop_.stopped() || !by_distance_.settled(dense)) return false;
    const double to_go_distance = by_distance_.lower_bound(dense);
    if (!by_risk_.settled(dense)) {
      // Only as far as the label can still live: past the least risk held
      // within its distance bound, its risk bound says it is dead.
      const double beat = held_.least_risk_within((distance + to_go_distance) * kBoundMargin);
      by_risk_.settle_until(dense, beat == kInfinite ? kInfinite : beat / kBoundMargin - risk, &stop_);
      if (stop_.stopped()) return false;
      if (!by_risk_.settled(dense)) {
        const double radius = by_risk_.lower_bound(dense);
        if (radius == kInfinite || dead(distance + to_go_distance, risk + radius)) return false;
        // Rounding stopped it a hair short.
        by_risk_.settle_until(dense, kInfinite, &stop_);
        if (stop_.stopped() || !by_risk_.settled(dense)) return false;
      }
    }
    node.to_go_distance = to_go_distance;
    node.to_go_risk = by_risk_.lower_bound(dense);
    return true;
  }

  std::uint32_t keep(const OpenLabel& label, NodeState& node) {
    if (kept_.size() >= kNone) {
      std::fputs("norvel_core: front search out of label indices\n", stderr);
      std::abort();
    }
    const auto index = static_cast<std::uint32_t>(kept_.size());
    kept_.push_back(KeptLabel{label.distance_m, label.risk, label.parent, label.slot, label.dense, node.last_kept});
    node.last_kept = index;
    node.most_distance = std::max(node.most_distance, label.distance_m);
    node.least_risk = std::min(node.least_risk, label.risk);
    return index;
  }

  // Pushes the extensions of the kept label that can still matter. A test
  // that drops a label here would drop it when taken too.
  void extend(std::uint32_t index) {
    const double distance_m = kept_[index].distance_m;
    const double risk_sum = kept_[index].risk;
    const std::uint32_t dense = kept_[index].dense;
    const std::uint32_t end = graph_.out_begin[dense + 1];
    with_risks(risk_, [&](auto risks) {
      for (std::uint32_t slot = graph_.out_begin[dense]; slot < end; ++slot) {
        if (!risks.takes(slot)) continue;
        const SearchEdge& edge = graph_.out_edges[slot];
        const double distance = distance_m + edge.distance_m;
        const double risk = risk_sum + risks.at(slot, edge);
        NodeState& node = state(edge.to);
        if (dominated_at(node, distance, risk)) continue;
        if (!knows_to_go(node, edge.to, distance, risk)) {
          if (stop_.stopped()) return;
          continue;
        }
        const double key_distance = distance + node.to_go_distance;
        const double key_risk = risk + node.to_go_risk;
        if (dead(key_distance, key_risk)) continue;
        push(OpenLabel{key_distance, key_risk, distance, risk, index, slot, edge.to});
      }
    });
  }

  void push(const OpenLabel& label) {
    open_.push(label);
    ++pushed_;
  }

  // The target's kept labels that no other one strictly dominates, by
  // distance ascending, with their paths and sums.
  ParetoFront points() const {
    std::vector<std::uint32_t> at_target;
    for (std::uint32_t at = nodes_[target_].last_kept; at != kNone; at = kept_[at].previous_here) {
      at_target.push_back(at);
    }
    std::sort(at_target.begin(), at_target.end(), [&](std::uint32_t a, std::uint32_t b) {
      const KeptLabel& x = kept_[a];
      const KeptLabel& y = kept_[b];
      return x.distance_m != y.distance_m ? x.distance_m < y.distance_m : x.risk < y.risk;
    });
    ParetoFront front;
    double least_risk = kInfinite;
    std::vector<std::uint32_t> slots;
    for (const std::uint32_t label : at_target) {
      // No two kept labels at one node are equal, so one of equal distance
      // and greater risk is strictly dominated.
      if (!(kept_[label].risk < least_risk)) continue;
      least_risk = kept_[label].risk;
      slots.clear();
      for (std::uint32_t at = label; kept_[at].parent != kNone; at = kept_[at].parent) slots.push_back(kept_[at].slot);
      FrontEntry entry{{graph_.id_of[source_]}, graph_.id_of[target_], {0.0, 0.0, 0.0}};
      entry.path.reserve(slots.size() + 1);
      for (std::size_t i = slots.size(); i-- > 0;) {
        const SearchEdge& edge = graph_.out_edges[slots[i]];
        entry.path.push_back(graph_.id_of[edge.to]);
        entry.costs.distance_m = entry.costs.distance_m + edge.distance_m;
        entry.costs.risk = entry.costs.risk + risk_.at(slots[i], edge);
        entry.costs.familiarity = entry.costs.familiarity + edge.familiarity;
      }
      front.push_back(std::move(entry));
    }
    return front;
  }

  const RoadGraph& graph_;
  const EdgeRisk& risk_;
  const std::uint32_t source_;
  const std::uint32_t target_;
  DestinationSearch& by_distance_;
  DestinationSearch& by_risk_;
  StopCheck& stop_;
  // Per dense node, valid where `seen_` has its bit.
  std::unique_ptr<NodeState[]> nodes_;
  std::vector<std::uint64_t> seen_;
  FrontQueue<OpenLabel, decltype(taken_before)> open_;
  std::vector<KeptLabel> kept_;
  HeldPoints held_;
  std::uint64_t pushed_ = 0;
  std::uint64_t popped_ = 0;
  std::uint64_t touched_ = 0;
};

}  // namespace

std::optional<ParetoFront> front_search(const RoadGraph& graph, std::uint32_t source_dense,
                                        std::uint32_t target_dense, const RiskLayer* layer,
                                        const AvoidedRows* avoided, StopCheck& stop, SearchReport& report) {
  const EdgeRisk risk(graph, layer, avoided);
  DestinationSearch by_distance(graph, risk, kDistance);
  DestinationSearch by_risk(graph, risk, kRisk);
  by_distance.start(target_dense);
  by_risk.start(target_dense);
  return FrontSearch(graph, source_dense, target_dense, risk, by_distance, by_risk, stop).run(report);
}

}  // namespace norvel
