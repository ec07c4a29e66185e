#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include "graph/pareto_front.hpp"

namespace norvel {

// A set of (distance, risk) points none of which strictly dominates
// another, kept sorted by distance: risk then falls as distance grows, so
// every question the search asks of a front is one binary search. Points
// with a NaN cost never dominate nor cover anything and are left out.
class Staircase {
 public:
  // Whether some point lies at or below both limits.
  bool covers(double distance_limit, double risk_limit) const {
    if (std::isnan(distance_limit)) return false;
    auto after = first_beyond(distance_limit);
    return after != points_.begin() && (after - 1)->risk <= risk_limit;
  }

  bool strictly_dominates_point(double distance, double risk) const {
    if (std::isnan(distance)) return false;
    auto after = first_beyond(distance);
    if (after == points_.begin()) return false;
    const Point& nearest = *(after - 1);
    return nearest.risk < risk || (nearest.risk == risk && nearest.distance_m < distance);
  }

  // Adds a point that no point strictly dominates, dropping those it
  // strictly dominates.
  //
  // A point equal to one held changes no answer, so it is not kept twice:
  // where many paths have exactly equal costs, copies would pile up at a
  // node and make every insertion there cost as many steps. Otherwise the
  // points it dominates have a distance from its own on and a risk down to
  // its own: as risk falls along the staircase, they form one run right
  // where it goes (points of equal distance are equal, or one would
  // dominate the other).
  void insert(double distance, double risk) {
    if (std::isnan(distance) || std::isnan(risk)) return;
    auto at = std::lower_bound(points_.begin(), points_.end(), distance,
                               [](const Point& point, double value) { return point.distance_m < value; });
    if (at != points_.end() && at->distance_m == distance && at->risk == risk) return;
    auto run_end = at;
    while (run_end != points_.end() && run_end->risk >= risk) ++run_end;
    if (run_end != at) {
      *at = Point{distance, risk};
      points_.erase(at + 1, run_end);
    } else {
      points_.insert(at, Point{distance, risk});
    }
  }

  bool empty() const { return points_.empty(); }
  void clear() { points_.clear(); }
  // The extremes: the largest distance and the largest risk of the set.
  // Precondition: not empty.
  double largest_distance() const { return points_.back().distance_m; }
  double largest_risk() const { return points_.front().risk; }

 private:
  struct Point {
    double distance_m;
    double risk;
  };

  std::vector<Point>::const_iterator first_beyond(double distance) const {
    return std::upper_bound(points_.begin(), points_.end(), distance,
                            [](double value, const Point& point) { return value < point.distance_m; });
  }

  std::vector<Point> points_;
};

}  // namespace norvel
