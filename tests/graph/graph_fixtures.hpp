#pragma once

#include <initializer_list>
#include <utility>

#include "graph/road_graph.hpp"

namespace norvel::testing {

struct EdgeSpec {
  NodeId from;
  NodeId to;
  double distance_m;
  double risk_score;
  double familiarity = 0.0;
};

inline RoadGraph make_graph(std::initializer_list<Node> nodes, std::initializer_list<EdgeSpec> edges) {
  GraphBuilder builder;
  for (const Node& node : nodes) add_node(builder, node);
  for (const EdgeSpec& e : edges) add_edge(builder, Edge{e.from, e.to, e.distance_m, e.risk_score, e.familiarity});
  return build_graph(std::move(builder));
}

}  // namespace norvel::testing
