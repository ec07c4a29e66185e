"""What is wrong with a graph document, before routing over it.

    for problem in norvel.check_document("city.json.gz"):
        print(problem.severity, problem.kind, problem.message)

``check_document(path)`` returns a list of ``Problem``s (empty for a sound
document): errors first, then warnings, one problem per kind with how many
records it concerns and the first few of them in its message.

An **error** means that the graph is not what its author meant: the file is
no graph document, or it holds a value no street can have, or an id that
names two places or none. The route search reads most such documents
without complaint, yet its answers over them mean little. A **warning**
means a sound graph on which some requests fail: a node no edge leaves
cannot be a source, and nodes of different strongly connected components
may have no route between them.

Kinds, with their severity and when they are found:

    malformed (error)
        The file is no graph document: empty, a truncated gzip, not UTF-8,
        not JSON, a member missing or of the wrong type. The message names
        the file and, where the loader refuses the text, gives its message
        with line and column.
    duplicate_node (error)
        Two node records share an id (the search takes the last one's
        coordinates).
    undeclared_node (error)
        An edge leaves or enters an id that no node record lists (the
        search places it at latitude 0, longitude 0).
    bad_length, bad_risk (error)
        A ``distance_m`` or a ``risk_score`` is negative, NaN or infinite.
    bad_familiarity (error)
        A ``familiarity`` is NaN or infinite.
    bad_coordinate (error)
        A latitude outside [-90, 90] or a longitude outside [-180, 180],
        NaN and infinities included.
    dead_end (warning)
        A node that no edge leaves.
    disconnected (warning)
        The graph (its nodes and edge ends) has more than one strongly
        connected component.

NaN and infinities cannot be written in JSON; they are reported all the
same when a document holds them (``NaN``, ``Infinity``, ``1e999``, as
Python's ``json`` writes and reads them), next to the ``malformed`` error
the loader gives for them. A malformed document is a problem, not an
exception: only a file that cannot be opened (missing, a directory, no
permission) raises its ``OSError``.

The strongly connected components are found without recursion, over
lists of indices: a 1,000,000-node, 4,000,000-edge document took 24 s on a
busy two-core machine, 3 GB at most (``bench/check_document.py``).
"""

from __future__ import annotations

import collections
import gzip
import itertools
import json
import math
import os
import sys
import zlib
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any, Literal

import norvel_core

from norvel._files import _GZIP_MAGIC

Severity = Literal["error", "warning"]

# Kinds in the order the problems are listed; the severity of each.
SEVERITY: dict[str, Severity] = {
    "malformed": "error",
    "duplicate_node": "error",
    "undeclared_node": "error",
    "bad_length": "error",
    "bad_risk": "error",
    "bad_familiarity": "error",
    "bad_coordinate": "error",
    "dead_end": "warning",
    "disconnected": "warning",
}

_FINITE_MAX = sys.float_info.max
# A message names at most this many of the records a problem concerns.
_EXAMPLES = 5
_U64_END = 1 << 64

_loads: Callable[[str], Any]
try:
    # Twice as fast; it refuses NaN and infinities, which json then reads.
    from orjson import loads as _loads
except ImportError:
    _loads = json.loads


@dataclass(frozen=True)
class Problem:
    """One kind of fault in a document: ``kind`` (see the table of
    ``norvel.checks``), ``severity`` ("error" or "warning"), ``message`` (an
    English sentence naming the first few records concerned) and ``count``
    (how many records, or components, it concerns)."""

    kind: str
    severity: Severity
    message: str
    count: int = 1


class _Malformed(Exception):
    """A record the loader cannot read; the text says which and why."""


@dataclass
class _Columns:
    """The document's records, member by member, in document order."""

    node_ids: list[int]
    lats: list[float]
    lons: list[float]
    sources: list[int]
    targets: list[int]
    lengths: list[float]
    risks: list[float]
    familiarities: list[float | None]


def check_document(path: str | os.PathLike[str]) -> list[Problem]:
    """The problems of the graph document in ``path`` (``.json`` or
    ``.json.gz``), errors first; an empty list for a sound document.

    Raises OSError only when the file cannot be read at all (missing, a
    directory); everything about its content is a ``Problem``.
    """
    name = os.fsdecode(path)
    with open(path, "rb") as stream:
        data = stream.read()
    try:
        if data[:2] == _GZIP_MAGIC:
            data = gzip.decompress(data)
        text = data.decode("utf-8")
    except (EOFError, gzip.BadGzipFile, zlib.error) as failure:
        return [_problem("malformed",
                         f"{name}: not a readable gzip file ({failure})")]
    except UnicodeDecodeError as failure:
        return [_problem("malformed", f"{name}: not UTF-8 text ({failure})")]

    problems: list[Problem] = []
    try:
        norvel_core.PyGraph.from_json(text)
    except ValueError as refusal:
        problems.append(_problem(
            "malformed", f"{name}: not a graph document: {refusal}"))
    try:
        document = _parse(text)
        # What the loader read has the shape of a graph document, so the
        # members can be taken without a look at each.
        columns = (_columns(document) if problems
                   else _trusted_columns(document))
    except (ValueError, RecursionError, _Malformed) as failure:
        if not problems:
            problems.append(_problem(
                "malformed", f"{name}: not a graph document: {failure}"))
        return problems
    problems += _value_problems(columns)
    problems += _graph_problems(columns)
    order = list(SEVERITY)
    return sorted(problems, key=lambda p: order.index(p.kind))


def _problem(kind: str, message: str, count: int = 1) -> Problem:
    return Problem(kind, SEVERITY[kind], message, count)


def _parse(text: str) -> Any:
    try:
        return _loads(text)
    except ValueError:
        # orjson refuses NaN, Infinity and 1e999, which are worth a precise
        # report; json reads them.
        return json.loads(text)


def _record(value: object, members: tuple[str, ...], what: str,
            optional: str | None = None) -> list[object]:
    """The member values of a record in object or array form, in member
    order (None for an absent optional member); ``what`` names the record
    in messages."""
    if isinstance(value, dict):
        missing = [m for m in members if m not in value and m != optional]
        if missing:
            raise _Malformed(f"{what} has no `{missing[0]}`")
        return [value.get(m) for m in members]
    if isinstance(value, list):
        if len(value) != len(members):
            raise _Malformed(f"{what} has {len(value)} elements, "
                             f"not {len(members)}")
        return value
    raise _Malformed(f"{what} is neither an object nor an array")


def _node_id(value: object, what: str, position: int) -> int:
    if not isinstance(value, int) or isinstance(value, bool) \
            or not 0 <= value < _U64_END:
        raise _Malformed(f"{what} {position}: {value!r} is no node id "
                         f"(an integer from 0 to 2**64 - 1)")
    return value


def _number(value: object, what: str, position: int, member: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise _Malformed(f"{what} {position}: `{member}` is {value!r}, "
                         f"not a number")
    try:
        return float(value)
    except OverflowError:  # an integer of hundreds of digits
        return math.copysign(math.inf, value)


def _columns(document: object) -> _Columns:
    nodes, edges = _record(document, ("nodes", "edges"), "the document")
    if not isinstance(nodes, list) or not isinstance(edges, list):
        raise _Malformed("`nodes` and `edges` must be arrays")
    columns = _Columns([], [], [], [], [], [], [], [])
    for position, value in enumerate(nodes):
        node_id, lat, lon = _record(value, ("id", "lat", "lon"),
                                    f"node {position}")
        columns.node_ids.append(_node_id(node_id, "node", position))
        columns.lats.append(_number(lat, "node", position, "lat"))
        columns.lons.append(_number(lon, "node", position, "lon"))
    for position, value in enumerate(edges):
        source, target, length, risk, familiarity = _record(
            value, ("from", "to", "distance_m", "risk_score", "familiarity"),
            f"edge {position}", optional="familiarity")
        columns.sources.append(_node_id(source, "edge", position))
        columns.targets.append(_node_id(target, "edge", position))
        columns.lengths.append(_number(length, "edge", position,
                                       "distance_m"))
        columns.risks.append(_number(risk, "edge", position, "risk_score"))
        columns.familiarities.append(
            None if familiarity is None
            else _number(familiarity, "edge", position, "familiarity"))
    return columns


def _trusted_columns(document: Any) -> _Columns:
    """The columns of a document the loader read (so every record has its
    members, of the right types), or of a checked one."""
    if isinstance(document, dict):
        nodes, edges = document["nodes"], document["edges"]
    else:
        nodes, edges = document
    if set(map(type, nodes)) <= {dict} and set(map(type, edges)) <= {dict}:
        return _Columns(
            [n["id"] for n in nodes], [n["lat"] for n in nodes],
            [n["lon"] for n in nodes], [e["from"] for e in edges],
            [e["to"] for e in edges], [e["distance_m"] for e in edges],
            [e["risk_score"] for e in edges],
            [e.get("familiarity") for e in edges])
    if set(map(type, nodes)) <= {list} and set(map(type, edges)) <= {list}:
        return _Columns(
            [n[0] for n in nodes], [n[1] for n in nodes],
            [n[2] for n in nodes], [e[0] for e in edges],
            [e[1] for e in edges], [e[2] for e in edges],
            [e[3] for e in edges], [e[4] for e in edges])
    return _columns(document)  # both forms mixed: rare, and slower


def _all_in(values: list[float], low: float, high: float) -> bool:
    """Whether every value lies in [low, high]; NaN lies nowhere."""
    if not values:
        return True
    total = sum(values)  # NaN if any is NaN
    return total == total and low <= min(values) and max(values) <= high


def _listed(count: int, noun: str, examples: Iterable[str], verb: str) -> str:
    """"3 edges have ...: a, b, c" with at most _EXAMPLES examples."""
    shown = list(itertools.islice(examples, _EXAMPLES))
    more = ", ..." if count > len(shown) else ""
    plural = noun if count == 1 else noun + "s"
    return f"{count} {plural} {verb}: {', '.join(shown)}{more}"


def _value_problems(c: _Columns) -> list[Problem]:
    problems: list[Problem] = []

    def edge_values(kind: str, member: str, values: list[float],
                    wrong: str) -> None:
        if _all_in(values, 0.0, _FINITE_MAX):
            return
        # A comparison with NaN is false, so NaN counts as out of range.
        bad = [i for i, v in enumerate(values) if not 0.0 <= v < math.inf]
        if bad:
            problems.append(_problem(kind, _listed(
                len(bad), "edge", (f"edge {i} ({c.sources[i]} -> "
                                   f"{c.targets[i]}): {values[i]!r}"
                                   for i in bad),
                f"{'has' if len(bad) == 1 else 'have'} a {wrong} "
                f"`{member}`"), len(bad)))

    edge_values("bad_length", "distance_m", c.lengths,
                "negative, NaN or infinite")
    edge_values("bad_risk", "risk_score", c.risks,
                "negative, NaN or infinite")
    given = [f for f in c.familiarities if f is not None]
    odd = ([] if _all_in(given, -_FINITE_MAX, _FINITE_MAX) else
           [i for i, f in enumerate(c.familiarities)
            if f is not None and not math.isfinite(f)])
    if odd:
        problems.append(_problem("bad_familiarity", _listed(
            len(odd), "edge", (f"edge {i} ({c.sources[i]} -> {c.targets[i]}):"
                               f" {c.familiarities[i]!r}" for i in odd),
            f"{'has' if len(odd) == 1 else 'have'} a NaN or infinite "
            f"`familiarity`"), len(odd)))
    off = ([] if _all_in(c.lats, -90.0, 90.0)
           and _all_in(c.lons, -180.0, 180.0) else
           [i for i, (lat, lon) in enumerate(zip(c.lats, c.lons))
            if not (-90.0 <= lat <= 90.0 and -180.0 <= lon <= 180.0)])
    if off:
        problems.append(_problem("bad_coordinate", _listed(
            len(off), "node", (f"{c.node_ids[i]} at lat {c.lats[i]!r}, "
                               f"lon {c.lons[i]!r}" for i in off),
            "lie outside latitude [-90, 90] or longitude [-180, 180]"
            if len(off) > 1 else
            "lies outside latitude [-90, 90] or longitude [-180, 180]"),
            len(off)))
    return problems


def _graph_problems(c: _Columns) -> list[Problem]:
    problems: list[Problem] = []
    declared = set(c.node_ids)
    if len(declared) != len(c.node_ids):
        seen: set[int] = set()
        repeated: dict[int, int] = {}
        for node_id in c.node_ids:
            if node_id in seen:
                repeated[node_id] = repeated.get(node_id, 1) + 1
            seen.add(node_id)
        problems.append(_problem("duplicate_node", _listed(
            len(repeated), "node id", (f"{n} ({times} records)"
                                       for n, times in repeated.items()),
            "occurs more than once" if len(repeated) == 1
            else "occur more than once"), len(repeated)))

    strays = ([] if declared.issuperset(c.sources)
              and declared.issuperset(c.targets) else
              [i for i, (s, t) in enumerate(zip(c.sources, c.targets))
               if s not in declared or t not in declared])
    if strays:
        problems.append(_problem("undeclared_node", _listed(
            len(strays), "edge", (f"edge {i} ({c.sources[i]} -> "
                                  f"{c.targets[i]})" for i in strays),
            "leaves or enters a node no node record lists"
            if len(strays) == 1
            else "leave or enter nodes no node record lists"), len(strays)))

    leaving = set(c.sources)
    dead = [n for n in dict.fromkeys(c.node_ids) if n not in leaving]
    if dead:
        problems.append(_problem("dead_end", _listed(
            len(dead), "node", (str(n) for n in dead),
            "has no outgoing edge, so no route starts there"
            if len(dead) == 1
            else "have no outgoing edge, so no route starts there"),
            len(dead)))

    components, largest, total = _component_sizes(c)
    if components > 1:
        problems.append(_problem(
            "disconnected",
            f"the graph has {components} strongly connected components (the "
            f"largest holds {largest} of its {total} nodes): some pairs of "
            f"nodes have no route between them", components))
    return problems


def _component_sizes(c: _Columns) -> tuple[int, int, int]:
    """(number of strongly connected components, size of the largest, node
    count) over the declared nodes and the edge ends.

    Most documents are one component, or one large one and a few stray
    nodes: two breadth-first searches (along the edges and against them)
    find the component of the first node, and Tarjan's algorithm numbers
    only the nodes left, with an explicit call stack (a city graph has
    paths of many thousand nodes, beyond any recursion limit). Edges are
    held in compressed rows: per node, a start offset into one list of
    heads.
    """
    index_of = {node_id: i
                for i, node_id in enumerate(dict.fromkeys(c.node_ids))}
    for stray in sorted(set(c.sources).union(c.targets).difference(index_of)):
        index_of[stray] = len(index_of)
    count = len(index_of)
    if count == 0:
        return 0, 0, 0
    tails = list(map(index_of.__getitem__, c.sources))
    heads = list(map(index_of.__getitem__, c.targets))
    start, forward = _rows(count, tails, heads)
    back_start, backward = _rows(count, heads, tails)
    reached = _reach(0, start, forward, count)
    reached_back = _reach(0, back_start, backward, count)
    first = [i for i in range(count) if reached[i] and reached_back[i]]

    order = [-1] * count          # visiting order, -1: not yet visited
    for i in first:
        order[i] = count          # done: never on the stack, never lowers
    low = [0] * count
    next_edge = [0] * count
    on_stack = [False] * count
    stack: list[int] = []
    visited, components, largest = 0, 1, len(first)
    for root in range(count):
        if order[root] >= 0:
            continue
        order[root] = low[root] = visited
        visited += 1
        next_edge[root] = start[root]
        stack.append(root)
        on_stack[root] = True
        calls = [root]
        while calls:
            node = calls[-1]
            position, end = next_edge[node], start[node + 1]
            descended = False
            while position < end:
                child = forward[position]
                position += 1
                if order[child] < 0:
                    next_edge[node] = position
                    order[child] = low[child] = visited
                    visited += 1
                    next_edge[child] = start[child]
                    stack.append(child)
                    on_stack[child] = True
                    calls.append(child)
                    descended = True
                    break
                if on_stack[child] and order[child] < low[node]:
                    low[node] = order[child]
            if descended:
                continue
            next_edge[node] = position
            calls.pop()
            if low[node] == order[node]:
                size = 0
                while True:
                    member = stack.pop()
                    on_stack[member] = False
                    size += 1
                    if member == node:
                        break
                components += 1
                largest = max(largest, size)
            if calls and low[node] < low[calls[-1]]:
                low[calls[-1]] = low[node]
    return components, largest, count


def _rows(count: int, tails: list[int], heads: list[int]
          ) -> tuple[list[int], list[int]]:
    """(start, heads in rows): the edges leaving node i are
    rows[start[i]:start[i + 1]]."""
    degree = collections.Counter(tails)
    start = [0, *itertools.accumulate(degree[i] for i in range(count))]
    fill = start[:-1]
    rows = [0] * len(tails)
    for tail, head in zip(tails, heads):
        rows[fill[tail]] = head
        fill[tail] += 1
    return start, rows


def _reach(root: int, start: list[int], rows: list[int],
           count: int) -> bytearray:
    """1 for every node reachable from ``root`` (itself included)."""
    seen = bytearray(count)
    seen[root] = 1
    frontier = [root]
    while frontier:
        found = []
        for node in frontier:
            for head in rows[start[node]:start[node + 1]]:
                if not seen[head]:
                    seen[head] = 1
                    found.append(head)
        frontier = found
    return seen
