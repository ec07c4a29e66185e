"""End to end through pyosmium on a hand-made map; skipped without it."""

import gzip
import json

import pytest

pytest.importorskip("osmium")

import osm_to_graph  # noqa: E402
from walk_graph import haversine_m  # noqa: E402

# A lit footway square 1-2-3-4 with a diagonal residential road 1-3, a
# motorway 2-5, a footway 4-6 walkers may not use, a one-way footway 3-7, a
# pedestrian square (area) 1-8-9, and a way cut by the extract (node 99 is
# missing) that still yields its segment 10-1 and 1-10.
MAP = """<?xml version='1.0' encoding='UTF-8'?>
<osm version="0.6" generator="hand">
  <node id="1" version="1" lat="60.1700000" lon="24.9400000"/>
  <node id="2" version="1" lat="60.1700000" lon="24.9410000"/>
  <node id="3" version="1" lat="60.1705000" lon="24.9410000"/>
  <node id="4" version="1" lat="60.1705000" lon="24.9400000"/>
  <node id="5" version="1" lat="60.1690000" lon="24.9420000"/>
  <node id="6" version="1" lat="60.1710000" lon="24.9400000"/>
  <node id="7" version="1" lat="60.1710000" lon="24.9420000"/>
  <node id="8" version="1" lat="60.1695000" lon="24.9395000"/>
  <node id="9" version="1" lat="60.1695000" lon="24.9405000"/>
  <node id="10" version="1" lat="60.1700000" lon="24.9390000"/>
  <way id="100" version="1">
    <nd ref="1"/><nd ref="2"/><nd ref="3"/><nd ref="4"/><nd ref="1"/>
    <tag k="highway" v="footway"/><tag k="lit" v="yes"/>
  </way>
  <way id="101" version="1">
    <nd ref="1"/><nd ref="3"/>
    <tag k="highway" v="residential"/><tag k="maxspeed" v="40"/>
    <tag k="oneway" v="yes"/>
  </way>
  <way id="102" version="1">
    <nd ref="2"/><nd ref="5"/><tag k="highway" v="motorway"/>
  </way>
  <way id="103" version="1">
    <nd ref="4"/><nd ref="6"/>
    <tag k="highway" v="footway"/><tag k="foot" v="no"/>
  </way>
  <way id="104" version="1">
    <nd ref="3"/><nd ref="7"/>
    <tag k="highway" v="footway"/><tag k="oneway:foot" v="yes"/>
  </way>
  <way id="105" version="1">
    <nd ref="1"/><nd ref="8"/><nd ref="9"/><nd ref="1"/>
    <tag k="highway" v="pedestrian"/><tag k="area" v="yes"/>
  </way>
  <way id="106" version="1">
    <nd ref="99"/><nd ref="10"/><nd ref="1"/>
    <tag k="highway" v="path"/><tag k="lit" v="no"/>
  </way>
</osm>
"""


@pytest.fixture()
def map_file(tmp_path):
    path = tmp_path / "square.osm"
    path.write_text(MAP, encoding="utf-8")
    return path


def test_conversion_keeps_what_a_walker_can_use(map_file):
    document, stats = osm_to_graph.convert(map_file)
    # 5 and 6 are on forbidden ways, 8 and 9 on an area, 7 is a dead end
    # behind a one-way footway.
    assert [n["id"] for n in document["nodes"]] == [1, 2, 3, 4, 10]
    pairs = [(e["from"], e["to"]) for e in document["edges"]]
    assert pairs == [(1, 2), (1, 3), (1, 4), (1, 10), (2, 1), (2, 3), (3, 1),
                     (3, 2), (3, 4), (4, 1), (4, 3), (10, 1)]
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


def test_command_line_writes_identical_gzip_twice(map_file, tmp_path):
    first, second = tmp_path / "a.json.gz", tmp_path / "b.json.gz"
    assert osm_to_graph.main([str(map_file), str(first)]) == 0
    assert osm_to_graph.main([str(map_file), str(second)]) == 0
    assert first.read_bytes() == second.read_bytes()
    plain = tmp_path / "c.json"
    assert osm_to_graph.main([str(map_file), str(plain)]) == 0
    assert gzip.decompress(first.read_bytes()) == plain.read_bytes()
    assert len(json.loads(plain.read_text())["edges"]) == 12


def test_map_without_walkable_way_fails(tmp_path):
    path = tmp_path / "motorway.osm"
    path.write_text(MAP.replace('v="footway"', 'v="motorway"')
                    .replace('v="residential"', 'v="motorway"')
                    .replace('v="path"', 'v="motorway"'), encoding="utf-8")
    assert osm_to_graph.main([str(path), str(tmp_path / "out.json")]) == 1
