#include <cmath>
#include <cstdint>
#include <expected>
#include <optional>
#include <tuple>
#include <vector>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "engine/avoided_edges.hpp"
#include "engine/bindings.hpp"
#include "engine/new_arrays.hpp"
#include "engine/request_stop.hpp"
#include "engine/route_results.hpp"
#include "graph/catchment_search.hpp"

namespace norvel::engine {

namespace {

// A new array of `rows` x `columns` values owned by numpy (one column: a
// vector), and where to write them.
nb::object new_table(std::size_t rows, std::size_t columns, double*& values) {
  values = new double[rows * columns == 0 ? 1 : rows * columns];
  nb::capsule owner(values, [](void* held) noexcept { delete[] static_cast<double*>(held); });
  if (columns == 1) return nb::cast(nb::ndarray<nb::numpy, double, nb::ndim<1>>(values, {rows}, owner));
  return nb::cast(nb::ndarray<nb::numpy, double, nb::ndim<2>>(values, {rows, columns}, owner));
}

// Walks within a budget, one after another, into their three columns.
void write_walks(const std::vector<WithinCutoff>& walks, double* metres, double* risks, double* places) {
  for (std::size_t k = 0; k < walks.size(); ++k) {
    metres[k] = walks[k].totals.distance_m;
    risks[k] = walks[k].totals.risk;
    // NaN where no walk fits, hence a float column.
    places[k] = walks[k].place == UINT32_MAX ? __builtin_nan("") : static_cast<double>(walks[k].place);
  }
}

// The catchment's columns as new numpy arrays, and what the search did.
// `within` columns: one a cutoff, or a vector for one cutoff asked alone;
// with `detour`, the walks within the detour budget too.
nb::dict columns(const RoadGraph& graph, const Catchment& catchment, std::size_t cutoffs, bool table, bool detour) {
  const std::size_t count = catchment.nodes.size();
  auto [ids, id_array] = new_array<std::uint64_t>(count);
  auto [lats, lat_array] = new_array<double>(count);
  auto [lons, lon_array] = new_array<double>(count);
  double* totals[6];
  NewArray<double> total_arrays[6];
  for (int k = 0; k < 6; ++k) std::tie(totals[k], total_arrays[k]) = new_array<double>(count);
  std::int64_t* places[3];
  NewArray<std::int64_t> place_arrays[3];
  for (int k = 0; k < 3; ++k) std::tie(places[k], place_arrays[k]) = new_array<std::int64_t>(count);
  for (std::size_t i = 0; i < count; ++i) {
    const CatchmentNode& node = catchment.nodes[i];
    ids[i] = graph.id_of[node.dense];
    lats[i] = graph.lat[node.dense];
    lons[i] = graph.lon[node.dense];
    const RouteTotals* routes[3] = {&node.shortest, &node.safest, &node.balanced};
    for (int r = 0; r < 3; ++r) {
      totals[2 * r][i] = routes[r]->distance_m;
      totals[2 * r + 1][i] = routes[r]->risk;
      places[r][i] = node.place[r];
    }
  }
  const std::size_t shape = table ? cutoffs : 1;
  double* within_m = nullptr;
  double* within_risk = nullptr;
  double* within_place = nullptr;
  nb::object within_m_array = new_table(count, shape, within_m);
  nb::object within_risk_array = new_table(count, shape, within_risk);
  nb::object within_place_array = new_table(count, shape, within_place);
  write_walks(catchment.within, within_m, within_risk, within_place);
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
  const char* place_names[3] = {"shortest_place", "safest_place", "balanced_place"};
  for (int k = 0; k < 3; ++k) out[place_names[k]] = place_arrays[k];
  out["within_m"] = within_m_array;
  out["within_risk"] = within_risk_array;
  out["within_place"] = within_place_array;
  if (detour) {
    double* detour_m = nullptr;
    double* detour_risk = nullptr;
    double* detour_place = nullptr;
    out["within_detour_m"] = new_table(count, 1, detour_m);
    out["within_detour_risk"] = new_table(count, 1, detour_risk);
    out["within_detour_place"] = new_table(count, 1, detour_place);
    write_walks(catchment.within_detour, detour_m, detour_risk, detour_place);
  }
  out["report"] = report;
  return out;
}

void check_minutes(double minutes, const char* what) {
  if (std::isnan(minutes) || minutes < 0.0) throw nb::value_error(what);
}

nb::object search(const EngineGraph& engine, const std::vector<NodeId>& places, double minutes, bool to_place,
                  const std::optional<std::vector<double>>& cutoffs, std::optional<double> timeout_s,
                  const std::string& risk, const std::optional<std::vector<NodeId>>& only,
                  const std::optional<EdgeIndices>& avoid, std::optional<double> max_detour,
                  bool within_minutes = false) {
  check_minutes(minutes, "minutes must be a number >= 0");
  const std::shared_ptr<const NamedLayer> layer = requested_layer(engine, risk);
  const RequestAvoided avoided = avoided_rows(engine, avoid);
  const std::vector<double> asked = cutoffs ? *cutoffs : std::vector<double>{minutes};
  for (double cutoff : asked) check_minutes(cutoff, "cutoffs must be numbers >= 0");
  if (asked.empty()) throw nb::value_error("cutoffs must not be empty");
  RequestStop stop(timeout_s);
  std::expected<Catchment, CatchmentFailure> found;
  std::uint32_t failed = 0;
  {
    nb::gil_scoped_release unlocked;
    found = catchment_search(engine.graph, places, minutes,
                             to_place ? WalkDirection::to_place : WalkDirection::from_place, asked, &failed,
                             stop.poll(), layer_of(layer),
                             only ? std::optional<std::span<const NodeId>>(*only) : std::nullopt,
                             avoided_of(avoided), max_detour,
                             within_minutes ? CatchmentWalks::within_minutes : CatchmentWalks::every);
  }
  stop.rethrow();
  if (!found) {
    switch (found.error()) {
      case CatchmentFailure::place_not_found:
        return failure_object({FailureKind::node_not_found, to_place ? "destination" : "origin", failed});
      case CatchmentFailure::place_isolated: return failure_object({FailureKind::source_isolated, "", failed});
      case CatchmentFailure::costs_unsupported: return failure_object({FailureKind::costs_unsupported, "", failed});
      case CatchmentFailure::interrupted: return failure_object({FailureKind::timeout, "", failed});
      case CatchmentFailure::no_places: throw nb::value_error("places must not be empty");
    }
  }
  return columns(engine.graph, *found, asked.size(), cutoffs.has_value(), max_detour.has_value());
}

nb::object catchment(const EngineGraph& engine, NodeId place, double minutes, bool to_place,
                     std::optional<double> timeout_s, const std::string& risk,
                     const std::optional<EdgeIndices>& avoid, std::optional<double> max_detour) {
  return search(engine, {place}, minutes, to_place, std::nullopt, timeout_s, risk, std::nullopt, avoid, max_detour);
}

nb::object catchment_places(const EngineGraph& engine, const std::vector<NodeId>& places, double minutes,
                            bool to_place, const std::optional<std::vector<double>>& cutoffs,
                            std::optional<double> timeout_s, const std::string& risk,
                            const std::optional<std::vector<NodeId>>& only,
                            const std::optional<EdgeIndices>& avoid, std::optional<double> max_detour,
                            bool within_minutes) {
  return search(engine, places, minutes, to_place, cutoffs, timeout_s, risk, only, avoid, max_detour, within_minutes);
}

}  // namespace

void bind_catchments(GraphClass& graph_class) {
  graph_class.def("catchment", &catchment, nb::arg("place"), nb::arg("minutes"), nb::arg("to_place"),
                  nb::arg("timeout_s") = nb::none(), nb::arg("risk") = "default", nb::arg("avoid") = nb::none(),
                  nb::arg("max_detour") = nb::none(),
                  "catchment(place, minutes, to_place, timeout_s=None, risk='default', avoid=None, max_detour=None)\n"
                  "Every node whose shortest route to the place (to_place) or from it takes at most\n"
                  "`minutes` (distance_m / 66.67, as a route's time_min; may be inf), with the totals of\n"
                  "the shortest, safest and balanced routes that route() gives, bit for bit; searched\n"
                  "without the interpreter lock. A dict of new arrays, 'node' (uint64), 'lat', 'lon',\n"
                  "'shortest_m', 'shortest_risk', 'safest_m', 'safest_risk', 'balanced_m', 'balanced_risk'\n"
                  "(float64), by shortest distance then id, and 'report' (what the search did); or a\n"
                  "Failure: node_not_found (role 'destination' | 'origin'), source_isolated for walks\n"
                  "from a place without an outgoing edge, costs_unsupported for a negative, infinite or\n"
                  "NaN distance or risk, or timeout. On the main thread, Ctrl-C raises KeyboardInterrupt. Also\n"
                  "'shortest_place', 'safest_place', 'balanced_place' (int64, all 0 here), and\n"
                  "'within_m', 'within_risk', 'within_place' (float64; NaN where none): the least\n"
                  "risky walk of the node's front that takes at most `minutes`. `risk` names the risk\n"
                  "layer searched on; `avoid` (uint32 document edge indices), edges no walk takes. With\n"
                  "`max_detour` (a share >= 0, checked by the caller; may be inf), 'within_detour_m',\n"
                  "'within_detour_risk', 'within_detour_place' too: the least risky walk of the node's\n"
                  "front with distance_m <= (1 + max_detour) * its shortest distance_m (then the shorter,\n"
                  "then the lower place), NaN where none.");
  graph_class.def("catchment_places", &catchment_places, nb::arg("places"), nb::arg("minutes"), nb::arg("to_place"),
                  nb::arg("cutoffs") = nb::none(), nb::arg("timeout_s") = nb::none(), nb::arg("risk") = "default",
                  nb::arg("only") = nb::none(), nb::arg("avoid") = nb::none(), nb::arg("max_detour") = nb::none(),
                  nb::arg("within_minutes") = false,
                  "catchment_places(places, minutes, to_place, cutoffs=None, timeout_s=None, risk='default', only=None,\n"
                  "avoid=None, max_detour=None, within_minutes=False)\n"
                  "catchment() for several places (node ids) at once, in one search: a node's front is\n"
                  "that of its walks to (from) any of them, its routes chosen from it as route() chooses,\n"
                  "a tie of totals going to the lower place index; '*_place' columns are indices into\n"
                  "`places`. With `cutoffs` (minutes, each >= 0, may be inf), 'within_m', 'within_risk'\n"
                  "and 'within_place' are nodes x cutoffs tables, the least risky walk within each (then\n"
                  "the shortest, then the lower place); without, vectors for `minutes`. A failure is a\n"
                  "Failure as catchment() gives it, its `place` the index of the place it concerns. With\n"
                  "`only` (node ids), the rows of those nodes alone, answered as in the whole catchment, by a\n"
                  "search that labels no more than their fronts need. `max_detour` as in catchment(), the\n"
                  "reference each node's shortest walk to any place. With `within_minutes`, a node's front\n"
                  "holds only its walks of at most `minutes`, and the search carries no label beyond:\n"
                  "'shortest_*', 'within_*' (cutoffs up to `minutes`) and 'within_detour_*' are as without\n"
                  "but for walks beyond the minutes, 'safest_*' and 'balanced_*' NaN (places -1 as uint32 max).");
}

}  // namespace norvel::engine
