"""Places of an OpenStreetMap extract, such as its schools, as points.

    schools = norvel.osm.places("city.osm.pbf", "amenity=school")
    norvel.osm.write_places("schools.csv", schools)

A selector is ``key=value`` (that tag) or ``key`` (any value of it); an
object matching any of them is a place. Every tagged object counts: a node
at its location; a closed way or a multipolygon relation (as pyosmium's
area assembler builds them) at the centroid of its area; a way that
encloses no area at the mean of its nodes. A school drawn both as a node
and as its grounds is two places, as OpenStreetMap holds it. Centroids are
taken on a plane tangent at the area's first node (equirectangular: within
a few kilometres, off by well under 0.1 %).

The CSV has the columns ``osm_type`` (node, way or relation), ``osm_id``,
``name`` (the ``name`` tag, empty when none), ``lat`` and ``lon`` (7
decimals), one row per place in the order (type, id): ``norvel.access``
reads it as places.
"""

from __future__ import annotations

import csv
import math
import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

from norvel.osm.graph import COORDINATE_DECIMALS

if TYPE_CHECKING:
    import osmium.osm

__all__ = ["OsmPlace", "places", "ring_centroid", "write_places"]

_TYPE_ORDER = {"node": 0, "way": 1, "relation": 2}
# A ring's point: (lat, lon) in degrees.
Point = tuple[float, float]


@dataclass(frozen=True)
class OsmPlace:
    """One tagged object as a point: ``osm_type`` ("node", "way" or
    "relation"), ``osm_id``, ``name`` (or None) and ``lat``, ``lon`` in
    degrees."""

    osm_type: str
    osm_id: int
    name: str | None
    lat: float
    lon: float


def _selectors(tags: Sequence[str]) -> list[tuple[str, str | None]]:
    if not tags:
        raise ValueError("give at least one selector, such as amenity=school")
    chosen: list[tuple[str, str | None]] = []
    for selector in tags:
        key, equals, value = selector.partition("=")
        if not key or (equals and not value):
            raise ValueError(f"a selector is key=value or key, got "
                             f"{selector!r}")
        chosen.append((key, value if equals else None))
    return chosen


def ring_centroid(outer: Sequence[Sequence[Point]],
                  inner: Sequence[Sequence[Point]] = ()) -> Point:
    """The (lat, lon) centroid of the area inside the ``outer`` rings and
    outside the ``inner`` ones, each a closed or open list of (lat, lon),
    on a plane tangent at the first point. An area of no size (a ring
    folded onto a line) gives the mean of the outer rings' points."""
    if not outer or not outer[0]:
        raise ValueError("an area needs an outer ring with points")
    lat0, lon0 = outer[0][0]
    x_scale = math.cos(math.radians(lat0))
    area_sum = x_sum = y_sum = 0.0
    for rings, sign in ((outer, 1.0), (inner, -1.0)):
        for ring in rings:
            xy = [((lon - lon0) * x_scale, lat - lat0) for lat, lon in ring]
            doubled = cx = cy = 0.0
            for (x1, y1), (x2, y2) in zip(xy, xy[1:] + xy[:1]):
                cross = x1 * y2 - x2 * y1
                doubled += cross
                cx += (x1 + x2) * cross
                cy += (y1 + y2) * cross
            # Each ring by its own size, whichever way it runs.
            direction = 1.0 if doubled >= 0.0 else -1.0
            area_sum += sign * direction * doubled
            x_sum += sign * direction * cx / 3.0
            y_sum += sign * direction * cy / 3.0
    if area_sum == 0.0:
        points = [point for ring in outer for point in ring]
        return (sum(p[0] for p in points) / len(points),
                sum(p[1] for p in points) / len(points))
    return (lat0 + y_sum / area_sum, lon0 + x_sum / area_sum / x_scale)


def places(path: str | os.PathLike[str], *tags: str) -> list[OsmPlace]:
    """The objects of an extract (``.osm.pbf`` or ``.osm``) that carry any
    of the ``tags`` selectors (``"amenity=school"``, ``"shop"``), as
    points, in the order (type, id). ValueError for no selector or a
    malformed one; pyosmium's RuntimeError for an unreadable file."""
    import osmium

    wanted = _selectors(tags)

    def matches(tag_list: osmium.osm.TagList) -> bool:
        for key, value in wanted:
            found = tag_list.get(key)
            if found is not None and (value is None or found == value):
                return True
        return False

    found: dict[tuple[str, int], OsmPlace] = {}
    unclosed: dict[int, OsmPlace] = {}

    class Collector(osmium.SimpleHandler):
        def node(self, node: osmium.osm.Node) -> None:
            if matches(node.tags) and node.location.valid():
                found["node", node.id] = OsmPlace(
                    "node", node.id, node.tags.get("name"), node.location.lat,
                    node.location.lon)

        def way(self, way: osmium.osm.Way) -> None:
            # Areas come through area(); a way that makes none stands for
            # the mean of its nodes.
            if not matches(way.tags):
                return
            points = [(ref.location.lat, ref.location.lon)
                      for ref in way.nodes if ref.location.valid()]
            if points:
                unclosed[way.id] = OsmPlace(
                    "way", way.id, way.tags.get("name"),
                    sum(p[0] for p in points) / len(points),
                    sum(p[1] for p in points) / len(points))

        def area(self, area: osmium.osm.Area) -> None:
            if not matches(area.tags):
                return
            outer: list[list[Point]] = []
            inner: list[list[Point]] = []
            for ring in area.outer_rings():
                outer.append([(ref.location.lat, ref.location.lon)
                              for ref in ring])
                inner.extend([(ref.location.lat, ref.location.lon)
                              for ref in hole]
                             for hole in area.inner_rings(ring))
            if not outer:
                return
            kind = "way" if area.from_way() else "relation"
            lat, lon = ring_centroid(outer, inner)
            found[kind, area.orig_id()] = OsmPlace(
                kind, area.orig_id(), area.tags.get("name"), lat, lon)

    Collector().apply_file(os.fspath(path), locations=True)
    for way_id, place in unclosed.items():
        found.setdefault(("way", way_id), place)
    return sorted(found.values(),
                  key=lambda p: (_TYPE_ORDER[p.osm_type], p.osm_id))


def write_places(output: str | os.PathLike[str],
                 found: Iterable[OsmPlace]) -> int:
    """Writes places as CSV (UTF-8, ``\\n`` line ends) with the columns
    ``osm_type``, ``osm_id``, ``name``, ``lat``, ``lon``; returns how many
    rows."""
    count = 0
    with open(output, "w", encoding="utf-8", newline="") as stream:
        writer = csv.writer(stream, lineterminator="\n")
        writer.writerow(["osm_type", "osm_id", "name", "lat", "lon"])
        for place in found:
            writer.writerow([place.osm_type, place.osm_id, place.name or "",
                             f"{place.lat:.{COORDINATE_DECIMALS}f}",
                             f"{place.lon:.{COORDINATE_DECIMALS}f}"])
            count += 1
    return count
