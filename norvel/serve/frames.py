"""Messages between the front and the worker processes: a 4-byte big-endian
length, then that many bytes.

The front sends a worker a pickled list of jobs; the worker answers each job
with a frame of its own, a 2-byte HTTP status and the seconds the worker
spent on the job (an 8-byte double) followed by the JSON body, so that the
front can hand the bytes on without decoding them. The process
that holds the graph (``norvel.serve.zygote``) sends pickled messages in
the same frames on its own socket: whether it loaded the graph (``Ready``
or ``Failed``), then a ``Forked`` (or ``Failed``) for each worker asked
for.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Any, BinaryIO

from norvel._values import DEFAULT_RISK

_LENGTH = struct.Struct(">I")
_ANSWER_HEAD = struct.Struct(">Hd")
#: Bytes of a frame's length header.
LENGTH_SIZE = _LENGTH.size

#: Jobs, as the front builds them and the worker reads them::
#:
#:   ("nearest", query)   ("route", query)   ("network", query)   ("catchment", query)
#:   ("front", query)   ("route_body", body)   the JSON body of POST /route
#:   ("served", b"")   what the API's description says of the graph (``served``)
#:   ("pair", origin, destination, eps, max_snap_m, risk)  one pair of POST /routes
#:
#: where query is the raw query string (bytes) and the ends of a pair are the
#: JSON values the client sent.
Job = tuple[Any, ...]
#: A worker's answer to a job: an HTTP status and the JSON bytes of its body.
Answer = tuple[int, bytes]


@dataclass(frozen=True)
class Ready:
    """The graph is loaded: its size, and the file it came from as it was
    when reading began (its SHA-256, size, modification time in
    nanoseconds and inode)."""

    nodes: int
    edges: int
    sha256: str
    size: int
    mtime_ns: int
    inode: int
    # The risk layers a request may name, "default" first.
    risk_layers: tuple[str, ...] = (DEFAULT_RISK,)
    # The hours of the layers that have some, (name, start, end) in the
    # order the layers were added: what a request by the time of day reads.
    risk_layer_hours: tuple[tuple[str, float, float], ...] = ()


@dataclass(frozen=True)
class Forked:
    """A worker was forked: its pid. Its socket (and, on Linux, a pidfd of
    it) come with the message as passed descriptors."""

    pid: int


@dataclass(frozen=True)
class Failed:
    """The graph could not be loaded: why, in English."""

    message: str


def pack(payload: bytes) -> bytes:
    """One frame: the length, then the payload."""
    return _LENGTH.pack(len(payload)) + payload


def length(header: bytes) -> int:
    """The payload length that a frame's 4-byte header announces."""
    value: int = _LENGTH.unpack(header)[0]
    return value


def pack_answer(status: int, body: bytes, seconds: float) -> bytes:
    """The frame of a job's answer and of the seconds spent on it."""
    return pack(_ANSWER_HEAD.pack(status, seconds) + body)


def unpack_answer(payload: bytes) -> tuple[int, bytes, float]:
    """(HTTP status, JSON body, seconds spent) of an answer frame's payload."""
    status, seconds = _ANSWER_HEAD.unpack_from(payload)
    return status, payload[_ANSWER_HEAD.size:], seconds


def read_frame(stream: BinaryIO) -> bytes | None:
    """The next payload of a blocking stream; None at its end."""
    header = stream.read(LENGTH_SIZE)
    if len(header) < LENGTH_SIZE:
        return None
    size = length(header)
    payload = stream.read(size)
    if len(payload) < size:
        return None
    return payload
