"""norvel serve against live servers on loopback: every endpoint and error
status, answers (routes and catchments) equal to the Router's own, fuzzed queries and bodies that
never give a 500, requests over the time limit that stop there, stuck,
killed and unloadable workers, and the memory of a server with two
workers."""

import http.client
import json
import math
import re
import subprocess
import sys
import threading
import time
from urllib.parse import quote, urlencode

import numpy as np
import psutil
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import norvel
from norvel.geo import feature_collection
from norvel.serve import queries
from norvel.serve.network import Overtime, StreetNetwork
from norvel.serve.dispatch import GRACE_S
from grids import DEAD_END, FIRST_ID, LONELY, add_equal_cost_grid, grid_document
from live_server import LiveServer, sample_graph

# The demo pair: three different routes.
ORIGIN, DESTINATION = 6138118389, 1490965433
# A grid whose edges all cost the same: countless equal routes, so that the
# exact search between opposite corners runs for minutes.
SLOW_FIRST, SLOW_SIZE = 1_000_000, 10
SLOW_LAST = SLOW_FIRST + SLOW_SIZE**2 - 1
TIMEOUT_S = 4
# The sample server's catchments: the 15-minute one of the station square
# (3,852 nodes) passes, the whole graph does not.
MAX_CATCHMENT_NODES = 5000
STATION = (60.1699, 24.9384)


@pytest.fixture(scope="session")
def router():
    return norvel.Router.from_file(sample_graph())


@pytest.fixture(scope="session")
def server():
    live = LiveServer(sample_graph(), "--workers", "2",
                      "--max-catchment-nodes", str(MAX_CATCHMENT_NODES))
    yield live
    assert live.stop() == 0, live.output()


def slow_grid_document():
    return add_equal_cost_grid(grid_document(12), SLOW_FIRST, SLOW_SIZE, SLOW_SIZE)


@pytest.fixture(scope="module")
def grid_server(tmp_path_factory):
    """Two workers on the test grid and the slow grid, a short time limit."""
    path = tmp_path_factory.mktemp("serve") / "grids.json"
    path.write_text(json.dumps(slow_grid_document()))
    # A wait budget past the time limit: requests here wait for a worker
    # rather than being refused (admission has its tests in test_serve_ops).
    live = LiveServer(path, "--workers", "2", "--timeout-s", str(TIMEOUT_S),
                      "--max-wait-s", "60")
    yield live
    assert live.stop() == 0, live.output()


def expected_routes(router, origin, destination, eps=0.0):
    routes = router.route(origin, destination, eps)
    collection = routes.to_geojson()
    for name, snap in (("origin", routes.origin), ("destination", routes.destination)):
        collection[name] = {"node": snap.node, "distance_m": snap.distance_m}
    collection["risk_layer"] = routes.risk
    # Through JSON, as the client reads it: floats compare exactly.
    return json.loads(json.dumps(collection))


def test_answers_are_the_routers_own(server, router):
    status, health = server.get("/health")
    assert (status, health["status"], health["nodes"], health["edges"]) == (
        200, "ok", 5790, 13798)
    assert {k: health["graph"][k] for k in ("file", "nodes", "edges", "generation")} == {
        "file": str(sample_graph()), "nodes": 5790, "edges": 13798, "generation": 1}
    snap = router.nearest(60.17, 24.94)
    assert server.get("/nearest?lat=60.17&lon=24.94") == (
        200, {"node": snap.node, "distance_m": snap.distance_m})

    status, body = server.get(f"/route?from_node={ORIGIN}&to_node={DESTINATION}")
    assert status == 200
    assert body == expected_routes(router, ORIGIN, DESTINATION)
    assert [f["properties"]["type"] for f in body["features"]] == [
        "shortest", "safest", "balanced"]
    start, end = router.table[ORIGIN], router.table[DESTINATION]
    query = f"from={start[0] + 0.0003},{start[1]}&to={end[0]},{end[1] - 0.0004}&eps=0.1"
    assert server.get("/route?" + query) == (200, expected_routes(
        router, (start[0] + 0.0003, start[1]), (end[0], end[1] - 0.0004), 0.1))
    # Ends of either kind mix.
    assert server.get(f"/route?from_node={ORIGIN}&to={end[0]},{end[1]}")[1][
        "features"] == body["features"]


def test_avoided_edges_and_boxes_are_the_routers_own(server, router):
    shortest = router.route(ORIGIN, DESTINATION)[0]
    lat, lon = router.table[shortest.nodes[len(shortest.nodes) // 2]]
    boxes = [(lon - 0.0004, lat - 0.0002, lon + 0.0004, lat + 0.0002), (24.93, 60.16, 24.931, 60.161)]
    polygons = [{"type": "Polygon", "coordinates": [[[a, b], [c, b], [c, d], [a, d], [a, b]]]}
                for a, b, c, d in boxes]
    avoid = [shortest.edges[:2], *polygons]
    query = (f"from_node={ORIGIN}&to_node={DESTINATION}&avoid_edges={shortest.edges[0]},{shortest.edges[1]}"
             f"&avoid_bbox=" + ";".join(",".join(map(repr, box)) for box in boxes))
    routes = router.route(ORIGIN, DESTINATION, avoid=avoid)
    assert routes[0].nodes != shortest.nodes
    expected = routes.to_geojson() | {
        name: {"node": snap.node, "distance_m": snap.distance_m}
        for name, snap in (("origin", routes.origin), ("destination", routes.destination))} | {
        "risk_layer": "default"}
    assert server.get("/route?" + query) == (200, json.loads(json.dumps(expected)))
    status, body = server.get("/front?" + query)
    assert (status, [f["properties"]["distance_m"] for f in body["features"]]) == (
        200, [r.distance_m for r in router.front(ORIGIN, DESTINATION, avoid=avoid)])
    status, body = server.get(f"/catchment?at_node={ORIGIN}&minutes=6&avoid_bbox="
                              + ",".join(map(repr, boxes[0])))
    assert (status, body["nodes"]) == (200, len(router.catchment(ORIGIN, 6, avoid=polygons[0])))
    assert server.get(f"/route?from_node={ORIGIN}&to_node={DESTINATION}&avoid_edges=1,x") == (
        400, {"error": "'avoid_edges' must be edge indices separated by commas, got '1,x'"})
    assert server.get(f"/route?from_node={ORIGIN}&to_node={DESTINATION}&avoid_edges=13798") == (
        400, {"error": "avoid: edge index 13798 is not an edge of the graph (0 to 13797)"})
    assert server.get(f"/route?from_node={ORIGIN}&to_node={DESTINATION}&avoid_bbox=24.94,60.17,24.93,60.18")[1] == (
        {"error": "'avoid_bbox' must be minlon,minlat,maxlon,maxlat with min <= max"})


def test_a_route_asked_for_in_a_body_is_the_querys(server, router):
    """POST /route answers as GET /route does; a GeoJSON area avoids the
    edges it meets, as those edges' indices do; bad bodies get GET's
    messages for its values, and their own for their JSON."""
    shortest = router.route(ORIGIN, DESTINATION)[0]
    lat, lon = router.table[shortest.nodes[len(shortest.nodes) // 2]]
    start = router.table[ORIGIN]
    box = (lon - 0.0004, lat - 0.0002, lon + 0.0004, lat + 0.0002)
    query = (f"from={start[0]},{start[1]}&to_node={DESTINATION}&via={lat},{lon};{ORIGIN}"
             f"&alternatives=2&max_shared=0.5&steps=true&risk=night&avoid_edges=5,6"
             f"&avoid_bbox={','.join(map(repr, box))}")
    body = {"from": list(start), "to_node": DESTINATION, "via": [[lat, lon], ORIGIN],
            "alternatives": 2, "max_shared": 0.5, "steps": True, "risk": "night",
            "avoid_edges": [5, 6], "avoid_bbox": [list(box)]}
    by_query = server.get("/route?" + query)
    assert by_query[0] == 200 and server.post("/route", body) == by_query
    gpx = json.dumps({"from_node": ORIGIN, "to_node": DESTINATION, "format": "gpx"})
    assert server.request("POST", "/route", body=gpx.encode()) == server.request(
        "GET", f"/route?from_node={ORIGIN}&to_node={DESTINATION}&format=gpx")

    # A polygon (a Feature of one, in a collection) and the edges it meets.
    a, b, c, d = (lon - 0.0003, lat - 0.0001, lon + 0.0002, lat + 0.0003)
    triangle = {"type": "Polygon", "coordinates": [[[a, b], [c, b], [c, d], [a, b]]]}
    collection = {"type": "FeatureCollection", "features": [
        {"type": "Feature", "properties": {}, "geometry": triangle}]}
    edges = router.session.avoided(triangle).tolist()
    assert edges
    ends = {"from_node": ORIGIN, "to_node": DESTINATION}
    by_edges = server.post("/route", ends | {"avoid_edges": edges})
    assert by_edges[0] == 200 and by_edges[1] != server.post("/route", ends)[1]
    assert server.post("/route", ends | {"avoid_polygons": collection}) == by_edges
    assert server.post("/route", ends | {"avoid_polygons": [triangle]}) == by_edges

    # GET's messages for GET's values, where a query can say the same.
    for document, query, message in (
            (ends | {"eps": -0.1}, "eps=-0.1", "eps must be a finite number >= 0, got -0.1"),
            (ends | {"via": [[91, 24.94]]}, "via=91,24.94",
             "via 1 lat must be within [-90, 90], got 91.0"),
            (ends | {"avoid_bbox": [[24.94, 60.17, 24.93, 60.18]]},
             "avoid_bbox=24.94,60.17,24.93,60.18",
             "'avoid_bbox' must be minlon,minlat,maxlon,maxlat with min <= max"),
            (ends | {"avoid_edges": [13798]}, "avoid_edges=13798",
             "avoid: edge index 13798 is not an edge of the graph (0 to 13797)"),
            (ends | {"to": [60.17]}, "to=60.17", "give either 'to' or 'to_node', not both"),
            ({"from_node": ORIGIN, "to": [60.17]}, None, "'to' must be LAT,LON, got '60.17'"),
            ({"to_node": ORIGIN}, None,
             "missing parameter 'from' (LAT,LON) or 'from_node' (a node id)"),
            (ends | {"format": "kml"}, "format=kml",
             "'format' must be one of geojson, gpx, polyline5, polyline6, got 'kml'")):
        assert server.post("/route", document) == (400, {"error": message})
        if query is not None:
            assert server.get(f"/route?from_node={ORIGIN}&to_node={DESTINATION}&{query}") == (
                400, {"error": message})
    for document, message in (
            (b"{", "the body must be a JSON object"),
            ([ORIGIN, DESTINATION], "the body must be a JSON object"),
            (ends | {"eps": "0.1"}, "'eps' must be a number, got \"0.1\""),
            (ends | {"steps": 1}, "'steps' must be true or false, got 1"),
            (ends | {"via": ORIGIN}, "'via' must be a list of node ids and [lat, lon] "
                                     "points, got " + str(ORIGIN)),
            (ends | {"avoid_polygons": {"type": "Point", "coordinates": [24.94, 60.17]}},
             "avoid: a GeoJSON geometry must be a Polygon or MultiPolygon, got 'Point'"),
            (ends | {"avoid_polygons": {"type": "Polygon", "coordinates": [[[24.94, 60.17]]]}},
             "avoid: a GeoJSON Polygon's coordinates must be a list of rings, each of at "
             "least 4 [lon, lat] positions, got [[[24.94, 60.17]]]"),
            (ends | {"avoid_polygons": [triangle, [24.94, 60.17]]},
             "'avoid_polygons' must be GeoJSON geometries, Features or FeatureCollections, "
             "got [24.94, 60.17]"),
            (ends | {"pairs": []}, "unknown member 'pairs' (known: from, to, from_node, "
             "to_node, eps, max_snap_m, risk, time, steps, format, via, alternatives, max_shared, "
             "max_detour, avoid_edges, avoid_bbox, avoid_polygons)"),
            (b"{" + b" " * (8 * 2**20), "the body is longer than 8388608 bytes")):
        assert server.post("/route", document) == (400, {"error": message})


def expected_catchment(router, place, minutes, direction):
    """GET /catchment's answer from the library: the rows of
    to_geodataframe("edges"), each with its tail's detour from nodes."""
    catchment = router.catchment(place, minutes, direction=direction)
    detours = catchment.nodes.set_index("node")["detour_m"]
    features = [
        {"type": "Feature",
         "geometry": {"type": "LineString", "coordinates": [list(p) for p in row.geometry.coords]},
         "properties": {"tail": row.tail, "head": row.head,
                        "name": None if not isinstance(row.name, str) else row.name,
                        "minutes": row.minutes, "risk": row.risk,
                        "detour_m": detours[row.tail]}}
        for row in catchment.to_geodataframe("edges").itertuples(index=False)]
    lat, lon = router.table[catchment.place.node]
    return {"type": "FeatureCollection", "features": features,
            "place": {"node": catchment.place.node, "lat": lat, "lon": lon,
                      "distance_m": catchment.place.distance_m},
            "minutes": minutes, "direction": direction, "risk_layer": catchment.risk,
            "nodes": len(catchment)}


def test_a_catchments_detour_budget_is_the_routers_own(server, router):
    # Each segment gains its tail's walk within the budget, after the
    # others; without a budget the answer is as before.
    plain = expected_catchment(router, ORIGIN, 4.5, "from")
    catchment = router.catchment(ORIGIN, 4.5, direction="from", max_detour=0.25)
    walks = catchment.nodes.set_index("node")
    for feature in plain["features"]:
        tail = feature["properties"]["tail"]
        feature["properties"] |= {"within_detour_m": walks["within_detour_m"][tail],
                                  "within_detour_risk": walks["within_detour_risk"][tail]}
    plain["max_detour"] = 0.25
    status, body = server.get(f"/catchment?at_node={ORIGIN}&minutes=4.5&direction=from"
                              f"&max_detour=0.25")
    assert status == 200 and body == json.loads(json.dumps(plain))
    assert [*body["features"][0]["properties"]][-2:] == ["within_detour_m", "within_detour_risk"]
    # At the place itself an infinite budget has no walk: null.
    status, body = server.get(f"/catchment?at_node={ORIGIN}&minutes=1&max_detour=1e999")
    at_place = [f["properties"] for f in body["features"] if f["properties"]["tail"] == ORIGIN]
    assert status == 200 and at_place and at_place[0]["within_detour_m"] is None
    assert server.get(f"/catchment?at_node={ORIGIN}&max_detour=-1") == (
        400, {"error": "max_detour must be a number >= 0, got -1.0"})


def test_catchments_are_the_routers_own(server, router):
    for query, place, minutes, direction in (
            ("at=60.1699,24.9384&minutes=15", STATION, 15.0, "to"),
            ("at=60.1699,24.9384&minutes=15&direction=from", STATION, 15.0, "from"),
            (f"at_node={ORIGIN}&minutes=4.5&direction=to&eps=0&max_snap_m=0",
             ORIGIN, 4.5, "to"),
            (f"at_node={DESTINATION}&minutes=7&direction=from", DESTINATION, 7.0, "from")):
        status, body = server.get("/catchment?" + query)
        expected = expected_catchment(router, place, minutes, direction)
        assert status == 200 and len(body["features"]) > 100
        # Through JSON: every float compares exactly.
        assert body == json.loads(json.dumps(expected)), query
    # The place alone: no segment.
    status, body = server.get(f"/catchment?at_node={ORIGIN}&minutes=0")
    assert (status, body["features"], body["nodes"]) == (200, [], 1)
    # 15 minutes are the default.
    assert server.get("/catchment?at=60.1699,24.9384")[1] == server.get(
        "/catchment?at=60.1699,24.9384&minutes=15")[1]
    nodes = len(router.catchment(STATION, math.inf))
    assert server.get("/catchment?at=60.1699,24.9384&minutes=1e999") == (400, {
        "error": f"the catchment holds {nodes} nodes, more than this service's limit "
                 f"of {MAX_CATCHMENT_NODES} (norvel serve --max-catchment-nodes): "
                 "ask for fewer minutes"})


def test_fronts_are_the_routers_own(server, router):
    start, end = router.table[ORIGIN], router.table[DESTINATION]
    for query, origin, destination in (
            (f"from_node={ORIGIN}&to_node={DESTINATION}", ORIGIN, DESTINATION),
            (f"from={start[0] + 0.0003},{start[1]}&to={end[0]},{end[1] - 0.0004}"
             "&max_snap_m=100&risk=default",
             (start[0] + 0.0003, start[1]), (end[0], end[1] - 0.0004))):
        status, body = server.get("/front?" + query)
        routes = router.route(origin, destination)
        expected = feature_collection(router.front(origin, destination))
        for name, snap in (("origin", routes.origin), ("destination", routes.destination)):
            expected[name] = {"node": snap.node, "distance_m": snap.distance_m}
        assert status == 200 and len(body["features"]) > 3
        expected["risk_layer"] = "default"
        assert body == json.loads(json.dumps(expected)), query


def test_batch_answers_in_order_with_an_entry_per_failure(server, router):
    start = router.table[ORIGIN]
    pairs = [[ORIGIN, DESTINATION], [list(start), DESTINATION], [ORIGIN, 3],
             [[10.0, 10.0], ORIGIN], [ORIGIN, "x"], [ORIGIN], [True, ORIGIN],
             [ORIGIN, [91, 0]]]
    status, body = server.post("/routes", {"pairs": pairs})
    assert status == 200
    results = body["results"]
    assert results[0] == expected_routes(router, ORIGIN, DESTINATION)
    assert results[1] == expected_routes(router, tuple(start), DESTINATION)
    assert [r.get("status") for r in results[2:]] == [404, 404, 400, 400, 400, 400]
    assert all(set(r) == {"error", "status"} for r in results[2:])
    assert results[5]["error"] == (f"pairs[5] must be an (origin, destination) pair, "
                                   f"got [{ORIGIN}]")

    # More pairs than one worker's share: spread over both, order kept.
    many = [[ORIGIN + 0, DESTINATION], [DESTINATION, ORIGIN]] * 40
    status, body = server.post("/routes", {"pairs": many, "eps": 0.0})
    assert status == 200 and len(body["results"]) == 80
    assert body["results"][1::2] == [expected_routes(router, DESTINATION, ORIGIN)] * 40

    for document, message in (({"pairs": [[ORIGIN, DESTINATION]] * 10_001}, "at most 10000"),
                              ({"pairs": [], "eps": -1}, "eps must be a finite number >= 0"),
                              ({"pairs": [], "eps": "0.1"}, "eps must be a real number"),
                              (b'{"pairs": [], "max_snap_m": NaN}',
                               "max_snap_m must be a number >= 0"),
                              ({"pair": []}, "unknown member 'pair'"),
                              (b"[[[", "must be a JSON object"),
                              (b"[" * 100_000, "must be a JSON object")):
        status, body = server.post("/routes", document)
        assert (status, message in body["error"]) == (400, True), body


SAMPLE_ERRORS = [
    ("/route?to_node=1", 400, "missing parameter 'from' (LAT,LON) or 'from_node'"),
    (f"/route?from_node={ORIGIN}&from=60,24&to_node=1", 400,
     "give either 'from' or 'from_node', not both"),
    ("/route?from=60.17&to=60.17,24.94", 400, "'from' must be LAT,LON"),
    ("/route?from=60.17,east&to=60.17,24.94", 400, "'from' must be a number"),
    ("/route?from=91,24.94&to=60.17,24.94", 400, "origin lat must be within [-90, 90]"),
    ("/route?to=60,181&from=60.17,24.94", 400, "destination lon must be within [-180, 180]"),
    (f"/route?from_node=1.5&to_node={ORIGIN}", 400, "'from_node' must be a node id"),
    (f"/route?from_node=-5&to_node={ORIGIN}", 404, "origin node -5 is not a node"),
    (f"/route?from_node={2**64}&to_node={ORIGIN}", 404, f"origin node {2**64} is not a node"),
    (f"/route?from_node={ORIGIN}&to_node={DESTINATION}&eps=-0.1", 400,
     "eps must be a finite number >= 0"),
    (f"/route?from_node={ORIGIN}&to_node={DESTINATION}&eps=nan", 400, "'eps' must be a number"),
    (f"/route?from_node={ORIGIN}&to_node={DESTINATION}&eps=1e999", 400,
     "eps must be a finite number >= 0, got inf"),
    (f"/route?from_node={ORIGIN}&to_node={DESTINATION}&max_snap_m=-1", 400,
     "max_snap_m must be a number >= 0"),
    (f"/route?from_node={ORIGIN}&to_node={DESTINATION}&esp=0.1", 400,
     "unknown parameter 'esp'"),
    (f"/route?from_node={ORIGIN}&to_node={DESTINATION}&eps=1&eps=2", 400, "more than once"),
    ("/nearest?lat=60.17", 400, "missing parameter 'lon'"),
    ("/nearest?lat=-90.5&lon=24", 400, "lat must be within [-90, 90]"),
    ("/network?bbox=1,2,3", 400, "'bbox' must be minlon,minlat,maxlon,maxlat"),
    ("/network?bbox=1,2,3,91", 400, "bbox maxlat must be within [-90, 90]"),
    ("/network?bbox=3,2,1,4", 400, "with min <= max"),
    (f"/route?from_node=3&to_node={ORIGIN}", 404, "origin node 3 is not a node of the graph"),
    (f"/route?from=10,10&to_node={ORIGIN}", 404, "m from the nearest routable node"),
    (f"/route?from={60.17},{24.94}&to_node={ORIGIN}&max_snap_m=1", 404, "max_snap_m"),
    ("/catchment?minutes=15", 400, "missing parameter 'at' (LAT,LON) or 'at_node'"),
    ("/catchment?at=60.17,24.94&minutes=-1", 400, "minutes must be a number >= 0, got -1.0"),
    ("/catchment?at=60.17,24.94&minutes=nan", 400, "'minutes' must be a number"),
    ("/catchment?at=60.17,24.94&eps=0.1", 400, "catchments are exact: eps must be 0.0"),
    ("/catchment?at=60.17,24.94&direction=both", 400,
     'direction must be "to" or "from", got \'both\''),
    ("/catchment?at_node=3", 404, "destination node 3 is not a node of the graph"),
    ("/catchment?at_node=3&direction=from", 404, "origin node 3 is not a node of the graph"),
    ("/catchment?at=60.17,24.94&max_snap_m=1", 404,
     "m from the nearest routable node"),
    (f"/front?from_node={ORIGIN}&to_node={DESTINATION}&risk=nite", 400,
     "the graph has no risk layer 'nite': its layers are 'default', 'day', 'night'"),
    (f"/front?from_node={ORIGIN}&to_node={DESTINATION}&eps=0", 400,
     "unknown parameter 'eps' (known: from, to, from_node, to_node, max_snap_m, risk, time, via, avoid_edges, avoid_bbox)"),
    ("/front?from_node=1", 400, "missing parameter 'to' (LAT,LON) or 'to_node'"),
    (f"/front?from_node={ORIGIN}&to_node={DESTINATION}&max_snap_m=-1", 400,
     "max_snap_m must be a number >= 0"),
    (f"/front?from_node=3&to_node={ORIGIN}", 404, "origin node 3 is not a node of the graph"),
    (f"/route?from_node=-3&to_node={ORIGIN}", 404, "origin node -3 is not a node of the graph"),
    (f"/route?from_node=%D9%A3&to_node={ORIGIN}", 400,
     "'from_node' must be a node id (an integer), got '\u0663'"),
    (f"/front?from={60.17},{24.94}&to_node={ORIGIN}&max_snap_m=1", 404, "max_snap_m"),
    ("/nowhere", 404, "Not Found"),
    ("/routes", 405, "Method Not Allowed"),
]


@pytest.mark.parametrize("path, status, message", SAMPLE_ERRORS)
def test_errors_are_json_with_an_english_message(server, path, status, message):
    answer, body = server.get(path)
    assert (answer, list(body)) == (status, ["error"])
    assert message in body["error"]


def test_a_refused_method_says_which_are_allowed(server):
    for method, path, allowed in (("DELETE", "/route", {"GET", "HEAD", "POST"}),
                                  ("GET", "/routes", {"POST"})):
        connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        try:
            connection.request(method, path)
            response = connection.getresponse()
            assert (response.status, set(response.getheader("allow").split(", ")),
                    json.loads(response.read())["error"]) == (
                405, allowed, f"Method Not Allowed ({method} {path})")
        finally:
            connection.close()


def test_network_page_and_api_description(server, router):
    status, network = server.get("/network")
    segments = sum(len(f["geometry"]["coordinates"]) for f in network["features"])
    assert status == 200 and segments > 5000
    lats, lons = zip(*(router.table[n] for n in router.table))
    assert network["bbox"] == [min(lons), min(lats), max(lons), max(lats)]
    box = "24.940,60.170,24.942,60.171"
    status, part = server.get(f"/network?bbox={box}")
    lines = [line for f in part["features"] for line in f["geometry"]["coordinates"]]
    assert 0 < len(lines) < segments / 20
    assert all(any(24.940 <= lon <= 24.942 and 60.170 <= lat <= 60.171 for lon, lat in line)
               for line in lines)

    status, kind, page = server.request("GET", "/")
    assert (status, kind) == (200, "text/html; charset=utf-8")
    assert b"<svg" in page and b"http" not in page.replace(b"http://www.w3.org", b"")
    status, spec = server.get("/openapi.json")
    assert {"/health", "/nearest", "/route", "/routes", "/network",
            "/catchment", "/front"} <= set(spec["paths"])
    status, kind, docs = server.request("GET", "/docs")
    assert status == 200 and b"POST /routes" in docs


def test_the_street_network_is_written_by_its_deadline_or_not_at_all(router):
    network = StreetNetwork(router.table.segments(one_per_pair=True))
    with pytest.raises(Overtime):
        network.geojson(None, time.monotonic() - 1.0)
    whole = json.loads(network.geojson(None, time.monotonic() + 60.0))
    lines = [line for f in whole["features"] for line in f["geometry"]["coordinates"]]
    assert len(lines) == len(router.table.segments(one_per_pair=True).tails)
    # Without orjson the same bytes.
    array = np.array(lines[:1000])
    assert queries._json_dumps_array(array) == queries.dumps_array(array)


# What a client might send: parameter names the endpoints know and others,
# values that are numbers, points, boxes, ids or junk.
NAMES = st.sampled_from(["from", "to", "from_node", "to_node", "eps", "max_snap_m",
                         "lat", "lon", "bbox", "at", "at_node", "minutes", "direction",
                         "risk", "x"])
NUMBERS = st.one_of(st.floats(allow_nan=True, allow_infinity=True).map(repr),
                    st.floats(-200, 200).map(str), st.integers(-2**70, 2**70).map(str),
                    st.sampled_from(["60.17", "24.94", "nan", "-inf", "1e999", "", " "]))
VALUES = st.one_of(NUMBERS, st.lists(NUMBERS, min_size=1, max_size=5).map(",".join),
                   st.text(max_size=20), st.just(f"{ORIGIN}"))
QUERIES = st.one_of(st.lists(st.tuples(NAMES, VALUES), max_size=6).map(urlencode),
                    st.text(max_size=60).map(lambda t: quote(t, safe="&=,%+")))
JSON_VALUES = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(-2**70, 2**70),
              st.floats(allow_nan=False), st.text(max_size=5)),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=5), inner,
                                                                  max_size=3),
    max_leaves=8)
ENDS = st.one_of(st.integers(-5, 2**65), st.sampled_from([ORIGIN, DESTINATION]),
                 st.lists(st.floats(-100, 100) | st.integers(-200, 200), max_size=3),
                 JSON_VALUES)
BODIES = st.one_of(
    st.fixed_dictionaries({"pairs": st.lists(st.lists(ENDS, max_size=3) | JSON_VALUES,
                                             max_size=4)},
                          optional={"eps": JSON_VALUES | st.floats(0, 1),
                                    "max_snap_m": JSON_VALUES}).map(
        lambda d: json.dumps(d).encode()),
    JSON_VALUES.map(lambda v: json.dumps(v).encode()), st.binary(max_size=40))
FUZZ = settings(max_examples=150, deadline=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture])


@FUZZ
@given(path=st.sampled_from(["/route", "/front", "/nearest", "/network", "/catchment"]),
       query=QUERIES)
def test_fuzzed_queries_get_an_answer_or_a_client_error(server, path, query):
    status, body = server.get(f"{path}?{query}")
    assert status in (200, 400, 404, 422), (query, body)
    assert status == 200 or list(body) == ["error"]


@FUZZ
@given(body=BODIES)
def test_fuzzed_bodies_get_an_answer_or_a_client_error(server, body):
    status, answer = server.post("/routes", body)
    assert status in (200, 400), (body, answer)
    if status == 200:
        for result in answer["results"]:
            assert "features" in result or result["status"] in (400, 404, 422), result
    else:
        assert list(answer) == ["error"]


ROUTE_MEMBERS = st.sampled_from(["from", "to", "from_node", "to_node", "eps", "via", "steps",
                                  "alternatives", "avoid_edges", "avoid_bbox",
                                  "avoid_polygons", "x"])


@FUZZ
@given(members=st.dictionaries(ROUTE_MEMBERS, ENDS | JSON_VALUES, max_size=5))
def test_fuzzed_route_bodies_get_an_answer_or_a_client_error(server, members):
    status, answer = server.post("/route", {"from_node": ORIGIN, "to_node": DESTINATION}
                                 | members)
    assert status in (200, 400, 404, 422), (members, answer)
    assert status == 200 or list(answer) == ["error"]


def test_no_route_is_422(grid_server):
    for origin, destination, reason in ((LONELY, FIRST_ID, "no outgoing edge"),
                                        (DEAD_END, FIRST_ID, "no outgoing edge"),
                                        (FIRST_ID, LONELY, "no path leads there")):
        for path in ("/route", "/front"):
            status, body = grid_server.get(f"{path}?from_node={origin}&to_node={destination}")
            assert status == 422 and reason in body["error"], body
    status, body = grid_server.get(f"/catchment?at_node={LONELY}&direction=from")
    assert status == 422 and "no outgoing edge" in body["error"], body


def in_thread(call):
    answers = []
    thread = threading.Thread(target=lambda: answers.append(call()))
    thread.start()
    return thread, answers


SLOW = f"/route?from_node={SLOW_FIRST}&to_node={SLOW_LAST}"
QUICK = f"/route?from_node={FIRST_ID}&to_node={FIRST_ID + 30}"


OVERTIME = {"error": f"the request took longer than {TIMEOUT_S} s"}


def timed(call):
    """(answer, seconds from the start, seconds to the answer)."""
    started = time.monotonic()
    answer = call()
    return answer, started, time.monotonic()


def test_a_runaway_request_gets_504_at_the_limit_and_stops(grid_server):
    """The slow grid's exact search would run for minutes: it stops at the
    time limit, the other worker answering meanwhile, its own worker goes
    on serving, and nothing of it goes on using the processor."""
    workers = grid_server.wait_for_workers(2)
    cpu_before = grid_server.cpu_s()
    thread, answers = in_thread(lambda: timed(lambda: grid_server.get(SLOW)))
    for _ in range(3):
        assert grid_server.get(QUICK)[0] == 200
    thread.join()
    ((answer, started, ended),) = answers
    assert answer == (504, OVERTIME)
    assert TIMEOUT_S <= ended - started < TIMEOUT_S + GRACE_S
    # It did search until then (a core's worth, less what the machine's
    # other jobs took)...
    assert grid_server.cpu_s() - cpu_before > TIMEOUT_S / 8
    # ...and stopped: the server is idle once it answered.
    cpu_after = grid_server.cpu_s()
    time.sleep(1.0)
    assert grid_server.cpu_s() - cpu_after < 0.1
    assert grid_server.worker_pids() == workers


def test_a_front_over_the_limit_is_504(grid_server):
    assert grid_server.get(SLOW.replace("/route", "/front")) == (504, OVERTIME)


def test_requests_wait_for_a_free_worker(grid_server):
    """Two runaways hold both workers: a third request waits until the time
    limit frees one."""
    runaways = [in_thread(lambda: timed(lambda: grid_server.get(SLOW))) for _ in range(2)]
    time.sleep(TIMEOUT_S / 4)
    answer, started, answered = timed(lambda: grid_server.get(QUICK))
    for thread, _ in runaways:
        thread.join()
    assert answer[0] == 200 and answered - started > TIMEOUT_S / 2
    assert [a for _, ((a, _, _),) in runaways] == [(504, OVERTIME)] * 2


def test_a_stuck_worker_is_replaced_and_its_request_gets_504(grid_server):
    """Workers that do not answer (stopped here) are killed once the limit
    and the grace after it have passed, and new ones forked."""
    workers = grid_server.wait_for_workers(2)
    for pid in workers:
        psutil.Process(pid).suspend()
    stuck = [in_thread(lambda: timed(lambda: grid_server.get(QUICK))) for _ in range(2)]
    for thread, _ in stuck:
        thread.join()
    for _, ((answer, started, ended),) in stuck:
        assert answer == (504, OVERTIME)
        assert ended - started >= TIMEOUT_S + GRACE_S
    grid_server.wait_for_workers(2, kept_from=workers, kept=0)
    assert grid_server.get(QUICK)[0] == 200


def test_a_batch_pair_over_the_time_limit_fails_alone(grid_server):
    quick = [FIRST_ID, FIRST_ID + 30]
    status, body = grid_server.post("/routes", {"pairs": [quick, [SLOW_FIRST, SLOW_LAST],
                                                          quick, [LONELY, FIRST_ID]]})
    assert status == 200
    first, slow, third, lonely = body["results"]
    assert first == third and len(first["features"]) >= 1
    assert slow == {**OVERTIME, "status": 504}
    assert lonely["status"] == 422


def test_a_killed_worker_is_replaced_and_its_request_gets_503(grid_server):
    before = grid_server.wait_for_workers(2)
    thread, answers = in_thread(lambda: grid_server.get(SLOW))
    # The busy worker is the one whose CPU time grows.
    processes = [psutil.Process(pid) for pid in before]
    start = [p.cpu_times().user for p in processes]
    deadline = time.monotonic() + TIMEOUT_S
    while not any(p.cpu_times().user - s > 0.2 for p, s in zip(processes, start)):
        assert time.monotonic() < deadline
        time.sleep(0.02)
    busy = max(zip(processes, start), key=lambda ps: ps[0].cpu_times().user - ps[1])[0]
    busy.kill()
    thread.join()
    assert answers[0][0] == 503 and "ended" in answers[0][1]["error"]
    grid_server.wait_for_workers(2, kept_from=[busy.pid], kept=0)
    # An idle worker killed: nobody's request fails.
    idle = psutil.Process(grid_server.worker_pids()[0])
    idle.kill()
    idle.wait()
    for _ in range(4):
        assert grid_server.get(QUICK)[0] == 200


def test_workers_outlive_the_zygote_and_a_new_one_loads_the_graph(tmp_path):
    """The process holding the graph killed while its file is away: the
    worker goes on answering; killed too, its replacement needs a new
    zygote, which cannot load the graph, so requests get 503 until the file
    is back."""
    graph = tmp_path / "grid.json"
    graph.write_text(json.dumps(grid_document(4)))
    live = LiveServer(graph, "--workers", "1")
    quick = f"/route?from_node={FIRST_ID}&to_node={FIRST_ID + 5}"
    try:
        (worker,) = live.wait_for_workers(1)
        graph.rename(tmp_path / "away.json")
        zygote = live.zygote()
        zygote.kill()
        zygote.wait(30)
        assert live.get(quick)[0] == 200
        worker = psutil.Process(worker)
        worker.kill()
        worker.wait(30)
        status, body = live.get(quick)
        assert status == 503 and body["error"].startswith("no worker is running: "), body
        assert "away" not in body["error"] and "grid.json" in body["error"]
        (tmp_path / "away.json").rename(graph)
        deadline = time.monotonic() + 60
        while (status := live.get(quick)[0]) == 503:
            assert time.monotonic() < deadline
            time.sleep(0.2)
        assert status == 200
    finally:
        assert live.stop() == 0


def test_serve_refuses_a_file_it_cannot_load(tmp_path):
    bad = tmp_path / "bad.json"
    bad.write_text('{"nodes": [}')
    run = subprocess.run([sys.executable, "-m", "norvel", "serve", str(bad), "--workers", "1"],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 1 and str(bad) in run.stderr and "Traceback" not in run.stderr


# A process holding one Router, measured before and after loading it: the
# libraries the server loads too, then the graph.
ONE_ROUTER = """
import json, sys
import psutil, scipy.spatial, norvel, norvel.serve.app
process = psutil.Process()
bare = process.memory_full_info().pss
router = norvel.Router.from_file(sys.argv[1])
router.build_index()
print(json.dumps([bare, process.memory_full_info().pss]))
"""


def test_the_service_holds_one_graph_whatever_its_workers(tmp_path):
    """Two workers on a graph of 100,000 nodes share its pages: what each
    holds of its own is a fraction of the graph, and the server's processes
    together (the front, the zygote, the workers) take well under twice
    what one process holding one Router takes."""
    size = 320
    graph = tmp_path / "large.json"
    graph.write_text(json.dumps(grid_document(size)))
    run = subprocess.run([sys.executable, "-c", ONE_ROUTER, str(graph)],
                         capture_output=True, text=True, check=True, timeout=300)
    bare, one_router = json.loads(run.stdout)
    one_graph = one_router - bare
    live = LiveServer(graph, "--workers", "2")
    try:
        # Enough pairs for both workers, each with its own search memory.
        starts = [FIRST_ID + 6 * k * size + k * 37 % (size - 3) for k in range(48)]
        pairs = [[start, start + 3 * size + 3] for start in starts]
        status, body = live.post("/routes", {"pairs": pairs})
        assert status == 200 and all("features" in r for r in body["results"])
        own = [psutil.Process(pid).memory_full_info().uss for pid in live.worker_pids()]
        served = live.pss()
    finally:
        assert live.stop() == 0
    assert len(own) == 2 and max(own) < one_graph / 2, (own, one_graph)
    assert served < 1.5 * one_router, (served, one_router)


def test_the_description_is_made_for_the_graph_served(grid_server):
    status, spec = grid_server.get("/openapi.json")
    assert status == 200
    route = {p["name"]: p for p in spec["paths"]["/route"]["get"]["parameters"]}
    by_name, by_time = route["layer"]["schema"]["oneOf"]
    assert by_name["properties"]["risk"]["enum"] == ["default"]
    assert by_time["required"] == ["time"]
    by_point, by_node = route["origin"]["schema"]["oneOf"]
    pattern = re.compile(by_point["properties"]["from"]["pattern"])
    places = {node["id"]: (node["lat"], node["lon"]) for node in slow_grid_document()["nodes"]}
    assert all(pattern.fullmatch(f"{lat!r},{lon!r}") for lat, lon in places.values())
    assert not pattern.fullmatch(f"{STATION[0]},{STATION[1]}")
    assert by_node["properties"]["from_node"] == {
        "type": "integer", "minimum": 0, "maximum": 2**64 - 1, "description": "start node id"}
    for end, name in ((route["origin"], "from"), (route["destination"], "to")):
        lat, lon = map(float, end["example"][name].split(","))
        status, snap = grid_server.get(f"/nearest?lat={lat}&lon={lon}")
        assert status == 200 and snap["distance_m"] == 0.0 and snap["node"] in places
    status, kind, page = grid_server.request("GET", "/docs")
    assert status == 200 and b"where the routes start" in page
