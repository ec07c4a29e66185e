import math
import random
from decimal import ROUND_HALF_EVEN, Context, Decimal

import pytest

import norvel_core
from conftest import WALKING_PACE, make_graph, single_edge_route, worked_graph  # noqa: F401

PyRouteResult = norvel_core.PyRouteResult
ATTRIBUTES = ["path", "total_distance_m", "total_risk", "total_familiarity",
              "route_type", "estimated_time_min", "node_count", "comfort_score"]


def reference_fixed(value, digits):
    """Exact binary value, rounded half-even: computed with decimal arithmetic."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    # Enough precision for every digit of the largest double.
    exact = Decimal(value).quantize(Decimal(1).scaleb(-digits), rounding=ROUND_HALF_EVEN,
                                    context=Context(prec=400))
    text = format(exact, "f")
    if math.copysign(1.0, value) < 0 and not text.startswith("-"):
        text = "-" + text  # the sign of negative zero and of values rounding to zero
    return text


def reference_repr(route):
    return (f"Route({route.route_type}, dist={reference_fixed(route.total_distance_m, 0)}m, "
            f"risk={reference_fixed(route.total_risk, 3)}, "
            f"time={reference_fixed(route.estimated_time_min, 1)}min)")


def distance_for_time(minutes):
    """A distance whose walking time is exactly `minutes`."""
    distance = minutes * WALKING_PACE
    for _ in range(64):
        if distance / WALKING_PACE == minutes:
            return distance
        distance = math.nextafter(distance, math.inf if distance / WALKING_PACE < minutes else -math.inf)
    raise AssertionError(f"no distance gives {minutes} minutes")


def test_class_documentation_and_descriptors():
    assert PyRouteResult.__doc__ == "Résultat retourné à Python : un itinéraire avec ses métriques complètes"
    assert [name for name in vars(PyRouteResult) if not name.startswith("__")] == ATTRIBUTES
    for name in ATTRIBUTES:
        descriptor = vars(PyRouteResult)[name]
        assert descriptor.__doc__ == ""
        assert type(descriptor).__name__ == "getset_descriptor"


def test_attributes_are_read_only(worked_graph):
    route = norvel_core.compute_safe_routes(worked_graph, 1, 3, 0.0)[0]
    for name in ATTRIBUTES:
        before = getattr(route, name)
        with pytest.raises(AttributeError, match="not writable"):
            setattr(route, name, 0)
        with pytest.raises(AttributeError, match="not writable"):
            delattr(route, name)
        assert getattr(route, name) == before
    with pytest.raises(AttributeError):
        route.total_risk = 0
    assert route.total_risk == 0.5


def test_every_read_builds_a_new_object(worked_graph):
    route = norvel_core.compute_safe_routes(worked_graph, 1, 3, 0.0)[1]
    assert route.path is not route.path and route.path == route.path
    route.path.append(99)
    assert route.path == [1, 2, 3] and route.node_count == len(route.path)
    assert [type(getattr(route, name)) for name in ATTRIBUTES] == [
        list, float, float, float, str, float, int, float]
    assert repr(route) == str(route)


@pytest.mark.parametrize("distance, text", [
    (12.5, "dist=12m"), (13.5, "dist=14m"), (0.0, "dist=0m"), (0.5, "dist=0m"), (1.5, "dist=2m"),
    (2.5, "dist=2m"), (-12.5, "dist=-12m"), (1e22, "dist=10000000000000000000000m"),
    (1e300, "dist=" + format(Decimal(1e300), "f") + "m"),
])
def test_distance_has_no_decimals_and_ties_go_to_even(distance, text):
    route = single_edge_route(distance, 0.25)
    assert route.total_distance_m == distance
    assert f", {text}, risk=0.250, " in repr(route)


@pytest.mark.parametrize("risk, text", [
    (0.25, "risk=0.250"), (1 / 16, "risk=0.062"), (3 / 16, "risk=0.188"), (0.0005, "risk=0.001"),
    (0.0, "risk=0.000"), (-0.0001, "risk=-0.000"), (1024.0625, "risk=1024.062"), (123456789.0125, "risk=123456789.013"),
    (1e-300, "risk=0.000"),
])
def test_risk_has_three_decimals(risk, text):
    route = single_edge_route(10.0, risk)
    assert route.total_risk == risk
    assert f", {text}, time=" in repr(route)


@pytest.mark.parametrize("minutes, text", [
    (0.25, "time=0.2min"), (0.75, "time=0.8min"), (18.5, "time=18.5min"), (0.05, "time=0.1min"),
])
def test_time_has_one_decimal(minutes, text):
    route = single_edge_route(distance_for_time(minutes), 0.0)
    assert route.estimated_time_min == minutes
    assert repr(route).endswith(f", {text})")


def test_infinite_totals_are_written_inf():
    # Two edges of 1.5e308 add up past the largest double.
    graph = make_graph([(1, 0.0, 0.0), (2, 0.0, 0.0), (3, 0.0, 0.0)],
                       [(1, 2, 1.5e308, 1.5e308), (2, 3, 1.5e308, 1.5e308)])
    (route,) = norvel_core.compute_safe_routes(graph, 1, 3, 0.0)
    assert route.total_distance_m == math.inf
    assert repr(route) == "Route(shortest, dist=infm, risk=inf, time=infmin)"


def test_reference_formatter_agrees_with_the_worked_examples():
    assert [reference_fixed(x, 0) for x in (12.5, 13.5, 0.0, -0.0)] == ["12", "14", "0", "-0"]
    assert [reference_fixed(x, 3) for x in (1 / 16, 0.0005, -0.0)] == ["0.062", "0.001", "-0.000"]
    assert [reference_fixed(x, 1) for x in (0.25, 0.75, math.nan, -math.inf)] == ["0.2", "0.8", "NaN", "-inf"]


def random_cost(rng):
    kind = rng.randrange(7)
    if kind == 0:
        return rng.randrange(0, 4000) / 2  # ties at .5
    if kind == 1:
        return rng.randrange(0, 20000) / 16 / 1000  # ties at the fourth decimal
    if kind == 2:
        return rng.uniform(0, 1000)
    if kind == 3:
        return 10.0 ** rng.uniform(-30, 300)
    if kind == 4:
        return -rng.uniform(0, 50)
    if kind == 5:
        return rng.randrange(0, 1000) * 0.0005
    return float(rng.randrange(0, 10**6)) * 0.05


def test_repr_matches_a_decimal_reference_on_random_routes():
    rng = random.Random(20240611)
    for _ in range(400):
        route = single_edge_route(random_cost(rng), random_cost(rng))
        assert repr(route) == reference_repr(route)


def test_repr_matches_on_random_multi_route_graphs():
    rng = random.Random(7)
    for _ in range(60):
        count = rng.randrange(2, 7)
        nodes = [(i, 48.0, 2.0) for i in range(count)]
        edges = [(a, b, round(rng.uniform(1, 500), rng.randrange(0, 4)), rng.randrange(0, 64) / 32)
                 for a in range(count) for b in range(a + 1, count) if rng.random() < 0.7]
        edges.append((0, count - 1, 1000.0, 0.0))
        routes = norvel_core.compute_safe_routes(make_graph(nodes, edges), 0, count - 1, 0.0)
        assert 1 <= len(routes) <= 3
        kinds = [r.route_type for r in routes]
        assert kinds[0] == "shortest" and kinds == sorted(set(kinds), key=["shortest", "safest", "balanced"].index)
        for route in routes:
            assert repr(route) == reference_repr(route)
            assert route.node_count == len(route.path)
            assert route.path[0] == 0 and route.path[-1] == count - 1
