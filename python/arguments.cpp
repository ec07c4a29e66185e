#include "python/arguments.hpp"

#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace norvel::python {
namespace {

std::string were_or_was(Py_ssize_t count) { return count == 1 ? "was" : "were"; }

PyFailure too_many_positional(const ParameterTable& table, Py_ssize_t nargs) {
  const std::size_t parameter_count = table.parameter_names.size();
  std::string message = full_name(table) + " takes ";
  if (table.required_count == parameter_count) {
    message += std::to_string(parameter_count);
  } else {
    message += "from " + std::to_string(table.required_count) + " to " + std::to_string(parameter_count);
  }
  message += " positional arguments but " + std::to_string(nargs) + " " + were_or_was(nargs) + " given";
  return failure_with_text(PyExc_TypeError, std::move(message));
}

PyFailure multiple_values(const ParameterTable& table, std::string_view parameter) {
  return failure_with_text(PyExc_TypeError, full_name(table) + " got multiple values for argument '" +
                                                std::string(parameter) + "'");
}

PyFailure unexpected_keyword(const ParameterTable& table, PyObject* keyword) {
  // The keyword may hold text that UTF-8 cannot carry, so the message is
  // assembled by the interpreter from the keyword's own str().
  OwnedRef shown = OwnedRef::steal(PyObject_Str(keyword));
  if (!shown) {
    return fetch_pending_failure();
  }
  const std::string name = full_name(table);
  OwnedRef message = OwnedRef::steal(
      PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'", name.c_str(), shown.get()));
  if (!message) {
    return fetch_pending_failure();
  }
  return failure_with_message(PyExc_TypeError, std::move(message));
}

// 'eps' / 'target' and 'eps' / 'source', 'target', and 'eps'
std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) {
        list += ",";
      }
      list += i + 1 == names.size() ? " and " : " ";
    }
    list += "'";
    list += names[i];
    list += "'";
  }
  return list;
}

PyFailure missing_required(const ParameterTable& table, std::span<PyObject*> slots) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < table.required_count; ++i) {
    if (slots[i] == nullptr) {
      missing.push_back(table.parameter_names[i]);
    }
  }
  std::string message = full_name(table) + " missing " + std::to_string(missing.size()) +
                        " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                        ": " + quoted_list(missing);
  return failure_with_text(PyExc_TypeError, std::move(message));
}

std::string_view keyword_text(PyObject* keyword) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(keyword, &size);
  if (data == nullptr) {
    // A name that has no UTF-8 form cannot match any parameter.
    PyErr_Clear();
    return {};
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

}  // namespace

std::string full_name(const ParameterTable& table) {
  std::string name;
  if (!table.class_name.empty()) {
    name += table.class_name;
    name += ".";
  }
  name += table.function_name;
  name += "()";
  return name;
}

PyExpected<void> bind_arguments(const ParameterTable& table, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames, std::span<PyObject*> slots) {
  const std::size_t parameter_count = table.parameter_names.size();
  for (PyObject*& slot : slots) {
    slot = nullptr;
  }
  const std::size_t positional = static_cast<std::size_t>(nargs);
  if (positional > parameter_count) {
    return std::unexpected(too_many_positional(table, nargs));
  }
  for (std::size_t i = 0; i < positional; ++i) {
    slots[i] = args[i];
  }

  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    const std::string_view text = keyword_text(keyword);
    std::size_t match = parameter_count;
    if (text.data() != nullptr) {
      for (std::size_t i = 0; i < parameter_count; ++i) {
        if (table.parameter_names[i] == text) {
          match = i;
          break;
        }
      }
    }
    if (match == parameter_count) {
      return std::unexpected(unexpected_keyword(table, keyword));
    }
    if (slots[match] != nullptr) {
      return std::unexpected(multiple_values(table, table.parameter_names[match]));
    }
    slots[match] = args[nargs + k];
  }

  if (positional < table.required_count) {
    for (std::size_t i = positional; i < table.required_count; ++i) {
      if (slots[i] == nullptr) {
        return std::unexpected(missing_required(table, slots));
      }
    }
  }
  return {};
}

PyExpected<NodeId> convert_node_id(PyObject* object) {
  unsigned long long value = 0;
  if (PyLong_Check(object)) {
    value = PyLong_AsUnsignedLongLong(object);
  } else {
    OwnedRef index = OwnedRef::steal(PyNumber_Index(object));
    if (!index) {
      return std::unexpected(fetch_pending_failure());
    }
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  // All ones is also the valid id 2^64 - 1: only a pending error makes it a failure.
  if (value == ULLONG_MAX && PyErr_Occurred() != nullptr) {
    return std::unexpected(fetch_pending_failure());
  }
  return static_cast<NodeId>(value);
}

PyExpected<double> convert_double(PyObject* object) {
  if (PyFloat_CheckExact(object)) {
    return PyFloat_AS_DOUBLE(object);
  }
  const double value = PyFloat_AsDouble(object);
  // -1.0 is also a genuine value: only a pending error makes it a failure.
  if (value == -1.0 && PyErr_Occurred() != nullptr) {
    return std::unexpected(fetch_pending_failure());
  }
  return value;
}

PyExpected<std::string_view> convert_text(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    return std::unexpected(type_check_failure(object, "PyString"));
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) {
    return std::unexpected(fetch_pending_failure());
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

PyFailure type_check_failure(PyObject* object, const char* target_name) {
  OwnedRef type_name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!type_name) {
    PyErr_Clear();
    type_name = OwnedRef::steal(PyUnicode_FromString("<failed to extract type name>"));
    if (!type_name) {
      return fetch_pending_failure();
    }
  }
  OwnedRef message = OwnedRef::steal(PyUnicode_FromFormat(
      "'%U' object cannot be converted to '%s'", type_name.get(), target_name));
  if (!message) {
    return fetch_pending_failure();
  }
  return failure_with_message(PyExc_TypeError, std::move(message));
}

PyFailure wrap_argument_error(const char* parameter_name, PyFailure failure) {
  if (failure.type != PyExc_TypeError) {
    return failure;
  }
  OwnedRef shown;
  OwnedRef cause;
  if (failure.value && PyExceptionInstance_Check(failure.value.get())) {
    shown = OwnedRef::steal(PyObject_Str(failure.value.get()));
    cause = OwnedRef::steal(PyException_GetCause(failure.value.get()));
  } else if (failure.value) {
    shown = std::move(failure.value);
  } else {
    shown = OwnedRef::steal(PyUnicode_FromStringAndSize(
        failure.text.data(), static_cast<Py_ssize_t>(failure.text.size())));
  }
  if (!shown) {
    return fetch_pending_failure();
  }
  OwnedRef message =
      OwnedRef::steal(PyUnicode_FromFormat("argument '%s': %U", parameter_name, shown.get()));
  if (!message) {
    return fetch_pending_failure();
  }
  OwnedRef wrapped = OwnedRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!wrapped) {
    return fetch_pending_failure();
  }
  // The new error stands in for the old one: it takes over the old one's
  // cause instead of chaining to it.
  PyException_SetCause(wrapped.get(), cause.release());
  return PyFailure{PyExc_TypeError, std::move(wrapped), {}};
}

}  // namespace norvel::python
