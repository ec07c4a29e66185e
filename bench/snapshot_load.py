"""Load time and memory of a norvel.Router from a snapshot file beside the
same graph from its JSON document.

    PY=.venv/bin/python
    $PY ../shared/bench/roadgen.py --nodes 1000000 --risk-div 1000 --out /tmp/grid1m
    $PY -m norvel pack /tmp/grid1m.json /tmp/grid1m.norvel
    $PY bench/snapshot_load.py /tmp/grid1m.json /tmp/grid1m.norvel [--repeat 3]

Each load runs in a fresh interpreter that has imported norvel, the two
kinds alternating, ``--repeat`` times each (the snapshot's pages are in the
page cache, as they are for a service that reloads the file it serves).
Timed: ``Router.from_file`` (for the snapshot: mapping the file and checking
every byte against its checksum and every index against its array), then
``build_index()``; and a route between two nodes, to see the answers
agree. Shown: the least wall times, and the process's RSS and PSS once
loaded (a mapped file's pages count in RSS, and in PSS shared among the
processes that map it).
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys

CHILD = r"""
import gc, json, sys, time
import norvel

def memory_mib():
    fields = {}
    with open("/proc/self/smaps_rollup") as rollup:
        for line in rollup:
            parts = line.split()
            if parts[0] in ("Rss:", "Pss:"):
                fields[parts[0][:-1].lower()] = int(parts[1]) / 1024
    return fields
path = sys.argv[1]
gc.collect()
start = time.perf_counter()
router = norvel.Router.from_file(path)
loaded = time.perf_counter() - start
start = time.perf_counter()
router.build_index()
indexed = time.perf_counter() - start
ids = router.session.engine.ids
route = router.route(int(ids[0]), int(ids[len(ids) // 2]))
print(json.dumps({"load": loaded, "index": indexed, **memory_mib(),
                  "route": [r.distance_m.hex() for r in route]}))
"""


def run(path: str) -> dict[str, object]:
    done = subprocess.run([sys.executable, "-c", CHILD, path],
                          capture_output=True, text=True, check=True)
    result: dict[str, object] = json.loads(done.stdout)
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("document", help="graph document, .json or .json.gz")
    parser.add_argument("snapshot", help="the snapshot norvel pack made of it")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    runs: dict[str, list[dict[str, object]]] = {args.document: [], args.snapshot: []}
    for _ in range(args.repeat):
        for path in runs:
            runs[path].append(run(path))
    routes = {json.dumps(r["route"]) for rs in runs.values() for r in rs}
    print(f"least of {args.repeat} runs each; the routes agree: {len(routes) == 1}")
    print(f"{'':40} {'load s':>8} {'index s':>8} {'RSS MiB':>8} {'PSS MiB':>8}")
    least: dict[str, float] = {}
    for path, rs in runs.items():
        least[path] = min(float(r["load"]) for r in rs)  # type: ignore[arg-type]
        print(f"{path:40} {least[path]:8.3f} "
              f"{min(float(r['index']) for r in rs):8.3f} "  # type: ignore[arg-type]
              f"{min(float(r['rss']) for r in rs):8.0f} "  # type: ignore[arg-type]
              f"{min(float(r['pss']) for r in rs):8.0f}")  # type: ignore[arg-type]
    print(f"snapshot load {least[args.document] / least[args.snapshot]:.1f}x faster than JSON")


if __name__ == "__main__":
    main()
