#pragma once

// A deliberately naive model of the route search, route selection and the
// safe-route request. It copies whole paths, keeps every structure keyed by
// NodeId in hash maps and recomputes everything on the spot, so that it can
// be read line by line against the description of the algorithm. The fast
// library is checked against it; nothing here is meant to be quick.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "graph/node_id.hpp"
#include "graph/road_graph.hpp"

namespace norvel::reference {

// The graph as plain lists plus the one index the search needs: for each
// tail id, the ascending indices of the edges leaving it.
struct Graph {
  std::vector<Node> nodes;
  std::vector<Edge> edges;
  std::unordered_map<NodeId, std::vector<std::size_t>> adjacency;
};

void add_node(Graph& graph, const Node& node);
void add_edge(Graph& graph, const Edge& edge);
Graph make_graph(std::span<const Node> nodes, std::span<const Edge> edges);

// Indices of the edges leaving `id`, ascending; empty for an id no edge leaves.
std::span<const std::size_t> outgoing_edges(const Graph& graph, NodeId id);

using CoordinateTable = std::unordered_map<NodeId, std::pair<double, double>>;
CoordinateTable build_coordinate_table(const Graph& graph);

struct PathCosts {
  double distance_m = 0.0;
  double risk = 0.0;
  double familiarity = 0.0;
};

struct SearchLabel {
  double priority = 0.0;
  std::vector<NodeId> path;
  NodeId node = 0;
  PathCosts costs;
};

struct FrontEntry {
  std::vector<NodeId> path;
  NodeId node = 0;
  PathCosts costs;
};

using ParetoFront = std::vector<FrontEntry>;
using NodeFronts = std::unordered_map<NodeId, ParetoFront>;

// IEEE 754 totalOrder, strict: `x` precedes `y` and is not identical to it.
bool total_order_precedes(double x, double y);
// The order in which labels leave the open list.
bool comes_before(const SearchLabel& x, const SearchLabel& y);

void open_list_push(std::vector<SearchLabel>& open_list, SearchLabel label);
// Precondition: the open list is not empty.
SearchLabel open_list_pop(std::vector<SearchLabel>& open_list);

bool strictly_dominates(const PathCosts& a, const PathCosts& b);
void front_insert(ParetoFront& front, FrontEntry entry);

double haversine_m(double lat_n, double lon_n, double lat_t, double lon_t);

// What the search did, for the benchmark and for sanity checks in tests.
struct SearchStats {
  std::uint64_t labels_pushed = 0;
  std::uint64_t labels_popped = 0;
  std::uint64_t labels_expanded = 0;
  std::uint64_t peak_open_list = 0;
  std::uint64_t labels_revisiting = 0;   // dropped for coming back to a node on their path
  std::uint64_t nan_priorities = 0;      // pushed with a NaN priority
};

ParetoFront pareto_search(const Graph& graph, const CoordinateTable& coordinates, NodeId source, NodeId target,
                          double target_lat, double target_lon, double eps, SearchStats* stats = nullptr);

struct RouteRecord {
  std::vector<NodeId> path;
  std::string route_type;
  double total_distance_m = 0.0;
  double total_risk = 0.0;
  double total_familiarity = 0.0;
  double estimated_time_min = 0.0;
  std::size_t node_count = 0;
  double comfort_score = 0.0;
};

std::vector<RouteRecord> select_routes(const ParetoFront& solutions);

enum class ErrorKind { source_not_found, target_not_found, source_isolated, no_route };

struct RouteError {
  ErrorKind kind;
  std::string message;
};

std::expected<std::vector<RouteRecord>, RouteError> compute_safe_routes(const Graph& graph, NodeId source,
                                                                        NodeId target, double eps,
                                                                        SearchStats* stats = nullptr);

}  // namespace norvel::reference
