"""Reading an extract with pyosmium, and the ``norvel-osm-graph`` command.

The rules are stated in full in the docstring of ``norvel.osm``.
"""

from __future__ import annotations

import argparse
import hashlib
import importlib
import importlib.util
import os
import sys
import time
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from types import MappingProxyType, ModuleType
from typing import TYPE_CHECKING, TextIO

from norvel._layer_names import layer_name_fault
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
    rounded to 4 decimals. ``layers``: the risk layers written beside it,
    layer name to a rule of the same kind, in the order given; by default
    ``day`` and ``night`` (``norvel.osm.rules.DEFAULT_LAYER_RULES``), none
    when empty. A layer name is a plain identifier other than "default"
    (ValueError otherwise); a rule that is not callable is a TypeError.
    """

    exclude: frozenset[str] = frozenset()
    oneway: bool = True
    largest_component_only: bool = True
    hazard: walk_graph.HazardRule = walk_rules.hazard_per_km
    # Left out of the hash (a mapping has none), so rules stay hashable.
    layers: Mapping[str, walk_graph.HazardRule] = field(
        default=walk_rules.DEFAULT_LAYER_RULES, hash=False)

    def __post_init__(self) -> None:
        unknown = sorted(set(self.exclude) - walk_rules.BASE_HAZARD_PER_KM.keys())
        if unknown:
            raise ValueError(f"not a walkable highway class: {', '.join(unknown)}")
        if not callable(self.hazard):
            raise TypeError(f"hazard must be a callable (tags) -> hazard per "
                            f"km, got {self.hazard!r}")
        for name, rule in self.layers.items():
            fault = (layer_name_fault(name) if isinstance(name, str)
                     else "is not a string")
            if fault is not None:
                raise ValueError(f"the risk layer name {name!r} {fault}")
            if not callable(rule):
                raise TypeError(f"the rule of the risk layer {name} must be "
                                f"a callable (tags) -> hazard per km, got "
                                f"{rule!r}")
        # A copy no one can change: the caller's mapping stays theirs.
        object.__setattr__(self, "layers", MappingProxyType(dict(self.layers)))


def _rule_in(module: ModuleType, where: str, attribute: str,
             spec: str) -> walk_graph.HazardRule:
    """The callable ``attribute`` (dotted, ``Class.method``) of a loaded
    module; ``where`` names the module in messages, ``spec`` the whole
    option."""
    found: object = module
    for part in attribute.split("."):
        try:
            found = getattr(found, part)
        except AttributeError:
            raise ValueError(f"{where} has no {attribute}") from None
    if not callable(found):
        raise ValueError(f"{spec} is not callable")
    rule: walk_graph.HazardRule = found
    return rule


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
    return _rule_in(module, module_name, attribute, spec)


def load_rule_file(spec: str) -> walk_graph.HazardRule:
    """The callable named ``FILE.py:function`` (``function`` may be dotted),
    from the Python file at that path, run once as a module of its own.
    Raises ValueError naming what is missing or what the file raised."""
    path_text, colon, attribute = spec.rpartition(":")
    if not colon or not path_text or not attribute:
        raise ValueError(f"expected FILE.py:function, got {spec!r}")
    path = Path(path_text)
    if not path.is_file():
        raise ValueError(f"no file {path_text}")
    # Named by the file's full path, so two files of one name do not meet
    # in sys.modules.
    digest = hashlib.sha256(os.fsencode(path.resolve())).hexdigest()[:16]
    module_name = f"_norvel_rules_{path.stem}_{digest}"
    found = importlib.util.spec_from_file_location(module_name, path)
    if found is None or found.loader is None:
        raise ValueError(f"{path_text} is not a Python file")
    module = importlib.util.module_from_spec(found)
    # Registered as an import would be: dataclasses and pickle look their
    # module up there.
    sys.modules[module_name] = module
    try:
        found.loader.exec_module(module)
    except Exception as failure:  # the file is the user's: any fault is theirs
        del sys.modules[module_name]
        raise ValueError(f"{path_text} failed: {type(failure).__name__}: "
                         f"{failure}") from failure
    return _rule_in(module, path_text, attribute, spec)


def load_rule(spec: str) -> walk_graph.HazardRule:
    """``FILE.py:function`` (load_rule_file) when the part before the
    last colon ends in ``.py``, else ``module:function``
    (load_hazard_rule)."""
    before, colon, after = spec.rpartition(":")
    if not colon or not before or not after:
        raise ValueError(f"expected FILE.py:function or module:function, "
                         f"got {spec!r}")
    if before.endswith(".py"):
        return load_rule_file(spec)
    return load_hazard_rule(spec)


def parse_layer_option(text: str) -> tuple[str, walk_graph.HazardRule]:
    """(name, rule) of ``NAME=FILE.py:function`` or ``NAME=module:function``
    (load_rule). Raises ValueError on a name that cannot name a layer or a
    rule that cannot be loaded."""
    name, equals, spec = text.partition("=")
    if not equals or not name or not spec:
        raise ValueError(f"expected NAME=FILE.py:function, got {text!r}")
    fault = layer_name_fault(name)
    if fault is not None:
        raise ValueError(f"the risk layer name {name!r} {fault}")
    return name, load_rule(spec)


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
    layer_rules = list(rules.layers.values())
    for nodes, tags in ways:
        for node in nodes:
            coordinates[node.id] = node
        edges.extend(walk_graph.way_edges(nodes, tags, oneway=rules.oneway,
                                          hazard_rule=rules.hazard,
                                          layer_rules=layer_rules))
    shown.show(f"building the graph from {len(edges):,} directed edges")
    document = walk_graph.build_document(
        coordinates, edges, largest_only=rules.largest_component_only,
        layer_names=list(rules.layers))
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
        help="your own hazard per km of a way for its risk_score: a "
             "function of its tags (a dict of strings), e.g. myrules:night; "
             "see pydoc norvel.osm")
    parser.add_argument(
        "--layer", action="append", default=[], metavar="NAME=RULE",
        help="also write the risk layer NAME, by a rule of the same kind "
             "named FILE.py:FUNCTION or MODULE:FUNCTION, e.g. "
             "child=rules.py:child_hazard (repeatable; beside day and night)")
    parser.add_argument("--quiet", action="store_true",
                        help="print nothing but errors")
    args = parser.parse_args(argv)

    try:
        hazard = (walk_rules.hazard_per_km if args.risk_rules is None
                  else load_hazard_rule(args.risk_rules))
    except ValueError as failure:
        print(f"error: --risk-rules: {failure}", file=sys.stderr)
        return 2
    layers = dict(walk_rules.DEFAULT_LAYER_RULES)
    for option in args.layer:
        try:
            name, rule = parse_layer_option(option)
            if name in layers:
                raise ValueError(
                    f"the risk layer {name} is written already"
                    + (" (day and night are the converter's own)"
                       if name in walk_rules.DEFAULT_LAYER_RULES else ""))
        except ValueError as failure:
            print(f"error: --layer {option}: {failure}", file=sys.stderr)
            return 2
        layers[name] = rule
    rules = WalkRules(exclude=frozenset(args.exclude),
                      oneway=not args.ignore_oneway,
                      largest_component_only=not args.all_components,
                      hazard=hazard, layers=layers)
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
