"""Sample data shipped inside the package.

- ``helsinki_walk()``: the path of a pedestrian graph document of central
  Helsinki (5790 nodes, 13798 edges with way names and walking tags, the
  risk layers day and night; OpenStreetMap data,
  (c) OpenStreetMap contributors, ODbL 1.0). Its README, beside it in
  ``norvel/data/``, tells where it comes from, how it was made and under
  which licence it may be used.

    graph = norvel.load_graph(norvel.datasets.helsinki_walk())
"""

from __future__ import annotations

import atexit
import contextlib
import functools
import importlib.resources
from pathlib import Path

# Files extracted from a zipped install live until the interpreter exits.
_extracted = contextlib.ExitStack()
atexit.register(_extracted.close)


@functools.cache
def _data_file(name: str) -> Path:
    resource = importlib.resources.files(__package__ or "norvel") / "data" / name
    if isinstance(resource, Path):
        # An ordinary install: the file itself.
        return resource
    # From a zip archive: a temporary copy, made once per process.
    return _extracted.enter_context(importlib.resources.as_file(resource))


def helsinki_walk() -> Path:
    """The path of the bundled Helsinki graph document (``.json.gz``, read by
    ``norvel.load_graph``); it works from any directory."""
    return _data_file("helsinki_walk.json.gz")
