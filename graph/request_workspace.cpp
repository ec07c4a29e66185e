#include "graph/request_workspace.hpp"

#include "graph/heuristic.hpp"
#include "graph/id_index.hpp"

namespace norvel {

namespace {

DestinationBounds* started_at(DestinationBounds* destination, std::uint32_t target_dense, const EdgeRisk& risk) {
  if (destination == nullptr || target_dense == IdIndex::kAbsent || destination->target() != target_dense ||
      destination->edge_risk().layer_risks() != risk.layer_risks() ||
      destination->edge_risk().avoided() != risk.avoided()) {
    return nullptr;
  }
  return destination;
}

// The backward search of the objective: the destination's where it has one
// (with its bounds, exact, rather than those of a search heading for the
// source), else the request's own.
RemainingCost to_go(const RoadGraph& graph, const EdgeRisk& risk, Places& places, Objective objective,
                    std::uint32_t target_place, StopCheck* stop, std::uint32_t source_dense,
                    DestinationBounds* destination) {
  DestinationSearch* shared = destination != nullptr ? destination->search_for(objective) : nullptr;
  if (shared != nullptr) return RemainingCost(graph, places, *shared, stop);
  return RemainingCost(graph, risk, places, objective, target_place, stop, source_dense);
}

}  // namespace

RequestWorkspace::RequestWorkspace(const RoadGraph& graph_, std::uint32_t source_dense, std::uint32_t target_dense_,
                                   double target_lat, double target_lon, double eps, const StopPoll& poll,
                                   SearchReport& report_, DestinationBounds* destination, const RiskLayer* layer,
                                   const AvoidedRows* avoided)
    : graph(graph_),
      risk(graph_, layer, avoided),
      target_dense(target_dense_),
      report(report_),
      stop(poll),
      approx_factor(1.0 + eps),
      target_place(target_dense_ == IdIndex::kAbsent ? Places::kNone : places.place_of(target_dense_)),
      source_place(places.place_of(source_dense)),
      distance_to_go(to_go(graph_, risk, places, kDistance, target_place, &stop, source_dense,
                           started_at(destination, target_dense_, risk))),
      risk_to_go(to_go(graph_, risk, places, kRisk, target_place, &stop, source_dense,
                       started_at(destination, target_dense_, risk))),
      target_lat_(target_lat),
      target_lon_(target_lon),
      cos_target_(cos_latitude(target_lat)),
      destination_(started_at(destination, target_dense_, risk)) {}

RequestWorkspace::~RequestWorkspace() {
  report.settled_backwards += distance_to_go.settled_count() + risk_to_go.settled_count() +
                              settled_by_earlier_weighings_ + (weighted_ ? weighted_->settled_count() : 0) +
                              (shared_weighted_ ? shared_weighted_->settled_count() : 0);
  report.touched_nodes += places.size();
}

double RequestWorkspace::first_heuristic_of(std::uint32_t place) {
  Place& at = places[place];
  at.heuristic_m = haversine_with_cos_m(graph.lat[at.dense], graph.lon[at.dense], graph.cos_lat[at.dense],
                                        target_lat_, target_lon_, cos_target_);
  at.has_heuristic = true;
  return at.heuristic_m;
}

RemainingCost& RequestWorkspace::weighted_to_go(const Objective& objective) {
  if (DestinationSearch* shared = destination_ != nullptr ? destination_->search_for(objective) : nullptr) {
    if (shared_weighted_ && shared_weighted_->objective() == objective) return *shared_weighted_;
    if (shared_weighted_) settled_by_earlier_weighings_ += shared_weighted_->settled_count();
    return shared_weighted_.emplace(graph, places, *shared, &stop);
  }
  if (weighted_ && weighted_->objective() == objective) return *weighted_;
  if (weighted_) settled_by_earlier_weighings_ += weighted_->settled_count();
  return weighted_.emplace(graph, risk, places, objective, target_place, &stop, places[source_place].dense);
}

void RequestWorkspace::clear_fronts() { places.clear_fronts(); }

}  // namespace norvel
