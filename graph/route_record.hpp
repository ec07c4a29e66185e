#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "graph/node_id.hpp"

namespace norvel {

// One chosen route with the metrics shown to Python. A plain value: it
// shares nothing with the graph or the search that produced it.
struct RouteRecord {
  std::vector<NodeId> path;
  std::string_view route_type;  // "shortest", "safest" or "balanced" (static text)
  double total_distance_m;
  double total_risk;
  double total_familiarity;
  double estimated_time_min;
  std::size_t node_count;
  double comfort_score;
};

}  // namespace norvel
