"""norvel.access: each origin's walks to a set of places against every
simple path of small random graphs, the summary's weights on a worked
example, and the command line's formats read back."""

import json
import math
import subprocess
import sys
import warnings

import numpy as np
import pandas
import pytest

import norvel
from access_reference import place_fronts
from grids import grid_streets, one_or_both_ways, random_document
from norvel import _access_walks, accessibility
from norvel.catchment import WALKING_SPEED_M_PER_MIN

FAR = (10.0, 10.0)     # no node of a test graph within max_snap_m


def lattice_document(seed, size):
    """Nodes 0.01 deg apart (each point snaps to its own node), random
    one-way and two-way edges, some parallel, with costs that sum exactly
    in any order (multiples of 25 m and of 1/8) and often tie."""
    return random_document(seed, size, first_id=500, columns=3, edges_per_node=2,
                           distance=lambda rng: 25.0 * int(rng.integers(1, 9)),
                           risk=lambda rng: int(rng.integers(0, 9)) / 8)


def walk_costs(document, start, end):
    """(distance, risk) of every simple path from start to end, summed in
    travel order: a Pareto-optimal walk is simple, costs being >= 0."""
    leaving = {}
    for edge in document["edges"]:
        leaving.setdefault(edge["from"], []).append(edge)
    found = []

    def extend(node, seen, metres, risk):
        if node == end:
            found.append((metres, risk))
            return
        for edge in leaving.get(node, ()):
            if edge["to"] not in seen:
                extend(edge["to"], seen | {edge["to"]},
                       metres + edge["distance_m"], risk + edge["risk_score"])

    extend(start, {start}, 0.0, 0.0)
    return found


def brute_force(document, origin, places, cutoffs, direction):
    """The access columns of one origin node, from every walk to every
    place (a place: its row number and node, None when it did not snap)."""
    points = []
    for row, place in enumerate(places):
        if place is None:
            continue
        ends = (origin, place) if direction == "to" else (place, origin)
        points += [(m, r, row) for m, r in walk_costs(document, *ends)]
    if not points:
        return {}
    nearest = min(points)
    safest = min(points, key=lambda p: (p[1], p[0], p[2]))
    values = {"nearest_place": nearest[2], "nearest_m": nearest[0],
              "nearest_risk": nearest[1], "safest_place": safest[2],
              "safest_m": safest[0], "safest_risk": safest[1]}
    for cutoff in cutoffs:
        within = [r for m, r, _ in points if m / WALKING_SPEED_M_PER_MIN <= cutoff]
        if within:
            values[f"within_risk_{cutoff:g}" if float(f"{cutoff:g}") == cutoff
                   else f"within_risk_{cutoff!r}"] = min(within)
    return values


def present(table, row, columns):
    """A row's values of ``columns`` that are not missing, as Python numbers."""
    return {name: (int(value) if name.endswith("_place") else float(value))
            for name in columns if not pandas.isna(value := table[name].iloc[row])}


@pytest.mark.parametrize("direction", ["to", "from"])
def test_every_origin_against_every_walk_of_random_graphs(direction):
    for seed in range(30):
        rng = np.random.default_rng(1000 + seed)
        document = lattice_document(seed, size=int(rng.integers(5, 9)))
        router = norvel.Router.from_json(json.dumps(document))
        ids = [node["id"] for node in document["nodes"]]
        coordinates = {node["id"]: (node["lat"], node["lon"])
                       for node in document["nodes"]}
        # Places may repeat, and the second lies too far to snap.
        leaving = {edge["from"] for edge in document["edges"]}
        first, *rest = (int(x) for x in rng.choice(sorted(leaving), 3))
        picked = [first, None, *rest]
        place_points = [coordinates[p] if p is not None else FAR for p in picked]
        places = pandas.DataFrame(place_points, columns=["lat", "lon"])
        origin_points = [coordinates[i] for i in ids] + [FAR, (math.nan, 25.0)]
        origins = pandas.DataFrame(origin_points, columns=["lat", "lon"])
        # Cutoffs on walks' very lengths, and between them.
        cutoffs = (1.0, 75.0 / WALKING_SPEED_M_PER_MIN, 4.5,
                   150.0 / WALKING_SPEED_M_PER_MIN)
        result = norvel.access(router, origins, places, cutoffs,
                               direction=direction)
        table = result.origins
        # A node no edge leaves is no node to snap to.
        snaps = [i if i in leaving else None for i in ids] + [None, None]
        assert table["snapped"].tolist() == [i is not None for i in snaps]
        assert table["snap_m"][table["snapped"]].eq(0.0).all()
        assert table["node"].tolist() == [pandas.NA if i is None else i
                                          for i in snaps]
        assert result.places["snapped"].tolist() == [True, False, True, True]
        within = [name for name in table.columns if name.startswith("within_risk_")]
        assert len(within) == 4
        columns = ["nearest_place", "nearest_m", "nearest_risk", "safest_place",
                   "safest_m", "safest_risk", *within]
        for row, node in enumerate(snaps):
            expected = ({} if node is None else
                        brute_force(document, node, picked, cutoffs, direction))
            assert present(table, row, columns) == expected, (seed, direction, node)
        # On a risk layer, the walks of a graph with those risks.
        layer = [float(r) for r in rng.integers(0, 9, len(document["edges"])) / 8]
        router.add_risk("other", layer)
        on_layer = norvel.access(router, origins, places, cutoffs,
                                 direction=direction, risk="other").origins
        layered = {"nodes": document["nodes"], "edges": [
            {**edge, "risk_score": r} for edge, r in zip(document["edges"], layer)]}
        for row, node in enumerate(snaps):
            expected = ({} if node is None else
                        brute_force(layered, node, picked, cutoffs, direction))
            assert present(on_layer, row, columns) == expected, \
                (seed, direction, node, "layer")
        minutes = table["nearest_minutes"].dropna()
        assert (minutes == table["nearest_m"].dropna() / WALKING_SPEED_M_PER_MIN).all()
        detour = table["safest_m"] - table["nearest_m"]
        assert detour.equals(table["detour_m"])


def worked_example():
    """A school at node 1. Node 2 walks straight there (100 m, risk 0.5) or
    round by node 5 (150 m, risk 0.1); node 3 walks through node 2
    (100 m more, no risk); nodes 4 and 6 reach no school."""
    nodes = [(1, 60.0, 25.0), (2, 60.0, 25.01), (3, 60.0, 25.02),
             (4, 60.0, 25.03), (5, 60.01, 25.005), (6, 60.0, 25.04)]
    edges = [(2, 1, 100.0, 0.5), (2, 5, 75.0, 0.05), (5, 1, 75.0, 0.05),
             (1, 2, 100.0, 0.5), (3, 2, 100.0, 0.0), (2, 3, 100.0, 0.0),
             (4, 6, 50.0, 0.0), (6, 4, 50.0, 0.0)]
    document = {"nodes": [{"id": i, "lat": la, "lon": lo} for i, la, lo in nodes],
                "edges": [{"from": a, "to": b, "distance_m": d, "risk_score": r}
                          for a, b, d, r in edges]}
    origins = pandas.DataFrame({"lat": [60.0, 60.0, 60.0, 10.0],
                                "lon": [25.01, 25.02, 25.03, 10.0],
                                "population": [10, 20, 30, 40]})
    schools = pandas.DataFrame({"lat": [60.0], "lon": [25.0]})
    return json.dumps(document), origins, schools


def test_summary_weighs_every_origin_and_unsnapped_ones_reach_nothing():
    text, origins, schools = worked_example()
    router = norvel.Router.from_json(text)
    result = norvel.access(router, origins, schools, (4, 2, 3.5),
                           weight="population")
    table = result.origins
    assert table["nearest_m"].tolist()[:2] == [100.0, 200.0]
    assert table["safest_m"].tolist()[:2] == [150.0, 250.0]
    assert table["within_risk_2"].isna().tolist() == [False, True, True, True]
    assert table["within_risk_3.5"].tolist()[:2] == [0.1, 0.5]
    summary = result.summary()
    # 2 (minutes): node 2 only by its risky walk; node 3 too far.
    # 3.5: node 2 safely, node 3 only by the risky walk; 4: both safely.
    assert summary["minutes"].tolist() == [2.0, 3.5, 4.0]
    assert summary["weight"].tolist() == [100.0] * 3
    assert summary["reachable_weight"].tolist() == [10.0, 30.0, 30.0]
    assert summary["safely_reachable_weight"].tolist() == [0.0, 10.0, 30.0]
    assert summary["risky_only_weight"].tolist() == [10.0, 20.0, 0.0]
    assert summary["not_snapped_weight"].tolist() == [40.0] * 3
    assert summary["reachable"].tolist() == [0.1, 0.3, 0.3]
    assert summary["safely_reachable"].tolist() == [0.0, 0.1, 0.3]
    assert summary["risky_only"].tolist() == [0.1, 0.2, 0.0]
    assert summary["mean_within_risk"].tolist() == [
        0.5, (10 * 0.1 + 20 * 0.5) / 30, 0.1]
    assert result.classes(3.5).tolist() == [
        "safely reachable", "only by a risky walk", "not reachable", "not snapped"]
    # Unweighted, each origin counts 1.
    plain = norvel.access(router, origins, schools, 4).summary()
    assert plain[["weight", "reachable", "not_snapped_weight"]].values.tolist() \
        == [[4.0, 0.5, 1.0]]
    # By H3 cell: the cells' weights add up to the summary's.
    cells = result.to_h3(9)
    assert cells["weight"].sum() == 100.0
    assert (cells["reachable_4"] * cells["weight"]).sum() == pytest.approx(30.0)
    assert cells.crs == "EPSG:4326" and cells.geometry.is_valid.all()


def test_refusals_say_what_is_wrong():
    text, origins, schools = worked_example()
    router = norvel.Router.from_json(text)
    for call, message in (
            (lambda: norvel.access(router, origins, schools, risk="night"),
             "the graph has no risk layer 'night': its layers are 'default'"),
            (lambda: norvel.access(router, origins.assign(population=-1.0),
                                   schools, weight="population"),
             "weight column 'population' must hold finite numbers >= 0, got "
             "-1.0 at row 0"),
            (lambda: norvel.access(router, origins, schools, weight="people"),
             "origins have no column 'people'"),
            (lambda: norvel.access(router, origins.assign(node=1), schools),
             "origins already have the column node, which access adds: "
             "rename or drop it"),
            (lambda: norvel.access(router, origins, pandas.DataFrame(
                {"lat": [10.0], "lon": [10.0]})),
             "none of the 1 places lies within 250 m of a node of the graph"),
            (lambda: norvel.access(router, origins[["population"]], schools),
             "origins must be a GeoDataFrame or have the columns lat and lon "
             "(degrees); lat and lon missing"),
            (lambda: norvel.access(router, origins, schools, ()),
             "minutes must hold at least one cutoff")):
        with pytest.raises(ValueError) as raised:
            call()
        assert str(raised.value) == message


def test_an_origin_without_a_usable_location_is_a_row_not_snapped():
    # A NaN, a latitude of 200 (a swapped column, say) and a text are each
    # that origin's own row, never the call's failure; a warning counts them.
    text, origins, schools = worked_example()
    router = norvel.Router.from_json(text)
    broken = pandas.DataFrame({
        "lat": [60.0, float("nan"), 200.0, "north", 60.0],
        "lon": [25.01, 25.02, 25.03, 25.0, 25.02],
        "population": [10, 20, 30, 40, 50]})
    with pytest.warns(UserWarning) as warned:
        result = norvel.access(router, broken, schools, 4, weight="population")
    assert [str(w.message) for w in warned] == [
        "3 of the 5 origins have no location a walk can use (none, not a "
        "number, or outside [-90, 90] and [-180, 180] degrees): they are "
        "not snapped"]
    table = result.origins
    assert table["snapped"].tolist() == [True, False, False, False, True]
    assert table["nearest_m"].tolist()[0] == 100.0
    assert table["nearest_m"].tolist()[4] == 200.0
    assert result.summary()["not_snapped_weight"].tolist() == [90.0]
    # Without such rows, nothing is said.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        norvel.access(router, origins, schools, 4)


def test_polygons_stand_for_their_centroids():
    geopandas = pytest.importorskip("geopandas")
    shapely = pytest.importorskip("shapely")
    text, origins, schools = worked_example()
    router = norvel.Router.from_json(text)
    # A square around node 3 and a point on node 2, in a metric CRS.
    square = shapely.box(25.015, 59.995, 25.025, 60.005)
    frame = geopandas.GeoDataFrame(
        {"population": [20, 10]},
        geometry=[square, shapely.Point(25.01, 60.0)], crs="EPSG:4326"
    ).to_crs("EPSG:3067")
    result = norvel.access(router, frame, schools, 4, weight="population")
    assert result.origins["node"].tolist() == [3, 2]
    assert result.origins["snap_m"].max() < 1.0
    shown = result.to_geodataframe()
    assert shown.crs == "EPSG:4326"
    assert shown.geometry.iloc[0].equals_exact(square, tolerance=1e-9)


def norvel_command(*arguments):
    return subprocess.run([sys.executable, "-m", "norvel", *map(str, arguments)],
                          capture_output=True, text=True, timeout=300)


def test_command_line_reads_and_writes_each_format(tmp_path):
    geopandas = pytest.importorskip("geopandas")
    text, origins, schools = worked_example()
    router = norvel.Router.from_json(text)
    graph = tmp_path / "graph.json"
    graph.write_text(text, encoding="utf-8")
    points = geopandas.GeoDataFrame(
        origins, geometry=geopandas.points_from_xy(origins.lon, origins.lat),
        crs="EPSG:4326").drop(columns=["lat", "lon"])
    inputs = {"csv": tmp_path / "homes.csv", "gpkg": tmp_path / "homes.gpkg",
              "parquet": tmp_path / "homes.parquet"}
    origins.to_csv(inputs["csv"], index=False)
    points.to_file(inputs["gpkg"], driver="GPKG")
    points.to_parquet(inputs["parquet"])
    schools.to_csv(tmp_path / "schools.csv", index=False)
    expected = norvel.access(router, origins, schools, (2, 3.5),
                             weight="population").origins
    read = {"csv": pandas.read_csv, "gpkg": geopandas.read_file,
            "parquet": geopandas.read_parquet}
    for given, written in (("csv", "gpkg"), ("gpkg", "parquet"),
                           ("parquet", "csv")):
        out = tmp_path / f"out.{written}"
        run = norvel_command("access", graph, inputs[given], tmp_path / "schools.csv",
                             "--minutes", "2,3.5", "--weight", "population",
                             "--out", out)
        assert run.returncode == 0, run.stderr
        assert run.stdout == (
            "origins: 4, weight population 100, of which not snapped 40\n"
            "places: 1, 1 snapped\n"
            " minutes  reachable     safely  risky only\n"
            "       2      10.0%       0.0%       10.0%\n"
            "     3.5      30.0%      10.0%       20.0%\n")
        back = read[written](out)
        for name in ("snapped", "nearest_m", "nearest_risk", "safest_m",
                     "safest_minutes", "detour_m", "within_risk_2",
                     "within_risk_3.5", "population"):
            assert back[name].astype(float).tolist() == pytest.approx(
                expected[name].astype(float).tolist(), nan_ok=True, rel=0, abs=0), \
                (given, written, name)
        assert back["node"].astype("Int64").tolist()[:3] == [2, 3, 4]
    run = norvel_command("access", graph, inputs["csv"], tmp_path / "schools.csv",
                         "--out", tmp_path / "out.txt")
    assert (run.returncode, run.stderr) == (
        1, f"norvel access: {tmp_path / 'out.txt'}: the output must end in "
           f".csv, .gpkg or .parquet\n")



@pytest.mark.parametrize("direction", ["to", "from"])
def test_the_sample_against_its_routes(direction):
    """The bundled grid and schools: each cell's nearest walk is the least
    of its routes' shortest to each school, and its safest the least of
    their safest, bit for bit (summed in travel order, as routes are)."""
    geopandas = pytest.importorskip("geopandas")
    router = norvel.Router.from_file(norvel.datasets.helsinki_walk())
    homes = geopandas.read_file(norvel.datasets.helsinki_population())
    schools = pandas.read_csv(norvel.datasets.helsinki_schools())
    result = norvel.access(router, homes, schools, 15, weight="population",
                           direction=direction)
    school_nodes = result.places["node"].tolist()
    for row in result.origins.itertuples():
        routes = [router.route(row.node, school) if direction == "to"
                  else router.route(school, row.node) for school in school_nodes]
        shortest = min((r.shortest.distance_m, r.shortest.risk, at)
                       for at, r in enumerate(routes))
        assert (row.nearest_m, row.nearest_risk, row.nearest_place) == shortest
        # Its streets merge parallel ways: each route's safest is the least
        # risky point of its front.
        ends = [r.safest or r.shortest for r in routes]
        safest = min((end.risk, end.distance_m, at) for at, end in enumerate(ends))
        assert (row.safest_risk, row.safest_m, row.safest_place) == safest


def random_street_document(seed, size):
    """About ``size`` nodes of a jittered grid, streets both ways or one,
    some doubled by a parallel way of other costs, with costs that round
    when summed."""
    rng = np.random.default_rng(seed)
    side = int(math.sqrt(size))
    nodes = [{"id": 9000 + i, "lat": 60.0 + 0.001 * (i // side),
              "lon": 25.0 + 0.002 * (i % side)} for i in range(side * side)]
    edges = []
    for i, j in grid_streets(rng, side, 0.1):
        for _ in range(1 + (rng.random() < 0.15)):
            d, r = float(rng.uniform(60.0, 140.0)), float(rng.uniform(0.0, 0.9))
            edges += [{"from": 9000 + a, "to": 9000 + b, "distance_m": d, "risk_score": r}
                      for a, b in one_or_both_ways(rng, i, j)]
    return {"nodes": nodes, "edges": edges}


@pytest.mark.parametrize("direction", ["to", "from"])
def test_the_search_against_a_label_search_on_larger_graphs(direction):
    """Graphs too large to list every path of, against a plain label
    search in Python: the same points and places; walks from the places
    bit for bit (both sum from the place), walks to them to the last bits
    (the reference sums from the place, the routes from the origin)."""
    for seed in range(6):
        document = random_street_document(seed, 400)
        router = norvel.Router.from_json(json.dumps(document))
        rng = np.random.default_rng(seed)
        ids = np.array([node["id"] for node in document["nodes"]], dtype=np.uint64)
        leaving = np.array(sorted({edge["from"] for edge in document["edges"]}), dtype=np.uint64)
        places = rng.choice(leaving, 5)
        cutoffs = (2.0, 6.0, 11.0)
        got = _access_walks.place_fronts(router.session, ids, places, cutoffs, direction, "default")
        want = place_fronts(router, ids, places, cutoffs, direction, "default")
        for name in ("shortest_place", "safest_place"):
            assert np.array_equal(getattr(got, name), getattr(want, name)), (seed, name)
        for name in ("shortest_m", "shortest_risk", "safest_m", "safest_risk", "within_risk"):
            mine, theirs = getattr(got, name), getattr(want, name)
            assert np.array_equal(np.isnan(mine), np.isnan(theirs)), (seed, name)
            if direction == "from":
                assert np.array_equal(mine, theirs, equal_nan=True), (seed, name)
            else:
                assert mine[~np.isnan(mine)] == pytest.approx(theirs[~np.isnan(theirs)], rel=1e-12), \
                    (seed, name)


def test_origins_that_reach_no_place_keep_their_rows():
    text, origins, schools = worked_example()
    router = norvel.Router.from_json(text)
    # Node 4 reaches no school, and nor does any other origin asked.
    table = norvel.access(router, origins.iloc[[2, 3]], schools, 4).origins
    assert table["snapped"].tolist() == [True, False]
    assert table["nearest_m"].isna().all() and table["within_risk_4"].isna().all()
    assert table["nearest_place"].isna().all()
