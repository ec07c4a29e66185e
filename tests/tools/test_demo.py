"""The demo runs to the end against the installed module."""

import json
import re
import subprocess
import sys
from pathlib import Path

DEMO = Path(__file__).resolve().parents[2] / "examples" / "demo.py"


def run_demo(*arguments):
    run = subprocess.run([sys.executable, str(DEMO), *arguments],
                         capture_output=True, text=True, timeout=120,
                         check=False)
    assert run.returncode == 0, run.stderr
    return run.stdout


def test_demo_shows_distinct_shortest_and_safest_routes():
    output = run_demo()
    assert "(fixed demo pair)" in output
    assert "route(eps=0.0): 3 route(s)" in output
    assert output.count("shortest and safest differ") == 1
    # Each route as its repr shows it.
    for kind in ("shortest", "safest", "balanced"):
        assert re.search(rf"^  Route\({kind}, \d+ m, risk \d\.\d{{3}}, "
                         rf"\d+\.\d min, \d+ nodes\)$", output, re.MULTILINE)


def test_demo_writes_the_map_and_the_geojson(tmp_path):
    picture, features = tmp_path / "routes.png", tmp_path / "routes.geojson"
    run_demo("--map", str(picture), "--geojson", str(features))
    assert picture.read_bytes()[:4] == b"\x89PNG"
    collection = json.loads(features.read_text())
    assert [f["properties"]["type"] for f in collection["features"]] == [
        "shortest", "safest", "balanced"]
