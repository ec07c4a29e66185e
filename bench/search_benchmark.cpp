// Route requests on road-like grids, the fast library next to the literal
// path-copying model, on the very same graphs.
//
// A grid street network around central Helsinki: about 100 m between
// crossings, both directions of every street, lengths a little longer than
// the straight line, a busy (riskier) street every tenth row and column, and
// some familiar streets. Requests go from the centre of the grid to a
// crossing about 1 km or 3 km away.
//
// Flags, before the Google Benchmark ones:
//   --mode=both|fast|reference   which implementations to register (default both)
//   --sizes=10000,100000,1000000 which grids to build (default all three)
//   --memory                     time a single request per benchmark
// Memory: each benchmark resets the process's high-water mark (VmHWM) once
// its graph is built and reports the resident size then (rss_base_MB), the
// high-water mark after its requests (hwm_peak_MB) and their difference
// (search_MB). Allocator caches left by earlier benchmarks in the same
// process, or by the earlier calls Google Benchmark makes to size its loop,
// can hide part of a peak; for exact figures pass --memory (a single request
// per benchmark) and run one benchmark per process, e.g.
//   search_benchmark --memory --mode=fast --sizes=1000000 --benchmark_filter='^fast/1000000/far/eps:0.0/'

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "graph/road_graph.hpp"
#include "graph/safe_route_request.hpp"
#include "reference/reference_search.hpp"

namespace {

using norvel::Edge;
using norvel::Node;
using norvel::NodeId;

constexpr NodeId kFirstId = 1'000'000'000;
constexpr double kLatStep = 0.0009;  // about 100 m
constexpr double kLonStep = 0.0018;  // about 100 m at 60 degrees north

struct Grid {
  std::size_t side = 0;
  std::vector<Node> nodes;
  std::vector<Edge> edges;
};

NodeId grid_id(std::size_t side, std::size_t row, std::size_t column) { return kFirstId + row * side + column; }

double uniform(std::mt19937_64& rng, double low, double high) {
  return low + (high - low) * (static_cast<double>(rng() >> 11) * 0x1p-53);
}

Grid make_grid(std::size_t node_target) {
  Grid grid;
  grid.side = static_cast<std::size_t>(std::llround(std::sqrt(static_cast<double>(node_target))));
  const std::size_t side = grid.side;
  std::mt19937_64 rng(side);
  grid.nodes.reserve(side * side);
  for (std::size_t row = 0; row < side; ++row) {
    for (std::size_t column = 0; column < side; ++column) {
      grid.nodes.push_back(Node{grid_id(side, row, column), 60.17 + static_cast<double>(row) * kLatStep,
                                24.94 + static_cast<double>(column) * kLonStep});
    }
  }
  grid.edges.reserve(4 * side * side);
  auto street = [&](std::size_t row_a, std::size_t column_a, std::size_t row_b, std::size_t column_b, bool busy) {
    const Node& a = grid.nodes[row_a * side + column_a];
    const Node& b = grid.nodes[row_b * side + column_b];
    const double length = norvel::reference::haversine_m(a.lat, a.lon, b.lat, b.lon) * uniform(rng, 1.0, 1.3);
    const double risk = busy ? uniform(rng, 0.3, 0.5) : uniform(rng, 0.0, 0.2);
    const double familiarity = rng() % 10 == 0 ? uniform(rng, 0.0, 1.0) : 0.0;
    grid.edges.push_back(Edge{a.id, b.id, length, risk, familiarity});
    grid.edges.push_back(Edge{b.id, a.id, length, risk, familiarity});
  };
  for (std::size_t row = 0; row < side; ++row) {
    for (std::size_t column = 0; column < side; ++column) {
      if (column + 1 < side) street(row, column, row, column + 1, row % 10 == 0);
      if (row + 1 < side) street(row, column, row + 1, column, column % 10 == 0);
    }
  }
  return grid;
}

enum class Mode { both, fast, reference };

struct Graphs {
  std::size_t side = 0;
  std::unique_ptr<norvel::RoadGraph> fast;
  std::unique_ptr<norvel::reference::Graph> model;
};

Graphs build_graphs(std::size_t node_target, Mode mode) {
  Grid grid = make_grid(node_target);
  Graphs graphs;
  graphs.side = grid.side;
  if (mode != Mode::fast) {
    graphs.model = std::make_unique<norvel::reference::Graph>(norvel::reference::make_graph(grid.nodes, grid.edges));
  }
  if (mode != Mode::reference) {
    norvel::GraphBuilder builder{std::move(grid.nodes), std::move(grid.edges)};
    graphs.fast = std::make_unique<norvel::RoadGraph>(norvel::build_graph(std::move(builder)));
  }
  return graphs;
}

double status_mb(std::string_view field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field)) return std::stod(line.substr(field.size())) / 1024.0;
  }
  return 0.0;
}

// Starts a new high-water mark at the present resident size (Linux 4.0 and
// later), so that building the graph does not hide the peak of a search.
void reset_peak_memory() {
  std::ofstream clear_refs("/proc/self/clear_refs");
  clear_refs << "5";
}

struct MemoryWatch {
  double base_mb;
  MemoryWatch() {
    reset_peak_memory();
    base_mb = status_mb("VmRSS:");
  }
  void report(benchmark::State& state) const {
    const double peak_mb = status_mb("VmHWM:");
    state.counters["rss_base_MB"] = base_mb;
    state.counters["hwm_peak_MB"] = peak_mb;
    state.counters["search_MB"] = peak_mb - base_mb;
  }
};

struct Request {
  const char* name;
  std::size_t steps;  // diagonal steps from the centre; each is about 140 m
};

// Diagonal neighbours on the grid are about 141 m apart in a straight line.
constexpr Request kRequests[] = {{"near", 7}, {"far", 21}};
constexpr double kEps[] = {0.0, 0.1};

std::vector<std::unique_ptr<Graphs>> g_graphs;  // built lazily, one per size

void run_fast(benchmark::State& state, const Graphs& graphs, NodeId source, NodeId target, double eps) {
  const MemoryWatch memory;
  std::size_t routes = 0;
  for (auto _ : state) {
    auto result = norvel::compute_safe_routes(*graphs.fast, source, target, eps);
    if (!result) state.SkipWithError(result.error().message.c_str());
    routes = result ? result->size() : 0;
    benchmark::DoNotOptimize(result);
  }
  state.counters["routes"] = static_cast<double>(routes);
  memory.report(state);
}

void run_reference(benchmark::State& state, const Graphs& graphs, NodeId source, NodeId target, double eps) {
  const MemoryWatch memory;
  std::size_t routes = 0;
  norvel::reference::SearchStats stats;
  for (auto _ : state) {
    auto result = norvel::reference::compute_safe_routes(*graphs.model, source, target, eps, &stats);
    if (!result) state.SkipWithError(result.error().message.c_str());
    routes = result ? result->size() : 0;
    benchmark::DoNotOptimize(result);
  }
  state.counters["routes"] = static_cast<double>(routes);
  state.counters["labels_popped"] = static_cast<double>(stats.labels_popped);
  state.counters["labels_expanded"] = static_cast<double>(stats.labels_expanded);
  state.counters["peak_open_list"] = static_cast<double>(stats.peak_open_list);
  memory.report(state);
}

std::string_view flag_value(std::string_view argument, std::string_view name) {
  if (argument.substr(0, name.size()) != name) return {};
  return argument.substr(name.size());
}

}  // namespace

int main(int argc, char** argv) {
  Mode mode = Mode::both;
  bool single_request = false;
  std::vector<std::size_t> sizes = {10'000, 100'000, 1'000'000};
  std::vector<char*> remaining;
  for (int i = 0; i < argc; ++i) {
    std::string_view argument = argv[i];
    if (argument == "--memory") {
      single_request = true;
    } else if (auto value = flag_value(argument, "--mode="); !value.empty()) {
      mode = value == "fast" ? Mode::fast : value == "reference" ? Mode::reference : Mode::both;
    } else if (auto list = flag_value(argument, "--sizes="); !list.empty()) {
      sizes.clear();
      std::string text(list);
      for (char* at = text.data(); *at != '\0';) {
        char* end = nullptr;
        sizes.push_back(std::strtoull(at, &end, 10));
        at = *end == ',' ? end + 1 : end;
      }
    } else {
      remaining.push_back(argv[i]);
    }
  }

  g_graphs.resize(sizes.size());
  for (std::size_t s = 0; s < sizes.size(); ++s) {
    const std::size_t nodes = sizes[s];
    auto graphs_for = [s, nodes, mode]() -> const Graphs& {
      if (!g_graphs[s]) g_graphs[s] = std::make_unique<Graphs>(build_graphs(nodes, mode));
      return *g_graphs[s];
    };
    for (const Request& request : kRequests) {
      for (double eps : kEps) {
        auto name = [&](const char* implementation) {
          char text[96];
          std::snprintf(text, sizeof text, "%s/%zu/%s/eps:%.1f", implementation, nodes, request.name, eps);
          return std::string(text);
        };
        auto endpoints = [graphs_for, request]() {
          const Graphs& graphs = graphs_for();
          const std::size_t centre = graphs.side / 2;
          return std::pair{grid_id(graphs.side, centre, centre),
                           grid_id(graphs.side, centre + request.steps, centre + request.steps)};
        };
        auto configure = [single_request](benchmark::internal::Benchmark* registered) {
          registered->Unit(benchmark::kMillisecond);
          if (single_request) registered->Iterations(1);
        };
        if (mode != Mode::reference) {
          configure(benchmark::RegisterBenchmark(name("fast").c_str(), [=](benchmark::State& state) {
            const auto [source, target] = endpoints();
            run_fast(state, graphs_for(), source, target, eps);
          }));
        }
        if (mode != Mode::fast) {
          configure(benchmark::RegisterBenchmark(name("reference").c_str(), [=](benchmark::State& state) {
            const auto [source, target] = endpoints();
            run_reference(state, graphs_for(), source, target, eps);
          }));
        }
      }
    }
  }

  int remaining_count = static_cast<int>(remaining.size());
  benchmark::Initialize(&remaining_count, remaining.data());
  if (benchmark::ReportUnrecognizedArguments(remaining_count, remaining.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
