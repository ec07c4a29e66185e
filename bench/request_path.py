"""Router.route on the bundled Helsinki sample, through the whole request
path (checks, snapping, the engine, the routes built from its rows): the
median over PAIRS seeded random pairs of each pair's best time, for ends
given as node ids and as (lat, lon) points at those nodes; and the whole
calls of route_many over those pairs and of a 30 x 30 matrix. With
--baseline, the same requests in a second process on another tree (its
package source and build), the two run one after the other in rounds so
that both see the same machine:

    python bench/request_path.py --baseline build/before/python:build/before/src
    python bench/request_path.py --pairs 1000 --rounds 3 --repeat 3

The current tree is the one on this process's PYTHONPATH (a build's
python/ folder before the source folder).
"""

from __future__ import annotations

import argparse
import functools
import json
import os
import random
import statistics
import subprocess
import sys

from bench_common import least_in_turn_ms, least_ms


def measure(pairs: int, repeat: int, seed: int) -> dict[str, list[float]]:
    """Per pair and form of its ends, the best of ``repeat`` wall times of
    ``Router.route``, in milliseconds."""
    import norvel

    router = norvel.Router.from_file(norvel.datasets.helsinki_walk())
    router.build_index()
    # The baseline may be a tree from before the engine session.
    graph = router.session.engine if hasattr(router, "session") else router._engine
    ids = [int(i) for i in graph.ids[graph.listed]]
    chooser = random.Random(seed)
    chosen = [(chooser.choice(ids), chooser.choice(ids)) for _ in range(pairs)]
    table = router.table
    forms = {"ids": chosen,
             "points": [(tuple(table[a]), tuple(table[b]))
                        for a, b in chosen]}

    def ask(origin: object, destination: object) -> None:
        try:
            router.route(origin, destination)
        except norvel.RoutingError:
            pass

    # The pairs take turns, so that no pair's runs come back to back on
    # caches it warmed itself.
    times = {form: least_in_turn_ms([functools.partial(ask, origin, destination)
                                     for origin, destination in asked], repeat)
             for form, asked in forms.items()}
    # Whole calls, each the best of ``repeat``: route_many over the pairs
    # (rows with paths) and a matrix (totals alone) of their first ends.
    calls = {"route_many": lambda: router.route_many(chosen, workers=1),
             "matrix": lambda: router.matrix([a for a, _ in chosen[:30]],
                                             [b for _, b in chosen[:30]],
                                             workers=1)}
    for name, call in calls.items():
        times[name] = [least_ms(call, repeat)]
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pairs", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--baseline", help="PYTHONPATH of the tree to compare with")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(measure(args.pairs, args.repeat, args.seed)))
        return
    sides = {"current": os.environ.get("PYTHONPATH", "")}
    if args.baseline:
        sides["baseline"] = args.baseline
    best: dict[str, dict[str, list[float]]] = {}
    for _ in range(args.rounds):
        for side, path in sides.items():
            run = subprocess.run(
                [sys.executable, __file__, "--worker", "--pairs", str(args.pairs),
                 "--repeat", str(args.repeat), "--seed", str(args.seed)],
                env=os.environ | {"PYTHONPATH": path}, capture_output=True,
                text=True, check=True)
            got = json.loads(run.stdout)
            kept = best.setdefault(side, got)
            for form, times in got.items():
                kept[form] = [min(a, b) for a, b in zip(kept[form], times)]
    print(f"Router.route, {args.pairs} Helsinki pairs, median of each pair's "
          f"best of {args.rounds} x {args.repeat} (ms); route_many of the pairs "
          f"and a 30 x 30 matrix (ms, one worker)")
    for form in ("ids", "points", "route_many", "matrix"):
        line = [f"{form:<7}"]
        medians = {side: statistics.median(best[side][form]) for side in best}
        for side, value in medians.items():
            line.append(f"{side} {value:.4f}")
        if "baseline" in medians:
            line.append(f"current/baseline {medians['current'] / medians['baseline']:.3f}")
        print("  ".join(line))


if __name__ == "__main__":
    main()
