"""The street network as GeoJSON, for the map page: GET /network."""

from __future__ import annotations

from collections.abc import Iterable, Mapping

from norvel.serve.queries import dumps

Box = tuple[float, float, float, float]
LonLat = tuple[float, float]


class StreetNetwork:
    """The streets of a graph as segments between node positions, one per
    pair of nodes whatever the edges' directions, grouped by street name."""

    def __init__(self, coordinates: Mapping[int, LonLat],
                 edges: Iterable[tuple[int, int, str | None]]) -> None:
        seen: set[tuple[int, int]] = set()
        self._segments: list[tuple[LonLat, LonLat, str | None]] = []
        for start, end, name in edges:
            key = (start, end) if start <= end else (end, start)
            if key in seen or start not in coordinates or end not in coordinates:
                continue
            seen.add(key)
            self._segments.append((coordinates[start], coordinates[end], name))
        self._whole: bytes | None = None

    def geojson(self, box: Box | None) -> bytes:
        """A FeatureCollection with one MultiLineString per street name (the
        unnamed streets together, name null) of the segments with an end in
        the box (every segment without a box), and the extent of what it
        holds as ``bbox``."""
        if box is None:
            if self._whole is None:
                self._whole = self._collection(self._segments)
            return self._whole
        min_lon, min_lat, max_lon, max_lat = box

        def inside(point: LonLat) -> bool:
            return min_lon <= point[0] <= max_lon and min_lat <= point[1] <= max_lat

        return self._collection([s for s in self._segments if inside(s[0]) or inside(s[1])])

    @staticmethod
    def _collection(segments: list[tuple[LonLat, LonLat, str | None]]) -> bytes:
        streets: dict[str | None, list[list[list[float]]]] = {}
        for start, end, name in segments:
            streets.setdefault(name, []).append([list(start), list(end)])
        features = [{"type": "Feature",
                     "geometry": {"type": "MultiLineString", "coordinates": lines},
                     "properties": {"name": name}}
                    for name, lines in streets.items()]
        collection: dict[str, object] = {"type": "FeatureCollection", "features": features}
        if segments:
            lons = [p[0] for s in segments for p in s[:2]]
            lats = [p[1] for s in segments for p in s[:2]]
            collection["bbox"] = [min(lons), min(lats), max(lons), max(lats)]
        return dumps(collection)
