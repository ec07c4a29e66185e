"""Many pairs at once: local threads, a Dask cluster of two worker
processes and a plain loop over ``Router.route`` give the same rows, and
nothing is ever lost silently: a chunk that raises runs again, a dying Dask
worker costs only its unfinished chunks."""

import json
import os
import random
import signal
import subprocess
import sys
import threading
import time

import cloudpickle
import numpy as np
import pandas as pd
import pytest
from distributed import Client, LocalCluster, WorkerPlugin

import norvel
import norvel.batch
import norvel.geo
from grids import (ABSENT, DEAD_END, FIRST_ID, ISOLATED, LONELY, SOURCE_ONLY, grid_streets,
                   jittered_nodes, sample_plus)
from norvel import Router, Routes
from norvel.batch import COLUMNS, BatchError, route_pairs

# The functions that tests install on Dask workers travel by value: the
# workers cannot import this file.
cloudpickle.register_pickle_by_value(sys.modules[__name__])

SIZE = 12
EPS = 0.0
FAILING = [(LONELY, FIRST_ID), (FIRST_ID, LONELY), (FIRST_ID, ABSENT),
           (DEAD_END, FIRST_ID), (-1, FIRST_ID), (FIRST_ID, 2**64)]
FAILING_KINDS = ["source_isolated", "no_route", "node_not_found",
                 "source_isolated", "node_not_found", "node_not_found"]


def grid_pairs(count, size=SIZE):
    corner = FIRST_ID + size * size - 1
    pairs = [(FIRST_ID + (7 * i) % (size * size), corner - (5 * i) % size)
             for i in range(count)]
    return pairs[:count // 2] + FAILING + pairs[count // 2:]


PAIRS = grid_pairs(60)


def end_node(router, place, max_snap_m):
    """The node a pair's end names, found without Router.snap: an id of
    [0, 2**64) itself, a point's nearest node within max_snap_m."""
    if isinstance(place, tuple):
        if len(place) != 2 or abs(place[1]) > 180:
            return None
        nearest = router.nearest(*place)
        return nearest.node if nearest.distance_m <= max_snap_m else None
    if type(place) is int and 0 <= place < 2**64:
        return place
    return None


def loop_rows(router, pairs, eps=EPS, max_snap_m=250.0, **options):
    """The rows as a caller would build them with a plain loop over
    Router.route."""
    rows = []
    for index, (origin, destination) in enumerate(pairs):
        try:
            routes = router.route(origin, destination, eps,
                                  max_snap_m=max_snap_m, **options)
        except (norvel.RoutingError, ValueError, TypeError) as failure:
            kind = getattr(failure, "kind", "invalid")
            rows.append((index, end_node(router, origin, max_snap_m),
                         end_node(router, destination, max_snap_m), None,
                         None, None, None, None, None, None, str(failure),
                         kind))
            continue
        rows += [(index, routes.origin.node, routes.destination.node, r.type,
                  r.distance_m, r.risk, r.time_min, r.comfort, r.familiarity,
                  len(r.nodes), None, None) for r in routes]
    return rows


def frame_rows(frame):
    assert tuple(frame.columns) == COLUMNS
    return [tuple(None if not isinstance(v, str) and pd.isna(v) else v
                  for v in row) for row in frame.itertuples(index=False)]


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, \
            Client(cluster) as dask_client:
        yield dask_client


@pytest.fixture(scope="module")
def grid_router(grid_files):
    return Router.from_file(grid_files[0])


@pytest.fixture(scope="module")
def expected(grid_router):
    return loop_rows(grid_router, PAIRS)


def node_ids(column):
    return [None if value is pd.NA else int(value) for value in column]


def test_threads_cluster_and_loop_give_the_same_rows(grid_files, grid_router,
                                                     client, expected):
    plain, packed = grid_files
    threaded = route_pairs(plain, PAIRS, EPS, workers=2, chunk_size=7)
    assert frame_rows(threaded) == expected
    on_dask = route_pairs(packed, PAIRS, EPS, client=client, chunk_size=7)
    pd.testing.assert_frame_equal(on_dask, threaded)
    # Default chunking, one thread, the gzipped document: still the same;
    # and so with the caller's own router.
    pd.testing.assert_frame_equal(route_pairs(packed, PAIRS, EPS, workers=1),
                                  threaded)
    pd.testing.assert_frame_equal(route_pairs(grid_router, PAIRS), threaded)


class TestFailedPairs:
    def test_one_row_each_with_the_routers_error_and_kind(self, grid_router):
        frame = route_pairs(grid_router, PAIRS, EPS, workers=2)
        failed = frame[frame["error"].notna()]
        first = PAIRS.index(FAILING[0])
        assert list(failed["pair"]) == list(range(first, first + len(FAILING)))
        assert list(failed["error_kind"]) == FAILING_KINDS
        assert failed["error"].iloc[0] == (f"origin node {LONELY} has no "
                                           f"outgoing edge, so no route "
                                           f"starts there")
        assert failed["error"].iloc[4] == ("origin node -1 is not a node of "
                                           "the graph")
        # The ids as given, but those no node can have.
        assert node_ids(failed["origin_node"]) == [LONELY, FIRST_ID, FIRST_ID,
                                              DEAD_END, None, FIRST_ID]
        assert node_ids(failed["destination_node"]) == [FIRST_ID, LONELY, ABSENT,
                                              FIRST_ID, FIRST_ID, None]
        assert failed["type"].isna().all() and failed["distance_m"].isna().all()
        assert failed["node_count"].isna().all()
        routed = frame[frame["error"].isna()]
        assert routed["error_kind"].isna().all()
        assert (routed["node_count"] > 1).all()
        assert set(frame["pair"]) == set(range(len(PAIRS)))

    def test_ids_beyond_2_53_keep_every_digit(self):
        # A column of ids and <NA> must not pass through float64.
        big, bigger = 2**53 + 1, 2**64 - 1
        router = Router.from_json(json.dumps({
            "nodes": [{"id": big, "lat": 60.0, "lon": 25.0},
                      {"id": bigger, "lat": 60.001, "lon": 25.0}],
            "edges": [{"from": a, "to": b, "distance_m": 111.0,
                       "risk_score": 0.1}
                      for a, b in ((big, bigger), (bigger, big))]}))
        frame = route_pairs(router, [(big, bigger), ("nowhere", bigger),
                                     ((60.001, 25.0), (60.0, 25.0))])
        assert node_ids(frame["origin_node"]) == [big, None, bigger]
        assert node_ids(frame["destination_node"]) == [bigger, bigger, big]
        assert list(frame["error_kind"].fillna("")) == ["", "invalid", ""]

    def test_matrix_keeps_every_digit_beside_a_failed_end(self):
        # A failed end in the same column once sent the ids through
        # float64: 2**63 + 1 came back as 2**63, and 2**64 - 1 raised.
        ids = (2**53 + 1, 2**63 + 1, 2**64 - 1)
        router = Router.from_json(json.dumps({
            "nodes": [{"id": node, "lat": 60.0 + k * 0.001, "lon": 25.0}
                      for k, node in enumerate(ids)],
            "edges": [{"from": a, "to": b, "distance_m": 111.0,
                       "risk_score": 0.1}
                      for a, b in zip(ids, (*ids[1:], ids[0]))]}))
        far = (10.0, 10.0)
        frame = router.matrix([*ids, far], [far, *ids])
        pairs = frame.drop_duplicates(["origin", "destination"])
        assert len(pairs) == 16
        assert str(frame["origin_node"].dtype) == "UInt64"
        assert node_ids(pairs["origin_node"]) == [
            node for node in (*ids, None) for _ in range(4)]
        assert node_ids(pairs["destination_node"]) == [None, *ids] * 4
        # The route table is one: route_pairs gives the same rows.
        table = route_pairs(router, [(o, d) for o in (*ids, far)
                                     for d in (far, *ids)], progress=False)
        shared = ["origin_node", "destination_node", "type", "distance_m",
                  "risk", "error", "error_kind"]
        assert table[shared].equals(frame[shared])


@pytest.fixture(scope="module")
def helsinki_plus(sample_path, tmp_path_factory):
    """The Helsinki sample with two nodes more: ISOLATED, without edges (no
    route starts there), and SOURCE_ONLY, with an edge out only (no route
    ends there)."""
    path = sample_plus(sample_path, tmp_path_factory.mktemp("helsinki"))
    return path, Router.from_file(path)




def helsinki_pairs(router, count, seed):
    """`count` random pairs of nodes, some ends made points near a node
    (some too far from every node for max_snap_m=40), and a few pairs of
    each kind of failure, at random places."""
    rng = random.Random(seed)
    ids = [int(node) for node in router.table.routable_ids
           if node != SOURCE_ONLY]

    def end():
        node = rng.choice(ids)
        if rng.random() > 0.1:
            return node
        lat, lon = router.table[node]
        return (lat + rng.uniform(-0.0008, 0.0008),
                lon + rng.uniform(-0.0015, 0.0015))

    pairs = [(end(), end()) for _ in range(count)]
    anywhere = rng.choice(ids)
    failing = [(ISOLATED, anywhere), (anywhere, SOURCE_ONLY),
               (3, anywhere), (anywhere, 2**64), ((0.0, 0.0), anywhere),
               (anywhere, (60.17, 200.0)), ("a", anywhere),
               (anywhere, [60.17, 24.94]), (anywhere, (60.17,)),
               (np.uint64(anywhere), np.int64(rng.choice(ids))), (True, 1),
               # Both ends wrong: the origin's error is the pair's.
               ((0.0, 0.0), 2**64), (2**64, (0.0, 0.0))]
    for pair in failing:
        pairs.insert(rng.randrange(len(pairs) + 1), pair)
    return pairs


def test_every_row_is_what_the_router_gives_on_helsinki(helsinki_plus):
    path, router = helsinki_plus
    pairs = helsinki_pairs(router, 300, seed=7)
    frame = route_pairs(path, pairs, max_snap_m=40.0, workers=2,
                        chunk_size=16, progress=False)
    assert frame_rows(frame) == loop_rows(router, pairs, max_snap_m=40.0)
    kinds = frame["error_kind"].value_counts().to_dict()
    assert set(kinds) == {"node_not_found", "source_isolated", "no_route",
                          "snap", "invalid"}
    assert kinds["invalid"] == 5
    # Points routed from and to their nodes.
    points = [i for i, pair in enumerate(pairs)
              if any(isinstance(end, tuple) and len(end) == 2 for end in pair)]
    routed = frame[frame["pair"].isin(points) & frame["error"].isna()]
    assert routed["pair"].nunique() >= 20


def test_timeout_s_is_each_pairs_own_limit(helsinki_plus):
    path, router = helsinki_plus
    lats, lons = router.table.lats, router.table.lons
    # Opposite corners: a search far longer than a nanosecond.
    far = (router.nearest(lats.min(), lons.min()).node,
           router.nearest(lats.max(), lons.max()).node)
    frame = route_pairs(router, [far, (far[0], far[0]), far],
                        timeout_s=1e-9)
    assert list(frame["error_kind"].fillna("")) == ["timeout", "", "timeout"]
    assert frame["error"].iloc[0] == (
        f"the route from node {far[0]} to node {far[1]} took longer than "
        f"timeout_s=1e-09 s")


def test_empty_batch_and_bad_arguments(grid_files, grid_router, client,
                                       tmp_path):
    empty = route_pairs(grid_files[0], [], EPS)
    assert tuple(empty.columns) == COLUMNS and len(empty) == 0
    pd.testing.assert_series_equal(empty.dtypes,
                                   route_pairs(grid_router, PAIRS).dtypes)
    for arguments, error in [(dict(workers=0), ValueError),
                             (dict(chunk_size=0), ValueError),
                             (dict(eps=-0.5), ValueError),
                             (dict(eps="0"), TypeError),
                             (dict(max_snap_m=float("nan")), ValueError),
                             (dict(timeout_s=0.0), ValueError)]:
        with pytest.raises(error):
            route_pairs(grid_router, PAIRS, **arguments)
    with pytest.raises(TypeError, match=r"^pairs\[1\] must be an \(origin, "
                                        r"destination\) pair, got \(1, 2, 3\)"):
        route_pairs(grid_router, [(1, 2), (1, 2, 3)])
    with pytest.raises(TypeError, match="not a Router"):
        route_pairs(grid_router, PAIRS, client=client)
    broken = tmp_path / "broken.json"
    broken.write_text('{"nodes": [}')
    with pytest.raises(ValueError, match="broken.json: expected value at line 1"):
        route_pairs(broken, PAIRS, EPS, workers=1)
    with pytest.raises(FileNotFoundError):
        route_pairs(tmp_path / "absent.json", PAIRS, EPS, workers=1)
    # On Dask the workers load the document: its error is the cause.
    with pytest.raises(BatchError) as raised:
        route_pairs(broken, PAIRS[:4], EPS, client=client)
    assert isinstance(raised.value.__cause__, ValueError)
    assert "expected value at line 1" in str(raised.value)


def straight_streets(seed, side):
    """A graph of side x side jittered points, some streets left out, each
    street exactly as long as the straight line between its ends: its
    walks of a given time reach as far along an axis as any walk can, to
    the edge of a catchment's margin."""
    rng = np.random.default_rng(seed)
    nodes = jittered_nodes(rng, side, 500, 0.0004, 0.45)
    edges = []
    for i, j in grid_streets(rng, side, 0.15):
        length = norvel.geo.haversine_m(nodes[i]["lat"], nodes[i]["lon"],
                                        nodes[j]["lat"], nodes[j]["lon"])
        edges += [{"from": 500 + a, "to": 500 + b, "distance_m": length,
                   "risk_score": float(rng.uniform(0.0, 0.9))}
                  for a, b in ((i, j), (j, i))]
    return {"nodes": nodes, "edges": edges}


def test_a_catchment_in_tiles_on_random_graphs_and_any_minutes(client, tmp_path):
    """norvel.batch.catchment's nodes are Router.catchment's, on random
    graphs whose margins have no room to spare, for one place or many and
    any time limit: none, some, or more than the plane spans (finite or
    not)."""
    for seed in (1, 2, 3):
        side = 8 + 2 * seed
        path = tmp_path / f"streets{seed}.json"
        path.write_text(json.dumps(straight_streets(seed, side)))
        router = Router.from_file(path)
        rng = np.random.default_rng(seed)
        for minutes in (0.0, float(rng.uniform(0.5, 4.0)), float(rng.uniform(0.5, 4.0)),
                        1e15, 1e300, float("inf")):
            places = (500 + rng.choice(side * side, int(rng.integers(1, 9)),
                                       replace=False)).tolist()
            direction = "to" if rng.random() < 0.5 else "from"
            got = norvel.batch.catchment(path, places, minutes, direction=direction,
                                         client=client, progress=False)
            pd.testing.assert_frame_equal(
                got, router.catchment(places, minutes, direction=direction).nodes)


def test_progress_bar_counts_pairs(grid_files, monkeypatch, capsys):
    monkeypatch.setattr("norvel.batch._PROGRESS_DELAY_S", 0.0)
    route_pairs(grid_files[0], PAIRS, EPS, workers=1, chunk_size=20)
    bar = capsys.readouterr().err
    assert f"{len(PAIRS)}/{len(PAIRS)}" in bar and "pair" in bar
    route_pairs(grid_files[0], PAIRS, EPS, workers=1, progress=False)
    assert capsys.readouterr().err == ""


class TestLocalChunkFaults:
    """An exception in a chunk (not a pair's own failure) runs the chunk
    again, twice at most, then fails the batch: never a missing row."""

    @staticmethod
    def fail(monkeypatch, at_pair, times):
        """The rows of pair `at_pair` raise MemoryError, `times` times or
        always (None); returns the list of failed calls."""
        original = norvel.batch._pair_rows
        failed = []

        def failing(router, job, *rest):
            if job[0] == at_pair and (times is None or len(failed) < times):
                failed.append(threading.current_thread().name)
                raise MemoryError(f"no memory left at pair {job[0]}")
            return original(router, job, *rest)

        monkeypatch.setattr(norvel.batch, "_pair_rows", failing)
        return failed

    @pytest.mark.parametrize("times", [1, 2])
    def test_a_chunk_that_raised_runs_again(self, grid_router, expected,
                                            monkeypatch, times):
        failed = self.fail(monkeypatch, 40, times)
        frame = route_pairs(grid_router, PAIRS, workers=2, chunk_size=4)
        assert len(failed) == times
        assert all(name.startswith("norvel-batch") for name in failed)
        assert frame_rows(frame) == expected

    def test_a_chunk_that_keeps_raising_fails_the_batch(self, grid_router,
                                                        monkeypatch):
        failed = self.fail(monkeypatch, 41, None)
        with pytest.raises(BatchError) as raised:
            route_pairs(grid_router, PAIRS, workers=2, chunk_size=4)
        # Chunks hold the pairs to one destination: pair 41 goes where
        # pairs 11, 23 and 53 go.
        assert str(raised.value) == (
            "the chunk of pairs 11, 23, 41, 53 raised 3 times in a row, "
            "lastly MemoryError: no memory left at pair 41")
        assert isinstance(raised.value.__cause__, MemoryError)
        assert len(failed) == 3


INTERRUPTED = """
import random, signal, sys
signal.signal(signal.SIGINT, signal.default_int_handler)
import norvel, norvel.batch
router = norvel.Router.from_file(sys.argv[1])
ids = [int(node) for node in router.table.routable_ids]
rng = random.Random(1)
pairs = [(rng.choice(ids), rng.choice(ids)) for _ in range(20000)]
routed = []
original = norvel.batch._pair_rows
def counted(router, job, *rest):
    routed.append(job[0])
    return original(router, job, *rest)
norvel.batch._pair_rows = counted
print("start", flush=True)
try:
    norvel.batch.route_pairs(router, pairs, workers=2, chunk_size=10000,
                             progress=False)
except KeyboardInterrupt:
    print("interrupted after", len(routed), flush=True)
"""


def test_ctrl_c_stops_the_threads_at_their_next_pair(sample_path, tmp_path):
    script = tmp_path / "interrupted.py"
    script.write_text(INTERRUPTED)
    process = subprocess.Popen([sys.executable, str(script), str(sample_path)],
                               stdout=subprocess.PIPE, text=True)
    assert process.stdout.readline() == "start\n"
    time.sleep(0.5)
    process.send_signal(signal.SIGINT)
    output, _ = process.communicate(timeout=120)
    # Two chunks of 10000 pairs: a thread that went on with its chunk
    # would route thousands of pairs more.
    words = output.split()
    assert words[:2] == ["interrupted", "after"]
    assert int(words[2]) < 5000


def kept_graphs():
    import norvel._workers

    return norvel._workers.loaded_graphs()


def test_dask_workers_keep_the_graph_for_later_calls(grid_files, client):
    plain, _ = grid_files
    route_pairs(plain, PAIRS, EPS, client=client, chunk_size=3)
    first = client.run(kept_graphs)
    route_pairs(plain, PAIRS[:10], EPS, client=client, chunk_size=1)
    assert client.run(kept_graphs) == first
    assert all(paths.count(str(plain)) == 1 for paths in first.values())


def test_chunks_hold_whole_groups_of_pairs_to_one_destination():
    point = (60.17, 24.94)
    jobs = [(0, 1, 10), (1, 2, 20), (2, 3, 10), (3, 4, point), (4, 5, 20),
            (5, 6, [7]), (6, 7, (60.17, 24.94)), (7, 8, 10), (8, 9, 30),
            (9, 1, 10), (10, 2, 10)]
    chunks = norvel.batch._chunks(jobs, 3, 1)
    # 10 has more pairs than a chunk holds: cut, a full chunk of its own
    # first; a group never spreads over two chunks otherwise, points group
    # by value, and a value that names no place groups alone.
    assert [[job[0] for job in chunk] for chunk in chunks] == [
        [0, 2, 7], [9, 10], [1, 4], [3, 6, 5], [8]]
    assert norvel.batch._span(chunks[0]) == "0, 2, 7"
    assert norvel.batch._span(jobs[2:9]) == "2 to 8"


def record_route_many():
    """Makes the worker note the destinations of the routed pairs (both
    ends snapped) of every call that routes many pairs at once."""
    from norvel._session import Session

    original = Session.answers
    calls = []

    def recording(self, origins, destinations, *args, **kwargs):
        calls.append([d.node for o, d in zip(origins, destinations)
                      if isinstance(o, norvel.Snap) and isinstance(d, norvel.Snap)])
        return original(self, origins, destinations, *args, **kwargs)

    recording.original, recording.calls = original, calls
    Session.answers = recording


def recorded_calls():
    from norvel._session import Session

    return Session.answers.calls


def stop_recording():
    from norvel._session import Session

    Session.answers = Session.answers.original


def test_dask_workers_route_whole_destination_groups_together(
        grid_files, client, expected):
    client.wait_for_workers(2)
    client.run(record_route_many)
    try:
        frame = route_pairs(grid_files[0], PAIRS, EPS, client=client,
                            chunk_size=7)
        calls = [call for calls in client.run(recorded_calls).values()
                 for call in calls]
    finally:
        client.run(stop_recording)
    assert frame_rows(frame) == expected
    # Each destination's pairs (five or six, a chunk holds seven) went to
    # one worker in one call, which shares the searches from it.
    destinations = [d for call in calls for d in set(call)]
    assert len(destinations) == len(set(destinations))
    routed = sorted(d for call in calls for d in call)
    first_rows = {row[0]: row for row in reversed(expected)}.values()
    assert routed == sorted(row[2] for row in first_rows
                            if row[1] is not None and row[2] is not None)


def install_fault(marker, at_pair, every_time, kill):
    """Makes the worker die (`kill`) or raise MemoryError when it reaches
    pair `at_pair`: the first time only (across workers, by the marker
    file), or every time."""
    original = norvel.batch._pair_rows

    def faulty(router, job, *rest):
        if job[0] == at_pair and (every_time or not os.path.exists(marker)):
            open(marker, "w").close()
            if kill:
                os.kill(os.getpid(), signal.SIGKILL)
            raise MemoryError(f"no memory left at pair {at_pair}")
        return original(router, job, *rest)

    faulty.original = original
    norvel.batch._pair_rows = faulty


def remove_faults():
    while hasattr(norvel.batch._pair_rows, "original"):
        norvel.batch._pair_rows = norvel.batch._pair_rows.original


class Killer(WorkerPlugin):
    """The killer on every worker, those the nannies restart included."""

    def __init__(self, marker, at_pair):
        self.marker, self.at_pair = marker, at_pair

    def setup(self, worker):
        install_fault(self.marker, self.at_pair, True, True)


class TestDaskFaults:
    def test_a_killed_worker_costs_nothing(self, grid_files, client,
                                           expected, tmp_path):
        client.wait_for_workers(2)
        marker = tmp_path / "died"
        client.run(install_fault, str(marker), 40, False, True)
        frame = route_pairs(grid_files[0], PAIRS, EPS, client=client,
                            chunk_size=4)
        assert marker.exists()
        assert frame_rows(frame) == expected

    def test_a_chunk_that_raised_runs_again(self, grid_files, client,
                                            expected, tmp_path):
        client.wait_for_workers(2)
        marker = tmp_path / "raised"
        client.run(install_fault, str(marker), 40, False, False)
        try:
            frame = route_pairs(grid_files[0], PAIRS, EPS, client=client,
                                chunk_size=4)
            assert marker.exists()
            assert frame_rows(frame) == expected
            client.run(install_fault, str(marker), 41, True, False)
            with pytest.raises(BatchError, match=(
                    r"^the chunk of pairs 11, 23, 41, 53 raised 3 times in a "
                    r"row, "
                    r"lastly MemoryError: no memory left at pair 41$")):
                route_pairs(grid_files[0], PAIRS, EPS, client=client,
                            chunk_size=4)
        finally:
            client.run(remove_faults)

    def test_a_chunk_that_always_kills_fails_the_batch(self, grid_files,
                                                       client, tmp_path):
        client.wait_for_workers(2)
        scheduler = client.cluster.scheduler
        allowed, scheduler.allowed_failures = scheduler.allowed_failures, 1
        client.register_plugin(Killer(str(tmp_path / "died"), 20),
                               name="killer")
        try:
            with pytest.raises(BatchError, match="kept dying"):
                route_pairs(grid_files[0], PAIRS, EPS, client=client,
                            chunk_size=4)
        finally:
            scheduler.allowed_failures = allowed
            client.unregister_worker_plugin("killer")
            client.restart()


def test_pairs_on_a_risk_layer(grid_files, client, tmp_path):
    """route_pairs on a layer, locally and on Dask, is route_many's answer
    on it; an unknown layer is refused before any pair runs."""
    router = Router.from_file(grid_files[0])
    router.add_risk("night", np.linspace(0.0, 0.2, router.edge_count))
    layered = tmp_path / "layered.json"
    router.to_document(layered)
    pairs = PAIRS[:30]
    frame = route_pairs(layered, pairs, EPS, risk="night", workers=2)
    on_dask = route_pairs(layered, pairs, EPS, risk="night", client=client)
    pd.testing.assert_frame_equal(frame, on_dask)
    answers = router.route_many(pairs, EPS, risk="night")
    want = [route.risk for answer in answers if isinstance(answer, Routes)
            for route in answer]
    assert frame["risk"].dropna().tolist() == want
    for graph, options in ((layered, {"workers": 1}), (layered, {"client": client})):
        with pytest.raises(ValueError, match="the graph has no risk layer 'day': "
                                             "its layers are 'default', 'night'"):
            route_pairs(graph, pairs, EPS, risk="day", **options)


def test_dask_workers_resolve_avoid_on_the_graph_they_load(grid_files, grid_router, client):
    edges = grid_router.edges()
    # The grid's first row, from the third column on: an area in (lon, lat).
    area = {"type": "Polygon", "coordinates": [[[25.003, 59.9995], [25.03, 59.9995], [25.03, 60.0005],
                                                [25.003, 60.0005], [25.003, 59.9995]]]}
    pairs = [(FIRST_ID, FIRST_ID + 11), ((60.0, 25.02), FIRST_ID + 5), (FIRST_ID + 3, FIRST_ID + 9)]
    on_dask = route_pairs(grid_files[0], pairs, avoid=[area, 0], client=client, progress=False)
    local = route_pairs(grid_router, pairs, avoid=[area, 0], progress=False)
    pd.testing.assert_frame_equal(on_dask, local)
    assert not local.equals(route_pairs(grid_router, pairs, progress=False))
    assert len(grid_router.session.avoided([area, 0])) < len(edges)
