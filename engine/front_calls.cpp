#include <optional>
#include <vector>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "engine/avoided_edges.hpp"
#include "engine/bindings.hpp"
#include "engine/request_stop.hpp"
#include "engine/route_results.hpp"
#include "graph/safe_route_request.hpp"

namespace norvel::engine {

namespace {

nb::object front(const EngineGraph& engine, NodeId source, NodeId target, std::optional<double> timeout_s,
                 const std::string& risk, const std::optional<EdgeIndices>& avoid) {
  const std::shared_ptr<const NamedLayer> layer = requested_layer(engine, risk);
  const RequestAvoided avoided = avoided_rows(engine, avoid);
  RequestStop stop(timeout_s);
  std::expected<std::vector<RouteRecord>, RouteError> answer;
  {
    nb::gil_scoped_release unlocked;
    answer = compute_front_routes(engine.graph, source, target,
                                  SearchOptions{.stop = stop.poll(), .risk_layer = layer_of(layer),
                                                .avoided = avoided_of(avoided)});
  }
  stop.rethrow();
  return answer_object(engine, layer_of(layer), answer, avoided_of(avoided));
}

}  // namespace

void bind_fronts(GraphClass& graph_class) {
  graph_class.def("front", &front, nb::arg("source"), nb::arg("target"), nb::arg("timeout_s") = nb::none(),
                  nb::arg("risk") = "default", nb::arg("avoid") = nb::none(),
                  "front(source, target, timeout_s=None, risk='default', avoid=None)\n"
                  "Every point of the exact Pareto front between two node ids, searched without the\n"
                  "interpreter lock, by distance ascending: rows as route gives them, typed 'shortest',\n"
                  "'safest' or 'balanced' where route chooses the point and 'front' otherwise; a failure\n"
                  "as route reports it. `risk` names the risk layer searched on; `avoid`, edges not taken\n"
                  "(as route's).");
}

}  // namespace norvel::engine
