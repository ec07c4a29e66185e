"""Seconds to build a norvel.Router from a graph document file, beside
norvel.load_graph alone (the PyGraph without a coordinate table), and what
the router leaves for later: its edges (which nodes have an outgoing edge)
and the nearest-node index.

    PY=.venv/bin/python
    $PY ../shared/bench/roadgen.py --nodes 1000000 --risk-div 1000 --out /tmp/grid1m
    $PY bench/router_load.py /tmp/grid1m.json [--repeat 5]

The two loads alternate, --repeat times each; the least wall and processor
times are shown (processor time is steadier on a busy machine), and the
median of the ratios of each pair of neighbouring runs.
"""

from __future__ import annotations

import argparse
import gc
import statistics
import time
from collections.abc import Callable

import norvel


def timed(run: Callable[[], object]) -> tuple[float, float, object]:
    gc.collect()
    wall, cpu = time.perf_counter(), time.process_time()
    value = run()
    return time.perf_counter() - wall, time.process_time() - cpu, value


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("graph", help="graph document, .json or .json.gz")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    best: dict[str, list[float]] = {}
    ratios: list[float] = []

    def keep(name: str, wall: float, cpu: float) -> None:
        old = best.setdefault(name, [wall, cpu])
        best[name] = [min(old[0], wall), min(old[1], cpu)]

    for _ in range(args.repeat):
        wall, base_cpu, graph = timed(lambda: norvel.load_graph(args.graph))
        keep("load_graph", wall, base_cpu)
        del graph
        wall, cpu, router = timed(lambda: norvel.Router.from_file(args.graph))
        keep("Router.from_file", wall, cpu)
        ratios.append(cpu / base_cpu)
        assert isinstance(router, norvel.Router)
        wall, cpu, _ = timed(router.table.load_edges)
        keep("  then its edges", wall, cpu)
        wall, cpu, _ = timed(router.build_index)
        keep("  then the nearest-node index", wall, cpu)
        nodes, edges = router.node_count, router.edge_count
        del router

    print(f"{args.graph}: {nodes} nodes, {edges} edges; least of "
          f"{args.repeat} runs")
    print(f"{'':32} {'wall s':>8} {'cpu s':>8}")
    for name, (wall, cpu) in best.items():
        print(f"{name:32} {wall:8.2f} {cpu:8.2f}")
    base_wall, base_cpu = best["load_graph"]
    wall, cpu = best["Router.from_file"]
    print(f"Router.from_file / load_graph: {wall / base_wall:.2f}x wall, "
          f"{cpu / base_cpu:.2f}x cpu (least times); median of paired cpu "
          f"ratios {statistics.median(ratios):.2f}x")


if __name__ == "__main__":
    main()
