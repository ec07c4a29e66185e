#include "python/class_object.hpp"

#include <string>
#include <utility>

#include "python/entry_guard.hpp"

namespace norvel::python {

PyExpected<PyTypeObject*> class_object(ObjectCell& cell, PyType_Spec& spec) {
  if (PyObject* existing = cell.get()) {
    return reinterpret_cast<PyTypeObject*>(existing);
  }
  OwnedRef created = OwnedRef::steal(PyType_FromSpec(&spec));
  if (!created) {
    return std::unexpected(fetch_pending_failure());
  }
  return reinterpret_cast<PyTypeObject*>(cell.keep_first(std::move(created)));
}

PyExpected<PyTypeObject*> class_object_for_use(ObjectCell& cell, PyType_Spec& spec,
                                               std::string_view class_name) {
  PyExpected<PyTypeObject*> type = class_object(cell, spec);
  if (type) {
    return type;
  }
  raise_failure(std::move(type.error()));
  PyErr_PrintEx(0);
  return std::unexpected(panic_failure("failed to create type object for " + std::string(class_name)));
}

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  return entry_guard([type]() -> PyResult {
    OwnedRef name = OwnedRef::steal(PyType_GetName(type));
    if (!name) {
      return std::unexpected(fetch_pending_failure());
    }
    OwnedRef message = OwnedRef::steal(PyUnicode_FromFormat("No constructor defined for %U", name.get()));
    if (!message) {
      return std::unexpected(fetch_pending_failure());
    }
    return std::unexpected(failure_with_message(PyExc_TypeError, std::move(message)));
  });
}

PyResult allocate_instance(PyTypeObject* type) {
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) {
    return std::unexpected(fetch_pending_failure());
  }
  return OwnedRef::steal(object);
}

void free_instance(PyObject* object) noexcept {
  // Instances of heap types hold a reference to their class.
  PyTypeObject* type = Py_TYPE(object);
  type->tp_free(object);
  Py_DECREF(type);
}

}  // namespace norvel::python
