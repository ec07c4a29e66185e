#include "engine/route_results.hpp"

#include <string_view>

#include "engine/bindings.hpp"
#include "engine/path_streets.hpp"
#include "engine/route_edges.hpp"
#include "graph/route_selection.hpp"

namespace norvel::engine {

namespace {

nb::object id_object(NodeId id) { return nb::steal(PyLong_FromUnsignedLongLong(id)); }

// A list of `length` items to be set (`set_item`); none is there yet.
nb::list full_list(std::size_t length) {
  nb::list list = nb::steal<nb::list>(PyList_New(static_cast<Py_ssize_t>(length)));
  if (!list.is_valid()) throw nb::python_error();
  return list;
}

// Puts `item` at `at` of a list made at its full length; a failure to make
// the item (out of memory) is raised as its MemoryError. A list dropped
// half filled frees the items it has.
void set_item(nb::list& list, std::size_t at, nb::object item) {
  if (!item.is_valid()) throw nb::python_error();
  PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(at), item.release().ptr());
}

nb::str type_str(const RouteRecord& route) { return nb::str(route.route_type.data(), route.route_type.size()); }

RouteRow route_row(const EngineGraph& engine, const EdgeRisk& risk, const RouteRecord& route) {
  const RoadGraph& graph = engine.graph;
  nb::list nodes = full_list(route.path.size());
  nb::list coordinates = full_list(route.path.size());
  std::vector<std::uint32_t> dense(route.path.size());
  for (std::size_t i = 0; i < route.path.size(); ++i) {
    const NodeId id = route.path[i];
    dense[i] = graph.dense_of.find(id);
    set_item(nodes, i, id_object(id));
    set_item(coordinates, i, nb::make_tuple(graph.lon[dense[i]], graph.lat[dense[i]]));
  }
  const std::vector<std::uint32_t> edges =
      route_edges_dense(graph, risk, dense, PathCosts{route.total_distance_m, route.total_risk, route.total_familiarity});
  nb::list edge_list = index_list(edges);
  nb::list names;
  for (std::string_view name : edge_streets(engine, edges)) names.append(nb::str(name.data(), name.size()));
  return RouteRow{type_str(route),         std::move(nodes),         std::move(coordinates),
                  route.total_distance_m,  route.total_risk,         route.estimated_time_min,
                  route.comfort_score,     route.total_familiarity,  std::move(names),
                  std::move(edge_list)};
}

Failure failure_of(const RouteError& error) {
  switch (error.kind) {
    case RouteErrorKind::source_not_found: return {FailureKind::node_not_found, "origin"};
    case RouteErrorKind::target_not_found: return {FailureKind::node_not_found, "destination"};
    case RouteErrorKind::source_isolated: return {FailureKind::source_isolated};
    case RouteErrorKind::no_route: return {FailureKind::no_route};
    case RouteErrorKind::interrupted: break;
  }
  return {FailureKind::timeout};
}

}  // namespace

nb::list index_list(std::span<const std::uint32_t> indices) {
  // Made at its full length and filled in place: no append grows it.
  nb::list list = full_list(indices.size());
  for (std::size_t i = 0; i < indices.size(); ++i) set_item(list, i, nb::steal(PyLong_FromUnsignedLong(indices[i])));
  return list;
}

nb::list street_list(const EngineGraph& engine, const std::vector<NodeId>& path) {
  nb::list names;
  for (std::string_view name : path_streets(engine, path)) names.append(nb::str(name.data(), name.size()));
  return names;
}

nb::object failure_object(Failure failure) { return nb::cast(failure, nb::rv_policy::move); }

nb::object answer_object(const EngineGraph& engine, const RiskLayer* layer,
                         const std::expected<std::vector<RouteRecord>, RouteError>& answer,
                         const AvoidedRows* avoided) {
  if (!answer) return failure_object(failure_of(answer.error()));
  const EdgeRisk risk(engine.graph, layer, avoided);
  nb::list rows;
  for (const RouteRecord& record : *answer) rows.append(nb::cast(route_row(engine, risk, record), nb::rv_policy::move));
  return rows;
}

nb::object totals_object(const std::expected<std::vector<RouteRecord>, RouteError>& answer) {
  if (!answer) return failure_object(failure_of(answer.error()));
  nb::list rows;
  for (const RouteRecord& r : *answer) {
    rows.append(nb::cast(TotalsRow{type_str(r), r.total_distance_m, r.total_risk, r.estimated_time_min,
                                     r.comfort_score, r.total_familiarity},
                         nb::rv_policy::move));
  }
  return rows;
}

void bind_values(nb::module_& module) {
  // The package divides by the very speed the engine's time_min and
  // catchments do.
  module.attr("WALKING_SPEED_M_PER_MIN") = kWalkingSpeedMPerMin;
  nb::enum_<FailureKind>(module, "FailureKind",
                         "Why a request has no answer; norvel.failures maps each kind to its exception.")
      .value("node_not_found", FailureKind::node_not_found, "an end is no node of the graph")
      .value("source_isolated", FailureKind::source_isolated, "no edge leaves the origin")
      .value("no_route", FailureKind::no_route, "no path leads from the origin to the destination")
      .value("timeout", FailureKind::timeout, "the request ran out of time")
      .value("costs_unsupported", FailureKind::costs_unsupported,
             "a catchment on a graph with a negative, infinite or NaN distance or risk");
  nb::class_<Failure>(module, "Failure", "A request's failure: its kind, its end and its place.")
      .def_ro("kind", &Failure::kind, "The FailureKind.")
      .def_prop_ro("role", [](const Failure& failure) { return failure.role; },
                   "'origin' or 'destination' for node_not_found, '' otherwise.")
      .def_ro("place", &Failure::place, "For a catchment of several places, the index of the place.")
      .def("__repr__", [](const Failure& failure) {
        return nb::str("Failure({!r}, {!r}, {})").format(nb::cast(failure.kind), failure.role, failure.place);
      });
  nb::class_<RouteRow>(module, "RouteRow", "One route of an answer, read-only.")
      .def_ro("type", &RouteRow::type, "'shortest', 'safest', 'balanced' (or 'front').")
      .def_ro("nodes", &RouteRow::nodes, "The node ids, origin to destination.")
      .def_ro("coordinates", &RouteRow::coordinates, "The nodes' (lon, lat).")
      .def_ro("distance_m", &RouteRow::distance_m)
      .def_ro("risk", &RouteRow::risk)
      .def_ro("time_min", &RouteRow::time_min)
      .def_ro("comfort", &RouteRow::comfort)
      .def_ro("familiarity", &RouteRow::familiarity)
      .def_ro("streets", &RouteRow::streets, "The street names of its edges, once a stretch.")
      .def_ro("edges", &RouteRow::edges, "The document indices of its edges, in travel order.");
  nb::class_<TotalsRow>(module, "RouteTotals", "One route's totals alone, read-only.")
      .def_ro("type", &TotalsRow::type)
      .def_ro("distance_m", &TotalsRow::distance_m)
      .def_ro("risk", &TotalsRow::risk)
      .def_ro("time_min", &TotalsRow::time_min)
      .def_ro("comfort", &TotalsRow::comfort)
      .def_ro("familiarity", &TotalsRow::familiarity);
}

}  // namespace norvel::engine
