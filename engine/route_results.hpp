#pragma once

// Answers of the engine as the norvel package reads them: a list of route
// rows (`RouteRow`, or `RouteTotals` without paths), or a `Failure`.

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include <nanobind/nanobind.h>

#include "engine/engine_graph.hpp"
#include "graph/safe_route_request.hpp"

namespace norvel::engine {

namespace nb = nanobind;

// Why a request has no answer, as the package's table of failures
// (norvel/failures.py) names the kinds. An interruption by a signal is not
// one: the caller raises it.
enum class FailureKind : std::uint8_t { node_not_found, source_isolated, no_route, timeout, costs_unsupported };

// A failure: its kind, which end it concerns ("origin" or "destination"
// for node_not_found, "" otherwise) and, for a catchment of several
// places, the index of the place.
struct Failure {
  FailureKind kind;
  const char* role = "";
  std::uint32_t place = 0;
};

// One route: its type, nodes, coordinates as (lon, lat), totals, streets
// and the document indices of the edges it took in travel order
// (`route_edges`), the streets being those edges' names. Made with the
// interpreter's objects once, read by field.
struct RouteRow {
  nb::str type;
  nb::list nodes;
  nb::list coordinates;
  double distance_m;
  double risk;
  double time_min;
  double comfort;
  double familiarity;
  nb::list streets;
  nb::list edges;
};

// A route's totals alone, for callers that read no path.
struct TotalsRow {
  nb::str type;
  double distance_m;
  double risk;
  double time_min;
  double comfort;
  double familiarity;
};

// The answer of a request searched on `layer` (null: the document's
// risks): a list of `RouteRow`, or its `Failure`. A route's edges are
// found on the risks it was searched on.
// Edges the request avoided (`avoided`) are no route's.
nb::object answer_object(const EngineGraph& engine, const RiskLayer* layer,
                         const std::expected<std::vector<RouteRecord>, RouteError>& answer,
                         const AvoidedRows* avoided = nullptr);

// As `answer_object`, with a list of `TotalsRow` (bound as RouteTotals).
nb::object totals_object(const std::expected<std::vector<RouteRecord>, RouteError>& answer);

// A failure as the bound value.
nb::object failure_object(Failure failure);

// Indices (a route's edges) as a new list of int.
nb::list index_list(std::span<const std::uint32_t> indices);

// The street names along a node path, as a list of str.
nb::list street_list(const EngineGraph& engine, const std::vector<NodeId>& path);

}  // namespace norvel::engine
