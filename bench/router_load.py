"""Time and resident memory of a norvel.Router loaded from a graph document
file, beside norvel.load_graph alone (reading the file and
norvel_core.PyGraph.from_json: the module's own graph and nothing else).

    PY=.venv/bin/python
    $PY ../shared/bench/roadgen.py --nodes 1000000 --risk-div 1000 --out /tmp/grid1m
    $PY bench/router_load.py /tmp/grid1m.json [--repeat 3]

The first is the module alone, in an interpreter that imports nothing
else (not even numpy); the router's figures include importing norvel and
numpy. Each load runs in a fresh interpreter (so that memory freed by one cannot
serve the next), the two kinds alternating, --repeat times each. Shown: the
least wall and processor times of the load, and the resident memory of the
process once loaded (VmRSS), for load_graph, Router.from_file, and the
router after build_index() (its nearest-node index).
"""

from __future__ import annotations

import argparse
import inspect
import json
import statistics
import subprocess
import sys

from bench_common import document_bytes, rss_mib

CHILD = r"""
import gc, gzip, json, os, sys, time
""" + inspect.getsource(document_bytes) + inspect.getsource(rss_mib) + r"""
path, kind = sys.argv[1], sys.argv[2]
if kind == "load_graph":
    import norvel_core
else:
    import norvel
gc.collect()
wall, cpu = time.perf_counter(), time.process_time()
if kind == "load_graph":
    # The module alone, without even numpy: what the graph itself costs.
    data = document_bytes(path)
    value = norvel_core.PyGraph.from_json(data.decode())
    del data
else:
    value = norvel.Router.from_file(path)
wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
gc.collect()
result = {"wall": wall, "cpu": cpu, "rss": rss_mib()}
if kind == "router":
    start = time.perf_counter()
    value.build_index()
    result["index_wall"] = time.perf_counter() - start
    gc.collect()
    result["rss_index"] = rss_mib()
print(json.dumps(result))
"""


def run(path: str, kind: str) -> dict[str, float]:
    done = subprocess.run([sys.executable, "-c", CHILD, path, kind],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("graph", help="graph document, .json or .json.gz")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    runs: dict[str, list[dict[str, float]]] = {"load_graph": [], "router": []}
    for _ in range(args.repeat):
        for kind in runs:
            runs[kind].append(run(args.graph, kind))

    def least(kind: str, key: str) -> float:
        return min(r[key] for r in runs[kind])

    def middle(kind: str, key: str) -> float:
        return statistics.median(r[key] for r in runs[kind])

    print(f"{args.graph}: least times and median memory of {args.repeat} "
          f"runs each")
    print(f"{'':34} {'wall s':>8} {'cpu s':>8} {'RSS MiB':>9}")
    print(f"{'load_graph (PyGraph.from_json)':34} "
          f"{least('load_graph', 'wall'):8.2f} {least('load_graph', 'cpu'):8.2f} "
          f"{middle('load_graph', 'rss'):9.0f}")
    print(f"{'Router.from_file':34} {least('router', 'wall'):8.2f} "
          f"{least('router', 'cpu'):8.2f} {middle('router', 'rss'):9.0f}")
    print(f"{'  then build_index()':34} {least('router', 'index_wall'):8.2f} "
          f"{'':8} {middle('router', 'rss_index'):9.0f}")
    print(f"Router.from_file / load_graph: "
          f"{least('router', 'wall') / least('load_graph', 'wall'):.2f}x wall, "
          f"{least('router', 'cpu') / least('load_graph', 'cpu'):.2f}x cpu; "
          f"memory with the index "
          f"{middle('router', 'rss_index') / middle('load_graph', 'rss'):.2f}x")


if __name__ == "__main__":
    main()
