"""A long request ends with the exception a signal handler raises, at once,
leaving nothing behind and the graph usable."""
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import norvel_core
from test_leaks import resident_kib, under_address_sanitizer


def equal_cost_grid(side):
    """Every edge of the grid costs the same, so the search keeps every path
    of equal costs: a request from corner to corner runs for minutes."""
    nodes = [{"id": r * side + c, "lat": 48.0 + r * 1e-3, "lon": 2.0 + c * 1e-3}
             for r in range(side) for c in range(side)]
    edges = []
    for r in range(side):
        for c in range(side):
            here = r * side + c
            for there, inside in ((here + 1, c + 1 < side), (here + side, r + 1 < side)):
                if inside:
                    edges.append({"from": here, "to": there, "distance_m": 100.0, "risk_score": 0.5})
                    edges.append({"from": there, "to": here, "distance_m": 100.0, "risk_score": 0.5})
    return json.dumps({"nodes": nodes, "edges": edges})


CHILD = textwrap.dedent("""
    import sys
    import norvel_core

    graph = norvel_core.PyGraph.from_json(sys.stdin.read())
    print("ready", flush=True)
    try:
        norvel_core.compute_safe_routes(graph, 0, 11 * 11 - 1, 0.0)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    assert sys.exc_info() == (None, None, None)
    routes = norvel_core.compute_safe_routes(graph, 0, 2, 0.0)
    print("again", [route.path for route in routes], flush=True)
""")


def test_ctrl_c_stops_a_long_request_and_leaves_the_graph_usable():
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(norvel_core.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in [module_dir, env.get("PYTHONPATH", "")] if p)
    child = subprocess.Popen([sys.executable, "-X", "faulthandler", "-c", CHILD], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    # Only a safety net: a child still running by then has hung.
    guard = threading.Timer(60.0, child.kill)
    guard.start()
    try:
        child.stdin.write(equal_cost_grid(11))
        child.stdin.close()
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        line = child.stdout.readline()
        print(f"KeyboardInterrupt {(time.monotonic() - sent) * 1000:.1f} ms after SIGINT")
        assert line == "interrupted\n"
        assert child.stdout.readline() == "again [[0, 1, 2]]\n"
        assert child.wait() == 0, child.stderr.read()
    finally:
        guard.cancel()
        if child.poll() is None:
            child.kill()
            child.wait()
        child.stdout.close()
        child.stderr.close()


class Alarm(Exception):
    pass


def raise_alarm(signum, frame):
    raise Alarm


def test_many_interrupted_requests_leave_reference_counts_and_memory_flat():
    graph = norvel_core.PyGraph.from_json(equal_cost_grid(10))
    previous = signal.signal(signal.SIGALRM, raise_alarm)

    def interrupted():
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        with pytest.raises(Alarm):
            norvel_core.compute_safe_routes(graph, 0, 99, 0.0)

    try:
        for _ in range(5):
            interrupted()
        count = sys.getrefcount(graph)
        blocks = sys.getallocatedblocks()
        rss = resident_kib()
        for _ in range(40):
            interrupted()
        assert sys.getrefcount(graph) == count
        assert sys.getallocatedblocks() - blocks < 200
        if not under_address_sanitizer():
            # Each request holds megabytes of labels when it is stopped.
            assert resident_kib() - rss < 8192
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert [route.path for route in norvel_core.compute_safe_routes(graph, 0, 2, 0.0)] == [[0, 1, 2]]
