#include <string_view>
#include <utility>

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

EngineGraph load(nb::object data, bool names) {
  const std::string_view text = document_text(data);
  EngineGraph engine;
  std::expected<LoadedDocument, DocumentError> document;
  {
    // `data` is immutable and held by this call: the text outlives the
    // unlocked stretch.
    nb::gil_scoped_release unlocked;
    document = load_document(text, names);
    if (document) {
      engine.graph = std::move(document->graph);
      engine.names = std::move(document->names);
      for (NamedRisks& risks : document->risk_layers) {
        engine.layers->add(std::make_shared<const NamedLayer>(
            NamedLayer{std::move(risks.name), make_risk_layer(engine.graph, risks.by_edge)}));
        risks.by_edge = std::vector<double>();
      }
    }
  }
  if (!document) throw nb::value_error(document.error().message().c_str());
  return engine;
}

}  // namespace

void bind_loading(GraphClass& graph_class) {
  graph_class.def_static("load", &load, nb::arg("data"), nb::arg("names") = true,
                         "load(data, names=True)\n"
                         "Reads a graph document (UTF-8 JSON as bytes or str) into a Graph, without the\n"
                         "interpreter lock; with names, the edges' street names too. ValueError with the\n"
                         "document's message ('... at line L column C') when it is no graph document.");
}

}  // namespace norvel::engine
