// norvel._engine: the norvel package's own binding of the route engine. It
// reads a graph document once, hands the package the engine's arrays as
// read-only numpy views, and answers requests with the interpreter lock
// released, reporting failures as values with their kind. The public
// norvel_core module binds the same C++ separately and stays as it is.

#include "engine/bindings.hpp"

NB_MODULE(_engine, module) {
  using namespace norvel::engine;
  module.doc() = "The route engine of the norvel package (private: use norvel.Router).";
  GraphClass graph_class(module, "Graph",
                         "A road graph loaded by the engine, immutable; build one with Graph.load.");
  bind_values(module);
  bind_loading(graph_class);
  bind_arrays(graph_class);
  bind_routes(module, graph_class);
  bind_route_many(graph_class);
  bind_nearest(module);
  bind_catchments(graph_class);
  bind_risk_layers(graph_class);
  bind_layer_rules(module);
  bind_fronts(graph_class);
  bind_snapshots(module, graph_class);
  bind_walk_joins(module);
  bind_avoided_edges(graph_class);
}
