#include "python/py_graph.hpp"

#include <string_view>
#include <utility>

#include "loading/graph_loader.hpp"
#include "python/arguments.hpp"
#include "python/class_object.hpp"
#include "python/entry_guard.hpp"
#include "python/object_cell.hpp"

namespace norvel::python {
namespace {

using GraphClass = ValueClass<RoadGraph>;

// The class object's slots name the loading method, which makes instances.
PyResult new_graph_object(RoadGraph&& graph);

constexpr std::string_view kFromJsonParameters[] = {"json_str"};
constexpr ParameterTable kFromJsonTable{
    .function_name = "from_json",
    .class_name = "PyGraph",
    .parameter_names = kFromJsonParameters,
    .required_count = 1,
};

PyResult load_from_json(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[1];
  if (PyExpected<void> bound = bind_arguments(kFromJsonTable, args, nargs, kwnames, slots); !bound) {
    return std::unexpected(std::move(bound.error()));
  }
  PyExpected<std::string_view> text = convert_text(slots[0]);
  if (!text) {
    return std::unexpected(wrap_argument_error("json_str", std::move(text.error())));
  }
  std::expected<RoadGraph, DocumentError> graph = load_graph(*text);
  if (!graph) {
    return std::unexpected(failure_with_text(PyExc_ValueError, graph.error().message()));
  }
  return new_graph_object(std::move(*graph));
}

template <std::uint64_t (*Count)(const RoadGraph&)>
PyObject* count_method(PyObject* self, PyObject*) noexcept {
  return entry_guard([self]() -> PyResult {
    PyExpected<ValueBorrow<RoadGraph>> graph = GraphClass::borrow(self);
    if (!graph) {
      return std::unexpected(std::move(graph.error()));
    }
    return api_result(PyLong_FromUnsignedLongLong(Count(*graph->value)));
  });
}

std::uint64_t graph_node_count(const RoadGraph& graph) { return node_count(graph); }
std::uint64_t graph_edge_count(const RoadGraph& graph) { return edge_count(graph); }

PyObject* from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return entry_guard([&]() -> PyResult { return load_from_json(args, nargs, kwnames); });
}

using FastCallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyCFunction as_cfunction(FastCallWithKeywords function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef graph_methods[] = {
    {"from_json", as_cfunction(from_json), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_json(json_str)\n--\n\n"
     "Construit un PyGraph depuis une chaîne JSON\n"
     "Appelé depuis Python : `PyGraph.from_json(json_str)`"},
    {"node_count", count_method<graph_node_count>, METH_NOARGS,
     "node_count($self)\n--\n\n"
     "Nombre de nœuds (utile pour les tests Python)"},
    {"edge_count", count_method<graph_edge_count>, METH_NOARGS,
     "edge_count($self)\n--\n\n"
     "Nombre d'arcs"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot graph_slots[] = {
    {Py_tp_doc, const_cast<char*>("Wrapper Python-visible du graphe routier")},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(GraphClass::dealloc)},
    {Py_tp_methods, graph_methods},
    {0, nullptr},
};

constinit GraphClass graph_class("builtins.PyGraph", graph_slots);

PyResult new_graph_object(RoadGraph&& graph) { return graph_class.create(std::move(graph)); }

}  // namespace

PyExpected<PyTypeObject*> graph_class_for_module() { return graph_class.for_module(); }

PyExpected<PyTypeObject*> graph_class_for_use() { return graph_class.for_use(); }

PyExpected<GraphBorrow> borrow_graph(PyObject* object) {
  PyExpected<PyTypeObject*> type = graph_class_for_use();
  if (!type) {
    return std::unexpected(std::move(type.error()));
  }
  if (!PyType_IsSubtype(Py_TYPE(object), *type)) {
    return std::unexpected(type_check_failure(object, "PyGraph"));
  }
  PyExpected<ValueBorrow<RoadGraph>> graph = GraphClass::borrow(object);
  if (!graph) {
    return std::unexpected(std::move(graph.error()));
  }
  return GraphBorrow{std::move(graph->borrow), graph->value};
}

}  // namespace norvel::python
