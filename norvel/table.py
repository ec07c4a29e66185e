"""The coordinate table of a graph: what a ``Router`` knows about its nodes
and edges besides the routes, read from the engine's own arrays.

``NodeTable`` maps each node id to its (lat, lon), like the search's own
table (where a document repeats an id, the last record wins), and also knows
which nodes have an outgoing edge, every edge's ends (for drawing the
streets) and the street names of the edges that carry one. It copies
nothing it does not need: the arrays are views of the engine's graph, and
what has to be derived (the ids in ascending order, the edges' ends in
document order) is derived when first asked for.
"""

from __future__ import annotations

import threading
from collections.abc import Iterator, Mapping, Sequence
from functools import cached_property
from typing import TYPE_CHECKING, NamedTuple

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from norvel._engine import Graph

#: Node ids.
IdArray = npt.NDArray[np.uint64]
#: Coordinates or costs.
FloatArray = npt.NDArray[np.float64]
#: Row indices.
IndexArray = npt.NDArray[np.int64]
#: (latitude, longitude) in degrees.
LatLon = tuple[float, float]
#: (longitude, latitude) in degrees, GeoJSON's order.
LonLat = tuple[float, float]


def _frozen[T: np.generic](array: npt.NDArray[T]) -> npt.NDArray[T]:
    array.flags.writeable = False
    return array


def in_document_order[T: np.generic](graph: Graph, values: npt.NDArray[T]
                                     ) -> npt.NDArray[T]:
    """Values given per entry of the engine's outgoing rows (``heads``,
    ``lengths``, ...), in a new array in the document's order of edges."""
    ordered = np.empty(len(values), dtype=values.dtype)
    ordered[graph.edge_index] = values
    return ordered


def edge_ends(graph: Graph) -> tuple[IdArray, IdArray]:
    """(from ids, to ids) of every edge of the engine's graph, in document
    order, as new arrays."""
    rows = np.diff(graph.out_begin).astype(np.int64)
    tails_dense = np.repeat(np.arange(len(rows), dtype=np.uint32), rows)
    return (in_document_order(graph, graph.ids[tails_dense]),
            in_document_order(graph, graph.ids[graph.heads]))


class IdRows:
    """Where each node id is among ``ids`` (a uint64 array, repeats
    allowed, each answered by its first row): the one lookup of ids in a
    table of them."""

    def __init__(self, ids: IdArray) -> None:
        self._order = np.argsort(ids, kind="stable")
        self._sorted = ids[self._order]

    def rows(self, nodes: IdArray) -> IndexArray:
        """The row of each node id in ``ids``, -1 where it is none."""
        ids = self._sorted
        if not len(ids):
            return np.full(len(nodes), -1, dtype=np.int64)
        at = np.minimum(np.searchsorted(ids, nodes), len(ids) - 1)
        return np.where(ids[at] == nodes, self._order[at], -1).astype(np.int64)


class Segments(NamedTuple):
    """Edges as straight lines between their ends' positions, for drawing:
    ``tails`` and ``heads`` (ids), ``starts`` and ``ends`` ((n, 2) arrays
    of (lon, lat)), ``names`` (each edge's street name or None)."""

    tails: IdArray
    heads: IdArray
    starts: FloatArray
    ends: FloatArray
    names: list[str | None]


class NodeTable(Mapping[int, LatLon]):
    """Node id -> (lat, lon) in degrees, for the nodes of one graph.

    Also: ``lon_lat(node)`` and ``line(nodes)`` in GeoJSON's (lon, lat)
    order; ``has_outgoing(node)`` and ``routable_ids``; ``edges`` (the
    (from, to) id arrays in document order) and ``streets(path)``.
    Built by ``Router``; read-only, and safe to share between threads.
    """

    def __init__(self, graph: Graph) -> None:
        """``graph``: the engine's graph the table reads."""
        self._graph = graph
        # cached_property takes no lock: derive each array once.
        self._lock = threading.Lock()

    # Dense indices: the engine numbers every distinct id of the node list
    # and of the edges' ends; the table's nodes are the listed ones.
    @cached_property
    def _listed(self) -> IndexArray:
        with self._lock:
            return _frozen(np.flatnonzero(self._graph.listed).astype(np.int64))

    @cached_property
    def _outgoing(self) -> npt.NDArray[np.bool_]:
        """Per dense index: whether an edge leaves it."""
        with self._lock:
            return _frozen(np.diff(self._graph.out_begin) > 0)

    @cached_property
    def _ascending(self) -> IndexArray:
        """The listed dense indices in ascending order of id."""
        listed = self._listed
        with self._lock:
            order = np.argsort(self._graph.ids[listed], kind="stable")
            return _frozen(listed[order])

    def dense(self, nodes: npt.ArrayLike) -> IndexArray:
        """The engine's dense index of each node id, -1 for an id that is no
        node of the table (ids outside [0, 2**64) included)."""
        values = np.asarray(nodes)
        if values.dtype != np.uint64:
            as_ints = values.astype(object).ravel()
            inside = np.array([0 <= int(v) < 2**64 for v in as_ints], dtype=bool)
            where = np.full(len(as_ints), -1, dtype=np.int64)
            if inside.any():
                where[inside] = self._graph.node_index(
                    np.array([int(v) for v in as_ints[inside]], dtype=np.uint64))
            return where.reshape(values.shape)
        flat = np.ascontiguousarray(values.ravel())
        return self._graph.node_index(flat).reshape(values.shape)

    def _index(self, node: object) -> int | None:
        if not isinstance(node, (int, np.integer)) or isinstance(node, bool):
            return None
        if not 0 <= node < 2**64:
            return None
        where = int(self._graph.node_index(np.array([node], dtype=np.uint64))[0])
        return None if where < 0 else where

    # Mapping
    def __getitem__(self, node: int) -> LatLon:
        where = self._index(node)
        if where is None:
            raise KeyError(node)
        return float(self._graph.lats[where]), float(self._graph.lons[where])

    def __contains__(self, node: object) -> bool:
        return self._index(node) is not None

    def __iter__(self) -> Iterator[int]:
        return iter(self.ids.tolist())

    def __len__(self) -> int:
        return len(self._listed)

    def __repr__(self) -> str:
        return (f"<NodeTable: {len(self)} nodes, "
                f"{int(self.routable.sum())} with an outgoing edge, "
                f"{self._graph.edge_count} edges>")

    # Arrays, sorted by node id
    @cached_property
    def ids(self) -> IdArray:
        """Every node id once, ascending."""
        return _frozen(self._graph.ids[self._ascending])

    @cached_property
    def lats(self) -> FloatArray:
        """Latitudes in degrees, in the order of ``ids``."""
        return _frozen(self._graph.lats[self._ascending])

    @cached_property
    def lons(self) -> FloatArray:
        """Longitudes in degrees, in the order of ``ids``."""
        return _frozen(self._graph.lons[self._ascending])

    @cached_property
    def routable(self) -> npt.NDArray[np.bool_]:
        """Whether the node has an outgoing edge, in the order of ``ids``."""
        return _frozen(self._outgoing[self._ascending])

    @property
    def routable_ids(self) -> IdArray:
        """The ids of the nodes with an outgoing edge, ascending: the nodes
        a route can start from."""
        return self.ids[self.routable]

    @cached_property
    def edges(self) -> tuple[IdArray, IdArray]:
        """(from ids, to ids) of every edge, in document order; ends need not
        be nodes of the table."""
        with self._lock:
            tails, heads = edge_ends(self._graph)
            return _frozen(tails), _frozen(heads)

    @property
    def has_names(self) -> bool:
        """Whether any edge carries a street name."""
        return bool(self._graph.has_names)

    def has_outgoing(self, node: int) -> bool:
        """Whether ``node`` is a node with at least one outgoing edge."""
        where = self._index(node)
        return where is not None and bool(self._outgoing[where])

    def lon_lat(self, node: int) -> LonLat:
        """(lon, lat) of a node, GeoJSON's order; KeyError when absent."""
        lat, lon = self[node]
        return lon, lat

    def line(self, nodes: Sequence[int]) -> list[LonLat]:
        """The (lon, lat) positions of a node path; KeyError naming the
        first node that is not in the table."""
        if not len(nodes):
            return []
        where = self.dense(np.asarray(nodes, dtype=object))
        if (where < 0).any():
            raise KeyError(nodes[int(np.argmax(where < 0))])
        graph = self._graph
        return list(zip(graph.lons[where].tolist(), graph.lats[where].tolist()))

    def streets(self, nodes: Sequence[int]) -> list[str]:
        """The street names along a node path, a name once for each stretch
        that follows it; edges without a name are passed over, so a street
        interrupted by an unnamed crossing counts once. [] when the graph
        carries no names."""
        if not self._graph.has_names or len(nodes) < 2:
            return []
        path = [int(node) for node in nodes]
        if not all(0 <= node < 2**64 for node in path):
            return []
        return self._graph.streets(path)

    @cached_property
    def _street_names(self) -> tuple[npt.NDArray[np.uint32], list[str]]:
        with self._lock:
            return self._graph.edge_names, self._graph.name_table()

    def edge_name(self, edge: int) -> str | None:
        """The street name of the edge of document index ``edge``, or None."""
        numbers, names = self._street_names
        if not len(numbers):
            return None
        number = int(numbers[edge])
        return names[number - 1] if number else None

    def edge_streets(self, edges: Sequence[int]) -> list[str]:
        """The street names of edges (document indices, in travel order),
        a name once for each stretch, as ``streets`` gives them for nodes
        but each edge by its own name."""
        streets: list[str] = []
        for edge in edges:
            name = self.edge_name(edge)
            if name is not None and (not streets or streets[-1] != name):
                streets.append(name)
        return streets

    def route_edges(self, nodes: Sequence[int], distance_m: float, risk: float,
                    familiarity: float) -> list[int]:
        """The document indices of the edges that a route through ``nodes``
        with these totals took, in travel order, as ``Route.edges`` gives
        them (of parallel edges, those whose sums give the totals); [] when
        some two of the nodes have no edge between them."""
        path = [int(node) for node in nodes]
        if not all(0 <= node < 2**64 for node in path):
            return []
        return self._graph.route_edges(path, distance_m, risk, familiarity)

    def segments(self, *, one_per_pair: bool = False,
                 among: npt.ArrayLike | None = None,
                 excluding: npt.ArrayLike | None = None) -> Segments:
        """The edges whose both ends are nodes of the table, in document
        order, as ``Segments``; with ``one_per_pair``, only the first edge
        between two nodes whichever its direction (a two-way street is
        drawn once). ``among``: only the edges whose both ends are among
        these node ids, read from their nodes' rows alone (a few streets
        of a large graph cost what they hold). ``excluding``: document
        indices of edges left out, as if the document had none of them (a
        request's avoided edges)."""
        if among is not None:
            return self._segments_among(among, one_per_pair, excluding)
        tails, heads = self.edges
        tail_at = self.dense(tails)
        head_at = self.dense(heads)
        kept = (tail_at >= 0) & (head_at >= 0)
        if excluding is not None:
            kept[np.asarray(excluding, dtype=np.int64)] = False
        where = np.flatnonzero(kept)
        if one_per_pair:
            where = where[_first_of_each_pair(tail_at[where], head_at[where],
                                              len(self._graph.ids))]
        return self._segments_of(where, tail_at[where], head_at[where])

    def _segments_among(self, among: npt.ArrayLike, one_per_pair: bool,
                        excluding: npt.ArrayLike | None) -> Segments:
        graph = self._graph
        dense = self.dense(np.asarray(among, dtype=np.uint64).ravel())
        dense = np.unique(dense[dense >= 0])
        begin = graph.out_begin[dense].astype(np.int64)
        counts = graph.out_begin[dense + 1].astype(np.int64) - begin
        # Every row entry of those nodes: each row's start, then counting on.
        firsts = np.cumsum(counts) - counts
        slots = np.repeat(begin - firsts, counts) + np.arange(int(counts.sum()))
        tail_at = np.repeat(dense, counts)
        head_at = graph.heads[slots].astype(np.int64)
        keep = np.zeros(len(slots), dtype=bool)
        if len(dense):
            at = np.minimum(np.searchsorted(dense, head_at), len(dense) - 1)
            keep = dense[at] == head_at
        where = graph.edge_index[slots[keep]].astype(np.int64)
        order = np.argsort(where, kind="stable")  # document order
        where, tail_at, head_at = where[order], tail_at[keep][order], head_at[keep][order]
        if excluding is not None:
            left = ~np.isin(where, np.asarray(excluding, dtype=np.int64))
            where, tail_at, head_at = where[left], tail_at[left], head_at[left]
        if one_per_pair:
            first = _first_of_each_pair(tail_at, head_at, len(graph.ids))
            where, tail_at, head_at = where[first], tail_at[first], head_at[first]
        return self._segments_of(where, tail_at, head_at)

    def _segments_of(self, where: IndexArray, tail_at: IndexArray,
                     head_at: IndexArray) -> Segments:
        """The segments of the edges at document positions ``where``, whose
        ends have the dense indices ``tail_at`` and ``head_at``."""
        graph = self._graph
        names: list[str | None] = [None] * len(where)
        if graph.has_names:
            # Name number k > 0 is the table's name k - 1; 0 is no name.
            table: list[str | None] = [None, *graph.name_table()]
            names = [table[k] for k in graph.edge_names[where].tolist()]
        starts = np.column_stack((graph.lons[tail_at], graph.lats[tail_at]))
        ends = np.column_stack((graph.lons[head_at], graph.lats[head_at]))
        return Segments(graph.ids[tail_at], graph.ids[head_at], starts, ends,
                        names)


def _first_of_each_pair(tails: IndexArray, heads: IndexArray,
                        count: int) -> IndexArray:
    """The positions, ascending, of the first edge between each two nodes
    whatever its direction, for edges given by dense indices below
    ``count``. Each unordered pair is one integer, so that finding the
    first of each is a sort of integers (a stable one: the first keeps its
    place), not a sort of rows, which is many times slower."""
    low = np.minimum(tails, heads).astype(np.uint64)
    high = np.maximum(tails, heads).astype(np.uint64)
    first: IndexArray = np.unique(low * np.uint64(count) + high,
                                  return_index=True)[1]
    first.sort()
    return first
