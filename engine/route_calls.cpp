#include <optional>
#include <vector>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/vector.h>

#include "engine/bindings.hpp"
#include "engine/request_deadline.hpp"
#include "engine/route_results.hpp"
#include "engine/signals.hpp"
#include "graph/safe_route_request.hpp"

namespace norvel::engine {

namespace {

// Why a request should stop, asked by the search's poll on the thread that
// runs it, without the interpreter lock: its deadline, and on the main
// thread Ctrl-C.
struct StopState {
  RequestDeadline deadline;
  std::optional<SignalWatch> signals;
  PyObject* raised = nullptr;  // what a signal handler raised; owned
};

bool should_stop(void* context) {
  StopState& state = *static_cast<StopState*>(context);
  if (state.deadline.passed()) return true;
  if (state.signals) state.raised = state.signals->raised_now();
  return state.raised != nullptr;
}

nb::object route(const EngineGraph& engine, NodeId source, NodeId target, double eps,
                 std::optional<double> timeout_s) {
  StopState state;
  state.deadline = RequestDeadline::after(timeout_s);
  if (on_main_thread()) state.signals.emplace();
  std::expected<std::vector<RouteRecord>, RouteError> answer;
  {
    nb::gil_scoped_release unlocked;
    answer = compute_safe_routes(engine.graph, source, target, eps,
                                 SearchOptions{.stop = {.hook = should_stop, .context = &state}});
  }
  if (state.raised != nullptr) {
    PyErr_SetRaisedException(state.raised);
    throw nb::python_error();
  }
  return answer_object(engine, answer);
}

}  // namespace

void bind_routes(nb::module_& module, GraphClass& graph_class) {
  remember_main_thread();
  (void)module;
  graph_class.def("route", &route, nb::arg("source"), nb::arg("target"), nb::arg("eps"),
                  nb::arg("timeout_s") = nb::none(),
                  "route(source, target, eps, timeout_s=None)\n"
                  "The routes between two node ids, searched without the interpreter lock, bit for bit\n"
                  "those of norvel_core.compute_safe_routes. A list of one to three rows (type, nodes,\n"
                  "coordinates as (lon, lat), distance_m, risk, time_min, comfort, familiarity, streets),\n"
                  "or for a failure a (kind, role) pair: ('node_not_found', 'origin' | 'destination'),\n"
                  "('source_isolated', ''), ('no_route', ''), or ('timeout', '') once timeout_s seconds\n"
                  "have passed. On the main thread, Ctrl-C raises KeyboardInterrupt from the request.");
  graph_class.def("streets", &street_list, nb::arg("nodes"),
                  "streets(nodes)\n"
                  "The street names along a node path, a name once for each stretch; [] without names.");
}

}  // namespace norvel::engine
