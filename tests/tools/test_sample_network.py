"""The bundled Helsinki network is a graph the demo can rely on."""

import gzip
import heapq
import json
import math
import random
import re
from pathlib import Path

import norvel_core
import pytest

import norvel

from norvel.datasets import helsinki_walk
from norvel.osm.graph import haversine_m
from norvel.osm.rules import BASE_HAZARD_PER_KM, DEFAULT_LAYER_HOURS, WALKING_TAGS

REPO = Path(__file__).resolve().parents[2]
SAMPLE = helsinki_walk()
RISK_WEIGHT = 500.0


@pytest.fixture(scope="module")
def document():
    return json.loads(gzip.decompress(SAMPLE.read_bytes()))


@pytest.fixture(scope="module")
def successors(document):
    table = {}
    for edge in document["edges"]:
        table.setdefault(edge["from"], []).append(edge)
    return table


def _demo_pair():
    text = (REPO / "examples" / "demo.py").read_text(encoding="utf-8")
    source = re.search(r"^DEMO_SOURCE = (\d+)$", text, re.M)
    target = re.search(r"^DEMO_TARGET = (\d+)$", text, re.M)
    return int(source.group(1)), int(target.group(1))


def _cheapest_path(successors, source, target, weight):
    best = {source: 0.0}
    previous = {}
    queue = [(0.0, source)]
    while queue:
        cost, node = heapq.heappop(queue)
        if node == target:
            break
        if cost > best[node]:
            continue
        for edge in successors.get(node, ()):
            candidate = cost + weight(edge)
            if candidate < best.get(edge["to"], math.inf):
                best[edge["to"]] = candidate
                previous[edge["to"]] = node
                heapq.heappush(queue, (candidate, edge["to"]))
    path = [target]
    while path[-1] != source:
        path.append(previous[path[-1]])
    return path[::-1]


def test_shape_and_order(document):
    assert list(document) == ["nodes", "edges", "risk_layer_hours", "risk_layers"]
    ids = [node["id"] for node in document["nodes"]]
    assert ids == sorted(set(ids))
    assert 1000 < len(ids) < 100_000
    for node in document["nodes"]:
        assert list(node) == ["id", "lat", "lon"]
        assert type(node["id"]) is int and 0 <= node["id"] < 2**64
        assert type(node["lat"]) is float and type(node["lon"]) is float
        assert round(node["lat"], 7) == node["lat"]
        assert round(node["lon"], 7) == node["lon"]
    keys = [(edge["from"], edge["to"]) for edge in document["edges"]]
    assert keys == sorted(set(keys))
    for edge in document["edges"]:
        assert list(edge) in (["from", "to", "distance_m", "risk_score",
                               "tags"],
                              ["from", "to", "distance_m", "risk_score",
                               "name", "tags"])
        assert type(edge.get("name", "")) is str
        assert list(edge["tags"]) == [key for key in WALKING_TAGS
                                      if key in edge["tags"]]
        assert edge["tags"]["highway"] in BASE_HAZARD_PER_KM
        assert type(edge["distance_m"]) is float and edge["distance_m"] > 0
        assert type(edge["risk_score"]) is float and edge["risk_score"] >= 0
        assert round(edge["risk_score"], 4) == edge["risk_score"]


def test_layers_hold_a_risk_per_edge_around_the_risk_score(document):
    """By day no lighting term, at night a heavier one for unlit ways: per
    edge, day <= risk_score <= night, merged parallel ways included (each
    layer takes its least risk over them, risk_score the least of its
    own)."""
    layers = document["risk_layers"]
    assert list(layers) == ["day", "night"]
    # With the hours the converter gives them.
    assert document["risk_layer_hours"] == {
        name: list(span) for name, span in DEFAULT_LAYER_HOURS.items()}
    edges = document["edges"]
    for values in layers.values():
        assert len(values) == len(edges)
        assert all(type(v) is float and round(v, 4) == v for v in values)
    assert all(day <= edge["risk_score"] <= night for day, night, edge in
               zip(layers["day"], layers["night"], edges))
    lit = [i for i, e in enumerate(edges) if e["tags"].get("lit") == "yes"]
    assert all(layers["day"][i] == edges[i]["risk_score"] for i in lit)
    unlit = [i for i, e in enumerate(edges) if e["tags"].get("lit") == "no"]
    assert unlit and all(layers["night"][i] > edges[i]["risk_score"] > 0.0
                         for i in unlit)


def test_lengths_are_the_haversine_of_the_stored_coordinates(document):
    where = {node["id"]: (node["lat"], node["lon"])
             for node in document["nodes"]}
    for edge in document["edges"]:
        expected = round(haversine_m(*where[edge["from"]],
                                     *where[edge["to"]]), 2)
        assert edge["distance_m"] == expected


def test_every_node_reaches_every_other(document, successors):
    ids = {node["id"] for node in document["nodes"]}
    predecessors = {}
    for edge in document["edges"]:
        predecessors.setdefault(edge["to"], []).append({"to": edge["from"]})
    start = min(ids)
    for table in (successors, predecessors):
        seen = {start}
        stack = [start]
        while stack:
            for edge in table.get(stack.pop(), ()):
                if edge["to"] not in seen:
                    seen.add(edge["to"])
                    stack.append(edge["to"])
        assert seen == ids


def test_demo_pair_has_distinct_shortest_and_safest_ways(document,
                                                         successors):
    source, target = _demo_pair()
    ids = {node["id"] for node in document["nodes"]}
    assert source in ids and target in ids
    shortest = _cheapest_path(successors, source, target,
                              lambda e: e["distance_m"])
    safer = _cheapest_path(successors, source, target,
                           lambda e: e["distance_m"]
                           + RISK_WEIGHT * e["risk_score"])
    assert shortest != safer

    def totals(path):
        by_pair = {(e["from"], e["to"]): e for e in document["edges"]}
        edges = [by_pair[pair] for pair in zip(path, path[1:])]
        return (sum(e["distance_m"] for e in edges),
                sum(e["risk_score"] for e in edges))

    short_m, short_risk = totals(shortest)
    safe_m, safe_risk = totals(safer)
    assert short_m < safe_m and safe_risk < short_risk


def test_names_tags_and_layers_change_no_route(document):
    """The search skips the `name` and `tags` members and the document's
    `risk_layers`: routes for random pairs are the same, to the bit, with
    them and without."""
    assert sum("name" in edge for edge in document["edges"]) > 1000
    plain = {"nodes": document["nodes"],
             "edges": [{k: v for k, v in edge.items()
                        if k not in ("name", "tags")}
                       for edge in document["edges"]]}
    named = norvel.load_graph(SAMPLE)
    unnamed = norvel_core.PyGraph.from_json(json.dumps(plain))
    ids = [node["id"] for node in document["nodes"]]
    rng = random.Random(5)

    def fields(graph, source, target, eps):
        return [(r.route_type, r.path, r.total_distance_m, r.total_risk,
                 r.total_familiarity, r.estimated_time_min, r.node_count,
                 r.comfort_score)
                for r in norvel_core.compute_safe_routes(graph, source,
                                                         target, eps)]

    for count, eps in ((200, 0.0), (100, 0.1)):
        for _ in range(count):
            source, target = rng.sample(ids, 2)
            assert fields(named, source, target, eps) == fields(
                unnamed, source, target, eps)
