"""Graph documents read in Python, the one reader besides the engine's
loader.

``parse_json`` parses a whole document's text, with orjson where it is
installed; ``node_records`` only its node array where the nodes come
first. Each takes the document's text, not its file: reading files is
``norvel._files``'s job.
"""

from __future__ import annotations

import json
import re
from typing import Any

# Documents written by norvel.osm and most others open with the node array;
# then only that array needs parsing, a fifth or less of the text.
_NODES_FIRST = re.compile(r'\s*(?:\{\s*"nodes"\s*:|\[)\s*')


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
