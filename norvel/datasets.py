"""Sample data shipped inside the package.

- ``helsinki_walk()``: the path of a pedestrian graph document of central
  Helsinki (5790 nodes, 13798 edges with way names and walking tags, the
  risk layers day and night; OpenStreetMap data,
  (c) OpenStreetMap contributors, ODbL 1.0). Its README, beside it in
  ``norvel/data/``, tells where it comes from, how it was made and under
  which licence it may be used.
- ``helsinki_population()``: the path of Helsinki's 2020 population grid
  (250 m cells, HSY, CC BY 4.0) over the same area, as GeoJSON.
- ``helsinki_schools()``: the path of the schools of the OpenStreetMap
  extract the graph was made of, as CSV points (ODbL 1.0).

    graph = norvel.load_graph(norvel.datasets.helsinki_walk())
    homes = geopandas.read_file(norvel.datasets.helsinki_population())
    schools = pandas.read_csv(norvel.datasets.helsinki_schools())
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


def helsinki_population() -> Path:
    """The bundled population grid of the sample's area (``.geojson``:
    polygons in EPSG:4326 with ``id`` and ``population``; Population grid
    2020 (c) Helsinki Region Environmental Services HSY, CC BY 4.0)."""
    return _data_file("helsinki_population_2020.geojson")


def helsinki_schools() -> Path:
    """The bundled schools of the sample's area (``.csv`` with
    ``osm_type``, ``osm_id``, ``name``, ``lat`` and ``lon``; (c)
    OpenStreetMap contributors, ODbL 1.0)."""
    return _data_file("helsinki_schools.csv")
