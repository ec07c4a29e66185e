import math
import re
from pathlib import Path

import pytest

from norvel.osm import rules as walk_rules
from norvel.osm.rules import (edge_risk, hazard_per_km, is_walkable,
                              parse_maxspeed_kmh, walking_directions)

REPO = Path(__file__).resolve().parents[2]


@pytest.mark.parametrize("tags", [
    {"highway": "footway"},
    {"highway": "footway", "footway": "crossing"},
    {"highway": "steps"},
    {"highway": "residential", "access": "destination"},
    {"highway": "primary", "access": "private", "foot": "yes"},
    {"highway": "service", "access": "no", "foot": "designated"},
    {"highway": "cycleway", "foot": "designated"},
    {"highway": "cycleway", "segregated": "yes"},
    {"highway": "cycleway", "footway": "crossing"},
    {"highway": "trail"},
    {"highway": "primary_link"},
])
def test_walkable_ways(tags):
    assert is_walkable(tags)


@pytest.mark.parametrize("tags", [
    {},
    {"building": "yes"},
    {"highway": "motorway"},
    {"highway": "motorway_link", "foot": "yes"},
    {"highway": "trunk"},
    {"highway": "construction"},
    {"highway": "proposed"},
    {"highway": "pedestrian", "area": "yes"},
    {"highway": "footway", "foot": "no"},
    {"highway": "primary", "foot": "use_sidepath"},
    {"highway": "residential", "foot": "private"},
    {"highway": "service", "access": "private"},
    {"highway": "track", "access": "no"},
    {"highway": "cycleway"},
    {"highway": "cycleway", "foot": "no", "segregated": "yes"},
])
def test_ways_a_walker_may_not_use(tags):
    assert not is_walkable(tags)


@pytest.mark.parametrize("tags, expected", [
    ({"highway": "footway"}, (True, True)),
    ({"highway": "footway", "oneway:foot": "yes"}, (True, False)),
    ({"highway": "primary", "oneway:foot": "-1"}, (False, True)),
    ({"highway": "steps", "oneway": "yes"}, (True, False)),
    ({"highway": "path", "oneway": "-1"}, (False, True)),
    # Car one-way rules do not bind walkers on roads.
    ({"highway": "primary", "oneway": "yes"}, (True, True)),
    ({"highway": "residential", "oneway": "-1"}, (True, True)),
    # The tag for walkers wins over the general one.
    ({"highway": "footway", "oneway": "yes", "oneway:foot": "no"},
     (True, True)),
])
def test_walking_directions(tags, expected):
    assert walking_directions(tags) == expected


@pytest.mark.parametrize("value, kmh", [
    ("30", 30.0),
    ("40 ", 40.0),
    ("20 mph", 20 * 1.609344),
    ("50 km/h", 50.0),
    ("FI:urban", 50.0),
    ("DE:rural", 80.0),
    ("FI:living_street", 20.0),
    ("walk", 5.0),
    ("none", None),
    ("signals", None),
    ("", None),
    (None, None),
])
def test_parse_maxspeed(value, kmh):
    assert parse_maxspeed_kmh(value) == (pytest.approx(kmh) if kmh else kmh)


@pytest.mark.parametrize("tags, hazard", [
    # The three examples the documentation quotes.
    ({"highway": "primary", "lit": "no", "maxspeed": "50"}, 2.7),
    ({"highway": "footway", "lit": "yes"}, 0.10),
    ({"highway": "footway", "footway": "crossing", "crossing": "marked",
      "lit": "yes"}, 6.1),
    # Sidewalks scale the traffic part only, never lighting.
    ({"highway": "residential", "maxspeed": "40", "sidewalk": "both",
      "lit": "no"}, (0.5 + 0.2) * 0.4 + 0.5),
    ({"highway": "tertiary", "sidewalk:right": "yes", "lit": "yes"}, 0.4),
    ({"highway": "secondary", "sidewalk": "no", "lit": "yes"}, 1.4 * 1.2),
    ({"highway": "secondary", "sidewalk": "separate", "lit": "yes"}, 1.4),
    # Speed counts only on roads, and only above 30 km/h.
    ({"highway": "cycleway", "foot": "yes", "maxspeed": "50",
      "lit": "yes"}, 0.25),
    ({"highway": "residential", "maxspeed": "20", "lit": "24/7"}, 0.5),
    ({"highway": "primary", "maxspeed": "FI:urban", "lit": "yes"}, 2.2),
    # Unknown lighting costs a little, except indoors.
    ({"highway": "steps"}, 0.55),
    ({"highway": "corridor"}, 0.05),
    ({"highway": "path", "lit": "disused"}, 0.65),
    ({"highway": "path", "lit": "sometimes"}, 0.30),
    # Crossing kinds.
    ({"highway": "footway", "footway": "crossing",
      "crossing": "traffic_signals", "lit": "yes"}, 3.1),
    ({"highway": "footway", "footway": "crossing", "crossing": "unmarked",
      "lit": "yes"}, 8.1),
    ({"highway": "footway", "footway": "crossing",
      "crossing": "uncontrolled", "crossing_ref": "zebra",
      "lit": "yes"}, 6.1),
    ({"highway": "cycleway", "footway": "crossing", "segregated": "yes",
      "lit": "yes"}, 6.25),
    ({"highway": "crossing", "crossing": "island", "lit": "yes"}, 6.1),
])
def test_hazard_per_km(tags, hazard):
    assert hazard_per_km(tags) == pytest.approx(hazard)


def test_hazard_orders_ways_as_a_walker_would():
    lit = {"lit": "yes"}
    ranked = [
        {"highway": "pedestrian", **lit},
        {"highway": "footway", **lit},
        {"highway": "residential", **lit},
        {"highway": "primary", "sidewalk": "both", **lit},
        {"highway": "primary", **lit},
        {"highway": "primary", "maxspeed": "50", "lit": "no"},
        {"highway": "footway", "footway": "crossing", **lit},
    ]
    hazards = [hazard_per_km(tags) for tags in ranked]
    assert hazards == sorted(hazards)
    assert len(set(hazards)) == len(hazards)


def test_edge_risk_scales_with_length_and_rounds_to_four_decimals():
    assert edge_risk(100.0, 2.7) == 0.27
    assert edge_risk(12.0, 6.1) == 0.0732
    assert edge_risk(0.0, 8.1) == 0.0
    assert edge_risk(1.23, 0.1) == 0.0001
    assert edge_risk(0.4, 0.1) == 0.0
    with pytest.raises(ValueError):
        edge_risk(-1.0, 0.1)
    with pytest.raises(ValueError):
        edge_risk(math.nan, 0.1)


@pytest.mark.parametrize("document", [
    REPO / "norvel" / "osm" / "__init__.py",
    REPO / "norvel" / "data" / "README.md",
])
def test_documents_quote_the_rule_numbers(document):
    text = document.read_text(encoding="utf-8")
    for highway, base in walk_rules.BASE_HAZARD_PER_KM.items():
        line = next((line for line in text.splitlines()
                     if re.search(rf"\b{base:.2f}\b", line)
                     and re.search(rf"\b{highway}\b", line)), None)
        assert line is not None, f"{highway} {base:.2f} not in {document.name}"
    for number in (walk_rules.SPEED_HAZARD_PER_KMH,
                   walk_rules.SIDEWALK_PRESENT_FACTOR,
                   walk_rules.SIDEWALK_ABSENT_FACTOR,
                   walk_rules.UNLIT_HAZARD, walk_rules.LIT_UNKNOWN_HAZARD,
                   *walk_rules.CROSSING_HAZARD.values()):
        assert re.search(rf"(?<![\d.]){re.escape(str(number))}0?(?!\d)",
                         text), number


@pytest.mark.parametrize("tags, day, night", [
    # The example the documents quote: 0.22 by day, 0.42 at night per 100 m.
    ({"highway": "primary", "lit": "no", "maxspeed": "50"}, 2.2, 4.2),
    # Lit ways weigh the same in every layer.
    ({"highway": "footway", "lit": "yes"}, 0.10, 0.10),
    ({"highway": "footway", "footway": "crossing", "crossing": "marked",
      "lit": "yes"}, 6.1, 6.1),
    # Unknown lighting: nothing by day, as by default at night.
    ({"highway": "steps"}, 0.40, 0.55),
    ({"highway": "path", "lit": "sometimes"}, 0.15, 0.30),
    ({"highway": "path", "lit": "disused"}, 0.15, 2.15),
    ({"highway": "corridor", "lit": "off"}, 0.05, 2.05),
    ({"highway": "corridor"}, 0.05, 0.05),
    ({"highway": "residential", "maxspeed": "40", "sidewalk": "both",
      "lit": "no"}, (0.5 + 0.2) * 0.4, (0.5 + 0.2) * 0.4 + 2.0),
])
def test_day_and_night_hazards(tags, day, night):
    assert walk_rules.day_hazard_per_km(tags) == pytest.approx(day)
    assert walk_rules.night_hazard_per_km(tags) == pytest.approx(night)
    # Day <= default <= night, whatever the tags.
    assert walk_rules.day_hazard_per_km(tags) <= hazard_per_km(tags) \
        <= walk_rules.night_hazard_per_km(tags)
    assert list(walk_rules.DEFAULT_LAYER_RULES.values()) == [
        walk_rules.day_hazard_per_km, walk_rules.night_hazard_per_km]


def test_walking_tags_keep_their_order_and_nothing_else():
    tags = {"maxspeed": "30", "name": "A", "lit": "yes", "highway": "road",
            "sidewalk:left": "yes", "crossing": "zebra"}
    assert list(walk_rules.walking_tags(tags).items()) == [
        ("highway", "road"), ("lit", "yes"), ("crossing", "zebra"),
        ("maxspeed", "30")]


@pytest.mark.parametrize("document", [
    REPO / "norvel" / "osm" / "__init__.py",
    REPO / "norvel" / "data" / "README.md",
    REPO / "docs" / "osm.md",
])
def test_documents_quote_the_layer_numbers(document):
    text = " ".join(document.read_text(encoding="utf-8").split())
    for number in (walk_rules.NIGHT_UNLIT_HAZARD, walk_rules.UNLIT_HAZARD):
        assert re.search(rf"\+{re.escape(str(number))}0? rather than "
                         rf"\+{walk_rules.UNLIT_HAZARD:.2f}"
                         if number == walk_rules.NIGHT_UNLIT_HAZARD
                         else rf"\+{number:.2f}", text), (number, document)
    if document.name == "README.md":
        return
    # The worked example: 100 m of unlit 50 km/h primary road.
    primary = {"highway": "primary", "lit": "no", "maxspeed": "50"}
    day = edge_risk(100.0, walk_rules.day_hazard_per_km(primary))
    night = edge_risk(100.0, walk_rules.night_hazard_per_km(primary))
    assert re.search(rf"\b{day}\b by day,? and \b{night}\b at night", text), \
        document
    # "four times" the default rule's unlit hazard.
    assert walk_rules.NIGHT_UNLIT_HAZARD == 4 * walk_rules.UNLIT_HAZARD
    assert "four times" in text
