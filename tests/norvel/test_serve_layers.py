"""Risk layers over HTTP: /health lists them, and /route, /routes and
/catchment search on the one asked for, with the library's answers; an
unknown one is a 400 with the library's message, before any pair runs."""

import pytest

import norvel
from live_server import LiveServer, sample_graph

ORIGIN, DESTINATION = 6138118389, 1490965433
STATION = (60.1699, 24.9384)
UNKNOWN = ("the graph has no risk layer 'nite': its layers are 'default', "
           "'day', 'night'")


@pytest.fixture(scope="module")
def served():
    live = LiveServer(sample_graph(), "--workers", "1")
    yield live, norvel.Router.from_file(sample_graph())
    live.stop()


def totals(features):
    return [(f["properties"]["type"], f["properties"]["distance_m"],
             f["properties"]["risk"]) for f in features]


def test_every_request_searches_on_the_layer_asked_for(served):
    live, router = served
    status, health = live.get("/health")
    assert status == 200 and health["risk_layers"] == ["default", "day", "night"]
    assert health["graph"]["risk_layers"] == health["risk_layers"]
    for layer in ("default", "day"):
        want = [(r.type, r.distance_m, r.risk)
                for r in router.route(ORIGIN, DESTINATION, risk=layer)]
        status, body = live.get(f"/route?from_node={ORIGIN}&to_node={DESTINATION}&risk={layer}")
        assert status == 200 and totals(body["features"]) == want
        status, body = live.post("/routes", {"pairs": [[ORIGIN, DESTINATION]], "risk": layer})
        assert status == 200 and totals(body["results"][0]["features"]) == want
    catchment = router.catchment(STATION, 5, risk="day")
    status, body = live.get(f"/catchment?at={STATION[0]},{STATION[1]}&minutes=5&risk=day")
    assert status == 200 and body["nodes"] == len(catchment)
    risks = {f["properties"]["tail"]: f["properties"]["risk"] for f in body["features"]}
    by_node = catchment.nodes.set_index("node")["shortest_risk"]
    assert all(by_node[int(tail)] == risk for tail, risk in risks.items())


def test_an_unknown_layer_is_a_400_with_the_library_message(served):
    live, _ = served
    for path in (f"/route?from_node={ORIGIN}&to_node={DESTINATION}&risk=nite",
                 f"/catchment?at_node={ORIGIN}&minutes=5&risk=nite"):
        assert live.get(path) == (400, {"error": UNKNOWN})
    assert live.post("/routes", {"pairs": [[ORIGIN, DESTINATION]] * 3, "risk": "nite"}) == (
        400, {"error": UNKNOWN})


def test_steps_on_a_layer_walk_the_parallel_edge_it_chose(tmp_path):
    """Two parallel edges 1 -> 2 of one length: the document's risks take
    "Quiet Lane", the layer "swapped" (their risks the other way round)
    "Fast Street", in its streets and its steps alike."""
    import json

    pair = [{"from": 1, "to": 2, "distance_m": 100.0, "risk_score": 0.5, "name": "Fast Street"},
            {"from": 1, "to": 2, "distance_m": 100.0, "risk_score": 0.01, "name": "Quiet Lane"}]
    document = {"nodes": [{"id": k, "lat": 60.0 + k * 0.001, "lon": 25.0} for k in (1, 2, 3)],
                "edges": pair + [{"from": 2, "to": 3, "distance_m": 100.0, "risk_score": 0.1,
                                  "name": "End Road"}],
                "risk_layers": {"swapped": [0.01, 0.5, 0.1]}}
    path = tmp_path / "parallel.json"
    path.write_text(json.dumps(document))
    live = LiveServer(path, "--workers", "1")
    try:
        for layer, street, risk in (("default", "Quiet Lane", 0.01), ("swapped", "Fast Street", 0.01)):
            status, body = live.get(f"/route?from_node=1&to_node=3&risk={layer}&steps=true")
            assert status == 200
            (feature,) = body["features"]
            assert feature["properties"]["streets"] == [street, "End Road"]
            steps = feature["properties"]["steps"]
            assert [(s["street"], s["risk"]) for s in steps] == [
                (street, risk), ("End Road", 0.1), ("End Road", 0.0)]
    finally:
        live.stop()
