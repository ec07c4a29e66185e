#pragma once

#include "python/python_api.hpp"

namespace norvel::python {

// The method definition of the module function compute_safe_routes; it
// lives as long as the process, as the function objects made from it need.
PyMethodDef* compute_safe_routes_definition();

}  // namespace norvel::python
