#include "graph/known_routes.hpp"

#include <algorithm>
#include <optional>

#include "graph/heuristic.hpp"
#include "graph/request_workspace.hpp"
#include "graph/search_order.hpp"

// Before the first solution nothing is covered, and in a long request that
// is most of the work. Without familiarity, routes known to exist stand in
// for solutions not yet found.
//
// Take a path Q from the source to the target, and B the highest priority of
// its labels. Until the search first pops a label of priority above B, call
// a label at the i-th node of Q a witness when its distance and risk are at
// most those of Q's i-th label; with every familiarity zero its priority is
// then at most that label's, so at most B. The start label is a witness and
// is processed first. A processed witness pushes a witness along Q's next
// edge (sums are monotone), which is popped before any label of priority
// above B; there it is covered by a solution, which then covers Q, or
// strictly dominated by a recorded witness, or it comes back to a node where
// an ancestor is a witness, or it is processed. So witnesses advance until
// one is processed at the target, where it becomes a solution that covers Q,
// unless one covering Q was already there. Hence before any label of
// priority above B is popped, a solution covering Q is held, and it covers
// every label at the target whose costs are at least Q's.
//
// So a label whose every path to the target ends with costs at least Q's and
// a priority above B is dead in the sense of the pruned search: it never
// becomes a solution, its extensions are such labels, and so is every label
// at its node with costs at least its own. The lower bounds from the backward
// searches tell: the priority at the target grows with distance and risk.
// None of this depends on when Q was found, so the routes hold for every
// strategy of the request.

namespace norvel {

namespace {

// The least path by `to_go`'s objective as a known route. It may go round
// a cycle (see `follow_least_path`), and still stands in for the path
// without it: cutting the cycle out costs no more in distance or risk, and
// without familiarity the priorities of the labels after it are no higher.
std::optional<KnownRoute> least_route(RequestWorkspace& ws, RemainingCost& to_go) {
  std::uint64_t highest_priority = priority_key(0.0);
  auto visit = [&](std::uint32_t place, const PathCosts& sums) {
    const double priority = label_priority(sums.distance_m, sums.risk, 0.0, ws.heuristic_of(place));
    highest_priority = std::max(highest_priority, priority_key(priority));
  };
  const std::optional<PathCosts> sums =
      follow_least_path(ws.graph, ws.places, to_go, ws.source_place, ws.target_dense, visit);
  if (!sums) return std::nullopt;
  return KnownRoute{sums->distance_m, sums->risk, highest_priority};
}

}  // namespace

void seek_known_routes(RequestWorkspace& ws) {
  ws.known.sought = true;
  if (ws.graph.has_familiarity || ws.target_place == Places::kNone) return;
  ws.known.target_heuristic = ws.heuristic_of(ws.target_place);
  RemainingCost& by_priority = ws.weighted_to_go(kPriorityWeighing);
  for (RemainingCost* to_go : {&ws.distance_to_go, &ws.risk_to_go, &by_priority}) {
    if (std::optional<KnownRoute> route = least_route(ws, *to_go)) {
      ws.known.routes.push_back(*route);
      ++ws.report.known_routes;
    }
  }
}

}  // namespace norvel
