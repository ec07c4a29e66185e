from typing import Never, final

__all__ = ["PyGraph", "PyRouteResult", "compute_safe_routes"]

@final
class PyGraph:
    """Wrapper Python-visible du graphe routier"""

    # Instances come only from from_json: calling the class raises
    # TypeError whatever the arguments, so no call type-checks.
    def __new__(cls, _no_constructor: Never, /) -> PyGraph: ...
    @staticmethod
    def from_json(json_str: str) -> PyGraph:
        """Construit un PyGraph depuis une chaîne JSON
        Appelé depuis Python : `PyGraph.from_json(json_str)`"""
    def node_count(self) -> int:
        """Nombre de nœuds (utile pour les tests Python)"""
    def edge_count(self) -> int:
        """Nombre d'arcs"""

@final
class PyRouteResult:
    """Résultat retourné à Python : un itinéraire avec ses métriques complètes"""

    # Instances come only from compute_safe_routes.
    def __new__(cls, _no_constructor: Never, /) -> PyRouteResult: ...
    @property
    def path(self) -> list[int]: ...
    @property
    def total_distance_m(self) -> float: ...
    @property
    def total_risk(self) -> float: ...
    @property
    def total_familiarity(self) -> float: ...
    @property
    def route_type(self) -> str: ...
    @property
    def estimated_time_min(self) -> float: ...
    @property
    def node_count(self) -> int: ...
    @property
    def comfort_score(self) -> float: ...

def compute_safe_routes(
    graph: PyGraph, source: int, target: int, eps: float
) -> list[PyRouteResult]:
    """Calcule les 3 itinéraires Pareto-optimaux entre source et destination.

    # Arguments
    * `graph`  — graphe routier chargé (objet `PyGraph`)
    * `source` — NodeId OSM de départ
    * `target` — NodeId OSM d'arrivée
    * `eps`    — approximation A*pex : 0.0 = exact, 0.1 = 10% approx (recommandé)"""
