import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

# Every edge of a grid costs the same, so the search keeps every path of
# equal costs: a request across it runs for minutes unless stopped.
CHILD = textwrap.dedent("""
    import json, sys, time
    import norvel_core

    side = 11
    nodes = [{"id": r * side + c, "lat": 48.0 + r * 1e-3, "lon": 2.0 + c * 1e-3}
             for r in range(side) for c in range(side)]
    edges = []
    for r in range(side):
        for c in range(side):
            here = r * side + c
            for there in ([here + 1, here - 1] if 0 < c < side - 1 else [here + 1] if c == 0 else [here - 1]) + \\
                         ([here + side] if r < side - 1 else []) + ([here - side] if r > 0 else []):
                edges.append({"from": here, "to": there, "distance_m": 100.0, "risk_score": 0.5})
    graph = norvel_core.PyGraph.from_json(json.dumps({"nodes": nodes, "edges": edges}))
    print("ready", flush=True)
    try:
        norvel_core.compute_safe_routes(graph, 0, side * side - 1, 0.0)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    assert sys.exc_info() == (None, None, None)
    # The graph is free for the next request, and no exception lingers.
    routes = norvel_core.compute_safe_routes(graph, 0, 2, 0.0)
    print("again", [route.path for route in routes], flush=True)
""")


def test_ctrl_c_stops_a_long_request_and_leaves_the_graph_usable():
    child = subprocess.Popen([sys.executable, "-X", "faulthandler", "-c", CHILD], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=os.environ.copy())
    # Only a safety net: a child still running by then has hung.
    guard = threading.Timer(60.0, child.kill)
    guard.start()
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        line = child.stdout.readline()
        delay = time.monotonic() - sent
        print(f"KeyboardInterrupt {delay * 1000:.1f} ms after SIGINT")
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
