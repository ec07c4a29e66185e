"""From walkable ways to the graph document that `PyGraph.from_json` reads.

No pyosmium: ways arrive as node lists with coordinates and tags, and leave
as one deterministic JSON text (nodes sorted by id, edges by (from, to),
numbers rounded once), with the edges' risks in named layers beside their
`risk_score` when rules for layers are given.
"""

from __future__ import annotations

import gzip
import io
import math
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, replace
from typing import NotRequired, TypeAlias, TypedDict

import numpy as np
from scipy.sparse import coo_array
from scipy.sparse.csgraph import connected_components

# Kept importable from here, where the converter's users found them first.
from norvel._earth import EARTH_RADIUS_M as EARTH_RADIUS_M
from norvel._earth import haversine_m as haversine_m
from norvel import _document_text
from norvel._document_text import Record
from norvel.osm import rules as walk_rules

#: Decimals of the degrees written for a node (about 1 cm).
COORDINATE_DECIMALS = 7
#: Decimals of the metres written for an edge's distance_m.
DISTANCE_DECIMALS = 2

#: A node or edge record of the document: member name to number (or, for an
#: edge's `name`, to text; for its `tags`, to an object of texts).
#: A way's tags to its risk per kilometre walked.
HazardRule: TypeAlias = Callable[[dict[str, str]], float]


class Document(TypedDict):
    """{"nodes": [...], "edges": [...], "risk_layer_hours": {name: [start,
    end]}, "risk_layers": {name: [risk per edge, in edge order]}}, the
    last two only when layers were asked for (and have hours)."""

    nodes: list[Record]
    edges: list[Record]
    risk_layer_hours: NotRequired[dict[str, list[float]]]
    risk_layers: NotRequired[dict[str, list[float]]]


@dataclass(frozen=True)
class WayNode:
    id: int
    lat: float
    lon: float


@dataclass(frozen=True)
class WalkEdge:
    source: int
    target: int
    distance_m: float
    risk_score: float
    # The `name` tag of the way, written as the edge member `name`.
    name: str | None = None
    # The edge's risk in each layer, in the order of the layer rules.
    layer_risks: tuple[float, ...] = ()
    # The way's walking tags (rules.WALKING_TAGS), the edge member `tags`.
    tags: tuple[tuple[str, str], ...] = ()


def rounded_node(node_id: int, lat: float, lon: float) -> WayNode:
    return WayNode(node_id, round(lat, COORDINATE_DECIMALS),
                   round(lon, COORDINATE_DECIMALS))


def _way_hazard(rule: HazardRule, tags: dict[str, str]) -> float:
    """``rule(tags)``, or ValueError naming the rule and the way when that
    is no finite number, 0 or more."""
    hazard = rule(tags)
    if (isinstance(hazard, bool) or not isinstance(hazard, (int, float))
            or not math.isfinite(hazard) or hazard < 0.0):
        rule_name = getattr(rule, "__qualname__", repr(rule))
        raise ValueError(
            f"the risk rule {rule_name} gave {hazard!r} for a way tagged "
            f"{tags!r}; a hazard per km must be a finite number, 0 or more")
    return hazard


def way_edges(nodes: Sequence[WayNode], tags: dict[str, str], *,
              oneway: bool = True,
              hazard_rule: HazardRule = walk_rules.hazard_per_km,
              layer_rules: Sequence[HazardRule] = ()) -> list[WalkEdge]:
    """The directed edges of one walkable way, segment by segment; with
    ``oneway`` false, both directions whatever the tags say.

    ``hazard_rule`` gives the way's risk per kilometre from its tags, and
    so each edge's `risk_score`; each of ``layer_rules`` its risk in one
    layer, in that order. Every rule must return a finite number, zero or
    more (ValueError otherwise). Each edge carries the way's `name` tag, if
    any, and its walking tags.

    Lengths are measured between the rounded coordinates that the document
    stores, so anyone can recompute them from the file.
    """
    forward, backward = (walk_rules.walking_directions(tags) if oneway
                         else (True, True))
    hazard = _way_hazard(hazard_rule, tags)
    layer_hazards = [_way_hazard(rule, tags) for rule in layer_rules]
    name = tags.get("name")
    # One tuple for all the way's edges.
    walking = tuple(walk_rules.walking_tags(tags).items())
    edges: list[WalkEdge] = []
    for a, b in zip(nodes, nodes[1:]):
        if a.id == b.id:
            continue
        distance = round(haversine_m(a.lat, a.lon, b.lat, b.lon),
                         DISTANCE_DECIMALS)
        risk = walk_rules.edge_risk(distance, hazard)
        layers = tuple(walk_rules.edge_risk(distance, layer_hazard)
                       for layer_hazard in layer_hazards)
        if forward:
            edges.append(WalkEdge(a.id, b.id, distance, risk, name, layers,
                                  walking))
        if backward:
            edges.append(WalkEdge(b.id, a.id, distance, risk, name, layers,
                                  walking))
    return edges


def merge_parallel(edges: Iterable[WalkEdge]) -> list[WalkEdge]:
    """One edge per (from, to): where ways overlap, a walker takes the safer.

    The edge of the least `risk_score` is kept, with its name and tags;
    each layer's risk is the least of that layer's risks over the merged
    edges, whichever way it came from, as a walker judging by that layer
    would take the way safest by it. Result sorted by (from, to);
    independent of the order of the input: on equal risk and length, a
    named edge wins over an unnamed one, then the name first in code point
    order, then the tags first in that order.
    """
    def rank(edge: WalkEdge) -> tuple[float, float, bool, str,
                                      tuple[tuple[str, str], ...]]:
        return (edge.risk_score, edge.distance_m, edge.name is None,
                edge.name or "", edge.tags)

    best: dict[tuple[int, int], WalkEdge] = {}
    # Only keys met more than once: parallel ways are few.
    least: dict[tuple[int, int], tuple[float, ...]] = {}
    for edge in edges:
        key = (edge.source, edge.target)
        kept = best.get(key)
        if kept is None:
            best[key] = edge
            continue
        if len(edge.layer_risks) != len(kept.layer_risks):
            raise ValueError(f"edges {key[0]} -> {key[1]} have risks in "
                             f"{len(kept.layer_risks)} and "
                             f"{len(edge.layer_risks)} layers")
        least[key] = tuple(map(min, least.get(key, kept.layer_risks),
                               edge.layer_risks))
        if rank(edge) < rank(kept):
            best[key] = edge
    return [best[key] if key not in least
            else replace(best[key], layer_risks=least[key])
            for key in sorted(best)]


def strongly_connected_components(
        nodes: Iterable[int], edges: Iterable[WalkEdge]) -> list[list[int]]:
    """The strongly connected components of the graph of ``nodes`` and the
    edges' ends: each a list of ids in ascending order, the components in
    the order of their least ids."""
    edges = list(edges)
    ids = sorted({*nodes, *(e.source for e in edges),
                  *(e.target for e in edges)})
    if not ids:
        return []
    dense = {node_id: i for i, node_id in enumerate(ids)}
    tails = np.fromiter((dense[e.source] for e in edges), np.int64, len(edges))
    heads = np.fromiter((dense[e.target] for e in edges), np.int64, len(edges))
    adjacency = coo_array((np.ones(len(edges)), (tails, heads)),
                          shape=(len(ids), len(ids))).tocsr()
    _, labels = connected_components(adjacency, directed=True,
                                     connection="strong")
    # Ids ascend, so each component is met first at its least id.
    components: dict[int, list[int]] = {}
    for node_id, label in zip(ids, labels.tolist()):
        components.setdefault(label, []).append(node_id)
    return list(components.values())


def largest_component(nodes: Iterable[int],
                      edges: Sequence[WalkEdge]) -> set[int]:
    """The largest strongly connected component; ties go to the lowest id."""
    components = strongly_connected_components(nodes, edges)
    if not components:
        return set()
    largest = min(components, key=lambda c: (-len(c), c[0]))
    return set(largest)


def build_document(coordinates: dict[int, WayNode],
                   edges: Iterable[WalkEdge], *,
                   largest_only: bool = True,
                   layer_names: Sequence[str] = (),
                   layer_hours: Mapping[str, tuple[float, float]] = (
                       walk_rules.DEFAULT_LAYER_HOURS)) -> Document:
    """The graph document restricted to the largest strongly connected part
    (or, with ``largest_only`` false, every edge after merging).

    Only nodes that a kept edge touches are kept, so every edge end is a
    node, and with ``largest_only`` every node can reach every other one.
    With ``layer_names`` (those of the edges' ``layer_risks``, in order),
    the document holds them as its member `risk_layers`, and those of them
    ``layer_hours`` names their hours; without, it has neither. Raises
    ValueError when an edge has risks for other layers.
    """
    merged = merge_parallel(edges)
    if largest_only:
        keep = largest_component((), merged)
        kept_edges = [e for e in merged
                      if e.source in keep and e.target in keep]
    else:
        kept_edges = merged
    used = sorted({e.source for e in kept_edges}
                  | {e.target for e in kept_edges})
    document: Document = {
        "nodes": [{"id": n, "lat": coordinates[n].lat,
                   "lon": coordinates[n].lon} for n in used],
        "edges": [_edge_record(e) for e in kept_edges],
    }
    if layer_names:
        wrong = next((e for e in kept_edges
                      if len(e.layer_risks) != len(layer_names)), None)
        if wrong is not None:
            raise ValueError(
                f"edge {wrong.source} -> {wrong.target} has risks in "
                f"{len(wrong.layer_risks)} layers, not in the "
                f"{len(layer_names)} named {', '.join(layer_names)}")
        hours = {name: list(layer_hours[name]) for name in layer_names
                 if name in layer_hours}
        if hours:
            document["risk_layer_hours"] = hours
        document["risk_layers"] = {
            name: [e.layer_risks[i] for e in kept_edges]
            for i, name in enumerate(layer_names)}
    return document


def _edge_record(edge: WalkEdge) -> Record:
    record: Record = {"from": edge.source, "to": edge.target,
                      "distance_m": edge.distance_m,
                      "risk_score": edge.risk_score}
    if edge.name is not None:
        record["name"] = edge.name
    if edge.tags:
        record["tags"] = dict(edge.tags)
    return record


def document_text(document: Document) -> str:
    """Compact JSON with one record, or one layer, a line: small, yet
    diffable."""
    return _document_text.document_text(document["nodes"], document["edges"],
                                        document.get("risk_layers"),
                                        document.get("risk_layer_hours"))


def gzip_bytes(text: str) -> bytes:
    """gzip -9 with neither a time stamp nor a file name in the header, so
    the same graph always gives the same bytes."""
    buffer = io.BytesIO()
    with gzip.GzipFile(filename="", mode="wb", fileobj=buffer,
                       compresslevel=9, mtime=0) as stream:
        stream.write(text.encode("utf-8"))
    return buffer.getvalue()
