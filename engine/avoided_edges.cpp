#include "engine/avoided_edges.hpp"

#include <mutex>
#include <new>
#include <utility>
#include <string>

#include "engine/new_arrays.hpp"

namespace norvel::engine {

namespace {

const std::vector<std::uint32_t>& row_of_edge(const EngineGraph& engine) {
  EdgeRows& rows = *engine.edge_rows;
  std::call_once(rows.made, [&] {
    const GraphArray<SearchEdge>& edges = engine.graph.out_edges;
    rows.row_of.resize(edges.size());
    for (std::uint32_t slot = 0; slot < edges.size(); ++slot) rows.row_of[edges[slot].edge_index] = slot;
  });
  return rows.row_of;
}

}  // namespace

RequestAvoided::~RequestAvoided() {
  if (!rows_) return;
  try {
    std::vector<std::uint64_t> bits = std::move(*rows_).release();
    const std::lock_guard<std::mutex> held(shared_->spares_lock);
    shared_->spare_bits.push_back(std::move(bits));
  } catch (const std::bad_alloc&) {
    // Not kept: the next request makes its own.
  }
}

RequestAvoided avoided_rows(const EngineGraph& engine, const std::optional<EdgeIndices>& indices) {
  if (!indices) return {};
  const std::size_t edge_count = engine.graph.out_edges.size();
  const std::uint32_t* index = indices->data();
  const std::size_t count = indices->shape(0);
  for (std::size_t i = 0; i < count; ++i) {
    if (index[i] >= edge_count) {
      throw nb::value_error(("avoided edge index " + std::to_string(index[i]) + " is past the last edge (" +
                             std::to_string(edge_count) + " edges)")
                                .c_str());
    }
  }
  EdgeRows& shared = *engine.edge_rows;
  std::vector<std::uint64_t> spare;
  {
    const std::lock_guard<std::mutex> held(shared.spares_lock);
    if (!shared.spare_bits.empty()) {
      spare = std::move(shared.spare_bits.back());
      shared.spare_bits.pop_back();
    }
  }
  AvoidedRows rows(edge_count, std::move(spare), count);
  if (count > 0) {
    const std::vector<std::uint32_t>& row_of = row_of_edge(engine);
    for (std::size_t i = 0; i < count; ++i) rows.avoid(row_of[index[i]]);
  }
  return RequestAvoided(shared, std::move(rows));
}

namespace {

// The items of a list or tuple as edge indices, when every one is an int
// (not a bool, nor a subclass) that names an edge; None otherwise, and the
// package then finds and words what is wrong. A list of ints is the most
// common avoid= there is, and read here it costs a request a pass of a few
// instructions an item: its items are often out of the cache by then (a
// search came between two requests), and a tight loop has their loads under
// way together where the interpreter would wait for each in turn.
nb::object listed_edges(const EngineGraph& engine, nb::handle items) {
  if (!PyList_Check(items.ptr()) && !PyTuple_Check(items.ptr())) return nb::none();
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.ptr());
  PyObject* const* item = PySequence_Fast_ITEMS(items.ptr());
  const std::size_t edge_count = engine.graph.out_edges.size();
  auto [values, array] = new_array<std::uint32_t>(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* const value = item[i];
    // A compact int is one of at most 30 bits, read in place; a wider one
    // goes the long way round, as does anything that is no edge.
    if (!PyLong_CheckExact(value) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
      return nb::none();
    }
    const Py_ssize_t index = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value));
    if (index < 0 || static_cast<std::size_t>(index) >= edge_count) return nb::none();
    values[i] = static_cast<std::uint32_t>(index);
  }
  return nb::cast(std::move(array));
}

}  // namespace

void bind_avoided_edges(GraphClass& graph_class) {
  graph_class.def("listed_edges", &listed_edges, nb::arg("items"),
                  "The items of a list or tuple as a new uint32 array of edge indices, when every item is an int "
                  "naming an edge of the graph; None otherwise.");
}

}  // namespace norvel::engine
