import json
import os
import subprocess
import sys
import textwrap

import pytest

import norvel_core

# Every route's walking time is its distance at this pace (metres per minute).
WALKING_PACE = 66.67


def graph_text(nodes, edges):
    """A graph document: nodes as (id, lat, lon), edges as (from, to, distance_m, risk_score)."""
    return json.dumps({
        "nodes": [{"id": i, "lat": lat, "lon": lon} for i, lat, lon in nodes],
        "edges": [{"from": a, "to": b, "distance_m": d, "risk_score": r} for a, b, d, r in edges],
    })


def make_graph(nodes, edges):
    return norvel_core.PyGraph.from_json(graph_text(nodes, edges))


def single_edge_route(distance_m, risk):
    """The one route over a graph 1 -> 2 with the given edge costs."""
    graph = make_graph([(1, 0.0, 0.0), (2, 0.0, 0.0)], [(1, 2, distance_m, risk)])
    (route,) = norvel_core.compute_safe_routes(graph, 1, 2, 0.0)
    return route


@pytest.fixture
def worked_graph():
    """Three nodes at one place; 1->3 is short and risky, 1->2->3 longer and safer."""
    return make_graph(
        [(1, 48.0, 2.0), (2, 48.0, 2.0), (3, 48.0, 2.0)],
        [(1, 3, 105.0, 0.5), (1, 2, 50.0, 0.1), (2, 3, 60.0, 0.1)],
    )


def run_python(code, timeout=120):
    """Runs `code` in a fresh interpreter that finds norvel_core where this one did."""
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(norvel_core.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in [module_dir, env.get("PYTHONPATH", "")] if p)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, env=env, timeout=timeout,
    )
