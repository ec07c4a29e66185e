"""Safe walking routes across central Helsinki with norvel_core.

Loads the bundled street network (norvel.datasets.helsinki_walk(), built from
OpenStreetMap data, (c) OpenStreetMap contributors, ODbL 1.0) into a
norvel.Router, asks for routes between two nodes about 700 m apart as the
crow flies, and shows that the shortest way is not the safest one.

    python3.13 examples/demo.py [--eps 0.0] [--map routes.png] [--geojson routes.geojson]

Needs only norvel_core; --map needs matplotlib too (norvel_core[plot]).
--map draws the routes over the street network, --geojson writes them as a
GeoJSON FeatureCollection. --eps above 0 accepts routes within a factor
1 + eps of the exact ones (default 0.0: exact, and fastest on most
requests). Exits with status 1 when something goes wrong.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import norvel
import norvel.datasets
import norvel.geo
from norvel import Route, Router, Routes
from norvel.geo import haversine_m

GRAPH_PATH = norvel.datasets.helsinki_walk()

# A sidewalk of Kaivokatu by the Ateneum, and a park path in Kaisaniemi
# (Birger Brunilan puistokuja): the shortest way crosses Kaivokatu and walks
# the roadway of Mikonkatu; the safer ones take Ateneuminkuja and footways.
DEMO_SOURCE = 6138118389
DEMO_TARGET = 1490965433

# When the fixed pair is absent (another document), take a pair this far
# apart: well separated, yet within the reach of an exhaustive search.
FALLBACK_SEPARATION_M = 800.0

DEFAULT_EPS = 0.0


class DemoFailure(Exception):
    pass


def choose_pair(router: Router) -> tuple[int, int, str]:
    """The fixed pair when the graph has it; otherwise, among the nodes with
    an outgoing edge, the one nearest the middle of the map and the one
    closest to FALLBACK_SEPARATION_M from it."""
    table = router.table
    if DEMO_SOURCE in table and DEMO_TARGET in table:
        return DEMO_SOURCE, DEMO_TARGET, "fixed demo pair"
    starts = table.routable_ids.tolist()
    if len(starts) < 2:
        raise DemoFailure("the graph has fewer than two nodes with an "
                          "outgoing edge")
    lats = table.lats[table.routable]
    lons = table.lons[table.routable]
    middle = (float(lats.min() + lats.max()) / 2,
              float(lons.min() + lons.max()) / 2)
    source = min(starts, key=lambda n: (haversine_m(*table[n], *middle), n))
    target = min((n for n in starts if n != source), key=lambda n: (
        abs(haversine_m(*table[n], *table[source]) - FALLBACK_SEPARATION_M),
        n))
    return source, target, "fallback pair"


def load_router() -> Router:
    started = time.perf_counter()
    router = Router.from_file(GRAPH_PATH)
    elapsed = time.perf_counter() - started
    print(f"graph: {GRAPH_PATH.name}: {router.node_count} nodes, "
          f"{router.edge_count} edges (loaded in {elapsed * 1000:.0f} ms)")
    return router


def abbreviated(path: list[int], shown: int = 3) -> str:
    if len(path) <= 2 * shown:
        return " ".join(map(str, path))
    return (" ".join(map(str, path[:shown])) + " ... "
            + " ".join(map(str, path[-shown:])))


def check_route(route: Route, source: int, target: int) -> None:
    path = route.nodes
    if not path or path[0] != source or path[-1] != target:
        raise DemoFailure(f"{route.type} route does not run from "
                          f"{source} to {target}")
    if len(route.coordinates) != len(path):
        raise DemoFailure(f"{route.type} route: {len(route.coordinates)} "
                          f"positions for {len(path)} path nodes")


def run(router: Router, source: int, target: int, eps: float) -> Routes:
    started = time.perf_counter()
    routes = router.route(source, target, eps)
    elapsed = time.perf_counter() - started
    print(f"\nroute(eps={eps}): {len(routes)} route(s) "
          f"in {elapsed * 1000:.0f} ms")
    if routes.shortest is None or routes[0] is not routes.shortest:
        raise DemoFailure("the first route must be the shortest")
    for route in routes:
        check_route(route, source, target)
        print(f"  {route!r}")
        print(f"    {len(route.nodes)} nodes: {abbreviated(route.nodes)}")
        print(f"    distance {route.distance_m:.1f} m, "
              f"risk {route.risk:.4f}, "
              f"time {route.time_min:.1f} min, "
              f"comfort {route.comfort:.3f}, "
              f"familiarity {route.familiarity:.1f}")
        if route.streets:
            print(f"    along {', '.join(route.streets)}")
    return routes


def compare(routes: Routes) -> bool:
    shortest, safest = routes.shortest, routes.safest
    assert shortest is not None
    if safest is None:
        print("  the shortest route is also the safest")
        return False
    extra_m = safest.distance_m - shortest.distance_m
    saved = shortest.risk - safest.risk
    shared = 0
    for a, b in zip(shortest.nodes, safest.nodes):
        if a != b:
            break
        shared += 1
    print(f"  shortest and safest differ: the safest walks "
          f"{extra_m:+.0f} m ({extra_m / shortest.distance_m:+.0%}) "
          f"to cut the risk by {saved:.4f} "
          f"({-saved / shortest.risk:+.0%}); they part after "
          f"{shared} common node(s)")
    return shortest.nodes != safest.nodes


def save_outputs(routes: Routes, router: Router, map_path: Path | None,
                 geojson_path: Path | None) -> None:
    if geojson_path is not None:
        norvel.geo.write_geojson(geojson_path, routes)
        print(f"\nwrote {geojson_path}")
    if map_path is not None:
        from norvel.plot import save_map  # matplotlib only for a map

        save_map(
            map_path, routes, router,
            title="Safe walking routes, central Helsinki",
            attribution="Map data \N{COPYRIGHT SIGN} OpenStreetMap "
                        "contributors, ODbL 1.0")
        print(f"wrote {map_path}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--eps", type=float, default=DEFAULT_EPS,
                        help="approximation factor (default 0.0: exact)")
    parser.add_argument("--map", type=Path, metavar="PNG",
                        help="draw the routes over the streets into this picture")
    parser.add_argument("--geojson", type=Path, metavar="FILE",
                        help="write the routes as GeoJSON")
    args = parser.parse_args(argv)
    try:
        router = load_router()
        source, target, how = choose_pair(router)
        print(f"from {source} to {target} ({how})")
        routes = run(router, source, target, args.eps)
        differ = compare(routes)
        if how == "fixed demo pair" and not differ:
            raise DemoFailure("expected the shortest and the safest routes "
                              "of the demo pair to differ")
        save_outputs(routes, router, args.map, args.geojson)
    except (DemoFailure, norvel.RoutingError, ValueError, OSError,
            ImportError) as failure:
        print(f"demo failed: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
