"""The values a request gives: ``Snap`` (where an end of it lies),
``Route`` (one route with its totals) and ``Routes`` (a request's one to
three routes). They hold plain values and import nothing of the router, so
that the router, ``norvel.geo`` and catchments can all use them.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field, replace
from functools import cached_property
from typing import TYPE_CHECKING, Any, overload

from norvel import _geojson
from norvel._values import DEFAULT_RISK
from norvel import steps as _steps
from norvel.steps import EdgeFacts, Step
from norvel.table import LonLat

if TYPE_CHECKING:
    import geopandas

    from norvel._engine import RouteRow

__all__ = ["Leg", "Route", "Routes", "Snap"]


@dataclass(frozen=True)
class Snap:
    """Where a request starts or ends: ``node``, the node id, and
    ``distance_m``, the great-circle metres from the asked point to it (0.0
    when a node id was asked)."""

    node: int
    distance_m: float


@dataclass(frozen=True)
class Leg:
    """One leg of a route: from its origin or a stop (``via``) to the next
    stop or its destination. ``first_node``, ``last_node``: indices into
    ``Route.nodes`` (equal for an empty leg, from a stop to the same
    node); ``distance_m``, ``risk``: summed over its edges in travel order
    from 0; ``time_min``: minutes at 66.67 m a minute."""

    first_node: int
    last_node: int
    distance_m: float
    risk: float
    time_min: float


@dataclass(frozen=True, repr=False)
class Route:
    """One route, with the module's values unchanged.

    ``type``: "shortest", "safest" or "balanced" (or "front" for a point
    of ``Router.front`` that ``Router.route`` does not choose); ``nodes``: the node ids
    from origin to destination; ``coordinates``: their (lon, lat);
    ``distance_m``: metres; ``risk``: the summed risk scores of its edges;
    ``time_min``: minutes at 66.67 m a minute (4 km/h); ``comfort``:
    e^(-2 risk), 1.0 for a risk-free route; ``familiarity``: the summed
    familiarity of its edges (0.0 without any); ``streets``: the street
    names of the edges it took, a name once for each stretch that follows
    it ([] when the graph has none); ``edges``: the document indices of
    the edges it took, in travel order (one fewer than its nodes; [] for a
    route made from a ``norvel_core.PyRouteResult``, which knows only its
    nodes); ``legs``: a ``Leg`` per leg (one for a route without stops).

    Every number is bit for bit what ``norvel_core.compute_safe_routes``
    gives for the same graph and request.
    """

    type: str
    nodes: list[int]
    coordinates: list[LonLat]
    distance_m: float
    risk: float
    time_min: float
    comfort: float
    familiarity: float
    streets: list[str]
    edges: list[int] = field(default_factory=list)
    # What steps read of each edge, shared by the router's routes.
    _facts: EdgeFacts | None = field(default=None, compare=False)
    # The legs of a walk through stops; None for one leg, the whole route.
    _legs: tuple[Leg, ...] | None = None

    @property
    def legs(self) -> tuple[Leg, ...]:
        """The route's legs, in order: one per stop, and one more."""
        if self._legs is not None:
            return self._legs
        return (Leg(0, len(self.nodes) - 1, self.distance_m, self.risk,
                    self.time_min),)

    @cached_property
    def steps(self) -> list[Step]:
        """The route's directions, a ``Step`` per stretch from a depart to
        an arrive step (``norvel.steps`` says where a step starts).
        ValueError for a route that does not know its edges (one made from
        a ``norvel_core.PyRouteResult``)."""
        if self._facts is None or len(self.edges) != len(self.nodes) - 1:
            raise ValueError("this route does not know the edges it took: "
                             "steps need a route of a norvel.Router")
        stops = () if self._legs is None else [
            leg.last_node for leg in self._legs[:-1]]
        return _steps.route_steps(self.coordinates, self.edges, self._facts,
                                  stops)

    def risky_steps(self, threshold: float) -> list[Step]:
        """The steps whose risk per kilometre (``Step.risk_per_km``) is
        above ``threshold``, in order, for an app to warn ahead of."""
        return _steps.risky(self.steps, threshold)

    def polyline(self, precision: int = 6) -> str:
        """The route's line in the encoded polyline algorithm format,
        (lat, lon) order, ``precision`` decimals (6 as OSRM and Valhalla
        write it, 5 as Google does)."""
        return _steps.encode_polyline(self.coordinates, precision)

    def to_gpx(self) -> str:
        """The route as a GPX 1.1 document (``Routes.to_gpx``)."""
        return _steps.gpx_document([self])

    def __getstate__(self) -> dict[str, Any]:
        # A pickled route carries its own steps rather than the facts of
        # every edge of its graph.
        state = dict(self.__dict__)
        if self._facts is not None and "steps" not in state:
            try:
                state["steps"] = self.steps
            except ValueError:
                pass
        state["_facts"] = None
        return state

    def __repr__(self) -> str:
        return (f"Route({self.type}, {self.distance_m:.0f} m, risk "
                f"{self.risk:.3f}, {self.time_min:.1f} min, "
                f"{len(self.nodes)} nodes)")

    def to_feature(self, *, steps: bool = False) -> dict[str, Any]:
        """A GeoJSON Feature: the route's LineString (in [lon, lat] order; a
        one-node route repeats its point) with the properties ``type``,
        ``distance_m``, ``risk``, ``time_min``, ``comfort``,
        ``familiarity``, ``nodes`` and ``streets``
        (``norvel.geo.route_feature``); with ``steps``, also ``steps``, a
        list of ``Step.to_dict()``."""
        feature = _geojson.feature(self)
        if steps:
            feature["properties"]["steps"] = self.step_dicts()
        return feature

    def step_dicts(self) -> list[dict[str, Any]]:
        """The route's steps as JSON values (``Step.to_dict``)."""
        return [step.to_dict() for step in self.steps]

    def with_facts(self, facts: EdgeFacts) -> Route:
        """The same route, its steps read from ``facts``."""
        return replace(self, _facts=facts)


def route_of_row(row: RouteRow, facts: EdgeFacts) -> Route:
    """The ``Route`` of one of the engine's route rows (``RouteRow``), with
    the edge facts of its layer: equal, field by field, to
    ``Route(row.type, row.nodes, ..., row.edges, facts)``.

    A frozen dataclass's ``__init__`` sets each of the twelve fields
    through ``object.__setattr__``, three times what giving the instance
    its dict costs, and a request makes up to three routes, ``route_many``
    thousands: the dict is given, as that ``__init__`` would leave it (the
    class has no ``__post_init__``)."""
    route = _new_route(Route)
    _set_attribute(route, "__dict__", {
        "type": row.type, "nodes": row.nodes, "coordinates": row.coordinates,
        "distance_m": row.distance_m, "risk": row.risk,
        "time_min": row.time_min, "comfort": row.comfort,
        "familiarity": row.familiarity, "streets": row.streets,
        "edges": row.edges, "_facts": facts, "_legs": None})
    return route


_new_route = object.__new__
_set_attribute = object.__setattr__


class Routes(Sequence[Route]):
    """The one to three routes of a request, in the module's order: the
    shortest first, then the safest and the balanced one where they differ
    from the routes before them; then those the request asked for besides
    (its "alternative" routes, then its "within_detour" route).
    ``origin`` and ``destination`` are the snaps of the request's ends;
    ``risk`` the risk layer it searched on (the one ``at=`` chose)."""

    def __init__(self, routes: Sequence[Route], origin: Snap,
                 destination: Snap, risk: str = DEFAULT_RISK) -> None:
        self._routes = tuple(routes)
        self.origin = origin
        self.destination = destination
        self.risk = risk

    @overload
    def __getitem__(self, index: int) -> Route: ...
    @overload
    def __getitem__(self, index: slice) -> Sequence[Route]: ...
    def __getitem__(self, index: int | slice) -> Route | Sequence[Route]:
        return self._routes[index]

    def __len__(self) -> int:
        return len(self._routes)

    def __iter__(self) -> Iterator[Route]:
        return iter(self._routes)

    def __repr__(self) -> str:
        return (f"Routes({self.origin.node} -> {self.destination.node}: "
                f"{', '.join(map(repr, self._routes))})")

    def _of_type(self, kind: str) -> Route | None:
        return next((r for r in self._routes if r.type == kind), None)

    @property
    def shortest(self) -> Route | None:
        """The shortest route (always present in a successful request)."""
        return self._of_type("shortest")

    @property
    def safest(self) -> Route | None:
        """The safest route, or None when it is the shortest one."""
        return self._of_type("safest")

    @property
    def balanced(self) -> Route | None:
        """The balanced route, or None when it is one of the others."""
        return self._of_type("balanced")

    @property
    def alternatives(self) -> list[Route]:
        """The alternative routes asked for (``alternatives=``), in order."""
        return [r for r in self._routes if r.type == "alternative"]

    @property
    def within_detour(self) -> Route | None:
        """The least risky route within the detour asked for
        (``max_detour=``), or None when none was asked for."""
        return self._of_type("within_detour")

    def to_geojson(self, *, steps: bool = False) -> dict[str, Any]:
        """A GeoJSON FeatureCollection dict: one LineString Feature per route,
        in order (see ``Route.to_feature``, also for ``steps``;
        ``norvel.geo.write_geojson`` writes it to a file)."""
        collection = _geojson.collection(self._routes)
        if steps:
            for route, feature in zip(self._routes, collection["features"]):
                feature["properties"]["steps"] = route.step_dicts()
        return collection

    def to_gpx(self) -> str:
        """The routes as one GPX 1.1 document: per route a ``<rte>`` named
        by its type whose points are its steps (each named by its
        instruction), then per route a ``<trk>`` of its nodes, named by its
        type."""
        return _steps.gpx_document(self._routes)

    def to_geodataframe(self) -> geopandas.GeoDataFrame:
        """A GeoDataFrame in EPSG:4326, one row per route, with the columns
        of the GeoJSON properties and the LineString as ``geometry``
        (geopandas: ``pip install 'norvel_core[geopandas]'``)."""
        from norvel._extras import require

        require("Routes.to_geodataframe", "geopandas", "geopandas")
        import geopandas

        return geopandas.GeoDataFrame.from_features(
            self.to_geojson()["features"], crs="EPSG:4326",
            columns=["type", "distance_m", "risk", "time_min", "comfort",
                     "familiarity", "nodes", "streets", "geometry"])
