"""The demo runs to the end against the installed module."""

import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("norvel_core")

DEMO = Path(__file__).resolve().parents[2] / "examples" / "demo.py"


def test_demo_shows_distinct_shortest_and_safest_routes():
    run = subprocess.run([sys.executable, str(DEMO)], capture_output=True,
                         text=True, timeout=120, check=False)
    assert run.returncode == 0, run.stderr
    assert "(fixed demo pair)" in run.stdout
    assert run.stdout.count("shortest and safest differ") == 2
    assert "Route(shortest, dist=" in run.stdout
    assert "Route(safest, dist=" in run.stdout
