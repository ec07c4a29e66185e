"""Risk layers with hours, and requests by the time of day (``at=``): the
answer is the one of ``risk=`` the layer whose hours hold then, through
every interface; the hours survive documents and snapshots."""

import datetime
import gzip
import json
import re
import subprocess
import sys
import urllib.error
import urllib.request

import numpy as np
import norvel_core
import pytest

import norvel
from live_server import LiveServer, sample_graph

ORIGIN, DESTINATION = 6138118389, 1490965433
BOTH = ("risk= and at= both choose the risk layer: give one of them "
        "(at= searches on the layer whose hours hold then)")


@pytest.fixture(scope="module")
def hours_file(tmp_path_factory):
    """The sample graph with the converter's hours: day 6-20, night 20-6,
    as written again."""
    router = norvel.Router.from_file(sample_graph())
    router.set_hours("day", 6, 20)
    router.set_hours("night", 20, 6)
    path = tmp_path_factory.mktemp("hours") / "graph.json"
    router.to_document(path)
    return path


def without_hours(text):
    """A document's text without its member risk_layer_hours."""
    return re.sub(r',\n"risk_layer_hours":\{[^}]*\}', "", text)


@pytest.fixture(scope="module")
def plain_file(tmp_path_factory):
    """The sample graph without hours."""
    path = tmp_path_factory.mktemp("plain") / "graph.json"
    path.write_text(without_hours(gzip.decompress(sample_graph().read_bytes()).decode()))
    return path


@pytest.fixture(scope="module")
def router(hours_file):
    return norvel.Router.from_file(hours_file)


def totals(routes):
    return [(r.type, r.distance_m, r.risk, r.nodes) for r in routes]


def test_at_searches_on_the_layer_whose_hours_hold(router):
    for at, layer in (("20:00", "night"), ("05:59", "night"), ("06:00", "day"),
                      ("19:59", "day"), (datetime.time(23, 30), "night"),
                      (datetime.datetime(2024, 5, 1, 12, 0,
                                         tzinfo=datetime.timezone.utc), "day")):
        routes = router.route(ORIGIN, DESTINATION, at=at)
        assert routes.risk == layer
        assert totals(routes) == totals(router.route(ORIGIN, DESTINATION, risk=layer))
    assert router.route(ORIGIN, DESTINATION).risk == "default"
    pairs = [(ORIGIN, DESTINATION), (DESTINATION, ORIGIN)]
    for at_many, by_name in zip(router.route_many(pairs, at="22:00"),
                                router.route_many(pairs, risk="night")):
        assert at_many.risk == "night" and totals(at_many) == totals(by_name)
    assert totals(router.front(ORIGIN, DESTINATION, at="22:00")) == totals(
        router.front(ORIGIN, DESTINATION, risk="night"))
    by_time = router.catchment(ORIGIN, 5, at="22:00")
    by_name = router.catchment(ORIGIN, 5, risk="night")
    assert by_time.risk == "night"
    assert by_time.nodes.equals(by_name.nodes)
    assert router.matrix([ORIGIN], [DESTINATION], at="22:00").equals(
        router.matrix([ORIGIN], [DESTINATION], risk="night"))


def test_access_and_batch_by_time(router):
    pandas = pytest.importorskip("pandas")
    lat, lon = router.table[ORIGIN]
    origins = pandas.DataFrame({"lat": [lat], "lon": [lon]})
    places = pandas.DataFrame({"lat": [router.table[DESTINATION][0]],
                               "lon": [router.table[DESTINATION][1]]})
    by_time = norvel.access(router, origins, places, 20, at="21:00")
    by_name = norvel.access(router, origins, places, 20, risk="night")
    assert by_time.origins.equals(by_name.origins)
    from norvel.batch import route_pairs
    pairs = [(ORIGIN, DESTINATION)]
    assert route_pairs(router, pairs, at="12:00", progress=False).equals(
        route_pairs(router, pairs, risk="day", progress=False))


def test_the_last_layer_added_wins_and_equal_hours_hold_all_day(router):
    late = norvel.Router.from_file(sample_graph())
    late.set_hours("night", 20, 6)
    late.add_risk("late", late.session.layer_risks("night") * 2, hours=(22, 2))
    assert [late.route(ORIGIN, DESTINATION, at=t).risk
            for t in ("21:59", "22:00", "01:59", "02:00")] == [
                "night", "late", "late", "night"]
    late.set_hours("day", 7.5, 7.5)  # all day, but added before "late"
    assert [late.route(ORIGIN, DESTINATION, at=t).risk
            for t in ("07:29", "12:00", "23:00")] == ["day", "day", "late"]


def test_the_sample_carries_the_converters_hours(router):
    sample = norvel.Router.from_file(sample_graph())
    for at, layer in (("22:30", "night"), ("05:59", "night"), ("06:00", "day"),
                      ("19:59", "day"), ("20:00", "night")):
        routes = sample.route(ORIGIN, DESTINATION, at=at)
        assert routes.risk == layer
        assert totals(routes) == totals(sample.route(ORIGIN, DESTINATION, risk=layer))
    # Its document is the one a Router writes with those hours.
    assert [sample.route(ORIGIN, DESTINATION, at=f"{hour:02}:00").risk
            for hour in range(24)] == [router.route(ORIGIN, DESTINATION,
                                                    at=f"{hour:02}:00").risk
                                       for hour in range(24)]


def test_what_is_refused(plain_file):
    router = norvel.Router.from_file(plain_file)
    with pytest.raises(ValueError) as both:
        router.route(ORIGIN, DESTINATION, risk="night", at="22:00")
    assert str(both.value) == BOTH
    with pytest.raises(ValueError, match='^at must be a time "HH:MM" from 00:00 '
                                         "to 23:59, got '24:00'$"):
        router.catchment(ORIGIN, at="24:00")
    with pytest.raises(TypeError, match="^at must be a datetime.time"):
        router.route(ORIGIN, DESTINATION, at=22.5)
    with pytest.raises(ValueError, match=r'^the hours of risk layer "night" must '
                                         r"be within \[0, 24\), got 24$"):
        router.set_hours("night", 20, 24)
    with pytest.raises(ValueError, match='carries no hours'):
        router.set_hours("default", 20, 6)
    with pytest.raises(TypeError, match="^end must be a real number, got str$"):
        router.set_hours("night", 20, "6")
    with pytest.raises(ValueError, match='"x" must be within'):
        router.add_risk("x", router.session.layer_risks("night"), hours=(-1, 6))
    assert "x" not in router.risk_layers
    # Without hours, every time is "default"'s.
    assert router.route(ORIGIN, DESTINATION, at="22:00").risk == "default"


def test_documents_and_snapshots_keep_the_hours(router, hours_file, plain_file, tmp_path):
    text = hours_file.read_text()
    assert '"risk_layer_hours":{"day":[6.0,20.0],"night":[20.0,6.0]}' in text
    router.save(tmp_path / "graph.snap")
    mapped = norvel.Router.from_file(tmp_path / "graph.snap")
    assert mapped.route(ORIGIN, DESTINATION, at="22:00").risk == "night"
    # A graph without hours: no section for them, no member.
    plain = norvel.Router.from_file(plain_file)
    plain.save(tmp_path / "plain.snap")
    plain.to_document(tmp_path / "plain.json")
    assert b"layer_hours" not in (tmp_path / "plain.snap").read_bytes()
    assert "risk_layer_hours" not in (tmp_path / "plain.json").read_text()
    # norvel_core reads the document as it reads one without the member.
    core = norvel_core.PyGraph.from_json(text)
    without = norvel_core.PyGraph.from_json((tmp_path / "plain.json").read_text())
    assert ([r.total_risk for r in norvel_core.compute_safe_routes(core, ORIGIN, DESTINATION, 0.0)]
            == [r.total_risk for r in norvel_core.compute_safe_routes(without, ORIGIN, DESTINATION, 0.0)])


@pytest.mark.parametrize("member, message", [
    ('{"nightly":[20,6]}', '`risk_layer_hours` gives hours to "nightly", which is '
                           'no risk layer of the document at line 1 column'),
    ('{"night":[20,25]}', 'the hours of risk layer "night" must be within [0, 24), got 25'),
    ('{"night":[20]}', 'the hours of risk layer "night" must be an array of two numbers'),
    ('{"default":[1,2]}', 'the layer "default" (the document\'s risk_score) carries no hours'),
    ('[]', '`risk_layer_hours` must be an object'),
])
def test_documents_with_wrong_hours_are_refused(member, message):
    document = {"nodes": [{"id": 1, "lat": 60.0, "lon": 24.0},
                          {"id": 2, "lat": 60.001, "lon": 24.0}],
                "edges": [{"from": 1, "to": 2, "distance_m": 111.0, "risk_score": 0.1}],
                "risk_layers": {"night": [0.5]}}
    text = json.dumps(document)[:-1] + f',"risk_layer_hours":{member}}}'
    with pytest.raises(ValueError) as refused:
        norvel.Router.from_json(text)
    assert message in str(refused.value)
    norvel_core.PyGraph.from_json(text)  # the module skips the member


def get(url):
    try:
        with urllib.request.urlopen(url, timeout=60) as answer:
            return answer.status, json.loads(answer.read())
    except urllib.error.HTTPError as error:
        return error.code, json.loads(error.read())


def post(url, body):
    request = urllib.request.Request(url, data=json.dumps(body).encode(),
                                     headers={"Content-Type": "application/json"})
    return get(request)


def test_the_service_takes_time(router, hours_file):
    live = LiveServer(hours_file, "--workers", "1")
    try:
        ends = f"from_node={ORIGIN}&to_node={DESTINATION}"
        status, by_time = get(f"{live.url}/route?{ends}&time=22:30")
        assert status == 200 and by_time["risk_layer"] == "night"
        _, by_name = get(f"{live.url}/route?{ends}&risk=night")
        assert by_name["features"] == by_time["features"]
        _, front = get(f"{live.url}/front?{ends}&time=12:00")
        assert front["risk_layer"] == "day"
        _, catchment = get(f"{live.url}/catchment?at_node={ORIGIN}&minutes=3&time=05:00")
        assert catchment["risk_layer"] == "night"
        status, refused = get(f"{live.url}/route?{ends}&time=22:30&risk=day")
        assert status == 400 and refused["error"] == BOTH
        _, description = get(f"{live.url}/openapi.json")
        route = description["paths"]["/route"]["get"]["parameters"]
        (layer,) = [parameter for parameter in route if parameter["name"] == "layer"]
        assert [sorted(branch["properties"]) for branch in layer["schema"]["oneOf"]] == [
            ["risk"], ["time"]]

        # A batch by the time of day: each pair as GET /route gives it then.
        pairs = [[ORIGIN, DESTINATION], [DESTINATION, ORIGIN]]
        status, batch = post(f"{live.url}/routes", {"pairs": pairs, "time": "22:30"})
        assert status == 200 and batch["risk_layer"] == "night"
        for (origin, destination), result in zip(pairs, batch["results"]):
            _, alone = get(f"{live.url}/route?from_node={origin}&to_node={destination}"
                           "&time=22:30")
            assert result == alone and result["risk_layer"] == "night"
        _, by_day = post(f"{live.url}/routes", {"pairs": pairs[:1], "time": "12:00"})
        assert by_day["risk_layer"] == "day"
        _, plain = post(f"{live.url}/routes", {"pairs": pairs[:1]})
        assert plain["risk_layer"] == "default"
        # Refused as GET /route and POST /route refuse them, before any pair.
        _, late = get(f"{live.url}/route?{ends}&time=24:00")
        _, number = post(f"{live.url}/route", {"from_node": ORIGIN, "to_node": DESTINATION,
                                               "time": 22})
        # A member given null is given, and no string, as POST /route says.
        _, no_time = post(f"{live.url}/route", {"from_node": ORIGIN, "to_node": DESTINATION,
                                                "time": None})
        _, no_risk = post(f"{live.url}/route", {"from_node": ORIGIN, "to_node": DESTINATION,
                                                "risk": None, "time": "22:30"})
        assert (no_time["error"], no_risk["error"]) == (
            "'time' must be a string, got null", "'risk' must be a string, got null")
        for body, error in (({"time": "24:00"}, late["error"]),
                            ({"time": 22}, number["error"]),
                            ({"time": None}, no_time["error"]),
                            ({"risk": None, "time": "22:30"}, no_risk["error"]),
                            ({"time": "22:30", "risk": "day"}, BOTH)):
            assert post(f"{live.url}/routes", {"pairs": pairs, **body}) == (
                400, {"error": error})
        assert late["error"] == ('at must be a time "HH:MM" from 00:00 to 23:59, '
                                 "got '24:00'")
        assert number["error"] == "'time' must be a string, got 22"
        batch_body = description["paths"]["/routes"]["post"]["requestBody"]
        schema = batch_body["content"]["application/json"]["schema"]
        (in_route,) = [branch["properties"]["time"] for branch in layer["schema"]["oneOf"]
                       if "time" in branch["properties"]]
        assert schema["properties"]["time"] == in_route
    finally:
        live.stop()


def test_the_command_line_takes_at(hours_file):
    run = subprocess.run([sys.executable, "-m", "norvel", "route", str(hours_file),
                          str(ORIGIN), str(DESTINATION), "--at", "22:30"],
                         capture_output=True, text=True, check=True)
    assert run.stdout.splitlines()[0] == "risk layer at 22:30: night"


def test_the_converter_gives_day_and_night_their_hours():
    from norvel.osm.rules import DEFAULT_LAYER_HOURS

    assert dict(DEFAULT_LAYER_HOURS) == {"day": (6.0, 20.0), "night": (20.0, 6.0)}
