"""The bulk read of one-record-a-line documents against a full parse: the
same table on random documents, and a full parse wherever a line is not of
that form."""

import json
import random

import numpy as np
import pytest
from norvel_core import PyGraph

from norvel import _scan
from norvel.table import table_from_document, table_from_json

NUMBERS = ["0", "-0", "-0.0", "7", "48.8566", "-122.4194", "2.1790087",
           "60.16432490", "1e-05", "-2.5E+2", "0.000000001", "123456789.012345",
           "1.2345678901234567", "89.99999999999999", "-179.9999999"]


def number_text(rng, plain=False):
    if plain:
        return f"{rng.uniform(-180, 180):.{rng.randint(1, 9)}f}"
    pick = rng.random()
    if pick < 0.3:
        return rng.choice(NUMBERS)
    if pick < 0.6:
        return repr(round(rng.uniform(-180, 180), rng.randint(0, 9)))
    return repr(rng.uniform(-180, 180))


def node_id(rng):
    return rng.choice([0, 1, 2**64 - 1, 2**53 + 1, rng.randrange(2**64),
                       rng.randrange(10**12)])


def one_record_a_line(rng, nodes, edges, between="\n],\n"):
    node_lines = [f'{{"id":{i},"lat":{a},"lon":{b}}}' for i, a, b in nodes]
    edge_lines = []
    for source, target, extra in edges:
        edge_lines.append(f'{{"from":{source},"to":{target},"distance_m":'
                          f'{number_text(rng)},"risk_score":0.1{extra}}}')
    return ('{"nodes":[\n' + ",\n".join(node_lines) + between + '"edges":[\n'
            + "".join(line + ",\n" for line in edge_lines[:-1])
            + (edge_lines[-1] + "\n" if edge_lines else "") + "]}\n")


def random_document(rng):
    ids = [node_id(rng) for _ in range(rng.randint(1, 40))]
    ids += rng.sample(ids, min(3, len(ids)))          # repeated ids
    plain = rng.random() < 0.5
    nodes = [(i, number_text(rng, plain), number_text(rng, plain)) for i in ids]
    ends = ids + [node_id(rng)]                       # an end that is no node
    extras = ["", ',"familiarity":null', ',"familiarity":2.5', ',"note":"x"']
    edges = [(rng.choice(ends), rng.choice(ends), rng.choice(extras))
             for _ in range(rng.randint(1, 60))]
    edges.sort(key=lambda e: e[0] if rng.random() < 0.5 else 0)
    return one_record_a_line(rng, nodes, edges,
                             rng.choice(["\n],\n", "\n],"]))


def same_tables(table, expected):
    assert np.array_equal(table.ids, expected.ids)
    # Equal doubles (json reads the integer -0 as 0, not -0.0).
    assert np.array_equal(table.lats, expected.lats)
    assert np.array_equal(table.lons, expected.lons)
    assert np.array_equal(table.routable, expected.routable)
    for mine, theirs in zip(table.edges, expected.edges):
        assert np.array_equal(mine, theirs)
    assert table.has_names == expected.has_names


def tables(text):
    graph = PyGraph.from_json(text)
    data = text.encode()
    table = table_from_json(data, graph.node_count(), graph.edge_count())
    return table, table_from_document(json.loads(text)), graph


def test_plain_decimals_take_the_shortest_way(sample_path):
    # The converter writes every coordinate as digits.digits.
    from norvel import read_graph_bytes
    data = read_graph_bytes(sample_path)
    graph = PyGraph.from_json(data.decode())
    nodes = _scan.scan_nodes(data, graph.node_count())
    plain = _scan._plain_nodes(_scan._Windows(data), len(b'{"nodes":[\n'),
                               data.index(b"\n],") + 1, True)
    for mine, theirs in zip(plain, nodes):
        assert np.array_equal(mine, theirs)
    same_tables(table_from_json(data, graph.node_count(), graph.edge_count()),
                table_from_document(json.loads(data)))


@pytest.mark.parametrize("piece", [_scan._PIECE, 100, 1])
def test_random_documents_read_in_bulk_as_parsed_whole(monkeypatch, piece):
    # Pieces of one line and of a few lines, as in a large document.
    monkeypatch.setattr(_scan, "_PIECE", piece)
    rng = random.Random(13 + piece)
    for _ in range(300):
        text = random_document(rng)
        table, expected, graph = tables(text)
        nodes = _scan.scan_nodes(text.encode(), graph.node_count())
        assert nodes is not None, text
        assert _scan.scan_edges(text.encode(), nodes.edge_lines,
                                graph.edge_count()) is not None
        same_tables(table, expected)


@pytest.mark.parametrize("edge_lines", [
    # An array spanning lines hides an edge-like object, and a line with two
    # edges makes up the count.
    ['{"from":1,"to":2,"distance_m":1,"risk_score":0,"x":[{"a":1},',
     '{"from":5,"to":6,"distance_m":1,"risk_score":0}]},',
     '{"from":7,"to":1,"distance_m":1,"risk_score":0},'
     '{"from":8,"to":1,"distance_m":1,"risk_score":0}'],
    ['{"from":1,"to":2,"distance_m":1,"risk_score":0,"name":"Mannerheimintie"},',
     '{"from":2,"to":1,"distance_m":1,"risk_score":0,"name":"Kaivokatu"}'],
    ['{"fr\\u006fm":1,"to":2,"distance_m":1,"risk_score":0},',
     '{"from":2,"to":1,"distance_m":1,"risk_score":0}'],
    ['{"to":2,"from":1,"distance_m":1,"risk_score":0},',
     '{"from":2,"to":1,"distance_m":1,"risk_score":0}'],
    ['{"from":1,"to":2,"distance_m":1,"risk_score":0},'
     '{"from":2,"to":1,"distance_m":1,"risk_score":0}'],
])
def test_other_edge_lines_are_parsed_whole(edge_lines):
    text = ('{"nodes":[\n{"id":1,"lat":60,"lon":25},\n{"id":2,"lat":60.1,'
            '"lon":25.1},\n{"id":7,"lat":60,"lon":25},\n{"id":8,"lat":60,'
            '"lon":25}\n],\n"edges":[\n' + "\n".join(edge_lines) + "\n]}")
    table, expected, graph = tables(text)
    nodes = _scan.scan_nodes(text.encode(), graph.node_count())
    assert _scan.scan_edges(text.encode(), nodes.edge_lines,
                            graph.edge_count()) is None
    same_tables(table, expected)


@pytest.mark.parametrize("node_lines", [
    ['{"id":1,"lat":60,"lon":25,"ele":12.5},', '{"id":2,"lat":60.1,"lon":25.1}'],
    ['{"id":1,"lat":60,"lon":25.5,"e":{}},', '{"id":2,"lat":60.1,"lon":25.1}'],
    ['{"id":1,"lon":25,"lat":60},', '{"id":2,"lat":60.1,"lon":25.1}'],
    ['{"id":1,"lat":60,"lon":25},{"id":2,"lat":60.1,"lon":25.1}'],
    ['{"id":1, "lat":60,"lon":25},', '{"id":2,"lat":60.1,"lon":25.1}'],
    ['{"id":1,"lat":60,"lon":25},\r', '{"id":2,"lat":60.1,"lon":25.1}\r'],
    ['[1,60,25],', '{"id":2,"lat":60.1,"lon":25.1}'],
])
def test_other_node_lines_are_parsed_whole(node_lines):
    text = ('{"nodes":[\n' + "\n".join(node_lines) + '\n],\n"edges":[\n'
            '{"from":1,"to":2,"distance_m":1,"risk_score":0}\n]}')
    table, expected, graph = tables(text)
    assert _scan.scan_nodes(text.encode(), graph.node_count()) is None
    same_tables(table, expected)
