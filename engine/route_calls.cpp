#include <optional>
#include <vector>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "engine/avoided_edges.hpp"
#include "engine/bindings.hpp"
#include "engine/request_stop.hpp"
#include "engine/route_edges.hpp"
#include "engine/route_results.hpp"
#include "graph/safe_route_request.hpp"

namespace norvel::engine {

namespace {

nb::object route(const EngineGraph& engine, NodeId source, NodeId target, double eps,
                 std::optional<double> timeout_s, const std::string& risk, const std::optional<EdgeIndices>& avoid) {
  const std::shared_ptr<const NamedLayer> layer = requested_layer(engine, risk);
  const RequestAvoided avoided = avoided_rows(engine, avoid);
  RequestStop stop(timeout_s);
  std::expected<std::vector<RouteRecord>, RouteError> answer;
  {
    nb::gil_scoped_release unlocked;
    answer = compute_safe_routes(engine.graph, source, target, eps,
                                 SearchOptions{.stop = stop.poll(), .risk_layer = layer_of(layer),
                                               .avoided = avoided_of(avoided)});
  }
  stop.rethrow();
  return answer_object(engine, layer_of(layer), answer, avoided_of(avoided));
}

nb::list edges_of_route(const EngineGraph& engine, const std::vector<NodeId>& nodes, double distance_m,
                        double risk, double familiarity) {
  // Routes of norvel_core, which knows no layers: the document's risks.
  return index_list(route_edges(engine.graph, EdgeRisk(engine.graph), nodes, PathCosts{distance_m, risk, familiarity}));
}

}  // namespace

void bind_routes(nb::module_& module, GraphClass& graph_class) {
  remember_main_thread();
  (void)module;
  graph_class.def("route", &route, nb::arg("source"), nb::arg("target"), nb::arg("eps"),
                  nb::arg("timeout_s") = nb::none(), nb::arg("risk") = "default", nb::arg("avoid") = nb::none(),
                  "route(source, target, eps, timeout_s=None, risk='default', avoid=None)\n"
                  "The routes between two node ids, searched without the interpreter lock, bit for bit\n"
                  "those of norvel_core.compute_safe_routes. A list of one to three RouteRow (type, nodes,\n"
                  "coordinates as (lon, lat), distance_m, risk, time_min, comfort, familiarity, streets, edges),\n"
                  "or a Failure: node_not_found (role 'origin' | 'destination'), source_isolated, no_route,\n"
                  "or timeout once timeout_s seconds have passed. On the main thread, Ctrl-C raises\n"
                  "KeyboardInterrupt from the request.\n"
                  "`risk` names the risk layer searched on: 'default' is the document's risk_score.\n"
                  "`avoid` (uint32 array of document edge indices) names edges the request must not take:\n"
                  "the answer is, bit for bit, the one on the document without them.");
  graph_class.def("route_edges", &edges_of_route, nb::arg("nodes"), nb::arg("distance_m"), nb::arg("risk"),
                  nb::arg("familiarity"),
                  "route_edges(nodes, distance_m, risk, familiarity)\n"
                  "The document indices of the edges a route of these nodes and totals took, in travel\n"
                  "order, as a route's row gives them; [] when two of the nodes have no edge between them.");
  graph_class.def("streets", &street_list, nb::arg("nodes"),
                  "streets(nodes)\n"
                  "The street names along a node path, a name once for each stretch; [] without names.");
}

}  // namespace norvel::engine
