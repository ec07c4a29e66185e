"""Router.catchment against router.route node by node, its node set
against a plain Dijkstra written here, its areas against their rule, and
what it refuses."""

import heapq
import json
import math

import numpy as np
import pytest

from grids import DEAD_END, FIRST_ID, LONELY, grid_document
from norvel import NodeNotFoundError, NoRouteError, Router, SnapError
from norvel.errors import RouteTimeoutError

STATION = (60.1699, 24.9384)  # the railway station square
TOTALS = ("shortest_m", "shortest_risk", "safest_m", "safest_risk",
          "balanced_m", "balanced_risk")


@pytest.fixture(scope="module")
def helsinki(sample_path):
    return Router.from_file(sample_path)


@pytest.fixture(scope="module", params=["to", "from"])
def station(request, helsinki):
    return helsinki.catchment(STATION, 15.0, direction=request.param)


def check_rows(router, catchment, rows):
    """The rows' totals are those of the node's routes; a route that
    route() leaves out repeats an emitted one (which one, for the balanced
    route, the C++ tests pin down)."""
    frame = catchment.nodes
    place = catchment.place.node
    for row in rows:
        node = int(frame["node"].iat[row])
        routes = (router.route(node, place) if catchment.direction == "to"
                  else router.route(place, node))
        got = [float(frame[name].iat[row]) for name in TOTALS]
        shortest = routes.shortest
        safest = routes.safest or shortest
        assert got[:4] == [shortest.distance_m, shortest.risk,
                           safest.distance_m, safest.risk], node
        emitted = [[r.distance_m, r.risk] for r in routes]
        if routes.balanced is not None:
            assert got[4:] == emitted[-1], node
        else:
            assert got[4:] in emitted, node
        assert routes.shortest.time_min <= catchment.minutes


class TestAgainstRoute:
    def test_the_station_square(self, helsinki, station):
        assert 3500 < len(station) < 4200
        rng = np.random.default_rng(11)
        check_rows(helsinki, station, rng.choice(len(station), 250,
                                                 replace=False))
        frame = station.nodes
        assert list(frame.columns) == [
            "node", "lat", "lon", *TOTALS, "detour_m", "shortest_place",
            "safest_place", "balanced_place", "within_m", "within_risk"]
        assert (frame["detour_m"] == frame["safest_m"] -
                frame["shortest_m"]).all()
        assert (frame["safest_risk"] <= frame["shortest_risk"]).all()
        assert frame["shortest_m"].is_monotonic_increasing
        assert list(station) == frame["node"].tolist()
        node = int(frame["node"].iat[1234])
        assert node in station and station.route(node)[0].nodes[0 if
            station.direction == "to" else -1] == node

    @pytest.mark.parametrize("seed, parallel", [(1, False), (2, False),
                                                (3, True)])
    def test_every_node_of_random_graphs(self, seed, parallel):
        document = random_document(seed, parallel=parallel)
        router = Router.from_json(json.dumps(document))
        ids = [int(n) for n in router.table.ids]
        place = next(n for n in ids[seed:] if router.table.has_outgoing(n))
        for direction in ("to", "from"):
            catchment = router.catchment(place, math.inf,
                                         direction=direction)
            check_rows(router, catchment, range(len(catchment)))
            reached = set(catchment.node_ids.tolist())
            for node in ids:
                try:
                    (router.route(node, place) if direction == "to"
                     else router.route(place, node))
                except NoRouteError:
                    assert node not in reached
                else:
                    assert node in reached


def random_document(seed, size=40, parallel=False):
    """One-way and two-way edges with costs in centimetres and
    ten-thousandths, dead ends and a node without edges; with `parallel`,
    edges that join the same nodes with other costs."""
    rng = np.random.default_rng(seed)
    nodes = [{"id": 100 + i, "lat": 60.0 + rng.uniform(0, 0.01),
              "lon": 25.0 + rng.uniform(0, 0.01)} for i in range(size)]
    edges = []
    joined = set()
    for _ in range(3 * size):
        a, b = (int(x) for x in rng.integers(100, 100 + size - 1, 2))
        if not parallel and ({(a, b), (b, a)} & joined):
            continue
        joined |= {(a, b), (b, a)}
        d = round(float(rng.uniform(5, 200)), 2)
        r = round(float(rng.uniform(0, 0.3)), 4)
        edges.append({"from": a, "to": b, "distance_m": d, "risk_score": r})
        if rng.random() < 0.7:
            edges.append({"from": b, "to": a, "distance_m": d,
                          "risk_score": r})
    return {"nodes": nodes, "edges": edges}


def dijkstra_m(router, place, direction):
    """Least distance between every node and the place, by heapq."""
    table = router.table
    tails, heads = table.edges
    engine = router.session.engine
    lengths = np.empty(engine.edge_count)
    lengths[engine.edge_index] = engine.lengths
    if direction == "to":
        tails, heads = heads, tails
    edges = {}
    for a, b, d in zip(tails.tolist(), heads.tolist(), lengths.tolist()):
        edges.setdefault(a, []).append((b, d))
    best = {place: 0.0}
    todo = [(0.0, place)]
    while todo:
        d, node = heapq.heappop(todo)
        if d > best[node]:
            continue
        for other, length in edges.get(node, ()):
            if d + length < best.get(other, math.inf):
                best[other] = d + length
                heapq.heappush(todo, (d + length, other))
    return best


def test_node_set_is_that_of_a_plain_dijkstra(helsinki, station):
    limit = station.minutes * 66.67
    best = dijkstra_m(helsinki, station.place.node, station.direction)
    inside = set(station.node_ids.tolist())
    for node, distance in best.items():
        if node not in helsinki.table:  # only an edge's end: no request's
            continue
        if distance < limit * (1 - 1e-9):
            assert node in inside, node
        elif distance > limit * (1 + 1e-9):
            assert node not in inside, node
    assert inside <= set(best)


def test_areas_follow_their_streets(helsinki, station):
    geopandas = pytest.importorskip("geopandas")
    shapely = pytest.importorskip("shapely")
    areas = station.to_geodataframe("areas")
    assert areas["band"].tolist() == [5.0, 10.0, 15.0]
    crs = areas.estimate_utm_crs()
    areas = areas.to_crs(crs)
    edges = station.to_geodataframe("edges")
    nodes = station.to_geodataframe("nodes").to_crs(crs)
    # Every node of the graph, with its walk's minutes (inf outside).
    table = helsinki.table
    minutes = dict(zip(station.node_ids.tolist(),
                       (station.nodes["shortest_m"] / 66.67).tolist()))
    everything = geopandas.GeoDataFrame(
        {"minutes": [minutes.get(n, math.inf) for n in table.ids.tolist()]},
        geometry=shapely.points(table.lons, table.lats),
        crs="EPSG:4326").to_crs(crs)
    head_minutes = np.array([minutes[n] for n in edges["head"].tolist()])
    edges = edges.to_crs(crs)
    for band, area in zip(areas["band"], areas.geometry):
        streets = shapely.union_all(edges.geometry[
            (edges["minutes"] <= band) & (head_minutes <= band)].values)
        far = everything[everything["minutes"] > band + 5]
        inside = far[far.within(area)]
        assert (inside.distance(streets) <= 50.0).all(), band
        # The band's own nodes lie in it.
        assert nodes[nodes["shortest_m"] / 66.67 <= band].within(
            area.buffer(1e-6)).all()


def test_views_and_map(helsinki, station):
    pytest.importorskip("folium")
    edges = station.to_geodataframe("edges")
    rows = dict(zip(station.node_ids.tolist(), range(len(station))))
    tail_rows = [rows[t] for t in edges["tail"].tolist()]
    frame = station.nodes
    assert (edges["minutes"].to_numpy() ==
            frame["shortest_m"].to_numpy()[tail_rows] / 66.67).all()
    assert (edges["risk"].to_numpy() ==
            frame["shortest_risk"].to_numpy()[tail_rows]).all()
    # The streets inside are those of the whole table's with both ends in.
    everything = helsinki.table.segments(one_per_pair=True)
    inside = np.isin(everything.tails, station.node_ids) & \
        np.isin(everything.heads, station.node_ids)
    assert edges["tail"].tolist() == everything.tails[inside].tolist()
    assert edges["head"].tolist() == everything.heads[inside].tolist()
    assert len(station.to_geodataframe("nodes")) == len(station)
    assert type(station.explore()).__name__ == "Map"
    with pytest.raises(ValueError, match="kind"):
        station.to_geodataframe("lines")
    with pytest.raises(ValueError, match="bands"):
        station.to_geodataframe("areas", bands=(5, 20))
    with pytest.raises(KeyError, match="not in the catchment"):
        station.route(1)


class TestRefusals:
    def test_eps_and_arguments(self, helsinki):
        with pytest.raises(ValueError, match="catchments are exact: eps "
                                             "must be 0.0"):
            helsinki.catchment(STATION, eps=0.1)
        with pytest.raises(ValueError, match="eps"):
            helsinki.catchment(STATION, eps=-1.0)
        with pytest.raises(TypeError, match="eps"):
            helsinki.catchment(STATION, eps="0")
        for minutes in (-1.0, math.nan):
            with pytest.raises(ValueError, match="minutes"):
                helsinki.catchment(STATION, minutes)
        with pytest.raises(ValueError, match="direction"):
            helsinki.catchment(STATION, direction="both")
        with pytest.raises(SnapError):
            helsinki.catchment((60.3, 24.9))
        with pytest.raises(RouteTimeoutError, match="catchment of node"):
            helsinki.catchment(STATION, math.inf, timeout_s=1e-9)

    def test_places_and_graphs(self):
        grid = Router.from_json(json.dumps(grid_document(4)))
        with pytest.raises(NodeNotFoundError) as raised:
            grid.catchment(3)
        assert raised.value.role == "destination"
        with pytest.raises(NoRouteError, match="no outgoing edge"):
            grid.catchment(LONELY, direction="from")
        # Nothing leaves a dead end: only walks from elsewhere end there.
        into_dead_end = grid.catchment(DEAD_END, math.inf)
        assert DEAD_END not in into_dead_end and FIRST_ID in into_dead_end
        document = grid_document(4)
        document["edges"][0]["risk_score"] = -0.1
        with pytest.raises(ValueError, match="non-negative"):
            Router.from_json(json.dumps(document)).catchment(FIRST_ID)


@pytest.fixture(scope="module")
def grid():
    return Router.from_json(json.dumps(grid_document(7)))


class TestSeveralPlaces:
    """Several places against their one-place catchments: the union's
    shortest and safest walks are the least of the places' (by distance
    then risk, by risk then distance), a tie to the lower place index. The
    C++ tests check every route and cutoff against each node's requests,
    merged."""

    @pytest.mark.parametrize("direction", ["to", "from"])
    def test_least_of_the_places(self, grid, direction):
        # The second and the last place are the same node: the lower
        # index wins each of its ties.
        places = [FIRST_ID + 3, FIRST_ID + 24, FIRST_ID + 45, FIRST_ID + 24]
        several = grid.catchment(places, 6.0, direction=direction)
        ones = [grid.catchment(place, math.inf, direction=direction)
                for place in places]
        frame = several.nodes
        assert several.places is not None and len(several.places) == 4
        for row in range(len(frame)):
            node = int(frame["node"].iat[row])
            best = {}
            for index, one in enumerate(ones):
                at = one.nodes.index[one.nodes["node"] == node]
                if not len(at):
                    continue
                values = one.nodes.loc[at[0]]
                for kind, key in (("shortest", (values["shortest_m"], values["shortest_risk"])),
                                  ("safest", (values["safest_risk"], values["safest_m"]))):
                    if kind not in best or key < best[kind][0]:
                        best[kind] = (key, index)
            assert (frame["shortest_m"].iat[row], frame["shortest_risk"].iat[row]) == best["shortest"][0]
            assert frame["shortest_place"].iat[row] == best["shortest"][1]
            assert (frame["safest_risk"].iat[row], frame["safest_m"].iat[row]) == best["safest"][0]
            assert frame["safest_place"].iat[row] == best["safest"][1]
            assert frame["shortest_m"].iat[row] / 66.67 <= 6.0
            # The least risky walk within the minutes: the safest where it
            # fits, never riskier than the shortest.
            if frame["safest_m"].iat[row] / 66.67 <= 6.0:
                assert frame["within_risk"].iat[row] == frame["safest_risk"].iat[row]
            assert frame["within_risk"].iat[row] <= frame["shortest_risk"].iat[row]
            assert frame["within_m"].iat[row] / 66.67 <= 6.0
        assert 3 not in set(frame["shortest_place"])
        routes = several.route(int(frame["node"].iat[len(frame) // 2]))
        assert routes and all(place in (0, 1, 2) for place, _ in routes)
        assert routes[0][1].distance_m == frame["shortest_m"].iat[len(frame) // 2]

    @pytest.mark.parametrize("seed", [4, 5, 6])
    def test_every_nodes_routes_are_its_columns(self, seed):
        # Random graphs (parallel edges in one of them): each of a node's
        # three walks of the union, place and totals, comes back as a route
        # to that place, the balanced one too where it is none of its own
        # pair's three routes.
        router = Router.from_json(json.dumps(random_document(seed, parallel=seed == 6)))
        ids = [int(n) for n in router.table.ids if router.table.has_outgoing(int(n))]
        places = [ids[1], ids[len(ids) // 2], ids[-2]]
        for direction in ("to", "from"):
            several = router.catchment(places, math.inf, direction=direction)
            frame = several.nodes
            for row in range(len(frame)):
                routes = several.route(int(frame["node"].iat[row]))
                got = {(place, route.distance_m, route.risk) for place, route in routes}
                for kind in ("shortest", "safest", "balanced"):
                    want = (int(frame[f"{kind}_place"].iat[row]),
                            float(frame[f"{kind}_m"].iat[row]),
                            float(frame[f"{kind}_risk"].iat[row]))
                    assert want in got, (direction, row, kind)
                nodes = [route.nodes for _, route in routes]
                assert all(n[0 if direction == "to" else -1] == int(frame["node"].iat[row])
                           for n in nodes)

    def test_kinds_of_lists(self, grid):
        place = FIRST_ID + 10
        one = grid.catchment(place, 5.0)
        listed = grid.catchment([place], 5.0)
        assert one.places is None and listed.places is not None
        for name in one.nodes.columns:
            assert one.nodes[name].equals(listed.nodes[name]), name
        assert len(grid.catchment(np.array([place, place + 1]), 5.0)) >= len(one)
        import pandas
        assert len(grid.catchment(pandas.Series([place, place + 1]), 5.0)) >= len(one)
        point = (60.003, 25.004)
        assert grid.catchment(point, 5.0).places is None
        assert len(grid.catchment([point, (60.001, 25.0)], 5.0).places) == 2
        with pytest.raises(ValueError, match="places must not be empty"):
            grid.catchment([], 5.0)
        with pytest.raises(NodeNotFoundError):
            grid.catchment([place, 3], 5.0)

    def test_several_cutoffs_from_one_search(self, grid):
        places = [FIRST_ID, FIRST_ID + 48]
        session = grid.session
        snaps, columns = session.catchment_columns(
            places, 8.0, "to", session.options(), cutoffs=[2.0, 5.0, 8.0])
        assert [snap.node for snap in snaps] == places
        assert columns["within_risk"].shape == (len(columns["node"]), 3)
        for k, cutoff in enumerate((2.0, 5.0, 8.0)):
            alone = grid.catchment(places, cutoff)
            rows = np.isin(columns["node"], alone.node_ids)
            order = np.argsort(columns["node"][rows])
            mine = alone.nodes.sort_values("node")
            assert np.array_equal(columns["within_risk"][rows, k][order], mine["within_risk"].to_numpy())
            assert np.all(np.isnan(columns["within_risk"][~rows, k]))
