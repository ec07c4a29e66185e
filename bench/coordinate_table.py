"""Seconds to build the node-coordinate table of a graph document with
norvel.geo.read_coordinates, against parsing the whole document (json, and
orjson when it is installed) and building the same table from it.

    PY=$(pyenv prefix 3.13.0)/bin/python3.13
    $PY ../shared/bench/roadgen.py --nodes 1000000 --risk-div 1000 --out /tmp/grid1m
    .venv/bin/python bench/coordinate_table.py /tmp/grid1m.json

Each way is run --repeat times (default 3); the best time is shown.
"""

from __future__ import annotations

import argparse
import json
import time
from collections.abc import Callable
from typing import Any

from norvel import read_graph_bytes
from norvel.geo import node_coordinates, read_coordinates


def best_of(repeat: int, run: Callable[[], object]) -> float:
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        run()
        times.append(time.perf_counter() - started)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("graph", help="graph document, .json or .json.gz")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    parsers: dict[str, Callable[[bytes], Any]] = {"json": json.loads}
    try:
        import orjson
        parsers["orjson"] = orjson.loads
    except ImportError:
        pass

    nodes = len(read_coordinates(args.graph))
    print(f"{args.graph}: {nodes} nodes")
    print(f"{'read_coordinates (node array only)':<40} "
          f"{best_of(args.repeat, lambda: read_coordinates(args.graph)):6.2f} s")
    for name, loads in parsers.items():
        def whole() -> None:
            node_coordinates(loads(read_graph_bytes(args.graph)))
        print(f"{'whole document with ' + name:<40} "
              f"{best_of(args.repeat, whole):6.2f} s")


if __name__ == "__main__":
    main()
