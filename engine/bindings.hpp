#pragma once

// The parts of the norvel package's private module; each file binds one
// concern of the engine's graph onto the one Python class.

#include <nanobind/nanobind.h>

#include "engine/engine_graph.hpp"

namespace norvel::engine {

namespace nb = nanobind;
using GraphClass = nb::class_<EngineGraph>;

void bind_loading(GraphClass& graph_class);  // Graph.load
void bind_arrays(GraphClass& graph_class);   // the graph's arrays as read-only numpy views
void bind_routes(nb::module_& module, GraphClass& graph_class);  // requests, without the interpreter lock
void bind_route_many(GraphClass& graph_class);  // many requests at once, on threads of their own
void bind_nearest(nb::module_& module);  // the nearest-node index
void bind_catchments(GraphClass& graph_class);  // every walk to or from one place, without the lock
void bind_risk_layers(GraphClass& graph_class);  // risk layers: added, listed, read
void bind_layer_rules(nb::module_& module);      // what a risk layer may be called
void bind_fronts(GraphClass& graph_class);  // every point of a request's front, without the lock
void bind_snapshots(nb::module_& module, GraphClass& graph_class);  // snapshot files: Graph.save, Graph.open_snapshot, SNAPSHOT_MAGIC
void bind_avoided_edges(GraphClass& graph_class);  // Graph.listed_edges: a list of ints read as edge indices
void bind_walk_joins(nb::module_& module);  // the front of walks through stops from their legs' fronts
void bind_values(nb::module_& module);  // what requests answer: RouteRow, RouteTotals, Failure, FailureKind, WALKING_SPEED_M_PER_MIN

}  // namespace norvel::engine
