"""Catchment.compare against its two catchments: one place on two risk
layers (a document and the same one with risk_score replaced), and on two
graphs (before and after streets close); and norvel catchment --compare."""

import json
import subprocess
import sys

import numpy as np
import pytest

from live_server import sample_graph
from norvel import Router
from norvel.catchment import COMPARED
from norvel.geo import read_document

STATION = (60.1699, 24.9384)


@pytest.fixture(scope="module")
def document():
    return read_document(sample_graph())


@pytest.fixture(scope="module")
def day(document):
    return Router.from_json(json.dumps(document))


def replaced(document, risks=None, keep=None):
    """The document with ``risks`` as its risk_score, and only the edges
    ``keep`` says."""
    edges = []
    for index, edge in enumerate(document["edges"]):
        if keep is not None and not keep[index]:
            continue
        edges.append(dict(edge, risk_score=float(risks[index])) if risks is not None
                     else edge)
    # The document's own layers keep one risk per edge of the edges kept.
    layers = {name: [risk for index, risk in enumerate(values)
                     if keep is None or keep[index]]
              for name, values in document.get("risk_layers", {}).items()}
    return {**document, "edges": edges, "risk_layers": layers}


def sides(catchment):
    """Each node's compared values in one catchment."""
    frame = catchment.nodes
    return {int(row.node): [float(getattr(row, name)) for name in COMPARED]
            for row in frame.itertuples(index=False)}


def check(this, other, frame):
    """Each row holds the node's values in both catchments, and their change."""
    expected = list(this) + [n for n in other if n not in this]
    assert frame["node"].tolist() == expected
    these, those = sides(this), sides(other)
    for row in frame.itertuples(index=False):
        here, there = these.get(row.node), those.get(row.node)
        got_here = [getattr(row, f"{name}_this") for name in COMPARED]
        got_there = [getattr(row, f"{name}_other") for name in COMPARED]
        change = [getattr(row, f"change_{name}") for name in COMPARED]
        if here is None:
            assert row.missing_from == "this" and np.isnan(got_here + change).all()
        else:
            assert got_here == here
        if there is None:
            assert row.missing_from == "other" and np.isnan(got_there + change).all()
        else:
            assert got_there == there
        if here is not None and there is not None:
            assert row.missing_from is None
            assert change == [a - b for a, b in zip(here, there)]


def test_one_place_on_two_layers(document, day):
    rng = np.random.default_rng(3)
    # Night: a third of the streets, taken at random, darker by 0.8 per km.
    risks = np.array([edge["risk_score"] + (rng.random() < 0.3) * 0.8 * edge["distance_m"] / 1000
                      for edge in document["edges"]])
    night = Router.from_json(json.dumps(replaced(document, risks)))
    this = night.catchment(STATION, 6.0)
    other = day.catchment(STATION, 6.0)
    frame = this.compare(other)
    check(this, other, frame)
    # The shortest walks are the same streets: only the risks and detours move.
    assert frame["missing_from"].isna().all()
    assert (frame["change_shortest_m"] == 0).all()
    assert (frame["change_shortest_risk"] >= 0).all()
    assert (frame["change_detour_m"] != 0).sum() > 50
    assert list(frame.columns[:3]) == ["node", "lat", "lon"]
    assert frame.columns[-1] == "missing_from"


def test_two_graphs_before_and_after_streets_close(document, day):
    rng = np.random.default_rng(4)
    keep = rng.random(len(document["edges"])) > 0.15
    after = Router.from_json(json.dumps(replaced(document, keep=keep)))
    this = after.catchment(STATION, 5.0, direction="from")
    other = day.catchment(STATION, 5.0, direction="from")
    frame = this.compare(other)
    check(this, other, frame)
    assert (frame["missing_from"] == "this").sum() > 10
    # Closing streets never shortens a walk.
    both = frame[frame["missing_from"].isna()]
    assert (both["change_shortest_m"] >= 0).all()
    assert len(this.compare(this)) == len(this)
    with pytest.raises(TypeError, match="other must be a Catchment, got DataFrame"):
        this.compare(frame)


def norvel_command(*arguments):
    return subprocess.run([sys.executable, "-m", "norvel", *map(str, arguments)],
                          capture_output=True, text=True, timeout=300)


def test_the_command_prints_both_and_the_change(day):
    place = f"{STATION[0]},{STATION[1]}"
    run = norvel_command("catchment", sample_graph(), place, "--minutes", "5",
                         "--compare", "default")
    assert run.returncode == 0, run.stderr
    alone = norvel_command("catchment", sample_graph(), place, "--minutes", "5",
                           "--risk", "default")
    assert alone.returncode == 0, alone.stderr
    head, *summary = alone.stdout.splitlines()
    nodes = len(day.catchment(STATION, 5.0))
    assert summary[0] == f"nodes within 5 min (to the place): {nodes}"
    assert run.stdout.splitlines() == [head] + [f"default: {line}" for line in summary] * 2 + [
        f"change, default against default: {nodes} nodes in both, 0 only on default, "
        f"0 only on default",
        "change in safety detour: median +0.0 m, 90th percentile +0.0 m; longer from 0 "
        "nodes, shorter from 0",
        "change in the shortest walk's risk: median +0.0000, 90th percentile +0.0000"]
    run = norvel_command("catchment", sample_graph(), place, "--compare", "nite")
    assert (run.returncode, run.stderr) == (
        1, "norvel catchment: the graph has no risk layer 'nite': its layers are 'default', 'day', 'night'\n")


def test_the_service_gives_each_segment_its_change(document, day):
    from norvel.serve.answers import Answers
    from norvel.serve.catchments import catchment_change_geojson

    risks = np.array([edge["risk_score"] * (1.0 + 3.0 * (index % 4 == 0))
                      for index, edge in enumerate(document["edges"])])
    night = Router.from_json(json.dumps(replaced(document, risks)))
    this, other = night.catchment(STATION, 6.0), day.catchment(STATION, 5.0)
    collection = json.loads(catchment_change_geojson(this, other, "day", night.table, 10_000))
    frame = this.compare(other).set_index("node")
    plain = json.loads(Answers(night, 10.0).catchment(b"at=60.1699,24.9384&minutes=6")[1])
    assert [f["properties"] for f in plain["features"]] == [
        {name: value for name, value in f["properties"].items()
         if name not in ("detour_change_m", "risk_change")} for f in collection["features"]]
    assert {k: v for k, v in collection.items() if k not in ("features", "compare")} == {
        k: v for k, v in plain.items() if k != "features"}
    nulls = 0
    for feature in collection["features"]:
        properties = feature["properties"]
        row = frame.loc[properties["tail"]]
        if row["missing_from"] == "other":
            nulls += 1
            assert properties["detour_change_m"] is None and properties["risk_change"] is None
        else:
            assert properties["detour_change_m"] == row["change_detour_m"]
            assert properties["risk_change"] == row["change_shortest_risk"]
    assert nulls > 10 and collection["compare"] == {
        "risk": "day", "nodes": len(other), "only_there": 0}

    answers = Answers(day, 10.0, max_catchment_nodes=len(other))
    status, body = answers.catchment(b"at=60.1699,24.9384&minutes=5&compare=default")
    assert status == 200
    changes = [f["properties"]["detour_change_m"] for f in json.loads(body)["features"]]
    assert len(changes) > 1000 and set(changes) == {0.0}
    assert answers.catchment(b"at=60.1699,24.9384&minutes=5&compare=nite") == (
        400, b'{"error":"the graph has no risk layer \'nite\': its layers are \'default\', \'day\', \'night\'"}')
    status, body = answers.catchment(b"at=60.1699,24.9384&minutes=6&compare=default")
    assert status == 400 and b"more than this service's limit" in body
