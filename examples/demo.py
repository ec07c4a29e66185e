"""Safe walking routes across central Helsinki with norvel_core.

Loads the bundled street network (norvel.datasets.helsinki_walk(), built from
OpenStreetMap data, (c) OpenStreetMap contributors, ODbL 1.0), asks for routes
between two nodes about 700 m apart as the crow flies, and shows that the
shortest way is not the safest one.

    python3.13 examples/demo.py [--map routes.png] [--geojson routes.geojson]

Needs only norvel_core; --map needs matplotlib too (norvel_core[plot]).
--map draws the routes over the street network, --geojson writes them as a
GeoJSON FeatureCollection. Exits with status 1 when something goes wrong.
"""

from __future__ import annotations

import argparse
import gzip
import json
import math
import sys
import time
from pathlib import Path
from typing import Any

import norvel_core
from norvel_core import PyGraph, PyRouteResult

import norvel.datasets
import norvel.geo

GRAPH_PATH = norvel.datasets.helsinki_walk()

# A sidewalk of Kaivokatu by the Ateneum, and a park path in Kaisaniemi
# (Birger Brunilan puistokuja): the shortest way crosses Kaivokatu and walks
# the roadway of Mikonkatu; the safer ones take Ateneuminkuja and footways.
DEMO_SOURCE = 6138118389
DEMO_TARGET = 1490965433

# When the fixed pair is absent (another document), take a pair this far
# apart: well separated, yet within the reach of an exhaustive search.
FALLBACK_SEPARATION_M = 800.0

EPS_APPROXIMATE = 0.1
EPS_EXACT = 0.0
# The exact front costs more than the approximate one; skip it when the
# approximate search alone already took this long.
EXACT_RUN_BUDGET_S = 1.0


class DemoFailure(Exception):
    pass


def great_circle_m(a: tuple[float, float], b: tuple[float, float]) -> float:
    lat1, lon1, lat2, lon2 = map(math.radians, (*a, *b))
    h = (math.sin((lat2 - lat1) / 2) ** 2
         + math.cos(lat1) * math.cos(lat2) * math.sin((lon2 - lon1) / 2) ** 2)
    return 2 * 6371008.8 * math.asin(math.sqrt(min(1.0, h)))


def choose_pair(document: dict[str, Any]) -> tuple[int, int, str]:
    """The fixed pair when the document has it; otherwise the node nearest
    the middle of the map and the node closest to FALLBACK_SEPARATION_M
    from it."""
    coordinates = {n["id"]: (n["lat"], n["lon"]) for n in document["nodes"]}
    if DEMO_SOURCE in coordinates and DEMO_TARGET in coordinates:
        return DEMO_SOURCE, DEMO_TARGET, "fixed demo pair"
    starts = {e["from"] for e in document["edges"]} & coordinates.keys()
    if len(starts) < 2:
        raise DemoFailure("the document has fewer than two nodes with an "
                          "outgoing edge")
    lats = [coordinates[n][0] for n in starts]
    lons = [coordinates[n][1] for n in starts]
    middle = ((min(lats) + max(lats)) / 2, (min(lons) + max(lons)) / 2)
    source = min(starts,
                 key=lambda n: (great_circle_m(coordinates[n], middle), n))
    target = min((n for n in starts if n != source), key=lambda n: (
        abs(great_circle_m(coordinates[n], coordinates[source])
            - FALLBACK_SEPARATION_M), n))
    return source, target, "fallback pair"


def load_graph() -> tuple[PyGraph, dict[str, Any]]:
    started = time.perf_counter()
    text = gzip.decompress(GRAPH_PATH.read_bytes()).decode("utf-8")
    read_s = time.perf_counter() - started
    started = time.perf_counter()
    graph = norvel_core.PyGraph.from_json(text)
    parse_s = time.perf_counter() - started
    print(f"graph: {GRAPH_PATH.name}: {graph.node_count()} nodes, "
          f"{graph.edge_count()} edges "
          f"(read {read_s * 1000:.0f} ms, from_json {parse_s * 1000:.0f} ms)")
    return graph, json.loads(text)


def abbreviated(path: list[int], shown: int = 3) -> str:
    if len(path) <= 2 * shown:
        return " ".join(map(str, path))
    return (" ".join(map(str, path[:shown])) + " ... "
            + " ".join(map(str, path[-shown:])))


def check_route(route: PyRouteResult, source: int, target: int) -> None:
    path = list(route.path)
    if not path or path[0] != source or path[-1] != target:
        raise DemoFailure(f"{route.route_type} route does not run from "
                          f"{source} to {target}")
    if route.node_count != len(path):
        raise DemoFailure(f"{route.route_type} route: node_count "
                          f"{route.node_count} but {len(path)} path nodes")


def run(graph: PyGraph, source: int, target: int,
        eps: float) -> tuple[list[PyRouteResult], float]:
    started = time.perf_counter()
    routes = norvel_core.compute_safe_routes(graph, source, target, eps)
    elapsed = time.perf_counter() - started
    print(f"\ncompute_safe_routes(eps={eps}): {len(routes)} route(s) "
          f"in {elapsed * 1000:.0f} ms")
    if not routes or routes[0].route_type != "shortest":
        raise DemoFailure("the first route must be the shortest")
    for route in routes:
        check_route(route, source, target)
        print(f"  {route!r}")
        print(f"    {route.node_count} nodes: {abbreviated(list(route.path))}")
        print(f"    distance {route.total_distance_m:.1f} m, "
              f"risk {route.total_risk:.4f}, "
              f"time {route.estimated_time_min:.1f} min, "
              f"comfort {route.comfort_score:.3f}, "
              f"familiarity {route.total_familiarity:.1f}")
    return routes, elapsed


def compare(routes: list[PyRouteResult]) -> bool:
    by_type = {route.route_type: route for route in routes}
    shortest = by_type["shortest"]
    safest = by_type.get("safest")
    if safest is None:
        print("  the shortest route is also the safest")
        return False
    extra_m = safest.total_distance_m - shortest.total_distance_m
    saved = shortest.total_risk - safest.total_risk
    shared = 0
    for a, b in zip(shortest.path, safest.path):
        if a != b:
            break
        shared += 1
    print(f"  shortest and safest differ: the safest walks "
          f"{extra_m:+.0f} m ({extra_m / shortest.total_distance_m:+.0%}) "
          f"to cut the risk by {saved:.4f} "
          f"({-saved / shortest.total_risk:+.0%}); they part after "
          f"{shared} common node(s)")
    return list(shortest.path) != list(safest.path)


def save_outputs(routes: list[PyRouteResult], document: dict[str, Any],
                 map_path: Path | None, geojson_path: Path | None) -> None:
    if geojson_path is not None:
        norvel.geo.write_geojson(geojson_path, routes,
                                 norvel.geo.node_coordinates(document))
        print(f"\nwrote {geojson_path}")
    if map_path is not None:
        from norvel.plot import save_map  # matplotlib only for a map

        save_map(
            map_path, routes, document,
            title="Safe walking routes, central Helsinki",
            attribution="Map data \N{COPYRIGHT SIGN} OpenStreetMap "
                        "contributors, ODbL 1.0")
        print(f"wrote {map_path}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--map", type=Path, metavar="PNG",
                        help="draw the routes over the streets into this picture")
    parser.add_argument("--geojson", type=Path, metavar="FILE",
                        help="write the routes as GeoJSON")
    args = parser.parse_args(argv)
    try:
        graph, document = load_graph()
        source, target, how = choose_pair(document)
        print(f"from {source} to {target} ({how})")
        routes, elapsed = run(graph, source, target, EPS_APPROXIMATE)
        differ = compare(routes)
        if elapsed <= EXACT_RUN_BUDGET_S:
            routes, _ = run(graph, source, target, EPS_EXACT)
            differ = compare(routes) and differ
        else:
            print(f"\n(eps={EPS_EXACT} skipped: the approximate search "
                  f"already took {elapsed:.1f} s)")
        if how == "fixed demo pair" and not differ:
            raise DemoFailure("expected the shortest and the safest routes "
                              "of the demo pair to differ")
        save_outputs(routes, document, args.map, args.geojson)
    except (DemoFailure, RuntimeError, ValueError, OSError, ImportError) as failure:
        print(f"demo failed: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
