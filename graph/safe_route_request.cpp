#include "graph/safe_route_request.hpp"

#include <string>
#include <utility>

#include "graph/pareto_search.hpp"
#include "graph/route_selection.hpp"

namespace norvel {

namespace {

RouteError route_error(RouteErrorKind kind, std::string message) { return RouteError{kind, std::move(message)}; }

// The checked request's solution front, never empty.
std::expected<ParetoFront, RouteError> searched_front(const RoadGraph& graph, NodeId source, NodeId target,
                                                      double eps, PathsNeeded needed, const SearchOptions& options) {
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
  if (outgoing_edges(graph, source).empty()) {
    return std::unexpected(route_error(
        RouteErrorKind::source_isolated,
        "Nœud source " + std::to_string(source) + " isolé (aucun arc sortant) — graphe déconnecté ?"));
  }
  std::optional<ParetoFront> searched = pareto_search(graph, source, target, graph.lat[target_dense],
                                                      graph.lon[target_dense], eps, needed, options);
  if (!searched) return std::unexpected(route_error(RouteErrorKind::interrupted, "Recherche interrompue"));
  if (searched->empty()) {
    return std::unexpected(route_error(RouteErrorKind::no_route,
                                       "Aucun chemin trouvé entre " + std::to_string(source) + " et " +
                                           std::to_string(target) +
                                           ". Les nœuds sont peut-être dans des composantes déconnectées."));
  }
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
  const std::expected<ParetoFront, RouteError> front =
      searched_front(graph, source, target, 0.0, PathsNeeded::all, options);
  if (!front) return std::unexpected(front.error());
  return front_routes(*front);
}

}  // namespace norvel
