"""Risk layers from observed incidents: count the incidents along each street,
then turn the counts into a risk per edge::

    counts = norvel.risk.incident_counts(router, incidents, hours=(20, 6))
    night = norvel.risk.layer_from_counts(router, counts)
    router.add_risk("incidents_night", night)

``incidents`` is a pandas DataFrame with ``lat`` and ``lon`` columns
(degrees), or a GeoDataFrame of points; a ``datetime`` column (local time)
lets ``hours`` keep the incidents of part of the day.

**Streets.** A street segment is the straight line between the two end
nodes of an edge; the edges between the same two nodes, whichever their
direction, are one street, and each of them gets the street's whole count.
A street is numbered by the first of its edges in the document.

**Distances** are measured in metres on a plane: equirectangular, about
the mean latitude and longitude of the graph's nodes (x = R·Δlon·cos(lat0),
y = R·Δlat, with the earth's mean radius R). Across a city that is true to
well under 1 %: at 60° north a street 10 km north or south of the mean
latitude has its east-west lengths off by 0.3 %.

**The model** of ``layer_from_counts`` (one value per edge)::

    rate(s) = 1000 · Σ count(t) / max(Σ length(t), 2 · bandwidth_m)
    risk(e) = base(e) + per_km · rate(s) · length(e) / 1000 / exposure(e)

where ``s`` is the edge's street and both sums run over the streets ``t``
that come within ``bandwidth_m`` of ``s`` (``s`` included): ``rate`` is
incidents per km of street around the edge, so that one incident on a short
segment marks its neighbourhood a little rather than that segment a lot,
and a lone short street counts at least ``2 · bandwidth_m`` of street.
``per_km`` is the risk one kilometre walked gains for each incident per km
of street: 0.05 by default, so that ten incidents per km weigh as much as
an unlit street does under ``norvel.osm.rules`` (0.5 per km). ``exposure``
is relative: each edge's value divided by the mean over the edges.

Needs shapely (``pip install 'norvel_core[geopandas]'``).
"""

from __future__ import annotations

import math
import sys
import threading
import warnings
import weakref
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import numpy.typing as npt

from norvel import _values
from norvel._earth import LocalPlane
from norvel._extras import require
from norvel.table import FloatArray, IdArray, IdRows, in_document_order

if TYPE_CHECKING:
    import shapely

    from norvel._values import Place
    from norvel.catchment import Catchment
    from norvel.router import Router

__all__ = ["DEFAULT_BANDWIDTH_M", "DEFAULT_MAX_M", "DEFAULT_PER_KM",
           "IncidentsLeftOut", "incident_counts", "layer_from_counts"]

#: How far, in metres, an incident may lie from the street it is counted on.
DEFAULT_MAX_M = 25.0
#: Risk per km walked added for each incident per km of street.
DEFAULT_PER_KM = 0.05
#: The streets within this many metres of a street share its incident rate.
DEFAULT_BANDWIDTH_M = 100.0

# The layer every graph has: its document's risk_score.


class IncidentsLeftOut(UserWarning):
    """Some incidents lay farther than ``max_m`` from every street, or had
    no time within the hours asked for, and were not counted: ``left_out``
    is how many."""

    def __init__(self, message: str, left_out: int) -> None:
        super().__init__(message)
        self.left_out = left_out


class _Edges(NamedTuple):
    """The edges in document order: ends (ids), length (metres) and one risk
    layer."""

    tails: IdArray
    heads: IdArray
    lengths: FloatArray
    risk: FloatArray


def _edges(router: Router, layer: str = _values.DEFAULT_RISK) -> _Edges:
    """The router's edges with the risk layer ``layer``: the one place this
    module reads edges from a router. ValueError for a layer the router
    does not hold, listing those it does."""
    session = router.session
    risks = session.layer_risks(_values.risk(layer, router.risk_layers))
    graph = session.engine
    tails, heads = router.table.edges
    return _Edges(tails, heads, in_document_order(graph, graph.lengths), risks)


@dataclass(frozen=True)
class _Streets:
    """A router's streets: ``of_edge`` (each edge's street, -1 for an edge
    whose ends have no coordinates), ``first`` (each street's first edge,
    ascending), ``ends`` ((n, 2, 2): each street's two ends, (x, y) in the
    plane's metres), ``lines`` (shapely LineStrings of them), ``tree`` (an
    STRtree of the lines) and ``plane``."""

    of_edge: npt.NDArray[np.int64]
    first: npt.NDArray[np.int64]
    ends: FloatArray
    lines: npt.NDArray[np.object_]
    tree: shapely.STRtree
    plane: LocalPlane


# A router never changes: its streets are found once, and go with it.
_STREETS: weakref.WeakKeyDictionary[Router, _Streets] = weakref.WeakKeyDictionary()
_STREETS_LOCK = threading.Lock()


def _streets(router: Router) -> _Streets:
    with _STREETS_LOCK:
        found = _STREETS.get(router)
        if found is None:
            found = _STREETS[router] = _find_streets(router)
        return found


def _find_streets(router: Router) -> _Streets:
    import shapely

    table = router.table
    edges = _edges(router)
    ids, lats, lons = table.ids, table.lats, table.lons
    plane = LocalPlane((float(lats.mean()), float(lons.mean())) if len(ids)
                        else (0.0, 0.0))
    of_edge = np.full(len(edges.tails), -1, dtype=np.int64)
    rows = IdRows(ids)
    tail_at, head_at = rows.rows(edges.tails), rows.rows(edges.heads)
    placed = np.flatnonzero((tail_at >= 0) & (head_at >= 0))
    low = np.minimum(tail_at[placed], head_at[placed]).astype(np.int64)
    high = np.maximum(tail_at[placed], head_at[placed]).astype(np.int64)
    # One integer per unordered pair of table positions; np.unique's first
    # positions are the streets' first edges, and sorted they number the
    # streets in the document's order of edges.
    _, first_at, street = np.unique(low * len(ids) + high, return_index=True,
                                    return_inverse=True)
    order = np.argsort(first_at, kind="stable")
    number = np.empty_like(order)
    number[order] = np.arange(len(order))
    of_edge[placed] = number[street]
    first = placed[first_at[order]]
    ends = np.stack((np.column_stack((lons[tail_at[first]], lats[tail_at[first]])),
                     np.column_stack((lons[head_at[first]], lats[head_at[first]]))),
                    axis=1)
    metres = plane.to_metres(ends)
    lines = np.asarray(shapely.linestrings(metres), dtype=object)
    return _Streets(of_edge, first, metres, lines, shapely.STRtree(lines), plane)


def incident_counts(router: Router, incidents: Any, *,
                    max_m: float = DEFAULT_MAX_M,
                    weight: str | npt.ArrayLike | None = None,
                    hours: tuple[float, float] | None = None
                    ) -> FloatArray:
    """The (weighted) number of incidents on each edge's street, one value
    per edge in document order (a new float64 array).

    ``incidents``: a DataFrame with ``lat`` and ``lon`` columns in degrees,
    or a GeoDataFrame of points (in any CRS: it is read in EPSG:4326).
    Each incident is counted on the street segment nearest to it (see the
    module), if one lies within ``max_m`` metres; of equally near segments,
    as at a crossing, on the one whose first edge comes first. Both
    directions of a street get the street's whole count.

    ``weight``: None (each incident counts 1), the name of a column, or one
    value per incident; finite and at least 0. ``hours``: (start, end) in
    hours of the day, to count only the incidents whose ``datetime``
    (local time: a datetime column, or texts pandas reads as times) is at
    least ``start`` and before ``end``; ``(20, 6)`` wraps round midnight,
    from 20:00 to 05:59:59. Incidents with no datetime are left out then.

    An ``IncidentsLeftOut`` warning (a UserWarning) gives the number of
    incidents left out, when there are any. ValueError for a max_m below 0
    or NaN, coordinates or weights that are not finite, a geometry that is
    not a point, hours outside [0, 24] or equal, or a missing column."""
    require("norvel.risk.incident_counts", "geopandas", "shapely")
    import shapely

    limit = _at_least_zero(max_m, "max_m")
    lats, lons = _incident_positions(incidents)
    weights = _incident_weights(incidents, weight, len(lats))
    kept = np.ones(len(lats), dtype=bool)
    if hours is not None:
        kept = _within_hours(incidents, hours)
    streets = _streets(router)
    counts = np.zeros(len(streets.first), dtype=np.float64)
    chosen = np.flatnonzero(kept)
    points = shapely.points(streets.plane.to_metres(
        np.column_stack((lons[chosen], lats[chosen]))))
    found, _ = streets.tree.query_nearest(points, max_distance=limit,
                                          return_distance=True,
                                          all_matches=True)
    # All the equally near streets of an incident are found: it goes to
    # the first of them.
    nearest = np.full(len(chosen), len(streets.first), dtype=np.int64)
    np.minimum.at(nearest, found[0], found[1])
    hit = nearest < len(streets.first)
    np.add.at(counts, nearest[hit], weights[chosen[hit]])
    outside_hours = len(lats) - len(chosen)
    too_far = len(chosen) - int(hit.sum())
    if outside_hours or too_far:
        why = ([f"{too_far} lay farther than {limit:g} m from every street"]
               if too_far else [])
        if hours is not None and outside_hours:
            why.append(f"{outside_hours} had no time within the hours "
                       f"{hours[0]:g} to {hours[1]:g}")
        left_out = outside_hours + too_far
        warnings.warn(IncidentsLeftOut(
            f"{left_out} of {len(lats)} incidents were left out: "
            + " and ".join(why), left_out), stacklevel=2)
    per_edge = np.zeros(len(streets.of_edge), dtype=np.float64)
    placed = streets.of_edge >= 0
    per_edge[placed] = counts[streets.of_edge[placed]]
    return per_edge


def layer_from_counts(router: Router, counts: npt.ArrayLike, *,
                      per_km: float = DEFAULT_PER_KM,
                      bandwidth_m: float = DEFAULT_BANDWIDTH_M,
                      base: str = _values.DEFAULT_RISK,
                      exposure: npt.ArrayLike | None = None) -> FloatArray:
    """A risk layer (one value per edge, in document order, finite and at
    least 0) of the layer ``base`` ("default": the document's risk_score)
    plus the incident risk the module describes.

    ``counts``: one value per edge, finite and at least 0, as
    ``incident_counts`` gives them; a street takes the largest count of
    its edges. ``per_km``: the risk per km walked for each incident per km
    of street (at least 0). ``bandwidth_m``: how near a street must come
    to share an edge's rate (above 0). ``exposure``: None, or one value per
    edge above 0 (pedestrians, say) that divides the rate relative to its
    mean: where more people walk, each of them meets a smaller share of
    the incidents.

    An edge with no counted street within ``bandwidth_m`` keeps its base
    risk exactly, and more incidents never lower a risk. ValueError for
    values outside those ranges, counts or exposure of the wrong length,
    an unknown layer, a negative or non-finite length or base risk, or a
    risk too large to be finite."""
    require("norvel.risk.layer_from_counts", "geopandas", "shapely")
    edges = _edges(router, base)
    weight = _at_least_zero(per_km, "per_km")
    width = _at_least_zero(bandwidth_m, "bandwidth_m")
    if not width > 0.0:
        raise ValueError(f"bandwidth_m must be above 0, got {bandwidth_m!r}")
    given = _per_edge(counts, "counts", len(edges.lengths))
    if (given < 0.0).any():
        raise ValueError("counts must be at least 0")
    for values, name in ((edges.lengths, "length"), (edges.risk, "risk")):
        if not (np.isfinite(values) & (values >= 0.0)).all():
            raise ValueError(f"the graph has an edge whose {name} is negative "
                             f"or not finite")
    relative = np.ones(len(edges.lengths))
    if exposure is not None:
        relative = _per_edge(exposure, "exposure", len(edges.lengths))
        if not (relative > 0.0).all():
            raise ValueError("exposure must be above 0")
        relative = relative / relative.mean()
    streets = _streets(router)
    rate = _rates(streets, given, edges.lengths, width)
    risk = edges.risk.copy()
    touched = np.flatnonzero((streets.of_edge >= 0) & (weight > 0.0))
    touched = touched[rate[streets.of_edge[touched]] > 0.0]
    added = (weight * rate[streets.of_edge[touched]]
             * (edges.lengths[touched] / 1000.0) / relative[touched])
    risk[touched] = edges.risk[touched] + added
    if not np.isfinite(risk).all():
        raise ValueError("per_km is so large that a risk is not finite")
    return risk


def _rates(streets: _Streets, counts: FloatArray, lengths: FloatArray,
           width: float) -> FloatArray:
    """Incidents per km of street around each street: the rate of the
    module's model, 0 where no counted street lies within ``width``."""
    count = np.zeros(len(streets.first), dtype=np.float64)
    placed = streets.of_edge >= 0
    np.maximum.at(count, streets.of_edge[placed], counts[placed])
    rate = np.zeros(len(streets.first), dtype=np.float64)
    counted = np.flatnonzero(count > 0.0)
    if not len(counted):
        return rate
    # Only the streets near a counted one have a rate: the counted streets'
    # neighbours give the incidents of each, and the neighbours of those
    # alone their lengths.
    source, street = _within(streets, counted, width)
    near, first = np.unique(street, return_index=True)
    incidents = np.add.reduceat(count[counted[source]], first)
    at, other = _within(streets, near, width)
    street_m = np.bincount(at, weights=lengths[streets.first[other]],
                           minlength=len(near))
    rate[near] = 1000.0 * incidents / np.maximum(street_m, 2.0 * width)
    return rate


def _within(streets: _Streets, among: npt.NDArray[np.int64], width: float
            ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """(position in ``among``, street) of each street within ``width``
    metres of a street of ``among``, sorted by street, then by position:
    a sum over a street's neighbours in that order can only grow when a
    term grows or is added."""
    import shapely

    # The tree gives the streets whose boxes come within the width of each
    # box, and numpy measures those pairs: in a city centre of short
    # segments a street has a few hundred neighbours within 100 m (1.4
    # million pairs on the sample), and GEOS's own dwithin, one pair at a
    # time, takes 1.7 times as long for the same layer (bench/incidents.py).
    ends = streets.ends[among]
    low = ends.min(axis=1) - width
    high = ends.max(axis=1) + width
    pairs = streets.tree.query(shapely.box(low[:, 0], low[:, 1], high[:, 0],
                                           high[:, 1]))
    at, other = pairs[0].astype(np.int64), pairs[1].astype(np.int64)
    near = _segment_distances(streets.ends, among[at], other) <= width
    at, other = at[near], other[near]
    order = np.lexsort((at, other))
    return at[order], other[order]


def _segment_distances(ends: FloatArray, a: npt.NDArray[np.int64],
                       b: npt.NDArray[np.int64]) -> FloatArray:
    """The distance between the segments ``ends[a[i]]`` and ``ends[b[i]]``
    (``ends``: (n, 2, 2), two (x, y) ends each): 0 where they cross, else
    the least distance from an end of one to the other."""
    ax0, ay0, ax1, ay1 = (np.ascontiguousarray(ends[a, i, j])
                          for i in (0, 1) for j in (0, 1))
    bx0, by0, bx1, by1 = (np.ascontiguousarray(ends[b, i, j])
                          for i in (0, 1) for j in (0, 1))
    adx, ady, bdx, bdy = ax1 - ax0, ay1 - ay0, bx1 - bx0, by1 - by0

    def side(dx: FloatArray, dy: FloatArray, x0: FloatArray, y0: FloatArray,
             x: FloatArray, y: FloatArray) -> FloatArray:
        turn: FloatArray = dx * (y - y0) - dy * (x - x0)
        return turn

    crossing = ((side(adx, ady, ax0, ay0, bx0, by0)
                 * side(adx, ady, ax0, ay0, bx1, by1) < 0.0)
                & (side(bdx, bdy, bx0, by0, ax0, ay0)
                   * side(bdx, bdy, bx0, by0, ax1, ay1) < 0.0))
    least = np.minimum(
        np.minimum(_to_segment(ax0, ay0, bx0, by0, bdx, bdy),
                   _to_segment(ax1, ay1, bx0, by0, bdx, bdy)),
        np.minimum(_to_segment(bx0, by0, ax0, ay0, adx, ady),
                   _to_segment(bx1, by1, ax0, ay0, adx, ady)))
    least[crossing] = 0.0
    return least


def _to_segment(x: FloatArray, y: FloatArray, x0: FloatArray, y0: FloatArray,
                dx: FloatArray, dy: FloatArray) -> FloatArray:
    """The distance from each point (x, y) to the segment from (x0, y0)
    to (x0 + dx, y0 + dy) (a point where both are 0)."""
    squared = dx * dx + dy * dy
    ox, oy = x - x0, y - y0
    share = np.clip((ox * dx + oy * dy) / np.where(squared > 0.0, squared, 1.0),
                    0.0, 1.0)
    result: FloatArray = np.hypot(ox - share * dx, oy - share * dy)
    return result


def _at_least_zero(value: object, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.number)):
        raise TypeError(f"{name} must be a real number, got "
                        f"{type(value).__name__}")
    number = float(value)
    if not (number >= 0.0 and math.isfinite(number)):
        raise ValueError(f"{name} must be a finite number >= 0, got {value!r}")
    return number


def _per_edge(values: npt.ArrayLike, name: str, edges: int) -> FloatArray:
    array = np.asarray(values, dtype=np.float64)
    if array.shape != (edges,):
        raise ValueError(f"{name} must hold one value per edge ({edges}), "
                         f"got shape {array.shape}")
    if not np.isfinite(array).all():
        raise ValueError(f"{name} must be finite")
    return array


def _incident_positions(incidents: Any) -> tuple[FloatArray, FloatArray]:
    """(lats, lons) of the incidents, in degrees."""
    geopandas = sys.modules.get("geopandas")
    if geopandas is not None and isinstance(incidents, geopandas.GeoDataFrame):
        points = incidents.geometry
        if points.crs is not None and not points.crs.equals("EPSG:4326"):
            points = points.to_crs("EPSG:4326")
        kinds = set(points.geom_type.dropna().unique().tolist())
        if kinds - {"Point"} or points.isna().any():
            raise ValueError("the incidents' geometries must all be points, got "
                             + ", ".join(sorted(map(str, kinds - {"Point"}))
                                         or ["a missing one"]))
        lats = np.asarray(points.y, dtype=np.float64)
        lons = np.asarray(points.x, dtype=np.float64)
    else:
        lats = np.asarray(_column(incidents, "lat"), dtype=np.float64)
        lons = np.asarray(_column(incidents, "lon"), dtype=np.float64)
    bad = ~(np.isfinite(lats) & np.isfinite(lons) & (np.abs(lats) <= 90.0)
            & (np.abs(lons) <= 180.0))
    if bad.any():
        row = int(np.argmax(bad))
        raise ValueError(f"incident {row} has no valid position: lat "
                         f"{lats[row]!r}, lon {lons[row]!r}")
    return lats, lons


def _column(incidents: Any, name: str) -> Any:
    try:
        return incidents[name]
    except (KeyError, IndexError, TypeError):
        raise ValueError(f"the incidents have no {name!r} column") from None


def _incident_weights(incidents: Any, weight: str | npt.ArrayLike | None,
                      count: int) -> FloatArray:
    if weight is None:
        return np.ones(count, dtype=np.float64)
    given = _column(incidents, weight) if isinstance(weight, str) else weight
    array = np.asarray(given, dtype=np.float64)
    if array.shape != (count,):
        raise ValueError(f"weight must hold one value per incident ({count}), "
                         f"got shape {array.shape}")
    if not (np.isfinite(array) & (array >= 0.0)).all():
        raise ValueError("weights must be finite and at least 0")
    return array


def _within_hours(incidents: Any, hours: Sequence[float]
                  ) -> npt.NDArray[np.bool_]:
    """Whether each incident's ``datetime`` falls within ``hours``."""
    import pandas

    if len(hours) != 2:
        raise ValueError(f"hours must be (start, end), got {hours!r}")
    start, end = (_at_least_zero(hour, "hours") for hour in hours)
    if start > 24.0 or end > 24.0 or start == end:
        raise ValueError(f"hours must be two different hours within [0, 24], "
                         f"got {tuple(hours)!r}")
    given = _column(incidents, "datetime")
    times = pandas.to_datetime(given if isinstance(given, pandas.Series)
                               else pandas.Series(given))
    hour = (times.dt.hour + times.dt.minute / 60.0 + times.dt.second / 3600.0
            + times.dt.microsecond / 3.6e9).to_numpy(dtype=np.float64,
                                                    na_value=np.nan)
    if start < end:
        return (hour >= start) & (hour < end)
    return (hour >= start) | (hour < end)
