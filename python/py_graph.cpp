#include "python/py_graph.hpp"

#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>

#include "loading/graph_loader.hpp"
#include "python/arguments.hpp"
#include "python/class_object.hpp"
#include "python/entry_guard.hpp"
#include "python/object_cell.hpp"

namespace norvel::python {
namespace {

// The graph is moved into memory the interpreter allocated; a throwing move
// there would leave an object that cannot be destroyed.
static_assert(std::is_nothrow_move_constructible_v<RoadGraph>);

PyGraphObject* as_graph_object(PyObject* object) { return reinterpret_cast<PyGraphObject*>(object); }

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
  PyExpected<PyTypeObject*> type = graph_class_for_use();
  if (!type) {
    return std::unexpected(std::move(type.error()));
  }
  PyResult object = allocate_instance(*type);
  if (!object) {
    return object;
  }
  PyGraphObject* instance = as_graph_object(object->get());
  std::construct_at(&instance->graph, std::move(*graph));
  std::construct_at(&instance->borrow_count, 0);
  return object;
}

template <std::uint64_t (*Count)(const RoadGraph&)>
PyObject* count_method(PyObject* self, PyObject*) noexcept {
  return entry_guard([self]() -> PyResult {
    PyGraphObject* instance = as_graph_object(self);
    PyExpected<SharedBorrow> borrow = SharedBorrow::take(self, instance->borrow_count);
    if (!borrow) {
      return std::unexpected(std::move(borrow.error()));
    }
    return api_result(PyLong_FromUnsignedLongLong(Count(instance->graph)));
  });
}

std::uint64_t graph_node_count(const RoadGraph& graph) { return node_count(graph); }
std::uint64_t graph_edge_count(const RoadGraph& graph) { return edge_count(graph); }

PyObject* from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return entry_guard([&]() -> PyResult { return load_from_json(args, nargs, kwnames); });
}

void dealloc_graph(PyObject* self) noexcept {
  dealloc_guard([self] {
    PyGraphObject* instance = as_graph_object(self);
    std::destroy_at(&instance->graph);
    std::destroy_at(&instance->borrow_count);
    free_instance(self);
  });
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
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_graph)},
    {Py_tp_methods, graph_methods},
    {0, nullptr},
};

PyType_Spec graph_spec = {
    .name = "builtins.PyGraph",
    .basicsize = static_cast<int>(sizeof(PyGraphObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = graph_slots,
};

ObjectCell graph_class_cell;

}  // namespace

PyExpected<PyTypeObject*> graph_class_for_module() { return class_object(graph_class_cell, graph_spec); }

PyExpected<PyTypeObject*> graph_class_for_use() {
  return class_object_for_use(graph_class_cell, graph_spec, "PyGraph");
}

PyExpected<GraphBorrow> borrow_graph(PyObject* object) {
  PyExpected<PyTypeObject*> type = graph_class_for_use();
  if (!type) {
    return std::unexpected(std::move(type.error()));
  }
  if (!PyType_IsSubtype(Py_TYPE(object), *type)) {
    return std::unexpected(type_check_failure(object, "PyGraph"));
  }
  PyGraphObject* instance = as_graph_object(object);
  PyExpected<SharedBorrow> borrow = SharedBorrow::take(object, instance->borrow_count);
  if (!borrow) {
    return std::unexpected(std::move(borrow.error()));
  }
  return GraphBorrow{std::move(*borrow), &instance->graph};
}

}  // namespace norvel::python
