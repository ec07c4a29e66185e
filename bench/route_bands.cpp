// Times route requests by band of distance on one graph document, with what
// the search did (labels processed, prefixes the targeted walks kept, nodes
// settled backwards, requests the literal search answered).
//
//   route_bands GRAPH.json[.gz is not read: unzip first] QUERIES|--random=1000,1400,1800 [--pairs=N]
//               [--eps=0,0.1] [--repeat=N] [--short-labels=N] [--cuts-after=N] [--each] [--front]
//
// QUERIES is a file of "number band_m source_id target_id ..." lines, as the
// road-like graph generator writes them; --random draws pairs of listed nodes
// whose great-circle distance lies within 10 % of each band instead.
// --short-labels and --cuts-after set the approximate search's tuning
// (`short_approximate_request_labels`, `approximate_labels_before_cuts`).
// --each also prints a line per request: its time and every count.
// --front times every point of the exact front (compute_front_routes, eps 0)
// instead of the three routes.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "engine/earth.hpp"
#include "graph/pareto_search.hpp"
#include "graph/road_graph.hpp"
#include "graph/safe_route_request.hpp"
#include "loading/graph_loader.hpp"

namespace {

struct Query {
  long band;
  norvel::NodeId source;
  norvel::NodeId target;
};

std::vector<double> numbers(std::string_view list) {
  std::vector<double> values;
  std::stringstream in{std::string(list)};
  std::string item;
  while (std::getline(in, item, ',')) values.push_back(std::stod(item));
  return values;
}

std::vector<Query> read_queries(const std::string& path) {
  std::ifstream in(path);
  std::vector<Query> queries;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    long number = 0;
    Query query{};
    fields >> number >> query.band >> query.source >> query.target;
    queries.push_back(query);
  }
  return queries;
}

std::vector<Query> random_queries(const norvel::RoadGraph& graph, const std::vector<double>& bands, int pairs) {
  std::mt19937_64 rng(1);
  std::vector<Query> queries;
  for (double band : bands) {
    int found = 0;
    for (long tries = 0; found < pairs && tries < 100'000'000; ++tries) {
      const norvel::Node& a = graph.nodes[rng() % graph.nodes.size()];
      const norvel::Node& b = graph.nodes[rng() % graph.nodes.size()];
      const double metres = norvel::earth::haversine_m(a.lat, a.lon, b.lat, b.lon);
      if (metres < band * 0.9 || metres > band * 1.1) continue;
      queries.push_back(Query{static_cast<long>(band), a.id, b.id});
      ++found;
    }
  }
  return queries;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: route_bands GRAPH.json QUERIES|--random=BANDS [--pairs=N] [--eps=LIST] [--repeat=N]\n", stderr);
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  auto graph = norvel::load_graph(text);
  if (!graph) {
    std::fprintf(stderr, "%s\n", graph.error().message().c_str());
    return 1;
  }
  std::vector<double> eps_values = {0.0, 0.1};
  int pairs = 20;
  int repeat = 1;
  bool each = false;
  bool front = false;
  norvel::SearchTuning tuning;
  for (int i = 3; i < argc; ++i) {
    std::string_view argument = argv[i];
    if (argument.starts_with("--eps=")) eps_values = numbers(argument.substr(6));
    if (argument.starts_with("--pairs=")) pairs = std::atoi(argv[i] + 8);
    if (argument.starts_with("--repeat=")) repeat = std::atoi(argv[i] + 9);
    if (argument.starts_with("--short-labels=")) tuning.short_approximate_request_labels = std::stoull(argv[i] + 15);
    if (argument.starts_with("--cuts-after=")) tuning.approximate_labels_before_cuts = std::stoull(argv[i] + 13);
    if (argument == "--each") each = true;
    if (argument == "--front") front = true;
  }
  std::string_view second = argv[2];
  const std::vector<Query> queries = second.starts_with("--random=")
                                         ? random_queries(*graph, numbers(second.substr(9)), pairs)
                                         : read_queries(argv[2]);
  if (front) eps_values = {0.0};

  std::printf("%8s %6s %10s %10s %12s %10s %12s %10s %12s\n", "band_m", "eps", "median_ms", "max_ms", "processed", "walked",
              "settled_bw",
              "literal", "approximate");
  for (double eps : eps_values) {
    std::map<long, std::vector<double>> times, processed, walked, settled;
    std::map<long, int> literal, approximate;
    for (const Query& query : queries) {
      double best = 1e300;
      norvel::SearchReport counters;
      for (int r = 0; r < repeat; ++r) {
        counters = {};
        const auto start = std::chrono::steady_clock::now();
        const norvel::SearchOptions options{.report = &counters, .tuning = tuning};
        auto result = front ? norvel::compute_front_routes(*graph, query.source, query.target, options)
                            : norvel::compute_safe_routes(*graph, query.source, query.target, eps, options);
        const auto stop = std::chrono::steady_clock::now();
        if (!result) std::fprintf(stderr, "%s\n", result.error().message.c_str());
        best = std::min(best, std::chrono::duration<double, std::milli>(stop - start).count());
      }
      times[query.band].push_back(best);
      if (each) {
        std::printf("  %ld %lld->%lld eps %g: %.3f ms, answered by %d after %d, pushed %llu popped %llu processed %llu walked %llu settled %llu\n",
                    query.band, static_cast<long long>(query.source), static_cast<long long>(query.target), eps, best,
                    counters.answered_by ? static_cast<int>(*counters.answered_by) : -1,
                    static_cast<int>(counters.gave_up_count), static_cast<unsigned long long>(counters.pushed), static_cast<unsigned long long>(counters.popped),
                    static_cast<unsigned long long>(counters.processed),
                    static_cast<unsigned long long>(counters.walked_prefixes),
                    static_cast<unsigned long long>(counters.settled_backwards));
      }
      processed[query.band].push_back(static_cast<double>(counters.processed));
      walked[query.band].push_back(static_cast<double>(counters.walked_prefixes));
      settled[query.band].push_back(static_cast<double>(counters.settled_backwards));
      literal[query.band] += counters.answered_by == norvel::Strategy::literal ? 1 : 0;
      approximate[query.band] += counters.answered_by == norvel::Strategy::approximate ? 1 : 0;
    }
    for (const auto& [band, band_times] : times) {
      std::printf("%8ld %6.2f %10.3f %10.3f %12.0f %10.0f %12.0f %7d/%zu %9d/%zu\n", band, eps, median(band_times),
                  *std::max_element(band_times.begin(), band_times.end()), median(processed[band]),
                  median(walked[band]), median(settled[band]), literal[band], band_times.size(), approximate[band],
                  band_times.size());
    }
  }
  return 0;
}
