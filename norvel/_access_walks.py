"""The walks of ``norvel.access``: the origins and places snapped as a
request's points are, the fronts of the origins' nodes over every place
from one catchment of them all, and the columns they give the origins."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from norvel._values import WALKING_SPEED_M_PER_MIN, detour_m
from norvel.table import FloatArray, IdArray, IdRows

if TYPE_CHECKING:
    import pandas

    from norvel._session import Session

PlaceArray = npt.NDArray[np.int64]


def within_name(minutes: float) -> str:
    """The column of the least risk within a cutoff: ``within_risk_15``
    for 15 minutes."""
    return f"within_risk_{cutoff_name(minutes)}"


def cutoff_name(minutes: float) -> str:
    """15.0 as "15", 7.5 as "7.5"; a cutoff that %g would round, in full."""
    short = f"{minutes:g}"
    return short if float(short) == minutes else repr(minutes)


def snap(session: Session, lat: FloatArray, lon: FloatArray,
         max_snap_m: float, avoid: npt.NDArray[np.uint32] | None = None
         ) -> tuple[IdArray, FloatArray]:
    """Each point's node and its distance in metres, as a request's point
    snaps (avoiding the edges ``avoid`` names); NaN distance (node 0) for a
    point without a location or farther than ``max_snap_m``."""
    located = ~(np.isnan(lat) | np.isnan(lon))
    nodes = np.zeros(len(lat), dtype=np.uint64)
    metres = np.full(len(lat), np.nan)
    if located.any():
        ids, distances = session.nearest_points(lat[located], lon[located],
                                                avoid)
        near = distances <= max_snap_m
        where = np.flatnonzero(located)[near]
        nodes[where] = ids[near]
        metres[where] = distances[near]
    return nodes, metres


def with_snaps(table: pandas.DataFrame, nodes: IdArray,
                metres: FloatArray) -> pandas.DataFrame:
    import pandas

    snapped = ~np.isnan(metres)
    out = table.copy()
    out["node"] = pandas.array(np.where(snapped, nodes, 0), dtype="UInt64")
    out.loc[~snapped, "node"] = pandas.NA
    out["snap_m"] = metres
    out["snapped"] = snapped
    return out


def origin_table(origins: pandas.DataFrame, nodes: IdArray,
                  metres: FloatArray, snapped: npt.NDArray[np.intp],
                  fronts: Fronts, place_rows: npt.NDArray[np.intp],
                  cutoffs: tuple[float, ...]) -> pandas.DataFrame:
    """The origins with the columns of access."""
    import pandas

    count = len(origins)
    out = with_snaps(origins, nodes, metres)

    def spread(values: FloatArray) -> FloatArray:
        full = np.full(count, np.nan)
        full[snapped] = values
        return full

    def place_column(indices: PlaceArray) -> pandas.arrays.IntegerArray:
        rows = np.full(count, -1, dtype=np.int64)
        rows[snapped] = np.where(indices >= 0,
                                 place_rows[np.maximum(indices, 0)], -1)
        column = pandas.array(rows, dtype="Int64")
        column[rows < 0] = pandas.NA
        return column

    nearest_m = spread(fronts.shortest_m)
    safest_m = spread(fronts.safest_m)
    out["nearest_place"] = place_column(fronts.shortest_place)
    out["nearest_m"] = nearest_m
    out["nearest_minutes"] = nearest_m / WALKING_SPEED_M_PER_MIN
    out["nearest_risk"] = spread(fronts.shortest_risk)
    out["safest_place"] = place_column(fronts.safest_place)
    out["safest_m"] = safest_m
    out["safest_minutes"] = safest_m / WALKING_SPEED_M_PER_MIN
    out["safest_risk"] = spread(fronts.safest_risk)
    out["detour_m"] = detour_m(nearest_m, safest_m)
    for at, cutoff in enumerate(cutoffs):
        out[within_name(cutoff)] = spread(fronts.within_risk[:, at])
    if fronts.detour is not None:
        out["within_detour_place"] = place_column(fronts.detour.place)
        out["within_detour_m"] = spread(fronts.detour.distance_m)
        out["within_detour_risk"] = spread(fronts.detour.risk)
    return out


@dataclass(frozen=True)
class Walks:
    """One walk per asked node: its metres, risk and place (the position
    in the places asked), NaN and -1 where there is none."""

    distance_m: FloatArray
    risk: FloatArray
    place: PlaceArray


@dataclass(frozen=True)
class Fronts:
    """Per asked node, in the order asked, from its front (the Pareto front
    of its walks to every place): the shortest point (ties: less risk) and
    the least risky (ties: shorter), each as metres, risk and the place's
    position in the places asked (ties between places: the lower), NaN
    and -1 where no place can be reached; and per cutoff (columns, in the
    cutoffs' order) the risk of the least risky point within it, NaN where
    no walk is; with a detour budget, the least risky point within it
    (``detour``, else None)."""

    shortest_m: FloatArray
    shortest_risk: FloatArray
    shortest_place: PlaceArray
    safest_m: FloatArray
    safest_risk: FloatArray
    safest_place: PlaceArray
    within_risk: FloatArray
    detour: Walks | None = None


def place_fronts(session: Session, nodes: IdArray, places: IdArray,
                  cutoffs: tuple[float, ...], direction: str,
                  risk: str, avoid: npt.NDArray[np.uint32] | None = None,
                 max_detour: float | None = None,
                 max_minutes: float | None = None) -> Fronts:
    """The ``Fronts`` of the walks between each of ``nodes`` and any of
    ``places`` (node ids, repeats allowed), to the places (``direction``
    "to") or from them ("from"), on the risk layer ``risk``; a point is
    within a cutoff when its distance_m / 66.67 is at most the cutoff's
    minutes.

    One catchment of every place at once, of the asked nodes alone (its
    search labels no more than their fronts need), answers it all: its
    shortest route is the front's shortest point, and its least risky
    walk within a cutoff is the least risky point of the front that fits,
    so that within no cutoff at all it is the front's least risky point
    (the catchment's safest route is not: where parallel edges differ,
    the request leaves out a safest route whose nodes repeat the
    shortest's). Totals are summed in travel order, as the routes' are.
    With ``max_detour``, its least risky walk within the detour budget is
    the least risky point of the front at most 1 + max_detour times as
    long as the shortest point (``norvel._walks.within_detour``'s rule).

    With ``max_minutes`` (finite, >= every cutoff), a front holds only the
    walks of at most that many minutes, and the search goes no farther:
    the shortest point is as without where it fits, the least risky point
    is that of the walks within ``max_minutes``, and a node without such a
    walk has none. ValueError for a graph with a negative, infinite or NaN
    distance or risk."""
    reach = math.inf if max_minutes is None else max_minutes
    _, columns = session.catchment_columns(
        [int(place) for place in places], reach, direction,
        session.options(risk=risk, avoid=avoid), cutoffs=[*cutoffs, reach],
        only=nodes.tolist(), max_detour=max_detour,
        within_minutes=max_minutes is not None)
    # The catchment's rows go by distance: each asked node's row, found or
    # not (no place is reached from it, or it from none).
    rows = IdRows(columns["node"]).rows(nodes)
    found = rows >= 0

    def pick(values: npt.NDArray[Any], missing: float) -> FloatArray:
        picked: FloatArray = np.full((len(nodes), *values.shape[1:]), missing)
        picked[found] = values[rows[found]]
        return picked

    def places_of(column: FloatArray) -> PlaceArray:
        return pick(np.nan_to_num(column, nan=-1.0), -1).astype(np.int64)

    within_m, within_risk = columns["within_m"], columns["within_risk"]
    detour = None
    if max_detour is not None:
        detour = Walks(pick(columns["within_detour_m"], math.nan),
                       pick(columns["within_detour_risk"], math.nan),
                       places_of(columns["within_detour_place"]))
    return Fronts(pick(columns["shortest_m"], math.nan),
                   pick(columns["shortest_risk"], math.nan),
                   pick(columns["shortest_place"], -1).astype(np.int64),
                   pick(within_m[:, -1], math.nan),
                   pick(within_risk[:, -1], math.nan),
                   places_of(columns["within_place"][:, -1]),
                   pick(within_risk[:, :-1], math.nan), detour)
