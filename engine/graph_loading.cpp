#include <algorithm>
#include <atomic>
#include <exception>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "engine/bindings.hpp"
#include "loading/graph_loader.hpp"

namespace norvel::engine {

namespace {

// The UTF-8 text of a bytes or str object; it stays valid while the object
// lives. A str that cannot be encoded (lone surrogates) raises its
// UnicodeEncodeError.
std::string_view document_text(nb::handle data) {
  if (PyBytes_Check(data.ptr())) {
    return {PyBytes_AS_STRING(data.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr()))};
  }
  if (PyUnicode_Check(data.ptr())) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(data.ptr(), &size);
    if (text == nullptr) throw nb::python_error();
    return {text, static_cast<std::size_t>(size)};
  }
  throw nb::type_error("a graph document is bytes or str");
}

// Each document layer made into a layer of `graph`, side by side on the
// machine's processors: a layer's pass over the rows reads the finished
// graph and writes only its own layer, so they share nothing, and a load
// with layers takes little longer than one without on a machine with a
// processor to spare. Each layer's values go once it is made.
std::vector<RiskLayer> make_layers(const RoadGraph& graph, std::vector<NamedRisks>& risks) {
  std::vector<RiskLayer> made(risks.size());
  std::atomic<std::size_t> next{0};
  std::vector<std::exception_ptr> failures(risks.size());
  auto work = [&] {
    for (std::size_t i = next++; i < risks.size(); i = next++) {
      try {
        made[i] = make_risk_layer(graph, std::move(risks[i].by_edge));
      } catch (...) {
        failures[i] = std::current_exception();
      }
    }
  };
  {
    // This thread is one of the workers; hardware_concurrency may say 0.
    const std::size_t workers =
        std::min<std::size_t>(risks.size(), std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::jthread> threads;
    for (std::size_t t = 1; t < workers; ++t) threads.emplace_back(work);
    work();
  }
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
  return made;
}

// The graph of a document's records, with its names and layers.
EngineGraph build(DocumentRecords&& document) {
  EngineGraph engine;
  engine.graph = build_graph(std::move(document.records));
  engine.names = std::move(document.names);
  engine.risk_layers_members = std::move(document.risk_layers_members);
  std::vector<RiskLayer> layers = make_layers(engine.graph, document.risk_layers);
  for (std::size_t i = 0; i < layers.size(); ++i) {
    engine.layers->add(
        std::make_shared<const NamedLayer>(NamedLayer{std::move(document.risk_layers[i].name), std::move(layers[i])}));
  }
  for (const NamedHours& hours : document.layer_hours) engine.layers->set_hours(hours.name, hours.hours);
  return engine;
}

EngineGraph load(nb::object data, bool names, bool layers) {
  const std::string_view text = document_text(data);
  std::expected<DocumentRecords, DocumentError> document;
  {
    // `data` is immutable and held by this call: the text outlives the
    // unlocked stretch.
    nb::gil_scoped_release unlocked;
    document = read_document(text, names, layers);
  }
  if (!document) throw nb::value_error(document.error().message().c_str());
  nb::gil_scoped_release unlocked;
  return build(std::move(*document));
}

// The same for a document handed over in a one-item list, which it empties
// once the text is read: with the caller's last reference gone, the text is
// freed before the graph is built, and a load peaks at the records and the
// graph rather than at the text, the records and the graph.
EngineGraph load_taking(nb::list held) {
  if (held.size() != 1) throw nb::value_error("a list of one graph document");
  nb::object data = held[0];
  held.clear();
  const std::string_view text = document_text(data);
  std::expected<DocumentRecords, DocumentError> document;
  {
    nb::gil_scoped_release unlocked;
    document = read_document(text, true);
  }
  if (!document) throw nb::value_error(document.error().message().c_str());
  data = nb::object();  // the text's last reference, unless the caller kept one
  nb::gil_scoped_release unlocked;
  return build(std::move(*document));
}

}  // namespace

void bind_loading(GraphClass& graph_class) {
  graph_class.def_prop_ro(
      "risk_layers_members",
      [](const EngineGraph& engine) {
        nb::list members;
        for (const auto& [start, end] : engine.risk_layers_members) members.append(nb::make_tuple(start, end));
        return members;
      },
      "Where the document's risk_layers members' values were, read or skipped: (start, end) byte\n"
      "offsets into its UTF-8 text, in document order; [] for a graph of no document.");
  graph_class.def_static("load_taking", &load_taking, nb::arg("held"),
                         "load_taking(held)\n"
                         "Graph.load of the document in the one-item list held (bytes or str), names included,\n"
                         "which it empties: the text is freed as soon as it is read, before the graph is built.");
  graph_class.def_static("load", &load, nb::arg("data"), nb::arg("names") = true, nb::arg("layers") = true,
                         "load(data, names=True, layers=True)\n"
                         "Reads a graph document (UTF-8 JSON as bytes or str) into a Graph, without the\n"
                         "interpreter lock; with names, the edges' street names too. ValueError with the\n"
                         "document's message ('... at line L column C') when it is no graph document. Without\n"
                         "layers, a risk_layers member is skipped as norvel_core skips it (risk_layers_members\n"
                         "says where it was).");
}

}  // namespace norvel::engine
