#include "graph/remaining_cost.hpp"

#include <algorithm>

namespace norvel {

namespace {

// A min-heap on cost; the order among equal costs changes no settled value.
bool later(const auto& x, const auto& y) { return x.cost > y.cost; }

}  // namespace

RemainingCost::RemainingCost(const RoadGraph& graph, Places& places, Objective objective,
                             std::uint32_t target_place, StopCheck* stop)
    : graph_(graph),
      places_(places),
      objective_(objective),
      stop_(stop) {
  if (target_place == Places::kNone) return;
  cover_places();
  cost_[target_place] = 0.0;
  heap_.push_back(Entry{0.0, target_place, places_[target_place].dense});
}

void RemainingCost::cover_places() {
  // Grows by half again at least, so that a search reaching new places
  // one by one resizes only now and then.
  const std::size_t size = std::max(places_.size(), cost_.size() + cost_.size() / 2 + 64);
  cost_.resize(size, kUnreachable);
  settled_.resize((size + 63) / 64, 0);
}

void RemainingCost::settle_next() {
  std::pop_heap(heap_.begin(), heap_.end(), later<Entry, Entry>);
  const Entry entry = heap_.back();
  heap_.pop_back();
  // A settle waits mostly on memory: fetch the next node's incoming row
  // while this one's edges are relaxed.
  if (!heap_.empty()) __builtin_prefetch(&graph_.in_edges[graph_.in_begin[heap_.front().dense]]);
  if (settled(entry.place) || entry.cost > cost_[entry.place]) return;  // a stale entry
  settled_[entry.place / 64] |= std::uint64_t{1} << (entry.place % 64);
  ++settled_count_;
  const std::uint32_t head = entry.dense;
  for (std::uint32_t slot = graph_.in_begin[head]; slot < graph_.in_begin[head + 1]; ++slot) {
    const IncomingEdge& edge = graph_.in_edges[slot];
    const double cost = entry.cost + objective_.of(edge);
    const std::uint32_t tail = places_.place_of(edge.from);
    if (tail >= cost_.size()) cover_places();
    if (settled(tail) || !(cost < cost_[tail])) continue;
    cost_[tail] = cost;
    heap_.push_back(Entry{cost, tail, edge.from});
    std::push_heap(heap_.begin(), heap_.end(), later<Entry, Entry>);
  }
}

}  // namespace norvel
