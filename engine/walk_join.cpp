#include <algorithm>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/vector.h>

#include "engine/bindings.hpp"
#include "engine/new_arrays.hpp"
#include "graph/walk_join.hpp"

namespace norvel::engine {

namespace {

using Column = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// One leg's routes as the join reads them, copied out of the Python lists.
struct LegTable {
  std::vector<std::uint32_t> edges;
  std::vector<std::size_t> starts;
};

const char* fault_text(WalkJoinFault fault) {
  switch (fault) {
    case WalkJoinFault::sums_differ:
      return "the first leg's distances, risks and familiarities differ in length";
    case WalkJoinFault::columns_differ:
      return "the edge lengths, risks and familiarities differ in length";
    case WalkJoinFault::leg_malformed:
      return "a leg's routes do not mark out its edges";
    case WalkJoinFault::edge_out_of_range:
      return "a route takes an edge index past the last edge";
  }
  return "the walks cannot be joined";
}

// The items of a list, read without the iterator protocol (a leg's routes
// hold thousands of edges). TypeError for anything but a list.
std::span<PyObject* const> list_items(nb::handle list) {
  if (!PyList_Check(list.ptr())) throw nb::type_error("join_walks takes lists of routes and of edges");
  return {PySequence_Fast_ITEMS(list.ptr()), static_cast<std::size_t>(PyList_GET_SIZE(list.ptr()))};
}

LegTable leg_table(nb::handle routes) {
  LegTable table;
  table.starts.push_back(0);
  for (PyObject* route : list_items(routes)) {
    for (PyObject* edge : list_items(route)) {
      // Only an int: converting anything else could run code that changes the lists.
      if (!PyLong_Check(edge)) throw nb::type_error("join_walks takes edge indices as int");
      const unsigned long index = PyLong_AsUnsignedLong(edge);
      if (index == static_cast<unsigned long>(-1) && PyErr_Occurred()) nb::raise_python_error();
      if (index > UINT32_MAX) throw nb::value_error(fault_text(WalkJoinFault::edge_out_of_range));
      table.edges.push_back(static_cast<std::uint32_t>(index));
    }
    table.starts.push_back(table.edges.size());
  }
  return table;
}

nb::tuple join_walks(const std::vector<double>& distance_m, const std::vector<double>& risk,
                     const std::vector<double>& familiarity, nb::handle legs, Column lengths, Column risks,
                     std::optional<Column> edge_familiarity) {
  std::vector<LegTable> tables;
  for (PyObject* leg : list_items(legs)) tables.push_back(leg_table(leg));
  std::vector<LegRoutes> routes;
  for (const LegTable& table : tables) routes.push_back(LegRoutes{table.edges, table.starts});
  const EdgeColumns columns{{lengths.data(), lengths.shape(0)},
                            {risks.data(), risks.shape(0)},
                            edge_familiarity ? std::span<const double>(edge_familiarity->data(),
                                                                       edge_familiarity->shape(0))
                                             : std::span<const double>()};
  std::expected<WalkFront, WalkJoinFault> front;
  {
    nb::gil_scoped_release unlocked;
    front = norvel::join_walks(distance_m, risk, familiarity, routes, columns);
  }
  if (!front) throw nb::value_error(fault_text(front.error()));
  const std::size_t walks = front->distance_m.size();
  auto* picks = new std::int64_t[walks * front->legs == 0 ? 1 : walks * front->legs];
  std::ranges::copy(front->picks, picks);
  nb::capsule owner(picks, [](void* held) noexcept { delete[] static_cast<std::int64_t*>(held); });
  nb::ndarray<nb::numpy, std::int64_t, nb::ndim<2>> pick_table(picks, {walks, front->legs}, owner);
  const auto column = [&](const std::vector<double>& values) {
    auto [written, array] = new_array<double>(values.size());
    std::ranges::copy(values, written);
    return array;
  };
  return nb::make_tuple(pick_table, column(front->distance_m), column(front->risk), column(front->familiarity));
}

}  // namespace

void bind_walk_joins(nb::module_& module) {
  module.def("join_walks", &join_walks, nb::arg("distance_m"), nb::arg("risk"), nb::arg("familiarity"),
             nb::arg("legs"), nb::arg("lengths"), nb::arg("risks"), nb::arg("edge_familiarity").none(),
             "join_walks(distance_m, risk, familiarity, legs, lengths, risks, edge_familiarity)\n"
             "The front of the walks joining one route of a first leg's front (the sums of its\n"
             "routes, in its order) with one route of each of `legs` in turn (each a list of its\n"
             "routes' edges, lists of document indices in travel order), as norvel._walks defines it; the\n"
             "sums continue edge by edge over the columns `lengths`, `risks` and `edge_familiarity`\n"
             "(None: every familiarity 0.0). Joined without the interpreter lock. Returns\n"
             "(picks, distance_m, risk, familiarity): per walk in front order, the position of its\n"
             "route in each leg's front (one row) and its sums. ValueError for an edge past the\n"
             "columns or columns of different lengths; TypeError where `legs` is not lists of lists\n"
             "of int.");
}

}  // namespace norvel::engine
