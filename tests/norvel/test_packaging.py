"""What the wheel ships, and that its types hold: the stub against the built
module, and mypy --strict over the companion package and the examples."""

import email
import hashlib
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]

# Everything the wheel holds but its dist-info RECORD, WHEEL and METADATA.
SHIPPED = {
    "norvel/__init__.py", "norvel/_earth.py", "norvel/_files.py",
    "norvel/_networkx.py", "norvel/_native.py",
    "norvel/_values.py", "norvel/_version.py", "norvel/_engine.pyi", "norvel/_layer_names.py",
    "norvel/_documents.py", "norvel/_layer_scan.py",
    "norvel/_access_maps.py", "norvel/_access_tables.py", "norvel/_access_walks.py", "norvel/_avoid.py",
    "norvel/_catchment_maps.py", "norvel/_catchment_routes.py", "norvel/_document_text.py",
    "norvel/_geojson.py",
    "norvel/_route_table.py", "norvel/_session.py", "norvel/_walks.py",
    "norvel/_layers.py", "norvel/_access_tiles.py", "norvel/_region_access.py", "norvel/_plane_cover.py",
    "norvel/_workers.py", "norvel/serve/bodies.py",
    "norvel/_requests.py", "norvel/failures.py",
    "norvel/errors.py", "norvel/router.py", "norvel/routes.py", "norvel/steps.py", "norvel/table.py",
    "norvel/catchment.py", "norvel/risk.py", "norvel/accessibility.py",
    "norvel/osm/tagged.py", "norvel/data/helsinki_population_2020.geojson",
    "norvel/data/helsinki_schools.csv",
    "norvel/batch.py", "norvel/geo.py", "norvel/plot.py", "norvel/py.typed",
    "norvel/osm/__init__.py", "norvel/osm/extract.py", "norvel/osm/graph.py",
    "norvel/osm/rules.py", "norvel/datasets.py", "norvel/checks.py",
    "norvel/_extras.py", "norvel/_osm_command.py",
    "norvel/data/helsinki_walk.json.gz", "norvel/data/README.md",
    "norvel/__main__.py", "norvel/cli.py", "norvel/serve/__init__.py",
    "norvel/serve/admission.py", "norvel/serve/answers.py", "norvel/serve/app.py",
    "norvel/serve/catchments.py", "norvel/serve/dispatch.py",
    "norvel/serve/generations.py", "norvel/serve/limits.py",
    "norvel/serve/frames.py", "norvel/serve/metrics.py", "norvel/serve/network.py",
    "norvel/serve/observe.py", "norvel/serve/openapi.py", "norvel/serve/page.html",
    "norvel/serve/parameters.py", "norvel/serve/patterns.py", "norvel/serve/served.py",
    "norvel/serve/pool.py", "norvel/serve/processes.py", "norvel/serve/queries.py",
    "norvel/serve/watch.py", "norvel/serve/worker.py", "norvel/serve/zygote.py",
    "norvel_core.pyi", "norvel_core-stubs/__init__.pyi",
    "norvel_core-0.1.0.dist-info/licenses/LICENSE",
    "norvel_core-0.1.0.dist-info/entry_points.txt",
}


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    """The wheel scripts/test built (NORVEL_WHEEL), or a new one."""
    built = os.environ.get("NORVEL_WHEEL")
    if built:
        return Path(built)
    folder = tmp_path_factory.mktemp("wheel")
    subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps",
                    "--disable-pip-version-check", "-w", str(folder),
                    str(REPO)], check=True, timeout=900)
    (path,) = folder.glob("*.whl")
    return path


def test_wheel_holds_the_module_stub_package_and_licence(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        metadata = email.message_from_bytes(
            archive.read("norvel_core-0.1.0.dist-info/METADATA"))
        entry_points = archive.read(
            "norvel_core-0.1.0.dist-info/entry_points.txt").decode()
        stub = archive.read("norvel_core.pyi")
        assert archive.read("norvel_core-stubs/__init__.pyi") == stub
        assert stub == (REPO / "norvel_core.pyi").read_bytes()
    (module,) = [n for n in names if n.startswith("norvel_core.cpython-313")]
    assert module.endswith(".so")
    (engine,) = [n for n in names if n.startswith("norvel/_engine.cpython-313")]
    assert engine.endswith(".so")
    rest = names - {module, engine} - {f"norvel_core-0.1.0.dist-info/{n}"
                                       for n in ("RECORD", "WHEEL", "METADATA")}
    assert rest == SHIPPED

    assert set(metadata.get_all("Provides-Extra")) >= {
        "osm", "geo", "plot", "batch", "dask", "networkx", "geopandas", "serve",
        "access"}
    requires = metadata.get_all("Requires-Dist")
    for package, extra in (("osmium", "osm"), ("orjson", "geo"),
                           ("matplotlib", "plot"), ("pandas", "batch"),
                           ("distributed", "dask"), ("networkx", "networkx"),
                           ("geopandas", "geopandas"), ("shapely", "geopandas"),
                           ("starlette", "serve"), ("h3", "access"),
                           ("pyarrow", "access"),
                           ("uvicorn", "serve")):
        assert any(re.match(rf"{package}\b.*extra == \"{extra}\"", line)
                   for line in requires), (package, requires)
    # The core needs numpy and scipy (the nearest-node index), nothing else.
    core = sorted(re.match(r"[A-Za-z0-9._-]+", line).group(0)
                  for line in requires if "extra ==" not in line)
    assert core == ["numpy", "scipy"]
    assert "norvel-osm-graph = norvel._osm_command:main" in entry_points
    assert "norvel = norvel.cli:main" in entry_points


def test_wheel_ships_the_sample_with_its_licence(wheel):
    with zipfile.ZipFile(wheel) as archive:
        sample = archive.read("norvel/data/helsinki_walk.json.gz")
        notes = archive.read("norvel/data/README.md").decode()
    assert sample == (REPO / "norvel/data/helsinki_walk.json.gz").read_bytes()
    assert hashlib.sha256(sample).hexdigest() in notes
    assert "Open Database License (ODbL) 1.0" in " ".join(notes.split())
    # The population grid and the schools of the same area, each with its
    # hash and licence in the notes.
    with zipfile.ZipFile(wheel) as archive:
        for name in ("helsinki_population_2020.geojson", "helsinki_schools.csv"):
            data = archive.read(f"norvel/data/{name}")
            assert data == (REPO / "norvel/data" / name).read_bytes()
            assert hashlib.sha256(data).hexdigest() in notes
    assert ('"Population grid 2020 (c) Helsinki Region Environmental Services '
            'HSY, CC BY 4.0"') in " ".join(notes.split())


def run_mypy(*arguments, cwd):
    # In a folder of its own, so that neither the repository's files nor a
    # cache shadow what is installed.
    return subprocess.run([sys.executable, "-m", *arguments], cwd=cwd,
                          capture_output=True, text=True, timeout=600,
                          check=False)


def test_stub_agrees_with_the_installed_module(tmp_path):
    run = run_mypy("mypy.stubtest", "norvel_core", cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


def test_companion_package_and_examples_pass_strict_mypy(tmp_path):
    run = run_mypy("mypy", "--config-file", str(REPO / "pyproject.toml"),
                   str(REPO / "norvel"), str(REPO / "examples"), cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


def test_stub_refuses_what_the_module_refuses(tmp_path):
    (tmp_path / "misuse.py").write_text(
        "import norvel_core\n"
        "graph = norvel_core.PyGraph()\n"
        "class Mine(norvel_core.PyRouteResult): ...\n"
        "def f(r: norvel_core.PyRouteResult) -> None:\n"
        "    r.total_risk = 0.0\n"
        "norvel_core.compute_safe_routes(graph, 1, 2, epsilon=0.1)\n")
    run = run_mypy("mypy", "--strict", "misuse.py", cwd=tmp_path)
    errors = [line for line in run.stdout.splitlines() if ": error:" in line]
    assert [line.split(":")[1] for line in errors] == ["2", "3", "5", "6"], \
        run.stdout
