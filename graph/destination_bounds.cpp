#include "graph/destination_bounds.hpp"

#include <algorithm>

#include "graph/heuristic.hpp"
#include "graph/quad_heap.hpp"

namespace norvel {

namespace {

// A min-heap on cost; the order among equal costs changes no settled value.
constexpr auto sooner = [](const auto& x, const auto& y) { return x.key < y.key; };

// Dense indices, which also number the ids met only at an edge's end.
std::size_t dense_count(const RoadGraph& graph) { return graph.in_begin.empty() ? 0 : graph.in_begin.size() - 1; }

}  // namespace

DestinationSearch::DestinationSearch(const RoadGraph& graph, Objective objective)
    : graph_(graph),
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
  for (std::uint32_t slot = graph_.in_begin[entry.dense]; slot < graph_.in_begin[entry.dense + 1]; ++slot) {
    const IncomingEdge& edge = graph_.in_edges[slot];
    const double cost = settled_cost + objective_.of(edge);
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
}

DestinationBounds::DestinationBounds(const RoadGraph& graph)
    : distance(graph, kDistance), risk(graph, kRisk), by_priority(graph, weighted(1.0, kRiskWeight)), graph_(graph) {}

void DestinationBounds::start(std::uint32_t target_dense) {
  for (DestinationSearch* search : {&distance, &risk, &by_priority}) search->start(target_dense);
}

DestinationSearch* DestinationBounds::search_for(const Objective& objective) {
  for (DestinationSearch* search : {&distance, &risk, &by_priority}) {
    const Objective& own = search->objective();
    if (own.distance_weight == objective.distance_weight && own.risk_weight == objective.risk_weight) return search;
  }
  return nullptr;
}

// Why `BlendedBound` bounds a d + b r from below, as tightly as the other
// bounds of a walk need.
//
// For reals a, b >= 0 and any path from a node, with sums d and r and
// p = d + 500 r: if b >= 500 a, a d + b r = a p + (b - 500 a) r, else
// a d + b r = (b / 500) p + (a - b / 500) d, and in either case
// a d + b r >= a D + b R as well, D, R and P being the least sums of the
// shared searches (each a lower bound of d, r and p up to the rounding that
// `kBoundMargin` and `kWeightedMargin` describe). The shares are computed
// in floating point: each is within a few units of the last place of b or
// of a, so each product errs by a few ulps of a term no larger than a d +
// b r, and the bound by some 2^-50 of it in all, far inside the 2^-16 of
// `kWeightedMargin`, which the walks take off every weighted sum with a
// bound. An unsettled node reads each search's radius instead, a lower
// bound still; a node that one search cannot reach has no path at all.

BlendedBound::BlendedBound(DestinationBounds& shared, double distance_weight, double risk_weight, StopCheck* stop)
    : shared_(shared), distance_weight_(distance_weight), risk_weight_(risk_weight), stop_(stop) {
  const double above = risk_weight - kRiskWeight * distance_weight;
  if (above >= 0.0) {
    by_priority_share_ = distance_weight;
    distance_share_ = 0.0;
    risk_share_ = above;
  } else {
    by_priority_share_ = risk_weight / kRiskWeight;
    distance_share_ = std::max(0.0, distance_weight - by_priority_share_);
    risk_share_ = 0.0;
  }
}

void BlendedBound::settle_until(std::uint32_t dense, double enough) {
  // A search whose radius, weighed by its share alone, exceeds `enough` has
  // said enough: the bound is the larger of two sums of such terms.
  auto settle = [&](DestinationSearch& search, double share) {
    if (share > 0.0) search.settle_until(dense, enough / share, stop_);
  };
  settle(shared_.distance, distance_weight_);
  settle(shared_.risk, risk_weight_);
  settle(shared_.by_priority, by_priority_share_);
}

double BlendedBound::lower_bound(std::uint32_t dense) const {
  const double distance = shared_.distance.lower_bound(dense);
  const double risk = shared_.risk.lower_bound(dense);
  const double priority = shared_.by_priority.lower_bound(dense);
  if (distance == DestinationSearch::kUnreachable || risk == DestinationSearch::kUnreachable ||
      priority == DestinationSearch::kUnreachable) {
    return DestinationSearch::kUnreachable;
  }
  const double separate = distance_weight_ * distance + risk_weight_ * risk;
  const double blended = (by_priority_share_ * priority + distance_share_ * distance) + risk_share_ * risk;
  return std::max(separate, blended);
}

}  // namespace norvel
