"""Messages between the front and the worker processes: a 4-byte big-endian
length, then that many bytes.

The front sends a worker a pickled list of jobs; the worker answers each job
with a frame of its own, a 2-byte HTTP status followed by the JSON body, so
that the front can hand the bytes on without decoding them. The process
that holds the graph (``norvel.serve.zygote``) sends pickled messages in
the same frames on its own socket: whether it loaded the graph (``Ready``
or ``Failed``), then a ``Forked`` (or ``Failed``) for each worker asked
for.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Any, BinaryIO

_LENGTH = struct.Struct(">I")
_STATUS = struct.Struct(">H")
#: Bytes of a frame's length header.
LENGTH_SIZE = _LENGTH.size

#: Jobs, as the front builds them and the worker reads them::
#:
#:   ("nearest", query)   ("route", query)   ("network", query)
#:   ("pair", origin, destination, eps, max_snap_m)  one pair of POST /routes
#:
#: where query is the raw query string (bytes) and the ends of a pair are the
#: JSON values the client sent.
Job = tuple[Any, ...]


@dataclass(frozen=True)
class Ready:
    """The graph is loaded: its size."""

    nodes: int
    edges: int


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


def pack_answer(status: int, body: bytes) -> bytes:
    return pack(_STATUS.pack(status) + body)


def unpack_answer(payload: bytes) -> tuple[int, bytes]:
    """(HTTP status, JSON body) of an answer frame's payload."""
    status: int = _STATUS.unpack_from(payload)[0]
    return status, payload[_STATUS.size:]


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
