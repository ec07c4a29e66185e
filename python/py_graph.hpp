#pragma once

#include "python/py_failure.hpp"
#include "python/shared_borrow.hpp"

#include "graph/road_graph.hpp"

namespace norvel::python {

// The PyGraph class, created at first need (see class_object).
PyExpected<PyTypeObject*> graph_class_for_module();
PyExpected<PyTypeObject*> graph_class_for_use();

// Read access to the graph of a PyGraph argument for the length of one call.
struct GraphBorrow {
  SharedBorrow borrow;
  const RoadGraph* graph;
};
PyExpected<GraphBorrow> borrow_graph(PyObject* object);

}  // namespace norvel::python
