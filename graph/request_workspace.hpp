#pragma once

#include <cstdint>
#include <optional>

#include "graph/edge_risk.hpp"
#include "graph/known_routes.hpp"
#include "graph/remaining_cost.hpp"
#include "graph/road_graph.hpp"
#include "graph/search_places.hpp"
#include "graph/search_types.hpp"
#include "graph/stop_poll.hpp"

namespace norvel {

// What one request builds once and every strategy it tries shares: the
// places it touches with their heuristics, the backward searches and the
// bounds they have settled, the known routes, the stop check and the report.
// Each label search starts with empty fronts (`clear_fronts`); everything
// else only ever holds for the whole request.
class RequestWorkspace {
 public:
  // `target_dense` may be IdIndex::kAbsent: no label reaches it then.
  // `destination`, if given, started at the target and on the same risks,
  // stands for the backward searches it has; the others are the request's
  // own. The risks are `layer`'s, the document's when null; the edges in
  // `avoided` are never taken.
  RequestWorkspace(const RoadGraph& graph, std::uint32_t source_dense, std::uint32_t target_dense,
                   double target_lat, double target_lon, double eps, const StopPoll& poll, SearchReport& report,
                   DestinationBounds* destination = nullptr, const RiskLayer* layer = nullptr,
                   const AvoidedRows* avoided = nullptr);
  RequestWorkspace(const RequestWorkspace&) = delete;
  RequestWorkspace& operator=(const RequestWorkspace&) = delete;
  // Adds the nodes settled backwards and the nodes touched to the report.
  ~RequestWorkspace();

  // The great-circle distance from the place to the target, computed once.
  double heuristic_of(std::uint32_t place) {
    const Place& at = places[place];
    return at.has_heuristic ? at.heuristic_m : first_heuristic_of(place);
  }
  // Whether a solution held covers (distance, risk) widened by 1 + eps.
  bool covered_by_solution(double distance, double risk_sum) const {
    return target_place != Places::kNone &&
           places[target_place].front.covers(approx_factor * distance, approx_factor * risk_sum);
  }
  // The backward search of a weighted objective; asking for another weighing
  // than the last starts it over, unless the destination shares it.
  RemainingCost& weighted_to_go(const Objective& objective);
  // The searches shared with the other requests to the target; null when
  // the request has only its own.
  DestinationBounds* destination() const { return destination_; }
  // Forgets the labels recorded at every place.
  void clear_fronts();

  const RoadGraph& graph;
  // How every search of the request reads an edge's risk.
  const EdgeRisk risk;
  const std::uint32_t target_dense;
  SearchReport& report;
  StopCheck stop;
  const double approx_factor;  // 1 + eps
  Places places;
  // The target's place: its front holds the costs of the solutions. None
  // when the graph does not know the target.
  const std::uint32_t target_place;
  const std::uint32_t source_place;
  // Precondition of use: the graph's costs are bounded below.
  RemainingCost distance_to_go;
  RemainingCost risk_to_go;
  KnownRoutes known;

 private:
  double first_heuristic_of(std::uint32_t place);

  const double target_lat_;
  const double target_lon_;
  const double cos_target_;
  DestinationBounds* const destination_;  // null, or started at the target
  std::optional<RemainingCost> shared_weighted_;
  std::optional<RemainingCost> weighted_;
  std::uint64_t settled_by_earlier_weighings_ = 0;
};

}  // namespace norvel
