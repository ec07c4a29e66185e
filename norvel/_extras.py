"""The optional dependencies of the submodules, each brought by an extra of
norvel_core, and the one-line error when one is missing."""

from __future__ import annotations

import importlib

# Import names that differ from what a user would look for on PyPI.
_PROJECT = {"osmium": "pyosmium"}


class MissingExtraError(ImportError):
    """A submodule's dependency cannot be imported; the message is one line
    that ends with the pip command installing the extra (``.extra``)."""

    def __init__(self, message: str, *, extra: str, name: str) -> None:
        super().__init__(message, name=name)
        self.extra = extra


def require(user: str, extra: str, *modules: str) -> None:
    """Imports ``modules`` (the dependencies of the submodule ``user``), or
    raises MissingExtraError naming the extra that brings them."""
    for module in modules:
        try:
            importlib.import_module(module)
        except ImportError as missing:
            project = _PROJECT.get(module, module)
            install = f"pip install 'norvel_core[{extra}]'"
            if missing.name == module:
                message = (f"{user} needs {project}, which is not installed: "
                           f"{install}")
            else:  # installed, but one of its own dependencies is missing
                message = (f"{user} needs {project}, which cannot be "
                           f"imported ({missing}): {install}")
            raise MissingExtraError(message, extra=extra,
                                    name=module) from missing
