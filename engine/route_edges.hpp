#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/edge_risk.hpp"
#include "graph/node_id.hpp"
#include "graph/pareto_front.hpp"
#include "graph/road_graph.hpp"

namespace norvel::engine {

// The edges a route took, as their indices in the document, in travel order:
// one per step of `path` (empty for a path of one node).
//
// The searches record a path as its nodes, and between two nodes a document
// may hold several edges. Where it does, the edges are the ones whose costs,
// summed from 0.0 in travel order as every search sums them, give the
// route's `totals` bit for bit (distance, risk and familiarity alike), the
// risks read as the route's search read them (`risk`, a layer's or the
// document's): the
// route's own sums were made so over the edges it took, so that choice
// exists. Another choice can match only where its edges' costs are equal
// to the taken ones', or where different costs round to the very same three
// sums; then nothing the route reports tells the choices apart, and the one
// with the least edge index at the first step where they differ is taken
// (document order, as the search's rows hold them). Without a step between
// parallel edges nothing is summed at all. Should no choice reproduce the
// totals (only a caller's mistake can do that), or the walk over choices
// grow beyond a budget no real document comes near, each step takes the
// first of its edges. An edge the route's search avoided (`risk.takes`) is
// no choice: the edges are those of the document without it.
std::vector<std::uint32_t> route_edges(const RoadGraph& graph, const EdgeRisk& risk, std::span<const NodeId> path,
                                       const PathCosts& totals);

// The same for a path given as dense indices (IdIndex::kAbsent for an id
// that is no node), for a caller that has looked them up already.
std::vector<std::uint32_t> route_edges_dense(const RoadGraph& graph, const EdgeRisk& risk,
                                             std::span<const std::uint32_t> dense, const PathCosts& totals);

}  // namespace norvel::engine
