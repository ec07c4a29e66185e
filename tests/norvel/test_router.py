"""norvel.Router against the module itself: snapping to the nearest node,
routes with the module's values, typed errors and the result's shapes."""

import json
import math
import pickle

import numpy as np
import norvel_core
import pytest
from shapely.geometry import LineString

import norvel
from grids import ABSENT, DEAD_END, FIRST_ID, LONELY, grid_document
from norvel import (NodeNotFoundError, NoRouteError, Router, RoutingError,
                    SnapError)
from norvel.geo import haversine_m

DOCUMENT = grid_document(6)
CORNER = FIRST_ID + 35


@pytest.fixture(scope="module")
def grid():
    return Router.from_json(json.dumps(DOCUMENT))


@pytest.fixture(scope="module")
def helsinki(sample_path):
    return Router.from_file(sample_path)


def brute_nearest(router, lat, lon):
    table = router.table
    return min((haversine_m(lat, lon, *table[n]), n)
               for n in table.routable_ids.tolist())


class TestNearest:
    def test_against_a_scan_of_every_node(self, helsinki):
        rng = np.random.default_rng(7)
        lats = rng.uniform(60.155, 60.185, 120)
        lons = rng.uniform(24.91, 24.98, 120)
        ids, distances = helsinki.nearest_many(lats, lons)
        assert ids.dtype == np.uint64 and distances.dtype == np.float64
        for lat, lon, node, distance in zip(lats, lons, ids.tolist(),
                                            distances.tolist()):
            best, _ = brute_nearest(helsinki, lat, lon)
            assert distance == pytest.approx(best, rel=1e-9, abs=1e-6)
            assert haversine_m(lat, lon, *helsinki.table[node]) == \
                pytest.approx(best, rel=1e-9, abs=1e-6)
        snap = helsinki.nearest(float(lats[0]), float(lons[0]))
        assert (snap.node, snap.distance_m) == (int(ids[0]), distances[0])

    def test_far_points_and_shapes(self, grid):
        # Half a world away the chord is long; the arc must still be right.
        lats = np.array([[-60.0, 0.0], [90.0, -90.0]])
        lons = np.array([[-155.0, 180.0], [0.0, -180.0]])
        ids, distances = grid.nearest_many(lats, lons)
        assert ids.shape == distances.shape == (2, 2)
        for lat, lon, distance in zip(lats.ravel(), lons.ravel(),
                                      distances.ravel()):
            assert distance == pytest.approx(brute_nearest(grid, lat, lon)[0],
                                             rel=1e-9)

    def test_only_nodes_with_an_outgoing_edge(self, grid):
        # LONELY and DEAD_END lie right there, yet no route starts at them.
        snap = grid.nearest(59.99, 25.0)
        assert snap.node == FIRST_ID
        assert snap.distance_m == pytest.approx(haversine_m(59.99, 25.0,
                                                            60.0, 25.0))
        assert not grid.table.has_outgoing(DEAD_END)
        assert DEAD_END in grid.table and ABSENT not in grid.table

    def test_out_of_range(self, grid):
        with pytest.raises(ValueError, match=r"^lat must be within \[-90, 90\], "
                                             r"got 90\.5$"):
            grid.nearest(90.5, 0.0)
        with pytest.raises(ValueError, match=r"^lon must be within "
                                             r"\[-180, 180\], got nan at index 1$"):
            grid.nearest_many([1.0, 2.0], [1.0, math.nan])
        with pytest.raises(ValueError, match="differ in shape"):
            grid.nearest_many([1.0, 2.0], [1.0])
        with pytest.raises(TypeError, match="^lat must be a real number, got str$"):
            grid.nearest("60", 25.0)


class TestRoute:
    def test_values_are_the_modules(self, grid):
        core = norvel_core.compute_safe_routes(grid.graph, FIRST_ID, CORNER, 0.0)
        routes = grid.route(FIRST_ID, CORNER)
        assert len(routes) == len(core) == 3
        assert [r.type for r in routes] == [c.route_type for c in core]
        assert (routes.shortest, routes.safest, routes.balanced) == tuple(routes)
        for route, result in zip(routes, core):
            assert route.nodes == result.path
            assert (route.distance_m, route.risk, route.time_min, route.comfort,
                    route.familiarity) == (
                result.total_distance_m, result.total_risk,
                result.estimated_time_min, result.comfort_score,
                result.total_familiarity)
            assert route.coordinates == [grid.table.lon_lat(n)
                                         for n in result.path]
            assert route.streets == []
        assert routes.origin == norvel.Snap(FIRST_ID, 0.0)

    def test_points_snap_and_eps_passes_through(self, grid):
        routes = grid.route((60.0001, 25.0), (60.005, 25.0101), 0.1,
                            max_snap_m=50.0)
        assert routes.origin.node == FIRST_ID
        assert routes.destination.node == CORNER
        assert routes.origin.distance_m == pytest.approx(11.1, abs=0.1)
        core = norvel_core.compute_safe_routes(grid.graph, FIRST_ID, CORNER, 0.1)
        assert [r.nodes for r in routes] == [c.path for c in core]

    def test_fewer_routes(self, grid):
        (route,) = grid.route(FIRST_ID, FIRST_ID)
        assert (route.type, route.nodes, route.distance_m) == (
            "shortest", [FIRST_ID], 0.0)
        routes = grid.route(FIRST_ID, FIRST_ID)
        assert routes.safest is None and routes.balanced is None

    def test_to_geojson(self, grid):
        routes = grid.route(FIRST_ID, CORNER)
        collection = routes.to_geojson()
        assert collection["type"] == "FeatureCollection"
        json.dumps(collection, allow_nan=False)
        for feature, route in zip(collection["features"], routes, strict=True):
            assert feature["type"] == "Feature"
            assert feature["geometry"] == {
                "type": "LineString",
                "coordinates": [[lon, lat] for lon, lat in route.coordinates]}
            assert feature["geometry"]["coordinates"][0] == [25.0, 60.0]
            assert feature["properties"] == {
                "type": route.type, "distance_m": route.distance_m,
                "risk": route.risk, "time_min": route.time_min,
                "comfort": route.comfort, "familiarity": route.familiarity,
                "nodes": route.nodes, "streets": []}
        (single,) = grid.route(FIRST_ID, FIRST_ID).to_geojson()["features"]
        assert single["geometry"]["coordinates"] == [[25.0, 60.0]] * 2

    def test_to_geodataframe(self, grid):
        routes = grid.route(FIRST_ID, CORNER)
        frame = routes.to_geodataframe()
        assert frame.crs.to_epsg() == 4326
        assert list(frame["type"]) == [r.type for r in routes]
        assert list(frame["distance_m"]) == [r.distance_m for r in routes]
        assert [list(n) for n in frame["nodes"]] == [r.nodes for r in routes]
        for geometry, route in zip(frame.geometry, routes):
            assert geometry.equals_exact(LineString(route.coordinates), 0.0)
        # What the quick start shows: an interactive map, one line a route.
        html = frame.explore(column="type").get_root().render()
        assert html.count('"type": "LineString"') == len(routes)


def test_streets_merge_repeats_and_pass_over_unnamed_edges():
    names = ["Kaivokatu", "Kaivokatu", None, "Kaivokatu", "Vilhonkatu",
             "Kaivokatu"]
    nodes = [{"id": i, "lat": 60.0, "lon": 25.0 + i / 1000} for i in range(7)]
    edges = [dict({"from": i, "to": i + 1, "distance_m": 50.0,
                   "risk_score": 0.1}, **({"name": name} if name else {}))
             for i, name in enumerate(names)]
    # A parallel edge with another name: the first named one counts.
    edges.append({"from": 0, "to": 1, "distance_m": 60.0, "risk_score": 0.1,
                  "name": "Aleksanterinkatu"})
    router = Router.from_json(json.dumps({"nodes": nodes, "edges": edges}))
    (route,) = router.route(0, 6)
    assert route.streets == ["Kaivokatu", "Vilhonkatu", "Kaivokatu"]
    assert route.to_feature()["properties"]["streets"] == route.streets
    assert router.route(0, 1).shortest.streets == ["Kaivokatu"]
    assert router.route(2, 3).shortest.streets == []


class TestErrors:
    def check(self, error, kind, message, error_kind):
        assert isinstance(error, RoutingError) and type(error) is kind
        assert str(error) == message
        assert error.kind == error_kind

    def test_errors_cross_processes_whole(self, grid):
        caught = []
        for origin, destination in ((ABSENT, FIRST_ID), (DEAD_END, FIRST_ID),
                                    ((60.0, 25.0), (60.01, 25.0))):
            with pytest.raises(RoutingError) as error:
                grid.route(origin, destination)
            caught.append(error.value)
        for error in caught:
            copy = pickle.loads(pickle.dumps(error))
            assert type(copy) is type(error) and str(copy) == str(error)
            assert copy.__dict__ == error.__dict__

    def test_unknown_nodes(self, grid):
        with pytest.raises(NodeNotFoundError) as caught:
            grid.route(ABSENT, ABSENT + 1)
        self.check(caught.value, NodeNotFoundError,
                   "origin node 3 is not a node of the graph",
                   "node_not_found")
        assert isinstance(caught.value, KeyError) and caught.value.node == ABSENT
        with pytest.raises(KeyError) as caught:
            grid.route(LONELY, 2**64 - 1)
        self.check(caught.value, NodeNotFoundError,
                   "destination node 18446744073709551615 is not a node of "
                   "the graph",
                   "node_not_found")
        with pytest.raises(NodeNotFoundError) as caught:
            grid.route(FIRST_ID, -1)
        self.check(caught.value, NodeNotFoundError,
                   "destination node -1 is not a node of the graph",
                   "node_not_found")

    @pytest.mark.parametrize("origin, destination, message, reason", [
        (DEAD_END, FIRST_ID,
         "origin node 2 has no outgoing edge, so no route starts there",
         "source_isolated"),
        (FIRST_ID, LONELY,
         "no route from node 10000 to node 1: no path leads there in the graph",
         "no_route")])
    def test_no_route(self, grid, origin, destination, message, reason):
        with pytest.raises(NoRouteError) as caught:
            grid.route(origin, destination)
        self.check(caught.value, NoRouteError, message, reason)
        assert caught.value.reason == reason

    def test_snap(self, grid):
        with pytest.raises(SnapError) as caught:
            grid.route((60.0, 25.0), (60.01, 25.0))
        error = caught.value
        assert isinstance(error, ValueError) and error.node == CORNER - 5
        assert error.distance_m == pytest.approx(haversine_m(60.01, 25.0,
                                                             60.005, 25.0))
        self.check(error, SnapError,
                   f"destination (60.01, 25.0) is {error.distance_m:.1f} m "
                   f"from the nearest routable node {CORNER - 5}, farther "
                   f"than max_snap_m=250", "snap")
        assert f"{error.distance_m:.1f}" == "556.0"
        empty = Router.from_json('{"nodes":[{"id":1,"lat":0,"lon":0}],'
                                 '"edges":[]}')
        with pytest.raises(SnapError, match="^origin \\(0.0, 0.0\\): the graph "
                                            "has no routable node"):
            empty.route((0.0, 0.0), 1)
        with pytest.raises(SnapError):
            empty.nearest_many([0.0], [0.0])

    @pytest.mark.parametrize("eps", [-1.0, -1e-300, math.nan, math.inf])
    def test_bad_eps(self, grid, eps):
        with pytest.raises(ValueError, match=r"^eps must be a finite number "
                                             r">= 0, got "):
            grid.route(FIRST_ID, CORNER, eps)

    @pytest.mark.parametrize(("origin", "destination", "eps", "message"), [
        (True, FIRST_ID, 0.0,
         "origin must be a node id (int) or a (lat, lon) tuple, got bool"),
        (FIRST_ID, [60.0, 25.0], 0.0,
         "destination must be a node id (int) or a (lat, lon) tuple, got list"),
        (FIRST_ID, "10001", 0.0,
         "destination must be a node id (int) or a (lat, lon) tuple, got str"),
        (FIRST_ID, (60.0, None), 0.0,
         "destination lon must be a real number, got NoneType"),
        (FIRST_ID, CORNER, "0.1", "eps must be a real number, got str"),
        (FIRST_ID, CORNER, False, "eps must be a real number, got bool"),
    ])
    def test_argument_types(self, grid, origin, destination, eps, message):
        with pytest.raises(TypeError) as caught:
            grid.route(origin, destination, eps)
        assert str(caught.value) == message

    def test_coordinates_out_of_range(self, grid):
        with pytest.raises(ValueError) as caught:
            grid.route((91.0, 25.0), CORNER)
        assert str(caught.value) == ("origin lat must be within [-90, 90], "
                                     "got 91.0")
        with pytest.raises(ValueError) as caught:
            grid.route(FIRST_ID, (60.0, -180.5))
        assert str(caught.value) == ("destination lon must be within "
                                     "[-180, 180], got -180.5")


def lines_text(document):
    """A document one record a line, as norvel.osm writes it."""
    def lines(records):
        return ",\n".join(json.dumps(r, separators=(",", ":")) for r in records)
    return ('{"nodes":[\n' + lines(document["nodes"]) + '\n],\n"edges":[\n'
            + lines(document["edges"]) + "\n]}\n")


def test_a_file_one_record_a_line_reads_as_its_parsed_form(tmp_path):
    document = json.loads(json.dumps(DOCUMENT))
    for edge in document["edges"]:
        edge["name"] = "Pohjoisesplanadi" if edge["from"] < FIRST_ID + 6 \
            else "Unioninkatu"
    path = tmp_path / "named.json"
    path.write_text(lines_text(document))
    router = Router.from_file(path)
    expected = Router.from_json(json.dumps(document))
    mine, theirs = router.route(FIRST_ID, CORNER), expected.route(FIRST_ID, CORNER)
    assert [r.to_feature() for r in mine] == [r.to_feature() for r in theirs]
    assert router.route(FIRST_ID, FIRST_ID + 5).shortest.streets == \
        ["Pohjoisesplanadi"]
    assert np.array_equal(router.table.routable, expected.table.routable)
    assert router.nearest(60.0, 25.0) == expected.nearest(60.0, 25.0)


@pytest.mark.parametrize("one_per_pair", [False, True])
def test_segments_are_the_documents_edges_between_nodes(one_per_pair):
    """Against the document read plainly: edges in document order, those
    with an end that is no node left out, and with ``one_per_pair`` only
    the first edge between two nodes, whichever its direction."""
    document = json.loads(json.dumps(DOCUMENT))
    edges = document["edges"]
    # A repeated edge, a reverse one listed before its partner's repeat, a
    # loop, and an edge to an id that is no node.
    edges[4:4] = [dict(edges[9]), {**edges[0], "from": edges[0]["to"],
                                   "to": edges[0]["from"]}]
    edges += [{"from": FIRST_ID + 7, "to": FIRST_ID + 7, "distance_m": 1.0,
               "risk_score": 0.1},
              {"from": FIRST_ID, "to": ABSENT, "distance_m": 1.0,
               "risk_score": 0.1}]
    position = {n["id"]: (n["lon"], n["lat"]) for n in document["nodes"]}
    expected, seen = [], set()
    for edge in edges:
        a, b = edge["from"], edge["to"]
        pair = (min(a, b), max(a, b))
        if a in position and b in position and not (one_per_pair and pair in seen):
            seen.add(pair)
            expected.append((a, b, position[a], position[b]))
    segments = Router.from_json(json.dumps(document)).table.segments(
        one_per_pair=one_per_pair)
    assert list(zip(segments.tails.tolist(), segments.heads.tolist(),
                    map(tuple, segments.starts.tolist()),
                    map(tuple, segments.ends.tolist()))) == expected
    assert segments.names == [None] * len(expected)


def test_a_route_of_an_engine_row_is_the_route_its_fields_make(helsinki):
    # Routes are made from the engine's rows without the dataclass's
    # __init__: they must be what it makes, fields in its order, and
    # behave as its routes do (frozen, steps, pickling, replace).
    from dataclasses import FrozenInstanceError, replace

    from norvel.routes import Route, route_of_row

    graph = helsinki.session.engine
    ids = graph.ids[graph.listed].tolist()
    rng = np.random.default_rng(3)
    for _ in range(10):
        origin, destination = (int(i) for i in rng.choice(ids, 2))
        for risk in helsinki.risk_layers:
            rows = graph.route(origin, destination, 0.0, None, risk)
            if isinstance(rows, norvel._native.engine.Failure):
                continue
            facts = helsinki.session.facts(risk)
            for row in rows:
                made = route_of_row(row, facts)
                expected = Route(row.type, row.nodes, row.coordinates,
                                 row.distance_m, row.risk, row.time_min,
                                 row.comfort, row.familiarity, row.streets,
                                 row.edges, facts)
                assert made == expected
                assert list(vars(made).items()) == list(vars(expected).items())
                assert made.steps == expected.steps
                assert pickle.loads(pickle.dumps(made)) == made
                assert replace(made, type="x").edges == made.edges
                with pytest.raises(FrozenInstanceError):
                    made.risk = 0.0  # type: ignore[misc]
