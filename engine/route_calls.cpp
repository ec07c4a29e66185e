#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/vector.h>

#include "engine/bindings.hpp"
#include "engine/path_streets.hpp"
#include "engine/request_stop.hpp"
#include "graph/safe_route_request.hpp"

namespace norvel::engine {

namespace {

nb::object id_object(NodeId id) { return nb::steal(PyLong_FromUnsignedLongLong(id)); }

nb::list streets(const EngineGraph& engine, const std::vector<NodeId>& path);

nb::tuple route_row(const EngineGraph& engine, const RouteRecord& route) {
  const RoadGraph& graph = engine.graph;
  nb::list nodes;
  nb::list coordinates;
  for (NodeId id : route.path) {
    nodes.append(id_object(id));
    const std::uint32_t dense = graph.dense_of.find(id);
    coordinates.append(nb::make_tuple(graph.lon[dense], graph.lat[dense]));
  }
  return nb::make_tuple(nb::str(route.route_type.data(), route.route_type.size()), nodes, coordinates,
                        route.total_distance_m, route.total_risk, route.estimated_time_min, route.comfort_score,
                        route.total_familiarity, streets(engine, route.path));
}

nb::object failure(const char* kind, const char* role = "") { return nb::make_tuple(kind, role); }

nb::object route(const EngineGraph& engine, NodeId source, NodeId target, double eps,
                 std::optional<double> timeout_s) {
  RequestStop stop(timeout_s);
  std::expected<std::vector<RouteRecord>, RouteError> routes;
  {
    nb::gil_scoped_release unlocked;
    routes = compute_safe_routes(engine.graph, source, target, eps, SearchOptions{.stop = stop.poll()});
  }
  stop.rethrow();
  if (!routes) {
    switch (routes.error().kind) {
      case RouteErrorKind::source_not_found: return failure("node_not_found", "origin");
      case RouteErrorKind::target_not_found: return failure("node_not_found", "destination");
      case RouteErrorKind::source_isolated: return failure("source_isolated");
      case RouteErrorKind::no_route: return failure("no_route");
      case RouteErrorKind::interrupted: return failure("timeout");
    }
  }
  nb::list rows;
  for (const RouteRecord& record : *routes) rows.append(route_row(engine, record));
  return rows;
}

nb::list streets(const EngineGraph& engine, const std::vector<NodeId>& path) {
  nb::list names;
  for (std::string_view name : path_streets(engine, path)) names.append(nb::str(name.data(), name.size()));
  return names;
}

}  // namespace

void bind_routes(nb::module_& module, GraphClass& graph_class) {
  RequestStop::note_main_thread(module);
  graph_class.def("route", &route, nb::arg("source"), nb::arg("target"), nb::arg("eps"),
                  nb::arg("timeout_s") = nb::none(),
                  "route(source, target, eps, timeout_s=None)\n"
                  "The routes between two node ids, searched without the interpreter lock, bit for bit\n"
                  "those of norvel_core.compute_safe_routes. A list of one to three rows (type, nodes,\n"
                  "coordinates as (lon, lat), distance_m, risk, time_min, comfort, familiarity, streets),\n"
                  "or for a failure a (kind, role) pair: ('node_not_found', 'origin' | 'destination'),\n"
                  "('source_isolated', ''), ('no_route', ''), or ('timeout', '') once timeout_s seconds\n"
                  "have passed. On the main thread, Ctrl-C raises KeyboardInterrupt from the request.");
  graph_class.def("streets", &streets, nb::arg("nodes"),
                  "streets(nodes)\n"
                  "The street names along a node path, a name once for each stretch; [] without names.");
}

}  // namespace norvel::engine
