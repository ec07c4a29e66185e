"""norvel.risk on generated incidents: the counts against a brute-force
nearest segment (shapely's distance to every street), the layer's model on
a worked example and its properties on random graphs, the hours filter."""

import json
import math
import warnings

import numpy as np
import pandas
import pytest
import shapely

from grids import FIRST_ID, grid_document
from norvel import Router
from norvel.risk import IncidentsLeftOut, incident_counts, layer_from_counts
from norvel.table import in_document_order

R = 6371008.8  # the earth's mean radius, as the module's plane takes it


def random_document(seed, nodes=40):
    """Nodes in a box of about 1 km, streets between near ones: two-way,
    one-way, and parallel edges of another length; and an edge to an id
    that is no node."""
    rng = np.random.default_rng(seed)
    lats = 60.2 + rng.uniform(0, 0.009, nodes)
    lons = 24.9 + rng.uniform(0, 0.018, nodes)
    document = {"nodes": [{"id": 100 + i, "lat": float(lats[i]), "lon": float(lons[i])}
                          for i in range(nodes)], "edges": []}
    for a in range(nodes):
        near = np.argsort((lats - lats[a]) ** 2 + ((lons - lons[a]) / 2) ** 2)[1:4]
        for b in near.tolist():
            length = float(rng.uniform(20, 300))
            ends = [(a, b), (b, a)] if rng.random() < 0.7 else [(a, b)]
            if rng.random() < 0.1:
                ends.append((a, b))
            for u, v in ends:
                document["edges"].append({
                    "from": 100 + u, "to": 100 + v, "risk_score": float(rng.uniform(0, 0.3)),
                    "distance_m": length if (u, v) != ends[0] or len(ends) < 3
                    else length + 7.0})
    document["edges"].append({"from": 100, "to": 99, "distance_m": 50.0, "risk_score": 0.1})
    return document


def plane_of(router):
    """The documented plane: equirectangular about the nodes' mean."""
    table = router.table
    lat0, lon0 = float(table.lats.mean()), float(table.lons.mean())
    k = R * math.pi / 180.0

    def to_metres(lon, lat):
        return np.column_stack(((np.asarray(lon) - lon0) * (k * math.cos(math.radians(lat0))),
                                (np.asarray(lat) - lat0) * k))
    return to_metres


def brute_counts(router, lats, lons, weights, max_m):
    """Each incident to the nearest street by shapely's distance to every
    street (of equally near ones the first), a street being the edges
    between two nodes in either direction; counts per edge; left out."""
    to_metres = plane_of(router)
    table = router.table
    tails, heads = table.edges
    street_of, firsts, lines = {}, [], []
    for edge, (a, b) in enumerate(zip(tails.tolist(), heads.tolist())):
        if a not in table or b not in table:
            continue
        key = (min(a, b), max(a, b))
        if key not in street_of:
            street_of[key] = len(firsts)
            firsts.append(edge)
            (alat, alon), (blat, blon) = table[a], table[b]
            lines.append(shapely.LineString(to_metres([alon, blon], [alat, blat])))
    per_street = np.zeros(len(firsts))
    left_out = 0
    for point, weight in zip(shapely.points(to_metres(lons, lats)), weights):
        distances = shapely.distance(point, np.array(lines, dtype=object))
        nearest = int(np.argmin(distances))  # the first of equally near ones
        if distances[nearest] <= max_m:
            per_street[nearest] += weight
        else:
            left_out += 1
    counts = np.zeros(len(tails))
    for edge, (a, b) in enumerate(zip(tails.tolist(), heads.tolist())):
        key = (min(a, b), max(a, b))
        if key in street_of:
            counts[edge] = per_street[street_of[key]]
    return counts, left_out


def counted(router, incidents, **options):
    """incident_counts, and the number its warning says was left out."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        counts = incident_counts(router, incidents, **options)
    left = [w.message for w in caught if isinstance(w.message, IncidentsLeftOut)]
    assert len(left) <= 1 and len(caught) == len(left)
    return counts, left[0].left_out if left else 0


class TestIncidentCounts:
    @pytest.mark.parametrize("seed", [1, 2, 3, 4])
    def test_against_the_nearest_segment_by_brute_force(self, seed):
        router = Router.from_json(json.dumps(random_document(seed)))
        rng = np.random.default_rng(seed)
        # Anywhere in and around the box, and some right on a node: at a
        # crossing every street of the node is as near.
        lats = np.concatenate((60.2 + rng.uniform(-0.001, 0.010, 150),
                               router.table.lats[rng.integers(0, 40, 30)]))
        lons = np.concatenate((24.9 + rng.uniform(-0.002, 0.020, 150),
                               router.table.lons[rng.integers(0, 40, 30)]))
        weights = rng.uniform(0.5, 2.0, len(lats))
        incidents = pandas.DataFrame({"lat": lats, "lon": lons, "w": weights})
        for max_m in (25.0, 60.0):
            expected, left_out = brute_counts(router, lats, lons, weights, max_m)
            got, said = counted(router, incidents, max_m=max_m, weight="w")
            assert np.array_equal(got, expected)
            assert said == left_out and 0 < left_out < len(lats)
        got, said = counted(router, incidents, max_m=1e9)
        assert said == 0 and np.array_equal(
            got, brute_counts(router, lats, lons, np.ones(len(lats)), 1e9)[0])
        assert got[-1] == 0.0  # the edge to no node has no street

    def test_a_crossing_goes_to_the_first_street_both_directions_alike(self):
        router = Router.from_json(json.dumps(grid_document(4)))
        tails, heads = router.table.edges
        crossing = FIRST_ID + 5          # row 1, column 1: four streets meet
        at = router.table[crossing]
        counts, said = counted(router, pandas.DataFrame({"lat": [at[0]], "lon": [at[1]]}))
        first = int(np.flatnonzero((tails == crossing) | (heads == crossing))[0])
        pair = {int(tails[first]), int(heads[first])}
        both = [e for e in range(len(tails)) if {int(tails[e]), int(heads[e])} == pair]
        assert len(both) == 2 and said == 0
        assert np.flatnonzero(counts).tolist() == both and counts[both].tolist() == [1.0, 1.0]

    def test_the_cut_off_and_its_warning(self):
        document = {"nodes": [{"id": 1, "lat": 60.0, "lon": 25.0},
                              {"id": 2, "lat": 60.0, "lon": 25.002}],
                    "edges": [{"from": 1, "to": 2, "distance_m": 111.0, "risk_score": 0.1}]}
        router = Router.from_json(json.dumps(document))
        north_20_m = 60.0 + 20.0 / (R * math.pi / 180.0)
        incidents = pandas.DataFrame({"lat": [north_20_m, 60.0], "lon": [25.001, 25.001]})
        assert counted(router, incidents, max_m=25.0) == ([2.0], 0)
        with pytest.warns(IncidentsLeftOut) as caught:
            counts = incident_counts(router, incidents, max_m=19.0)
        assert counts.tolist() == [1.0]
        assert str(caught[0].message) == (
            "1 of 2 incidents were left out: 1 lay farther than 19 m from every street")
        with pytest.raises(ValueError, match="max_m must be a finite number >= 0"):
            incident_counts(router, incidents, max_m=math.nan)
        with pytest.raises(ValueError, match="no 'lat' column"):
            incident_counts(router, pandas.DataFrame({"y": [1.0]}))
        with pytest.raises(ValueError, match="incident 1 has no valid position"):
            incident_counts(router, pandas.DataFrame({"lat": [60.0, math.nan],
                                                      "lon": [25.0, 25.0]}))

    def test_a_geodataframe_in_another_crs_counts_the_same(self):
        geopandas = pytest.importorskip("geopandas")
        router = Router.from_json(json.dumps(random_document(5)))
        rng = np.random.default_rng(5)
        lats, lons = 60.2 + rng.uniform(0, 0.009, 80), 24.9 + rng.uniform(0, 0.018, 80)
        plain, _ = counted(router, pandas.DataFrame({"lat": lats, "lon": lons}))
        frame = geopandas.GeoDataFrame(geometry=geopandas.points_from_xy(lons, lats),
                                       crs="EPSG:4326").to_crs("EPSG:3067")
        projected, _ = counted(router, frame)
        # The round trip through ETRS-TM35FIN moves a point by nanometres.
        assert np.allclose(projected, plain) and plain.sum() > 10

    def test_hours_wrap_round_midnight(self):
        document = {"nodes": [{"id": 1, "lat": 60.0, "lon": 25.0},
                              {"id": 2, "lat": 60.0, "lon": 25.002}],
                    "edges": [{"from": 1, "to": 2, "distance_m": 111.0, "risk_score": 0.1}]}
        router = Router.from_json(json.dumps(document))
        times = ["2024-03-01 19:59:59", "2024-03-01 20:00:00", "2024-03-01 23:30:00",
                 "2024-03-02 00:10:00", "2024-03-02 05:59:59", "2024-03-02 06:00:00",
                 "2024-03-02 12:00:00", None]
        incidents = pandas.DataFrame({"lat": [60.0] * 8, "lon": [25.001] * 8,
                                      "datetime": times})
        assert counted(router, incidents, hours=(20, 6)) == ([4.0], 4)
        assert counted(router, incidents, hours=(6, 20)) == ([3.0], 5)
        assert counted(router, incidents, hours=(0, 24)) == ([7.0], 1)
        incidents["datetime"] = pandas.to_datetime(times).tz_localize("Europe/Helsinki")
        assert counted(router, incidents, hours=(20, 6)) == ([4.0], 4)
        with pytest.warns(IncidentsLeftOut, match="4 had no time within the hours 20 to 6"):
            incident_counts(router, incidents, hours=(20, 6))
        with pytest.raises(ValueError, match="two different hours"):
            incident_counts(router, incidents, hours=(5, 5))
        with pytest.raises(ValueError, match="no 'datetime' column"):
            incident_counts(router, incidents[["lat", "lon"]], hours=(20, 6))


def streets_within(router, bandwidth):
    """Per edge, the first edges of the streets within ``bandwidth`` of its
    street (shapely's distance between every two segments)."""
    to_metres = plane_of(router)
    table = router.table
    tails, heads = table.edges
    lines = []
    for a, b in zip(tails.tolist(), heads.tolist()):
        if a in table and b in table:
            (alat, alon), (blat, blon) = table[a], table[b]
            lines.append(shapely.LineString(to_metres([alon, blon], [alat, blat])))
        else:
            lines.append(None)
    placed = np.array([line is not None for line in lines])
    shapes = np.array([line or shapely.Point() for line in lines], dtype=object)
    close = (shapely.distance(shapes[:, None], shapes[None, :]) <= bandwidth) & placed
    near = [set(np.flatnonzero(row).tolist()) if placed[e] else set()
            for e, row in enumerate(close)]
    return near


class TestLayerFromCounts:
    def test_worked_examples(self):
        nodes = [{"id": 1, "lat": 60.0, "lon": 25.0}, {"id": 2, "lat": 60.0, "lon": 25.0018},
                 {"id": 3, "lat": 60.01, "lon": 25.0}, {"id": 4, "lat": 60.01, "lon": 25.0018},
                 {"id": 5, "lat": 60.0, "lon": 25.0036}]
        edges = [{"from": 1, "to": 2, "distance_m": 100.0, "risk_score": 0.1},
                 {"from": 2, "to": 1, "distance_m": 100.0, "risk_score": 0.2},
                 {"from": 3, "to": 4, "distance_m": 100.0, "risk_score": 0.3}]
        router = Router.from_json(json.dumps({"nodes": nodes, "edges": edges}))
        # One incident on a lone street of 100 m: 1000 / max(100 m, 2 x 100 m)
        # = 5 per km, at 0.05 per incident per km, over 0.1 km. The street a
        # kilometre away keeps its risk.
        layer = layer_from_counts(router, [1.0, 1.0, 0.0])
        assert layer.tolist() == [0.1 + 0.05 * 5.0 * 0.1, 0.2 + 0.05 * 5.0 * 0.1, 0.3]
        assert layer_from_counts(router, [0.0, 0.0, 0.0]).tolist() == [0.1, 0.2, 0.3]
        # Four times the people on 2 -> 1: relative to the mean, 2 against 0.5.
        exposed = layer_from_counts(router, [1.0, 1.0, 0.0], exposure=[1.0, 4.0, 1.0])
        assert exposed.tolist() == [0.1 + 0.05 * 5.0 * 0.1 / 0.5,
                                    0.2 + 0.05 * 5.0 * 0.1 / 2.0, 0.3]
        # A street of 150 m beside it: both have 1 incident over 250 m.
        edges.append({"from": 2, "to": 5, "distance_m": 150.0, "risk_score": 0.4})
        router = Router.from_json(json.dumps({"nodes": nodes, "edges": edges}))
        layer = layer_from_counts(router, [1.0, 1.0, 0.0, 0.0], per_km=0.5)
        assert layer.tolist() == [0.1 + 0.5 * 4.0 * 0.1, 0.2 + 0.5 * 4.0 * 0.1, 0.3,
                                  0.4 + 0.5 * 4.0 * 0.15]
        assert layer_from_counts(router, [1.0, 1.0, 0.0, 0.0], bandwidth_m=1e-3,
                                 per_km=0.5).tolist()[3] == 0.4 + 0.5 * 4.0 * 0.15
        router = Router.from_json(json.dumps({"nodes": nodes, "edges": edges[:3]}))
        for bad, message in (([1.0, 1.0], "counts must hold one value per edge (3)"),
                             ([1.0, -1.0, 0.0], "counts must be at least 0"),
                             ([1.0, math.inf, 0.0], "counts must be finite")):
            with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
                layer_from_counts(router, bad)
        with pytest.raises(ValueError, match="exposure must be above 0"):
            layer_from_counts(router, [0.0] * 3, exposure=[1.0, 0.0, 1.0])
        with pytest.raises(ValueError, match="bandwidth_m must be above 0"):
            layer_from_counts(router, [0.0] * 3, bandwidth_m=0.0)
        with pytest.raises(ValueError, match=r"the graph has no risk layer 'night': its layers are 'default'"):
            layer_from_counts(router, [0.0] * 3, base="night")

    @pytest.mark.parametrize("seed", [6, 7, 8])
    def test_properties_on_random_graphs(self, seed):
        router = Router.from_json(json.dumps(random_document(seed)))
        graph = router.session.engine
        base = in_document_order(graph, graph.risks)
        rng = np.random.default_rng(seed)
        edges = len(base)
        for _ in range(4):
            bandwidth = float(rng.uniform(10, 300))
            per_km = float(rng.uniform(0.001, 1.0))
            counts = np.where(rng.random(edges) < 0.08, rng.uniform(0.1, 5, edges), 0.0)
            counts[-1] = 3.0  # the edge to no node counts for nothing
            layer = layer_from_counts(router, counts, per_km=per_km, bandwidth_m=bandwidth)
            assert np.isfinite(layer).all() and (layer >= base).all()
            near = streets_within(router, bandwidth)
            marked = np.array([any(counts[o] > 0 for o in near[e]) for e in range(edges)])
            assert np.array_equal(layer[~marked], base[~marked])
            assert (layer[marked] > base[marked]).all()
            more = counts + np.where(rng.random(edges) < 0.1, rng.uniform(0, 3, edges), 0.0)
            higher = layer_from_counts(router, more, per_km=per_km, bandwidth_m=bandwidth)
            assert (higher >= layer).all()
            people = rng.uniform(1, 100, edges)
            exposed = layer_from_counts(router, counts, per_km=per_km,
                                        bandwidth_m=bandwidth, exposure=people)
            assert np.array_equal(exposed[~marked], base[~marked])
            assert np.isfinite(exposed).all()


def test_segment_distances_are_shapelys():
    from norvel.risk import _segment_distances

    rng = np.random.default_rng(9)
    ends = rng.uniform(0, 100, (4000, 2, 2))
    ends[:200, 1] = ends[:200, 0]                      # points
    ends[200:400, 1] = ends[200:400, 0] + [0.0, 30.0]  # vertical, some collinear
    ends[400:600, :, 0] = ends[600:800, :, 0]          # shared x ends
    a, b = rng.integers(0, 4000, 20000), rng.integers(0, 4000, 20000)
    b[:200] = a[:200]
    got = _segment_distances(ends, a, b)
    lines = shapely.linestrings(ends)
    expected = shapely.distance(lines[a], lines[b])
    assert np.allclose(got, expected, rtol=1e-12, atol=1e-9)
    assert (got[:200] == 0).all() and (got == 0).sum() > 1000
