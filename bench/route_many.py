"""Many routes in one call against one call each, on the bundled sample:
Router.route_many over random pairs with a few distinct destinations, and
Router.matrix of random points, each beside a loop of Router.route.

    .venv/bin/python bench/route_many.py [--pairs 2000] [--destinations 20]
                                         [--points 40] [--repeat 3]

The runs alternate, --repeat times each; the least wall time of each is
shown, and the answers are checked equal.
"""

from __future__ import annotations

import argparse
import random

import numpy as np

import norvel

from bench_common import least_timed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=2000)
    parser.add_argument("--destinations", type=int, default=20)
    parser.add_argument("--points", type=int, default=40)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--workers", type=int, default=None)
    args = parser.parse_args()

    router = norvel.Router.from_file(norvel.datasets.helsinki_walk())
    router.build_index()
    ids = router.table.routable_ids.tolist()
    chooser = random.Random(1)
    destinations = [chooser.choice(ids) for _ in range(args.destinations)]
    pairs = [(chooser.choice(ids), chooser.choice(destinations))
             for _ in range(args.pairs)]

    def one_by_one(pairs: list[tuple[norvel.router.Place, norvel.router.Place]]
                   ) -> list[object]:
        answers: list[object] = []
        for pair in pairs:
            try:
                answers.append(router.route(*pair))
            except norvel.RoutingError as error:
                answers.append(error)
        return answers

    def features(answers: object) -> list[object]:
        assert isinstance(answers, list)
        return [a.to_geojson() if isinstance(a, norvel.Routes) else str(a)
                for a in answers]

    single, expected = least_timed(lambda: one_by_one(pairs), args.repeat)
    many, answers = least_timed(lambda: router.route_many(
        pairs, workers=args.workers), args.repeat)
    assert features(answers) == features(expected)
    print(f"route_many, {args.pairs} pairs to {args.destinations} "
          f"destinations: {many:.3f} s, one route() each {single:.3f} s: "
          f"{single / many:.2f}x")

    lats = np.random.default_rng(2).uniform(60.160, 60.180, args.points)
    lons = np.random.default_rng(3).uniform(24.925, 24.955, args.points)
    points = list(zip(lats.tolist(), lons.tolist()))
    grid = [(a, b) for a in points for b in points]
    single, _ = least_timed(lambda: one_by_one(grid), args.repeat)  # type: ignore[arg-type]
    whole, frame = least_timed(lambda: router.matrix(
        points, points, workers=args.workers), args.repeat)
    print(f"matrix {args.points} x {args.points}: {whole:.3f} s, one route() "
          f"each {single:.3f} s: {single / whole:.2f}x")


if __name__ == "__main__":
    main()
