#pragma once

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <utility>

#include "graph/avoided_rows.hpp"
#include "graph/plane_metric.hpp"
#include "graph/road_graph.hpp"

namespace norvel {

// What the searches decide their ways of working by, of one choice of edge
// risks over a graph's rows: the document's own `risk_score`, or a risk
// layer's. Each member means what the `RoadGraph` member of that name says.
struct CostFacts {
  bool has_negative_cost = false;
  bool costs_bounded_below = false;
  bool distance_sums_exact = false;
  bool risk_sums_exact = false;
  bool parallel_edges_differ = false;
  double distance_per_plane_unit = 0.0;
  double risk_per_plane_unit = 0.0;
};

namespace cost_facts_detail {

// The exponent e of the lowest bit set in a finite double above 0:
// value = odd 2^e.
inline int lowest_bit_exponent(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const auto biased = static_cast<int>(bits >> 52 & 0x7ff);
  std::uint64_t significand = bits & ((std::uint64_t{1} << 52) - 1);
  if (biased != 0) significand |= std::uint64_t{1} << 52;
  return (biased == 0 ? 1 : biased) - 1075 + std::countr_zero(significand);
}

// Whether sums of costs whose lowest bits are at 2^lowest and whose rounded
// total is `total` are all exact (see RoadGraph::distance_sums_exact): the
// rounded total of fewer than 2^32 terms is within 2^-20 of the exact one.
inline bool sums_exact(double total, int lowest) {
  if (lowest == INT_MAX) return true;  // every cost is 0
  return total * (1.0 + 0x1p-19) <= std::ldexp(1.0, 53 + lowest);
}

// The least ratio of a cost to a norm, tracked as a fraction to spare a
// division per edge; a comparison that rounds the wrong way picks a ratio a
// few ulps too large, which the potential's own margin covers
// (`RemainingCost`).
struct LeastRatio {
  double cost = 1.0;
  double norm = 0.0;
  void see(double edge_cost, double edge_norm) {
    if (edge_cost * norm < cost * edge_norm) cost = edge_cost, norm = edge_norm;
  }
  double value() const { return norm > 0.0 ? cost / norm : 0.0; }
};

}  // namespace cost_facts_detail

// The facts of the graph's rows with the risk `risk_of(slot)` of each entry
// of the outgoing rows. Needs the rows, the incoming rows and the plane.
// `first_risk_of(slot)` gives the same risk, and is asked once per entry, in
// the order of the rows, before `risk_of` is asked of it: a caller may make
// the risk there (a layer gathers its row order so). The entries `avoided`
// holds are left out, so that the facts are, bit for bit, those of the
// document without their edges: the other entries are seen in the same
// order, and the sums run over them alone.
template <class RiskOfRow, class FirstRiskOfRow>
CostFacts cost_facts(const RoadGraph& graph, RiskOfRow risk_of, FirstRiskOfRow first_risk_of,
                     const AvoidedRows* avoided = nullptr) {
  using namespace cost_facts_detail;
  CostFacts facts;
  double total_distance = 0.0;
  double total_risk = 0.0;
  bool finite_non_negative = true;
  int lowest_distance_bit = INT_MAX;
  int lowest_risk_bit = INT_MAX;
  // One pass over the rows, entry by entry in their order (the rows of the
  // dense nodes in turn cover every entry, in ascending order). The least
  // ratios are wanted only when the costs are bounded below, which is known
  // after the pass: they are worked out all the same, and dropped then. They
  // see the entries in the order a pass of their own would, so they come
  // out the same.
  LeastRatio distance_ratio, risk_ratio;
  const std::size_t dense_count = graph.id_of.size();
  for (std::uint32_t from = 0; from < dense_count; ++from) {
    const PlanePoint at = graph.plane[from];
    for (std::uint32_t slot = graph.out_begin[from]; slot < graph.out_begin[from + 1]; ++slot) {
      if (!takes_row(avoided, slot)) continue;
      const SearchEdge& edge = graph.out_edges[slot];
      const double distance = edge.distance_m;
      const double risk = first_risk_of(slot);
      if (distance < 0.0 || risk < 0.0) facts.has_negative_cost = true;
      finite_non_negative =
          finite_non_negative && distance >= 0.0 && risk >= 0.0 && std::isfinite(distance) && std::isfinite(risk);
      if (distance > 0.0 && std::isfinite(distance)) {
        lowest_distance_bit = std::min(lowest_distance_bit, lowest_bit_exponent(distance));
      }
      if (risk > 0.0 && std::isfinite(risk)) lowest_risk_bit = std::min(lowest_risk_bit, lowest_bit_exponent(risk));
      total_distance += distance;
      total_risk += risk;
      const auto norm = static_cast<double>(plane_norm(at, graph.plane[edge.to]));
      distance_ratio.see(distance, norm);
      risk_ratio.see(risk, norm);
    }
  }
  // A path repeats no node, so its sums stay below twice these totals (a
  // label may close one cycle before it is dropped): far below overflow.
  constexpr double kFarFromOverflow = 0x1p1000;
  facts.costs_bounded_below =
      finite_non_negative && total_distance < kFarFromOverflow && total_risk < kFarFromOverflow;
  facts.distance_sums_exact = finite_non_negative && sums_exact(total_distance, lowest_distance_bit);
  facts.risk_sums_exact = finite_non_negative && sums_exact(total_risk, lowest_risk_bit);
  // Each incoming row lists its tails in ascending order, so parallel edges
  // are neighbours there, among the entries taken as among all.
  for (std::size_t head = 0; head < dense_count && !facts.parallel_edges_differ; ++head) {
    const IncomingEdge* previous = nullptr;
    for (std::uint32_t slot = graph.in_begin[head]; slot < graph.in_begin[head + 1]; ++slot) {
      const IncomingEdge& y = graph.in_edges[slot];
      if (!takes_row(avoided, y.out_row)) continue;
      const IncomingEdge* x = std::exchange(previous, &y);
      if (x != nullptr && x->from == y.from &&
          !(x->distance_m == y.distance_m && risk_of(x->out_row) == risk_of(y.out_row))) {
        facts.parallel_edges_differ = true;
      }
    }
  }
  if (!facts.costs_bounded_below) return facts;
  facts.distance_per_plane_unit = distance_ratio.value();
  facts.risk_per_plane_unit = risk_ratio.value();
  return facts;
}

template <class RiskOfRow>
CostFacts cost_facts(const RoadGraph& graph, RiskOfRow risk_of) {
  return cost_facts(graph, risk_of, risk_of);
}

// The facts the graph holds of its own risks.
inline CostFacts document_cost_facts(const RoadGraph& graph) {
  return CostFacts{graph.has_negative_cost,     graph.costs_bounded_below,   graph.distance_sums_exact,
                   graph.risk_sums_exact,       graph.parallel_edges_differ, graph.distance_per_plane_unit,
                   graph.risk_per_plane_unit};
}

}  // namespace norvel
