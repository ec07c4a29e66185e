"""Without its extra, a submodule says which one to install, in one line.

Each case runs a new interpreter whose sitecustomize blocks the imports of
the dependencies, as if they were not installed."""

import os
import subprocess
import sys

import pytest

BLOCKER = """\
import os, sys
for name in os.environ["NORVEL_TEST_BLOCKED"].split():
    sys.modules[name] = None
"""


def run_blocked(tmp_path, blocked, code, *arguments):
    (tmp_path / "sitecustomize.py").write_text(BLOCKER)
    path = os.pathsep.join(filter(None, [str(tmp_path),
                                         os.environ.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, "-c", code, *arguments], cwd=tmp_path,
        env={**os.environ, "PYTHONPATH": path,
             "NORVEL_TEST_BLOCKED": " ".join(blocked)},
        capture_output=True, text=True, timeout=120, check=False)


IMPORT = """\
import importlib, sys
try:
    importlib.import_module(sys.argv[1])
except ImportError as error:
    print(error.name, error)
    sys.exit(3)
"""


@pytest.mark.parametrize("module, blocked, project, extra", [
    ("norvel.osm", "osmium", "pyosmium", "osm"),
    ("norvel.osm.rules", "osmium", "pyosmium", "osm"),
    ("norvel.plot", "matplotlib", "matplotlib", "plot"),
    ("norvel.batch", "pandas", "pandas", "batch"),
    ("norvel.batch", "tqdm", "tqdm", "batch"),
    ("norvel.serve", "starlette", "starlette", "serve"),
    ("norvel.serve.app", "uvicorn", "uvicorn", "serve"),
])
def test_import_names_the_extra(tmp_path, module, blocked, project, extra):
    run = run_blocked(tmp_path, [blocked], IMPORT, module)
    assert run.returncode == 3, run.stderr
    top = module.rsplit(".", 1)[0] if module.count(".") > 1 else module
    assert run.stdout == (f"{blocked} {top} needs {project}, which is not "
                          f"installed: pip install 'norvel_core[{extra}]'\n")


def test_norvel_serve_without_its_extra_is_one_line(tmp_path):
    run = run_blocked(tmp_path, ["uvicorn"], "import sys; from norvel.cli import main; "
                                             "sys.exit(main(['serve', 'graph.json']))")
    assert (run.returncode, run.stdout) == (1, "")
    assert run.stderr == ("norvel.serve needs uvicorn, which is not installed: "
                          "pip install 'norvel_core[serve]'\n")


def test_the_core_needs_no_extra(tmp_path):
    run = run_blocked(
        tmp_path, ["osmium", "matplotlib", "pandas", "tqdm", "orjson",
                   "distributed"],
        "import norvel, norvel.geo\n"
        "graph = norvel.load_graph(norvel.datasets.helsinki_walk())\n"
        "print(graph.node_count(), norvel.check_document("
        "norvel.datasets.helsinki_walk()))\n")
    assert run.returncode == 0, run.stderr
    assert run.stdout == "5790 []\n"


def test_command_without_pyosmium_prints_one_line(tmp_path):
    # What the installed norvel-osm-graph script runs.
    run = run_blocked(tmp_path, ["osmium"],
                      "import sys\n"
                      "from norvel._osm_command import main\n"
                      "sys.exit(main())\n", "in.osm.pbf", "out.json")
    assert run.returncode == 1
    assert run.stdout == ""
    assert run.stderr == ("norvel.osm needs pyosmium, which is not installed: "
                          "pip install 'norvel_core[osm]'\n")


def test_a_catchment_needs_an_extra_only_for_its_tables(tmp_path):
    run = run_blocked(
        tmp_path, ["pandas", "geopandas"],
        "import norvel\n"
        "router = norvel.Router.from_file(norvel.datasets.helsinki_walk())\n"
        "catchment = router.catchment((60.1699, 24.9384), 5.0)\n"
        "print(len(catchment) > 100)\n"
        "for view in (lambda: catchment.nodes, catchment.to_geodataframe):\n"
        "    try:\n"
        "        view()\n"
        "    except ImportError as error:\n"
        "        print(error)\n")
    assert run.returncode == 0, run.stderr
    assert run.stdout == (
        "True\n"
        "Catchment.nodes needs pandas, which is not installed: "
        "pip install 'norvel_core[batch]'\n"
        "Catchment.to_geodataframe needs geopandas, which is not installed: "
        "pip install 'norvel_core[geopandas]'\n")
