"""networkx (and OSMnx) graphs to the graph document a file would hold, so
that a router over one answers as over that document."""

from __future__ import annotations

import math
import numbers
import operator
from collections.abc import Callable, Iterator
from typing import Any

from norvel._document_text import Record, document_text
from norvel._extras import require

EdgeValue = str | Callable[[Any, Any, dict[str, Any]], float | None]
_U64_END = 2**64


def document_of(graph: Any, length: EdgeValue, risk: EdgeValue,
                familiarity: EdgeValue | None) -> str:
    """The graph document of a networkx graph; see Router.from_networkx.
    TypeError for what is no networkx graph; ValueError for a node id that
    is no int in [0, 2**64), a node without ``y`` or ``x``, or an edge
    value that is missing or not a finite number."""
    require("Router.from_networkx", "networkx", "networkx")
    import networkx

    if not isinstance(graph, networkx.Graph):
        raise TypeError(f"expected a networkx graph, got "
                        f"{type(graph).__name__}")
    nodes: list[Record] = [
        {"id": _node_id(node), "lat": _coordinate(node, data, "y"),
         "lon": _coordinate(node, data, "x")}
        for node, data in graph.nodes(data=True)]
    edges: list[Record] = []
    for source, target, data in _directed_edges(graph):
        edge: Record = {
            "from": _node_id(source), "to": _node_id(target),
            "distance_m": _required(length, source, target, data, "length"),
            "risk_score": _required(risk, source, target, data, "risk")}
        known = None if familiarity is None else _edge_value(
            familiarity, source, target, data, "familiarity", optional=True)
        if known is not None:
            edge["familiarity"] = known
        name = _street_name(data.get("name"))
        if name is not None:
            edge["name"] = name
        edges.append(edge)
    # Written as a document, so that the graph reader decides exactly as
    # for a file.
    return document_text(nodes, edges)


def _directed_edges(graph: Any) -> Iterator[tuple[Any, Any, dict[str, Any]]]:
    """Every edge as (from, to, attributes); an undirected edge twice, one
    way then the other (a loop once)."""
    if graph.is_multigraph():
        edges = ((u, v, d) for u, v, _, d in graph.edges(keys=True, data=True))
    else:
        edges = iter(graph.edges(data=True))
    directed = graph.is_directed()
    for source, target, data in edges:
        yield source, target, data
        if not directed and source != target:
            yield target, source, data


def _node_id(node: Any) -> int:
    if isinstance(node, bool):
        raise ValueError(f"node ids must be ints from 0 to 2**64 - 1, "
                         f"got {node!r}")
    try:
        value = operator.index(node)
    except TypeError:
        raise ValueError(f"node ids must be ints from 0 to 2**64 - 1, got "
                         f"{node!r} ({type(node).__name__})") from None
    if not 0 <= value < _U64_END:
        raise ValueError(f"node ids must be ints from 0 to 2**64 - 1, "
                         f"got {value}")
    return value


def _finite(value: Any) -> float | None:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        return None
    number = float(value)
    return number if math.isfinite(number) else None


def _coordinate(node: Any, data: dict[str, Any], key: str) -> float:
    if key not in data:
        raise ValueError(f"node {node!r} has no '{key}' attribute (y: "
                         f"latitude, x: longitude, as OSMnx writes them)")
    number = _finite(data[key])
    if number is None:
        raise ValueError(f"node {node!r}: '{key}' must be a finite number, "
                         f"got {data[key]!r}")
    return number


def _edge_value(how: EdgeValue, source: Any, target: Any,
                data: dict[str, Any], what: str, *,
                optional: bool = False) -> float | None:
    if callable(how):
        value = how(source, target, data)
        label = f"{what} callable"
    elif how in data:
        value = data[how]
        label = f"'{how}' attribute"
    elif optional:
        return None
    else:
        raise ValueError(f"edge ({source!r}, {target!r}) has no '{how}' "
                         f"attribute for its {what}")
    if value is None and optional:
        return None
    number = _finite(value)
    if number is None:
        raise ValueError(f"edge ({source!r}, {target!r}): the {label} gave "
                         f"{value!r}, not a finite number")
    return number


def _required(how: EdgeValue, source: Any, target: Any,
              data: dict[str, Any], what: str) -> float:
    value = _edge_value(how, source, target, data, what)
    assert value is not None  # only an optional value may be missing
    return value


def _street_name(value: Any) -> str | None:
    """An edge's name: OSMnx gives a list where merged ways had several."""
    if isinstance(value, str):
        return value or None
    if isinstance(value, list) and value and all(isinstance(v, str) for v in value):
        return " / ".join(value)
    return None
