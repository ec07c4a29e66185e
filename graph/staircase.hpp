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
  void insert(double distance, double risk) {
    if (std::isnan(distance) || std::isnan(risk)) return;
    std::erase_if(points_, [&](const Point& point) {
      return strictly_dominates(distance, risk, point.distance_m, point.risk);
    });
    points_.insert(first_beyond(distance), Point{distance, risk});
  }

  bool empty() const { return points_.empty(); }
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
