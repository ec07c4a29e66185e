#include "graph/catchment_search.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <optional>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "graph/catchment_parts.hpp"
#include "graph/large_page_allocator.hpp"
#include "graph/pareto_search.hpp"
#include "graph/radix_queue.hpp"
#include "graph/route_selection.hpp"

namespace norvel {

namespace {

using namespace catchment;

// How a catchment gives every node the answer of its own request.
//
// A request's totals are sums in travel order from 0 at its source (its
// "forward" sums), and with eps 0 its routes depend only on the set of
// Pareto-optimal points of those sums over all paths between its ends
// (which paths carry them does not matter to the totals). One label search
// from the place, best first on (distance, risk), reaches every node: for
// walks from the place its sums are the forward sums themselves; for walks
// to the place it runs backwards over the incoming edges and sums each path
// the other way round, which may round differently. Hence:
//
// Relaxed dominance. A label L at a node is dropped only when a label M kept
// there is below it by a margin in both costs, which guarantees that M's
// path, after any prefix P a route could start with, sums forward to no
// more than L's does. Per cost, with u = 2^-53 and gamma = 2^-20 (any sum of
// fewer than 2^32 non-negative terms, in any order, is within 1 +- gamma of
// the exact one), and U a cap on that cost's forward total of every
// Pareto-optimal route of a candidate (`least_route_cap`): if M's sum is at
// most L's minus eta = 2^-17 U = 8 gamma U, the exact sums differ by at least
// eta - 3 gamma U, while the forward sums of P+M and P+L are each within
// gamma (P + M) or gamma (P + L) of the exact ones, together at most
// 2 gamma U (1 + 2 gamma) when P+L is such a route: so P+M sums forward to
// no more. A cost that M sums to exactly 0 is zero on every edge of M,
// which leaves any forward sum unchanged: also no more. And where every sum
// of a cost is exact (`RoadGraph::distance_sums_exact`), and always for
// walks from the place, the margin is 0.
//
// Why nothing is lost. Take any Pareto-optimal point p of a candidate v and
// a simple path with forward sums p. Suppose its part between some node x
// and the place is a kept label (at first: the place's start label) and
// the edge before x leads from w. That edge's label was pushed when x's
// label was kept; if it was dropped in favour of a kept label M at w, the
// path with M in its place sums forward to no more than p, so exactly to p
// (p is Pareto-optimal), and its kept part is longer (cut out a cycle if M
// made one: that sums to no more either, and keeps a kept label's tail).
// Repeating, a kept label at v sums forward to p. The cycle rule (a label
// that comes back to a node of its own path within the margins is dropped)
// and the pruning below drop no label of such a path either.
//
// Dropped for a label pushed before. A label L arriving at a node is also
// dropped when the last label M put on the open list there is below it by
// the margins in both costs. M is kept, or dropped when popped: for a kept
// label K below it by the margins (then K is below L by them too: each
// test's subtraction rounds monotonically), or as starting no
// Pareto-optimal route, which L then starts none of either (were L on one,
// M in its place would be on one of the same forward sums); M passed the
// cycle rule when it was pushed. In every case what would have kept L's
// route alive keeps one of no greater forward sums, and the argument above
// goes through with M, or K, in L's place (cutting out a cycle where M's
// path meets the route's start, as there).
//
// Pruning by what the candidates still need. A route of a candidate through
// a label at x adds to the label's risk r at least the least risk h(x)
// between x and any candidate (a single-cost search from all candidates over
// the rows the other way, settled only as far as a question needs it; an
// unsettled node is at least its next key away). Its forward risk is then
// at least (r + h)(1 - 2^-17) (each of r, h and the route's sum within
// 1 +- gamma of the exact ones; for walks from the place, the route's
// forward sum continues from r exactly, and r alone bounds it too). So a
// label is dropped when that bound, or its distance, exceeds the cost's
// cap (widened for the rounding): it starts no Pareto-optimal route. And
// once every candidate v holds a kept label Z_v with a distance at least
// the distance margin below the current one (or 0) and a risk at most
// R_worst, a label whose bound is at least R_worst plus the risk margin is
// dominated at every candidate after any prefix: Z_v sums forward to no
// more than the route through the label does, in both costs. The labels
// are popped in order of distance, so that holds for every label popped or
// pushed from then on. R_worst, the greatest such least risk over the
// candidates, only falls, and is refreshed every so many labels.
//
// Reading each node's answer. The shortest route is the least forward
// distance (then risk) over the node's kept labels; only labels whose
// distance is within the margin of the least can have it, so only those are
// summed again in travel order; likewise the safest. The balanced route is
// the Pareto-optimal point of least score, with the request's normalisers
// (the safest distance and the shortest risk, at least 1.0 each): each
// forward sum is within (1 + 3 gamma) of the label's, so only labels whose
// score is within a factor 1 + 2^-16 of the least are summed again, and
// among the least scores those another one strictly dominates are no
// Pareto-optimal points. Two distinct points with the very same least score
// are a tie that the request breaks by its own search order: the request
// itself answers that node. So does it on a graph with parallel edges of
// different costs, for a node with more than one point: there two routes
// may pass the same nodes, and the request leaves out a route whose nodes
// repeat an earlier one's.
constexpr double kCapRounding = 1.0 - 0x1p-17;
constexpr double kNaN = __builtin_nan("");
constexpr double kScoreWidening = 1.0 + 0x1p-16;

struct Margins {
  double distance = 0.0;
  double risk = 0.0;
};

// Whether a sum `a` surely gives forward sums no greater than `b` after
// any prefix (see above).
inline bool surely_le(double a, double b, double margin) { return a == 0.0 || a <= b - margin; }

// The margin of a cost capped at `cap`.
inline double margin_of(double cap) {
  const double margin = cap * 0x1p-17;
  // Scaled into the subnormal range it would lose bits; the cap itself is
  // a wider margin.
  return margin < DBL_MIN ? cap : margin;
}

inline bool lexically_less(double a1, double a2, double b1, double b2) { return a1 < b1 || (a1 == b1 && a2 < b2); }

struct Label {
  double distance_m;
  double risk;
  double least_risk;  // of the labels kept at its node, up to this one
  std::uint32_t local;
  std::uint32_t next;  // the next label kept at its node
};

// How a kept label was reached, apart from the label itself: paths are
// walked back along these alone.
struct Link {
  std::uint32_t parent;
  std::uint32_t slot;   // the row entry it was extended along
  std::uint32_t place;  // the index of the place it started from
};

struct OpenLabel {
  double distance_m;
  double risk;
  std::uint32_t parent;
  std::uint32_t local;
  std::uint32_t slot;
  std::uint32_t place;
};


template <class Rows>
class CatchmentSearch {
 public:
  CatchmentSearch(const RoadGraph& graph, const RiskLayer* layer, const AvoidedRows* avoided,
                  std::span<const std::uint32_t> places_dense,
                  double minutes, WalkDirection direction, std::span<const double> cutoffs, const StopPoll& poll,
                  std::vector<std::uint32_t> only_dense, std::optional<double> max_detour, CatchmentWalks walks)
      : graph_(graph),
        layer_(layer),
        risk_(graph, layer, avoided),
        rows_{graph, risk_},
        places_dense_(places_dense.begin(), places_dense.end()),
        cutoffs_(cutoffs.begin(), cutoffs.end()),
        max_detour_(max_detour),
        minutes_(minutes),
        // Infinite minutes cut no front.
        within_minutes_(walks == CatchmentWalks::within_minutes && std::isfinite(minutes)),
        to_place_(direction == WalkDirection::to_place),
        poll_(poll),
        stop_(poll),
        nodes_(graph.id_of.size()),
        only_dense_(std::move(only_dense)) {}

  // None when stopped.
  std::optional<Catchment> run() {
    for (std::uint32_t dense : places_dense_) places_.push_back(nodes_.of(dense));
    if (!find_candidates() || !set_margins() || !search_labels()) return std::nullopt;
    Catchment result;
    if (!read_answers(result.nodes, result.within, result.within_detour)) return std::nullopt;
    report_.labels_kept = labels_.size();
    for (std::size_t local = 0; local < nodes_.size(); ++local) {
      report_.nodes_labelled += nodes_[static_cast<std::uint32_t>(local)].first != kNone;
    }
    result.report = report_;
    return result;
  }

 private:
  // Settles `search` while its next key is at most `limit`.
  bool settle_through(LeastCost<Rows>& search, double limit) {
    for (double key = search.next_key(); key != kInf && key <= limit; key = search.next_key()) {
      if (search.settle_next() == kNone) break;
    }
    return !stop_.stopped();
  }

  // The nodes whose shortest walk may take at most `minutes`: the least
  // distance the search finds is within 1 +- 2 gamma of the least forward
  // one, and the widening covers that and the division's rounding.
  bool find_candidates() {
    LeastCost<Rows> by_distance(rows_, nodes_, kDistance, kFromPlaceDistance, places_, stop_);
    const double limit = minutes_ * kWalkingSpeedMPerMin * (1.0 + 0x1p-16);
    if (!settle_through(by_distance, limit * (1.0 + 0x1p-15))) return false;
    report_.settled += by_distance.order().size();
    for (std::uint32_t local : by_distance.order()) {
      NodeState& node = nodes_[local];
      if (!(node.least(kDistance) <= limit) || !graph_.listed[node.dense]) continue;
      if (!only_dense_.empty() && !std::binary_search(only_dense_.begin(), only_dense_.end(), node.dense)) continue;
      // The request from a node starts along one of its outgoing edges.
      if (to_place_ && !has_edge_out(graph_, risk_.avoided(), node.dense) &&
          std::find(places_.begin(), places_.end(), local) != places_.end()) {
        continue;
      }
      node.candidate = true;
      candidates_.push_back(local);
      most_distance_ = std::max(most_distance_, node.least(kDistance));
    }
    report_.candidates = candidates_.size();
    // The risks of the shortest routes cap the risk of every Pareto point.
    if (!candidates_.empty()) {
      cap_[kRisk] =
          least_route_cap(rows_, nodes_, kDistance, by_distance.order(), most_distance_, candidates_, places_);
    }
    return true;
  }

  // The margins of the relaxed dominance (0 for exact sums, and for walks
  // from the place, whose sums are the requests' own).
  bool set_margins() {
    report_.distance_exact = risk_.facts().distance_sums_exact;
    report_.risk_exact = risk_.facts().risk_sums_exact;
    bound_to_minutes();
    if (!to_place_ || candidates_.empty()) return true;
    if (!report_.distance_exact) {
      // The distances of the safest routes cap the distance of every
      // Pareto point: a second single-cost search, of risk, over every
      // candidate and as far beyond as `least_route_cap` needs. Walks within
      // the minutes have their cap already.
      if (!within_minutes_) {
        LeastCost<Rows> by_risk(rows_, nodes_, kRisk, kFromPlaceRisk, places_, stop_);
        std::size_t unsettled = candidates_.size();
        while (unsettled > 0 && by_risk.next_key() != kInf) {
          const std::uint32_t local = by_risk.settle_next();
          if (local == kNone) break;
          unsettled -= nodes_[local].candidate;
        }
        if (stop_.stopped()) return false;
        double most_risk = 0.0;
        for (std::uint32_t local : candidates_) most_risk = std::max(most_risk, nodes_[local].least(kRisk));
        if (!settle_through(by_risk, most_risk * (1.0 + 0x1p-15))) return false;
        report_.settled += by_risk.order().size();
        cap_[kDistance] = least_route_cap(rows_, nodes_, kRisk, by_risk.order(), most_risk, candidates_, places_);
      }
      margins_.distance = margin_of(cap_[kDistance]);
    }
    if (!report_.risk_exact) margins_.risk = margin_of(cap_[kRisk]);
    report_.distance_margin = margins_.distance;
    report_.risk_margin = margins_.risk;
    return true;
  }

  // Walks within the minutes alone: the distance cap is the limit of
  // `find_candidates`, which every walk whose distance_m / 66.67 is at most
  // the minutes is below (the widening covers the division's rounding). The
  // arguments of the caps and of the margins hold for any cap U on the
  // forward distance of the routes sought, and these are the front's points
  // within the minutes: none is dominated by a point beyond them, so
  // cutting the front there loses none of them, and no label carried
  // beyond the cap starts one.
  void bound_to_minutes() {
    if (!within_minutes_) return;
    cap_[kDistance] = std::min(cap_[kDistance], minutes_ * kWalkingSpeedMPerMin * (1.0 + 0x1p-16));
  }

  bool search_labels() {
    if (candidates_.empty()) return true;
    near_candidates_.emplace(opposite_rows_, nodes_, kRisk, kNearCandidates, candidates_, stop_);
    if (within_minutes_) {
      near_by_distance_.emplace(opposite_rows_, nodes_, kDistance, kNearCandidatesDistance, candidates_, stop_);
    }
    risk_reach_ = cap_[kRisk] / kCapRounding;
    for (std::uint32_t i = 0; i < places_.size(); ++i) push(OpenLabel{0.0, 0.0, kNone, places_[i], kNone, i});
    const std::size_t refresh_every = std::max<std::size_t>(1024, candidates_.size());
    std::size_t popped = 0;
    while (!open_.empty()) {
      if (stop_.tick()) return false;
      const OpenLabel label = open_.pop();
      if (++popped % refresh_every == 0) refresh_worst(label.distance_m);
      if (irrelevant(label.distance_m, label.risk, label.local)) continue;
      NodeState& node = nodes_[label.local];
      if (dominates(node, last_eligible(node, label.distance_m, true), label.risk)) continue;
      expand(keep(label));
    }
    return true;
  }

  void push(const OpenLabel& label) {
    open_.push(label);
    ++report_.labels_pushed;
  }

  // Records a label at its node; its index.
  std::uint32_t keep(const OpenLabel& label) {
    NodeState& node = nodes_[label.local];
    // Parent links are 32-bit, and kNone is none.
    if (labels_.size() >= kNone) throw std::length_error("a catchment of 2^32 labels or more");
    const auto index = static_cast<std::uint32_t>(labels_.size());
    const double least = node.last == kNone ? label.risk : std::min(node.least_risk, label.risk);
    labels_.push_back(Label{label.distance_m, label.risk, least, label.local, kNone});
    links_.push_back(Link{label.parent, label.slot, label.place});
    if (node.last == kNone) {
      node.first = index;
    } else if (margins_.distance != 0.0) {
      // Without a distance margin every kept label may dominate the labels
      // arriving now (no kept distance exceeds the one popped), so
      // `last_eligible` never walks a node's list: it is linked only for
      // the margin, sparing a write far back in memory per label.
      labels_[node.last].next = index;
    }
    node.last = index;
    node.last_distance = label.distance_m;
    node.least_risk = least;
    return index;
  }

  void expand(std::uint32_t index) {
    const Label label = labels_[index];
    const std::uint32_t dense = nodes_[label.local].dense;
    for (std::uint32_t slot = rows_.begin(dense); slot < rows_.end(dense); ++slot) {
      if (!rows_.takes(slot)) continue;
      const double distance = label.distance_m + rows_.cost(slot, kDistance);
      const double risk = label.risk + rows_.cost(slot, kRisk);
      const std::uint32_t next = nodes_.of(rows_.next(slot));
      if (irrelevant(distance, risk, next)) continue;
      NodeState& node = nodes_[next];
      if (dominates(node, last_eligible(node, distance, false), risk)) continue;
      const std::uint32_t place = links_[index].place;
      // A tie of both sums goes to the lower place index (see `places`).
      if (surely_le(node.pushed_distance, distance, margins_.distance) &&
          surely_le(node.pushed_risk, risk, margins_.risk) &&
          (node.pushed_place <= place || node.pushed_distance != distance || node.pushed_risk != risk)) {
        continue;
      }
      if (revisits(index, next, distance, risk)) continue;
      node.pushed_distance = distance;
      node.pushed_risk = risk;
      node.pushed_place = place;
      push(OpenLabel{distance, risk, index, next, slot, place});
    }
  }

  // The last label kept at `node` that may dominate a label of `distance`
  // (its own distance surely no greater), kNone if none; `store` moves the
  // node's cursor there, which only a label popped now may do (the
  // distances popped never fall).
  std::uint32_t last_eligible(NodeState& node, double distance, bool store) {
    // Mostly all are: the labels are kept in order of distance.
    if (node.last != kNone && surely_le(node.last_distance, distance, margins_.distance)) {
      if (store) node.cursor = node.last;
      return node.last;
    }
    std::uint32_t eligible = node.cursor;
    std::uint32_t at = eligible == kNone ? node.first : labels_[eligible].next;
    while (at != kNone && surely_le(labels_[at].distance_m, distance, margins_.distance)) {
      eligible = at;
      at = labels_[at].next;
    }
    if (store) node.cursor = eligible;
    return eligible;
  }

  bool dominates(const NodeState& node, std::uint32_t eligible, double risk) const {
    if (eligible == kNone) return false;
    const double least = eligible == node.last ? node.least_risk : labels_[eligible].least_risk;
    return surely_le(least, risk, margins_.risk);
  }

  // Whether a label extended from `parent` comes back to a node of its own
  // path. Ancestors are walked while none is below it by the margins; one
  // that is, and all before it, would dominate it at its own node.
  bool revisits(std::uint32_t parent, std::uint32_t local, double distance, double risk) const {
    for (std::uint32_t at = parent; at != kNone; at = links_[at].parent) {
      const Label& ancestor = labels_[at];
      if (surely_le(ancestor.distance_m, distance, margins_.distance) &&
          surely_le(ancestor.risk, risk, margins_.risk)) {
        return false;
      }
      if (ancestor.local == local) return true;
    }
    return false;
  }

  // Whether a label at `local` starts no Pareto-optimal route of a
  // candidate. Its route would add at least the least risk between the
  // node and a candidate, found as far as the question needs it (see
  // `kNearCandidates`).
  bool irrelevant(double distance, double risk, std::uint32_t local) {
    if (distance * kCapRounding > cap_[kDistance] || risk * kCapRounding > cap_[kRisk]) return true;
    if (near_by_distance_ && beyond_minutes(distance, local)) return true;
    const NodeState& node = nodes_[local];
    // The least risk still to add, found as far as would settle the question.
    const double still = node.settled[kNearCandidates]
                             ? node.least(kNearCandidates)
                             : near_candidates_->lower_bound(local, std::min(risk_reach_, worst_reach_) - risk);
    const double at_least = still == 0.0 ? risk : std::max(risk, (risk + still) * kCapRounding);
    if (at_least > cap_[kRisk]) return true;
    if (worst_ == kInf) return false;
    // With several places, a route that ties with Z_v may go to a lower
    // place: only one surely worse is dropped (with a margin, the test
    // below already means that, and a risk summed to 0 ties).
    if (places_.size() > 1) return margins_.risk == 0.0 ? worst_ < at_least : worst_ <= at_least - margins_.risk;
    return surely_le(worst_, at_least, margins_.risk);
  }

  // Whether a label at `local` starts only routes longer than the distance
  // cap: it adds at least the least distance between the node and a
  // candidate, bounded as the risk is in `irrelevant`. So a search of walks
  // within the minutes carries labels only between places and candidates
  // that such a walk joins, not all round each place.
  bool beyond_minutes(double distance, std::uint32_t local) {
    const double still = nodes_[local].settled[kNearCandidatesDistance]
                             ? nodes_[local].least(kNearCandidatesDistance)
                             : near_by_distance_->lower_bound(local, cap_[kDistance] / kCapRounding - distance);
    return still != 0.0 && (distance + still) * kCapRounding > cap_[kDistance];
  }

  // R_worst at the distance popped now.
  void refresh_worst(double distance) {
    double worst = 0.0;
    for (std::uint32_t local : candidates_) {
      const std::uint32_t eligible = last_eligible(nodes_[local], distance, true);
      if (eligible == kNone) {
        worst = kInf;
        break;
      }
      worst = std::max(worst, eligible == nodes_[local].last ? nodes_[local].least_risk : labels_[eligible].least_risk);
    }
    worst_ = worst;
    worst_reach_ = worst == kInf ? kInf : (worst + margins_.risk) / kCapRounding;
  }

  // A kept label's path summed as the request sums it.
  RouteTotals forward(std::uint32_t index) {
    if (!to_place_) return RouteTotals{labels_[index].distance_m, labels_[index].risk};
    ++report_.paths_resummed;
    // The chain runs from the node to the place: travel order.
    RouteTotals sums{0.0, 0.0};
    for (std::uint32_t at = index; links_[at].parent != kNone; at = links_[at].parent) {
      sums.distance_m = sums.distance_m + rows_.cost(links_[at].slot, kDistance);
      sums.risk = sums.risk + rows_.cost(links_[at].slot, kRisk);
    }
    return sums;
  }

  // A route's totals and its place, compared as (first cost, second cost,
  // place) with the first cost `first`.
  struct Found {
    RouteTotals sums{kInf, kInf};
    std::uint32_t place = kNone;
  };
  static bool before(const Found& a, const Found& b, int first) {
    const double a1 = first == kDistance ? a.sums.distance_m : a.sums.risk;
    const double a2 = first == kDistance ? a.sums.risk : a.sums.distance_m;
    const double b1 = first == kDistance ? b.sums.distance_m : b.sums.risk;
    const double b2 = first == kDistance ? b.sums.risk : b.sums.distance_m;
    return a1 < b1 || (a1 == b1 && (a2 < b2 || (a2 == b2 && a.place < b.place)));
  }

  // Every candidate's answer, read in passes over the kept labels in the
  // order they were kept (a node's own labels in that order, as a walk
  // down its list would meet them), which streams through memory rather
  // than chasing each node's list across it.
  bool read_answers(std::vector<CatchmentNode>& answers, std::vector<WithinCutoff>& within,
                    std::vector<WithinCutoff>& within_detour) {
    struct Reading {
      double least_distance = kInf;
      Found shortest;
      Found safest;
      BalanceWeights weights{1.0, 1.0};
      double least_score = kInf;
      double best_score = kInf;  // of the forward points of least score
      bool balance = false;      // whether the balanced route is sought among the labels
      bool ask = false;          // whether the request answers the node
      std::uint32_t points_begin = 0, points_end = 0;  // its entries in `points`
    };
    std::vector<Reading> readings(nodes_.size());
    for (std::uint32_t local : candidates_) {
      if (nodes_[local].first != kNone) readings[local].least_distance = labels_[nodes_[local].first].distance_m;
    }
    // The shortest and the safest routes: the least forward sums of the
    // labels that may have them.
    for (std::uint32_t at = 0; at < labels_.size(); ++at) {
      const Label& label = labels_[at];
      if (!nodes_[label.local].candidate) continue;
      Reading& reading = readings[label.local];
      const double least_risk = nodes_[label.local].least_risk;
      const bool may_be_shortest = label.distance_m == reading.least_distance ||
                                   label.distance_m - reading.least_distance < 2.0 * margins_.distance;
      const bool may_be_safest = label.risk == least_risk || label.risk - least_risk < 2.0 * margins_.risk;
      if (!may_be_shortest && !may_be_safest) continue;
      const Found found{forward(at), links_[at].place};
      if (may_be_shortest && before(found, reading.shortest, kDistance)) reading.shortest = found;
      if (may_be_safest && before(found, reading.safest, kRisk)) reading.safest = found;
    }
    bool any_balance = false;
    for (std::uint32_t local : candidates_) {
      Reading& reading = readings[local];
      // A front cut at the minutes has no request's routes to choose.
      if (nodes_[local].first == kNone || within_minutes_) continue;
      const RouteTotals& shortest = reading.shortest.sums;
      const RouteTotals& safest = reading.safest.sums;
      // One point: the request's front holds it alone (maybe by several
      // paths). Without the limit's widening, no request is needed for a
      // node outside.
      if ((shortest.distance_m == safest.distance_m && shortest.risk == safest.risk) ||
          !(shortest.distance_m / kWalkingSpeedMPerMin <= minutes_)) {
        continue;
      }
      // Paths along parallel edges of different costs may pass the same
      // nodes with different totals, and the request leaves out a route
      // whose nodes repeat an earlier one's: which paths it chose, the
      // points alone do not say.
      if (risk_.facts().parallel_edges_differ) {
        reading.ask = true;
        continue;
      }
      reading.weights = BalanceWeights{std::max(safest.distance_m, kNormalisationFloor),
                                       std::max(shortest.risk, kNormalisationFloor)};
      reading.balance = any_balance = true;
    }
    auto score = [](const Reading& reading, double distance, double risk) {
      return balance_score(PathCosts{distance, risk, 0.0}, reading.weights);
    };
    // The balanced route: the forward points of least score among the
    // labels whose score is near the least.
    struct Point {
      std::uint32_t local;
      double score;
      Found found;
    };
    std::vector<Point> points;
    if (any_balance) {
      for (const Label& label : labels_) {
        Reading& reading = readings[label.local];
        if (reading.balance) {
          reading.least_score = std::min(reading.least_score, score(reading, label.distance_m, label.risk));
        }
      }
      for (std::uint32_t at = 0; at < labels_.size(); ++at) {
        const Label& label = labels_[at];
        Reading& reading = readings[label.local];
        if (!reading.balance || !(score(reading, label.distance_m, label.risk) <= reading.least_score * kScoreWidening)) {
          continue;
        }
        const RouteTotals sums = forward(at);
        const double own = score(reading, sums.distance_m, sums.risk);
        if (own > reading.best_score) continue;
        reading.best_score = own;
        points.push_back(Point{label.local, own, Found{sums, links_[at].place}});
      }
      // A node's points in the order found; any order gives the same
      // choice below.
      std::stable_sort(points.begin(), points.end(), [](const Point& x, const Point& y) { return x.local < y.local; });
      for (std::uint32_t k = 0; k < points.size(); ++k) {
        Reading& reading = readings[points[k].local];
        if (reading.points_end == 0) reading.points_begin = k;
        reading.points_end = k + 1;
      }
    }
    const std::size_t walks = walks_per_row();
    std::vector<std::uint32_t> row_of(walks == 0 ? 0 : nodes_.size(), kNone);
    // Per answer, the least risky point of its front (then the shorter,
    // then the lower place), for `within`: the safest route where the
    // request chose its routes itself may be another point, since a route
    // whose nodes repeat an earlier one's is left out there.
    std::vector<Found> least_risky;
    for (std::uint32_t local : candidates_) {
      if (nodes_[local].first == kNone) continue;
      Reading& reading = readings[local];
      CatchmentNode answer{nodes_[local].dense, reading.shortest.sums, reading.safest.sums, reading.shortest.sums,
                           {reading.shortest.place, reading.safest.place, reading.shortest.place}};
      if (reading.balance) {
        // Among the least scores, those another one strictly dominates are no
        // Pareto-optimal points; two distinct others are a tie of the very
        // same score that the request breaks by its own search order. One
        // point reached from several places goes to the lowest.
        const std::uint32_t begin = reading.points_begin;
        const std::uint32_t end = reading.points_end;
        std::optional<Found> balanced;
        for (std::uint32_t k = begin; k < end && !reading.ask; ++k) {
          if (points[k].score != reading.best_score) continue;
          const RouteTotals& sums = points[k].found.sums;
          bool dominated = false;
          for (std::uint32_t other = begin; other < end; ++other) {
            dominated = dominated || (points[other].score == reading.best_score &&
                                      strictly_dominates(points[other].found.sums.distance_m,
                                                         points[other].found.sums.risk, sums.distance_m, sums.risk));
          }
          if (dominated) continue;
          if (balanced && (balanced->sums.distance_m != sums.distance_m || balanced->sums.risk != sums.risk)) {
            reading.ask = true;
          } else if (!balanced || points[k].found.place < balanced->place) {
            balanced = points[k].found;
          }
        }
        if (!balanced) reading.ask = true;  // no score to compare: never with finite costs
        if (!reading.ask) {
          answer.balanced = balanced->sums;
          answer.place[2] = balanced->place;
        }
      }
      if (reading.ask) {
        std::optional<CatchmentNode> asked = ask_request(local);
        if (!asked) return false;
        answer = *asked;
      }
      if (within_minutes_) {
        // The least risky kept label may lie beyond the minutes, and then
        // it says nothing of the front within them: `read_within` reads
        // every cutoff from the labels.
        reading.safest = Found{{kNaN, kNaN}, kNone};
        answer.safest = answer.balanced = reading.safest.sums;
        answer.place[1] = answer.place[2] = kNone;
      }
      if (answer.shortest.distance_m / kWalkingSpeedMPerMin <= minutes_) {
        if (!row_of.empty()) {
          row_of[local] = static_cast<std::uint32_t>(answers.size());
          least_risky.push_back(reading.safest);
        }
        answers.push_back(answer);
      }
    }
    if (walks != 0) read_within(answers, least_risky, row_of, within);
    // Sorted, with the rows of `within` in the same order, the walks within
    // the detour apart.
    std::vector<std::uint32_t> order(answers.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      const CatchmentNode& x = answers[a];
      const CatchmentNode& y = answers[b];
      if (x.shortest.distance_m != y.shortest.distance_m) return x.shortest.distance_m < y.shortest.distance_m;
      return graph_.id_of[x.dense] < graph_.id_of[y.dense];
    });
    std::vector<CatchmentNode> sorted;
    sorted.reserve(answers.size());
    std::vector<WithinCutoff> sorted_within;
    sorted_within.reserve(answers.size() * cutoffs_.size());
    if (max_detour_) within_detour.reserve(answers.size());
    for (std::uint32_t i : order) {
      sorted.push_back(answers[i]);
      for (std::size_t c = 0; c < cutoffs_.size(); ++c) sorted_within.push_back(within[i * walks + c]);
      if (max_detour_) within_detour.push_back(within[i * walks + cutoffs_.size()]);
    }
    answers = std::move(sorted);
    within = std::move(sorted_within);
    return true;
  }

  // The walks `read_within` reads per answer: one a cutoff, then, with a
  // detour budget, the one within it.
  std::size_t walks_per_row() const { return cutoffs_.size() + (max_detour_ ? 1 : 0); }

  // For every answer and budget (each cutoff, then the detour's), the least
  // risky walk of the node's front within the budget (then the shortest,
  // then the lower place). The least risky point is it where it fits; no
  // walk fits where the shortest does not. Otherwise it is among the kept
  // labels (a kept label sums forward to every point of the front), and
  // where the labels' sums are not the forward ones (walks to the place,
  // with margins), each of them is within the margin of its forward sums
  // (the margins are at least four times the sums' rounding, up to the caps
  // that bound every kept label): a walk surely fits when its distance plus
  // the margin does, its risk is at most that of the least risky such label
  // plus the margin, and so the labels within that and twice the margin of
  // it, and whose distance less the margin may fit, are summed again in
  // travel order and read exactly. The detour's budget is a node's own, in
  // metres, and read in the same pass as the cutoffs'.
  void read_within(const std::vector<CatchmentNode>& answers, const std::vector<Found>& least_risky,
                   const std::vector<std::uint32_t>& row_of, std::vector<WithinCutoff>& within) {
    const std::size_t count = walks_per_row();
    const std::size_t cutoffs = cutoffs_.size();
    within.assign(answers.size() * count, WithinCutoff{{kNaN, kNaN}, kNone});
    struct Open {
      Found best{{kInf, kInf}, kNone};
      double sure_risk = kInf;  // the least label risk of a walk that surely fits
      double detour_m = kInf;   // the detour's budget, as written
      double limit_m = kInf;    // the budget in metres, for the margins' bounds
      bool open = false;
    };
    std::vector<Open> open(answers.size() * count);
    bool any = false;
    // A cutoff is met as a route's time_min is, the detour as it is written.
    // A bounded front holds no walk beyond the minutes, though labels reach
    // a little farther (the cap's widening): a budget past the minutes, a
    // cutoff's or the detour's, ends at them.
    auto fits = [&](double distance, std::size_t c, const Open& slot) {
      return (c < cutoffs ? distance / kWalkingSpeedMPerMin <= cutoffs_[c] : distance <= slot.detour_m) &&
             (!within_minutes_ || distance / kWalkingSpeedMPerMin <= minutes_);
    };
    for (std::size_t row = 0; row < answers.size(); ++row) {
      const CatchmentNode& answer = answers[row];
      for (std::size_t c = 0; c < count; ++c) {
        Open& slot = open[row * count + c];
        if (c == cutoffs) slot.detour_m = (1.0 + *max_detour_) * answer.shortest.distance_m;
        slot.limit_m = c < cutoffs ? cutoffs_[c] * kWalkingSpeedMPerMin : slot.detour_m;
        if (within_minutes_) slot.limit_m = std::min(slot.limit_m, minutes_ * kWalkingSpeedMPerMin);
        if (fits(least_risky[row].sums.distance_m, c, slot)) {
          within[row * count + c] = WithinCutoff{least_risky[row].sums, least_risky[row].place};
        } else if (fits(answer.shortest.distance_m, c, slot)) {
          slot.open = any = true;
        }
      }
    }
    if (!any) return;
    const bool exact = !to_place_ || (margins_.distance == 0.0 && margins_.risk == 0.0);
    if (!exact) {
      for (std::uint32_t at = 0; at < labels_.size(); ++at) {
        const std::uint32_t row = row_of[labels_[at].local];
        if (row == kNone) continue;
        for (std::size_t c = 0; c < count; ++c) {
          Open& slot = open[row * count + c];
          if (slot.open && (labels_[at].distance_m + margins_.distance) * (1.0 + 0x1p-40) <= slot.limit_m) {
            slot.sure_risk = std::min(slot.sure_risk, labels_[at].risk);
          }
        }
      }
    }
    for (std::uint32_t at = 0; at < labels_.size(); ++at) {
      const Label& label = labels_[at];
      const std::uint32_t row = row_of[label.local];
      if (row == kNone) continue;
      std::optional<Found> found;
      for (std::size_t c = 0; c < count; ++c) {
        Open& slot = open[row * count + c];
        if (!slot.open) continue;
        if (!exact && (!((label.distance_m - margins_.distance) <= slot.limit_m * (1.0 + 0x1p-40)) ||
                       !(label.risk <= slot.sure_risk + 2.0 * margins_.risk))) {
          continue;
        }
        if (!found) found = Found{exact ? RouteTotals{label.distance_m, label.risk} : forward(at), links_[at].place};
        if (fits(found->sums.distance_m, c, slot) && before(*found, slot.best, kRisk)) slot.best = *found;
      }
    }
    for (std::size_t k = 0; k < open.size(); ++k) {
      if (open[k].open && open[k].best.place != kNone) within[k] = WithinCutoff{open[k].best.sums, open[k].best.place};
    }
  }

  // The node's answer from the request itself: one request to each place,
  // their fronts merged, with several.
  std::optional<CatchmentNode> ask_request(std::uint32_t local) {
    ++report_.answered_by_request;
    const std::uint32_t dense = nodes_[local].dense;
    const NodeId node_id = graph_.id_of[dense];
    struct Entry {
      FrontEntry entry;
      std::uint32_t place;
    };
    std::vector<Entry> merged;
    for (std::uint32_t p = 0; p < places_dense_.size(); ++p) {
      const std::uint32_t place_dense = places_dense_[p];
      const NodeId place_id = graph_.id_of[place_dense];
      const NodeId source = to_place_ ? node_id : place_id;
      const NodeId target = to_place_ ? place_id : node_id;
      const std::uint32_t target_dense = to_place_ ? place_dense : dense;
      // A place the request refuses (walks to a place from itself with no
      // edge out) adds nothing.
      if (source == target && !has_edge_out(graph_, risk_.avoided(), dense)) continue;
      std::optional<ParetoFront> front =
          pareto_search(graph_, source, target, graph_.lat[target_dense], graph_.lon[target_dense], 0.0,
                        PathsNeeded::chosen_routes,
                        SearchOptions{.stop = poll_, .risk_layer = layer_, .avoided = risk_.avoided()});
      if (!front) return std::nullopt;
      if (places_dense_.size() == 1) return choose_from(dense, *front);
      for (FrontEntry& entry : *front) merged.push_back(Entry{std::move(entry), p});
    }
    // The union's front, by distance, then risk, then place: a point
    // reached from several places kept for the lowest.
    std::stable_sort(merged.begin(), merged.end(), [](const Entry& a, const Entry& b) {
      return lexically_less(a.entry.costs.distance_m, a.entry.costs.risk, b.entry.costs.distance_m,
                            b.entry.costs.risk) ||
             (a.entry.costs.distance_m == b.entry.costs.distance_m && a.entry.costs.risk == b.entry.costs.risk &&
              a.place < b.place);
    });
    std::vector<Entry> front;
    for (Entry& entry : merged) {
      if (!front.empty() && !(entry.entry.costs.risk < front.back().entry.costs.risk)) continue;
      front.push_back(std::move(entry));
    }
    // Chosen as a request chooses from its own front.
    const Entry* shortest = &front.front();
    const Entry* safest = &front.back();
    const BalanceWeights weights{std::max(safest->entry.costs.distance_m, kNormalisationFloor),
                                 std::max(shortest->entry.costs.risk, kNormalisationFloor)};
    const BalancedChoice choice = choose_balanced(std::span<const Entry>(front), weights,
                                                  [](const Entry& e) { return e.entry.costs; });
    const Entry* chosen[3] = {shortest, safest, &front[choice.at]};
    for (int type = 1; type < 3; ++type) {
      for (int earlier = 0; earlier < type; ++earlier) {
        if (chosen[earlier]->place == chosen[type]->place && chosen[earlier]->entry.path == chosen[type]->entry.path) {
          chosen[type] = chosen[earlier];
          break;
        }
      }
    }
    auto totals = [&](int type) {
      return RouteTotals{chosen[type]->entry.costs.distance_m, chosen[type]->entry.costs.risk};
    };
    return CatchmentNode{dense, totals(0), totals(1), totals(2), {chosen[0]->place, chosen[1]->place, chosen[2]->place}};
  }

  // The three routes a request chooses from its front (one place).
  static CatchmentNode choose_from(std::uint32_t dense, const ParetoFront& front) {
    // A route the request leaves out (its path repeats an earlier one's)
    // has that route's totals.
    const RouteChoice choice = choose_routes(front);
    const FrontEntry* chosen[3];
    for (int type = 0; type < 3; ++type) {
      chosen[type] = &front[choice.of_type[type]];
      for (int earlier = 0; earlier < type; ++earlier) {
        if (chosen[earlier]->path == chosen[type]->path) {
          chosen[type] = chosen[earlier];
          break;
        }
      }
    }
    auto totals = [&](int type) { return RouteTotals{chosen[type]->costs.distance_m, chosen[type]->costs.risk}; };
    return CatchmentNode{dense, totals(0), totals(1), totals(2)};
  }

  // The rows the other way: from a candidate towards the nodes a walk to
  // the place passes (or from those, with walks from the place).
  using Opposite = std::conditional_t<std::is_same_v<Rows, IncomingRows>, OutgoingRows, IncomingRows>;

  const RoadGraph& graph_;
  const RiskLayer* const layer_;
  const EdgeRisk risk_;
  const Rows rows_;
  const Opposite opposite_rows_{graph_, risk_};
  const std::vector<std::uint32_t> places_dense_;  // by place index
  const std::vector<double> cutoffs_;
  const std::optional<double> max_detour_;
  const double minutes_;
  const bool within_minutes_;  // CatchmentWalks::within_minutes
  const bool to_place_;
  const StopPoll poll_;
  StopCheck stop_;

  LocalNodes nodes_;
  // The nodes asked about, sorted (empty: every node), the only candidates.
  const std::vector<std::uint32_t> only_dense_;
  std::vector<std::uint32_t> places_;  // the places' local indices, by place index
  std::vector<std::uint32_t> candidates_;
  double most_distance_ = 0.0;
  double cap_[2] = {kInf, kInf};
  Margins margins_;
  double worst_ = kInf;  // R_worst
  // The risks beyond which a label is dropped, before the rounding's
  // widening: the cap, and R_worst plus the margin.
  double risk_reach_ = kInf;
  double worst_reach_ = kInf;
  std::optional<LeastCost<Opposite>> near_candidates_;
  std::optional<LeastCost<Opposite>> near_by_distance_;  // walks within the minutes
  // The two arrays a large catchment grows most (LargePageAllocator).
  std::vector<Label, LargePageAllocator<Label>> labels_;
  std::vector<Link, LargePageAllocator<Link>> links_;  // by label
  // Popped by distance, then risk (ties in any order).
  RadixQueue<OpenLabel> open_;
  CatchmentReport report_;
};

}  // namespace

std::expected<Catchment, CatchmentFailure> catchment_search(const RoadGraph& graph, NodeId place, double minutes,
                                                            WalkDirection direction, const StopPoll& stop,
                                                            const RiskLayer* layer) {
  return catchment_search(graph, std::span<const NodeId>(&place, 1), minutes, direction, {}, nullptr, stop, layer);
}

std::expected<Catchment, CatchmentFailure> catchment_search(const RoadGraph& graph, std::span<const NodeId> places,
                                                            double minutes, WalkDirection direction,
                                                            std::span<const double> cutoffs,
                                                            std::uint32_t* failed_place, const StopPoll& stop,
                                                            const RiskLayer* layer,
                                                            std::optional<std::span<const NodeId>> only,
                                                            const AvoidedRows* avoided,
                                                            std::optional<double> max_detour, CatchmentWalks walks) {
  if (places.empty()) return std::unexpected(CatchmentFailure::no_places);
  std::vector<std::uint32_t> places_dense;
  places_dense.reserve(places.size());
  for (std::uint32_t i = 0; i < places.size(); ++i) {
    const std::uint32_t place_dense = listed_node(graph, places[i]);
    const bool isolated = place_dense != IdIndex::kAbsent && direction == WalkDirection::from_place &&
                          !has_edge_out(graph, avoided, place_dense);
    if (place_dense == IdIndex::kAbsent || isolated) {
      if (failed_place != nullptr) *failed_place = i;
      return std::unexpected(isolated ? CatchmentFailure::place_isolated : CatchmentFailure::place_not_found);
    }
    places_dense.push_back(place_dense);
  }
  // Label setting needs costs that never fall along a path, and the
  // rounding argument finite ones.
  if (!EdgeRisk(graph, layer, avoided).facts().costs_bounded_below) {
    return std::unexpected(CatchmentFailure::costs_unsupported);
  }
  std::vector<std::uint32_t> only_dense;
  if (only) {
    only_dense.reserve(only->size());
    for (NodeId id : *only) {
      const std::uint32_t dense = listed_node(graph, id);
      if (dense != IdIndex::kAbsent) only_dense.push_back(dense);
    }
    if (only_dense.empty()) return Catchment{};
    std::sort(only_dense.begin(), only_dense.end());
  }
  std::optional<Catchment> found =
      direction == WalkDirection::to_place
          ? CatchmentSearch<IncomingRows>(graph, layer, avoided, places_dense, minutes, direction, cutoffs, stop,
                                          std::move(only_dense), max_detour, walks)
                .run()
          : CatchmentSearch<OutgoingRows>(graph, layer, avoided, places_dense, minutes, direction, cutoffs, stop,
                                          std::move(only_dense), max_detour, walks)
                .run();
  if (!found) return std::unexpected(CatchmentFailure::interrupted);
  return std::move(*found);
}

}  // namespace norvel
