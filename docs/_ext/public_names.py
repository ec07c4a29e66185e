"""Fails the build when a public name of norvel's modules is missing from
the API reference.

A module's public names are its ``__all__``, or else every name it defines
(a class, a function or an assignment at the top of its source) that does
not start with an underscore. A name counts as documented when the
reference describes it under that module or where it is defined (a name a
package re-exports is described once, in its own module).
"""

from __future__ import annotations

import ast
import importlib
import inspect
import pkgutil
import sys
import types
from typing import Any

from sphinx.application import Sphinx
from sphinx.environment import BuildEnvironment
from sphinx.util import logging

logger = logging.getLogger(__name__)

PACKAGE = "norvel"


def public_modules(package: str = PACKAGE) -> list[str]:
    """norvel and every submodule no part of whose name starts with "_"."""
    root = importlib.import_module(package)
    names = [package]
    for info in pkgutil.walk_packages(root.__path__, prefix=package + "."):
        if not any(part.startswith("_") for part in info.name.split(".")):
            names.append(info.name)
    return sorted(names)


def _assigned_names(module: types.ModuleType) -> set[str]:
    try:
        tree = ast.parse(inspect.getsource(module))
    except (OSError, TypeError):
        return set()
    names: set[str] = set()
    for node in tree.body:
        targets: list[ast.expr] = []
        if isinstance(node, ast.Assign):
            targets = node.targets
        elif isinstance(node, (ast.AnnAssign, ast.TypeAlias)):
            targets = [node.target] if isinstance(node, ast.AnnAssign) else [node.name]
        names.update(t.id for t in targets if isinstance(t, ast.Name))
    return names


def public_names(module: types.ModuleType) -> list[str]:
    """The names ``from module import *`` would give, or that it defines."""
    declared = getattr(module, "__all__", None)
    if declared is not None:
        return list(declared)
    assigned = _assigned_names(module)
    names = []
    for name, value in vars(module).items():
        if name.startswith("_") or isinstance(value, types.ModuleType):
            continue
        if getattr(value, "__module__", None) == module.__name__ or name in assigned:
            names.append(name)
    return sorted(names)


def _resolve(dotted: str) -> object:
    """The object a documented dotted name stands for, or None."""
    parts = dotted.split(".")
    for cut in range(len(parts), 0, -1):
        module = sys.modules.get(".".join(parts[:cut]))
        if module is not None:
            value: object = module
            for part in parts[cut:]:
                value = getattr(value, part, None)
            return value
    return None


def missing_names(documented: set[str]) -> list[str]:
    """The public names of norvel's modules that ``documented`` (full dotted
    names) lacks. A class or function counts wherever it is described (a
    package describes the functions it re-exports under its own name)."""
    described = {id(value) for value in map(_resolve, documented)
                 if inspect.isclass(value) or inspect.isroutine(value)}
    missing = []
    for module_name in public_modules():
        module = importlib.import_module(module_name)
        if module_name not in documented:
            missing.append(module_name)
        for name in public_names(module):
            value = getattr(module, name)
            home = getattr(value, "__module__", None)
            qualname = getattr(value, "__qualname__", None)
            if isinstance(value, types.ModuleType):
                candidates = {value.__name__}
            else:
                candidates = {f"{module_name}.{name}"}
                if isinstance(home, str) and isinstance(qualname, str):
                    candidates.add(f"{home}.{qualname}")
            if candidates & documented:
                continue
            if (inspect.isclass(value) or inspect.isroutine(value)) and id(value) in described:
                continue
            missing.append(f"{module_name}.{name}")
    return missing


def _check(app: Sphinx, env: BuildEnvironment) -> None:
    domain: Any = env.get_domain("py")
    documented = set(domain.objects) | set(domain.modules)
    for name in missing_names(documented):
        logger.warning("public name %s is not in the API reference", name,
                       type="norvel", subtype="public_name")


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("env-check-consistency", _check)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
