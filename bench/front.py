"""Router.front on a generated grid, by band of distance, beside the
research code's BOA* on the same pairs: times, and whether the fronts are
the same.

    PY=/root/.pyenv/versions/3.13.0/bin/python3.13
    $PY ../shared/bench/roadgen.py --nodes 100000 --risk-div 1000 --out /tmp/grid100k
    cp -r ../shared/bench/peers/boastar /tmp/boastar && make -C /tmp/boastar boa
    .venv/bin/python bench/front.py /tmp/grid100k --boa /tmp/boastar/boa

It reads the generator's document (PREFIX.json), its requests
(PREFIX.queries) and BOA*'s graph (PREFIX.boa.txt), and times each request
of the bands (--bands, metres) with Router.front and with BOA*, the least of
--repeat runs each, in one run. BOA*'s time is the one it prints (its
backward searches over the whole graph included, its file reading not).

BOA* sums integer risks (risk x --risk-div in the document), the front sums
the document's decimal fractions as doubles: two sums of the same integers
in another order can differ in the last bits, so a path whose integer risk
ties with a shorter one's can stay on the float front. Such a point is a
*twin*: it is counted, and left out before the fronts are compared. Any
other difference is a mismatch, and the script exits with status 1.
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import norvel

from bench_common import least_timed, read_queries

_GOAL = re.compile(rb"^GOAL \[(\d+),(\d+)\]", re.MULTILINE)


def integer_front(points: list[tuple[int, int]]
                  ) -> tuple[list[tuple[int, int]], int, int]:
    """The Pareto front of integer (distance, risk) points, as BOA* keeps
    it (of equal risks the least distance), with how many of the others are
    twins (the kept point before has their risk) and how many are not."""
    kept: list[tuple[int, int]] = []
    twins = others = 0
    for point in sorted(points):
        if kept and point[1] >= kept[-1][1]:
            if point[1] == kept[-1][1]:
                twins += 1
            else:
                others += 1
            continue
        kept.append(point)
    return kept, twins, others


def boa(program: str, graph: Path, source_no: int, target_no: int,
        repeat: int) -> tuple[float, list[tuple[int, int]]]:
    """(least ms of `repeat` runs, the front's points) of BOA* on one pair.
    The program keeps the graph's path in 128 bytes: it runs in a folder of
    its own where the graph is g.txt."""
    with tempfile.TemporaryDirectory() as folder:
        os.symlink(graph.resolve(), os.path.join(folder, "g.txt"))
        times = []
        points: list[tuple[int, int]] = []
        for _ in range(repeat):
            output = subprocess.run([program, "g.txt", str(source_no), str(target_no)],
                                    cwd=folder, capture_output=True, check=True).stdout
            summary = output.strip().splitlines()[-1].split(b";")
            times.append(float(summary[3]))
            points = [(int(d), int(r)) for d, r in _GOAL.findall(output)]
        return min(times), points


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("prefix", help="the generator's output prefix")
    parser.add_argument("--boa", required=True, help="the built BOA* program")
    parser.add_argument("--bands", default="2000,4000,8000,16000")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--risk-div", type=int, default=1000)
    args = parser.parse_args()
    prefix = Path(args.prefix)
    bands = [int(b) for b in args.bands.split(",")]
    router = norvel.Router.from_file(prefix.with_suffix(".json"))
    queries = [query for query in read_queries(prefix.with_suffix(".queries"))
               if query.band_m in bands]

    print(f"{'band_m':>7} {'pairs':>5} {'front_ms':>9} {'boa_ms':>9} {'ratio':>6} "
          f"{'points':>7} {'twins':>6} {'mismatch':>8}")
    failed = False
    for band in bands:
        ours, theirs, points, twins, wrong = [], [], [], 0, 0
        for _, source, target, source_no, target_no in (q for q in queries if q[0] == band):
            best, front = least_timed(lambda: router.front(source, target), args.repeat)
            assert front is not None, "--repeat must be at least 1"
            boa_ms, boa_points = boa(args.boa, prefix.with_suffix(".boa.txt"),
                                     source_no, target_no, args.repeat)
            kept, twin_count, other_count = integer_front(
                [(round(r.distance_m), round(r.risk * args.risk_div)) for r in front])
            ours.append(best * 1000)
            theirs.append(boa_ms)
            points.append(len(front))
            twins += twin_count
            if other_count or kept != sorted(boa_points):
                wrong += 1
                print(f"  {source} -> {target}: {len(kept)} points against BOA*'s "
                      f"{len(boa_points)}, {other_count} dominated", file=sys.stderr)
        if not ours:
            continue
        front_ms, boa_ms = statistics.median(ours), statistics.median(theirs)
        print(f"{band:>7} {len(ours):>5} {front_ms:>9.2f} {boa_ms:>9.2f} "
              f"{boa_ms / front_ms:>5.1f}x {statistics.median(points):>7.0f} "
              f"{twins:>6} {wrong:>8}")
        failed = failed or wrong > 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
