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
import os
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Literal, Protocol

import numpy as np
import numpy.typing as npt

from norvel._documents import (MalformedRecord, document_columns,
                               json_document, loader_arrays)
from norvel._files import decode_graph_text, read_graph_bytes
from norvel._layer_names import layer_name_fault
from norvel._layer_scan import (FINITE_MAX, Indices, Layers, Risks,
                                member_layers, out_of_range, value_layers)
from norvel._native import engine
from norvel.table import FloatArray

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

# A message names at most this many of the records a problem concerns.
_EXAMPLES = 5


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
    def lengths(self) -> FloatArray: ...
    @property
    def risks(self) -> FloatArray: ...
    @property
    def familiarity(self) -> FloatArray: ...
    @property
    def record_ids(self) -> npt.NDArray[np.uint64]: ...
    @property
    def record_lats(self) -> FloatArray: ...
    @property
    def record_lons(self) -> FloatArray: ...


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
    layers = member_layers(data, graph.risk_layers_members)
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


def _problems(g: _GraphArrays, layers: Layers | None) -> list[Problem]:
    """Every problem but ``malformed`` of a graph and its layers (None: the
    document has none), in the order of SEVERITY."""
    found = [
        _duplicate_nodes(g), _undeclared_nodes(g),
        _edge_values(g, "bad_length", "distance_m", g.lengths, 0.0,
                     "negative, NaN or infinite"),
        _edge_values(g, "bad_risk", "risk_score", g.risks, 0.0,
                     "negative, NaN or infinite"),
        _edge_values(g, "bad_familiarity", "familiarity", g.familiarity,
                     -FINITE_MAX, "NaN or infinite"),
        *_layer_problems(g, layers),
        _bad_coordinates(g), _dead_ends(g), _disconnected(g)]
    return [problem for problem in found if problem is not None]


def _first_edges(g: _GraphArrays, rows: Indices) -> Indices:
    """The row entries among ``rows`` of the first _EXAMPLES edges in
    document order."""
    return rows[np.argsort(g.edge_index[rows], kind="stable")[:_EXAMPLES]]


def _edge_names(g: _GraphArrays, rows: Indices) -> list[str]:
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


def _edge_values(g: _GraphArrays, kind: str, member: str, values: FloatArray,
                 low: float, wrong: str) -> Problem | None:
    """The edges whose ``member`` lies outside [low, the largest finite
    double]."""
    rows = out_of_range(values, low)
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


def _layer_problems(g: _GraphArrays, found: Layers | None
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


def _layer_risks(g: _GraphArrays, layers: list[tuple[str, Risks]]
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


def _refused_document_problems(data: bytes) -> list[Problem]:
    """The problems of a document the loader refuses, when Python's json
    reads it (NaN, Infinity and 1e999 included) and it has the shape of a
    graph document; none otherwise."""
    try:
        document, layer_values = json_document(data)
        layers = value_layers(layer_values)
        columns = document_columns(document)
    except (ValueError, RecursionError, MalformedRecord):
        return []
    return _problems(loader_arrays(columns), layers)

