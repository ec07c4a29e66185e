// libFuzzer target for the graph document reader, outside the normal build.
// Build and run from the project root (clang 14 and libclang-rt-14-dev):
//   mkdir -p build-json-fuzz && clang++-14 -std=c++2b -O1 -g -fsanitize=fuzzer,address,undefined -I. \
//     tests/loading/fuzz/graph_document_fuzzer.cpp loading/graph_document_reader.cpp \
//     loading/json_cursor.cpp loading/error_texts.cpp -o build-json-fuzz/graph_document_fuzzer
//   build-json-fuzz/graph_document_fuzzer -max_total_time=300 -max_len=4096 \
//     -dict=tests/loading/fuzz/graph_document.dict build-json-fuzz/corpus
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "loading/graph_document_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  norvel::GraphBuilder builder;
  norvel::ReadFailure failure;
  if (norvel::read_graph_document(text, builder, failure)) return 0;
  // A failure lies inside the text, has a description, and a text that ended
  // too early is reported at its end.
  if (failure.offset > size || failure.description.empty()) std::abort();
  if (failure.description.starts_with("EOF while parsing") && failure.offset != size) std::abort();
  // Reading is deterministic.
  norvel::GraphBuilder again;
  norvel::ReadFailure second;
  if (norvel::read_graph_document(text, again, second) || second.offset != failure.offset ||
      second.description != failure.description) {
    std::abort();
  }
  return 0;
}
