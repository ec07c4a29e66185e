"""Every kind of failure in norvel.failures reaches every interface as the
table says: its exception from Router.route, route_many, matrix and
catchment, its error_kind in Router.matrix and route_pairs, its status
over HTTP and its message on the command line, the same words everywhere.
And the one reader of "LAT,LON" that the service and the command line
share."""

import json
import math

import pytest

import norvel
from norvel import _requests, cli, failures
from norvel.batch import route_pairs
from norvel.serve.answers import Answers

from grids import ISOLATED, SOURCE_ONLY, sample_plus

ABSENT = 9_000_000_003
FAR_POINT = (0.0, 0.0)          # thousands of km from Helsinki
BAD_POINT = (100.0, 24.9)       # no latitude


@pytest.fixture(scope="module")
def plus(sample_path, tmp_path_factory):
    """The sample with ISOLATED (no edge) and SOURCE_ONLY (an edge out
    only), as a file and a Router; and two nodes far apart."""
    path = sample_plus(sample_path, tmp_path_factory.mktemp("failures"))
    router = norvel.Router.from_file(path)
    lats, lons = router.table.lats, router.table.lons
    far = (router.nearest(lats.min(), lons.min()).node,
           router.nearest(lats.max(), lons.max()).node)
    return path, router, far


def pair_of(kind, far):
    """Ends whose request fails with ``kind``, and its time limit."""
    a, b = far
    return {"node_not_found": ((ABSENT, b), None),
            "snap": ((FAR_POINT, b), None),
            "source_isolated": ((ISOLATED, b), None),
            "no_route": ((a, SOURCE_ONLY), None),
            "timeout": ((a, b), 1e-9),
            "invalid": ((BAD_POINT, b), None)}[kind]


def text(end):
    return f"{end[0]},{end[1]}" if isinstance(end, tuple) else str(end)


def query(origin, destination):
    ends = [f"{'from' if i == 0 else 'to'}{'' if isinstance(end, tuple) else '_node'}"
            f"={text(end)}" for i, end in enumerate((origin, destination))]
    return "&".join(ends).encode()


ROUTE_KINDS = [k for k in failures.KINDS if k != "costs_unsupported"]


@pytest.mark.parametrize("kind", ROUTE_KINDS)
def test_a_kind_reaches_every_interface(kind, plus, capsys):
    path, router, far = plus
    row = failures.KINDS[kind]
    (origin, destination), timeout_s = pair_of(kind, far)
    with pytest.raises(row.error) as raised:
        router.route(origin, destination, timeout_s=timeout_s)
    error = raised.value
    message = str(error)
    assert failures.kind_of(error) is row
    if kind == "invalid":
        assert message == "origin lat must be within [-90, 90], got 100.0"
    else:
        assert error.kind == kind
        (many,) = router.route_many([(origin, destination)], timeout_s=timeout_s)
        assert type(many) is type(error) and str(many) == message
    # The tables: the same words, the table's kind.
    frame = route_pairs(router, [(origin, destination)], timeout_s=timeout_s,
                        progress=False)
    assert list(frame[["error", "error_kind"]].iloc[0]) == [message, row.error_kind]
    if kind == "invalid":
        with pytest.raises(ValueError, match=r"^origin lat must be within"):
            router.matrix([origin], [destination])
    else:
        matrix = router.matrix([origin], [destination], timeout_s=timeout_s)
        assert list(matrix[["error", "error_kind"]].iloc[0]) == [message, row.error_kind]
    # HTTP: the status of the kind; a time-out is the service's own limit.
    status, body = Answers(router, timeout_s or 60.0).route(query(origin, destination))
    assert status == row.status
    assert json.loads(body)["error"] == (
        "the request took longer than 1e-09 s" if kind == "timeout" else message)
    # The command line has no time limit of its own.
    if kind != "timeout":
        assert cli.main(["route", str(path), "--", text(origin), text(destination)]) == 1
        assert capsys.readouterr().err == f"norvel route: {message}\n"


def catchment_case(kind, far):
    """A catchment's place and options whose request fails with ``kind``."""
    return {"node_not_found": (ABSENT, {}),
            "snap": (FAR_POINT, {}),
            "source_isolated": (ISOLATED, {"direction": "from"}),
            "timeout": (far[0], {"minutes": math.inf, "timeout_s": 1e-9}),
            "invalid": (BAD_POINT, {})}.get(kind)


NEGATIVE = json.dumps({"nodes": [{"id": 1, "lat": 60.0, "lon": 25.0},
                                 {"id": 2, "lat": 60.001, "lon": 25.0}],
                       "edges": [{"from": 1, "to": 2, "distance_m": 100.0,
                                  "risk_score": -0.5},
                                 {"from": 2, "to": 1, "distance_m": 100.0,
                                  "risk_score": 0.5}]})


@pytest.mark.parametrize("kind", list(failures.KINDS))
def test_a_kind_reaches_catchments(kind, plus):
    path, router, far = plus
    row = failures.KINDS[kind]
    if kind == "costs_unsupported":
        router, place, given = norvel.Router.from_json(NEGATIVE), 1, {}
    elif (case := catchment_case(kind, far)) is None:
        return          # no catchment fails so: every node is one it reaches
    else:
        place, given = case
    with pytest.raises(row.error) as raised:
        router.catchment(place, **given)
    message = str(raised.value)
    # Several places fail as the one that fails.
    other = 2 if kind == "costs_unsupported" else far[1]
    with pytest.raises(row.error) as several:
        router.catchment([other, place], **given)
    if kind != "timeout":
        assert str(several.value) == message
    options = "&".join(f"{name}={'1e999' if value == math.inf else value}"
                       for name, value in given.items() if name != "timeout_s")
    end = f"at={text(place)}" if isinstance(place, tuple) else f"at_node={place}"
    status, body = Answers(router, given.get("timeout_s", 60.0)).catchment(
        f"{end}&{options}".strip("&").encode())
    assert status == row.status
    if kind != "timeout":
        assert json.loads(body)["error"] == message


@pytest.mark.parametrize("written, point", [
    ("60.17,24.94", (60.17, 24.94)),
    (" 60.17 , 24.94 ", (60.17, 24.94)),
    ("-33.86,+151.21", (-33.86, 151.21)),
    ("1e1,.5", (10.0, 0.5)),
    # Too large for a double: infinity, which the range check refuses.
    ("1e999,0", (math.inf, 0.0)),
])
def test_lat_lon_text(written, point):
    assert _requests.point(written, "from") == point


@pytest.mark.parametrize("written, message", [
    ("nan,24.94", "'from' must be a number, got 'nan'"),
    ("60.17,inf", "'from' must be a number, got 'inf'"),
    ("60.17,-Infinity", "'from' must be a number, got '-Infinity'"),
    ("60.17", "'from' must be LAT,LON, got '60.17'"),
    ("60.17,24.94,3", "'from' must be LAT,LON, got '60.17,24.94,3'"),
    ("60.17,", "'from' must be a number, got ''"),
    ("0x10,5", "'from' must be a number, got '0x10'"),
])
def test_lat_lon_text_refused(written, message, plus, capsys):
    path, router, _ = plus
    with pytest.raises(ValueError) as raised:
        _requests.point(written, "from")
    assert str(raised.value) == message
    # The service and the command line refuse it alike.
    status, body = Answers(router, 60.0).route(f"from={written}&to_node=1".encode())
    assert (status, json.loads(body)["error"]) == (400, message)
    if "," in written:      # else no point: "neither a node id nor LAT,LON"
        with pytest.raises(SystemExit) as exited:
            cli.main(["route", str(path), "--", written, "1"])
        assert exited.value.code == 2
        assert (f"argument FROM: {message.replace('from', 'FROM', 1)}\n"
                in capsys.readouterr().err)


@pytest.mark.parametrize("latitude", [90.5, -91.0, math.inf])
def test_a_point_out_of_range_is_the_routers_to_refuse(latitude, plus):
    path, router, _ = plus
    written = "1e999" if latitude == math.inf else str(latitude)
    status, body = Answers(router, 60.0).route(f"from={written},24.9&to_node=1".encode())
    assert (status, json.loads(body)["error"]) == (
        400, f"origin lat must be within [-90, 90], got {latitude!r}")


def test_the_table_names_every_kind_the_engine_has():
    from norvel._native import engine

    assert {kind.name for kind in engine.FailureKind} <= set(failures.KINDS)
    assert {kind.name for kind in engine.FailureKind} == {
        name for name, row in failures.KINDS.items() if row.make is not None}


def test_the_engines_values_are_read_only(plus):
    _, router, far = plus
    (row, *_), failure = (router.session.engine.route(*far, 0.0),
                          router.session.engine.route(ABSENT, far[1], 0.0))
    assert (row.type, row.nodes[0], row.nodes[-1]) == ("shortest", *far)
    assert len(row.edges) == len(row.nodes) - 1 == len(row.coordinates) - 1
    with pytest.raises(AttributeError):
        row.distance_m = 0.0
    assert (failure.kind.name, failure.role, failure.place) == ("node_not_found", "origin", 0)
    assert repr(failure) == "Failure(FailureKind.node_not_found, 'origin', 0)"
