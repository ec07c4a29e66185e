// libFuzzer target for a whole request: graph document -> graph -> routes
// between ids taken from the document, checked against the reference model.
// Outside the normal build. Build and run from the project root with clang 16
// and libclang-rt-16-dev; g++ 12's <expected> asks for a concepts level that
// clang 16 implements without announcing it, hence the macro:
//   mkdir -p build-route-fuzz && clang++-16 -std=c++2b -Wno-macro-redefined -D__cpp_concepts=202002L \
//     -O1 -g -ffp-contract=off -fsanitize=fuzzer,address,undefined -I. -Itests/graph \
//     tests/graph/fuzz/route_request_fuzzer.cpp \
//     graph/*.cpp loading/*.cpp tests/graph/reference/reference_search.cpp -o build-route-fuzz/route_request_fuzzer
//   tests/graph/fuzz/make_seeds.py build-route-fuzz/corpus   (with CPython 3.13)
//   build-route-fuzz/route_request_fuzzer -max_total_time=600 -max_len=2048 \
//     -dict=tests/loading/fuzz/graph_document.dict build-route-fuzz/corpus
//
// Input: three selector bytes (source, target, eps and the search's
// settings), then the document. Half the inputs shrink the settings so that
// small graphs reach every way the search works; a quarter run the
// approximate search to the end with its cuts set up after a few labels.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>
#include <vector>

#include "graph/safe_route_request.hpp"
#include "loading/graph_loader.hpp"
#include "reference/compare_routes.hpp"
#include "reference/reference_search.hpp"

namespace {

constexpr double kEpsValues[] = {0.0, 0.05, 0.1, 0.3, 1.0, 0.0, 0.0, -0.5, std::numeric_limits<double>::quiet_NaN()};

// The reference copies whole paths for every label: keep its work small.
constexpr std::size_t kMostNodes = 16;
constexpr std::size_t kMostEdges = 40;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 3), size - 3);
  auto graph = norvel::load_graph(text);
  if (!graph || graph->nodes.size() > kMostNodes) return 0;
  const std::vector<norvel::Edge> edges = norvel::edge_list(*graph);
  if (edges.size() > kMostEdges) return 0;

  // Ids from the node list, from edge ends, and one that occurs nowhere.
  std::vector<norvel::NodeId> ids;
  for (const norvel::Node& node : graph->nodes) ids.push_back(node.id);
  for (const norvel::Edge& edge : edges) ids.push_back(edge.to);
  ids.push_back(0x5eed);
  const norvel::NodeId source = ids[data[0] % ids.size()];
  const norvel::NodeId target = ids[data[1] % ids.size()];
  const double eps = kEpsValues[(data[2] & 0x7f) % std::size(kEpsValues)];
  constexpr norvel::SearchTuning kShrunk{.short_request_labels = 2,
                                         .short_approximate_request_labels = 2,
                                         .labels_before_known_routes = 2,
                                         .approximate_labels = 2};
  // The approximate search to the end, its cuts set up after a few labels
  // and again after a few more.
  constexpr norvel::SearchTuning kStagedCuts{.short_approximate_request_labels = 2,
                                             .approximate_labels = UINT64_MAX,
                                             .approximate_labels_before_cuts = 3};
  const norvel::SearchTuning tuning = (data[2] & 0x80) != 0   ? kShrunk
                                      : (data[1] & 0x80) != 0 ? kStagedCuts
                                                              : norvel::SearchTuning{};

  const norvel::reference::Graph model = norvel::reference::make_graph(graph->nodes, edges);
  const norvel::FastResult fast = norvel::compute_safe_routes(*graph, source, target, eps, {.tuning = tuning});
  const norvel::ModelResult expected = norvel::reference::compute_safe_routes(model, source, target, eps);
  if (const std::string why = norvel::result_difference(fast, expected); !why.empty()) {
    std::fprintf(stderr, "differs from the reference: %s (source %llu, target %llu, eps %g)\n", why.c_str(),
                 static_cast<unsigned long long>(source), static_cast<unsigned long long>(target), eps);
    std::abort();
  }
  return 0;
}
