"""Walks through stops (via), alternative routes and a detour budget:
against a brute force over each leg's front on small random graphs, against
Router.route without them, their records, steps and failures, and the
service's and command line's words for them."""

import itertools
import json
import math
import random
import struct
import subprocess
import sys
import types
import urllib.parse

import pytest

import norvel
from norvel.errors import NodeNotFoundError, NoRouteError, SnapError

from live_server import LiveServer, sample_graph

SAMPLE_FROM, SAMPLE_TO = 6138118389, 1490965433


def random_graph(seed, sixty_fourths=True):
    """A few nodes and random directed edges (parallel ones too). With
    ``sixty_fourths`` every cost is a multiple of 1/64, so that every sum
    is exact and any order of adding gives the same; else decimals that
    round."""
    chooser = random.Random(seed)
    size = chooser.randint(3, 7)
    nodes = [[i, 60.0 + chooser.random() * 1e-2, 25.0 + chooser.random() * 1e-2]
             for i in range(size)]
    costs = ((0.25, 0.5, 1.0, 1.5625, 3.0) if sixty_fourths
             else (0.1, 0.2, 0.3, 1.0, 2.5))
    edges = []
    for _ in range(chooser.randint(size, 3 * size)):
        a, b = chooser.sample(range(size), 2)
        edges.append([a, b, chooser.choice(costs), chooser.choice(costs[:4] + (0.0,)),
                      chooser.choice((None, 0.0, 0.5))])
    return nodes, edges


def random_pairs(count, first_seed, sixty_fourths):
    """(seed, router, edges, a, b) for every ordered pair of two nodes a, b
    of random_graph(first_seed + seed, sixty_fourths(seed)), for each seed
    in range(count)."""
    for seed in range(count):
        nodes, edges = random_graph(first_seed + seed, sixty_fourths(seed))
        router = norvel.Router.from_json(json.dumps([nodes, edges]))
        for a, b in itertools.permutations(range(len(nodes)), 2):
            yield seed, router, edges, a, b


def key(value):
    """IEEE totalOrder's key of a double."""
    (bits,) = struct.unpack("<Q", struct.pack("<d", value))
    return bits ^ (2**64 - 1) if bits >> 63 else bits | 1 << 63


def balanced_keys(points):
    """The key of each (distance, risk) point's balanced score: its
    distance over the points' longest plus its risk over their riskiest,
    each largest taken as at least 1."""
    longest = max(1.0, *(distance for distance, _ in points))
    riskiest = max(1.0, *(risk for _, risk in points))
    return [key(distance / longest + risk / riskiest) for distance, risk in points]


def brute_walks(fronts, edges):
    """Every join of one route of each leg's front, in itertools.product
    order, summed edge by edge; the Pareto-optimal ones, of equal sums the
    first: [(distance, risk, familiarity, nodes)]."""
    joins = []
    for parts in itertools.product(*fronts):
        distance = risk = familiarity = 0.0
        nodes = list(parts[0].nodes)
        for part in parts:
            for edge in part.edges:
                distance += edges[edge][2]
                risk += edges[edge][3]
                familiarity += edges[edge][4] or 0.0
        for part in parts[1:]:
            nodes += part.nodes[1:]
        joins.append((distance, risk, familiarity, nodes))
    kept = []
    for join in joins:
        if any(d <= join[0] and r <= join[1] and (d, r) != join[:2] for d, r, _, _ in joins):
            continue
        if not any(k[:2] == join[:2] for k in kept):
            kept.append(join)
    return kept


def chosen(points):
    """route()'s three of a front in front order: (type, position), a path
    given before left out."""
    if len(points) == 1:
        picks = [0, 0, 0]
    else:
        keys = ([key(p[0]) for p in points], [key(p[1]) for p in points],
                balanced_keys([p[:2] for p in points]))
        picks = [k.index(min(k)) for k in keys]
    given = []
    for kind, at in zip(("shortest", "safest", "balanced"), picks):
        if all(points[at][3] != points[g][3] for _, g in given):
            given.append((kind, at))
    return given


def test_walks_are_the_front_of_every_join_of_the_legs_fronts():
    checked = failed = 0
    for seed in range(150):
        nodes, edges = random_graph(seed)
        router = norvel.Router.from_json(json.dumps([nodes, edges]))
        chooser = random.Random(seed)
        for _ in range(6):
            places = [chooser.randrange(len(nodes)) for _ in range(chooser.randint(3, 4))]
            origin, *via, destination = places
            try:
                fronts = [_leg_front(router, a, b, at)
                          for at, (a, b) in enumerate(zip(places, places[1:]))]
            except NoRouteError as error:
                leg = next(at for at, (a, b) in enumerate(zip(places, places[1:]))
                           if not _routed(router, a, b, at))
                with pytest.raises(NoRouteError) as caught:
                    router.route(origin, destination, via=via)
                assert str(caught.value).endswith(f" (leg {leg + 1} of {len(places) - 1})")
                assert caught.value.reason == error.reason
                failed += 1
                continue
            expected = brute_walks(fronts, edges)
            front = router.front(origin, destination, via=via)
            by_distance = sorted(expected, key=lambda p: (p[0], p[1]))
            assert [(r.distance_m, r.risk, r.familiarity, r.nodes) for r in front] == \
                [tuple(p) for p in by_distance]
            routes = router.route(origin, destination, via=via)
            assert [(r.type, r.distance_m, r.risk, r.familiarity, r.nodes) for r in routes] == \
                [(kind, *expected[at]) for kind, at in chosen(expected)]
            for route in routes:
                assert route.time_min == route.distance_m / 66.67
                assert route.comfort == min(1.0, math.exp(-2.0 * route.risk))
                assert len(route.edges) == len(route.nodes) - 1
                assert [(leg.first_node, leg.last_node) for leg in route.legs][0][0] == 0
                assert route.legs[-1].last_node == len(route.nodes) - 1
                for leg, stop in zip(route.legs, places[1:]):
                    assert route.nodes[leg.last_node] == stop
                    assert leg.distance_m == sum(
                        edges[e][2] for e in route.edges[leg.first_node:leg.last_node])
            checked += 1
    assert checked > 300 and failed > 50


def test_walks_on_the_sample_where_sums_round():
    """Decimal costs, long legs: the exact running sums of every join (the
    brute force) against the walk's front, whose search sums only the joins
    it cannot rule out."""
    router = norvel.Router.from_file(norvel.datasets.helsinki_walk())
    columns = router.edges()
    edges = [(None, None, d, r, None) for d, r in
             zip(columns["distance_m"].tolist(), columns["default"].tolist())]
    chooser = random.Random(7)
    tails = sorted({int(node) for node in columns["from"]})
    checked = 0
    while checked < 4:
        places = chooser.sample(tails, 3)
        try:
            fronts = [router.front(a, b) for a, b in zip(places, places[1:])]
        except NoRouteError:
            continue
        expected = sorted(brute_walks(fronts, edges), key=lambda p: (p[0], p[1]))
        front = router.front(places[0], places[2], via=places[1:2])
        assert [(r.distance_m, r.risk, r.nodes) for r in front] == \
            [(d, r, nodes) for d, r, _, nodes in expected]
        checked += 1


def _leg_front(router, a, b, at):
    """A leg's front; a stop where the walk already is (not its origin) is
    an empty leg, even at a node no edge leaves."""
    if a == b and at > 0:
        return [types.SimpleNamespace(nodes=[a], edges=[])]
    return router.front(a, b)


def _routed(router, a, b, at):
    try:
        _leg_front(router, a, b, at)
    except NoRouteError:
        return False
    return True


@pytest.mark.parametrize("sixty_fourths", [True, False])
def test_a_stop_at_the_destination_gives_routes_answer(sixty_fourths):
    """With one empty leg the walk's front is the pair's: the choice made in
    Python is route()'s own, bit for bit, but where two points share the
    least balanced score (the engine then takes its own search order)."""
    compared = ties = 0
    for _, router, _, a, b in random_pairs(120, 1000, lambda _: sixty_fourths):
        try:
            plain = router.route(a, b)
        except NoRouteError:
            continue
        walk = router.route(a, b, via=[b])
        same = [(r.type, r.nodes, r.distance_m, r.risk, r.time_min, r.comfort,
                 r.familiarity, r.streets, r.edges) for r in plain]
        if same != [(r.type, r.nodes, r.distance_m, r.risk, r.time_min, r.comfort,
                     r.familiarity, r.streets, r.edges) for r in walk]:
            scores = balanced_keys([(r.distance_m, r.risk) for r in router.front(a, b)])
            assert scores.count(min(scores)) > 1
            ties += 1
        assert [(leg.first_node, leg.last_node) for leg in walk[0].legs] == \
            [(0, len(walk[0].nodes) - 1), (len(walk[0].nodes) - 1,) * 2]
        assert walk[0].legs[1].distance_m == 0.0
        compared += 1
    assert compared > 500 and ties < compared / 50


def test_legs_steps_and_empty_legs_on_the_sample():
    router = norvel.Router.from_file(norvel.datasets.helsinki_walk())
    stop = (60.17, 24.94)
    routes = router.route(SAMPLE_FROM, SAMPLE_TO, via=[stop, stop])
    snap = router.nearest(*stop)
    for route in routes:
        first, empty, last = route.legs
        assert (first.first_node, last.last_node) == (0, len(route.nodes) - 1)
        assert first.last_node == empty.first_node == empty.last_node == last.first_node
        assert route.nodes[empty.first_node] == snap.node
        assert (empty.distance_m, empty.risk, empty.time_min) == (0.0, 0.0, 0.0)
        kinds = [step.kind for step in route.steps]
        assert kinds[0] == "depart" and kinds[-1] == "arrive" and kinds.count("via") == 2
        stops = [step for step in route.steps if step.kind == "via"]
        assert [s.instruction for s in stops] == ["Arrive at stop 1", "Arrive at stop 2"]
        assert all(s.first_node == s.last_node == first.last_node for s in stops)
        # Steps cut where legs meet, and sum to each leg.
        walked = [s for s in route.steps if s.last_node <= first.last_node and s.kind != "via"]
        assert math.isclose(sum(s.distance_m for s in walked), first.distance_m, rel_tol=1e-9)
        assert route.to_feature()["properties"]["legs"][2]["distance_m"] == last.distance_m
    # A route without stops is one leg, and its GeoJSON says nothing of legs.
    (plain,) = router.route(SAMPLE_FROM, SAMPLE_TO)[:1]
    assert plain.legs == (norvel.Leg(0, len(plain.nodes) - 1, plain.distance_m,
                                     plain.risk, plain.time_min),)
    assert "legs" not in plain.to_feature()["properties"]
    # Stops at the ends: empty first and last legs, depart still first.
    ends = router.route(SAMPLE_FROM, SAMPLE_TO, via=[SAMPLE_FROM, SAMPLE_TO])
    assert [s.kind for s in ends[0].steps][:3] == ["depart", "via", "continue"]
    assert [s.kind for s in ends[0].steps][-2:] == ["via", "arrive"]
    assert [(r.nodes, r.distance_m) for r in ends] == \
        [(r.nodes, r.distance_m) for r in router.route(SAMPLE_FROM, SAMPLE_TO)]


def test_failures_name_their_stop_or_leg():
    router = norvel.Router.from_json(json.dumps([
        [[1, 60.0, 25.0], [2, 60.001, 25.0], [3, 60.002, 25.0], [4, 60.003, 25.0]],
        [[1, 2, 111.0, 0.1, None], [2, 1, 111.0, 0.1, None], [3, 2, 111.0, 0.1, None],
         [2, 4, 111.0, 0.1, None]]]))
    with pytest.raises(NodeNotFoundError, match="^via 2 node 7 is not a node of the graph$") \
            as caught:
        router.route(1, 2, via=[2, 7])
    assert caught.value.role == "via 2"
    with pytest.raises(NodeNotFoundError, match="^via 1 node -1 is not a node"):
        router.route(1, 2, via=[-1])
    with pytest.raises(SnapError, match=r"^via 1 \(60.5, 25.0\) is .* m from the nearest"):
        router.route(1, 2, via=[(60.5, 25.0)])
    with pytest.raises(TypeError, match="^via 1 must be a node id"):
        router.route(1, 2, via=["2"])
    with pytest.raises(TypeError, match="^via must be a sequence of places, got int$"):
        router.route(1, 2, via=2)
    with pytest.raises(NoRouteError) as caught:
        router.route(1, 2, via=[1, 3])
    assert str(caught.value) == ("no route from node 1 to node 3: no path leads there in "
                                 "the graph (leg 2 of 3)")
    assert (caught.value.reason, caught.value.kind, caught.value.leg) == \
        ("no_route", "no_route", "leg 2 of 3")
    with pytest.raises(NoRouteError) as caught:
        router.front(1, 2, via=[2, 4])
    assert caught.value.reason == "source_isolated" and caught.value.leg == "leg 3 of 3"
    # Chosen from the exact fronts, whatever eps.
    assert list(router.route(1, 2, 0.5, via=[2, 1])) == list(router.route(1, 2, via=[2, 1]))
    # A stop where the walk already is makes an empty leg, edges out or not.
    assert [leg.distance_m for leg in router.route(1, 4, via=[4])[0].legs] == [222.0, 0.0]
    for options, kind, message in (
            ({"alternatives": -1}, ValueError, "alternatives must be at least 0, got -1"),
            ({"alternatives": True}, TypeError, "alternatives must be an int, got bool"),
            ({"alternatives": 1, "max_shared": 1.5}, ValueError,
             "max_shared must be within [0, 1], got 1.5"),
            ({"max_detour": math.nan}, ValueError, "max_detour must be a number >= 0, got nan"),
            ({"max_detour": "0.2"}, TypeError, "max_detour must be a real number, got str")):
        with pytest.raises(kind) as refused:
            router.route(1, 2, **options)
        assert str(refused.value) == message


def test_alternatives_and_the_detour_route_follow_their_rules():
    checked = 0
    for seed, router, edges, a, b in random_pairs(80, 5000, lambda seed: seed % 2 == 0):
        try:
            front = router.front(a, b)
        except NoRouteError:
            continue
        plain = list(router.route(a, b))
        share, detour = random.Random(seed).choice((0.0, 0.5, 0.8, 1.0)), seed % 3 * 0.25
        routes = router.route(a, b, alternatives=2, max_shared=share, max_detour=detour)
        assert list(routes[:len(plain)]) == plain
        # The rule, written out: by balanced score, then front order.
        scores = balanced_keys([(r.distance_m, r.risk) for r in front])
        order = [r for _, r in sorted(zip(scores, front), key=lambda pair: pair[0])
                 if r.type == "front"]
        given, taken = list(plain), []
        for candidate in order:
            if len(taken) < 2 and all(
                    _share(candidate, other, edges) <= share for other in given):
                taken.append(candidate)
                given.append(candidate)
        assert [(r.nodes, r.distance_m, r.risk) for r in routes.alternatives] == \
            [(r.nodes, r.distance_m, r.risk) for r in taken]
        assert all(r.type == "alternative" for r in routes.alternatives)
        within = [r for r in front if r.distance_m <= (1.0 + detour) * front[0].distance_m]
        best = min(within, key=lambda r: (r.risk, r.distance_m))
        assert routes[-1] is routes.within_detour
        assert (routes.within_detour.nodes, routes.within_detour.risk) == \
            (best.nodes, best.risk)
        checked += 1
    assert checked > 300


def _share(route, other, edges):
    on = set(other.edges)
    shared = 0.0
    for edge in route.edges:
        if edge in on:
            shared += edges[edge][2]
    return shared / route.distance_m if route.distance_m else 0.0


def test_the_detour_route_is_given_even_when_it_is_the_shortest():
    router = norvel.Router.from_file(norvel.datasets.helsinki_walk())
    routes = router.route(SAMPLE_FROM, SAMPLE_TO, max_detour=0.0)
    assert routes.within_detour.nodes == routes.shortest.nodes
    assert [r.type for r in routes][-1] == "within_detour"
    assert router.route(SAMPLE_FROM, SAMPLE_TO).within_detour is None
    assert router.route(SAMPLE_FROM, SAMPLE_TO, alternatives=0).alternatives == []


@pytest.fixture(scope="module")
def server():
    live = LiveServer(sample_graph(), "--workers", "1")
    yield live
    assert live.stop() == 0, live.output()


def test_the_service_and_the_command_line_answer_as_the_router(server):
    router = norvel.Router.from_file(norvel.datasets.helsinki_walk())
    stops = [(60.17, 24.94), 1490965433]
    routes = router.route(SAMPLE_FROM, SAMPLE_TO, via=stops, alternatives=2, max_detour=0.3)
    query = urllib.parse.urlencode({
        "from_node": SAMPLE_FROM, "to_node": SAMPLE_TO, "via": "60.17,24.94;1490965433",
        "alternatives": 2, "max_shared": 0.8, "max_detour": 0.3})
    status, body = server.get(f"/route?{query}")
    assert status == 200
    assert [f["properties"] for f in body["features"]] == \
        [r.to_feature()["properties"] for r in routes]
    status, body = server.get(f"/front?from_node={SAMPLE_FROM}&to_node={SAMPLE_TO}"
                              f"&via=60.17,24.94")
    assert status == 200
    assert [f["properties"]["nodes"] for f in body["features"]] == \
        [r.nodes for r in router.front(SAMPLE_FROM, SAMPLE_TO, via=[(60.17, 24.94)])]
    for query, message in (
            ("via=1;x", "'via' must be a node id (an integer), got 'x'"),
            ("via=" + ";".join(["1"] * 11), "'via' names at most 10 places, got 11"),
            ("alternatives=1.5", "'alternatives' must be an integer, got '1.5'")):
        status, body = server.get(f"/route?from_node={SAMPLE_FROM}&to_node={SAMPLE_TO}&{query}")
        assert (status, body) == (400, {"error": message})
    status, body = server.get(f"/route?from_node={SAMPLE_FROM}&to_node={SAMPLE_TO}&via=3")
    assert (status, body) == (404, {"error": "via 1 node 3 is not a node of the graph"})

    run = subprocess.run(
        [sys.executable, "-m", "norvel", "route", str(sample_graph()), str(SAMPLE_FROM),
         str(SAMPLE_TO), "--via", "60.17,24.94", "--via", "1490965433",
         "--alternatives", "2", "--max-detour", "0.3"],
        capture_output=True, text=True, check=True)
    lines = run.stdout.splitlines()
    assert [line.split()[0] for line in lines if not line.startswith(" ")] == \
        [r.type for r in routes]
    legs = [line.split() for line in lines if line.startswith("  leg")]
    assert [float(leg[2]) for leg in legs] == \
        [round(leg.distance_m, 1) for r in routes for leg in r.legs]
    # Routes and legs in one column, whatever the widest type ("within_detour").
    assert len({line.index(" m  risk") for line in lines}) == 1
