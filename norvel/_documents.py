"""Graph documents read in Python, the one reader besides the engine's
loader.

``parse_json`` parses a whole document's text, with orjson where it is
installed; ``node_records`` only its node array where the nodes come
first. A document the loader refuses is read once more with Python's json
(``json_document``, which takes NaN, Infinity and 1e999 as json does), its
records checked into columns (``document_columns``, ``MalformedRecord``
when one cannot be taken) and the columns laid out as the loader lays out
a graph (``loader_arrays``). Each takes the document's text, not its
file: reading files is ``norvel._files``'s job.
"""

from __future__ import annotations

import json
import math
import re
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from norvel._layer_names import RISK_LAYERS_MEMBER
from norvel.table import FloatArray

# Documents written by norvel.osm and most others open with the node array;
# then only that array needs parsing, a fifth or less of the text.
_NODES_FIRST = re.compile(r'\s*(?:\{\s*"nodes"\s*:|\[)\s*')
_U64_END = 1 << 64


def parse_json(data: bytes | str) -> Any:
    """The value of the JSON text ``data`` as orjson reads it where it is
    installed (extra ``norvel_core[geo]``), as json does otherwise;
    ValueError when it is no JSON (``orjson.JSONDecodeError`` and
    ``json.JSONDecodeError`` both are)."""
    # Imported at each call, not with the module: ``import norvel`` stays
    # free of orjson, and a process that hides it (sys.modules["orjson"] =
    # None) gets json. A 1,000,000-node document parses in 3.7 s with
    # orjson, 6.7 s with json.
    try:
        import orjson
    except ImportError:
        return json.loads(data)
    return orjson.loads(data)


def node_records(data: bytes) -> Any:
    """The node array of a graph document's bytes, without parsing its
    edges when the nodes come first. UnicodeDecodeError when the text is
    not UTF-8, ValueError when it is no JSON."""
    text = data.decode("utf-8")
    start = _NODES_FIRST.match(text)
    if start is None:
        return document_member(parse_json(data), 0, "nodes")
    # json's raw_decode stops at the array's end; orjson would parse all.
    nodes, _ = json.JSONDecoder().raw_decode(text, start.end())
    return nodes


def document_member(document: Any, position: int, name: str) -> Any:
    """The member ``name`` of a parsed document in object form, the element
    ``position`` of one in array form."""
    return document[name] if isinstance(document, dict) else document[position]


class Pairs(list[tuple[str, Any]]):
    """A JSON object's members in order, repeated names kept."""


#: Reads objects as ``Pairs``.
PAIRS_DECODER = json.JSONDecoder(object_pairs_hook=Pairs)
_JSON = json.JSONDecoder()
_TEXT_SPACE = re.compile(r"[ \t\n\r]*")


def json_document(data: bytes) -> tuple[Any, list[Any]]:
    """The document as ``json.loads`` reads it (raising its ValueError or
    RecursionError when it cannot), and the values of its top-level
    `risk_layers` members in document order, their objects read as
    ``Pairs``. A top-level object is read member by member, as json reads
    it, so that each value is parsed once and those members keep their
    repeated names (their values in the document are Pairs too)."""
    text = data.decode(json.detect_encoding(data), "surrogatepass")
    at = _skip_text_space(text, 0)
    if text[at:at + 1] != "{":
        return _JSON.decode(text), []
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
            value, at = PAIRS_DECODER.raw_decode(text, at)
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
    return members, found


def _skip_text_space(text: str, at: int) -> int:
    space = _TEXT_SPACE.match(text, at)
    assert space is not None  # [ \t\n\r]* matches anywhere
    return space.end()


def json_float(value: int | float) -> float:
    """A number as json reads it, as a double: an integer too large for
    one is an infinity of its sign, as the loader reads it."""
    try:
        return float(value)
    except OverflowError:  # an integer of hundreds of digits
        # Not copysign, which would convert the integer to a double too.
        return math.inf if value > 0 else -math.inf


class MalformedRecord(Exception):
    """A record Python's reading cannot take; the text says which and
    why."""


@dataclass
class Columns:
    """The document's records, member by member, in document order."""

    node_ids: list[int]
    lats: list[float]
    lons: list[float]
    sources: list[int]
    targets: list[int]
    lengths: list[float]
    risks: list[float]
    familiarities: list[float | None]


def document_columns(document: Any) -> Columns:
    """The records of a document as json reads it; MalformedRecord naming
    the first one that is not a node or edge record."""
    nodes, edges = _record(document, ("nodes", "edges"), "the document")
    if not isinstance(nodes, list) or not isinstance(edges, list):
        raise MalformedRecord("`nodes` and `edges` must be arrays")
    columns = Columns([], [], [], [], [], [], [], [])
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


def _record(value: object, members: tuple[str, ...], what: str,
            optional: str | None = None) -> list[object]:
    """The member values of a record in object or array form, in member
    order (None for an absent optional member); ``what`` names the record
    in messages."""
    if isinstance(value, dict):
        missing = [m for m in members if m not in value and m != optional]
        if missing:
            raise MalformedRecord(f"{what} has no `{missing[0]}`")
        return [value.get(m) for m in members]
    if isinstance(value, list):
        if len(value) != len(members):
            raise MalformedRecord(f"{what} has {len(value)} elements, "
                                  f"not {len(members)}")
        return value
    raise MalformedRecord(f"{what} is neither an object nor an array")


def _node_id(value: object, what: str, position: int) -> int:
    if not isinstance(value, int) or isinstance(value, bool) \
            or not 0 <= value < _U64_END:
        raise MalformedRecord(f"{what} {position}: {value!r} is no node id "
                              f"(an integer from 0 to 2**64 - 1)")
    return value


def _number(value: object, what: str, position: int, member: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise MalformedRecord(f"{what} {position}: `{member}` is {value!r}, "
                              f"not a number")
    return json_float(value)


@dataclass(frozen=True)
class LoaderArrays:
    """The arrays of the engine's ``Graph`` that the document checks read
    (``norvel.checks`` says what each holds), made in Python."""

    ids: npt.NDArray[np.uint64]
    listed: npt.NDArray[np.bool_]
    out_begin: npt.NDArray[np.uint32]
    heads: npt.NDArray[np.uint32]
    edge_index: npt.NDArray[np.uint32]
    lengths: FloatArray
    risks: FloatArray
    familiarity: FloatArray
    record_ids: npt.NDArray[np.uint64]
    record_lats: FloatArray
    record_lons: FloatArray


def loader_arrays(c: Columns) -> LoaderArrays:
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

    def in_rows(values: list[float]) -> FloatArray:
        return np.array(values, dtype=np.float64)[rows]

    return LoaderArrays(
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
