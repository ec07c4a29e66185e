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
                            DEFAULT_MAX_SNAP_M, DEFAULT_RISK, Place)
from norvel.catchment import Catchment, several_places
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
    or (lat, lon) points; ``table`` reads its coordinates, ``graph`` gives
    the same graph as a ``norvel_core.PyGraph``.

    Build one with ``Router.from_file``, ``Router.from_json`` or
    ``Router.from_networkx``. It never changes, and one router serves any
    number of threads at once: a request runs without the interpreter lock.
    """

    def __init__(self, graph: engine.Graph | Session) -> None:
        """``graph``: the engine's graph (``norvel._engine.Graph``), or an
        engine session over one (``norvel._session``)."""
        self._session = graph if isinstance(graph, Session) else Session(graph)

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> Router:
        """The router of a graph file: a document, ``.json`` or
        ``.json.gz``, read and parsed once; or a snapshot written by
        ``Router.save`` or ``norvel pack``, mapped rather than copied (its
        pages are shared with every process that maps the same file) after
        every byte is checked. Told apart by content. ValueError naming the
        file when it is no graph document or no sound snapshot (one of
        another format version: with the command that makes it again);
        OSError when it cannot be read."""
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
        """The router of a networkx ``Graph``, ``DiGraph``, ``MultiGraph``
        or ``MultiDiGraph`` whose node ids are ints from 0 to 2**64 - 1 and
        whose nodes carry ``y`` (latitude) and ``x`` (longitude), as OSMnx
        writes them (networkx: ``pip install 'norvel_core[networkx]'``).

        ``length`` (metres), ``risk`` and ``familiarity``: an edge attribute
        name, or a callable ``(u, v, data) -> float``; a familiarity that is
        missing or None means none. An undirected edge gives both
        directions (a callable is asked for each); parallel edges stay
        parallel. An edge attribute ``name`` (a str, or a list of them)
        becomes its street name. Routes equal those of the same graph
        written as a document."""
        from norvel._networkx import document_of

        return cls.from_json(document_of(graph, length, risk, familiarity))

    @property
    def session(self) -> Session:
        """The engine session under this router, through which the
        package's interfaces (batch, access, service) reach the graph."""
        return self._session

    def save(self, path: str | os.PathLike[str], *,
             source_sha256: bytes | None = None) -> None:
        """Writes the graph as a snapshot file that ``Router.from_file``
        maps: its arrays, street names, risk layers and nearest-node index,
        written beside ``path`` and renamed over it, so that a reader never
        sees a part-written one. ``source_sha256``: the SHA-256 of the
        document it was made from, for the header (by default the one a
        snapshot router brings, else zeros). OSError when it cannot be
        written."""
        self._session.save(path, source_sha256)

    def to_document(self, path: str | os.PathLike[str]) -> None:
        """Writes the graph as a graph document: every node and edge, the
        street names, every risk layer (the ``risk_layers`` member) and
        the walking tags the router read; gzipped where ``path`` ends in
        ``.gz``. Loaded back, by ``Router.from_file``, ``norvel serve`` or
        ``route_pairs`` on a Dask cluster, its routes equal this router's
        bit for bit."""
        self._session.write_document(path)

    @property
    def graph(self) -> PyGraph:
        """The same graph as a ``norvel_core.PyGraph``, for
        ``norvel_core.compute_safe_routes``: built the first time it is
        asked for (it holds a second copy of the graph)."""
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
        """The names of the risk layers a request may search on (its
        ``risk=``): "default", the document's ``risk_score``, then the
        others in the order they came (the document's ``risk_layers``,
        then ``add_risk``)."""
        return self._session.layer_names()

    def add_risk(self, name: str, values: npt.ArrayLike) -> None:
        """Adds the risk layer ``name`` (a plain identifier: ASCII letters,
        digits and _, not starting with a digit): ``values``, one risk per
        edge in document order (see ``edges()``), each finite and not
        negative. Every request may then search on it with ``risk=name``,
        on the same graph: a layer costs 8 bytes an edge.

        Layers are only ever added. A request already running keeps the
        layers it started with, and other threads may use the router
        meanwhile, without a lock of their own. ValueError saying what is
        wrong (the name, taken or not an identifier; the number of values;
        the first NaN, infinite or negative one); nothing is added then.
        TypeError for values that are not numbers."""
        self._session.add_risk(name, values)

    def edges(self) -> pandas.DataFrame:
        """The edges in document order, as a pandas DataFrame (pandas:
        ``pip install 'norvel_core[batch]'``), to compute a risk layer
        from: ``from`` and ``to`` (node ids), ``distance_m``, ``name``
        (the street name, or None), a float64 column per risk layer
        (``default`` is ``risk_score``; see ``risk_layers``) and, where
        the document has them, the way's walking tags (``highway``,
        ``lit``, ``sidewalk``, ``crossing``, ``maxspeed``: str, or None
        where the way has none), read again from the document the router
        was loaded from, once. ``add_risk(name, values)`` takes an array
        of that length and order."""
        from norvel._extras import require

        require("Router.edges", "batch", "pandas")
        import pandas

        # Text columns keep None for none, which pandas would make NaN.
        return pandas.DataFrame({
            name: (pandas.Series(values, dtype=object)
                   if isinstance(values, list) else values)
            for name, values in self._session.edge_columns().items()})

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
        """For arrays of latitudes and longitudes in degrees (of one
        shape), the nearest node with an outgoing edge to each point:
        ``(ids, distances_m)``, uint64 and float64 arrays of that shape.
        ValueError for a coordinate out of range (or NaN) or shapes that
        differ; SnapError when no node has an outgoing edge."""
        return self._session.nearest_points(*_values.points(lats, lons))

    def snap(self, place: object, role: str = "origin",
             max_snap_m: float = DEFAULT_MAX_SNAP_M) -> Snap:
        """Where a request given ``place`` (a node id or a (lat, lon)
        tuple) starts or ends: the node itself at 0 m, or the nearest node
        with an outgoing edge. NodeNotFoundError for an id outside
        [0, 2**64) (an id of that range that is no node is the request's
        to report); SnapError beyond ``max_snap_m``; ValueError and
        TypeError as ``route``."""
        (snap,) = self._session.snapped((place,), (role,), max_snap_m)
        return snap

    def route(self, origin: Place, destination: Place,
              eps: float = DEFAULT_EPS, *,
              max_snap_m: float = DEFAULT_MAX_SNAP_M,
              timeout_s: float | None = None,
              risk: str = DEFAULT_RISK) -> Routes:
        """The routes from ``origin`` to ``destination``, each a node id
        (int) or a (lat, lon) tuple in degrees; a point starts or ends at
        the nearest node with an outgoing edge, at most ``max_snap_m``
        metres away.

        ``eps``: 0.0 (the default) for the exact Pareto front, which is
        also the fastest on most requests; a value above 0 accepts routes
        within a factor 1 + eps of it. ``timeout_s``: stop the search once
        that many seconds have passed (RouteTimeoutError). ``risk``: the
        risk layer to search on (``risk_layers``), the document's
        ``risk_score`` by default. The search runs without the interpreter
        lock, so other threads go on meanwhile; on the main thread, Ctrl-C
        stops it.

        Raises NodeNotFoundError (an id that is no node), NoRouteError
        (``reason`` "source_isolated" or "no_route"), SnapError (a point too
        far from the graph), RouteTimeoutError, ValueError (a negative, NaN
        or infinite eps; a coordinate out of range; UnknownRiskLayerError,
        a risk layer the graph does not have), TypeError (any other kind of
        argument)."""
        session = self._session
        return session.route(origin, destination, session.options(
            eps, max_snap_m, timeout_s, risk))

    def front(self, origin: Place, destination: Place, *,
              risk: str = DEFAULT_RISK,
              max_snap_m: float = DEFAULT_MAX_SNAP_M,
              timeout_s: float | None = None) -> list[Route]:
        """Every Pareto-optimal (distance, risk) route from ``origin`` to
        ``destination`` (ends as in ``route``), from the exact search: one
        route per point of the front, by distance ascending, so risk
        falls from each to the next. A point that ``route`` gives is that
        very route; any other point has, of the paths with its very
        distance and risk, the one the front order finds first
        (docs/routes.md, "Every route of the front").

        The first route has the costs of ``route``'s shortest and the last
        those of its safest, and the balanced route's costs are among them.
        A route's ``type`` is "shortest", "safest" or "balanced" where
        ``route`` chooses that point (the first of these where it chooses
        it for several), and "front" for the points between.
        ``risk``, ``max_snap_m``, ``timeout_s`` and the errors raised as
        in ``route``."""
        session = self._session
        return session.front(origin, destination, session.options(
            DEFAULT_EPS, max_snap_m, timeout_s, risk)).routes

    def route_many(self, pairs: Sequence[tuple[Place, Place]],
                   eps: float = DEFAULT_EPS, *,
                   max_snap_m: float = DEFAULT_MAX_SNAP_M,
                   workers: int | None = None,
                   timeout_s: float | None = None,
                   risk: str = DEFAULT_RISK
                   ) -> list[Routes | RoutingError]:
        """The answers of ``route(origin, destination, eps, max_snap_m=...)``
        for every (origin, destination) of ``pairs``, in order: item i is
        exactly the ``Routes`` that call returns, or the ``RoutingError`` it
        would raise, given as a value. Ends as in ``route``.

        The requests run on ``workers`` threads (the number of cores by
        default) without the interpreter lock; those to one destination run
        together. ``timeout_s`` bounds each request. An argument of the
        wrong kind or out of range raises (TypeError, ValueError), as in
        ``route``, and so does an unknown ``risk`` layer, before any pair
        runs; Ctrl-C stops the whole call."""
        session = self._session
        request = session.options(eps, max_snap_m, timeout_s, risk)
        threads = _values.workers(workers)
        places = [end for index, pair in enumerate(pairs)
                  for end in _requests.pair(pair, index)]
        ends = session.ends(places, PAIR_ROLES * (len(places) // 2),
                            request.max_snap_m)
        # Checked strictly, an end fails only as a RoutingError, and so
        # does a route the engine cannot give.
        return cast(list[Routes | RoutingError],
                    session.answers(ends[0::2], ends[1::2], threads, request))

    def matrix(self, origins: Sequence[Place], destinations: Sequence[Place],
               eps: float = DEFAULT_EPS, *,
               max_snap_m: float = DEFAULT_MAX_SNAP_M,
               workers: int | None = None,
               timeout_s: float | None = None,
               risk: str = DEFAULT_RISK) -> pandas.DataFrame:
        """The routes from every origin to every destination, as a pandas
        DataFrame in long form (pandas: ``pip install
        'norvel_core[batch]'``): one row per route of each (origin,
        destination), in row-major order (every destination of the first
        origin, then of the second, ...), with the columns ``origin`` and
        ``destination`` (indices into the inputs), ``origin_node``,
        ``destination_node`` (the snapped nodes, exact ids as UInt64;
        <NA> where snapping failed), ``type``, ``distance_m``, ``risk``,
        ``time_min``, ``comfort``, ``familiarity``, ``error`` and
        ``error_kind``. A pair that fails is one row, with its error's
        message and kind and no metrics (NaN). Each route's values are
        those of ``route``, on the risk layer ``risk``."""
        from norvel._extras import require

        require("Router.matrix", "batch", "pandas")
        session = self._session
        request = session.options(eps, max_snap_m, timeout_s, risk)
        threads = _values.workers(workers)
        _values.places(origins, "origins")
        _values.places(destinations, "destinations")
        # Each end is snapped once, however many pairs it is in, and the
        # points of both sides in one question to the index.
        snaps = session.ends(
            [*origins, *destinations],
            ["origin"] * len(origins) + ["destination"] * len(destinations),
            request.max_snap_m)
        starts, ends = snaps[:len(origins)], snaps[len(origins):]
        # The table holds no paths: the engine gives each route's totals.
        answers = session.answers([s for s in starts for _ in ends],
                                  ends * len(starts), threads, request,
                                  paths=False)
        rows = [row for at, answer in enumerate(answers)
                for i, j in (divmod(at, len(ends)),)
                for row in _route_table.rows_of((i, j), starts[i], ends[j],
                                                answer)]
        return _route_table.frame((("origin", "int64"),
                                   ("destination", "int64")), rows)

    def catchment(self, place: Place | Sequence[Place] | npt.ArrayLike,
                  minutes: float = DEFAULT_CATCHMENT_MINUTES, *,
                  eps: float = DEFAULT_EPS,
                  max_snap_m: float = DEFAULT_MAX_SNAP_M,
                  direction: str = "to",
                  timeout_s: float | None = None,
                  risk: str = DEFAULT_RISK) -> Catchment:
        """Every node whose shortest walk to ``place`` (a node id, or a
        (lat, lon) tuple snapped as ``route`` snaps it) takes at most
        ``minutes`` (``time_min`` = distance_m / 66.67; infinity for every
        node that reaches it), each with the totals of the three routes
        that ``route(node, place)`` gives, bit for bit. ``direction="from"``:
        the walks from ``place`` instead, as ``route(place, node)``.

        Several places: a list, array or Series of node ids or points (a
        tuple of two numbers stays one point). A node's front is then that
        of every walk to any of them (from any, with "from"); it is inside
        when its shortest walk to any takes at most ``minutes``, and its
        three routes are chosen from that front as ``route`` chooses, a
        tie of totals going to the lower place index (the ``*_place``
        columns of ``nodes``). A list of one place answers as that place.

        One search from the place(s) answers every node at once, without
        the interpreter lock (Ctrl-C stops it on the main thread;
        ``timeout_s`` and ``risk`` as in ``route``). Catchments are exact:
        ``eps`` must be 0.0. A node whose request would fail (not a listed
        node; with "to", a place itself when no edge leaves it) is not in
        the catchment.

        Raises NodeNotFoundError (a place that is no node), SnapError,
        NoRouteError (``direction="from"`` and no edge leaves a place),
        RouteTimeoutError, ValueError (an eps other than 0.0, minutes below
        0 or NaN, a direction other than "to" or "from", no places, a
        graph with a negative, infinite or NaN distance or risk, where a
        search from the places cannot give each node its request's answer:
        use ``route`` there), TypeError (any other kind of argument)."""
        session = self._session
        request = session.options(eps, max_snap_m, timeout_s, risk,
                                  exact=True)
        limit = _values.minutes(minutes)
        way = _values.direction(direction)
        several = several_places(place)
        if several is None:
            snap, columns = session.catchment(place, limit, way, request)
            return Catchment(session, snap, limit, way, columns,
                             risk=request.risk)
        snaps, columns = session.catchment_columns(several, limit, way, request)
        return Catchment(session, snaps[0], limit, way, columns, snaps,
                         request.risk)
