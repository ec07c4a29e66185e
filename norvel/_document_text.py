"""The one writer of graph documents' text: every document the package
writes (``Router.to_document``, the converter, a networkx graph, the copy
``norvel_core`` loads) is written here, in object form with one record, or
one risk layer, a line: small, yet diffable. Every number is written so
that it reads back to the same double.
"""

from __future__ import annotations

import json
import math
from collections.abc import Iterable, Mapping, Sequence
from typing import TypeAlias

from norvel._layer_names import LAYER_HOURS_MEMBER, RISK_LAYERS_MEMBER

#: A node or edge record: its members in the order they are written.
Record: TypeAlias = dict[str, int | float | str | dict[str, str]]

# Names stay readable (UTF-8, not \u escapes); json escapes quotes,
# backslashes and control characters. One encoder for all: json.dumps
# with options builds one per call.
_TEXT = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"))


def value(number: float | int | str | dict[str, str]) -> str:
    """A member's value as JSON: ValueError for a number JSON cannot hold
    (NaN, an infinity), TypeError for what is no number, text or tags."""
    if isinstance(number, (str, dict)):
        return _TEXT.encode(number)
    if isinstance(number, bool) or not isinstance(number, (int, float)):
        raise TypeError(f"not a number: {number!r}")
    if isinstance(number, float) and not math.isfinite(number):
        raise ValueError(f"JSON cannot hold {number!r}")
    return repr(number)


def numbers(values: Sequence[float]) -> str:
    """The values joined by commas, as ``value`` writes each."""
    if all(type(v) is float for v in values) and all(map(math.isfinite, values)):
        return ",".join(map(repr, values))
    return ",".join(map(value, values))


def record(fields: Record) -> str:
    """One record as a JSON object."""
    return "{" + ",".join(f'"{name}":{value(member)}'
                          for name, member in fields.items()) + "}"


def document_text(nodes: Iterable[Record], edges: Iterable[Record],
                  risk_layers: Mapping[str, Sequence[float]] | None = None,
                  layer_hours: Mapping[str, Sequence[float]] | None = None
                  ) -> str:
    """A graph document: the nodes, the edges and, when there are any,
    the hours of the layers that have some, then the risk layers (last,
    where the loader reads them ahead)."""
    text = ('{"nodes":[\n' + ",\n".join(map(record, nodes)) + '\n],\n"edges":[\n'
            + ",\n".join(map(record, edges)) + "\n]")
    if layer_hours:
        hours = ",".join(f"{value(name)}:[{numbers(span)}]"
                         for name, span in layer_hours.items())
        text += f',\n"{LAYER_HOURS_MEMBER}":{{{hours}}}'
    if risk_layers is not None:
        layers = ",\n".join(value(name) + ":[" + numbers(risks) + "]"
                            for name, risks in risk_layers.items())
        text += f',\n"{RISK_LAYERS_MEMBER}":{{\n{layers}\n}}'
    return text + "}\n"
