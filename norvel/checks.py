"""What is wrong with a graph document, before routing over it.

    for problem in norvel.check_document("city.json.gz"):
        print(problem.severity, problem.kind, problem.message)

``check_document(path)`` returns a list of ``Problem`` records (empty for a sound
document): errors first, then warnings, one problem per kind with how many
records it concerns and the first few of them, in document order, in its
message.

An **error** means that the graph is not what its author meant: the file is
no graph document, or it holds a value no street can have, or an id that
names two places or none. The route search reads most such documents
without complaint, yet its answers over them mean little. A **warning**
means a sound graph on which some requests fail: a node no edge leaves
cannot be a source, and nodes of different strongly connected components
may have no route between them.

Kinds, with their severity and when they are found:

    malformed (error)
        The file is no graph document: empty, a damaged gzip stream, not
        UTF-8, not JSON, a member missing or of the wrong type. The message
        names the file and, where the loader refuses the text, gives its
        message with line and column.
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
    bad_layer (error)
        The document's ``risk_layers`` member is no object, or comes more
        than once, or one of its layers is not an array of numbers with
        one number per edge.
    bad_layer_name (error)
        A risk layer name that is not a plain identifier (ASCII letters,
        digits and _; not starting with a digit), is ``default`` (the
        name of the edges' own ``risk_score``) or is given more than once.
    bad_layer_risk (error)
        A risk in a layer is negative, NaN or infinite.
    bad_coordinate (error)
        A latitude outside [-90, 90] or a longitude outside [-180, 180],
        NaN and infinities included.
    dead_end (warning)
        A node that no edge leaves.
    disconnected (warning)
        The graph (its nodes and edge ends) has more than one strongly
        connected component.

Values are quoted as the numbers the search holds (``-5.0`` for a
``distance_m`` written ``-5``). A layer's risks are checked only when it
holds one number per edge, each against the edge of its position.

NaN and infinities cannot be written in JSON; they are reported all the
same when a document holds them (``NaN``, ``Infinity``, ``1e999``, as
Python's ``json`` writes and reads them), next to the ``malformed`` error
the loader gives for them: a document the loader refuses is read once more
with ``json``, which is slow on a large one. A malformed document is a
problem, not an exception: only a file that cannot be opened (missing, a
directory, no permission) raises its ``OSError``.

A document the loader reads is checked over the loader's own arrays, the
strongly connected components found by scipy: a 1,000,000-node,
4,000,000-edge document took 2.1 s of processor time (3.1 s on a busy
two-core machine) and 760 MB at most, against 15 s and 3.1 GB when the
document was parsed again in Python (``bench/check_document.py``).
The loader skips a top-level ``risk_layers`` member, saying where it was
(``Graph.risk_layers_members``), so that the checks read only that
member's bytes, with a few passes of numpy over each layer's numbers, only
those that may be out of range being parsed; a document without layers
costs nothing more.
"""

from __future__ import annotations

import itertools
import json
import math
import os
import re
import sys
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any, Literal, Protocol

import numpy as np
import numpy.typing as npt

from norvel._files import decode_graph_text, read_graph_bytes
from norvel._layer_names import RISK_LAYERS_MEMBER, layer_name_fault
from norvel._native import engine

#: How grave a problem is.
Severity = Literal["error", "warning"]

#: Kinds in the order the problems are listed; the severity of each.
SEVERITY: dict[str, Severity] = {
    "malformed": "error",
    "duplicate_node": "error",
    "undeclared_node": "error",
    "bad_length": "error",
    "bad_risk": "error",
    "bad_familiarity": "error",
    "bad_layer": "error",
    "bad_layer_name": "error",
    "bad_layer_risk": "error",
    "bad_coordinate": "error",
    "dead_end": "warning",
    "disconnected": "warning",
}

_FINITE_MAX = sys.float_info.max
# A message names at most this many of the records a problem concerns.
_EXAMPLES = 5
_U64_END = 1 << 64

_Floats = npt.NDArray[np.float64]
_Indices = npt.NDArray[np.intp]


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


class _GraphArrays(Protocol):
    """What the checks read of a graph, as ``engine.Graph`` holds it: per
    dense index (listed ids first, in the order of their first record, then
    the ids only edges name) the id, whether a record lists it and where its
    row of outgoing edges begins; per row entry the edge's head, position
    in the document and values; the node records in document order."""

    @property
    def ids(self) -> npt.NDArray[np.uint64]: ...
    @property
    def listed(self) -> npt.NDArray[np.bool_]: ...
    @property
    def out_begin(self) -> npt.NDArray[np.uint32]: ...
    @property
    def heads(self) -> npt.NDArray[np.uint32]: ...
    @property
    def edge_index(self) -> npt.NDArray[np.uint32]: ...
    @property
    def lengths(self) -> _Floats: ...
    @property
    def risks(self) -> _Floats: ...
    @property
    def familiarity(self) -> _Floats: ...
    @property
    def record_ids(self) -> npt.NDArray[np.uint64]: ...
    @property
    def record_lats(self) -> _Floats: ...
    @property
    def record_lons(self) -> _Floats: ...


def check_document(path: str | os.PathLike[str]) -> list[Problem]:
    """The problems of the graph document in ``path`` (``.json`` or
    ``.json.gz``), errors first; an empty list for a sound document.

    Raises OSError only when the file cannot be read at all (missing, a
    directory); everything about its content is a ``Problem``.
    """
    try:
        data = read_graph_bytes(path)
        # Only the verdict: the engine reads the bytes, and a str of a text
        # with non-ASCII letters would be a larger copy.
        decode_graph_text(data, path)
    except ValueError as failure:  # empty, damaged gzip, not UTF-8
        return [_problem("malformed", str(failure))]
    try:
        # Its layers are checked here, each fault named, not refused whole.
        graph = engine.Graph.load(data, names=False, layers=False)
    except ValueError as refusal:
        return [_problem("malformed", f"{os.fsdecode(path)}: not a graph "
                                      f"document: {refusal}"),
                *_refused_document_problems(data)]
    layers = _member_layers(data, graph.risk_layers_members)
    del data  # as large as the graph: no need to hold both while checking
    return _problems(graph, layers)


def _problem(kind: str, message: str, count: int = 1) -> Problem:
    return Problem(kind, SEVERITY[kind], message, count)


def _listed(count: int, noun: str, examples: Iterable[str], verb: str) -> str:
    """"3 edges have ...: a, b, c" with at most _EXAMPLES examples."""
    shown = list(itertools.islice(examples, _EXAMPLES))
    more = ", ..." if count > len(shown) else ""
    plural = noun if count == 1 else noun + "s"
    return f"{count} {plural} {verb}: {', '.join(shown)}{more}"


def _problems(g: _GraphArrays, layers: _Layers | None) -> list[Problem]:
    """Every problem but ``malformed`` of a graph and its layers (None: the
    document has none), in the order of SEVERITY."""
    found = [
        _duplicate_nodes(g), _undeclared_nodes(g),
        _edge_values(g, "bad_length", "distance_m", g.lengths, 0.0,
                     "negative, NaN or infinite"),
        _edge_values(g, "bad_risk", "risk_score", g.risks, 0.0,
                     "negative, NaN or infinite"),
        _edge_values(g, "bad_familiarity", "familiarity", g.familiarity,
                     -_FINITE_MAX, "NaN or infinite"),
        *_layer_problems(g, layers),
        _bad_coordinates(g), _dead_ends(g), _disconnected(g)]
    return [problem for problem in found if problem is not None]


def _first_edges(g: _GraphArrays, rows: _Indices) -> _Indices:
    """The row entries among ``rows`` of the first _EXAMPLES edges in
    document order."""
    return rows[np.argsort(g.edge_index[rows], kind="stable")[:_EXAMPLES]]


def _edge_names(g: _GraphArrays, rows: _Indices) -> list[str]:
    """"edge 7 (1 -> 2)" per row entry: its position in the document and
    its ends' ids."""
    # A row entry belongs to the last node whose row begins at or before it
    # (nodes without edges begin where the next one does).
    tails = np.searchsorted(g.out_begin, rows, side="right") - 1
    return [f"edge {i} ({source} -> {target})" for i, source, target in zip(
        g.edge_index[rows].tolist(), g.ids[tails].tolist(),
        g.ids[g.heads[rows]].tolist())]


def _duplicate_nodes(g: _GraphArrays) -> Problem | None:
    ids = g.record_ids
    if np.count_nonzero(g.listed) == len(ids):
        return None
    # Records of one id side by side, each id's in document order.
    order = np.argsort(ids, kind="stable")
    ordered = ids[order]
    starts = np.flatnonzero(np.concatenate(
        ([True], ordered[1:] != ordered[:-1])))
    sizes = np.diff(np.append(starts, len(ids)))
    repeated = np.flatnonzero(sizes > 1)
    # An id is named where its second record comes.
    second = order[starts[repeated] + 1]
    shown = repeated[np.argsort(second)[:_EXAMPLES]]
    return _problem("duplicate_node", _listed(
        len(repeated), "node id",
        (f"{node_id} ({times} records)" for node_id, times in zip(
            ordered[starts[shown]].tolist(), sizes[shown].tolist())),
        "occurs more than once" if len(repeated) == 1
        else "occur more than once"), len(repeated))


def _undeclared_nodes(g: _GraphArrays) -> Problem | None:
    unlisted = ~g.listed
    if not unlisted.any():
        return None
    rows = np.flatnonzero(unlisted[g.heads]
                          | np.repeat(unlisted, np.diff(g.out_begin)))
    return _problem("undeclared_node", _listed(
        len(rows), "edge", _edge_names(g, _first_edges(g, rows)),
        "leaves or enters a node no node record lists" if len(rows) == 1
        else "leave or enter nodes no node record lists"), len(rows))


def _edge_values(g: _GraphArrays, kind: str, member: str, values: _Floats,
                 low: float, wrong: str) -> Problem | None:
    """The edges whose ``member`` lies outside [low, the largest finite
    double]."""
    # A comparison with NaN is false, so NaN counts as out of range.
    rows = np.flatnonzero(~((values >= low) & (values <= _FINITE_MAX)))
    if len(rows) == 0:
        return None
    first = _first_edges(g, rows)
    return _problem(kind, _listed(
        len(rows), "edge",
        (f"{name}: {value!r}" for name, value in zip(
            _edge_names(g, first), values[first].tolist())),
        f"{'has' if len(rows) == 1 else 'have'} a {wrong} `{member}`"),
        len(rows))


def _bad_coordinates(g: _GraphArrays) -> Problem | None:
    lats, lons = g.record_lats, g.record_lons
    off = np.flatnonzero(~((lats >= -90.0) & (lats <= 90.0)
                           & (lons >= -180.0) & (lons <= 180.0)))
    if len(off) == 0:
        return None
    shown = off[:_EXAMPLES]
    return _problem("bad_coordinate", _listed(
        len(off), "node",
        (f"{node_id} at lat {lat!r}, lon {lon!r}" for node_id, lat, lon in zip(
            g.record_ids[shown].tolist(), lats[shown].tolist(),
            lons[shown].tolist())),
        "lie outside latitude [-90, 90] or longitude [-180, 180]"
        if len(off) > 1 else
        "lies outside latitude [-90, 90] or longitude [-180, 180]"),
        len(off))


def _dead_ends(g: _GraphArrays) -> Problem | None:
    # Listed ids have the first dense indices, in the order of their first
    # records: dense order is document order.
    dead = np.flatnonzero(g.listed & (np.diff(g.out_begin) == 0))
    if len(dead) == 0:
        return None
    return _problem("dead_end", _listed(
        len(dead), "node", map(str, g.ids[dead[:_EXAMPLES]].tolist()),
        "has no outgoing edge, so no route starts there" if len(dead) == 1
        else "have no outgoing edge, so no route starts there"), len(dead))


def _disconnected(g: _GraphArrays) -> Problem | None:
    count = len(g.ids)
    if count == 0:
        return None
    # scipy.sparse takes a while to import: only when a document is checked.
    from scipy.sparse import csr_array
    from scipy.sparse.csgraph import connected_components

    # The rows as they are; only the weights (unread) are made up.
    adjacency = csr_array((np.ones(len(g.heads)), g.heads, g.out_begin),
                          shape=(count, count))
    components, labels = connected_components(adjacency, directed=True,
                                              connection="strong")
    if components == 1:
        return None
    largest = int(np.bincount(labels).max())
    return _problem(
        "disconnected",
        f"the graph has {components} strongly connected components (the "
        f"largest holds {largest} of its {count} nodes): some pairs of "
        f"nodes have no route between them", components)


# Risk layers: the top-level member `risk_layers` that the loader skips.


@dataclass(frozen=True)
class _Risks:
    """One layer's array: how many values it holds, and the positions
    (ascending) and values of those outside [0, the largest finite
    double]."""

    count: int
    wrong: _Indices
    wrong_values: _Floats

    @classmethod
    def of(cls, risks: _Floats) -> _Risks:
        # A comparison with NaN is false, so NaN counts as out of range.
        wrong = np.flatnonzero(~((risks >= 0.0) & (risks <= _FINITE_MAX)))
        return cls(len(risks), wrong, risks[wrong])


@dataclass(frozen=True)
class _Layers:
    """A document's `risk_layers`: how many top-level members of that name
    it has, and the last one's layers in document order, each name with
    its risks (None when they are not an array of numbers); ``layers`` is
    None when that member is not an object."""

    members: int
    layers: list[tuple[str, _Risks | None]] | None


_SPACE = re.compile(rb"[ \t\n\r]*")
_STRING = re.compile(rb'"(?:[^"\\]|\\.)*"', re.S)
# What an array of JSON numbers holds between its brackets.
_NUMBERS = re.compile(rb"[ \t\n\r0-9eE+\-.,]*")
# The longest number that _number_text_risks takes as plain (a float's
# repr is 24 characters at most).
_PLAIN_NUMBER_LENGTH = 24
_COMMA, _MINUS, _EXPONENT = ord(","), ord("-"), ord("e")


def _member_layers(data: bytes, members: list[tuple[int, int]]
                   ) -> _Layers | None:
    """The layers of a document's top-level `risk_layers` members, given
    where the loader found their values (``Graph.risk_layers_members``);
    None when it has none."""
    if not members:
        return None
    start, end = members[-1]
    return _Layers(len(members), _read_layers(data, start, end))


def _skip_space(data: bytes, at: int) -> int:
    space = _SPACE.match(data, at)
    assert space is not None  # [ \t\n\r]* matches anywhere
    return space.end()


def _read_layers(data: bytes, start: int, end: int
                 ) -> list[tuple[str, _Risks | None]] | None:
    """The layers of the member value ``data[start:end]``, None when it is
    no object: arrays of plain numbers straight from the bytes; a value
    with anything else in it through json."""
    if data[start:start + 1] != b"{":
        return None
    layers: list[tuple[str, _Risks | None]] = []
    at = _skip_space(data, start + 1)
    if data[at:at + 1] == b"}":
        return layers
    while True:
        name = _STRING.match(data, at)
        assert name is not None  # the text is valid JSON
        at = _skip_space(data, _skip_space(data, name.end()) + 1)
        close = data.find(b"]", at)
        if data[at:at + 1] != b"[" \
                or _NUMBERS.fullmatch(data, at + 1, close) is None:
            # NaN, strings, nested arrays...: a faulty document, read the
            # slow way.
            return _parsed_layers(_PAIRS.decode(data[start:end].decode()))
        layers.append((json.loads(name.group()),
                       _number_text_risks(data[at + 1:close])))
        at = _skip_space(data, close + 1)
        if data[at:at + 1] != b",":
            return layers
        at = _skip_space(data, at + 1)


def _number_text_risks(text: bytes) -> _Risks:
    """The risks of the comma-separated JSON numbers ``text``.

    Parsing every number would cost about 0.25 us each (4,000,000 edges: 1
    s a layer). Only a number that may be out of range is parsed, by
    float(), which rounds as the loader does: one with a minus sign that
    is no exponent's, one with an exponent of three characters or more, one
    longer than _PLAIN_NUMBER_LENGTH characters. Any other is 0 or more, and
    below 10**120 (21 digits and an exponent of 99 at most): finite. A
    sound layer has few such numbers, so its cost is a few passes of numpy
    over its bytes.
    """
    if not text.strip():
        return _Risks.of(np.empty(0, dtype=np.float64))
    chars = np.frombuffer(text, dtype=np.uint8)
    # Number k lies between bounds[k] + 1 and bounds[k + 1].
    bounds = np.concatenate(([-1], np.flatnonzero(chars == _COMMA),
                             [len(text)]))
    commas = bounds[1:-1]
    minus = np.flatnonzero(chars == _MINUS)
    # ORed with 0x20, "E" becomes "e".
    signs = minus[chars[np.maximum(minus - 1, 0)] | 0x20 != _EXPONENT]
    exponents = np.flatnonzero(chars | 0x20 == _EXPONENT)
    if len(exponents):
        after = chars[np.minimum(exponents + 1, len(text) - 1)]
        number_ends = bounds[np.searchsorted(commas, exponents) + 1]
        exponents = exponents[(after != _MINUS)
                              & (exponents + 3 < number_ends)]
    positions = np.unique(np.concatenate((
        np.searchsorted(commas, signs), np.searchsorted(commas, exponents),
        np.flatnonzero(np.diff(bounds) > _PLAIN_NUMBER_LENGTH + 1))))
    values = np.array([float(text[a:b]) for a, b in zip(
        (bounds[positions] + 1).tolist(), bounds[positions + 1].tolist())],
        dtype=np.float64)
    found = _Risks.of(values)
    return _Risks(len(bounds) - 1, positions[found.wrong], found.wrong_values)


class _Pairs(list[tuple[str, Any]]):
    """A JSON object's members in order, repeated names kept."""


_PAIRS = json.JSONDecoder(object_pairs_hook=_Pairs)
_JSON = json.JSONDecoder()
_TEXT_SPACE = re.compile(r"[ \t\n\r]*")


def _parsed_layers(value: Any) -> list[tuple[str, _Risks | None]] | None:
    """The layers of a `risk_layers` member's value as _PAIRS reads it;
    None when it is no object."""
    if not isinstance(value, _Pairs):
        return None
    layers: list[tuple[str, _Risks | None]] = []
    for name, risks_value in value:
        risks = None
        if isinstance(risks_value, list) and not isinstance(risks_value, _Pairs) \
                and all(isinstance(v, (int, float)) and not isinstance(v, bool)
                        for v in risks_value):
            risks = _Risks.of(np.array([_float(v) for v in risks_value],
                                       dtype=np.float64))
        layers.append((name, risks))
    return layers


def _json_document(data: bytes) -> tuple[Any, _Layers | None]:
    """The document as ``json.loads`` reads it (raising its ValueError or
    RecursionError when it cannot), and the layers of its top-level
    `risk_layers` members (None when it has none). A top-level object is
    read member by member, as json reads it, so that each value is parsed
    once and those members' layers keep their repeated names (their
    values in the document are _Pairs too)."""
    text = data.decode(json.detect_encoding(data), "surrogatepass")
    at = _skip_text_space(text, 0)
    if text[at:at + 1] != "{":
        return _JSON.decode(text), None
    members: dict[str, Any] = {}
    found: list[Any] = []
    at = _skip_text_space(text, at + 1)
    closed = text[at:at + 1] == "}"
    while not closed:
        if text[at:at + 1] != '"':
            raise ValueError("a member's name is due")
        name, at = _JSON.raw_decode(text, at)  # a string, at a quote
        at = _skip_text_space(text, at)
        if text[at:at + 1] != ":":
            raise ValueError("a colon is due")
        at = _skip_text_space(text, at + 1)
        if name == RISK_LAYERS_MEMBER:
            value, at = _PAIRS.raw_decode(text, at)
            found.append(value)
        else:
            value, at = _JSON.raw_decode(text, at)
        members[name] = value
        at = _skip_text_space(text, at)
        closed = text[at:at + 1] == "}"
        if not closed:
            if text[at:at + 1] != ",":
                raise ValueError("a comma is due")
            at = _skip_text_space(text, at + 1)
    if _skip_text_space(text, at + 1) != len(text):
        raise ValueError("extra data")
    layers = _Layers(len(found), _parsed_layers(found[-1])) if found else None
    return members, layers


def _skip_text_space(text: str, at: int) -> int:
    space = _TEXT_SPACE.match(text, at)
    assert space is not None  # [ \t\n\r]* matches anywhere
    return space.end()


def _float(value: float) -> float:
    try:
        return float(value)
    except OverflowError:  # an integer of hundreds of digits
        return math.copysign(math.inf, value)


def _layer_problems(g: _GraphArrays, found: _Layers | None
                    ) -> list[Problem | None]:
    """bad_layer, bad_layer_name and bad_layer_risk, each or None."""
    if found is None:
        return []
    edges = len(g.heads)
    faults = []
    if found.members > 1:
        faults.append(f"the document has {found.members} `risk_layers` "
                      f"members (the last one is checked)")
    if found.layers is None:
        faults.append("`risk_layers` is not an object of risk layers")
        return [_problem("bad_layer", "; ".join(faults), len(faults))]
    wrong = [f"`{name}` (not an array of numbers)" if risks is None
             else f"`{name}` ({risks.count} value"
                  f"{'' if risks.count == 1 else 's'})"
             for name, risks in found.layers
             if risks is None or risks.count != edges]
    if wrong:
        faults.append(_listed(
            len(wrong), "risk layer", wrong,
            f"{'does' if len(wrong) == 1 else 'do'} not hold one number "
            f"per edge ({edges} edges)"))
    times: dict[str, int] = {}
    for name, _ in found.layers:
        times[name] = times.get(name, 0) + 1
    refused = [f"`{name}` {fault}" for name, fault in (
        (name, layer_name_fault(name)
         or (f"is given {times[name]} times" if times[name] > 1 else None))
        for name in times) if fault is not None]
    return [
        _problem("bad_layer", "; ".join(faults),
                 len(faults) - 1 + len(wrong) if wrong else len(faults))
        if faults else None,
        _problem("bad_layer_name", _listed(
            len(refused), "risk layer name", refused,
            "is refused" if len(refused) == 1 else "are refused"),
            len(refused)) if refused else None,
        _layer_risks(g, [(name, risks) for name, risks in found.layers
                         if risks is not None and risks.count == edges])]


def _layer_risks(g: _GraphArrays, layers: list[tuple[str, _Risks]]
                 ) -> Problem | None:
    """The risks outside [0, the largest finite double], layer by layer in
    document order, each layer's in edge order."""
    count = sum(len(risks.wrong) for _, risks in layers)
    if count == 0:
        return None
    # Row entry of each document position, for the edges' names.
    rows = np.empty(len(g.edge_index), dtype=np.intp)
    rows[g.edge_index] = np.arange(len(g.edge_index))
    shown: list[str] = []
    for name, risks in layers:
        first = slice(0, _EXAMPLES - len(shown))
        shown += [f"{edge} in `{name}`: {risk!r}" for edge, risk in zip(
            _edge_names(g, rows[risks.wrong[first]]),
            risks.wrong_values[first].tolist())]
    return _problem("bad_layer_risk", _listed(
        count, "layer risk", shown,
        "is negative, NaN or infinite" if count == 1
        else "are negative, NaN or infinite"), count)


# A document the loader refuses, read with Python's json.


class _Malformed(Exception):
    """A record Python's reading cannot take; the text says which and
    why."""


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


@dataclass(frozen=True)
class _DocumentArrays:
    """The arrays of ``_GraphArrays``, made from columns."""

    ids: npt.NDArray[np.uint64]
    listed: npt.NDArray[np.bool_]
    out_begin: npt.NDArray[np.uint32]
    heads: npt.NDArray[np.uint32]
    edge_index: npt.NDArray[np.uint32]
    lengths: _Floats
    risks: _Floats
    familiarity: _Floats
    record_ids: npt.NDArray[np.uint64]
    record_lats: _Floats
    record_lons: _Floats


def _refused_document_problems(data: bytes) -> list[Problem]:
    """The problems of a document the loader refuses, when Python's json
    reads it (NaN, Infinity and 1e999 included) and it has the shape of a
    graph document; none otherwise."""
    try:
        document, layers = _json_document(data)
        columns = _columns(document)
    except (ValueError, RecursionError, _Malformed):
        return []
    return _problems(_arrays(columns), layers)


def _arrays(c: _Columns) -> _DocumentArrays:
    """The arrays the loader would build of the columns' document."""
    dense = {node_id: i for i, node_id in enumerate(dict.fromkeys(c.node_ids))}
    listed_count = len(dense)
    for source, target in zip(c.sources, c.targets):
        dense.setdefault(source, len(dense))
        dense.setdefault(target, len(dense))
    tails = np.array([dense[s] for s in c.sources], dtype=np.intp)
    # Edge positions row by row, each row in document order.
    rows = np.argsort(tails, kind="stable")
    out_begin = np.concatenate((
        [0], np.cumsum(np.bincount(tails, minlength=len(dense)))))

    def in_rows(values: list[float]) -> _Floats:
        return np.array(values, dtype=np.float64)[rows]

    return _DocumentArrays(
        ids=np.array(list(dense), dtype=np.uint64),
        listed=np.arange(len(dense)) < listed_count,
        out_begin=out_begin.astype(np.uint32),
        heads=np.array([dense[t] for t in c.targets], dtype=np.uint32)[rows],
        edge_index=rows.astype(np.uint32),
        lengths=in_rows(c.lengths), risks=in_rows(c.risks),
        familiarity=in_rows([0.0 if f is None else f
                             for f in c.familiarities]),
        record_ids=np.array(c.node_ids, dtype=np.uint64),
        record_lats=np.array(c.lats, dtype=np.float64),
        record_lons=np.array(c.lons, dtype=np.float64))


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


def _columns(document: Any) -> _Columns:
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
