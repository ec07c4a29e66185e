"""norvel serve in operation, against live servers on loopback: graphs
reloaded under a steady stream of requests without one failing (a broken
file among them), the metrics read back with Prometheus's own parser, the
JSON access log, and admission, which refuses at once a request expected
to wait too long, or beyond the cap of waiting jobs."""

import json
import math
import os
import re
from datetime import datetime
import signal
import threading
import time
from collections import Counter

import psutil
import pytest
from prometheus_client.parser import text_string_to_metric_families

import norvel
from norvel.serve.metrics import LATENCY_BUCKETS, ServiceMetrics
from norvel.serve.dispatch import CHUNK, GRACE_S
from norvel.serve.generations import DISMISS_GRACE_S
from norvel.serve.pool import WorkerPool
from grids import FIRST_ID, add_equal_cost_grid, grid_document
from live_server import LiveServer

SIZE = 6
PAIR = (FIRST_ID, FIRST_ID + SIZE * SIZE - 1)
ROUTE = f"/route?from_node={PAIR[0]}&to_node={PAIR[1]}"
# The distances of each generation's graph are the test grid's times this.
SCALES = {1: 1.0, 2: 1.5, 3: 2.0}
BROKEN = '{"nodes": [{"id": 1, "lat": 60.0, "lon": 25.0}], "edges": [}'


def scaled_grid(scale):
    document = grid_document(SIZE)
    for edge in document["edges"]:
        edge["distance_m"] *= scale
    return json.dumps(document)


def replace(path, text):
    """Writes the file beside and renames it over the old one, as a
    deployment would."""
    beside = path.with_suffix(".new")
    beside.write_text(text)
    os.replace(beside, path)


def metrics(server):
    """{(name, frozen labels): value} of every sample at /metrics."""
    status, kind, body = server.request("GET", "/metrics")
    assert status == 200 and kind.startswith("text/plain"), kind
    return {(sample.name, frozenset(sample.labels.items())): sample.value
            for family in text_string_to_metric_families(body.decode())
            for sample in family.samples}


def test_histograms_count_a_value_on_a_bound_in_that_bucket():
    """Prometheus's buckets are "less than or equal": worked example, read
    back with the library's parser."""
    recorded = ServiceMetrics(WorkerPool("unused.json", 1, 1.0))
    for latency in (0.01, 0.0100001, 0.0004, 100.0):
        recorded.observe("/route", 200, latency, None)
    recorded.observe("/route", 404, 0.002, 0.001)
    samples = {(s.name, s.labels.get("le"), s.labels.get("status")): s.value
               for family in text_string_to_metric_families(recorded.exposition().decode())
               for s in family.samples if s.labels.get("endpoint") == "/route"}
    latency = "norvel_request_duration_seconds_bucket"
    assert [samples[(latency, le, None)] for le in ("0.0005", "0.005", "0.01", "0.025",
                                                    "60.0", "+Inf")] == [1, 2, 3, 4, 4, 5]
    assert str(LATENCY_BUCKETS[0]) == "0.0005"
    assert samples[("norvel_request_duration_seconds_sum", None, None)] == pytest.approx(
        0.01 + 0.0100001 + 0.0004 + 100.0 + 0.002)
    assert samples[("norvel_search_duration_seconds_count", None, None)] == 1
    assert (samples[("norvel_requests_total", None, "200")],
            samples[("norvel_requests_total", None, "404")]) == (4, 1)


def wait_for(condition, timeout_s=60):
    deadline = time.monotonic() + timeout_s
    while not (value := condition()):
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)
    return value


def generation(server):
    return server.get("/health")[1]["graph"]["generation"]


class SteadyClient:
    """Threads that each send GET /route one after another, recording (sent,
    answered, status, graph generation, body), until stopped, after
    ``limit`` requests each or after ``limit_s`` seconds."""

    def __init__(self, server, threads=2, limit=20_000, limit_s=90):
        self.server = server
        self.limit = limit
        self.deadline = time.monotonic() + limit_s
        self.stopped = threading.Event()
        self.records = [[] for _ in range(threads)]
        self.threads = [threading.Thread(target=self._run, args=(r,)) for r in self.records]
        for thread in self.threads:
            thread.start()

    def _run(self, records):
        import http.client

        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=60)
        while (not self.stopped.is_set() and len(records) < self.limit
               and time.monotonic() < self.deadline):
            sent = time.monotonic()
            connection.request("GET", ROUTE)
            response = connection.getresponse()
            body = response.read()
            records.append((sent, time.monotonic(), response.status,
                            int(response.getheader("x-norvel-graph", "0")), body))
            time.sleep(0.002)
        connection.close()

    def stop(self):
        self.stopped.set()
        for thread in self.threads:
            thread.join()
        return self.records


def test_reloads_under_load_drop_no_request_and_answer_on_the_graph_loaded(tmp_path):
    """The file is replaced three times, once by a broken document, while
    two clients send routes: every request succeeds, on the graph that was
    serving when it was sent; the broken file leaves the graph before it
    serving; the metrics count every request and reload."""
    expected = {}
    for number, scale in SCALES.items():
        routes = norvel.Router.from_json(scaled_grid(scale)).route(*PAIR)
        expected[number] = [route.distance_m for route in routes]
    assert len({tuple(v) for v in expected.values()}) == 3
    graph = tmp_path / "city.json"
    graph.write_text(scaled_grid(SCALES[1]))
    live = LiveServer(graph, "--workers", "2", "--reload-on-change")
    try:
        client = SteadyClient(live)
        # (monotonic time before the file changed, once /health shows it)
        switches = {}
        time.sleep(0.5)
        for number, text in ((2, scaled_grid(SCALES[2])), (None, BROKEN),
                             (3, scaled_grid(SCALES[3]))):
            before = time.monotonic()
            replace(graph, text)
            if number is None:
                wait_for(lambda: "last_reload_error" in live.get("/health")[1])
                assert generation(live) == 2
            else:
                wait_for(lambda: generation(live) == number)
                switches[number] = (before, time.monotonic())
            time.sleep(0.5)
        records = client.stop()
        health = live.get("/health")[1]
        # The old generations' workers and their graph are gone.
        wait_for(lambda: len(live.worker_pids()) == 2)
        counted = metrics(live)
    finally:
        assert live.stop() == 0, live.output()

    answered = [record for thread in records for record in thread]
    assert len(answered) > 100
    assert [r[2] for r in answered] == [200] * len(answered)
    for thread in records:
        generations = [r[3] for r in thread]
        assert generations == sorted(generations)
    for sent, done, _, number, body in answered:
        distances = [f["properties"]["distance_m"] for f in json.loads(body)["features"]]
        assert distances == expected[number]
        for new, (changed, seen) in switches.items():
            if sent > seen:
                assert number >= new
            if done < changed:
                assert number < new
    assert {r[3] for r in answered} == {1, 2, 3}
    assert health["graph"]["generation"] == 3 and "last_reload_error" not in health
    assert health["graph"]["nodes"] == SIZE * SIZE + 2
    log = live.output()
    assert "cannot reload" in log and str(graph) in log and "generation 2 goes on" in log

    def value(name, **labels):
        return counted.get((name, frozenset(labels.items())), 0.0)

    assert value("norvel_requests_total", endpoint="/route", status="200") == len(answered)
    assert value("norvel_request_duration_seconds_count", endpoint="/route") == len(answered)
    assert value("norvel_search_duration_seconds_count", endpoint="/route") == len(answered)
    assert 0 < value("norvel_search_duration_seconds_sum", endpoint="/route") < value(
        "norvel_request_duration_seconds_sum", endpoint="/route")
    assert value("norvel_graph_reloads_total", result="done") == 2
    assert value("norvel_graph_reloads_total", result="failed") == 1
    assert (value("norvel_graph_nodes"), value("norvel_graph_edges"), value(
        "norvel_graph_generation")) == (SIZE * SIZE + 2, health["edges"], 3)
    assert (value("norvel_workers"), value("norvel_workers_busy"),
            value("norvel_requests_waiting"), value("norvel_worker_restarts_total")) == (
        2, 0, 0, 0)


# A grid whose edges all cost the same: countless equal routes, so that the
# exact search between opposite corners takes about a second.
EQUAL_ROWS, EQUAL_COLS, EQUAL_FIRST = 8, 9, 1_000_000
EQUAL_LAST = EQUAL_FIRST + EQUAL_ROWS * EQUAL_COLS - 1
SLOW = f"/route?from_node={EQUAL_FIRST}&to_node={EQUAL_LAST}"
QUICK = f"/route?from_node={FIRST_ID}&to_node={FIRST_ID + 7}"
QUEUE = 2


def equal_grid_document(rows=EQUAL_ROWS, cols=EQUAL_COLS):
    return add_equal_cost_grid(grid_document(SIZE), EQUAL_FIRST, rows, cols)


@pytest.fixture(scope="module")
def busy_server(tmp_path_factory):
    path = tmp_path_factory.mktemp("ops") / "equal.json"
    path.write_text(json.dumps(equal_grid_document()))
    # A budget longer than the burst: the cap on waiting jobs decides.
    live = LiveServer(path, "--workers", "2", "--max-queue", str(QUEUE),
                      "--max-wait-s", "600", "--access-log", "json")
    yield live, path
    assert live.stop() == 0, live.output()


def burst(server, paths):
    """Sends the requests at once, each on its own connection: (status,
    Retry-After, seconds to the answer, body) of each, in order."""
    import http.client

    ready = threading.Barrier(len(paths))
    answers = [None] * len(paths)

    def send(index, path):
        connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=60)
        connection.connect()
        ready.wait()
        started = time.monotonic()
        connection.request("GET", path)
        response = connection.getresponse()
        body = response.read()
        answers[index] = (response.status, response.getheader("retry-after"),
                          time.monotonic() - started, body)
        connection.close()

    threads = [threading.Thread(target=send, args=(i, p)) for i, p in enumerate(paths)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return answers


def test_a_burst_beyond_the_queue_is_refused_at_once(busy_server):
    """Two workers and a queue of two: of a burst of ten times the queue,
    the requests beyond the workers and the queue get 503 with Retry-After
    at once, and those taken answer as the Router does."""
    server, path = busy_server
    expected = norvel.Router.from_file(path).route(EQUAL_FIRST, EQUAL_LAST)
    before = metrics(server)
    answers = burst(server, [SLOW] * (10 * QUEUE))
    taken = [a for a in answers if a[0] == 200]
    refused = [a for a in answers if a[0] == 503]
    assert len(taken) + len(refused) == len(answers)
    assert 2 + QUEUE <= len(taken) < len(answers) / 2, [a[:3] for a in answers]
    quickest_taken = min(a[2] for a in taken)
    for status, retry_after, seconds, body in refused:
        assert int(retry_after) >= 1
        assert json.loads(body) == {"error": f"the service is busy; try again in "
                                             f"{retry_after} s"}
        # At once: well before even the first requests taken were answered.
        assert seconds < quickest_taken / 2
    distances = [route.distance_m for route in expected]
    for _, _, _, body in taken:
        assert [f["properties"]["distance_m"] for f in json.loads(body)["features"]] == distances
    after = metrics(server)
    rejected = ("norvel_requests_rejected_total", frozenset({("reason", "queue")}))
    route_503 = ("norvel_requests_total", frozenset({("endpoint", "/route"),
                                                     ("status", "503")}))
    assert after[rejected] - before.get(rejected, 0) == len(refused)
    assert after[route_503] - before.get(route_503, 0) == len(refused)


def test_a_batch_counts_its_pairs_against_the_queue(busy_server):
    """A batch of more pairs than the queue holds waits for nobody when the
    service is free, and is refused while the queue is full."""
    server, _ = busy_server
    pairs = [[FIRST_ID, FIRST_ID + k] for k in range(1, 3 * QUEUE + 2)]
    slow = [threading.Thread(target=server.get, args=(SLOW,)) for _ in range(2 + QUEUE)]
    for thread in slow:
        thread.start()
    full = {("norvel_workers_busy", frozenset()): 2,
            ("norvel_requests_waiting", frozenset()): QUEUE}
    wait_for(lambda: all(metrics(server)[k] == v for k, v in full.items()), timeout_s=10)
    status, body = server.post("/routes", {"pairs": pairs[:1]})
    for thread in slow:
        thread.join()
    assert status == 503 and "busy" in body["error"]
    status, body = server.post("/routes", {"pairs": pairs})
    assert status == 200 and all("features" in r for r in body["results"])


def test_the_access_log_has_a_json_line_per_request(busy_server):
    server, _ = busy_server
    metrics(server)
    assert server.get(QUICK)[0] == 200
    assert server.get("/nowhere")[0] == 404

    def logged():
        # Written once the answer is sent: it may come just after it.
        lines = [json.loads(line) for line in server.output().splitlines()
                 if line.startswith("{")]
        return lines if lines and lines[-1]["path"] == "/nowhere" else None

    lines = wait_for(logged, timeout_s=10)
    quick, nowhere = lines[-2:]
    assert set(quick) == {"time", "method", "path", "status", "latency_s", "search_s",
                          "graph"}
    assert (quick["method"], quick["path"], quick["status"], quick["graph"]) == (
        "GET", "/route", 200, 1)
    assert 0 < quick["search_s"] <= quick["latency_s"]
    assert (nowhere["path"], nowhere["status"], nowhere["search_s"]) == ("/nowhere", 404, None)
    assert quick["time"].endswith("+00:00")
    assert lines[-3]["path"] == "/metrics" and lines[-3]["graph"] is None


def test_sighup_reloads_and_ends_no_process_it_reaches(tmp_path):
    """SIGHUP reloads; sent to the process group (here to each process), it
    ends neither the graph's process nor a worker."""
    graph = tmp_path / "city.json"
    graph.write_text(scaled_grid(SCALES[1]))
    live = LiveServer(graph, "--workers", "1")
    try:
        (worker,) = live.wait_for_workers(1)
        graph.write_text(scaled_grid(SCALES[2]))
        # Without --reload-on-change the change alone does nothing.
        time.sleep(1.0)
        assert generation(live) == 1
        for process in (live.zygote().pid, worker, live.process.pid):
            os.kill(process, signal.SIGHUP)
        wait_for(lambda: generation(live) == 2)
        status, body = live.get(ROUTE)
        assert status == 200
        assert body["features"][0]["properties"]["distance_m"] == norvel.Router.from_json(
            scaled_grid(SCALES[2])).route(*PAIR)[0].distance_m
        # The first generation's worker ends once the second serves.
        (new_worker,) = wait_for(lambda: [p for p in live.wait_for_workers(1) if p != worker])
        assert new_worker != worker
        # One sent away that cannot end (stopped here) is killed a grace later.
        psutil.Process(new_worker).suspend()
        live.process.send_signal(signal.SIGHUP)
        wait_for(lambda: generation(live) == 3)
        psutil.Process(new_worker).wait(timeout=DISMISS_GRACE_S + 10)
        assert live.get(ROUTE)[0] == 200
    finally:
        assert live.stop() == 0, live.output()


def test_a_reload_waits_for_the_generation_before_the_serving_one_to_end(tmp_path):
    """At most two graphs: with a request of the first generation still
    running (it runs into the time limit), a second reload waits for it to
    end before it loads a third graph."""
    graph = tmp_path / "equal.json"
    graph.write_text(json.dumps(equal_grid_document(10, 10)))
    runaway = f"/route?from_node={EQUAL_FIRST}&to_node={EQUAL_FIRST + 99}"
    live = LiveServer(graph, "--workers", "1", "--timeout-s", "3")
    try:
        answers = []
        thread = threading.Thread(target=lambda: answers.append(
            (live.request("GET", runaway), time.time())))
        thread.start()
        wait_for(lambda: metrics(live)[("norvel_workers_busy", frozenset())] == 1)
        live.process.send_signal(signal.SIGHUP)
        wait_for(lambda: generation(live) == 2)
        live.process.send_signal(signal.SIGHUP)
        thread.join()
        health = wait_for(lambda: (h := live.get("/health")[1])["graph"]["generation"] == 3
                          and h)
        counted = metrics(live)
    finally:
        assert live.stop() == 0, live.output()
    ((status, _, body), answered_at), = answers
    assert (status, json.loads(body)) == (504, {"error": "the request took longer than 3 s"})
    loaded_at = datetime.fromisoformat(health["graph"]["loaded_at"]).timestamp()
    assert loaded_at - health["graph"]["load_s"] > answered_at - 0.5
    assert counted[("norvel_requests_timed_out_total", frozenset({("kind", "route")}))] == 1
    assert counted[("norvel_graph_reloads_total", frozenset({("result", "done")}))] == 2


# Admission by expected wait.

def test_the_expected_wait_counts_the_work_ahead_over_the_workers():
    """Worked examples of the rule, on a clock given by hand: the running
    jobs' age stands in for a kind not yet measured; once measured, a
    running job needs what is left of its kind's mean, or as long again as
    it has run, never past the time limit; waiting jobs count their kind's
    mean; the wait is their sum over the workers."""
    from norvel.serve.admission import Admission, Overloaded, retry_after

    rule = Admission(workers=2, max_wait_s=1.0, max_queue=1024, limit_s=11.0)
    catchment = rule.kind("catchment")
    for lane in ("a", "b", "c", "d", "e"):
        rule.enqueue(catchment)
    rule.start("a", catchment, 0.0)
    rule.start("b", catchment, 0.0)
    # Fresh: two running 0.1 s so far, three waiting taken as long as that.
    assert rule.expected_wait_s(0.1) == pytest.approx((0.1 + 0.1 + 3 * 0.1) / 2)
    rule.admit(1, in_flight=5, now=0.1)
    with pytest.raises(Overloaded) as refused:
        rule.admit(1, in_flight=5, now=0.5)
    assert (refused.value.reason, refused.value.retry_after_s) == ("wait", 2)
    assert str(refused.value) == "the service is busy; try again in 2 s"
    # A worker free: taken, whatever the rest waits.
    rule.admit(100, in_flight=1, now=0.5)

    rule.finish("a", 0.4)
    assert catchment.mean_s == pytest.approx(0.4)
    # The worker's own time (0.6 s), when it tells it, rather than the
    # front's (0.7 s); the first counts e^-0.3 of itself, 0.3 s older.
    rule.finish("b", 0.7, 0.6)
    assert catchment.mean_s == pytest.approx(0.4 + 0.2 / (1 + math.exp(-0.3)))
    mean = catchment.mean_s
    rule.start("c", catchment, 1.0)
    # Before its mean, what is left of it; past it, as long again; near the
    # limit, what is left of the limit; and two waiting at the mean.
    for now, left in ((1.1, mean - 0.1), (1.5, 0.5), (10.0, 2.0)):
        assert rule.expected_wait_s(now) == pytest.approx((left + 2 * mean) / 2)
    rule.drop("c")
    assert catchment.mean_s == mean and rule.expected_wait_s(1.5) == pytest.approx(mean)

    # The spread: two catchments of 0.2 and 0.6 s at once, a mean of 0.4 s
    # and a spread of 0.2 s. One running and two waiting on one worker
    # expect 1.2 s with a spread of sqrt(3) 0.2 s: under a budget of 2 s
    # by the mean alone, over it with 2.33 spreads; one waiting fits.
    spread = Admission(workers=1, max_wait_s=2.0, max_queue=1024, limit_s=11.0)
    kind = spread.kind("catchment")
    kind.observe(0.2, 5.0)
    kind.observe(0.6, 5.0)
    assert (kind.mean_s, kind.variance_s2) == (pytest.approx(0.4), pytest.approx(0.04))
    spread.enqueue(kind)
    spread.start("a", kind, 5.0)
    spread.enqueue(kind)
    spread.admit(1, in_flight=2, now=5.0)
    spread.enqueue(kind)
    assert spread.wait_and_spread_s(5.0) == (pytest.approx(1.2), pytest.approx(0.2 * math.sqrt(3)))
    with pytest.raises(Overloaded) as refused:
        spread.admit(1, in_flight=3, now=5.0)
    assert refused.value.retry_after_s == 2

    # The cap on waiting jobs, whatever the wait.
    capped = Admission(workers=2, max_wait_s=60.0, max_queue=3, limit_s=11.0)
    capped.admit(3, in_flight=2, now=0.0)
    with pytest.raises(Overloaded) as refused:
        capped.admit(4, in_flight=2, now=0.0)
    assert (refused.value.reason, refused.value.retry_after_s) == ("queue", 1)
    assert dict(capped.rejected) == {"wait": 0, "queue": 1, "waited": 0}
    assert dict(rule.rejected) == {"wait": 1, "queue": 0, "waited": 0}

    # The wait observed: a job that waited the budget runs, one that waited
    # longer is refused, told the expected wait of the moment.
    rule.check_waited(1.0, now=1.5)
    with pytest.raises(Overloaded) as refused:
        rule.check_waited(1.01, now=1.5)
    assert (refused.value.reason, refused.value.retry_after_s) == ("waited", 1)
    assert rule.rejected["waited"] == 1

    # A budget of 0 takes a request only when a worker is free.
    none = Admission(workers=2, max_wait_s=0.0, max_queue=1024, limit_s=11.0)
    none.admit(5, in_flight=1, now=0.0)
    with pytest.raises(Overloaded):
        none.admit(1, in_flight=2, now=0.0)
    # A batch whose every pair is malformed has no job to wait.
    none.admit(0, in_flight=2, now=0.0)
    with pytest.raises(ValueError, match="0 or more seconds, got -1"):
        Admission(workers=2, max_wait_s=-1, max_queue=1, limit_s=1.0)
    assert [retry_after(s) for s in (0.0, 0.2, 1.0, 1.01, 1e9)] == [1, 1, 1, 2, 60]


def gauge(server, name, **labels):
    return metrics(server).get((name, frozenset(labels.items())))


def route_distances(body):
    return [f["properties"]["distance_m"] for f in json.loads(body)["features"]]


@pytest.fixture(scope="module")
def equal_grid(tmp_path_factory):
    path = tmp_path_factory.mktemp("admission") / "equal.json"
    path.write_text(json.dumps(equal_grid_document()))
    return path


def test_a_steady_load_within_capacity_gets_no_refusal(equal_grid):
    """Default settings, two workers: 32 clients sending quick routes at
    once and back to back, far more than the old count of 4 waiting jobs
    per worker took, are all answered, and right."""
    live = LiveServer(equal_grid, "--workers", "2")
    try:
        expected = route_distances(live.request("GET", QUICK)[2])
        answers = [burst(live, [QUICK] * 32) for _ in range(5)]
        counted = metrics(live)
    finally:
        assert live.stop() == 0, live.output()
    statuses = Counter(a[0] for wave in answers for a in wave)
    assert statuses == {200: 32 * 5}
    assert all(route_distances(a[3]) == expected for wave in answers for a in wave)
    assert counted[("norvel_wait_limit_seconds", frozenset())] == 1.0
    assert counted[("norvel_queue_limit", frozenset())] == 1024
    assert 0 < counted[("norvel_job_estimate_seconds", frozenset({("kind", "route")}))] < 0.1
    assert counted[("norvel_expected_wait_seconds", frozenset())] == 0.0
    assert sum(v for (name, _), v in counted.items()
               if name == "norvel_requests_rejected_total") == 0


def test_an_overload_is_refused_at_once_by_its_expected_wait(equal_grid):
    """Slow routes (half a second to a second each, by the machine)
    measured once, then a burst of twice what two workers with a budget of
    2.5 s take by that measure: the two free workers and about as many as
    fit the budget are taken, the rest refused at once with the expected
    wait rounded up, at least the budget; those taken answer as the Router
    does. (The last taken may wait past the budget, when the routes ahead
    of them run long: those are refused once they have.)"""
    distances = [r.distance_m for r in norvel.Router.from_file(equal_grid).route(
        EQUAL_FIRST, EQUAL_LAST)]
    workers, budget_s = 2, 2.5
    live = LiveServer(equal_grid, "--workers", str(workers), "--max-wait-s", str(budget_s))
    try:
        assert live.request("GET", SLOW)[0] == 200
        estimate_s = metrics(live)[("norvel_job_estimate_seconds", frozenset({("kind", "route")}))]
        # Waiting jobs are taken while their share of the work ahead fits
        # the budget: at most workers x budget / the estimate of them.
        fit = math.floor(workers * budget_s / estimate_s)
        answers = burst(live, [SLOW] * min(64, 2 * (workers + fit)))
        counted = metrics(live)
    finally:
        assert live.stop() == 0, live.output()
    taken = [a for a in answers if a[0] == 200]
    refused = sorted((a for a in answers if a[0] == 503), key=lambda a: a[2])
    assert len(taken) + len(refused) == len(answers)
    late = int(counted[("norvel_requests_rejected_total", frozenset({("reason", "waited")}))])
    at_once, waited = refused[:len(refused) - late], refused[len(refused) - late:]
    assert workers <= len(taken) + late <= workers + fit + 1, (
        estimate_s, [a[:3] for a in answers])
    assert at_once
    quickest_taken = min(a[2] for a in taken)
    for _, retry_after, seconds, body in refused:
        assert busy_answer(body) == retry_after
    for _, retry_after, seconds, _ in at_once:
        assert int(retry_after) >= 3
        assert seconds < quickest_taken / 2
    assert all(seconds > budget_s for _, _, seconds, _ in waited)
    assert all(route_distances(a[3]) == distances for a in taken)
    assert counted[("norvel_requests_rejected_total",
                    frozenset({("reason", "wait")}))] == len(at_once)
    assert counted[("norvel_requests_rejected_total", frozenset({("reason", "queue")}))] == 0


def test_a_budget_of_zero_refuses_whatever_would_wait(equal_grid):
    """One worker and --max-wait-s 0: while it runs a slow route, even a
    quick one is refused; once it is free, taken."""
    live = LiveServer(equal_grid, "--workers", "1", "--max-wait-s", "0")
    try:
        slow = threading.Thread(target=live.request, args=("GET", SLOW))
        slow.start()
        wait_for(lambda: gauge(live, "norvel_workers_busy") == 1, timeout_s=10)
        status, kind, body = live.request("GET", QUICK)
        posted = live.post("/routes", {"pairs": [[FIRST_ID, FIRST_ID + 1]]})
        slow.join()
        assert status == 503
        assert re.fullmatch(r"the service is busy; try again in \d+ s",
                            json.loads(body)["error"])
        assert posted[0] == 503
        assert live.get(QUICK)[0] == 200
        assert gauge(live, "norvel_requests_rejected_total", reason="wait") == 2
    finally:
        assert live.stop() == 0, live.output()


def test_a_fresh_server_refuses_by_the_running_jobs_age(tmp_path):
    """Nothing measured yet: a route running into the time limit, once it
    has run past the budget, makes the next request wait at least that
    long, and it is refused though no route was ever answered."""
    graph = tmp_path / "equal.json"
    graph.write_text(json.dumps(equal_grid_document(10, 10)))
    runaway = f"/route?from_node={EQUAL_FIRST}&to_node={EQUAL_FIRST + 99}"
    live = LiveServer(graph, "--workers", "1", "--timeout-s", "5")
    try:
        thread = threading.Thread(target=live.request, args=("GET", runaway))
        thread.start()
        wait_for(lambda: gauge(live, "norvel_expected_wait_seconds") > 1.0, timeout_s=10)
        counted = metrics(live)
        status, _, body = live.request("GET", QUICK)
        thread.join()
    finally:
        assert live.stop() == 0, live.output()
    assert status == 503 and "busy" in json.loads(body)["error"]
    assert not any(name == "norvel_job_estimate_seconds" for name, _ in counted)


def busy_answer(body):
    """The Retry-After the body of a 503 for a busy service names."""
    found = re.fullmatch(r'\{"error": ?"the service is busy; try again in (\d+) s"\}',
                         body.decode())
    assert found, body
    return found[1]


# Corner to corner of a 12 x 12 grid of equal edges: a search that runs
# into any time limit of a few seconds.
CORNERS = f"/route?from_node={EQUAL_FIRST}&to_node={EQUAL_FIRST + 12 * 12 - 1}"


def corners_graph(folder):
    graph = folder / "equal.json"
    graph.write_text(json.dumps(equal_grid_document(12, 12)))
    return graph


def test_a_cold_burst_waits_for_no_worker_past_its_time_limit(tmp_path):
    """One worker, a limit of 2 s, a fresh server, and 60 routes sent at
    once that each run into the limit: a minute of work that the
    forecast, with nothing measured, cannot refuse. No request waits its
    turn past the limit or runs after waiting past the budget (1 s): each
    is answered within the limit, the grace and a few seconds more, a 503
    with Retry-After or a 504, and every refusal is counted."""
    timeout_s = 2
    live = LiveServer(corners_graph(tmp_path), "--workers", "1", "--timeout-s", str(timeout_s))
    try:
        answers = burst(live, [CORNERS] * 60)
        counted = metrics(live)
    finally:
        assert live.stop() == 0, live.output()
    statuses = Counter(a[0] for a in answers)
    assert set(statuses) <= {503, 504}, statuses
    assert max(a[2] for a in answers) < timeout_s + GRACE_S + 5, sorted(
        a[:3] for a in answers)
    for status, retry_after, _, body in answers:
        if status == 503:
            assert busy_answer(body) == retry_after and int(retry_after) >= 1
        else:
            assert json.loads(body) == {"error": "the request took longer than 2 s"}
    refused = sum(v for (name, _), v in counted.items()
                  if name == "norvel_requests_rejected_total")
    assert refused == statuses[503]
    assert counted[("norvel_requests_timed_out_total",
                    frozenset({("kind", "route")}))] == statuses[504]


def test_a_job_that_waited_past_the_budget_is_refused_when_a_worker_takes_it(tmp_path):
    """A fresh pool of one worker with a budget of 0.2 s: a route running
    into its 1 s limit, then a batch of three chunks sent while it runs,
    which the forecast takes (nothing measured, nothing aged). The first
    chunk waited about a second when the worker took it: its pairs are
    refused in the batch's answer, and the later chunks, which found the
    worker idle, are answered. Alone, a request that waited so is refused
    whole."""
    import asyncio

    from norvel.serve.admission import Overloaded

    corners = ("route", CORNERS.partition("?")[2].encode())
    pairs = [("pair", FIRST_ID, FIRST_ID + k, 0.0, 250.0) for k in range(1, 36)]

    async def scenario():
        pool = WorkerPool(str(corners_graph(tmp_path)), 1, 1.0, max_wait_s=0.2)
        await pool.start()
        try:
            running = asyncio.ensure_future(pool.run([corners]))
            await asyncio.sleep(0.05)
            batch = asyncio.ensure_future(pool.run(pairs))
            await asyncio.sleep(0.05)
            alone = asyncio.ensure_future(pool.run([("route", QUICK.partition("?")[2].encode())]))
            return (await asyncio.gather(running, batch, alone, return_exceptions=True),
                    dict(pool.admission.rejected))
        finally:
            await pool.close()

    (running, batch, alone), rejected = asyncio.run(scenario())
    assert running == [(504, b'{"error":"the request took longer than 1 s"}')]
    assert [status for status, _ in batch] == [503] * 16 + [200] * 19
    assert all(busy_answer(body) for _, body in batch[:16])
    assert isinstance(alone, Overloaded) and alone.reason == "waited"
    assert alone.retry_after_s >= 1
    assert rejected == {"wait": 0, "queue": 0, "waited": 2}


def test_a_job_still_waiting_when_its_time_limit_passes_gets_504_unrun(tmp_path):
    """A budget far longer than the limit (600 s against 1 s), one worker
    and five routes that each run into the limit, sent at once: at most the
    first two run, and the others are answered 504 as their limit passes
    while they wait, all five by about 2 s where running each in turn
    would take 5."""
    import asyncio

    corners = ("route", CORNERS.partition("?")[2].encode())

    async def scenario():
        pool = WorkerPool(str(corners_graph(tmp_path)), 1, 1.0, max_wait_s=600.0)
        await pool.start()
        try:
            started = time.monotonic()
            answers = await asyncio.gather(*(pool.run([corners]) for _ in range(5)))
            return answers, time.monotonic() - started, pool.stats.timeouts
        finally:
            await pool.close()

    answers, seconds, timeouts = asyncio.run(scenario())
    assert answers == [[(504, b'{"error":"the request took longer than 1 s"}')]] * 5
    assert seconds < 3.5 and timeouts == {"route": 5}


def test_the_pool_leaves_nothing_counted_once_its_requests_end(equal_grid):
    """Slow and quick routes, a batch of several chunks, refusals (at
    once, and of chunks that waited behind the slow routes) and a request
    given up by its client halfway (its worker killed and replaced): once
    all have ended, nothing waits or runs in the rule's books, and what was
    answered is measured."""
    import asyncio

    from norvel.serve.admission import Overloaded

    def route(path):
        return ("route", path.partition("?")[2].encode())

    async def scenario():
        pool = WorkerPool(str(equal_grid), 2, 30.0, max_wait_s=0.2)
        await pool.start()
        try:
            gone = asyncio.ensure_future(pool.run([route(SLOW)]))
            await asyncio.sleep(0.2)
            gone.cancel()
            pairs = [("pair", FIRST_ID, FIRST_ID + k, 0.0, 250.0) for k in range(1, 36)]
            runs = [asyncio.ensure_future(pool.run(jobs))
                    for jobs in ([route(SLOW)], [route(SLOW)], pairs)]
            # Both workers on slow routes for 0.4 s: quick ones now would wait.
            await asyncio.sleep(0.4)
            runs += [asyncio.ensure_future(pool.run([route(QUICK)])) for _ in range(20)]
            results = await asyncio.gather(*runs, return_exceptions=True)
            admission = pool.admission
            return (results, admission.expected_wait_s(time.monotonic()),
                    {name: kind.waiting for name, kind in admission.kinds.items()},
                    {name: kind.mean_s is not None for name, kind in admission.kinds.items()},
                    sum(admission.rejected.values()))
        finally:
            await pool.close()

    results, wait_s, waiting, measured, rejected = asyncio.run(scenario())
    answered = [r for r in results if isinstance(r, list)]
    assert all(isinstance(r, Overloaded) for r in results if not isinstance(r, list))
    chunks = [[status for status, _ in r[start:start + CHUNK]]
              for r in answered for start in range(0, len(r), CHUNK)]
    refused_chunks = sum(statuses == [503] * len(statuses) for statuses in chunks)
    assert rejected == len(results) - len(answered) + refused_chunks > 0
    assert len(answered) >= 3 and all(
        status == 200 or busy_answer(body) for r in answered for status, body in r)
    assert (wait_s, waiting, measured) == (0.0, {"route": 0, "pair": 0},
                                           {"route": True, "pair": True})
