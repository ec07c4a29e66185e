"""Node coordinates from graph documents, routes as GeoJSON, the map."""

import dataclasses
import gzip
import json
import sys

import matplotlib
import norvel_core
import pytest
from matplotlib.collections import LineCollection
from matplotlib.figure import Figure

from grids import FIRST_ID, grid_document
import norvel
from norvel import geo, plot

DOCUMENT = grid_document(6)


@pytest.fixture(scope="module")
def routes():
    graph = norvel_core.PyGraph.from_json(json.dumps(DOCUMENT))
    return norvel_core.compute_safe_routes(graph, FIRST_ID, FIRST_ID + 35, 0.0)


@pytest.fixture(scope="module")
def router():
    return norvel.Router.from_json(json.dumps(DOCUMENT))


def expected_table(document):
    return {n["id"]: (float(n["lon"]), float(n["lat"]))
            for n in document["nodes"]}


def street_lines(document):
    """Each pair of nodes joined by an edge, once, as the set of its ends'
    (lon, lat)."""
    table = expected_table(document)
    return {frozenset((table[e["from"]], table[e["to"]]))
            for e in document["edges"]}


def drawn_lines(collection):
    return [frozenset(map(tuple, s.tolist())) for s in collection.get_segments()]


@pytest.fixture(params=["json", "orjson"])
def parser(request, monkeypatch):
    """Both parsers norvel.geo may use must read documents alike: json is
    what a process without orjson gets."""
    if request.param == "json":
        monkeypatch.setitem(sys.modules, "orjson", None)
    else:
        pytest.importorskip("orjson")


@pytest.mark.usefixtures("parser")
class TestCoordinates:
    def test_object_form_plain_and_gzipped(self, tmp_path):
        text = json.dumps(DOCUMENT)
        plain, packed = tmp_path / "g.json", tmp_path / "g.json.gz"
        plain.write_text(text)
        packed.write_bytes(gzip.compress(text.encode()))
        expected = expected_table(DOCUMENT)
        assert geo.read_coordinates(plain) == expected
        assert geo.read_coordinates(packed) == expected
        assert geo.read_coordinates(str(plain)) == expected
        assert geo.read_document(packed) == DOCUMENT

    def test_layouts_a_reader_must_not_assume(self, tmp_path):
        # Edges first, escaped member names, unknown members, array-form
        # records mixed with objects, integer coordinates, a repeated id.
        text = ('{"edges":[[1,2,5.0,0.1,null]], "extra": {"nodes": []},'
                ' "n\\u006fdes":[[1,60,25],{"lon":25.5,"id":2,"lat":60.5,'
                '"name":"x"},[1,61.0,26.0]]}')
        path = tmp_path / "odd.json"
        path.write_text(text)
        table = {1: (26.0, 61.0), 2: (25.5, 60.5)}
        assert geo.read_coordinates(path) == table
        assert geo.node_coordinates(geo.read_document(path)) == table
        array_form = tmp_path / "array.json"
        array_form.write_text(' [ [[1,60,25],[2,60.5,25.5]], [] ]')
        assert geo.read_coordinates(array_form) == {1: (25.0, 60.0),
                                                    2: (25.5, 60.5)}
        assert geo.street_edges(geo.read_document(path)) == [(1, 2)]


class TestGeoJson:
    def test_feature_is_the_path_in_lon_lat_order(self, routes):
        table = expected_table(DOCUMENT)
        for route in routes:
            feature = geo.route_feature(route, table)
            line = feature["geometry"]["coordinates"]
            assert feature["geometry"]["type"] == "LineString"
            assert line == [list(table[n]) for n in route.path]
            assert line[0] == [25.0, 60.0]
            assert feature["properties"] == {
                "type": route.route_type, "distance_m": route.total_distance_m,
                "risk": route.total_risk, "time_min": route.estimated_time_min,
                "comfort": route.comfort_score,
                "familiarity": route.total_familiarity,
                "nodes": route.path, "streets": []}

    def test_one_node_route_is_still_a_line(self):
        graph = norvel_core.PyGraph.from_json(json.dumps(DOCUMENT))
        (route,) = norvel_core.compute_safe_routes(graph, FIRST_ID, FIRST_ID, 0.0)
        line = geo.route_feature(route, expected_table(DOCUMENT))
        assert line["geometry"]["coordinates"] == [[25.0, 60.0]] * 2

    def test_written_collection_reads_back(self, routes, tmp_path):
        path = tmp_path / "routes.geojson"
        table = expected_table(DOCUMENT)
        geo.write_geojson(path, routes, table)
        collection = json.loads(path.read_text())
        assert collection == geo.feature_collection(routes, table)
        assert collection["type"] == "FeatureCollection"
        assert [f["properties"]["type"] for f in collection["features"]] == [
            r.route_type for r in routes]

    def test_path_node_missing_from_the_table(self, routes):
        with pytest.raises(KeyError):
            geo.route_feature(routes[0], {})

    def test_results_without_coordinates_or_no_route_at_all(self, routes):
        with pytest.raises(TypeError, match="needs coordinates"):
            geo.route_feature(routes[0])
        with pytest.raises(TypeError, match="got dict"):
            geo.as_route({"type": "shortest"}, expected_table(DOCUMENT))
        with pytest.raises(TypeError, match="got dict"):
            plot.route_label({"type": "shortest"})


class TestOneSerialiser:
    """A router's routes and the module's results become the same GeoJSON,
    whichever function writes it."""

    def test_a_result_becomes_the_routers_own_route(self, routes, router):
        mine = router.route(FIRST_ID, FIRST_ID + 35)
        for where in (router, router.table):
            assert [geo.as_route(r, where) for r in routes] == list(mine)
        # A plain mapping knows no street names nor edges; the rest is the
        # same.
        plain = geo.as_route(routes[0], expected_table(DOCUMENT))
        assert plain == dataclasses.replace(mine[0], edges=[])
        assert geo.as_route(mine[0]) is mine[0]

    def test_methods_and_functions_give_the_same_features(self, routes, router):
        mine = router.route(FIRST_ID, FIRST_ID + 35)
        assert mine.to_geojson() == geo.feature_collection(mine) == \
            geo.feature_collection(routes, router)
        assert [r.to_feature() for r in mine] == [
            geo.route_feature(r, router.table) for r in routes]

    def test_written_file_is_utf8_a_feature_a_line(self, tmp_path):
        named = norvel.Route(
            type="shortest", nodes=[1, 2], coordinates=[(24.9, 60.1), (24.91, 60.1)],
            distance_m=555.5, risk=0.25, time_min=8.3, comfort=0.6,
            familiarity=0.0, streets=["Töölönkatu", "Hämeentie"])
        path = tmp_path / "named.geojson"
        geo.write_geojson(path, [named, named])
        data = path.read_bytes()
        assert "Töölönkatu".encode() in data and b"\\u" not in data
        lines = data.decode().splitlines()
        assert lines[0] == '{"type":"FeatureCollection","features":['
        assert lines[-1] == "]}"
        assert [json.loads(line.rstrip(",")) for line in lines[1:-1]] == \
            [named.to_feature()] * 2
        assert json.loads(data) == geo.feature_collection([named, named])


class TestSegments:
    """NodeTable.segments, read against the document itself."""

    # Parallel and opposite edges, a loop, a one-way street, an edge to an
    # id that is no node, and a repeated node record (the last one wins).
    DOCUMENT = {
        "nodes": [{"id": 5, "lat": 60.0, "lon": 25.0},
                  {"id": 7, "lat": 60.1, "lon": 25.1},
                  {"id": 9, "lat": 60.2, "lon": 25.2},
                  {"id": 7, "lat": 60.15, "lon": 25.15}],
        "edges": [[7, 5, 1.0, 0.1, None], [5, 7, 2.0, 0.1, None],
                  [5, 9, 3.0, 0.1, None], [7, 5, 4.0, 0.1, None],
                  [9, 9, 5.0, 0.1, None], [9, 11, 6.0, 0.1, None],
                  [9, 5, 7.0, 0.1, None]]}

    def expected(self, one_per_pair):
        where = expected_table(self.DOCUMENT)
        seen, kept = set(), []
        for tail, head, *_ in self.DOCUMENT["edges"]:
            pair = frozenset((tail, head))
            if tail in where and head in where and not (
                    one_per_pair and pair in seen):
                kept.append((tail, head, where[tail], where[head]))
            seen.add(pair)
        return kept

    @pytest.mark.parametrize("one_per_pair", [False, True])
    def test_edges_between_nodes_in_document_order(self, one_per_pair):
        table = norvel.Router.from_json(json.dumps(self.DOCUMENT)).table
        got = table.segments(one_per_pair=one_per_pair)
        assert list(zip(got.tails.tolist(), got.heads.tolist(),
                        map(tuple, got.starts.tolist()),
                        map(tuple, got.ends.tolist()))) == \
            self.expected(one_per_pair)
        assert len(got.names) == len(got.tails)

    @pytest.mark.parametrize("one_per_pair", [False, True])
    def test_edges_among_some_nodes(self, one_per_pair):
        table = norvel.Router.from_json(json.dumps(self.DOCUMENT)).table
        ids = table.ids.tolist()
        for among in (ids, ids[::2], ids[1:4] + [12345], []):
            got = table.segments(one_per_pair=one_per_pair, among=among)
            assert list(zip(got.tails.tolist(), got.heads.tolist(),
                            map(tuple, got.starts.tolist()),
                            map(tuple, got.ends.tolist()))) == [
                edge for edge in self.expected(one_per_pair)
                if edge[0] in among and edge[1] in among]


class TestMap:
    def test_routes_over_the_streets_in_view(self, routes):
        figure = Figure()
        ax = figure.add_subplot()
        plot.draw_routes(ax, routes, DOCUMENT)
        (streets,) = [c for c in ax.collections if isinstance(c, LineCollection)]
        # Every street of the small grid is in view, a two-way street drawn
        # once; the lonely node's edge-free corner adds nothing.
        drawn = drawn_lines(streets)
        assert len(drawn) == len(set(drawn)) == len(street_lines(DOCUMENT))
        assert set(drawn) == street_lines(DOCUMENT)
        lines = {line.get_label(): line for line in ax.get_lines()}
        for route in routes:
            label = plot.route_label(route)
            assert f"{route.total_distance_m:,.0f} m" in label
            assert f"risk {route.total_risk:.3f}" in label
            assert list(lines[label].get_xdata()) == [
                expected_table(DOCUMENT)[n][0] for n in route.path]
        colours = {matplotlib.colors.to_hex(lines[plot.route_label(r)].get_color())
                   for r in routes}
        assert len(colours) == len(routes)
        legend = [t.get_text() for t in ax.get_legend().get_texts()]
        assert set(legend) >= {plot.route_label(r) for r in routes}

    def test_view_keeps_far_streets_out(self, routes):
        document = {"nodes": DOCUMENT["nodes"] + [
            {"id": 7, "lat": 70.0, "lon": 30.0},
            {"id": 8, "lat": 70.0, "lon": 30.1}],
            "edges": DOCUMENT["edges"] + [
                {"from": 7, "to": 8, "distance_m": 1.0, "risk_score": 0.0}]}
        ax = Figure().add_subplot()
        plot.draw_routes(ax, routes, document)
        (streets,) = ax.collections
        assert set(drawn_lines(streets)) == street_lines(DOCUMENT)

    def test_router_and_its_routes_draw_the_same(self, routes):
        # The router's table stands in for the parsed document, and its
        # Routes for the module's results.
        router = norvel.Router.from_json(json.dumps(DOCUMENT))
        drawn = []
        for kind, streets in ((routes, DOCUMENT),
                              (router.route(FIRST_ID, FIRST_ID + 35), router),
                              (routes, router.table)):
            ax = Figure().add_subplot()
            plot.draw_routes(ax, kind, streets)
            (segments,) = ax.collections
            drawn.append(([s.tolist() for s in segments.get_segments()],
                          [(line.get_label(), list(line.get_xdata()))
                           for line in ax.get_lines()]))
        assert drawn[0] == drawn[1] == drawn[2]
        assert geo.feature_collection(routes, router) == \
            router.route(FIRST_ID, FIRST_ID + 35).to_geojson()

    def test_nothing_to_draw(self, router):
        with pytest.raises(ValueError, match="no route to draw"):
            plot.draw_routes(Figure().add_subplot(), [], router)

    def test_picture_file(self, routes, tmp_path):
        path = tmp_path / "map.png"
        plot.save_map(path, routes, DOCUMENT, title="grid", attribution="test")
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
