"""Snapshot files (``norvel pack``, ``Router.save``): a snapshot answers
bit for bit as the document it was made from, on the sample and on random
grids; it is mapped and shared, not copied; damaged snapshots and those of
another format are refused with messages that say so; and a served snapshot
reloads under a stream of requests without one failing."""

import gzip
import hashlib
import json
import os
import random
import struct
import time

import numpy as np
import pytest

import norvel
import norvel_core
from norvel.cli import main
from grids import FIRST_ID, grid_document
from live_server import LiveServer
from test_serve_ops import SteadyClient, generation, replace, scaled_grid, wait_for, PAIR, SCALES

HELSINKI = norvel.datasets.helsinki_walk()


@pytest.fixture(scope="module")
def helsinki(tmp_path_factory):
    """(router from the document, snapshot path, router from the snapshot)"""
    path = tmp_path_factory.mktemp("snap") / "helsinki.norvel"
    assert main(["pack", str(HELSINKI), str(path)]) == 0
    return norvel.Router.from_file(HELSINKI), path, norvel.Router.from_file(path)


def totals(routes):
    return [(r.type, r.nodes, r.distance_m.hex(), r.risk.hex(), r.time_min.hex(),
             r.comfort.hex(), r.familiarity.hex(), r.streets) for r in routes]


def test_a_packed_sample_answers_as_its_document_bit_for_bit(helsinki):
    document, path, snapshot = helsinki
    assert snapshot.session.engine.mapped and not document.session.engine.mapped
    assert snapshot.session.engine.source_sha256 == hashlib.sha256(
        gzip.decompress(HELSINKI.read_bytes())).digest()
    assert (snapshot.node_count, snapshot.edge_count) == (document.node_count, document.edge_count)
    ids = document.session.engine.ids
    rng = random.Random(4)
    pairs = [(int(rng.choice(ids)), int(rng.choice(ids))) for _ in range(60)]
    for a, b in zip(document.route_many(pairs), snapshot.route_many(pairs)):
        assert type(a) is type(b)
        if not isinstance(a, Exception):
            assert totals(a) == totals(b)
    points = [(60.1718, 24.9414), (60.1759, 24.9470), (60.165, 24.93)]
    for point in points:
        assert document.nearest(*point) == snapshot.nearest(*point)
    assert totals(document.route(*points[:2])) == totals(snapshot.route(*points[:2]))
    a = document.catchment(points[0], minutes=5).columns()
    b = snapshot.catchment(points[0], minutes=5).columns()
    for key in ("node", "shortest_m", "shortest_risk", "safest_m", "safest_risk"):
        assert np.array_equal(a[key], b[key])
    # norvel_core reads the same graph out of the snapshot's arrays.
    def core(router, source, target):
        return [(r.route_type, r.path, r.total_distance_m.hex(), r.total_risk.hex())
                for r in norvel_core.compute_safe_routes(router.graph, source, target, 0.0)]

    source, target = next(p for p, a in zip(pairs, document.route_many(pairs))
                          if not isinstance(a, Exception))
    assert core(snapshot, source, target) == core(document, source, target) != []


def random_grid(rng, size):
    document = grid_document(size)
    for edge in document["edges"]:
        edge["distance_m"] = round(rng.uniform(20, 200), rng.choice((0, 3)))
        edge["risk_score"] = rng.random()
        if rng.random() < 0.3:
            edge["familiarity"] = rng.random()
        if rng.random() < 0.4:
            edge["name"] = rng.choice(["Aleksanterinkatu", "Esplanadi", "Kaivokatu"])
    rng.shuffle(document["edges"])
    return json.dumps(document)


def test_snapshots_of_random_grids_answer_as_their_documents(tmp_path):
    rng = random.Random(9)
    for round_ in range(6):
        document = norvel.Router.from_json(random_grid(rng, 5 + round_))
        path = tmp_path / f"grid{round_}.norvel"
        document.save(path)
        snapshot = norvel.Router.from_file(path)
        assert snapshot.session.engine.source_sha256 == bytes(32)
        ids = [int(i) for i in document.session.engine.ids]
        pairs = [(rng.choice(ids), rng.choice(ids)) for _ in range(40)]
        for eps in (0.0, 0.2):
            for a, b in zip(document.route_many(pairs, eps=eps), snapshot.route_many(pairs, eps=eps)):
                assert type(a) is type(b) and (isinstance(a, Exception) or totals(a) == totals(b))
    assert sorted(os.listdir(tmp_path)) == [f"grid{i}.norvel" for i in range(6)]  # no temporary left


def test_a_save_replaces_the_file_under_a_router_that_maps_it(tmp_path):
    path = tmp_path / "city.norvel"
    norvel.Router.from_json(scaled_grid(1.0)).save(path)
    old = norvel.Router.from_file(path)
    before = old.route(*PAIR)[0].distance_m
    norvel.Router.from_json(scaled_grid(2.0)).save(path)
    assert old.route(*PAIR)[0].distance_m == before
    assert norvel.Router.from_file(path).route(*PAIR)[0].distance_m == 2.0 * before
    with pytest.raises(OSError):
        old.save(tmp_path / "no such folder" / "x.norvel")


@pytest.fixture(scope="module")
def sound(tmp_path_factory):
    path = tmp_path_factory.mktemp("bad") / "sound.norvel"
    norvel.Router.from_json(scaled_grid(1.0)).save(path)
    return path.read_bytes()


def refusal(tmp_path, data):
    path = tmp_path / "city.norvel"
    path.write_bytes(data)
    with pytest.raises(ValueError) as refused:
        norvel.Router.from_file(path)
    return str(refused.value).removeprefix(f"{path}: ")


def test_damaged_snapshots_and_other_versions_are_refused_with_clear_messages(tmp_path, sound):
    assert refusal(tmp_path, sound[:64]) == (
        "truncated snapshot: 64 bytes, shorter than its 128-byte header")
    assert refusal(tmp_path, sound[:len(sound) // 2]) == (
        f"truncated snapshot: {len(sound) // 2} bytes of the {len(sound)} its header gives")
    flipped = bytearray(sound)
    flipped[-3] ^= 0x10
    assert refusal(tmp_path, bytes(flipped)) == (
        "corrupt snapshot: section 17 (`nearest_axis`) fails its checksum")
    flipped = bytearray(sound)
    flipped[3000] ^= 0x01
    assert refusal(tmp_path, bytes(flipped)).endswith(") fails its checksum")
    newer = sound[:8] + struct.pack("<I", 3) + sound[12:]
    path = tmp_path / "city.norvel"
    assert refusal(tmp_path, newer) == (
        "a snapshot of format version 3, and this norvel reads version 2; make it again "
        f"from its graph document with: norvel pack GRAPH.json {path}")
    # The command says the same, in one line.
    assert main(["route", str(path), str(PAIR[0]), str(PAIR[1])]) == 1
    # Every single flipped bit of a small snapshot is caught.
    rng = random.Random(2)
    for at in rng.sample(range(len(sound)), 200):
        flipped = bytearray(sound)
        flipped[at] ^= 1 << rng.randrange(8)
        path.write_bytes(bytes(flipped))
        with pytest.raises(ValueError, match="snapshot"):
            norvel.Router.from_file(path)


def test_pack_reads_documents_and_snapshots_and_says_what_it_wrote(tmp_path, capsys):
    text = scaled_grid(1.0)
    plain, packed = tmp_path / "city.json.gz", tmp_path / "city.norvel"
    plain.write_bytes(gzip.compress(text.encode()))
    assert main(["pack", str(plain), str(packed)]) == 0
    assert capsys.readouterr().err == (
        f"{packed}: 38 nodes, {norvel.Router.from_json(text).edge_count} edges, "
        f"{packed.stat().st_size} bytes\n")
    again = tmp_path / "again.norvel"
    assert main(["pack", str(packed), str(again)]) == 0
    assert again.read_bytes() == packed.read_bytes()
    assert norvel.Router.from_file(again).session.engine.source_sha256 == hashlib.sha256(text.encode()).digest()
    assert main(["pack", str(tmp_path / "missing.json"), str(again)]) == 1
    assert "norvel pack:" in capsys.readouterr().err


def test_a_served_snapshot_reloads_under_a_stream_of_requests_without_a_failure(tmp_path):
    """Each generation's snapshot is packed beside and renamed over the
    served one; every request is answered, on the generation serving when
    it was sent."""
    expected = {number: [r.distance_m for r in norvel.Router.from_json(scaled_grid(scale)).route(*PAIR)]
                for number, scale in SCALES.items()}
    graph = tmp_path / "city.norvel"
    norvel.Router.from_json(scaled_grid(SCALES[1])).save(graph)
    live = LiveServer(graph, "--workers", "2", "--reload-on-change")
    try:
        client = SteadyClient(live)
        time.sleep(0.5)
        for number in (2, 3):
            norvel.Router.from_json(scaled_grid(SCALES[number])).save(tmp_path / "next.norvel")
            os.replace(tmp_path / "next.norvel", graph)
            wait_for(lambda: generation(live) == number)
            time.sleep(0.5)
        records = client.stop()
    finally:
        assert live.stop() == 0, live.output()
    answered = [record for thread in records for record in thread]
    assert len(answered) > 100
    assert [r[2] for r in answered] == [200] * len(answered)
    for _, _, _, number, body in answered:
        assert [f["properties"]["distance_m"] for f in json.loads(body)["features"]] == expected[number]
    assert {r[3] for r in answered} == {1, 2, 3}
