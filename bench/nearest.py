"""Seconds to build the nearest-node index of a norvel.Router and to snap
many random points with nearest_many.

    PY=.venv/bin/python
    $PY ../shared/bench/roadgen.py --nodes 1000000 --risk-div 1000 --out /tmp/grid1m
    $PY bench/nearest.py /tmp/grid1m.json [--points 100000] [--repeat 3]

The points are uniform over the graph's bounding box (seed 1). The index
build is timed after the router has read its edges, so that it measures the
k-d tree alone; the least time of --repeat runs is shown.
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import norvel


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("graph", help="graph document, .json or .json.gz")
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    router = norvel.Router.from_file(args.graph)
    started = time.perf_counter()
    router.table.load_edges()
    edges_s = time.perf_counter() - started
    table = router.table
    rng = np.random.default_rng(1)
    lats = rng.uniform(table.lats.min(), table.lats.max(), args.points)
    lons = rng.uniform(table.lons.min(), table.lons.max(), args.points)

    builds, queries = [], []
    for _ in range(args.repeat):
        fresh = norvel.Router(router.graph, table)
        started = time.perf_counter()
        fresh.build_index()
        builds.append(time.perf_counter() - started)
        started = time.perf_counter()
        ids, distances = fresh.nearest_many(lats, lons)
        queries.append(time.perf_counter() - started)

    print(f"{args.graph}: {len(table)} nodes, "
          f"{int(table.routable.sum())} with an outgoing edge "
          f"(edges read in {edges_s:.2f} s)")
    print(f"index build          {min(builds):6.2f} s")
    print(f"nearest_many x {args.points:<6d} {min(queries):6.2f} s "
          f"(median snap {np.median(distances):.1f} m, "
          f"max {distances.max():.1f} m)")


if __name__ == "__main__":
    main()
