"""norvel.check_document on small documents with one fault each, on the
bundled sample, and on random documents against a plain reading of them."""

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
        "edge 12 (1 -> 2): -5.0, ...")


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


def test_integers_too_large_for_a_double_are_infinities(tmp_path):
    """The loader refuses them; the second reading takes each as the
    infinity of its sign rather than failing to convert it."""
    edges = square()["edges"]
    edges[0]["distance_m"] = 10 ** 400
    edges[4]["familiarity"] = -10 ** 400
    problems = check(tmp_path, with_layers(
        f'{{"a": [0, 0, 0, -{10 ** 400}, 0, 0, 0, 0]}}', square(edges=edges)))
    assert kinds(problems) == [
        ("malformed", "error", 1), ("bad_length", "error", 1),
        ("bad_familiarity", "error", 1), ("bad_layer_risk", "error", 1)]
    assert problems[1].message.endswith("edge 0 (1 -> 2): inf")
    assert problems[2].message.endswith("edge 4 (3 -> 4): -inf")
    assert problems[3].message.endswith("edge 3 (3 -> 2) in `a`: -inf")


@pytest.mark.parametrize("content, ending", [
    ("", ": the file is empty, it holds no graph document"),
    ("{\"nodes\": [}", ": not a graph document: expected value at line 1 column 12"),
    ('{"nodes":[{"id":1,"lat":2}],"edges":[]}',
     ": not a graph document: missing field `lon` at line 1 column 26"),
    ('{"nodes":[{"id":1.0,"lat":0,"lon":0}],"edges":[]}',
     ": not a graph document: invalid type: floating point `1.0`, expected "
     "u64 at line 1 column 19"),
    (b"\xff\xfe{}", ": not UTF-8 text ("),
    (gzip.compress(json.dumps(square()).encode())[:60],
     ": damaged gzip data (truncated or corrupt): "),
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


def random_records(rng, odd_values):
    """Node records (id, lat, lon) and edges (from, to, distance_m,
    risk_score, familiarity or None) over a dozen ids, small and near 2**64:
    repeated and undeclared ids, dead ends, several components, negative
    costs and coordinates off the globe; NaN and infinities only with
    ``odd_values`` (the loader refuses them)."""
    pool = [rng.choice((k, 2**64 - 1 - k)) for k in range(12)]
    odd = [math.nan, math.inf, -math.inf] if odd_values else []

    def number(low, high, *wrong):
        if rng.random() < 0.12:
            return rng.choice([*wrong, *odd])
        return round(rng.uniform(low, high), 3)

    nodes = [(rng.choice(pool[:9]), number(-90, 90, 95.5, -90.25),
              number(-180, 180, -180.5, 200.0))
             for _ in range(rng.randint(0, 10))]
    edges = [(rng.choice(pool), rng.choice(pool), number(0, 500, -1.5),
              number(0, 1, -0.25),
              None if rng.random() < 0.5 else number(-1, 1, -2.0))
             for _ in range(rng.randint(0, 3 * len(nodes) + 2))]
    return nodes, edges


def document_of(rng, nodes, edges):
    """The records as a document in object or array form; an object edge
    without familiarity leaves the member out or writes null."""
    if rng.random() < 0.5:
        return [[list(n) for n in nodes], [list(e) for e in edges]]
    members = ("from", "to", "distance_m", "risk_score", "familiarity")
    objects = [dict(zip(members, e)) for e in edges]
    for edge in objects:
        if edge["familiarity"] is None and rng.random() < 0.5:
            del edge["familiarity"]
    return {"nodes": [dict(zip(("id", "lat", "lon"), n)) for n in nodes],
            "edges": objects}


def expected_problems(nodes, edges):
    """(kind, count, the first five records named) per problem, read off the
    records with sets and loops; for `disconnected` the component numbers
    instead of records."""
    found = []

    def add(kind, named):
        if named:
            found.append((kind, len(named), named[:5]))

    ids = [n[0] for n in nodes]
    repeated = {}  # in the order of each id's second record
    for position, node_id in enumerate(ids):
        if node_id in ids[:position]:
            repeated.setdefault(node_id, ids.count(node_id))
    add("duplicate_node", [f"{i} ({n} records)" for i, n in repeated.items()])
    declared = set(ids)
    names = [f"edge {k} ({a} -> {b})" for k, (a, b, *_) in enumerate(edges)]
    add("undeclared_node", [names[k] for k, e in enumerate(edges)
                            if e[0] not in declared or e[1] not in declared])
    for kind, column, allowed in (
            ("bad_length", 2, lambda v: 0 <= v < math.inf),
            ("bad_risk", 3, lambda v: 0 <= v < math.inf),
            ("bad_familiarity", 4, math.isfinite)):
        add(kind, [f"{names[k]}: {e[column]!r}" for k, e in enumerate(edges)
                   if e[column] is not None and not allowed(e[column])])
    add("bad_coordinate", [f"{i} at lat {la!r}, lon {lo!r}" for i, la, lo in nodes
                           if not (-90 <= la <= 90 and -180 <= lo <= 180)])
    sources = {e[0] for e in edges}
    add("dead_end", [str(i) for i in dict.fromkeys(ids) if i not in sources])

    every = declared | sources | {e[1] for e in edges}
    forward, backward = {}, {}
    for a, b, *_ in edges:
        forward.setdefault(a, set()).add(b)
        backward.setdefault(b, set()).add(a)

    def reach(start, step):
        seen, todo = {start}, [start]
        while todo:
            for nxt in step.get(todo.pop(), ()):
                if nxt not in seen:
                    seen.add(nxt)
                    todo.append(nxt)
        return seen

    components = {frozenset(reach(n, forward) & reach(n, backward))
                  for n in every}
    if len(components) > 1:
        found.append(("disconnected", len(components), [
            f"has {len(components)} strongly connected components (the "
            f"largest holds {max(map(len, components))} of its {len(every)}"
            f" nodes)"]))
    return found


@pytest.mark.parametrize("odd_values", [False, True])
def test_random_documents_agree_with_a_plain_reading(tmp_path, odd_values):
    rng = random.Random(7 + odd_values)
    for _ in range(150):
        nodes, edges = random_records(rng, odd_values)
        problems = check(tmp_path, document_of(rng, nodes, edges))
        expected = expected_problems(nodes, edges)
        values = [v for n in nodes for v in n[1:]] + \
            [v for e in edges for v in e[2:]]
        if any(v is not None and not math.isfinite(v) for v in values):
            assert problems[0].kind == "malformed"
            problems = problems[1:]
        assert [(p.kind, p.count) for p in problems] == \
            [(kind, count) for kind, count, _ in expected]
        for problem, (kind, count, named) in zip(problems, expected):
            warning = kind in ("dead_end", "disconnected")
            assert problem.severity == ("warning" if warning else "error")
            if kind == "disconnected":
                assert named[0] in problem.message
            else:
                more = ", ..." if count > 5 else ""
                assert problem.message.endswith(f": {', '.join(named)}{more}")


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


def with_layers(layers_text, document=None, first=False):
    """The text of a document (the square by default) with a top-level
    member `risk_layers` written as ``layers_text``, last or first."""
    text = json.dumps(document or square())
    member = f'"risk_layers": {layers_text}'
    if first:
        return "{" + member + ", " + text[1:]
    return text[:-1] + ", " + member + "}"


class TestLayers:
    def test_sound_layers_have_no_problem(self, tmp_path):
        eight = json.dumps([0.0, 1, 2.5e-3, 0.1, 7, 0, 1e300, 3])
        assert check(tmp_path, with_layers(
            f'{{"day": {eight}, "_Night2": {eight}}}')) == []
        assert check(tmp_path, with_layers("{}", first=True)) == []
        # Member names elsewhere are not layers: in an edge, in a string.
        document = square()
        document["edges"][0]["risk_layers"] = {"x": [-1]}
        document["edges"][1]["name"] = '"risk_layers": {"x": [-1]}'
        assert check(tmp_path, document) == []

    def test_each_layer_fault_is_named(self, tmp_path):
        eight = json.dumps([0.1] * 8)
        # Written as text: a repeated name cannot be a dict's.
        text = with_layers(
            f'{{"day": {eight}, "2night": {eight}, "default": {eight}, '
            f'"short": {[0.1] * 7}, "one": [1], "words": {json.dumps(["a"] * 8)}, '
            f'"bad": [0.1, -1, 0.2, 1e999, 0.1, 0.1, 0.1, -0.5], '
            f'"day": {[0.1] * 9}}}')
        problems = check(tmp_path, text)
        assert kinds(problems) == [("bad_layer", "error", 4),
                                   ("bad_layer_name", "error", 3),
                                   ("bad_layer_risk", "error", 3)]
        assert [p.message for p in problems] == [
            "4 risk layers do not hold one number per edge (8 edges): "
            "`short` (7 values), `one` (1 value), `words` (not an array of "
            "numbers), `day` (9 values)",
            "3 risk layer names are refused: `day` is given 2 times, "
            "`2night` is not a plain identifier (ASCII letters, digits and "
            "_; not starting with a digit), `default` is the document's own "
            "risk_score",
            "3 layer risks are negative, NaN or infinite: "
            "edge 1 (2 -> 1) in `bad`: -1.0, edge 3 (3 -> 2) in `bad`: inf, "
            "edge 7 (1 -> 4) in `bad`: -0.5"]

    def test_the_member_itself(self, tmp_path):
        assert [p.message for p in check(tmp_path, with_layers("[1]"))] == [
            "`risk_layers` is not an object of risk layers"]
        twice = with_layers('{"a": [-1, 0, 0, 0, 0, 0, 0, 0]}',
                            json.loads(with_layers('{"b": 1}')))
        problems = check(tmp_path, twice)
        assert kinds(problems) == [("bad_layer", "error", 1),
                                   ("bad_layer_risk", "error", 1)]
        assert [p.message for p in problems] == [
            "the document has 2 `risk_layers` members (the last one is "
            "checked)",
            "1 layer risk is negative, NaN or infinite: edge 0 (1 -> 2) in "
            "`a`: -1.0"]
        # The last one is checked: the first, no object, is not named.
        problems = check(tmp_path, with_layers(
            '{"a": [0, 0, 0, 0, 0, 0, 0, 0]}',
            json.loads(with_layers('"no"'))))
        assert kinds(problems) == [("bad_layer", "error", 1)]

    def test_many_faulty_risks_over_layers(self, tmp_path):
        problems = check(tmp_path, with_layers(
            '{"a": [0, 0, 0, 0, 0, 0, -1, -2], "b": [-3, 0, -4, -5, -6, 0, '
            '0, 0]}'))
        assert problems[0].count == 6 and problems[0].message == (
            "6 layer risks are negative, NaN or infinite: "
            "edge 6 (4 -> 1) in `a`: -1.0, edge 7 (1 -> 4) in `a`: -2.0, "
            "edge 0 (1 -> 2) in `b`: -3.0, edge 2 (2 -> 3) in `b`: -4.0, "
            "edge 3 (3 -> 2) in `b`: -5.0, ...")

    def test_beside_the_loaders_refusal(self, tmp_path):
        document = square()
        document["edges"][0]["risk_score"] = math.nan
        problems = check(tmp_path, with_layers(
            '{"n": [NaN, 0, 0, 0, 0, 0, 0, Infinity], "x": 1}', document))
        assert kinds(problems) == [
            ("malformed", "error", 1), ("bad_risk", "error", 1),
            ("bad_layer", "error", 1), ("bad_layer_risk", "error", 2)]
        assert problems[2].message == (
            "1 risk layer does not hold one number per edge (8 edges): `x` "
            "(not an array of numbers)")
        assert problems[3].message.endswith(
            "edge 0 (1 -> 2) in `n`: nan, edge 7 (1 -> 4) in `n`: inf")

    def test_converter_output_is_sound(self, tmp_path):
        graph = pytest.importorskip("norvel.osm.graph")
        from norvel.osm.graph import WalkEdge, WayNode, build_document
        coordinates = {n: WayNode(n, 60.0 + n * 1e-4, 25.0) for n in (1, 2)}
        edges = [WalkEdge(1, 2, 11.12, 0.001, "a", (0.0, 0.5),
                          (("highway", "path"),)),
                 WalkEdge(2, 1, 11.12, 0.001, None, (0.2, 0.0))]
        text = graph.document_text(build_document(
            coordinates, edges, layer_names=("day", "night")))
        assert check(tmp_path, text) == []
        assert check(tmp_path, text.replace("0.5", "-0.5"))[0].message == (
            "1 layer risk is negative, NaN or infinite: edge 0 (1 -> 2) in "
            "`night`: -0.5")


def _tricky_string(rng):
    pieces = ['"', "\\", "[", "]", "{", "}", "risk_layers", ":", "a", "é",
              "\n", '\\"', '"risk_layers":']
    return "".join(rng.choice(pieces) for _ in range(rng.randint(0, 8)))


def _tricky_value(rng, depth=0):
    pick = rng.random()
    if depth > 2 or pick < 0.3:
        return rng.choice([1, -2.5, None, True, _tricky_string(rng)])
    if pick < 0.6:
        return [_tricky_value(rng, depth + 1)
                for _ in range(rng.randint(0, 3))]
    return {rng.choice(["risk_layers", _tricky_string(rng), "a"]):
            _tricky_value(rng, depth + 1) for _ in range(rng.randint(0, 3))}


def _described(found):
    """A reading of layers as plain values: members, then per layer its
    name and (count, [(position, value) of each wrong risk]) or None."""
    if found is None or found.layers is None:
        return found if found is None else (found.members, None)
    return found.members, [(name, None if risks is None else (
        risks.count, list(zip(risks.wrong.tolist(), risks.wrong_values.tolist()))))
        for name, risks in found.layers]


def test_layers_are_found_wherever_the_text_puts_them():
    """The layers of the top-level members, against json: random documents
    with the member name in strings, keys and nested objects, brackets and
    escaped quotes in strings, the member anywhere or twice; read by the
    member walk of a document the loader refuses, and where the loader
    says the members are in one it reads."""
    from norvel._documents import json_document
    from norvel._layer_scan import member_layers, value_layers
    from norvel._native import engine
    rng = random.Random(31)
    for _ in range(400):
        members = [(rng.choice(["x", _tricky_string(rng)]),
                    _tricky_value(rng)) for _ in range(rng.randint(0, 4))]
        for _ in range(rng.choice([0, 1, 1, 2])):
            layers = {f"l{k}": [rng.choice([0, 1.5, -1, 1e300])
                                for _ in range(rng.randint(0, 3))]
                      for k in range(rng.randint(0, 3))}
            if rng.random() < 0.2:
                layers = {"l": _tricky_value(rng)}
            members.insert(rng.randint(0, len(members)),
                           ("risk_layers", layers))
        members.insert(rng.randint(0, len(members)), ("nodes", []))
        members.insert(rng.randint(0, len(members)), ("edges", []))
        spaces = rng.choice([(", ", ": "), (",", ":"), (" ,\n ", " \t: ")])
        text = ("{" + spaces[0].join(
            json.dumps(name) + spaces[1] + json.dumps(value, ensure_ascii=rng.random() < 0.5)
            for name, value in members) + "}")
        document, values = json_document(text.encode())
        found = value_layers(values)
        expected_document = json.loads(text)
        assert document.keys() == expected_document.keys()
        assert all(document[k] == v for k, v in expected_document.items()
                   if k != "risk_layers")
        tops = [value for name, value in members if name == "risk_layers"]
        if not tops:
            assert found is None, text
        elif not isinstance(tops[-1], dict):
            assert found is not None and _described(found) == (len(tops), None)
        else:
            expected = [(name, None if not isinstance(value, list) or any(
                isinstance(v, bool) or not isinstance(v, (int, float))
                for v in value) else (len(value), [
                    (k, float(v)) for k, v in enumerate(value) if v < 0]))
                for name, value in tops[-1].items()]
            assert _described(found) == (len(tops), expected), text
        data = text.encode()
        graph = engine.Graph.load(data, names=False, layers=False)
        assert _described(member_layers(data, graph.risk_layers_members)) == \
            _described(found), text
    # What json refuses, the walk refuses.
    for text in ('{"a": 1,}', '{"a" 1}', '{"a": 1 "b": 2}', '{"a": 1} x', '{1: 2}',
                 '{"risk_layers": {"a": [1,]}}'):
        with pytest.raises(ValueError):
            json_document(text.encode())


def test_number_texts_against_json():
    """Only suspect numbers are parsed: every value outside [0, the largest
    double] is still found, with the value json gives it."""
    from norvel._layer_scan import number_text_risks
    rng = random.Random(12)
    pool = ["0", "-0", "-0.0", "1", "0.25", "12e3", "1E-5", "-1e-5", "-2",
            "1e308", "1.7976931348623157e308", "1.7976931348623159e308",
            "1e309", "0.001e310", "1e-400", "-1e400", "1" * 310,
            "-" + "9" * 320, "0." + "0" * 350 + "1", "1e+100", "5e0100"]
    for _ in range(300):
        values = [rng.choice(pool) for _ in range(rng.randint(1, 12))]
        text = rng.choice([",", ", ", " ,\n"]).join(values).encode()
        risks = number_text_risks(text)
        parsed = [float(v) for v in values]
        wrong = [(k, v) for k, v in enumerate(parsed)
                 if not 0 <= v <= sys.float_info.max]
        assert (risks.count, list(zip(risks.wrong.tolist(),
                                      risks.wrong_values.tolist()))) == \
            (len(values), wrong), text
    assert number_text_risks(b" \n").count == 0
