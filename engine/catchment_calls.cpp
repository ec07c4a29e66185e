#include <cmath>
#include <cstdint>
#include <expected>
#include <optional>
#include <tuple>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "engine/bindings.hpp"
#include "engine/new_arrays.hpp"
#include "engine/request_stop.hpp"
#include "graph/catchment_search.hpp"

namespace norvel::engine {

namespace {

nb::object failure(const char* kind, const char* role = "") { return nb::make_tuple(kind, role); }

// The catchment's columns as new numpy arrays, and what the search did.
nb::dict columns(const RoadGraph& graph, const Catchment& catchment) {
  const std::size_t count = catchment.nodes.size();
  auto [ids, id_array] = new_array<std::uint64_t>(count);
  auto [lats, lat_array] = new_array<double>(count);
  auto [lons, lon_array] = new_array<double>(count);
  double* totals[6];
  NewArray<double> total_arrays[6];
  for (int k = 0; k < 6; ++k) std::tie(totals[k], total_arrays[k]) = new_array<double>(count);
  for (std::size_t i = 0; i < count; ++i) {
    const CatchmentNode& node = catchment.nodes[i];
    ids[i] = graph.id_of[node.dense];
    lats[i] = graph.lat[node.dense];
    lons[i] = graph.lon[node.dense];
    const RouteTotals* routes[3] = {&node.shortest, &node.safest, &node.balanced};
    for (int r = 0; r < 3; ++r) {
      totals[2 * r][i] = routes[r]->distance_m;
      totals[2 * r + 1][i] = routes[r]->risk;
    }
  }
  const CatchmentReport& done = catchment.report;
  nb::dict report;
  report["candidates"] = done.candidates;
  report["settled"] = done.settled;
  report["labels_pushed"] = done.labels_pushed;
  report["labels_kept"] = done.labels_kept;
  report["nodes_labelled"] = done.nodes_labelled;
  report["paths_resummed"] = done.paths_resummed;
  report["answered_by_request"] = done.answered_by_request;
  report["distance_margin"] = done.distance_margin;
  report["risk_margin"] = done.risk_margin;
  nb::dict out;
  out["node"] = id_array;
  out["lat"] = lat_array;
  out["lon"] = lon_array;
  const char* names[6] = {"shortest_m", "shortest_risk", "safest_m", "safest_risk", "balanced_m", "balanced_risk"};
  for (int k = 0; k < 6; ++k) out[names[k]] = total_arrays[k];
  out["report"] = report;
  return out;
}

nb::object catchment(const EngineGraph& engine, NodeId place, double minutes, bool to_place,
                     std::optional<double> timeout_s, const std::string& risk) {
  if (std::isnan(minutes) || minutes < 0.0) throw nb::value_error("minutes must be a number >= 0");
  const std::shared_ptr<const NamedLayer> layer = requested_layer(engine, risk);
  RequestStop stop(timeout_s);
  std::expected<Catchment, CatchmentFailure> found;
  {
    nb::gil_scoped_release unlocked;
    found = catchment_search(engine.graph, place, minutes,
                             to_place ? WalkDirection::to_place : WalkDirection::from_place, stop.poll(),
                             layer == nullptr ? nullptr : &layer->layer);
  }
  stop.rethrow();
  if (!found) {
    switch (found.error()) {
      case CatchmentFailure::place_not_found: return failure("node_not_found", to_place ? "destination" : "origin");
      case CatchmentFailure::place_isolated: return failure("source_isolated");
      case CatchmentFailure::costs_unsupported: return failure("costs_unsupported");
      case CatchmentFailure::interrupted: return failure("timeout");
    }
  }
  return columns(engine.graph, *found);
}

}  // namespace

void bind_catchments(GraphClass& graph_class) {
  graph_class.def("catchment", &catchment, nb::arg("place"), nb::arg("minutes"), nb::arg("to_place"),
                  nb::arg("timeout_s") = nb::none(), nb::arg("risk") = "default",
                  "catchment(place, minutes, to_place, timeout_s=None, risk='default')\n"
                  "Every node whose shortest route to the place (to_place) or from it takes at most\n"
                  "`minutes` (distance_m / 66.67, as a route's time_min; may be inf), with the totals of\n"
                  "the shortest, safest and balanced routes that route() gives, bit for bit; searched\n"
                  "without the interpreter lock. A dict of new arrays, 'node' (uint64), 'lat', 'lon',\n"
                  "'shortest_m', 'shortest_risk', 'safest_m', 'safest_risk', 'balanced_m', 'balanced_risk'\n"
                  "(float64), by shortest distance then id, and 'report' (what the search did); or for a\n"
                  "failure a (kind, role) pair: ('node_not_found', 'destination' | 'origin'),\n"
                  "('source_isolated', '') for walks from a place without an outgoing edge,\n"
                  "('costs_unsupported', '') for a negative, infinite or NaN distance or risk, or\n"
                  "('timeout', ''). On the main thread, Ctrl-C raises KeyboardInterrupt. `risk` names the\n"
                  "risk layer searched on.");
}

}  // namespace norvel::engine
