"""A region's access: walks bounded by max_minutes against every route's
front cut there, and the tiled answers (local processes, a Dask cluster)
against one search, bit for bit; a catchment of several places in tiles
against the Router's."""

import json
import math

import numpy as np
import pandas
import pytest

import norvel
import norvel.batch
import norvel.geo
from grids import grid_streets, jittered_nodes, one_or_both_ways
from norvel.catchment import WALKING_SPEED_M_PER_MIN

distributed = pytest.importorskip("distributed")


def street_document(seed, side, spacing_deg=0.001):
    """A jittered street grid of side x side nodes, streets both ways or
    one, some doubled by a parallel way of other costs, lengths rounded to
    whole metres and often shorter than the straight line (as generated
    grids do), with a second risk layer's values."""
    rng = np.random.default_rng(seed)
    nodes = jittered_nodes(rng, side, 100, spacing_deg, 0.2)
    edges = []
    for i, j in grid_streets(rng, side, 0.08):
        for _ in range(1 + (rng.random() < 0.1)):
            d = float(round(rng.uniform(80.0, 125.0)))
            r = float(rng.uniform(0.0, 0.9))
            edges += [{"from": 100 + a, "to": 100 + b, "distance_m": d,
                       "risk_score": r} for a, b in one_or_both_ways(rng, i, j)]
    lit = rng.uniform(0.0, 2.0, len(edges)).tolist()
    return {"nodes": nodes, "edges": edges, "risk_layers": {"lit": lit}}


def tables(document, seed, origin_count, place_count):
    """Origins at nodes' points and places at others'."""
    rng = np.random.default_rng(seed)
    chosen = rng.permutation(len(document["nodes"]))
    points = [document["nodes"][k] for k in chosen]
    origins = pandas.DataFrame({
        "lat": [p["lat"] for p in points[:origin_count]],
        "lon": [p["lon"] for p in points[:origin_count]],
        "people": rng.integers(0, 50, origin_count)},
        index=rng.permutation(origin_count) + 1000)
    places = pandas.DataFrame({
        "lat": [p["lat"] for p in points[-place_count:]],
        "lon": [p["lon"] for p in points[-place_count:]]})
    return origins, places


def front_model(router, origin, places, direction, risk, max_minutes, cutoffs):
    """An origin's walks from every route front, cut at max_minutes:
    nearest (m, risk, place), safest (risk, m, place) and the least risk
    within each cutoff."""
    points = []
    for at, place in enumerate(places):
        ends = (origin, place) if direction == "to" else (place, origin)
        try:
            front = router.front(*ends, risk=risk)
        except norvel.errors.NoRouteError:
            continue
        points += [(r.distance_m, r.risk, at) for r in front
                   if r.distance_m / WALKING_SPEED_M_PER_MIN <= max_minutes]
    if not points:
        return None
    nearest = min(points)
    safest = min(points, key=lambda p: (p[1], p[0], p[2]))
    within = [min((p[1] for p in points
                   if p[0] / WALKING_SPEED_M_PER_MIN <= c), default=math.nan)
              for c in cutoffs]
    return nearest, (safest[1], safest[0], safest[2]), within


@pytest.mark.parametrize("direction,risk", [("to", "default"), ("from", "lit")])
def test_bounded_walks_are_the_fronts_cut_at_max_minutes(direction, risk):
    """Every origin of random grids against the fronts of its routes to
    each place, only the walks within max_minutes kept; None keeps the
    unbounded answer."""
    for seed in range(3):
        document = street_document(seed, 9)
        router = norvel.Router.from_json(json.dumps(document))
        origins, places = tables(document, seed, 25, 4)
        cutoffs = (3.0, 5.0)
        result = norvel.access(router, origins, places, cutoffs,
                               direction=direction, risk=risk, max_minutes=7.5)
        place_nodes = result.places["node"].tolist()
        for row in result.origins.itertuples():
            model = front_model(router, row.node, place_nodes, direction,
                                risk, 7.5, cutoffs)
            if model is None:
                assert math.isnan(row.nearest_m) and math.isnan(row.safest_m)
                continue
            assert (row.nearest_m, row.nearest_risk, row.nearest_place) == model[0]
            assert (row.safest_risk, row.safest_m, row.safest_place) == model[1]
            got = [row.within_risk_3, row.within_risk_5]
            assert np.array_equal(got, model[2], equal_nan=True), (seed, row)
        unbounded = norvel.access(router, origins, places, cutoffs,
                                  direction=direction, risk=risk)
        pandas.testing.assert_frame_equal(
            unbounded.origins,
            norvel.access(router, origins, places, cutoffs,
                          direction=direction, risk=risk).origins)


def test_max_minutes_is_checked():
    router = norvel.Router.from_json(json.dumps(street_document(0, 4)))
    origins, places = tables(street_document(0, 4), 0, 3, 2)
    for bad, shown in [(4.0, "4.0"), (math.inf, "inf"), (float("nan"), "nan")]:
        with pytest.raises(ValueError) as raised:
            norvel.access(router, origins, places, (5.0, 10.0), max_minutes=bad)
        if shown != "nan":
            assert str(raised.value) == (
                f"max_minutes must be finite and at least the largest "
                f"cutoff (10), got {shown}")
    with pytest.raises(TypeError, match="with a client, the graph must be"):
        norvel.access(router, origins, places, 5.0, client=object())


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1,
                                  processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as dask_client:
        yield dask_client


@pytest.fixture(scope="module")
def region(tmp_path_factory):
    """A grid some kilometres across (tiles of a few minutes' margin each),
    as a snapshot, with many origins and places."""
    document = street_document(7, 28)
    folder = tmp_path_factory.mktemp("region")
    router = norvel.Router.from_json(json.dumps(document))
    snapshot = folder / "region.norvel"
    router.save(snapshot)
    origins, places = tables(document, 7, 500, 40)
    return norvel.Router.from_file(snapshot), snapshot, origins, places


def test_tiles_on_local_processes_and_a_cluster_give_the_local_answer(region,
                                                                       client):
    """Tiles of a 2.5-minute margin over a grid of 28 x 28 nodes: origins
    on every tile's border, places just inside and just outside each
    margin; the same table, column for column and bit for bit, both ways
    and on a risk layer."""
    router, snapshot, origins, places = region
    for direction, risk in [("to", "default"), ("from", "lit")]:
        local = norvel.access(router, origins, places, (1.0, 2.0),
                              weight="people", direction=direction,
                              risk=risk, max_minutes=2.5)
        assert local.origins["nearest_m"].notna().any()
        assert local.origins["nearest_m"].isna().any()
        on_cluster = norvel.access(snapshot, origins, places, (1.0, 2.0),
                                   weight="people", direction=direction,
                                   risk=risk, max_minutes=2.5, client=client,
                                   progress=False)
        pandas.testing.assert_frame_equal(on_cluster.origins, local.origins)
        pandas.testing.assert_frame_equal(on_cluster.places, local.places)
    processes = norvel.access(snapshot, origins, places, (1.0, 2.0),
                              max_minutes=2.5, workers=2, progress=False)
    pandas.testing.assert_frame_equal(
        processes.origins,
        norvel.access(router, origins, places, (1.0, 2.0),
                      max_minutes=2.5).origins)


def test_a_catchment_of_several_places_in_tiles(region, client):
    router, snapshot, _, places = region
    ids = router.table.routable_ids[:: 97][:6].tolist()
    for direction in ("to", "from"):
        want = router.catchment(ids, 4.0, direction=direction).nodes
        got = norvel.batch.catchment(snapshot, ids, 4.0, direction=direction,
                                     client=client, progress=False)
        pandas.testing.assert_frame_equal(got, want)
    got = norvel.batch.catchment(snapshot, ids, 2.0, risk="lit", workers=1,
                                 progress=False)
    pandas.testing.assert_frame_equal(
        got, router.catchment(ids, 2.0, risk="lit").nodes)


def test_a_catchment_in_tiles_keeps_the_walks_at_the_margins_edge(client, tmp_path):
    """Streets exactly as long as the straight line leave the margin no
    room to spare: the farthest walks end at its edge, along either axis,
    and the nodes the tiles are asked about must still hold them."""
    side = 15
    nodes = [{"id": 1 + i, "lat": 60.0 + 0.0005 * (i // side),
              "lon": 25.0 + 0.001 * (i % side)} for i in range(side * side)]
    edges = []
    for i in range(side * side):
        for j in (i + 1 if (i + 1) % side else None,
                  i + side if i + side < side * side else None):
            if j is not None:
                length = norvel.geo.haversine_m(
                    nodes[i]["lat"], nodes[i]["lon"],
                    nodes[j]["lat"], nodes[j]["lon"])
                edges += [{"from": 1 + a, "to": 1 + b, "distance_m": length,
                           "risk_score": 0.1 * (a % 7)}
                          for a, b in ((i, j), (j, i))]
    path = tmp_path / "straight.json"
    path.write_text(json.dumps({"nodes": nodes, "edges": edges}))
    router = norvel.Router.from_file(path)
    rng = np.random.default_rng(3)
    for minutes in (0.0, 0.9, 2.5, 4.2, 7.0):
        places = (1 + rng.choice(side * side, int(rng.integers(1, 5)),
                                 replace=False)).tolist()
        want = router.catchment(places, minutes).nodes
        got = norvel.batch.catchment(path, places, minutes, client=client,
                                     progress=False)
        pandas.testing.assert_frame_equal(got, want)
