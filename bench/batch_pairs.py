"""Pairs per second of norvel.batch.route_pairs with 1 and 2 workers: a plain
loop in this process, the local process pool, and a Dask LocalCluster.

    PY=$(pyenv prefix 3.13.0)/bin/python3.13
    $PY ../shared/bench/roadgen.py --nodes 100000 --risk-div 1000 --out /tmp/grid100k
    .venv/bin/python bench/batch_pairs.py /tmp/grid100k.json

Pairs: random sources, each with a random target 500 m to 1.5 km away as
the crow flies (seeded, so every run asks the same). Each timing is one
whole call, worker start and graph loading included; the Dask cluster is
asked twice, the second time with the graph already kept by its workers.
Needs norvel_core[dask,osm] (the distances come from norvel.osm.graph).
"""

from __future__ import annotations

import argparse
import random
import time
from collections.abc import Callable

import norvel_core

import norvel
from norvel.batch import route_pairs
from norvel.geo import LonLat, read_coordinates
from norvel.osm.graph import haversine_m


def crow_m(a: LonLat, b: LonLat) -> float:
    return haversine_m(a[1], a[0], b[1], b[0])


def choose_pairs(coordinates: dict[int, LonLat], count: int, low_m: float,
                 high_m: float, seed: int) -> list[tuple[int, int]]:
    rng = random.Random(seed)
    ids = sorted(coordinates)
    pairs = []
    while len(pairs) < count:
        source = rng.choice(ids)
        for _ in range(10_000):
            target = rng.choice(ids)
            if low_m <= crow_m(coordinates[source], coordinates[target]) <= high_m:
                pairs.append((source, target))
                break
    return pairs


def timed(label: str, count: int, run: Callable[[], object]) -> None:
    started = time.perf_counter()
    run()
    elapsed = time.perf_counter() - started
    print(f"{label:<38} {elapsed:7.2f} s  {count / elapsed:8.1f} pairs/s",
          flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("graph", help="graph document, .json or .json.gz")
    parser.add_argument("--pairs", type=int, default=400)
    parser.add_argument("--eps", type=float, default=0.0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    coordinates = read_coordinates(args.graph)
    pairs = choose_pairs(coordinates, args.pairs, 500.0, 1500.0, args.seed)
    print(f"{args.graph}: {len(coordinates)} nodes; {len(pairs)} pairs "
          f"500 m - 1.5 km apart, eps {args.eps}")

    graph = norvel.load_graph(args.graph)

    def loop() -> None:
        for source, target in pairs:
            try:
                norvel_core.compute_safe_routes(graph, source, target, args.eps)
            except RuntimeError:
                pass

    timed("plain loop, this process (graph loaded)", len(pairs), loop)
    for workers in (1, 2):
        timed(f"local pool, {workers} worker(s)", len(pairs),
              lambda: route_pairs(args.graph, pairs, args.eps, workers=workers,
                                  progress=False))
    # Here, not above: pool workers run this module's top level again.
    from distributed import Client, LocalCluster

    for workers in (1, 2):
        with LocalCluster(n_workers=workers, threads_per_worker=1,
                          dashboard_address=None) as cluster, \
                Client(cluster) as client:
            for call in ("first call", "graph kept"):
                timed(f"Dask LocalCluster, {workers} worker(s), {call}",
                      len(pairs),
                      lambda: route_pairs(args.graph, pairs, args.eps,
                                          client=client, progress=False))


if __name__ == "__main__":
    main()
