"""Routes as GeoJSON values: the one place a route's properties, line and
feature are written, for ``Route.to_feature``, ``Routes.to_geojson``,
``norvel.geo`` and the service alike. Positions are (lon, lat), GeoJSON's
order.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import asdict
from typing import Any, Protocol

from norvel.table import LonLat


class RouteTotals(Protocol):
    """A route's type and totals, as a ``norvel.Route`` or the engine's
    totals of a route hold them."""

    @property
    def type(self) -> str: ...
    @property
    def distance_m(self) -> float: ...
    @property
    def risk(self) -> float: ...
    @property
    def time_min(self) -> float: ...
    @property
    def comfort(self) -> float: ...
    @property
    def familiarity(self) -> float: ...


class RouteValues(RouteTotals, Protocol):
    """What a route's GeoJSON reads of it (a ``norvel.Route``)."""

    @property
    def nodes(self) -> list[int]: ...
    @property
    def coordinates(self) -> list[LonLat]: ...
    @property
    def streets(self) -> list[str]: ...
    @property
    def legs(self) -> Sequence[Any]: ...


def totals(route: RouteTotals) -> dict[str, Any]:
    """A route's type and totals: ``type``, ``distance_m``, ``risk``,
    ``time_min``, ``comfort`` and ``familiarity``."""
    return {"type": route.type, "distance_m": route.distance_m,
            "risk": route.risk, "time_min": route.time_min,
            "comfort": route.comfort, "familiarity": route.familiarity}


def properties(route: RouteValues) -> dict[str, Any]:
    """A route's GeoJSON properties: its ``totals``, then ``nodes`` and
    ``streets`` (and ``legs`` where it has stops)."""
    return totals(route) | {"nodes": list(route.nodes),
                            "streets": list(route.streets)} | legs(route)


def legs(route: RouteValues) -> dict[str, Any]:
    """A walk through stops' ``legs``, each a dict of its ``Leg`` record;
    nothing for a route of one leg."""
    if len(route.legs) < 2:
        return {}
    return {"legs": [asdict(leg) for leg in route.legs]}


def line(coordinates: Sequence[LonLat]) -> list[LonLat]:
    """A route's positions as a line: a route of one node (source and
    target alike) repeats its position, since a line needs two."""
    positions = list(coordinates)
    return positions * 2 if len(positions) == 1 else positions


def feature(route: RouteValues) -> dict[str, Any]:
    """A route as a GeoJSON Feature: its LineString with its
    ``properties``."""
    return {"type": "Feature",
            "geometry": {"type": "LineString",
                         "coordinates": [list(p) for p in line(route.coordinates)]},
            "properties": properties(route)}


def collection(routes: Iterable[RouteValues]) -> dict[str, Any]:
    """Routes as one FeatureCollection, in their order."""
    return {"type": "FeatureCollection",
            "features": [feature(route) for route in routes]}


def snap(node: int, distance_m: float) -> dict[str, Any]:
    """Where an end of a request lies, as JSON: its ``node`` and the
    ``distance_m`` from the asked point to it."""
    return {"node": node, "distance_m": distance_m}
