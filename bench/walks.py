"""Walks through stops and alternative routes on the bundled sample, against
the fronts they are made from:

    PYTHONPATH=... .venv/bin/python bench/walks.py [--pairs 200] [--repeat 5]

For random requests (seeded) between nodes with an edge out, it times
``route(o, d, via=[a, b])`` against the sum of ``front(o, a)``,
``front(a, b)`` and ``front(b, d)`` (targets: at most 1.2 times), and
``route(o, d, alternatives=3)`` against ``front(o, d)`` (at most 1.3 times):
each the least of --repeat runs, the ratio of the sums over all requests
and the median of the ratios per request. Requests without a route are
skipped.
"""

from __future__ import annotations

import argparse
import random
import statistics

import norvel
from norvel.errors import NoRouteError

from bench_common import least_ms


def report(name: str, ours: list[float], theirs: list[float], target: float) -> bool:
    ratios = [a / b for a, b in zip(ours, theirs)]
    total = sum(ours) / sum(theirs)
    print(f"{name:<28} {len(ours):>5} requests  {sum(ours):9.1f} ms against "
          f"{sum(theirs):9.1f} ms: {total:.3f}x (median {statistics.median(ratios):.3f}x, "
          f"target <= {target}x)")
    return total <= target


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pairs", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    router = norvel.Router.from_file(norvel.datasets.helsinki_walk())
    tails = sorted({int(node) for node in router.edges()["from"]})
    chooser = random.Random(args.seed)

    walk_ms: list[float] = []
    legs_ms: list[float] = []
    other_ms: list[float] = []
    front_ms: list[float] = []
    while len(walk_ms) < args.pairs:
        origin, a, b, destination = chooser.sample(tails, 4)
        try:
            router.route(origin, destination, via=[a, b])
        except NoRouteError:
            continue
        walk_ms.append(least_ms(lambda: router.route(origin, destination, via=[a, b]),
                               args.repeat))
        legs_ms.append(sum(least_ms(lambda: router.front(x, y), args.repeat)
                           for x, y in ((origin, a), (a, b), (b, destination))))
        other_ms.append(least_ms(lambda: router.route(origin, destination, alternatives=3),
                                args.repeat))
        front_ms.append(least_ms(lambda: router.front(origin, destination), args.repeat))
    fine = report("route(via=[a, b])", walk_ms, legs_ms, 1.2)
    fine = report("route(alternatives=3)", other_ms, front_ms, 1.3) and fine
    return 0 if fine else 1


if __name__ == "__main__":
    raise SystemExit(main())
