#pragma once

#include "python/py_failure.hpp"

#include <vector>

#include "graph/route_record.hpp"

namespace norvel::python {

// The PyRouteResult class, created at first need (see class_object).
PyExpected<PyTypeObject*> route_result_class_for_module();

// A new list holding one new PyRouteResult per record, in record order.
PyResult route_result_list(std::vector<RouteRecord>&& records);

}  // namespace norvel::python
