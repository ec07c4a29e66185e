"""Time and peak memory of norvel.check_document over one graph document,
for this checkout and, beside it, another version of the package.

    PY=.venv/bin/python
    $PY ../shared/bench/roadgen.py --nodes 1000000 --risk-div 1000 --out /tmp/grid1m
    git worktree add /tmp/old 0d46d04      # the version to compare with
    $PY bench/check_document.py /tmp/grid1m.json --before /tmp/old

Each source tree runs check_document in a fresh process of its own, with
the compiled modules (norvel_core's folder as this run finds it, or
--build) ahead of the tree on PYTHONPATH. The process reports its wall and
processor seconds and its peak resident memory (ru_maxrss: the interpreter
and numpy included); with --repeat, the least of each over that many
processes. The problems found are printed below, per tree when the trees
disagree. The machine should be quiet.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import resource
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parents[1]


def child(document: str) -> None:
    """Checks the document once and prints what the parent reads, as one
    JSON line: seconds, peak memory and the problems."""
    import norvel

    wall, cpu = time.perf_counter(), time.process_time()
    problems = norvel.check_document(document)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({
        "wall": wall, "cpu": cpu, "peak_mb": peak_kib / 1024,
        "source": os.path.dirname(os.path.dirname(norvel.__file__)),
        "problems": [f"{p.severity}: {p.kind} ({p.count}): {p.message}"
                     for p in problems]}))


def measure(tree: Path, build: str, document: str) -> dict[str, Any]:
    """One fresh process's report for the package in ``tree``."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([build, str(tree)])}
    run = subprocess.run(
        [sys.executable, __file__, "--child", document], env=env, cwd="/",
        capture_output=True, text=True, check=False)
    if run.returncode != 0:
        sys.exit(f"check_document failed for {tree}:\n{run.stderr}")
    report: dict[str, Any] = json.loads(run.stdout.splitlines()[-1])
    if Path(report["source"]).resolve() != tree.resolve():
        sys.exit(f"{tree}: the child imported norvel from {report['source']}")
    return report


def default_build() -> str:
    spec = importlib.util.find_spec("norvel_core")
    if spec is None or spec.origin is None:
        sys.exit("norvel_core is not importable: give --build")
    return os.path.dirname(spec.origin)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("document", help=".json or .json.gz graph document")
    parser.add_argument("--before", type=Path,
                        help="source tree of another version to run beside")
    parser.add_argument("--build", help="folder of the compiled modules "
                                        "(norvel_core, norvel/_engine)")
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.document)
        return

    build = args.build or default_build()
    trees = {"after": HERE}
    if args.before is not None:
        trees = {"before": args.before, **trees}
    best: dict[str, dict[str, Any]] = {}
    for _ in range(args.repeat):
        for name, tree in trees.items():
            report = measure(tree, build, args.document)
            kept = best.setdefault(name, report)
            for key in ("wall", "cpu", "peak_mb"):
                kept[key] = min(kept[key], report[key])

    print(f"check_document({args.document!r}), least of {args.repeat}:")
    print(f"  {'':8} {'wall s':>8} {'cpu s':>8} {'peak MB':>9}  tree")
    for name, report in best.items():
        print(f"  {name:8} {report['wall']:8.1f} {report['cpu']:8.1f} "
              f"{report['peak_mb']:9.0f}  {trees[name]}")
    listings = {name: report["problems"] for name, report in best.items()}
    if len({json.dumps(found) for found in listings.values()}) == 1:
        listings = {"problems": next(iter(listings.values()))}
    for name, found in listings.items():
        print(f"{name}:" if found else f"{name}: none")
        for line in found:
            print(f"  {line}")


if __name__ == "__main__":
    main()
