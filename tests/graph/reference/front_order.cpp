#include "reference/front_order.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <unordered_map>
#include <vector>

namespace norvel::reference {

namespace {

constexpr double kUnreachable = std::numeric_limits<double>::infinity();

// Per node, the least backward sum of one cost to the target: the least,
// over the node's edges, of the edge's cost plus that of its head.
template <class CostOf>
std::unordered_map<NodeId, double> costs_to_go(const Graph& graph, NodeId target, CostOf cost_of) {
  std::unordered_map<NodeId, double> to_go{{target, 0.0}};
  for (bool changed = true; changed;) {
    changed = false;
    for (const Edge& edge : graph.edges) {
      const auto head = to_go.find(edge.to);
      if (head == to_go.end()) continue;
      const double cost = head->second + cost_of(edge);
      const auto tail = to_go.find(edge.from);
      if (tail == to_go.end() || cost < tail->second) {
        to_go[edge.from] = cost;
        changed = true;
      }
    }
  }
  return to_go;
}

struct Label {
  double key_distance;
  double key_risk;
  std::size_t parent;  // index among the kept labels; SIZE_MAX for the start
  std::size_t edge;    // edge index it came along
  FrontEntry entry;
};

bool taken_before(const Label& x, const Label& y) {
  if (x.key_distance != y.key_distance) return x.key_distance < y.key_distance;
  if (x.key_risk != y.key_risk) return x.key_risk < y.key_risk;
  if (x.parent != y.parent) return x.parent < y.parent;
  return x.edge < y.edge;
}

}  // namespace

ParetoFront front_order_search(const Graph& graph, NodeId source, NodeId target) {
  const auto distance_to_go = costs_to_go(graph, target, [](const Edge& e) { return e.distance_m; });
  const auto risk_to_go = costs_to_go(graph, target, [](const Edge& e) { return e.risk_score; });
  // A node that cannot reach the target holds no label that matters.
  auto reaches = [&](NodeId node) { return distance_to_go.contains(node) && risk_to_go.contains(node); };
  std::vector<Label> open;
  std::vector<Label> kept;
  if (reaches(source)) {
    open.push_back(Label{0.0 + distance_to_go.at(source), 0.0 + risk_to_go.at(source), SIZE_MAX, 0,
                         FrontEntry{{source}, source, {}}});
  }
  while (!open.empty()) {
    const auto first = std::min_element(open.begin(), open.end(), taken_before);
    const Label label = *first;
    open.erase(first);
    const FrontEntry& entry = label.entry;
    const bool dominated = std::any_of(kept.begin(), kept.end(), [&](const Label& other) {
      return other.entry.node == entry.node && other.entry.costs.distance_m <= entry.costs.distance_m &&
             other.entry.costs.risk <= entry.costs.risk;
    });
    if (dominated) continue;
    kept.push_back(label);
    if (entry.node == target) continue;
    for (const std::size_t index : outgoing_edges(graph, entry.node)) {
      const Edge& edge = graph.edges[index];
      if (!reaches(edge.to)) continue;
      FrontEntry next{entry.path, edge.to,
                      {entry.costs.distance_m + edge.distance_m, entry.costs.risk + edge.risk_score,
                       entry.costs.familiarity + edge.familiarity}};
      next.path.push_back(edge.to);
      const double key_distance = next.costs.distance_m + distance_to_go.at(edge.to);
      const double key_risk = next.costs.risk + risk_to_go.at(edge.to);
      open.push_back(Label{key_distance, key_risk, kept.size() - 1, index, std::move(next)});
    }
  }
  ParetoFront points;
  for (const Label& label : kept) {
    if (label.entry.node != target) continue;
    const PathCosts& costs = label.entry.costs;
    const bool beaten = std::any_of(kept.begin(), kept.end(), [&](const Label& other) {
      return other.entry.node == target && strictly_dominates(other.entry.costs, costs);
    });
    if (!beaten) points.push_back(label.entry);
  }
  std::sort(points.begin(), points.end(), [](const FrontEntry& a, const FrontEntry& b) {
    return a.costs.distance_m < b.costs.distance_m;
  });
  return points;
}

}  // namespace norvel::reference
