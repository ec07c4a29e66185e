"""Router.front: every point of the exact front, against a brute force over
every simple path of small random graphs and against Router.route; its
failures as route's."""

import json
import random

import pytest

import norvel
from norvel.errors import NodeNotFoundError, NoRouteError, RouteTimeoutError

from grids import add_equal_cost_grid, grid_document


def random_graph(seed):
    """A few nodes, random directed edges (parallel ones too) of positive
    decimal costs drawn from few values, so that sums tie, or tie only on
    paper, everywhere."""
    chooser = random.Random(seed)
    size = chooser.randint(3, 7)
    nodes = [[i, 60.0 + chooser.random() * 1e-2, 25.0 + chooser.random() * 1e-2]
             for i in range(size)]
    edges = []
    for _ in range(chooser.randint(size, 3 * size)):
        a, b = chooser.sample(range(size), 2)
        edges.append([a, b, chooser.choice((0.1, 0.2, 0.3, 1.0, 2.5)),
                      chooser.choice((0.1, 0.2, 0.3, 0.7, 0.0)),
                      chooser.choice((None, 0.0, 1.0))])
    return nodes, edges


def brute_front(edges, source, target):
    """The Pareto-optimal (distance, risk) points of every simple path,
    each summed edge by edge from the source as the search sums it, and
    every path of each point. With positive distances a path with a cycle
    is dominated by the path without it."""
    leaving = {}
    for a, b, distance, risk, _ in edges:
        leaving.setdefault(a, []).append((b, distance, risk))
    found = {}

    def walk(node, path, distance, risk):
        if node == target:
            found.setdefault((distance, risk), set()).add(tuple(path))
            return
        for head, d, r in leaving.get(node, ()):
            if head not in path:
                walk(head, path + [head], distance + d, risk + r)

    walk(source, [source], 0.0, 0.0)
    return {point: paths for point, paths in found.items()
            if not any(d <= point[0] and r <= point[1] and (d, r) != point
                       for d, r in found)}


@pytest.mark.parametrize("seed", range(4))
def test_the_front_is_every_pareto_point_and_route_chooses_among_them(seed):
    checked = 0
    for graph_seed in range(seed * 60, seed * 60 + 60):
        nodes, edges = random_graph(graph_seed)
        router = norvel.Router.from_json(json.dumps([nodes, edges]))
        for source in range(len(nodes)):
            for target in range(len(nodes)):
                if source == target:
                    continue
                expected = brute_front(edges, source, target)
                if not expected:
                    with pytest.raises(NoRouteError):
                        router.front(source, target)
                    continue
                front = router.front(source, target)
                # Every point once, by distance, and a path of its own costs.
                assert [(r.distance_m, r.risk) for r in front] == sorted(expected)
                for route in front:
                    assert tuple(route.nodes) in expected[route.distance_m, route.risk]
                    assert route.time_min == route.distance_m / 66.67
                routes = router.route(source, target)
                assert front[0] == routes.shortest
                for chosen in routes:
                    assert chosen in front
                if routes.safest is not None:
                    assert front[-1] == routes.safest
                typed = [r.type for r in front if r.type != "front"]
                assert len(typed) == len(set(typed))
                assert front[-1].type == ("safest" if len(front) > 1 else "shortest")
                checked += 1
    assert checked > 300


def test_the_sample_pair():
    router = norvel.Router.from_file(norvel.datasets.helsinki_walk())
    front = router.front(6138118389, 1490965433)
    routes = router.route(6138118389, 1490965433)
    assert len(front) > 3
    assert (front[0], front[-1]) == (routes.shortest, routes.safest)
    assert routes.balanced in front
    assert [r.type for r in front].count("front") == len(front) - 3
    assert all(a.distance_m < b.distance_m and a.risk > b.risk
               for a, b in zip(front, front[1:]))
    # Points snap as route's ends do.
    start, end = router.table[6138118389], router.table[1490965433]
    assert router.front(start, end) == front


def test_failures_are_those_of_route():
    router = norvel.Router.from_json(json.dumps([
        [[1, 60.0, 25.0], [2, 60.001, 25.0], [3, 60.002, 25.0]],
        [[1, 2, 111.0, 0.1, None], [3, 2, 111.0, 0.1, None]]]))
    assert [(r.type, r.nodes) for r in router.front(1, 2)] == [("shortest", [1, 2])]
    with pytest.raises(NodeNotFoundError, match="^origin node 7 is not a node"):
        router.front(7, 2)
    with pytest.raises(NodeNotFoundError, match="^destination node 8 is not"):
        router.front(1, 8)
    with pytest.raises(NoRouteError) as caught:
        router.front(2, 1)
    assert caught.value.reason == "source_isolated"
    with pytest.raises(NoRouteError) as caught:
        router.front(1, 3)
    assert caught.value.reason == "no_route"
    assert [r.nodes for r in router.front(1, 1)] == [[1]]
    with pytest.raises(ValueError) as refused:
        router.front(1, 2, risk="night")
    assert str(refused.value) == "the graph has no risk layer 'night': its layers are 'default'"
    with pytest.raises(TypeError, match=r"^risk must be the name of a risk layer \(str\), got int$"):
        router.front(1, 2, risk=1)
    with pytest.raises(ValueError, match="^max_snap_m must be a number >= 0"):
        router.front(1, 2, max_snap_m=-1.0)

    # Countless equal paths: minutes without the limit.
    runaway = norvel.Router.from_json(json.dumps(
        add_equal_cost_grid({"nodes": [], "edges": []}, 0, 11, 11)))
    with pytest.raises(RouteTimeoutError) as late:
        runaway.front(0, 11 * 11 - 1, timeout_s=0.2)
    assert late.value.timeout_s == 0.2


def test_a_layer_answers_as_a_document_with_its_risks():
    """On a risk layer the front is, bit for bit, that of the document whose
    risk_score is the layer: points, paths, types and totals."""
    document = grid_document(9)
    chooser = random.Random(11)
    risks = [round(chooser.choice((0.0, 0.01, 0.02)) + chooser.random() * 0.03, 3)
             for _ in document["edges"]]
    router = norvel.Router.from_json(json.dumps(document))
    router.add_risk("trial", risks)
    edges = [dict(edge, risk_score=risk) for edge, risk in zip(document["edges"], risks)]
    expected = norvel.Router.from_json(json.dumps(dict(document, edges=edges)))
    ids = sorted({edge["from"] for edge in document["edges"]})
    compared = 0
    for _ in range(40):
        a, b = chooser.sample(ids, 2)
        try:
            want = expected.front(a, b)
        except norvel.RoutingError as error:
            with pytest.raises(type(error)):
                router.front(a, b, risk="trial")
            continue
        assert router.front(a, b, risk="trial") == want
        compared += len(want) > 3
    assert compared > 10
