"""A catchment's and access's walk within a detour budget (max_detour=)
against each node's exact front (Router.front) read by the rule of
Router.route's "within_detour" route, on random graphs and the sample; and
through the service and the command line."""

import json
import math
import subprocess
import sys

import numpy as np
import pandas
import pytest

import norvel
from norvel import Router

from grids import random_document

STATION = (60.1699, 24.9384)


def exact_document(seed, size=24):
    """Random one-way and two-way edges, some parallel, with costs in
    multiples of 1/64 (every sum exact, so many ties)."""
    return random_document(seed, size, first_id=700, columns=5, edges_per_node=3,
                           distance=lambda rng: int(rng.integers(64, 64 * 40)) / 64,
                           risk=lambda rng: int(rng.integers(0, 64)) / 64)


def within_detour(router, node, places, direction, max_detour):
    """(metres, risk, place) of a node's walk within the detour budget,
    from the union of its exact fronts to (from) every place: the least
    risky point no longer than (1 + max_detour) times the shortest (ties:
    the shorter, then the lower place); None where none is."""
    points = []
    for index, place in enumerate(places):
        ends = (node, place) if direction == "to" else (place, node)
        try:
            front = router.front(*ends)
        except norvel.RoutingError:
            continue
        points += [(r.distance_m, r.risk, index) for r in front]
    if not points:
        return None
    budget = (1.0 + max_detour) * min(points)[0]
    inside = [p for p in points if p[0] <= budget]
    return min(inside, key=lambda p: (p[1], p[0], p[2])) if inside else None


def check_against_fronts(router, catchment, places, max_detour, rows):
    columns = catchment.columns()
    for row in rows:
        node = int(columns["node"][row])
        want = within_detour(router, node, places, catchment.direction, max_detour)
        got = (float(columns["within_detour_m"][row]),
               float(columns["within_detour_risk"][row]))
        if want is None:
            assert all(math.isnan(value) for value in got), node
        else:
            assert got == want[:2], (node, catchment.direction, max_detour)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_every_node_of_random_graphs_against_its_fronts(seed):
    # One place, and several (the first again last: ties go to the lower).
    rng = np.random.default_rng(seed)
    router = Router.from_json(json.dumps(exact_document(seed)))
    ids = [int(n) for n in router.table.ids if router.table.has_outgoing(int(n))]
    for direction in ("to", "from"):
        for places in ([ids[seed]], [ids[1], ids[-2], ids[1]]):
            for max_detour in (0.0, 0.1, 0.5, float(rng.uniform(0.0, 2.0))):
                catchment = router.catchment(places if len(places) > 1 else places[0],
                                             math.inf, direction=direction,
                                             max_detour=max_detour)
                check_against_fronts(router, catchment, places, max_detour,
                                     range(len(catchment)))


def test_the_sample_against_route_and_the_budgets_ends(sample_path):
    router = Router.from_file(sample_path)
    rng = np.random.default_rng(5)
    for direction in ("to", "from"):
        plain = router.catchment(STATION, 10.0, direction=direction)
        budgeted = router.catchment(STATION, 10.0, direction=direction, max_detour=0.2)
        # The columns of a catchment without a budget are today's, and the
        # budget adds two.
        assert "within_detour_m" not in plain.nodes.columns
        assert list(budgeted.nodes.columns) == [*plain.nodes.columns,
                                                "within_detour_m", "within_detour_risk"]
        for name in plain.nodes.columns:
            assert plain.nodes[name].equals(budgeted.nodes[name]), name
        frame = budgeted.nodes
        place = budgeted.place.node
        for row in rng.choice(len(frame), 30, replace=False).tolist():
            node = int(frame["node"].iat[row])
            ends = (node, place) if direction == "to" else (place, node)
            within = router.route(*ends, max_detour=0.2)[-1]
            assert within.type == "within_detour"
            assert (frame["within_detour_m"].iat[row],
                    frame["within_detour_risk"].iat[row]) == (within.distance_m, within.risk)
        assert (frame["within_detour_m"] <= 1.2 * frame["shortest_m"]).all()
        assert (frame["within_detour_risk"] <= frame["shortest_risk"]).all()
        # No budget: the shortest walk; any budget: the safest (but at the
        # place itself, whose shortest walk of 0 m gives inf x 0, no budget).
        none = router.catchment(STATION, 10.0, direction=direction, max_detour=0.0).nodes
        assert none["within_detour_m"].equals(none["shortest_m"])
        assert none["within_detour_risk"].equals(none["shortest_risk"])
        every = router.catchment(STATION, 10.0, direction=direction, max_detour=math.inf).nodes
        away = every["shortest_m"] > 0.0
        assert every["within_detour_m"][away].equals(every["safest_m"][away])
        assert every["within_detour_risk"][away].equals(every["safest_risk"][away])
        assert every["within_detour_m"][~away].isna().all()
    with pytest.raises(ValueError, match="max_detour must be a number >= 0, got -0.1"):
        router.catchment(STATION, 5.0, max_detour=-0.1)
    with pytest.raises(TypeError, match="max_detour must be a real number, got str"):
        router.catchment(STATION, 5.0, max_detour="0.2")


def answer(routes):
    return list(routes), routes.origin, routes.destination, routes.risk


def check_routes_against_route(router, catchment, nodes, max_detour, **options):
    """Each node's Routes from the catchment are Router.route's with the
    budget, the catchment's layer and avoided edges, between the node and
    the place in the catchment's direction."""
    place = catchment.place.node
    for node in nodes:
        ends = (node, place) if catchment.direction == "to" else (place, node)
        want = router.route(*ends, max_detour=max_detour, **options)
        assert answer(catchment.route(node)) == answer(want), (node, catchment.direction)


def test_a_nodes_routes_hold_the_walk_within_the_detour(sample_path):
    # One place: Router.route itself, on the sample with a layer and edges
    # avoided, and on random graphs with many exact ties.
    router = Router.from_file(sample_path)
    rng = np.random.default_rng(11)
    avoid = sorted(rng.choice(router.edge_count, 300, replace=False).tolist())
    for direction in ("to", "from"):
        catchment = router.catchment(STATION, 6.0, direction=direction, max_detour=0.15,
                                     risk="night", avoid=avoid)
        nodes = rng.choice(catchment.node_ids, 12, replace=False).tolist()
        check_routes_against_route(router, catchment, [catchment.place.node, *nodes],
                                   0.15, risk="night", avoid=avoid)
    for seed in (1, 2):
        small = Router.from_json(json.dumps(exact_document(seed)))
        ids = [int(n) for n in small.table.ids if small.table.has_outgoing(int(n))]
        for direction in ("to", "from"):
            for max_detour in (0.0, 0.3, math.inf):
                catchment = small.catchment(ids[seed], math.inf, direction=direction,
                                            max_detour=max_detour)
                check_routes_against_route(small, catchment, catchment.node_ids.tolist(),
                                           max_detour)


def test_several_places_add_the_walk_within_the_detour_to_its_place():
    router = Router.from_json(json.dumps(exact_document(3)))
    ids = [int(n) for n in router.table.ids if router.table.has_outgoing(int(n))]
    places = [ids[1], ids[-2], ids[1]]
    for direction in ("to", "from"):
        plain = router.catchment(places, math.inf, direction=direction)
        budgeted = router.catchment(places, math.inf, direction=direction, max_detour=0.4)
        for node in budgeted.node_ids.tolist():
            routes = budgeted.route(node)
            # The three walks are as without a budget; the walk within it
            # follows, to its place, with the totals its fronts give.
            assert routes[:-1] == plain.route(node)
            place, within = routes[-1]
            assert within.type == "within_detour"
            assert (within.distance_m, within.risk, place) == within_detour(
                router, node, places, direction, 0.4)
            ends = (node, places[place]) if direction == "to" else (places[place], node)
            assert [(r.distance_m, r.risk, r.nodes) for r in router.front(*ends)
                    if (r.distance_m, r.risk) == (within.distance_m, within.risk)] == [
                        (within.distance_m, within.risk, within.nodes)]


def test_access_against_each_origins_fronts():
    document = exact_document(7, size=20)
    router = Router.from_json(json.dumps(document))
    leaving = sorted({edge["from"] for edge in document["edges"]})
    coordinates = {node["id"]: (node["lat"], node["lon"]) for node in document["nodes"]}
    place_ids = [leaving[2], leaving[-3], leaving[5]]
    places = pandas.DataFrame([coordinates[p] for p in place_ids], columns=["lat", "lon"])
    origins = pandas.DataFrame([coordinates[i] for i in leaving] + [(10.0, 10.0)],
                               columns=["lat", "lon"])
    origins["people"] = np.arange(len(origins), dtype=float)
    for direction in ("to", "from"):
        result = norvel.access(router, origins, places, (2.0, 6.0), weight="people",
                               direction=direction, max_detour=0.25)
        table = result.origins
        safer = np.zeros(len(table), dtype=bool)
        for row, node in enumerate(leaving):
            want = within_detour(router, node, place_ids, direction, 0.25)
            got = table.loc[row, ["within_detour_m", "within_detour_risk", "within_detour_place"]]
            if want is None:
                assert got.isna().all(), node
                continue
            assert (float(got.iloc[0]), float(got.iloc[1]), int(got.iloc[2])) == want, node
            safer[row] = want[1] < table["nearest_risk"].iat[row]
        assert table.loc[len(leaving), ["within_detour_m", "within_detour_place"]].isna().all()
        summary = result.summary()
        weights = origins["people"].to_numpy()
        for cutoff, share, weight in zip(summary["minutes"], summary["safer_within_detour"],
                                         summary["safer_within_detour_weight"]):
            reachable = (table["nearest_minutes"] <= cutoff).to_numpy()
            assert weight == weights[reachable & safer].sum()
            assert share == weight / weights.sum()
        assert safer.any()
    plain = norvel.access(router, origins, places, (2.0, 6.0))
    assert "within_detour_m" not in plain.origins.columns
    assert "safer_within_detour" not in plain.summary().columns


def norvel_command(*arguments):
    return subprocess.run([sys.executable, "-m", "norvel", *map(str, arguments)],
                          capture_output=True, text=True, timeout=300)


def test_the_command_line_takes_a_budget(tmp_path, sample_path):
    catchment = Router.from_file(sample_path).catchment(STATION, 10.0, max_detour=0.2)
    columns = catchment.columns()
    safer = 100.0 * float((columns["within_detour_risk"] < columns["shortest_risk"]).mean())
    run = norvel_command("catchment", sample_path, "60.1699,24.9384", "--minutes", 10,
                         "--max-detour", 0.2)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines()[-1] == (
        f"safer walk within a detour of 20 %: {safer:.1f} % of nodes")
    run = norvel_command("catchment", sample_path, "60.1699,24.9384", "--max-detour", -1)
    assert (run.returncode, run.stderr) == (
        1, "norvel catchment: max_detour must be a number >= 0, got -1.0\n")

    document = exact_document(7, size=20)
    graph = tmp_path / "graph.json"
    graph.write_text(json.dumps(document))
    points = pandas.DataFrame([(n["lat"], n["lon"]) for n in document["nodes"]],
                              columns=["lat", "lon"])
    points.to_csv(tmp_path / "homes.csv", index=False)
    points.iloc[[3, 11]].to_csv(tmp_path / "schools.csv", index=False)
    summary = norvel.access(Router.from_json(json.dumps(document)), points,
                            points.iloc[[3, 11]], (5.0,), max_detour=0.3).summary()
    run = norvel_command("access", graph, tmp_path / "homes.csv", tmp_path / "schools.csv",
                         "--minutes", 5, "--max-detour", 0.3, "--out", tmp_path / "out.csv")
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[2].endswith(" safer by detour")
    assert lines[3].endswith(f"{100 * summary['safer_within_detour'].iat[0]:15.1f}%")
    written = pandas.read_csv(tmp_path / "out.csv")
    assert {"within_detour_m", "within_detour_risk", "within_detour_place"} <= set(written)
