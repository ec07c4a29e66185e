#include "engine/route_edges.hpp"

#include <bit>
#include <cstddef>

namespace norvel::engine {

namespace {

// Far more sums than any route through real parallel edges needs: each
// costs three additions, and a route whose choices are all taken in their
// first edge needs one per step.
constexpr std::uint64_t kChoiceBudget = 1u << 20;

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

bool same_totals(const PathCosts& a, const PathCosts& b) {
  return same_bits(a.distance_m, b.distance_m) && same_bits(a.risk, b.risk) &&
         same_bits(a.familiarity, b.familiarity);
}

}  // namespace

std::vector<std::uint32_t> route_edges(const RoadGraph& graph, std::span<const NodeId> path,
                                       const PathCosts& totals) {
  std::vector<std::uint32_t> edges;
  if (path.size() < 2) return edges;
  const std::size_t steps = path.size() - 1;
  // Per step, the row slots of the edges between its nodes, in row order:
  // slots[begin[i], begin[i + 1]).
  std::vector<std::uint32_t> slots;
  std::vector<std::uint32_t> begin;
  slots.reserve(steps);
  begin.reserve(steps + 1);
  bool any_choice = false;
  std::uint32_t from = graph.dense_of.find(path[0]);
  for (std::size_t i = 1; i <= steps; ++i) {
    const std::uint32_t to = graph.dense_of.find(path[i]);
    begin.push_back(static_cast<std::uint32_t>(slots.size()));
    if (from != IdIndex::kAbsent) {
      for (std::uint32_t at = graph.out_begin[from]; at < graph.out_begin[from + 1]; ++at) {
        if (graph.out_edges[at].to == to) slots.push_back(at);
      }
    }
    const std::size_t found = slots.size() - begin.back();
    if (found == 0) return {};  // no path of this graph
    any_choice = any_choice || found > 1;
    from = to;
  }
  begin.push_back(static_cast<std::uint32_t>(slots.size()));
  edges.reserve(steps);
  auto take = [&](auto slot_of_step) {
    for (std::size_t i = 0; i < steps; ++i) edges.push_back(graph.out_edges[slot_of_step(i)].edge_index);
    return edges;
  };
  auto first_slots = [&](std::size_t i) { return slots[begin[i]]; };
  if (!any_choice) return take(first_slots);

  // Depth first over the choices in row order, so the first match is the
  // least in edge index at its first difference. With finite, non-negative
  // costs a partial sum never decreases (rounding to nearest keeps
  // a + x >= a for x >= 0), so a prefix already above a total is given up.
  const bool monotone = graph.costs_bounded_below;
  std::vector<std::uint32_t> pick(steps, 0);
  std::vector<PathCosts> prefix(steps + 1);
  prefix[0] = PathCosts{0.0, 0.0, 0.0};
  std::size_t depth = 0;
  std::uint64_t budget = kChoiceBudget;
  for (;;) {
    if (depth == steps) {
      if (same_totals(prefix[steps], totals)) {
        return take([&](std::size_t i) { return slots[begin[i] + pick[i]]; });
      }
      --depth;
    } else {
      if (budget-- == 0) break;
      const SearchEdge& edge = graph.out_edges[slots[begin[depth] + pick[depth]]];
      const PathCosts& before = prefix[depth];
      PathCosts& after = prefix[depth + 1];
      after = PathCosts{before.distance_m + edge.distance_m, before.risk + edge.risk_score,
                        before.familiarity + edge.familiarity};
      if (!(monotone && (after.distance_m > totals.distance_m || after.risk > totals.risk))) {
        ++depth;
        continue;
      }
    }
    // The next choice: the deepest step with an edge still to try.
    while (++pick[depth] == begin[depth + 1] - begin[depth]) {
      pick[depth] = 0;
      if (depth == 0) return take(first_slots);
      --depth;
    }
  }
  return take(first_slots);
}

}  // namespace norvel::engine
