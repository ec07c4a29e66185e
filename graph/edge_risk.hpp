#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "graph/avoided_rows.hpp"
#include "graph/cost_facts.hpp"
#include "graph/road_graph.hpp"

namespace norvel {

// Another risk for every edge of a graph than the document's `risk_score`
// (at night, for a child, from incidents), searched on the same nodes,
// edges, lengths and coordinates. Its risks are kept in the order of the
// outgoing rows, so that a search reads them in the order it reads the rows;
// the incoming rows find theirs through `IncomingEdge::out_row`. A layer
// costs its 8 bytes per edge and nothing else: no row is copied.
struct RiskLayer {
  std::vector<double> by_row;
  CostFacts facts;
};

// The layer whose risk of edge i (document order) is `by_edge[i]`; one value
// per edge, which the caller has checked.
RiskLayer make_risk_layer(const RoadGraph& graph, std::span<const double> by_edge);
// The same, taking the values over: where the document lists every edge in
// the order of the rows (grouped by tail, as a writer of rows does), the
// layer keeps them as they are, with no second array.
RiskLayer make_risk_layer(const RoadGraph& graph, std::vector<double>&& by_edge);

// The layer's risks in document order.
std::vector<double> risks_by_edge(const RoadGraph& graph, const RiskLayer& layer);

// How a search reads an edge's risk: from the rows (the document's), or from
// a layer. Every answer on a layer is bit for bit the one on a graph whose
// document has the layer's risks as `risk_score`: the searches read nothing
// else of the risks than these values and the facts.
//
// It also carries the edges a request avoids (null: none), which every
// search asks of an entry (`takes`, or the `takes` of the loop variant
// `with_risks` picks) before it reads anything else of it.
class EdgeRisk {
 public:
  explicit EdgeRisk(const RoadGraph& graph, const RiskLayer* layer = nullptr, const AvoidedRows* avoided = nullptr)
      : by_row_(layer == nullptr ? nullptr : layer->by_row.data()),
        rows_(graph.out_edges.data()),
        avoided_(avoided),
        facts_(facts_without(graph, layer, avoided)) {}

  // Whether a search may take the entry `row` of the outgoing rows.
  bool takes(std::uint32_t row) const { return takes_row(avoided_, row); }
  bool takes(const IncomingEdge& edge) const { return takes_row(avoided_, edge.out_row); }
  const AvoidedRows* avoided() const { return avoided_; }

  // `edge` is an entry of the graph's outgoing rows.
  double of(const SearchEdge& edge) const { return by_row_ == nullptr ? edge.risk_score : by_row_[&edge - rows_]; }
  double of(const IncomingEdge& edge) const {
    return by_row_ == nullptr ? edge.risk_score : by_row_[edge.out_row];
  }
  // The same, of the entry at `slot` of the outgoing rows, as loops over a
  // row read it.
  double at(std::uint32_t slot, const SearchEdge& edge) const {
    return by_row_ == nullptr ? edge.risk_score : by_row_[slot];
  }
  const CostFacts& facts() const { return facts_; }
  // Whether the risks are the document's.
  bool document() const { return by_row_ == nullptr; }
  const double* layer_risks() const { return by_row_; }

 private:
  // The facts of the graph without the avoided edges. The graph's own
  // (or the layer's), found once over every edge, serve wherever the costs
  // are bounded below, since every fact the searches read then stays true
  // of fewer edges, in the direction the searches rely on:
  // - bounded below, with no negative cost: so is every subset;
  // - sums exact: the total only falls and the lowest bit only rises;
  // - no parallel edges that differ: none among fewer either (where some
  //   differ, the searches only take more care);
  // - the least cost per plane unit: a least over more edges is no greater,
  //   so the potential it makes still bounds every path from below.
  // None of these decides a tie: they decide how a request is answered,
  // and each way gives the literal search's answer. Where the costs are
  // not bounded below, the literal search's cycle rule and a catchment's
  // refusal read `has_negative_cost` and `costs_bounded_below` themselves,
  // which fewer edges may change: the facts are found again, over the
  // entries taken, as the document without the others would have them.
  static CostFacts facts_without(const RoadGraph& graph, const RiskLayer* layer, const AvoidedRows* avoided) {
    const CostFacts& every_edge = layer == nullptr ? document_cost_facts(graph) : layer->facts;
    if (avoided == nullptr || every_edge.costs_bounded_below) return every_edge;
    auto risk_of = [&](std::size_t slot) {
      return layer == nullptr ? graph.out_edges[slot].risk_score : layer->by_row[slot];
    };
    return cost_facts(graph, risk_of, risk_of, avoided);
  }

  const double* by_row_;
  const SearchEdge* rows_;
  const AvoidedRows* avoided_;
  CostFacts facts_;
};

// Whether the node `dense` has an outgoing edge a search may take: a
// request starts along one, so where none is left the node is isolated, as
// in the document without the avoided edges.
inline bool has_edge_out(const RoadGraph& graph, const AvoidedRows* avoided, std::uint32_t dense) {
  for (std::uint32_t slot = graph.out_begin[dense]; slot < graph.out_begin[dense + 1]; ++slot) {
    if (takes_row(avoided, slot)) return true;
  }
  return false;
}

// The ways of reading risks and of skipping avoided edges, each without a
// test per edge that could be made once: a loop over edges is written once,
// and `with_risks` picks its variant per loop. A request that avoids nothing
// runs a loop with no avoid test in it at all (`takes` is a constant), so
// that only the requests that avoid pay for it. Those share one variant,
// which asks the request's EdgeRisk at every edge.
//
// `with_risks` is flattened: everything its loops call is inlined into each
// variant. Left to itself, the compiler stops inlining in a translation unit
// that holds three copies of its loops, and the calls it leaves in them cost
// the requests more than the avoid test the copies save (about 8 % more
// instructions a route).
//
// `fetch_incoming(graph, head)` asks ahead for the risks of the edges into
// `head`: a layer's are scattered over the outgoing order, one cache line
// each, and asked for together their waits overlap rather than follow one
// another through the loop (the document's sit in the edges themselves).
inline void fetch_incoming_risks(const double* by_row, const RoadGraph& graph, std::uint32_t head) {
  for (std::uint32_t slot = graph.in_begin[head]; slot < graph.in_begin[head + 1]; ++slot) {
    __builtin_prefetch(by_row + graph.in_edges[slot].out_row);
  }
}
struct DocumentRisks {
  double at(std::uint32_t, const SearchEdge& edge) const { return edge.risk_score; }
  double of(const IncomingEdge& edge) const { return edge.risk_score; }
  void fetch_incoming(const RoadGraph&, std::uint32_t) const {}
  bool takes(std::uint32_t) const { return true; }
  bool takes(const IncomingEdge&) const { return true; }
};
struct LayerRisks {
  const double* by_row;
  double at(std::uint32_t slot, const SearchEdge&) const { return by_row[slot]; }
  double of(const IncomingEdge& edge) const { return by_row[edge.out_row]; }
  void fetch_incoming(const RoadGraph& graph, std::uint32_t head) const { fetch_incoming_risks(by_row, graph, head); }
  bool takes(std::uint32_t) const { return true; }
  bool takes(const IncomingEdge&) const { return true; }
};
// The avoiding variant keeps the bits and the layer's risks (null: the
// document's) in itself rather than reaching them through the EdgeRisk: the
// loops store to their costs and heaps, which the compiler must assume may
// alias the EdgeRisk and the bit set, and it would load both pointers again
// at every edge.
struct AvoidingRisks {
  const std::uint64_t* avoided_words;
  const double* by_row;
  double at(std::uint32_t slot, const SearchEdge& edge) const {
    return by_row == nullptr ? edge.risk_score : by_row[slot];
  }
  double of(const IncomingEdge& edge) const { return by_row == nullptr ? edge.risk_score : by_row[edge.out_row]; }
  void fetch_incoming(const RoadGraph& graph, std::uint32_t head) const {
    if (by_row != nullptr) fetch_incoming_risks(by_row, graph, head);
  }
  bool takes(std::uint32_t row) const { return !AvoidedRows::avoided_in(avoided_words, row); }
  bool takes(const IncomingEdge& edge) const { return takes(edge.out_row); }
};

// `body(risks)` with the risks `risk` reads and the entries it takes, as one
// of the above.
template <class Body>
[[gnu::flatten]] decltype(auto) with_risks(const EdgeRisk& risk, Body&& body) {
  if (risk.avoided() != nullptr) return body(AvoidingRisks{risk.avoided()->words(), risk.layer_risks()});
  if (risk.document()) return body(DocumentRisks{});
  return body(LayerRisks{risk.layer_risks()});
}

}  // namespace norvel
