"""The Earth's size and great-circle distances, for every part of norvel
that measures between coordinates (the converter's edge lengths, the
nearest-node search, the demo)."""

from __future__ import annotations

import math

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
