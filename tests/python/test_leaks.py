"""Reference counts and memory stay flat across many calls, failures included."""
import json
import sys

import pytest

import norvel_core
from conftest import run_python

compute = norvel_core.compute_safe_routes
PyGraph = norvel_core.PyGraph


def grid_document(side):
    nodes = [{"id": 10**12 + i, "lat": 48.0 + (i // side) * 1e-4, "lon": 2.0 + (i % side) * 1e-4}
             for i in range(side * side)]
    edges = []
    for i in range(side * side):
        for j in (i + 1, i + side):
            if j < side * side and (j != i + 1 or j % side):
                edges.append({"from": 10**12 + i, "to": 10**12 + j, "distance_m": 10.0 + (i * 7 + j) % 13,
                              "risk_score": ((i * 5 + j) % 11) / 10})
    return json.dumps({"nodes": nodes, "edges": edges})


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def under_address_sanitizer():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def exercise(graph_text, graph, inputs):
    """One round of every kind of call: successes and each kind of failure."""
    source, target, eps, index, bad_text = inputs
    small = PyGraph.from_json(graph_text)
    for route in compute(small, source, target, eps) + compute(graph, index, target, 0.0):
        route.path, route.route_type, route.total_distance_m, route.total_risk, route.comfort_score
        route.node_count, route.total_familiarity, route.estimated_time_min, repr(route)
    small.node_count(), small.edge_count(), PyGraph.from_json(json_str=graph_text)
    failures = [
        lambda: compute(),
        lambda: compute(graph, source, target, eps, 1),
        lambda: compute(graph, source, target, eps, graph=graph),
        lambda: compute(graph, source, epsilon=eps),
        lambda: compute(None, source, target, eps),
        lambda: compute(graph, 1.5, target, eps),
        lambda: compute(graph, -1, target, eps),
        lambda: compute(graph, source, 2**64, eps),
        lambda: compute(graph, source, target, "0.1"),
        lambda: compute(graph, source, target, 10**400),
        lambda: compute(graph, 7, target, eps),          # E1
        lambda: compute(graph, source, 7, eps),          # E2
        lambda: compute(graph, target, source, eps),     # E3: nothing leaves the last node
        lambda: compute(graph, source + 1, source, eps),  # E4: nothing enters the first node
        lambda: PyGraph.from_json(bad_text),
        lambda: PyGraph.from_json(b"{}"),
        lambda: PyGraph.from_json("\udc80"),
        lambda: PyGraph.from_json(text=graph_text),
        lambda: PyGraph(),
        lambda: norvel_core.PyRouteResult(1),
    ]
    for failing in failures:
        try:
            failing()
        except (TypeError, OverflowError, RuntimeError, ValueError, UnicodeEncodeError):
            pass


def test_many_calls_leave_reference_counts_and_memory_flat():
    side = 12
    graph_text = grid_document(side)
    graph = PyGraph.from_json(graph_text)
    first = 10**12
    inputs = (first, first + side * side - 1, 0.05, Index(first), graph_text[:-3])
    watched = (graph, graph_text, *inputs, PyGraph, norvel_core.PyRouteResult)

    for _ in range(50):
        exercise(graph_text, graph, inputs)
    counts = [sys.getrefcount(obj) for obj in watched]
    blocks = sys.getallocatedblocks()
    rss = resident_kib()

    for _ in range(1000):
        exercise(graph_text, graph, inputs)

    assert [sys.getrefcount(obj) for obj in watched] == counts
    # One leaked object per round would show as 1000 blocks.
    assert sys.getallocatedblocks() - blocks < 200
    if not under_address_sanitizer():  # its quarantine holds freed memory back on purpose
        # Each round builds two 144-node graphs: leaking them would add megabytes.
        assert resident_kib() - rss < 4096


ALLOCATION_SWEEP = """
import _testcapi, json, sys
import norvel_core
compute = norvel_core.compute_safe_routes
doc = json.dumps({"nodes": [{"id": i, "lat": 48.0, "lon": 2.0} for i in (1, 2, 3)],
                  "edges": [{"from": 1, "to": 3, "distance_m": 105.0, "risk_score": 0.5},
                            {"from": 1, "to": 2, "distance_m": 50.0, "risk_score": 0.1},
                            {"from": 2, "to": 3, "distance_m": 60.0, "risk_score": 0.1}]})
graph = norvel_core.PyGraph.from_json(doc)
routes = compute(graph, 1, 3, 0.0)
source, eps = 2**64 + 1, 0.0
class Index:
    def __index__(self):
        return 1
index = Index()
from operator import attrgetter
PyGraph = norvel_core.PyGraph
# Only C callables: a Python frame between the harness and the module would
# need its frame object allocated while unwinding, which the interpreter
# itself does not survive cleanly.
calls = {
    "routes": (compute, (graph, 1, 3, eps), {}),
    "keywords": (compute, (), {"graph": graph, "source": index, "target": 3, "eps": eps}),
    "from_json": (PyGraph.from_json, (doc,), {}),
    "path": (attrgetter("path"), (routes[1],), {}),
    "repr": (repr, (routes[0],), {}),
    "route_type": (attrgetter("route_type"), (routes[0],), {}),
    "node_count": (graph.node_count, (), {}),
    "missing": (compute, (graph, 1), {}),
    "unexpected": (compute, (graph, 1, 3), {"epsilon": eps}),
    "bad graph": (compute, (None, 1, 3, eps), {}),
    "bad source": (compute, (graph, 1.5, 3, eps), {}),
    "overflow": (compute, (graph, source, 3, eps), {}),
    "bad eps": (compute, (graph, 1, 3, "x"), {}),
    "E1": (compute, (graph, 9, 3, eps), {}),
    "bad document": (PyGraph.from_json, ("{}",), {}),
    "refused": (PyGraph, (), {}),
}
def attempt(call, start):
    function, args, kwargs = call
    sys._getframe()  # the frame object exists before any allocation can fail
    # Only the one allocation numbered `start` fails; when it falls after the
    # call (in this harness), the outcome is a MemoryError of the harness.
    try:
        try:
            _testcapi.set_nomemory(start, start + 1)
            function(*args, **kwargs)
            return "ok"
        finally:
            _testcapi.remove_mem_hooks()
    except BaseException as error:
        return type(error).__name__
counts = [sys.getrefcount(o) for o in (graph, doc, source, eps, index, *routes)]
outcomes = set()
for name, call in calls.items():
    for start in range(40):
        outcomes.add((name, attempt(call, start)))
assert [sys.getrefcount(o) for o in (graph, doc, source, eps, index, *routes)] == counts
assert [repr(r) for r in compute(graph, 1, 3, 0.0)] == [repr(r) for r in routes]
for name, outcome in sorted(outcomes):
    print(name, outcome, sep=":")
"""

EXPECTED_FAILURE = {
    "missing": "TypeError", "unexpected": "TypeError", "bad graph": "TypeError",
    "bad source": "TypeError", "overflow": "OverflowError", "bad eps": "TypeError",
    "E1": "RuntimeError", "bad document": "ValueError", "refused": "TypeError",
}


def test_interpreter_allocation_failures_at_every_step_are_clean():
    # Makes each of the first interpreter allocations of every kind of call
    # fail in turn: each call must end in its normal outcome, a MemoryError or
    # a PanicException, and leave no reference behind.
    result = run_python(ALLOCATION_SWEEP, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    for line in result.stdout.splitlines():
        name, outcome = line.split(":")
        normal = EXPECTED_FAILURE.get(name, "ok")
        assert outcome in (normal, "MemoryError", "PanicException"), line
    assert "routes:PanicException" in result.stdout.splitlines()
