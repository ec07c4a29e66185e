"""The ``norvel`` command: routes, document checks, the HTTP service and the
OpenStreetMap converter.

    norvel route GRAPH FROM TO [--eps E] [--max-snap-m M] [--geojson OUT]
    norvel catchment GRAPH PLACE [--minutes M] [--direction to|from] [--geojson OUT]
    norvel check GRAPH
    norvel pack GRAPH CITY.norvel
    norvel serve GRAPH [--host H] [--port P] [--workers N] [--timeout-s S]
    norvel serve GRAPH [--max-catchment-nodes N] [--max-queue N]
    norvel serve GRAPH [--reload-on-change] [--access-log json]
    norvel osm ...            (the same as norvel-osm-graph)
    norvel --version

FROM and TO are node ids or LAT,LON points; a point with a negative latitude
goes after ``--`` (``norvel route g.json -- -33.86,151.21 -33.87,151.20``).
Every command exits with status 1 on an error, with one line on stderr.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from norvel._version import package_version
from norvel._values import DEFAULT_EPS, DEFAULT_MAX_CATCHMENT_NODES, DEFAULT_MAX_SNAP_M


def _end(text: str) -> int | tuple[float, float]:
    """A node id or a LAT,LON point, for argparse; the router checks ranges."""
    try:
        if "," in text:
            lat, lon = text.split(",")
            return float(lat), float(lon)
        if text.strip().isdigit():
            return int(text)
    except ValueError:
        pass
    raise argparse.ArgumentTypeError(f"{text!r} is neither a node id nor LAT,LON")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="norvel", description="Safe walking routes over a street graph.")
    parser.add_argument("--version", action="version",
                        version=f"%(prog)s {package_version()}",
                        help="print the version of the installed package and exit")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    route = commands.add_parser(
        "route", help="print the routes between two nodes or points",
        description="Print the shortest, the safest and a balanced route "
                    "(1 to 3 routes: equal ones are given once).")
    route.add_argument("graph", help="graph document (.json, .json.gz) or snapshot")
    route.add_argument("origin", metavar="FROM", type=_end, help="node id or LAT,LON")
    route.add_argument("destination", metavar="TO", type=_end, help="node id or LAT,LON")
    route.add_argument("--eps", type=float, default=DEFAULT_EPS,
                       help="approximation factor: 0 (exact, the default) or more")
    route.add_argument("--max-snap-m", type=float, default=DEFAULT_MAX_SNAP_M,
                       help="farthest a point may lie from its node, in metres "
                            f"(default {DEFAULT_MAX_SNAP_M:g})")
    route.add_argument("--geojson", metavar="OUT",
                       help="also write the routes as a GeoJSON FeatureCollection")

    catchment = commands.add_parser(
        "catchment", help="summarise the walks to (or from) one place",
        description="The nodes whose shortest walk to PLACE takes at most "
                    "--minutes, and how much safer their safest walk is: the "
                    "median and 90th-percentile detour, and the share of "
                    "nodes whose shortest walk is more than twice as risky "
                    "as their safest.")
    catchment.add_argument("graph", help="graph document (.json, .json.gz) or snapshot")
    catchment.add_argument("place", metavar="PLACE", type=_end,
                           help="node id or LAT,LON")
    catchment.add_argument("--minutes", type=float, default=15.0,
                           help="walking time of the shortest walk (default 15)")
    catchment.add_argument("--direction", choices=("to", "from"), default="to",
                           help="walks to the place (default) or from it")
    catchment.add_argument("--max-snap-m", type=float, default=DEFAULT_MAX_SNAP_M,
                           help="farthest the place may lie from its node, in "
                                f"metres (default {DEFAULT_MAX_SNAP_M:g})")
    catchment.add_argument("--geojson", metavar="OUT",
                           help="also write its street segments as GeoJSON "
                                "(extra geopandas)")

    check = commands.add_parser(
        "check", help="list a graph document's problems",
        description="List a graph document's problems; exit with status 1 when "
                    "one of them is an error.")
    check.add_argument("graph", help="graph document, .json or .json.gz")

    serve = commands.add_parser(
        "serve", help="answer routes over HTTP, with a map page (extra serve)",
        description="Answer routes over HTTP; the map page is at / and the API "
                    "is described at /docs.")
    serve.add_argument("graph", help="graph document (.json, .json.gz) or snapshot")
    serve.add_argument("--host", default="127.0.0.1",
                       help="address to listen on (default 127.0.0.1)")
    serve.add_argument("--port", type=int, default=8000, help="default 8000")
    serve.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                       help="worker processes, which share one copy of the graph "
                            "(default: the number of cores)")
    serve.add_argument("--timeout-s", type=float, default=10.0,
                       help="time limit of one request, in seconds (default 10)")
    serve.add_argument("--max-catchment-nodes", type=int,
                       default=DEFAULT_MAX_CATCHMENT_NODES,
                       help="most nodes a catchment of GET /catchment may hold "
                            f"(default {DEFAULT_MAX_CATCHMENT_NODES})")
    serve.add_argument("--max-queue", type=int, default=None, metavar="N",
                       help="jobs that may wait for a worker (a pair of POST "
                            "/routes is a job); a request beyond gets 503 with "
                            "Retry-After at once (default: 4 per worker)")
    serve.add_argument("--reload-on-change", action="store_true",
                       help="load the graph file again when it changes "
                            "(SIGHUP always does)")
    serve.add_argument("--access-log", choices=("json",), default=None,
                       help="write a JSON line per request on stderr")

    _add_pack(commands)
    commands.add_parser("osm", add_help=False,
                        help="convert an OpenStreetMap extract: norvel-osm-graph")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """The ``norvel`` command; its exit status."""
    arguments = list(sys.argv[1:] if argv is None else argv)
    if arguments[:1] == ["osm"]:
        from norvel._osm_command import main as osm_main

        return osm_main(arguments[1:])
    args = _parser().parse_args(arguments)
    if args.command == "route":
        return _route(args)
    if args.command == "check":
        return _check(args.graph)
    if args.command == "catchment":
        return _catchment(args)
    if args.command == "pack":
        return _pack(args.graph, args.snapshot)
    return _serve(args)


def _route(args: argparse.Namespace) -> int:
    from norvel import Router

    try:
        router = Router.from_file(args.graph)
        routes = router.route(args.origin, args.destination, args.eps,
                              max_snap_m=args.max_snap_m)
    except (OSError, ValueError, TypeError, KeyError, RuntimeError) as error:
        message = error.args[0] if isinstance(error, KeyError) and error.args else error
        print(f"norvel route: {message}", file=sys.stderr)
        return 1
    for name, given, snap in (("from", args.origin, routes.origin),
                              ("to", args.destination, routes.destination)):
        if isinstance(given, tuple):
            print(f"{name} {given[0]},{given[1]}: node {snap.node}, "
                  f"{snap.distance_m:.1f} m away")
    for route in routes:
        streets = ", ".join(route.streets) if route.streets else "-"
        print(f"{route.type:<9} {route.distance_m:9.1f} m  risk {route.risk:8.4f}  "
              f"{route.time_min:6.1f} min  {streets}")
    if args.geojson:
        from norvel.geo import write_geojson

        try:
            write_geojson(args.geojson, routes)
        except OSError as error:
            print(f"norvel route: cannot write {args.geojson}: "
                  f"{error.strerror or error}", file=sys.stderr)
            return 1
    return 0


def _catchment(args: argparse.Namespace) -> int:
    import numpy as np

    from norvel import Router

    try:
        router = Router.from_file(args.graph)
        catchment = router.catchment(args.place, args.minutes,
                                     max_snap_m=args.max_snap_m,
                                     direction=args.direction)
        if args.geojson:
            catchment.to_geodataframe("edges").to_file(args.geojson,
                                                       driver="GeoJSON")
    except (OSError, ValueError, TypeError, KeyError, ImportError) as error:
        message = error.args[0] if isinstance(error, KeyError) and error.args else error
        print(f"norvel catchment: {message}", file=sys.stderr)
        return 1
    columns = catchment.columns()
    detours = columns["safest_m"] - columns["shortest_m"]
    riskier = columns["shortest_risk"] > 2.0 * columns["safest_risk"]
    place = catchment.place
    print(f"place: node {place.node}, {place.distance_m:.1f} m away")
    print(f"nodes within {args.minutes:g} min ({args.direction} the place): "
          f"{len(detours)}")
    if len(detours):
        median, tail = np.percentile(detours, [50, 90]).tolist()
        print(f"safety detour: median {median:.1f} m, 90th percentile "
              f"{tail:.1f} m")
        print(f"shortest walk more than twice as risky as the safest: "
              f"{100.0 * float(riskier.mean()):.1f} % of nodes")
    return 0


def _check(path: str) -> int:
    from norvel import check_document

    try:
        problems = check_document(path)
    except (OSError, ValueError) as error:
        print(f"norvel check: {error}", file=sys.stderr)
        return 1
    for problem in problems:
        print(f"{problem.severity}: {problem.kind}: {problem.message}")
    errors = sum(problem.severity == "error" for problem in problems)
    print(f"{path}: {errors} error{'s' if errors != 1 else ''}, "
          f"{len(problems) - errors} warning{'s' if len(problems) - errors != 1 else ''}",
          file=sys.stderr)
    return 1 if errors else 0


def _add_pack(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    pack = commands.add_parser(
        "pack", help="write a graph as a snapshot file, which loads in milliseconds",
        description="Read a graph document once and write it as a snapshot: "
                    "its arrays, street names and nearest-node index as they "
                    "lie in memory, checksummed. Every command that takes a "
                    "GRAPH takes the snapshot too, and maps it rather than "
                    "reading it (norvel serve's workers share one copy).")
    pack.add_argument("graph", help="graph document, .json or .json.gz (or a snapshot)")
    pack.add_argument("snapshot", metavar="CITY.norvel", help="the snapshot to write")


def _pack(graph: str, snapshot: str) -> int:
    import hashlib

    from norvel import Router
    from norvel import _files

    try:
        if _files.is_snapshot(graph):
            # Written again: its source is the one it names.
            router = Router.from_file(graph)
            router.save(snapshot)
        else:
            # The digest is of the document's JSON text, the same for its
            # .json and its .json.gz.
            data = _files.read_graph_bytes(graph)
            source = hashlib.sha256(data).digest()
            router = Router(_files.parse_document(data, graph))
            del data  # the text goes before the snapshot's buffers come
            router.save(snapshot, source_sha256=source)
    except (OSError, ValueError) as error:
        print(f"norvel pack: {error}", file=sys.stderr)
        return 1
    print(f"{snapshot}: {router.node_count} nodes, {router.edge_count} edges, "
          f"{os.path.getsize(snapshot)} bytes", file=sys.stderr)
    return 0


def _serve(args: argparse.Namespace) -> int:
    try:
        from norvel.serve.app import serve
    except ImportError as missing:
        print(missing, file=sys.stderr)
        return 1
    if args.workers < 1 or not args.timeout_s > 0 or args.max_catchment_nodes < 1:
        print("norvel serve: --workers and --max-catchment-nodes must be 1 or more "
              "and --timeout-s positive", file=sys.stderr)
        return 1
    if args.max_queue is not None and args.max_queue < 0:
        print("norvel serve: --max-queue must be 0 or more", file=sys.stderr)
        return 1
    return serve(args.graph, host=args.host, port=args.port, workers=args.workers,
                 timeout_s=args.timeout_s, max_catchment_nodes=args.max_catchment_nodes,
                 max_queue=args.max_queue, reload_on_change=args.reload_on_change,
                 access_log=args.access_log)


if __name__ == "__main__":
    sys.exit(main())
