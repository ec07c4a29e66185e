#include "graph/route_selection.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string_view>

#include "graph/search_order.hpp"

namespace norvel {

namespace {

// IEEE maxNum: a NaN never replaces the running maximum.
double max_num(double running, double value) {
  if (std::isnan(value)) return running;
  if (std::isnan(running)) return value;
  return value > running ? value : running;
}

// Index of the first solution with the least key in totalOrder.
template <class KeyOf>
std::size_t least(const ParetoFront& solutions, KeyOf key_of) {
  std::size_t best = 0;
  std::uint64_t best_key = total_order_key(key_of(solutions[0]));
  for (std::size_t i = 1; i < solutions.size(); ++i) {
    std::uint64_t key = total_order_key(key_of(solutions[i]));
    if (key < best_key) {
      best = i;
      best_key = key;
    }
  }
  return best;
}

}  // namespace

RouteRecord route_record(const FrontEntry& entry, std::string_view route_type) {
  double comfort = std::exp(kComfortRiskFactor * entry.costs.risk);
  if (comfort > 1.0) comfort = 1.0;
  return RouteRecord{entry.path,
                     route_type,
                     entry.costs.distance_m,
                     entry.costs.risk,
                     entry.costs.familiarity,
                     entry.costs.distance_m / kWalkingSpeedMPerMin,
                     entry.path.size(),
                     comfort};
}

BalanceWeights balance_weights(const ParetoFront& solutions) {
  double max_distance = -std::numeric_limits<double>::infinity();
  double max_risk = -std::numeric_limits<double>::infinity();
  for (const FrontEntry& entry : solutions) {
    max_distance = max_num(max_distance, entry.costs.distance_m);
    max_risk = max_num(max_risk, entry.costs.risk);
  }
  return BalanceWeights{max_num(max_distance, kNormalisationFloor), max_num(max_risk, kNormalisationFloor)};
}

RouteChoice choose_routes(const ParetoFront& solutions) {
  if (solutions.size() <= 1) return RouteChoice{{0, 0, 0}};
  const BalanceWeights weights = balance_weights(solutions);
  const BalancedChoice balanced = choose_balanced(std::span<const FrontEntry>(solutions), weights,
                                                  [](const FrontEntry& e) -> const PathCosts& { return e.costs; });
  return RouteChoice{{least(solutions, [](const FrontEntry& e) { return e.costs.distance_m; }),
                      least(solutions, [](const FrontEntry& e) { return e.costs.risk; }), balanced.at}};
}

namespace {

constexpr std::string_view kTypes[] = {"shortest", "safest", "balanced"};

}  // namespace

std::vector<RouteRecord> select_routes(const ParetoFront& solutions) {
  const RouteChoice choice = choose_routes(solutions);
  std::vector<RouteRecord> records;
  for (std::size_t i = 0; i < 3; ++i) {
    const FrontEntry& entry = solutions[choice.of_type[i]];
    bool repeated = false;
    for (const RouteRecord& emitted : records) repeated = repeated || emitted.path == entry.path;
    if (!repeated) records.push_back(route_record(entry, kTypes[i]));
  }
  return records;
}

std::vector<RouteRecord> front_routes(const ParetoFront& solutions) {
  if (solutions.empty()) return {};
  const RouteChoice choice = choose_routes(solutions);
  std::vector<std::size_t> order(solutions.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  // Stable, so that of entries with the same costs the first in front order
  // leads: the one each choice takes, since `least` and `choose_balanced`
  // keep the first of equal keys.
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const PathCosts& x = solutions[a].costs;
    const PathCosts& y = solutions[b].costs;
    const std::uint64_t x_d = total_order_key(x.distance_m);
    const std::uint64_t y_d = total_order_key(y.distance_m);
    if (x_d != y_d) return x_d < y_d;
    return total_order_key(x.risk) < total_order_key(y.risk);
  });
  std::vector<RouteRecord> routes;
  const PathCosts* last = nullptr;
  for (std::size_t at : order) {
    const PathCosts& costs = solutions[at].costs;
    if (last != nullptr && total_order_key(last->distance_m) == total_order_key(costs.distance_m) &&
        total_order_key(last->risk) == total_order_key(costs.risk)) {
      continue;
    }
    last = &costs;
    std::string_view type = "front";
    for (std::size_t i = 3; i-- > 0;) {
      if (choice.of_type[i] == at) type = kTypes[i];
    }
    routes.push_back(route_record(solutions[at], type));
  }
  return routes;
}

std::vector<RouteRecord> front_routes(const ParetoFront& points, const ParetoFront& chosen) {
  const RouteChoice choice = choose_routes(chosen);
  std::vector<RouteRecord> routes;
  routes.reserve(points.size());
  for (const FrontEntry& point : points) {
    const FrontEntry* entry = &point;
    std::string_view type = "front";
    for (std::size_t i = 3; i-- > 0;) {
      const FrontEntry& route = chosen[choice.of_type[i]];
      if (total_order_key(route.costs.distance_m) == total_order_key(point.costs.distance_m) &&
          total_order_key(route.costs.risk) == total_order_key(point.costs.risk)) {
        entry = &route;
        type = kTypes[i];
      }
    }
    routes.push_back(route_record(*entry, type));
  }
  return routes;
}

}  // namespace norvel
