#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "graph/pareto_front.hpp"
#include "graph/request_workspace.hpp"
#include "graph/search_types.hpp"

namespace norvel {

struct PrunedFront {
  ParetoFront front;
  // Per entry: whether its path may be another one with the very same costs
  // than the literal search finds.
  std::vector<bool> path_uncertain;
};

// The label search without the labels that cannot change its answer: gives
// the literal search's front, or gives up, on a tie whose order could depend
// on what it dropped or once it has processed more than `most_processed`
// labels. Uses the workspace's places (with empty fronts), bounds and known
// routes, and leaves them tighter. Precondition: the graph's costs are
// bounded below and eps is at least 0 and finite. When the workspace's stop
// check says stop, the result means nothing.
std::expected<PrunedFront, GaveUp> pruned_search(RequestWorkspace& workspace, std::uint64_t most_processed,
                                                 std::uint64_t labels_before_known_routes);

}  // namespace norvel
