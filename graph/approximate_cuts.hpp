#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "graph/approximate_boxes.hpp"
#include "graph/pareto_front.hpp"
#include "graph/remaining_cost.hpp"
#include "graph/request_workspace.hpp"

namespace norvel {

// A Lagrangian cut for an open box of the approximate search: in the first
// box, where every point has a distance below the box's alpha, distance +
// 500 risk is at least (1 + l) distance + 500 risk - l alpha for any l >= 0,
// and a backward search by that weighing bounds the first part; likewise in
// the last box with risk, beta and (1, 500 + l). With l the slope between
// the first kept point and the least path by distance (or risk), the bound
// comes close to the least sum in the box, which keeps the search from every
// path that is short (or safe) enough but too risky (or too long) to matter
// there.
struct Cut {
  std::optional<RemainingCost> to_go;
  double multiplier = 0.0;  // l

  // The least distance + 500 risk in the box of this limit of the paths
  // from a label; -infinity without a cut.
  double least_sum(double distance, double risk, std::uint32_t place, double box_limit) const {
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    if (!to_go) return -kInfinity;
    const Objective& weights = to_go->objective();
    const double bound = to_go->lower_bound(place);
    if (bound == kInfinity) return kInfinity;
    const double weighed = (weights.of(distance, risk) + bound) * kWeightedMargin;
    const double relaxed = weighed - multiplier * box_limit;
    return relaxed - std::fabs(weighed) * 0x1p-40;
  }
};

// The cuts of the two open boxes, set up once the search has spent a while
// without them (most requests end before). The best multiplier is the slope
// of the lower convex hull of the paths' points where it crosses the box's
// limit. The first cuts take the slope between the least path by the box's
// own cost and the kept point that bounds the box, which costs one backward
// search per box. A search that goes on long after has a front worth more:
// its cuts are set up again from the slope that a few weighted searches,
// each from the two points that straddle the limit, home in on. Any
// multiplier gives a lower bound, so the cuts may change while labels wait
// on the queue.
class BoxCuts {
 public:
  BoxCuts(RequestWorkspace& workspace, std::uint64_t labels_before_cuts)
      : ws_(workspace), labels_before_cuts_(labels_before_cuts) {}

  // Whether the cuts are due to be set up (again) with this many labels
  // processed.
  bool due(std::uint64_t labels) const { return set_up_ < 2 && labels >= labels_due(); }
  // Sets the cuts up for the staircase's open boxes. Precondition: the
  // staircase is not empty.
  void set_up(const KeptStaircase& staircase);

  // For the first box, by distance, and for the last, by risk.
  Cut& shorter() { return shorter_; }
  Cut& safer() { return safer_; }
  const Cut& shorter() const { return shorter_; }
  const Cut& safer() const { return safer_; }

  bool unsettled(std::uint32_t place) const {
    return (shorter_.to_go && !shorter_.to_go->settled(place)) || (safer_.to_go && !safer_.to_go->settled(place));
  }
  // Nodes settled by every backward search of the cuts so far.
  std::uint64_t settled_count() const;

 private:
  // The second cuts come once the first have been in use a while.
  static constexpr std::uint64_t kRefineAfter = 4;
  static constexpr int kHullRounds = 5;

  // The labels processed when the cuts are set up next.
  std::uint64_t labels_due() const {
    if (set_up_ == 0) return labels_before_cuts_;
    return labels_before_cuts_ > UINT64_MAX / kRefineAfter ? UINT64_MAX : labels_before_cuts_ * kRefineAfter;
  }
  void set_cut(Cut& cut, double multiplier, const Objective& weights);
  double hull_slope(PathCosts inside, PathCosts outside, double limit, bool by_distance, int rounds);

  RequestWorkspace& ws_;
  const std::uint64_t labels_before_cuts_;
  int set_up_ = 0;  // times the cuts were set up
  Cut shorter_;
  Cut safer_;
  std::uint64_t settled_for_hulls_ = 0;  // by the searches that home in on a slope, and by replaced cuts
};

}  // namespace norvel
