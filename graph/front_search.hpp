#pragma once

#include <cstdint>
#include <optional>

#include "graph/edge_risk.hpp"
#include "graph/pareto_front.hpp"
#include "graph/road_graph.hpp"
#include "graph/search_types.hpp"
#include "graph/stop_poll.hpp"

namespace norvel {

// Every point of the exact (distance, risk) front from `source_dense` to
// `target_dense`, by distance ascending, each with the path the front order
// reaches it by first (graph/front_search.cpp says which), and its sums
// (familiarity too) added edge by edge from the source as every search adds
// them. Empty when no path reaches the target; none when `stop` said stop.
//
// The risks are `layer`'s, the document's when null; the edges in
// `avoided` (null: none) are never taken. Preconditions: the
// source is not the target, and the costs are bounded below
// (`CostFacts::costs_bounded_below`).
std::optional<ParetoFront> front_search(const RoadGraph& graph, std::uint32_t source_dense,
                                        std::uint32_t target_dense, const RiskLayer* layer,
                                        const AvoidedRows* avoided, StopCheck& stop, SearchReport& report);

}  // namespace norvel
