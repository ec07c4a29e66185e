"""``norvel.access``'s answer on maps: its origins as a GeoDataFrame,
an interactive map of their classes, and sums by H3 cell."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Protocol

import numpy as np
import numpy.typing as npt

from norvel import _values
from norvel._access_tables import locations
from norvel._access_walks import cutoff_name
from norvel._extras import require
from norvel.table import FloatArray

if TYPE_CHECKING:
    import folium
    import geopandas
    import pandas


class Mapped(Protocol):
    """What the maps read of an answer of access (``norvel.Access``)."""

    origins: pandas.DataFrame
    places: pandas.DataFrame
    minutes: tuple[float, ...]
    weight: str | None
    points: tuple[FloatArray, FloatArray]
    weights: FloatArray

    @property
    def not_snapped(self) -> npt.NDArray[np.bool_]: ...

    def reached(self, minutes: float) -> tuple[npt.NDArray[np.bool_],
                                               npt.NDArray[np.bool_]]: ...

    def classes(self, minutes: float | None = None) -> pandas.Series[Any]: ...


def to_geodataframe(answer: Mapped) -> geopandas.GeoDataFrame:
    """``Access.to_geodataframe``."""
    require("Access.to_geodataframe", "geopandas", "geopandas", "shapely")
    import geopandas
    import shapely

    if isinstance(answer.origins, geopandas.GeoDataFrame):
        return answer.origins.to_crs("EPSG:4326")
    lat, lon = answer.points
    return geopandas.GeoDataFrame(
        answer.origins, geometry=shapely.points(lon, lat), crs="EPSG:4326")


def explore(answer: Mapped, minutes: float | None = None,
            **kwargs: Any) -> folium.Map:
    """``Access.explore``."""
    require("Access.explore", "geopandas", "geopandas", "folium")
    import folium

    shown = to_geodataframe(answer)
    shown["access"] = answer.classes(minutes)
    options: dict[str, Any] = {
        "column": "access", "categorical": True,
        "cmap": ["#1a9641", "#fdae61", "#d7191c", "#bababa"],
        "tooltip": ["access", "nearest_minutes", "safest_minutes",
                    "detour_m", *([answer.weight] if answer.weight else [])]}
    options.update(kwargs)
    drawn: folium.Map = shown.explore(**options)
    lat, lon = locations(answer.places, "places")
    for row in np.flatnonzero(answer.places["snapped"].to_numpy(bool)).tolist():
        folium.Marker((float(lat[row]), float(lon[row])),
                      tooltip=f"place {row}").add_to(drawn)
    return drawn


def to_h3(answer: Mapped, resolution: int) -> geopandas.GeoDataFrame:
    """``Access.to_h3``."""
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
    lat, lon = answer.points
    located = np.flatnonzero(~(np.isnan(lat) | np.isnan(lon)))
    cells = [h3.latlng_to_cell(float(lat[i]), float(lon[i]), int(resolution))
             for i in located.tolist()]
    weights = answer.weights[located]
    data: dict[str, Any] = {
        "cell": cells, "origins": np.ones(len(located), dtype=np.int64),
        "weight": weights,
        "not_snapped_weight": np.where(answer.not_snapped[located],
                                       weights, 0.0)}
    for cutoff in answer.minutes:
        reachable, safely = answer.reached(cutoff)
        name = cutoff_name(cutoff)
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
