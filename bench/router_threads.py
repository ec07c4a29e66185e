"""Requests on threads: N Router.route calls between random node pairs of
the bundled sample, on 1 and then on 2 threads of one process, sharing one
Router. A request runs without the interpreter lock, so two threads should
answer nearly twice as fast as one on two cores.

    .venv/bin/python bench/router_threads.py [--requests 400] [--repeat 5]

The two runs alternate, --repeat times each; the least wall time of each
is shown, and every answer is checked against the serial run.
"""

from __future__ import annotations

import argparse
import random
import time
from concurrent.futures import ThreadPoolExecutor

import norvel


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=400)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    router = norvel.Router.from_file(norvel.datasets.helsinki_walk())
    ids = router.table.routable_ids.tolist()
    chooser = random.Random(args.seed)
    pairs = [(chooser.choice(ids), chooser.choice(ids))
             for _ in range(args.requests)]

    def answer(pair: tuple[int, int]) -> object:
        try:
            return router.route(*pair)
        except norvel.RoutingError as error:
            return error

    def comparable(answers: list[object]) -> list[object]:
        return [[r.to_feature() for r in a] if isinstance(a, norvel.Routes)
                else str(a) for a in answers]

    serial = comparable([answer(pair) for pair in pairs])
    best: dict[int, float] = {1: float("inf"), 2: float("inf")}
    for _ in range(args.repeat):
        for threads in best:
            with ThreadPoolExecutor(threads) as pool:
                start = time.perf_counter()
                answers = list(pool.map(answer, pairs))
                best[threads] = min(best[threads], time.perf_counter() - start)
            assert comparable(answers) == serial, \
                "an answer differs from the serial run"
    print(f"{args.requests} requests, least of {args.repeat} runs: "
          f"1 thread {best[1]:.3f} s, 2 threads {best[2]:.3f} s: "
          f"{best[1] / best[2]:.2f}x")


if __name__ == "__main__":
    main()
