import math

import pytest

import norvel_core
from conftest import WALKING_PACE, make_graph, worked_graph  # noqa: F401

compute = norvel_core.compute_safe_routes
MAX_ID = 2**64 - 1

DOC_LINES = [
    "Calcule les 3 itinéraires Pareto-optimaux entre source et destination.",
    "",
    "# Arguments",
    None,  # the graph bullet, checked for its form only
    "* `source` — NodeId OSM de départ",
    "* `target` — NodeId OSM d'arrivée",
    "* `eps`    — approximation A*pex : 0.0 = exact, 0.1 = 10% approx (recommandé)",
]


def raised(call):
    with pytest.raises(BaseException) as caught:
        call()
    return type(caught.value), caught.value.args


def test_docstring_and_text_signature():
    assert compute.__text_signature__ == "(graph, source, target, eps)"
    lines = compute.__doc__.split("\n")
    assert len(lines) == len(DOC_LINES)
    for line, expected in zip(lines, DOC_LINES):
        if expected is not None:
            assert line == expected
    assert lines[3].startswith("* `graph`  — ") and "PyGraph" in lines[3]


def test_worked_request(worked_graph):
    shortest, safest = compute(worked_graph, 1, 3, 0.0)
    assert (shortest.route_type, shortest.path, shortest.node_count) == ("shortest", [1, 3], 2)
    assert (shortest.total_distance_m, shortest.total_risk, shortest.total_familiarity) == (105.0, 0.5, 0.0)
    assert shortest.estimated_time_min == 105.0 / WALKING_PACE
    assert shortest.comfort_score == pytest.approx(math.exp(-1.0), rel=1e-15)
    assert repr(shortest) == "Route(shortest, dist=105m, risk=0.500, time=1.6min)"
    assert (safest.route_type, safest.path, safest.node_count) == ("safest", [1, 2, 3], 3)
    assert (safest.total_distance_m, safest.total_risk, safest.total_familiarity) == (110.0, 0.2, 0.0)
    assert safest.estimated_time_min == 110.0 / WALKING_PACE
    assert safest.comfort_score == pytest.approx(math.exp(-0.4), rel=1e-15)
    assert repr(safest) == "Route(safest, dist=110m, risk=0.200, time=1.6min)"

    (approximate,) = compute(worked_graph, 1, 3, 0.1)
    assert (approximate.route_type, approximate.path) == ("shortest", [1, 2, 3])


def test_all_keywords_in_any_order_bind_like_positions(worked_graph):
    expected = [repr(r) for r in compute(worked_graph, 1, 3, 0.0)]
    assert [repr(r) for r in compute(eps=0.0, target=3, graph=worked_graph, source=1)] == expected
    assert [repr(r) for r in compute(worked_graph, 1, eps=0.0, target=3)] == expected


def test_repeated_calls_return_equal_lists_of_new_objects(worked_graph):
    first, second = compute(worked_graph, 1, 3, 0.0), compute(worked_graph, 1, 3, 0.0)
    assert type(first) is list and first is not second
    assert [repr(r) for r in first] == [repr(r) for r in second]
    assert all(a is not b for a, b in zip(first, second))
    assert first[0] != second[0]  # no comparison of their own: identity only


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, "compute_safe_routes() missing 4 required positional arguments: "
             "'graph', 'source', 'target', and 'eps'"),
    ((None,), {}, "compute_safe_routes() missing 3 required positional arguments: "
                  "'source', 'target', and 'eps'"),
    ((None, 1), {}, "compute_safe_routes() missing 2 required positional arguments: 'target' and 'eps'"),
    ((None, 1, 2), {}, "compute_safe_routes() missing 1 required positional argument: 'eps'"),
    ((None, 1), {"eps": 0.0}, "compute_safe_routes() missing 1 required positional argument: 'target'"),
    ((), {"source": 1, "eps": 0.0},
     "compute_safe_routes() missing 2 required positional arguments: 'graph' and 'target'"),
    ((None, 1, 2, 0.0, 5), {}, "compute_safe_routes() takes 4 positional arguments but 5 were given"),
    ((None, 1, 2, 0.0, 5, 6), {"bogus": 1},
     "compute_safe_routes() takes 4 positional arguments but 6 were given"),
    ((None, 1, 2, 0.0), {"graph": None}, "compute_safe_routes() got multiple values for argument 'graph'"),
    ((None, 1), {"epsilon": 0.1}, "compute_safe_routes() got an unexpected keyword argument 'epsilon'"),
    ((None, 1), {"Eps": 0.1, "source": 1},
     "compute_safe_routes() got an unexpected keyword argument 'Eps'"),
    ((None, 1), {"source": 1, "Eps": 0.1},
     "compute_safe_routes() got multiple values for argument 'source'"),
])
def test_binding_errors(args, kwargs, expected):
    assert raised(lambda: compute(*args, **kwargs)) == (TypeError, (expected,))


def test_unexpected_keyword_is_shown_through_its_str():
    class Name(str):
        def __str__(self):
            return "shown"
    assert raised(lambda: compute(**{Name("x"): 1})) == (
        TypeError, ("compute_safe_routes() got an unexpected keyword argument 'shown'",))


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __float__(self):
        return 0.0


def index_error_text(value):
    with pytest.raises(TypeError) as caught:
        [][value]
    return str(caught.value).replace("list indices must be integers or slices, not ", "")


@pytest.mark.parametrize("args, expected_type, expected", [
    ((None, 1, 3, 0.0), TypeError, "argument 'graph': 'NoneType' object cannot be converted to 'PyGraph'"),
    (("graph", 1, 3, "x"), TypeError, "argument 'graph': 'str' object cannot be converted to 'PyGraph'"),
    ((0, 1.0, 3, "x"), TypeError, "argument 'graph': 'int' object cannot be converted to 'PyGraph'"),
    (("G", 1.0, 3, 0.0), TypeError, "argument 'source': 'float' object cannot be interpreted as an integer"),
    (("G", "1", 3, 0.0), TypeError, "argument 'source': 'str' object cannot be interpreted as an integer"),
    (("G", 1, None, 0.0), TypeError, "argument 'target': 'NoneType' object cannot be interpreted as an integer"),
    (("G", -1, 3, 0.0), OverflowError, "can't convert negative int to unsigned"),
    (("G", 1, 2**64, 0.0), OverflowError, "int too big to convert"),
    (("G", Index(-5), 3, 0.0), OverflowError, "can't convert negative int to unsigned"),
    (("G", 1, 3, "0.1"), TypeError, "argument 'eps': must be real number, not str"),
    (("G", 1, 3, None), TypeError, "argument 'eps': must be real number, not NoneType"),
    (("G", 1, 3, 10**400), OverflowError, "int too large to convert to float"),
    (("G", 1.5, 3, "x"), TypeError, "argument 'source': 'float' object cannot be interpreted as an integer"),
    (("G", 1, 3.5, 10**400), TypeError, "argument 'target': 'float' object cannot be interpreted as an integer"),
])
def test_conversion_errors_in_parameter_order(worked_graph, args, expected_type, expected):
    args = tuple(worked_graph if a == "G" else a for a in args)
    with pytest.raises(BaseException) as caught:
        compute(*args)
    assert type(caught.value) is expected_type
    assert caught.value.args == (expected,)


def test_prefixed_type_error_takes_over_the_original_cause(worked_graph):
    class Broken:
        def __index__(self):
            raise TypeError("inner") from KeyError("root")

    class BrokenSubclass:
        def __index__(self):
            raise SubTypeError("left alone")

    class SubTypeError(TypeError):
        pass

    with pytest.raises(TypeError) as caught:
        compute(worked_graph, Broken(), 3, 0.0)
    assert caught.value.args == ("argument 'source': inner",)
    assert type(caught.value.__cause__) is KeyError and caught.value.__cause__.args == ("root",)
    with pytest.raises(SubTypeError) as caught:
        compute(worked_graph, 1, BrokenSubclass(), 0.0)
    assert caught.value.args == ("left alone",)


def test_other_errors_from_conversion_hooks_pass_unchanged(worked_graph):
    class Failing:
        def __float__(self):
            raise ZeroDivisionError("from float")

    with pytest.raises(ZeroDivisionError, match="^from float$"):
        compute(worked_graph, 1, 3, Failing())


@pytest.mark.parametrize("source, expected_path", [
    (True, [1, 3]), (Index(1), [1, 3]), (1, [1, 3]),
])
def test_node_ids_through_int_subclasses_and_index(worked_graph, source, expected_path):
    assert compute(worked_graph, source, 3, 0.0)[0].path == expected_path


@pytest.mark.parametrize("eps", [1, True, Real(), Index(0), -1.0, -5, math.inf, -math.inf, math.nan])
def test_eps_accepts_any_real_and_is_not_validated(worked_graph, eps):
    routes = compute(worked_graph, 1, 3, eps)
    assert 1 <= len(routes) <= 3 and routes[0].route_type == "shortest"


def test_eps_value_decides_the_front(worked_graph):
    # With eps 0 both routes are kept; any eps of 0.1 or more prunes the direct one.
    assert len(compute(worked_graph, 1, 3, 0)) == 2
    assert len(compute(worked_graph, 1, 3, 1)) == 1
    assert len(compute(worked_graph, 1, 3, Real())) == 2


def e(kind, *ids):
    texts = {
        "E1": "Nœud source {} introuvable dans le graphe",
        "E2": "Nœud cible {} introuvable dans le graphe",
        "E3": "Nœud source {} isolé (aucun arc sortant) — graphe déconnecté ?",
        "E4": "Aucun chemin trouvé entre {} et {}. Les nœuds sont peut-être dans des composantes déconnectées.",
    }
    return (RuntimeError, (texts[kind].format(*ids),))


def test_routing_failures():
    graph = make_graph(
        [(1, 0.0, 0.0), (2, 0.0, 0.0), (3, 0.0, 0.0), (MAX_ID, 0.0, 0.0)],
        [(1, 2, 10.0, 0.1), (2, 1, 10.0, 0.1), (1, 99, 5.0, 0.0), (MAX_ID, 1, 1.0, 0.0)],
    )
    assert raised(lambda: compute(graph, 42, 43, 0.0)) == e("E1", 42)
    assert raised(lambda: compute(graph, 1, 43, 0.0)) == e("E2", 43)
    assert raised(lambda: compute(graph, 3, 43, 0.0)) == e("E2", 43)
    assert raised(lambda: compute(graph, 3, 1, 0.0)) == e("E3", 3)
    assert raised(lambda: compute(graph, 3, 3, 0.0)) == e("E3", 3)
    assert raised(lambda: compute(graph, 99, 1, 0.0)) == e("E1", 99)
    assert raised(lambda: compute(graph, 1, 99, 0.0)) == e("E2", 99)
    assert raised(lambda: compute(graph, 1, 3, 0.0)) == e("E4", 1, 3)
    assert raised(lambda: compute(graph, 1, MAX_ID, 0.0)) == e("E4", 1, MAX_ID)
    assert raised(lambda: compute(graph, 0, MAX_ID, 0.0)) == e("E1", 0)
    assert raised(lambda: compute(graph, MAX_ID, 3, 0.0)) == e("E4", MAX_ID, 3)
    empty = norvel_core.PyGraph.from_json('{"nodes":[],"edges":[]}')
    assert raised(lambda: compute(empty, 0, 0, 0.0)) == e("E1", 0)


def test_source_equal_to_target(worked_graph):
    (route,) = compute(worked_graph, 2, 2, 0.0)
    assert (route.route_type, route.path, route.node_count) == ("shortest", [2], 1)
    assert (route.total_distance_m, route.total_risk, route.total_familiarity) == (0.0, 0.0, 0.0)
    assert (route.estimated_time_min, route.comfort_score) == (0.0, 1.0)
    assert raised(lambda: compute(worked_graph, 3, 3, 0.0)) == e("E3", 3)


def test_largest_id_round_trips_through_the_path():
    graph = make_graph([(MAX_ID, 0.0, 0.0), (0, 0.0, 0.0)], [(MAX_ID, 0, 1.0, 0.0)])
    (route,) = compute(graph, MAX_ID, 0, 0.0)
    assert route.path == [MAX_ID, 0]
    (route,) = compute(graph, Index(MAX_ID), False, 0.0)
    assert route.path == [MAX_ID, 0]


def test_conversion_failure_after_graph_leaves_the_graph_usable(worked_graph):
    for bad in ("x", None, 10**400):
        with pytest.raises((TypeError, OverflowError)):
            compute(worked_graph, 1, 3, bad)
    assert len(compute(worked_graph, 1, 3, 0.0)) == 2
    assert worked_graph.node_count() == 3


def test_graph_outlives_the_callers_reference_during_the_call():
    # The hook drops the only other reference to the graph mid-conversion.
    holder = {"graph": make_graph([(1, 0.0, 0.0), (2, 0.0, 0.0)], [(1, 2, 1.0, 0.0)])}

    class Target:
        def __index__(self):
            holder.clear()
            return 2

    (route,) = compute(holder["graph"], 1, Target(), 0.0)
    assert route.path == [1, 2]
