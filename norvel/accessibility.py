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

For a cutoff c, an origin is *reachable* when its shortest walk takes at
most c minutes, and *safely reachable* when its least risky walk to any
place does (then ``within_risk_<c>`` equals ``safest_risk``). It is
reachable *only by a risky walk* when it is reachable but not safely: every
walk it can make to a place within c minutes carries more risk than the
safest walk open to it. Safely reachable origins are reachable, since no
walk is shorter than the shortest.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterable
from dataclasses import dataclass
from functools import cached_property
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from norvel import _values
from norvel._extras import require
from norvel.catchment import WALKING_SPEED_M_PER_MIN

if TYPE_CHECKING:
    import folium
    import geopandas
    import pandas

    from norvel.router import Router
    from norvel.table import IdArray

__all__ = ["Access", "access", "output_suffix", "read_table"]

FloatArray = npt.NDArray[np.float64]
PlaceArray = npt.NDArray[np.int64]

DEFAULT_MINUTES = (5.0, 10.0, 15.0)

# What access adds to the origins, before the within_risk columns.
_ADDED = ("node", "snap_m", "snapped", "nearest_place", "nearest_m",
          "nearest_minutes", "nearest_risk", "safest_place", "safest_m",
          "safest_minutes", "safest_risk", "detour_m")
# What access adds to the places.
_PLACE_ADDED = ("node", "snap_m", "snapped")
# The classes of Access.classes, from best to worst.
CLASSES = ("safely reachable", "only by a risky walk", "not reachable",
           "not snapped")


def access(router: Router, origins: pandas.DataFrame,
           places: pandas.DataFrame,
           minutes: float | Iterable[float] = DEFAULT_MINUTES, *,
           weight: str | None = None, risk: str = _values.DEFAULT_RISK,
           direction: str = "to",
           max_snap_m: float = _values.DEFAULT_MAX_SNAP_M) -> Access:
    """The walks of every origin to the nearest of ``places`` and to the
    safest, with the least risk within each cutoff of ``minutes``, as an
    ``Access`` (its module's docstring defines every column).

    ``origins``, ``places``: GeoDataFrames (a polygon by its centroid) or
    DataFrames with ``lat`` and ``lon``. ``minutes``: one cutoff or several
    (finite, >= 0; sorted, each once). ``weight``: a column of ``origins``
    (such as population; finite, >= 0) that the summary weighs origins by;
    None weighs each origin 1. ``risk``: the risk layer to walk on
    (``router.risk_layers``; "default", the document's risk_score, unless
    told otherwise). ``direction``: "to" the places, or "from" them.
    ``max_snap_m``: as in ``Router.route``.

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
    way = _values.direction(direction)
    layer = _values.risk(risk, router.risk_layers)
    limit = _values.max_snap(max_snap_m)
    origin_lat, origin_lon = _locations(origins, "origins")
    place_lat, place_lon = _locations(places, "places")
    weights = _weights(origins, weight)
    _check_free(origins, "origins", (*_ADDED, *map(_within_name, cutoffs)))
    _check_free(places, "places", _PLACE_ADDED)

    origin_nodes, origin_snap = _snap(router, origin_lat, origin_lon, limit)
    place_nodes, place_snap = _snap(router, place_lat, place_lon, limit)
    place_snapped = np.flatnonzero(~np.isnan(place_snap))
    if not len(place_snapped):
        raise ValueError(f"none of the {len(places)} places lies within "
                         f"{limit:g} m of a node of the graph")
    origin_snapped = np.flatnonzero(~np.isnan(origin_snap))
    fronts = _place_fronts(router, origin_nodes[origin_snapped],
                           place_nodes[place_snapped], cutoffs, way, layer)
    table = _origin_table(origins, origin_nodes, origin_snap, origin_snapped,
                          fronts, place_snapped, cutoffs)
    place_table = _with_snaps(places, place_nodes, place_snap)
    return Access(table, place_table, cutoffs, weights, weight, way, layer,
                  (origin_lat, origin_lon))


class Access:
    """The walks of origins to a set of places, made by ``norvel.access``.

    ``origins``: the origins' table (a DataFrame or GeoDataFrame, as given)
    with the columns of ``norvel.access`` added; ``places``: the places'
    table with ``node``, ``snap_m`` and ``snapped``; ``minutes``: the
    cutoffs; ``weight``: the weight column or None; ``direction``,
    ``risk``. ``summary()`` a row per cutoff, ``classes(c)`` each origin's
    class at a cutoff, ``to_geodataframe()``, ``explore()`` and
    ``to_h3(resolution)`` on maps.
    """

    def __init__(self, origins: pandas.DataFrame, places: pandas.DataFrame,
                 minutes: tuple[float, ...], weights: FloatArray,
                 weight: str | None, direction: str, risk: str,
                 points: tuple[FloatArray, FloatArray]) -> None:
        self.origins = origins
        self.places = places
        self.minutes = minutes
        self.weight = weight
        self.direction = direction
        self.risk = risk
        self._weights = weights
        self._points = points

    def __repr__(self) -> str:
        cutoffs = ", ".join(f"{c:g}" for c in self.minutes)
        return (f"<Access: {len(self.origins)} origins, {len(self.places)} "
                f"places, {cutoffs} min>")

    def _reached(self, minutes: float) -> tuple[npt.NDArray[np.bool_],
                                                npt.NDArray[np.bool_]]:
        """Per origin: reachable within ``minutes``, and safely reachable."""
        nearest = self.origins["nearest_minutes"].to_numpy(np.float64)
        safest = self.origins["safest_minutes"].to_numpy(np.float64)
        return nearest <= minutes, safest <= minutes

    @cached_property
    def _not_snapped(self) -> npt.NDArray[np.bool_]:
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
        origins (NaN when none is). Shares are NaN when the total weight
        is 0."""
        import pandas

        weights = self._weights
        total = float(weights.sum())
        not_snapped = float(weights[self._not_snapped].sum())
        rows = []
        for cutoff in self.minutes:
            reachable, safely = self._reached(cutoff)
            reached = float(weights[reachable].sum())
            safe = float(weights[safely].sum())
            risky = float(weights[reachable & ~safely].sum())
            within = self.origins[_within_name(cutoff)].to_numpy(np.float64)
            mean_risk = (float(np.dot(weights[reachable], within[reachable]))
                         / reached if reached > 0.0 else math.nan)
            rows.append((cutoff, total, _share(reached, total),
                         _share(safe, total), _share(risky, total), reached,
                         safe, risky, not_snapped, mean_risk))
        return pandas.DataFrame.from_records(rows, columns=[
            "minutes", "weight", "reachable", "safely_reachable",
            "risky_only", "reachable_weight", "safely_reachable_weight",
            "risky_only_weight", "not_snapped_weight", "mean_within_risk"])

    def classes(self, minutes: float | None = None) -> pandas.Series[Any]:
        """Each origin's class at the cutoff ``minutes`` (one of
        ``minutes``; the largest by default), a categorical Series on the
        origins' index: "safely reachable", "only by a risky walk", "not
        reachable" or "not snapped"."""
        import pandas

        cutoff = self._cutoff(minutes)
        reachable, safely = self._reached(cutoff)
        codes: npt.NDArray[np.int64] = np.select(
            [self._not_snapped, safely, reachable], [3, 0, 1],
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
        require("Access.to_geodataframe", "geopandas", "geopandas", "shapely")
        import geopandas
        import shapely

        if isinstance(self.origins, geopandas.GeoDataFrame):
            return self.origins.to_crs("EPSG:4326")
        lat, lon = self._points
        return geopandas.GeoDataFrame(
            self.origins, geometry=shapely.points(lon, lat), crs="EPSG:4326")

    def explore(self, minutes: float | None = None,
                **kwargs: Any) -> folium.Map:
        """An interactive folium map of the origins coloured by their class
        at the cutoff ``minutes`` (the largest by default; see
        ``classes``), and the places that snapped as markers; keyword
        arguments go to ``GeoDataFrame.explore`` (geopandas: ``pip install
        'norvel_core[geopandas]'``)."""
        require("Access.explore", "geopandas", "geopandas", "folium")
        import folium

        shown = self.to_geodataframe()
        shown["access"] = self.classes(minutes)
        options: dict[str, Any] = {
            "column": "access", "categorical": True,
            "cmap": ["#1a9641", "#fdae61", "#d7191c", "#bababa"],
            "tooltip": ["access", "nearest_minutes", "safest_minutes",
                        "detour_m", *([self.weight] if self.weight else [])]}
        options.update(kwargs)
        drawn: folium.Map = shown.explore(**options)
        lat, lon = _locations(self.places, "places")
        for row in np.flatnonzero(self.places["snapped"].to_numpy(bool)).tolist():
            folium.Marker((float(lat[row]), float(lon[row])),
                          tooltip=f"place {row}").add_to(drawn)
        return drawn

    def write(self, path: str | os.PathLike[str]) -> None:
        """Writes ``origins`` by the file's suffix: ``.csv`` (a
        GeoDataFrame's geometry as WKT; every number reads back to the
        same double), ``.gpkg`` (GeoPackage, as ``to_geodataframe``; node
        ids as 64-bit signed integers) or ``.parquet`` (GeoParquet, or
        plain Parquet for a DataFrame). ValueError for another suffix;
        ``.gpkg`` needs geopandas, ``.parquet`` pyarrow (``pip install
        'norvel_core[access]'``)."""
        import pandas

        suffix = output_suffix(path)
        if suffix == ".csv":
            pandas.DataFrame(self.origins).to_csv(path, index=False)
        elif suffix == ".gpkg":
            self.to_geodataframe().to_file(path, driver="GPKG")
        elif suffix == ".parquet":
            require("Access.write", "access", "pyarrow")
            self.origins.to_parquet(path, index=False)

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
        require("Access.to_h3", "access", "h3", "geopandas", "shapely")
        import geopandas
        import h3
        import pandas
        import shapely

        if isinstance(resolution, bool) or not isinstance(resolution,
                                                          (int, np.integer)):
            raise TypeError(f"resolution must be an int, got "
                            f"{_values.kind(resolution)}")
        if not 0 <= resolution <= 15:
            raise ValueError(f"resolution must be within [0, 15], got "
                             f"{resolution}")
        lat, lon = self._points
        located = np.flatnonzero(~(np.isnan(lat) | np.isnan(lon)))
        cells = [h3.latlng_to_cell(float(lat[i]), float(lon[i]), int(resolution))
                 for i in located.tolist()]
        weights = self._weights[located]
        data: dict[str, Any] = {
            "cell": cells, "origins": np.ones(len(located), dtype=np.int64),
            "weight": weights,
            "not_snapped_weight": np.where(self._not_snapped[located],
                                           weights, 0.0)}
        for cutoff in self.minutes:
            reachable, safely = self._reached(cutoff)
            name = _cutoff_name(cutoff)
            data[f"reachable_{name}"] = np.where(reachable[located], weights, 0.0)
            data[f"safely_reachable_{name}"] = np.where(safely[located],
                                                        weights, 0.0)
            data[f"risky_only_{name}"] = np.where(
                (reachable & ~safely)[located], weights, 0.0)
        sums = pandas.DataFrame(data).groupby("cell", sort=True).sum()
        shares = [column for column in sums.columns
                  if column.startswith(("reachable_", "safely_reachable_",
                                        "risky_only_"))]
        total = sums["weight"].to_numpy(np.float64)
        for column in shares:
            values = sums[column].to_numpy(np.float64)
            sums[column] = np.divide(values, total, out=np.full_like(values, np.nan),
                                     where=total > 0)
        sums = sums.reset_index()
        hexagons = [shapely.Polygon([(x, y) for y, x in h3.cell_to_boundary(cell)])
                    for cell in sums["cell"]]
        return geopandas.GeoDataFrame(sums, geometry=hexagons, crs="EPSG:4326")


def output_suffix(path: str | os.PathLike[str]) -> str:
    """The suffix of a file ``Access.write`` can write (lower case);
    ValueError for any other."""
    suffix = Path(path).suffix.lower()
    if suffix not in (".csv", ".gpkg", ".parquet"):
        raise ValueError(f"{os.fspath(path)}: the output must end in .csv, "
                         f".gpkg or .parquet")
    return suffix


def read_table(path: str | os.PathLike[str]) -> pandas.DataFrame:
    """A table of origins or places from a file, by its suffix: ``.csv``
    (a DataFrame, with ``lat`` and ``lon`` for access), ``.parquet``
    (GeoParquet as a GeoDataFrame, plain Parquet as a DataFrame), or
    anything ``geopandas.read_file`` reads (``.gpkg``, ``.geojson``,
    ...)."""
    require("norvel.accessibility.read_table", "batch", "pandas")
    import pandas

    suffix = Path(path).suffix.lower()
    if suffix == ".csv":
        return pandas.read_csv(path)
    if suffix == ".parquet":
        require("norvel.accessibility.read_table", "access", "pyarrow")
        import pyarrow.parquet

        if b"geo" not in (pyarrow.parquet.read_schema(path).metadata or {}):
            return pandas.read_parquet(path)
    require("norvel.accessibility.read_table", "geopandas", "geopandas")
    import geopandas

    if suffix == ".parquet":
        return geopandas.read_parquet(path)
    return geopandas.read_file(path)


def _share(part: float, total: float) -> float:
    return part / total if total > 0.0 else math.nan


def _cutoff_name(minutes: float) -> str:
    """15.0 as "15", 7.5 as "7.5"; a cutoff that %g would round, in full."""
    short = f"{minutes:g}"
    return short if float(short) == minutes else repr(minutes)


def _within_name(minutes: float) -> str:
    return f"within_risk_{_cutoff_name(minutes)}"


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


def _locations(table: object, role: str) -> tuple[FloatArray, FloatArray]:
    """(lat, lon) arrays in degrees of a table's rows, NaN for a row
    without a location: a GeoDataFrame's points (any other geometry by its
    centroid in the local UTM zone), or a DataFrame's ``lat`` and ``lon``
    columns. ValueError for a GeoDataFrame without a CRS, a DataFrame
    without both columns or a coordinate out of range."""
    import pandas

    if not isinstance(table, pandas.DataFrame):
        raise TypeError(f"{role} must be a DataFrame or GeoDataFrame, got "
                        f"{_values.kind(table)}")
    geometry = _geometry_of(table)
    if geometry is not None:
        lat, lon = _geometry_points(geometry, role)
    else:
        missing = [name for name in ("lat", "lon") if name not in table.columns]
        if missing:
            raise ValueError(f"{role} must be a GeoDataFrame or have the "
                             f"columns lat and lon (degrees); "
                             f"{' and '.join(missing)} missing")
        try:
            lat = pandas.to_numeric(table["lat"]).to_numpy(np.float64)
            lon = pandas.to_numeric(table["lon"]).to_numpy(np.float64)
        except (TypeError, ValueError) as failure:
            raise ValueError(f"{role}: lat and lon must be numbers: "
                             f"{failure}") from None
    for values, name, bound in ((lat, "lat", 90.0), (lon, "lon", 180.0)):
        present = values[~np.isnan(values)]
        _values.check_range(present, f"{role} {name}", bound)
    return lat, lon


def _geometry_of(table: pandas.DataFrame) -> geopandas.GeoSeries | None:
    try:
        import geopandas
    except ImportError:
        return None
    if not isinstance(table, geopandas.GeoDataFrame):
        return None
    try:
        return table.geometry
    except AttributeError:  # a GeoDataFrame without a geometry column
        return None


def _geometry_points(geometry: geopandas.GeoSeries, role: str
                     ) -> tuple[FloatArray, FloatArray]:
    import shapely

    if geometry.crs is None:
        raise ValueError(f"{role} has no CRS: set one (such as "
                         f"GeoDataFrame.set_crs('EPSG:4326'))")
    kinds = shapely.get_type_id(geometry.to_numpy())
    points = geometry.to_crs("EPSG:4326")
    if not np.all((kinds == shapely.GeometryType.POINT) | (kinds < 0)
                  | geometry.is_empty.to_numpy()):
        # Centroids taken in degrees are off by metres at a city's
        # latitude. A transverse Mercator centred on the data is UTM's
        # projection without its zones, and needs no look-up in PROJ's
        # database (estimate_utm_crs takes a third of a second).
        west, south, east, north = points.total_bounds.tolist()
        if math.isfinite(west):  # else no geometry has a location
            plane = ("+proj=tmerc +ellps=WGS84 +units=m +k=1 "
                     f"+lat_0={(south + north) / 2!r} "
                     f"+lon_0={(west + east) / 2!r}")
            points = points.to_crs(plane).centroid.to_crs("EPSG:4326")
    values = points.to_numpy()
    # get_x refuses an empty point and gives NaN for a missing one.
    values[shapely.is_empty(values)] = None
    lat: FloatArray = shapely.get_y(values).astype(np.float64)
    lon: FloatArray = shapely.get_x(values).astype(np.float64)
    return lat, lon


def _weights(origins: pandas.DataFrame, weight: str | None) -> FloatArray:
    """Each origin's weight: 1, or its value in the column ``weight``."""
    import pandas

    if weight is None:
        return np.ones(len(origins), dtype=np.float64)
    if not isinstance(weight, str):
        raise TypeError(f"weight must be a column name (str) or None, got "
                        f"{_values.kind(weight)}")
    if weight not in origins.columns:
        raise ValueError(f"origins have no column {weight!r}")
    try:
        values = pandas.to_numeric(origins[weight]).to_numpy(np.float64,
                                                              na_value=np.nan)
    except (TypeError, ValueError):
        raise ValueError(f"weight column {weight!r} must hold numbers") \
            from None
    bad = np.flatnonzero(~(np.isfinite(values) & (values >= 0.0)))
    if len(bad):
        raise ValueError(f"weight column {weight!r} must hold finite numbers "
                         f">= 0, got {float(values[bad[0]])!r} at row {int(bad[0])}")
    return values


def _check_free(table: pandas.DataFrame, role: str,
                names: Iterable[str]) -> None:
    taken = [name for name in names if name in table.columns]
    if taken:
        raise ValueError(f"{role} already have the column"
                         f"{'s' if len(taken) > 1 else ''} "
                         f"{', '.join(taken)}, which access adds: rename "
                         f"or drop {'them' if len(taken) > 1 else 'it'}")


def _snap(router: Router, lat: FloatArray, lon: FloatArray,
          max_snap_m: float) -> tuple[IdArray, FloatArray]:
    """Each point's node and its distance in metres; NaN distance (node 0)
    for a point without a location or farther than ``max_snap_m``."""
    located = ~(np.isnan(lat) | np.isnan(lon))
    nodes = np.zeros(len(lat), dtype=np.uint64)
    metres = np.full(len(lat), np.nan)
    if located.any():
        ids, distances = router.nearest_many(lat[located], lon[located])
        near = distances <= max_snap_m
        where = np.flatnonzero(located)[near]
        nodes[where] = ids[near]
        metres[where] = distances[near]
    return nodes, metres


def _with_snaps(table: pandas.DataFrame, nodes: IdArray,
                metres: FloatArray) -> pandas.DataFrame:
    import pandas

    snapped = ~np.isnan(metres)
    out = table.copy()
    out["node"] = pandas.array(np.where(snapped, nodes, 0), dtype="UInt64")
    out.loc[~snapped, "node"] = pandas.NA
    out["snap_m"] = metres
    out["snapped"] = snapped
    return out


def _origin_table(origins: pandas.DataFrame, nodes: IdArray,
                  metres: FloatArray, snapped: npt.NDArray[np.intp],
                  fronts: _Fronts, place_rows: npt.NDArray[np.intp],
                  cutoffs: tuple[float, ...]) -> pandas.DataFrame:
    """The origins with the columns of access."""
    import pandas

    count = len(origins)
    out = _with_snaps(origins, nodes, metres)

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
    out["detour_m"] = safest_m - nearest_m
    for at, cutoff in enumerate(cutoffs):
        out[_within_name(cutoff)] = spread(fronts.within_risk[:, at])
    return out


# The engine's side: the fronts of the origins' nodes over every place.


@dataclass(frozen=True)
class _Fronts:
    """Per asked node, in the order asked, from its front (the Pareto front
    of its walks to every place): the shortest point (ties: less risk) and
    the least risky (ties: shorter), each as metres, risk and the place's
    position in the places asked (ties between places: the lower), NaN
    and -1 where no place can be reached; and per cutoff (columns, in the
    cutoffs' order) the risk of the least risky point within it, NaN where
    no walk is."""

    shortest_m: FloatArray
    shortest_risk: FloatArray
    shortest_place: PlaceArray
    safest_m: FloatArray
    safest_risk: FloatArray
    safest_place: PlaceArray
    within_risk: FloatArray


def _place_fronts(router: Router, nodes: IdArray, places: IdArray,
                  cutoffs: tuple[float, ...], direction: str,
                  risk: str) -> _Fronts:
    """The ``_Fronts`` of the walks between each of ``nodes`` and any of
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
    ValueError for a graph with a negative, infinite or NaN distance or
    risk."""
    _, columns = router._catchment_columns(
        [int(place) for place in places], math.inf, [*cutoffs, math.inf],
        direction=direction, risk=risk, only=nodes.tolist())
    # The catchment's rows go by distance: each asked node's row, found or
    # not (no place is reached from it, or it from none).
    reached = columns["node"]
    order = np.argsort(reached, kind="stable")
    at = np.searchsorted(reached, nodes, sorter=order)
    rows = order[np.minimum(at, len(reached) - 1)] if len(reached) else at
    found = at < len(reached)
    found[found] = reached[rows[found]] == nodes[found]

    def pick(values: npt.NDArray[Any], missing: float) -> FloatArray:
        picked: FloatArray = np.full((len(nodes), *values.shape[1:]), missing)
        picked[found] = values[rows[found]]
        return picked

    within_m, within_risk = columns["within_m"], columns["within_risk"]
    within_place = np.nan_to_num(columns["within_place"][:, -1], nan=-1.0)
    return _Fronts(pick(columns["shortest_m"], math.nan),
                   pick(columns["shortest_risk"], math.nan),
                   pick(columns["shortest_place"], -1).astype(np.int64),
                   pick(within_m[:, -1], math.nan),
                   pick(within_risk[:, -1], math.nan),
                   pick(within_place, -1).astype(np.int64),
                   pick(within_risk[:, :-1], math.nan))
