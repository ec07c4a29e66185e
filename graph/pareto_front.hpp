#pragma once

#include <cstddef>
#include <vector>

#include "graph/node_id.hpp"

namespace norvel {

// The three sums along a path, edge by edge in path order.
struct PathCosts {
  double distance_m;
  double risk;
  double familiarity;
};

struct FrontEntry {
  std::vector<NodeId> path;
  NodeId node;
  PathCosts costs;
};

// Kept in insertion order; no entry strictly dominates another.
using ParetoFront = std::vector<FrontEntry>;

// The front of a request from a node to itself: the start label, which has
// reached the target before any edge.
inline ParetoFront start_only_front(NodeId node) { return ParetoFront{FrontEntry{{node}, node, {0.0, 0.0, 0.0}}}; }

// Dominance looks at distance and risk only, with ordinary comparisons, so a
// NaN never dominates and is never dominated.
inline bool strictly_dominates(double a_distance, double a_risk, double b_distance, double b_risk) {
  return a_distance <= b_distance && a_risk <= b_risk && (a_distance < b_distance || a_risk < b_risk);
}

// Drops `entry` if some entry strictly dominates it; otherwise removes the
// entries it strictly dominates (the rest keep their order) and appends it.
// Returns whether the entry was kept.
template <class Entry>
bool front_insert(std::vector<Entry>& front, Entry entry) {
  const double distance = entry.costs.distance_m;
  const double risk = entry.costs.risk;
  for (const Entry& kept : front) {
    if (strictly_dominates(kept.costs.distance_m, kept.costs.risk, distance, risk)) return false;
  }
  std::size_t write = 0;
  for (std::size_t read = 0; read < front.size(); ++read) {
    if (strictly_dominates(distance, risk, front[read].costs.distance_m, front[read].costs.risk)) continue;
    if (write != read) front[write] = std::move(front[read]);
    ++write;
  }
  front.resize(write);
  front.push_back(std::move(entry));
  return true;
}

}  // namespace norvel
