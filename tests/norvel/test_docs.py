"""The documentation site builds with warnings as errors (broken references
and public names left out of the API reference included)."""

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"


def test_site_builds_without_a_warning(tmp_path):
    pytest.importorskip("sphinx")
    pytest.importorskip("myst_parser")
    out = tmp_path / "html"
    run = subprocess.run(
        [sys.executable, "-m", "sphinx", "-E", "-W", "--keep-going", "-n", "-q",
         "-b", "html", "-d", str(tmp_path / "doctrees"), str(DOCS), str(out)],
        capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    reference = (out / "api" / "norvel.html").read_text(encoding="utf-8")
    assert 'id="norvel.Router.route"' in reference
    assert 'id="norvel.osm.rules.hazard_per_km"' in (out / "api" / "osm.html").read_text(encoding="utf-8")
    assert 'id="norvel_core.compute_safe_routes"' in (
        out / "api" / "norvel_core.html").read_text(encoding="utf-8")
    assert (out / "routes.png").is_file() or (out / "_images" / "routes.png").is_file()


def test_public_name_check_finds_a_name_left_out(monkeypatch):
    monkeypatch.syspath_prepend(str(DOCS / "_ext"))
    from public_names import missing_names

    everything = set(missing_names(set()))
    assert {"norvel.router.Router", "norvel.osm.rules.LIT_YES", "norvel.serve.app"} <= everything
    assert missing_names(everything) == []
    assert missing_names(everything - {"norvel.geo.write_geojson"}) == ["norvel.geo.write_geojson"]
    # A class the package re-exports counts where it is described.
    described_once = everything - {"norvel.router.Router"} | {"norvel.Router"}
    assert missing_names(described_once) == []
