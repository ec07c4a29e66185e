"""Cost of crossing the Python boundary: calls, conversions, getters, repr.

Run: PYTHONPATH=<dir holding norvel_core> python tests/python/bench_python_layer.py
Not a test: it prints timings and the resident memory before and after.
"""
import json
import timeit

import norvel_core

compute = norvel_core.compute_safe_routes


def resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def main():
    doc = json.dumps({
        "nodes": [{"id": i, "lat": 48.0, "lon": 2.0} for i in (1, 2, 3)],
        "edges": [{"from": 1, "to": 3, "distance_m": 105.0, "risk_score": 0.5},
                  {"from": 1, "to": 2, "distance_m": 50.0, "risk_score": 0.1},
                  {"from": 2, "to": 3, "distance_m": 60.0, "risk_score": 0.1}],
    })
    graph = norvel_core.PyGraph.from_json(doc)
    route = compute(graph, 1, 3, 0.0)[1]
    cases = {
        "compute_safe_routes, 2 routes (positional)": lambda: compute(graph, 1, 3, 0.0),
        "compute_safe_routes, 2 routes (keywords)": lambda: compute(graph=graph, source=1, target=3, eps=0.0),
        "compute_safe_routes, E1 RuntimeError": lambda: _swallow(compute, graph, 9, 3, 0.0),
        "compute_safe_routes, binding TypeError": lambda: _swallow(compute, graph, 1),
        "compute_safe_routes, conversion TypeError": lambda: _swallow(compute, graph, 1, 3, "x"),
        "PyGraph.from_json, 3 nodes": lambda: norvel_core.PyGraph.from_json(doc),
        "PyGraph.node_count": graph.node_count,
        "PyRouteResult.path (3 ids)": lambda: route.path,
        "PyRouteResult.total_risk": lambda: route.total_risk,
        "repr(PyRouteResult)": lambda: repr(route),
    }
    before = resident_kib()
    for name, call in cases.items():
        number = 20000
        best = min(timeit.repeat(call, number=number, repeat=5)) / number
        print(f"{name:45s} {best * 1e9:9.0f} ns/call")
    print(f"resident memory: {before} KiB before, {resident_kib()} KiB after")


def _swallow(function, *args):
    try:
        function(*args)
    except (TypeError, RuntimeError):
        pass


if __name__ == "__main__":
    main()
