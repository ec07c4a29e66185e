"""The engine's compiled module, ``norvel._engine``, wherever it is.

An installed wheel has it inside the package. Run from a source checkout,
``import norvel`` finds the source folder, which holds no compiled module:
the one beside an installed ``norvel`` (or in a build tree's ``norvel/``
folder on ``sys.path``) is loaded instead, under the same name.
"""

from __future__ import annotations

import importlib
import importlib.machinery
import importlib.util
import os
import sys
from types import ModuleType
from typing import TYPE_CHECKING

__all__ = ["engine"]

_NAME = "norvel._engine"


def _load() -> ModuleType:
    try:
        return importlib.import_module(_NAME)
    except ModuleNotFoundError as missing:
        if missing.name != _NAME:
            raise
        failure = missing
    here = os.path.dirname(os.path.abspath(__file__))
    for entry in sys.path:
        folder = os.path.join(os.path.abspath(entry or os.curdir), "norvel")
        if folder == here or not os.path.isdir(folder):
            continue
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            path = os.path.join(folder, "_engine" + suffix)
            if os.path.isfile(path):
                spec = importlib.util.spec_from_file_location(_NAME, path)
                assert spec is not None and spec.loader is not None
                module = importlib.util.module_from_spec(spec)
                sys.modules[_NAME] = module
                spec.loader.exec_module(module)
                return module
    raise ImportError(
        "norvel's compiled engine (norvel._engine) is not built: install the "
        "package (pip install .) or put a build tree's python/ folder on "
        "PYTHONPATH", name=_NAME) from failure


if TYPE_CHECKING:
    # The stub (norvel/_engine.pyi) types what _load finds at run time.
    from norvel import _engine as engine
else:
    engine = _load()
