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
