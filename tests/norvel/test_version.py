"""norvel.__version__ and norvel --version: the distribution's metadata, or
the source tree's version marked +source."""

import os
import subprocess
import sys
import tomllib
from importlib import metadata
from pathlib import Path

import norvel

ROOT = Path(__file__).resolve().parents[2]


def _source_version():
    with (ROOT / "pyproject.toml").open("rb") as stream:
        return tomllib.load(stream)["project"]["version"]


def _expected():
    """What this norvel should say: the metadata's version when it is the
    installed copy, else the source tree's."""
    try:
        distribution = metadata.distribution("norvel_core")
        installed = Path(str(distribution.locate_file("norvel/__init__.py"))).resolve()
    except metadata.PackageNotFoundError:
        installed = None
    if installed == Path(norvel.__file__).resolve():
        return distribution.version
    return _source_version() + "+source"


def test_version_attribute_and_command_agree_with_the_metadata():
    run = subprocess.run([sys.executable, "-m", "norvel", "--version"],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout == f"norvel {_expected()}\n"
    assert norvel.__version__ == _expected()


def test_a_source_tree_that_was_not_installed_says_so(tmp_path):
    # The source tree ahead of everything: its norvel is not the installed one.
    path = os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")])
    run = subprocess.run(
        [sys.executable, "-c", "import norvel; print(norvel.__file__); print(norvel.__version__)"],
        capture_output=True, text=True, timeout=60, cwd=tmp_path,
        env={**os.environ, "PYTHONPATH": path})
    assert run.returncode == 0, run.stderr
    where, version = run.stdout.splitlines()
    assert Path(where).resolve() == (ROOT / "norvel" / "__init__.py").resolve()
    assert version == _source_version() + "+source"
