"""The street network as GeoJSON, for the map page: GET /network."""

from __future__ import annotations

import time
from collections.abc import Iterator

import numpy as np
import numpy.typing as npt

from norvel.serve.queries import Box, dumps, dumps_array
from norvel.table import Segments

#: Lines written between two looks at the clock: a few milliseconds' work.
LINES_PER_PIECE = 50_000


class Overtime(Exception):
    """The answer was not written by its deadline."""


class StreetNetwork:
    """The streets of a graph as segments between node positions, one per
    pair of nodes whatever the edges' directions (``NodeTable.segments``),
    grouped by street name. Read-only once built: threads share it."""

    def __init__(self, segments: Segments) -> None:
        # (segment, end, lon/lat), as the GeoJSON lines are written.
        self._lines: npt.NDArray[np.float64] = np.ascontiguousarray(
            np.stack((segments.starts, segments.ends), axis=1))
        # The names in the order they first come, and each segment's.
        self._names = list(dict.fromkeys(segments.names))
        number = {name: k for k, name in enumerate(self._names)}
        self._street = np.fromiter((number[name] for name in segments.names),
                                   dtype=np.intp, count=len(segments.names))
        self._whole: bytes | None = None

    def geojson(self, box: Box | None, deadline: float) -> bytes:
        """A FeatureCollection with one MultiLineString per street name (the
        unnamed streets together, name null), in the order the names first
        come, of the segments with an end in the box (every segment without
        a box), and the extent of what it holds as ``bbox``. Overtime when
        ``time.monotonic()`` passes ``deadline`` before it is written."""
        if box is None:
            if self._whole is None:
                self._whole = self._collection(np.arange(len(self._lines)), deadline)
            return self._whole
        min_lon, min_lat, max_lon, max_lat = box
        lon, lat = self._lines[:, :, 0], self._lines[:, :, 1]
        inside = (min_lon <= lon) & (lon <= max_lon) & (min_lat <= lat) & (lat <= max_lat)
        return self._collection(np.flatnonzero(inside.any(axis=1)), deadline)

    def _collection(self, chosen: npt.NDArray[np.intp], deadline: float) -> bytes:
        """The FeatureCollection of the segments ``chosen`` (ascending)."""
        streets = self._street[chosen]
        # Each street's segments in their order, the streets in the order
        # their first segment comes.
        by_street = chosen[np.argsort(streets, kind="stable")]
        counts = np.bincount(streets, minlength=len(self._names))
        starts = np.concatenate(([0], np.cumsum(counts)[:-1]))
        present, first = np.unique(streets, return_index=True)
        features = []
        for street in present[np.argsort(first)].tolist():
            lines = self._lines[by_street[starts[street]:starts[street] + counts[street]]]
            features.append(b'{"type":"Feature","geometry":{"type":"MultiLineString",'
                            b'"coordinates":[' + b",".join(_pieces(lines, deadline))
                            + b']},"properties":' + dumps({"name": self._names[street]})
                            + b"}")
        body = b'{"type":"FeatureCollection","features":[' + b",".join(features) + b"]"
        if len(chosen):
            points = self._lines[chosen]
            body += b',"bbox":' + dumps([float(points[:, :, 0].min()),
                                         float(points[:, :, 1].min()),
                                         float(points[:, :, 0].max()),
                                         float(points[:, :, 1].max())])
        return body + b"}"


def _pieces(lines: npt.NDArray[np.float64], deadline: float) -> Iterator[bytes]:
    """The JSON of the lines, a piece at a time without the enclosing
    brackets, looking at the clock between pieces."""
    for begin in range(0, len(lines), LINES_PER_PIECE):
        if time.monotonic() > deadline:
            raise Overtime
        yield dumps_array(lines[begin:begin + LINES_PER_PIECE])[1:-1]
