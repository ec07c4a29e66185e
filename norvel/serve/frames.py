"""Messages between the front and its workers: a 4-byte big-endian length,
then that many bytes.

The front sends a pickled list of jobs; the worker answers each job with a
frame of its own, a 2-byte HTTP status followed by the JSON body, so that the
front can hand the bytes on without decoding them. The worker's first frame
says whether it loaded the graph (``Ready`` or ``Failed``, pickled).
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import BinaryIO

_LENGTH = struct.Struct(">I")
_STATUS = struct.Struct(">H")
LENGTH_SIZE = _LENGTH.size

# Jobs, as the front builds them and the worker reads them:
#   ("nearest", query)   ("route", query)   ("network", query)
#   ("pair", origin, destination, eps, max_snap_m)  one pair of POST /routes
# where query is the raw query string (bytes) and the ends of a pair are the
# JSON values the client sent.
Job = tuple[object, ...]


@dataclass(frozen=True)
class Ready:
    """A worker loaded its graph: the graph's size."""

    nodes: int
    edges: int


@dataclass(frozen=True)
class Failed:
    """A worker could not load its graph: why, in English."""

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
