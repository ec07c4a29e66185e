"""Instructions per request of Router.route, route_many and matrix on the
bundled sample, and of a walk through two stops (``route(o, d, via=[a, b])``,
"via") against the fronts of its three legs ("legs", per walk), counted by valgrind's callgrind: the same figure run after
run whatever else the machine does, where wall times here swing by 5 to
20 %. Each figure is a run of N requests less a run of none (the load and
the index), divided by N. Several trees are measured side by side, each a
PYTHONPATH (a build's python/ folder, then its source folder):

    python bench/request_instructions.py --tree OLD_BUILD:OLD_SRC --tree NEW_BUILD:NEW_SRC

Needs valgrind (Debian's package).
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile

# One process's work: N requests of a kind on the sample, the pairs seeded.
_WORK = """
import random, sys
import norvel
router = norvel.Router.from_file(norvel.datasets.helsinki_walk())
router.build_index()
session = getattr(router, "session", None)
graph = session.engine if session is not None else router._engine
ids = [int(i) for i in graph.ids[graph.listed]]
chooser = random.Random(7)
pairs = [(chooser.choice(ids), chooser.choice(ids)) for _ in range(300)]
kind, count = sys.argv[1], int(sys.argv[2])
walks = []
if kind in ("via", "legs"):
    # Walks that have a route, found alike in every run of these kinds.
    tails = sorted({int(node) for node in router.edges()["from"]})
    while len(walks) < 12:
        walk = chooser.sample(tails, 4)
        try:
            router.route(walk[0], walk[3], via=walk[1:3])
            walks.append(walk)
        except norvel.RoutingError:
            pass
if kind == "via":
    for o, a, b, d in walks[:count]:
        router.route(o, d, via=[a, b])
elif kind == "legs":
    for o, a, b, d in walks[:count]:
        for x, y in ((o, a), (a, b), (b, d)):
            router.front(x, y)
elif kind == "route":
    for a, b in pairs[:count]:
        try:
            router.route(a, b)
        except norvel.RoutingError:
            pass
elif kind == "route_many":
    for _ in range(count):
        router.route_many(pairs, workers=1)
else:
    for _ in range(count):
        router.matrix([a for a, _ in pairs[:30]], [b for _, b in pairs[:30]], workers=1)
"""
# Requests per unit of each kind: route_many routes 300 pairs a call.
_PER_CALL = {"route": 1, "route_many": 300, "matrix": 900, "via": 1, "legs": 1}
_UNITS = {"route": 300, "route_many": 1, "matrix": 2, "via": 12, "legs": 12}


def instructions(tree: str, kind: str, count: int) -> int:
    """The instructions callgrind counts for ``count`` units of ``kind``."""
    with tempfile.TemporaryDirectory() as folder:
        script = os.path.join(folder, "work.py")
        with open(script, "w", encoding="utf-8") as stream:
            stream.write(_WORK)
        environment = dict(os.environ, PYTHONPATH=tree, OPENBLAS_NUM_THREADS="1")
        done = subprocess.run(
            ["valgrind", "--tool=callgrind",
             f"--callgrind-out-file={os.path.join(folder, 'out')}",
             sys.executable, "-P", script, kind, str(count)],
            env=environment, capture_output=True, text=True, check=True)
    found = re.search(r"Collected : (\d+)", done.stderr)
    assert found is not None, done.stderr[-2000:]
    return int(found.group(1))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tree", action="append", required=True,
                        help="a PYTHONPATH to measure; give several")
    parser.add_argument("--kind", action="append",
                        choices=sorted(_PER_CALL), help="default: all")
    args = parser.parse_args()
    for kind in args.kind or sorted(_PER_CALL):
        units = _UNITS[kind]
        for tree in args.tree:
            extra = instructions(tree, kind, units) - instructions(tree, kind, 0)
            per_request = extra / (units * _PER_CALL[kind])
            print(f"{kind:10} {per_request / 1e6:9.4f} M instructions a request  {tree}",
                  flush=True)


if __name__ == "__main__":
    main()
