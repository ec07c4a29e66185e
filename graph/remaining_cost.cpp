#include "graph/remaining_cost.hpp"

#include <algorithm>

namespace norvel {

namespace {

// A min-heap on cost; the order among equal costs changes no settled value.
bool later(const auto& x, const auto& y) { return x.cost > y.cost; }

}  // namespace

RemainingCost::RemainingCost(const RoadGraph& graph, Places& places, Objective objective,
                             std::uint32_t target_place)
    : graph_(graph),
      places_(places),
      index_(static_cast<unsigned>(objective)),
      bit_(static_cast<std::uint8_t>(1u << static_cast<unsigned>(objective))) {
  if (target_place == Places::kNone) return;
  places_[target_place].to_target[index_] = 0.0;
  heap_.push_back(Entry{0.0, target_place});
}

void RemainingCost::settle_next() {
  std::pop_heap(heap_.begin(), heap_.end(), later<Entry, Entry>);
  const Entry entry = heap_.back();
  heap_.pop_back();
  Place& settling = places_[entry.place];
  if ((settling.settled & bit_) || entry.cost > settling.to_target[index_]) return;  // a stale entry
  settling.settled |= bit_;
  ++settled_count_;
  const std::uint32_t head = settling.dense;
  for (std::uint32_t slot = graph_.in_begin[head]; slot < graph_.in_begin[head + 1]; ++slot) {
    const IncomingEdge& edge = graph_.in_edges[slot];
    const double cost = entry.cost + (index_ == 0 ? edge.distance_m : edge.risk_score);
    const std::uint32_t tail = places_.place_of(edge.from);
    Place& reached = places_[tail];
    if ((reached.settled & bit_) || !(cost < reached.to_target[index_])) continue;
    reached.to_target[index_] = cost;
    heap_.push_back(Entry{cost, tail});
    std::push_heap(heap_.begin(), heap_.end(), later<Entry, Entry>);
  }
}

}  // namespace norvel
