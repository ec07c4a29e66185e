"""norvel.osm.places: tagged nodes, areas and ways of a small extract as
points, written as the CSV that ships with the sample."""

import pytest

pytest.importorskip("osmium")

from norvel.osm import places, write_places
from norvel.osm.tagged import ring_centroid

# A school node, a kindergarten, a closed way of school grounds, a campus
# drawn as a multipolygon with a hole, and a school way that is no area.
EXTRACT = """<?xml version="1.0" encoding="UTF-8"?>
<osm version="0.6" generator="test">
  <node id="1" version="1" lat="60.0" lon="25.0">
    <tag k="amenity" v="school"/><tag k="name" v="Kallio"/>
  </node>
  <node id="2" version="1" lat="60.001" lon="25.001">
    <tag k="amenity" v="kindergarten"/>
  </node>
  <node id="3" version="1" lat="60.002" lon="25.002"/>
  <node id="11" version="1" lat="60.01" lon="25.01"/>
  <node id="12" version="1" lat="60.01" lon="25.03"/>
  <node id="13" version="1" lat="60.02" lon="25.03"/>
  <node id="14" version="1" lat="60.02" lon="25.01"/>
  <node id="21" version="1" lat="60.03" lon="25.00"/>
  <node id="22" version="1" lat="60.03" lon="25.04"/>
  <node id="23" version="1" lat="60.05" lon="25.04"/>
  <node id="24" version="1" lat="60.05" lon="25.00"/>
  <node id="25" version="1" lat="60.035" lon="25.005"/>
  <node id="26" version="1" lat="60.035" lon="25.015"/>
  <node id="27" version="1" lat="60.045" lon="25.015"/>
  <node id="28" version="1" lat="60.045" lon="25.005"/>
  <node id="31" version="1" lat="60.06" lon="25.00"/>
  <node id="32" version="1" lat="60.06" lon="25.02"/>
  <node id="33" version="1" lat="60.08" lon="25.02"/>
  <way id="10" version="1">
    <nd ref="11"/><nd ref="12"/><nd ref="13"/><nd ref="14"/><nd ref="11"/>
    <tag k="amenity" v="school"/><tag k="name" v="Grounds"/>
  </way>
  <way id="30" version="1">
    <nd ref="31"/><nd ref="32"/><nd ref="33"/>
    <tag k="amenity" v="school"/>
  </way>
  <way id="40" version="1">
    <nd ref="21"/><nd ref="22"/><nd ref="23"/><nd ref="24"/><nd ref="21"/>
  </way>
  <way id="41" version="1">
    <nd ref="25"/><nd ref="26"/><nd ref="27"/><nd ref="28"/><nd ref="25"/>
  </way>
  <relation id="20" version="1">
    <member type="way" ref="40" role="outer"/>
    <member type="way" ref="41" role="inner"/>
    <tag k="type" v="multipolygon"/><tag k="amenity" v="school"/>
    <tag k="name" v="Campus, east"/>
  </relation>
</osm>
"""


@pytest.fixture
def extract(tmp_path):
    path = tmp_path / "small.osm"
    path.write_text(EXTRACT, encoding="utf-8")
    return path


def test_each_kind_of_object_as_a_point(extract, tmp_path):
    found = places(extract, "amenity=school")
    assert [(p.osm_type, p.osm_id, p.name) for p in found] == [
        ("node", 1, "Kallio"), ("way", 10, "Grounds"), ("way", 30, None),
        ("relation", 20, "Campus, east")]
    points = [(p.lat, p.lon) for p in found]
    # The rectangle's centre; the mean of the open way's nodes; the campus
    # by area: 8 units centred at (60.04, 25.02) less 1 at (60.04, 25.01).
    expected = [(60.0, 25.0), (60.015, 25.02), (180.2 / 3, 75.04 / 3),
                (60.04, (8 * 25.02 - 25.01) / 7)]
    for got, want in zip(points, expected):
        assert got == pytest.approx(want, rel=0, abs=1e-9)
    assert [p.osm_id for p in places(extract, "amenity")] == [1, 2, 10, 30, 20]
    assert [p.osm_id for p in places(extract, "name", "amenity=kindergarten")] \
        == [1, 2, 10, 20]

    out = tmp_path / "schools.csv"
    assert write_places(out, found) == 4
    assert out.read_text(encoding="utf-8") == (
        "osm_type,osm_id,name,lat,lon\n"
        "node,1,Kallio,60.0000000,25.0000000\n"
        "way,10,Grounds,60.0150000,25.0200000\n"
        "way,30,,60.0666667,25.0133333\n"
        'relation,20,"Campus, east",60.0400000,25.0214286\n')


def test_selectors_and_centroids():
    for selectors in ((), ("=school",), ("amenity=",)):
        with pytest.raises(ValueError):
            places("unused.osm", *selectors)
    # A right triangle, either way round, and a ring folded onto a line.
    triangle = [(0.0, 0.0), (0.0, 3.0), (3.0, 0.0)]
    for ring in (triangle, triangle[::-1]):
        assert ring_centroid([ring]) == pytest.approx((1.0, 1.0), abs=1e-9)
    assert ring_centroid([[(1.0, 1.0), (1.0, 2.0), (1.0, 3.0)]]) == (1.0, 2.0)
