#include "python/safe_routes_function.hpp"

#include <string_view>
#include <utility>
#include <vector>

#include "graph/safe_route_request.hpp"
#include "python/arguments.hpp"
#include "python/entry_guard.hpp"
#include "python/py_graph.hpp"
#include "python/py_route_result.hpp"

namespace norvel::python {
namespace {

constexpr std::string_view kParameters[] = {"graph", "source", "target", "eps"};
constexpr ParameterTable kTable{
    .function_name = "compute_safe_routes",
    .class_name = {},
    .parameter_names = kParameters,
    .required_count = 4,
};

// Ctrl-C during a long request: the interpreter's handler has only noted
// the signal, and running it (KeyboardInterrupt by default) sets the
// exception the request then ends with. The lock stays held throughout.
bool stop_on_signal(void*) { return PyErr_CheckSignals() != 0; }

PyResult run_request(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[4];
  if (PyExpected<void> bound = bind_arguments(kTable, args, nargs, kwnames, slots); !bound) {
    return std::unexpected(std::move(bound.error()));
  }
  // The borrow of the graph is held until this function returns, whatever
  // happens after it is taken.
  PyExpected<GraphBorrow> graph = borrow_graph(slots[0]);
  if (!graph) {
    return std::unexpected(wrap_argument_error("graph", std::move(graph.error())));
  }
  PyExpected<NodeId> source = convert_node_id(slots[1]);
  if (!source) {
    return std::unexpected(wrap_argument_error("source", std::move(source.error())));
  }
  PyExpected<NodeId> target = convert_node_id(slots[2]);
  if (!target) {
    return std::unexpected(wrap_argument_error("target", std::move(target.error())));
  }
  PyExpected<double> eps = convert_double(slots[3]);
  if (!eps) {
    return std::unexpected(wrap_argument_error("eps", std::move(eps.error())));
  }
  std::expected<std::vector<RouteRecord>, RouteError> routes =
      compute_safe_routes(*graph->graph, *source, *target, *eps, SearchOptions{.stop = {.hook = stop_on_signal}});
  if (!routes && routes.error().kind == RouteErrorKind::interrupted) {
    return std::unexpected(fetch_pending_failure());
  }
  if (!routes) {
    return std::unexpected(failure_with_text(PyExc_RuntimeError, std::move(routes.error().message)));
  }
  return route_result_list(std::move(*routes));
}

PyObject* compute_safe_routes_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
  return entry_guard([&] { return run_request(args, nargs, kwnames); });
}

using FastCallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyMethodDef definition = {
    "compute_safe_routes",
    reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(static_cast<FastCallWithKeywords>(compute_safe_routes_entry))),
    METH_FASTCALL | METH_KEYWORDS,
    "compute_safe_routes(graph, source, target, eps)\n"
    "--\n"
    "\n"
    "Calcule les 3 itinéraires Pareto-optimaux entre source et destination.\n"
    "\n"
    "# Arguments\n"
    "* `graph`  — graphe routier chargé (objet `PyGraph`)\n"
    "* `source` — NodeId OSM de départ\n"
    "* `target` — NodeId OSM d'arrivée\n"
    "* `eps`    — approximation A*pex : 0.0 = exact, 0.1 = 10% approx (recommandé)",
};

}  // namespace

PyMethodDef* compute_safe_routes_definition() { return &definition; }

}  // namespace norvel::python
