#pragma once

#include "python/py_failure.hpp"

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "graph/node_id.hpp"

namespace norvel::python {

// The parameters of one Python-callable, all of them positional-or-keyword.
struct ParameterTable {
  std::string_view function_name;
  std::string_view class_name;  // empty for a module-level function
  std::span<const std::string_view> parameter_names;
  std::size_t required_count;
};

// "compute_safe_routes()" or "PyGraph.from_json()", as messages name the callable.
std::string full_name(const ParameterTable& table);

// Binds a fast call (`nargs` positional values followed by the keyword values
// named by `kwnames`) to one slot per parameter; slots receive borrowed
// references. Fails with the interpreter-style TypeError of the first problem.
PyExpected<void> bind_arguments(const ParameterTable& table, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames, std::span<PyObject*> slots);

PyExpected<NodeId> convert_node_id(PyObject* object);
PyExpected<double> convert_double(PyObject* object);
// UTF-8 bytes owned by the str object: valid while the caller keeps it alive.
PyExpected<std::string_view> convert_text(PyObject* object);

// TypeError "'{type}' object cannot be converted to '{target_name}'".
PyFailure type_check_failure(PyObject* object, const char* target_name);

// A TypeError (exactly that class) gets the parameter's name in front of its
// message; every other error passes unchanged.
PyFailure wrap_argument_error(const char* parameter_name, PyFailure failure);

}  // namespace norvel::python
