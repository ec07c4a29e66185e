"""Access to a set of places: who lives within a walk of one, and by how
safe a walk::

    access = norvel.access(router, homes, schools, minutes=(5, 10, 15),
                           weight="population")
    access.origins          # the homes, each with its walks to the schools
    access.summary()        # a row per cutoff: shares reachable, safely
    access.to_h3(9)         # the same by H3 cell (extra norvel_core[access])

``origins`` and ``places`` are GeoDataFrames (any CRS; a polygon or line
stands for its centroid, taken in metres in a transverse Mercator
projection centred on the table's bounding box, as UTM's but without its
zones) or DataFrames with ``lat`` and ``lon`` columns in degrees. Each is snapped to its nearest node with an
outgoing edge, at most ``max_snap_m`` away, as ``Router.route`` snaps a
point. An origin that does not snap (too far, or no location) is kept,
with ``snapped`` False and no walk; a place that does not snap is left out
of every walk.

The walks of an origin are those from its node to the node of any place
(``direction="from"``: from any place to it); their minutes are network
minutes, distance_m / 66.67 as a route's ``time_min``, from node to node.
The straight lines between a point and its node are not in them: add
``snap_m / 66.67`` (``WALKING_SPEED_M_PER_MIN``) for the origin's, and the
place's ``snap_m`` in ``access.places``, to count them.

Columns added to ``access.origins`` (NaN or <NA> where there is no walk):

``node``, ``snap_m``, ``snapped``
    The origin's node, its distance from the point in metres, and whether
    it snapped.
``nearest_place``, ``nearest_m``, ``nearest_minutes``, ``nearest_risk``
    The shortest walk to any place (ties: the less risky, then the lower
    place): the place's row number in ``places`` (0-based, for
    ``places.iloc``), and the walk's length, minutes and risk, bit for bit
    the shortest route of ``router.route`` to that place.
``safest_place``, ``safest_m``, ``safest_minutes``, ``safest_risk``, ``detour_m``
    The least risky walk to any place (ties: the shorter, then the lower
    place), which may go to another place than the nearest; ``detour_m`` =
    safest_m - nearest_m. It is the least risky point of the front, which
    ``router.route`` leaves out where parallel ways of other costs make it
    pass the same nodes as the shortest (``router.front`` has it).
``within_risk_<c>``
    For each cutoff c (``within_risk_15`` for 15 minutes): the least risk
    of any walk to any place that takes at most c minutes.
``within_detour_place``, ``within_detour_m``, ``within_detour_risk``
    With ``max_detour=X`` only: the least risky walk to any place at most
    1 + X times as long as the shortest (``distance_m <= (1.0 + X) *
    nearest_m``, evaluated as written; ties: the shorter, then the lower
    place), chosen from the origin's front as the safest walk is: the
    "within_detour" route of ``router.route(..., max_detour=X)`` where
    there is one place. X = 0 gives the nearest walk's totals, a budget
    that takes in the safest walk the safest's.

For a cutoff c, an origin is *reachable* when its shortest walk takes at
most c minutes, and *safely reachable* when its least risky walk to any
place does (then ``within_risk_<c>`` equals ``safest_risk``). It is
reachable *only by a risky walk* when it is reachable but not safely: every
walk it can make to a place within c minutes carries more risk than the
safest walk open to it. Safely reachable origins are reachable, since no
walk is shorter than the shortest.

With ``max_detour``, an origin is *safer within the detour* at c when it
is reachable and its walk within the detour is less risky than its
shortest walk (``within_detour_risk < nearest_risk``): a small detour
buys it a safer walk. The walk within the detour may itself take longer
than c minutes: it is the walk the origin would take if it accepts the
detour.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterable
from functools import cached_property
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from norvel import (_access_maps, _access_tables, _access_walks,
                    _region_access, _values, _workers)
from norvel._access_tables import output_suffix, read_table
from norvel._access_walks import within_name
from norvel._extras import require
from norvel.router import Router
from norvel.table import FloatArray

if TYPE_CHECKING:
    import folium
    from distributed import Client
    import geopandas
    import pandas

__all__ = ["Access", "access", "output_suffix", "read_table"]

DEFAULT_MINUTES = _values.DEFAULT_ACCESS_MINUTES

# What access adds to the origins, before the within_risk columns.
_ADDED = ("node", "snap_m", "snapped", "nearest_place", "nearest_m",
          "nearest_minutes", "nearest_risk", "safest_place", "safest_m",
          "safest_minutes", "safest_risk", "detour_m")
# What access adds to the origins with a detour budget.
_DETOUR_ADDED = ("within_detour_place", "within_detour_m", "within_detour_risk")
# What access adds to the places.
_PLACE_ADDED = ("node", "snap_m", "snapped")
# The classes of Access.classes, from best to worst.
CLASSES = ("safely reachable", "only by a risky walk", "not reachable",
           "not snapped")


def access(router: Router | str | os.PathLike[str],
           origins: pandas.DataFrame, places: pandas.DataFrame,
           minutes: float | Iterable[float] = DEFAULT_MINUTES, *,
           weight: str | None = None, risk: str | None = None,
           at: object = None, direction: str = "to",
           max_snap_m: float = _values.DEFAULT_MAX_SNAP_M,
           avoid: object = None, max_detour: float | None = None,
           max_minutes: float | None = None,
           client: Client | None = None, workers: int | None = None,
           progress: bool = True) -> Access:
    """The walks of every origin to the nearest of ``places`` and to the
    safest, with the least risk within each cutoff of ``minutes``, as an
    ``Access`` (its module's docstring defines every column).

    ``origins``, ``places``: GeoDataFrames (a polygon by its centroid) or
    DataFrames with ``lat`` and ``lon``. ``minutes``: one cutoff or several
    (finite, >= 0; sorted, each once). ``weight``: a column of ``origins``
    (such as population; finite, >= 0) that the summary weighs origins by;
    None weighs each origin 1. ``risk``: the risk layer to walk on
    (``router.risk_layers``; "default", the document's risk_score, unless
    told otherwise), or ``at`` a time of day whose layer (as in
    ``Router.route``; ``Access.risk`` names it). ``direction``: "to" the
    places, or "from" them.
    ``max_snap_m`` and ``avoid`` (edges and areas no walk takes, and no
    origin or place snaps to a node left without an edge out): as in
    ``Router.route``. ``max_detour`` (a number >= 0, may be inf): adds
    the walk within that detour budget and its share in the summary.

    ``max_minutes``: None, or the longest walk counted (finite, >= the
    largest cutoff): the nearest place, the safest walk and every
    ``within_risk_<c>`` are those of the walks of at most ``max_minutes``
    alone (an origin with none has no walk), as the unbounded answer
    filtered so, and the search goes no farther.

    A region: ``router`` may be the path of a graph file (a snapshot, which
    the processes of a machine share, or a document) instead of a Router.
    Then the origins are split into tiles by where they lie, each tile
    searched with the places a walk of ``max_minutes`` can reach (one tile
    without ``max_minutes``), on the workers of a Dask ``client`` (the path
    one every worker can read; each worker loads the graph once) or on
    ``workers`` local processes (default: the CPUs this process may use).
    The answer is the one ``access`` on a Router gives, bit for bit.
    ``progress``: a bar on stderr for tiles that run longer than a few
    seconds. A tile that raises runs again, twice at most, then
    ``norvel.batch.BatchError`` (its cause the tile's exception); Ctrl-C
    cancels the tiles.

    Needs pandas (``pip install 'norvel_core[batch]'``), and geopandas for
    GeoDataFrames. Raises ValueError for a table without locations, a
    weight that is missing, negative or not finite, a column of origins or
    places that access would add, no place within ``max_snap_m`` of the
    graph, a graph with a negative, infinite or NaN distance or risk;
    UnknownRiskLayerError (a ValueError) for a risk layer the graph does
    not have; TypeError for arguments of the wrong kind.
    """
    require("norvel.access", "batch", "pandas")
    cutoffs = _cutoffs(minutes)
    reach = _max_minutes(max_minutes, cutoffs)
    way = _values.direction(direction)
    detour = _values.max_detour(max_detour)
    count = _values.workers(workers)
    path: str | None = None
    if not isinstance(router, Router):
        require("norvel.access", "batch", "tqdm")
        path = os.path.abspath(os.fspath(router))
        router = _workers.router_for(path)
    elif client is not None:
        raise TypeError("with a client, the graph must be the path of a "
                        "graph file that every worker can read, not a Router")
    request = router.session.options(risk=risk, avoid=avoid, at=at)
    layer = request.risk
    limit = _values.max_snap(max_snap_m)
    origin_lat, origin_lon = _access_tables.locations(origins, "origins")
    place_lat, place_lon = _access_tables.locations(places, "places")
    weights = _access_tables.weights(origins, weight)
    _access_tables.check_free(origins, "origins",
                              (*_ADDED, *map(within_name, cutoffs),
                               *(_DETOUR_ADDED if detour is not None else ())))
    _access_tables.check_free(places, "places", _PLACE_ADDED)

    session = router.session
    origin_nodes, origin_snap = _access_walks.snap(session, origin_lat,
                                                   origin_lon, limit,
                                                   request.avoid)
    place_nodes, place_snap = _access_walks.snap(session, place_lat,
                                                 place_lon, limit,
                                                 request.avoid)
    place_snapped = np.flatnonzero(~np.isnan(place_snap))
    if not len(place_snapped):
        raise ValueError(f"none of the {len(places)} places lies within "
                         f"{limit:g} m of a node of the graph")
    origin_snapped = np.flatnonzero(~np.isnan(origin_snap))
    if path is not None:
        fronts = _region_access.region_fronts(
            path, session, origin_nodes[origin_snapped],
            place_nodes[place_snapped], cutoffs, way, layer, avoid, reach,
            detour, client=client, workers=count, progress=progress)
    else:
        fronts = _access_walks.place_fronts(
            session, origin_nodes[origin_snapped], place_nodes[place_snapped],
            cutoffs, way, layer, request.avoid, detour, reach)
    table = _access_walks.origin_table(origins, origin_nodes, origin_snap,
                                       origin_snapped, fronts, place_snapped,
                                       cutoffs)
    place_table = _access_walks.with_snaps(places, place_nodes, place_snap)
    return Access(table, place_table, cutoffs, weights, weight, way, layer,
                  (origin_lat, origin_lon), detour)


class Access:
    """The walks of origins to a set of places, made by ``norvel.access``.

    ``origins``: the origins' table (a DataFrame or GeoDataFrame, as given)
    with the columns of ``norvel.access`` added; ``places``: the places'
    table with ``node``, ``snap_m`` and ``snapped``; ``minutes``: the
    cutoffs; ``weight``: the weight column or None; ``direction``,
    ``risk``, ``max_detour`` (None where not asked). ``summary()`` a row per cutoff, ``classes(c)`` each origin's
    class at a cutoff, ``to_geodataframe()``, ``explore()`` and
    ``to_h3(resolution)`` on maps.
    """

    def __init__(self, origins: pandas.DataFrame, places: pandas.DataFrame,
                 minutes: tuple[float, ...], weights: FloatArray,
                 weight: str | None, direction: str, risk: str,
                 points: tuple[FloatArray, FloatArray],
                 max_detour: float | None = None) -> None:
        self.origins = origins
        self.max_detour = max_detour
        self.places = places
        self.minutes = minutes
        self.weight = weight
        self.direction = direction
        self.risk = risk
        #: Each origin's weight (1 each without a weight column).
        self.weights = weights
        #: The origins' (lat, lon) in degrees, NaN where one has none.
        self.points = points

    def __repr__(self) -> str:
        cutoffs = ", ".join(f"{c:g}" for c in self.minutes)
        return (f"<Access: {len(self.origins)} origins, {len(self.places)} "
                f"places, {cutoffs} min>")

    def reached(self, minutes: float) -> tuple[npt.NDArray[np.bool_],
                                                npt.NDArray[np.bool_]]:
        """Per origin: reachable within ``minutes``, and safely reachable."""
        nearest = self.origins["nearest_minutes"].to_numpy(np.float64)
        safest = self.origins["safest_minutes"].to_numpy(np.float64)
        return nearest <= minutes, safest <= minutes

    @cached_property
    def not_snapped(self) -> npt.NDArray[np.bool_]:
        """Per origin, whether it did not snap."""
        not_snapped: npt.NDArray[np.bool_] = ~self.origins["snapped"].to_numpy(bool)
        return not_snapped

    def summary(self) -> pandas.DataFrame:
        """A row per cutoff, with the origins' weights (each origin 1 when
        ``weight`` is None): ``minutes``; ``weight``, the total weight of
        every origin, snapped or not; ``reachable``, ``safely_reachable``
        and ``risky_only``, the shares of that total (0 to 1) reachable,
        safely reachable and reachable only by a risky walk (reachable -
        safely_reachable), and the same as weights (``reachable_weight``,
        ``safely_reachable_weight``, ``risky_only_weight``);
        ``not_snapped_weight``, the weight of the origins that did not
        snap, counted as not reachable; ``mean_within_risk``, the
        weight-weighted mean of ``within_risk_<c>`` over the reachable
        origins (NaN when none is). With ``max_detour``, also
        ``safer_within_detour`` and ``safer_within_detour_weight``: the
        share and the weight of the origins reachable at the cutoff whose
        walk within the detour is less risky than their shortest walk
        (see the module). Shares are NaN when the total weight is 0."""
        import pandas

        weights = self.weights
        total = float(weights.sum())
        not_snapped = float(weights[self.not_snapped].sum())
        rows = []
        safer = self._safer_within_detour()
        for cutoff in self.minutes:
            reachable, safely = self.reached(cutoff)
            reached = float(weights[reachable].sum())
            safe = float(weights[safely].sum())
            risky = float(weights[reachable & ~safely].sum())
            within = self.origins[within_name(cutoff)].to_numpy(np.float64)
            mean_risk = (float(np.dot(weights[reachable], within[reachable]))
                         / reached if reached > 0.0 else math.nan)
            row: tuple[float, ...] = (cutoff, total, _share(reached, total),
                                      _share(safe, total),
                                      _share(risky, total), reached, safe,
                                      risky, not_snapped, mean_risk)
            if safer is not None:
                better = float(weights[reachable & safer].sum())
                row += (_share(better, total), better)
            rows.append(row)
        return pandas.DataFrame.from_records(rows, columns=[
            "minutes", "weight", "reachable", "safely_reachable",
            "risky_only", "reachable_weight", "safely_reachable_weight",
            "risky_only_weight", "not_snapped_weight", "mean_within_risk",
            *(() if safer is None else ("safer_within_detour",
                                        "safer_within_detour_weight"))])

    def _safer_within_detour(self) -> npt.NDArray[np.bool_] | None:
        """Per origin, whether its walk within the detour is less risky
        than its shortest walk; None without a detour budget."""
        if self.max_detour is None:
            return None
        within = self.origins["within_detour_risk"].to_numpy(np.float64)
        nearest = self.origins["nearest_risk"].to_numpy(np.float64)
        safer: npt.NDArray[np.bool_] = within < nearest
        return safer

    def classes(self, minutes: float | None = None) -> pandas.Series[Any]:
        """Each origin's class at the cutoff ``minutes`` (one of
        ``minutes``; the largest by default), a categorical Series on the
        origins' index: "safely reachable", "only by a risky walk", "not
        reachable" or "not snapped"."""
        import pandas

        cutoff = self._cutoff(minutes)
        reachable, safely = self.reached(cutoff)
        codes: npt.NDArray[np.int64] = np.select(
            [self.not_snapped, safely, reachable], [3, 0, 1],
            default=2).astype(np.int64)
        return pandas.Series(pandas.Categorical.from_codes(
            codes, dtype=pandas.CategoricalDtype(list(CLASSES))), index=self.origins.index,
            name="access")

    def _cutoff(self, minutes: float | None) -> float:
        if minutes is None:
            return self.minutes[-1]
        chosen = _values.minutes(minutes)
        if chosen not in self.minutes:
            raise ValueError(f"minutes must be one of the cutoffs "
                             f"({', '.join(f'{c:g}' for c in self.minutes)}), "
                             f"got {chosen:g}")
        return chosen

    def to_geodataframe(self) -> geopandas.GeoDataFrame:
        """The origins' table as a GeoDataFrame in EPSG:4326: their own
        geometry when they came as a GeoDataFrame, else a point at each
        ``lat``/``lon`` (geopandas: ``pip install
        'norvel_core[geopandas]'``)."""
        return _access_maps.to_geodataframe(self)

    def explore(self, minutes: float | None = None,
                **kwargs: Any) -> folium.Map:
        """An interactive folium map of the origins coloured by their class
        at the cutoff ``minutes`` (the largest by default; see
        ``classes``), and the places that snapped as markers; keyword
        arguments go to ``GeoDataFrame.explore`` (geopandas: ``pip install
        'norvel_core[geopandas]'``)."""
        return _access_maps.explore(self, minutes, **kwargs)

    def write(self, path: str | os.PathLike[str]) -> None:
        """Writes ``origins`` by the file's suffix: ``.csv`` (a
        GeoDataFrame's geometry as WKT; every number reads back to the
        same double), ``.gpkg`` (GeoPackage, as ``to_geodataframe``; node
        ids as 64-bit signed integers) or ``.parquet`` (GeoParquet, or
        plain Parquet for a DataFrame). ValueError for another suffix;
        ``.gpkg`` needs geopandas, ``.parquet`` pyarrow (``pip install
        'norvel_core[access]'``)."""
        _access_tables.write_origins(self.origins, path, self.to_geodataframe)

    def to_h3(self, resolution: int) -> geopandas.GeoDataFrame:
        """The origins summed by the H3 cell (``resolution`` 0 to 15) of
        the point each was snapped from, a row per cell that holds one, in
        ascending order of cell: ``cell`` (the H3 index as a string),
        ``origins`` (how many), ``weight``, ``not_snapped_weight`` and per
        cutoff ``reachable_<c>``, ``safely_reachable_<c>`` and
        ``risky_only_<c>`` (shares of the cell's weight, as in
        ``summary``), with the cell's hexagon as a polygon in EPSG:4326.
        An origin without a location is in no cell. Needs h3 and geopandas
        (``pip install 'norvel_core[access]'``)."""
        return _access_maps.to_h3(self, resolution)


def _share(part: float, total: float) -> float:
    return part / total if total > 0.0 else math.nan


def _cutoffs(minutes: float | Iterable[float]) -> tuple[float, ...]:
    """The cutoffs, checked, ascending and each once."""
    given = [minutes] if isinstance(minutes, (int, float, np.number)) \
        else list(minutes)
    if not given:
        raise ValueError("minutes must hold at least one cutoff")
    cutoffs = sorted({_values.minutes(value) for value in given})
    if not math.isfinite(cutoffs[-1]):
        raise ValueError("minutes must be finite cutoffs, got inf")
    return tuple(cutoffs)


def _max_minutes(value: object, cutoffs: tuple[float, ...]) -> float | None:
    """The longest walk access counts: None, or finite and at least the
    largest cutoff."""
    if value is None:
        return None
    limit = _values.minutes(value)
    if not math.isfinite(limit) or limit < cutoffs[-1]:
        raise ValueError(f"max_minutes must be finite and at least the "
                         f"largest cutoff ({cutoffs[-1]:g}), got {limit!r}")
    return limit
