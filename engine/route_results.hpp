#pragma once

// Answers of the engine as the norvel package reads them: a list of route
// rows, or a failure as its (kind, role).

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include <nanobind/nanobind.h>

#include "engine/engine_graph.hpp"
#include "graph/safe_route_request.hpp"

namespace norvel::engine {

namespace nb = nanobind;

// (type, nodes, coordinates as (lon, lat), distance_m, risk, time_min,
// comfort, familiarity, streets, edges) per route, `edges` being the
// document indices of the edges it took in travel order (`route_edges`) and
// `streets` their names; or ("node_not_found", "origin"
// | "destination"), ("source_isolated", ""), ("no_route", ""), ("timeout",
// "") for a failure. An interruption by a signal is the caller's to raise.
nb::object answer_object(const EngineGraph& engine,
                         const std::expected<std::vector<RouteRecord>, RouteError>& answer);

// As `answer_object`, with a route's totals alone: (type, distance_m, risk,
// time_min, comfort, familiarity), for callers that read no path.
nb::object totals_object(const std::expected<std::vector<RouteRecord>, RouteError>& answer);

// Indices (a route's edges) as a new list of int.
nb::list index_list(std::span<const std::uint32_t> indices);

// The street names along a node path, as a list of str.
nb::list street_list(const EngineGraph& engine, const std::vector<NodeId>& path);

}  // namespace norvel::engine
