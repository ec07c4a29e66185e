"""Many pairs at once: a local process pool, a Dask cluster of two worker
processes and a plain loop give the same rows, and a dying worker never
leaves rows silently missing."""

import json
import os
import signal
import sys
import threading
import time

import cloudpickle
import norvel_core
import pandas as pd
import psutil
import pytest
from distributed import Client, LocalCluster, WorkerPlugin

import norvel._routing
from grids import ABSENT, DEAD_END, FIRST_ID, LONELY, grid_document
from norvel.batch import COLUMNS, BatchError, route_pairs

# The functions that tests install on Dask workers travel by value: the
# workers cannot import this file.
cloudpickle.register_pickle_by_value(sys.modules[__name__])

SIZE = 12
EPS = 0.0
FAILING = [(LONELY, FIRST_ID), (FIRST_ID, LONELY), (FIRST_ID, ABSENT),
           (DEAD_END, FIRST_ID), (-1, FIRST_ID), (FIRST_ID, 2**64)]


def grid_pairs(count, size=SIZE):
    corner = FIRST_ID + size * size - 1
    pairs = [(FIRST_ID + (7 * i) % (size * size), corner - (5 * i) % size)
             for i in range(count)]
    return pairs[:count // 2] + FAILING + pairs[count // 2:]


PAIRS = grid_pairs(60)


def loop_rows(path, pairs, eps):
    """The rows as a caller would build them with a plain loop."""
    graph = norvel_core.PyGraph.from_json(open(path).read())
    rows = []
    for index, (source, target) in enumerate(pairs):
        try:
            routes = norvel_core.compute_safe_routes(graph, source, target, eps)
        except (RuntimeError, OverflowError) as failure:
            rows.append((index, source, target, None, None, None, None, None,
                         None, None, f"{type(failure).__name__}: {failure}"))
            continue
        rows += [(index, source, target, r.route_type, r.total_distance_m,
                  r.total_risk, r.estimated_time_min, r.comfort_score,
                  r.total_familiarity, r.node_count, None) for r in routes]
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
def expected(grid_files):
    return loop_rows(grid_files[0], PAIRS, EPS)


def test_pool_cluster_and_loop_give_the_same_rows(grid_files, client,
                                                  expected):
    plain, packed = grid_files
    pooled = route_pairs(plain, PAIRS, EPS, workers=2, chunk_size=7)
    assert frame_rows(pooled) == expected
    on_dask = route_pairs(packed, PAIRS, EPS, client=client, chunk_size=7)
    pd.testing.assert_frame_equal(on_dask, pooled)
    # Default chunking, one worker, the gzipped document: still the same.
    pd.testing.assert_frame_equal(route_pairs(packed, PAIRS, EPS, workers=1),
                                  pooled)


def test_failed_pairs_have_one_row_each_with_the_error(grid_files, expected):
    frame = route_pairs(grid_files[0], PAIRS, EPS, workers=2)
    failed = frame[frame["error"].notna()]
    first = PAIRS.index(FAILING[0])
    assert list(failed["pair"]) == list(range(first, first + len(FAILING)))
    assert failed["error"].iloc[0].startswith("RuntimeError: Nœud source 1")
    assert failed["error"].iloc[4].startswith("OverflowError: ")
    assert failed["type"].isna().all() and failed["distance"].isna().all()
    assert failed["node_count"].isna().all()
    routed = frame[frame["error"].isna()]
    assert (routed["node_count"] > 1).all()
    assert set(frame["pair"]) == set(range(len(PAIRS)))


def test_empty_batch_and_bad_arguments(grid_files, tmp_path):
    empty = route_pairs(grid_files[0], [], EPS)
    assert tuple(empty.columns) == COLUMNS and len(empty) == 0
    with pytest.raises(ValueError):
        route_pairs(grid_files[0], PAIRS, EPS, workers=0)
    with pytest.raises(ValueError):
        route_pairs(grid_files[0], PAIRS, EPS, chunk_size=0)
    broken = tmp_path / "broken.json"
    broken.write_text('{"nodes": [}')
    with pytest.raises(ValueError, match="expected value at line 1"):
        route_pairs(broken, PAIRS, EPS, workers=1)
    with pytest.raises(FileNotFoundError):
        route_pairs(tmp_path / "absent.json", PAIRS, EPS, workers=1)


def test_progress_bar_counts_pairs(grid_files, monkeypatch, capsys):
    monkeypatch.setattr("norvel.batch._PROGRESS_DELAY_S", 0.0)
    route_pairs(grid_files[0], PAIRS, EPS, workers=1, chunk_size=20)
    bar = capsys.readouterr().err
    assert f"{len(PAIRS)}/{len(PAIRS)}" in bar and "pair" in bar
    route_pairs(grid_files[0], PAIRS, EPS, workers=1, progress=False)
    assert capsys.readouterr().err == ""


def kept_graphs():
    return [key[0] for key in norvel._routing._graphs]


def test_dask_workers_keep_the_graph_for_later_calls(grid_files, client):
    plain, _ = grid_files
    route_pairs(plain, PAIRS, EPS, client=client, chunk_size=3)
    first = client.run(kept_graphs)
    route_pairs(plain, PAIRS[:10], EPS, client=client, chunk_size=1)
    assert client.run(kept_graphs) == first
    assert all(paths.count(str(plain)) == 1 for paths in first.values())


def install_killer(marker, at_pair, every_time):
    """Makes the worker die when it reaches pair `at_pair`: the first time
    only, or every time."""
    original = norvel._routing.pair_rows

    def dying(graph, job, eps):
        if job[0] == at_pair and (every_time or not os.path.exists(marker)):
            open(marker, "w").close()
            os.kill(os.getpid(), signal.SIGKILL)
        return original(graph, job, eps)

    norvel._routing.pair_rows = dying


class Killer(WorkerPlugin):
    """The killer on every worker, those the nannies restart included."""

    def __init__(self, marker, at_pair):
        self.marker, self.at_pair = marker, at_pair

    def setup(self, worker):
        install_killer(self.marker, self.at_pair, True)


class TestDaskWorkerKilledMidBatch:
    def test_the_batch_completes_on_the_other_worker(self, grid_files, client,
                                                     expected, tmp_path):
        client.wait_for_workers(2)
        marker = tmp_path / "died"
        client.run(install_killer, str(marker), 40, False)
        frame = route_pairs(grid_files[0], PAIRS, EPS, client=client,
                            chunk_size=4)
        assert marker.exists()
        assert frame_rows(frame) == expected

    def test_a_chunk_that_always_kills_fails_the_batch(self, grid_files,
                                                       client, tmp_path):
        client.wait_for_workers(2)
        scheduler = client.cluster.scheduler
        allowed, scheduler.allowed_failures = scheduler.allowed_failures, 1
        client.register_plugin(Killer(str(tmp_path / "died"), 20), name="killer")
        try:
            with pytest.raises(BatchError, match="kept dying"):
                route_pairs(grid_files[0], PAIRS, EPS, client=client,
                            chunk_size=4)
        finally:
            scheduler.allowed_failures = allowed
            client.unregister_worker_plugin("killer")
            client.restart()


def pool_workers():
    """Processes of the local pool: children of the fork server, which
    share its command line."""
    found = []
    for process in psutil.Process().children(recursive=True):
        try:
            if ("forkserver" in " ".join(process.cmdline())
                    and "forkserver" in " ".join(process.parent().cmdline())):
                found.append(process)
        except psutil.NoSuchProcess:
            pass
    return found


def run_while_killing(path, pairs, kills, after_s):
    """Runs the batch on a pool of two while this thread kills pool workers:
    the first one `after_s` seconds after it appears, then each new one as
    soon as it appears, `kills` in all. Returns (outcome, kill count,
    whether the batch was still running at every kill)."""
    outcome = {}

    def run():
        try:
            outcome["frame"] = route_pairs(path, pairs, workers=2,
                                           chunk_size=2, progress=False)
        except Exception as failure:  # whatever it is, the test says so
            outcome["error"] = failure

    batch = threading.Thread(target=run)
    batch.start()
    killed, running = set(), True
    deadline = time.monotonic() + 120
    while len(killed) < kills and batch.is_alive() \
            and time.monotonic() < deadline:
        fresh = [p for p in pool_workers() if p.pid not in killed]
        if not fresh:
            time.sleep(0.005)
            continue
        if not killed:
            time.sleep(after_s)
        running = running and batch.is_alive()
        killed.add(fresh[0].pid)
        fresh[0].kill()
    batch.join(120)
    assert not batch.is_alive()
    return outcome, len(killed), running


@pytest.fixture(scope="module")
def long_batch(tmp_path_factory):
    """A larger grid and long pairs: a batch that runs for seconds."""
    path = tmp_path_factory.mktemp("long") / "grid.json"
    path.write_text(json.dumps(grid_document(40)))
    pairs = grid_pairs(200, size=40)
    return path, pairs, loop_rows(path, pairs, EPS)


def test_pool_worker_killed_mid_batch_loses_nothing(long_batch):
    # Killed half a second in, when some chunks are done and others are
    # running: the done ones are kept, the rest run again on a fresh pool.
    path, pairs, expected_rows = long_batch
    outcome, kills, running = run_while_killing(path, pairs, 1, 0.5)
    assert kills == 1 and running
    assert "error" not in outcome, outcome["error"]
    assert frame_rows(outcome["frame"]) == expected_rows


def test_pool_workers_that_keep_dying_fail_the_batch(long_batch):
    path, pairs, _ = long_batch
    outcome, kills, running = run_while_killing(path, pairs, 100, 0.0)
    # At least one per pool; a pool's other worker may be killed too, on
    # its way out.
    assert running and kills >= 3
    assert isinstance(outcome.get("error"), BatchError), outcome
    assert str(outcome["error"]).startswith(
        "a worker process died on each of 3 pools in a row, with ")
