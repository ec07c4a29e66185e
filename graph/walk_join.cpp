#include "graph/walk_join.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "graph/search_order.hpp"

namespace norvel {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// A join is numbered walk * routes + route: ascending numbers are the front
// order of the joins.
struct Join {
  std::size_t number;
  double distance_m;
  double risk;
};

std::span<const std::uint32_t> route_edges(const LegRoutes& leg, std::size_t route) {
  return leg.edges.subspan(leg.starts[route], leg.starts[route + 1] - leg.starts[route]);
}

// Where a join's running sums can lie: its walk's sums plus the route's
// own totals (both summed in order), give or take 8(n + 2) units in the
// last place of the magnitudes summed over the route's n edges, more than
// twice the bound of recursive summation taken twice with one addition.
struct Interval {
  double low_distance;
  double high_distance;
  double low_risk;
  double high_risk;
};

struct RouteSizes {
  double distance_m;
  double risk;
  double distance_magnitude;
  double risk_magnitude;
  double margin;
};

std::vector<std::size_t> every_join(std::size_t count) {
  std::vector<std::size_t> all(count);
  std::iota(all.begin(), all.end(), std::size_t{0});
  return all;
}

// The joins, ascending, that may be on the front: all but those whose
// interval lies wholly above another's in both sums (strictly dominated
// whatever the rounding, so they need no exact sums). Where a bound is not
// finite, every join.
std::vector<std::size_t> maybe_kept(const WalkFront& walks, const LegRoutes& leg, const EdgeColumns& columns) {
  const std::size_t routes = leg.starts.size() - 1;
  std::vector<RouteSizes> sizes(routes);
  for (std::size_t route = 0; route < routes; ++route) {
    const std::span<const std::uint32_t> edges = route_edges(leg, route);
    RouteSizes& size = sizes[route];
    size = RouteSizes{0.0, 0.0, 0.0, 0.0, 8.0 * (static_cast<double>(edges.size()) + 2.0) * 0x1p-53};
    for (const std::uint32_t edge : edges) {
      size.distance_m += columns.lengths[edge];
      size.risk += columns.risks[edge];
      size.distance_magnitude += std::abs(columns.lengths[edge]);
      size.risk_magnitude += std::abs(columns.risks[edge]);
    }
  }
  const std::size_t count = walks.distance_m.size() * routes;
  std::vector<Interval> intervals(count);
  bool finite = true;
  for (std::size_t number = 0; number < count; ++number) {
    const double distance_m = walks.distance_m[number / routes];
    const double risk = walks.risk[number / routes];
    const RouteSizes& size = sizes[number % routes];
    const double distance_middle = distance_m + size.distance_m;
    const double distance_spread = size.margin * (std::abs(distance_m) + size.distance_magnitude);
    const double risk_middle = risk + size.risk;
    const double risk_spread = size.margin * (std::abs(risk) + size.risk_magnitude);
    const Interval interval{distance_middle - distance_spread, distance_middle + distance_spread,
                            risk_middle - risk_spread, risk_middle + risk_spread};
    finite = finite && std::isfinite(interval.low_distance) && std::isfinite(interval.high_distance) &&
             std::isfinite(interval.low_risk) && std::isfinite(interval.high_risk);
    intervals[number] = interval;
  }
  if (!finite) return every_join(count);
  std::vector<std::size_t> kept;
  // The least upper-corner risk of the joins surely shorter than each one,
  // by buckets of the corners' distances rather than a sort of them. A
  // bucket is floor((d - lowest) * scale): rounded subtraction, rounded
  // multiplication by a positive number and floor never decrease as d
  // grows, so a corner in a lower bucket than a distance x is shorter than
  // x. Only such corners are asked about: those in x's own bucket are left
  // out, which may keep a join a sort would have dropped, never drop one
  // it would have kept. Whatever is kept here goes on to the exact test.
  if (count == 0) return kept;
  double lowest = intervals[0].high_distance;
  double highest = lowest;
  for (const Interval& interval : intervals) {
    lowest = std::min(lowest, interval.high_distance);
    highest = std::max(highest, interval.high_distance);
  }
  // Corners farther apart than the largest double: a distance's offset
  // from the lowest may overflow, and no bucket is read from it.
  if (!std::isfinite(highest - lowest)) return every_join(count);
  double scale = static_cast<double>(count - 1) / (highest - lowest);
  if (!std::isfinite(scale)) scale = 0.0;  // one distance: one bucket, no join dropped
  const auto bucket = [&](double distance) {
    if (!(distance > lowest)) return std::size_t{0};
    return std::min(count - 1, static_cast<std::size_t>((distance - lowest) * scale));
  };
  // before[b]: the least upper-corner risk in the buckets below b.
  std::vector<double> before(count + 1, kInfinity);
  for (const Interval& interval : intervals) {
    double& least = before[bucket(interval.high_distance) + 1];
    least = std::min(least, interval.high_risk);
  }
  for (std::size_t at = 1; at <= count; ++at) before[at] = std::min(before[at - 1], before[at]);
  kept.reserve(count);
  for (std::size_t number = 0; number < count; ++number) {
    const Interval& interval = intervals[number];
    if (!(before[bucket(interval.low_distance)] < interval.low_risk)) kept.push_back(number);
  }
  return kept;
}

bool dominates(const Join& a, const Join& b) {
  return a.distance_m <= b.distance_m && a.risk <= b.risk && (a.distance_m < b.distance_m || a.risk < b.risk);
}

bool same(const Join& a, const Join& b) {
  return total_order_key(a.distance_m) == total_order_key(b.distance_m) &&
         total_order_key(a.risk) == total_order_key(b.risk);
}

// Which of `joins` (in front order) no other strictly dominates, of equal
// ones the first; by one sort where no sum is NaN.
std::vector<bool> pareto(const std::vector<Join>& joins) {
  std::vector<bool> kept(joins.size(), false);
  const bool any_nan = std::ranges::any_of(
      joins, [](const Join& join) { return std::isnan(join.distance_m) || std::isnan(join.risk); });
  if (any_nan) {
    // A NaN never dominates and is never dominated; equal means equal bits
    // in totalOrder here.
    std::vector<std::size_t> taken;
    for (std::size_t at = 0; at < joins.size(); ++at) {
      const auto beats = [&](const Join& other) { return dominates(other, joins[at]); };
      if (std::ranges::any_of(joins, beats)) continue;
      if (std::ranges::any_of(taken, [&](std::size_t before) { return same(joins[before], joins[at]); })) continue;
      taken.push_back(at);
      kept[at] = true;
    }
    return kept;
  }
  std::vector<std::size_t> order(joins.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::ranges::sort(order, [&](std::size_t a, std::size_t b) {
    if (joins[a].distance_m != joins[b].distance_m) return joins[a].distance_m < joins[b].distance_m;
    if (joins[a].risk != joins[b].risk) return joins[a].risk < joins[b].risk;
    return a < b;
  });
  // In (distance, risk, front order) the points before one are those no
  // longer than it and, of its length, no more risky: it is kept when less
  // risky than all of them.
  double least_risk = 0.0;
  for (std::size_t at = 0; at < order.size(); ++at) {
    const double risk = joins[order[at]].risk;
    if (at == 0 || risk < least_risk) {
      kept[order[at]] = true;
      least_risk = risk;
    }
  }
  return kept;
}

WalkFront join_leg(const WalkFront& walks, const LegRoutes& leg, const EdgeColumns& columns) {
  const std::size_t routes = leg.starts.size() - 1;
  const std::vector<std::size_t> candidates = maybe_kept(walks, leg, columns);
  std::vector<Join> joins;
  joins.reserve(candidates.size());
  for (const std::size_t number : candidates) {
    Join join{number, walks.distance_m[number / routes], walks.risk[number / routes]};
    for (const std::uint32_t edge : route_edges(leg, number % routes)) {
      join.distance_m += columns.lengths[edge];
      join.risk += columns.risks[edge];
    }
    joins.push_back(join);
  }
  const std::vector<bool> kept = pareto(joins);
  WalkFront front;
  front.legs = walks.legs + 1;
  for (std::size_t at = 0; at < joins.size(); ++at) {
    if (!kept[at]) continue;
    const Join& join = joins[at];
    const std::size_t walk = join.number / routes;
    const std::size_t route = join.number % routes;
    double familiarity = 0.0;
    if (!columns.familiarity.empty()) {
      familiarity = walks.familiarity[walk];
      for (const std::uint32_t edge : route_edges(leg, route)) familiarity += columns.familiarity[edge];
    }
    front.distance_m.push_back(join.distance_m);
    front.risk.push_back(join.risk);
    front.familiarity.push_back(familiarity);
    const auto row = walks.picks.begin() + static_cast<std::ptrdiff_t>(walk * walks.legs);
    front.picks.insert(front.picks.end(), row, row + static_cast<std::ptrdiff_t>(walks.legs));
    front.picks.push_back(static_cast<std::uint32_t>(route));
  }
  return front;
}

std::expected<void, WalkJoinFault> check_leg(const LegRoutes& leg, std::size_t edge_count) {
  if (leg.starts.empty() || leg.starts.front() != 0 || leg.starts.back() != leg.edges.size() ||
      !std::ranges::is_sorted(leg.starts)) {
    return std::unexpected(WalkJoinFault::leg_malformed);
  }
  if (std::ranges::any_of(leg.edges, [&](std::uint32_t edge) { return edge >= edge_count; })) {
    return std::unexpected(WalkJoinFault::edge_out_of_range);
  }
  return {};
}

}  // namespace

std::expected<WalkFront, WalkJoinFault> join_walks(std::span<const double> distance_m, std::span<const double> risk,
                                                   std::span<const double> familiarity,
                                                   std::span<const LegRoutes> legs, const EdgeColumns& columns) {
  if (risk.size() != distance_m.size() || familiarity.size() != distance_m.size()) {
    return std::unexpected(WalkJoinFault::sums_differ);
  }
  const std::size_t edge_count = columns.lengths.size();
  if (columns.risks.size() != edge_count ||
      (!columns.familiarity.empty() && columns.familiarity.size() != edge_count)) {
    return std::unexpected(WalkJoinFault::columns_differ);
  }
  for (const LegRoutes& leg : legs) {
    if (auto checked = check_leg(leg, edge_count); !checked) return std::unexpected(checked.error());
  }
  WalkFront front{.legs = 1,
                  .distance_m = {distance_m.begin(), distance_m.end()},
                  .risk = {risk.begin(), risk.end()},
                  .familiarity = {familiarity.begin(), familiarity.end()},
                  .picks = std::vector<std::uint32_t>(distance_m.size())};
  std::iota(front.picks.begin(), front.picks.end(), std::uint32_t{0});
  for (const LegRoutes& leg : legs) front = join_leg(front, leg, columns);
  return front;
}

}  // namespace norvel
