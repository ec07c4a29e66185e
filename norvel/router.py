"""Routes between places: a graph with its coordinates, loaded once::

    router = norvel.Router.from_file("graph.json.gz")
    routes = router.route((60.1718, 24.9414), (60.1759, 24.9470))
    for route in routes:            # the shortest first, then safest, balanced
        print(route.type, route.distance_m, route.risk, route.streets)
    routes.to_geodataframe().explore()      # extra norvel_core[geopandas]

A request gives one to three routes: the shortest always, then the safest and
the balanced one where they differ from the routes before them.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import numpy.typing as npt
from norvel_core import PyGraph

from norvel import _requests, _route_table, _values
from norvel._native import engine
from norvel._session import PAIR_ROLES, Session
from norvel._values import (DEFAULT_CATCHMENT_MINUTES, DEFAULT_EPS,
                            DEFAULT_MAX_SHARED, DEFAULT_MAX_SNAP_M,
                            Place)
from norvel.catchment import Catchment, catchment_of
from norvel.errors import RoutingError
from norvel.routes import Route, Routes, Snap
from norvel.table import IdArray, NodeTable

if TYPE_CHECKING:
    import networkx
    import pandas

    from norvel._networkx import EdgeValue

__all__ = ["DEFAULT_EPS", "DEFAULT_MAX_SNAP_M", "Place", "Route", "Router",
           "Routes", "Snap"]


class Router:
    """A road graph loaded by norvel's engine, for routes between node ids
    or (lat, lon) points; ``table`` reads its coordinates. Build one with
    ``from_file``, ``from_json`` or ``from_networkx``. It never changes but
    for risk layers added, and serves any number of threads at once."""

    def __init__(self, graph: engine.Graph | Session) -> None:
        """``graph``: the engine's graph (``norvel._engine.Graph``), or an
        engine session over one (``norvel._session``)."""
        self._session = graph if isinstance(graph, Session) else Session(graph)

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> Router:
        """The router of a graph file, told apart by content: a document
        (``.json`` or ``.json.gz``) read once, or a snapshot (``save``,
        ``norvel pack``) mapped rather than copied, every byte checked.
        ValueError naming the file when it is neither (an old snapshot's
        with the command that makes it again); OSError when unreadable."""
        return cls(Session.from_file(path))

    @classmethod
    def from_json(cls, text: str) -> Router:
        """The router of a graph document's JSON text; ValueError with the
        document's message when it is no graph document."""
        if not isinstance(text, str):
            raise TypeError(f"text must be a str, got {type(text).__name__}")
        return cls(Session.from_json(text))

    @classmethod
    def from_networkx(cls, graph: networkx.Graph[Any], *,
                      length: EdgeValue = "length", risk: EdgeValue = "risk",
                      familiarity: EdgeValue | None = None) -> Router:
        """The router of a networkx (multi)graph, directed or not, whose
        node ids are ints in [0, 2**64) with ``y`` (lat) and ``x`` (lon), as
        OSMnx writes them (``pip install 'norvel_core[networkx]'``).
        ``length`` (metres), ``risk``, ``familiarity``: an edge attribute's
        name or a callable ``(u, v, data) -> float`` (a missing familiarity
        is none). An undirected edge gives both directions; an edge's
        ``name`` is its street name."""
        from norvel._networkx import document_of

        return cls.from_json(document_of(graph, length, risk, familiarity))

    @property
    def session(self) -> Session:
        """The engine session under this router, through which the
        package's interfaces (batch, access, service) reach the graph."""
        return self._session

    def save(self, path: str | os.PathLike[str], *,
             source_sha256: bytes | None = None) -> None:
        """Writes the graph as a snapshot that ``Router.from_file`` maps
        (arrays, street names, risk layers, nearest-node index), renamed
        into place whole. ``source_sha256``: the SHA-256 of its document,
        for the header (by default a snapshot router's own, else zeros).
        OSError when it cannot be written."""
        self._session.save(path, source_sha256)

    def to_document(self, path: str | os.PathLike[str]) -> None:
        """Writes the graph as a graph document (every node and edge,
        street names, risk layers, walking tags), gzipped where ``path``
        ends in ``.gz``: loaded back, its routes equal this router's."""
        self._session.write_document(path)

    @property
    def graph(self) -> PyGraph:
        """The same graph as a ``norvel_core.PyGraph``, built when first
        asked (a second copy of the graph)."""
        return self._session.core_graph()

    @property
    def table(self) -> NodeTable:
        """Node id -> (lat, lon), and what else is known of nodes and edges."""
        return self._session.table

    @property
    def node_count(self) -> int:
        """Node records of the graph (a repeated id counts each time)."""
        return int(self._session.engine.node_count)

    @property
    def edge_count(self) -> int:
        """Edge records of the graph."""
        return self._session.edge_count

    def __repr__(self) -> str:
        return f"<Router: {self.node_count} nodes, {self.edge_count} edges>"

    @property
    def risk_layers(self) -> list[str]:
        """The risk layers a request may name (``risk=``): "default", the
        document's ``risk_score``, then the others in the order they came."""
        return self._session.layer_names()

    def add_risk(self, name: str, values: npt.ArrayLike, *,
                 hours: tuple[float, float] | None = None) -> None:
        """Adds the risk layer ``name`` (ASCII letters, digits and _, not
        first a digit): ``values``, a finite risk >= 0 per edge in document
        order (``edges()``), 8 bytes an edge; ``hours`` as ``set_hours``.
        Requests then search on it with ``risk=name``; one already running
        keeps its layers, and other threads go on meanwhile. ValueError
        saying what is wrong (the name; the hours; the count; the first NaN,
        infinite or negative value), and nothing is added; TypeError for
        values or hours that are not numbers."""
        self._session.layers.add(name, values, hours)

    def set_hours(self, name: str, start: float, end: float) -> None:
        """Gives the layer ``name`` the hours of the day it holds for, in
        [0, 24) (20.5 is 20:30): from ``start`` included to ``end``
        excluded, past midnight where ``end`` is the lesser, all day where
        equal; ``at=`` searches on it then (docs/routes.md). ValueError for
        "default", an hour out of range or an unknown layer."""
        self._session.layers.set_hours(name, start, end)

    def edges(self) -> pandas.DataFrame:
        """The edges in document order as a pandas DataFrame (``pip
        install 'norvel_core[batch]'``), to compute a risk layer from:
        ``from``, ``to``, ``distance_m``, ``name`` (or None), a column per
        risk layer and, where the document has them, the walking tags
        (``highway``, ``lit``, ``sidewalk``, ``crossing``, ``maxspeed``),
        read once from the router's document."""
        return self._session.edges()

    def build_index(self) -> None:
        """Builds the nearest-node index now, rather than at the first
        request that needs it (a service does this before it takes
        requests)."""
        self._session.nearest_index()

    def nearest(self, lat: float, lon: float) -> Snap:
        """The node with an outgoing edge nearest to (``lat``, ``lon``) in
        degrees, by great-circle distance. ValueError for a latitude outside
        [-90, 90] or a longitude outside [-180, 180]; SnapError when no node
        has an outgoing edge."""
        ids, metres = self._session.nearest_points(
            np.array([_values.latitude(lat)]), np.array([_values.longitude(lon)]))
        return Snap(int(ids[0]), float(metres[0]))

    def nearest_many(self, lats: npt.ArrayLike, lons: npt.ArrayLike
                     ) -> tuple[IdArray, npt.NDArray[np.float64]]:
        """``nearest`` of arrays of latitudes and longitudes of one shape:
        ``(ids, distances_m)``, uint64 and float64 arrays of that shape.
        ValueError for a coordinate out of range (or NaN) or shapes that
        differ; SnapError when no node has an outgoing edge."""
        return self._session.nearest_points(*_values.points(lats, lons))

    def snap(self, place: object, role: str = "origin",
             max_snap_m: float = DEFAULT_MAX_SNAP_M) -> Snap:
        """Where a request given ``place`` starts or ends: a node id itself
        at 0 m, a point's nearest node with an outgoing edge.
        NodeNotFoundError for an id outside [0, 2**64); SnapError beyond
        ``max_snap_m``; ValueError and TypeError as ``route``."""
        (snap,) = self._session.snapped((place,), (role,), max_snap_m)
        return snap

    def route(self, origin: Place, destination: Place,
              eps: float = DEFAULT_EPS, *,
              max_snap_m: float = DEFAULT_MAX_SNAP_M,
              timeout_s: float | None = None,
              risk: str | None = None, at: object = None,
              avoid: object = None, via: Sequence[Place] = (),
              alternatives: int = 0, max_shared: float = DEFAULT_MAX_SHARED,
              max_detour: float | None = None) -> Routes:
        """The routes from ``origin`` to ``destination``, each a node id
        (int) or a (lat, lon) tuple in degrees; a point starts or ends at
        the nearest node with an outgoing edge, at most ``max_snap_m``
        metres away. ``eps``: 0.0 (the default) for the exact Pareto front,
        also the fastest on most requests; above 0, routes within a factor
        1 + eps of it. ``timeout_s``: stop the search then
        (RouteTimeoutError). ``risk``: the risk layer (``risk_layers``;
        "default"), or ``at`` a time of day whose layer (``set_hours``)
        ``Routes.risk`` names; every method below takes both, never together.
        The search runs without the interpreter lock; Ctrl-C stops it.
        ``avoid``: edges and areas not to take, answered as on the document
        without them; every method below takes it too. ``via``: stops to
        walk through in order; ``alternatives``: up to so many more routes,
        each sharing at most ``max_shared`` of its length with each before
        it; ``max_detour``: adds the least risky route at most 1 +
        max_detour times the shortest's length. These three are chosen from
        the exact fronts, whatever eps (docs/routes.md).

        Raises NodeNotFoundError, NoRouteError (``reason``
        "source_isolated" or "no_route"), SnapError, RouteTimeoutError,
        ValueError (eps below 0 or not finite, a coordinate out of range,
        an unknown layer: UnknownRiskLayerError), TypeError."""
        session = self._session
        request = session.options(eps, max_snap_m, timeout_s, risk,
                                  avoid=avoid, at=at)
        return session.walk(origin, destination, request, _requests.choice(
            via, alternatives, max_shared, max_detour))

    def front(self, origin: Place, destination: Place, *,
              risk: str | None = None, at: object = None,
              max_snap_m: float = DEFAULT_MAX_SNAP_M,
              timeout_s: float | None = None,
              avoid: object = None,
              via: Sequence[Place] = ()) -> list[Route]:
        """Every Pareto-optimal (distance, risk) route of the exact search,
        a route per point of the front by distance ascending (risk falls
        from each to the next): ``route``'s own routes, typed as there,
        and for the points between, typed "front", of the paths with that
        very distance and risk the one the front order finds first
        (docs/routes.md). Ends, options, via, errors: as ``route``'s."""
        session = self._session
        return session.front(origin, destination, session.options(
            DEFAULT_EPS, max_snap_m, timeout_s, risk, avoid=avoid, at=at),
            via).routes

    def route_many(self, pairs: Sequence[tuple[Place, Place]],
                   eps: float = DEFAULT_EPS, *,
                   max_snap_m: float = DEFAULT_MAX_SNAP_M,
                   workers: int | None = None,
                   timeout_s: float | None = None,
                   risk: str | None = None, at: object = None,
                   avoid: object = None) -> list[Routes | RoutingError]:
        """``route(origin, destination, ...)`` for every pair, in order:
        item i is exactly the ``Routes`` it returns, or the ``RoutingError``
        it would raise, as a value. The requests run on ``workers`` threads
        (the cores this process may use by default) without the interpreter
        lock, those to one destination together; ``timeout_s`` bounds each.
        An argument of the wrong kind or out of range, or an unknown
        ``risk``, raises before any pair runs; Ctrl-C stops the call."""
        session = self._session
        request = session.options(eps, max_snap_m, timeout_s, risk,
                                  avoid=avoid, at=at)
        threads = _values.workers(workers)
        places = [end for index, pair in enumerate(pairs)
                  for end in _requests.pair(pair, index)]
        ends = session.ends(places, PAIR_ROLES * (len(places) // 2),
                            request.max_snap_m, avoid=request.avoid)
        # Checked strictly, an end fails only as a RoutingError, and so
        # does a route the engine cannot give.
        return cast(list[Routes | RoutingError],
                    session.answers(ends[0::2], ends[1::2], threads, request))

    def matrix(self, origins: Sequence[Place], destinations: Sequence[Place],
               eps: float = DEFAULT_EPS, *,
               max_snap_m: float = DEFAULT_MAX_SNAP_M,
               workers: int | None = None,
               timeout_s: float | None = None,
               risk: str | None = None, at: object = None,
               avoid: object = None) -> pandas.DataFrame:
        """The routes from every origin to every destination, as a pandas
        DataFrame (``pip install 'norvel_core[batch]'``): a row per route
        of each pair, row-major, with ``origin`` and ``destination``
        (indices into the inputs), ``origin_node`` and
        ``destination_node`` (UInt64; <NA> where snapping failed),
        ``type``, ``distance_m``, ``risk``, ``time_min``, ``comfort``,
        ``familiarity``, ``error`` and ``error_kind``: a pair that fails
        is one row with its error and NaN metrics. Values as ``route``'s."""
        from norvel._extras import require

        require("Router.matrix", "batch", "pandas")
        session = self._session
        request = session.options(eps, max_snap_m, timeout_s, risk,
                                  avoid=avoid, at=at)
        return _route_table.matrix(*session.every_pair(
            _values.places(origins, "origins"),
            _values.places(destinations, "destinations"),
            _values.workers(workers), request))

    def catchment(self, place: Place | Sequence[Place] | npt.ArrayLike,
                  minutes: float = DEFAULT_CATCHMENT_MINUTES, *,
                  eps: float = DEFAULT_EPS,
                  max_snap_m: float = DEFAULT_MAX_SNAP_M,
                  direction: str = "to",
                  timeout_s: float | None = None,
                  risk: str | None = None, at: object = None,
                  avoid: object = None,
                  max_detour: float | None = None) -> Catchment:
        """Every node whose shortest walk to ``place`` (a node id or a point,
        snapped as ``route`` snaps it) takes at most ``minutes``, each with
        the totals of the three routes ``route(node, place)`` gives, bit for
        bit, from one search without the interpreter lock; with
        ``direction="from"``, the walks from ``place``. Several places (a
        list, array or Series; a tuple of two numbers stays one point):
        each node's routes are chosen from its walks to any of them.
        ``norvel.catchment`` says more. Catchments are exact: ``eps`` must
        be 0.0; ``timeout_s``, ``risk``, ``at`` and ``max_detour`` (adds
        the columns ``within_detour_m`` and ``within_detour_risk``) as in
        ``route``.

        Raises NodeNotFoundError, SnapError, NoRouteError (with "from", no
        edge leaves a place), RouteTimeoutError, ValueError (an eps other
        than 0.0, minutes below 0 or NaN, a direction other than "to" or
        "from", no places, a graph with a negative, infinite or NaN
        distance or risk: use ``route`` there), TypeError."""
        session = self._session
        request = session.options(eps, max_snap_m, timeout_s, risk,
                                  exact=True, avoid=avoid, at=at)
        return catchment_of(session, place, _values.minutes(minutes),
                            _values.direction(direction), request,
                            _values.max_detour(max_detour))
