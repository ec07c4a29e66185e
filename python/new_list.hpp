#pragma once

#include <cstddef>

#include "python/py_failure.hpp"
#include "python/python_api.hpp"

namespace norvel::python {

// A new list of `count` items, item i made by `make_item(i)` (a PyResult).
// The first failure drops the partly filled list and is returned.
template <class MakeItem>
PyResult new_list(std::size_t count, MakeItem make_item) {
  PyResult list = api_result(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) {
    return list;
  }
  for (std::size_t i = 0; i < count; ++i) {
    PyResult item = make_item(i);
    if (!item) {
      return item;
    }
    PyList_SET_ITEM(list->get(), static_cast<Py_ssize_t>(i), item->release());
  }
  return list;
}

}  // namespace norvel::python
