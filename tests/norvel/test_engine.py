"""norvel's own binding of the engine against the module: the same answers
to the bit, failures as kinds, and requests that run without the
interpreter lock and stop at their deadline or on Ctrl-C.

NORVEL_ENGINE_PAIRS scales the number of random pairs (the sanitized run
asks fewer)."""

import json
import math
import os
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import norvel
import norvel_core
from norvel import _files
from norvel._earth import haversine_m
from norvel._native import engine
from norvel.errors import (NodeNotFoundError, NoRouteError, RouteTimeoutError,
                           RoutingError)

SCALE = float(os.environ.get("NORVEL_ENGINE_PAIRS", "1"))


def pairs_of(ids, count, seed):
    chooser = random.Random(seed)
    return [(chooser.choice(ids), chooser.choice(ids))
            for _ in range(max(1, int(count * SCALE)))]


def exact(value):
    """A float as its bits (so -0.0 differs from 0.0), anything else as is."""
    return value.hex() if isinstance(value, float) else value


def core_answer(graph, source, target, eps):
    try:
        routes = norvel_core.compute_safe_routes(graph, source, target, eps)
    except RuntimeError as failure:
        return str(failure).split()[0:2]
    return [(r.route_type, r.path, exact(r.total_distance_m), exact(r.total_risk),
             exact(r.estimated_time_min), exact(r.comfort_score),
             exact(r.total_familiarity), r.node_count) for r in routes]


def engine_answer(graph, source, target, eps):
    result = graph.route(source, target, eps)
    if isinstance(result, engine.Failure):
        # The module's message starts with what failed: "Nœud source",
        # "Nœud cible", "Aucun chemin".
        kind, role = failure_pair(result)
        return {("node_not_found", "origin"): ["Nœud", "source"],
                ("node_not_found", "destination"): ["Nœud", "cible"],
                ("source_isolated", ""): ["Nœud", "source"],
                ("no_route", ""): ["Aucun", "chemin"]}[kind, role]
    return [(row.type, row.nodes, exact(row.distance_m), exact(row.risk),
             exact(row.time_min), exact(row.comfort), exact(row.familiarity),
             len(row.nodes)) for row in result]


def failure_pair(result):
    """An engine failure as (kind name, role)."""
    return result.kind.name, result.role


def random_document(seed, size):
    """A perturbed grid with one-way streets, dead ends, familiarity on some
    edges, costs with few ties, and a few ids that are no node."""
    chooser = random.Random(seed)
    nodes = [[i, 60.0 + (i // size) * 1e-3 + chooser.random() * 1e-4,
              25.0 + (i % size) * 2e-3 + chooser.random() * 1e-4]
             for i in range(size * size)]
    edges = []
    for i in range(size * size):
        for j in (i + 1, i + size):
            if j >= size * size or (j == i + 1 and j % size == 0):
                continue
            length = round(chooser.uniform(50, 200), 2)
            for a, b in ((i, j), (j, i)):
                if chooser.random() < 0.1:
                    continue
                risk = round(length / 1000 * chooser.choice((0.5, 1, 2, 4)), 4)
                familiarity = chooser.choice((None, None, 0.0, 1.0, 2.5))
                edges.append([a, b, length, risk, familiarity])
    edges.append([0, size * size + 7, 10.0, 0.1, None])   # an undeclared end
    return json.dumps([nodes, edges])


class TestSameAnswersAsTheModule:
    def check(self, text, pairs, eps_values):
        core = norvel_core.PyGraph.from_json(text)
        mine = engine.Graph.load(text.encode())
        for eps in eps_values:
            for source, target in pairs:
                assert engine_answer(mine, source, target, eps) == \
                    core_answer(core, source, target, eps), (source, target, eps)

    def test_the_sample(self, sample_path):
        text = _files.read_graph_bytes(sample_path).decode()
        ids = engine.Graph.load(text).ids.tolist()
        self.check(text, pairs_of(ids, 1500, 1), [0.0])
        self.check(text, pairs_of(ids, 400, 2), [0.1, 0.5])

    @pytest.mark.parametrize("seed", range(6))
    def test_random_grids(self, seed):
        size = 8 + 4 * (seed % 3)
        ids = list(range(size * size + 2))     # two that are no node
        self.check(random_document(seed, size), pairs_of(ids, 150, seed),
                   [0.0, 0.05, 0.3])

    def test_the_module_reads_the_engine_graph_back(self, sample_path):
        router = norvel.Router.from_file(sample_path)
        ids = router.table.routable_ids.tolist()
        for source, target in pairs_of(ids, 200, 3):
            assert engine_answer(router.session.engine, source, target, 0.0) == \
                core_answer(router.graph, source, target, 0.0)


class TestFailuresAreKinds:
    DOCUMENT = json.dumps({
        "nodes": [{"id": 1, "lat": 60.0, "lon": 25.0},
                  {"id": 2, "lat": 60.001, "lon": 25.0},
                  {"id": 3, "lat": 60.002, "lon": 25.0}],
        "edges": [{"from": 1, "to": 2, "distance_m": 111.0, "risk_score": 0.1},
                  {"from": 2, "to": 1, "distance_m": 111.0, "risk_score": 0.1},
                  {"from": 3, "to": 2, "distance_m": 111.0, "risk_score": 0.1},
                  {"from": 1, "to": 9, "distance_m": 1.0, "risk_score": 0.0}]})

    def test_engine_kinds_in_the_modules_order(self):
        graph = engine.Graph.load(self.DOCUMENT)
        assert failure_pair(graph.route(7, 8, 0.0)) == ("node_not_found", "origin")
        assert failure_pair(graph.route(9, 1, 0.0)) == ("node_not_found", "origin")  # an edge's end only
        assert failure_pair(graph.route(1, 8, 0.0)) == ("node_not_found", "destination")
        router = norvel.Router(graph)
        with pytest.raises(NoRouteError) as caught:
            router.route(1, 3)
        assert caught.value.reason == caught.value.kind == "no_route"
        bare = engine.Graph.load(self.DOCUMENT.replace('"from": 2, "to": 1',
                                                       '"from": 3, "to": 1'))
        assert failure_pair(bare.route(2, 1, 0.0)) == ("source_isolated", "")
        with pytest.raises(NodeNotFoundError) as caught:
            router.route(1, 8)
        assert (caught.value.node, caught.value.role) == (8, "destination")

    def test_a_refused_document_keeps_its_message(self):
        with pytest.raises(ValueError, match="^trailing comma at line 1 "
                                             "column 14$"):
            engine.Graph.load(b'{"nodes": [],}')
        with pytest.raises(TypeError):
            engine.Graph.load(None)


def equal_cost_grid(side):
    """Every edge costs the same: the exact search keeps every one of the
    exponentially many equal paths, so a corner-to-corner request runs for
    minutes."""
    nodes = [[r * side + c, 48.0 + r * 1e-3, 2.0 + c * 1e-3]
             for r in range(side) for c in range(side)]
    edges = []
    for r in range(side):
        for c in range(side):
            here = r * side + c
            for there, inside in ((here + 1, c + 1 < side),
                                  (here + side, r + 1 < side)):
                if inside:
                    edges += [[here, there, 100.0, 0.5, None],
                              [there, here, 100.0, 0.5, None]]
    return json.dumps([nodes, edges])


RUNAWAY = equal_cost_grid(11)


class TestStopping:
    def test_a_deadline_stops_a_runaway_request_and_the_graph_stays_usable(self):
        router = norvel.Router.from_json(RUNAWAY)
        started = time.monotonic()
        with pytest.raises(RouteTimeoutError) as caught:
            router.route(0, 11 * 11 - 1, timeout_s=0.3)
        assert time.monotonic() - started < 30      # minutes without the deadline
        assert caught.value.kind == "timeout" and caught.value.timeout_s == 0.3
        assert isinstance(caught.value, TimeoutError)
        assert [r.nodes for r in router.route(0, 2)] == [[0, 1, 2]]

    def test_requests_on_threads_release_the_lock(self):
        router = norvel.Router.from_json(RUNAWAY)
        failures = []

        def runaway():
            try:
                router.route(0, 11 * 11 - 1, timeout_s=1.5)
            except RoutingError as error:
                failures.append(error)

        workers = [threading.Thread(target=runaway) for _ in range(2)]
        for worker in workers:
            worker.start()
        # While both searches run, this thread keeps running Python: a
        # search holding the lock would stall it for the whole request.
        longest_gap, last = 0.0, time.monotonic()
        while any(worker.is_alive() for worker in workers):
            time.sleep(0.001)
            now = time.monotonic()
            longest_gap, last = max(longest_gap, now - last), now
        assert [error.kind for error in failures] == ["timeout", "timeout"]
        assert longest_gap < 0.75

    def test_ctrl_c_stops_a_request_on_the_main_thread(self):
        child = textwrap.dedent("""
            import sys
            import norvel
            router = norvel.Router.from_json(sys.stdin.read())
            print("ready", flush=True)
            try:
                router.route(0, 11 * 11 - 1)
                print("finished", flush=True)
            except KeyboardInterrupt:
                print("interrupted", flush=True)
            print("again", [r.nodes for r in router.route(0, 2)], flush=True)
        """)
        process = subprocess.Popen([sys.executable, "-c", child],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   text=True)
        process.stdin.write(RUNAWAY)
        process.stdin.close()
        assert process.stdout.readline() == "ready\n"
        time.sleep(0.5)
        process.send_signal(signal.SIGINT)
        try:
            process.wait(timeout=60)
        finally:
            process.kill()
        assert process.stdout.read().splitlines() == ["interrupted",
                                                      "again [[0, 1, 2]]"]


def test_nearest_nodes_against_every_node(sample_path):
    router = norvel.Router.from_file(sample_path)
    table = router.table
    ids = table.routable_ids
    lats, lons = table.lats[table.routable], table.lons[table.routable]
    chooser = np.random.default_rng(5)
    points = np.column_stack((chooser.uniform(60.15, 60.19, 300),
                              chooser.uniform(24.90, 24.98, 300)))
    found, metres = router.nearest_many(points[:, 0], points[:, 1])
    for (lat, lon), node, distance in zip(points, found, metres):
        every = np.array([haversine_m(lat, lon, a, b)
                          for a, b in zip(lats.tolist(), lons.tolist())])
        best = every.min()
        assert distance == pytest.approx(best, rel=1e-9, abs=1e-6)
        # The node found is as near as the nearest, to a rounding.
        assert every[np.flatnonzero(ids == node)[0]] == pytest.approx(best, rel=1e-12)


@pytest.fixture(scope="module")
def sample_router(sample_path):
    return norvel.Router.from_file(sample_path)


class TestManyAtOnce:
    @pytest.fixture
    def router(self, sample_router):
        return sample_router

    @staticmethod
    def outcome(answer):
        if isinstance(answer, RoutingError):
            return type(answer), str(answer), answer.kind
        return ([route.to_feature() for route in answer], answer.origin,
                answer.destination)

    def one_by_one(self, router, pairs, eps=0.0):
        answers = []
        for pair in pairs:
            try:
                answers.append(router.route(*pair, eps))
            except RoutingError as error:
                answers.append(error)
        return answers

    def test_route_many_is_route_one_by_one(self, router):
        ids = router.table.routable_ids.tolist()
        chooser = random.Random(7)
        destinations = [chooser.choice(ids) for _ in range(5)]
        pairs = [(chooser.choice(ids), chooser.choice(destinations))
                 for _ in range(int(150 * SCALE) + 5)]
        pairs += [pairs[0], pairs[0],                        # repeated
                  (3, ids[0]), (ids[0], 3), (-1, 2**64),      # no such node
                  ((60.1699, 24.9384), destinations[0]),     # a point
                  ((60.3, 25.3), destinations[0]),           # too far
                  (ids[0], ids[0])]
        for eps in (0.0, 0.1):
            for workers in (1, 3):
                many = router.route_many(pairs, eps, workers=workers)
                assert [self.outcome(a) for a in many] == \
                    [self.outcome(a) for a in self.one_by_one(router, pairs, eps)]
        kinds = {a.kind for a in many if isinstance(a, RoutingError)}
        assert kinds >= {"node_not_found", "snap"}
        assert router.route_many([]) == []

    @pytest.mark.parametrize("seed", range(4))
    def test_on_random_grids_with_every_failure(self, seed):
        """Few destinations, so that requests share the searches from
        each; every kind of failure among them, and repeated pairs."""
        size = 8 + 3 * seed
        document = json.loads(random_document(seed, size))
        dead_end, first, second = size * size + 20, size * size + 21, size * size + 22
        document[0] += [[dead_end, 60.0, 25.0], [first, 61.0, 26.0],
                        [second, 61.0, 26.001]]
        document[1] += [[0, dead_end, 10.0, 0.1, None],        # none leaves it
                        [first, second, 5.0, 0.1, None],       # an island
                        [second, first, 5.0, 0.1, None]]
        router = norvel.Router.from_json(json.dumps(document))
        chooser = random.Random(seed)
        nodes = list(range(size * size))
        destinations = [chooser.choice(nodes) for _ in range(3)] + [first]
        pairs = [(chooser.choice(nodes), chooser.choice(destinations))
                 for _ in range(int(60 * SCALE) + 10)]
        pairs += [pairs[1], pairs[1], pairs[2],                 # repeated
                  (dead_end, destinations[0]),                  # isolated
                  (second, destinations[0]),                    # no route
                  (size * size + 7, destinations[1]),           # not listed
                  (destinations[2], size * size + 99),          # no node
                  (destinations[0], destinations[0])]
        chooser.shuffle(pairs)
        for eps in (0.0, 0.1):
            expected = [self.outcome(a)
                        for a in self.one_by_one(router, pairs, eps)]
            for workers in (1, 2):
                many = router.route_many(pairs, eps, workers=workers)
                assert [self.outcome(a) for a in many] == expected
        kinds = {a.kind for a in many if isinstance(a, RoutingError)}
        assert kinds == {"node_not_found", "source_isolated", "no_route"}
        reasons = {a.reason for a in many if isinstance(a, NoRouteError)}
        assert reasons == {"source_isolated", "no_route"}

    def test_a_timeout_is_each_requests_own(self):
        router = norvel.Router.from_json(RUNAWAY)
        corner = 11 * 11 - 1
        pairs = [(0, corner), (1, 2), (12, corner), (0, 2)]
        many = router.route_many(pairs, timeout_s=0.2, workers=2)
        assert [a.kind if isinstance(a, RoutingError) else
                [r.nodes for r in a] for a in many] == [
            "timeout", [[1, 2]], "timeout", [[0, 1, 2]]]
        assert isinstance(many[0], RouteTimeoutError)

    def test_matrix_on_a_random_grid_is_route_one_by_one(self):
        router = norvel.Router.from_json(random_document(9, 10))
        chooser = random.Random(9)
        origins = [chooser.randrange(100) for _ in range(6)] + [107]
        destinations = [chooser.randrange(100) for _ in range(5)]
        frame = router.matrix(origins, destinations, 0.05, workers=2)
        expected = []
        for i, origin in enumerate(origins):
            for j, destination in enumerate(destinations):
                try:
                    routes = router.route(origin, destination, 0.05)
                except RoutingError as error:
                    expected.append((i, j, None, error.kind))
                    continue
                expected += [(i, j, (r.type, exact(r.distance_m),
                                     exact(r.risk)), None) for r in routes]
        got = [(row.origin, row.destination,
                None if isinstance(row.error_kind, str) else
                (row.type, exact(row.distance_m), exact(row.risk)),
                row.error_kind if isinstance(row.error_kind, str) else None)
               for row in frame.itertuples(index=False)]
        assert got == expected
        assert frame["error_kind"].eq("node_not_found").sum() == 5

    def test_bad_arguments_raise_as_route_does(self, router):
        with pytest.raises(TypeError, match=r"^pairs\[1\] must be an "):
            router.route_many([(1, 2), 3])
        with pytest.raises(TypeError, match="^destination must be a node id"):
            router.route_many([(1, "2")])
        with pytest.raises(ValueError, match="^eps must be"):
            router.route_many([(1, 2)], -1.0)
        with pytest.raises(ValueError, match="^workers must be at least 1"):
            router.route_many([(1, 2)], workers=0)

    def test_matrix_rows_are_the_routes_in_row_major_order(self, router):
        ids = router.table.routable_ids.tolist()
        origins = [ids[10], (60.1699, 24.9384), 3]
        destinations = [ids[20], ids[10], (60.3, 25.3)]
        frame = router.matrix(origins, destinations)
        expected = []
        for i, origin in enumerate(origins):
            for j, destination in enumerate(destinations):
                try:
                    routes = router.route(origin, destination)
                except RoutingError as error:
                    expected.append((i, j, None, error.message, error.kind))
                    continue
                expected += [(i, j, (r.type, r.distance_m, r.risk, r.time_min,
                                     r.comfort, r.familiarity), None, None)
                             for r in routes]
        got = []
        for row in frame.itertuples(index=False):
            failed = isinstance(row.error, str)
            metrics = None if failed else (
                row.type, row.distance_m, row.risk, row.time_min, row.comfort,
                row.familiarity)
            got.append((row.origin, row.destination, metrics,
                        row.error if failed else None,
                        row.error_kind if failed else None))
        assert got == expected
        assert frame["origin_node"].iloc[0] == ids[10]
        # As route reports it: an id that is no node is the request's to
        # find, after both ends have snapped.
        assert frame.loc[frame.origin == 2, "error_kind"].tolist() == [
            "node_not_found", "node_not_found", "snap"]
