"""Seconds for Router.catchment: against one router.route per node on the
bundled sample, and over a whole generated grid.

    PY=.venv/bin/python
    $PY bench/catchment.py                       # the sample, both directions
    $PY ../shared/bench/roadgen.py --nodes 10000 --risk-div 1000 --out /tmp/grid10k
    $PY bench/catchment.py --grid /tmp/grid10k   # and the whole grid

The sample: the 15-minute catchment around the railway station square
(60.1699, 24.9384), timed beside one router.route per node inside, whose
totals it must equal bit for bit (mismatches are counted). The grid: a
catchment holding every node (minutes=inf) around the node nearest to the
generator's centre, with the labels the search kept per node. Each figure is
the least of --repeat runs, wall and processor seconds, in one process.
"""

from __future__ import annotations

import argparse
import json
import math
import time
from collections.abc import Callable
from typing import Any

import norvel

STATION = (60.1699, 24.9384)


def timed(run: Callable[[], Any], repeat: int) -> tuple[float, float, Any]:
    """(least wall s, least processor s, last result) of `repeat` runs."""
    walls, cpus = [], []
    result = None
    for _ in range(repeat):
        wall, cpu = time.perf_counter(), time.process_time()
        result = run()
        walls.append(time.perf_counter() - wall)
        cpus.append(time.process_time() - cpu)
    return min(walls), min(cpus), result


def one_route_per_node(router: norvel.Router,
                       catchment: norvel.Catchment) -> int:
    """Routes every node of the catchment one by one; the mismatches."""
    place = catchment.place.node
    frame = catchment.nodes
    wrong = 0
    for row, node in enumerate(catchment.node_ids.tolist()):
        routes = (router.route(node, place) if catchment.direction == "to"
                  else router.route(place, node))
        shortest = routes.shortest
        safest = routes.safest or shortest
        got = (frame["shortest_m"].iat[row], frame["shortest_risk"].iat[row],
               frame["safest_m"].iat[row], frame["safest_risk"].iat[row])
        wrong += got != (shortest.distance_m, shortest.risk,
                         safest.distance_m, safest.risk)
    return wrong


def sample(repeat: int) -> None:
    router = norvel.Router.from_file(norvel.datasets.helsinki_walk())
    router.build_index()
    for direction in ("to", "from"):
        wall, cpu, catchment = timed(
            lambda: router.catchment(STATION, 15.0, direction=direction),
            repeat)
        route_wall, route_cpu, wrong = timed(
            lambda: one_route_per_node(router, catchment), 1)
        report = catchment.report
        print(f"sample, 15 min {direction:4s} the station: {len(catchment)} "
              f"nodes; catchment {wall * 1e3:7.1f} ms ({cpu * 1e3:.1f} ms "
              f"processor); a route per node {route_wall:6.2f} s "
              f"({route_cpu:.2f} s); {route_wall / wall:5.0f}x faster; "
              f"{wrong} totals differ; labels kept "
              f"{report['labels_kept']}, answered by a request "
              f"{report['answered_by_request']}")


def grid(prefix: str, repeat: int) -> None:
    with open(prefix + ".meta.json", encoding="utf-8") as meta_file:
        meta = json.load(meta_file)
    router = norvel.Router.from_file(prefix + ".json")
    place = router.nearest(*meta["centre"]).node
    for direction in ("to", "from"):
        wall, cpu, catchment = timed(
            lambda: router.catchment(place, math.inf, direction=direction),
            repeat)
        report = catchment.report
        print(f"{prefix} ({meta['nodes']} nodes, {meta['edges']} edges), "
              f"every node {direction:4s} {place}: {len(catchment)} nodes in "
              f"{wall:5.3f} s ({cpu:.3f} s processor); labels kept "
              f"{report['labels_kept']}, "
              f"{report['labels_kept'] / report['nodes_labelled']:.1f} a "
              f"node; pushed {report['labels_pushed']}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--grid", metavar="PREFIX",
                        help="a roadgen.py output prefix (PREFIX.json, "
                             "PREFIX.meta.json)")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    sample(args.repeat)
    if args.grid:
        grid(args.grid, args.repeat)


if __name__ == "__main__":
    main()
