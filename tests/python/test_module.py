import sys

import pytest

import norvel_core
from conftest import run_python, worked_graph  # noqa: F401

CLASSES = [norvel_core.PyGraph, norvel_core.PyRouteResult]


def test_namespace_lists_the_three_entries_in_order():
    assert norvel_core.__all__ == ["PyGraph", "PyRouteResult", "compute_safe_routes"]
    assert norvel_core.__doc__ == ""
    public = [name for name in vars(norvel_core) if not name.startswith("__")]
    assert public == ["PyGraph", "PyRouteResult", "compute_safe_routes"]
    assert not hasattr(norvel_core, "PanicException")


def test_reimport_after_removal_returns_the_same_module():
    first = sys.modules.pop("norvel_core")
    try:
        import norvel_core as second
        assert second is first
        assert second.PyGraph is first.PyGraph
        assert second.compute_safe_routes is first.compute_safe_routes
    finally:
        sys.modules["norvel_core"] = first


def test_function_belongs_to_the_module():
    function = norvel_core.compute_safe_routes
    assert function.__module__ == "norvel_core"
    assert function.__self__ is norvel_core
    assert function.__name__ == "compute_safe_routes"


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_are_builtins_heap_types_without_extras(cls):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__
    assert cls.__mro__ == (cls, object)
    assert "__dict__" not in dir(cls)
    assert "__weakref__" not in dir(cls)
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {}), ((), {"json_str": "{}"}), (("x",), {"a": 1})])
def test_classes_refuse_construction_whatever_the_arguments(cls, args, kwargs):
    with pytest.raises(TypeError) as caught:
        cls(*args, **kwargs)
    assert caught.value.args == (f"No constructor defined for {cls.__name__}",)
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls.__name__}$"):
        cls.__new__(cls)


def test_instances_take_no_new_attributes(worked_graph):
    import weakref
    route = norvel_core.compute_safe_routes(worked_graph, 1, 3, 0.0)[0]
    for obj in (worked_graph, route):
        with pytest.raises(AttributeError):
            obj.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)


def test_graph_repr_is_the_default_one(worked_graph):
    assert repr(worked_graph).startswith("<builtins.PyGraph object at 0x")


def test_subinterpreter_import_is_refused_after_main_import():
    result = run_python("""
        import _interpreters
        import norvel_core
        for config in ("legacy", "isolated"):
            interp = _interpreters.create(config)
            info = _interpreters.run_string(interp, "import norvel_core")
            print(config, info.type.__name__, info.msg)
            _interpreters.destroy(interp)
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    # Under "legacy" only the module's own check stands between the
    # sub-interpreter and the module: it must refuse by itself.
    assert lines[0].startswith("legacy ImportError ")
    assert "sub-interpreter" in lines[0]
    assert lines[1].startswith("isolated ImportError ")


def test_subinterpreter_importing_first_is_refused_and_main_keeps_the_module():
    # The interpreter runs a single-phase init in the main interpreter first,
    # so the main interpreter is the one recorded even here.
    result = run_python("""
        import _interpreters
        interp = _interpreters.create("legacy")
        info = _interpreters.run_string(interp, "import norvel_core")
        print(info.type.__name__, "sub-interpreter" in info.msg)
        import norvel_core
        print(norvel_core.__all__)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "ImportError True",
        "['PyGraph', 'PyRouteResult', 'compute_safe_routes']",
    ]


def test_allocation_failure_in_a_getter_raises_panic_exception():
    # _testcapi can make the next interpreter allocation fail: the path getter
    # then cannot build its list, which is an internal fault of the module.
    result = run_python("""
        import _testcapi, json
        import norvel_core
        doc = {"nodes": [{"id": 1, "lat": 0, "lon": 0}, {"id": 2, "lat": 0, "lon": 0}],
               "edges": [{"from": 1, "to": 2, "distance_m": 1.0, "risk_score": 0.5}]}
        route = norvel_core.compute_safe_routes(norvel_core.PyGraph.from_json(json.dumps(doc)), 1, 2, 0.0)[0]
        try:
            try:
                _testcapi.set_nomemory(0, 1)
                route.path
            except Exception:
                print("caught as Exception")
            finally:
                _testcapi.remove_mem_hooks()
        except BaseException as panic:
            cls = type(panic)
            print(cls.__name__, cls.__module__, cls.__mro__[1:] == (BaseException, object), panic.args)
            print(issubclass(cls, Exception), "BaseException" in cls.__doc__, cls.__doc__.isascii())
            print(route.path)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "PanicException norvel_core True ('Python API call failed',)",
        "False True True",
        "[1, 2]",
    ]
    # The interpreter's own error is printed before the panic replaces it.
    assert "MemoryError" in result.stderr
