"""Seconds for norvel.access over the bundled sample's population grid and
its schools, and what each part of it takes.

    PY=.venv/bin/python
    $PY bench/access.py                  # the 19 cells, the 3 schools
    $PY bench/access.py --repeat 10

The whole call (snapping, the search, the table) is timed, then the search
alone (`_place_fronts`, the part the multi-place catchment answers) and,
beside it, one whole-graph catchment per school, the least that merging
single-place catchments would cost. Each figure is the least of --repeat
runs, wall and processor seconds, in one process. The goal: the whole call
under 1 s.
"""

from __future__ import annotations

import argparse
import math
import time
from collections.abc import Callable
from typing import Any

import geopandas
import numpy as np
import pandas

import norvel
from norvel import accessibility


def timed(run: Callable[[], Any], repeat: int) -> tuple[float, float]:
    """(least wall s, least processor s) of `repeat` runs."""
    walls, cpus = [], []
    for _ in range(repeat):
        wall, cpu = time.perf_counter(), time.process_time()
        run()
        walls.append(time.perf_counter() - wall)
        cpus.append(time.process_time() - cpu)
    return min(walls), min(cpus)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    router = norvel.Router.from_file(norvel.datasets.helsinki_walk())
    router.build_index()
    homes = geopandas.read_file(norvel.datasets.helsinki_population())
    schools = pandas.read_csv(norvel.datasets.helsinki_schools())
    minutes = (5.0, 10.0, 15.0)
    result = norvel.access(router, homes, schools, minutes, weight="population")
    nodes = result.origins["node"].dropna().to_numpy(np.uint64)
    places = result.places["node"].dropna().to_numpy(np.uint64)

    print(f"{len(homes)} cells ({len(nodes)} snapped), {len(places)} schools, "
          f"{router.node_count} nodes; least of {args.repeat} runs")
    rows = [
        ("norvel.access, whole call", lambda: norvel.access(
            router, homes, schools, minutes, weight="population")),
        ("its search (_place_fronts)", lambda: accessibility._place_fronts(
            router, nodes, places, minutes, "to", "default")),
        (f"{len(places)} whole-graph catchments", lambda: [
            router.catchment(int(place), math.inf) for place in places]),
    ]
    print(f"{'':34} {'wall s':>8} {'cpu s':>8}")
    for name, run in rows:
        wall, cpu = timed(run, args.repeat)
        print(f"{name:34} {wall:8.3f} {cpu:8.3f}")


if __name__ == "__main__":
    main()
