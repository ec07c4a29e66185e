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
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, cast, overload

import numpy as np
import numpy.typing as npt
from norvel_core import PyGraph

from norvel import _files, _requests, _values, failures
from norvel._native import engine
from norvel._networkx import EdgeValue
from norvel._values import (DEFAULT_CATCHMENT_MINUTES, DEFAULT_EPS,
                            DEFAULT_MAX_SNAP_M, DEFAULT_RISK, Place)
from norvel.catchment import Catchment, several_places
from norvel.errors import RoutingError, SnapError
from norvel.routes import Route, Routes, Snap, route_of_row
from norvel.steps import EdgeFacts
from norvel.table import IdArray, NodeTable

if TYPE_CHECKING:
    import networkx
    import pandas

    from norvel._engine import CatchmentColumns

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

    def __init__(self, graph: engine.Graph) -> None:
        """``graph``: the engine's graph (``norvel._engine.Graph``)."""
        self._engine = graph
        self._table = NodeTable(graph)
        # The walking tags of the edges, from the graph's document: one
        # reading for edges(), to_document() and the steps' highway classes.
        self._tags = _files.EdgeTags(None, int(graph.edge_count))
        self._facts = EdgeFacts(graph, self._table, tags=self._tags)
        # The facts steps read on each other risk layer, made when first asked.
        self._layer_facts: dict[str, EdgeFacts] = {}
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
        router = cls(_files.load_engine_graph(path))
        if not router._engine.mapped:
            # The walking tags, should they be asked, from the file again.
            source = os.path.abspath(path)
            router._read_tags_from(lambda: _files.read_graph_bytes(source))
        return router

    def _read_tags_from(self, document: Callable[[], bytes]) -> None:
        """Reads the walking tags from ``document`` (a function that gives
        the document's bytes), once, when first asked."""
        self._tags = _files.EdgeTags(document, self.edge_count)
        self._facts = EdgeFacts(self._engine, self._table, tags=self._tags)

    def save(self, path: str | os.PathLike[str], *,
             source_sha256: bytes | None = None) -> None:
        """Writes the graph as a snapshot file that ``Router.from_file``
        maps: its arrays, street names, risk layers and nearest-node index. The file is
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
        router = cls(engine.Graph.load(text))
        if '"tags"' in text:
            # Kept only for a document with tags.
            router._read_tags_from(lambda: text.encode())
        return router

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

    # Risk layers
    @property
    def risk_layers(self) -> list[str]:
        """The names of the risk layers a request may search on (its
        ``risk=``): "default", the document's ``risk_score``, then the
        others in the order they came (the document's ``risk_layers``,
        then ``add_risk``)."""
        return self._layer_names()

    def _layer_names(self) -> list[str]:
        return [DEFAULT_RISK, *self._engine.risk_layers]

    def add_risk(self, name: str, values: npt.ArrayLike) -> None:
        """Adds the risk layer ``name`` (a plain identifier: ASCII letters,
        digits and _, not starting with a digit): ``values``, one risk per
        edge in document order (see ``edges()``), each finite and not
        negative. Every request may then search on it with
        ``risk=name``, on the same graph: a layer costs 8 bytes an edge.

        Layers are only ever added. A request already running keeps the
        layers it started with, and other threads may use the router
        meanwhile, without a lock of their own. ValueError saying what is
        wrong (the name, taken or not an identifier; the number of values;
        the first NaN, infinite or negative one); nothing is added then.
        TypeError for values that are not numbers."""
        if not isinstance(name, str):
            raise TypeError(f"name must be a str, got {_values.kind(name)}")
        try:
            risks = np.ascontiguousarray(values, dtype=np.float64)
        except (TypeError, ValueError) as failure:
            raise TypeError(f"values must be numbers, one per edge: "
                            f"{failure}") from None
        if risks.ndim != 1:
            raise ValueError(f"values must be one-dimensional, one per edge, "
                             f"got an array of shape {risks.shape}")
        self._engine.add_risk(name, risks)

    def edges(self) -> pandas.DataFrame:
        """The edges in document order, as a pandas DataFrame (pandas:
        ``pip install 'norvel_core[batch]'``), to compute a risk layer
        from: ``from`` and ``to`` (node ids), ``distance_m``, ``name``
        (the street name, or None), a float64 column per risk layer
        (``default`` is ``risk_score``; see ``risk_layers``) and, where
        the document has them, the way's walking tags (``highway``,
        ``lit``, ``sidewalk``, ``crossing``, ``maxspeed``: str, or None
        where the way has none), which the router reads again from the
        document it was loaded from, once (steps read their ``highway``
        there too). ``add_risk(name, values)`` takes an array of that
        length and order."""
        from norvel._extras import require

        require("Router.edges", "batch", "pandas")
        import pandas

        from norvel.table import edge_ends, in_document_order

        graph = self._engine
        tails, heads = edge_ends(graph)
        data: dict[str, Any] = {
            "from": tails, "to": heads,
            "distance_m": in_document_order(graph, graph.lengths),
            # Text columns keep None for none, which pandas would make NaN.
            "name": pandas.Series(_files.edge_street_names(graph), dtype=object)}
        for layer in self.risk_layers:
            data[layer] = graph.layer_risks(layer)
        for tag, values in (self._tags.columns() or {}).items():
            data[tag] = pandas.Series(values, dtype=object)
        return pandas.DataFrame(data)

    def to_document(self, path: str | os.PathLike[str]) -> None:
        """Writes the graph as a graph document: every node and edge, the
        street names, every risk layer (the ``risk_layers`` member) and
        the walking tags the router read; gzipped where ``path`` ends in
        ``.gz``. ``Router.from_file``, ``norvel serve`` and
        ``route_pairs`` on a Dask cluster load it back with its layers,
        and routes on it equal this router's bit for bit."""
        _files.write_document(self, path)

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
        ``risk_score`` by default.

        The search runs without the interpreter lock, so other threads go
        on meanwhile; on the main thread, Ctrl-C stops it.

        Raises NodeNotFoundError (an id that is no node), NoRouteError
        (``reason`` "source_isolated" or "no_route"), SnapError (a point too
        far from the graph), RouteTimeoutError, ValueError (a negative, NaN
        or infinite eps; a coordinate out of range; UnknownRiskLayerError,
        a risk layer the graph does not have), TypeError (any other kind of
        argument).
        """
        request = _requests.options(self._layer_names, eps, max_snap_m,
                                    timeout_s, risk)
        source, target = self._pair_ends(origin, destination, request)
        result = self._engine.route(source.node, target.node, request.eps,
                                    request.timeout_s, request.risk)
        if isinstance(result, engine.Failure):
            raise _requests.failure(result, source.node, target.node,
                                    request.timeout_s)
        return Routes(self._routes_of(result, request.risk), source, target)

    def _pair_ends(self, origin: object, destination: object,
                   request: _requests.Options) -> tuple[Snap, Snap]:
        """The snapped ends of one request, the origin's failure raised
        first."""
        source, target = _requests.ends(self._nearest_index, (origin, destination),
                                        _ROLES, request.max_snap_m)
        return _requests.snapped(source), _requests.snapped(target)

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
        in ``route``.
        """
        return self._front(origin, destination, risk=risk,
                           max_snap_m=max_snap_m, timeout_s=timeout_s)[0]

    def _front(self, origin: Place, destination: Place, *, risk: object,
               max_snap_m: object, timeout_s: object
               ) -> tuple[list[Route], Snap, Snap]:
        """``front``'s routes, with the snaps of its ends."""
        request = _requests.options(self._layer_names, DEFAULT_EPS, max_snap_m,
                                    timeout_s, risk)
        source, target = self._pair_ends(origin, destination, request)
        result = self._engine.front(source.node, target.node,
                                    request.timeout_s, request.risk)
        if isinstance(result, engine.Failure):
            raise _requests.failure(result, source.node, target.node,
                                    request.timeout_s)
        return self._routes_of(result, request.risk), source, target

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
        would raise, given as a value. Ends are node ids or (lat, lon)
        tuples, as in ``route``.

        The requests run on ``workers`` threads (the number of cores by
        default) without the interpreter lock; those to one destination run
        together. ``timeout_s`` bounds each request. An argument of the
        wrong kind or out of range raises (TypeError, ValueError), as in
        ``route``, and so does an unknown ``risk`` layer, before any pair
        runs; Ctrl-C stops the whole call.
        """
        request = _requests.options(self._layer_names, eps, max_snap_m,
                                    timeout_s, risk)
        threads = _values.workers(workers)
        places = [end for index, pair in enumerate(pairs)
                  for end in _requests.pair(pair, index)]
        ends = _requests.ends(self._nearest_index, places,
                              _ROLES * (len(places) // 2), request.max_snap_m)
        # Checked strictly, an end fails only as a RoutingError, and so
        # does a route the engine cannot give.
        return cast(list[Routes | RoutingError],
                    self._answer_all(ends[0::2], ends[1::2], threads, request))

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
        ``destination_node`` (the snapped nodes; <NA> where snapping
        failed), ``type``, ``distance_m``, ``risk``, ``time_min``,
        ``comfort``, ``familiarity``, ``error`` and ``error_kind``. A pair
        that fails is one row, with its error's message and kind and no
        metrics (NaN). Each route's values are those of ``route``, on the
        risk layer ``risk``.
        """
        from norvel._extras import require

        require("Router.matrix", "batch", "pandas")
        import pandas

        request = _requests.options(self._layer_names, eps, max_snap_m,
                                    timeout_s, risk)
        threads = _values.workers(workers)
        for role, places in (("origins", origins), ("destinations", destinations)):
            if isinstance(places, (str, bytes)) or not isinstance(places, Sequence):
                raise TypeError(f"{role} must be a sequence of places, got "
                                f"{_values.kind(places)}")
        # Each end is snapped once, however many pairs it is in, and the
        # points of both sides in one question to the index.
        snaps = _requests.ends(
            self._nearest_index, [*origins, *destinations],
            ["origin"] * len(origins) + ["destination"] * len(destinations),
            request.max_snap_m)
        origin_snaps, destination_snaps = snaps[:len(origins)], snaps[len(origins):]
        count = len(destination_snaps)
        # The table holds no paths: the engine gives each route's totals
        # alone, sparing the lists of nodes and coordinates.
        answers = self._engine_answers(
            [o for o in origin_snaps for _ in range(count)],
            destination_snaps * len(origin_snaps), threads, request,
            paths=False)
        rows: list[tuple[Any, ...]] = []
        nan = math.nan
        for at, answer in enumerate(answers):
            i, j = divmod(at, count)
            ends = (i, j, _node_of(origin_snaps[i]),
                    _node_of(destination_snaps[j]))
            if isinstance(answer, Exception):
                rows.append((*ends, None, nan, nan, nan, nan, nan,
                             str(answer), failures.error_kind_of(answer)))
                continue
            rows.extend((*ends, t.type, t.distance_m, t.risk, t.time_min,
                         t.comfort, t.familiarity, None, None)
                        for t in answer)
        frame = pandas.DataFrame.from_records(rows, columns=[
            "origin", "destination", "origin_node", "destination_node", "type",
            "distance_m", "risk", "time_min", "comfort", "familiarity",
            "error", "error_kind"])
        for column in ("origin_node", "destination_node"):
            frame[column] = frame[column].astype("UInt64")
        return frame

    def _answer_all(self, origins: Sequence[_requests.End],
                    destinations: Sequence[_requests.End], workers: int,
                    request: _requests.Options) -> list[Routes | Exception]:
        """The answers of the pairs whose both ends snapped (their
        ``Routes``, or the error ``route`` raises); the others keep the
        first failure of their ends, origin first, as ``route`` reports
        it."""
        answers = self._engine_answers(origins, destinations, workers,
                                       request, paths=True)
        routes: list[Routes | Exception] = []
        for answer, origin, destination in zip(answers, origins, destinations):
            if isinstance(answer, Exception):
                routes.append(answer)
            else:
                assert isinstance(origin, Snap) and isinstance(destination, Snap)
                routes.append(Routes(self._routes_of(answer, request.risk),
                                     origin, destination))
        return routes

    def _facts_of(self, layer: str) -> EdgeFacts:
        """The edge facts of a risk layer's routes: the layer's risks, and
        the lengths, names and highway classes every layer shares."""
        if layer == DEFAULT_RISK:
            return self._facts
        with self._lock:
            facts = self._layer_facts.get(layer)
            if facts is None:
                facts = self._facts.on_layer(layer)
                self._layer_facts[layer] = facts
            return facts

    def _routes_of(self, rows: Sequence[engine.RouteRow],
                   risk: str = DEFAULT_RISK) -> list[Route]:
        """The ``Route`` of each of the engine's route rows, on the risk
        layer ``risk``."""
        facts = self._facts_of(risk)
        return [route_of_row(row, facts) for row in rows]

    def _engine_answers(self, origins: Sequence[_requests.End],
                        destinations: Sequence[_requests.End], workers: int,
                        request: _requests.Options, *,
                        paths: bool) -> list[Any]:
        """Per pair, the engine's routes (its rows, or with ``paths``
        False each route's totals alone, ``engine.RouteTotals``) or the
        error ``route`` raises for it; a pair whose ends did not both snap
        keeps the first failure of its ends, origin first."""
        answers, ready = _requests.split_failed(origins, destinations)
        results = self._engine.route_many(*_node_arrays(ready), request.eps,
                                          workers, request.timeout_s, paths,
                                          request.risk)
        for (at, origin, destination), result in zip(ready, results):
            answers[at] = (_requests.failure(result, origin.node,
                                             destination.node,
                                             request.timeout_s)
                           if isinstance(result, engine.Failure) else result)
        return answers

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
        ``timeout_s`` and ``risk`` as in ``route``). Catchments are exact: ``eps`` must
        be 0.0 (ValueError otherwise). A node whose request would fail
        (not a listed node; with "to", a place itself when no edge leaves
        it) is not in the catchment.

        Raises NodeNotFoundError (a place that is no node), SnapError,
        NoRouteError (``direction="from"`` and no edge leaves a place),
        RouteTimeoutError, ValueError (an eps other than 0.0, minutes below
        0 or NaN, a direction other than "to" or "from", no places, a
        graph with a negative, infinite or NaN distance or risk, where a
        search from the places cannot give each node its request's answer:
        use ``route`` there), TypeError (any other kind of argument).
        """
        request = _requests.options(self._layer_names, eps, max_snap_m,
                                    timeout_s, risk, exact=True)
        limit = _values.minutes(minutes)
        way = _values.direction(direction)
        several = several_places(place)
        if several is None:
            (snap,) = self._places([place], way, request)
            result = self._engine.catchment(snap.node, limit, way == "to",
                                            request.timeout_s, request.risk)
            if isinstance(result, engine.Failure):
                raise _catchment_failure(result, snap.node, request.timeout_s)
            return Catchment(self, snap, limit, way, result, risk=request.risk)
        snaps, columns = self._catchment_columns(
            several, limit, None, direction=way, max_snap_m=max_snap_m,
            timeout_s=timeout_s, risk=request.risk)
        return Catchment(self, snaps[0], limit, way, columns, snaps,
                         request.risk)

    def _places(self, places: Sequence[object], way: str,
                request: _requests.Options) -> list[Snap]:
        """The snapped places of a catchment, the first failure raised."""
        role = "destination" if way == "to" else "origin"
        return [_requests.snapped(end) for end in _requests.ends(
            self._nearest_index, places, [role] * len(places),
            request.max_snap_m)]

    def _catchment_columns(self, places: Sequence[object], minutes: float,
                           cutoffs: Sequence[float] | None, *,
                           direction: str = "to",
                           max_snap_m: float = DEFAULT_MAX_SNAP_M,
                           timeout_s: float | None = None,
                           risk: str = DEFAULT_RISK,
                           only: Sequence[int] | None = None
                           ) -> tuple[list[Snap], CatchmentColumns]:
        """The snapped places and the engine's columns of their catchment
        (``catchment`` has the rules and errors). With ``cutoffs`` (a
        sequence of minutes), ``within_m``, ``within_risk`` and
        ``within_place`` are (nodes, cutoffs) arrays: for each node and
        cutoff the least risky walk of its front that takes at most the
        cutoff (then the shortest, then the lower place), NaN where none
        does; a cutoff above ``minutes`` still reads only the nodes inside
        ``minutes``. Without, vectors for ``minutes``. With ``only`` (node
        ids), the rows of those nodes alone, as in the whole catchment."""
        limit = _values.minutes(minutes)
        way = _values.direction(direction)
        request = _requests.options(self._layer_names, DEFAULT_EPS, max_snap_m,
                                    timeout_s, risk)
        checked = (None if cutoffs is None
                   else [_values.minutes(cutoff) for cutoff in cutoffs])
        if not places:
            raise ValueError("places must not be empty")
        snaps = self._places(places, way, request)
        result = self._engine.catchment_places(
            [snap.node for snap in snaps], limit, way == "to", checked,
            request.timeout_s, request.risk, only)
        if isinstance(result, engine.Failure):
            raise _catchment_failure(result, snaps[result.place].node,
                                     request.timeout_s)
        return snaps, result

    def snap(self, place: object, role: str = "origin",
             max_snap_m: float = DEFAULT_MAX_SNAP_M) -> Snap:
        """Where a request given ``place`` (a node id or a (lat, lon)
        tuple) starts or ends: the node itself at 0 m, or the nearest node
        with an outgoing edge. NodeNotFoundError for an id outside
        [0, 2**64) (an id of that range that is no node is the request's
        to report); SnapError beyond ``max_snap_m``; ValueError and
        TypeError as ``route``."""
        (end,) = _requests.ends(self._nearest_index, (place,), (role,),
                                max_snap_m)
        return _requests.snapped(end)


# The roles of a pair's two ends, in order.
_ROLES = ("origin", "destination")


def _catchment_failure(result: engine.Failure, node: int,
                       seconds: float | None) -> Exception:
    """What a catchment's failure from the engine means."""
    return _requests.failure(result, node, node, seconds,
                             request=f"the catchment of node {node}")


def _node_arrays(ready: list[_requests.ReadyPair]
                 ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]]:
    return (np.array([o.node for _, o, _ in ready], dtype=np.uint64),
            np.array([d.node for _, _, d in ready], dtype=np.uint64))


def _node_of(snap: _requests.End) -> int | None:
    return snap.node if isinstance(snap, Snap) else None


class _NearestIndex:
    """The engine's nearest-node index over the nodes with an outgoing
    edge: nearest by great-circle distance (of equally near nodes, the
    least id), answered without the interpreter lock."""

    def __init__(self, graph: engine.Graph) -> None:
        self._index = engine.NearestIndex(graph)
        self.size = self._index.size
        self.empty = self.size == 0

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
