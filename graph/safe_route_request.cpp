#include "graph/safe_route_request.hpp"

#include <string>
#include <utility>

#include "graph/edge_risk.hpp"
#include "graph/front_search.hpp"
#include "graph/pareto_search.hpp"
#include "graph/route_selection.hpp"

namespace norvel {

namespace {

RouteError route_error(RouteErrorKind kind, std::string message) { return RouteError{kind, std::move(message)}; }

struct CheckedEnds {
  std::uint32_t source_dense;
  std::uint32_t target_dense;
};

// Both ends listed, the source with an edge out.
std::expected<CheckedEnds, RouteError> checked_ends(const RoadGraph& graph, NodeId source, NodeId target,
                                                    const AvoidedRows* avoided) {
  // Membership and coordinates by id were tabulated when the graph was built
  // (last record of a repeated id wins), so a request costs nothing per node.
  const std::uint32_t source_dense = listed_node(graph, source);
  if (source_dense == IdIndex::kAbsent) {
    return std::unexpected(route_error(RouteErrorKind::source_not_found,
                                       "Nœud source " + std::to_string(source) + " introuvable dans le graphe"));
  }
  const std::uint32_t target_dense = listed_node(graph, target);
  if (target_dense == IdIndex::kAbsent) {
    return std::unexpected(route_error(RouteErrorKind::target_not_found,
                                       "Nœud cible " + std::to_string(target) + " introuvable dans le graphe"));
  }
  if (!has_edge_out(graph, avoided, source_dense)) {
    return std::unexpected(route_error(
        RouteErrorKind::source_isolated,
        "Nœud source " + std::to_string(source) + " isolé (aucun arc sortant) — graphe déconnecté ?"));
  }
  return CheckedEnds{source_dense, target_dense};
}

RouteError interrupted() { return route_error(RouteErrorKind::interrupted, "Recherche interrompue"); }

RouteError no_route(NodeId source, NodeId target) {
  return route_error(RouteErrorKind::no_route, "Aucun chemin trouvé entre " + std::to_string(source) + " et " +
                                                   std::to_string(target) +
                                                   ". Les nœuds sont peut-être dans des composantes déconnectées.");
}

// The checked request's solution front, never empty.
std::expected<ParetoFront, RouteError> searched_front(const RoadGraph& graph, NodeId source, NodeId target,
                                                      double eps, PathsNeeded needed, const SearchOptions& options) {
  const std::expected<CheckedEnds, RouteError> ends = checked_ends(graph, source, target, options.avoided);
  if (!ends) return std::unexpected(ends.error());
  const std::uint32_t target_dense = ends->target_dense;
  std::optional<ParetoFront> searched = pareto_search(graph, source, target, graph.lat[target_dense],
                                                      graph.lon[target_dense], eps, needed, options);
  if (!searched) return std::unexpected(interrupted());
  if (searched->empty()) return std::unexpected(no_route(source, target));
  return std::move(*searched);
}

}  // namespace

std::expected<std::vector<RouteRecord>, RouteError> compute_safe_routes(const RoadGraph& graph, NodeId source,
                                                                        NodeId target, double eps,
                                                                        const SearchOptions& options) {
  const std::expected<ParetoFront, RouteError> front =
      searched_front(graph, source, target, eps, PathsNeeded::chosen_routes, options);
  if (!front) return std::unexpected(front.error());
  return select_routes(*front);
}

std::expected<std::vector<RouteRecord>, RouteError> compute_front_routes(const RoadGraph& graph, NodeId source,
                                                                         NodeId target, const SearchOptions& options) {
  const std::expected<CheckedEnds, RouteError> ends = checked_ends(graph, source, target, options.avoided);
  if (!ends) return std::unexpected(ends.error());
  if (source == target || !EdgeRisk(graph, options.risk_layer, options.avoided).facts().costs_bounded_below) {
    // The start label alone; or costs without the bounds the front search
    // prunes by, searched literally, every path the literal search's.
    const std::expected<ParetoFront, RouteError> front =
        searched_front(graph, source, target, 0.0, PathsNeeded::all, options);
    if (!front) return std::unexpected(front.error());
    return front_routes(*front);
  }
  SearchReport unread;
  StopCheck stop(options.stop);
  const std::optional<ParetoFront> points =
      front_search(graph, ends->source_dense, ends->target_dense, options.risk_layer, options.avoided, stop,
                   options.report != nullptr ? *options.report : unread);
  if (!points) return std::unexpected(interrupted());
  if (points->empty()) return std::unexpected(no_route(source, target));
  // The route search on its own: its backward searches head for the
  // source, and settle less than it would read from the front's discs (its
  // third, by the search's own weighing, especially).
  const std::expected<ParetoFront, RouteError> chosen =
      searched_front(graph, source, target, 0.0, PathsNeeded::chosen_routes, options);
  if (!chosen) return std::unexpected(chosen.error());
  return front_routes(*points, *chosen);
}

}  // namespace norvel
