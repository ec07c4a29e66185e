"""Tiles of a region's access: the origins split by where their nodes lie,
each tile with the places a walk of at most ``max_minutes`` from (or to) one
of its origins can reach, so that each tile's walks are those of the whole
region.

Why a tile loses no walk. The engine projects every node onto one plane
(graph/plane_metric.hpp: longitude times one cosine for the whole graph,
and latitude, in integer units of about 1/64 m) and measures on it an
octagonal norm whose triangle inequality holds exactly, in integers. While
it builds the graph it finds the least ratio of an edge's distance_m to the
norm between its ends (``distance_per_plane_unit``, up to a few roundings
too large). No earth model enters: the ratio is measured against the
plane's own norm, edge by edge, so a document whose lengths are shorter
than the great-circle distances (a generated grid that rounds them, a
careless export) only makes the ratio smaller and the margin wider.

A walk of at most M minutes has a forward distance D <= M x 66.67 m (x
(1 + 2^-16) for the division's rounding); the exact sum S of its edges'
distances is within 1 + 2^-20 of D (fewer than 2^32 non-negative terms).
Each edge is at least ratio x (1 - 2^-40) times the norm between its ends,
so the norms along the walk sum to at most S / (ratio (1 - 2^-40)), and by
the triangle inequality so much bounds the norm between the walk's ends.
The norm is at least 41 times the larger of |dx| and |dy|: the walk's ends
lie within a square of half side S / (41 ratio (1 - 2^-40)) units of each
other. The margin below widens that by 2^-10, far beyond these roundings
and the ones of its own arithmetic. A graph with an edge of no length
between distinct points (ratio 0) has no margin: one tile holds every
place.

A tile's places are those whose nodes lie within the margin of the tile's
box, in the order of the whole list: each tile's search breaks ties
between places by their position, as the whole region's does.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from norvel._values import WALKING_SPEED_M_PER_MIN
from norvel.table import IdArray

if TYPE_CHECKING:
    from norvel._session import Session

Positions = npt.NDArray[np.intp]
Plane = tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]

# An octagonal norm of 41 units per unit along an axis (plane_metric.hpp).
_NORM_PER_AXIS_UNIT = 41.0
_MARGIN_WIDENING = 1.0 + 2.0 ** -10
# A tile's side, in margins, at least: a tile searches its own box and a
# margin all round it, at most 2.25 times its box for a side of 4 margins
# (a large region's tiles are far wider: about two a worker).
_LEAST_SIDE_IN_MARGINS = 4.0


@dataclass(frozen=True)
class Tile:
    """One tile: its origins and its places, as positions in the lists
    tiled (the places ascending)."""

    origins: Positions
    places: Positions


def plane_of(session: Session, nodes: IdArray) -> Plane:
    """The nodes' (x, y) on the engine's plane, as int64."""
    engine = session.engine
    dense = engine.node_index(np.ascontiguousarray(nodes, dtype=np.uint64))
    return (engine.plane_x[dense].astype(np.int64),
            engine.plane_y[dense].astype(np.int64))


def margin_units(session: Session, max_minutes: float) -> float:
    """How far, in plane units along either axis, a walk of at most
    ``max_minutes`` can take (the module's docstring has the argument);
    infinite where the graph bounds no walk so."""
    ratio = session.engine.distance_per_plane_unit
    if not ratio > 0.0 or not math.isfinite(max_minutes):
        return math.inf
    reach_m = max_minutes * WALKING_SPEED_M_PER_MIN * (1.0 + 2.0 ** -16)
    return reach_m * _MARGIN_WIDENING / (_NORM_PER_AXIS_UNIT * ratio)


def tiles(origins: Plane, places: Plane, margin: float,
          count: int) -> list[Tile]:
    """The origins in square tiles of a grid over their box, about
    ``count`` of them but none narrower than ``_LEAST_SIDE_IN_MARGINS``
    margins; empty tiles left out, the others in the order of the grid's
    rows. Each tile with the places within ``margin`` of its box."""
    every_place = np.arange(len(places[0]), dtype=np.intp)
    if not len(origins[0]):
        return []
    if not math.isfinite(margin):
        return [Tile(np.arange(len(origins[0]), dtype=np.intp), every_place)]
    x, y = origins
    west, south = int(x.min()), int(y.min())
    extent = max(int(x.max()) - west, int(y.max()) - south, 1)
    side = max(extent / max(math.ceil(math.sqrt(count)), 1),
               _LEAST_SIDE_IN_MARGINS * margin, 1.0)
    columns = int(extent // side) + 1
    cell = (((y - south) // side).astype(np.int64) * columns
            + ((x - west) // side).astype(np.int64))
    order = np.argsort(cell, kind="stable")
    starts = np.flatnonzero(np.diff(cell[order], prepend=-1))
    out = []
    place_x, place_y = places
    reach = math.ceil(margin)
    for group in np.split(order, starts[1:]):
        low_x, high_x = int(x[group].min()), int(x[group].max())
        low_y, high_y = int(y[group].min()), int(y[group].max())
        near = ((place_x >= low_x - reach) & (place_x <= high_x + reach)
                & (place_y >= low_y - reach) & (place_y <= high_y + reach))
        out.append(Tile(np.sort(group).astype(np.intp),
                        every_place[near]))
    return out
