"""End to end through pyosmium on a hand-made map written as .osm.pbf."""

import gzip
import io
import json
import math
import subprocess
import sys
from pathlib import Path

import norvel_core
import osmium
import pytest

from norvel._osm_command import main as command
from norvel.osm import WalkRules, convert, main, osm_to_graph
from norvel.osm import extract as extract_module
from norvel.osm.graph import haversine_m
from norvel.osm.rules import LIT_YES, hazard_per_km

# A lit footway square 1-2-3-4 with a diagonal residential road 1-3, a
# motorway 2-5, a footway 4-6 walkers may not use, a one-way footway 3-7, a
# pedestrian square (area) 1-8-9, and a way cut by the extract (node 99 is
# missing) that still yields its segment 10-1 and 1-10.
NODES = {
    1: (60.17, 24.94), 2: (60.17, 24.941), 3: (60.1705, 24.941),
    4: (60.1705, 24.94), 5: (60.169, 24.942), 6: (60.171, 24.94),
    7: (60.171, 24.942), 8: (60.1695, 24.9395), 9: (60.1695, 24.9405),
    10: (60.17, 24.939),
}
WAYS = {
    100: ([1, 2, 3, 4, 1], {"highway": "footway", "lit": "yes"}),
    101: ([1, 3], {"highway": "residential", "maxspeed": "40",
                   "oneway": "yes"}),
    102: ([2, 5], {"highway": "motorway"}),
    103: ([4, 6], {"highway": "footway", "foot": "no"}),
    104: ([3, 7], {"highway": "footway", "oneway:foot": "yes"}),
    105: ([1, 8, 9, 1], {"highway": "pedestrian", "area": "yes"}),
    106: ([99, 10, 1], {"highway": "path", "lit": "no"}),
}

# What the converter wrote for this map before it became a package; the
# output must not change by a byte.
EXPECTED_TEXT = """{"nodes":[
{"id":1,"lat":60.17,"lon":24.94},
{"id":2,"lat":60.17,"lon":24.941},
{"id":3,"lat":60.1705,"lon":24.941},
{"id":4,"lat":60.1705,"lon":24.94},
{"id":10,"lat":60.17,"lon":24.939}
],
"edges":[
{"from":1,"to":2,"distance_m":55.31,"risk_score":0.0055},
{"from":1,"to":3,"distance_m":78.42,"risk_score":0.0667},
{"from":1,"to":4,"distance_m":55.6,"risk_score":0.0056},
{"from":1,"to":10,"distance_m":55.31,"risk_score":0.036},
{"from":2,"to":1,"distance_m":55.31,"risk_score":0.0055},
{"from":2,"to":3,"distance_m":55.6,"risk_score":0.0056},
{"from":3,"to":1,"distance_m":78.42,"risk_score":0.0667},
{"from":3,"to":2,"distance_m":55.6,"risk_score":0.0056},
{"from":3,"to":4,"distance_m":55.31,"risk_score":0.0055},
{"from":4,"to":1,"distance_m":55.6,"risk_score":0.0056},
{"from":4,"to":3,"distance_m":55.31,"risk_score":0.0055},
{"from":10,"to":1,"distance_m":55.31,"risk_score":0.036}
]}
"""


def write_pbf(path, nodes=NODES, ways=WAYS):
    writer = osmium.SimpleWriter(str(path))
    try:
        for node_id, (lat, lon) in sorted(nodes.items()):
            writer.add_node(osmium.osm.mutable.Node(
                id=node_id, version=1, location=(lon, lat)))
        for way_id, (refs, tags) in sorted(ways.items()):
            writer.add_way(osmium.osm.mutable.Way(
                id=way_id, version=1, nodes=refs, tags=tags))
    finally:
        writer.close()
    return path


@pytest.fixture()
def map_file(tmp_path):
    return write_pbf(tmp_path / "square.osm.pbf")


def edge_pairs(document):
    return [(e["from"], e["to"]) for e in document["edges"]]


def test_conversion_keeps_what_a_walker_can_use(map_file):
    document, stats = convert(map_file)
    # 5 and 6 are on forbidden ways, 8 and 9 on an area, 7 is a dead end
    # behind a one-way footway.
    assert [n["id"] for n in document["nodes"]] == [1, 2, 3, 4, 10]
    assert edge_pairs(document) == [
        (1, 2), (1, 3), (1, 4), (1, 10), (2, 1), (2, 3), (3, 1), (3, 2),
        (3, 4), (4, 1), (4, 3), (10, 1)]
    assert stats["nodes kept"] == 5 and stats["edges kept"] == 12

    by_pair = {(e["from"], e["to"]): e for e in document["edges"]}
    diagonal = round(haversine_m(60.17, 24.94, 60.1705, 24.941), 2)
    assert by_pair[(1, 3)]["distance_m"] == diagonal
    # Road oneway binds cars only; speed 40 and unknown lighting apply.
    assert by_pair[(3, 1)]["risk_score"] == round(
        diagonal / 1000 * (0.5 + 0.2 + 0.15), 4)
    side = by_pair[(1, 2)]
    assert side["risk_score"] == round(side["distance_m"] / 1000 * 0.1, 4)
    spur = by_pair[(10, 1)]
    assert spur["risk_score"] == round(spur["distance_m"] / 1000 * 0.65, 4)


def test_output_bytes_are_unchanged_and_reproducible(map_file, tmp_path):
    first, second = tmp_path / "a.json.gz", tmp_path / "b.json.gz"
    plain = tmp_path / "c.json"
    # The installed command's entry point runs the same main.
    for run, output in ((main, first), (main, second), (command, plain)):
        assert run([str(map_file), str(output), "--quiet"]) == 0
    assert plain.read_text(encoding="utf-8") == EXPECTED_TEXT
    assert first.read_bytes() == second.read_bytes()
    assert gzip.decompress(first.read_bytes()) == plain.read_bytes()


class TestRuleOptions:
    def test_excluded_class_is_left_out(self, map_file):
        document, _ = convert(map_file, WalkRules(exclude=frozenset({"path"})))
        assert 10 not in [n["id"] for n in document["nodes"]]
        assert len(document["edges"]) == 10

    def test_ignoring_oneway_opens_the_dead_end(self, map_file):
        document, _ = convert(map_file, WalkRules(oneway=False))
        assert (7, 3) in edge_pairs(document)

    def test_all_components_keep_the_one_way_spur(self, map_file):
        document, _ = convert(map_file,
                              WalkRules(largest_component_only=False))
        assert (3, 7) in edge_pairs(document)
        assert (7, 3) not in edge_pairs(document)

    def test_command_line_options_reach_the_rules(self, map_file, tmp_path):
        output = tmp_path / "out.json"
        assert main([str(map_file), str(output), "--quiet", "--exclude",
                     "path", "--exclude", "residential",
                     "--ignore-oneway", "--all-components"]) == 0
        pairs = edge_pairs(json.loads(output.read_text()))
        assert (1, 3) not in pairs and (1, 10) not in pairs
        assert (3, 7) in pairs and (7, 3) in pairs

    def test_unknown_class_is_refused(self):
        with pytest.raises(ValueError, match="motorway"):
            WalkRules(exclude=frozenset({"motorway"}))


def test_progress_line_on_a_long_input(map_file, tmp_path, monkeypatch):
    monkeypatch.setattr(extract_module, "PROGRESS_DELAY_S", 0.0)
    monkeypatch.setitem(extract_module.PROGRESS_INTERVAL_S, "log", 0.0)
    monkeypatch.setattr(extract_module, "_WAYS_PER_CLOCK_LOOK", 1)
    stream = io.StringIO()
    osm_to_graph(map_file, tmp_path / "out.json", progress=stream)
    lines = stream.getvalue().splitlines()
    assert lines[0] == "reading square.osm.pbf: locating nodes"
    assert any(line.startswith("building the graph from 13 directed edges")
               for line in lines)


class TestFailures:
    def test_map_without_walkable_way(self, tmp_path, capsys):
        ways = {k: (refs, {**tags, "highway": "motorway"})
                for k, (refs, tags) in WAYS.items()}
        path = write_pbf(tmp_path / "motorway.osm.pbf", ways=ways)
        output = tmp_path / "out.json"
        assert main([str(path), str(output)]) == 1
        assert "no walkable edge" in capsys.readouterr().err
        assert not output.exists()

    def test_missing_input(self, tmp_path, capsys):
        assert main([str(tmp_path / "absent.osm.pbf"),
                     str(tmp_path / "out.json")]) == 1
        assert capsys.readouterr().err.startswith("error: ")


def test_installed_command(map_file, tmp_path):
    command = Path(sys.executable).parent / "norvel-osm-graph"
    output = tmp_path / "out.json.gz"
    run = subprocess.run([str(command), str(map_file), str(output)],
                         capture_output=True, text=True, timeout=120,
                         check=False)
    assert run.returncode == 0, run.stderr
    assert "edges kept: 12" in run.stderr
    assert gzip.decompress(output.read_bytes()).decode() == EXPECTED_TEXT


def night(tags):
    """The example of norvel.osm's docs: unlit ways (or of unknown
    lighting) weigh more."""
    if tags.get("lit") in LIT_YES or tags["highway"] in (
            "corridor", "elevator"):
        return hazard_per_km(tags)
    return hazard_per_km(tags) + 2.0


class TestOwnRiskRule:
    def test_hazard_gives_each_edge_its_risk(self, map_file):
        document, _ = convert(map_file, WalkRules(hazard=night))
        by_pair = {(e["from"], e["to"]): e for e in document["edges"]}
        default, _ = convert(map_file)
        assert [(e["from"], e["to"], e["distance_m"])
                for e in default["edges"]] == [
            (e["from"], e["to"], e["distance_m"]) for e in document["edges"]]
        # Lit footway as by day; the unlit path and the road of unknown
        # lighting 2.0 more per km.
        side, spur, diagonal = by_pair[(1, 2)], by_pair[(10, 1)], by_pair[(1, 3)]
        assert side["risk_score"] == round(side["distance_m"] / 1000 * 0.1, 4)
        assert spur["risk_score"] == round(spur["distance_m"] / 1000 * 2.65, 4)
        assert diagonal["risk_score"] == round(
            diagonal["distance_m"] / 1000 * 2.85, 4)

    @pytest.mark.parametrize("value", [math.nan, math.inf, -0.1, "1", None])
    def test_hazard_must_be_a_finite_number_from_zero(self, map_file, value):
        with pytest.raises(ValueError, match=r"the risk rule .*<lambda> gave "):
            convert(map_file, WalkRules(hazard=lambda tags: value))
        with pytest.raises(TypeError, match="hazard must be a callable"):
            WalkRules(hazard=0.5)

    def test_command_line_takes_module_and_function(self, map_file, tmp_path,
                                                    monkeypatch):
        (tmp_path / "nightrules.py").write_text(
            "from norvel.osm.rules import hazard_per_km\n"
            "class Rules:\n"
            "    @staticmethod\n"
            "    def flat(tags):\n"
            "        return 1.0\n")
        monkeypatch.chdir(tmp_path)
        monkeypatch.delitem(sys.modules, "nightrules", raising=False)
        output = tmp_path / "out.json"
        assert main([str(map_file), str(output), "--quiet",
                     "--risk-rules", "nightrules:Rules.flat"]) == 0
        for edge in json.loads(output.read_text())["edges"]:
            assert edge["risk_score"] == round(edge["distance_m"] / 1000, 4)

    @pytest.mark.parametrize("spec, message", [
        ("nightrules", "expected module:function, got 'nightrules'"),
        ("no_such_module_here:f", "cannot import no_such_module_here: "),
        ("math:no_such", "math has no no_such"),
        ("math:pi", "math:pi is not callable"),
    ])
    def test_command_line_refuses_what_it_cannot_call(self, map_file,
                                                      tmp_path, capsys, spec,
                                                      message):
        assert main([str(map_file), str(tmp_path / "out.json"),
                     "--risk-rules", spec]) == 2
        assert capsys.readouterr().err.startswith(
            f"error: --risk-rules: {message}")
        assert not (tmp_path / "out.json").exists()


def test_edges_carry_the_way_names_and_routes_ignore_them(tmp_path):
    # Two named ways over the same segment 1-2: the safer one (lit) wins,
    # with its name.
    ways = {**WAYS,
            100: ([1, 2, 3, 4, 1], {"highway": "footway", "lit": "yes",
                                    "name": "Esplanadi \"puisto\" ä"}),
            107: ([2, 1], {"highway": "footway", "name": "Dark lane"}),
            101: (WAYS[101][0], {**WAYS[101][1], "name": "Mikonkatu"})}
    named = write_pbf(tmp_path / "named.osm.pbf", ways=ways)
    output = tmp_path / "named.json"
    assert main([str(named), str(output), "--quiet"]) == 0
    text = output.read_text(encoding="utf-8")
    assert '"name":"Esplanadi \\"puisto\\" ä"}' in text
    document = json.loads(text)
    names = {(e["from"], e["to"]): e.get("name") for e in document["edges"]}
    assert names[(1, 2)] == names[(2, 1)] == 'Esplanadi "puisto" ä'
    assert names[(1, 3)] == "Mikonkatu" and names[(10, 1)] is None
    assert "Dark lane" not in text

    # The search skips the member: every pair routes the same without it.
    plain = {"nodes": document["nodes"],
             "edges": [{k: v for k, v in e.items() if k != "name"}
                       for e in document["edges"]]}
    with_names = norvel_core.PyGraph.from_json(text)
    without = norvel_core.PyGraph.from_json(json.dumps(plain))
    ids = [n["id"] for n in document["nodes"]]
    for source in ids:
        for target in ids:
            if source != target:
                for eps in (0.0, 0.1):
                    assert [repr(vars_of(r)) for r in
                            norvel_core.compute_safe_routes(
                                with_names, source, target, eps)] == [
                        repr(vars_of(r)) for r in
                        norvel_core.compute_safe_routes(
                            without, source, target, eps)]


def vars_of(route):
    return (route.route_type, route.path, route.total_distance_m,
            route.total_risk, route.total_familiarity,
            route.estimated_time_min, route.node_count, route.comfort_score)
