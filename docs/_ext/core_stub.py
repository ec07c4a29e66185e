"""Documents ``norvel_core`` from its type stub, ``norvel_core.pyi``.

The compiled module's own docstrings carry no signatures, while the stub
holds the signatures the package promises (mypy's stubtest holds the two
together). The stub is executed as a module named ``norvel_core`` for
autodoc, once norvel's own modules have bound the real one.
"""

from __future__ import annotations

import __future__
import sys
import types
from pathlib import Path
from typing import Any

from sphinx.application import Sphinx

STUB = Path(__file__).resolve().parents[2] / "norvel_core.pyi"


def stub_module(path: Path = STUB) -> types.ModuleType:
    """The stub's text run as a module: annotations stay unevaluated, so the
    classes may name each other before they exist."""
    module = types.ModuleType("norvel_core", None)
    module.__file__ = str(path)
    code = compile(path.read_text(encoding="utf-8"), str(path), "exec",
                   flags=__future__.annotations.compiler_flag, dont_inherit=True)
    exec(code, module.__dict__)
    for value in vars(module).values():
        if isinstance(value, type):
            value.__module__ = "norvel_core"
    return module


def _swap(app: Sphinx) -> None:
    import public_names

    for name in public_names.public_modules():      # bind the real module first
        __import__(name)
    sys.modules["norvel_core"] = stub_module()


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("builder-inited", _swap)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
