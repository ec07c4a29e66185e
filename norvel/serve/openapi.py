"""The service's API described as OpenAPI 3.1 (``/openapi.json``), and the
same as a plain HTML page (``/docs``) that needs nothing from the internet.

The description is made for the graph served (``served.Served``): the
query parameters come from ``norvel.serve.parameters``, which the query
parsers read too, with their forms and examples on that graph."""

from __future__ import annotations

import html
from typing import Any

from norvel._values import DEFAULT_MAX_CATCHMENT_NODES
from norvel.serve import parameters
from norvel.serve.limits import overtime_message
from norvel.serve.parameters import EPS, LAYER, MAX_SNAP_M, RISK, TIME
from norvel.serve.queries import MAX_BODY_BYTES, MAX_PAIRS
from norvel.serve.served import Served
from norvel.steps import GPX_MEDIA_TYPE


def _error(description: str) -> dict[str, Any]:
    return {"description": description,
            "content": {"application/json": {"schema": {"$ref": "#/components/schemas/Error"}}}}


_ROUTE_ERRORS = {
    "400": _error("a missing or malformed parameter, eps below 0 or not finite, "
                  "coordinates out of range, an unknown risk layer"),
    "404": _error("an unknown node, or no routable node within max_snap_m"),
    "422": _error("no route joins the two points"),
    "503": _error("the worker answering the request ended, or the service is busy: "
                  "the request would wait, or has waited, for a worker longer than "
                  "its budget (the Retry-After header says in how many seconds to "
                  "try again)"),
    "504": _error(f"the request ran over the service's time limit, N s "
                  f"(--timeout-s), or waited for a worker that long: "
                  f"\"{overtime_message('N')}\""),
}

_FEATURE_COLLECTION = {
    "type": "object",
    "description": (
        "A GeoJSON FeatureCollection with one Feature per route (1 to 3: "
        "equal routes are given once), in the order shortest, safest, balanced, "
        "then those asked for: alternative (alternatives=K), within_detour "
        "(max_detour=X). "
        "Each geometry is a LineString of [lon, lat] positions; the properties are "
        "type, distance_m, risk, time_min, comfort, familiarity, nodes (the id "
        "path) and streets, with via legs (per leg first_node, last_node, "
        "distance_m, risk, time_min), and with steps=true steps, a list of the "
        "route's steps. origin and destination give the node each end "
        "snapped to and how far it is, in metres. Every number is the module's "
        "double, written in the shortest form that reads back to it."),
    "required": ["type", "features", "origin", "destination"],
    "properties": {
        "type": {"const": "FeatureCollection"},
        "features": {"type": "array", "items": {"type": "object"}},
        "origin": {"$ref": "#/components/schemas/Snap"},
        "destination": {"$ref": "#/components/schemas/Snap"},
    },
}

_FRONT = {
    **_FEATURE_COLLECTION,
    "description": (
        "The FeatureCollection of GET /route with one Feature per point of the "
        "exact Pareto front, by distance ascending (so risk falls from each to the "
        "next): the first has the shortest route's costs and the last the safest's. "
        "type is shortest, safest or balanced where GET /route chooses that point, "
        "front otherwise. origin and destination as in GET /route."),
}

_STEP = {
    "type": "object",
    "description": (
        "One step of a route's directions: kind (depart, turn, continue, via: "
        "a stop reached, arrive), modifier (straight, slight left, left, sharp left, uturn, "
        "slight right, right, sharp right), street and highway (or null), "
        "distance_m, risk and time_min summed over its edges, bearing_before "
        "and bearing_after (degrees clockwise from north, null at the ends), "
        "location [lat, lon] of its first node, first_node and last_node "
        "(indices into the route's nodes) and an English instruction."),
}

_POLYLINES = {
    "type": "object",
    "description": (
        "format=polyline5 or polyline6: per route its type, distance_m, risk, "
        "time_min, comfort, familiarity, streets and polyline (the encoded "
        "polyline algorithm format, lat/lon order, 5 or 6 decimals as "
        "precision says), and with steps=true its steps; origin and "
        "destination as in the FeatureCollection."),
    "required": ["precision", "routes", "origin", "destination"],
    "properties": {
        "precision": {"enum": [5, 6]},
        "routes": {"type": "array", "items": {"type": "object", "properties": {
            "polyline": {"type": "string"},
            "steps": {"type": "array", "items": _STEP}}}},
        "origin": {"$ref": "#/components/schemas/Snap"},
        "destination": {"$ref": "#/components/schemas/Snap"},
    },
}

_CATCHMENT = {
    "type": "object",
    "description": (
        "A GeoJSON FeatureCollection with one LineString Feature per street "
        "segment whose both ends are in the catchment (a two-way street once), "
        "[lon, lat] positions. Properties: tail and head (node ids), name (or "
        "null), and of the walk between the tail and the place: minutes of the "
        "shortest walk, its risk, and detour_m, how many metres longer the safest "
        "walk is. place: the node the place snapped to, its lat and lon, and "
        "distance_m to it; minutes (null for no limit), direction, and nodes: how "
        "many nodes the catchment holds. With compare: each segment's "
        "detour_change_m and risk_change, the change in its tail's safety detour "
        "and shortest walk's risk, this catchment's minus that of the compared "
        "layer (null where that one lacks the tail); and compare: risk (the "
        "layer), nodes (how many its catchment holds) and only_there (how many "
        "of them this one does not). With max_detour: each segment's "
        "within_detour_m and within_detour_risk, the least risky walk between "
        "its tail and the place at most 1 + max_detour times as long as the "
        "shortest (null where none), and max_detour at the top."),
    "required": ["type", "features", "place", "minutes", "direction", "nodes"],
    "properties": {
        "type": {"const": "FeatureCollection"},
        "features": {"type": "array", "items": {"type": "object"}},
        "place": {"type": "object", "required": ["node", "lat", "lon", "distance_m"],
                  "properties": {"node": {"type": "integer"}, "lat": {"type": "number"},
                                 "lon": {"type": "number"},
                                 "distance_m": {"type": "number"}}},
        "minutes": {"type": ["number", "null"]},
        "direction": {"enum": ["to", "from"]},
        "nodes": {"type": "integer"},
        "compare": {"type": "object", "required": ["risk", "nodes", "only_there"],
                    "properties": {"risk": {"type": "string"},
                                   "nodes": {"type": "integer"},
                                   "only_there": {"type": "integer"}}},
    },
}

_HEALTH = {
    "type": "object",
    "required": ["status", "nodes", "edges", "risk_layers"],
    "properties": {
        "status": {"const": "ok"},
        "nodes": {"type": "integer", "minimum": 0},
        "edges": {"type": "integer", "minimum": 0},
        "risk_layers": {"type": "array", "items": {"type": "string"}},
        "graph": {"type": "object"},
        "last_reload_error": {"type": "string"},
    },
}

_NETWORK = {
    "type": "object",
    "required": ["type", "features"],
    "properties": {
        "type": {"const": "FeatureCollection"},
        "features": {"type": "array", "items": {
            "type": "object", "required": ["type", "geometry", "properties"],
            "properties": {"type": {"const": "Feature"},
                           "geometry": {"type": "object", "properties": {
                               "type": {"const": "MultiLineString"}}}}}},
        "bbox": {"type": "array", "items": {"type": "number"}, "minItems": 4,
                 "maxItems": 4},
    },
}

_BATCH_ENTRY_ERROR = {
    "type": "object", "required": ["error", "status"],
    "properties": {"error": {"type": "string"},
                   "status": {"enum": [400, 404, 422, 503, 504]}},
}


def _json(schema: dict[str, Any]) -> dict[str, Any]:
    return {"application/json": {"schema": schema}}


def _page(description: str, media_type: str = "text/html") -> dict[str, Any]:
    return {"description": description,
            "content": {media_type: {"schema": {"type": "string"}}}}


def document(served: Served) -> dict[str, Any]:
    """The service's OpenAPI 3.1 description, served at /openapi.json, on
    the graph ``served``."""
    return {
        "openapi": "3.1.0",
        "info": {
            "title": "norvel safe walking routes",
            "version": "0.1.0",
            "description": (
                "The shortest, the safest and a balanced walking route between two "
                "points of one street graph. Every answer is JSON in UTF-8; every "
                "error is {\"error\": \"...\"} in English. An answer computed on the "
                "graph carries the header X-Norvel-Graph: the generation of the graph "
                "that answered (1 for the first load, one more for each reload). "
                "The forms and examples of the parameters are those of the graph "
                "served: its points lie within its box, its risk layers are named."),
        },
        "paths": _paths(served),
        "components": {"schemas": {
            "Error": {"type": "object", "required": ["error"],
                      "properties": {"error": {"type": "string"}}},
            "Snap": {"type": "object", "required": ["node", "distance_m"],
                     "properties": {"node": {"type": "integer"},
                                    "distance_m": {"type": "number"}}},
        }},
    }


def _paths(served: Served) -> dict[str, Any]:
    return {
        "/health": {"get": {
            "summary": "The service is up; the graph serving new requests.",
            "responses": {"200": {"description": (
                "{\"status\": \"ok\", \"nodes\": N, \"edges\": M, \"risk_layers\": "
                "[...], \"graph\": {file, sha256, size, modified, nodes, edges, "
                "generation, loaded_at, load_s, risk_layers}}, with last_reload_error "
                "while the last reload failed (the graph before it goes on serving)"),
                "content": _json(_HEALTH)}}}},
        "/nearest": {"get": {
            "summary": "The nearest node with an outgoing edge to a point.",
            "parameters": parameters.openapi("/nearest", served),
            "responses": {"200": {"description": "{\"node\": ID, \"distance_m\": D}",
                                  "content": _json({"$ref": "#/components/schemas/Snap"})},
                          "400": _ROUTE_ERRORS["400"], "404": _error(
                              "the graph has no node with an outgoing edge"),
                          "503": _ROUTE_ERRORS["503"], "504": _ROUTE_ERRORS["504"]}}},
        "/route": {"get": {
            "summary": "The routes between two points or two nodes.",
            "description": "Each end is either a point (from, to: LAT,LON) or a node "
                           "id (from_node, to_node), not both. With via, alternatives or "
                           "max_detour the routes are chosen from the exact "
                           "fronts, whatever eps.",
            "parameters": parameters.openapi("/route", served),
            "responses": {"200": {"description": "the routes",
                                  "content": {**_json({"oneOf": [_FEATURE_COLLECTION,
                                                                 _POLYLINES]}),
                                              GPX_MEDIA_TYPE: {"schema": {
                                                  "type": "string"}}}},
                          **_ROUTE_ERRORS}},
                   "post": {
            "summary": "The routes of GET /route, asked for in a JSON body.",
            "description": (
                "The members are GET /route's parameters, with a point as [lat, lon], "
                "via as a list of node ids and [lat, lon] points, avoid_edges as a "
                "list of edge indices and avoid_bbox as a list of [minlon, minlat, "
                "maxlon, maxlat] boxes, and avoid_polygons: GeoJSON areas to avoid. "
                "Each value meets GET /route's checks, with the same messages; the "
                "answer is GET /route's to the same request. A body of more than "
                f"{MAX_BODY_BYTES:,} bytes is refused with a 400."),
            "requestBody": {"required": True, "content": _json({
                **parameters.body_openapi("/route", served),
                "example": {"from": list(served.origin_point),
                            "to": list(served.destination_point)}})},
            "responses": {"200": {"description": "the routes, as GET /route gives them",
                                  "content": {**_json({"oneOf": [_FEATURE_COLLECTION,
                                                                 _POLYLINES]}),
                                              GPX_MEDIA_TYPE: {"schema": {
                                                  "type": "string"}}}},
                          **_ROUTE_ERRORS,
                          "400": _error(
                              "a body that is no JSON object, an unknown member, a "
                              "value of another JSON type, or what GET /route refuses "
                              "with a 400; a GeoJSON area that is no Polygon or "
                              "MultiPolygon")}}},
        "/front": {"get": {
            "summary": "Every route of the Pareto front between two points or two nodes.",
            "description": "The ends as in GET /route. The search is exact: there is "
                           "no eps.",
            "parameters": parameters.openapi("/front", served),
            "responses": {"200": {"description": "the routes of the front",
                                  "content": _json(_FRONT)},
                          **_ROUTE_ERRORS,
                          "400": _error("a missing or malformed parameter, an unknown "
                                        "risk layer, coordinates out of range")}}},
        "/routes": {"post": {
            "summary": f"Many pairs at once, up to {MAX_PAIRS:,}.",
            "requestBody": {"required": True, "content": _json({
                "type": "object", "required": ["pairs"],
                "properties": {
                    "pairs": {"type": "array", "maxItems": MAX_PAIRS,
                              "description": "[FROM, TO] pairs; each end a node id or "
                                             "[lat, lon]",
                              "items": {"type": "array", "minItems": 2, "maxItems": 2,
                                        "items": {"anyOf": [
                                            parameters.FROM_NODE.form(served),
                                            _lat_lon(served)]}},
                              "example": [[served.origin, served.destination],
                                          [list(served.origin_point),
                                           list(served.destination_point)]]},
                    "eps": {**EPS.form(served), "default": EPS.default},
                    "max_snap_m": {**MAX_SNAP_M.form(served),
                                   "default": MAX_SNAP_M.default},
                    RISK.name: {**RISK.form(served), "default": RISK.default,
                                "description": "the risk layer every pair is searched "
                                               "on (GET /health lists them)"},
                    TIME.name: {**TIME.form(served), "description": TIME.description}},
                **LAYER.body_rule(),
                "additionalProperties": False})},
            "responses": {"200": {"description": (
                "{\"results\": [...], \"risk_layer\": ...}: the results in the order "
                "of the pairs, each the FeatureCollection of GET /route, or "
                "{\"error\": ..., \"status\": ...} with the status GET /route would "
                "have given; the risk layer every pair was searched on"),
                "content": _json({
                    "type": "object", "required": ["results", "risk_layer"],
                    "properties": {"results": {"type": "array", "items": {
                        "anyOf": [_FEATURE_COLLECTION, _BATCH_ENTRY_ERROR]}},
                        "risk_layer": {**RISK.form(served), "description":
                                       "the risk layer every pair was searched on"}}})},
                "400": _error(f"a body that is no such object, more than {MAX_PAIRS:,} "
                              "pairs, or a bad eps, max_snap_m, risk layer or time; "
                              "risk and time together"),
                "503": _error("the service is busy: the batch would wait for a "
                              "worker longer than its budget, or its pairs, each a "
                              "job, would wait beyond its queue (Retry-After says "
                              "when to try again)")}}},
        "/catchment": {"get": {
            "summary": "The streets within a walk of a place, with each one's safety "
                       "detour.",
            "description": (
                "Every node whose shortest walk to the place (direction to) or from "
                "it (from) takes at most minutes at 66.67 m a minute, and the street "
                "segments between them, from one search: each segment's numbers "
                "are those of the routes GET /route gives between its tail and the "
                "place. The place is a point (at: LAT,LON) or a node id (at_node). "
                "A catchment of more nodes than the service's limit (norvel serve "
                f"--max-catchment-nodes, {DEFAULT_MAX_CATCHMENT_NODES:,} unless set) "
                "is refused with a 400 that names the limit."),
            "parameters": parameters.openapi("/catchment", served),
            "responses": {"200": {"description": "the catchment's streets",
                                  "content": _json(_CATCHMENT)},
                          "400": _error(
                              "a missing or malformed parameter, minutes below 0, eps "
                              "other than 0, a direction other than to or from, "
                              "coordinates out of range, an unknown risk layer, or a "
                              "catchment of more nodes than the service's limit"),
                          "404": _ROUTE_ERRORS["404"],
                          "422": _error("direction from, and no edge leaves the place"),
                          "503": _ROUTE_ERRORS["503"], "504": _ROUTE_ERRORS["504"]}}},
        "/network": {"get": {
            "summary": "The streets with an end in a box, as GeoJSON, for the map page.",
            "parameters": parameters.openapi("/network", served),
            "responses": {"200": {"description": (
                "A FeatureCollection: a MultiLineString of [lon, lat] segments per "
                "street name (property name, null for unnamed streets) and the "
                "extent of its contents as bbox"), "content": _json(_NETWORK)},
                "400": _ROUTE_ERRORS["400"], "503": _ROUTE_ERRORS["503"],
                "504": _ROUTE_ERRORS["504"]}}},
        "/": {"get": {"summary": "The map page.",
                      "responses": {"200": _page("HTML")}}},
        "/docs": {"get": {"summary": "This description as a page.",
                          "responses": {"200": _page("HTML")}}},
        "/openapi.json": {"get": {"summary": "This description.",
                                  "responses": {"200": {
                                      "description": "OpenAPI 3.1",
                                      "content": _json({"type": "object"})}}}},
        "/metrics": {"get": {"summary": "The service's metrics, for Prometheus.",
                             "responses": {"200": _page(
                                 "Prometheus's text format: requests by endpoint "
                                 "and status, latency and search time, queue and "
                                 "expected wait, refusals, workers, time-outs, "
                                 "reloads, the graph", "text/plain")}}},
    }


def _lat_lon(served: Served) -> dict[str, Any]:
    """A [lat, lon] point of a POST /routes pair."""
    return {"type": "array", "prefixItems": [parameters.LAT.form(served),
                                             parameters.LON.form(served)],
            "minItems": 2, "maxItems": 2}


def docs_page(spec: dict[str, Any]) -> str:
    """The description as one HTML page."""
    parts = [f"<!doctype html><html lang='en'><head><meta charset='utf-8'>"
             f"<title>{html.escape(spec['info']['title'])}: API</title><style>"
             "body{font:15px/1.45 system-ui,sans-serif;max-width:60em;margin:2em auto;"
             "padding:0 1em}code{background:#f3f3f3;padding:0 .2em}"
             "h2{border-top:1px solid #ddd;padding-top:.6em}td{padding:.15em .6em;"
             "vertical-align:top}</style></head><body>",
             f"<h1>{html.escape(spec['info']['title'])}</h1>",
             f"<p>{html.escape(spec['info']['description'])}</p>",
             "<p>Machine-readable: <a href='/openapi.json'>/openapi.json</a>. "
             "The map page: <a href='/'>/</a>.</p>"]
    for path, methods in spec["paths"].items():
        for method, operation in methods.items():
            parts.append(f"<h2><code>{method.upper()} {html.escape(path)}</code></h2>")
            parts.append(f"<p>{html.escape(operation['summary'])} "
                         f"{html.escape(operation.get('description', ''))}</p>")
            rows = [f"<tr><td><code>{html.escape(p['name'])}</code></td>"
                    f"<td>{'required' if p['required'] else 'optional'}</td>"
                    f"<td>{html.escape(p['description'])}</td></tr>"
                    for p in operation.get("parameters", [])]
            if rows:
                parts.append("<table>" + "".join(rows) + "</table>")
            answers = [f"<tr><td>{code}</td><td>{html.escape(r['description'])}</td></tr>"
                       for code, r in operation["responses"].items()]
            parts.append("<table>" + "".join(answers) + "</table>")
    parts.append("</body></html>")
    return "".join(parts)
