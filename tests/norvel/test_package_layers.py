"""The package imports downward only: no module of ``norvel`` imports,
however indirectly, a module that imports it. Every import counts, those
made only for the type checker and those inside functions too, since each
is a dependency a reader must follow."""

import ast
from pathlib import Path

import norvel

PACKAGE = Path(norvel.__file__).parent


def module_name(path):
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def modules():
    """Module name -> source file, the compiled engine's stub included."""
    found = {}
    for path in sorted([*PACKAGE.rglob("*.py"), *PACKAGE.rglob("*.pyi")]):
        found.setdefault(module_name(path), path)
    return found


def imported(path, name, known):
    """The package's modules that the file at ``path`` imports."""
    package = name if path.stem == "__init__" else name.rpartition(".")[0]
    targets = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            targets.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")[:len(package.split(".")) - node.level + 1]
                base = ".".join([*anchor, *([base] if base else [])])
            for alias in node.names:
                # "from norvel import steps" imports the module norvel.steps.
                child = f"{base}.{alias.name}"
                targets.add(child if child in known else base)
    return {target for target in targets if target in known and target != name}


def import_graph():
    known = modules()
    return {name: imported(path, name, known) for name, path in known.items()}


def circles(graph):
    """The strongly connected parts of more than one module (Tarjan)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for target in sorted(graph[node]):
            if target not in index:
                visit(target)
                low[node] = min(low[node], low[target])
            elif target in on_stack:
                low[node] = min(low[node], index[target])
        if low[node] == index[node]:
            part = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                part.append(member)
                if member == node:
                    break
            if len(part) > 1:
                found.append(sorted(part))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return found


def test_the_package_has_no_import_circle():
    assert circles(import_graph()) == []


def test_the_walk_sees_circles_and_every_kind_of_import():
    # The walk itself: each kind of import it must follow closes a circle.
    assert circles({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}) == [["a", "b", "c"]]
    graph = import_graph()
    assert "norvel._session" in graph["norvel.router"]       # a plain import
    assert "norvel._engine" in graph["norvel._native"]       # for the type checker
    assert "norvel._networkx" in graph["norvel.router"]      # inside a function


def private_names(tree):
    """The underscored names a module defines: its functions, classes and
    variables, and the attributes its classes set on themselves."""
    names = set()
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.Name) and isinstance(node.ctx, ast.Store):
            names.add(node.id)
        elif (isinstance(node, ast.Attribute) and isinstance(node.ctx, ast.Store)
              and isinstance(node.value, ast.Name) and node.value.id == "self"):
            names.add(node.attr)
    return {name for name in names if name.startswith("_")
            and not name.startswith("__")}


def test_no_module_reads_another_modules_private_members():
    """``x._name`` where ``_name`` belongs to another module of the package:
    the session's public methods are the way in."""
    known = modules()
    trees = {name: ast.parse(path.read_text(encoding="utf-8"))
             for name, path in known.items() if path.suffix == ".py"}
    defined = {name: private_names(tree) for name, tree in trees.items()}
    reaching = []
    for name, tree in trees.items():
        elsewhere = set().union(*(names for other, names in defined.items()
                                  if other != name))
        for node in ast.walk(tree):
            if (isinstance(node, ast.Attribute)
                    and node.attr in elsewhere - defined[name]):
                reaching.append(f"{name}: .{node.attr}")
            elif isinstance(node, ast.ImportFrom):
                reaching += [f"{name}: from {node.module} import {alias.name}"
                             for alias in node.names
                             if alias.name in elsewhere
                             and f"{node.module}.{alias.name}" not in known]
    assert reaching == [], reaching


def test_no_class_is_over_three_hundred_lines():
    """A class that long holds more than one job; split it along its seam."""
    long = []
    for name, path in modules().items():
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.ClassDef):
                lines = node.end_lineno - node.lineno + 1
                if lines > 300:
                    long.append(f"{name}.{node.name}: {lines} lines")
    assert long == []
