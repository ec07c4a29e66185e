"""Routes as geometry: node coordinates from the graph document, GeoJSON.

The document is the one the graph was loaded from (``.json`` or
``.json.gz``); every node id of a route is a node of it. Coordinates are
(lon, lat) pairs, in GeoJSON's order. Where a document repeats a node id,
the last record wins, as in the route search.
"""

from __future__ import annotations

import json
import os
import re
from collections.abc import Callable, Iterable, Mapping
from typing import Any, TypeAlias

from norvel_core import PyRouteResult

from norvel._files import read_graph_bytes

LonLat: TypeAlias = tuple[float, float]
Coordinates: TypeAlias = Mapping[int, LonLat]

# Documents written by norvel.osm and most others open with the node array;
# then only that array needs parsing, a fifth or less of the text.
_NODES_FIRST = re.compile(r'\s*(?:\{\s*"nodes"\s*:|\[)\s*')

# A whole 1,000,000-node document parses in 3.7 s with orjson, 6.7 s with
# json (extra norvel_core[geo]).
_loads: Callable[[bytes], Any]
try:
    from orjson import loads as _loads
except ImportError:
    _loads = json.loads


def read_document(path: str | os.PathLike[str]) -> Any:
    """The whole graph document of a file, parsed."""
    return _loads(read_graph_bytes(path))


def read_coordinates(path: str | os.PathLike[str]) -> dict[int, LonLat]:
    """Node id -> (lon, lat) of a document file, without parsing its edges
    when the nodes come first."""
    data = read_graph_bytes(path)
    text = data.decode("utf-8")
    start = _NODES_FIRST.match(text)
    if start is None:
        return node_coordinates(_loads(data))
    # json's raw_decode stops at the array's end; orjson would parse all.
    nodes, _ = json.JSONDecoder().raw_decode(text, start.end())
    return _coordinate_table(nodes)


def node_coordinates(document: Any) -> dict[int, LonLat]:
    """Node id -> (lon, lat) of a parsed document, in either record form
    (objects or arrays)."""
    return _coordinate_table(_member(document, 0, "nodes"))


def street_edges(document: Any) -> list[tuple[int, int]]:
    """The (from, to) node ids of every edge of a parsed document."""
    return [(edge["from"], edge["to"]) if isinstance(edge, dict)
            else (edge[0], edge[1])
            for edge in _member(document, 1, "edges")]


def _member(document: Any, position: int, name: str) -> Any:
    return document[name] if isinstance(document, dict) else document[position]


def _coordinate_table(nodes: Iterable[Any]) -> dict[int, LonLat]:
    table: dict[int, LonLat] = {}
    for node in nodes:
        if isinstance(node, dict):
            table[node["id"]] = (float(node["lon"]), float(node["lat"]))
        else:
            table[node[0]] = (float(node[2]), float(node[1]))
    return table


def route_line(route: PyRouteResult, coordinates: Coordinates) -> list[LonLat]:
    """The (lon, lat) positions of a route's path. A route of one node
    (source and target alike) repeats its position, since a line needs two.
    KeyError when a path node is not in the table (another document)."""
    line = [coordinates[node] for node in route.path]
    return line * 2 if len(line) == 1 else line


def route_properties(route: PyRouteResult) -> dict[str, str | float]:
    return {
        "type": route.route_type,
        "distance": route.total_distance_m,
        "risk": route.total_risk,
        "time": route.estimated_time_min,
        "comfort": route.comfort_score,
        "familiarity": route.total_familiarity,
    }


def route_feature(route: PyRouteResult, coordinates: Coordinates) -> dict[str, Any]:
    """A GeoJSON Feature: the route's LineString with its metrics as
    properties (distance in metres, time in minutes)."""
    return {
        "type": "Feature",
        "geometry": {"type": "LineString",
                     "coordinates": [list(p) for p in route_line(route, coordinates)]},
        "properties": route_properties(route),
    }


def feature_collection(routes: Iterable[PyRouteResult],
                       coordinates: Coordinates) -> dict[str, Any]:
    return {"type": "FeatureCollection",
            "features": [route_feature(r, coordinates) for r in routes]}


def write_geojson(path: str | os.PathLike[str], routes: Iterable[PyRouteResult],
                  coordinates: Coordinates) -> None:
    """Writes the routes as one FeatureCollection, a feature a line."""
    collection = feature_collection(routes, coordinates)
    features = ",\n".join(json.dumps(f, allow_nan=False)
                          for f in collection["features"])
    with open(path, "w", encoding="utf-8") as stream:
        stream.write('{"type":"FeatureCollection","features":[\n'
                     + features + "\n]}\n")
