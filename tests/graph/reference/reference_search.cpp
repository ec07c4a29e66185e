#include "reference/reference_search.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace norvel::reference {

namespace {

constexpr double RISK_WEIGHT = 500.0;
constexpr double FAMILIARITY_WEIGHT = -200.0;
// The search heuristic's own sphere (graph/heuristic.hpp), not the Earth radius
// norvel measures with for users (engine/earth.hpp).
constexpr double HEURISTIC_DIAMETER_M = 12742000.0;
constexpr double DEGREES_TO_RADIANS = 0.017453292519943295;
constexpr double HALF = 0.5;
constexpr double ONE = 1.0;

constexpr double WALKING_SPEED_M_PER_MIN = 66.67;
constexpr double COMFORT_RISK_FACTOR = -2.0;
constexpr double NORMALISATION_FLOOR = 1.0;

// Orders two non-negative magnitudes, a NaN being larger than +inf and NaNs
// ordered among themselves by their payload (signalling before quiet).
bool magnitude_precedes(double a, double b) {
  const bool a_nan = std::isnan(a);
  const bool b_nan = std::isnan(b);
  if (a_nan && b_nan) {
    constexpr std::uint64_t payload_mask = (std::uint64_t{1} << 52) - 1;
    return (std::bit_cast<std::uint64_t>(a) & payload_mask) < (std::bit_cast<std::uint64_t>(b) & payload_mask);
  }
  if (a_nan) return false;
  if (b_nan) return true;
  return a < b;
}

// Priorities: an ordinary comparison, except that NaN is after every number.
bool priority_less(double x, double y) {
  if (std::isnan(x)) return false;
  if (std::isnan(y)) return true;
  return x < y;
}

bool priority_equal(double x, double y) {
  if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
  return x == y;
}

bool path_contains_earlier(const std::vector<NodeId>& path, NodeId node) {
  for (std::size_t i = 0; i + 1 < path.size(); ++i) {
    if (path[i] == node) return true;
  }
  return false;
}

bool covers(const FrontEntry& solution, const SearchLabel& label, double approx_factor) {
  return solution.costs.distance_m <= approx_factor * label.costs.distance_m &&
         solution.costs.risk <= approx_factor * label.costs.risk;
}

double square(double x) { return x * x; }

double heuristic_m(double lat_n, double lon_n, double lat_t, double lon_t, double cos_t) {
  const double d_phi = (lat_t - lat_n) * DEGREES_TO_RADIANS;
  const double d_lambda = (lon_t - lon_n) * DEGREES_TO_RADIANS;
  const double A = square(std::sin(d_phi * HALF));
  const double B = std::cos(lat_n * DEGREES_TO_RADIANS) * cos_t;
  const double a = square(std::sin(d_lambda * HALF)) * B + A;
  return std::atan2(std::sqrt(a), std::sqrt(ONE - a)) * HEURISTIC_DIAMETER_M;
}

double maximum_ignoring_nan(double running, double value) {
  if (std::isnan(value)) return running;
  return value > running ? value : running;
}

template <class KeyOf>
std::size_t least_key(const ParetoFront& solutions, KeyOf key_of) {
  std::size_t choice = 0;
  for (std::size_t i = 1; i < solutions.size(); ++i) {
    if (total_order_precedes(key_of(solutions[i]), key_of(solutions[choice]))) choice = i;
  }
  return choice;
}

RouteRecord make_record(const FrontEntry& entry, const char* route_type) {
  RouteRecord record;
  record.path = entry.path;
  record.node_count = record.path.size();
  record.route_type = route_type;
  record.total_distance_m = entry.costs.distance_m;
  record.total_risk = entry.costs.risk;
  record.total_familiarity = entry.costs.familiarity;
  record.estimated_time_min = record.total_distance_m / WALKING_SPEED_M_PER_MIN;
  const double e = std::exp(COMFORT_RISK_FACTOR * record.total_risk);
  record.comfort_score = e > 1.0 ? 1.0 : e;
  return record;
}

}  // namespace

void add_node(Graph& graph, const Node& node) { graph.nodes.push_back(node); }

void add_edge(Graph& graph, const Edge& edge) {
  const std::size_t index = graph.edges.size();
  graph.adjacency[edge.from].push_back(index);
  graph.edges.push_back(edge);
}

Graph make_graph(std::span<const Node> nodes, std::span<const Edge> edges) {
  Graph graph;
  for (const Node& node : nodes) add_node(graph, node);
  for (const Edge& edge : edges) add_edge(graph, edge);
  return graph;
}

std::span<const std::size_t> outgoing_edges(const Graph& graph, NodeId id) {
  auto found = graph.adjacency.find(id);
  if (found == graph.adjacency.end()) return {};
  return found->second;
}

CoordinateTable build_coordinate_table(const Graph& graph) {
  CoordinateTable table;
  table.reserve(graph.nodes.size());
  for (const Node& node : graph.nodes) table.insert_or_assign(node.id, std::pair{node.lat, node.lon});
  return table;
}

bool total_order_precedes(double x, double y) {
  const bool x_negative = std::signbit(x);
  const bool y_negative = std::signbit(y);
  if (x_negative != y_negative) return x_negative;
  // Same sign: among negatives the larger magnitude comes first.
  if (x_negative) return magnitude_precedes(std::fabs(y), std::fabs(x));
  return magnitude_precedes(std::fabs(x), std::fabs(y));
}

bool comes_before(const SearchLabel& x, const SearchLabel& y) {
  if (priority_less(x.priority, y.priority)) return true;
  if (!priority_equal(x.priority, y.priority)) return false;
  if (total_order_precedes(x.costs.distance_m, y.costs.distance_m)) return true;
  if (total_order_precedes(y.costs.distance_m, x.costs.distance_m)) return false;
  return total_order_precedes(x.costs.risk, y.costs.risk);
}

void open_list_push(std::vector<SearchLabel>& open_list, SearchLabel label) {
  open_list.push_back(std::move(label));
  std::size_t slot = open_list.size() - 1;
  SearchLabel rising = std::move(open_list[slot]);
  while (slot != 0) {
    const std::size_t parent = (slot - 1) / 2;
    if (!comes_before(rising, open_list[parent])) break;
    open_list[slot] = std::move(open_list[parent]);
    slot = parent;
  }
  open_list[slot] = std::move(rising);
}

SearchLabel open_list_pop(std::vector<SearchLabel>& open_list) {
  SearchLabel e = std::move(open_list.back());
  open_list.pop_back();
  if (open_list.empty()) return e;

  SearchLabel result = std::move(open_list[0]);
  const std::size_t length = open_list.size();
  std::size_t hole = 0;
  while (2 * hole + 1 + 2 <= length) {  // left child index <= length - 2
    const std::size_t left = 2 * hole + 1;
    const std::size_t right = left + 1;
    const std::size_t moving = comes_before(open_list[left], open_list[right]) ? left : right;
    open_list[hole] = std::move(open_list[moving]);
    hole = moving;
  }
  if (2 * hole + 1 == length - 1) {
    open_list[hole] = std::move(open_list[length - 1]);
    hole = length - 1;
  }
  // e rises from the hole exactly as a pushed label rises from the end.
  while (hole != 0) {
    const std::size_t parent = (hole - 1) / 2;
    if (!comes_before(e, open_list[parent])) break;
    open_list[hole] = std::move(open_list[parent]);
    hole = parent;
  }
  open_list[hole] = std::move(e);
  return result;
}

bool strictly_dominates(const PathCosts& a, const PathCosts& b) {
  return a.distance_m <= b.distance_m && a.risk <= b.risk && (a.distance_m < b.distance_m || a.risk < b.risk);
}

void front_insert(ParetoFront& front, FrontEntry entry) {
  for (const FrontEntry& kept : front) {
    if (strictly_dominates(kept.costs, entry.costs)) return;
  }
  ParetoFront survivors;
  for (FrontEntry& kept : front) {
    if (!strictly_dominates(entry.costs, kept.costs)) survivors.push_back(std::move(kept));
  }
  survivors.push_back(std::move(entry));
  front = std::move(survivors);
}

double haversine_m(double lat_n, double lon_n, double lat_t, double lon_t) {
  return heuristic_m(lat_n, lon_n, lat_t, lon_t, std::cos(lat_t * DEGREES_TO_RADIANS));
}

ParetoFront pareto_search(const Graph& graph, const CoordinateTable& coordinates, NodeId source, NodeId target,
                          double target_lat, double target_lon, double eps, SearchStats* stats) {
  SearchStats counted;
  const double approx_factor = ONE + eps;
  const double cos_t = std::cos(target_lat * DEGREES_TO_RADIANS);
  NodeFronts node_fronts;
  std::vector<SearchLabel> open_list;
  ParetoFront solutions;

  auto push = [&](SearchLabel label) {
    open_list_push(open_list, std::move(label));
    ++counted.labels_pushed;
    counted.peak_open_list = std::max<std::uint64_t>(counted.peak_open_list, open_list.size());
  };

  push(SearchLabel{0.0, {source}, source, PathCosts{0.0, 0.0, 0.0}});
  while (!open_list.empty()) {
    SearchLabel L = open_list_pop(open_list);
    ++counted.labels_popped;

    bool covered = false;
    for (const FrontEntry& solution : solutions) covered = covered || covers(solution, L, approx_factor);
    if (covered) continue;

    auto front_found = node_fronts.find(L.node);
    if (front_found != node_fronts.end()) {
      bool dominated = false;
      for (const FrontEntry& kept : front_found->second) {
        dominated = dominated || strictly_dominates(kept.costs, L.costs);
      }
      if (dominated) continue;
    }

    // A label that comes back to a node already on its path only repeats a
    // cycle; dropping it is what makes the search end on zero-cost cycles.
    if (path_contains_earlier(L.path, L.node)) {
      ++counted.labels_revisiting;
      continue;
    }

    front_insert(node_fronts[L.node], FrontEntry{L.path, L.node, L.costs});

    if (L.node == target) {
      front_insert(solutions, FrontEntry{std::move(L.path), L.node, L.costs});
      continue;
    }

    ++counted.labels_expanded;
    for (std::size_t index : outgoing_edges(graph, L.node)) {
      const Edge& e = graph.edges[index];
      SearchLabel next;
      next.path = L.path;
      next.path.push_back(e.to);
      next.node = e.to;
      next.costs = PathCosts{L.costs.distance_m + e.distance_m, L.costs.risk + e.risk_score,
                             L.costs.familiarity + e.familiarity};
      double lat_n = 0.0;
      double lon_n = 0.0;
      auto coordinate = coordinates.find(e.to);
      if (coordinate != coordinates.end()) {
        lat_n = coordinate->second.first;
        lon_n = coordinate->second.second;
      }
      const double h = heuristic_m(lat_n, lon_n, target_lat, target_lon, cos_t);
      next.priority = ((next.costs.distance_m + RISK_WEIGHT * next.costs.risk) +
                       (FAMILIARITY_WEIGHT * next.costs.familiarity)) +
                      h;
      if (std::isnan(next.priority)) ++counted.nan_priorities;
      push(std::move(next));
    }
  }
  if (stats != nullptr) *stats = counted;
  return solutions;
}

std::vector<RouteRecord> select_routes(const ParetoFront& solutions) {
  if (solutions.empty()) return {};
  std::size_t shortest = 0;
  std::size_t safest = 0;
  std::size_t balanced = 0;
  if (solutions.size() != 1) {
    double max_distance = -std::numeric_limits<double>::infinity();
    double max_risk = -std::numeric_limits<double>::infinity();
    for (const FrontEntry& entry : solutions) max_distance = maximum_ignoring_nan(max_distance, entry.costs.distance_m);
    for (const FrontEntry& entry : solutions) max_risk = maximum_ignoring_nan(max_risk, entry.costs.risk);
    const double norm_distance = std::max(max_distance, NORMALISATION_FLOOR);
    const double norm_risk = std::max(max_risk, NORMALISATION_FLOOR);

    shortest = least_key(solutions, [](const FrontEntry& s) { return s.costs.distance_m; });
    safest = least_key(solutions, [](const FrontEntry& s) { return s.costs.risk; });
    balanced = least_key(solutions, [&](const FrontEntry& s) {
      return s.costs.distance_m / norm_distance + s.costs.risk / norm_risk;
    });
  }

  const std::pair<std::size_t, const char*> pairs[] = {
      {shortest, "shortest"}, {safest, "safest"}, {balanced, "balanced"}};
  std::vector<std::vector<NodeId>> emitted;
  std::vector<RouteRecord> records;
  for (const auto& [choice, route_type] : pairs) {
    const FrontEntry& entry = solutions[choice];
    if (std::find(emitted.begin(), emitted.end(), entry.path) != emitted.end()) continue;
    emitted.push_back(entry.path);
    records.push_back(make_record(entry, route_type));
  }
  return records;
}

std::expected<std::vector<RouteRecord>, RouteError> compute_safe_routes(const Graph& graph, NodeId source,
                                                                        NodeId target, double eps,
                                                                        SearchStats* stats) {
  const CoordinateTable coordinates = build_coordinate_table(graph);
  if (!coordinates.contains(source)) {
    return std::unexpected(RouteError{ErrorKind::source_not_found,
                                      "Nœud source " + std::to_string(source) + " introuvable dans le graphe"});
  }
  auto target_found = coordinates.find(target);
  if (target_found == coordinates.end()) {
    return std::unexpected(RouteError{ErrorKind::target_not_found,
                                      "Nœud cible " + std::to_string(target) + " introuvable dans le graphe"});
  }
  if (outgoing_edges(graph, source).empty()) {
    return std::unexpected(
        RouteError{ErrorKind::source_isolated,
                   "Nœud source " + std::to_string(source) + " isolé (aucun arc sortant) — graphe déconnecté ?"});
  }
  const auto [target_lat, target_lon] = target_found->second;
  ParetoFront solutions = pareto_search(graph, coordinates, source, target, target_lat, target_lon, eps, stats);
  if (solutions.empty()) {
    return std::unexpected(RouteError{ErrorKind::no_route, "Aucun chemin trouvé entre " + std::to_string(source) +
                                                               " et " + std::to_string(target) +
                                                               ". Les nœuds sont peut-être dans des composantes "
                                                               "déconnectées."});
  }
  return select_routes(solutions);
}

}  // namespace norvel::reference
