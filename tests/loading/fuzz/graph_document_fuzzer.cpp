// libFuzzer target for the graph document reader, outside the normal build.
// Build and run from the project root (clang 14 and libclang-rt-14-dev):
//   mkdir -p build-json-fuzz && clang++-14 -std=c++2b -O1 -g -fsanitize=fuzzer,address,undefined -I. \
//     tests/loading/fuzz/graph_document_fuzzer.cpp loading/graph_document_reader.cpp \
//     loading/json_cursor.cpp loading/error_texts.cpp loading/street_name_collector.cpp \
//     loading/string_text.cpp loading/risk_layers_reader.cpp graph/risk_layer_rules.cpp \
//     -o build-json-fuzz/graph_document_fuzzer
//   build-json-fuzz/graph_document_fuzzer -max_total_time=300 -max_len=4096 \
//     -dict=tests/loading/fuzz/graph_document.dict build-json-fuzz/corpus
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "loading/graph_document_reader.hpp"
#include "loading/risk_layers_reader.hpp"
#include "tests/loading/form_only_syntax.hpp"

namespace {

bool same(const norvel::ReadFailure& a, const norvel::ReadFailure& b) {
  return a.offset == b.offset && a.description == b.description;
}

bool same(const norvel::StreetNames& a, const norvel::StreetNames& b) {
  return a.of_edge == b.of_edge && a.text == b.text && a.starts == b.starts;
}

bool same(const std::vector<norvel::NamedRisks>& a, const std::vector<norvel::NamedRisks>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].by_edge.size() != b[i].by_edge.size()) return false;
    for (std::size_t j = 0; j < a[i].by_edge.size(); ++j) {
      if (std::bit_cast<std::uint64_t>(a[i].by_edge[j]) != std::bit_cast<std::uint64_t>(b[i].by_edge[j])) return false;
    }
  }
  return true;
}

// Reads the text's layers on the way and after the pass; aborts unless both
// give the same. Whether the graph was read.
bool layers_read_alike(std::string_view text) {
  norvel::GraphBuilder builders[2];
  norvel::ReadFailure failures[2];
  norvel::RiskLayersMembers members[2];
  members[1].read = false;
  const bool read = norvel::read_graph_document(text, builders[0], failures[0], nullptr, members[0]);
  if (norvel::read_graph_document(text, builders[1], failures[1], nullptr, members[1]) != read) std::abort();
  if (!read) {
    if (!same(failures[0], failures[1])) std::abort();
    return false;
  }
  const auto on_the_way = norvel::read_risk_layers(text, members[0], builders[0].edges.size());
  const auto after = norvel::read_risk_layers(text, members[1], builders[1].edges.size());
  if (on_the_way.has_value() != after.has_value()) std::abort();
  if (!on_the_way) {
    if (!same(on_the_way.error(), after.error()) || on_the_way.error().offset > text.size()) std::abort();
  } else if (!same(*on_the_way, *after)) {
    std::abort();
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  norvel::GraphBuilder builder;
  norvel::ReadFailure failure;
  const bool read = norvel::read_graph_document(text, builder, failure);
  // The careful reader reads the same text the same way.
  norvel::GraphBuilder careful;
  norvel::ReadFailure careful_failure;
  if (norvel::read_graph_document_carefully(text, careful, careful_failure) != read) std::abort();
  // Asking for the street names changes nothing; both readers give the same.
  norvel::GraphBuilder named, careful_named;
  norvel::ReadFailure named_failure, careful_named_failure;
  norvel::StreetNames names, careful_names;
  if (norvel::read_graph_document(text, named, named_failure, &names) != read) std::abort();
  if (!read && !same(named_failure, failure)) std::abort();
  norvel::read_graph_document_carefully(text, careful_named, careful_named_failure, &careful_names);
  if (!same(names, careful_names)) std::abort();
  // Noting the risk layers changes nothing either; whatever they hold, their
  // reading ends with layers or a failure inside the text, and the layers
  // read on the way are those, the failure the one, of the careful reader
  // reading every member after the pass. As a layers member, the text is
  // read the same way.
  if (layers_read_alike(text) != read) std::abort();
  const std::string wrapped = std::string(R"({"nodes":[],"edges":[],"risk_layers":)").append(text) + "}";
  layers_read_alike(wrapped);
  if (read) return 0;
  if (!same(failure, careful_failure)) std::abort();
  // A failure lies inside the text, has a description, and a text that ended
  // too early is reported at its end.
  if (failure.offset > size || failure.description.empty()) std::abort();
  if (failure.description.starts_with("EOF while parsing") && failure.offset != size) std::abort();
  // Reading is deterministic.
  norvel::GraphBuilder again;
  norvel::ReadFailure second;
  if (norvel::read_graph_document(text, again, second) || !same(second, failure)) std::abort();
  // Put whole where a value is skipped, the text fails the same way.
  if (norvel::testing::is_form_only_syntax(failure.description)) {
    constexpr std::string_view kBefore = R"({"nodes":[],"edges":[],"x":)";
    norvel::GraphBuilder skipping;
    norvel::ReadFailure skipped;
    if (norvel::read_graph_document(std::string(kBefore).append(text), skipping, skipped) ||
        skipped.offset != kBefore.size() + failure.offset || skipped.description != failure.description) {
      std::abort();
    }
  }
  return 0;
}
