"""norvel serve's OpenAPI description against the service that serves it: a
client generated from it (schemathesis) gets only documented answers and
mostly gets past validation to the graph; every parameter the service
reads is described and every one described is read; the examples are
nodes and points of the graph served; the patterns of its points hold
exactly the numbers of their interval."""

import json
import random
import re
import subprocess
import sys
from decimal import Decimal
from urllib.parse import urlencode

import pytest

import norvel
from norvel.serve.patterns import decimal_range
from live_server import LiveServer, sample_graph

# The checks of every answer, and the warnings that fail the run: generated
# requests refused for their form ("validation_mismatch") or missing the
# graph ("missing_test_data", "low_valid_rate") mean a description that
# says less than the service asks. A 503 or a 504 is the service's
# documented word of a full queue or a time limit; any other 5xx is a
# fault. Only POST /routes answers a malformed pair in its entry rather than
# with a 400, as its description says, so it may accept data outside its
# schema; and POST /route, whose numbers (points in the graph's box, boxes
# in its south-west quarter) the description narrows to lead a client to
# routes, as a pattern does a query's text, where the service takes any
# point on Earth.
CLIENT_CONFIG = """
[warnings]
display = ["missing_auth", "missing_test_data", "validation_mismatch",
           "missing_deserializer", "unsupported_regex", "method_not_allowed",
           "low_valid_rate"]
fail-on = true

[checks]
enabled = false
not_a_server_error = { enabled = true, expected-statuses = ["2xx", "3xx", "4xx", "503", "504"] }
status_code_conformance.enabled = true
content_type_conformance.enabled = true
response_headers_conformance.enabled = true
response_schema_conformance.enabled = true
positive_data_acceptance = { enabled = true, expected-statuses = ["2xx", "404", "422", "503", "504"] }
negative_data_rejection.enabled = true
unsupported_method.enabled = true

[[operations]]
include-path = "/routes"
checks.negative_data_rejection.enabled = false

[[operations]]
include-path = "/route"
include-method = "POST"
checks.negative_data_rejection.enabled = false
"""
# Schemathesis warns of data that misses the graph only when none of an
# operation's requests reached it, examples included: of the requests it
# makes up itself, at least this share must (points that land anywhere
# on Earth reach the sample's few square kilometres almost never).
REACHED = 0.4


@pytest.fixture(scope="module")
def server():
    live = LiveServer(sample_graph(), "--workers", "2")
    yield live
    assert live.stop() == 0, live.output()


@pytest.fixture(scope="module")
def description(server):
    status, document = server.get("/openapi.json")
    assert status == 200
    return document


def test_a_client_made_from_the_description_gets_documented_answers(server, tmp_path):
    config = tmp_path / "schemathesis.toml"
    config.write_text(CLIENT_CONFIG)
    report = tmp_path / "report.json"
    run = subprocess.run(
        [sys.executable, "-m", "schemathesis.cli", "--no-color", "--config-file", str(config),
         "run", f"{server.url}/openapi.json", "--max-examples", "15", "--seed", "1",
         "--workers", "1", "--phases", "examples,coverage,fuzzing",
         "--report", "json", "--report-json-path", str(report)],
        capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert run.returncode == 0, run.stdout[-6000:] + run.stderr[-2000:]
    assert "No issues found" in run.stdout and "WARNINGS" not in run.stdout, run.stdout
    rates = json.loads(report.read_text())["valid_rates"]
    assert {"GET /route", "POST /route", "GET /front", "GET /catchment",
            "POST /routes"} <= set(rates)
    for operation, phases in rates.items():
        for phase in ("coverage", "fuzzing"):
            made = phases.get(phase, {})
            total = sum(made.values())
            assert made.get("rejected", 0) == 0, (operation, phase, made)
            assert made.get("accepted", 0) >= REACHED * total, (operation, phase, made)


def documented_names(operation):
    """The query parameters an operation describes: a parameter of one of
    several forms (an end) is an object whose members go in the query."""
    names = set()
    for parameter in operation.get("parameters", []):
        schema = parameter["schema"]
        if schema.get("type") == "object":
            assert (parameter["style"], parameter["explode"]) == ("form", True)
            names |= {name for branch in schema["oneOf"] for name in branch["properties"]}
        else:
            names.add(parameter["name"])
    return names


@pytest.mark.parametrize("path", ["/nearest", "/route", "/front", "/catchment", "/network"])
def test_the_parameters_described_are_those_the_service_reads(server, description, path):
    status, body = server.get(f"{path}?unknown=1")
    assert status == 400
    known = re.fullmatch(r"unknown parameter 'unknown' \(known: (.*)\)", body["error"])
    assert set(known.group(1).split(", ")) == documented_names(description["paths"][path]["get"])


def examples(operation):
    """The query of an operation's examples, and the defaults of the
    others."""
    query = {}
    for parameter in operation["parameters"]:
        if "example" in parameter:
            value = parameter["example"]
            query.update(value if isinstance(value, dict) else {parameter["name"]: value})
        elif "default" in parameter["schema"]:
            default = parameter["schema"]["default"]
            query[parameter["name"]] = json.dumps(default) if isinstance(default, bool) else default
    return query


def test_the_examples_are_nodes_and_points_of_the_graph_served(server, description):
    router = norvel.Router.from_file(sample_graph())
    route = description["paths"]["/route"]["get"]
    origin = {p["name"]: p for p in route["parameters"]}["origin"]
    (by_point, by_node) = origin["schema"]["oneOf"]
    example = origin["example"]["from"]
    node = router.nearest(*map(float, example.split(",")))
    assert node.distance_m == 0.0
    # The same place as a node, and the graph's own layers.
    assert re.fullmatch(by_point["properties"]["from"]["pattern"], example)
    by_name, _ = {p["name"]: p for p in route["parameters"]}["layer"]["schema"]["oneOf"]
    assert by_name["properties"]["risk"]["enum"] == router.risk_layers
    for path in ("/route", "/front", "/nearest", "/catchment", "/network"):
        query = examples(description["paths"][path]["get"])
        status, body = server.get(f"{path}?{urlencode(query)}")
        assert status == 200, (path, query, body)
        if path in ("/route", "/front"):
            assert body["origin"] == {"node": node.node, "distance_m": 0.0}
    status, body = server.post("/routes", {"pairs": description["paths"]["/routes"]["post"][
        "requestBody"]["content"]["application/json"]["schema"]["properties"]["pairs"]["example"]})
    assert status == 200 and all("features" in r for r in body["results"]), body


def test_every_point_of_the_graph_is_in_its_pattern_and_far_ones_are_not(description):
    router = norvel.Router.from_file(sample_graph())
    route = description["paths"]["/route"]["get"]
    (by_point, _), = [p["schema"]["oneOf"] for p in route["parameters"] if p["name"] == "origin"]
    pattern = re.compile(by_point["properties"]["from"]["pattern"])
    assert all(pattern.fullmatch(f"{lat!r},{lon!r}") for lat, lon in router.table.values())
    for far in ("0,0", "60.1,24.94", "60.17,25.5", "-60.17,24.94", "60.17"):
        assert not pattern.fullmatch(far)


def test_a_pattern_holds_exactly_the_numbers_of_its_interval():
    rng = random.Random(7)
    for _ in range(2000):
        digits = rng.randint(0, 3)
        low = rng.randint(-2500, 2500)
        high = low + rng.choice([0, 1, 3, 50, 3000])
        pattern = re.compile(decimal_range(low, high, digits))
        for _ in range(30):
            steps = rng.randint(low - 30, high + 30)
            magnitude = str(abs(steps)).rjust(digits + 1, "0")
            text = ("-" if steps < 0 else "") + (
                magnitude if digits == 0 else f"{magnitude[:-digits]}.{magnitude[-digits:]}")
            text += rng.choice(["", "0", "5", "01", "9"] if digits else ["", ".0", ".5"])
            if "." in text and rng.random() < 0.3:  # 60.170 written 60.17
                text = text.rstrip("0").rstrip(".")
            value = Decimal(text)
            inside = Decimal(low).scaleb(-digits) <= value <= Decimal(high).scaleb(-digits)
            assert bool(pattern.fullmatch(text)) == inside, (low, high, digits, text)
