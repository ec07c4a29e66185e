"""Routes between places: a graph with its coordinates, loaded once.

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
import numbers
import operator
import os
import threading
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, overload

import numpy as np
import numpy.typing as npt
import norvel_core
from norvel_core import PyGraph, PyRouteResult

from norvel import _files
from norvel._earth import EARTH_RADIUS_M
from norvel._networkx import EdgeValue
from norvel.errors import NodeNotFoundError, NoRouteError, SnapError
from norvel.table import IdArray, LonLat, NodeTable, table_from_json

if TYPE_CHECKING:
    import geopandas
    import networkx

# A point is a (lat, lon) tuple in degrees; a node is its id.
Place = int | tuple[float, float]
DEFAULT_MAX_SNAP_M = 250.0


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
    names along it, [] when the graph has none; ``core``: the module's
    ``PyRouteResult``.
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
    core: PyRouteResult

    def __repr__(self) -> str:
        return (f"Route({self.type}, {self.distance_m:.0f} m, risk "
                f"{self.risk:.3f}, {self.time_min:.1f} min, "
                f"{len(self.nodes)} nodes)")

    def to_feature(self) -> dict[str, Any]:
        """A GeoJSON Feature: the route's LineString (in [lon, lat] order; a
        one-node route repeats its point) with the properties ``type``,
        ``distance_m``, ``risk``, ``time_min``, ``comfort``,
        ``familiarity``, ``nodes`` and ``streets``."""
        line = [list(point) for point in self.coordinates]
        if len(line) == 1:
            line = line * 2
        return {
            "type": "Feature",
            "geometry": {"type": "LineString", "coordinates": line},
            "properties": {
                "type": self.type,
                "distance_m": self.distance_m,
                "risk": self.risk,
                "time_min": self.time_min,
                "comfort": self.comfort,
                "familiarity": self.familiarity,
                "nodes": list(self.nodes),
                "streets": list(self.streets),
            },
        }


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
        in order (see ``Route.to_feature``)."""
        return {"type": "FeatureCollection",
                "features": [route.to_feature() for route in self._routes]}

    def to_geodataframe(self) -> geopandas.GeoDataFrame:
        """A GeoDataFrame in EPSG:4326, one row per route, with the columns
        of the GeoJSON properties and the LineString as ``geometry``
        (geopandas: ``pip install 'norvel_core[geopandas]'``)."""
        try:
            import geopandas
        except ImportError as failure:
            raise ImportError(
                "Routes.to_geodataframe needs geopandas: pip install "
                "'norvel_core[geopandas]'", name=failure.name) from failure
        return geopandas.GeoDataFrame.from_features(
            self.to_geojson()["features"], crs="EPSG:4326",
            columns=["type", "distance_m", "risk", "time_min", "comfort",
                     "familiarity", "nodes", "streets", "geometry"])


class Router:
    """A road graph (``graph``, the ``PyGraph``) with its coordinate table
    (``table``), for routes between node ids or (lat, lon) points.

    Build one with ``Router.from_file``, ``Router.from_json`` or
    ``Router.from_networkx``. It never changes; one router may serve any
    number of threads (the search holds the interpreter lock).
    """

    def __init__(self, graph: PyGraph, table: NodeTable) -> None:
        """``table`` must come from the same document as ``graph``."""
        self._graph = graph
        self._table = table
        self._index: _NearestIndex | None = None
        self._index_lock = threading.Lock()

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> Router:
        """The router of a graph document file, ``.json`` or ``.json.gz``
        (told apart by content), read once for both the graph and the
        table. ValueError naming the file when it is no graph document;
        OSError when it cannot be read.

        A document written one record a line (as norvel.osm writes it) has
        its coordinates read in bulk and its edges when first needed: by
        the first nearest-node question, a route along named streets, or
        ``build_index()``; until then the router holds the file's text."""
        data = _files.read_graph_bytes(path)
        graph = _files.graph_from_text(_files.decode_graph_text(data, path),
                                       path)
        return cls(graph, table_from_json(data, graph.node_count(),
                                          graph.edge_count()))

    @classmethod
    def from_json(cls, text: str) -> Router:
        """The router of a graph document's JSON text; ValueError with the
        document's message when it is no graph document."""
        if not isinstance(text, str):
            raise TypeError(f"text must be a str, got {type(text).__name__}")
        graph = PyGraph.from_json(text)
        return cls(graph, table_from_json(text.encode("utf-8"),
                                          graph.node_count(),
                                          graph.edge_count()))

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
        from norvel._networkx import router_parts

        return cls(*router_parts(graph, length, risk, familiarity))

    @property
    def graph(self) -> PyGraph:
        """The ``PyGraph`` for ``norvel_core.compute_safe_routes``."""
        return self._graph

    @property
    def table(self) -> NodeTable:
        """Node id -> (lat, lon), and what else is known of nodes and edges."""
        return self._table

    @property
    def node_count(self) -> int:
        """Node records of the graph (a repeated id counts each time)."""
        return self._graph.node_count()

    @property
    def edge_count(self) -> int:
        """Edge records of the graph."""
        return self._graph.edge_count()

    def __repr__(self) -> str:
        return f"<Router: {self.node_count} nodes, {self.edge_count} edges>"

    # Nearest nodes
    def _nearest_index(self) -> _NearestIndex:
        index = self._index
        if index is None:
            with self._index_lock:
                if self._index is None:
                    self._index = _NearestIndex(self._table)
                index = self._index
        return index

    def build_index(self) -> None:
        """Reads the edges and builds the nearest-node index now, rather
        than at the first request that needs them (a service does this
        before it takes requests)."""
        self._table.load_edges()
        self._nearest_index()

    def nearest(self, lat: float, lon: float) -> Snap:
        """The node with an outgoing edge nearest to (``lat``, ``lon``) in
        degrees, by great-circle distance. ValueError for a latitude outside
        [-90, 90] or a longitude outside [-180, 180]; SnapError when no node
        has an outgoing edge."""
        lat = _coordinate(lat, "lat", 90.0)
        lon = _coordinate(lon, "lon", 180.0)
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
        _check_range(lat_array, "lat", 90.0)
        _check_range(lon_array, "lon", 180.0)
        index = self._nearest_index()
        if index.empty and lat_array.size:
            raise SnapError("point", float(lat_array.flat[0]),
                            float(lon_array.flat[0]), math.inf, None, math.inf)
        ids, distances = index.query(lat_array.ravel(), lon_array.ravel())
        return ids.reshape(lat_array.shape), distances.reshape(lat_array.shape)

    # Routes
    def route(self, origin: Place, destination: Place, eps: float = 0.0, *,
              max_snap_m: float = DEFAULT_MAX_SNAP_M) -> Routes:
        """The routes from ``origin`` to ``destination``, each a node id
        (int) or a (lat, lon) tuple in degrees; a point starts or ends at
        the nearest node with an outgoing edge, at most ``max_snap_m``
        metres away.

        ``eps``: 0.0 (the default) for the exact Pareto front, which is
        also the fastest on most requests; a value above 0 accepts routes
        within a factor 1 + eps of it.

        Raises NodeNotFoundError (an id that is no node), NoRouteError
        (``reason`` "source_isolated" or "no_route"), SnapError (a point too
        far from the graph), ValueError (a negative, NaN or infinite eps; a
        coordinate out of range), TypeError (any other kind of argument).
        """
        eps = _eps(eps)
        limit = _max_snap(max_snap_m)
        source = self._snap(origin, "origin", limit)
        target = self._snap(destination, "destination", limit)
        try:
            results = norvel_core.compute_safe_routes(
                self._graph, source.node, target.node, eps)
        except RuntimeError as failure:
            raise self._classify(source.node, target.node, str(failure)) \
                from None
        return Routes([self._route(result) for result in results],
                      source, target)

    def _route(self, result: PyRouteResult) -> Route:
        nodes = result.path
        return Route(type=result.route_type, nodes=nodes,
                     coordinates=self._table.line(nodes),
                     distance_m=result.total_distance_m,
                     risk=result.total_risk,
                     time_min=result.estimated_time_min,
                     comfort=result.comfort_score,
                     familiarity=result.total_familiarity,
                     streets=self._table.streets(nodes), core=result)

    def _snap(self, place: object, role: str, max_snap_m: float) -> Snap:
        if isinstance(place, bool):
            raise TypeError(f"{role} must be a node id (int) or a (lat, lon) "
                            f"tuple, got bool")
        if isinstance(place, (int, np.integer)):
            node = operator.index(place)
            if not 0 <= node < 2**64:
                raise NodeNotFoundError(node, role)
            return Snap(node, 0.0)
        if isinstance(place, tuple) and len(place) == 2:
            lat = _coordinate(place[0], f"{role} lat", 90.0)
            lon = _coordinate(place[1], f"{role} lon", 180.0)
            ids, distances = self._nearest_index().query(np.array([lat]),
                                                         np.array([lon]))
            if not len(ids):
                raise SnapError(role, lat, lon, math.inf, None, max_snap_m)
            node, distance = int(ids[0]), float(distances[0])
            if not distance <= max_snap_m:
                raise SnapError(role, lat, lon, distance, node, max_snap_m)
            return Snap(node, distance)
        raise TypeError(f"{role} must be a node id (int) or a (lat, lon) "
                        f"tuple, got {_kind(place)}")

    def _classify(self, source: int, target: int,
                  core_message: str) -> Exception:
        """The typed error for the module's RuntimeError, found by the
        module's own order of checks."""
        table = self._table
        if source not in table:
            return NodeNotFoundError(source, "origin", core_message=core_message)
        if target not in table:
            return NodeNotFoundError(target, "destination",
                                     core_message=core_message)
        isolated = (not table.has_outgoing(source) if table.edges_loaded
                    else self._isolated(source))
        return NoRouteError(source, target,
                            "source_isolated" if isolated else "no_route",
                            core_message=core_message)

    def _isolated(self, node: int) -> bool:
        """Whether a node of the graph has no outgoing edge, asked of the
        module itself (a route from the node to itself), so that an error
        needs no reading of the edges."""
        try:
            norvel_core.compute_safe_routes(self._graph, node, node, 0.0)
        except RuntimeError:
            return True
        return False


class _NearestIndex:
    """A k-d tree over the nodes with an outgoing edge, as points on the
    unit sphere: the nearest by straight-line (chord) distance is the
    nearest on the sphere, and the chord gives the great-circle distance."""

    def __init__(self, table: NodeTable) -> None:
        from scipy.spatial import cKDTree

        routable = table.routable
        self.ids: IdArray = table.ids[routable]
        self.empty = not len(self.ids)
        points = _unit_vectors(table.lats[routable], table.lons[routable])
        # Unbalanced (sliding midpoint) builds a third faster and answers as
        # fast on road-like point sets.
        self.tree = (cKDTree(points, balanced_tree=False) if not self.empty
                     else None)

    def query(self, lats: npt.NDArray[np.float64],
              lons: npt.NDArray[np.float64]
              ) -> tuple[IdArray, npt.NDArray[np.float64]]:
        """(ids, metres) of the nearest node to each point; empty arrays
        when there is no node."""
        if self.tree is None:
            return np.empty(0, np.uint64), np.empty(0, np.float64)
        chords, where = self.tree.query(_unit_vectors(lats, lons))
        # The chord c of an arc of angle a is 2 sin(a / 2).
        metres = 2.0 * EARTH_RADIUS_M * np.arcsin(np.minimum(chords / 2.0, 1.0))
        return self.ids[where], metres


def _unit_vectors(lats: npt.NDArray[np.float64],
                  lons: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    phi = np.radians(lats)
    lam = np.radians(lons)
    cos_phi = np.cos(phi)
    return np.column_stack((cos_phi * np.cos(lam), cos_phi * np.sin(lam),
                            np.sin(phi)))


def _kind(value: object) -> str:
    return type(value).__name__


def _real(value: object, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {_kind(value)}")
    return float(value)


def _coordinate(value: object, name: str, bound: float) -> float:
    number = _real(value, name)
    if not -bound <= number <= bound:
        raise ValueError(f"{name} must be within [{-bound:g}, {bound:g}], "
                         f"got {number!r}")
    return number


def _check_range(values: npt.NDArray[np.float64], name: str,
                 bound: float) -> None:
    bad = ~((values >= -bound) & (values <= bound))
    if bad.any():
        where = tuple(int(i) for i in np.argwhere(bad)[0])
        position = where[0] if len(where) == 1 else where
        raise ValueError(f"{name} must be within [{-bound:g}, {bound:g}], "
                         f"got {float(values[where])!r} at index {position}")


def _eps(value: object) -> float:
    eps = _real(value, "eps")
    if not (math.isfinite(eps) and eps >= 0.0):
        raise ValueError(f"eps must be a finite number >= 0, got {eps!r}")
    return eps


def _max_snap(value: object) -> float:
    limit = _real(value, "max_snap_m")
    if math.isnan(limit) or limit < 0.0:
        raise ValueError(f"max_snap_m must be a number >= 0, got {limit!r}")
    return limit
