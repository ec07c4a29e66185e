"""Seconds for a catchment of many places on the bundled sample: one search
from 50 places spread over it, beside one catchment of one place and beside
50 one-place catchments (only their union of nodes is taken, not the merge
of their fronts, so that figure is the least a merge by hand would cost).

    PY=.venv/bin/python
    $PY bench/catchment_places.py [--places 50] [--minutes 15] [--repeat 3]

The places: nodes of the sample picked at random (seed 1) among those with
an edge out. Each figure is the least of --repeat runs, wall and processor
seconds, in one process, the three kinds run in turn.
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import norvel


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--places", type=int, default=50)
    parser.add_argument("--minutes", type=float, default=15.0)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    router = norvel.Router.from_file(norvel.datasets.helsinki_walk())
    centre = router.catchment((60.1699, 24.9384), float("inf"))
    rng = np.random.default_rng(1)
    places = [int(node) for node in
              rng.choice(centre.node_ids, args.places, replace=False)]
    times: dict[str, list[tuple[float, float]]] = {
        "one": [], "several": [], "merged": []}
    sizes: dict[str, int] = {}

    def timed(kind: str, run: object) -> None:
        wall, cpu = time.perf_counter(), time.process_time()
        size = run()  # type: ignore[operator]
        times[kind].append((time.perf_counter() - wall,
                            time.process_time() - cpu))
        sizes[kind] = size

    def merged() -> int:
        nodes: set[int] = set()
        for place in places:
            nodes.update(router.catchment(place, args.minutes).node_ids.tolist())
        return len(nodes)

    for _ in range(args.repeat):
        timed("one", lambda: len(router.catchment(places[0], args.minutes)))
        timed("several", lambda: len(router.catchment(places, args.minutes)))
        timed("merged", merged)
    best = {kind: (min(w for w, _ in runs), min(c for _, c in runs))
            for kind, runs in times.items()}
    for kind, label in (("one", "one place"),
                        ("several", f"{args.places} places, one search"),
                        ("merged", f"{args.places} one-place catchments")):
        wall, cpu = best[kind]
        print(f"{label:32s} {sizes[kind]:6d} nodes {wall * 1e3:8.1f} ms "
              f"({cpu * 1e3:.1f} ms processor)")
    print(f"{args.places} places against one: "
          f"{best['several'][1] / best['one'][1]:.2f}x the processor time; "
          f"against {args.places} merged: "
          f"{best['merged'][1] / best['several'][1]:.1f}x faster")


if __name__ == "__main__":
    main()
