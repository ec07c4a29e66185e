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
      bit_(static_cast<std::uint8_t>(1u << objective.slot)),
      stop_(stop) {
  if (target_place == Places::kNone) return;
  places_[target_place].to_target[objective_.slot] = 0.0;
  heap_.push_back(Entry{0.0, target_place});
}

void RemainingCost::settle_next() {
  std::pop_heap(heap_.begin(), heap_.end(), later<Entry, Entry>);
  const Entry entry = heap_.back();
  heap_.pop_back();
  Place& settling = places_[entry.place];
  if ((settling.settled & bit_) || entry.cost > settling.to_target[objective_.slot]) return;  // a stale entry
  settling.settled |= bit_;
  ++settled_count_;
  const std::uint32_t head = settling.dense;
  for (std::uint32_t slot = graph_.in_begin[head]; slot < graph_.in_begin[head + 1]; ++slot) {
    const IncomingEdge& edge = graph_.in_edges[slot];
    const double cost = entry.cost + objective_.of(edge);
    const std::uint32_t tail = places_.place_of(edge.from);
    Place& reached = places_[tail];
    if ((reached.settled & bit_) || !(cost < reached.to_target[objective_.slot])) continue;
    reached.to_target[objective_.slot] = cost;
    heap_.push_back(Entry{cost, tail});
    std::push_heap(heap_.begin(), heap_.end(), later<Entry, Entry>);
  }
}

}  // namespace norvel
