#include "engine/route_results.hpp"

#include <string_view>

#include "engine/path_streets.hpp"
#include "engine/route_edges.hpp"

namespace norvel::engine {

namespace {

nb::object id_object(NodeId id) { return nb::steal(PyLong_FromUnsignedLongLong(id)); }

nb::tuple route_row(const EngineGraph& engine, const RouteRecord& route) {
  const RoadGraph& graph = engine.graph;
  nb::list nodes;
  nb::list coordinates;
  std::vector<std::uint32_t> dense(route.path.size());
  for (std::size_t i = 0; i < route.path.size(); ++i) {
    const NodeId id = route.path[i];
    nodes.append(id_object(id));
    dense[i] = graph.dense_of.find(id);
    coordinates.append(nb::make_tuple(graph.lon[dense[i]], graph.lat[dense[i]]));
  }
  const std::vector<std::uint32_t> edges =
      route_edges_dense(graph, dense, PathCosts{route.total_distance_m, route.total_risk, route.total_familiarity});
  nb::list edge_list = index_list(edges);
  nb::list names;
  for (std::string_view name : edge_streets(engine, edges)) names.append(nb::str(name.data(), name.size()));
  return nb::make_tuple(nb::str(route.route_type.data(), route.route_type.size()), nodes, coordinates,
                        route.total_distance_m, route.total_risk, route.estimated_time_min, route.comfort_score,
                        route.total_familiarity, names, edge_list);
}

nb::object failure(const char* kind, const char* role = "") { return nb::make_tuple(kind, role); }

}  // namespace

nb::list index_list(std::span<const std::uint32_t> indices) {
  // Made at its full length and filled in place: no append grows it.
  nb::list list = nb::steal<nb::list>(PyList_New(static_cast<Py_ssize_t>(indices.size())));
  for (std::size_t i = 0; i < indices.size(); ++i) {
    PyObject* item = PyLong_FromUnsignedLong(indices[i]);
    if (item == nullptr) throw nb::python_error();  // out of memory, raised as MemoryError
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

nb::list street_list(const EngineGraph& engine, const std::vector<NodeId>& path) {
  nb::list names;
  for (std::string_view name : path_streets(engine, path)) names.append(nb::str(name.data(), name.size()));
  return names;
}

namespace {

nb::object failure_object(const RouteError& error) {
  switch (error.kind) {
    case RouteErrorKind::source_not_found: return failure("node_not_found", "origin");
    case RouteErrorKind::target_not_found: return failure("node_not_found", "destination");
    case RouteErrorKind::source_isolated: return failure("source_isolated");
    case RouteErrorKind::no_route: return failure("no_route");
    case RouteErrorKind::interrupted: break;
  }
  return failure("timeout");
}

}  // namespace

nb::object answer_object(const EngineGraph& engine,
                         const std::expected<std::vector<RouteRecord>, RouteError>& answer) {
  if (!answer) return failure_object(answer.error());
  nb::list rows;
  for (const RouteRecord& record : *answer) rows.append(route_row(engine, record));
  return rows;
}

nb::object totals_object(const std::expected<std::vector<RouteRecord>, RouteError>& answer) {
  if (!answer) return failure_object(answer.error());
  nb::list rows;
  for (const RouteRecord& r : *answer) {
    rows.append(nb::make_tuple(nb::str(r.route_type.data(), r.route_type.size()), r.total_distance_m, r.total_risk,
                               r.estimated_time_min, r.comfort_score, r.total_familiarity));
  }
  return rows;
}

}  // namespace norvel::engine
