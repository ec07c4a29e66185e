"""A fast read of the node records and edge ends of a graph document
written one record a line, as norvel.osm and most generators write it:

    {"nodes":[
    {"id":25291537,"lat":60.1643249,"lon":24.9370245},
    ...
    ],"edges":[
    {"from":25291537,"to":25291550,"distance_m":187.45,"risk_score":0.1},
    ...
    ]}

Parsing such a document whole in Python takes longer than the graph reader
itself; here numpy reads the fixed places of each line at once. The text must
already be a valid graph document (``PyGraph.from_json`` accepted it), and
any line that is not exactly of this form sends the caller back to a full
parse: the scan then returns None. It never guesses.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
import numpy.typing as npt
from numpy.lib.stride_tricks import sliding_window_view

_HEAD = b'{"nodes":[\n'
# What norvel.osm writes between the arrays, and the one-line form.
_BETWEEN = (b"\n],\n", b"\n],")
_EDGES = b'"edges":[\n'
_END = b"]}"
_WHITESPACE = b" \t\r\n"
_U64 = np.uint64
_ZEROS = _U64(0x3030303030303030)


class Nodes(NamedTuple):
    ids: npt.NDArray[np.uint64]
    lats: npt.NDArray[np.float64]
    lons: npt.NDArray[np.float64]
    # Where the edge records are: (first byte, end) of their lines.
    edge_lines: tuple[int, int]


class _Layout(Exception):
    """A line is not of the one-record-a-line form."""


def scan_nodes(data: bytes, node_count: int) -> Nodes | None:
    """The node records of a valid graph document of ``node_count`` nodes in
    the one-record-a-line form, and where its edge lines are; None for any
    other layout."""
    try:
        return _scan_nodes(data, node_count)
    except _Layout:
        return None


def scan_edges(data: bytes, edge_lines: tuple[int, int], edge_count: int
               ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]] | None:
    """(from ids, to ids) of the ``edge_count`` edges of a document that
    ``scan_nodes`` read; None for any other layout, or when an edge carries
    a ``name`` (which this read does not collect)."""
    try:
        return _scan_edges(data, edge_lines, edge_count)
    except _Layout:
        return None


def _scan_nodes(data: bytes, node_count: int) -> Nodes:
    end = len(data)
    while end and data[end - 1] in _WHITESPACE:
        end -= 1
    edges = data.find(_EDGES)
    between = next((b for b in _BETWEEN if data.endswith(b, 0, edges)), None) \
        if edges > 0 else None
    if (between is None or not data.startswith(_HEAD)
            or data[end - len(_END):end] != _END):
        raise _Layout
    edge_lines = (edges + len(_EDGES), end - len(_END))
    if edge_lines[0] > edge_lines[1]:
        raise _Layout
    window = _Windows(data)
    start, stop = len(_HEAD), edges - len(between) + 1
    if not node_count or start == stop:
        raise _Layout
    try:
        parts = [_plain_nodes(window, a, b, b == stop)
                 for a, b in _pieces(data, start, stop)]
    except _Layout:
        parts = []
        for a, b in _pieces(data, start, stop):
            starts, ends = _lines(window.bytes, a, b, b == stop)
            parts.append(_nodes(window, starts, ends))
    ids, lats, lons = (np.concatenate(column) for column in zip(*parts))
    if len(ids) != node_count:
        raise _Layout
    return Nodes(ids, lats, lons, edge_lines)


def _scan_edges(data: bytes, edge_lines: tuple[int, int], edge_count: int
                ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]]:
    # Without brackets among the edge lines, each line that starts with a
    # brace starts an edge of the edges array, and the edge ends on that
    # line (a line starting inside an object could not start with a brace);
    # as many lines as edges then leaves one edge to a line.
    if (data.find(b"[", *edge_lines) >= 0 or data.find(b"]", *edge_lines) >= 0
            or data.find(b'"name"', *edge_lines) >= 0):
        raise _Layout
    window = _Windows(data)
    start, stop = edge_lines
    parts = [_edges(window, _lines(window.bytes, a, b, b == stop)[0])
             for a, b in _pieces(data, start, stop)]
    tails = np.concatenate([p[0] for p in parts] or [np.empty(0, np.uint64)])
    heads = np.concatenate([p[1] for p in parts] or [np.empty(0, np.uint64)])
    if len(tails) != edge_count:
        raise _Layout
    return tails, heads


# Lines are read a few megabytes at a time, so that the arrays of a piece
# stay in the processor's caches and take no fresh memory.
_PIECE = 1 << 21


def _pieces(data: bytes, start: int, stop: int) -> list[tuple[int, int]]:
    """data[start:stop], which ends with a line feed, in pieces of whole
    lines."""
    pieces = []
    while start < stop:
        end = data.find(b"\n", min(start + _PIECE, stop) - 1, stop) + 1
        if end <= start:
            raise _Layout
        pieces.append((start, end))
        start = end
    return pieces


def _lines(buf: npt.NDArray[np.uint8], start: int, stop: int, last: bool
           ) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.intp]]:
    """(first byte, end) of each line of buf[start:stop], which ends with a
    line feed; the end is the position of the line's closing brace. With
    ``last``, the final line is the last of its array."""
    feeds = np.flatnonzero(buf[start:stop] == 10) + start
    if not len(feeds) or feeds[-1] != stop - 1:
        raise _Layout
    starts = np.empty(len(feeds), np.intp)
    starts[0] = start
    starts[1:] = feeds[:-1] + 1
    # A record line ends "}," or, the last of its array, "}".
    ends = feeds - 2
    if last:
        ends[-1] += 1
    commas = feeds[:-1] - 1 if last else feeds - 1
    if (not (buf[commas] == ord(",")).all()
            or not (buf[ends] == ord("}")).all()):
        raise _Layout
    return starts, ends


class _Windows:
    """Fixed-width byte windows of the text at many positions at once."""

    def __init__(self, text: bytes) -> None:
        self.text = text
        buf = np.frombuffer(text, dtype=np.uint8)
        self.bytes = buf
        self.size = len(buf)
        # A little-endian word at every byte: one element to copy per word.
        self.words: npt.NDArray[np.uint64] = np.ndarray(
            (max(len(buf) - 7, 0),), dtype="<u8", buffer=buf, strides=(1,))

    def rows(self, positions: npt.NDArray[np.intp],
             width: int) -> npt.NDArray[np.uint8]:
        """The ``width`` bytes from each position, one row each."""
        if len(positions) and (positions.min() < 0
                               or positions.max() > self.size - width):
            raise _Layout
        return sliding_window_view(self.bytes, width)[positions]

    def word(self, positions: npt.NDArray[np.intp]) -> npt.NDArray[np.uint64]:
        """The 8 bytes from each position as a little-endian word."""
        if len(positions) and (positions.min() < 0
                               or positions.max() > self.size - 8):
            raise _Layout
        return self.words[positions]

    def expect(self, positions: npt.NDArray[np.intp], text: bytes) -> None:
        """Every position holds ``text`` (at most 8 bytes)."""
        if not len(positions):
            return
        words = self.word(positions)
        mask = _U64((1 << (8 * len(text))) - 1) if len(text) < 8 else ~_U64(0)
        wanted = _U64(int.from_bytes(text.ljust(8, b"\0"), "little"))
        if not ((words & mask) == wanted).all():
            raise _Layout

    def span(self, positions: npt.NDArray[np.intp], terminator: bytes,
             longest: int) -> npt.NDArray[np.intp]:
        """The bytes from each position to the first ``terminator``: in a
        valid document, a number's bytes end there. _Layout when that is
        empty or longer than ``longest``."""
        found = self.rows(positions, longest + 1) == ord(terminator)
        # 0 when the terminator is right there or nowhere in reach.
        length: npt.NDArray[np.intp] = np.argmax(found, axis=1)
        if len(positions) and length.min() == 0:
            raise _Layout
        return length




# For 0 to 8 digits at the high end of a word: the low bytes to replace,
# and what to subtract so that digits become their values and those bytes 0.
_LOW_BYTES = np.array([2**64 - 1] + [(1 << (8 * (8 - n))) - 1
                                     for n in range(1, 9)], dtype=np.uint64)
_SUBTRAHENDS = _LOW_BYTES | _ZEROS


def _digits(window: _Windows, stops: npt.NDArray[np.intp],
            counts: npt.NDArray[np.intp]) -> npt.NDArray[np.uint64]:
    """The value of the ``counts`` (0 to 8) decimal digits that end just
    before each stop, by the multiply-and-shift of a word of digits: pairs,
    then fours, then all eight (the first digit is the lowest byte)."""
    # Where no digit is wanted the word is read all the same, and masked;
    # every number has more than 8 bytes of text before it, so only such a
    # word can start before the text does.
    words = window.word(np.maximum(stops - 8, 0))
    words = (words | _LOW_BYTES[counts]) - _SUBTRAHENDS[counts]
    words = ((words * _U64(1 + (10 << 8))) >> _U64(8)) & _U64(0x00FF00FF00FF00FF)
    words = (((words * _U64(1 + (100 << 16))) >> _U64(16))
             & _U64(0x0000FFFF0000FFFF))
    return (words * _U64(1 + (10000 << 32))) >> _U64(32)


def _integer(window: _Windows, stops: npt.NDArray[np.intp],
             lengths: npt.NDArray[np.intp]) -> npt.NDArray[np.uint64]:
    """Unsigned integers of up to 20 digits ending before each stop; a
    valid document keeps them below 2**64, so wrapping arithmetic is exact."""
    value = _digits(window, stops, np.minimum(lengths, 8))
    if len(lengths) and lengths.max() > 8:
        middle = _digits(window, stops - 8, np.clip(lengths - 8, 0, 8))
        value = value + middle * _U64(10**8)
        if lengths.max() > 16:
            high = _digits(window, stops - 16, np.clip(lengths - 16, 0, 8))
            value = value + high * _U64(10**16)
    return value


def _nodes(window: _Windows, starts: npt.NDArray[np.intp],
           ends: npt.NDArray[np.intp]
           ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float64],
                      npt.NDArray[np.float64]]:
    window.expect(starts, b'{"id":')
    id_at = starts + 6
    id_length = window.span(id_at, b",", 20)
    lat_at = id_at + id_length + 7
    window.expect(lat_at - 7, b',"lat":')
    lats, lat_length = _decimal(window, lat_at, b",")
    lon_at = lat_at + lat_length + 7
    window.expect(lon_at - 7, b',"lon":')
    lons, lon_length = _decimal(window, lon_at, b"}")
    if not (lon_at + lon_length == ends).all():
        raise _Layout
    return _integer(window, id_at + id_length, id_length), lats, lons


# The bytes _plain_nodes looks for, and what each line of plain decimals
# holds of them: {"id":N,"lat":N.N,"lon":N.N},
_MARKS = b':.}\n'
_PLAIN_LINE = np.frombuffer(b'::.:.}\n', dtype=np.uint8)


def _plain_nodes(window: _Windows, start: int, stop: int, last: bool
                 ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float64],
                            npt.NDArray[np.float64]]:
    """The node lines of buf[start:stop] when every coordinate is a plain
    decimal with a point (as norvel.osm writes them): then one search for a
    few bytes finds every number's bounds. With ``last``, the final line is
    the last of the array."""
    data = window.text
    # The member names hold no e: any e or E is an exponent.
    if data.find(b"e", start, stop) >= 0 or data.find(b"E", start, stop) >= 0:
        raise _Layout
    block = window.bytes[start:stop]
    found = block == _MARKS[0]
    for mark in _MARKS[1:]:
        found |= block == mark
    at = np.flatnonzero(found) + start
    count = len(at) // len(_PLAIN_LINE)
    if not count or len(at) != count * len(_PLAIN_LINE):
        raise _Layout
    marks: npt.NDArray[np.intp] = at.reshape(count, len(_PLAIN_LINE))
    if not (window.bytes[marks] == _PLAIN_LINE).all():
        raise _Layout
    # One row a mark, each contiguous for the arithmetic below.
    columns: npt.NDArray[np.intp] = np.ascontiguousarray(marks.T)
    id_colon, lat_colon, lat_dot, lon_colon, lon_dot, brace, feed = (
        columns[i] for i in range(len(_PLAIN_LINE)))
    # Each line "}," but the last of the array, "}".
    if not ((feed[:-1] - brace[:-1] == 2).all()
            and feed[-1] - brace[-1] == (1 if last else 2)
            and feed[-1] == stop - 1):
        raise _Layout
    line_starts = np.empty(count, dtype=np.intp)
    line_starts[0] = start
    line_starts[1:] = feed[:-1] + 1
    window.expect(line_starts, b'{"id":')
    if not (id_colon - line_starts == 5).all():
        raise _Layout
    id_stop = lat_colon - 6
    window.expect(id_stop, b',"lat":')
    lat_stop = lon_colon - 6
    window.expect(lat_stop, b',"lon":')
    id_length = id_stop - id_colon - 1
    if id_length.min() < 1 or id_length.max() > 20:
        raise _Layout
    return (_integer(window, id_stop, id_length),
            _point_decimal(window, lat_colon + 1, lat_dot, lat_stop),
            _point_decimal(window, lon_colon + 1, lon_dot, brace))


def _point_decimal(window: _Windows, at: npt.NDArray[np.intp],
                   dot: npt.NDArray[np.intp], stop: npt.NDArray[np.intp]
                   ) -> npt.NDArray[np.float64]:
    """Numbers -?digits.digits (no exponent: _plain_nodes found no e), of up to
    15 digits, as doubles."""
    negative = window.bytes[at] == ord("-")
    whole = dot - at - negative
    fraction = stop - dot - 1
    if (whole.min() < 1 or fraction.min() < 1
            or (whole + fraction).max() > _EXACT_DIGITS):
        raise _Layout
    mantissa = (_integer(window, dot, whole) * _U64_POWERS[fraction]
                + _integer(window, stop, fraction))
    value: npt.NDArray[np.float64] = (mantissa.astype(np.float64)
                                      / _POWERS[fraction])
    value[negative] *= -1.0
    return value


def _edges(window: _Windows, starts: npt.NDArray[np.intp]
           ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]]:
    window.expect(starts, b'{"from":')
    tail_at = starts + 8
    tail_length = window.span(tail_at, b",", 20)
    head_at = tail_at + tail_length + 6
    window.expect(head_at - 6, b',"to":')
    head_length = window.span(head_at, b",", 20)
    return (_integer(window, tail_at + tail_length, tail_length),
            _integer(window, head_at + head_length, head_length))


# A decimal of at most 15 digits, 22 or fewer after the point, is an integer
# below 2**53 divided by an exact power of ten: that one correctly rounded
# division gives the double nearest to the decimal, as a parser would.
_EXACT_DIGITS = 15
_POWERS = 10.0 ** np.arange(_EXACT_DIGITS + 1)
_U64_POWERS = 10 ** np.arange(_EXACT_DIGITS + 1, dtype=np.uint64)


def _decimal(window: _Windows, at: npt.NDArray[np.intp], terminator: bytes
             ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.intp]]:
    """The JSON numbers at ``at``, each ended by ``terminator``, as doubles,
    with their lengths. Plain decimals (-?digits[.digits] of up to 15
    digits) are computed in bulk; the others (exponents, long digit strings)
    one by one with float()."""
    buf = window.bytes
    negative = (buf[at] == ord("-")).astype(np.intp)
    whole = _digit_run(window, at + negative)
    dot = at + negative + whole
    has_dot = buf[dot] == ord(".")
    fraction = np.where(has_dot, _digit_run(window, dot + 1), 0)
    length = negative + whole + has_dot + fraction
    plain = ((buf[at + length] == ord(terminator)) & (whole > 0)
             & (has_dot <= (fraction > 0)) & (whole + fraction <= _EXACT_DIGITS))
    every = bool(plain.all())
    chosen = slice(None) if every else np.flatnonzero(plain)
    f = fraction[chosen]
    mantissa = (_integer(window, dot[chosen], whole[chosen]) * _U64_POWERS[f]
                + _integer(window, (at + length)[chosen], f))
    value = mantissa.astype(np.float64) / _POWERS[f]
    value[negative[chosen] == 1] *= -1.0
    if every:
        return value, length
    values = np.empty(len(at), dtype=np.float64)
    values[chosen] = value
    others = np.flatnonzero(~plain)
    length[others] = window.span(at[others], terminator, 32)
    for i in others.tolist():
        start = int(at[i])
        try:
            values[i] = float(bytes(buf[start:start + int(length[i])]))
        except ValueError:
            # More than a number before the brace: another member follows.
            raise _Layout from None
    return values, length


def _digit_run(window: _Windows, positions: npt.NDArray[np.intp]
               ) -> npt.NDArray[np.intp]:
    """How many digits follow each position; 0 also where there are more
    than the bulk way takes."""
    digit = (window.rows(positions, _EXACT_DIGITS + 1) - ord("0")) < 10
    run: npt.NDArray[np.intp] = np.argmin(digit, axis=1)
    return run
