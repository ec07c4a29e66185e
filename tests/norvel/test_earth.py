"""One Earth for every distance norvel gives users: the Python haversine
against the table the C++ one is tested with (tests/engine), and no other
radius in the sources."""

import re
from pathlib import Path

import pytest

import norvel
from norvel import _earth, geo

REPO = Path(__file__).resolve().parents[2]
CASES = REPO / "tests" / "engine" / "great_circle_cases.txt"


def table():
    rows = []
    for line in CASES.read_text().splitlines():
        if line.startswith("#"):
            continue
        fields, why = line.split("#")
        *place, metres = map(float, fields.split())
        rows.append(pytest.param(*place, metres, id=why.strip()))
    return rows


@pytest.mark.parametrize("lat1, lon1, lat2, lon2, metres", table())
def test_haversine_gives_the_tables_metres(lat1, lon1, lat2, lon2, metres):
    # The tolerance of tests/engine/earth_test.cpp: a radius a metre off is
    # 1.6e-7 off.
    there = _earth.haversine_m(lat1, lon1, lat2, lon2)
    assert there == pytest.approx(metres, rel=1e-12, abs=1e-12)
    assert there == _earth.haversine_m(lat2, lon2, lat1, lon1)


def test_geo_reexports_the_one_haversine():
    assert geo.haversine_m is _earth.haversine_m
    assert geo.EARTH_RADIUS_M == _earth.EARTH_RADIUS_M == 6371008.8


def test_the_nearest_node_is_as_far_as_the_haversine_says(tmp_path):
    # The nearest-node index measures chords on the unit sphere: the same
    # radius must turn them into the same metres.
    router = norvel.Router.from_json(
        '[[[1,60.0,25.0],[2,60.0,25.01]],[[1,2,556.0,0.1,null]]]')
    for lat, lon in ((60.001, 25.0), (59.9, 24.9), (-60.0, -155.0)):
        snap = router.nearest(lat, lon)
        assert snap.node == 1
        assert snap.distance_m == pytest.approx(
            _earth.haversine_m(lat, lon, 60.0, 25.0), rel=1e-9)


# A radius written anywhere in the sources: 6371..., or a diameter 12742...
RADIUS = re.compile(r"(?<![\d.])(?:6371|12742)\d*(?:\.\d+)?")
# The route search's heuristic keeps its own sphere; its order depends on it.
HEURISTIC = {"graph/heuristic.hpp", "tests/graph/reference/reference_search.cpp"}


def test_one_radius_in_the_sources():
    found = []
    for folder in ("norvel", "engine", "graph", "loading", "python", "bench",
                   "examples"):
        for path in sorted((REPO / folder).rglob("*")):
            if path.suffix not in {".py", ".cpp", ".hpp", ".pyi"}:
                continue
            name = path.relative_to(REPO).as_posix()
            for value in RADIUS.findall(path.read_text(encoding="utf-8")):
                if not (float(value) == _earth.EARTH_RADIUS_M
                        or (name in HEURISTIC and float(value) == 12742000.0)):
                    found.append((name, value))
    assert found == []
