"""The Earth's size and great-circle distances, for every part of norvel
that measures between coordinates (the converter's edge lengths, the
nearest-node search, the demo)."""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

# Mean Earth radius (IUGG), in metres.
EARTH_RADIUS_M = 6371008.8


def haversine_m(lat1: float, lon1: float, lat2: float, lon2: float) -> float:
    """Great-circle distance in metres between two points given in degrees."""
    phi1 = math.radians(lat1)
    phi2 = math.radians(lat2)
    half_dphi = math.radians(lat2 - lat1) / 2.0
    half_dlambda = math.radians(lon2 - lon1) / 2.0
    a = (math.sin(half_dphi) ** 2
         + math.cos(phi1) * math.cos(phi2) * math.sin(half_dlambda) ** 2)
    # a can exceed 1 by a rounding error for antipodal points.
    a = min(1.0, a)
    return 2.0 * EARTH_RADIUS_M * math.asin(math.sqrt(a))


class LocalPlane:
    """Degrees to metres on a plane tangent at one point (equirectangular):
    within a few kilometres of it, distances are off by well under 0.1 %."""

    def __init__(self, origin: tuple[float, float]) -> None:
        self.lat0, self.lon0 = origin
        self.y_per_degree = EARTH_RADIUS_M * math.pi / 180.0
        self.x_per_degree = self.y_per_degree * math.cos(math.radians(self.lat0))

    def to_metres(self, lon_lat: npt.NDArray[np.float64]
                  ) -> npt.NDArray[np.float64]:
        """(..., 2) arrays of (lon, lat) to (x, y) in metres."""
        out = np.empty_like(lon_lat)
        out[..., 0] = (lon_lat[..., 0] - self.lon0) * self.x_per_degree
        out[..., 1] = (lon_lat[..., 1] - self.lat0) * self.y_per_degree
        return out

    def to_degrees(self, xy: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        """(n, 2) arrays of (x, y) in metres back to (lon, lat)."""
        out = np.empty_like(xy)
        out[:, 0] = xy[:, 0] / self.x_per_degree + self.lon0
        out[:, 1] = xy[:, 1] / self.y_per_degree + self.lat0
        return out
