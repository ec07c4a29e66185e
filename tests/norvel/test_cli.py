"""The norvel command: route, check and osm, run as a user runs them."""

import json
import subprocess
import sys

import norvel
from live_server import sample_graph

ORIGIN, DESTINATION = 6138118389, 1490965433


def norvel_command(*arguments):
    return subprocess.run([sys.executable, "-m", "norvel", *map(str, arguments)],
                          capture_output=True, text=True, timeout=300)


def test_route_prints_each_route_and_writes_the_same_geojson(tmp_path):
    graph = sample_graph()
    router = norvel.Router.from_file(graph)
    out = tmp_path / "routes.geojson"
    run = norvel_command("route", graph, ORIGIN, DESTINATION, "--geojson", out)
    assert run.returncode == 0, run.stderr
    routes = router.route(ORIGIN, DESTINATION, 0.0)
    lines = run.stdout.splitlines()
    assert [line.split()[0] for line in lines] == ["shortest", "safest", "balanced"]
    for line, route in zip(lines, routes):
        assert line.split()[1:7] == [f"{route.distance_m:.1f}", "m", "risk",
                                     f"{route.risk:.4f}", f"{route.time_min:.1f}", "min"]
    assert json.loads(out.read_text()) == json.loads(json.dumps(routes.to_geojson()))

    lat, lon = router.table[ORIGIN]
    run = norvel_command("route", graph, f"{lat},{lon}", DESTINATION, "--eps", "0.1")
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith(f"from {lat},{lon}: node {ORIGIN}, 0.0 m away\n")


def test_route_errors_are_one_line():
    run = norvel_command("route", sample_graph(), 3, DESTINATION)
    assert (run.returncode, run.stderr) == (
        1, "norvel route: origin node 3 is not a node of the graph\n")
    run = norvel_command("route", sample_graph(), ORIGIN, DESTINATION, "--eps", "-1")
    assert run.returncode == 1 and run.stderr.count("\n") == 1
    run = norvel_command("route", sample_graph(), "north", DESTINATION)
    assert run.returncode == 2 and "'north' is neither a node id nor LAT,LON" in run.stderr
    # A node id is read as the service reads one: ASCII digits, a sign.
    run = norvel_command("route", sample_graph(), "\u0663", DESTINATION)
    assert run.returncode == 2 and "'\u0663' is neither a node id nor LAT,LON" in run.stderr
    run = norvel_command("route", sample_graph(), "-3", DESTINATION)
    assert (run.returncode, run.stderr) == (
        1, "norvel route: origin node -3 is not a node of the graph\n")


def test_route_geojson_that_cannot_be_written_is_one_line(tmp_path):
    out = tmp_path / "missing" / "routes.geojson"
    run = norvel_command("route", sample_graph(), ORIGIN, DESTINATION, "--geojson", out)
    assert (run.returncode, run.stderr) == (
        1, f"norvel route: cannot write {out}: No such file or directory\n")


def test_check_exits_1_on_an_error_only(tmp_path):
    run = norvel_command("check", sample_graph())
    assert run.returncode == 0, run.stdout + run.stderr
    assert "error:" not in run.stdout
    broken = tmp_path / "broken.json"
    broken.write_text(json.dumps({
        "nodes": [{"id": 1, "lat": 60.0, "lon": 25.0}, {"id": 2, "lat": 95.0, "lon": 25.0}],
        "edges": [{"from": 1, "to": 2, "distance_m": -1.0, "risk_score": 0.1},
                  {"from": 2, "to": 7, "distance_m": 1.0, "risk_score": 0.1}]}))
    run = norvel_command("check", broken)
    assert run.returncode == 1
    assert {line.split(":")[0] for line in run.stdout.splitlines()} >= {"error"}


def test_osm_is_the_converter():
    run = norvel_command("osm", "--help")
    converter = subprocess.run([sys.executable, "-c",
                                "import sys; from norvel._osm_command import main; "
                                "sys.exit(main(['--help']))"],
                               capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stdout) == (0, converter.stdout)
    assert "OpenStreetMap" in run.stdout


def test_catchment_summary_is_the_librarys(tmp_path):
    import numpy as np

    graph = sample_graph()
    catchment = norvel.Router.from_file(graph).catchment(DESTINATION, 10.0,
                                                          direction="from")
    columns = catchment.columns()
    detours = columns["safest_m"] - columns["shortest_m"]
    median, tail = np.percentile(detours, [50, 90]).tolist()
    share = 100.0 * float((columns["shortest_risk"]
                           > 2.0 * columns["safest_risk"]).mean())
    out = tmp_path / "catchment.geojson"
    run = norvel_command("catchment", graph, DESTINATION, "--minutes", 10,
                         "--direction", "from", "--geojson", out)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        f"place: node {DESTINATION}, 0.0 m away",
        f"nodes within 10 min (from the place): {len(catchment)}",
        f"safety detour: median {median:.1f} m, 90th percentile {tail:.1f} m",
        f"shortest walk more than twice as risky as the safest: "
        f"{share:.1f} % of nodes"]
    features = json.loads(out.read_text())["features"]
    assert features and all(f["properties"]["minutes"] <= 10.0 for f in features)
    run = norvel_command("catchment", graph, 3)
    assert run.returncode == 1 and run.stderr.count("\n") == 1


def test_route_and_catchment_avoid_edges_and_areas(tmp_path):
    graph = sample_graph()
    router = norvel.Router.from_file(graph)
    shortest = router.route(ORIGIN, DESTINATION)[0]
    lat, lon = router.table[shortest.nodes[len(shortest.nodes) // 2]]
    area = {"type": "Polygon", "coordinates": [[[lon - 4e-4, lat - 2e-4], [lon + 4e-4, lat - 2e-4],
                                                [lon + 4e-4, lat + 2e-4], [lon - 4e-4, lat + 2e-4],
                                                [lon - 4e-4, lat - 2e-4]]]}
    path = tmp_path / "area.geojson"
    path.write_text(json.dumps({"type": "FeatureCollection",
                                "features": [{"type": "Feature", "properties": {}, "geometry": area}]}))
    edges = shortest.edges[:2]
    run = norvel_command("route", graph, ORIGIN, DESTINATION, "--avoid-edges",
                         ",".join(map(str, edges)), "--avoid-area", path)
    assert run.returncode == 0, run.stderr
    routes = router.route(ORIGIN, DESTINATION, avoid=[edges, area])
    assert routes[0].distance_m != shortest.distance_m
    assert [line.split()[1] for line in run.stdout.splitlines()] == [f"{r.distance_m:.1f}" for r in routes]
    run = norvel_command("catchment", graph, ORIGIN, "--minutes", "6", "--avoid-area", path)
    assert run.returncode == 0, run.stderr
    assert run.stdout == norvel_command("catchment", norvel_catchment_graph(tmp_path, router, area),
                                        ORIGIN, "--minutes", "6").stdout
    run = norvel_command("route", graph, ORIGIN, DESTINATION, "--avoid-edges", "1,a")
    assert (run.returncode, run.stderr) == (
        1, "norvel route: '--avoid-edges' must be edge indices separated by commas, got '1,a'\n")


def norvel_catchment_graph(folder, router, area):
    """The sample without the edges ``area`` crosses, written to ``folder``."""
    import gzip

    document = json.loads(gzip.decompress(sample_graph().read_bytes()))
    avoided = set(router.session.avoided(area).tolist())
    kept = [i for i in range(len(document["edges"])) if i not in avoided]
    document["edges"] = [document["edges"][i] for i in kept]
    for name, risks in document.get("risk_layers", {}).items():
        document["risk_layers"][name] = [risks[i] for i in kept]
    path = folder / "without.json"
    path.write_text(json.dumps(document))
    return path
