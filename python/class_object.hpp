#pragma once

#include "python/object_cell.hpp"
#include "python/py_failure.hpp"

#include <string_view>

namespace norvel::python {

// The class object kept in `cell`, created from `spec` the first time it is
// needed and reused for the life of the process. A creation failure is the
// interpreter's pending error (what module initialisation raises).
PyExpected<PyTypeObject*> class_object(ObjectCell& cell, PyType_Spec& spec);

// The same for every other entry point: there a class that cannot be created
// is an internal fault, reported after printing the interpreter's error.
PyExpected<PyTypeObject*> class_object_for_use(ObjectCell& cell, PyType_Spec& spec,
                                               std::string_view class_name);

// The new-instance slot of both classes: instances are only made inside
// the module, so any call of the class from Python is refused.
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

// Allocates an instance through the class's allocation slot; the caller
// constructs the value in place.
PyResult allocate_instance(PyTypeObject* type);

// Frees an instance whose value the caller already destroyed.
void free_instance(PyObject* object) noexcept;

}  // namespace norvel::python
