import gzip
import json
import math
import random
from dataclasses import replace

import pytest

from norvel.osm import graph as walk_graph
from norvel.osm import rules as walk_rules
from norvel.osm.graph import (EARTH_RADIUS_M, WalkEdge, WayNode, build_document,
                        document_text, gzip_bytes, haversine_m,
                        largest_component, merge_parallel,
                        strongly_connected_components, way_edges)

ONE_DEGREE_M = EARTH_RADIUS_M * math.pi / 180.0  # 111195.0802 m


def _law_of_cosines_m(lat1, lon1, lat2, lon2):
    """Another formula for the same arc, well conditioned beyond a few km."""
    p1, p2 = math.radians(lat1), math.radians(lat2)
    cosine = (math.sin(p1) * math.sin(p2) + math.cos(p1) * math.cos(p2)
              * math.cos(math.radians(lon2 - lon1)))
    return EARTH_RADIUS_M * math.acos(max(-1.0, min(1.0, cosine)))


class TestHaversine:
    def test_worked_values(self):
        assert haversine_m(0.0, 0.0, 0.0, 1.0) == pytest.approx(111195.0802,
                                                                abs=1e-3)
        assert haversine_m(0.0, 0.0, 1.0, 0.0) == pytest.approx(ONE_DEGREE_M)
        assert haversine_m(48.0, 2.0, 48.0, 3.0) == pytest.approx(
            _law_of_cosines_m(48.0, 2.0, 48.0, 3.0), abs=1e-3)
        assert haversine_m(0.0, 0.0, 90.0, 0.0) == pytest.approx(
            EARTH_RADIUS_M * math.pi / 2)
        assert haversine_m(0.0, 0.0, 0.0, 180.0) == pytest.approx(
            EARTH_RADIUS_M * math.pi)
        # Over a few tens of metres the sphere is flat: R cos(lat) dlon.
        flat = EARTH_RADIUS_M * math.cos(math.radians(60.1699172)) * \
            math.radians(0.001)
        assert haversine_m(60.1699172, 24.9451299, 60.1699172,
                           24.9461299) == pytest.approx(flat, abs=1e-3)

    def test_zero_and_symmetry(self):
        rng = random.Random(11)
        for _ in range(200):
            lat1, lat2 = rng.uniform(-89, 89), rng.uniform(-89, 89)
            lon1, lon2 = rng.uniform(-180, 180), rng.uniform(-180, 180)
            assert haversine_m(lat1, lon1, lat1, lon1) == 0.0
            there = haversine_m(lat1, lon1, lat2, lon2)
            assert there == pytest.approx(haversine_m(lat2, lon2, lat1, lon1))
            assert 0.0 <= there <= EARTH_RADIUS_M * math.pi + 1e-6
            assert there == pytest.approx(
                _law_of_cosines_m(lat1, lon1, lat2, lon2), rel=1e-9, abs=0.01)

    def test_nearly_antipodal_points_do_not_leave_the_domain(self):
        assert haversine_m(45.0, 0.0, -45.0, 180.0) == pytest.approx(
            EARTH_RADIUS_M * math.pi)


def _nodes(*ids):
    return [WayNode(n, 60.0, 25.0 + 0.001 * i) for i, n in enumerate(ids)]


class TestWayEdges:
    def test_two_way_segments(self):
        edges = way_edges(_nodes(1, 2, 3), {"highway": "footway",
                                            "lit": "yes", "name": "A",
                                            "surface": "asphalt"})
        seg = round(haversine_m(60.0, 25.0, 60.0, 25.001), 2)
        risk = round(seg / 1000 * 0.1, 4)
        tags = (("highway", "footway"), ("lit", "yes"))
        assert edges == [WalkEdge(a, b, seg, risk, "A", (), tags)
                         for a, b in ((1, 2), (2, 1), (2, 3), (3, 2))]

    def test_layers_follow_their_own_rules(self):
        tags = {"lit": "no", "highway": "steps", "maxspeed": "50",
                "crossing": "marked", "sidewalk": "no", "surface": "paved"}
        seg = round(haversine_m(60.0, 25.0, 60.0, 25.001), 2)
        edges = way_edges(_nodes(1, 2), tags, layer_rules=(
            walk_rules.day_hazard_per_km, walk_rules.night_hazard_per_km,
            lambda tags: 10.0))
        # Steps: no traffic term, no crossing; unlit 0.5 by default, 2.0
        # at night, nothing by day.
        assert [(e.risk_score, e.layer_risks) for e in edges] == [
            (round(seg / 1000 * 0.9, 4), (round(seg / 1000 * 0.4, 4),
                                          round(seg / 1000 * 2.4, 4),
                                          round(seg / 100, 4)))] * 2
        # The walking tags in their fixed order, whatever the way's order.
        assert edges[0].tags == (("highway", "steps"), ("lit", "no"),
                                 ("sidewalk", "no"), ("crossing", "marked"),
                                 ("maxspeed", "50"))

    def test_a_layer_rule_is_held_to_the_same_values(self):
        with pytest.raises(ValueError, match=r"^the risk rule "
                           r".*<lambda> gave -1\.0 for a way tagged "):
            way_edges(_nodes(1, 2), {"highway": "path"},
                      layer_rules=(walk_rules.day_hazard_per_km,
                                   lambda tags: -1.0))

    def test_one_way_for_walkers(self):
        tags = {"highway": "footway", "oneway:foot": "yes"}
        assert [(e.source, e.target) for e in way_edges(_nodes(1, 2, 3),
                                                        tags)] == [(1, 2),
                                                                   (2, 3)]
        tags["oneway:foot"] = "-1"
        assert [(e.source, e.target) for e in way_edges(_nodes(1, 2, 3),
                                                        tags)] == [(2, 1),
                                                                   (3, 2)]

    def test_repeated_node_gives_no_loop(self):
        nodes = _nodes(1, 2)
        edges = way_edges([nodes[0], nodes[0], nodes[1]],
                          {"highway": "path"})
        assert [(e.source, e.target) for e in edges] == [(1, 2), (2, 1)]

    def test_single_node_way_gives_nothing(self):
        assert way_edges(_nodes(7), {"highway": "path"}) == []


def test_merge_parallel_keeps_the_safer_edge_in_any_order():
    edges = [WalkEdge(2, 1, 10.0, 0.5), WalkEdge(1, 2, 10.0, 0.3),
             WalkEdge(1, 2, 10.0, 0.1), WalkEdge(1, 3, 5.0, 0.2),
             WalkEdge(1, 2, 9.0, 0.1)]
    expected = [WalkEdge(1, 2, 9.0, 0.1), WalkEdge(1, 3, 5.0, 0.2),
                WalkEdge(2, 1, 10.0, 0.5)]
    rng = random.Random(3)
    for _ in range(20):
        rng.shuffle(edges)
        assert merge_parallel(edges) == expected


def test_merged_edges_take_each_layers_least_risk():
    # Three ways over 1 -> 2: the lit footway has the least risk_score and
    # gives name and tags; the least day risk is the unlit one's, the least
    # night risk the third's. An edge met once keeps its own risks.
    lit = WalkEdge(1, 2, 10.0, 0.1, "Lit", (0.09, 0.1),
                   (("highway", "footway"), ("lit", "yes")))
    unlit = WalkEdge(1, 2, 10.0, 0.3, "Dark", (0.02, 0.5),
                     (("highway", "path"), ("lit", "no")))
    third = WalkEdge(1, 2, 10.0, 0.2, None, (0.05, 0.07),
                     (("highway", "path"),))
    alone = WalkEdge(2, 1, 10.0, 0.3, "Dark", (0.02, 0.5))
    rng = random.Random(4)
    edges = [lit, unlit, third, alone]
    for _ in range(20):
        rng.shuffle(edges)
        assert merge_parallel(edges) == [
            WalkEdge(1, 2, 10.0, 0.1, "Lit", (0.02, 0.07), lit.tags), alone]
    with pytest.raises(ValueError, match="^edges 1 -> 2 have risks in 2 "
                                         "and 1 layers$"):
        merge_parallel([lit, WalkEdge(1, 2, 10.0, 0.1, None, (0.1,))])


def _reachable(start, successors):
    seen = {start}
    stack = [start]
    while stack:
        for nxt in successors.get(stack.pop(), ()):
            if nxt not in seen:
                seen.add(nxt)
                stack.append(nxt)
    return seen


def _components_by_reachability(nodes, edges):
    forward, backward = {}, {}
    for e in edges:
        forward.setdefault(e.source, []).append(e.target)
        backward.setdefault(e.target, []).append(e.source)
    return {frozenset(_reachable(n, forward) & _reachable(n, backward))
            for n in nodes}


class TestStrongComponents:
    def test_against_reachability_on_random_graphs(self):
        rng = random.Random(2024)
        for _ in range(150):
            count = rng.randint(1, 25)
            nodes = list(range(100, 100 + count))
            edges = [WalkEdge(rng.choice(nodes), rng.choice(nodes), 1.0, 0.0)
                     for _ in range(rng.randint(0, 3 * count))]
            found = strongly_connected_components(nodes, edges)
            assert {frozenset(c) for c in found} == \
                _components_by_reachability(nodes, edges)

    def test_long_chain_needs_no_recursion(self):
        count = 20000
        edges = [WalkEdge(i, i + 1, 1.0, 0.0) for i in range(count)]
        edges.append(WalkEdge(count, 0, 1.0, 0.0))
        assert len(largest_component((), edges)) == count + 1

    def test_one_way_dead_end_is_cut_off(self):
        # 1 <-> 2 <-> 3 and a one-way spur 3 -> 4.
        edges = [WalkEdge(1, 2, 1, 0), WalkEdge(2, 1, 1, 0),
                 WalkEdge(2, 3, 1, 0), WalkEdge(3, 2, 1, 0),
                 WalkEdge(3, 4, 1, 0)]
        assert largest_component((), edges) == {1, 2, 3}

    def test_tie_goes_to_the_lowest_id(self):
        edges = [WalkEdge(8, 9, 1, 0), WalkEdge(9, 8, 1, 0),
                 WalkEdge(5, 6, 1, 0), WalkEdge(6, 5, 1, 0)]
        assert largest_component((), edges) == {5, 6}
        assert largest_component((), []) == set()


def _island_graph():
    coordinates = {n: WayNode(n, 60.0 + n * 1e-4, 25.0) for n in range(1, 7)}
    edges = [WalkEdge(3, 1, 11.12, 0.0011), WalkEdge(1, 3, 11.12, 0.0011),
             WalkEdge(3, 2, 11.12, 0.0011), WalkEdge(2, 3, 11.12, 0.0012),
             WalkEdge(2, 3, 11.12, 0.0011),
             WalkEdge(5, 6, 11.12, 0.5), WalkEdge(6, 5, 11.12, 0.5),
             WalkEdge(2, 4, 11.12, 0.1)]
    return coordinates, edges


class TestDocument:
    def test_keeps_the_largest_strong_component_sorted(self):
        coordinates, edges = _island_graph()
        document = build_document(coordinates, edges)
        assert [n["id"] for n in document["nodes"]] == [1, 2, 3]
        assert document["nodes"][0] == {"id": 1, "lat": 60.0001, "lon": 25.0}
        assert [(e["from"], e["to"], e["risk_score"])
                for e in document["edges"]] == [
            (1, 3, 0.0011), (2, 3, 0.0011), (3, 1, 0.0011), (3, 2, 0.0011)]
        assert list(document["edges"][0]) == ["from", "to", "distance_m",
                                              "risk_score"]

    def test_text_reads_back_as_the_document(self):
        coordinates, edges = _island_graph()
        document = build_document(coordinates, edges)
        text = document_text(document)
        assert json.loads(text) == document
        assert text.startswith('{"nodes":[\n{"id":1,"lat":60.0001,"lon":25.0}')
        assert text.count("\n") == len(document["nodes"]) + len(
            document["edges"]) + 4
        # Every number keeps its decimal point, so ids stay integers and
        # doubles stay doubles for any reader.
        assert '"distance_m":11.12,' in text and '"risk_score":0.0011}' in text

    def test_layers_and_tags_in_the_text(self):
        coordinates, edges = _island_graph()
        edges = [replace(e, layer_risks=(e.risk_score * 2, 0.5),
                         tags=(("highway", "foot\"way"), ("lit", "ä")))
                 for e in edges]
        document = build_document(coordinates, edges,
                                  layer_names=("day", "night"))
        text = document_text(document)
        assert json.loads(text) == document
        assert text.endswith(
            '{"from":3,"to":2,"distance_m":11.12,"risk_score":0.0011,'
            '"tags":{"highway":"foot\\"way","lit":"ä"}}\n],\n'
            '"risk_layer_hours":{"day":[6.0,20.0],"night":[20.0,6.0]},\n'
            '"risk_layers":{\n"day":[0.0022,0.0022,0.0022,0.0022],\n'
            '"night":[0.5,0.5,0.5,0.5]\n}}\n')
        # No layer names, no member; an edge without the right number of
        # layer risks is refused.
        assert "risk_layers" not in build_document(coordinates, edges)
        with pytest.raises(ValueError, match=r"^edge 1 -> 3 has risks in 2 "
                           r"layers, not in the 1 named day$"):
            build_document(coordinates, edges, layer_names=("day",))

    def test_empty_document(self):
        document = build_document({}, [])
        assert document == {"nodes": [], "edges": []}
        assert json.loads(document_text(document)) == document

    def test_text_refuses_what_json_cannot_hold(self):
        with pytest.raises(ValueError):
            document_text({"nodes": [{"id": 1, "lat": math.nan, "lon": 0.0}],
                           "edges": []})
        with pytest.raises(TypeError):
            document_text({"nodes": [{"id": True, "lat": 0.0, "lon": 0.0}],
                           "edges": []})

    def test_gzip_is_reproducible_and_carries_no_time_or_name(self):
        text = document_text(build_document(*_island_graph()))
        first = gzip_bytes(text)
        assert first == gzip_bytes(text)
        assert first[:4] == b"\x1f\x8b\x08\x00"    # deflate, no FNAME flag
        assert first[4:8] == b"\x00\x00\x00\x00"   # mtime 0
        assert first[8] == 2                       # maximum compression
        assert gzip.decompress(first).decode("utf-8") == text


def test_rounded_node_keeps_seven_decimals():
    node = walk_graph.rounded_node(5, 60.123456789, -0.000000049)
    assert (node.lat, node.lon) == (60.1234568, -0.0)
    assert json.loads(document_text({"nodes": [node.__dict__],
                                     "edges": []}))["nodes"][0]["lon"] == 0.0

