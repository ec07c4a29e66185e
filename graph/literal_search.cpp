#include "graph/literal_search.hpp"

#include <vector>

#include "graph/heuristic.hpp"
#include "graph/open_list.hpp"
#include "graph/search_labels.hpp"
#include "graph/search_order.hpp"

namespace norvel {

std::optional<ParetoFront> literal_search(RequestWorkspace& workspace) {
  const RoadGraph& graph = workspace.graph;
  Places& places = workspace.places;
  SearchReport& report = workspace.report;
  StopCheck& stop = workspace.stop;
  LabelArena labels;
  std::vector<OpenLabel> open;
  std::vector<SolutionRef> solutions;
  auto push = [&](const OpenLabel& label) {
    open_list_push(open, label, label_before);
    ++report.pushed;
  };

  push(start_label(workspace.source_place));
  while (!open.empty()) {
    if (stop.tick()) return std::nullopt;
    const OpenLabel label = open_list_pop(open, label_before);
    ++report.popped;
    // Solution test: covered by a solution held.
    if (workspace.covered_by_solution(label.distance_m, label.risk)) continue;
    // Front test: strictly dominated by a label recorded at its node.
    Place& at = places[label.place];
    if (at.front.strictly_dominates_point(label.distance_m, label.risk)) continue;
    // Cycle rule, which makes the search end where a cycle adds nothing.
    if (labels.revisits_own_node(label, workspace.risk.facts().has_negative_cost)) continue;

    // Record at its node; at the target a solution, never expanded;
    // elsewhere expanded along every outgoing edge in adjacency order, with
    // nothing tested at push time.
    at.front.insert(label.distance_m, label.risk);
    const std::uint32_t index = labels.record(label);
    ++report.processed;
    const std::uint32_t dense = at.dense;
    if (dense == workspace.target_dense) {
      // Its costs have just entered the target's front, so no solution
      // strictly dominates them. Every path of the same costs is a solution
      // of its own, and comparing with each is work to count.
      stop.tick(solutions.size());
      front_insert(solutions, SolutionRef{index, {label.distance_m, label.risk, label.familiarity}});
      continue;
    }
    for (std::uint32_t slot = graph.out_begin[dense]; slot < graph.out_begin[dense + 1]; ++slot) {
      if (!workspace.risk.takes(slot)) continue;
      const SearchEdge& edge = graph.out_edges[slot];
      const std::uint32_t place = places.place_of(edge.to);
      const double distance = label.distance_m + edge.distance_m;
      const double risk = label.risk + workspace.risk.at(slot, edge);
      const double familiarity = label.familiarity + edge.familiarity;
      const double priority = label_priority(distance, risk, familiarity, workspace.heuristic_of(place));
      push(OpenLabel{priority_key(priority), distance, risk, familiarity, index, place});
    }
  }
  return labels.front_of(solutions, graph, places);
}

}  // namespace norvel
