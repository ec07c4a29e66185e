#include "python/python_api.hpp"

#include <atomic>
#include <cstdint>
#include <utility>

#include "python/arguments.hpp"
#include "python/entry_guard.hpp"
#include "python/object_cell.hpp"
#include "python/py_failure.hpp"
#include "python/py_graph.hpp"
#include "python/py_route_result.hpp"
#include "python/safe_routes_function.hpp"

namespace norvel::python {
namespace {

// The interpreter that imported the module first; every other one is refused,
// because the class objects and the cached module belong to that one.
std::atomic<std::int64_t> first_interpreter_id{-1};
ObjectCell module_cell;
ObjectCell all_name_cell;
ObjectCell name_name_cell;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "norvel_core",  // m_name
    "",             // m_doc: "" rather than None
    0,              // m_size
    nullptr,        // m_methods: the function is added after creation
    nullptr,        // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

PyExpected<PyObject*> interned(ObjectCell& cell, const char* text) {
  if (PyObject* existing = cell.get()) {
    return existing;
  }
  OwnedRef created = OwnedRef::steal(PyUnicode_InternFromString(text));
  if (!created) {
    return std::unexpected(fetch_pending_failure());
  }
  return cell.keep_first(std::move(created));
}

PyExpected<void> add_to_module(PyObject* module, PyObject* name, PyObject* value) {
  PyExpected<PyObject*> all_name = interned(all_name_cell, "__all__");
  if (!all_name) {
    return std::unexpected(std::move(all_name.error()));
  }
  OwnedRef all = OwnedRef::steal(PyObject_GetAttr(module, *all_name));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      return std::unexpected(fetch_pending_failure());
    }
    PyErr_Clear();
    all = OwnedRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttr(module, *all_name, all.get()) < 0) {
      return std::unexpected(fetch_pending_failure());
    }
  }
  if (!PyList_Check(all.get())) {
    return std::unexpected(type_check_failure(all.get(), "PyList"));
  }
  if (PyList_Append(all.get(), name) < 0 || PyObject_SetAttr(module, name, value) < 0) {
    return std::unexpected(fetch_pending_failure());
  }
  return {};
}

PyExpected<void> add_class(PyObject* module, const char* name, PyExpected<PyTypeObject*> type) {
  if (!type) {
    return std::unexpected(std::move(type.error()));
  }
  OwnedRef name_object = OwnedRef::steal(PyUnicode_FromString(name));
  if (!name_object) {
    return std::unexpected(fetch_pending_failure());
  }
  return add_to_module(module, name_object.get(), reinterpret_cast<PyObject*>(*type));
}

PyExpected<void> add_function(PyObject* module) {
  OwnedRef module_name = OwnedRef::steal(PyModule_GetNameObject(module));
  if (!module_name) {
    return std::unexpected(fetch_pending_failure());
  }
  OwnedRef function = OwnedRef::steal(
      PyCMethod_New(compute_safe_routes_definition(), module, module_name.get(), nullptr));
  if (!function) {
    return std::unexpected(fetch_pending_failure());
  }
  PyExpected<PyObject*> name_name = interned(name_name_cell, "__name__");
  if (!name_name) {
    return std::unexpected(std::move(name_name.error()));
  }
  OwnedRef name = OwnedRef::steal(PyObject_GetAttr(function.get(), *name_name));
  if (!name) {
    return std::unexpected(fetch_pending_failure());
  }
  if (!PyUnicode_Check(name.get())) {
    return std::unexpected(type_check_failure(name.get(), "PyString"));
  }
  return add_to_module(module, name.get(), function.get());
}

PyResult build_module() {
  OwnedRef module = OwnedRef::steal(PyModule_Create2(&module_definition, 1013));
  if (!module) {
    return std::unexpected(fetch_pending_failure());
  }
  PyExpected<void> added = add_class(module.get(), "PyGraph", graph_class_for_module());
  if (added) {
    added = add_class(module.get(), "PyRouteResult", route_result_class_for_module());
  }
  if (added) {
    added = add_function(module.get());
  }
  if (!added) {
    return std::unexpected(std::move(added.error()));
  }
  return module;
}

PyResult initialise_module() {
  const std::int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter_id == -1) {
    return std::unexpected(fetch_pending_failure());
  }
  std::int64_t recorded = -1;
  if (!first_interpreter_id.compare_exchange_strong(recorded, interpreter_id) &&
      recorded != interpreter_id) {
    return std::unexpected(failure_with_text(
        PyExc_ImportError,
        "norvel_core does not support sub-interpreters: it can only be imported "
        "by the interpreter that imported it first in this process"));
  }
  if (PyObject* existing = module_cell.get()) {
    return OwnedRef::new_reference(existing);
  }
  PyResult module = build_module();
  if (!module) {
    return module;
  }
  return OwnedRef::new_reference(module_cell.keep_first(std::move(*module)));
}

}  // namespace
}  // namespace norvel::python

PyMODINIT_FUNC PyInit_norvel_core(void) noexcept {
  return norvel::python::entry_guard([] { return norvel::python::initialise_module(); });
}
