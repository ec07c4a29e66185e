"""Where a Router comes from: networkx graphs give the answers of the same
graph written as a document; files that are no graph document are named."""

import gzip
import itertools
import json
import math
import subprocess
import sys

import networkx as nx
import pytest

from grids import FIRST_ID, grid_document
from norvel import Router, load_graph

DOCUMENT = grid_document(5)
NODES = [n["id"] for n in DOCUMENT["nodes"]]


def answers(router, pairs):
    result = []
    for source, target in pairs:
        try:
            routes = router.route(source, target)
        except Exception as failure:
            result.append((type(failure), str(failure)))
        else:
            result.append([(r.type, r.nodes, r.distance_m, r.risk,
                            r.familiarity, r.streets) for r in routes])
    return result


def pairs(count=40):
    every = list(itertools.product(NODES, NODES))
    return every[::len(every) // count]


def add_nodes(graph, document):
    for node in document["nodes"]:
        graph.add_node(node["id"], y=node["lat"], x=node["lon"])


class TestFromNetworkx:
    def test_digraph_with_attribute_names_and_callables(self):
        graph = nx.DiGraph()
        add_nodes(graph, DOCUMENT)
        for edge in DOCUMENT["edges"]:
            graph.add_edge(edge["from"], edge["to"], length=edge["distance_m"],
                           danger=edge["risk_score"])
        document = json.loads(json.dumps(DOCUMENT))
        for edge in document["edges"]:
            edge["familiarity"] = edge["distance_m"] / 7.0
        expected = Router.from_json(json.dumps(document))
        router = Router.from_networkx(
            graph, risk="danger",
            familiarity=lambda u, v, data: data["length"] / 7.0)
        assert (router.node_count, router.edge_count) == (
            expected.node_count, expected.edge_count)
        assert answers(router, pairs()) == answers(expected, pairs())
        assert dict(router.table) == dict(expected.table)

    def test_undirected_gives_both_ways_and_parallel_edges_stay(self):
        # One street each way with its own risk, two parallel ways from
        # the first node, a loop; names as OSMnx writes them.
        document = {"nodes": DOCUMENT["nodes"], "edges": []}
        graph = nx.MultiGraph()
        add_nodes(graph, DOCUMENT)
        for edge in DOCUMENT["edges"]:
            a, b = edge["from"], edge["to"]
            if a < b:
                names = ["Main", "Side"] if (a + b) % 3 == 0 else "Main"
                graph.add_edge(a, b, length=edge["distance_m"],
                               risk=edge["risk_score"], name=names)
                name = names if isinstance(names, str) else "Main / Side"
                for u, v in ((a, b), (b, a)):
                    document["edges"].append({
                        "from": u, "to": v, "distance_m": edge["distance_m"],
                        "risk_score": edge["risk_score"], "name": name})
        for length, risk in ((90.0, 0.5), (400.0, 0.0)):
            graph.add_edge(FIRST_ID, FIRST_ID + 1, length=length, risk=risk)
            document["edges"] += [
                {"from": FIRST_ID, "to": FIRST_ID + 1, "distance_m": length,
                 "risk_score": risk},
                {"from": FIRST_ID + 1, "to": FIRST_ID, "distance_m": length,
                 "risk_score": risk}]
        graph.add_edge(FIRST_ID, FIRST_ID, length=1.0, risk=0.0)
        document["edges"].append({"from": FIRST_ID, "to": FIRST_ID,
                                  "distance_m": 1.0, "risk_score": 0.0})
        router = Router.from_networkx(graph)
        expected = Router.from_json(json.dumps(document))
        assert router.edge_count == expected.edge_count == len(document["edges"])
        assert answers(router, pairs()) == answers(expected, pairs())
        shortest = router.route(FIRST_ID, FIRST_ID + 1).shortest
        assert shortest.nodes == [FIRST_ID, FIRST_ID + 1]
        assert shortest.distance_m == 90.0
        route = router.route(FIRST_ID, FIRST_ID + 24).shortest
        names = {}
        for edge in document["edges"]:
            if "name" in edge:
                names.setdefault((edge["from"], edge["to"]), edge["name"])
        steps = [names[step] for step in zip(route.nodes, route.nodes[1:])]
        assert route.streets == [name for i, name in enumerate(steps)
                                 if i == 0 or steps[i - 1] != name]
        assert "Main / Side" in route.streets

    def test_plain_graph(self):
        graph = nx.Graph()
        graph.add_node(1, y=60.0, x=25.0)
        graph.add_node(2, y=60.001, x=25.0)
        graph.add_edge(1, 2, length=111.0, risk=0.25)
        router = Router.from_networkx(graph)
        assert router.edge_count == 2
        assert [r.nodes for r in router.route(2, 1)] == [[2, 1]]

    @pytest.mark.parametrize(("build", "kind", "message"), [
        (lambda g: g.add_node("a", y=0.0, x=0.0), ValueError,
         "node ids must be ints from 0 to 2**64 - 1, got 'a' (str)"),
        (lambda g: g.add_node(-1, y=0.0, x=0.0), ValueError,
         "node ids must be ints from 0 to 2**64 - 1, got -1"),
        (lambda g: g.add_node(2**64, y=0.0, x=0.0), ValueError,
         "node ids must be ints from 0 to 2**64 - 1, got 18446744073709551616"),
        (lambda g: g.add_node(2.5, y=0.0, x=0.0), ValueError,
         "node ids must be ints from 0 to 2**64 - 1, got 2.5 (float)"),
        (lambda g: g.add_node(5, y=0.0), ValueError,
         "node 5 has no 'x' attribute (y: latitude, x: longitude, as OSMnx "
         "writes them)"),
        (lambda g: g.add_node(5, y=math.nan, x=0.0), ValueError,
         "node 5: 'y' must be a finite number, got nan"),
        (lambda g: g.add_edge(1, 2, risk=0.0), ValueError,
         "edge (1, 2) has no 'length' attribute for its length"),
        (lambda g: g.add_edge(1, 2, length=5.0, risk=math.inf), ValueError,
         "edge (1, 2): the 'risk' attribute gave inf, not a finite number"),
        (lambda g: g.add_edge(1, 2, length="5", risk=0.0), ValueError,
         "edge (1, 2): the 'length' attribute gave '5', not a finite number"),
    ])
    def test_refused_graphs(self, build, kind, message):
        graph = nx.DiGraph()
        graph.add_node(1, y=60.0, x=25.0)
        graph.add_node(2, y=60.0, x=25.001)
        build(graph)
        with pytest.raises(kind) as caught:
            Router.from_networkx(graph)
        assert str(caught.value) == message

    def test_not_a_graph(self):
        with pytest.raises(TypeError, match="^expected a networkx graph, got dict$"):
            Router.from_networkx({})


class TestFiles:
    @pytest.mark.parametrize(("content", "message"), [
        (b"", "the file is empty, it holds no graph document"),
        (gzip.compress(b'{"nodes":[],"edges":[]}')[:-9],
         "damaged gzip data (truncated or corrupt): Compressed file ended "
         "before the end-of-stream marker was reached"),
        (b"\x1f\x8bnot gzip", "damaged gzip data (truncated or corrupt): "
         "Unknown compression method"),
        (gzip.compress(b""), "EOF while parsing a value at line 1 column 0"),
        (b"id;lat;lon\n1;60;25\n", "expected value at line 1 column 1"),
        (b'{"nodes":[],"edges":[],}', "trailing comma at line 1 column 24"),
        (b'{"nodes":[{"id":1,"lat":"\xff","lon":0}],"edges":[]}',
         "not UTF-8 text (invalid start byte at byte 25)"),
    ])
    def test_no_graph_document(self, tmp_path, content, message):
        path = tmp_path / "graph.json.gz"
        path.write_bytes(content)
        for load in (load_graph, Router.from_file):
            with pytest.raises(ValueError) as caught:
                load(path)
            assert str(caught.value) == f"{path}: {message}"

    def test_unreadable_files_keep_their_os_error(self, tmp_path):
        for load in (load_graph, Router.from_file):
            with pytest.raises(FileNotFoundError):
                load(tmp_path / "absent.json")
            with pytest.raises(IsADirectoryError):
                load(tmp_path)

    def test_plain_and_gzipped_alike(self, grid_files):
        plain, packed = (Router.from_file(p) for p in grid_files)
        assert dict(plain.table) == dict(packed.table)
        assert answers(plain, pairs(10)) == answers(packed, pairs(10))


def test_missing_extras_are_named():
    # A fresh interpreter where networkx and geopandas cannot be imported.
    script = """
import sys
sys.modules["networkx"] = sys.modules["geopandas"] = None
import norvel
router = norvel.Router.from_json('{"nodes":[{"id":1,"lat":0,"lon":0}],'
                                 '"edges":[{"from":1,"to":1,"distance_m":1,'
                                 '"risk_score":0}]}')
for call in (lambda: norvel.Router.from_networkx(None),
             lambda: router.route(1, 1).to_geodataframe()):
    try:
        call()
    except ImportError as error:
        print(error)
"""
    run = subprocess.run([sys.executable, "-c", script], capture_output=True,
                         text=True, timeout=120, check=True)
    assert run.stdout.splitlines() == [
        "Router.from_networkx needs networkx, which is not installed: pip "
        "install 'norvel_core[networkx]'",
        "Routes.to_geodataframe needs geopandas, which is not installed: pip "
        "install 'norvel_core[geopandas]'"]
