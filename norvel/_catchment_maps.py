"""A catchment on maps: its street segments, and as a GeoDataFrame of
edges, nodes or areas by time band, or on an interactive map."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, Protocol

import numpy as np
import numpy.typing as npt

from norvel._earth import LocalPlane
from norvel._extras import require
from norvel._values import WALKING_SPEED_M_PER_MIN, detour_m
from norvel.table import IdArray, NodeTable

if TYPE_CHECKING:
    import folium
    import geopandas
    import pandas

    from norvel.routes import Snap

# An area is its streets widened by this many metres on each side, with
# gaps up to twice the closing width filled: every point of it then lies
# within 45 m of a street of its band.
_AREA_WIDTH_M = 30.0
_AREA_CLOSING_M = 15.0

GeometryKind = Literal["edges", "nodes", "areas"]


class Mapped(Protocol):
    """What the maps read of a catchment (``norvel.Catchment``)."""

    minutes: float
    place: Snap

    @property
    def node_ids(self) -> IdArray: ...
    @property
    def nodes(self) -> pandas.DataFrame: ...
    @property
    def table(self) -> NodeTable: ...
    @property
    def avoided(self) -> npt.NDArray[np.uint32] | None: ...

    def __len__(self) -> int: ...
    def rows_of(self, nodes: IdArray) -> npt.NDArray[np.int64]: ...
    def columns(self) -> dict[str, npt.NDArray[Any]]: ...


@dataclass(frozen=True)
class CatchmentSegments:
    """The street segments of a catchment (one per node pair, both ends
    inside), each with the walk from its start, its ``tail``: ``tail`` and
    ``head`` (uint64 ids), ``lines`` ((n, 2, 2) (lon, lat) of tail and
    head), ``names`` (street name or None), ``minutes`` and ``risk`` (of
    the tail's shortest walk), ``detour_m`` (the tail's safest_m -
    shortest_m); with the catchment's ``max_detour``, ``within_detour_m``
    and ``within_detour_risk`` (the tail's walk within the detour budget),
    else None."""

    tail: npt.NDArray[np.uint64]
    head: npt.NDArray[np.uint64]
    lines: npt.NDArray[np.float64]
    names: list[str | None]
    minutes: npt.NDArray[np.float64]
    risk: npt.NDArray[np.float64]
    detour_m: npt.NDArray[np.float64]
    within_detour_m: npt.NDArray[np.float64] | None = None
    within_detour_risk: npt.NDArray[np.float64] | None = None

    def __len__(self) -> int:
        return len(self.tail)


def _minutes_of_rows(catchment: Mapped, rows: npt.NDArray[np.int64]
                     ) -> npt.NDArray[np.float64]:
    shortest: npt.NDArray[np.float64] = catchment.columns()["shortest_m"][rows]
    return shortest / WALKING_SPEED_M_PER_MIN


def _segments(catchment: Mapped) -> tuple[
        npt.NDArray[np.uint64], npt.NDArray[np.uint64], npt.NDArray[np.float64],
        list[str | None], npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """The street segments (one per node pair) with both ends in the
    catchment: tails, heads, (n, 2, 2) lines of (lon, lat), names, and
    the rows of their tails and heads."""
    segments = catchment.table.segments(one_per_pair=True,
                                        among=catchment.node_ids,
                                        excluding=catchment.avoided)
    tail_rows = catchment.rows_of(segments.tails)
    head_rows = catchment.rows_of(segments.heads)
    inside = np.flatnonzero((tail_rows >= 0) & (head_rows >= 0))
    lines = np.stack((segments.starts[inside], segments.ends[inside]), axis=1)
    names = [segments.names[i] for i in inside.tolist()]
    return (segments.tails[inside], segments.heads[inside], lines, names,
            tail_rows[inside], head_rows[inside])


def segments(catchment: Mapped) -> CatchmentSegments:
    """``Catchment.segments``."""
    tails, heads, lines, names, tail_rows, _ = _segments(catchment)
    columns = catchment.columns()
    detour = detour_m(columns["shortest_m"][tail_rows],
                      columns["safest_m"][tail_rows])
    detour_walk = "within_detour_m" in columns
    return CatchmentSegments(
        tail=tails, head=heads, lines=lines, names=names,
        minutes=_minutes_of_rows(catchment, tail_rows),
        risk=columns["shortest_risk"][tail_rows], detour_m=detour,
        within_detour_m=(columns["within_detour_m"][tail_rows]
                         if detour_walk else None),
        within_detour_risk=(columns["within_detour_risk"][tail_rows]
                            if detour_walk else None))


def to_geodataframe(catchment: Mapped, kind: GeometryKind = "edges",
                    bands: Sequence[float] | None = None
                    ) -> geopandas.GeoDataFrame:
    """``Catchment.to_geodataframe``."""
    require("Catchment.to_geodataframe", "geopandas", "geopandas", "shapely")
    import geopandas
    import shapely

    if kind == "edges":
        found = segments(catchment)
        data: dict[str, Any] = {
            "tail": found.tail, "head": found.head, "name": found.names,
            "minutes": found.minutes, "risk": found.risk}
        if found.within_detour_m is not None:
            data["within_detour_m"] = found.within_detour_m
            data["within_detour_risk"] = found.within_detour_risk
        return geopandas.GeoDataFrame(
            data,
            geometry=shapely.linestrings(found.lines), crs="EPSG:4326")
    if kind == "nodes":
        frame = catchment.nodes
        return geopandas.GeoDataFrame(
            frame, geometry=shapely.points(frame["lon"], frame["lat"]),
            crs="EPSG:4326")
    if kind == "areas":
        return _areas(catchment, _bands(catchment, bands))
    raise ValueError(f'kind must be "edges", "nodes" or "areas", got '
                     f"{kind!r}")


def _bands(catchment: Mapped, bands: Sequence[float] | None) -> list[float]:
    minutes = catchment.minutes
    if bands is None:
        if not math.isfinite(minutes):
            raise ValueError("a catchment without a time limit has no "
                             "default bands: give bands=")
        return [minutes / 3.0, minutes * 2.0 / 3.0, minutes]
    chosen = [float(band) for band in bands]
    for band in chosen:
        if not 0.0 < band <= minutes:
            raise ValueError(f"bands must lie in (0, {minutes:g}] "
                             f"minutes, got {band!r}")
    return chosen


def _areas(catchment: Mapped, bands: list[float]) -> geopandas.GeoDataFrame:
    import geopandas
    import shapely

    _, _, lines, _, tail_rows, head_rows = _segments(catchment)
    count = len(catchment)
    node_minutes = _minutes_of_rows(catchment, np.arange(count))
    line_minutes = np.maximum(node_minutes[tail_rows], node_minutes[head_rows])
    plane = LocalPlane(catchment.table[catchment.place.node])
    columns = catchment.columns()
    lines_m = plane.to_metres(lines)
    nodes_m = plane.to_metres(np.column_stack((columns["lon"], columns["lat"])))
    shapes = []
    counts = []
    for band in bands:
        within = node_minutes <= band
        band_lines = lines_m[line_minutes <= band]
        # Nodes of the band that no street of the band reaches.
        on_lines = np.zeros(count, dtype=bool)
        on_lines[tail_rows[line_minutes <= band]] = True
        on_lines[head_rows[line_minutes <= band]] = True
        lone = nodes_m[within & ~on_lines]
        pieces = np.concatenate((
            np.asarray(shapely.linestrings(band_lines), dtype=object),
            np.asarray(shapely.points(lone), dtype=object)))
        # Each piece widened, then merged: a hundred times faster than
        # widening the merged lines, whose crossings all get noded.
        area = shapely.union_all(shapely.buffer(pieces, _AREA_WIDTH_M))
        area = area.buffer(_AREA_CLOSING_M).buffer(-_AREA_CLOSING_M)
        shapes.append(shapely.transform(area, plane.to_degrees))
        counts.append(int(within.sum()))
    return geopandas.GeoDataFrame({"band": bands, "nodes": counts},
                                  geometry=shapes, crs="EPSG:4326")


def explore(catchment: Mapped, **kwargs: Any) -> folium.Map:
    """``Catchment.explore``."""
    require("Catchment.explore", "geopandas", "geopandas", "folium")
    import folium

    options: dict[str, Any] = {"column": "minutes", "cmap": "viridis",
                               "tooltip": ["name", "minutes", "risk"]}
    options.update(kwargs)
    shown: folium.Map = to_geodataframe(catchment, "edges").explore(**options)
    node = catchment.place.node
    lat, lon = catchment.table[node]
    folium.Marker((lat, lon), tooltip=f"node {node}").add_to(shown)
    return shown
