// A graph's risk layers: those of its document, and those added to it later.

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include "engine/bindings.hpp"
#include "engine/new_arrays.hpp"
#include "graph/risk_layer_rules.hpp"

namespace norvel::engine {

std::shared_ptr<const NamedLayer> requested_layer(const EngineGraph& engine, std::string_view name) {
  if (name == kDocumentRiskName) return nullptr;
  std::shared_ptr<const NamedLayer> layer = engine.layers->find(name);
  if (layer == nullptr) throw nb::value_error(("the graph has no risk layer \"" + std::string(name) + "\"").c_str());
  return layer;
}

namespace {

using Risks = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

void add_risk(EngineGraph& engine, const std::string& name, Risks values,
              std::optional<std::pair<double, double>> hours) {
  if (std::string problem = risk_layer_name_problem(name); !problem.empty()) throw nb::value_error(problem.c_str());
  if (hours) {
    if (std::string problem = layer_hours_problem(name, hours->first, hours->second); !problem.empty()) {
      throw nb::value_error(problem.c_str());
    }
  }
  const RoadGraph& graph = engine.graph;
  const std::size_t count = values.shape(0);
  if (count != edge_count(graph)) throw nb::value_error(risk_count_problem(name, count, edge_count(graph)).c_str());
  const double* risks = values.data();
  for (std::size_t edge = 0; edge < count; ++edge) {
    if (!acceptable_risk(risks[edge])) throw nb::value_error(risk_value_problem(name, edge, risks[edge]).c_str());
  }
  if (engine.layers->find(name) != nullptr) throw nb::value_error(risk_name_taken(name).c_str());
  std::shared_ptr<const NamedLayer> layer;
  {
    // `values` is held by this call and read only.
    nb::gil_scoped_release unlocked;
    layer = std::make_shared<const NamedLayer>(NamedLayer{name, make_risk_layer(graph, {risks, count})});
  }
  // Two threads may have raced to the same name: the first one wins.
  std::optional<LayerHours> held;
  if (hours) held = LayerHours{hours->first, hours->second};
  if (!engine.layers->add(std::move(layer), held)) throw nb::value_error(risk_name_taken(name).c_str());
}

nb::list layer_names(const EngineGraph& engine) {
  nb::list names;
  for (const auto& layer : *engine.layers->current()) names.append(nb::str(layer->name.c_str(), layer->name.size()));
  return names;
}

void set_hours(EngineGraph& engine, const std::string& name, double start, double end) {
  if (std::string problem = layer_hours_problem(name, start, end); !problem.empty()) {
    throw nb::value_error(problem.c_str());
  }
  // Layers are never taken away: one found is there to be given hours.
  if (!engine.layers->set_hours(name, LayerHours{start, end})) requested_layer(engine, name);
}

// (name, start, end) of each layer with hours, in the order the layers came.
nb::list layer_hours(const EngineGraph& engine) {
  const std::shared_ptr<const RiskLayers> layers = engine.layers->current();
  const std::vector<std::optional<LayerHours>> hours = engine.layers->hours();
  nb::list found;
  for (std::size_t k = 0; k < layers->size(); ++k) {
    if (!hours[k]) continue;
    const std::string& name = (*layers)[k]->name;
    found.append(nb::make_tuple(nb::str(name.c_str(), name.size()), hours[k]->start, hours[k]->end));
  }
  return found;
}

NewArray<double> layer_risks(const EngineGraph& engine, const std::string& name) {
  const std::shared_ptr<const NamedLayer> layer = requested_layer(engine, name);
  const RoadGraph& graph = engine.graph;
  auto [risks, array] = new_array<double>(edge_count(graph));
  for (std::size_t slot = 0; slot < graph.out_edges.size(); ++slot) {
    const SearchEdge& edge = graph.out_edges[slot];
    risks[edge.edge_index] = layer == nullptr ? edge.risk_score : layer->layer.by_row[slot];
  }
  return array;
}

}  // namespace

void bind_layer_rules(nb::module_& module) {
  module.def(
      "layer_name_fault", [](const std::string& name) { return std::string(risk_layer_name_fault(name)); },
      nb::arg("name"),
      "layer_name_fault(name)\n"
      "Why `name` cannot name a risk layer, as the words that follow the name in a message;\n"
      "'' when it can.");
}

void bind_risk_layers(GraphClass& graph_class) {
  graph_class.def("add_risk", &add_risk, nb::arg("name"), nb::arg("values"), nb::arg("hours") = nb::none(),
                  "add_risk(name, values, hours=None)\n"
                  "Adds the risk layer `name`: float64 values, one per edge in document order, each finite\n"
                  "and not negative; with hours, (start, end) as set_hours takes them. ValueError naming\n"
                  "what is wrong (the name, the hours, the count, the first bad value) or that the name is\n"
                  "taken; nothing is added then.");
  graph_class.def_prop_ro("risk_layers", &layer_names, "The names of the risk layers besides \"default\", in the order added.");
  graph_class.def("set_hours", &set_hours, nb::arg("name"), nb::arg("start"), nb::arg("end"),
                  "set_hours(name, start, end)\n"
                  "Gives the risk layer `name` the hours it holds for, from `start` included to `end`\n"
                  "excluded, each in [0, 24), past midnight where end < start, the whole day where equal;\n"
                  "replaces any it had. ValueError for \"default\", an unknown layer or an hour out of range.");
  graph_class.def_prop_ro("layer_hours", &layer_hours,
                          "(name, start, end) of each risk layer with hours, in the order the layers came.");
  graph_class.def("layer_risks", &layer_risks, nb::arg("name"),
                  "layer_risks(name)\n"
                  "A new float64 array of the layer's risk per edge, in document order (\"default\": risk_score).");
}

}  // namespace norvel::engine
