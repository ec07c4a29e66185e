"""How a JSON body (POST /route) writes a query parameter: the JSON types
its value takes, the query's text the same value has, and the JSON Schema
the API's description gives it on the graph served.

A body's value is turned into the query's text and read by the query's
own parser, so that a body and a query meet the same checks and get the
same messages; only the JSON types are the body's own to check."""

from __future__ import annotations

import json
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from norvel._values import NODE_ID_END
from norvel.serve.served import Served

__all__ = ["BOOLEAN", "BOXES", "INTEGER", "INTEGERS", "NUMBER", "POINT", "WORD",
           "BodyForm", "lat_lon", "places", "polygons_schema", "text"]

#: A JSON Schema, as the description writes it.
Schema = dict[str, Any]


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _is_integer(value: Any) -> bool:
    # JSON has numbers only: 3.0 is the integer 3 (JSON Schema's
    # "integer" takes it too).
    return _is_number(value) and (isinstance(value, int) or value.is_integer())


def _is_numbers(value: Any) -> bool:
    return isinstance(value, list) and all(_is_number(item) for item in value)


def _scalar(value: Any) -> str:
    """The query's text of a JSON number, string or boolean: the shortest
    text that reads back to the same double."""
    if isinstance(value, bool):
        return "true" if value else "false"
    return repr(value) if isinstance(value, float) else str(value)


def _integral(value: Any) -> str:
    return str(int(value))


def _numbers(value: list[Any]) -> str:
    return ",".join(map(_scalar, value))


@dataclass(frozen=True)
class BodyForm:
    """A parameter's form in a JSON body: ``what`` it must be (as a
    message says), whether a value ``fits`` its JSON types, the query's
    ``text`` of a value that does, and its JSON Schema on the graph served
    (None: the query parameter's own)."""

    what: str
    fits: Callable[[Any], bool]
    text: Callable[[Any], str]
    schema: Callable[[Served], Schema] | None = None


def text(form: BodyForm, value: Any, name: str) -> str:
    """The query's text of the body's ``value`` of the parameter ``name``;
    ValueError when its JSON types are not those of ``form``."""
    if not form.fits(value):
        written = json.dumps(value, ensure_ascii=False)
        raise ValueError(f"{name!r} must be {form.what}, got {written[:40]}")
    return form.text(value)


def lat_lon(served: Served) -> Schema:
    """A [lat, lon] point within the graph's box: what a client should
    send (the service reads any point on Earth)."""
    min_lon, min_lat, max_lon, max_lat = served.bbox
    return {"type": "array", "minItems": 2, "maxItems": 2, "items": {"type": "number"},
            "prefixItems": [{"type": "number", "minimum": min_lat, "maximum": max_lat},
                            {"type": "number", "minimum": min_lon, "maximum": max_lon}]}


def places(most: int) -> BodyForm:
    """1 to ``most`` places, each a node id or a [lat, lon] point."""
    def schema(served: Served) -> Schema:
        node = {"type": "integer", "minimum": 0, "maximum": NODE_ID_END - 1}
        return {"type": "array", "minItems": 1, "maxItems": most,
                "items": {"anyOf": [node, lat_lon(served)]}}

    return BodyForm(
        "a list of node ids and [lat, lon] points",
        lambda value: isinstance(value, list) and all(
            _is_integer(item) or _is_numbers(item) for item in value),
        lambda value: ";".join(_numbers(item) if isinstance(item, list) else _integral(item)
                               for item in value),
        schema)


def _boxes(served: Served) -> Schema:
    # As the query's boxes: in the graph's south-west quarter, each min in
    # the lower half of its range and each max in the upper.
    min_lon, min_lat, max_lon, max_lat = served.bbox
    lon_mid, lat_mid = min_lon + (max_lon - min_lon) / 8, min_lat + (max_lat - min_lat) / 8
    lon_top, lat_top = min_lon + (max_lon - min_lon) / 4, min_lat + (max_lat - min_lat) / 4
    bounds = ((min_lon, lon_mid), (min_lat, lat_mid), (lon_mid, lon_top), (lat_mid, lat_top))
    one = {"type": "array", "minItems": 4, "maxItems": 4, "items": {"type": "number"},
           "prefixItems": [{"type": "number", "minimum": low, "maximum": high}
                           for low, high in bounds]}
    return {"type": "array", "items": one}


def polygons_schema(served: Served) -> Schema:
    """GeoJSON Polygons and MultiPolygons in (lon, lat): one, a Feature of
    one, a FeatureCollection of such Features, or a list of these."""
    position = {"type": "array", "minItems": 2, "maxItems": 2,
                "prefixItems": [{"type": "number", "minimum": -180, "maximum": 180},
                                {"type": "number", "minimum": -90, "maximum": 90}],
                "items": {"type": "number"}}
    rings = {"type": "array", "minItems": 1,
             "items": {"type": "array", "minItems": 4, "items": position}}
    polygon = {"type": "object", "required": ["type", "coordinates"],
               "properties": {"type": {"const": "Polygon"}, "coordinates": rings}}
    multi = {"type": "object", "required": ["type", "coordinates"],
             "properties": {"type": {"const": "MultiPolygon"},
                            "coordinates": {"type": "array", "items": rings}}}
    geometry = {"anyOf": [polygon, multi]}
    feature = {"type": "object", "required": ["type", "geometry"],
               "properties": {"type": {"const": "Feature"}, "geometry": geometry}}
    collection = {"type": "object", "required": ["type", "features"],
                  "properties": {"type": {"const": "FeatureCollection"},
                                 "features": {"type": "array", "items": feature}}}
    one = {"anyOf": [polygon, multi, feature, collection]}
    return {"anyOf": [*one["anyOf"], {"type": "array", "items": one}]}


#: A number (a JSON integer or not).
NUMBER = BodyForm("a number", _is_number, _scalar)
#: An integer; a number with no fraction, such as 3.0, is one.
INTEGER = BodyForm("an integer", _is_integer, _integral)
#: true or false.
BOOLEAN = BodyForm("true or false", lambda value: isinstance(value, bool), _scalar)
#: A string, as the query writes it.
WORD = BodyForm("a string", lambda value: isinstance(value, str), _scalar)
#: A point [lat, lon], within the graph's box as described.
POINT = BodyForm("[lat, lon]", _is_numbers, _numbers, lat_lon)
#: Edge indices, a list of integers.
INTEGERS = BodyForm(
    "a list of edge indices",
    lambda value: isinstance(value, list) and all(map(_is_integer, value)),
    lambda value: ",".join(map(_integral, value)))
#: Boxes, a list of [minlon, minlat, maxlon, maxlat].
BOXES = BodyForm(
    "a list of [minlon, minlat, maxlon, maxlat] boxes",
    lambda value: isinstance(value, list) and all(map(_is_numbers, value)),
    lambda value: ";".join(map(_numbers, value)), _boxes)
