"""Graph files on disk: documents (plain JSON or gzipped) and snapshots,
told apart by content.

A file that is no graph document raises ``ValueError`` naming the file
(empty, truncated gzip, not UTF-8, not JSON, not a graph; a snapshot that is
truncated, corrupt or of another format version); a file that cannot be
opened keeps its ``OSError``.
"""

from __future__ import annotations

import gzip
import os
import threading
import zlib
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import norvel_core

from norvel._documents import parse_json
from norvel._document_text import Record, document_text
from norvel._native import engine
from norvel.table import edge_ends, in_document_order

if TYPE_CHECKING:
    import pandas


_GZIP_MAGIC = b"\x1f\x8b"
# The first bytes of a snapshot (the engine's): a byte above ASCII first,
# so that no text file starts with them.
SNAPSHOT_MAGIC: bytes = engine.SNAPSHOT_MAGIC
# Written where a source's digest is not known.
UNKNOWN_SOURCE = bytes(32)


def is_snapshot(path: str | os.PathLike[str]) -> bool:
    """Whether the file starts as a snapshot does (OSError when it cannot
    be opened)."""
    with open(path, "rb") as stream:
        return stream.read(len(SNAPSHOT_MAGIC)) == SNAPSHOT_MAGIC


def pack_command(path: str | os.PathLike[str]) -> str:
    """The command that makes the snapshot ``path`` again."""
    return f"norvel pack GRAPH.json {os.fsdecode(path)}"


def open_snapshot(path: str | os.PathLike[str]) -> engine.Graph:
    """The engine's graph of a snapshot file, mapped rather than copied,
    every byte checked against its checksum. ValueError naming the file
    when it is truncated, corrupt or of another format version (then with
    the command that makes it again); OSError when it cannot be opened."""
    with open(path, "rb"):
        pass  # the system's own error for a file that cannot be read
    opened = engine.Graph.open_snapshot(os.fsdecode(path))
    if isinstance(opened, engine.Graph):
        return opened
    description, version = opened
    message = f"{os.fsdecode(path)}: {description}"
    if version:
        message += (f"; make it again from its graph document with: "
                    f"{pack_command(path)}")
    raise ValueError(message)

#: The walking tags of a way that the converter writes on its edges
#: (``tags``), in the order ``Router.edges`` shows them.
WALKING_TAGS = ("highway", "lit", "sidewalk", "crossing", "maxspeed")


def read_graph_bytes(path: str | os.PathLike[str]) -> bytes:
    """The JSON text of a graph document file, ``.json`` or ``.json.gz``, as
    bytes. The gzip header decides, not the name: a renamed file still reads.

    ValueError naming the file when it is empty or a damaged gzip stream.
    """
    with open(path, "rb") as stream:
        data = stream.read()
    if not data:
        raise ValueError(f"{os.fsdecode(path)}: the file is empty, it holds "
                         f"no graph document")
    if data[:2] == _GZIP_MAGIC:
        try:
            return gzip.decompress(data)
        except (EOFError, gzip.BadGzipFile, zlib.error) as failure:
            raise ValueError(f"{os.fsdecode(path)}: damaged gzip data "
                             f"(truncated or corrupt): {failure}") from failure
    return data


def decode_graph_text(data: bytes, path: str | os.PathLike[str]) -> str:
    """The document's bytes as text; ValueError naming the file when they
    are not UTF-8."""
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as failure:
        raise ValueError(f"{os.fsdecode(path)}: not UTF-8 text ({failure.reason} "
                         f"at byte {failure.start})") from None


def load_engine_graph(path: str | os.PathLike[str]) -> engine.Graph:
    """The engine's graph of a document or snapshot file, street names
    included: a document read once and parsed once without the interpreter
    lock, a snapshot mapped (``open_snapshot``). ValueError naming the file
    when it is neither; OSError when it cannot be read."""
    if is_snapshot(path):
        return open_snapshot(path)
    # Handed over in a list that the engine empties, so that the text goes
    # as soon as it is read (a reload peaks lower by the text's size).
    data = read_graph_bytes(path)
    if not data.isascii():
        decode_graph_text(data, path)
    held: list[bytes | str] = [data]
    del data
    try:
        return engine.Graph.load_taking(held)
    except ValueError as failure:
        raise ValueError(f"{os.fsdecode(path)}: {failure}") from None


def parse_document(data: bytes, path: str | os.PathLike[str]) -> engine.Graph:
    """The engine's graph of a document file's bytes (``read_graph_bytes``);
    ValueError naming the file when they are no graph document."""
    # The engine reads bytes as UTF-8; a file that is not gets a message
    # saying so rather than one about JSON. ASCII, the common case of large
    # generated documents, is told without decoding.
    if not data.isascii():
        decode_graph_text(data, path)
    try:
        return engine.Graph.load(data)
    except ValueError as failure:
        raise ValueError(f"{os.fsdecode(path)}: {failure}") from None


def core_document(graph: engine.Graph) -> str:
    """A graph document that ``norvel_core`` loads into the same graph as
    ``graph``: its node records and edges, without names, tags or layers.
    A familiarity of 0.0 stands for none, as the engine stores it."""
    return _graph_text(graph, None)


def _graph_text(graph: engine.Graph, tags: EdgeTags | None) -> str:
    """The document of the engine's graph; with ``tags`` (the walking tags
    it was read with), its street names, tags and risk layers (with their
    hours) too."""
    tails, heads = edge_ends(graph)
    lengths = in_document_order(graph, graph.lengths).tolist()
    risks = in_document_order(graph, graph.risks).tolist()
    familiarity = in_document_order(graph, graph.familiarity).tolist()
    names = edge_street_names(graph) if tags is not None else []
    tag_columns = (tags.columns() if tags is not None else None) or {}
    nodes: list[Record] = [
        {"id": node, "lat": lat, "lon": lon} for node, lat, lon in zip(
            graph.record_ids.tolist(), graph.record_lats.tolist(),
            graph.record_lons.tolist())]
    edges: list[Record] = []
    for at, (tail, head) in enumerate(zip(tails.tolist(), heads.tolist())):
        edge: Record = {"from": tail, "to": head, "distance_m": lengths[at],
                        "risk_score": risks[at]}
        if familiarity[at] != 0.0:
            edge["familiarity"] = familiarity[at]
        name = names[at] if names else None
        if name is not None:
            edge["name"] = name
        walking = {key: tag for key, column in tag_columns.items()
                   if (tag := column[at]) is not None}
        if walking:
            edge["tags"] = walking
        edges.append(edge)
    layers = ({name: graph.layer_risks(name).tolist()
               for name in graph.risk_layers}
              if tags is not None and graph.risk_layers else None)
    hours = ({name: (start, end) for name, start, end in graph.layer_hours}
             if layers else None)
    return document_text(nodes, edges, layers, hours)


def edge_street_names(graph: engine.Graph) -> list[str | None]:
    """Each edge's street name (None for none), in document order."""
    if not graph.has_names:
        return [None] * int(graph.edge_count)
    table: list[str | None] = [None, *graph.name_table()]
    return [table[number] for number in graph.edge_names.tolist()]


def edge_tags(data: bytes, edge_count: int
              ) -> dict[str, list[str | None]] | None:
    """The walking tags of the edges of a graph document (its bytes), from
    each edge object's ``tags`` member (as ``norvel.osm`` writes it:
    ``"tags": {"highway": "footway", ...}``): a column (a list in document
    order, None where an edge has none) per tag of WALKING_TAGS that some
    edge has. None when no edge has tags (then the document is not parsed
    at all), when the bytes are no JSON, and when they no longer hold a
    graph of ``edge_count`` edges."""
    if b'"tags"' not in data:
        return None
    try:
        document = parse_json(data)
    except ValueError:
        return None
    edges = document.get("edges") if isinstance(document, dict) else None
    if not isinstance(edges, list) or len(edges) != edge_count:
        return None
    columns: dict[str, list[str | None]] = {}
    for at, edge in enumerate(edges):
        tags = edge.get("tags") if isinstance(edge, dict) else None
        if not isinstance(tags, dict):
            continue
        for key in WALKING_TAGS:
            value = tags.get(key)
            if isinstance(value, str):
                columns.setdefault(key, [None] * edge_count)[at] = value
    return {key: columns[key] for key in WALKING_TAGS if key in columns} or None


class EdgeTags:
    """The walking tags of a router's edges (``edge_tags``), read from its
    document the first time they are asked and kept: ``Router.edges``,
    ``to_document`` and the steps' highway classes share the one reading.
    """

    def __init__(self, document: Callable[[], bytes] | None,
                 edge_count: int) -> None:
        """``document``: a function that gives the document's bytes (None:
        the graph has no document to read tags from); ``edge_count``: the
        graph's edges, which the document must still hold."""
        self._document = document
        self._edge_count = edge_count
        self._lock = threading.Lock()
        self._columns: dict[str, list[str | None]] | None = None

    def columns(self) -> dict[str, list[str | None]] | None:
        """The tags' columns, None when the document has none (or is
        gone: a file that can no longer be read tells nothing)."""
        with self._lock:
            if self._document is not None:
                try:
                    self._columns = edge_tags(self._document(),
                                              self._edge_count)
                except (OSError, ValueError):
                    self._columns = None
                # Read once; whatever holds the text (a from_json router's
                # str) goes.
                self._document = None
            return self._columns


def write_document(graph: engine.Graph, tags: EdgeTags,
                   path: str | os.PathLike[str]) -> None:
    """Writes the engine's ``graph`` as a graph document, with its street
    names, walking ``tags`` and risk layers (gzipped where the name ends
    in .gz), through a temporary file renamed into place: a reader never
    sees half a document."""
    data = _graph_text(graph, tags).encode()
    target = os.fspath(path)
    if target.endswith(".gz"):
        data = gzip.compress(data, compresslevel=6, mtime=0)
    temporary = f"{target}.{os.getpid()}.tmp"
    try:
        with open(temporary, "wb") as stream:
            stream.write(data)
        os.replace(temporary, target)
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


def graph_from_text(text: str, path: str | os.PathLike[str]) -> norvel_core.PyGraph:
    """``PyGraph.from_json`` with the file's name before the document's
    message (``ValueError``)."""
    try:
        return norvel_core.PyGraph.from_json(text)
    except ValueError as failure:
        raise ValueError(f"{os.fsdecode(path)}: {failure}") from None


def load_graph(path: str | os.PathLike[str]) -> norvel_core.PyGraph:
    """The graph of a document file. ValueError naming the file when it is
    no graph document (with the document's own message, such as ``trailing
    comma at line 3 column 4``); OSError when it cannot be read."""
    return graph_from_text(decode_graph_text(read_graph_bytes(path), path),
                           path)


def edge_table(graph: engine.Graph, tags: EdgeTags,
               layers: Sequence[str]) -> pandas.DataFrame:
    """The edges in document order as a DataFrame: ``from``, ``to``,
    ``distance_m``, ``name``, a risk column per layer of ``layers``, then
    the walking ``tags`` the document has (``Router.edges``)."""
    from norvel._extras import require

    require("Router.edges", "batch", "pandas")
    import pandas

    tails, heads = edge_ends(graph)
    columns: dict[str, Any] = {
        "from": tails, "to": heads,
        "distance_m": in_document_order(graph, graph.lengths),
        # Text columns keep None for none, which pandas would make NaN.
        "name": pandas.Series(edge_street_names(graph), dtype=object)}
    for layer in layers:
        columns[layer] = graph.layer_risks(layer)
    for tag, values in (tags.columns() or {}).items():
        columns[tag] = pandas.Series(values, dtype=object)
    return pandas.DataFrame(columns)
