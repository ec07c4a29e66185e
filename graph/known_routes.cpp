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

std::optional<KnownRoute> follow_least_path(RequestWorkspace& ws, RemainingCost& to_go) {
  Places& places = ws.places;
  const RoadGraph& graph = ws.graph;
  const std::uint32_t source = ws.source_place;
  to_go.settle_until(source, RemainingCost::kUnreachable);
  if (to_go.lower_bound(source) == RemainingCost::kUnreachable) return std::nullopt;
  std::vector<std::uint32_t> walked{source};
  places[source].on_path = true;
  KnownRoute route{0.0, 0.0, priority_key(0.0)};
  bool arrived = true;
  for (std::uint32_t at = source; places[at].dense != ws.target_dense;) {
    const LeastStep step = least_step(graph, places, to_go, at);
    if (step.edge == nullptr || places[step.place].on_path) {
      arrived = false;  // rounding led round a cycle of equal costs
      break;
    }
    route.distance_m = route.distance_m + step.edge->distance_m;
    route.risk = route.risk + step.edge->risk_score;
    const double priority = label_priority(route.distance_m, route.risk, 0.0, ws.heuristic_of(step.place));
    route.highest_priority = std::max(route.highest_priority, priority_key(priority));
    places[step.place].on_path = true;
    walked.push_back(step.place);
    at = step.place;
  }
  for (std::uint32_t place : walked) places[place].on_path = false;
  if (!arrived) return std::nullopt;
  return route;
}

}  // namespace

void seek_known_routes(RequestWorkspace& ws) {
  ws.known.sought = true;
  if (ws.graph.has_familiarity || ws.target_place == Places::kNone || ws.source_place == ws.target_place) return;
  ws.known.target_heuristic = ws.heuristic_of(ws.target_place);
  RemainingCost& by_priority = ws.weighted_to_go(kPriorityWeighing);
  for (RemainingCost* to_go : {&ws.distance_to_go, &ws.risk_to_go, &by_priority}) {
    if (std::optional<KnownRoute> route = follow_least_path(ws, *to_go)) {
      ws.known.routes.push_back(*route);
      ++ws.report.known_routes;
    }
  }
}

}  // namespace norvel
