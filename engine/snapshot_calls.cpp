#include <cstring>
#include <string>
#include <utility>

#include <nanobind/stl/string.h>

#include "engine/bindings.hpp"
#include "engine/snapshot.hpp"

namespace norvel::engine {

namespace {

void save(const EngineGraph& engine, const std::string& path, nb::bytes source_sha256) {
  Sha256 source{};
  if (source_sha256.size() != source.size()) throw nb::value_error("source_sha256 is 32 bytes");
  std::memcpy(source.data(), source_sha256.c_str(), source.size());
  std::expected<void, std::string> written;
  {
    // The graph is immutable and held by this call.
    nb::gil_scoped_release unlocked;
    written = write_snapshot(engine, source, path);
  }
  if (!written) {
    PyErr_SetString(PyExc_OSError, written.error().c_str());
    throw nb::python_error();
  }
}

// The graph, or why the file is no snapshot this reader takes: (description,
// version) with the file's format version when it is a sound snapshot of
// another (1 for the other byte order), else 0.
nb::object open_snapshot(const std::string& path) {
  std::expected<EngineGraph, SnapshotError> engine;
  SnapshotFacts facts;
  {
    nb::gil_scoped_release unlocked;
    engine = map_snapshot(path, &facts);
  }
  if (!engine) return nb::make_tuple(engine.error().description, engine.error().other_version);
  engine->has_source = true;
  engine->source_sha256 = facts.source_sha256;
  return nb::cast(std::move(*engine));
}

}  // namespace

void bind_snapshots(nb::module_& module, GraphClass& graph_class) {
  // How the package tells a snapshot from a document by its first bytes.
  module.attr("SNAPSHOT_MAGIC") = nb::bytes(kSnapshotMagic.data(), kSnapshotMagic.size());
  graph_class
      .def("save", &save, nb::arg("path"), nb::arg("source_sha256"),
           "save(path, source_sha256)\n"
           "Writes the graph, its street names and nearest-node index as a snapshot file: to a new\n"
           "file beside path, flushed, then renamed over path. source_sha256 (32 bytes) goes into\n"
           "the header. OSError with the system's message when it cannot be written.")
      .def_static("open_snapshot", &open_snapshot, nb::arg("path"),
                  "open_snapshot(path)\n"
                  "The Graph of a snapshot file, mapped read-only (its arrays view the file's pages)\n"
                  "after every byte is checked against its checksum; or (description, version) for a\n"
                  "file that is not a sound snapshot of this format: version is that of a sound one of\n"
                  "another format, else 0.")
      .def_prop_ro("source_sha256",
                   [](const EngineGraph& e) -> nb::object {
                     if (!e.has_source) return nb::none();
                     return nb::bytes(reinterpret_cast<const char*>(e.source_sha256.data()), e.source_sha256.size());
                   },
                   "The SHA-256 its snapshot gives of the source document; None for a graph read from JSON.")
      .def_prop_ro("mapped", [](const EngineGraph& e) { return e.graph.out_edges.is_view(); },
                   "Whether the arrays are views of a mapped snapshot file.");
}

}  // namespace norvel::engine
