"""Why norvel routes with eps=0.0 by default: pairs a second, and how often
the approximate search's "shortest" route is not the shortest, over random
pairs of the bundled sample (or another graph document).

    .venv/bin/python bench/eps_choice.py [GRAPH] [--pairs 2000] [--eps 0.1]

Pairs are drawn among the nodes with an outgoing edge (seed 1), run in one
process, eps 0.0 first and then the other eps, timed in processor seconds
(steadier than the wall clock on a busy machine); pairs without a route are
counted, not timed apart. Also counts how many routes each request gave.
"""

from __future__ import annotations

import argparse
import random
import time
from collections import Counter
from pathlib import Path

import norvel

SAMPLE = Path(__file__).resolve().parent.parent / "norvel" / "data" / "helsinki_walk.json.gz"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("graph", nargs="?", default=str(SAMPLE))
    parser.add_argument("--pairs", type=int, default=2000)
    parser.add_argument("--eps", type=float, default=0.1)
    args = parser.parse_args()

    router = norvel.Router.from_file(args.graph)
    starts = router.table.routable_ids.tolist()
    rng = random.Random(1)
    pairs = [(rng.choice(starts), rng.choice(starts)) for _ in range(args.pairs)]

    results = {}
    for eps in (0.0, args.eps):
        answers: list[norvel.Routes | None] = []
        started = time.process_time()
        for source, target in pairs:
            try:
                answers.append(router.route(source, target, eps))
            except norvel.NoRouteError:
                answers.append(None)
        elapsed = time.process_time() - started
        results[eps] = answers
        counts = Counter(len(a) for a in answers if a is not None)
        print(f"eps {eps}: {len(pairs) / elapsed:.0f} pairs/s "
              f"({elapsed:.2f} s); routes per request: "
              + ", ".join(f"{n}: {counts[n]}" for n in sorted(counts))
              + f"; no route: {answers.count(None)}")

    longer = safer_missed = 0
    for exact, approximate in zip(results[0.0], results[args.eps]):
        if exact is None or approximate is None:
            continue
        assert exact.shortest is not None and approximate.shortest is not None
        if approximate.shortest.distance_m > exact.shortest.distance_m:
            longer += 1
        exact_safest = min(r.risk for r in exact)
        if min(r.risk for r in approximate) > exact_safest:
            safer_missed += 1
    print(f"eps {args.eps}: the 'shortest' route is longer than the shortest "
          f"in {longer} of {len(pairs)} pairs; the safest route is riskier "
          f"than the safest in {safer_missed}")


if __name__ == "__main__":
    main()
