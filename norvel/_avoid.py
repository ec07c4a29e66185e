"""What a request's ``avoid=`` names, resolved into the document indices of
the edges it must not take: the one resolver every interface reaches.

A request may avoid

- edges by their document index (``Router.edges()`` rows), as integers;
- a boolean mask with one value per edge, in document order;
- a shapely geometry, or a GeoJSON geometry mapping (Polygon or
  MultiPolygon), in (lon, lat) order: every edge whose straight segment
  between its two nodes intersects it. The test is made in the plane of
  plain (lon, lat) degrees, as GeoJSON's coordinates read, not on the
  sphere;
- a list or tuple combining any of these.

The engine answers as on the document without those edges.
"""

from __future__ import annotations

import threading
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from norvel import _extras

if TYPE_CHECKING:
    from norvel._engine import Graph

#: The resolved edges: document indices, each an edge of the graph. Sorted
#: and distinct where they were gathered (a mask, geometries, several
#: parts); as given, in any order, where they came as one list or array of
#: integers (the engine takes them so, and sorting them would cost a short
#: route a few per cent).
EdgeIndices = npt.NDArray[np.uint32]

_POLYGONS = ("Polygon", "MultiPolygon")
_COORDINATES = {"Polygon": "a list of rings, each of at least 4 [lon, lat] positions",
                "MultiPolygon": "a list of Polygons' coordinates"}


class EdgeSegments:
    """The straight segment of every edge of one graph, (lon, lat), and
    the shapely STRtree over them, built the first time a geometry is
    resolved and kept for the graph's life."""

    def __init__(self, graph: Graph) -> None:
        """``graph``: the engine's graph (its rows and coordinates)."""
        self.graph = graph
        self._tree: Any = None
        self._lock = threading.Lock()

    def tree(self) -> Any:
        """The STRtree, whose item i is the segment of edge i."""
        tree = self._tree
        if tree is None:
            with self._lock:
                if self._tree is None:
                    self._tree = _build_tree(self.graph)
                tree = self._tree
        return tree


def _build_tree(graph: Graph) -> Any:
    _extras.require("avoid= with a geometry", "geopandas", "shapely")
    import shapely

    begin = np.asarray(graph.out_begin, dtype=np.int64)
    tails = np.repeat(np.arange(begin.size - 1), np.diff(begin))
    heads = np.asarray(graph.heads, dtype=np.int64)
    rows_of = np.empty(heads.size, dtype=np.int64)
    rows_of[np.asarray(graph.edge_index, dtype=np.int64)] = np.arange(heads.size)
    lons = np.asarray(graph.lons)
    lats = np.asarray(graph.lats)
    ends = np.empty((heads.size, 2, 2))
    ends[:, 0, 0] = lons[tails[rows_of]]
    ends[:, 0, 1] = lats[tails[rows_of]]
    ends[:, 1, 0] = lons[heads[rows_of]]
    ends[:, 1, 1] = lats[heads[rows_of]]
    lines: Any = shapely.linestrings(ends)
    return shapely.STRtree(lines)


def resolve(value: object, segments: EdgeSegments) -> EdgeIndices | None:
    """The document indices of the edges ``value`` names (``EdgeIndices``;
    None names none; see the module), on the graph of ``segments``.
    TypeError for a value of another kind, ValueError for an index that is
    no edge, a mask of another length, or a mapping that is no Polygon or
    MultiPolygon."""
    if value is None:
        return None
    # Indices or a mask in one array (a tag filter's mask, a list of ints)
    # are most requests' avoid: read at once, without a pass in Python.
    # The engine reads a list of ints that are all edges on its own, as it
    # reads an array; anything else comes here the long way round.
    if isinstance(value, (list, tuple)):
        listed = segments.graph.listed_edges(value)
        if listed is not None:
            return listed
    edge_count = int(segments.graph.edge_count)
    items = _one_array(value)
    if items is not None:
        if _all_edges(items, edge_count):
            # A copy: the caller may fill its array again, and a catchment
            # keeps what it avoided for its routes and streets.
            return np.array(items, dtype=np.uint32)
        found = (_mask(items, edge_count) if items.dtype == np.bool_
                 else _indices(items, edge_count))
        return np.unique(found).astype(np.uint32)
    parts: list[npt.NDArray[np.int64]] = []
    _collect(value, edge_count, segments, parts, top=True)
    if not parts:
        return np.empty(0, dtype=np.uint32)
    return np.unique(np.concatenate(parts)).astype(np.uint32)


def _one_array(value: object) -> npt.NDArray[Any] | None:
    """``value`` as one array of indices or a mask, when it is one: an
    array, or a list or tuple of integers (or of booleans); None for
    anything else."""
    if isinstance(value, np.ndarray):
        return value if value.ndim == 1 and value.dtype.kind in "biu" else None
    if not isinstance(value, (list, tuple)) or _is_geometry(value):
        return None
    try:
        items = np.asarray(value)
    except ValueError:  # a list of unlike parts
        return None
    return items if items.ndim == 1 and items.dtype.kind in "biu" else None


def _collect(value: object, edge_count: int, segments: EdgeSegments,
             parts: list[npt.NDArray[np.int64]], *, top: bool) -> None:
    if _is_geometry(value):
        parts.append(_intersecting(value, segments))
        return
    if isinstance(value, (int, np.integer)) and not isinstance(
            value, (bool, np.bool_)):
        parts.append(_indices(np.array([value]), edge_count))
        return
    if isinstance(value, np.ndarray) or (
            isinstance(value, Sequence) and not isinstance(value, (str, bytes))):
        items = np.asarray(value) if _plain(value) else None
        if items is not None and items.ndim == 1:
            if items.dtype == np.bool_:
                parts.append(_mask(items, edge_count))
                return
            if items.size == 0 or np.issubdtype(items.dtype, np.integer):
                parts.append(_indices(items, edge_count))
                return
        if top and not isinstance(value, np.ndarray):
            for item in value:
                _collect(item, edge_count, segments, parts, top=False)
            return
    raise TypeError(
        "avoid must be edge indices, a boolean mask with one value per "
        "edge, a shapely geometry or GeoJSON Polygon/MultiPolygon mapping "
        f"in (lon, lat), or a list of these; got {value!r:.80}")


def _all_edges(items: npt.NDArray[Any], edge_count: int) -> bool:
    """Whether ``items`` are indices, all of them edges: the engine takes
    them as they are. Unsigned 32 bits leave one bound to test."""
    if items.dtype.kind not in "iu" or not items.size:
        return False
    if items.dtype != np.uint32 and int(items.min()) < 0:
        return False
    return int(items.max()) < edge_count


def _plain(value: object) -> bool:
    """Whether ``value`` is an array, or a sequence of numbers alone."""
    if isinstance(value, np.ndarray):
        return True
    return all(isinstance(item, (int, np.integer, np.bool_))
               for item in value)  # type: ignore[attr-defined]


def _indices(items: npt.NDArray[Any], edge_count: int
             ) -> npt.NDArray[np.int64]:
    indices = items.astype(np.int64)
    if not indices.size or (indices.min() >= 0 and indices.max() < edge_count):
        return indices
    outside = (indices < 0) | (indices >= edge_count)
    if outside.any():
        raise ValueError(f"avoid: edge index {items[outside][0]} is not an "
                         f"edge of the graph (0 to {edge_count - 1})")
    return indices


def _mask(mask: npt.NDArray[np.bool_], edge_count: int
          ) -> npt.NDArray[np.int64]:
    if mask.size != edge_count:
        raise ValueError(f"avoid: a mask needs one value per edge "
                         f"({edge_count}), got {mask.size}")
    return np.flatnonzero(mask)


def _is_geometry(value: object) -> bool:
    if isinstance(value, Mapping):
        return "type" in value
    return hasattr(value, "geom_type") and hasattr(value, "__geo_interface__")


def _intersecting(value: object, segments: EdgeSegments
                  ) -> npt.NDArray[np.int64]:
    tree = segments.tree()
    import shapely.errors
    import shapely.geometry

    if isinstance(value, Mapping):
        if value.get("type") not in _POLYGONS:
            raise ValueError("avoid: a GeoJSON geometry must be a Polygon or "
                             f"MultiPolygon, got {value.get('type')!r:.40}")
        mapping = dict(value)
        try:
            value = shapely.geometry.shape(mapping)
        except (KeyError, IndexError, TypeError, ValueError,
                shapely.errors.ShapelyError):
            # shapely's own words name its internals ("inhomogeneous
            # shape", "'int' object is not iterable"), not the request.
            raise ValueError(
                f"avoid: a GeoJSON {mapping['type']}'s coordinates must be "
                f"{_COORDINATES[mapping['type']]}, got "
                f"{mapping.get('coordinates')!r:.60}") from None
    found = tree.query(value, predicate="intersects")
    return np.asarray(found, dtype=np.int64)
