"""Risk layers: answers on a layer equal those of a Router whose document has
the layer as risk_score, bit for bit, through every interface; adding,
listing, reading and writing layers; the errors of a layer that is not."""

import gzip
import json
import math
import random
import threading

import numpy as np
import pytest

import norvel
import norvel_core
from norvel.errors import UnknownRiskLayerError

from grids import grid_document


def layered(document, seed):
    """A layer for ``document``: risks of few decimals with ties and zeros."""
    chooser = random.Random(seed)
    return np.array([round(chooser.choice((0.0, 0.01, 0.02, 0.05)) +
                           chooser.random() * edge["distance_m"] / 10_000, 4)
                     for edge in document["edges"]])


def replaced(document, risks):
    """The same document with ``risks`` as every edge's risk_score."""
    edges = [dict(edge, risk_score=float(risk))
             for edge, risk in zip(document["edges"], risks)]
    return json.dumps(dict(document, edges=edges))


def sample_document():
    with gzip.open(norvel.datasets.helsinki_walk(), "rt", encoding="utf-8") as stream:
        return json.load(stream)


def as_values(routes, steps=True):
    """Everything a route reports, its edges and (unless not asked) its
    steps included."""
    return [(r.type, r.nodes, r.distance_m, r.risk, r.time_min, r.comfort,
             r.familiarity, r.streets, r.edges,
             [s.to_dict() for s in r.steps] if steps else None)
            for r in routes]


@pytest.fixture(scope="module", params=["grid", "sample"])
def case(request):
    """(document, router with a layer 'night', router of the replaced
    document, node ids)."""
    document = grid_document(9) if request.param == "grid" else sample_document()
    risks = layered(document, 7)
    router = norvel.Router.from_json(json.dumps(document))
    router.add_risk("trial", risks)
    expected = norvel.Router.from_json(replaced(document, risks))
    # Nodes with an outgoing edge.
    ids = sorted({edge["from"] for edge in document["edges"]})
    return document, router, expected, ids


class TestSameAnswersAsTheReplacedDocument:
    def test_route_both_eps(self, case):
        _, router, expected, ids = case
        chooser = random.Random(3)
        for _ in range(120):
            a, b = chooser.sample(ids, 2)
            eps = chooser.choice((0.0, 0.1))
            try:
                want = as_values(expected.route(a, b, eps))
            except norvel.RoutingError as error:
                with pytest.raises(type(error)):
                    router.route(a, b, eps, risk="trial")
                continue
            assert as_values(router.route(a, b, eps, risk="trial")) == want

    def test_route_many_and_matrix(self, case):
        _, router, expected, ids = case
        chooser = random.Random(4)
        targets = chooser.sample(ids, 3)
        pairs = [(chooser.choice(ids), chooser.choice(targets)) for _ in range(150)]
        got = router.route_many(pairs, risk="trial", workers=2)
        want = expected.route_many(pairs, workers=2)
        for one, other in zip(got, want):
            assert type(one) is type(other)
            if isinstance(one, norvel.Routes):
                assert as_values(one) == as_values(other)
        origins, destinations = chooser.sample(ids, 6), chooser.sample(ids, 5)
        on_layer = router.matrix(origins, destinations, risk="trial")
        assert on_layer.equals(expected.matrix(origins, destinations))

    @pytest.mark.parametrize("direction", ["to", "from"])
    def test_catchment(self, case, direction):
        _, router, expected, ids = case
        place = ids[len(ids) // 2]
        mine = router.catchment(place, 10, direction=direction, risk="trial")
        theirs = expected.catchment(place, 10, direction=direction)
        assert mine.risk == "trial"
        for name, column in mine.columns().items():
            assert np.array_equal(column, theirs.columns()[name]), name
        node = int(mine.node_ids[-1])
        assert as_values(mine.route(node)) == as_values(theirs.route(node))

    def test_default_layer_unchanged(self, case):
        document, router, _, ids = case
        plain = norvel.Router.from_json(json.dumps(document))
        for a, b in zip(ids[::37], ids[5::41]):
            if a != b:
                assert as_values(router.route(a, b)) == as_values(plain.route(a, b))


def parallel_document(fast_first):
    """Nodes 1, 2, 3: two parallel edges 1 -> 2 of one length, "Fast Street"
    (risky) and "Quiet Lane" (calm), in either document order, then "End
    Road" 2 -> 3."""
    pair = [{"from": 1, "to": 2, "distance_m": 100.0, "risk_score": 0.5, "name": "Fast Street"},
            {"from": 1, "to": 2, "distance_m": 100.0, "risk_score": 0.01, "name": "Quiet Lane"}]
    return {"nodes": [{"id": k, "lat": 60.0 + k * 0.001, "lon": 25.0} for k in (1, 2, 3)],
            "edges": (pair if fast_first else pair[::-1]) +
                     [{"from": 2, "to": 3, "distance_m": 100.0, "risk_score": 0.1, "name": "End Road"}]}


@pytest.mark.parametrize("fast_first", [True, False])
def test_parallel_edges_are_the_ones_the_layer_chose(fast_first):
    document = parallel_document(fast_first)
    swapped = np.array([edge["risk_score"] for edge in document["edges"]])
    swapped[[0, 1]] = swapped[[1, 0]]
    router = norvel.Router.from_json(json.dumps(document))
    router.add_risk("swapped", swapped)
    fast = 0 if fast_first else 1
    (on_document,) = router.route(1, 3)
    assert on_document.edges == [1 - fast, 2] and on_document.streets == ["Quiet Lane", "End Road"]
    (on_layer,) = router.route(1, 3, risk="swapped")
    assert on_layer.edges == [fast, 2] and on_layer.streets == ["Fast Street", "End Road"]
    assert [s.risk for s in on_layer.steps] == [0.01, 0.1, 0.0]
    assert as_values([on_layer]) == as_values(
        norvel.Router.from_json(replaced(document, swapped)).route(1, 3))


def random_parallel_document(chooser, nodes=9):
    """A small random graph where many node pairs are joined by two or three
    parallel edges, of one length or not, each with its own name."""
    edges = []
    for _ in range(nodes * 2):
        a, b = chooser.sample(range(1, nodes + 1), 2)
        distance = chooser.choice((50.0, 80.0, 100.0))
        for _ in range(chooser.choice((1, 2, 2, 3))):
            edges.append({"from": a, "to": b, "name": f"Street {len(edges)}",
                          "distance_m": distance if chooser.random() < 0.8 else distance + 10.0,
                          "risk_score": chooser.choice((0.0, 0.01, 0.02, 0.05, 0.1))})
    chooser.shuffle(edges)
    return {"nodes": [{"id": k, "lat": 60.0 + chooser.random() * 0.002,
                       "lon": 25.0 + chooser.random() * 0.004} for k in range(1, nodes + 1)],
            "edges": edges}


@pytest.mark.parametrize("seed", range(6))
def test_parallel_edges_on_random_graphs_match_the_replaced_document(seed):
    """Every interface that returns routes reports on a layer the edges (and
    so the streets and steps) that a router of the replaced document does."""
    chooser = random.Random(seed)
    document = random_parallel_document(chooser)
    risks = np.array([chooser.choice((0.0, 0.01, 0.02, 0.05, 0.1)) for _ in document["edges"]])
    router = norvel.Router.from_json(json.dumps(document))
    router.add_risk("trial", risks)
    expected = norvel.Router.from_json(replaced(document, risks))
    ids = sorted({edge["from"] for edge in document["edges"]})
    pairs = [(a, b) for a in ids for b in ids if a != b]
    got = router.route_many(pairs, risk="trial", workers=2)
    for (a, b), many in zip(pairs, got):
        try:
            want = expected.route(a, b)
        except norvel.RoutingError as error:
            assert type(many) is type(error)
            continue
        assert as_values(router.route(a, b, risk="trial")) == as_values(want) == as_values(many)
        assert as_values(router.front(a, b, risk="trial")) == as_values(expected.front(a, b))
    place = ids[0]
    mine = router.catchment(place, 60, risk="trial")
    theirs = expected.catchment(place, 60)
    for node in mine.node_ids.tolist():
        if node != place:
            assert as_values(mine.route(node)) == as_values(theirs.route(node))


def test_layers_listed_read_and_refused():
    document = grid_document(4)
    router = norvel.Router.from_json(json.dumps(document))
    count = router.edge_count
    assert router.risk_layers == ["default"]
    risks = np.linspace(0.0, 1.0, count)
    router.add_risk("night", risks)
    router.add_risk("child", list(risks * 2))
    assert router.risk_layers == ["default", "night", "child"]
    edges = router.edges()
    assert list(edges.columns) == ["from", "to", "distance_m", "name",
                                   "default", "night", "child"]
    assert np.array_equal(edges["night"].to_numpy(), risks)
    assert edges["default"].tolist() == [e["risk_score"] for e in document["edges"]]
    assert edges["from"].tolist() == [e["from"] for e in document["edges"]]
    bad = risks.copy()
    bad[5] = math.nan
    refusals = [
        (("night", risks), 'the graph has a risk layer "night" already'),
        (("default", risks), 'the risk layer name "default" is the document\'s own risk_score'),
        (("9lives", risks), 'the risk layer name "9lives" is not a plain identifier '
                            '(ASCII letters, digits and _; not starting with a digit)'),
        (("short", risks[1:]), f'risk layer "short" has {count - 1} values, one per edge is {count}'),
        (("nan", bad), 'risk layer "nan" has a risk that is not a finite number at edge 5: nan'),
        (("below", -risks), 'risk layer "below" has a negative risk at edge 1: ' + repr(float(-risks[1]))),
        (("flat", np.ones((2, count))), "values must be one-dimensional, one per edge, "
                                        f"got an array of shape (2, {count})"),
    ]
    for arguments, message in refusals:
        with pytest.raises(ValueError) as raised:
            router.add_risk(*arguments)
        assert str(raised.value) == message
    with pytest.raises(TypeError):
        router.add_risk("words", ["a"] * count)
    assert router.risk_layers == ["default", "night", "child"]


def test_an_unknown_layer_is_refused_by_every_call_before_any_work():
    router = norvel.Router.from_json(json.dumps(grid_document(4)))
    router.add_risk("night", np.zeros(router.edge_count))
    message = ("the graph has no risk layer 'nite': its layers are "
               "'default', 'night'")
    ids = [10_000, 10_005]
    calls = [lambda: router.route(*ids, risk="nite"),
             lambda: router.route_many([(ids[0], 3), tuple(ids)], risk="nite"),
             lambda: router.matrix(ids, ids, risk="nite"),
             lambda: router.catchment(ids[0], risk="nite")]
    for call in calls:
        with pytest.raises(UnknownRiskLayerError) as raised:
            call()
        assert str(raised.value) == message
        assert isinstance(raised.value, ValueError)
        assert raised.value.known == ["default", "night"]


def written_with_a_layer(path, seed, write):
    """The sample's router with a layer "trial" (``layered`` by ``seed``)
    added, written to ``path`` by ``write(router, path)`` and read back:
    (the sample's node ids, the router, the layer, the router read back)."""
    document = sample_document()
    router = norvel.Router.from_json(json.dumps(document))
    trial = layered(document, seed)
    router.add_risk("trial", trial)
    write(router, path)
    ids = [node["id"] for node in document["nodes"]]
    return ids, router, trial, norvel.Router.from_file(path)


def assert_same_routes(again, router, ids, seed, pairs, risks, steps=True):
    """``again`` routes as ``router`` does between ``pairs`` random pairs of
    ``ids`` (drawn by ``seed``) on each layer of ``risks``."""
    chooser = random.Random(seed)
    for _ in range(pairs):
        a, b = chooser.sample(ids, 2)
        for risk in risks:
            assert as_values(again.route(a, b, risk=risk), steps) == \
                as_values(router.route(a, b, risk=risk), steps)


def test_to_document_round_trips_every_layer(tmp_path):
    path = tmp_path / "layered.json.gz"
    ids, router, trial, again = written_with_a_layer(path, 9, norvel.Router.to_document)
    assert again.risk_layers == ["default", "day", "night", "trial"]
    assert np.array_equal(again.edges()["trial"].to_numpy(), trial)
    assert again.edges()["name"].tolist() == router.edges()["name"].tolist()
    assert_same_routes(again, router, ids, 5, 40, ("default", "night", "trial"))
    # The module reads the document as it always did, on risk_score.
    text = gzip.decompress(path.read_bytes()).decode()
    core = norvel_core.PyGraph.from_json(text)
    a, b = ids[10], ids[300]
    assert [r.total_risk for r in norvel_core.compute_safe_routes(core, a, b, 0.0)] == \
        [r.risk for r in router.route(a, b)]


def test_walking_tags_are_read_once_per_router(tmp_path, monkeypatch):
    import orjson

    from norvel import _files

    document = grid_document(3)
    for at, edge in enumerate(document["edges"]):
        if at % 3 == 0:
            edge["tags"] = {"highway": "footway", "lit": "yes"}
    path = tmp_path / "tagged.json"
    text = json.dumps(document)
    path.write_text(text)
    parses = []
    parse = orjson.loads
    monkeypatch.setattr(orjson, "loads", lambda data: parses.append(1) or parse(data))
    ids = sorted({edge["from"] for edge in document["edges"]})
    for router in (norvel.Router.from_file(path), norvel.Router.from_json(text)):
        parses.clear()
        edges = router.edges()
        assert edges["highway"].tolist()[:4] == ["footway", None, None, "footway"]
        assert edges["lit"].tolist()[:4] == ["yes", None, None, "yes"]
        # The steps' highway classes are the table's, of each step's first
        # edge, from the same reading; so are the tags written out.
        route = router.route(ids[0], ids[-1])[0]
        highways = edges["highway"].tolist()
        assert [s.highway for s in route.steps[:-1]] == \
            [highways[route.edges[s.first_node]] for s in route.steps[:-1]]
        router.to_document(tmp_path / "again.json")
        assert router.edges()["lit"].tolist() == edges["lit"].tolist()
        assert len(parses) == 1
    assert norvel.Router.from_file(tmp_path / "again.json").edges()["lit"].tolist() == \
        edges["lit"].tolist()
    assert _files.edge_tags(json.dumps(grid_document(2)).encode(), 8) is None


def test_layers_added_while_other_threads_route():
    document = grid_document(12)
    router = norvel.Router.from_json(json.dumps(document))
    ids = sorted(edge["from"] for edge in document["edges"])
    want = as_values(router.route(ids[0], ids[-1]))
    failures = []

    def keep_routing():
        for _ in range(60):
            if as_values(router.route(ids[0], ids[-1])) != want:
                failures.append("changed")

    threads = [threading.Thread(target=keep_routing) for _ in range(2)]
    for thread in threads:
        thread.start()
    for k in range(20):
        router.add_risk(f"layer{k}", np.full(router.edge_count, 0.001 * k))
        router.route(ids[0], ids[-1], risk=f"layer{k}")
    for thread in threads:
        thread.join()
    assert not failures
    assert len(router.risk_layers) == 21


def test_a_snapshot_keeps_every_layer(tmp_path):
    ids, router, trial, mapped = written_with_a_layer(tmp_path / "city.norvel", 13,
                                                      norvel.Router.save)
    assert mapped.risk_layers == router.risk_layers == ["default", "day", "night", "trial"]
    assert np.array_equal(mapped.edges()["trial"].to_numpy(), trial)
    # A snapshot keeps no walking tags: the steps' highway classes are not
    # there to compare.
    assert_same_routes(mapped, router, ids, 17, 30, ("night", "trial"), steps=False)
    place = ids[99]
    for name, column in mapped.catchment(place, 8, risk="trial").columns().items():
        assert np.array_equal(column, router.catchment(place, 8, risk="trial").columns()[name])
