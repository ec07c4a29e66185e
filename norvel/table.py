"""The coordinate table of a graph: what a ``Router`` knows about its nodes
and edges besides the ``PyGraph`` itself.

``NodeTable`` maps each node id to its (lat, lon), like the search's own
table (where a document repeats an id, the last record wins), and also knows
which nodes have an outgoing edge, every edge's ends (for drawing the
streets) and the street names of the edges that carry one.
"""

from __future__ import annotations

import json
import threading
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from norvel import _scan

IdArray = npt.NDArray[np.uint64]
FloatArray = npt.NDArray[np.float64]
LatLon = tuple[float, float]
LonLat = tuple[float, float]


EdgeParts = tuple[IdArray, IdArray, dict[tuple[int, int], str]]


class NodeTable(Mapping[int, LatLon]):
    """Node id -> (lat, lon) in degrees, for the nodes of one graph.

    Also: ``lon_lat(node)`` and ``line(nodes)`` in GeoJSON's (lon, lat)
    order; ``has_outgoing(node)`` and ``routable_ids``; ``edges`` (the
    (from, to) id arrays in document order) and ``streets(path)``.
    Built by ``Router``; read-only, and safe to share between threads.

    A table read from a file may read its edge records only when first
    asked about edges (``Router.build_index`` does it at once).
    """

    def __init__(self, ids: IdArray, lats: FloatArray, lons: FloatArray,
                 tails: IdArray, heads: IdArray,
                 names: Mapping[tuple[int, int], str] | None = None) -> None:
        """``ids``, ``lats``, ``lons``: the node records in document order;
        ``tails``, ``heads``: every edge's ends in document order; ``names``:
        (from, to) -> street name of the edges that have one."""
        self._set_nodes(ids, lats, lons)
        self._load: Callable[[], EdgeParts] | None = None
        self._named: Callable[[], bool] = lambda: bool(self._names)
        self._set_edges((np.asarray(tails, dtype=np.uint64),
                         np.asarray(heads, dtype=np.uint64), dict(names or {})))

    @classmethod
    def deferred(cls, ids: IdArray, lats: FloatArray, lons: FloatArray,
                 load: Callable[[], EdgeParts],
                 named: Callable[[], bool]) -> NodeTable:
        """A table whose edges ``load()`` gives (tails, heads, names) when
        first needed; ``named()`` tells, more cheaply, whether any edge has
        a name."""
        table = cls.__new__(cls)
        table._set_nodes(ids, lats, lons)
        table._load = load
        table._named = named
        return table

    def _set_nodes(self, ids: IdArray, lats: FloatArray,
                   lons: FloatArray) -> None:
        # Sorted by id at the first lookup, as an index is built: a router
        # made to serve sorts in build_index, one made to route between ids
        # at its first route.
        self._records: tuple[IdArray, FloatArray, FloatArray] | None = (
            np.asarray(ids, dtype=np.uint64), np.asarray(lats, dtype=np.float64),
            np.asarray(lons, dtype=np.float64))
        self._by_id: tuple[IdArray, FloatArray, FloatArray] | None = None
        self._lock = threading.Lock()
        self._sort_lock = threading.Lock()

    def _nodes(self) -> tuple[IdArray, FloatArray, FloatArray]:
        """(ids ascending, their lats, their lons)."""
        nodes = self._by_id
        if nodes is None:
            with self._sort_lock:
                if self._by_id is None:
                    assert self._records is not None
                    self._by_id = _sorted_by_id(*self._records)
                    self._records = None
                nodes = self._by_id
        return nodes

    @property
    def _ids(self) -> IdArray:
        return self._nodes()[0]

    @property
    def _lats(self) -> FloatArray:
        return self._nodes()[1]

    @property
    def _lons(self) -> FloatArray:
        return self._nodes()[2]

    def _set_edges(self, parts: EdgeParts) -> None:
        tails, heads, names = parts
        routable = np.zeros(len(self._ids), dtype=bool)
        if len(tails):
            # Edges mostly come grouped by their tail: look each run up once.
            change = np.ones(len(tails), dtype=bool)
            change[1:] = tails[1:] != tails[:-1]
            found, where = self._positions(tails[change])
            routable[where[found]] = True
        for array in (tails, heads, routable):
            array.flags.writeable = False
        self._tails: IdArray = tails
        self._heads: IdArray = heads
        self._names: dict[tuple[int, int], str] = names
        self._routable: npt.NDArray[np.bool_] = routable

    @property
    def edges_loaded(self) -> bool:
        """Whether the edges have been read (always, but for a table from
        ``Router.from_file`` before the first question about them)."""
        return self._load is None

    def load_edges(self) -> None:
        """Reads the edges now if they were left for later."""
        if self._load is not None:
            with self._lock:
                if self._load is not None:
                    self._set_edges(self._load())
                    # The document's text goes with the loader.
                    self._load = None

    def _positions(self, nodes: IdArray) -> tuple[npt.NDArray[np.bool_],
                                                  npt.NDArray[np.intp]]:
        """(found, index into the sorted ids) of each node."""
        where = np.searchsorted(self._ids, nodes)
        inside = where < len(self._ids)
        found = inside.copy()
        found[inside] = self._ids[where[inside]] == nodes[inside]
        return found, where

    def _index(self, node: object) -> int | None:
        if not isinstance(node, (int, np.integer)) or isinstance(node, bool):
            return None
        if not 0 <= node < 2**64:
            return None
        where = int(np.searchsorted(self._ids, np.uint64(node)))
        if where < len(self._ids) and int(self._ids[where]) == node:
            return where
        return None

    # Mapping
    def __getitem__(self, node: int) -> LatLon:
        where = self._index(node)
        if where is None:
            raise KeyError(node)
        return float(self._lats[where]), float(self._lons[where])

    def __contains__(self, node: object) -> bool:
        return self._index(node) is not None

    def __iter__(self) -> Iterator[int]:
        return iter(self._ids.tolist())

    def __len__(self) -> int:
        return len(self._ids)

    def __repr__(self) -> str:
        self.load_edges()
        return (f"<NodeTable: {len(self._ids)} nodes, "
                f"{int(self._routable.sum())} with an outgoing edge, "
                f"{len(self._tails)} edges>")

    # Arrays, sorted by node id
    @property
    def ids(self) -> IdArray:
        """Every node id once, ascending."""
        return self._ids

    @property
    def lats(self) -> FloatArray:
        """Latitudes in degrees, in the order of ``ids``."""
        return self._lats

    @property
    def lons(self) -> FloatArray:
        """Longitudes in degrees, in the order of ``ids``."""
        return self._lons

    @property
    def routable(self) -> npt.NDArray[np.bool_]:
        """Whether the node has an outgoing edge, in the order of ``ids``."""
        self.load_edges()
        return self._routable

    @property
    def routable_ids(self) -> IdArray:
        """The ids of the nodes with an outgoing edge, ascending: the nodes
        a route can start from."""
        return self._ids[self.routable]

    @property
    def edges(self) -> tuple[IdArray, IdArray]:
        """(from ids, to ids) of every edge, in document order; ends need not
        be nodes of the table."""
        self.load_edges()
        return self._tails, self._heads

    @property
    def has_names(self) -> bool:
        """Whether any edge carries a street name."""
        self.load_edges()
        return bool(self._names)

    def has_outgoing(self, node: int) -> bool:
        """Whether ``node`` is a node with at least one outgoing edge."""
        where = self._index(node)
        return where is not None and bool(self.routable[where])

    def lon_lat(self, node: int) -> LonLat:
        """(lon, lat) of a node, GeoJSON's order; KeyError when absent."""
        lat, lon = self[node]
        return lon, lat

    def line(self, nodes: Sequence[int]) -> list[LonLat]:
        """The (lon, lat) positions of a node path; KeyError naming the
        first node that is not in the table."""
        if not len(nodes):
            return []
        path = np.asarray(nodes, dtype=np.uint64)
        found, where = self._positions(path)
        if not found.all():
            raise KeyError(int(path[np.argmin(found)]))
        return list(zip(self._lons[where].tolist(), self._lats[where].tolist()))

    def street_name(self, source: int, target: int) -> str | None:
        """The name of the edge from ``source`` to ``target`` (of parallel
        edges, the first named one in document order), or None."""
        return self._names.get((source, target))

    def streets(self, nodes: Sequence[int]) -> list[str]:
        """The street names along a node path, a name once for each stretch
        that follows it; edges without a name are passed over, so a street
        interrupted by an unnamed crossing counts once. [] when the graph
        carries no names."""
        if not self.edges_loaded and not self._named():
            # Routes between node ids need not wait for the edges then.
            return []
        self.load_edges()
        if not self._names:
            return []
        names: list[str] = []
        for step in zip(nodes, nodes[1:]):
            name = self._names.get(step)
            if name is not None and (not names or names[-1] != name):
                names.append(name)
        return names


def _sorted_by_id(ids: IdArray, lats: FloatArray, lons: FloatArray
                  ) -> tuple[IdArray, FloatArray, FloatArray]:
    """The node records by ascending id, the last of a repeated id kept."""
    if not (ids[1:] > ids[:-1]).all():
        # norvel.osm writes ids ascending, so this is for other sources.
        order = np.argsort(ids)
        sorted_ids = ids[order]
        last = np.ones(len(ids), dtype=bool)
        last[:-1] = sorted_ids[:-1] != sorted_ids[1:]
        if not last.all():
            # Of a repeated id, a stable sort leaves the last record last.
            order = np.argsort(ids, kind="stable")
            sorted_ids = ids[order]
        chosen = order[last]
        ids, lats, lons = sorted_ids[last], lats[chosen], lons[chosen]
    for array in (ids, lats, lons):
        array.flags.writeable = False
    return ids, lats, lons


def _node_arrays(nodes: Iterable[Any]) -> tuple[IdArray, FloatArray, FloatArray]:
    ids: list[int] = []
    lats: list[float] = []
    lons: list[float] = []
    for node in nodes:
        if isinstance(node, dict):
            ids.append(node["id"])
            lats.append(float(node["lat"]))
            lons.append(float(node["lon"]))
        else:
            ids.append(node[0])
            lats.append(float(node[1]))
            lons.append(float(node[2]))
    return (np.array(ids, dtype=np.uint64), np.array(lats, dtype=np.float64),
            np.array(lons, dtype=np.float64))


def _edge_parts(edges: Iterable[Any]) -> EdgeParts:
    tails: list[int] = []
    heads: list[int] = []
    names: dict[tuple[int, int], str] = {}
    for edge in edges:
        if isinstance(edge, dict):
            source, target = edge["from"], edge["to"]
            name = edge.get("name")
            if isinstance(name, str) and name:
                names.setdefault((source, target), name)
        else:
            source, target = edge[0], edge[1]
        tails.append(source)
        heads.append(target)
    return (np.array(tails, dtype=np.uint64), np.array(heads, dtype=np.uint64),
            names)


def _records(document: Any) -> tuple[Any, Any]:
    if isinstance(document, dict):
        return document["nodes"], document["edges"]
    return document[0], document[1]


def table_from_document(document: Any) -> NodeTable:
    """The table of a parsed graph document, with records in object or array
    form; an edge's string member ``name`` is its street name."""
    nodes, edges = _records(document)
    return NodeTable(*_node_arrays(nodes), *_edge_parts(edges))


def table_from_json(data: bytes, node_count: int, edge_count: int) -> NodeTable:
    """The table of a graph document's UTF-8 JSON text, which
    ``PyGraph.from_json`` has accepted with these counts. A document written
    one record a line is read in bulk, its edges only when first needed;
    any other is parsed whole."""
    nodes = _scan.scan_nodes(data, node_count)
    if nodes is None:
        return table_from_document(_parse(data))
    edge_lines = nodes.edge_lines
    named: list[bool] = []

    def load() -> EdgeParts:
        ends = _scan.scan_edges(data, edge_lines, edge_count)
        if ends is None:
            return _edge_parts(_records(_parse(data))[1])
        return ends[0], ends[1], {}

    def has_names() -> bool:
        # A name member anywhere among the edges; more rarely, the text
        # "name" in a string, which the full read then sorts out.
        if not named:
            named.append(data.find(b'"name"', *edge_lines) >= 0)
        return named[0]

    return NodeTable.deferred(nodes.ids, nodes.lats, nodes.lons, load,
                              has_names)


def _parse(data: bytes) -> Any:
    try:
        import orjson
    except ImportError:
        return json.loads(data)
    try:
        return orjson.loads(data)
    except orjson.JSONDecodeError:
        # What the graph reader skips but orjson refuses: a lone surrogate
        # escape or a number beyond the double range in an unknown member.
        return json.loads(data)
