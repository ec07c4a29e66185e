// libFuzzer target for the graph document reader, outside the normal build.
// Build and run from the project root (clang 14 and libclang-rt-14-dev):
//   mkdir -p build-json-fuzz && clang++-14 -std=c++2b -O1 -g -fsanitize=fuzzer,address,undefined -I. \
//     tests/loading/fuzz/graph_document_fuzzer.cpp loading/graph_document_reader.cpp \
//     loading/json_cursor.cpp loading/error_texts.cpp loading/street_name_collector.cpp \
//     loading/string_text.cpp loading/risk_layers_reader.cpp graph/risk_layer_rules.cpp \
//     -o build-json-fuzz/graph_document_fuzzer
//   build-json-fuzz/graph_document_fuzzer -max_total_time=300 -max_len=4096 \
//     -dict=tests/loading/fuzz/graph_document.dict build-json-fuzz/corpus
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

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
  // reader ends with layers or a failure inside the text. As a layers
  // member, the text is read the same way.
  norvel::GraphBuilder layered;
  norvel::ReadFailure layered_failure;
  norvel::RiskLayersMembers members;
  if (norvel::read_graph_document(text, layered, layered_failure, nullptr, members) != read) std::abort();
  if (read) {
    const auto layers = norvel::read_risk_layers(text, members, layered.edges.size());
    if (!layers && layers.error().offset > size) std::abort();
  }
  const std::string wrapped = std::string(R"({"nodes":[],"edges":[],"risk_layers":)").append(text) + "}";
  norvel::GraphBuilder wrapping;
  norvel::ReadFailure wrapped_failure;
  norvel::RiskLayersMembers wrapped_members;
  if (norvel::read_graph_document(wrapped, wrapping, wrapped_failure, nullptr, wrapped_members)) {
    const auto layers = norvel::read_risk_layers(wrapped, wrapped_members, 0);
    if (!layers && layers.error().offset > wrapped.size()) std::abort();
  }
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
