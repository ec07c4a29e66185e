"""Reading an extract with pyosmium, and the ``norvel-osm-graph`` command.

The rules are stated in full in the docstring of ``norvel.osm``.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, TextIO

from norvel.osm import graph as walk_graph
from norvel.osm import rules as walk_rules

if TYPE_CHECKING:
    import osmium.osm

#: A walkable way: its nodes with coordinates, and its tags.
WayPiece = tuple[list[walk_graph.WayNode], dict[str, str]]


@dataclass(frozen=True)
class WalkRules:
    """Which of the converter's rules apply; the defaults apply them all.

    ``exclude``: highway classes left out although walkable (``{"steps"}``
    for a step-free network). ``oneway``: honour the one-way rules for
    walkers; when false every segment is walkable both ways.
    ``largest_component_only``: keep only the largest strongly connected
    component; when false a request may find no route between two nodes.
    ``hazard``: the risk per kilometre of a walkable way, from its tags (a
    ``dict`` of strings) to a finite number, 0 or more; by default
    ``norvel.osm.rules.hazard_per_km``, the rule stated in ``norvel.osm``.
    Each edge's ``risk_score`` is its length in km times that hazard,
    rounded to 4 decimals.
    """

    exclude: frozenset[str] = frozenset()
    oneway: bool = True
    largest_component_only: bool = True
    hazard: walk_graph.HazardRule = walk_rules.hazard_per_km

    def __post_init__(self) -> None:
        unknown = sorted(set(self.exclude) - walk_rules.BASE_HAZARD_PER_KM.keys())
        if unknown:
            raise ValueError(f"not a walkable highway class: {', '.join(unknown)}")
        if not callable(self.hazard):
            raise TypeError(f"hazard must be a callable (tags) -> hazard per "
                            f"km, got {self.hazard!r}")


def load_hazard_rule(spec: str) -> walk_graph.HazardRule:
    """The callable named ``module:function`` (``function`` may be dotted,
    ``module:Class.method``). The module is imported from ``sys.path`` or,
    failing that, the current directory. Raises ValueError naming what is
    missing."""
    module_name, colon, attribute = spec.partition(":")
    if not colon or not module_name or not attribute:
        raise ValueError(f"expected module:function, got {spec!r}")
    try:
        module = importlib.import_module(module_name)
    except ModuleNotFoundError as missing:
        if missing.name != module_name.split(".")[0] \
                or os.getcwd() in sys.path:
            raise ValueError(f"cannot import {module_name}: {missing}") \
                from missing
        # A command's sys.path starts at its own folder, not the caller's.
        sys.path.append(os.getcwd())
        try:
            module = importlib.import_module(module_name)
        except ImportError as still:
            raise ValueError(f"cannot import {module_name}: {still}") \
                from still
        finally:
            sys.path.remove(os.getcwd())
    found: object = module
    for part in attribute.split("."):
        try:
            found = getattr(found, part)
        except AttributeError:
            raise ValueError(f"{module_name} has no {attribute}") from None
    if not callable(found):
        raise ValueError(f"{spec} is not callable")
    rule: walk_graph.HazardRule = found
    return rule


#: Short runs stay quiet: no status line before this many seconds.
PROGRESS_DELAY_S = 2.0
#: How often the line changes: in place on a terminal, appended in a log.
PROGRESS_INTERVAL_S = {"terminal": 0.5, "log": 15.0}


class Progress:
    """A status line on a stream, for runs long enough to want one.

    On a terminal the line is rewritten in place; in a log, lines are
    appended, less often.
    """

    def __init__(self, stream: TextIO | None) -> None:
        self._stream = stream
        self._tty = stream is not None and stream.isatty()
        self._interval = PROGRESS_INTERVAL_S["terminal" if self._tty else "log"]
        self._next = time.monotonic() + PROGRESS_DELAY_S
        self._width = 0

    def show(self, text: str) -> None:
        if self._stream is None:
            return
        now = time.monotonic()
        if now < self._next:
            return
        self._next = now + self._interval
        if self._tty:
            self._stream.write("\r" + text.ljust(self._width))
            self._width = len(text)
        else:
            self._stream.write(text + "\n")
        self._stream.flush()

    def close(self) -> None:
        """Ends a line rewritten in place, so that later output starts clean."""
        if self._stream is not None and self._tty and self._width:
            self._stream.write("\n")
            self._stream.flush()
        self._width = 0


# The way callback looks at the clock once per this many ways.
_WAYS_PER_CLOCK_LOOK = 4096


def read_walkable_ways(pbf_path: Path, rules: WalkRules = WalkRules(),
                       progress: Progress | None = None) -> list[WayPiece]:
    """(nodes, tags) for every walkable way, split where a node has no
    location (an extract cuts ways at its border)."""
    import osmium  # only the reading needs the C++ bindings

    ways: list[WayPiece] = []
    counted = [0]
    shown = progress or Progress(None)
    name = pbf_path.name

    class WayCollector(osmium.SimpleHandler):
        def way(self, way: osmium.osm.Way) -> None:
            counted[0] += 1
            if counted[0] % _WAYS_PER_CLOCK_LOOK == 0:
                shown.show(f"reading {name}: {counted[0]:,} ways, "
                           f"{len(ways):,} walkable pieces")
            tags = {tag.k: tag.v for tag in way.tags}
            if not walk_rules.is_walkable(tags) or tags["highway"] in rules.exclude:
                return
            run: list[walk_graph.WayNode] = []
            for ref in way.nodes:
                if ref.location.valid():
                    run.append(walk_graph.rounded_node(
                        ref.ref, ref.location.lat, ref.location.lon))
                    continue
                if len(run) > 1:
                    ways.append((run, tags))
                run = []
            if len(run) > 1:
                ways.append((run, tags))

    shown.show(f"reading {name}: locating nodes")
    WayCollector().apply_file(str(pbf_path), locations=True)
    return ways


def convert(pbf_path: str | os.PathLike[str], rules: WalkRules = WalkRules(),
            progress: Progress | None = None
            ) -> tuple[walk_graph.Document, dict[str, int]]:
    """The graph document of an extract, with counts of what was kept."""
    shown = progress or Progress(None)
    ways = read_walkable_ways(Path(pbf_path), rules, shown)
    coordinates: dict[int, walk_graph.WayNode] = {}
    edges: list[walk_graph.WalkEdge] = []
    for nodes, tags in ways:
        for node in nodes:
            coordinates[node.id] = node
        edges.extend(walk_graph.way_edges(nodes, tags, oneway=rules.oneway,
                                          hazard_rule=rules.hazard))
    shown.show(f"building the graph from {len(edges):,} directed edges")
    document = walk_graph.build_document(
        coordinates, edges, largest_only=rules.largest_component_only)
    stats = {
        "walkable way pieces": len(ways),
        "nodes on walkable ways": len(coordinates),
        "directed edges before merging": len(edges),
        "nodes kept": len(document["nodes"]),
        "edges kept": len(document["edges"]),
    }
    return document, stats


def osm_to_graph(pbf_path: str | os.PathLike[str],
                 output_path: str | os.PathLike[str],
                 rules: WalkRules = WalkRules(), *,
                 progress: TextIO | None = None) -> dict[str, int]:
    """Converts an extract and writes its graph document, gzipped when the
    output name ends in ``.gz``; returns the counts of what was kept.

    Raises ValueError when no walkable edge is left. ``progress``: a stream
    for a status line on long inputs (``sys.stderr`` for the command).
    """
    shown = Progress(progress)
    try:
        document, stats = convert(pbf_path, rules, shown)
        if not document["edges"]:
            raise ValueError(f"no walkable edge in {os.fspath(pbf_path)}")
        shown.show(f"writing {os.fspath(output_path)}")
        text = walk_graph.document_text(document)
        output = Path(output_path)
        if output.suffix == ".gz":
            output.write_bytes(walk_graph.gzip_bytes(text))
        else:
            output.write_text(text, encoding="utf-8")
    finally:
        shown.close()
    return stats


def main(argv: list[str] | None = None) -> int:
    """The ``norvel-osm-graph`` command."""
    parser = argparse.ArgumentParser(
        prog="norvel-osm-graph",
        description="Convert an OpenStreetMap PBF extract into a pedestrian "
                    "graph document (JSON, gzipped when OUTPUT ends in .gz).")
    parser.add_argument("input", type=Path, help="OpenStreetMap .osm.pbf file")
    parser.add_argument("output", type=Path, help="output .json or .json.gz")
    parser.add_argument(
        "--exclude", action="append", default=[], metavar="HIGHWAY",
        choices=sorted(walk_rules.BASE_HAZARD_PER_KM),
        help="leave out ways of this highway class, e.g. steps (repeatable)")
    parser.add_argument(
        "--ignore-oneway", action="store_true",
        help="walk every way both ways, whatever oneway:foot says")
    parser.add_argument(
        "--all-components", action="store_true",
        help="keep every strongly connected component, not just the largest")
    parser.add_argument(
        "--risk-rules", metavar="MODULE:FUNCTION",
        help="your own hazard per km of a way: a function of its tags (a "
             "dict of strings), e.g. myrules:night; see pydoc norvel.osm")
    parser.add_argument("--quiet", action="store_true",
                        help="print nothing but errors")
    args = parser.parse_args(argv)

    try:
        hazard = (walk_rules.hazard_per_km if args.risk_rules is None
                  else load_hazard_rule(args.risk_rules))
    except ValueError as failure:
        print(f"error: --risk-rules: {failure}", file=sys.stderr)
        return 2
    rules = WalkRules(exclude=frozenset(args.exclude),
                      oneway=not args.ignore_oneway,
                      largest_component_only=not args.all_components,
                      hazard=hazard)
    try:
        stats = osm_to_graph(args.input, args.output, rules,
                             progress=None if args.quiet else sys.stderr)
    except (ValueError, OSError, RuntimeError) as failure:
        # pyosmium reports unreadable input as RuntimeError.
        print(f"error: {failure}", file=sys.stderr)
        return 1
    if not args.quiet:
        for name, value in stats.items():
            print(f"{name}: {value}", file=sys.stderr)
        print(f"wrote {args.output} ({args.output.stat().st_size} bytes)",
              file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
