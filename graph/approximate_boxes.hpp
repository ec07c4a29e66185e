#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

#include "graph/remaining_cost.hpp"

namespace norvel {

// The points the approximate search has kept, as a staircase by distance,
// and the boxes below it where a point they do not cover can still lie.
//
// Points not covered by the kept ones lie in the boxes between consecutive
// steps of the staircase (distance below the next step's alpha, risk below
// this step's beta; the first box has no bound on risk, the last none on
// distance). The first and the last box are open; the others are closed,
// and a closed box whose points all have a priority below the level (the
// greatest key taken from the queue) is empty, since no point still to be
// found has a priority below it.

// Widens the uncovered boxes past every rounding of `f * cost` and of the
// box's own corners.
inline constexpr double kBoxMargin = 1.0 + 0x1p-30;

class KeptStaircase {
 public:
  struct Step {
    double distance_m;
    double risk;
    double alpha;  // no point with a distance below this is covered by this step
    double beta;   // nor any with a risk below this
  };

  // `factor` is 1 + eps.
  explicit KeptStaircase(double factor) : factor_(factor) {}

  // As the search tests a label against its solutions.
  bool covered(double distance, double risk) const {
    const double d = factor_ * distance;
    const double r = factor_ * risk;
    return std::any_of(steps_.begin(), steps_.end(), [&](const Step& s) { return s.distance_m <= d && s.risk <= r; });
  }

  // Adds a point that no kept point covers.
  void keep(double distance, double risk) {
    const double alpha = distance / factor_ * kBoxMargin;
    const double beta = risk / factor_ * kBoxMargin;
    const auto at = std::lower_bound(steps_.begin(), steps_.end(), distance,
                                     [](const Step& step, double d) { return step.distance_m < d; });
    steps_.insert(at, Step{distance, risk, alpha, beta});
  }

  bool empty() const { return steps_.empty(); }
  std::size_t size() const { return steps_.size(); }
  // The steps of least distance and of least risk. Precondition: not empty.
  const Step& shortest() const { return steps_.front(); }
  const Step& safest() const { return steps_.back(); }
  // The open boxes' limits: the first box lies below this distance, the
  // last below this risk. Precondition: not empty.
  double first_box_alpha() const { return steps_.front().alpha; }
  double last_box_beta() const { return steps_.back().beta; }

  // The greatest distance + 500 risk of a point in the closed box j, with
  // room for rounding. Precondition: 0 < j < size.
  double closed_box_most(std::size_t j) const {
    return kPriorityWeighing.of(steps_[j].alpha, steps_[j - 1].beta) * kBoxMargin;
  }

  // How far in distance and in risk the boxes that may still hold a point
  // reach: the two open ones, and the closed ones whose greatest priority
  // lies above the level. Once the level has passed a closed box, the
  // backward searches need not go as far as its limits. Precondition: not
  // empty.
  std::pair<double, double> reach(double level) const {
    double distance_limit = steps_.front().alpha;
    double risk_limit = steps_.back().beta;
    for (std::size_t j = 1; j < steps_.size(); ++j) {
      if (!(level < closed_box_most(j))) continue;
      distance_limit = std::max(distance_limit, steps_[j].alpha);
      risk_limit = std::max(risk_limit, steps_[j - 1].beta);
    }
    return {distance_limit, risk_limit};
  }

  // The least distance + 500 risk of a path whose point lies in a box that
  // may still hold one, given the least distance and risk the path can have
  // (`least_distance`, `least_risk`), the least weighted sum from the
  // weighted bound (`least_weighted`) and the greater of the two bounds
  // (`anywhere`); infinite where no box can hold its point. In the open
  // boxes the cuts may say more: `first_box(alpha)` and `last_box(beta)`
  // give their bounds. Precondition: not empty.
  template <class FirstBox, class LastBox>
  double least_uncovered(double least_distance, double least_risk, double least_weighted, double anywhere,
                         double level, FirstBox first_box, LastBox last_box) const {
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    const std::size_t n = steps_.size();
    double least = kInfinity;
    for (std::size_t j = 0; j <= n; ++j) {
      const double alpha = j < n ? steps_[j].alpha : kInfinity;
      const double beta = j > 0 ? steps_[j - 1].beta : kInfinity;
      if (!(least_distance < alpha && least_risk < beta)) continue;
      if (j == 0) {
        least = std::min(least, std::max(anywhere, first_box(alpha)));
      } else if (j == n) {
        least = std::min(least, std::max(anywhere, last_box(beta)));
      } else if (const double most = closed_box_most(j); least_weighted < most && level < most) {
        least = std::min(least, anywhere);
      }
    }
    return least;
  }

 private:
  double factor_;
  std::vector<Step> steps_;  // by distance
};

}  // namespace norvel
