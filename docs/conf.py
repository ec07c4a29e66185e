"""Sphinx configuration of norvel_core's documentation.

Sphinx rather than MkDocs: autodoc reads the docstrings from the imported
package (and the module's type stub) with their signatures, nitpicky mode
fails the build on any reference that leads nowhere, and MyST-Parser lets
the pages stay Markdown that also reads well on a forge. Everything it needs
is a PyPI package (the ``docs`` extra); the build fetches nothing.

Build: ``python -m sphinx -W --keep-going -n -b html docs build/docs`` from
the repository root, then open ``build/docs/index.html``.
"""

from __future__ import annotations

import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
sys.path.insert(0, str(DOCS / "_ext"))

project = "norvel_core"
author = "norvel_core's authors"
copyright = "norvel_core's authors; map data (c) OpenStreetMap contributors, ODbL 1.0"

try:
    from importlib.metadata import version as _version

    release = _version("norvel_core")
except Exception:  # a source tree that was never installed
    release = "unknown"
version = release

extensions = [
    # The docstrings are prose with reST inline markup and no Google or NumPy
    # sections, so napoleon is left out: it would read a "Label: text" doc
    # comment as a type and its description.
    "sphinx.ext.autodoc",
    "myst_parser",
    "core_stub",       # norvel_core documented from its stub, norvel_core.pyi
    "public_names",    # every public name of norvel's modules is in the reference
]

source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_build", "**/.ipynb_checkpoints"]
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

html_theme = "furo"
html_title = f"norvel_core {release}"
html_static_path: list[str] = []

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_preserve_defaults = True
autodoc_default_options = {"members": True, "show-inheritance": True}

# Broken references fail the build; other projects' names cannot be
# resolved offline (no intersphinx inventories are fetched), so they are
# accepted by name.
nitpicky = True
nitpick_ignore_regex = [
    ("py:.*", r"(numpy|npt|np|pandas|geopandas|shapely|networkx|folium|matplotlib"
              r"|distributed|starlette|uvicorn|osmium|scipy|socket|asyncio|os|io"
              r"|collections|typing|types|threading|argparse|pathlib|datetime"
              r"|concurrent|json|gzip|multiprocessing|contextvars)(\..*)?"),
    # Names the annotations use that exist for the type checker alone: the
    # engine's private stub, type-only imports and type parameters.
    ("py:class", r"norvel\._.*|Graph|CatchmentColumns|Failure|EdgeValue|EdgeTags|GeometryKind|Session"
                 r"|Client|pd\.DataFrame|T"),
]
