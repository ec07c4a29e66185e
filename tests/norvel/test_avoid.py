"""avoid=: every answer is, bit for bit, the one a Router gives on the
document with the avoided edges removed (their indices mapped back), on
random graphs and on the sample, through every interface that takes it."""

import gzip
import json
import random

import numpy as np
import pytest

import norvel
from norvel.errors import NoRouteError, RoutingError

from grids import FIRST_ID, grid_document


def random_document(seed):
    """A small random street graph: edges both ways and one way, parallel
    ones of other costs, costs from few values (ties everywhere), some
    with familiarity, listed in shuffled order (not the rows')."""
    chooser = random.Random(seed)
    size = chooser.randint(8, 30)
    nodes = [{"id": 100 + i, "lat": 60.0 + chooser.random() * 0.01,
              "lon": 25.0 + chooser.random() * 0.02} for i in range(size)]
    edges = []
    for _ in range(chooser.randint(size, 4 * size)):
        a, b = chooser.sample(range(size), 2)
        for x, y in ((a, b), (b, a)) if chooser.random() < 0.6 else ((a, b),):
            edge = {"from": 100 + x, "to": 100 + y,
                    "distance_m": chooser.choice((10.0, 20.0, 25.5, 30.0, 70.1)),
                    "risk_score": chooser.choice((0.0, 0.1, 0.2, 0.3, 0.7))}
            if seed % 3 == 0 and chooser.random() < 0.2:
                edge["familiarity"] = chooser.choice((0.0, 1.0))
            edges.append(edge)
    chooser.shuffle(edges)
    return {"nodes": nodes, "edges": edges}


def without(document, avoided):
    """The document without the edges at ``avoided``, and the original
    index of each edge it keeps."""
    kept = [i for i in range(len(document["edges"])) if i not in avoided]
    replaced = dict(document, edges=[document["edges"][i] for i in kept])
    if "risk_layers" in document:
        replaced["risk_layers"] = {name: [risks[i] for i in kept]
                                   for name, risks in document["risk_layers"].items()}
    return replaced, kept


def outcome(call):
    """What a call gives, as comparable values: its answer or its error."""
    try:
        return call()
    except RoutingError as error:
        return (type(error).__name__, str(error), getattr(error, "reason", None))


def routes(answer, kept=None):
    """A list of routes as tuples, edges mapped back through ``kept``."""
    if isinstance(answer, tuple):
        return answer
    return [(r.type, r.nodes, r.distance_m, r.risk, r.familiarity,
             [kept[e] for e in r.edges] if kept is not None else r.edges)
            for r in answer]


def answered(answer, kept=None):
    if isinstance(answer, tuple):
        return answer
    return (routes(list(answer), kept), answer.origin, answer.destination)


def catchment_columns(catchment):
    columns = {name: np.asarray(values).tolist() for name, values in catchment.columns().items()}
    # Its street segments, as maps and the service draw them.
    segments = catchment.segments()
    columns["segments"] = (segments.tail.tolist(), segments.head.tolist(), segments.lines.tolist(),
                           segments.minutes.tolist(), segments.detour_m.tolist())
    return columns


@pytest.mark.parametrize("seed", range(6))
def test_routes_fronts_and_catchments_avoid_as_the_replaced_document(seed):
    for graph_seed in range(seed * 25, seed * 25 + 25):
        chooser = random.Random(graph_seed)
        document = random_document(graph_seed)
        count = len(document["edges"])
        avoided = set(chooser.sample(range(count), chooser.randint(1, count // 3 + 1)))
        mask = np.zeros(count, dtype=bool)
        mask[sorted(avoided)] = True
        replaced, kept = without(document, avoided)
        router = norvel.Router.from_json(json.dumps(document))
        other = norvel.Router.from_json(json.dumps(replaced))
        ids = [node["id"] for node in document["nodes"]]
        # The three forms name the same edges, a list combining them too.
        forms = [sorted(avoided), mask, [sorted(avoided)[:1], mask]]
        for _ in range(4):
            source, target = chooser.sample(ids, 2)
            point = (60.0 + chooser.random() * 0.01, 25.0 + chooser.random() * 0.02)
            avoid = forms[chooser.randrange(3)]
            for origin, destination in ((source, target), (point, target)):
                for eps in (0.0, 0.1, 0.5):
                    assert answered(outcome(lambda: other.route(origin, destination, eps)), kept) == \
                        answered(outcome(lambda: router.route(origin, destination, eps, avoid=avoid)))
            assert routes(outcome(lambda: other.front(source, target)), kept) == \
                routes(outcome(lambda: router.front(source, target, avoid=avoid)))
            for direction in ("to", "from"):
                assert outcome(lambda: catchment_columns(other.catchment(source, 5.0, direction=direction))) == \
                    outcome(lambda: catchment_columns(router.catchment(source, 5.0, direction=direction,
                                                                       avoid=avoid)))
            places = chooser.sample(ids, 2)
            assert outcome(lambda: catchment_columns(other.catchment(places, 3.0))) == \
                outcome(lambda: catchment_columns(router.catchment(places, 3.0, avoid=avoid)))
        pairs = [tuple(chooser.sample(ids, 2)) for _ in range(6)]
        many = router.route_many(pairs, 0.1, avoid=mask, workers=2)
        alone = other.route_many(pairs, 0.1, workers=2)
        for mine, theirs in zip(many, alone):
            if isinstance(theirs, RoutingError):
                assert (type(mine), str(mine)) == (type(theirs), str(theirs))
            else:
                assert answered(mine) == answered(theirs, kept)


def test_ends_left_without_an_edge_out():
    document = grid_document(4)
    edges = document["edges"]
    # Every edge out of the grid's first node: a point at it snaps to the
    # next nearest node, its id as origin is isolated.
    out = {i for i, edge in enumerate(edges) if edge["from"] == FIRST_ID}
    replaced, kept = without(document, out)
    router = norvel.Router.from_json(json.dumps(document))
    other = norvel.Router.from_json(json.dumps(replaced))
    at_first = (60.0, 25.0)
    mine = router.route(at_first, FIRST_ID + 15, avoid=sorted(out))
    assert answered(mine) == answered(other.route(at_first, FIRST_ID + 15), kept)
    assert mine.origin.node != FIRST_ID
    with pytest.raises(NoRouteError) as raised:
        router.route(FIRST_ID, FIRST_ID + 15, avoid=sorted(out))
    assert raised.value.reason == "source_isolated"
    with pytest.raises(NoRouteError) as raised:
        router.catchment(FIRST_ID, 5.0, direction="from", avoid=sorted(out))
    # Every edge avoided: nowhere to snap to.
    with pytest.raises(norvel.SnapError):
        router.route(at_first, FIRST_ID + 15, avoid=np.ones(len(edges), dtype=bool))


def test_a_polygon_avoids_the_edges_it_crosses(sample_path):
    shapely = pytest.importorskip("shapely")
    document = json.loads(gzip.decompress(sample_path.read_bytes()))
    router = norvel.Router.from_file(sample_path)
    edges = router.edges()
    lons = {n["id"]: n["lon"] for n in document["nodes"]}
    lats = {n["id"]: n["lat"] for n in document["nodes"]}
    middle_lon = float(np.median(list(lons.values())))
    middle_lat = float(np.median(list(lats.values())))
    area = shapely.box(middle_lon - 0.002, middle_lat - 0.001, middle_lon + 0.002, middle_lat + 0.001)
    crossing = {i for i, (a, b) in enumerate(zip(edges["from"], edges["to"]))
                if shapely.LineString([(lons[a], lats[a]), (lons[b], lats[b])]).intersects(area)}
    assert crossing
    geojson = shapely.geometry.mapping(area)
    assert set(router.session.avoided(area).tolist()) == crossing
    assert set(router.session.avoided(geojson).tolist()) == crossing
    assert set(router.session.avoided([geojson, 0]).tolist()) == crossing | {0}
    replaced, kept = without(document, crossing)
    other = norvel.Router.from_json(json.dumps(replaced))
    chooser = random.Random(5)
    ids = [n["id"] for n in document["nodes"]]
    for _ in range(8):
        source, target = chooser.sample(ids, 2)
        for eps, risk in ((0.0, "default"), (0.1, "default"), (0.0, "day")):
            assert answered(outcome(lambda: router.route(source, target, eps, risk=risk, avoid=geojson))) == \
                answered(outcome(lambda: other.route(source, target, eps, risk=risk)), kept)
    place = chooser.choice(ids)
    assert outcome(lambda: catchment_columns(router.catchment(place, 10.0, avoid=area))) == \
        outcome(lambda: catchment_columns(other.catchment(place, 10.0)))


def test_a_tag_filter_and_what_avoid_refuses(sample_path):
    router = norvel.Router.from_file(sample_path)
    count = router.session.edge_count
    steps = router.edges()["highway"].eq("steps").to_numpy()
    assert router.session.avoided(steps).tolist() == np.flatnonzero(steps).tolist()
    # Indices in any order, repeated or not, a list or an array: the same
    # edges as uint32, and the same answers.
    tails = router.edges()["from"].tolist()
    for value in ([7, 3, 3, 0], [0, 3, 7], np.array([0, 3, 7], dtype=np.int16), (3, 7, 0, 7),
                  [7, [3, 0]]):
        found = router.session.avoided(value)
        assert found.dtype == np.uint32 and sorted(set(found.tolist())) == [0, 3, 7]
        assert [r.nodes for r in router.route(tails[0], tails[7], avoid=value)] == \
            [r.nodes for r in router.route(tails[0], tails[7], avoid=[0, 3, 7])]
    # What the engine does not read as a list of edges itself goes the long
    # way round, to the same edges: numpy's ints, a subclass of int, a mask
    # as a list, nothing at all.
    class Edge(int):
        pass
    assert router.session.avoided([np.int64(7), Edge(3), 0]).tolist() == [7, 3, 0]
    assert router.session.avoided(steps.tolist()).tolist() == np.flatnonzero(steps).tolist()
    assert router.session.avoided([]).tolist() == router.session.avoided(()).tolist() == []
    # The last edge is one; the next index (below) is none.
    assert router.session.avoided([count - 1, 0]).tolist() == [count - 1, 0]
    for past in ([count], [0, 5, count], [-1, 0, 5], (0, 2**31), [Edge(count)]):
        with pytest.raises(ValueError, match=rf"avoid: edge index {past[-1] if past[0] >= 0 else -1} "
                                             rf"is not an edge of the graph \(0 to {count - 1}\)"):
            router.route(0, 1, avoid=past)
    with pytest.raises(ValueError, match=rf"avoid: a mask needs one value per edge \({count}\), got 3"):
        router.route(0, 1, avoid=np.ones(3, dtype=bool))
    with pytest.raises(ValueError, match="must be a Polygon or MultiPolygon, got 'Point'"):
        router.route(0, 1, avoid={"type": "Point", "coordinates": [25.0, 60.0]})
    with pytest.raises(TypeError, match="avoid must be edge indices"):
        router.route(0, 1, avoid="steps")


def test_batch_and_access_avoid_as_the_replaced_document(sample_path):
    pandas = pytest.importorskip("pandas")
    from norvel.batch import route_pairs

    document = json.loads(gzip.decompress(sample_path.read_bytes()))
    router = norvel.Router.from_file(sample_path)
    chooser = random.Random(11)
    count = router.session.edge_count
    avoided = set(chooser.sample(range(count), 400))
    replaced, _ = without(document, avoided)
    other = norvel.Router.from_json(json.dumps(replaced))
    nodes = document["nodes"]
    points = [(n["lat"] + 1e-4, n["lon"] - 1e-4) for n in chooser.sample(nodes, 30)]
    pairs = [(points[i], points[i + 1]) for i in range(0, 30, 2)]
    pairs += [(a["id"], b["id"]) for a, b in zip(chooser.sample(nodes, 15), chooser.sample(nodes, 15))]
    mine = route_pairs(router, pairs, 0.1, avoid=sorted(avoided), workers=2, progress=False)
    theirs = route_pairs(other, pairs, 0.1, workers=2, progress=False)
    pandas.testing.assert_frame_equal(mine, theirs)
    matrix = router.matrix(points[:4], points[4:8], avoid=sorted(avoided))
    pandas.testing.assert_frame_equal(matrix, other.matrix(points[:4], points[4:8]))
    origins = pandas.DataFrame({"lat": [p[0] for p in points[:20]], "lon": [p[1] for p in points[:20]]})
    places = pandas.DataFrame({"lat": [p[0] for p in points[20:]], "lon": [p[1] for p in points[20:]]})
    pandas.testing.assert_frame_equal(
        norvel.access(router, origins, places, (5, 15), avoid=sorted(avoided)).origins,
        norvel.access(other, origins, places, (5, 15)).origins)


def test_requests_in_turn_each_avoid_only_their_own_edges():
    # The bits of a request's avoided edges are kept for the next request
    # and cleared between: a request must see none of an earlier one's, on
    # one thread and on several, nor any when it avoids nothing.
    document = grid_document(12)
    router = norvel.Router.from_json(json.dumps(document))
    chooser = random.Random(5)
    count = len(document["edges"])
    sets = [set(chooser.sample(range(count), chooser.randint(1, 60))) for _ in range(6)]
    others = [without(document, avoided) for avoided in sets]
    ids = [node["id"] for node in document["nodes"]]
    pairs = [tuple(chooser.sample(ids, 2)) for _ in range(4)]

    def check(turn):
        avoided, (replaced, kept) = sets[turn % len(sets)], others[turn % len(sets)]
        other = norvel.Router.from_json(json.dumps(replaced))
        for source, target in pairs:
            assert answered(outcome(lambda: router.route(source, target, avoid=sorted(avoided)))) == \
                answered(outcome(lambda: other.route(source, target)), kept)
        assert answered(outcome(lambda: router.route(*pairs[0]))) == \
            answered(outcome(lambda: norvel.Router.from_json(json.dumps(document)).route(*pairs[0])))

    for turn in range(len(sets)):
        check(turn)
    from concurrent.futures import ThreadPoolExecutor
    with ThreadPoolExecutor(2) as pool:
        list(pool.map(check, range(12)))


def test_a_catchment_keeps_the_edges_it_was_asked_to_avoid():
    # The caller's array is the caller's: filled again for another request,
    # it changes neither what the catchment says it avoided nor its routes
    # and streets.
    router = norvel.Router.from_json(json.dumps(grid_document(12)))
    place, far = FIRST_ID, FIRST_ID + 5 * 12 + 7
    first = router.route(far, place)[0].edges
    avoid = np.array(sorted(first), dtype=np.uint32)
    catchment = router.catchment(place, 60.0, avoid=avoid)
    asked = (catchment.avoided.tolist(), answered(catchment.route(far)),
             catchment_columns(catchment))
    avoid[:] = np.arange(len(avoid), dtype=np.uint32)
    assert asked[0] == sorted(first)
    assert (catchment.avoided.tolist(), answered(catchment.route(far)),
            catchment_columns(catchment)) == asked
    assert asked[1] == answered(router.route(far, place, avoid=sorted(first)))
