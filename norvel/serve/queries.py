"""What a client sent, turned into values: the parameters of a query string
and the bodies of POST /routes and POST /route. Pure functions of their
input.

Only the form is checked here (a number is written as one, a parameter is
known and given once, a body is the object it should be); whether a value
is acceptable (a coordinate in range, eps at least 0) is for ``norvel``'s
own checks (``norvel._values``, through the Router) to say. Either way a
problem is a ``ValueError`` or a ``TypeError`` with an English message,
which the service answers with a 400.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Sequence
from typing import Any
from urllib.parse import parse_qsl

import numpy as np
import numpy.typing as npt

from norvel import _requests, _values
# Numbers, node ids and "LAT,LON" points read as the command line reads them.
from norvel._requests import node as node
from norvel._requests import number as number
from norvel._requests import point as point
from norvel._values import DEFAULT_RISK, Place
from norvel.serve import bodies
from norvel.serve.parameters import (AVOID_POLYGONS, FORMAT, MAX_STOPS, RISK, ROUTE_FORMATS,
                                     STEPS, TIME, body_members, names)

#: One POST /routes takes at most this many pairs.
MAX_PAIRS = 10_000
#: The longest body a POST takes: one of 10,000 pairs of points with every
#: digit a double can have stays under 2 MiB.
MAX_BODY_BYTES = 8 * 2**20
#: More than any request needs; a longer query is refused before parsing.
MAX_QUERY_FIELDS = 16

#: A bounding box: min lon, min lat, max lon, max lat.
Box = tuple[float, float, float, float]


def _json_dumps(value: Any) -> bytes:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"),
                      allow_nan=False).encode("utf-8")


def _json_dumps_array(array: npt.NDArray[np.float64]) -> bytes:
    return _json_dumps(array.tolist())


#: orjson writes a route about ten times faster, and an array of floats
#: straight from its memory; both write every float with the fewest digits
#: that read back to the same double.
dumps: Callable[[Any], bytes]
dumps_array: Callable[[npt.NDArray[np.float64]], bytes]
try:
    import orjson
except ImportError:
    dumps, dumps_array = _json_dumps, _json_dumps_array
else:
    dumps = orjson.dumps

    def dumps_array(array: npt.NDArray[np.float64]) -> bytes:
        """A C-contiguous float64 array as nested JSON lists."""
        return orjson.dumps(array, option=orjson.OPT_SERIALIZE_NUMPY)


def error_body(message: str) -> bytes:
    return dumps({"error": message})


def parse_query(query: bytes, allowed: tuple[str, ...]) -> dict[str, str]:
    """The parameters of a raw query string, each given at most once and each
    one of ``allowed``."""
    try:
        pairs = parse_qsl(query.decode("utf-8", "replace"), keep_blank_values=True,
                          max_num_fields=MAX_QUERY_FIELDS)
    except ValueError:
        raise ValueError("too many query parameters") from None
    params: dict[str, str] = {}
    for name, value in pairs:
        if name not in allowed:
            known = ", ".join(allowed)
            raise ValueError(f"unknown parameter {name!r} (known: {known})")
        if name in params:
            raise ValueError(f"parameter {name!r} is given more than once")
        params[name] = value
    return params


def query_end(params: dict[str, str], point_name: str, node_name: str) -> Place:
    """One end of GET /route: a point 'from'/'to' or a node 'from_node'/'to_node'."""
    text_point, text_node = params.get(point_name), params.get(node_name)
    if text_point is not None and text_node is not None:
        raise ValueError(f"give either {point_name!r} or {node_name!r}, not both")
    if text_node is not None:
        return node(text_node, node_name)
    if text_point is None:
        raise ValueError(f"missing parameter {point_name!r} (LAT,LON) "
                         f"or {node_name!r} (a node id)")
    return point(text_point, point_name)


def options(params: dict[str, str], polygons: Sequence[Any] = ()) -> dict[str, Any]:
    """The ``eps``, ``max_snap_m``, ``risk`` and ``at`` (``layer``), ``via``,
    ``alternatives``, ``max_shared``, ``max_detour`` and ``avoid`` a query
    gives (and a body's GeoJSON ``polygons`` to avoid), as keyword
    arguments of ``Router.route``; those left out take the Router's
    defaults."""
    given: dict[str, Any] = {name: number(params[name], name)
                             for name in ("eps", "max_snap_m", "max_shared",
                                          "max_detour") if name in params}
    if "alternatives" in params:
        given["alternatives"] = _requests.count(params["alternatives"],
                                                "alternatives")
    return given | layer(params) | stops(params) | avoided(params, polygons)


def layer(params: dict[str, str]) -> dict[str, Any]:
    """The ``risk`` (a layer's name) and ``at`` (the time of day 'time',
    "HH:MM") a query gives, as sent: keyword arguments of ``Router.route``,
    ``front`` and ``catchment``, which refuse both at once."""
    given = {"risk": params["risk"]} if "risk" in params else {}
    return given | ({"at": params["time"]} if "time" in params else {})


def stops(params: dict[str, str]) -> dict[str, Any]:
    """The ``via`` a query gives (stops separated by ";"), as a keyword
    argument of ``Router.route`` and ``Router.front``; none when left
    out."""
    if "via" not in params:
        return {}
    return {"via": _requests.places(params["via"], "via", MAX_STOPS)}


def avoided(params: dict[str, str], polygons: Sequence[Any] = ()) -> dict[str, Any]:
    """The ``avoid`` keyword argument of ``Router.route`` that
    ``avoid_edges`` (indices separated by commas) and ``avoid_bbox`` (boxes
    separated by ';') give, with a body's GeoJSON ``polygons``, as a list
    of edge indices and GeoJSON polygons; empty when none is given."""
    parts: list[Any] = []
    if "avoid_edges" in params:
        parts.append(_requests.edge_indices(params["avoid_edges"], "avoid_edges"))
    if "avoid_bbox" in params:
        for text in params["avoid_bbox"].split(";"):
            min_lon, min_lat, max_lon, max_lat = box(text, "avoid_bbox")
            parts.append({"type": "Polygon", "coordinates": [[
                [min_lon, min_lat], [max_lon, min_lat], [max_lon, max_lat],
                [min_lon, max_lat], [min_lon, min_lat]]]})
    parts += polygons
    return {"avoid": parts} if parts else {}


def front_query(query: bytes) -> tuple[Place, Place, dict[str, Any]]:
    """The ends of GET /front (as GET /route's) and the keyword arguments
    of ``Router.front`` that the query gives: ``max_snap_m``, ``risk`` and
    ``at`` (as sent) and ``via``."""
    params = parse_query(query, names("/front"))
    given: dict[str, Any] = {name: number(params[name], name)
                             for name in ("max_snap_m",) if name in params}
    return (query_end(params, "from", "from_node"),
            query_end(params, "to", "to_node"),
            given | layer(params) | stops(params) | avoided(params))


#: How a query writes yes and no (``steps``).
_FLAGS = {"true": True, "1": True, "false": False, "0": False}


def route_output(params: dict[str, str]) -> tuple[str, bool]:
    """The ``format`` (one of ``ROUTE_FORMATS``) and whether ``steps`` are
    asked for ("true"/"1" or "false"/"0", in any case) of GET /route,
    their defaults when left out."""
    form = params.get("format", FORMAT.default)
    if form not in ROUTE_FORMATS:
        raise ValueError(f"'format' must be one of {', '.join(ROUTE_FORMATS)}, "
                         f"got {form[:40]!r}")
    if "steps" not in params:
        return form, STEPS.default
    flag = params["steps"].lower()
    if flag not in _FLAGS:
        raise ValueError(f"'steps' must be true or false, got {flag[:40]!r}")
    return form, _FLAGS[flag]


def catchment_query(query: bytes) -> tuple[Place, dict[str, Any]]:
    """The place of GET /catchment (a point 'at' or a node 'at_node') and
    the keyword arguments of ``Router.catchment`` that the query gives:
    ``minutes``, ``eps``, ``max_snap_m``, ``max_detour``, ``direction``,
    ``risk`` and ``at`` (as sent)."""
    params = parse_query(query, names("/catchment"))
    given: dict[str, Any] = {name: number(params[name], name)
                             for name in ("minutes", "eps", "max_snap_m",
                                          "max_detour")
                             if name in params}
    if "direction" in params:
        given["direction"] = params["direction"]
    return query_end(params, "at", "at_node"), given | layer(params) | avoided(params)


def compared_layer(query: bytes) -> str | None:
    """The risk layer GET /catchment compares its catchment with
    ('compare'), or None."""
    return parse_query(query, names("/catchment")).get("compare")


def json_end(value: Any, name: str) -> Any:
    """An end of a POST /routes pair as ``Router.route`` takes it: a JSON
    integer is a node id, a list of two a (lat, lon) point (whose values the
    Router checks)."""
    if isinstance(value, int) and not isinstance(value, bool):
        return value
    if isinstance(value, list) and len(value) == 2:
        return tuple(value)
    raise ValueError(f"{name} must be a node id or [lat, lon]")


def json_object(body: bytes, known: Sequence[str]) -> dict[str, Any]:
    """A body that must be a JSON object whose members are among
    ``known``."""
    try:
        document = json.loads(body)
    except (ValueError, RecursionError):
        raise ValueError("the body must be a JSON object") from None
    if not isinstance(document, dict):
        raise ValueError("the body must be a JSON object")
    unknown = sorted(set(document) - set(known))
    if unknown:
        raise ValueError(f"unknown member {unknown[0]!r} (known: {', '.join(known)})")
    return document


def route_body(body: bytes) -> tuple[dict[str, str], list[Any]]:
    """The parameters of a POST /route body as GET /route's query writes
    them (so that the query's parsers read them), and the GeoJSON
    geometries of its ``avoid_polygons``."""
    members = body_members("/route")
    document = json_object(body, tuple(members))
    params: dict[str, str] = {}
    for name, value in document.items():
        form = members[name].body
        if form is not None:
            params[name] = bodies.text(form, value, name)
    found = (geometries(document[AVOID_POLYGONS.name], AVOID_POLYGONS.name)
             if AVOID_POLYGONS.name in document else [])
    return params, found


def geometries(value: Any, name: str) -> list[Any]:
    """The geometries of GeoJSON ``value``: a geometry, a Feature, a
    FeatureCollection, or a list of these; whether each is a Polygon or a
    MultiPolygon is for the avoid resolver to say."""
    found: list[Any] = []
    for item in value if isinstance(value, list) else [value]:
        kind = item.get("type") if isinstance(item, dict) else None
        features = item.get("features") if kind == "FeatureCollection" else [item]
        if kind is None or not isinstance(features, list):
            raise ValueError(f"{name!r} must be GeoJSON geometries, Features or "
                             f"FeatureCollections, got {json.dumps(item)[:40]}")
        for feature in features:
            geometry = (feature.get("geometry") if isinstance(feature, dict)
                        and feature.get("type") == "Feature" else feature)
            if not isinstance(geometry, dict):
                raise ValueError(f"{name!r}: a Feature's geometry must be a GeoJSON "
                                 f"geometry, got {json.dumps(geometry)[:40]}")
            found.append(geometry)
    return found


def batch_request(body: bytes, risk_layers: Sequence[str] = (DEFAULT_RISK,),
                  hours: _requests.Hours = ()) -> tuple[list[Any], float, float, str]:
    """(pairs, eps, max_snap_m, risk) of a POST /routes body, ``risk`` one
    of the graph's ``risk_layers``, named or the one whose ``hours`` hold
    at the body's ``time`` (as GET /route's, "HH:MM"; not with ``risk``);
    each pair is still the client's value, read one by one when it is
    routed."""
    document = json_object(body, ("pairs", "eps", "max_snap_m", RISK.name, TIME.name))
    pairs = document.get("pairs")
    if not isinstance(pairs, list):
        raise ValueError("'pairs' must be a list of [from, to] pairs")
    if len(pairs) > MAX_PAIRS:
        raise ValueError(f"at most {MAX_PAIRS} pairs in one request, "
                         f"got {len(pairs)}")
    # Checked once for the whole batch: a bad one is the request's 400. A
    # layer's member given is a string, null included, as POST /route reads it.
    risk, at = (bodies.text(bodies.WORD, document[name], name) if name in document
                else None for name in (RISK.name, TIME.name))
    checked = _requests.options(
        risk_layers, document.get("eps", _values.DEFAULT_EPS),
        document.get("max_snap_m", _values.DEFAULT_MAX_SNAP_M),
        risk=risk, hours=hours, at=at)
    return pairs, checked.eps, checked.max_snap_m, checked.risk


def bbox(query: bytes) -> Box | None:
    """The box of GET /network (minlon, minlat, maxlon, maxlat), or None for
    the whole graph."""
    params = parse_query(query, names("/network"))
    if "bbox" not in params:
        return None
    return box(params["bbox"], "bbox")


def box(text: str, name: str) -> Box:
    """A box "minlon,minlat,maxlon,maxlat" of the parameter ``name``."""
    parts = text.split(",")
    if len(parts) != 4:
        raise ValueError(f"'{name}' must be minlon,minlat,maxlon,maxlat")
    min_lon, min_lat, max_lon, max_lat = (number(p, name) for p in parts)
    checked = (_values.longitude(min_lon, f"{name} minlon"),
               _values.latitude(min_lat, f"{name} minlat"),
               _values.longitude(max_lon, f"{name} maxlon"),
               _values.latitude(max_lat, f"{name} maxlat"))
    if min_lon > max_lon or min_lat > max_lat:
        raise ValueError(f"'{name}' must be minlon,minlat,maxlon,maxlat with min <= max")
    return checked
