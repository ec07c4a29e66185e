"""End to end through pyosmium on a hand-made map written as .osm.pbf."""

import gzip
import io
import json
import math
import re
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

# What the converter wrote for this map before it became a package, and
# before it wrote layers and tags: those members aside, the output must not
# change by a byte.
OLD_TEXT = """{"nodes":[
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

# By day the path 1-10 loses its unlit 0.5 per km and the road 1-3 its
# unknown lighting 0.15; at night the path weighs 2.15 per km, the road as
# by the default rule.
EXPECTED_TEXT = """{"nodes":[
{"id":1,"lat":60.17,"lon":24.94},
{"id":2,"lat":60.17,"lon":24.941},
{"id":3,"lat":60.1705,"lon":24.941},
{"id":4,"lat":60.1705,"lon":24.94},
{"id":10,"lat":60.17,"lon":24.939}
],
"edges":[
{"from":1,"to":2,"distance_m":55.31,"risk_score":0.0055,"tags":{"highway":"footway","lit":"yes"}},
{"from":1,"to":3,"distance_m":78.42,"risk_score":0.0667,"tags":{"highway":"residential","maxspeed":"40"}},
{"from":1,"to":4,"distance_m":55.6,"risk_score":0.0056,"tags":{"highway":"footway","lit":"yes"}},
{"from":1,"to":10,"distance_m":55.31,"risk_score":0.036,"tags":{"highway":"path","lit":"no"}},
{"from":2,"to":1,"distance_m":55.31,"risk_score":0.0055,"tags":{"highway":"footway","lit":"yes"}},
{"from":2,"to":3,"distance_m":55.6,"risk_score":0.0056,"tags":{"highway":"footway","lit":"yes"}},
{"from":3,"to":1,"distance_m":78.42,"risk_score":0.0667,"tags":{"highway":"residential","maxspeed":"40"}},
{"from":3,"to":2,"distance_m":55.6,"risk_score":0.0056,"tags":{"highway":"footway","lit":"yes"}},
{"from":3,"to":4,"distance_m":55.31,"risk_score":0.0055,"tags":{"highway":"footway","lit":"yes"}},
{"from":4,"to":1,"distance_m":55.6,"risk_score":0.0056,"tags":{"highway":"footway","lit":"yes"}},
{"from":4,"to":3,"distance_m":55.31,"risk_score":0.0055,"tags":{"highway":"footway","lit":"yes"}},
{"from":10,"to":1,"distance_m":55.31,"risk_score":0.036,"tags":{"highway":"path","lit":"no"}}
],
"risk_layer_hours":{"day":[6.0,20.0],"night":[20.0,6.0]},
"risk_layers":{
"day":[0.0055,0.0549,0.0056,0.0083,0.0055,0.0056,0.0549,0.0056,0.0055,0.0056,0.0055,0.0083],
"night":[0.0055,0.0667,0.0056,0.1189,0.0055,0.0056,0.0667,0.0056,0.0055,0.0056,0.0055,0.1189]
}}
"""


def without_layers_and_tags(text):
    """The text as the converter wrote it before layers and tags."""
    text = re.sub(r',"tags":\{[^}]*\}', "", text)
    text = re.sub(r'\n"risk_layer_hours":\{[^}]*\},', "", text)
    return re.sub(r',\n"risk_layers":\{\n.*\n\}\}\n$', "}\n", text,
                  flags=re.S)


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
    assert without_layers_and_tags(EXPECTED_TEXT) == OLD_TEXT
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
    assert '"name":"Esplanadi \\"puisto\\" ä","tags":{' in text
    document = json.loads(text)
    names = {(e["from"], e["to"]): e.get("name") for e in document["edges"]}
    assert names[(1, 2)] == names[(2, 1)] == 'Esplanadi "puisto" ä'
    assert names[(1, 3)] == "Mikonkatu" and names[(10, 1)] is None
    assert "Dark lane" not in text

    # The search skips names, tags and layers: every pair routes the same
    # without them.
    assert {"day", "night"} <= document["risk_layers"].keys()
    assert all("tags" in e for e in document["edges"])
    plain = {"nodes": document["nodes"],
             "edges": [{k: v for k, v in e.items() if k not in ("name", "tags")}
                       for e in document["edges"]]}
    without = norvel_core.PyGraph.from_json(json.dumps(plain))
    # The member anywhere among the graph's, with any numbers in it.
    layers_first = {"risk_layers": {**document["risk_layers"],
                                    "odd": [-1, 1e999, "x", None]},
                    "nodes": document["nodes"], "edges": document["edges"]}
    ids = [n["id"] for n in document["nodes"]]
    for with_names in (norvel_core.PyGraph.from_json(text),
                       norvel_core.PyGraph.from_json(
                           json.dumps(layers_first).replace("Infinity",
                                                            "1e999"))):
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


class TestLayers:
    def test_parallel_ways_give_each_layer_its_least_risk(self, tmp_path):
        # Over 1-2, a lit residential road (0.5 per km in every layer) and
        # an unlit footway (0.6 by default, 0.1 by day, 2.1 at night): the
        # edge keeps the road's risk_score, name and tags, and by day the
        # footway's risk.
        ways = {**WAYS,
                100: ([2, 3, 4, 1], {"highway": "footway", "lit": "yes"}),
                107: ([1, 2], {"highway": "residential", "lit": "yes",
                               "name": "Road", "sidewalk": "separate"}),
                108: ([2, 1], {"highway": "footway", "lit": "no",
                               "name": "Dark path"})}
        document, _ = convert(write_pbf(tmp_path / "p.osm.pbf", ways=ways))
        position = edge_pairs(document).index((1, 2))
        edge = document["edges"][position]
        length = edge["distance_m"]
        assert edge == {"from": 1, "to": 2, "distance_m": length,
                        "risk_score": round(length / 1000 * 0.5, 4),
                        "name": "Road",
                        "tags": {"highway": "residential", "lit": "yes",
                                 "sidewalk": "separate"}}
        layers = document["risk_layers"]
        assert list(layers) == ["day", "night"]
        assert layers["day"][position] == round(length / 1000 * 0.1, 4)
        assert layers["night"][position] == edge["risk_score"]
        assert all(len(values) == len(document["edges"])
                   for values in layers.values())

    def test_rules_choose_the_layers(self, map_file):
        document, _ = convert(map_file, WalkRules(layers={}))
        assert "risk_layers" not in document
        flat, _ = convert(map_file, WalkRules(layers={
            "flat": lambda tags: 1.0, "day": hazard_per_km}))
        assert list(flat["risk_layers"]) == ["flat", "day"]
        assert flat["risk_layers"]["flat"] == [
            round(e["distance_m"] / 1000, 4) for e in flat["edges"]]
        assert flat["risk_layers"]["day"] == [
            e["risk_score"] for e in flat["edges"]]
        # The rules keep a copy of the layers, and stay hashable.
        layers = {"flat": hazard_per_km}
        rules = WalkRules(layers=layers)
        layers["more"] = hazard_per_km
        assert list(rules.layers) == ["flat"]
        assert hash(WalkRules()) == hash(WalkRules(layers=layers))

    @pytest.mark.parametrize("name, message", [
        ("2night", "the risk layer name '2night' is not a plain identifier "
                   "(ASCII letters, digits and _; not starting with a digit)"),
        ("nuit_é", "the risk layer name 'nuit_é' is not a plain identifier"),
        ("", "the risk layer name '' is not a plain identifier"),
        ("default", "the risk layer name 'default' is the document's own "
                    "risk_score"),
    ])
    def test_rules_refuse_a_name_no_layer_can_have(self, name, message):
        with pytest.raises(ValueError, match=f"^{re.escape(message)}"):
            WalkRules(layers={name: hazard_per_km})

    def test_rules_refuse_a_rule_that_is_not_callable(self):
        with pytest.raises(TypeError, match="^the rule of the risk layer x "
                           "must be a callable"):
            WalkRules(layers={"x": 0.5})

    def test_command_line_writes_layers_from_files_and_modules(
            self, map_file, tmp_path, monkeypatch):
        (tmp_path / "rules.py").write_text(
            "from norvel.osm.rules import CROSSING_HAZARD, hazard_per_km\n"
            "def child_hazard(tags):\n"
            "    return 2 * hazard_per_km(tags)\n")
        folder = tmp_path / "more"
        folder.mkdir()
        # A file of the same name elsewhere is a module of its own.
        (folder / "rules.py").write_text(
            "from dataclasses import dataclass\n"
            "@dataclass\n"
            "class Flat:\n"
            "    value: float = 1.0\n"
            "def flat(tags):\n    return Flat().value\n")
        (tmp_path / "layermodule.py").write_text(
            "class Rules:\n    @staticmethod\n    def three(tags):\n"
            "        return 3.0\n")
        monkeypatch.chdir(tmp_path)
        monkeypatch.delitem(sys.modules, "layermodule", raising=False)
        output = tmp_path / "out.json"
        assert main([str(map_file), str(output), "--quiet",
                     "--layer", "child=rules.py:child_hazard",
                     "--layer", f"flat={folder / 'rules.py'}:flat",
                     "--layer", "three=layermodule:Rules.three"]) == 0
        document = json.loads(output.read_text())
        layers = document["risk_layers"]
        assert list(layers) == ["day", "night", "child", "flat", "three"]
        for position, edge in enumerate(document["edges"]):
            km = edge["distance_m"] / 1000
            assert layers["child"][position] == round(
                km * 2 * hazard_per_km(edge["tags"]), 4)
            assert layers["flat"][position] == round(km, 4)
            assert layers["three"][position] == round(km * 3, 4)

    @pytest.mark.parametrize("option, message", [
        ("child", "expected NAME=FILE.py:function, got 'child'"),
        ("=rules.py:f", "expected NAME=FILE.py:function, got '=rules.py:f'"),
        ("2x=rules.py:f", "the risk layer name '2x' is not a plain "
                          "identifier (ASCII letters, digits and _; not "
                          "starting with a digit)"),
        ("default=rules.py:f", "the risk layer name 'default' is the "
                               "document's own risk_score"),
        ("day=rules.py:f", "the risk layer day is written already (day and "
                           "night are the converter's own)"),
        ("absent=absent.py:f", "no file absent.py"),
        ("x=rules.py:nothing", "rules.py has no nothing"),
        ("x=rules.py:VALUE", "rules.py:VALUE is not callable"),
        ("x=broken.py:f", "broken.py failed: ZeroDivisionError: division "
                          "by zero"),
        ("x=rules.py", "expected FILE.py:function or module:function, got "
                       "'rules.py'"),
        ("x=no_such_module_here:f", "cannot import no_such_module_here: "),
    ])
    def test_command_line_refuses_what_it_cannot_use(
            self, map_file, tmp_path, capsys, monkeypatch, option, message):
        (tmp_path / "rules.py").write_text(
            "VALUE = 1.0\ndef f(tags):\n    return 1.0\n")
        (tmp_path / "broken.py").write_text("1 / 0\n")
        monkeypatch.chdir(tmp_path)
        assert main([str(map_file), str(tmp_path / "out.json"),
                     "--layer", "ok=rules.py:f", "--layer", option]) == 2
        assert capsys.readouterr().err.startswith(
            f"error: --layer {option}: {message}")
        assert not (tmp_path / "out.json").exists()

    def test_command_line_refuses_a_name_given_twice(self, map_file,
                                                     tmp_path, capsys,
                                                     monkeypatch):
        (tmp_path / "rules.py").write_text("def f(tags):\n    return 1.0\n")
        monkeypatch.chdir(tmp_path)
        assert main([str(map_file), str(tmp_path / "out.json"), "--layer",
                     "a=rules.py:f", "--layer", "a=rules.py:f"]) == 2
        assert capsys.readouterr().err == (
            "error: --layer a=rules.py:f: the risk layer a is written "
            "already\n")
