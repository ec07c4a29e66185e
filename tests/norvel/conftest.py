import gzip
import json
from pathlib import Path

import pytest

import norvel.datasets

from grids import grid_document


@pytest.fixture(scope="session")
def grid_files(tmp_path_factory):
    """(plain, gzipped) files of a 12 x 12 grid document."""
    folder = tmp_path_factory.mktemp("grid")
    text = json.dumps(grid_document(12))
    plain = folder / "grid.json"
    plain.write_text(text, encoding="utf-8")
    packed = folder / "grid.json.gz"
    packed.write_bytes(gzip.compress(text.encode("utf-8")))
    return plain, packed


# The bundled Helsinki sample, inside the package.
SAMPLE = norvel.datasets.helsinki_walk()


@pytest.fixture(scope="session")
def sample_path():
    return SAMPLE
