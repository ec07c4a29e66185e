#include "graph/edge_risk.hpp"

namespace norvel {

RiskLayer make_risk_layer(const RoadGraph& graph, std::span<const double> by_edge) {
  RiskLayer layer;
  layer.by_row.resize(graph.out_edges.size());
  // The rows' order is made on the facts' own pass over the rows.
  layer.facts = cost_facts(
      graph, [&](std::size_t slot) { return layer.by_row[slot]; },
      [&](std::size_t slot) { return layer.by_row[slot] = by_edge[graph.out_edges[slot].edge_index]; });
  return layer;
}

RiskLayer make_risk_layer(const RoadGraph& graph, std::vector<double>&& by_edge) {
  RiskLayer layer;
  // The facts read the values where they are, and their pass over the rows
  // tells whether every row entry is the edge of its own index.
  bool in_row_order = true;
  auto risk_of = [&](std::size_t slot) { return by_edge[graph.out_edges[slot].edge_index]; };
  layer.facts = cost_facts(graph, risk_of, [&](std::size_t slot) {
    in_row_order = in_row_order && graph.out_edges[slot].edge_index == slot;
    return risk_of(slot);
  });
  if (in_row_order) {
    layer.by_row = std::move(by_edge);
  } else {
    layer.by_row.resize(graph.out_edges.size());
    for (std::size_t slot = 0; slot < layer.by_row.size(); ++slot) layer.by_row[slot] = risk_of(slot);
    by_edge = std::vector<double>();
  }
  return layer;
}

std::vector<double> risks_by_edge(const RoadGraph& graph, const RiskLayer& layer) {
  std::vector<double> by_edge(graph.out_edges.size());
  for (std::size_t slot = 0; slot < graph.out_edges.size(); ++slot) {
    by_edge[graph.out_edges[slot].edge_index] = layer.by_row[slot];
  }
  return by_edge;
}

}  // namespace norvel
