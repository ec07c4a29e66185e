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

std::vector<std::uint32_t> route_edges(const RoadGraph& graph, const EdgeRisk& risk, std::span<const NodeId> path,
                                       const PathCosts& totals) {
  std::vector<std::uint32_t> dense(path.size());
  for (std::size_t i = 0; i < path.size(); ++i) dense[i] = graph.dense_of.find(path[i]);
  return route_edges_dense(graph, risk, dense, totals);
}

std::vector<std::uint32_t> route_edges_dense(const RoadGraph& graph, const EdgeRisk& risk,
                                             std::span<const std::uint32_t> dense, const PathCosts& totals) {
  if (dense.size() < 2) return {};
  const std::size_t steps = dense.size() - 1;
  std::vector<std::uint32_t> edges(steps);
  // Most routes have no step between parallel edges: each step's one edge
  // is all there is to find, and nothing else is stored.
  bool any_choice = false;
  for (std::size_t i = 0; i < steps; ++i) {
    const std::uint32_t from = dense[i];
    if (from == IdIndex::kAbsent) return {};  // no path of this graph
    std::uint32_t found = 0;
    for (std::uint32_t at = graph.out_begin[from]; at < graph.out_begin[from + 1]; ++at) {
      if (graph.out_edges[at].to != dense[i + 1] || !risk.takes(at)) continue;
      if (found++ == 0) edges[i] = graph.out_edges[at].edge_index;
    }
    if (found == 0) return {};
    any_choice = any_choice || found > 1;
  }
  if (!any_choice) return edges;

  // Per step, the row slots of the edges between its nodes, in row order:
  // slots[begin[i], begin[i + 1]).
  std::vector<std::uint32_t> slots;
  std::vector<std::uint32_t> begin;
  slots.reserve(steps);
  begin.reserve(steps + 1);
  for (std::size_t i = 0; i < steps; ++i) {
    begin.push_back(static_cast<std::uint32_t>(slots.size()));
    for (std::uint32_t at = graph.out_begin[dense[i]]; at < graph.out_begin[dense[i] + 1]; ++at) {
      if (graph.out_edges[at].to == dense[i + 1] && risk.takes(at)) slots.push_back(at);
    }
  }
  begin.push_back(static_cast<std::uint32_t>(slots.size()));
  const std::vector<std::uint32_t> first_edges = edges;

  // Depth first over the choices in row order, so the first match is the
  // least in edge index at its first difference. With finite, non-negative
  // costs a partial sum never decreases (rounding to nearest keeps
  // a + x >= a for x >= 0), so a prefix already above a total is given up.
  const bool monotone = risk.facts().costs_bounded_below;
  std::vector<std::uint32_t> pick(steps, 0);
  std::vector<PathCosts> prefix(steps + 1);
  prefix[0] = PathCosts{0.0, 0.0, 0.0};
  std::size_t depth = 0;
  std::uint64_t budget = kChoiceBudget;
  for (;;) {
    if (depth == steps) {
      if (same_totals(prefix[steps], totals)) {
        for (std::size_t i = 0; i < steps; ++i) edges[i] = graph.out_edges[slots[begin[i] + pick[i]]].edge_index;
        return edges;
      }
      --depth;
    } else {
      if (budget-- == 0) break;
      const std::uint32_t slot = slots[begin[depth] + pick[depth]];
      const SearchEdge& edge = graph.out_edges[slot];
      const PathCosts& before = prefix[depth];
      PathCosts& after = prefix[depth + 1];
      after = PathCosts{before.distance_m + edge.distance_m, before.risk + risk.at(slot, edge),
                        before.familiarity + edge.familiarity};
      if (!(monotone && (after.distance_m > totals.distance_m || after.risk > totals.risk))) {
        ++depth;
        continue;
      }
    }
    // The next choice: the deepest step with an edge still to try.
    while (++pick[depth] == begin[depth + 1] - begin[depth]) {
      pick[depth] = 0;
      if (depth == 0) return first_edges;
      --depth;
    }
  }
  return first_edges;
}

}  // namespace norvel::engine
