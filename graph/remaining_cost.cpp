#include "graph/remaining_cost.hpp"

#include <algorithm>
#include <cmath>

#include "graph/quad_heap.hpp"

// Why the bounds of a search with a goal are lower bounds.
//
// Let w be the costs the search adds per edge, E(v) the least exact sum of
// w over the paths from v to the target, and P(v) = s |v g|, the potential:
// s times the plane norm between v and the goal g. s has at most 16
// significant bits and the norm is an integer below 2^37, so P is exact,
// and s |a b| <= w(a -> b) on every edge (`potential_scale`); the norm's
// triangle inequality, which holds exactly, gives P(b) <= P(a) + w(a -> b).
// With u = 2^-53, a sum of two non-negative numbers rounds by a factor
// within [1 - u, 1 + u].
//
// Claim: when m nodes have been settled with keys no greater than T, each
// settled y has D(y) <= (1 + u)^(4m) E(y) + 4 u m T. Take y as it is
// settled, the key fl(D(y) + P(y)) the least on the heap, and a path of
// least exact sum from y; let x be the last node on it not yet settled and
// z the next one (settled, so the claim holds for it with one node fewer).
// x's key, on the heap, is at most fl(fl(D(z) + w(x z)) + P(x)), and P(x)
// is at most P(y) plus the path's costs from y to x. Putting these
// together, D(y) + P(y) <= (1 + 3u) ((1 + u)^(4m - 3) E(y) + P(y) + (1 + u)
// 4 u (m - 1) T), and P(y) <= T (1 + u) as costs are not negative: the
// claim follows. An unsettled v has a path whose last unsettled node has a
// key at least the least key K on the heap; the same steps give
// fl(K - P(v)) <= (1 + u)^(4m + 3) E(v) + 2 u P(v) + (1 + 3u) 4 u m T.
//
// `slack` takes (m + 4) 2^-50 (T + P(v)) off, which covers the absolute
// terms. What is left is E times (1 + u)^(4m + 3), below 1 + 2^-19 for m
// below 2^32: a bound exceeds the least backward sum H (itself within
// 2^-21 of E) by less than 2^-18 of it, and the margins callers leave
// (2^-17 of the whole, where 2^-20 is what the forward sums need) still
// hold. The slack is of the order of 2^-30 of the costs: it costs no
// pruning worth the name.

namespace norvel {

namespace {

// A min-heap on key; the order among equal keys changes no settled value.
constexpr auto sooner = [](const auto& x, const auto& y) { return x.key < y.key; };

// The scale of the potential for an objective: the weighted least costs
// per plane unit, shrunk by 2^-20 to cover their rounding (and a least
// ratio picked a few ulps too large) and cut to 16 significant bits, so
// that its product with any norm is exact. 0 where the objective weighs
// anything negative or not finite: then there is no goal.
double potential_scale(const EdgeRisk& risk, const Objective& objective) {
  const double a = objective.distance_weight;
  const double b = objective.risk_weight;
  if (!(a >= 0.0 && b >= 0.0 && std::isfinite(a) && std::isfinite(b))) return 0.0;
  const double scale = (a * risk.facts().distance_per_plane_unit + b * risk.facts().risk_per_plane_unit) * (1.0 - 0x1p-20);
  if (!(scale > 0.0 && std::isfinite(scale))) return 0.0;
  int exponent = 0;
  const double mantissa = std::frexp(scale, &exponent);
  return std::ldexp(std::floor(std::ldexp(mantissa, 16)), exponent - 16);
}

}  // namespace

RemainingCost::RemainingCost(const RoadGraph& graph, const EdgeRisk& risk, Places& places, Objective objective,
                             std::uint32_t target_place, StopCheck* stop, std::uint32_t goal_dense)
    : graph_(graph),
      risk_(risk),
      places_(places),
      objective_(objective),
      stop_(stop) {
  if (target_place == Places::kNone) return;
  if (goal_dense != kNoGoal && goal_dense < graph.plane.size()) {
    scale_ = potential_scale(risk_, objective);
    goal_ = graph.plane[goal_dense];
  }
  cover_places();
  cost_[target_place] = 0.0;
  const std::uint32_t dense = places_[target_place].dense;
  heap_.push_back(Entry{scale_ == 0.0 ? 0.0 : potential(dense), target_place, dense});
}

RemainingCost::RemainingCost(const RoadGraph& graph, Places& places, DestinationSearch& shared, StopCheck* stop)
    : graph_(graph),
      risk_(shared.edge_risk()),
      places_(places),
      objective_(shared.objective()),
      settled_count_(shared.settled_count()),
      stop_(stop),
      shared_(&shared) {}

void RemainingCost::cover_places() {
  // Grows by half again at least, so that a search reaching new places
  // one by one resizes only now and then.
  const std::size_t size = std::max(places_.size(), cost_.size() + cost_.size() / 2 + 64);
  cost_.resize(size, kUnreachable);
  settled_.resize((size + 63) / 64, 0);
}

void RemainingCost::settle_first() {
  const Entry entry = quad_heap_pop(heap_, sooner);
  // A settle waits mostly on memory: fetch the next node's incoming row
  // while this one's edges are relaxed. An empty row may begin past the
  // last edge, so it is addressed without indexing the vector.
  if (!heap_.empty()) __builtin_prefetch(graph_.in_edges.data() + graph_.in_begin[heap_.front().dense]);
  // An entry left behind by a later, cheaper one: that one came first (its
  // key is no greater), so the place is settled already.
  if (own_settled(entry.place)) return;
  settled_[entry.place / 64] |= std::uint64_t{1} << (entry.place % 64);
  ++settled_count_;
  top_key_ = std::max(top_key_, entry.key);
  const double settled_cost = cost_[entry.place];
  const std::uint32_t head = entry.dense;
  // What the loop reads of the graph and the objective, in locals: the
  // stores to the costs and the heap could alias members, which the
  // compiler would then load again at every edge.
  const IncomingEdge* const edges = graph_.in_edges.data();
  const std::uint32_t end = graph_.in_begin[head + 1];
  const Objective objective = objective_;
  const bool goal = scale_ != 0.0;
  with_risks(risk_, [&](auto risks) {
    risks.fetch_incoming(graph_, head);
    for (std::uint32_t slot = graph_.in_begin[head]; slot < end; ++slot) {
      const IncomingEdge& edge = edges[slot];
      if (!risks.takes(edge)) continue;
      const double cost = settled_cost + objective.of(edge.distance_m, risks.of(edge));
      const std::uint32_t tail = places_.place_of(edge.from);
      if (tail >= cost_.size()) cover_places();
      if (own_settled(tail) || !(cost < cost_[tail])) continue;
      cost_[tail] = cost;
      quad_heap_push(heap_, Entry{goal ? cost + potential(edge.from) : cost, tail, edge.from}, sooner);
    }
  });
}

}  // namespace norvel
