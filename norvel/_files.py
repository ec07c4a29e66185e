"""Graph documents on disk: plain JSON or gzipped, told apart by content."""

from __future__ import annotations

import gzip
import os

import norvel_core

_GZIP_MAGIC = b"\x1f\x8b"


def read_graph_bytes(path: str | os.PathLike[str]) -> bytes:
    """The JSON text of a graph document file, ``.json`` or ``.json.gz``.

    The gzip header decides, not the name: a renamed file still reads.
    """
    with open(path, "rb") as stream:
        data = stream.read()
    if data[:2] == _GZIP_MAGIC:
        return gzip.decompress(data)
    return data


def load_graph(path: str | os.PathLike[str]) -> norvel_core.PyGraph:
    """The graph of a document file; ValueError when it is no graph document."""
    return norvel_core.PyGraph.from_json(read_graph_bytes(path).decode("utf-8"))
