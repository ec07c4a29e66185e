"""Seconds that norvel.check_document takes over a graph document, with its
parts: reading the file, the loader, parsing in Python, the checks.

    .venv/bin/python bench/check_document.py /tmp/grid1m.json

(``../shared/bench/roadgen.py --nodes 1000000 --risk-div 1000 --out
/tmp/grid1m`` writes a 1,000,000-node document.) One run each; the machine
should be quiet.
"""

from __future__ import annotations

import argparse
import time

import norvel_core

import norvel
from norvel import checks
from norvel._files import read_graph_bytes


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("document", help=".json or .json.gz graph document")
    path = parser.parse_args().document

    started = time.perf_counter()
    problems = norvel.check_document(path)
    whole = time.perf_counter() - started

    clock = time.perf_counter()
    text = read_graph_bytes(path).decode("utf-8")
    read = time.perf_counter() - clock
    clock = time.perf_counter()
    norvel_core.PyGraph.from_json(text)
    loader = time.perf_counter() - clock
    clock = time.perf_counter()
    columns = checks._trusted_columns(checks._parse(text))
    parse = time.perf_counter() - clock
    clock = time.perf_counter()
    checks._component_sizes(columns)
    components = time.perf_counter() - clock

    print(f"check_document: {whole:.1f} s ({len(columns.node_ids):,} nodes, "
          f"{len(columns.sources):,} edges)")
    print(f"  of which: read {read:.1f} s, loader {loader:.1f} s, "
          f"Python parse {parse:.1f} s, components {components:.1f} s")
    for problem in problems:
        print(f"  {problem.severity}: {problem.kind}: {problem.message}")


if __name__ == "__main__":
    main()
