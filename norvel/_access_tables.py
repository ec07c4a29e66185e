"""The tables ``norvel.access`` reads and writes: where each row of a
table of origins or places lies, its weights, and the files they come from
and go to. No routing here."""

from __future__ import annotations

import math
import os
import warnings
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

from norvel import _values
from norvel._extras import require
from norvel.table import FloatArray

if TYPE_CHECKING:
    import geopandas
    import pandas


def locations(table: object, role: str) -> tuple[FloatArray, FloatArray]:
    """(lat, lon) arrays in degrees of a table's rows: a GeoDataFrame's
    points (any other geometry by its centroid in the local UTM zone), or
    a DataFrame's ``lat`` and ``lon`` columns. NaN for a row without a
    usable location (none, not a number, out of range), which a
    UserWarning counts. ValueError for a GeoDataFrame without a CRS or a
    DataFrame without both columns."""
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
        # A value that is no number is a row without a location.
        lat = pandas.to_numeric(table["lat"], errors="coerce").to_numpy(
            np.float64, na_value=np.nan)
        lon = pandas.to_numeric(table["lon"], errors="coerce").to_numpy(
            np.float64, na_value=np.nan)
    located = (np.abs(lat) <= 90.0) & (np.abs(lon) <= 180.0)  # NaN: False
    unlocated = len(located) - int(located.sum())
    if unlocated:
        # A swapped lat/lon column, say, must not pass unseen.
        warnings.warn(
            f"{unlocated} of the {len(located)} {role} "
            f"{'has' if unlocated == 1 else 'have'} no location a "
            f"walk can use (none, not a number, or outside [-90, 90] and "
            f"[-180, 180] degrees): they are not snapped",
            UserWarning, stacklevel=3)
    return np.where(located, lat, np.nan), np.where(located, lon, np.nan)


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


def weights(origins: pandas.DataFrame, weight: str | None) -> FloatArray:
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


def check_free(table: pandas.DataFrame, role: str,
                names: Iterable[str]) -> None:
    taken = [name for name in names if name in table.columns]
    if taken:
        raise ValueError(f"{role} already have the column"
                         f"{'s' if len(taken) > 1 else ''} "
                         f"{', '.join(taken)}, which access adds: rename "
                         f"or drop {'them' if len(taken) > 1 else 'it'}")


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




def write_origins(origins: pandas.DataFrame, path: str | os.PathLike[str],
                  geodataframe: Callable[[], geopandas.GeoDataFrame]) -> None:
    """Writes the origins' table by the file's suffix (``Access.write``);
    ``geodataframe`` gives it as a GeoDataFrame, for ``.gpkg``."""
    import pandas

    suffix = output_suffix(path)
    if suffix == ".csv":
        pandas.DataFrame(origins).to_csv(path, index=False)
    elif suffix == ".gpkg":
        geodataframe().to_file(path, driver="GPKG")
    elif suffix == ".parquet":
        require("Access.write", "access", "pyarrow")
        origins.to_parquet(path, index=False)
