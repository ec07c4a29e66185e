"""The query parameters of ``norvel serve``'s endpoints, each written once:
its name, what it means, its form, its default. The query parsers take the
names an endpoint knows from here (``names``), and the API's description
(``norvel.serve.openapi``) its parameters (``openapi``), whose schemas and
examples are made for the graph served (``served.Served``): its risk
layers, points where its nodes are, real nodes and points as examples.

A form is the JSON Schema of what the parser reads and the service
answers with something other than a 400: a node id of [0, 2**64), a
"LAT,LON" point within the graph's box (``norvel.serve.patterns``), a
number within its bounds, one of a few words.

A parameter of POST /route's JSON body has a form there too
(``norvel.serve.bodies``): a point is [lat, lon], stops and boxes are
lists. The body's members are its query parameters and those of the body
alone (``BODY_ONLY``)."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from norvel._values import (
    DEFAULT_CATCHMENT_MINUTES,
    DEFAULT_EPS,
    DEFAULT_MAX_SHARED,
    DEFAULT_MAX_SNAP_M,
    CLOCK_PATTERN,
    DEFAULT_RISK,
    DIRECTIONS,
    NODE_ID_END,
)
from norvel.serve import bodies, patterns
from norvel.serve.served import Served

__all__ = ["BODY_ONLY", "ENDPOINTS", "MAX_STOPS", "ROUTE_FORMATS", "OneOf", "Parameter",
           "Schema", "body_members", "body_openapi", "names", "openapi"]

#: A JSON Schema, as the description writes it.
Schema = bodies.Schema

#: The most stops a query may name (``via``).
MAX_STOPS = 10

#: What GET /route can answer with (``format``): GeoJSON, GPX, or JSON with
#: each route's line as an encoded polyline of 5 or 6 decimals.
ROUTE_FORMATS = ("geojson", "gpx", "polyline5", "polyline6")


@dataclass(frozen=True)
class Parameter:
    """A query parameter: ``form`` gives the JSON Schema of its value on
    the graph served, ``example`` an example there (as JSON, None for
    none)."""

    name: str
    description: str
    form: Callable[[Served], Schema]
    default: Any = None
    example: Callable[[Served], Any] | None = None
    required: bool = False
    #: For an array: written as one parameter, its items joined by commas.
    comma_separated: bool = False
    #: Its form in a JSON body; None where no body takes it.
    body: bodies.BodyForm | None = None

    def openapi(self, served: Served) -> dict[str, Any]:
        """The OpenAPI Parameter Object on the graph served."""
        schema = self.form(served)
        if self.default is not None:
            schema = {**schema, "default": self.default}
        described: dict[str, Any] = {"name": self.name, "in": "query",
                                     "required": self.required,
                                     "description": self.description, "schema": schema}
        if self.example is not None:
            described["example"] = self.example(served)
        if self.comma_separated:
            described |= {"style": "form", "explode": False}
        return described

    def body_schema(self, served: Served) -> Schema:
        """The JSON Schema of its value in a body, on the graph served."""
        form = self.body.schema if self.body is not None and self.body.schema else self.form
        schema = form(served)
        written = (f"{self.description} (in a body: {self.body.what})"
                   if self.body is not None and schema.get("type") == "array"
                   else self.description)
        schema = {**schema, "description": written}
        if self.default is not None:
            schema["default"] = self.default
        return schema


@dataclass(frozen=True)
class OneOf:
    """Parameters of which a query gives exactly one (an end is a point or
    a node), or at most one where not ``required`` (the risk layer, by its
    name or by the time of day): described as one parameter ``name``, an
    object of one of their values whose member is written into the query
    as a parameter of its own (OpenAPI's form style, exploded)."""

    name: str
    description: str
    members: tuple[Parameter, ...]
    required: bool = True

    def openapi(self, served: Served) -> dict[str, Any]:
        """The OpenAPI Parameter Object on the graph served."""
        branches = [{"type": "object", "required": [member.name],
                     "properties": {member.name: {**member.form(served),
                                                  "description": member.description}},
                     "additionalProperties": False} for member in self.members]
        described: dict[str, Any] = {
            "name": self.name, "in": "query", "required": self.required, "style": "form",
            "explode": True, "description": self.description,
            "schema": {"type": "object", "oneOf": branches}}
        first = self.members[0]
        if first.example is not None:
            described["example"] = {first.name: first.example(served)}
        return described

    def body_rule(self) -> Schema:
        """The JSON Schema rule of a body that gives its members as members
        of its own: exactly one of them, or at most one where not
        ``required``."""
        if self.required:
            return {"oneOf": [{"required": [member.name]} for member in self.members]}
        return {"not": {"anyOf": [{"required": [a.name, b.name]}
                                  for i, a in enumerate(self.members)
                                  for b in self.members[i + 1:]]}}


def _number(minimum: float | None = None, maximum: float | None = None
            ) -> Callable[[Served], Schema]:
    bounds = {name: bound for name, bound in (("minimum", minimum), ("maximum", maximum))
              if bound is not None}
    return lambda served: {"type": "number", **bounds}


def _words(words: tuple[str, ...]) -> Callable[[Served], Schema]:
    return lambda served: {"type": "string", "enum": list(words)}


def _node(served: Served) -> Schema:
    return {"type": "integer", "minimum": 0, "maximum": NODE_ID_END - 1}


def _point(served: Served) -> Schema:
    return {"type": "string", "pattern": patterns.point(served.bbox)}


def _layer(served: Served) -> Schema:
    return {"type": "string", "enum": list(served.risk_layers)}


def _clock(served: Served) -> Schema:
    return {"type": "string", "pattern": f"^{CLOCK_PATTERN}$"}


def _flag(served: Served) -> Schema:
    return {"type": "boolean"}


def _stops(served: Served) -> Schema:
    return {"type": "string", "pattern": patterns.places(served.bbox, MAX_STOPS)}


def _count(served: Served) -> Schema:
    return {"type": "integer", "minimum": 0}


def _box(served: Served) -> Schema:
    return {"type": "string", "pattern": patterns.box(served.bbox)}


def _edges(served: Served) -> Schema:
    return {"type": "array", "items": {"type": "integer", "minimum": 0,
                                       "maximum": served.edge_count - 1}}


def _boxes(served: Served) -> Schema:
    # Every box the pattern of the graph's own box admits holds its middle,
    # where the example ends are: the boxes described lie in its south-west
    # quarter instead, so that a client made from the description reaches
    # routes. The service reads any box.
    min_lon, min_lat, max_lon, max_lat = served.bbox
    quarter = (min_lon, min_lat, min_lon + (max_lon - min_lon) / 4, min_lat + (max_lat - min_lat) / 4)
    one = patterns.box(quarter)[1:-1]
    return {"type": "string", "pattern": f"^{one}(;{one})*$"}


def _text(lat_lon: tuple[float, float]) -> str:
    return f"{lat_lon[0]!r},{lat_lon[1]!r}"


def _example_box(served: Served) -> str:
    """The box of the two example points."""
    (lat_a, lon_a), (lat_b, lon_b) = served.origin_point, served.destination_point
    return ",".join(repr(v) for v in (min(lon_a, lon_b), min(lat_a, lat_b),
                                      max(lon_a, lon_b), max(lat_a, lat_b)))


FROM = Parameter("from", "start point LAT,LON", _point,
                 example=lambda s: _text(s.origin_point), body=bodies.POINT)
TO = Parameter("to", "end point LAT,LON", _point,
               example=lambda s: _text(s.destination_point), body=bodies.POINT)
FROM_NODE = Parameter("from_node", "start node id", _node,
                      example=lambda s: s.origin, body=bodies.INTEGER)
TO_NODE = Parameter("to_node", "end node id", _node,
                    example=lambda s: s.destination, body=bodies.INTEGER)
EPS = Parameter("eps", "approximation factor: 0 (exact) or more, finite", _number(0),
                DEFAULT_EPS, body=bodies.NUMBER)
MAX_SNAP_M = Parameter("max_snap_m", "farthest a point may be from its node, metres",
                       _number(0), DEFAULT_MAX_SNAP_M, body=bodies.NUMBER)
RISK = Parameter("risk", "the risk layer to search on (GET /health lists them)", _layer,
                 DEFAULT_RISK, body=bodies.WORD)
TIME = Parameter("time", "a time of day HH:MM: searches on the risk layer whose hours "
                         "hold then, \"default\" where none does (not with risk); the "
                         "answer's risk_layer names it", _clock, body=bodies.WORD)
STEPS = Parameter("steps", "true (or 1) to add each route's steps (turns, streets, "
                           "distances, risks, instructions); false (or 0) not to",
                  _flag, False, body=bodies.BOOLEAN)
FORMAT = Parameter("format", "geojson; gpx for a GPX 1.1 document "
                             "(application/gpx+xml); polyline5 or polyline6 for JSON "
                             "with each route's line as an encoded polyline",
                   _words(ROUTE_FORMATS), "geojson", body=bodies.WORD)
LAT = Parameter("lat", "latitude in degrees", _number(-90, 90), required=True,
                example=lambda s: s.origin_point[0])
LON = Parameter("lon", "longitude in degrees", _number(-180, 180), required=True,
                example=lambda s: s.origin_point[1])
AT = Parameter("at", "the place, LAT,LON", _point,
               example=lambda s: _text(s.origin_point))
AT_NODE = Parameter("at_node", "the place, a node id", _node,
                    example=lambda s: s.origin)
MINUTES = Parameter("minutes", "the walking time limit, 0 or more", _number(0),
                    DEFAULT_CATCHMENT_MINUTES)
DIRECTION = Parameter("direction", "to: the walks to the place; from: the walks from it",
                      _words(DIRECTIONS), "to")
EXACT_EPS = Parameter("eps", "0 only: catchments are exact", _number(0, 0), DEFAULT_EPS)
COMPARE = Parameter("compare", "a risk layer (GET /health lists them): each segment's "
                               "change against the same catchment on it", _layer)
VIA = Parameter("via", f"stops to walk through in order, separated by ';' (at most "
                       f"{MAX_STOPS}): each a point LAT,LON or a node id",
                _stops, example=lambda s: _text(s.origin_point),
                body=bodies.places(MAX_STOPS))
ALTERNATIVES = Parameter("alternatives", "how many alternative routes to add at most, "
                                         "from the exact front", _count, 0,
                         body=bodies.INTEGER)
MAX_SHARED = Parameter("max_shared", "the most of an alternative's length on the edges of "
                                     "each route before it, from 0 to 1", _number(0, 1),
                       DEFAULT_MAX_SHARED, body=bodies.NUMBER)
MAX_DETOUR = Parameter("max_detour", "adds the least risky route of the exact front at "
                                     "most 1 + max_detour times as long as the shortest",
                       _number(0), body=bodies.NUMBER)
CATCHMENT_MAX_DETOUR = Parameter(
    "max_detour", "adds to each segment the least risky walk between its tail and the "
                  "place at most 1 + max_detour times as long as the shortest",
    MAX_DETOUR.form)
BBOX = Parameter("bbox", "minlon,minlat,maxlon,maxlat, each min at most its max; the "
                         "whole graph when left out", _box, example=_example_box)

AVOID_EDGES = Parameter("avoid_edges", "edges the routes must not take: their indices "
                                       "in the document's edge list, separated by commas",
                        _edges, comma_separated=True, body=bodies.INTEGERS)
AVOID_BBOX = Parameter("avoid_bbox", "areas the routes must not cross: boxes "
                                     "minlon,minlat,maxlon,maxlat separated by ';' (every edge "
                                     "whose straight segment meets one, in lon/lat degrees)",
                       _boxes, body=bodies.BOXES)
AVOID_POLYGONS = Parameter("avoid_polygons", "areas the routes must not cross, as GeoJSON "
                                             "in (lon, lat): a Polygon or MultiPolygon, a "
                                             "Feature of one, a FeatureCollection of such "
                                             "Features, or a list of these (every edge whose "
                                             "straight segment meets one)",
                           bodies.polygons_schema)

ORIGIN = OneOf("origin", "where the routes start: from (a point LAT,LON) or from_node "
                         "(a node id)", (FROM, FROM_NODE))
DESTINATION = OneOf("destination", "where the routes end: to (a point LAT,LON) or "
                                   "to_node (a node id)", (TO, TO_NODE))
PLACE = OneOf("place", "the place: at (a point LAT,LON) or at_node (a node id)",
              (AT, AT_NODE))
LAYER = OneOf("layer", "the risk layer: risk (by its name) or time (the time of day "
                       "whose layer), not both; \"default\" where neither is given",
              (RISK, TIME), required=False)

#: The parameters of each endpoint that reads a query, by path.
ENDPOINTS: dict[str, tuple[Parameter | OneOf, ...]] = {
    "/nearest": (LAT, LON),
    "/route": (ORIGIN, DESTINATION, EPS, MAX_SNAP_M, LAYER, STEPS, FORMAT, VIA,
               ALTERNATIVES, MAX_SHARED, MAX_DETOUR, AVOID_EDGES, AVOID_BBOX),
    "/front": (ORIGIN, DESTINATION, MAX_SNAP_M, LAYER, VIA, AVOID_EDGES,
               AVOID_BBOX),
    "/catchment": (PLACE, MINUTES, DIRECTION, EXACT_EPS, MAX_SNAP_M, LAYER,
                   COMPARE, CATCHMENT_MAX_DETOUR, AVOID_EDGES, AVOID_BBOX),
    "/network": (BBOX,),
}


#: The members of each endpoint's JSON body that no query takes, by path.
BODY_ONLY: dict[str, tuple[Parameter, ...]] = {"/route": (AVOID_POLYGONS,)}


def names(path: str) -> tuple[str, ...]:
    """The names of the query parameters the endpoint ``path`` knows, in
    the order its messages list them: the ends' points before their
    nodes ("from, to, from_node, to_node")."""
    found: list[str] = []
    ends: list[tuple[Parameter, ...]] = []
    for parameter in (*ENDPOINTS[path], None):
        if isinstance(parameter, OneOf):
            ends.append(parameter.members)
            continue
        found += [member.name for members in zip(*ends) for member in members]
        ends = []
        if parameter is not None:
            found.append(parameter.name)
    return tuple(found)


def openapi(path: str, served: Served) -> list[dict[str, Any]]:
    """The OpenAPI Parameter Objects of the endpoint ``path``."""
    return [parameter.openapi(served) for parameter in ENDPOINTS[path]]


def body_members(path: str) -> dict[str, Parameter]:
    """The members a JSON body sent to ``path`` may give, by name: its
    query parameters, in the order of ``names``, then those of the body
    alone."""
    parameters = {member.name: member for parameter in ENDPOINTS[path]
                  for member in (parameter.members if isinstance(parameter, OneOf)
                                 else (parameter,))}
    return ({name: parameters[name] for name in names(path)}
            | {parameter.name: parameter for parameter in BODY_ONLY[path]})


def body_openapi(path: str, served: Served) -> Schema:
    """The JSON Schema of the body sent to ``path``, on the graph served:
    an object of its members, an end given by exactly one of its forms, a
    choice that is not required by at most one."""
    ends = [parameter.body_rule() for parameter in ENDPOINTS[path]
            if isinstance(parameter, OneOf)]
    return {"type": "object",
            "properties": {name: member.body_schema(served)
                           for name, member in body_members(path).items()},
            "allOf": ends, "additionalProperties": False}
