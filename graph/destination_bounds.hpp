#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "graph/edge_risk.hpp"
#include "graph/search_objective.hpp"
#include "graph/road_graph.hpp"
#include "graph/stop_poll.hpp"

namespace norvel {

// A backward search from one target without a goal, indexed by dense node,
// which the requests to that target take turns to grow: Dijkstra's search
// over the incoming edges, run only as far as some request asks. A settled
// node's cost is the least sum backwards, whichever request settled it and
// however far the others had taken the search before: the costs settled do
// not depend on the order of the requests, nor on ties on the heap. An
// unsettled node is at least the search's radius away, the least key on the
// heap (or out of reach once the heap is empty). So every request reads the
// very bounds a search of its own without a goal would give it once grown as
// far, and those are the bounds whose margins `RemainingCost` states
// (`kBoundMargin`, `kUpperMargin`, graph/search_objective.hpp): the least backward sum H itself.
//
// Its arrays span the graph, but a new target costs only what the last one
// reached: the costs are read only where a bit says they were written.
class DestinationSearch {
 public:
  static constexpr double kUnreachable = __builtin_inf();

  DestinationSearch(const RoadGraph& graph, const EdgeRisk& risk, Objective objective);

  // Forgets the last target and starts from `target_dense`.
  void start(std::uint32_t target_dense);

  double lower_bound(std::uint32_t dense) const {
    if (settled(dense)) return cost_[dense];
    return heap_.empty() ? kUnreachable : heap_.front().key;
  }
  double found_cost(std::uint32_t dense) const {
    return reached(dense) ? cost_[dense] : kUnreachable;
  }
  bool settled(std::uint32_t dense) const { return bit(settled_, dense); }

  // Settles nodes until `dense` is settled or the radius exceeds `enough`.
  // `stop` counts the nodes settled as units of work, as in `RemainingCost`:
  // once it says stop, the search is left as it is, whole, for the next
  // request.
  void settle_until(std::uint32_t dense, double enough, StopCheck* stop) {
    while (!settled(dense) && !heap_.empty() && heap_.front().key <= enough) {
      if ((settled_count_ & (kSettledPerTick - 1)) == 0 && stop != nullptr && stop->tick(kSettledPerTick)) return;
      settle_first();
    }
  }

  std::uint64_t settled_count() const { return settled_count_; }
  const Objective& objective() const { return objective_; }
  const EdgeRisk& edge_risk() const { return risk_; }
  std::uint32_t target() const { return target_; }

 private:
  struct Entry {
    double key;
    std::uint32_t dense;
  };
  static constexpr std::uint64_t kSettledPerTick = 1024;

  static bool bit(const std::vector<std::uint64_t>& bits, std::uint32_t dense) {
    return (bits[dense / 64] >> (dense % 64) & 1u) != 0;
  }
  static void set_bit(std::vector<std::uint64_t>& bits, std::uint32_t dense) {
    bits[dense / 64] |= std::uint64_t{1} << (dense % 64);
  }
  bool reached(std::uint32_t dense) const { return bit(reached_, dense); }
  void settle_first();

  const RoadGraph& graph_;
  const EdgeRisk risk_;
  const Objective objective_;
  std::uint32_t target_ = UINT32_MAX;
  // Per dense node: the cost, valid only where `reached_` is set; once
  // settled, the least backward sum.
  std::unique_ptr<double[]> cost_;
  std::vector<std::uint64_t> reached_;
  std::vector<std::uint64_t> settled_;
  std::vector<std::uint32_t> touched_;  // the nodes reached, to forget them
  std::vector<Entry> heap_;
  std::uint64_t settled_count_ = 0;
};

// What the requests to one destination share: the backward searches by
// distance, by risk and by the search's own weighing of the two (the
// objectives that do not depend on the request). A worker keeps one and
// starts it again for each destination it serves; a request reads it
// through `SearchOptions::destination` when the targets match.
class DestinationBounds {
 public:
  // On the risks of `layer`, the document's when null, without the edges
  // in `avoided` (null: none), which must outlive it.
  explicit DestinationBounds(const RoadGraph& graph, const RiskLayer* layer = nullptr,
                             const AvoidedRows* avoided = nullptr);
  DestinationBounds(const DestinationBounds&) = delete;
  DestinationBounds& operator=(const DestinationBounds&) = delete;

  void start(std::uint32_t target_dense);
  std::uint32_t target() const { return distance.target(); }
  const RoadGraph& graph() const { return graph_; }
  const EdgeRisk& edge_risk() const { return risk_; }

  // Null when requests with this weighing search on their own.
  DestinationSearch* search_for(const Objective& objective);

  // The search by distance + k_j risk, k_j = 500 * 2^(j/2), started at the
  // target: made the first time a request asks for it.
  static constexpr int kMostSlope = 40;  // |j| at most this
  static double slope(int j);
  DestinationSearch& by_slope(int j);

 private:
  // Before the searches, which copy it.
  const EdgeRisk risk_;

 public:
  DestinationSearch distance;
  DestinationSearch risk;
  DestinationSearch by_priority;  // k_0 = 500, the search's own weighing

 private:
  const RoadGraph& graph_;
  std::vector<std::unique_ptr<DestinationSearch>> slopes_;  // by j + kMostSlope
};

// A lower bound of a d + b r still to go from a node, for weights a, b >= 0
// that no shared search sums (the balanced route's, which depend on the
// request), put together from the three shared searches (see the .cpp for
// why it holds). Looser than a search of its own by that weighing, but it
// costs the request no search at all.
class BlendedBound {
 public:
  // Precondition: both weights positive and finite.
  BlendedBound(DestinationBounds& shared, double distance_weight, double risk_weight, StopCheck* stop);

  // Settles the shared searches as far as they can still lift the bound at
  // `dense` above `enough`.
  void settle_until(std::uint32_t dense, double enough);
  double lower_bound(std::uint32_t dense) const;
  // Nodes settled since it was made by the searches of its two slopes but
  // the one a request reads on its own (`by_priority`), for the report.
  std::uint64_t slope_settles() const;

 private:
  // With k_j, j = `below_slope`, the slope just below its weighing.
  BlendedBound(DestinationBounds& shared, Objective weights, StopCheck* stop, int below_slope);
  std::uint64_t slope_count() const;

  DestinationBounds& shared_;
  const Objective weights_;
  // k_j <= b / a <= k_(j+1): a d + b r = a (d + k_j r) + (b - a k_j) r
  // = (b / k_(j+1)) (d + k_(j+1) r) + (a - b / k_(j+1)) d.
  DestinationSearch& below_;
  DestinationSearch& above_;
  double below_share_;       // a
  double below_risk_;        // b - a k_j
  double above_share_;       // b / k_(j+1)
  double above_distance_;    // a - b / k_(j+1)
  StopCheck* stop_;
  std::uint64_t slope_settles_before_;
};

}  // namespace norvel
