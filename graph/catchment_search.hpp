#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "graph/node_id.hpp"
#include "graph/edge_risk.hpp"
#include "graph/road_graph.hpp"
#include "graph/stop_poll.hpp"

namespace norvel {

// Which walks a catchment holds: every node's walk to the place, or the
// place's walk to every node.
enum class WalkDirection : std::uint8_t { to_place, from_place };

// The distance and risk totals of one route.
struct RouteTotals {
  double distance_m;
  double risk;
};

// One node of a catchment with the totals of the three routes that
// `compute_safe_routes` chooses between it and the place (from the node to
// the place, or from the place to the node), bit for bit. Where the request
// emits fewer than three routes, the route it chose as safest or balanced
// repeats an earlier one, and so do its totals here.
//
// With several places, a node's front is that of every walk between it and
// any of them, and its three routes are chosen from it by the same rules;
// where two places give the same totals, the lower place index wins.
// `place` holds the index of each route's place, in the same order.
struct CatchmentNode {
  std::uint32_t dense;
  RouteTotals shortest;
  RouteTotals safest;
  RouteTotals balanced;
  std::uint32_t place[3] = {0, 0, 0};
};

// The least risky walk of a node's front within a budget (then the
// shortest such, then the lower place index): a cutoff's minutes, or a
// detour over the node's shortest walk; NaN totals and no place where no
// walk is.
struct WithinCutoff {
  RouteTotals totals;
  std::uint32_t place;
};

// Which walks a node's front is made of: every walk (its routes are a
// request's), or only the walks of at most the catchment's minutes. The
// second bounds the search itself (no label is carried beyond the minutes,
// which is all a region's access asks and far less work in a large graph);
// its nodes carry the shortest route and `within` alone (a front cut at the
// minutes has no request's safest or balanced route: NaN totals there).
enum class CatchmentWalks : std::uint8_t { every, within_minutes };

// What a catchment search did, for benchmarks and tests.
struct CatchmentReport {
  std::uint64_t candidates = 0;        // nodes whose shortest walk may be within the limit
  std::uint64_t settled = 0;           // nodes settled by the single-cost searches
  std::uint64_t labels_pushed = 0;     // labels put on the open list
  std::uint64_t labels_kept = 0;       // labels kept at their node (paths recorded)
  std::uint64_t nodes_labelled = 0;    // nodes that kept a label
  std::uint64_t paths_resummed = 0;    // paths summed again in travel order
  std::uint64_t answered_by_request = 0;  // nodes the route request answered (an exact tie)
  bool distance_exact = false;         // every sum of distances is exact
  bool risk_exact = false;             // every sum of risks is exact
  double distance_margin = 0.0;        // of the relaxed dominance; 0 where sums are exact
  double risk_margin = 0.0;
};

struct Catchment {
  std::vector<CatchmentNode> nodes;  // by shortest distance, then by id
  // Node after node, a walk for each cutoff asked for, in their order.
  std::vector<WithinCutoff> within;
  // Node after node, with a detour budget, its walk within the budget:
  // distance_m <= (1 + max_detour) * the node's shortest distance_m,
  // evaluated as written. Empty without one.
  std::vector<WithinCutoff> within_detour;
  CatchmentReport report;
};

enum class CatchmentFailure : std::uint8_t {
  place_not_found,    // the place is not in the node list
  no_places,          // an empty list of places
  place_isolated,     // walks from the place: it has no outgoing edge
  costs_unsupported,  // a negative, infinite or NaN distance or risk
  interrupted,        // the stop hook asked the search to stop
};

// Every listed node whose shortest route to the place (or from it) takes at
// most `minutes` at the routes' walking speed (distance_m / 66.67 <=
// minutes, as the route's time_min), with the totals of its three routes;
// nodes the request would refuse (unlisted ones; with walks to the place,
// the place itself when no edge leaves it) are left out. `minutes` may be
// infinite; it must not be NaN or negative. Found by one bi-objective label
// search from the place over the whole catchment, not one request per node
// (catchment_search.cpp has the argument).
// On the risks of `layer`, the document's own when null.
std::expected<Catchment, CatchmentFailure> catchment_search(const RoadGraph& graph, NodeId place, double minutes,
                                                            WalkDirection direction, const StopPoll& stop = {},
                                                            const RiskLayer* layer = nullptr);

// The same for several places at once (one search from all of them), with
// `within` for each of `cutoffs` (minutes, not NaN; any may be infinite).
// A failure names the first place it concerns through `failed_place`.
// With `only` (node ids; repeats and ids of no listed node allowed), the
// catchment holds those of its nodes alone, each answered as it would be
// in the whole catchment, and the search labels no more than their fronts
// need: its caps and its pruning by what the candidates still need are
// those of these candidates (the argument in catchment_search.cpp holds
// for any set of them).
// With `max_detour` (>= 0, may be infinite), `within_detour` too, read in
// the same pass over the kept labels as `within`. With `walks`
// within_minutes, see `CatchmentWalks`: `within` for a cutoff of at most
// `minutes` is that of the whole front; a cutoff past the minutes, and the
// detour's budget, end at them (no walk beyond the minutes is read).
std::expected<Catchment, CatchmentFailure> catchment_search(const RoadGraph& graph, std::span<const NodeId> places,
                                                            double minutes, WalkDirection direction,
                                                            std::span<const double> cutoffs,
                                                            std::uint32_t* failed_place = nullptr,
                                                            const StopPoll& stop = {},
                                                            const RiskLayer* layer = nullptr,
                                                            std::optional<std::span<const NodeId>> only = std::nullopt,
                                                            const AvoidedRows* avoided = nullptr,
                                                            std::optional<double> max_detour = std::nullopt,
                                                            CatchmentWalks walks = CatchmentWalks::every);

}  // namespace norvel
