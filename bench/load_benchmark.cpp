// Loading a road-sized graph document: parse + build, next to a plain pass
// over the same bytes. Reports MB/s and the peak resident memory of each run.
// The same document with street names on its object-form edges is loaded
// with and without the names.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "loading/graph_document_reader.hpp"
#include "loading/graph_loader.hpp"

namespace {

constexpr std::size_t kNodeCount = 300'000;
constexpr std::size_t kEdgeCount = 1'000'000;

void append_fixed(std::string& out, double value, int decimals) {
  char buffer[64];
  std::to_chars_result written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  out.append(buffer, written.ptr);
}

// A street name as json.dumps writes it (non-ASCII letters escaped): one of
// a few thousand, a quarter of them with an escape.
std::string street_name(std::mt19937_64& random) {
  std::uint64_t number = random() % 4000;
  return (number % 4 == 0 ? "V\\u00e4yl\\u00e4 " : "Katu ") + std::to_string(number);
}

// Road-like: OSM-sized ids, coordinates around Helsinki with 7 decimals,
// lengths of a few metres to a few hundred, risks in [0, 1], familiarity on
// a third of the edges. Half the records in each form: objects written the
// way Python's json.dumps writes them, arrays compact. With `street_names`
// every object-form edge ends with a `name`, drawn apart from the rest, so
// the document is otherwise the same.
std::string road_document(bool street_names) {
  std::mt19937_64 random(42);
  std::mt19937_64 name_random(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<std::uint64_t> ids(kNodeCount);
  std::uint64_t id = 25'000'000;
  for (std::uint64_t& node_id : ids) node_id = id += 1 + random() % 40'000;

  std::string out;
  out.reserve(100u << 20);
  out += "{\"nodes\": [";
  for (std::size_t i = 0; i < kNodeCount; ++i) {
    if (i > 0) out += ", ";
    double lat = 60.1699123 + (unit(random) - 0.5) * 0.2;
    double lon = 24.9384312 + (unit(random) - 0.5) * 0.4;
    bool object = random() % 2 == 0;
    out += object ? "{\"id\": " : "[";
    out += std::to_string(ids[i]);
    out += object ? ", \"lat\": " : ",";
    append_fixed(out, lat, 7);
    out += object ? ", \"lon\": " : ",";
    append_fixed(out, lon, 7);
    out += object ? "}" : "]";
  }
  out += "], \"edges\": [";
  for (std::size_t i = 0; i < kEdgeCount; ++i) {
    if (i > 0) out += ", ";
    std::size_t from = random() % kNodeCount;
    std::size_t to = (from + 1 + random() % 8) % kNodeCount;
    double length = 3.2 + unit(random) * (350.7 - 3.2);
    double risk = unit(random);
    bool has_familiarity = random() % 3 == 0;
    double familiarity = unit(random);
    bool object = random() % 2 == 0;
    out += object ? "{\"from\": " : "[";
    out += std::to_string(ids[from]);
    out += object ? ", \"to\": " : ",";
    out += std::to_string(ids[to]);
    out += object ? ", \"distance_m\": " : ",";
    append_fixed(out, length, 1 + static_cast<int>(random() % 3));
    out += object ? ", \"risk_score\": " : ",";
    append_fixed(out, risk, 2 + static_cast<int>(random() % 3));
    if (object) {
      if (has_familiarity) {
        out += ", \"familiarity\": ";
        append_fixed(out, familiarity, 2);
      }
      if (street_names) out += ", \"name\": \"" + street_name(name_random) + "\"";
      out += "}";
    } else {
      out += ",";
      if (has_familiarity) {
        append_fixed(out, familiarity, 2);
      } else {
        out += "null";
      }
      out += "]";
    }
  }
  out += "]}";
  return out;
}

const std::string& document() {
  static const std::string text = road_document(false);
  return text;
}

const std::string& named_document() {
  static const std::string text = road_document(true);
  return text;
}

// Peak resident memory (VmHWM) in MiB; the peak is reset before each run
// where the kernel allows it, so it covers that run (the document included).
void reset_peak_memory() {
  std::ofstream clear_refs("/proc/self/clear_refs");
  clear_refs << "5";
}

double peak_memory_mib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0.0;
}

void report(benchmark::State& state, const std::string& text) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["doc_MiB"] = static_cast<double>(text.size()) / (1024.0 * 1024.0);
  state.counters["peak_MiB"] = peak_memory_mib();
}

// norvel::load_graph of text, street names skipped (as the Python module
// loads a document), once an iteration.
void time_load_graph(benchmark::State& state, const std::string& text) {
  reset_peak_memory();
  for (auto _ : state) {
    std::expected<norvel::RoadGraph, norvel::DocumentError> graph = norvel::load_graph(text);
    if (!graph || norvel::edge_count(*graph) != kEdgeCount) state.SkipWithError("document not loaded");
    benchmark::DoNotOptimize(graph);
  }
  report(state, text);
}

void BM_LoadGraph(benchmark::State& state) { time_load_graph(state, document()); }

void BM_LoadNamedDocument(benchmark::State& state) { time_load_graph(state, named_document()); }

void BM_LoadNamedDocumentWithNames(benchmark::State& state) {
  const std::string& text = named_document();
  reset_peak_memory();
  for (auto _ : state) {
    norvel::StreetNames names;
    std::expected<norvel::RoadGraph, norvel::DocumentError> graph = norvel::load_graph(text, names);
    if (!graph || norvel::edge_count(*graph) != kEdgeCount || names.of_edge.size() != kEdgeCount) {
      state.SkipWithError("document not loaded");
    }
    benchmark::DoNotOptimize(graph);
    benchmark::DoNotOptimize(names.text.data());
  }
  report(state, text);
}

// The reader alone, filling the builder without building the graph.
void BM_ReadDocument(benchmark::State& state) {
  const std::string& text = document();
  reset_peak_memory();
  for (auto _ : state) {
    norvel::GraphBuilder builder;
    norvel::ReadFailure failure;
    if (!norvel::read_graph_document(text, builder, failure)) state.SkipWithError("document not read");
    benchmark::DoNotOptimize(builder.edges.data());
  }
  report(state, text);
}

// The builder alone, from records read once; copying them in is not timed.
void BM_BuildGraph(benchmark::State& state) {
  const std::string& text = document();
  norvel::GraphBuilder records;
  norvel::ReadFailure failure;
  if (!norvel::read_graph_document(text, records, failure)) state.SkipWithError("document not read");
  reset_peak_memory();
  for (auto _ : state) {
    state.PauseTiming();
    norvel::GraphBuilder builder = records;
    state.ResumeTiming();
    norvel::RoadGraph graph = norvel::build_graph(std::move(builder));
    benchmark::DoNotOptimize(graph.out_edges.data());
  }
  report(state, text);
}

void BM_ByteSum(benchmark::State& state) {
  const std::string& text = document();
  reset_peak_memory();
  for (auto _ : state) {
    std::uint64_t sum = 0;
    for (char c : text) sum += static_cast<unsigned char>(c);
    benchmark::DoNotOptimize(sum);
  }
  report(state, text);
}

void BM_Memcpy(benchmark::State& state) {
  const std::string& text = document();
  std::string copy(text.size(), '\0');
  reset_peak_memory();
  for (auto _ : state) {
    std::memcpy(copy.data(), text.data(), text.size());
    benchmark::ClobberMemory();
  }
  report(state, text);
}

BENCHMARK(BM_LoadGraph)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_LoadNamedDocument)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_LoadNamedDocumentWithNames)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ReadDocument)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_BuildGraph)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ByteSum)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
