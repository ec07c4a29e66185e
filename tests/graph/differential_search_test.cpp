// The fast search, selection and request checked against the path-copying
// model in reference/ on thousands of seeded random graphs. The graphs are
// built to produce exact ties everywhere (shared coordinates, small integer
// costs, zero-cost cycles, parallel edges), because ties are where the heap
// moves, the tie-breaks and the cycle rule decide the result.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "graph/approximate_routes.hpp"
#include "graph/avoided_rows.hpp"
#include "graph/catchment_search.hpp"
#include "graph/destination_bounds.hpp"
#include "graph/front_search.hpp"
#include "graph/pareto_search.hpp"
#include "graph/request_workspace.hpp"
#include "graph/road_graph.hpp"
#include "graph/safe_route_request.hpp"
#include "graph/route_selection.hpp"
#include "graph/targeted_routes.hpp"
#include "reference/front_order.hpp"
#include "reference/compare_routes.hpp"
#include "reference/reference_search.hpp"

namespace norvel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
// Small graphs reach every way the search works only with these shrunk.
constexpr SearchTuning kShrunkTuning{
    .short_request_labels = 2, .short_approximate_request_labels = 2, .labels_before_known_routes = 2, .approximate_labels = 2};
constexpr SearchTuning kPastShort{.short_request_labels = 2, .short_approximate_request_labels = 2};
constexpr SearchTuning kEarlyCuts{.approximate_labels = UINT64_MAX, .approximate_labels_before_cuts = 0};
// First cuts after a few labels, set up again after a few more.
constexpr SearchTuning kStagedCuts{.approximate_labels = UINT64_MAX, .approximate_labels_before_cuts = 3};
constexpr double kEpsValues[] = {0.0, 0.05, 0.1, 0.3, 1.0, -0.5, kNaN, 1e300};

struct Case {
  std::vector<Node> nodes;
  std::vector<Edge> edges;
};

RoadGraph fast_graph(const Case& c) {
  GraphBuilder builder;
  for (const Node& node : c.nodes) add_node(builder, node);
  for (const Edge& edge : c.edges) add_edge(builder, edge);
  return build_graph(std::move(builder));
}

reference::Graph reference_graph(const Case& c) { return reference::make_graph(c.nodes, c.edges); }

std::string show(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", value);
  std::string shown = text;
  if (std::isnan(value)) {
    std::snprintf(text, sizeof text, "[bits %016" PRIx64 "]", std::bit_cast<std::uint64_t>(value));
    shown += text;
  }
  return shown;
}

std::string show(const std::vector<NodeId>& path) {
  std::string shown = "[";
  for (std::size_t i = 0; i < path.size(); ++i) shown += (i ? ", " : "") + std::to_string(path[i]);
  return shown + "]";
}

std::string show(const Case& c) {
  std::ostringstream out;
  out << "nodes (" << c.nodes.size() << "):\n";
  for (const Node& n : c.nodes) out << "  {" << n.id << ", " << show(n.lat) << ", " << show(n.lon) << "}\n";
  out << "edges (" << c.edges.size() << "):\n";
  for (const Edge& e : c.edges) {
    out << "  {" << e.from << ", " << e.to << ", " << show(e.distance_m) << ", " << show(e.risk_score) << ", "
        << show(e.familiarity) << "}\n";
  }
  return out.str();
}

template <class Entry>
std::string show_front(const std::vector<Entry>& front) {
  std::ostringstream out;
  out << front.size() << " entries\n";
  for (const Entry& entry : front) {
    out << "  " << show(entry.path) << " node " << entry.node << " d=" << show(entry.costs.distance_m)
        << " r=" << show(entry.costs.risk) << " f=" << show(entry.costs.familiarity) << "\n";
  }
  return out.str();
}

// Compares entry by entry; the first difference, or "" when identical.
std::string front_difference(const ParetoFront& fast, const reference::ParetoFront& model) {
  if (fast.size() != model.size()) return "front sizes differ";
  for (std::size_t i = 0; i < fast.size(); ++i) {
    const std::string at = "entry " + std::to_string(i) + ": ";
    if (fast[i].path != model[i].path) return at + "paths differ";
    if (fast[i].node != model[i].node) return at + "nodes differ";
    if (!same_bits(fast[i].costs.distance_m, model[i].costs.distance_m)) return at + "distance bits differ";
    if (!same_bits(fast[i].costs.risk, model[i].costs.risk)) return at + "risk bits differ";
    if (!same_bits(fast[i].costs.familiarity, model[i].costs.familiarity)) return at + "familiarity bits differ";
  }
  return "";
}


std::string show(const FastResult& result) {
  if (!result) return std::string("error ") + kind_name(result.error().kind) + ": " + result.error().message + "\n";
  std::ostringstream out;
  for (const RouteRecord& r : *result) {
    out << "  " << r.route_type << " " << show(r.path) << " d=" << show(r.total_distance_m) << " r="
        << show(r.total_risk) << " f=" << show(r.total_familiarity) << " t=" << show(r.estimated_time_min)
        << " n=" << r.node_count << " c=" << show(r.comfort_score) << "\n";
  }
  return out.str();
}

std::string show(const ModelResult& result) {
  if (!result) return std::string("error ") + kind_name(result.error().kind) + ": " + result.error().message + "\n";
  std::ostringstream out;
  for (const reference::RouteRecord& r : *result) {
    out << "  " << r.route_type << " " << show(r.path) << " d=" << show(r.total_distance_m) << " r="
        << show(r.total_risk) << " f=" << show(r.total_familiarity) << " t=" << show(r.estimated_time_min)
        << " n=" << r.node_count << " c=" << show(r.comfort_score) << "\n";
  }
  return out.str();
}

// Whether some choice among parallel edges along `path` sums, edge by edge in
// path order, to exactly `costs`. Gives up (true) if the choices explode.
template <class Costs>
bool costs_follow_path(const reference::Graph& graph, const std::vector<NodeId>& path, const Costs& costs) {
  using Sums = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>;
  auto bits = [](double d, double r, double f) {
    return Sums{std::bit_cast<std::uint64_t>(d), std::bit_cast<std::uint64_t>(r), std::bit_cast<std::uint64_t>(f)};
  };
  std::set<Sums> reached{bits(0.0, 0.0, 0.0)};
  for (std::size_t i = 0; i + 1 < path.size(); ++i) {
    std::set<Sums> next;
    for (std::size_t index : reference::outgoing_edges(graph, path[i])) {
      const Edge& e = graph.edges[index];
      if (e.to != path[i + 1]) continue;
      for (const auto& [d, r, f] : reached) {
        next.insert(bits(std::bit_cast<double>(d) + e.distance_m, std::bit_cast<double>(r) + e.risk_score,
                         std::bit_cast<double>(f) + e.familiarity));
      }
    }
    if (next.size() > 4096) return true;
    reached = std::move(next);
  }
  return reached.contains(bits(costs.distance_m, costs.risk, costs.familiarity));
}

// What every solution front must satisfy whatever the ties: routes from the
// source to the target without a repeated node, costs that are the sums along
// the route, and no entry strictly dominating another.
std::string front_property_violation(const reference::Graph& graph, const ParetoFront& front, NodeId source,
                                     NodeId target) {
  for (std::size_t i = 0; i < front.size(); ++i) {
    const FrontEntry& entry = front[i];
    const std::string at = "solution " + std::to_string(i) + ": ";
    if (entry.path.empty() || entry.path.front() != source) return at + "does not start at the source";
    if (entry.path.back() != target || entry.node != target) return at + "does not end at the target";
    std::set<NodeId> seen(entry.path.begin(), entry.path.end());
    if (seen.size() != entry.path.size()) return at + "repeats a node";
    if (!costs_follow_path(graph, entry.path, entry.costs)) return at + "costs are not the sums along the path";
    for (const FrontEntry& other : front) {
      const auto& a = other.costs;
      const auto& b = entry.costs;
      if (a.distance_m <= b.distance_m && a.risk <= b.risk && (a.distance_m < b.distance_m || a.risk < b.risk)) {
        return at + "strictly dominated by another solution";
      }
    }
  }
  return "";
}

// ---------------------------------------------------------------------------
// Random graphs. Every draw goes through these helpers so that a seed gives
// the same graph with any standard library.

using Rng = std::mt19937_64;

std::size_t below(Rng& rng, std::size_t n) { return static_cast<std::size_t>(rng() % n); }
bool chance(Rng& rng, unsigned percent) { return rng() % 100 < percent; }
double unit(Rng& rng) { return static_cast<double>(rng() >> 11) * 0x1p-53; }
template <class T, std::size_t N>
T one_of(Rng& rng, const T (&values)[N]) {
  return values[below(rng, N)];
}

enum class Flavour { ties, negative, huge, realistic, decimal, road, whole_metre_road };

NodeId fresh_id(Rng& rng, const std::set<NodeId>& taken) {
  static constexpr NodeId kNotableIds[] = {0, 1, 2, 3, UINT64_MAX, UINT64_MAX - 1, NodeId{1} << 63, 4294967295u,
                                        4294967296u};
  for (;;) {
    NodeId id = chance(rng, 25) ? one_of(rng, kNotableIds) : (chance(rng, 70) ? 4 + below(rng, 40) : rng());
    if (!taken.contains(id)) return id;
  }
}

std::pair<double, double> coordinates(Rng& rng, Flavour flavour, bool all_alike) {
  if (flavour == Flavour::realistic) return {60.0 + (unit(rng) - 0.5) * 0.02, 24.0 + (unit(rng) - 0.5) * 0.04};
  if (flavour == Flavour::decimal) {
    static constexpr std::pair<double, double> kStreets[] = {
        {60.17, 24.94}, {60.17, 24.94}, {60.1709, 24.94}, {60.17, 24.9418}, {60.1709, 24.9418}};
    return all_alike ? kStreets[0] : one_of(rng, kStreets);
  }
  static constexpr std::pair<double, double> kPalette[] = {
      {48.0, 2.0}, {48.0, 2.0}, {48.0, 2.0}, {48.0, 2.0009}, {48.0009, 2.0}, {0.0, 0.0}, {-0.0, -0.0}, {48.0, 3.0}};
  if (all_alike) return kPalette[0];
  return one_of(rng, kPalette);
}

double distance_or_risk(Rng& rng, Flavour flavour) {
  static constexpr double kTies[] = {0.0, 0.0, 1.0, 1.0, 2.0, 3.0, 0.5, 1.5, 2.5, -0.0};
  static constexpr double kNegative[] = {-2.0, -1.0, -0.5, 0.0, 1.0, 2.0, 3.0, 0.5};
  // Sums of these round, so routes that tie on paper differ in the last bit
  // depending on the order of the additions.
  static constexpr double kDecimal[] = {0.1, 0.2, 0.3, 0.7, 1.1, 0.0, 0.6, 0.4};
  static constexpr double kHuge[] = {1e308, 1.7e308, 1e308, 1.0, 1e-300, 0.0, 5e307, 2.0, -1e308, -1.7e308};
  switch (flavour) {
    case Flavour::road:
    case Flavour::whole_metre_road: break;
    case Flavour::ties: return one_of(rng, kTies);
    case Flavour::negative: return chance(rng, 60) ? one_of(rng, kTies) : one_of(rng, kNegative);
    case Flavour::huge: return one_of(rng, kHuge);
    case Flavour::realistic: return unit(rng) * 300.0;
    case Flavour::decimal: return one_of(rng, kDecimal);
  }
  return 0.0;
}

double familiarity(Rng& rng, Flavour flavour) {
  static constexpr double kValues[] = {0.5, 1.0, 2.0, 0.25, 3.0, -1.0};
  static constexpr double kDecimalValues[] = {0.1, 0.2, 0.3, 0.7};
  if (chance(rng, 60)) return 0.0;  // the document gave none
  if (flavour == Flavour::realistic) return unit(rng);
  if (flavour == Flavour::decimal) return one_of(rng, kDecimalValues);
  if (flavour == Flavour::huge && chance(rng, 30)) return 1e308;
  return one_of(rng, kValues);
}

struct Generated {
  Case graph;
  std::vector<NodeId> listed;  // ids of node records, without repeats
  std::vector<NodeId> ghosts;  // ids that occur only at edge ends
  NodeId unseen = 0;           // an id that occurs nowhere
};

// A small street grid as the road-like benchmark graphs have it: real
// lengths a little above the great-circle distance, risk growing with length
// and street class, some one-way and missing streets, a footbridge of zero
// cost both ways (a cycle along which nothing grows), and an island that no
// street joins. With whole metres and risks in thousandths, as the benchmark
// generator writes them, many routes tie exactly.
Generated road_case(Rng& rng, bool whole_metres) {
  Generated g;
  const std::size_t rows = 3 + below(rng, 4);
  const std::size_t columns = 3 + below(rng, 4);
  const NodeId first = chance(rng, 20) ? UINT64_MAX - 200 : 1000 + below(rng, 1000);
  // Without any familiarity the search may stand known routes in for
  // solutions it has not found yet.
  const bool with_familiarity = chance(rng, 50);
  auto id_at = [&](std::size_t row, std::size_t column) { return first + row * columns + column; };
  for (std::size_t row = 0; row < rows; ++row) {
    for (std::size_t column = 0; column < columns; ++column) {
      const double lat = 60.17 + static_cast<double>(row) * 0.0009 + (unit(rng) - 0.5) * 0.0002;
      const double lon = 24.94 + static_cast<double>(column) * 0.0018 + (unit(rng) - 0.5) * 0.0004;
      g.graph.nodes.push_back(Node{id_at(row, column), lat, lon});
      g.listed.push_back(id_at(row, column));
    }
  }
  auto street = [&](NodeId a, NodeId b, bool main_street) {
    if (chance(rng, 8)) return;  // missing
    const Node& na = g.graph.nodes[a - first];
    const Node& nb = g.graph.nodes[b - first];
    double length = reference::haversine_m(na.lat, na.lon, nb.lat, nb.lon) * (1.0 + unit(rng) * 0.3);
    double risk = length * (main_street ? 0.5 : 3.0) * (0.5 + unit(rng)) / 1000.0;
    if (whole_metres) {
      // Blocks of a few sizes, risk by street class only.
      static constexpr double kBlocks[] = {80.0, 80.0, 100.0, 120.0};
      length = one_of(rng, kBlocks);
      risk = length * (main_street ? 0.5 : 3.0) / 1000.0;
    }
    const double familiarity = with_familiarity && chance(rng, 20) ? (whole_metres ? 0.5 : unit(rng)) : 0.0;
    const int way = static_cast<int>(below(rng, 12));  // 0: one way, 1: the other way, else both
    if (way != 1) g.graph.edges.push_back(Edge{a, b, length, risk, familiarity});
    if (way != 0) g.graph.edges.push_back(Edge{b, a, length, risk, familiarity});
  };
  for (std::size_t row = 0; row < rows; ++row) {
    for (std::size_t column = 0; column < columns; ++column) {
      if (column + 1 < columns) street(id_at(row, column), id_at(row, column + 1), row % 3 == 0);
      if (row + 1 < rows) street(id_at(row, column), id_at(row + 1, column), column % 3 == 0);
    }
  }
  if (chance(rng, 30)) {
    const NodeId a = id_at(below(rng, rows), below(rng, columns));
    const NodeId b = id_at(below(rng, rows), below(rng, columns));
    g.graph.edges.push_back(Edge{a, b, 0.0, 0.0, 0.0});
    g.graph.edges.push_back(Edge{b, a, 0.0, 0.0, 0.0});
  }
  // The island: two nodes with streets between them only.
  const NodeId island = first + rows * columns;
  for (NodeId id : {island, island + 1}) {
    g.graph.nodes.push_back(Node{id, 60.2, 24.9 + static_cast<double>(id - island) * 0.001});
    g.listed.push_back(id);
  }
  g.graph.edges.push_back(Edge{island, island + 1, 55.0, 0.1, 0.0});
  g.graph.edges.push_back(Edge{island + 1, island, 55.0, 0.1, 0.0});
  g.unseen = island + 2;
  return g;
}

Generated random_case(Rng& rng, Flavour flavour) {
  if (flavour == Flavour::road || flavour == Flavour::whole_metre_road) {
    return road_case(rng, flavour == Flavour::whole_metre_road);
  }
  Generated g;
  std::set<NodeId> taken;
  const std::size_t node_records = 2 + below(rng, 11);
  const bool all_alike = chance(rng, 30);
  for (std::size_t i = 0; i < node_records; ++i) {
    NodeId id;
    if (!g.listed.empty() && chance(rng, 15)) {
      id = g.listed[below(rng, g.listed.size())];  // a repeated id with its own coordinates
    } else {
      id = fresh_id(rng, taken);
      taken.insert(id);
      g.listed.push_back(id);
    }
    auto [lat, lon] = coordinates(rng, flavour, all_alike);
    g.graph.nodes.push_back(Node{id, lat, lon});
  }
  const std::size_t ghost_count = below(rng, 3);
  for (std::size_t i = 0; i < ghost_count; ++i) {
    NodeId id = fresh_id(rng, taken);
    taken.insert(id);
    g.ghosts.push_back(id);
  }
  g.unseen = fresh_id(rng, taken);

  std::vector<NodeId> ends = g.listed;
  ends.insert(ends.end(), g.ghosts.begin(), g.ghosts.end());
  // Huge costs stay apart from negative huge ones in most graphs, so that
  // both overflow to infinity and infinity minus infinity are exercised.
  const bool allow_negative_huge = chance(rng, 40);
  const std::size_t edge_count = below(rng, 31);
  for (std::size_t i = 0; i < edge_count; ++i) {
    Edge edge{};
    if (!g.graph.edges.empty() && chance(rng, 15)) {
      const Edge& earlier = g.graph.edges[below(rng, g.graph.edges.size())];
      edge.from = earlier.from;
      edge.to = earlier.to;
    } else {
      edge.from = ends[below(rng, ends.size())];
      edge.to = chance(rng, 8) ? edge.from : ends[below(rng, ends.size())];
    }
    edge.distance_m = distance_or_risk(rng, flavour);
    edge.risk_score = distance_or_risk(rng, flavour);
    if (flavour == Flavour::decimal && !g.graph.edges.empty() && chance(rng, 30)) {
      // Costs reused on another edge make sums that agree to the bit when
      // the same values are added in another order along another route.
      const Edge& earlier = g.graph.edges[below(rng, g.graph.edges.size())];
      edge.distance_m = earlier.distance_m;
      edge.risk_score = chance(rng, 50) ? earlier.risk_score : earlier.distance_m;
    }
    if (flavour == Flavour::huge && !allow_negative_huge) {
      edge.distance_m = std::fabs(edge.distance_m);
      edge.risk_score = std::fabs(edge.risk_score);
    }
    edge.familiarity = familiarity(rng, flavour);
    g.graph.edges.push_back(edge);
  }
  return g;
}

// ---------------------------------------------------------------------------

struct Mismatch {
  std::size_t size = SIZE_MAX;  // nodes + edges of the smallest failing graph
  std::string report;
  std::size_t count = 0;
};

void note_mismatch(Mismatch& mismatch, const Case& c, const std::string& report) {
  ++mismatch.count;
  const std::size_t size = c.nodes.size() + c.edges.size();
  if (size < mismatch.size) {
    mismatch.size = size;
    mismatch.report = report + "graph:\n" + show(c);
  }
}

struct RequestPair {
  NodeId source;
  NodeId target;
};

std::vector<RequestPair> request_pairs(Rng& rng, const Generated& g) {
  std::vector<NodeId> anywhere = g.listed;
  anywhere.insert(anywhere.end(), g.ghosts.begin(), g.ghosts.end());
  anywhere.push_back(g.unseen);
  std::vector<RequestPair> pairs;
  const NodeId self = g.listed[below(rng, g.listed.size())];
  pairs.push_back({self, self});
  for (int i = 0; i < 4; ++i) {
    pairs.push_back({g.listed[below(rng, g.listed.size())], g.listed[below(rng, g.listed.size())]});
  }
  pairs.push_back({anywhere[below(rng, anywhere.size())], anywhere[below(rng, anywhere.size())]});
  return pairs;
}

struct BatchTotals {
  std::size_t requests = 0;
  std::size_t routes_found = 0;
  // Routes found by the quick ways (the targeted walks with eps 0, the
  // pruned search otherwise), and by the literal search after a tie.
  std::size_t could_be_quick = 0;
  std::size_t targeted = 0;  // answered by the targeted walks on their own
  std::uint64_t known_routes = 0;  // learned with the tuning shrunk
  std::size_t answered_quickly = 0;
  std::size_t fell_back = 0;
  std::uint64_t labels_revisiting = 0;
  std::uint64_t nan_priorities = 0;
  std::size_t approximate = 0;          // requests the approximate search answered
  std::size_t approximate_gave_up = 0;  // and those it left to the others
  std::size_t approximate_fronts = 0;   // its fronts checked on their own
  // Points typed "front" whose path the front order gives, where the
  // literal search reaches the same costs by another path first.
  std::size_t front_paths_reordered = 0;
};

// How many "front" points of the front have another path than the literal
// model's first entry of the same costs.
std::size_t reordered_paths(const FastResult& fast, const reference::ParetoFront& model) {
  if (!fast) return 0;
  std::size_t count = 0;
  for (const RouteRecord& point : *fast) {
    if (point.route_type != "front") continue;
    for (const reference::FrontEntry& entry : model) {
      if (same_bits(entry.costs.distance_m, point.total_distance_m) && same_bits(entry.costs.risk, point.total_risk)) {
        count += entry.path != point.path ? 1 : 0;
        break;
      }
    }
  }
  return count;
}

// The approximate search's front against the search's: the same entries
// with the same costs in the same order (only the chosen entries' paths are
// promised, and they are checked through the routes).
std::string costs_difference(const ParetoFront& fast, const reference::ParetoFront& model) {
  if (fast.size() != model.size()) return "front sizes differ";
  for (std::size_t i = 0; i < fast.size(); ++i) {
    const std::string at = "entry " + std::to_string(i) + ": ";
    if (fast[i].node != model[i].node) return at + "nodes differ";
    if (!same_bits(fast[i].costs.distance_m, model[i].costs.distance_m)) return at + "distance bits differ";
    if (!same_bits(fast[i].costs.risk, model[i].costs.risk)) return at + "risk bits differ";
    if (!same_bits(fast[i].costs.familiarity, model[i].costs.familiarity)) return at + "familiarity bits differ";
  }
  return "";
}

// Every point of the front against the models: the literal model's points
// by distance, then risk, each with its sums; a point typed as a route has
// the literal model's path of its costs, the first in front order (the path
// the route search gives), and each route the model's request gives is a
// point typed as that route. Every other point has the front order's path
// (`ordered`, the plain search's model) where the front search answers
// (costs bounded below, the source not the target), else the literal
// model's too.
std::string front_routes_difference(const FastResult& fast, const ModelResult& routes,
                                    const reference::ParetoFront& model, const reference::ParetoFront* ordered) {
  if (!fast || !routes) return result_difference(fast, routes);
  std::vector<const reference::FrontEntry*> points;
  for (const reference::FrontEntry& entry : model) {
    bool seen = false;
    for (const reference::FrontEntry* point : points) {
      seen = seen || (same_bits(point->costs.distance_m, entry.costs.distance_m) &&
                      same_bits(point->costs.risk, entry.costs.risk));
    }
    if (!seen) points.push_back(&entry);
  }
  std::stable_sort(points.begin(), points.end(), [](const reference::FrontEntry* a, const reference::FrontEntry* b) {
    if (!same_bits(a->costs.distance_m, b->costs.distance_m)) {
      return reference::total_order_precedes(a->costs.distance_m, b->costs.distance_m);
    }
    return reference::total_order_precedes(a->costs.risk, b->costs.risk);
  });
  if (fast->size() != points.size()) return "point counts differ";
  if (ordered != nullptr && ordered->size() != points.size()) return "the front order's model has other points";
  for (std::size_t i = 0; i < points.size(); ++i) {
    const RouteRecord& f = (*fast)[i];
    const std::string at = "point " + std::to_string(i) + ": ";
    if (!same_bits(f.total_distance_m, points[i]->costs.distance_m)) return at + "distance bits differ";
    if (!same_bits(f.total_risk, points[i]->costs.risk)) return at + "risk bits differ";
    const reference::FrontEntry* expected = points[i];
    if (ordered != nullptr) {
      const reference::FrontEntry& own = (*ordered)[i];
      if (!same_bits(own.costs.distance_m, f.total_distance_m) || !same_bits(own.costs.risk, f.total_risk)) {
        return at + "the front order's model has other sums";
      }
      if (f.route_type == "front") expected = &own;
    }
    if (f.path != expected->path) return at + "paths differ";
    if (!same_bits(f.total_familiarity, expected->costs.familiarity)) return at + "familiarity bits differ";
  }
  if (fast->front().route_type != "shortest") return "the first point is not typed shortest";
  for (const reference::RouteRecord& route : *routes) {
    bool typed = false;
    for (const RouteRecord& f : *fast) {
      typed = typed || (f.path == route.path && same_bits(f.total_distance_m, route.total_distance_m) &&
                        same_bits(f.total_risk, route.total_risk) && f.route_type == route.route_type);
    }
    if (!typed) return "no point is the " + route.route_type + " route";
  }
  return "";
}

void check_one_graph(Rng& rng, const Generated& g, Mismatch& mismatch, BatchTotals& totals) {
  const RoadGraph fast = fast_graph(g.graph);
  const reference::Graph model = reference_graph(g.graph);
  const reference::CoordinateTable table = reference::build_coordinate_table(model);
  for (const RequestPair& pair : request_pairs(rng, g)) {
    for (double eps : kEpsValues) {
      const std::string request = "request: source " + std::to_string(pair.source) + " target " +
                                  std::to_string(pair.target) + " eps " + show(eps) + "\n";

      SearchReport counters;
      const FastResult fast_result = compute_safe_routes(fast, pair.source, pair.target, eps, {.report = &counters});
      const ModelResult model_result = reference::compute_safe_routes(model, pair.source, pair.target, eps);
      ++totals.requests;
      if (fast_result) ++totals.routes_found;
      if (fast_result && fast_result->front().path.size() > 1 && eps >= 0.0 && std::isfinite(eps)) {
        ++totals.could_be_quick;
        ++(counters.answered_by == Strategy::literal ? totals.fell_back : totals.answered_quickly);
      }
      if (std::string why = result_difference(fast_result, model_result); !why.empty()) {
        note_mismatch(mismatch, g.graph,
                      "compute_safe_routes: " + why + "\n" + request + "fast:\n" + show(fast_result) +
                          "reference:\n" + show(model_result));
      }

      if (eps == 0.0) {
        const FastResult front = compute_front_routes(fast, pair.source, pair.target);
        reference::ParetoFront model_front;
        reference::ParetoFront ordered_front;
        const bool ordered = model_result && fast.costs_bounded_below && pair.source != pair.target;
        if (auto found = table.find(pair.target); model_result && found != table.end()) {
          model_front = reference::pareto_search(model, table, pair.source, pair.target, found->second.first,
                                                 found->second.second, 0.0);
          if (ordered) ordered_front = reference::front_order_search(model, pair.source, pair.target);
        }
        if (std::string why =
                front_routes_difference(front, model_result, model_front, ordered ? &ordered_front : nullptr);
            !why.empty()) {
          note_mismatch(mismatch, g.graph,
                        "compute_front_routes: " + why + "\n" + request + "fast:\n" + show(front) +
                            "reference:\n" + show_front(model_front) + "front order:\n" + show_front(ordered_front));
        }
        totals.front_paths_reordered += reordered_paths(front, model_front);
      }

      // Past a short pruned search, as in longer requests: the approximate
      // search has the next go with eps above 0.
      if (eps > 0.0) {
        SearchReport past_short;
        const FastResult approximated = compute_safe_routes(fast, pair.source, pair.target, eps,
                                                            {.report = &past_short, .tuning = kPastShort});
        if (past_short.answered_by == Strategy::approximate) ++totals.approximate;
        for (std::uint8_t i = 0; i < past_short.gave_up_count; ++i) {
          if (past_short.gave_up[i].strategy == Strategy::approximate) ++totals.approximate_gave_up;
        }
        if (std::string why = result_difference(approximated, model_result); !why.empty()) {
          note_mismatch(mismatch, g.graph,
                        "compute_safe_routes past a short pruned search: " + why + "\n" + request + "fast:\n" +
                            show(approximated) + "reference:\n" + show(model_result));
        }
      }

      // Every way of working reached on a small graph: the targeted walks
      // and known routes come in after a couple of labels.
      SearchReport tight_counters;
      const FastResult tight = compute_safe_routes(fast, pair.source, pair.target, eps,
                                                   {.report = &tight_counters, .tuning = kShrunkTuning});
      totals.known_routes += tight_counters.known_routes;
      if (std::string why = result_difference(tight, model_result); !why.empty()) {
        note_mismatch(mismatch, g.graph,
                      "compute_safe_routes, tuning shrunk: " + why + "\n" + request + "fast:\n" + show(tight) +
                          "reference:\n" + show(model_result));
      }

      // The targeted walks on their own, which the request only uses once a
      // request proves long (and never from a node to itself).
      if (eps == 0.0 && pair.source != pair.target && fast.costs_bounded_below && listed_node(fast, pair.source) != IdIndex::kAbsent &&
          listed_node(fast, pair.target) != IdIndex::kAbsent && !outgoing_edges(fast, pair.source).empty()) {
        SearchReport walked;
        RequestWorkspace workspace(fast, fast.dense_of.find(pair.source), fast.dense_of.find(pair.target), 0.0,
                                   0.0, 0.0, {}, walked);
        const std::expected<ParetoFront, GaveUp> front = targeted_route_front(workspace);
        if (front) {
          ++totals.targeted;
          std::string why;
          if (front->empty()) {
            why = !model_result && model_result.error().kind == reference::ErrorKind::no_route ? "" : "no route found";
          } else {
            why = result_difference(FastResult(select_routes(*front)), model_result);
          }
          if (!why.empty()) {
            note_mismatch(mismatch, g.graph, "targeted_route_front: " + why + "\n" + request + "reference:\n" +
                                                 show(model_result) + "walks:\n" + show_front(*front));
          }
        }
      }

      // The approximate search on its own, with its cuts from the first
      // label on or in two stages after a few labels (the request sets them
      // up only in long searches), against the model's whole front.
      const std::uint32_t source_listed = listed_node(fast, pair.source);
      const std::uint32_t target_listed = listed_node(fast, pair.target);
      if (eps > 0.0 && std::isfinite(eps) && pair.source != pair.target && fast.costs_bounded_below &&
          source_listed != IdIndex::kAbsent && target_listed != IdIndex::kAbsent) {
        SearchReport searched;
        const double lat = fast.lat[target_listed];
        const double lon = fast.lon[target_listed];
        RequestWorkspace workspace(fast, source_listed, target_listed, lat, lon, eps, {}, searched);
        const std::expected<ParetoFront, GaveUp> front = approximate_route_front(workspace, chance(rng, 50) ? kEarlyCuts : kStagedCuts);
        if (front) {
          ++totals.approximate_fronts;
          std::string why =
              costs_difference(*front, reference::pareto_search(model, table, pair.source, pair.target, lat, lon, eps));
          if (why.empty() && !front->empty() && !outgoing_edges(fast, pair.source).empty()) {
            why = result_difference(FastResult(select_routes(*front)), model_result);
          }
          if (!why.empty()) {
            note_mismatch(mismatch, g.graph, "approximate_route_front: " + why + "\n" + request + "reference:\n" +
                                                 show(model_result) + "front:\n" + show_front(*front));
          }
        }
      }

      // The search itself, also for ids outside the node list and with a
      // target position that need not be the target's own.
      double target_lat = 48.0;
      double target_lon = 2.0;
      if (auto found = table.find(pair.target); found != table.end() && !chance(rng, 20)) {
        std::tie(target_lat, target_lon) = found->second;
      }
      const ParetoFront fast_front = *pareto_search(fast, pair.source, pair.target, target_lat, target_lon, eps);
      reference::SearchStats stats;
      const reference::ParetoFront model_front =
          reference::pareto_search(model, table, pair.source, pair.target, target_lat, target_lon, eps, &stats);
      totals.labels_revisiting += stats.labels_revisiting;
      totals.nan_priorities += stats.nan_priorities;
      std::string why = front_difference(fast_front, model_front);
      if (why.empty()) why = front_property_violation(model, fast_front, pair.source, pair.target);
      if (!why.empty()) {
        note_mismatch(mismatch, g.graph,
                      "pareto_search: " + why + "\n" + request + "target position " + show(target_lat) + ", " +
                          show(target_lon) + "\nfast:\n" + show_front(fast_front) + "reference:\n" +
                          show_front(model_front));
      }
    }
  }
}

enum class Familiarity { as_drawn, none };

// A long soak run draws other graphs with NORVEL_DIFFERENTIAL_SEED set to
// a number: every batch's seed moves by it.
std::uint64_t soak_seed() {
  const char* text = std::getenv("NORVEL_DIFFERENTIAL_SEED");
  return text == nullptr ? 0 : std::strtoull(text, nullptr, 10) * 0x9E3779B97F4A7C15ULL;
}

// Runs check_graph(rng, mismatch, totals) `graphs` times on one generator
// seeded by `seed` (moved by the soak seed), expects no mismatch, and
// gives the totals the batch's own expectations read.
template <class Totals, class CheckGraph>
Totals check_graphs(std::uint64_t seed, std::size_t graphs, CheckGraph check_graph) {
  Rng rng(seed + soak_seed());
  Mismatch mismatch;
  Totals totals;
  for (std::size_t i = 0; i < graphs; ++i) check_graph(rng, mismatch, totals);
  EXPECT_EQ(mismatch.count, 0u) << "smallest failing case of " << mismatch.count << ":\n" << mismatch.report;
  return totals;
}

BatchTotals run_batch(Flavour flavour, std::uint64_t seed, std::size_t graphs,
                      Familiarity familiarity = Familiarity::as_drawn) {
  const BatchTotals totals =
      check_graphs<BatchTotals>(seed, graphs, [&](Rng& rng, Mismatch& mismatch, BatchTotals& counts) {
        Generated g = random_case(rng, flavour);
        if (familiarity == Familiarity::none) {
          for (Edge& edge : g.graph.edges) edge.familiarity = 0.0;
        }
        check_one_graph(rng, g, mismatch, counts);
      });
  // A generator that never reaches the target would make the batch vacuous.
  EXPECT_GT(totals.routes_found * 4, totals.requests) << totals.routes_found << " of " << totals.requests;
  return totals;
}

// The batches must keep reaching the cases they exist for: the cycle rule
// firing, and priorities that are NaN.
TEST(DifferentialSearch, TieHeavySmallGraphs) {
  const BatchTotals totals = run_batch(Flavour::ties, 20240601, 3000);
  EXPECT_GT(totals.labels_revisiting, 1000u);
  // Where the front order's paths part from the literal search's.
  EXPECT_GT(totals.front_paths_reordered, 0u);
}
TEST(DifferentialSearch, NegativeCostsAndNegativeCycles) {
  EXPECT_GT(run_batch(Flavour::negative, 77, 600).labels_revisiting, 1000u);
}
TEST(DifferentialSearch, HugeCostsOverflowAndAbsorbTinyEdges) {
  EXPECT_GT(run_batch(Flavour::huge, 1e9 + 7, 600).nan_priorities, 100u);
}
TEST(DifferentialSearch, RealisticCoordinatesAndRealCosts) { run_batch(Flavour::realistic, 4242, 600); }

// Where the pruning bites, with every eps: the quick ways must answer most
// requests themselves, or the batch would test only the literal search.
TEST(DifferentialSearch, RoadLikeGridsWithRealCosts) {
  const BatchTotals totals = run_batch(Flavour::road, 8080, 400);
  EXPECT_GT(totals.answered_quickly * 10, totals.could_be_quick * 9) << totals.answered_quickly;
  EXPECT_GT(totals.targeted, 1000u);
  EXPECT_GT(totals.known_routes, 1000u);
}

// Exact ties everywhere: the quick ways have to notice each one that could
// change an answer and leave it to the literal search.
TEST(DifferentialSearch, WholeMetreRoadGridsFullOfTies) {
  const BatchTotals totals = run_batch(Flavour::whole_metre_road, 1609, 400);
  EXPECT_GT(totals.fell_back, 50u);
  EXPECT_GT(totals.targeted, 500u);
  EXPECT_GT(totals.known_routes, 1000u);
  EXPECT_GT(totals.answered_quickly * 2, totals.could_be_quick) << totals.answered_quickly;
}
TEST(DifferentialSearch, DecimalCostsThatTieOnlyOnPaper) { run_batch(Flavour::decimal, 314159, 1500); }

// Without familiarity the approximate search answers eps above 0: its whole
// front and its routes against the model, where exact ties abound, where
// sums tie only on paper, and on road grids with real and whole-metre
// costs. It must answer most such requests, and leave those whose ties it
// cannot order to the others. (Requests over within two labels are the
// pruned search's.)
TEST(DifferentialSearch, ApproximateRoutesWhereTiesAbound) {
  const BatchTotals totals = run_batch(Flavour::ties, 5150, 1500, Familiarity::none);
  EXPECT_GT(totals.approximate, 1000u);
  EXPECT_GT(totals.approximate_gave_up, 100u);
}
TEST(DifferentialSearch, ApproximateRoutesOnCostsThatTieOnlyOnPaper) {
  const BatchTotals totals = run_batch(Flavour::decimal, 2718, 1000, Familiarity::none);
  EXPECT_GT(totals.approximate, 1000u);
}
TEST(DifferentialSearch, ApproximateRoutesOnRoadGrids) {
  const BatchTotals real = run_batch(Flavour::road, 4040, 300, Familiarity::none);
  EXPECT_GT(real.approximate * 2, real.approximate_fronts) << real.approximate << " of " << real.approximate_fronts;
  EXPECT_LT(real.approximate_gave_up * 10, real.approximate) << real.approximate_gave_up;
  const BatchTotals whole_metres = run_batch(Flavour::whole_metre_road, 1610, 300, Familiarity::none);
  EXPECT_GT(whole_metres.approximate, 1000u);
  EXPECT_GT(whole_metres.approximate_gave_up, 100u);
}

// ---------------------------------------------------------------------------
// The front search's own paths (graph/front_search.hpp), every point's,
// against the model of the plain search that defines them, between every
// two listed nodes: the same points with the same paths and the same sums
// to the bit.

struct OrderTotals {
  std::size_t fronts = 0;
  std::size_t points = 0;
  std::size_t apart_from_literal = 0;  // points whose path the literal search does not reach first
};

void check_front_order(const Generated& g, Mismatch& mismatch, OrderTotals& totals) {
  const RoadGraph fast = fast_graph(g.graph);
  if (!fast.costs_bounded_below) return;
  const reference::Graph model = reference_graph(g.graph);
  const reference::CoordinateTable table = reference::build_coordinate_table(model);
  for (const NodeId target : g.listed) {
    for (const NodeId source : g.listed) {
      if (source == target) continue;
      StopCheck stop(StopPoll{});
      SearchReport report;
      const std::optional<ParetoFront> front =
          front_search(fast, fast.dense_of.find(source), fast.dense_of.find(target), nullptr, nullptr, stop, report);
      const reference::ParetoFront ordered = reference::front_order_search(model, source, target);
      const auto [lat, lon] = table.at(target);
      const reference::ParetoFront literal = reference::pareto_search(model, table, source, target, lat, lon, 0.0);
      std::string why = !front ? "stopped" : (front->size() != ordered.size() ? "point counts differ" : "");
      for (std::size_t i = 0; why.empty() && i < ordered.size(); ++i) {
        const FrontEntry& f = (*front)[i];
        const reference::FrontEntry& m = ordered[i];
        const std::string at = "point " + std::to_string(i) + ": ";
        if (f.path != m.path) why = at + "paths differ";
        if (!same_bits(f.costs.distance_m, m.costs.distance_m) || !same_bits(f.costs.risk, m.costs.risk) ||
            !same_bits(f.costs.familiarity, m.costs.familiarity)) {
          why = at + "sums differ";
        }
        for (const reference::FrontEntry& entry : literal) {
          if (same_bits(entry.costs.distance_m, m.costs.distance_m) && same_bits(entry.costs.risk, m.costs.risk)) {
            totals.apart_from_literal += entry.path != m.path ? 1 : 0;
            break;
          }
        }
      }
      if (!why.empty()) {
        note_mismatch(mismatch, g.graph,
                      "front_search: " + why + "\nrequest: source " + std::to_string(source) + " target " +
                          std::to_string(target) + "\nfast:\n" + (front ? show_front(*front) : "") +
                          "front order:\n" + show_front(ordered));
      }
      ++totals.fronts;
      totals.points += ordered.size();
    }
  }
}

OrderTotals run_order_batch(Flavour flavour, std::uint64_t seed, std::size_t graphs) {
  return check_graphs<OrderTotals>(seed, graphs, [&](Rng& rng, Mismatch& mismatch, OrderTotals& totals) {
    check_front_order(random_case(rng, flavour), mismatch, totals);
  });
}

TEST(FrontOrder, PathsWhereTiesAbound) {
  const OrderTotals totals = run_order_batch(Flavour::ties, 1789, 1500);
  EXPECT_GT(totals.apart_from_literal, 50u) << totals.apart_from_literal << " of " << totals.points;
}
TEST(FrontOrder, PathsOnRoadGridsFullOfTies) {
  const OrderTotals totals = run_order_batch(Flavour::whole_metre_road, 1848, 40);
  EXPECT_GT(totals.apart_from_literal, 100u) << totals.apart_from_literal << " of " << totals.points;
}
TEST(FrontOrder, PathsOnCostsThatTieOnlyOnPaper) { run_order_batch(Flavour::decimal, 1871, 400); }

// ---------------------------------------------------------------------------
// Requests to one destination that share its backward searches
// (graph/destination_bounds.hpp) against the same requests on their own:
// the very same answers, whatever the order of the requests, however far
// earlier requests (some of them stopped half way) took the shared searches,
// and after the searches have served other destinations in between.

std::string answer_difference(const FastResult& shared, const FastResult& alone) {
  if (shared.has_value() != alone.has_value()) return "one succeeded, the other failed";
  if (!shared) {
    if (shared.error().kind != alone.error().kind) return "error kinds differ";
    return shared.error().message == alone.error().message ? "" : "error messages differ";
  }
  if (shared->size() != alone->size()) return "record counts differ";
  for (std::size_t i = 0; i < shared->size(); ++i) {
    const RouteRecord& a = (*shared)[i];
    const RouteRecord& b = (*alone)[i];
    const std::string at = "record " + std::to_string(i) + ": ";
    if (a.path != b.path) return at + "paths differ";
    if (a.route_type != b.route_type) return at + "route types differ";
    if (!same_bits(a.total_distance_m, b.total_distance_m) || !same_bits(a.total_risk, b.total_risk) ||
        !same_bits(a.total_familiarity, b.total_familiarity) || !same_bits(a.estimated_time_min, b.estimated_time_min) ||
        !same_bits(a.comfort_score, b.comfort_score) || a.node_count != b.node_count) {
      return at + "values differ";
    }
  }
  return "";
}

// A street grid larger than `road_case`'s, where a request settles a good
// part of the graph backwards: real lengths, risk by street class, some
// one-way and missing streets, a dead end that no street leaves, and an
// island.
Generated wide_road_case(Rng& rng) {
  Generated g;
  const std::size_t side = 6 + below(rng, 7);
  const NodeId first = 5000;
  const bool with_familiarity = chance(rng, 30);
  for (std::size_t i = 0; i < side * side; ++i) {
    const double lat = 60.17 + static_cast<double>(i / side) * 0.0009 + (unit(rng) - 0.5) * 0.0002;
    const double lon = 24.94 + static_cast<double>(i % side) * 0.0018 + (unit(rng) - 0.5) * 0.0004;
    g.graph.nodes.push_back(Node{first + i, lat, lon});
    g.listed.push_back(first + i);
  }
  auto street = [&](std::size_t a, std::size_t b, bool main_street) {
    if (chance(rng, 6)) return;
    const Node& na = g.graph.nodes[a];
    const Node& nb = g.graph.nodes[b];
    const double length = reference::haversine_m(na.lat, na.lon, nb.lat, nb.lon) * (1.0 + unit(rng) * 0.3);
    const double risk = length * (main_street ? 0.5 : 3.0) * (0.5 + unit(rng)) / 1000.0;
    const double familiarity = with_familiarity && chance(rng, 20) ? unit(rng) : 0.0;
    const int way = static_cast<int>(below(rng, 10));
    if (way != 1) g.graph.edges.push_back(Edge{first + a, first + b, length, risk, familiarity});
    if (way != 0) g.graph.edges.push_back(Edge{first + b, first + a, length, risk, familiarity});
  };
  for (std::size_t i = 0; i < side * side; ++i) {
    if (i % side + 1 < side) street(i, i + 1, (i / side) % 4 == 0);
    if (i + side < side * side) street(i, i + side, (i % side) % 4 == 0);
  }
  const NodeId dead_end = first + side * side;
  g.graph.nodes.push_back(Node{dead_end, 60.1701, 24.9401});
  g.listed.push_back(dead_end);
  g.graph.edges.push_back(Edge{first, dead_end, 30.0, 0.02, 0.0});
  const NodeId island = dead_end + 1;
  for (NodeId id : {island, island + 1}) {
    g.graph.nodes.push_back(Node{id, 60.2, 24.9 + static_cast<double>(id - island) * 0.001});
    g.listed.push_back(id);
  }
  g.graph.edges.push_back(Edge{island, island + 1, 55.0, 0.1, 0.0});
  g.graph.edges.push_back(Edge{island + 1, island, 55.0, 0.1, 0.0});
  g.ghosts.push_back(island + 2);
  g.graph.edges.push_back(Edge{island + 1, island + 2, 5.0, 0.0, 0.0});
  g.unseen = island + 3;
  return g;
}

// Stops a request once it has polled `left` times.
struct PollCount {
  int left;
};
bool stop_when_counted(void* context) { return --static_cast<PollCount*>(context)->left < 0; }

struct SharingTotals {
  std::size_t requests = 0;
  std::size_t routes_found = 0;
  std::size_t stopped = 0;
  std::size_t targeted = 0;        // shared requests the targeted walks answered
  std::size_t targeted_alone = 0;  // the same requests on their own
  std::size_t settled_shared = 0;  // nodes the shared requests settled backwards
  std::size_t settled_alone = 0;   // nodes the same requests settled on their own
};

void check_shared_destinations(Rng& rng, const Generated& g, Mismatch& mismatch, SharingTotals& totals) {
  const RoadGraph fast = fast_graph(g.graph);
  std::vector<NodeId> anywhere = g.listed;
  anywhere.insert(anywhere.end(), g.ghosts.begin(), g.ghosts.end());
  anywhere.push_back(g.unseen);
  // One worker's searches, started at one destination after another, the
  // first of them again at the end.
  DestinationBounds shared(fast);
  std::vector<NodeId> targets;
  for (int i = 0; i < 3; ++i) targets.push_back(chance(rng, 85) ? g.listed[below(rng, g.listed.size())]
                                                                 : anywhere[below(rng, anywhere.size())]);
  targets.push_back(targets.front());
  static constexpr SearchTuning kTunings[] = {SearchTuning{}, kPastShort, kShrunkTuning};
  static constexpr double kSharedEps[] = {0.0, 0.0, 0.05, 0.3, -0.5, kNaN};
  for (const NodeId target : targets) {
    shared.start(fast.dense_of.find(target));
    const double eps = one_of(rng, kSharedEps);
    const SearchTuning& tuning = one_of(rng, kTunings);
    std::vector<NodeId> sources;
    for (int i = 0; i < 12; ++i) sources.push_back(anywhere[below(rng, anywhere.size())]);
    sources.push_back(sources.front());  // a repeated request
    sources.push_back(target);
    for (const NodeId source : sources) {
      const std::string request = "request: source " + std::to_string(source) + " target " +
                                  std::to_string(target) + " eps " + show(eps) + "\n";
      // Now and then a request stops half way, leaving the shared searches
      // as far as it took them.
      PollCount polls{static_cast<int>(below(rng, 4))};
      const bool stopping = chance(rng, 10);
      SearchReport with_report;
      SearchReport alone_report;
      SearchOptions with{.report = &with_report, .tuning = tuning, .destination = &shared};
      SearchOptions alone{.report = &alone_report, .tuning = tuning};
      if (stopping) {
        PollCount alone_polls = polls;
        with.stop = {.hook = stop_when_counted, .context = &polls, .interval = 1};
        alone.stop = {.hook = stop_when_counted, .context = &alone_polls, .interval = 1};
        const FastResult cut_short = compute_safe_routes(fast, source, target, eps, with);
        if (!cut_short && cut_short.error().kind == RouteErrorKind::interrupted) ++totals.stopped;
        continue;
      }
      const FastResult with_shared = compute_safe_routes(fast, source, target, eps, with);
      const FastResult on_its_own = compute_safe_routes(fast, source, target, eps, alone);
      ++totals.requests;
      if (with_shared) ++totals.routes_found;
      if (with_report.answered_by == Strategy::targeted) ++totals.targeted;
      if (alone_report.answered_by == Strategy::targeted) ++totals.targeted_alone;
      totals.settled_shared += with_report.settled_backwards;
      totals.settled_alone += alone_report.settled_backwards;
      if (std::string why = answer_difference(with_shared, on_its_own); !why.empty()) {
        note_mismatch(mismatch, g.graph,
                      "shared destination: " + why + "\n" + request + "shared:\n" + show(with_shared) +
                          "alone:\n" + show(on_its_own));
      }
    }
  }
}

SharingTotals run_shared_batch(Flavour flavour, std::uint64_t seed, std::size_t graphs, bool wide = false) {
  const SharingTotals totals =
      check_graphs<SharingTotals>(seed, graphs, [&](Rng& rng, Mismatch& mismatch, SharingTotals& counts) {
        const Generated g = wide ? wide_road_case(rng) : random_case(rng, flavour);
        check_shared_destinations(rng, g, mismatch, counts);
      });
  EXPECT_GT(totals.routes_found * 4, totals.requests) << totals.routes_found << " of " << totals.requests;
  return totals;
}

TEST(SharedDestination, TieHeavySmallGraphs) { run_shared_batch(Flavour::ties, 606, 800); }
TEST(SharedDestination, NegativeAndHugeCosts) {
  run_shared_batch(Flavour::negative, 607, 300);
  run_shared_batch(Flavour::huge, 608, 300);
}
TEST(SharedDestination, DecimalCostsThatTieOnlyOnPaper) { run_shared_batch(Flavour::decimal, 609, 600); }
TEST(SharedDestination, RoadGridsFullOfTies) {
  run_shared_batch(Flavour::road, 610, 200);
  run_shared_batch(Flavour::whole_metre_road, 611, 200);
}
// Where sharing pays: the shared requests settle far fewer nodes in all
// than the same requests on their own, and some requests were stopped
// half way through the shared searches. Bounds that are wrong by much
// would show mostly as walks that give up (the literal search still gives
// the answer): the walks must answer about as often with shared bounds.
TEST(SharedDestination, WideRoadGrids) {
  const SharingTotals totals = run_shared_batch(Flavour::road, 612, 150, true);
  EXPECT_LT(totals.settled_shared * 2, totals.settled_alone) << totals.settled_shared << " " << totals.settled_alone;
  EXPECT_GT(totals.stopped, 20u);
  EXPECT_GT(totals.targeted, 300u);
  EXPECT_GE(totals.targeted * 10, totals.targeted_alone * 9) << totals.targeted << " " << totals.targeted_alone;
}

// ---------------------------------------------------------------------------
// Cycles along which nothing grows: the search must end, with the front the
// cycle-free routes give.

struct Outcome {
  ParetoFront fast;
  reference::ParetoFront model;
};

Outcome search_both(const Case& c, NodeId source, NodeId target, double eps) {
  const RoadGraph fast = fast_graph(c);
  const reference::Graph model = reference_graph(c);
  const auto table = reference::build_coordinate_table(model);
  const auto [lat, lon] = table.at(target);
  return {*pareto_search(fast, source, target, lat, lon, eps),
          reference::pareto_search(model, table, source, target, lat, lon, eps)};
}

void expect_sensible_front(const Case& c, NodeId source, NodeId target, double eps,
                           const std::vector<std::vector<NodeId>>& expected_paths) {
  const Outcome outcome = search_both(c, source, target, eps);
  EXPECT_EQ(front_difference(outcome.fast, outcome.model), "") << "fast:\n"
                                                               << show_front(outcome.fast) << "reference:\n"
                                                               << show_front(outcome.model);
  EXPECT_EQ(front_property_violation(reference_graph(c), outcome.fast, source, target), "")
      << show_front(outcome.fast);
  std::vector<std::vector<NodeId>> paths;
  for (const FrontEntry& entry : outcome.fast) paths.push_back(entry.path);
  EXPECT_EQ(paths, expected_paths) << "eps " << eps;
}

Case zero_cost_cycles() {
  // 1 -> 2 -> 3 -> 2 and 3 -> 1 cost nothing; only 2 -> 4 and 3 -> 4 do.
  return Case{{{1, 48.0, 2.0}, {2, 48.0, 2.0}, {3, 48.0, 2.0}, {4, 48.0, 2.0}},
              {{1, 2, 0.0, 0.0, 0.0},
               {2, 3, 0.0, 0.0, 1.0},
               {3, 2, 0.0, 0.0, 1.0},
               {3, 1, 0.0, 0.0, 1.0},
               {2, 2, 0.0, 0.0, 0.0},
               {2, 4, 5.0, 1.0, 0.0},
               {3, 4, 1.0, 5.0, 0.0}}};
}

TEST(DifferentialSearch, ZeroCostCyclesEndWithTheCycleFreeFront) {
  for (double eps : {0.0, kNaN, -0.5}) {
    expect_sensible_front(zero_cost_cycles(), 1, 4, eps, {{1, 2, 4}, {1, 2, 3, 4}});
  }
  // Nothing ever covers a label with eps NaN and no route exists: only the
  // cycle rule empties the open list.
  Case no_exit = zero_cost_cycles();
  no_exit.edges.resize(5);
  expect_sensible_front(no_exit, 1, 4, kNaN, {});
}

TEST(DifferentialSearch, NegativeCyclesEndWithSimpleRoutes) {
  // 2 -> 3 -> 2 lowers both distance and risk on every turn.
  const Case c{{{1, 48.0, 2.0}, {2, 48.0, 2.0}, {3, 48.0, 2.0}, {4, 48.0, 2.0}},
               {{1, 2, 1.0, 1.0, 0.0},
                {2, 3, -2.0, 1.0, 0.0},
                {3, 2, -2.0, -3.0, 0.0},
                {2, 4, 1.0, 1.0, 0.0},
                {3, 4, 5.0, 0.0, 0.0},
                {3, 3, -1.0, -1.0, 0.0}}};
  for (double eps : {0.0, 0.1, kNaN}) {
    const Outcome outcome = search_both(c, 1, 4, eps);
    EXPECT_EQ(front_difference(outcome.fast, outcome.model), "") << "fast:\n"
                                                                 << show_front(outcome.fast) << "reference:\n"
                                                                 << show_front(outcome.model);
    EXPECT_EQ(front_property_violation(reference_graph(c), outcome.fast, 1, 4), "") << show_front(outcome.fast);
    EXPECT_FALSE(outcome.fast.empty());
  }
}

TEST(DifferentialSearch, PriorityIsSummedInTheWrittenOrder) {
  // Both middle nodes sit 100 m from the target. Summed in the written order
  // the two middle labels get the very same priority and the lesser risk
  // pops first; summed in any other order the last bit differs and the other
  // middle label wins. Each route to the target adds the same three values in
  // the opposite order, so the two target labels tie completely and the one
  // pushed first becomes the solution.
  const Case c{{{1, 60.17, 24.94}, {2, 60.1709, 24.94}, {3, 60.1709, 24.94}, {4, 60.17, 24.94}},
               {{1, 3, 0.1, 1.1, 1.1}, {1, 2, 0.1, 0.7, 0.1}, {2, 4, 0.1, 1.1, 1.1}, {3, 4, 0.1, 0.7, 0.1}}};
  expect_sensible_front(c, 1, 4, 0.0, {{1, 2, 4}});
  const FastResult fast = compute_safe_routes(fast_graph(c), 1, 4, 0.0);
  const ModelResult model = reference::compute_safe_routes(reference_graph(c), 1, 4, 0.0);
  EXPECT_EQ(result_difference(fast, model), "") << show(fast) << show(model);
}

// ---------------------------------------------------------------------------
// The model on its own, on the worked examples of the search, selection and
// request, so that agreement with it means something.

TEST(ReferenceModel, WorkedSearchExamplePopsFourLabels) {
  const Case c{{{1, 48.0, 2.0}, {2, 48.0, 2.0}, {3, 48.0, 2.0}},
               {{1, 3, 105.0, 0.5, 0.0}, {1, 2, 50.0, 0.1, 0.0}, {2, 3, 60.0, 0.1, 0.0}}};
  const reference::Graph model = reference_graph(c);
  const auto table = reference::build_coordinate_table(model);
  reference::SearchStats stats;
  reference::ParetoFront exact = reference::pareto_search(model, table, 1, 3, 48.0, 2.0, 0.0, &stats);
  ASSERT_EQ(exact.size(), 2u);
  EXPECT_EQ(exact[0].path, (std::vector<NodeId>{1, 2, 3}));
  EXPECT_EQ(exact[0].costs.distance_m, 110.0);
  EXPECT_EQ(exact[0].costs.risk, 0.1 + 0.1);
  EXPECT_EQ(exact[1].path, (std::vector<NodeId>{1, 3}));
  EXPECT_EQ(stats.labels_popped, 4u);
  EXPECT_EQ(stats.labels_expanded, 2u);
  reference::ParetoFront approx = reference::pareto_search(model, table, 1, 3, 48.0, 2.0, 0.1);
  ASSERT_EQ(approx.size(), 1u);
  EXPECT_EQ(approx[0].path, (std::vector<NodeId>{1, 2, 3}));

  auto routes = reference::compute_safe_routes(model, 1, 3, 0.0);
  ASSERT_TRUE(routes.has_value());
  ASSERT_EQ(routes->size(), 2u);
  EXPECT_EQ((*routes)[0].route_type, "shortest");
  EXPECT_EQ((*routes)[0].path, (std::vector<NodeId>{1, 3}));
  EXPECT_EQ((*routes)[0].estimated_time_min, 105.0 / 66.67);
  EXPECT_EQ((*routes)[0].comfort_score, std::exp(-1.0));
  EXPECT_EQ((*routes)[1].route_type, "safest");
  EXPECT_EQ((*routes)[1].node_count, 3u);
}

TEST(ReferenceModel, HaversineExamples) {
  EXPECT_NEAR(reference::haversine_m(48.0, 2.0, 48.0, 3.0), 74400.0, 100.0);
  EXPECT_NEAR(reference::haversine_m(0.0, 0.0, 0.0, 1.0), 111200.0, 100.0);
  EXPECT_EQ(reference::haversine_m(48.0, 2.0, 48.0, 2.0), 0.0);
}

TEST(ReferenceModel, TotalOrderRunsFromNegativeNaNToPositiveNaN) {
  const double ordered[] = {-kNaN, -kInf, -1e308, -1.0, -5e-324, -0.0, 0.0, 5e-324, 1.0, 1e308, kInf, kNaN};
  for (std::size_t i = 0; i < std::size(ordered); ++i) {
    for (std::size_t j = 0; j < std::size(ordered); ++j) {
      EXPECT_EQ(reference::total_order_precedes(ordered[i], ordered[j]), i < j) << i << " " << j;
    }
  }
}

TEST(ReferenceModel, SearchOrderPutsNaNPrioritiesLastAndBreaksTiesOnSignedZero) {
  reference::SearchLabel nan_priority{kNaN, {}, 1, {0.0, 0.0, 0.0}};
  reference::SearchLabel huge{1e308, {}, 1, {5.0, 5.0, 0.0}};
  EXPECT_TRUE(reference::comes_before(huge, nan_priority));
  EXPECT_FALSE(reference::comes_before(nan_priority, huge));
  reference::SearchLabel minus_zero{0.0, {}, 1, {-0.0, 1.0, 0.0}};
  reference::SearchLabel plus_zero{-0.0, {}, 1, {0.0, 0.0, 0.0}};
  EXPECT_TRUE(reference::comes_before(minus_zero, plus_zero));
  reference::SearchLabel same_distance_less_risk{0.0, {}, 1, {-0.0, 0.5, 7.0}};
  EXPECT_TRUE(reference::comes_before(same_distance_less_risk, minus_zero));
  EXPECT_FALSE(reference::comes_before(minus_zero, minus_zero));
}

TEST(ReferenceModel, PopTakesTheRightChildOnTiesAndLetsTheLastRise) {
  // Five tied labels told apart by familiarity only: the pop order shows
  // which slot each move took.
  std::vector<reference::SearchLabel> open;
  for (int i = 0; i < 5; ++i) reference::open_list_push(open, {1.0, {}, 1, {1.0, 1.0, double(i)}});
  std::vector<double> order;
  while (!open.empty()) order.push_back(reference::open_list_pop(open).costs.familiarity);
  // [0 1 2 3 4] pops 0 and leaves [2 1 4 3] (the hole takes the right child,
  // 4 fills it and does not rise); then [4 1 3], then [1 3], then [3].
  EXPECT_EQ(order, (std::vector<double>{0.0, 2.0, 4.0, 1.0, 3.0}));
}

TEST(ReferenceModel, SelectionWorkedExamples) {
  auto entry = [](double d, double r, NodeId tag) {
    return reference::FrontEntry{{1, tag, 9}, 9, {d, r, 0.0}};
  };
  auto types = [](const std::vector<reference::RouteRecord>& records) {
    std::vector<std::string> shown;
    for (const auto& r : records) shown.push_back(r.route_type + ":" + std::to_string(r.path[1]));
    return shown;
  };
  EXPECT_EQ(types(reference::select_routes({entry(1000, 6.0, 1), entry(1200, 2.0, 2), entry(2000, 0.5, 3)})),
            (std::vector<std::string>{"shortest:1", "safest:3", "balanced:2"}));
  EXPECT_EQ(types(reference::select_routes({entry(1000, 5.0, 1), entry(1500, 1.0, 2)})),
            (std::vector<std::string>{"shortest:1", "safest:2"}));
  EXPECT_EQ(types(reference::select_routes({entry(800, 0.2, 1), entry(900, 0.1, 2)})),
            (std::vector<std::string>{"shortest:1", "safest:2"}));
  EXPECT_EQ(types(reference::select_routes(
                {entry(500, 4.0, 0), entry(1000, 2.0, 1), entry(1500, 1.0, 2), entry(2000, 0.0, 3)})),
            (std::vector<std::string>{"shortest:0", "safest:3", "balanced:1"}));
  EXPECT_EQ(types(reference::select_routes({entry(1000, 1.0, 1), entry(1000, 1.0, 1)})),
            (std::vector<std::string>{"shortest:1"}));
  auto records = reference::select_routes({entry(66.67, -1.0, 1)});
  EXPECT_EQ(records[0].estimated_time_min, 1.0);
  EXPECT_EQ(records[0].comfort_score, 1.0);
}

TEST(ReferenceModel, RequestErrorsInCheckOrder) {
  const Case c{{{1, 48.0, 2.0}, {2, 48.0, 2.0}, {UINT64_MAX, 48.0, 2.0}}, {{1, 2, 1.0, 1.0, 0.0}, {5, 1, 1.0, 1.0, 0.0}}};
  const reference::Graph model = reference_graph(c);
  auto message = [&](NodeId s, NodeId t) { return reference::compute_safe_routes(model, s, t, 0.0).error().message; };
  EXPECT_EQ(message(7, 8), "Nœud source 7 introuvable dans le graphe");
  EXPECT_EQ(message(5, 1), "Nœud source 5 introuvable dans le graphe");
  EXPECT_EQ(message(UINT64_MAX, 9), "Nœud cible 9 introuvable dans le graphe");
  EXPECT_EQ(message(UINT64_MAX, 1),
            "Nœud source 18446744073709551615 isolé (aucun arc sortant) — graphe déconnecté ?");
  EXPECT_EQ(message(1, UINT64_MAX),
            "Aucun chemin trouvé entre 1 et 18446744073709551615. Les nœuds sont peut-être dans des composantes "
            "déconnectées.");
}

// ---------------------------------------------------------------------------
// Avoided edges: a request that avoids edges answers, bit for bit, as the
// same request on the graph built without them (whose answers the batches
// above hold to the model), in every way a request can be answered, with a
// destination's shared searches, as a front and as a catchment.

std::string catchment_difference(const RoadGraph& avoiding, const std::expected<Catchment, CatchmentFailure>& a,
                                 const RoadGraph& without, const std::expected<Catchment, CatchmentFailure>& b) {
  if (a.has_value() != b.has_value()) return "catchment: one of them failed";
  if (!a) return a.error() == b.error() ? "" : "catchment: the failures differ";
  if (a->nodes.size() != b->nodes.size()) return "catchment: node counts differ";
  auto same = [](const RouteTotals& x, const RouteTotals& y) {
    return same_bits(x.distance_m, y.distance_m) && same_bits(x.risk, y.risk);
  };
  for (std::size_t i = 0; i < a->nodes.size(); ++i) {
    const CatchmentNode& x = a->nodes[i];
    const CatchmentNode& y = b->nodes[i];
    if (avoiding.id_of[x.dense] != without.id_of[y.dense] || !same(x.shortest, y.shortest) ||
        !same(x.safest, y.safest) || !same(x.balanced, y.balanced) ||
        !std::equal(std::begin(x.place), std::end(x.place), std::begin(y.place))) {
      return "catchment: node " + std::to_string(i) + " differs";
    }
  }
  for (std::size_t i = 0; i < a->within.size(); ++i) {
    if (!same(a->within[i].totals, b->within[i].totals) || a->within[i].place != b->within[i].place) {
      return "catchment: a walk within a cutoff differs";
    }
  }
  return a->within.size() == b->within.size() ? "" : "catchment: cutoff counts differ";
}

struct AvoidTotals {
  std::uint64_t requests = 0;
  std::uint64_t differ_from_whole = 0;  // answers the avoided edges change
  std::uint64_t catchments = 0;
  std::uint64_t answered_by[5] = {};    // by Strategy, of the requests that avoid edges
};

// The graph without a random share of its edges, and those edges as rows.
struct Avoiding {
  RoadGraph without;
  AvoidedRows rows;
};

Avoiding avoiding_some(Rng& rng, const Generated& g, const RoadGraph& whole) {
  std::vector<bool> avoided(g.graph.edges.size());
  const unsigned share = 5 + static_cast<unsigned>(below(rng, 40));
  Case kept{g.graph.nodes, {}};
  for (std::size_t i = 0; i < avoided.size(); ++i) {
    avoided[i] = chance(rng, share);
    if (!avoided[i]) kept.edges.push_back(g.graph.edges[i]);
  }
  AvoidedRows rows(whole.out_edges.size());
  for (std::uint32_t slot = 0; slot < whole.out_edges.size(); ++slot) {
    if (avoided[whole.out_edges[slot].edge_index]) rows.avoid(slot);
  }
  return Avoiding{fast_graph(kept), std::move(rows)};
}

void count_answer(AvoidTotals& totals, const SearchReport& report) {
  if (report.answered_by) ++totals.answered_by[static_cast<int>(*report.answered_by)];
}

void check_avoiding(Rng& rng, const Generated& g, Mismatch& mismatch, AvoidTotals& totals) {
  const RoadGraph whole = fast_graph(g.graph);
  const Avoiding some = avoiding_some(rng, g, whole);
  const RoadGraph& without = some.without;
  const AvoidedRows& rows = some.rows;
  const std::vector<RequestPair> pairs = request_pairs(rng, g);
  for (double eps : kEpsValues) {
    // Requests to one destination share its searches, made on the rows
    // taken; and the ways a request can be answered, reached with the
    // tunings shrunk.
    const NodeId target = pairs[1].target;
    DestinationBounds shared(whole, nullptr, &rows);
    if (const std::uint32_t dense = listed_node(whole, target); dense != IdIndex::kAbsent) shared.start(dense);
    for (const RequestPair& pair : pairs) {
      const std::string request = "request: source " + std::to_string(pair.source) + " target " +
                                  std::to_string(pair.target) + " eps " + show(eps) + "\n";
      const FastResult expected = compute_safe_routes(without, pair.source, pair.target, eps);
      ++totals.requests;
      if (answer_difference(compute_safe_routes(whole, pair.source, pair.target, eps), expected) != "") {
        ++totals.differ_from_whole;
      }
      for (const SearchTuning& tuning : {SearchTuning{}, kShrunkTuning, kPastShort, kEarlyCuts, kStagedCuts}) {
        SearchReport report;
        const FastResult found = compute_safe_routes(whole, pair.source, pair.target, eps,
                                                     {.report = &report, .tuning = tuning, .avoided = &rows});
        count_answer(totals, report);
        if (std::string why = answer_difference(found, expected); !why.empty()) {
          note_mismatch(mismatch, g.graph, "avoiding: " + why + "\n" + request + "avoiding:\n" + show(found) +
                                               "without the edges:\n" + show(expected));
        }
      }
      if (pair.target == target && listed_node(whole, target) != IdIndex::kAbsent) {
        const FastResult found = compute_safe_routes(whole, pair.source, pair.target, eps,
                                                     {.destination = &shared, .avoided = &rows});
        if (std::string why = answer_difference(found, expected); !why.empty()) {
          note_mismatch(mismatch, g.graph, "avoiding, searches shared: " + why + "\n" + request);
        }
      }
      if (eps == 0.0) {
        const FastResult front = compute_front_routes(whole, pair.source, pair.target, {.avoided = &rows});
        if (std::string why = answer_difference(front, compute_front_routes(without, pair.source, pair.target));
            !why.empty()) {
          note_mismatch(mismatch, g.graph, "avoiding, the front: " + why + "\n" + request);
        }
      }
    }
  }
  const std::vector<NodeId> places{pairs[1].source, pairs[2].target};
  const double cutoffs[] = {0.5, 2.0};
  for (const WalkDirection direction : {WalkDirection::to_place, WalkDirection::from_place}) {
    for (const double minutes : {1.0, kInf}) {
      ++totals.catchments;
      const auto a = catchment_search(whole, places, minutes, direction, cutoffs, nullptr, {}, nullptr, std::nullopt,
                                      &rows);
      const auto b = catchment_search(without, places, minutes, direction, cutoffs);
      if (std::string why = catchment_difference(whole, a, without, b); !why.empty()) {
        note_mismatch(mismatch, g.graph, "avoiding: " + why + "\n");
      }
    }
  }
}

// Requests to a few destinations of a wider grid, each group over the
// destination's searches made on the rows taken.
void check_avoiding_shared(Rng& rng, const Generated& g, Mismatch& mismatch, AvoidTotals& totals) {
  const RoadGraph whole = fast_graph(g.graph);
  const Avoiding some = avoiding_some(rng, g, whole);
  DestinationBounds shared(whole, nullptr, &some.rows);
  static constexpr double kSharedEps[] = {0.0, 0.0, 0.05, 0.3};
  for (int t = 0; t < 3; ++t) {
    const NodeId target = g.listed[below(rng, g.listed.size())];
    shared.start(whole.dense_of.find(target));
    const double eps = one_of(rng, kSharedEps);
    for (int i = 0; i < 10; ++i) {
      const NodeId source = g.listed[below(rng, g.listed.size())];
      SearchReport report;
      const FastResult found = compute_safe_routes(whole, source, target, eps,
                                                   {.report = &report, .destination = &shared, .avoided = &some.rows});
      const FastResult expected = compute_safe_routes(some.without, source, target, eps);
      ++totals.requests;
      count_answer(totals, report);
      if (answer_difference(compute_safe_routes(whole, source, target, eps), expected) != "") {
        ++totals.differ_from_whole;
      }
      if (std::string why = answer_difference(found, expected); !why.empty()) {
        note_mismatch(mismatch, g.graph,
                      "avoiding, searches shared: " + why + "\nrequest: source " + std::to_string(source) +
                          " target " + std::to_string(target) + " eps " + show(eps) + "\n");
      }
    }
  }
}

AvoidTotals run_avoid_batch(Flavour flavour, std::uint64_t seed, std::size_t graphs) {
  const AvoidTotals totals =
      check_graphs<AvoidTotals>(seed, graphs, [&](Rng& rng, Mismatch& mismatch, AvoidTotals& counts) {
        check_avoiding(rng, random_case(rng, flavour), mismatch, counts);
      });
  // Avoiding must change answers often, or the batch would compare a graph with itself.
  EXPECT_GT(totals.differ_from_whole * 10, totals.requests) << totals.differ_from_whole << " of " << totals.requests;
  return totals;
}

TEST(AvoidedEdges, AnswerAsTheGraphWithoutThemWhereTiesAbound) { run_avoid_batch(Flavour::ties, 606, 400); }
TEST(AvoidedEdges, AnswerAsTheGraphWithoutThemWithNegativeAndHugeCosts) {
  run_avoid_batch(Flavour::negative, 607, 200);
  run_avoid_batch(Flavour::huge, 608, 200);
}
TEST(AvoidedEdges, AnswerAsTheGraphWithoutThemOnRoadGrids) {
  const AvoidTotals real = run_avoid_batch(Flavour::road, 609, 150);
  run_avoid_batch(Flavour::whole_metre_road, 610, 150);
  run_avoid_batch(Flavour::decimal, 611, 300);
  // Every way a request is answered is reached while avoiding edges.
  for (const Strategy way : {Strategy::pruned_short, Strategy::targeted, Strategy::approximate, Strategy::pruned,
                             Strategy::literal}) {
    EXPECT_GT(real.answered_by[static_cast<int>(way)], 20u) << static_cast<int>(way);
  }
}
TEST(AvoidedEdges, AnswerAsTheGraphWithoutThemOverSharedSearches) {
  const AvoidTotals totals =
      check_graphs<AvoidTotals>(612, 60, [](Rng& rng, Mismatch& mismatch, AvoidTotals& counts) {
        check_avoiding_shared(rng, wide_road_case(rng), mismatch, counts);
      });
  EXPECT_GT(totals.answered_by[static_cast<int>(Strategy::targeted)], 200u);
  EXPECT_GT(totals.answered_by[static_cast<int>(Strategy::approximate)], 100u);
  EXPECT_GT(totals.differ_from_whole * 5, totals.requests) << totals.differ_from_whole << " of " << totals.requests;
}

}  // namespace
}  // namespace norvel
