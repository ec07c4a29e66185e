#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/edge_risk.hpp"
#include "graph/pareto_front.hpp"
#include "graph/road_graph.hpp"
#include "graph/search_places.hpp"
#include "graph/stop_poll.hpp"

namespace norvel {

// Walks, depth first, the paths without a repeated node from the source to
// the target, summing costs edge by edge in path order as labels sum them,
// going on from a prefix only where `keep(place, costs)` allows,
// and calls `reach(costs, places)` for every path that arrives, `places`
// being the path's places from the source on (the target excluded). Nothing
// goes on past the target. Returns false when more than `budget` prefixes
// were kept (the budget is spent), or when `stop` said stop; each prefix
// kept is a unit of work for it.
template <class Keep, class Reach>
bool walk_paths(const RoadGraph& graph, const EdgeRisk& risk, Places& places, std::uint32_t source_place, std::uint32_t target_dense,
                std::uint64_t& budget, StopCheck& stop, Keep keep, Reach reach) {
  struct Step {
    std::uint32_t place;
    std::uint32_t next_slot;
    PathCosts costs;
  };
  std::vector<Step> walk;
  std::vector<std::uint32_t> path;
  auto enter = [&](std::uint32_t place, const PathCosts& costs) {
    places[place].on_path = true;
    walk.push_back(Step{place, graph.out_begin[places[place].dense], costs});
    path.push_back(place);
  };
  auto leave_all = [&] {
    for (const Step& step : walk) places[step.place].on_path = false;
  };
  enter(source_place, PathCosts{0.0, 0.0, 0.0});
  // A copy, which the walk's stores cannot alias: else what it reads is
  // loaded again at every edge.
  const EdgeRisk risks = risk;
  while (!walk.empty()) {
    Step& at = walk.back();
    if (at.next_slot == graph.out_begin[places[at.place].dense + 1]) {
      places[at.place].on_path = false;
      walk.pop_back();
      path.pop_back();
      continue;
    }
    const std::uint32_t slot = at.next_slot++;
    if (!risks.takes(slot)) continue;
    const SearchEdge& edge = graph.out_edges[slot];
    const PathCosts costs{at.costs.distance_m + edge.distance_m, at.costs.risk + risks.at(slot, edge),
                          at.costs.familiarity + edge.familiarity};
    if (edge.to == target_dense) {
      reach(costs, std::span<const std::uint32_t>(path));
      continue;
    }
    const std::uint32_t place = places.place_of(edge.to);
    if (places[place].on_path || !keep(place, costs)) continue;
    if (budget == 0 || stop.tick()) {
      leave_all();
      return false;
    }
    --budget;
    enter(place, costs);
  }
  return true;
}

}  // namespace norvel
