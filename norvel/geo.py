"""Routes as geometry: GeoJSON, and node coordinates from graph documents.

The one place routes become GeoJSON: ``Route.to_feature`` and
``Routes.to_geojson`` are ``route_feature`` and ``feature_collection``, and
``write_geojson`` writes the same features to a file (as ``norvel route
--geojson`` does). Besides a router's ``Route`` objects, every function
takes the module's ``PyRouteResult`` objects, turned into a ``Route`` by
``as_route`` with coordinates from the router, its table or a node id ->
(lon, lat) mapping read from the document the graph was loaded from
(``.json`` or ``.json.gz``). Coordinates are (lon, lat) pairs, in GeoJSON's
order. Where a document repeats a node id, the last record wins, as in the
route search.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterable, Mapping
from dataclasses import replace
from typing import Any, TypeAlias

from norvel_core import PyRouteResult

from norvel import _documents, _geojson
# Great-circle distances for those who place routes on the map.
from norvel._earth import EARTH_RADIUS_M as EARTH_RADIUS_M
from norvel._earth import haversine_m as haversine_m
from norvel._files import read_graph_bytes
from norvel._values import DEFAULT_RISK
from norvel.router import Router
from norvel.routes import Route
from norvel.table import NodeTable

#: A position in GeoJSON's order: (longitude, latitude) in degrees.
LonLat: TypeAlias = tuple[float, float]
#: Node id to (lon, lat).
Coordinates: TypeAlias = Mapping[int, LonLat]


def read_document(path: str | os.PathLike[str]) -> Any:
    """The whole graph document of a file, parsed."""
    return _documents.parse_json(read_graph_bytes(path))


def read_coordinates(path: str | os.PathLike[str]) -> dict[int, LonLat]:
    """Node id -> (lon, lat) of a document file, without parsing its edges
    when the nodes come first."""
    return _coordinate_table(_documents.node_records(read_graph_bytes(path)))


def node_coordinates(document: Any) -> dict[int, LonLat]:
    """Node id -> (lon, lat) of a parsed document, in either record form
    (objects or arrays)."""
    return _coordinate_table(_documents.document_member(document, 0, "nodes"))


def street_edges(document: Any) -> list[tuple[int, int]]:
    """The (from, to) node ids of every edge of a parsed document."""
    return [(edge["from"], edge["to"]) if isinstance(edge, dict)
            else (edge[0], edge[1])
            for edge in _documents.document_member(document, 1, "edges")]


def _coordinate_table(nodes: Iterable[Any]) -> dict[int, LonLat]:
    table: dict[int, LonLat] = {}
    for node in nodes:
        if isinstance(node, dict):
            table[node["id"]] = (float(node["lon"]), float(node["lat"]))
        else:
            table[node[0]] = (float(node[2]), float(node[1]))
    return table


#: A route of norvel.Router or of the module itself.
AnyRoute: TypeAlias = Route | PyRouteResult
#: Where a PyRouteResult's path finds its coordinates.
Where: TypeAlias = Coordinates | NodeTable | Router


def as_route(route: AnyRoute, coordinates: Where | None = None) -> Route:
    """The ``Route`` of a route: a ``Route`` as it is; a ``PyRouteResult``
    with its path's (lon, lat) from ``coordinates`` (a router or its table,
    which also give the street names, or a node id -> (lon, lat) mapping).
    TypeError for a PyRouteResult without coordinates, or what is no
    route; KeyError when a path node is not in the table (another
    document)."""
    if isinstance(route, Route):
        return route
    if not isinstance(route, PyRouteResult):
        raise _no_route(route)
    if coordinates is None:
        raise TypeError("a PyRouteResult needs coordinates: a Router, its "
                        "NodeTable or a node id -> (lon, lat) mapping")
    table = coordinates.table if isinstance(coordinates, Router) else coordinates
    path = route.path
    if not isinstance(table, NodeTable):
        return _route_of(route, path, [table[node] for node in path], [])
    line = table.line(path)
    edges = table.route_edges(path, route.total_distance_m, route.total_risk,
                              route.total_familiarity)
    streets = table.edge_streets(edges) if edges else table.streets(path)
    made = replace(_route_of(route, path, line, streets), edges=edges)
    if isinstance(coordinates, Router):
        # The router's own routes, steps included.
        return made.with_facts(coordinates.session.facts(DEFAULT_RISK))
    return made


def _no_route(value: object) -> TypeError:
    return TypeError(f"expected a Route or a norvel_core.PyRouteResult, "
                     f"got {type(value).__name__}")


def _route_of(result: PyRouteResult, path: list[int], line: list[LonLat],
              streets: list[str]) -> Route:
    return Route(type=result.route_type, nodes=path, coordinates=line,
                 distance_m=result.total_distance_m, risk=result.total_risk,
                 time_min=result.estimated_time_min,
                 comfort=result.comfort_score,
                 familiarity=result.total_familiarity, streets=streets)


def route_line(route: AnyRoute, coordinates: Where | None = None
               ) -> list[LonLat]:
    """The (lon, lat) positions of a route's path (see ``as_route`` for
    ``coordinates``). A route of one node (source and target alike)
    repeats its position, since a line needs two."""
    return _geojson.line(as_route(route, coordinates).coordinates)


def route_properties(route: AnyRoute, streets: list[str] | None = None
                     ) -> dict[str, Any]:
    """The GeoJSON properties of a route: ``type``, ``distance_m``,
    ``risk``, ``time_min``, ``comfort``, ``familiarity``, ``nodes`` and
    ``streets`` (of a ``PyRouteResult``, the given ``streets`` or [])."""
    if isinstance(route, PyRouteResult):
        route = _route_of(route, route.path, [], list(streets or []))
    elif not isinstance(route, Route):
        raise _no_route(route)
    return _geojson.properties(route)


def route_feature(route: AnyRoute, coordinates: Where | None = None
                  ) -> dict[str, Any]:
    """A GeoJSON Feature: the route's LineString (``route_line``) with its
    metrics as properties (``route_properties``; distance in metres, time
    in minutes). ``Route.to_feature`` is this; a ``PyRouteResult`` needs
    ``coordinates`` (see ``as_route``)."""
    return _geojson.feature(as_route(route, coordinates))


def feature_collection(routes: Iterable[AnyRoute],
                       coordinates: Where | None = None) -> dict[str, Any]:
    """A GeoJSON FeatureCollection of routes, in their order (see
    ``route_feature``); ``Routes.to_geojson`` is this."""
    return _geojson.collection(as_route(r, coordinates) for r in routes)


def write_geojson(path: str | os.PathLike[str], routes: Iterable[AnyRoute],
                  coordinates: Where | None = None) -> None:
    """Writes the routes (a ``Routes``, ``Route`` objects, or
    ``PyRouteResult`` objects with their ``coordinates``) as one
    FeatureCollection in UTF-8, a feature a line. OSError when the file
    cannot be written."""
    collection = feature_collection(routes, coordinates)
    features = ",\n".join(json.dumps(f, allow_nan=False, ensure_ascii=False)
                          for f in collection["features"])
    with open(path, "w", encoding="utf-8") as stream:
        stream.write('{"type":"FeatureCollection","features":[\n'
                     + features + "\n]}\n")
