"""What the service's requests mean: their parameters read and checked, and
the answers a worker computes with a ``Router``. Pure functions of their
input; the worker and the front share them.

Every problem with what a client sent is a ``ClientError`` with its HTTP
status and an English message; nothing a client sends may escape as another
exception (that would be a 500).
"""

from __future__ import annotations

import json
import math
import re
from collections.abc import Callable
from typing import Any
from urllib.parse import parse_qsl

from norvel import NodeNotFoundError, NoRouteError, Router, RoutingError, SnapError

# Node ids are OpenStreetMap's unsigned 64-bit integers.
MAX_NODE_ID = 2**64 - 1
DEFAULT_EPS = 0.0
DEFAULT_MAX_SNAP_M = 250.0
# One POST /routes takes at most this many pairs.
MAX_PAIRS = 10_000
# More than any request needs; a longer query is refused before parsing.
MAX_QUERY_FIELDS = 16

_NUMBER = re.compile(r"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
_NODE_ID = re.compile(r"[0-9]{1,20}")

# An end of a route: a node id or a (lat, lon) point.
End = int | tuple[float, float]


class ClientError(Exception):
    """A request that cannot be answered because of what the client sent."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message


def _json_dumps(value: Any) -> bytes:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"),
                      allow_nan=False).encode("utf-8")


# orjson writes a route about ten times faster; both write every float with
# the fewest digits that read back to the same double.
dumps: Callable[[Any], bytes]
try:
    from orjson import dumps
except ImportError:
    dumps = _json_dumps


def error_body(message: str) -> bytes:
    return dumps({"error": message})


def parse_query(query: bytes, allowed: tuple[str, ...]) -> dict[str, str]:
    """The parameters of a raw query string, each given at most once and each
    one of ``allowed``."""
    try:
        pairs = parse_qsl(query.decode("utf-8", "replace"), keep_blank_values=True,
                          max_num_fields=MAX_QUERY_FIELDS)
    except ValueError:
        raise ClientError(400, "too many query parameters") from None
    params: dict[str, str] = {}
    for name, value in pairs:
        if name not in allowed:
            known = ", ".join(allowed)
            raise ClientError(400, f"unknown parameter {name!r} (known: {known})")
        if name in params:
            raise ClientError(400, f"parameter {name!r} is given more than once")
        params[name] = value
    return params


def number(text: str, name: str) -> float:
    """A finite decimal number; '1e999', 'nan' and 'inf' are refused."""
    text = text.strip()
    if not _NUMBER.fullmatch(text):
        raise ClientError(400, f"{name!r} must be a number, got {text[:40]!r}")
    value = float(text)
    if not math.isfinite(value):
        raise ClientError(400, f"{name!r} must be a finite number, got {text[:40]!r}")
    return value


def node_id(text: str, name: str) -> int:
    text = text.strip()
    value = int(text) if _NODE_ID.fullmatch(text) else -1
    if not 0 <= value <= MAX_NODE_ID:
        raise ClientError(400, f"{name!r} must be a node id (an integer from 0 "
                               f"to {MAX_NODE_ID}), got {text[:40]!r}")
    return value


def checked_point(lat: float, lon: float, name: str) -> tuple[float, float]:
    if not -90.0 <= lat <= 90.0:
        raise ClientError(400, f"latitude of {name!r} must be within [-90, 90], got {lat!r}")
    if not -180.0 <= lon <= 180.0:
        raise ClientError(400, f"longitude of {name!r} must be within [-180, 180], "
                               f"got {lon!r}")
    return lat, lon


def point(text: str, name: str) -> tuple[float, float]:
    """A 'LAT,LON' text."""
    parts = text.split(",")
    if len(parts) != 2:
        raise ClientError(400, f"{name!r} must be LAT,LON, got {text[:40]!r}")
    return checked_point(number(parts[0], name), number(parts[1], name), name)


def query_end(params: dict[str, str], point_name: str, node_name: str) -> End:
    """One end of GET /route: a point 'from'/'to' or a node 'from_node'/'to_node'."""
    text_point, text_node = params.get(point_name), params.get(node_name)
    if text_point is not None and text_node is not None:
        raise ClientError(400, f"give either {point_name!r} or {node_name!r}, not both")
    if text_node is not None:
        return node_id(text_node, node_name)
    if text_point is None:
        raise ClientError(400, f"missing parameter {point_name!r} (LAT,LON) "
                               f"or {node_name!r} (a node id)")
    return point(text_point, point_name)


def eps_value(value: float, name: str = "eps") -> float:
    if not value >= 0.0:
        raise ClientError(400, f"{name!r} must be 0 or more, got {value!r}")
    return value


def json_number(value: Any, name: str) -> float:
    """A number of a JSON body: int or float, not a boolean, finite."""
    if isinstance(value, bool) or not isinstance(value, int | float):
        raise ClientError(400, f"{name!r} must be a number")
    result = float(value)
    if not math.isfinite(result):
        raise ClientError(400, f"{name!r} must be a finite number")
    return result


def json_end(value: Any, name: str) -> End:
    """An end of a POST /routes pair: a node id, or [lat, lon]."""
    if isinstance(value, int) and not isinstance(value, bool):
        if not 0 <= value <= MAX_NODE_ID:
            raise ClientError(400, f"{name} must be a node id from 0 to {MAX_NODE_ID}")
        return value
    if isinstance(value, list) and len(value) == 2:
        return checked_point(json_number(value[0], f"{name} latitude"),
                             json_number(value[1], f"{name} longitude"), name)
    raise ClientError(400, f"{name} must be a node id or [lat, lon]")


def batch_request(body: bytes) -> tuple[list[Any], float, float]:
    """(pairs, eps, max_snap_m) of a POST /routes body; each pair is still
    the client's value, checked one by one when it is routed."""
    try:
        document = json.loads(body)
    except (ValueError, RecursionError):
        raise ClientError(400, "the body must be a JSON object") from None
    if not isinstance(document, dict):
        raise ClientError(400, "the body must be a JSON object")
    unknown = sorted(set(document) - {"pairs", "eps", "max_snap_m"})
    if unknown:
        raise ClientError(400, f"unknown member {unknown[0]!r} "
                               "(known: pairs, eps, max_snap_m)")
    pairs = document.get("pairs")
    if not isinstance(pairs, list):
        raise ClientError(400, "'pairs' must be a list of [from, to] pairs")
    if len(pairs) > MAX_PAIRS:
        raise ClientError(400, f"at most {MAX_PAIRS} pairs in one request, "
                               f"got {len(pairs)}")
    eps = eps_value(json_number(document.get("eps", DEFAULT_EPS), "eps"))
    max_snap_m = eps_value(json_number(document.get("max_snap_m", DEFAULT_MAX_SNAP_M),
                                       "max_snap_m"), "max_snap_m")
    return pairs, eps, max_snap_m


def routing_error(error: Exception) -> ClientError:
    """The status of what the router refused."""
    if isinstance(error, SnapError | NodeNotFoundError):
        status = 404
    elif isinstance(error, NoRouteError):
        status = 422
    else:
        status = 400
    message = error.args[0] if error.args and isinstance(error.args[0], str) else str(error)
    return ClientError(status, message)


def routes_body(router: Router, origin: End, destination: End, eps: float,
                max_snap_m: float) -> bytes:
    """The FeatureCollection of the routes between two ends, with the snaps."""
    try:
        routes = router.route(origin, destination, eps, max_snap_m=max_snap_m)
    except (RoutingError, ValueError, TypeError) as error:
        raise routing_error(error) from None
    collection = routes.to_geojson()
    for name, snap in (("origin", routes.origin), ("destination", routes.destination)):
        collection[name] = {"node": int(snap.node), "distance_m": float(snap.distance_m)}
    return dumps(collection)


def answer_route(router: Router, query: bytes) -> bytes:
    """GET /route."""
    params = parse_query(query, ("from", "to", "from_node", "to_node", "eps",
                                 "max_snap_m"))
    origin = query_end(params, "from", "from_node")
    destination = query_end(params, "to", "to_node")
    eps = eps_value(number(params.get("eps", "0"), "eps"))
    max_snap_m = eps_value(number(params.get("max_snap_m", str(DEFAULT_MAX_SNAP_M)),
                                  "max_snap_m"), "max_snap_m")
    return routes_body(router, origin, destination, eps, max_snap_m)


def answer_pair(router: Router, origin: Any, destination: Any, eps: float,
                max_snap_m: float) -> bytes:
    """One entry of POST /routes: the FeatureCollection, or the error with
    its status."""
    try:
        return routes_body(router, json_end(origin, "from"),
                           json_end(destination, "to"), eps, max_snap_m)
    except ClientError as error:
        return dumps({"error": error.message, "status": error.status})


def answer_nearest(router: Router, query: bytes) -> bytes:
    """GET /nearest."""
    params = parse_query(query, ("lat", "lon"))
    for name in ("lat", "lon"):
        if name not in params:
            raise ClientError(400, f"missing parameter {name!r}")
    lat, lon = checked_point(number(params["lat"], "lat"), number(params["lon"], "lon"),
                             "lat,lon")
    try:
        snap = router.nearest(lat, lon)
    except (RoutingError, ValueError, TypeError) as error:
        raise routing_error(error) from None
    return dumps({"node": int(snap.node), "distance_m": float(snap.distance_m)})


def bbox(query: bytes) -> tuple[float, float, float, float] | None:
    """The box of GET /network (minlon, minlat, maxlon, maxlat), or None for
    the whole graph."""
    params = parse_query(query, ("bbox",))
    if "bbox" not in params:
        return None
    parts = params["bbox"].split(",")
    if len(parts) != 4:
        raise ClientError(400, "'bbox' must be minlon,minlat,maxlon,maxlat")
    min_lon, min_lat, max_lon, max_lat = (number(p, "bbox") for p in parts)
    checked_point(min_lat, min_lon, "bbox")
    checked_point(max_lat, max_lon, "bbox")
    if min_lon > max_lon or min_lat > max_lat:
        raise ClientError(400, "'bbox' must be minlon,minlat,maxlon,maxlat "
                               "with min <= max")
    return min_lon, min_lat, max_lon, max_lat
