#include "graph/destination_bounds.hpp"

#include <algorithm>
#include <cmath>

#include "graph/heuristic.hpp"
#include "graph/quad_heap.hpp"

namespace norvel {

namespace {

// A min-heap on cost; the order among equal costs changes no settled value.
constexpr auto sooner = [](const auto& x, const auto& y) { return x.key < y.key; };

// Dense indices, which also number the ids met only at an edge's end.
std::size_t dense_count(const RoadGraph& graph) { return graph.in_begin.empty() ? 0 : graph.in_begin.size() - 1; }

}  // namespace

DestinationSearch::DestinationSearch(const RoadGraph& graph, const EdgeRisk& risk, Objective objective)
    : graph_(graph),
      risk_(risk),
      objective_(objective),
      // Written before read (see `reached_`): no pass over the graph here.
      cost_(std::make_unique_for_overwrite<double[]>(dense_count(graph))),
      reached_((dense_count(graph) + 63) / 64, 0),
      settled_((dense_count(graph) + 63) / 64, 0) {}

void DestinationSearch::start(std::uint32_t target_dense) {
  for (const std::uint32_t dense : touched_) {
    reached_[dense / 64] = 0;
    settled_[dense / 64] = 0;
  }
  touched_.clear();
  heap_.clear();
  target_ = target_dense;
  if (target_dense >= dense_count(graph_)) return;
  cost_[target_dense] = 0.0;
  set_bit(reached_, target_dense);
  touched_.push_back(target_dense);
  heap_.push_back(Entry{0.0, target_dense});
}

void DestinationSearch::settle_first() {
  const Entry entry = quad_heap_pop(heap_, sooner);
  // A settle waits mostly on memory: fetch the next node's incoming row
  // while this one's edges are relaxed. An empty row may begin past the
  // last edge, so it is addressed without indexing the vector.
  if (!heap_.empty()) __builtin_prefetch(graph_.in_edges.data() + graph_.in_begin[heap_.front().dense]);
  // An entry left behind by a later, cheaper one: that one came first.
  if (settled(entry.dense)) return;
  set_bit(settled_, entry.dense);
  ++settled_count_;
  const double settled_cost = entry.key;
  // What the loop reads of the graph and the objective, in locals: the
  // stores to the costs and the heap could alias members, which the
  // compiler would then load again at every edge.
  const IncomingEdge* const edges = graph_.in_edges.data();
  const std::uint32_t end = graph_.in_begin[entry.dense + 1];
  const Objective objective = objective_;
  with_risks(risk_, [&](auto risks) {
    risks.fetch_incoming(graph_, entry.dense);
    for (std::uint32_t slot = graph_.in_begin[entry.dense]; slot < end; ++slot) {
      const IncomingEdge& edge = edges[slot];
      if (!risks.takes(edge)) continue;
      const double cost = settled_cost + objective.of(edge.distance_m, risks.of(edge));
      const std::uint32_t tail = edge.from;
      if (!reached(tail)) {
        set_bit(reached_, tail);
        touched_.push_back(tail);
      } else if (settled(tail) || !(cost < cost_[tail])) {
        continue;
      }
      cost_[tail] = cost;
      quad_heap_push(heap_, Entry{cost, tail}, sooner);
    }
  });
}

DestinationBounds::DestinationBounds(const RoadGraph& graph, const RiskLayer* layer, const AvoidedRows* avoided)
    : risk_(graph, layer, avoided),
      distance(graph, risk_, kDistance),
      risk(graph, risk_, kRisk),
      by_priority(graph, risk_, kPriorityWeighing),
      graph_(graph) {}

void DestinationBounds::start(std::uint32_t target_dense) {
  for (DestinationSearch* search : {&distance, &risk, &by_priority}) search->start(target_dense);
}

DestinationSearch* DestinationBounds::search_for(const Objective& objective) {
  for (DestinationSearch* search : {&distance, &risk, &by_priority}) {
    if (search->objective() == objective) return search;
  }
  return nullptr;
}

// Why `BlendedBound` bounds a d + b r from below, as tightly as the walks
// that read it need.
//
// For reals a, b > 0, a slope k_j <= b / a <= k_(j+1) and any path from a
// node, with sums d and r:
//   a d + b r = a (d + k_j r) + (b - a k_j) r
//             = (b / k_(j+1)) (d + k_(j+1) r) + (a - b / k_(j+1)) d,
// every factor non-negative; and a d + b r >= a D + b R. Each shared
// search's least sum bounds its own sum from below up to the rounding that
// `kBoundMargin` and `kWeightedMargin` describe. The factors are computed
// in floating point (and clamped at 0): each is within a few units of the
// last place of a or of b, so each product errs by a few ulps of a term no
// larger than a d + b r, and the bound by some 2^-48 of a d + b r in all,
// far inside the 2^-16 of `kWeightedMargin` that the walks take off every
// weighted sum with a bound. An unsettled node reads each search's radius
// instead, a lower bound still; a node that some search cannot reach has
// no path at all. Slopes half an octave apart leave the bound within a
// small fraction of the least weighted sum on road graphs, and a request
// shares the two it reads with the other requests to the target whose
// weights are alike.

namespace {

int slope_below(double distance_weight, double risk_weight) {
  const double ratio = risk_weight / distance_weight;
  const double steps = 2.0 * std::log2(ratio / kRiskWeight);
  constexpr int kMost = DestinationBounds::kMostSlope;
  // Weights out of the slopes' range (or not finite) take the last slope;
  // the constructor then leaves out a side that does not bracket them.
  int j = !(steps > -kMost) ? -kMost : !(steps < kMost - 1) ? kMost - 1 : static_cast<int>(std::floor(steps));
  while (j > -DestinationBounds::kMostSlope && distance_weight * DestinationBounds::slope(j) > risk_weight) --j;
  while (j < DestinationBounds::kMostSlope - 1 && distance_weight * DestinationBounds::slope(j + 1) < risk_weight) ++j;
  return j;
}

}  // namespace

BlendedBound::BlendedBound(DestinationBounds& shared, double distance_weight, double risk_weight, StopCheck* stop)
    : BlendedBound(shared, weighted(distance_weight, risk_weight), stop, slope_below(distance_weight, risk_weight)) {}

BlendedBound::BlendedBound(DestinationBounds& shared, Objective weights, StopCheck* stop, int below_slope)
    : shared_(shared),
      weights_(weights),
      below_(shared.by_slope(below_slope)),
      above_(shared.by_slope(below_slope + 1)),
      stop_(stop) {
  const double distance_weight = weights.distance_weight;
  const double risk_weight = weights.risk_weight;
  const double k_below = below_.objective().risk_weight;
  const double k_above = above_.objective().risk_weight;
  below_share_ = distance_weight;
  below_risk_ = std::max(0.0, risk_weight - distance_weight * k_below);
  above_share_ = risk_weight / k_above;
  above_distance_ = std::max(0.0, distance_weight - above_share_);
  // A slope on the wrong side of b / a would weigh one cost more than the
  // request does: that side reads the separate bounds alone.
  if (!(distance_weight * k_below <= risk_weight)) {
    below_share_ = 0.0;
    below_risk_ = risk_weight;
  }
  if (!(distance_weight * k_above >= risk_weight)) {
    above_share_ = 0.0;
    above_distance_ = distance_weight;
  }
  slope_settles_before_ = slope_count();
}

std::uint64_t BlendedBound::slope_count() const {
  std::uint64_t count = 0;
  for (const DestinationSearch* search : {&below_, &above_}) {
    if (search != &shared_.by_priority) count += search->settled_count();
  }
  return count;
}

std::uint64_t BlendedBound::slope_settles() const { return slope_count() - slope_settles_before_; }

void BlendedBound::settle_until(std::uint32_t dense, double enough) {
  // A search whose radius, weighed by a factor it has in the bound, exceeds
  // `enough` has said enough: the bound is at least that product.
  auto settle = [&](DestinationSearch& search, double factor) {
    if (factor > 0.0) search.settle_until(dense, enough / factor, stop_);
  };
  settle(shared_.distance, weights_.distance_weight);
  settle(shared_.risk, weights_.risk_weight);
  settle(below_, below_share_);
  settle(above_, above_share_);
}

double BlendedBound::lower_bound(std::uint32_t dense) const {
  const double distance = shared_.distance.lower_bound(dense);
  const double risk = shared_.risk.lower_bound(dense);
  const double below = below_.lower_bound(dense);
  const double above = above_.lower_bound(dense);
  constexpr double kUnreachable = DestinationSearch::kUnreachable;
  if (distance == kUnreachable || risk == kUnreachable || below == kUnreachable || above == kUnreachable) {
    return kUnreachable;
  }
  const double separate = weights_.of(distance, risk);
  const double from_below = below_share_ * below + below_risk_ * risk;
  const double from_above = above_share_ * above + above_distance_ * distance;
  return std::max(separate, std::max(from_below, from_above));
}

double DestinationBounds::slope(int j) { return kRiskWeight * std::exp2(0.5 * j); }

DestinationSearch& DestinationBounds::by_slope(int j) {
  if (j == 0) return by_priority;
  if (slopes_.empty()) slopes_.resize(2 * kMostSlope + 1);
  std::unique_ptr<DestinationSearch>& search = slopes_[static_cast<std::size_t>(j + kMostSlope)];
  if (!search) search = std::make_unique<DestinationSearch>(graph_, risk_, weighted(1.0, slope(j)));
  if (search->target() != target()) search->start(target());
  return *search;
}

}  // namespace norvel
