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
        assert list(frame.columns) == ["node", "lat", "lon", *TOTALS,
                                       "detour_m"]
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
    engine = router._engine
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
