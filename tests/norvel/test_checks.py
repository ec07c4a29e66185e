"""norvel.check_document on small documents with one fault each, on the
bundled sample, and its components against the converter's Tarjan."""

import gzip
import json
import math
import random
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

import norvel
from norvel.checks import _Columns, _component_sizes
from norvel.osm.graph import WalkEdge, strongly_connected_components

REPO = Path(__file__).resolve().parents[2]


def square(**changes):
    """Four nodes in a two-way ring: sound. `changes` replace records:
    nodes=[...], edges=[...], or extra_nodes / extra_edges to append."""
    nodes = [{"id": i, "lat": 60.0 + i * 0.001, "lon": 25.0} for i in range(1, 5)]
    edges = []
    for a, b in ((1, 2), (2, 3), (3, 4), (4, 1)):
        edges += [{"from": a, "to": b, "distance_m": 111.2, "risk_score": 0.01},
                  {"from": b, "to": a, "distance_m": 111.2, "risk_score": 0.01}]
    nodes = changes.get("nodes", nodes) + changes.get("extra_nodes", [])
    edges = changes.get("edges", edges) + changes.get("extra_edges", [])
    return {"nodes": nodes, "edges": edges}


def check(tmp_path, document, name="doc.json"):
    path = tmp_path / name
    if isinstance(document, bytes):
        path.write_bytes(document)
    elif isinstance(document, str):
        path.write_text(document, encoding="utf-8")
    else:
        path.write_text(json.dumps(document), encoding="utf-8")
    return norvel.check_document(path)


def kinds(problems):
    return [(p.kind, p.severity, p.count) for p in problems]


def test_sound_documents_have_no_problem(tmp_path):
    assert check(tmp_path, square()) == []
    assert norvel.check_document(norvel.datasets.helsinki_walk()) == []
    # Array form throughout, familiarity given or null.
    array_form = [[[n["id"], n["lat"], n["lon"]] for n in square()["nodes"]],
                  [[e["from"], e["to"], e["distance_m"], e["risk_score"],
                    0.5 if i % 2 else None]
                   for i, e in enumerate(square()["edges"])]]
    assert check(tmp_path, array_form) == []
    # Both forms in one document, and a fault found in it.
    mixed = {"nodes": square()["nodes"], "edges": array_form[1]}
    assert check(tmp_path, mixed) == []
    mixed["edges"][3][3] = -1
    assert kinds(check(tmp_path, mixed)) == [("bad_risk", "error", 1)]


def test_each_fault_is_named_with_its_severity(tmp_path):
    edge = {"from": 1, "to": 2, "distance_m": 5.0, "risk_score": 0.1}
    problems = check(tmp_path, square(
        extra_nodes=[{"id": 3, "lat": 61.0, "lon": 25.0},
                     {"id": 9, "lat": 91.0, "lon": 25.0},
                     {"id": 10, "lat": 60.0, "lon": -180.5}],
        extra_edges=[{**edge, "distance_m": -1.0},
                     {**edge, "risk_score": -0.5},
                     {**edge, "to": 77},
                     {**edge, "from": 9, "to": 1}]))
    assert kinds(problems) == [
        ("duplicate_node", "error", 1), ("undeclared_node", "error", 1),
        ("bad_length", "error", 1), ("bad_risk", "error", 1),
        ("bad_coordinate", "error", 2), ("dead_end", "warning", 1),
        ("disconnected", "warning", 4)]
    assert [p.message for p in problems] == [
        "1 node id occurs more than once: 3 (2 records)",
        "1 edge leaves or enters a node no node record lists: "
        "edge 10 (1 -> 77)",
        "1 edge has a negative, NaN or infinite `distance_m`: "
        "edge 8 (1 -> 2): -1.0",
        "1 edge has a negative, NaN or infinite `risk_score`: "
        "edge 9 (1 -> 2): -0.5",
        "2 nodes lie outside latitude [-90, 90] or longitude [-180, 180]: "
        "9 at lat 91.0, lon 25.0, 10 at lat 60.0, lon -180.5",
        "1 node has no outgoing edge, so no route starts there: 10",
        "the graph has 4 strongly connected components (the largest holds 4 "
        "of its 7 nodes): some pairs of nodes have no route between them"]
    # Many records: the count, five of them and an ellipsis.
    many = check(tmp_path, square(extra_edges=[
        {**edge, "risk_score": -i} for i in range(1, 8)]))
    assert many[0].count == 7 and many[0].message.endswith(
        "edge 12 (1 -> 2): -5, ...")


def test_non_finite_values_are_reported_beside_the_loaders_refusal(tmp_path):
    edges = square()["edges"]
    edges[0]["distance_m"] = math.nan
    edges[1]["risk_score"] = math.inf
    edges[2]["familiarity"] = -math.inf
    nodes = square()["nodes"]
    nodes[3]["lon"] = math.nan
    problems = check(tmp_path, square(nodes=nodes, edges=edges))
    assert kinds(problems) == [
        ("malformed", "error", 1), ("bad_length", "error", 1),
        ("bad_risk", "error", 1), ("bad_familiarity", "error", 1),
        ("bad_coordinate", "error", 1)]
    assert problems[0].message.endswith(
        "doc.json: not a graph document: expected value at line 1 column 161")
    assert problems[1].message.endswith("edge 0 (1 -> 2): nan")
    assert problems[3].message.endswith("edge 2 (2 -> 3): -inf")


@pytest.mark.parametrize("content, ending", [
    ("", ": not a graph document: EOF while parsing a value at line 1 column 0"),
    ("{\"nodes\": [}", ": not a graph document: expected value at line 1 column 12"),
    ('{"nodes":[{"id":1,"lat":2}],"edges":[]}',
     ": not a graph document: missing field `lon` at line 1 column 26"),
    ('{"nodes":[{"id":1.0,"lat":0,"lon":0}],"edges":[]}',
     ": not a graph document: invalid type: floating point `1.0`, expected "
     "u64 at line 1 column 19"),
    (b"\xff\xfe{}", ": not UTF-8 text ("),
    (gzip.compress(json.dumps(square()).encode())[:60], ": not a readable gzip file ("),
])
def test_malformed_files_are_one_error_naming_the_file(tmp_path, content,
                                                       ending):
    (problem,) = check(tmp_path, content)
    assert (problem.kind, problem.severity) == ("malformed", "error")
    assert problem.message.startswith(str(tmp_path / "doc.json"))
    assert ending in problem.message


def test_unopenable_files_keep_their_os_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        norvel.check_document(tmp_path / "absent.json")
    with pytest.raises(IsADirectoryError):
        norvel.check_document(tmp_path)


def test_components_agree_with_the_converters_tarjan():
    rng = random.Random(3)
    for _ in range(300):
        count = rng.randint(1, 30)
        pairs = [(rng.randrange(count), rng.randrange(count))
                 for _ in range(rng.randint(0, 3 * count))]
        expected = strongly_connected_components(
            range(count), [WalkEdge(a, b, 1.0, 0.0) for a, b in pairs])
        columns = _Columns(list(range(count)), [], [],
                           [a for a, _ in pairs], [b for _, b in pairs],
                           [], [], [])
        assert _component_sizes(columns) == (
            len(expected), max(map(len, expected)), count)
    # A path of 200,000 nodes: no recursion limit in the way.
    long = 200_000
    ring = _Columns(list(range(long)), [], [], list(range(long)),
                    [*range(1, long), 0], [], [], [])
    assert _component_sizes(ring) == (1, long, long)


def test_sample_path_from_a_zipped_package(tmp_path):
    """helsinki_walk() gives a real file even where norvel is imported from
    a zip archive."""
    archive = tmp_path / "norvel.zip"
    with zipfile.ZipFile(archive, "w") as bundle:
        for path in (REPO / "norvel").rglob("*"):
            if path.is_file() and "__pycache__" not in path.parts:
                bundle.write(path, path.relative_to(REPO).as_posix())
    run = subprocess.run(
        [sys.executable, "-c",
         "import norvel.datasets as d; p = d.helsinki_walk(); "
         "print(d.__file__); print(p.read_bytes() == d.helsinki_walk()"
         ".read_bytes(), p.stat().st_size)"],
        env={"PYTHONPATH": str(archive)}, cwd=tmp_path, capture_output=True,
        text=True,
        timeout=60, check=False)
    assert run.returncode == 0, run.stderr
    origin, same = run.stdout.splitlines()
    assert origin.startswith(str(archive))
    size = (REPO / "norvel/data/helsinki_walk.json.gz").stat().st_size
    assert same == f"True {size}"
