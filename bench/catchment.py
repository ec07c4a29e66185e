"""Seconds for Router.catchment: against one router.route per node on the
bundled sample, and over a whole generated grid.

    PY=.venv/bin/python
    $PY bench/catchment.py                       # the sample, both directions
    $PY bench/catchment.py --max-detour 0.2      # and with a detour budget beside
    $PY ../shared/bench/roadgen.py --nodes 10000 --risk-div 1000 --out /tmp/grid10k
    $PY bench/catchment.py --grid /tmp/grid10k   # and the whole grid
    cp -r ../shared/bench/peers/boastar /tmp/boastar && make -C /tmp/boastar bod
    $PY bench/catchment.py --grid /tmp/grid10k --bod /tmp/boastar/bod

The sample: the 15-minute catchment around the railway station square
(60.1699, 24.9384), timed beside one router.route per node inside, whose
totals it must equal bit for bit (mismatches are counted). The grid: a
catchment holding every node (minutes=inf) to its hub (the middle row's
middle node) and from it, with the labels the search kept per node; with
--bod, the C bi-objective Dijkstra of the research code beside it, every
node's front of walks to the same node, the two run in turn. Each figure is
the least of --repeat runs, wall and processor seconds. With --max-detour,
the sample's catchments with that budget too, timed in turn with those
without (wall times here swing; bench/request_instructions.py's way,
callgrind, tells small differences).
"""

from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import tempfile
import time
from typing import Any

import norvel

from bench_common import least_wall_cpu

STATION = (60.1699, 24.9384)


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


def sample(repeat: int, max_detour: float | None = None) -> None:
    router = norvel.Router.from_file(norvel.datasets.helsinki_walk())
    router.build_index()
    for direction in ("to", "from"):
        wall, cpu, catchment = least_wall_cpu(
            lambda: router.catchment(STATION, 15.0, direction=direction),
            repeat)
        route_wall, route_cpu, wrong = least_wall_cpu(
            lambda: one_route_per_node(router, catchment), 1)
        report = catchment.report
        print(f"sample, 15 min {direction:4s} the station: {len(catchment)} "
              f"nodes; catchment {wall * 1e3:7.1f} ms ({cpu * 1e3:.1f} ms "
              f"processor); a route per node {route_wall:6.2f} s "
              f"({route_cpu:.2f} s); {route_wall / wall:5.0f}x faster; "
              f"{wrong} totals differ; labels kept "
              f"{report['labels_kept']}, answered by a request "
              f"{report['answered_by_request']}")
        if max_detour is not None:
            plain, _, _ = least_wall_cpu(lambda: router.catchment(STATION, 15.0, direction=direction),
                                repeat)
            budgeted, _, _ = least_wall_cpu(lambda: router.catchment(
                STATION, 15.0, direction=direction, max_detour=max_detour), repeat)
            print(f"    with max_detour={max_detour:g}: {budgeted * 1e3:7.1f} ms against "
                  f"{plain * 1e3:.1f} ms without ({budgeted / plain - 1.0:+.0%})")


def hub_node(prefix: str, meta: dict[str, Any]) -> tuple[int, int]:
    """(number counting from 1 in document order, id) of the grid's hub."""
    number = (meta["rows"] // 2) * meta["cols"] + meta["cols"] // 2 + 1
    with open(prefix + ".json", encoding="utf-8") as doc_file:
        nodes = json.load(doc_file)["nodes"]
    return number, int(nodes[number - 1]["id"])


def bod_seconds(bod: str, folder: str, number: int) -> float:
    """The research code's own runtime of one bi-objective Dijkstra."""
    out = subprocess.run([bod, "g.txt", str(number)], cwd=folder, check=True,
                         capture_output=True, text=True).stdout
    return float(out.strip().splitlines()[-1].split(";")[1]) / 1e3


def grid(prefix: str, repeat: int, bod: str | None) -> None:
    with open(prefix + ".meta.json", encoding="utf-8") as meta_file:
        meta = json.load(meta_file)
    router = norvel.Router.from_file(prefix + ".json")
    number, place = hub_node(prefix, meta)
    for direction in ("to", "from"):
        wall, cpu, catchment = least_wall_cpu(
            lambda: router.catchment(place, math.inf, direction=direction),
            repeat)
        report = catchment.report
        print(f"{prefix} ({meta['nodes']} nodes, {meta['edges']} edges), "
              f"every node {direction:4s} no. {number}: {len(catchment)} "
              f"nodes in {wall:5.3f} s ({cpu:.3f} s processor); labels kept "
              f"{report['labels_kept']}, "
              f"{report['labels_kept'] / report['nodes_labelled']:.1f} a "
              f"node; pushed {report['labels_pushed']}")
    if bod is None:
        return
    # The research code keeps the file's path in 128 bytes.
    with tempfile.TemporaryDirectory() as folder:
        os.symlink(os.path.abspath(prefix + ".boa.txt"),
                   os.path.join(folder, "g.txt"))
        ours, theirs = [], []
        for _ in range(repeat):
            wall = time.perf_counter()
            router.catchment(place, math.inf)
            ours.append(time.perf_counter() - wall)
            theirs.append(bod_seconds(bod, folder, number))
    print(f"in turn, {repeat} times: catchment to no. {number} "
          f"{min(ours) * 1e3:.0f} ms, C bi-objective Dijkstra "
          f"{min(theirs) * 1e3:.0f} ms (least of each); "
          f"{min(theirs) / min(ours):.2f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--grid", metavar="PREFIX",
                        help="a roadgen.py output prefix (PREFIX.json, "
                             "PREFIX.meta.json)")
    parser.add_argument("--bod", metavar="PATH",
                        help="the research code's bod, to time beside")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--max-detour", type=float, metavar="X",
                        help="also time the sample's catchments with this budget")
    args = parser.parse_args()
    sample(args.repeat, args.max_detour)
    if args.grid:
        grid(args.grid, args.repeat, args.bod)


if __name__ == "__main__":
    main()
