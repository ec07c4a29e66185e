#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nanobind/ndarray.h>

#include "engine/bindings.hpp"
#include "engine/new_arrays.hpp"

namespace norvel::engine {

namespace {

template <class T>
using View = nb::ndarray<nb::numpy, const T, nb::ndim<1>>;

// A read-only view of `count` values of type T, the first at `first`, each
// `stride_bytes` after the one before; the Graph object stays alive while a
// view of it does.
template <class T>
View<T> view(const EngineGraph& engine, const void* first, std::size_t count, std::size_t stride_bytes) {
  nb::handle owner = nb::find(&engine);
  // An empty vector may have no storage at all; numpy wants an address.
  static constexpr std::uint64_t kNothing = 0;
  if (count == 0) first = &kNothing;
  return View<T>(first, {count}, owner, {static_cast<std::int64_t>(stride_bytes / sizeof(T))});
}

template <class T>
View<T> contiguous(const EngineGraph& engine, const GraphArray<T>& values) {
  return view<T>(engine, values.data(), values.size(), sizeof(T));
}

// A field of every outgoing edge, in row order.
template <class T>
View<T> edge_field(const EngineGraph& engine, std::size_t offset) {
  const GraphArray<SearchEdge>& edges = engine.graph.out_edges;
  const auto* first = reinterpret_cast<const std::byte*>(edges.data()) + offset;
  return view<T>(engine, first, edges.size(), sizeof(SearchEdge));
}

// A field of every node record, in document order.
template <class T>
View<T> record_field(const EngineGraph& engine, std::size_t offset) {
  const GraphArray<Node>& nodes = engine.graph.nodes;
  const auto* first = reinterpret_cast<const std::byte*>(nodes.data()) + offset;
  return view<T>(engine, first, nodes.size(), sizeof(Node));
}

// A coordinate of every node on the search plane, by dense index.
View<std::int32_t> plane_field(const EngineGraph& engine, std::size_t offset) {
  const GraphArray<PlanePoint>& plane = engine.graph.plane;
  const auto* first = reinterpret_cast<const std::byte*>(plane.data()) + offset;
  return view<std::int32_t>(engine, first, plane.size(), sizeof(PlanePoint));
}

using Ids = nb::ndarray<const std::uint64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// Dense index of each id that the node list holds, -1 for any other.
NewArray<std::int64_t> node_index(const EngineGraph& engine, Ids ids) {
  const std::size_t count = ids.shape(0);
  auto [indices, array] = new_array<std::int64_t>(count);
  const std::uint64_t* id = ids.data();
  {
    nb::gil_scoped_release unlocked;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t dense = listed_node(engine.graph, id[i]);
      indices[i] = dense == IdIndex::kAbsent ? -1 : static_cast<std::int64_t>(dense);
    }
  }
  return array;
}

nb::list name_table(const EngineGraph& engine) {
  nb::list names;
  for (std::uint32_t k = 0; k < name_count(engine.names); ++k) {
    std::string_view name = name_text(engine.names, k);
    names.append(nb::str(name.data(), name.size()));
  }
  return names;
}

}  // namespace

void bind_arrays(GraphClass& graph_class) {
  graph_class
      .def_prop_ro("node_count", [](const EngineGraph& e) { return node_count(e.graph); },
                   "Node records of the document (a repeated id counts each time).")
      .def_prop_ro("edge_count", [](const EngineGraph& e) { return edge_count(e.graph); },
                   "Edge records of the document.")
      // Per dense index: every distinct id of the node list and of the edges' ends.
      .def_prop_ro("ids", [](const EngineGraph& e) { return contiguous(e, e.graph.id_of); },
                   "uint64 per dense index: the node id.")
      .def_prop_ro("listed",
                   [](const EngineGraph& e) {
                     return view<bool>(e, e.graph.listed.data(), e.graph.listed.size(), sizeof(std::uint8_t));
                   },
                   "bool per dense index: whether the node list holds the id (else only an edge's end).")
      .def_prop_ro("lats", [](const EngineGraph& e) { return contiguous(e, e.graph.lat); },
                   "float64 per dense index: latitude in degrees (the last record of a repeated id; 0 unlisted).")
      .def_prop_ro("lons", [](const EngineGraph& e) { return contiguous(e, e.graph.lon); },
                   "float64 per dense index: longitude in degrees.")
      // The plane the searches bound distances on (graph/plane_metric.hpp).
      .def_prop_ro("plane_x",
                   [](const EngineGraph& e) {
                     return plane_field(e, offsetof(PlanePoint, x));
                   },
                   "int32 per dense index: the node's x on the search plane (plane_metric.hpp's units).")
      .def_prop_ro("plane_y",
                   [](const EngineGraph& e) {
                     return plane_field(e, offsetof(PlanePoint, y));
                   },
                   "int32 per dense index: the node's y on the search plane.")
      .def_prop_ro("distance_per_plane_unit", [](const EngineGraph& e) { return e.graph.distance_per_plane_unit; },
                   "The least distance_m of an edge per unit of the plane's octagonal norm between its ends\n"
                   "(up to a few roundings; 0 when the costs are not bounded below).")
      // The outgoing rows (compressed sparse rows over dense indices).
      .def_prop_ro("out_begin", [](const EngineGraph& e) { return contiguous(e, e.graph.out_begin); },
                   "uint32, one per dense index and one more: where each node's outgoing row starts.")
      .def_prop_ro("heads", [](const EngineGraph& e) { return edge_field<std::uint32_t>(e, offsetof(SearchEdge, to)); },
                   "uint32 per row entry: the edge's head as a dense index.")
      .def_prop_ro("edge_index",
                   [](const EngineGraph& e) { return edge_field<std::uint32_t>(e, offsetof(SearchEdge, edge_index)); },
                   "uint32 per row entry: the edge's position in the document.")
      .def_prop_ro("lengths",
                   [](const EngineGraph& e) { return edge_field<double>(e, offsetof(SearchEdge, distance_m)); },
                   "float64 per row entry: distance_m.")
      .def_prop_ro("risks",
                   [](const EngineGraph& e) { return edge_field<double>(e, offsetof(SearchEdge, risk_score)); },
                   "float64 per row entry: risk_score.")
      .def_prop_ro("familiarity",
                   [](const EngineGraph& e) { return edge_field<double>(e, offsetof(SearchEdge, familiarity)); },
                   "float64 per row entry: familiarity (0.0 where none).")
      // The node records as the document lists them.
      .def_prop_ro("record_ids", [](const EngineGraph& e) { return record_field<std::uint64_t>(e, offsetof(Node, id)); },
                   "uint64 per node record, in document order.")
      .def_prop_ro("record_lats", [](const EngineGraph& e) { return record_field<double>(e, offsetof(Node, lat)); },
                   "float64 per node record, in document order.")
      .def_prop_ro("record_lons", [](const EngineGraph& e) { return record_field<double>(e, offsetof(Node, lon)); },
                   "float64 per node record, in document order.")
      // Street names.
      .def_prop_ro("has_names", [](const EngineGraph& e) { return !e.names.of_edge.empty(); },
                   "Whether some edge carries a street name.")
      .def_prop_ro("edge_names", [](const EngineGraph& e) { return contiguous(e, e.names.of_edge); },
                   "uint32 per edge in document order: 0 for none, else 1 + its place in name_table() "
                   "(empty when no edge has a name).")
      .def("name_table", &name_table, "The distinct street names, as a new list of str.")
      .def("node_index", &node_index, nb::arg("ids"),
           "node_index(ids)\nThe dense index of each id (a uint64 array) that the node list holds, -1 for "
           "any other, as a new int64 array.");
}

}  // namespace norvel::engine
