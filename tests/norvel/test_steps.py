"""Directions: the edges a route took, its steps (checked against a plain
computation on hand-made graphs, and for adding up on random ones and on
the sample), encoded polylines read back by the ``polyline`` package, GPX
read back by ``gpxpy``, and the same over HTTP and on the command line."""

import json
import math
import pickle
import random
import struct
import subprocess
import sys

import gpxpy
import norvel_core
import orjson
import polyline
import pytest

import norvel
from live_server import LiveServer, sample_graph
from norvel import steps as steps_module
from norvel.steps import EdgeFacts

# Hand-made graphs: a node every ~111 m north-south at 60° N, each
# position (lat, lon) chosen so that bearings are easy to state.
NORTH = 0.001          # degrees of latitude
EAST = 0.002           # degrees of longitude: ~111 m at 60° N


def document(points, edges):
    """A document of nodes at ``points`` (id -> (lat, lon)) and edges
    (from, to, metres, risk, name or None), each given both ways unless
    it is a tuple of six with False last."""
    nodes = [{"id": i, "lat": lat, "lon": lon} for i, (lat, lon) in points.items()]
    records = []
    for a, b, metres, risk, name, *both in edges:
        for x, y in ((a, b), (b, a)) if (both or [True])[0] else ((a, b),):
            record = {"from": x, "to": y, "distance_m": metres, "risk_score": risk}
            if name is not None:
                record["name"] = name
            records.append(record)
    return {"nodes": nodes, "edges": records}


def plain_bearing(a, b):
    """Bearing by the textbook formula, written out separately."""
    (lat1, lon1), (lat2, lon2) = a, b
    p1, p2, dl = map(math.radians, (lat1, lat2, lon2 - lon1))
    return math.degrees(math.atan2(math.sin(dl) * math.cos(p2),
                                   math.cos(p1) * math.sin(p2)
                                   - math.sin(p1) * math.cos(p2) * math.cos(dl))) % 360


def only_route(doc, a, b):
    routes = norvel.Router.from_json(json.dumps(doc)).route(a, b)
    return routes[0]


def test_a_right_angle_between_two_streets():
    points = {0: (60.0, 25.0), 1: (60.0 + NORTH, 25.0), 2: (60.0 + 2 * NORTH, 25.0),
              3: (60.0 + 2 * NORTH, 25.0 + EAST)}
    route = only_route(document(points, [(0, 1, 111.0, 0.1, "Pohjoinen"),
                                         (1, 2, 111.0, 0.2, "Pohjoinen"),
                                         (2, 3, 111.0, 0.5, "Itäinen")]), 0, 3)
    depart, turn, arrive = route.steps
    assert (depart.kind, depart.street, depart.first_node, depart.last_node) == \
        ("depart", "Pohjoinen", 0, 2)
    assert depart.distance_m == 222.0 and depart.risk == 0.1 + 0.2
    assert depart.bearing_before is None
    assert depart.bearing_after == pytest.approx(plain_bearing(points[0], points[1]), abs=1e-9)
    assert depart.instruction == "Head north on Pohjoinen"
    before, after = plain_bearing(points[1], points[2]), plain_bearing(points[2], points[3])
    assert (turn.kind, turn.modifier, turn.street) == ("turn", "right", "Itäinen")
    assert turn.bearing_before == pytest.approx(before) and turn.bearing_after == pytest.approx(after)
    assert 80 < after - before < 100
    assert turn.instruction == "Turn right onto Itäinen"
    assert turn.location == points[2] and (turn.first_node, turn.last_node) == (2, 3)
    assert (arrive.kind, arrive.first_node, arrive.last_node, arrive.distance_m) == \
        ("arrive", 3, 3, 0.0)
    assert arrive.instruction == "Arrive at your destination"
    assert route.risky_steps(2.0) == [turn]        # 0.5 over 111 m: 4.5 a km
    assert route.risky_steps(5.0) == []


def test_a_kink_inside_a_street_stays_one_step_and_an_unnamed_turn_starts_one():
    # North, then a 30° kink on the same street; an unnamed way back north,
    # then east (a right turn) and a kink of ~11° that stays in its step.
    points = {0: (60.0, 25.0), 1: (60.001, 25.0), 2: (60.00187, 25.001),
              3: (60.00287, 25.001), 4: (60.00287, 25.003), 5: (60.00267, 25.005)}
    route = only_route(document(points, [(0, 1, 111.0, 0.1, "Mutka"),
                                         (1, 2, 111.0, 0.1, "Mutka"),
                                         (2, 3, 111.0, 0.1, None),
                                         (3, 4, 111.0, 0.1, None),
                                         (4, 5, 111.0, 0.1, None)]), 0, 5)
    heading = [plain_bearing(points[i], points[i + 1]) for i in range(5)]
    turns = [(b - a + 180) % 360 - 180 for a, b in zip(heading, heading[1:])]
    assert [round(t) for t in turns] == [30, -30, 90, 11]
    assert [(s.kind, s.modifier, s.street, s.first_node, s.last_node) for s in route.steps] == [
        ("depart", "straight", "Mutka", 0, 2),
        ("turn", "slight left", None, 2, 3),
        ("turn", "right", None, 3, 5),
        ("arrive", "straight", None, 5, 5)]
    assert [s.instruction for s in route.steps] == [
        "Head north on Mutka", "Turn slight left", "Turn right", "Arrive at your destination"]
    assert route.steps[2].distance_m == 222.0
    assert route.steps[2].bearing_before == pytest.approx(heading[2])


def test_a_u_turn_and_a_route_of_one_node():
    points = {0: (60.0, 25.0), 1: (60.001, 25.0), 2: (60.0, 25.00001)}
    # The only way to 2 goes up to 1 and comes back down beside the way up.
    route = only_route(document(points, [(0, 1, 111.0, 0.1, "Umpikuja", False),
                                         (1, 2, 111.0, 0.1, "Umpikuja", False)]), 0, 2)
    depart, back, arrive = route.steps
    assert back.kind == "turn" and back.modifier == "uturn"
    assert back.instruction == "Make a U-turn onto Umpikuja"
    assert abs(steps_module.turn_angle(back.bearing_before, back.bearing_after)) >= 170
    one = only_route(document(points, [(0, 1, 111.0, 0.1, None)]), 0, 0)
    assert [(s.kind, s.first_node, s.last_node, s.distance_m) for s in one.steps] == \
        [("depart", 0, 0, 0.0), ("arrive", 0, 0, 0.0)]
    assert one.edges == [] and one.polyline() == polyline.encode([points[0]], 6)


def test_parallel_edges_of_different_names_give_the_one_walked():
    points = {0: (60.0, 25.0), 1: (60.001, 25.0), 2: (60.001, 25.002)}
    doc = document(points, [(0, 1, 111.0, 0.1, "Second", False),     # edge 0
                            (0, 1, 111.0, 0.05, "Safe way", False),  # as long, safer
                            (1, 2, 111.0, 0.1, "Third", False)])
    routes = norvel.Router.from_json(json.dumps(doc)).route(0, 2)
    assert len(routes) == 1                  # one route: the safer edge wins both
    route = routes[0]
    assert route.edges == [1, 2]
    # Named by the edge walked, where the first named one in document order
    # would say "Second".
    assert route.streets == ["Safe way", "Third"]
    assert [s.street for s in route.steps] == ["Safe way", "Third", "Third"]
    # Two parallel edges of equal costs: the first in the document.
    doc["edges"][1]["risk_score"] = 0.1
    table = norvel.Router.from_json(json.dumps(doc)).table
    assert norvel.Router.from_json(json.dumps(doc)).route(0, 2)[0].edges == [0, 2]
    # Totals that no choice gives: each step its first edge; no edge: none.
    assert table.route_edges([0, 1, 2], 1.0, 2.0, 0.0) == [0, 2]
    assert table.route_edges([0, 2], 1.0, 2.0, 0.0) == []


def test_highway_classes_from_the_edges_tags(tmp_path):
    points = {0: (60.0, 25.0), 1: (60.001, 25.0), 2: (60.002, 25.0), 3: (60.002, 24.998)}
    doc = document(points, [(0, 1, 111.0, 0.1, "Katu", False), (1, 2, 111.0, 0.1, None, False),
                            (2, 3, 111.0, 0.1, None, False)])
    doc["edges"][1]["tags"] = {"highway": "footway", "lit": "yes"}
    doc["edges"][2]["tags"] = {"highway": "living_street"}
    path = tmp_path / "tagged.json"
    path.write_text(json.dumps(doc))
    expected = ["Head north on Katu", "Continue on the footway",
                "Turn left onto the living street", "Arrive at your destination"]
    for router in (norvel.Router.from_json(json.dumps(doc)), norvel.Router.from_file(path)):
        route = router.route(0, 3)[0]
        assert [s.instruction for s in route.steps] == expected
        assert [s.highway for s in route.steps] == [None, "footway", "living_street", None]


def random_document(seed):
    """A small random graph with parallel edges of differing costs, some
    familiarity and a few names."""
    rng = random.Random(seed)
    n = rng.randint(4, 12)
    nodes = [{"id": i, "lat": 60 + rng.random() * 0.01, "lon": 25 + rng.random() * 0.01}
             for i in range(n)]
    edges = []
    for _ in range(rng.randint(n, 4 * n)):
        a, b = rng.randrange(n), rng.randrange(n)
        for _ in range(rng.choice([1, 1, 2, 3])):
            edge = {"from": a, "to": b,
                    "distance_m": rng.choice([rng.uniform(1, 100), 10.0, 0.1]),
                    "risk_score": rng.choice([rng.uniform(0, 1), 0.1, 0.2])}
            if rng.random() < 0.3:
                edge["familiarity"] = rng.random()
            if rng.random() < 0.5:
                edge["name"] = rng.choice(["A", "B", "C"])
            edges.append(edge)
    return {"nodes": nodes, "edges": edges}, n


def bits(value):
    return struct.pack("<d", value)


def check_steps(route, edges):
    """Steps add up and cover every edge once; consecutive ones meet."""
    steps = route.steps
    assert steps[0].kind == "depart" and steps[-1].kind == "arrive"
    assert steps[-1].first_node == steps[-1].last_node == len(route.nodes) - 1
    for before, after in zip(steps[:-1], steps[1:]):
        assert before.last_node == after.first_node
    covered = [i for s in steps for i in range(s.first_node, s.last_node)]
    assert covered == list(range(len(route.edges)))
    for name, total in (("distance_m", route.distance_m), ("risk", route.risk)):
        assert math.isclose(sum(getattr(s, name) for s in steps), total,
                            rel_tol=1e-9, abs_tol=1e-12)
    for s in steps:
        assert s.location == tuple(reversed(route.coordinates[s.first_node]))
        if s.street is not None and s.first_node < s.last_node:
            assert edges[route.edges[s.first_node]]["name"] == s.street


def test_edges_give_the_totals_bit_for_bit_on_random_graphs():
    """The edges' costs summed in travel order are the route's totals, and
    the routes are the module's; the steps of each add up."""
    parallel = 0
    for seed in range(60):
        doc, n = random_document(seed)
        text = json.dumps(doc)
        router = norvel.Router.from_json(text)
        core = norvel_core.PyGraph.from_json(text)
        edges = doc["edges"]
        for source in range(min(n, 4)):
            for target in range(n):
                try:
                    routes = router.route(source, target)
                except norvel.RoutingError:
                    continue
                module = norvel_core.compute_safe_routes(core, source, target, 0.0)
                for route, theirs in zip(routes, module, strict=True):
                    assert route.nodes == theirs.path
                    sums = [0.0, 0.0, 0.0]
                    for at, edge in enumerate(route.edges):
                        record = edges[edge]
                        assert (record["from"], record["to"]) == tuple(route.nodes[at:at + 2])
                        sums[0] += record["distance_m"]
                        sums[1] += record["risk_score"]
                        sums[2] += record.get("familiarity", 0.0)
                    assert list(map(bits, sums)) == list(map(bits, (
                        theirs.total_distance_m, theirs.total_risk, theirs.total_familiarity)))
                    parallel += any(
                        sum((e["from"], e["to"]) == tuple(route.nodes[k:k + 2]) for e in edges) > 1
                        for k in range(len(route.edges)))
                    check_steps(route, edges)
    assert parallel > 100            # the choice between parallel edges was made


@pytest.fixture(scope="module")
def sample():
    router = norvel.Router.from_file(sample_graph())
    return router, router.route((60.1718, 24.9414), (60.1759, 24.9470))


def test_on_the_sample_steps_polylines_gpx_and_geojson(sample):
    router, routes = sample
    edges = orjson.loads(norvel._files.read_graph_bytes(sample_graph()))["edges"]
    for route in routes:
        check_steps(route, edges)
        assert len(route.steps) >= 3
        for precision in (5, 6):
            decoded = polyline.decode(route.polyline(precision), precision)
            assert len(decoded) == len(route.nodes)
            for (lat, lon), (x, y) in zip(decoded, route.coordinates):
                assert abs(lat - y) <= 0.5 * 10**-precision + 1e-12
                assert abs(lon - x) <= 0.5 * 10**-precision + 1e-12
    gpx = gpxpy.parse(routes.to_gpx())
    assert [t.name for t in gpx.tracks] == [r.type for r in routes]
    assert [r.name for r in gpx.routes] == [r.type for r in routes]
    for track, rte, route in zip(gpx.tracks, gpx.routes, routes):
        points = track.segments[0].points
        assert [(p.longitude, p.latitude) for p in points] == route.coordinates
        assert [p.name for p in rte.points] == [s.instruction for s in route.steps]
        assert [(p.latitude, p.longitude) for p in rte.points] == [s.location for s in route.steps]
    assert gpxpy.parse(routes[0].to_gpx()).tracks[0].name == routes[0].type
    collection = routes.to_geojson(steps=True)
    assert collection["features"][0]["properties"]["steps"] == \
        [s.to_dict() for s in routes[0].steps]
    assert "steps" not in routes.to_geojson()["features"][0]["properties"]
    # A pickled route keeps its steps, not its graph's facts.
    again = pickle.loads(pickle.dumps(routes[0]))
    assert again == routes[0] and again.steps == routes[0].steps
    assert len(pickle.dumps(routes[0])) < 100_000


def test_steps_read_the_layer_and_highway_classes_they_are_given(sample):
    router, routes = sample
    route = routes[0]
    count = router.edge_count
    facts = EdgeFacts(router.session.engine, router.table, layer="night",
                      risks=router.session.facts().risks * 2.0,
                      highways=["footway"] * count)
    doubled = steps_module.route_steps(route.coordinates, route.edges, facts)
    assert [s.risk for s in doubled] == [2.0 * s.risk for s in route.steps]
    unnamed = [s for s in doubled if s.street is None and s.kind != "arrive"]
    assert unnamed and all(s.instruction.endswith("the footway") for s in unnamed)


def test_a_route_of_the_module_knows_its_edges_through_the_router(sample):
    router, routes = sample
    module = norvel_core.compute_safe_routes(router.graph, routes.origin.node,
                                             routes.destination.node, 0.0)
    from norvel import geo

    assert geo.as_route(module[0], router).steps == routes[0].steps
    with pytest.raises(ValueError, match="does not know the edges"):
        geo.as_route(module[0], {n: (0.0, 0.0) for n in module[0].path}).steps
    with pytest.raises(ValueError, match="precision must be an integer from 1 to 10"):
        routes[0].polyline(0)


def test_over_http_and_on_the_command_line(sample):
    router, routes = sample
    live = LiveServer(sample_graph(), "--workers", "1")
    try:
        query = "/route?from=60.1718,24.9414&to=60.1759,24.9470"
        status, kind, body = live.request("GET", query + "&steps=true")
        assert (status, kind) == (200, "application/json")
        features = json.loads(body)["features"]
        assert [f["properties"]["steps"] for f in features] == \
            [json.loads(json.dumps([s.to_dict() for s in r.steps])) for r in routes]
        status, kind, body = live.request("GET", query + "&format=gpx")
        assert (status, kind.split(";")[0]) == (200, "application/gpx+xml")
        assert body.decode() == routes.to_gpx()
        status, kind, body = live.request("GET", query + "&format=polyline6")
        answer = json.loads(body)
        assert answer["precision"] == 6 and answer["origin"]["node"] == routes.origin.node
        assert [r["polyline"] for r in answer["routes"]] == [r.polyline(6) for r in routes]
        assert "steps" not in answer["routes"][0]
        status, kind, body = live.request("GET", query + "&format=kml")
        assert status == 400 and json.loads(body) == {"error": (
            "'format' must be one of geojson, gpx, polyline5, polyline6, got 'kml'")}
        status, kind, body = live.request("GET", query + "&steps=maybe&format=gpx")
        assert (status, kind) == (400, "application/json")
    finally:
        live.stop()
    shown = subprocess.run(
        [sys.executable, "-m", "norvel", "route", str(sample_graph()),
         "60.1718,24.9414", "60.1759,24.9470", "--steps"],
        capture_output=True, text=True, check=True).stdout.splitlines()
    first = shown.index(next(line for line in shown if line.startswith("shortest")))
    lines = shown[first + 1:first + 1 + len(routes[0].steps)]
    assert [line.split("  ")[-1] for line in lines] == [s.instruction for s in routes[0].steps]
