"""The package's version, from the metadata of its distribution.

The installed distribution ``norvel_core`` says which version it is, and its
list of files says whether the ``norvel`` being run is the one it installed.
A ``norvel`` imported from a source tree instead (on ``PYTHONPATH``, never
installed, or beside an installed copy of another version) takes the
version its ``pyproject.toml`` states, marked ``+source``; with neither,
``0+unknown``.
"""

from __future__ import annotations

import functools
import tomllib
from importlib import metadata
from pathlib import Path

DISTRIBUTION = "norvel_core"
UNKNOWN = "0+unknown"

_PACKAGE_INIT = Path(__file__).resolve().with_name("__init__.py")


def _installed_version() -> str | None:
    try:
        distribution = metadata.distribution(DISTRIBUTION)
    except metadata.PackageNotFoundError:
        return None
    installed = Path(str(distribution.locate_file("norvel/__init__.py")))
    try:
        if installed.resolve() != _PACKAGE_INIT:
            return None
    except OSError:
        return None
    return distribution.version


def _source_version() -> str | None:
    pyproject = _PACKAGE_INIT.parent.parent / "pyproject.toml"
    try:
        with pyproject.open("rb") as stream:
            project = tomllib.load(stream).get("project", {})
    except (OSError, tomllib.TOMLDecodeError):
        return None
    version = project.get("version")
    if project.get("name") != DISTRIBUTION or not isinstance(version, str):
        return None
    return f"{version}+source"


@functools.cache
def package_version() -> str:
    """The version of this ``norvel``: the installed distribution's, the
    source tree's ``pyproject.toml`` version with ``+source``, or
    ``0+unknown``."""
    return _installed_version() or _source_version() or UNKNOWN
