#pragma once

#include <cstdint>

#include "graph/approximate_cuts.hpp"
#include "graph/pareto_front.hpp"
#include "graph/remaining_cost.hpp"
#include "graph/request_workspace.hpp"
#include "graph/search_labels.hpp"

namespace norvel {

// What the approximate search does not see, checked on its outcome (see
// graph/approximate_routes.cpp): that each kept point's path has no label
// later in the search order than its label at the target, and that no other
// path has exactly the costs of a chosen entry.
class OutcomeChecks {
 public:
  // `weighted_to_go` is the search's bound by its own weighing.
  OutcomeChecks(RequestWorkspace& workspace, RemainingCost& weighted_to_go, BoxCuts& cuts)
      : ws_(workspace), weighted_to_go_(weighted_to_go), cuts_(cuts) {}

  // Whether no label along the path that reaches the target from the
  // recorded label `parent`, with `costs`, comes later in the search order
  // than its label at the target.
  bool arrives_in_order(const LabelArena& labels, std::uint32_t parent, const PathCosts& costs);

  // Whether exactly one path without a repeated node has exactly these
  // sums. Precondition: the search kept the point (its fronts are in place).
  bool only_path(const PathCosts& point);

  std::uint64_t walked_prefixes() const { return kWalkBudget - walk_budget_; }

 private:
  static constexpr std::uint64_t kWalkBudget = 200'000;

  RequestWorkspace& ws_;
  RemainingCost& weighted_to_go_;
  BoxCuts& cuts_;
  std::uint64_t walk_budget_ = kWalkBudget;
};

}  // namespace norvel
