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

import math
import os
import threading
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, overload

import numpy as np
import numpy.typing as npt
from norvel_core import PyGraph

from norvel import _files, _values
from norvel._native import engine
from norvel._networkx import EdgeValue
from norvel._values import (DEFAULT_CATCHMENT_MINUTES, DEFAULT_EPS,
                            DEFAULT_MAX_SNAP_M, Place)
from norvel.catchment import Catchment
from norvel.errors import (NodeNotFoundError, RouteTimeoutError, RoutingError,
                           SnapError, error_of_kind)
from norvel.table import IdArray, LonLat, NodeTable

if TYPE_CHECKING:
    import geopandas
    import networkx
    import pandas

__all__ = ["DEFAULT_EPS", "DEFAULT_MAX_SNAP_M", "Place", "Route", "Router",
           "Routes", "Snap"]


@dataclass(frozen=True)
class Snap:
    """Where a request starts or ends: ``node``, the node id, and
    ``distance_m``, the great-circle metres from the asked point to it (0.0
    when a node id was asked)."""

    node: int
    distance_m: float


@dataclass(frozen=True, repr=False)
class Route:
    """One route, with the module's values unchanged.

    ``type``: "shortest", "safest" or "balanced"; ``nodes``: the node ids
    from origin to destination; ``coordinates``: their (lon, lat);
    ``distance_m``: metres; ``risk``: the summed risk scores of its edges;
    ``time_min``: minutes at 66.67 m a minute (4 km/h); ``comfort``:
    e^(-2 risk), 1.0 for a risk-free route; ``familiarity``: the summed
    familiarity of its edges (0.0 without any); ``streets``: the street
    names along it, [] when the graph has none.

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

    def __repr__(self) -> str:
        return (f"Route({self.type}, {self.distance_m:.0f} m, risk "
                f"{self.risk:.3f}, {self.time_min:.1f} min, "
                f"{len(self.nodes)} nodes)")

    def to_feature(self) -> dict[str, Any]:
        """A GeoJSON Feature: the route's LineString (in [lon, lat] order; a
        one-node route repeats its point) with the properties ``type``,
        ``distance_m``, ``risk``, ``time_min``, ``comfort``,
        ``familiarity``, ``nodes`` and ``streets`` (``norvel.geo.route_feature``)."""
        # geo imports this module: import it when first used.
        from norvel.geo import route_feature

        return route_feature(self)


class Routes(Sequence[Route]):
    """The one to three routes of a request, in the module's order: the
    shortest first, then the safest and the balanced one where they differ
    from the routes before them. ``origin`` and ``destination`` are the
    snaps of the request's ends."""

    def __init__(self, routes: Sequence[Route], origin: Snap,
                 destination: Snap) -> None:
        self._routes = tuple(routes)
        self.origin = origin
        self.destination = destination

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

    def to_geojson(self) -> dict[str, Any]:
        """A GeoJSON FeatureCollection dict: one LineString Feature per route,
        in order (see ``Route.to_feature``; ``norvel.geo.write_geojson``
        writes it to a file)."""
        from norvel.geo import feature_collection

        return feature_collection(self._routes)

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


class Router:
    """A road graph loaded by norvel's engine, for routes between node ids
    or (lat, lon) points; ``table`` reads its coordinates, ``graph`` gives
    the same graph as a ``norvel_core.PyGraph``.

    Build one with ``Router.from_file``, ``Router.from_json`` or
    ``Router.from_networkx``. It never changes, and one router serves any
    number of threads at once: a request runs without the interpreter lock.
    """

    def __init__(self, graph: engine.Graph) -> None:
        """``graph``: the engine's graph (``norvel._engine.Graph``)."""
        self._engine = graph
        self._table = NodeTable(graph)
        self._index: _NearestIndex | None = None
        self._core: PyGraph | None = None
        self._lock = threading.Lock()

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
        return cls(_files.load_engine_graph(path))

    def save(self, path: str | os.PathLike[str], *,
             source_sha256: bytes | None = None) -> None:
        """Writes the graph as a snapshot file that ``Router.from_file``
        maps: its arrays, street names and nearest-node index. The file is
        written beside ``path`` and renamed over it, so that a reader of
        ``path`` never sees a part-written one. ``source_sha256``: the
        SHA-256 of the document it was made from, for the header (by
        default the one a snapshot router brings, else unknown: zeros).
        OSError when it cannot be written."""
        digest = (source_sha256 if source_sha256 is not None
                  else self._engine.source_sha256 or _files.UNKNOWN_SOURCE)
        if not isinstance(digest, bytes) or len(digest) != 32:
            raise ValueError("source_sha256 must be 32 bytes")
        self._engine.save(os.fsdecode(path), digest)

    @classmethod
    def from_json(cls, text: str) -> Router:
        """The router of a graph document's JSON text; ValueError with the
        document's message when it is no graph document."""
        if not isinstance(text, str):
            raise TypeError(f"text must be a str, got {type(text).__name__}")
        return cls(engine.Graph.load(text))

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
        written as a document.
        """
        from norvel._networkx import document_of

        return cls.from_json(document_of(graph, length, risk, familiarity))

    @property
    def graph(self) -> PyGraph:
        """The same graph as a ``norvel_core.PyGraph``, for
        ``norvel_core.compute_safe_routes``: built the first time it is
        asked for (it holds a second copy of the graph)."""
        core = self._core
        if core is None:
            with self._lock:
                if self._core is None:
                    self._core = PyGraph.from_json(
                        _files.core_document(self._engine))
                core = self._core
        return core

    @property
    def table(self) -> NodeTable:
        """Node id -> (lat, lon), and what else is known of nodes and edges."""
        return self._table

    @property
    def node_count(self) -> int:
        """Node records of the graph (a repeated id counts each time)."""
        return int(self._engine.node_count)

    @property
    def edge_count(self) -> int:
        """Edge records of the graph."""
        return int(self._engine.edge_count)

    def __repr__(self) -> str:
        return f"<Router: {self.node_count} nodes, {self.edge_count} edges>"

    # Nearest nodes
    def _nearest_index(self) -> _NearestIndex:
        index = self._index
        if index is None:
            with self._lock:
                if self._index is None:
                    self._index = _NearestIndex(self._engine)
                index = self._index
        return index

    def build_index(self) -> None:
        """Builds the nearest-node index now, rather than at the first
        request that needs it (a service does this before it takes
        requests)."""
        self._nearest_index()

    def nearest(self, lat: float, lon: float) -> Snap:
        """The node with an outgoing edge nearest to (``lat``, ``lon``) in
        degrees, by great-circle distance. ValueError for a latitude outside
        [-90, 90] or a longitude outside [-180, 180]; SnapError when no node
        has an outgoing edge."""
        lat = _values.latitude(lat)
        lon = _values.longitude(lon)
        ids, distances = self._nearest_index().query(np.array([lat]),
                                                     np.array([lon]))
        if not len(ids):
            raise SnapError("point", lat, lon, math.inf, None, math.inf)
        return Snap(int(ids[0]), float(distances[0]))

    def nearest_many(self, lats: npt.ArrayLike, lons: npt.ArrayLike
                     ) -> tuple[IdArray, npt.NDArray[np.float64]]:
        """For arrays of latitudes and longitudes in degrees (of one
        shape), the nearest node with an outgoing edge to each point:
        ``(ids, distances_m)``, uint64 and float64 arrays of that shape.
        ValueError for a coordinate out of range (or NaN) or shapes that
        differ; SnapError when no node has an outgoing edge."""
        lat_array = np.asarray(lats, dtype=np.float64)
        lon_array = np.asarray(lons, dtype=np.float64)
        if lat_array.shape != lon_array.shape:
            raise ValueError(f"lats and lons differ in shape: "
                             f"{lat_array.shape} and {lon_array.shape}")
        _values.check_range(lat_array, "lat", 90.0)
        _values.check_range(lon_array, "lon", 180.0)
        index = self._nearest_index()
        if index.empty and lat_array.size:
            raise SnapError("point", float(lat_array.flat[0]),
                            float(lon_array.flat[0]), math.inf, None, math.inf)
        ids, distances = index.query(lat_array.ravel(), lon_array.ravel())
        return ids.reshape(lat_array.shape), distances.reshape(lat_array.shape)

    # Routes
    def route(self, origin: Place, destination: Place,
              eps: float = DEFAULT_EPS, *,
              max_snap_m: float = DEFAULT_MAX_SNAP_M,
              timeout_s: float | None = None) -> Routes:
        """The routes from ``origin`` to ``destination``, each a node id
        (int) or a (lat, lon) tuple in degrees; a point starts or ends at
        the nearest node with an outgoing edge, at most ``max_snap_m``
        metres away.

        ``eps``: 0.0 (the default) for the exact Pareto front, which is
        also the fastest on most requests; a value above 0 accepts routes
        within a factor 1 + eps of it. ``timeout_s``: stop the search once
        that many seconds have passed (RouteTimeoutError).

        The search runs without the interpreter lock, so other threads go
        on meanwhile; on the main thread, Ctrl-C stops it.

        Raises NodeNotFoundError (an id that is no node), NoRouteError
        (``reason`` "source_isolated" or "no_route"), SnapError (a point too
        far from the graph), RouteTimeoutError, ValueError (a negative, NaN
        or infinite eps; a coordinate out of range), TypeError (any other
        kind of argument).
        """
        eps = _values.eps(eps)
        limit = _values.max_snap(max_snap_m)
        seconds = _values.timeout(timeout_s)
        source = self.snap(origin, "origin", limit)
        target = self.snap(destination, "destination", limit)
        result = self._engine.route(source.node, target.node, eps, seconds)
        if isinstance(result, tuple):
            raise error_of_kind(result[0], result[1], source.node, target.node,
                                seconds)
        return Routes([Route(*row) for row in result], source, target)

    def route_many(self, pairs: Sequence[tuple[Place, Place]],
                   eps: float = DEFAULT_EPS, *,
                   max_snap_m: float = DEFAULT_MAX_SNAP_M,
                   workers: int | None = None,
                   timeout_s: float | None = None
                   ) -> list[Routes | RoutingError]:
        """The answers of ``route(origin, destination, eps, max_snap_m=...)``
        for every (origin, destination) of ``pairs``, in order: item i is
        exactly the ``Routes`` that call returns, or the ``RoutingError`` it
        would raise, given as a value. Ends are node ids or (lat, lon)
        tuples, as in ``route``.

        The requests run on ``workers`` threads (the number of cores by
        default) without the interpreter lock; those to one destination run
        together. ``timeout_s`` bounds each request. An argument of the
        wrong kind or out of range raises (TypeError, ValueError), as in
        ``route``; Ctrl-C stops the whole call.
        """
        eps = _values.eps(eps)
        limit = _values.max_snap(max_snap_m)
        seconds = _values.timeout(timeout_s)
        threads = _values.workers(workers)
        ends = [_pair(pair, index) for index, pair in enumerate(pairs)]
        origins = self._snap_all([end[0] for end in ends], "origin", limit)
        destinations = self._snap_all([end[1] for end in ends], "destination",
                                      limit)
        return self._answer_all(origins, destinations, eps, threads, seconds)

    def matrix(self, origins: Sequence[Place], destinations: Sequence[Place],
               eps: float = DEFAULT_EPS, *,
               max_snap_m: float = DEFAULT_MAX_SNAP_M,
               workers: int | None = None,
               timeout_s: float | None = None) -> pandas.DataFrame:
        """The routes from every origin to every destination, as a pandas
        DataFrame in long form (pandas: ``pip install
        'norvel_core[batch]'``): one row per route of each (origin,
        destination), in row-major order (every destination of the first
        origin, then of the second, ...), with the columns ``origin`` and
        ``destination`` (indices into the inputs), ``origin_node``,
        ``destination_node`` (the snapped nodes; <NA> where snapping
        failed), ``type``, ``distance_m``, ``risk``, ``time_min``,
        ``comfort``, ``familiarity``, ``error`` and ``error_kind``. A pair
        that fails is one row, with its error's message and kind and no
        metrics (NaN). Each route's values are those of ``route``.
        """
        from norvel._extras import require

        require("Router.matrix", "batch", "pandas")
        import pandas

        eps = _values.eps(eps)
        limit = _values.max_snap(max_snap_m)
        seconds = _values.timeout(timeout_s)
        threads = _values.workers(workers)
        for role, places in (("origins", origins), ("destinations", destinations)):
            if isinstance(places, (str, bytes)) or not isinstance(places, Sequence):
                raise TypeError(f"{role} must be a sequence of places, got "
                                f"{_values.kind(places)}")
        # Each end is snapped once, however many pairs it is in.
        origin_snaps = self._snap_all(
            [_values.place(p, "origin") for p in origins], "origin", limit)
        destination_snaps = self._snap_all(
            [_values.place(p, "destination") for p in destinations],
            "destination", limit)
        count = len(destination_snaps)
        # The table holds no paths: the engine gives each route's totals
        # alone, sparing the lists of nodes and coordinates.
        answers = self._engine_answers(
            [o for o in origin_snaps for _ in range(count)],
            destination_snaps * len(origin_snaps), eps, threads, seconds,
            paths=False)
        rows: list[tuple[Any, ...]] = []
        nan = math.nan
        for at, answer in enumerate(answers):
            i, j = divmod(at, count)
            ends = (i, j, _node_of(origin_snaps[i]),
                    _node_of(destination_snaps[j]))
            if isinstance(answer, RoutingError):
                rows.append((*ends, None, nan, nan, nan, nan, nan,
                             answer.message, answer.kind))
                continue
            rows.extend((*ends, *totals, None, None) for totals in answer)
        frame = pandas.DataFrame.from_records(rows, columns=[
            "origin", "destination", "origin_node", "destination_node", "type",
            "distance_m", "risk", "time_min", "comfort", "familiarity",
            "error", "error_kind"])
        for column in ("origin_node", "destination_node"):
            frame[column] = frame[column].astype("UInt64")
        return frame

    def _snap_all(self, places: list[int | tuple[float, float]], role: str,
                  max_snap_m: float) -> list[Snap | RoutingError]:
        """``snap`` of every checked place, a failure as its error; the
        points in one question to the index."""
        snaps: list[Snap | RoutingError] = []
        points = [(at, p) for at, p in enumerate(places) if isinstance(p, tuple)]
        found: dict[int, Snap | RoutingError] = {}
        if points:
            lats = np.array([p[0] for _, p in points], dtype=np.float64)
            lons = np.array([p[1] for _, p in points], dtype=np.float64)
            ids, metres = self._nearest_index().query(lats, lons)
            for k, (at, (lat, lon)) in enumerate(points):
                if not len(ids):
                    found[at] = SnapError(role, lat, lon, math.inf, None,
                                          max_snap_m)
                    continue
                node, distance = int(ids[k]), float(metres[k])
                found[at] = (Snap(node, distance) if distance <= max_snap_m
                             else SnapError(role, lat, lon, distance, node,
                                            max_snap_m))
        for at, place in enumerate(places):
            if isinstance(place, tuple):
                snaps.append(found[at])
            elif not 0 <= place < _values.NODE_ID_END:
                snaps.append(NodeNotFoundError(place, role))
            else:
                snaps.append(Snap(place, 0.0))
        return snaps

    def _answer_all(self, origins: list[Snap | RoutingError],
                    destinations: list[Snap | RoutingError], eps: float,
                    workers: int, timeout_s: float | None
                    ) -> list[Routes | RoutingError]:
        """The engine's answers for the pairs whose both ends snapped; the
        others keep the first failure of their ends, origin first, as
        ``route`` reports it."""
        answers = self._engine_answers(origins, destinations, eps, workers,
                                       timeout_s, paths=True)
        routes: list[Routes | RoutingError] = []
        for answer, origin, destination in zip(answers, origins, destinations):
            if isinstance(answer, RoutingError):
                routes.append(answer)
            else:
                assert isinstance(origin, Snap) and isinstance(destination, Snap)
                routes.append(Routes([Route(*row) for row in answer], origin,
                                     destination))
        return routes

    def _engine_answers(self, origins: list[Snap | RoutingError],
                        destinations: list[Snap | RoutingError], eps: float,
                        workers: int, timeout_s: float | None, *, paths: bool
                        ) -> list[list[Any] | RoutingError]:
        """Per pair, the engine's routes (its rows, or with ``paths``
        False each route's totals alone: (type, distance_m, risk, time_min,
        comfort, familiarity)) or the error ``route`` raises for it; a pair
        whose ends did not both snap keeps the first failure of its ends,
        origin first."""
        answers, ready = _split_failed(origins, destinations)
        results = self._engine.route_many(*_node_arrays(ready), eps, workers,
                                          timeout_s, paths)
        for (at, origin, destination), result in zip(ready, results):
            answers[at] = (error_of_kind(result[0], result[1], origin.node,
                                         destination.node, timeout_s)
                           if isinstance(result, tuple) else result)
        return answers

    def catchment(self, place: Place,
                  minutes: float = DEFAULT_CATCHMENT_MINUTES, *,
                  eps: float = DEFAULT_EPS,
                  max_snap_m: float = DEFAULT_MAX_SNAP_M,
                  direction: str = "to",
                  timeout_s: float | None = None) -> Catchment:
        """Every node whose shortest walk to ``place`` (a node id, or a
        (lat, lon) tuple snapped as ``route`` snaps it) takes at most
        ``minutes`` (``time_min`` = distance_m / 66.67; infinity for every
        node that reaches it), each with the totals of the three routes
        that ``route(node, place)`` gives, bit for bit. ``direction="from"``:
        the walks from ``place`` instead, as ``route(place, node)``.

        One search from the place answers every node at once, without the
        interpreter lock (Ctrl-C stops it on the main thread;
        ``timeout_s`` as in ``route``). Catchments are exact: ``eps`` must
        be 0.0 (ValueError otherwise). A node whose request would fail
        (not a listed node; with "to", the place itself when no edge
        leaves it) is not in the catchment.

        Raises NodeNotFoundError (a place that is no node), SnapError,
        NoRouteError (``direction="from"`` and no edge leaves the place),
        RouteTimeoutError, ValueError (an eps other than 0.0, minutes below
        0 or NaN, a direction other than "to" or "from", a graph with a
        negative, infinite or NaN distance or risk, where a search from
        one place cannot give each node its request's answer: use
        ``route`` there), TypeError (any other kind of argument).
        """
        _values.exact_eps(eps)
        limit = _values.minutes(minutes)
        way = _values.direction(direction)
        seconds = _values.timeout(timeout_s)
        role = "destination" if way == "to" else "origin"
        snap = self.snap(place, role, _values.max_snap(max_snap_m))
        node = snap.node
        result = self._engine.catchment(node, limit, way == "to", seconds)
        if isinstance(result, tuple):
            kind = result[0]
            if kind == "costs_unsupported":
                raise ValueError(
                    "catchments need finite, non-negative distances and "
                    "risks, and this graph has a negative, infinite or NaN "
                    "one: Router.route answers its requests one at a time")
            if kind == "timeout":
                raise RouteTimeoutError(
                    node, node, math.inf if seconds is None else seconds,
                    request=f"the catchment of node {node}")
            raise error_of_kind(kind, result[1], node, node, seconds)
        return Catchment(self, snap, limit, way, result)

    def snap(self, place: object, role: str = "origin",
             max_snap_m: float = DEFAULT_MAX_SNAP_M) -> Snap:
        """Where a request given ``place`` (a node id or a (lat, lon)
        tuple) starts or ends: the node itself at 0 m, or the nearest node
        with an outgoing edge. NodeNotFoundError for an id outside
        [0, 2**64) (an id of that range that is no node is the request's
        to report); SnapError beyond ``max_snap_m``; ValueError and
        TypeError as ``route``."""
        value = _values.place(place, role)
        if not isinstance(value, tuple):
            if not 0 <= value < _values.NODE_ID_END:
                raise NodeNotFoundError(value, role)
            return Snap(value, 0.0)
        lat, lon = value
        ids, distances = self._nearest_index().query(np.array([lat]),
                                                     np.array([lon]))
        if not len(ids):
            raise SnapError(role, lat, lon, math.inf, None, max_snap_m)
        node, distance = int(ids[0]), float(distances[0])
        if not distance <= max_snap_m:
            raise SnapError(role, lat, lon, distance, node, max_snap_m)
        return Snap(node, distance)


def _pair(pair: object, index: int) -> tuple[int | tuple[float, float],
                                              int | tuple[float, float]]:
    """The checked ends of one of ``route_many``'s pairs."""
    if not isinstance(pair, (tuple, list)) or len(pair) != 2:
        raise TypeError(f"pairs[{index}] must be an (origin, destination) "
                        f"pair, got {_values.kind(pair)}")
    return (_values.place(pair[0], "origin"),
            _values.place(pair[1], "destination"))


# A pair's index among the asked ones, and its two ends.
ReadyPair = tuple[int, Snap, Snap]


def _split_failed(origins: list[Snap | RoutingError],
                  destinations: list[Snap | RoutingError]
                  ) -> tuple[list[Any], list[ReadyPair]]:
    """Per pair, the first failure of its ends (origin first) or None; and
    the pairs whose ends both snapped."""
    answers: list[Any] = [None] * len(origins)
    ready: list[ReadyPair] = []
    for at, (origin, destination) in enumerate(zip(origins, destinations)):
        if isinstance(origin, RoutingError):
            answers[at] = origin
        elif isinstance(destination, RoutingError):
            answers[at] = destination
        else:
            ready.append((at, origin, destination))
    return answers, ready


def _node_arrays(ready: list[ReadyPair]
                 ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]]:
    return (np.array([o.node for _, o, _ in ready], dtype=np.uint64),
            np.array([d.node for _, _, d in ready], dtype=np.uint64))


def _node_of(snap: Snap | RoutingError) -> int | None:
    return snap.node if isinstance(snap, Snap) else None


class _NearestIndex:
    """The engine's nearest-node index over the nodes with an outgoing
    edge: nearest by great-circle distance (of equally near nodes, the
    least id), answered without the interpreter lock."""

    def __init__(self, graph: engine.Graph) -> None:
        self._index = engine.NearestIndex(graph)
        self.empty = self._index.size == 0

    def query(self, lats: npt.NDArray[np.float64],
              lons: npt.NDArray[np.float64]
              ) -> tuple[IdArray, npt.NDArray[np.float64]]:
        """(ids, metres) of the nearest node to each point; empty arrays
        when there is no node."""
        if self.empty:
            return np.empty(0, np.uint64), np.empty(0, np.float64)
        ids, metres = self._index.query(
            np.ascontiguousarray(lats, dtype=np.float64),
            np.ascontiguousarray(lons, dtype=np.float64))
        return ids, metres
