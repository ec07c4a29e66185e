#include <cstdint>
#include <utility>

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>

#include "engine/avoided_edges.hpp"
#include "engine/bindings.hpp"
#include "engine/nearest_index.hpp"
#include "engine/new_arrays.hpp"

namespace norvel::engine {

namespace {

using Degrees = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

NearestIndex build(const EngineGraph& engine) {
  nb::gil_scoped_release unlocked;
  return build_nearest_index(engine);
}

// (ids, metres) of the nearest node to each point; the index must not be
// empty, and the coordinates are checked by the caller.
std::pair<NewArray<std::uint64_t>, NewArray<double>> query(const NearestIndex& index, Degrees lats, Degrees lons,
                                                           const std::optional<EdgeIndices>& avoid) {
  if (lats.shape(0) != lons.shape(0)) throw nb::value_error("lats and lons differ in length");
  const RequestAvoided avoided = avoided_rows(*index.engine, avoid);
  const auto none_left = [&] {
    const RoadGraph& graph = index.engine->graph;
    for (std::uint32_t dense : index.order) {
      if (has_edge_out(graph, avoided_of(avoided), dense)) return false;
    }
    return true;
  };
  if (index.order.empty() || (avoided.rows() != nullptr && lats.shape(0) > 0 && none_left())) {
    throw nb::value_error("no node has an outgoing edge");
  }
  const std::size_t count = lats.shape(0);
  auto [ids, id_array] = new_array<std::uint64_t>(count);
  auto [metres, metre_array] = new_array<double>(count);
  const double* lat = lats.data();
  const double* lon = lons.data();
  {
    nb::gil_scoped_release unlocked;
    const RoadGraph& graph = index.engine->graph;
    for (std::size_t i = 0; i < count; ++i) {
      const NearestNode nearest = nearest_node(index, lat[i], lon[i], avoided_of(avoided));
      ids[i] = graph.id_of[nearest.dense];
      metres[i] = nearest.distance_m;
    }
  }
  return {std::move(id_array), std::move(metre_array)};
}

}  // namespace

void bind_nearest(nb::module_& module) {
  nb::class_<NearestIndex>(module, "NearestIndex",
                           "The nodes with an outgoing edge of a Graph, for nearest-node questions.")
      .def("__init__",
           [](NearestIndex* self, const EngineGraph& engine) { new (self) NearestIndex(build(engine)); },
           nb::arg("graph"), nb::keep_alive<1, 2>(),
           "NearestIndex(graph)\nBuilds the index, without the interpreter lock.")
      .def_prop_ro("size", [](const NearestIndex& index) { return index.order.size(); },
                   "How many nodes it holds.")
      .def("query", &query, nb::arg("lats"), nb::arg("lons"), nb::arg("avoid") = nb::none(),
           "query(lats, lons, avoid=None)\n(ids, metres): for each point (float64 arrays of degrees), the nearest node "
           "by great-circle distance (of equally near ones, the least id) and its distance. With `avoid`\n"
           "(uint32 document edge indices), of the nodes that keep an outgoing edge outside them.");
}

}  // namespace norvel::engine
