"""The ``norvel`` command: routes, document checks, the HTTP service and the
OpenStreetMap converter.

    norvel route GRAPH FROM TO [--eps E] [--max-snap-m M] [--risk LAYER] [--steps] [--geojson OUT]
    norvel route GRAPH FROM TO [--via PLACE]... [--alternatives K] [--max-shared S] [--max-detour X]
    norvel route GRAPH FROM TO [--avoid-edges I,J,K] [--avoid-area FILE.geojson]
    norvel catchment GRAPH PLACE [--minutes M] [--direction to|from] [--geojson OUT]
    norvel catchment GRAPH PLACE [--risk LAYER] [--compare LAYER] [--max-detour X]
    norvel catchment GRAPH PLACE [--avoid-edges I,J,K] [--avoid-area FILE.geojson]
    norvel access GRAPH ORIGINS PLACES --out FILE [--minutes 5,10,15] [--weight COLUMN]
    norvel access GRAPH ORIGINS PLACES --out FILE [--max-detour X]
    norvel check GRAPH
    norvel pack GRAPH CITY.norvel
    norvel serve GRAPH [--host H] [--port P] [--workers N] [--timeout-s S]
    norvel serve GRAPH [--max-catchment-nodes N] [--max-wait-s S] [--max-queue N]
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
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING

from norvel._version import package_version
from norvel._values import (
    DEFAULT_ACCESS_MINUTES,
    DEFAULT_CATCHMENT_MINUTES,
    DEFAULT_EPS,
    DEFAULT_MAX_CATCHMENT_NODES,
    DEFAULT_MAX_QUEUE,
    DEFAULT_MAX_SHARED,
    DEFAULT_MAX_SNAP_M,
    DEFAULT_MAX_WAIT_S,
    detour_m,
)

if TYPE_CHECKING:
    from norvel.catchment import Catchment


def _end(name: str) -> Callable[[str], int | tuple[float, float]]:
    """The argparse type of the end ``name`` (FROM, TO, PLACE): a node id
    or a LAT,LON point, read as the service reads one (no nan or inf); the
    router checks ranges."""
    def end(text: str) -> int | tuple[float, float]:
        from norvel._requests import node, point

        if "," in text:
            try:
                return point(text, name)
            except ValueError as error:
                raise argparse.ArgumentTypeError(str(error)) from None
        try:
            return node(text, name)
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"{text!r} is neither a node id nor LAT,LON") from None

    return end


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
    route.add_argument("origin", metavar="FROM", type=_end("FROM"), help="node id or LAT,LON")
    route.add_argument("destination", metavar="TO", type=_end("TO"), help="node id or LAT,LON")
    route.add_argument("--eps", type=float, default=DEFAULT_EPS,
                       help="approximation factor: 0 (exact, the default) or more")
    route.add_argument("--max-snap-m", type=float, default=DEFAULT_MAX_SNAP_M,
                       help="farthest a point may lie from its node, in metres "
                            f"(default {DEFAULT_MAX_SNAP_M:g})")
    _layer_arguments(route, "the risk layer to search on")
    route.add_argument("--steps", action="store_true",
                       help="print each route's steps under it: instruction, "
                            "distance and risk")
    route.add_argument("--geojson", metavar="OUT",
                       help="also write the routes as a GeoJSON FeatureCollection")
    route.add_argument("--via", metavar="PLACE", type=_end("--via"), action="append",
                       default=[], help="a stop to walk through (node id or LAT,LON); "
                                        "repeat it for more, in order; each leg is "
                                        "printed under its route")
    route.add_argument("--alternatives", metavar="K", type=int, default=0,
                       help="add up to K alternative routes of the exact front")
    route.add_argument("--max-shared", metavar="S", type=float, default=DEFAULT_MAX_SHARED,
                       help="the most of an alternative's length on each route before "
                            f"it, 0 to 1 (default {DEFAULT_MAX_SHARED})")
    route.add_argument("--max-detour", metavar="X", type=float, default=None,
                       help="add the least risky route at most 1 + X times as long "
                            "as the shortest, of the exact front")
    _avoid_arguments(route)

    catchment = commands.add_parser(
        "catchment", help="summarise the walks to (or from) one place",
        description="The nodes whose shortest walk to PLACE takes at most "
                    "--minutes, and how much safer their safest walk is: the "
                    "median and 90th-percentile detour, and the share of "
                    "nodes whose shortest walk is more than twice as risky "
                    "as their safest.")
    catchment.add_argument("graph", help="graph document (.json, .json.gz) or snapshot")
    catchment.add_argument("place", metavar="PLACE", type=_end("PLACE"),
                           help="node id or LAT,LON")
    catchment.add_argument("--minutes", type=float,
                           default=DEFAULT_CATCHMENT_MINUTES,
                           help=f"walking time of the shortest walk (default "
                                f"{DEFAULT_CATCHMENT_MINUTES:g})")
    catchment.add_argument("--direction", choices=("to", "from"), default="to",
                           help="walks to the place (default) or from it")
    catchment.add_argument("--max-snap-m", type=float, default=DEFAULT_MAX_SNAP_M,
                           help="farthest the place may lie from its node, in "
                                f"metres (default {DEFAULT_MAX_SNAP_M:g})")
    catchment.add_argument("--geojson", metavar="OUT",
                           help="also write its street segments as GeoJSON "
                                "(extra geopandas)")
    _layer_arguments(catchment, "the risk layer of the walks")
    catchment.add_argument("--compare", metavar="LAYER", default=None,
                           help="also the catchment on this risk layer, and "
                                "how the two differ")
    catchment.add_argument("--max-detour", metavar="X", type=float, default=None,
                           help="also each node's least risky walk at most 1 + X "
                                "times as long as its shortest, and the share of "
                                "nodes it makes safer")
    _avoid_arguments(catchment)

    _access_parser(commands)

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
    serve.add_argument("--max-wait-s", type=float, default=DEFAULT_MAX_WAIT_S,
                       metavar="S",
                       help="longest expected wait for a worker, in seconds, from "
                            "the recent times of each kind of request; a request "
                            "expected to wait longer gets 503 with Retry-After at "
                            f"once, and 0 refuses any that would wait (default "
                            f"{DEFAULT_MAX_WAIT_S:g})")
    serve.add_argument("--max-queue", type=int, default=DEFAULT_MAX_QUEUE, metavar="N",
                       help="most jobs that may wait for a worker whatever their "
                            "expected wait (a pair of POST /routes is a job); a "
                            "request beyond gets 503 with Retry-After at once "
                            f"(default {DEFAULT_MAX_QUEUE})")
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
    if args.command == "access":
        return _access(args)
    if args.command == "pack":
        return _pack(args.graph, args.snapshot)
    return _serve(args)


def _avoid_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--avoid-edges", metavar="I,J,K", default=None,
                        help="edges not to take: their indices in the "
                             "document's edge list, separated by commas")
    parser.add_argument("--avoid-area", metavar="FILE", action="append",
                        default=[],
                        help="a GeoJSON file of Polygons or MultiPolygons "
                             "(a geometry, a Feature or a FeatureCollection) "
                             "whose streets are not to be taken; may be given "
                             "more than once")


def _avoided(args: argparse.Namespace) -> list[object] | None:
    """What ``--avoid-edges`` and ``--avoid-area`` name, as ``avoid=``
    takes it; None when neither is given. OSError or ValueError for a
    file that cannot be read or is no GeoJSON."""
    import json

    from norvel._requests import edge_indices

    parts: list[object] = []
    if args.avoid_edges is not None:
        parts.append(edge_indices(args.avoid_edges, "--avoid-edges"))
    for path in args.avoid_area:
        with open(path, encoding="utf-8") as file:
            document = json.load(file)
        kind = document.get("type") if isinstance(document, dict) else None
        if kind == "FeatureCollection":
            parts += [feature["geometry"] for feature in document["features"]]
        elif kind == "Feature":
            parts.append(document["geometry"])
        else:
            parts.append(document)
    return parts or None


def _route(args: argparse.Namespace) -> int:
    from norvel import Router, RoutingError
    from norvel.steps import format_distance

    try:
        router = Router.from_file(args.graph)
        routes = router.route(args.origin, args.destination, args.eps,
                              max_snap_m=args.max_snap_m, risk=args.risk,
                              at=args.at, via=args.via, alternatives=args.alternatives,
                              max_shared=args.max_shared, max_detour=args.max_detour,
                              avoid=_avoided(args))
    # A RoutingError of each kind (norvel.failures), NoRouteError too.
    except (RoutingError, OSError, ValueError, TypeError, KeyError, RuntimeError,
            ImportError) as error:
        message = error.args[0] if isinstance(error, KeyError) and error.args else error
        print(f"norvel route: {message}", file=sys.stderr)
        return 1
    if args.at is not None:
        print(f"risk layer at {args.at}: {routes.risk}")
    for name, given, snap in (("from", args.origin, routes.origin),
                              ("to", args.destination, routes.destination)):
        if isinstance(given, tuple):
            print(f"{name} {given[0]},{given[1]}: node {snap.node}, "
                  f"{snap.distance_m:.1f} m away")
    # One column for the types, as wide as the widest given ("within_detour").
    width = max([9, *(len(route.type) for route in routes)])
    for route in routes:
        streets = ", ".join(route.streets) if route.streets else "-"
        print(f"{route.type:<{width}} {route.distance_m:9.1f} m  risk {route.risk:8.4f}  "
              f"{route.time_min:6.1f} min  {streets}")
        if args.via:
            for number, leg in enumerate(route.legs, 1):
                print(f"{f'  leg {number}':<{width}} {leg.distance_m:9.1f} m  risk {leg.risk:8.4f}  "
                      f"{leg.time_min:6.1f} min")
        if args.steps:
            for step in route.steps:
                print(f"  {format_distance(step.distance_m):>8}  risk "
                      f"{step.risk:8.4f}  {step.instruction}")
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
    from norvel import Router, RoutingError

    try:
        router = Router.from_file(args.graph)
        options = {"minutes": args.minutes, "max_snap_m": args.max_snap_m,
                   "direction": args.direction, "avoid": _avoided(args)}
        catchment = router.catchment(args.place, risk=args.risk, at=args.at,
                                     max_detour=args.max_detour, **options)
        compared = (None if args.compare is None else
                    router.catchment(args.place, risk=args.compare, **options))
        if args.geojson:
            catchment.to_geodataframe("edges").to_file(args.geojson,
                                                       driver="GeoJSON")
        place = catchment.place
        lines = [f"place: node {place.node}, {place.distance_m:.1f} m away"]
        if compared is None:
            lines += _summary(catchment, args)
        else:
            names = (catchment.risk, args.compare)
            for name, shown in zip(names, (catchment, compared)):
                lines += [f"{name}: {line}" for line in _summary(shown, args)]
            lines += _change(catchment, compared, names)
    except (RoutingError, OSError, ValueError, TypeError, KeyError, ImportError) as error:
        message = error.args[0] if isinstance(error, KeyError) and error.args else error
        print(f"norvel catchment: {message}", file=sys.stderr)
        return 1
    print("\n".join(lines))
    return 0


def _summary(catchment: Catchment, args: argparse.Namespace) -> list[str]:
    """What ``norvel catchment`` says of a catchment, line by line."""
    import numpy as np

    columns = catchment.columns()
    detours = detour_m(columns["shortest_m"], columns["safest_m"])
    riskier = columns["shortest_risk"] > 2.0 * columns["safest_risk"]
    lines = [f"nodes within {args.minutes:g} min ({args.direction} the place): "
             f"{len(detours)}"]
    if len(detours):
        median, tail = np.percentile(detours, [50, 90]).tolist()
        lines.append(f"safety detour: median {median:.1f} m, 90th percentile "
                     f"{tail:.1f} m")
        lines.append(f"shortest walk more than twice as risky as the safest: "
                     f"{100.0 * float(riskier.mean()):.1f} % of nodes")
        if "within_detour_risk" in columns:
            safer = columns["within_detour_risk"] < columns["shortest_risk"]
            lines.append(f"safer walk within a detour of "
                         f"{100.0 * (catchment.max_detour or 0.0):g} %: "
                         f"{100.0 * float(safer.mean()):.1f} % of nodes")
    return lines


def _change(catchment: Catchment, compared: Catchment,
            names: tuple[str, str]) -> list[str]:
    """How ``catchment`` differs from ``compared``, line by line, over the
    nodes both hold."""
    import numpy as np

    columns = catchment.compare_columns(compared)
    missing = columns["missing_from"]
    both = np.array([side is None for side in missing.tolist()], dtype=bool)
    this, other = names
    lines = [f"change, {this} against {other}: {int(both.sum())} nodes in both, "
             f"{int((missing == 'other').sum())} only on {this}, "
             f"{int((missing == 'this').sum())} only on {other}"]
    if both.any():
        detour = columns["change_detour_m"][both]
        median, tail = np.percentile(detour, [50, 90]).tolist()
        lines.append(f"change in safety detour: median {median:+.1f} m, 90th "
                     f"percentile {tail:+.1f} m; longer from "
                     f"{int((detour > 0).sum())} nodes, shorter from "
                     f"{int((detour < 0).sum())}")
        risk = columns["change_shortest_risk"][both]
        median, tail = np.percentile(risk, [50, 90]).tolist()
        lines.append(f"change in the shortest walk's risk: median {median:+.4f}, "
                     f"90th percentile {tail:+.4f}")
    return lines


def _access_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]
                   ) -> None:
    access = commands.add_parser(
        "access", help="who lives within a walk of a set of places",
        description="Walk from every origin (homes, grid cells) to the "
                    "nearest of a set of places (schools) and to the safest, "
                    "write each origin's walks to --out and print, per "
                    "cutoff, the weighted shares reachable and safely "
                    "reachable (pydoc norvel.accessibility says what each "
                    "means). ORIGINS and PLACES are .csv (lat and lon "
                    "columns), .gpkg, .geojson or .parquet (GeoParquet); "
                    "polygons stand for their centroids. --out ends in "
                    ".csv, .gpkg or .parquet (extra access).")
    access.add_argument("graph", help="graph document, .json or .json.gz")
    access.add_argument("origins", metavar="ORIGINS", help="the origins' table")
    access.add_argument("places", metavar="PLACES", help="the places' table")
    access.add_argument("--out", required=True, metavar="FILE",
                        help="where to write the origins with their walks")
    cutoffs = ",".join(f"{minutes:g}" for minutes in DEFAULT_ACCESS_MINUTES)
    access.add_argument("--minutes", type=_cutoff_list, default=cutoffs,
                        help=f"cutoffs in network minutes, comma-separated "
                             f"(default {cutoffs})")
    access.add_argument("--weight", metavar="COLUMN",
                        help="weigh origins by this column (such as "
                             "population); default: each origin 1")
    _layer_arguments(access, "the risk layer of the walks")
    access.add_argument("--direction", choices=("to", "from"), default="to",
                        help="walks to the places (default) or from them")
    access.add_argument("--max-snap-m", type=float, default=DEFAULT_MAX_SNAP_M,
                        help="farthest a point may lie from its node, in "
                             f"metres (default {DEFAULT_MAX_SNAP_M:g})")
    access.add_argument("--max-detour", metavar="X", type=float, default=None,
                        help="also each origin's least risky walk at most 1 + X "
                             "times as long as its shortest, and the share it "
                             "makes safer")


def _layer_arguments(parser: argparse.ArgumentParser, what: str) -> None:
    """--risk and --at, which choose a request's risk layer by its name or
    by the time of day its hours hold (Router.set_hours)."""
    parser.add_argument("--risk", metavar="LAYER", default=None,
                        help=f"{what} (default: the graph's risk_score)")
    parser.add_argument("--at", metavar="HH:MM", default=None,
                        help="the time of day: searches on the risk layer whose "
                             "hours hold then (not with --risk)")


def _cutoff_list(text: str) -> list[float]:
    try:
        return [float(part) for part in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a comma-separated list of minutes") from None


def _access(args: argparse.Namespace) -> int:
    from norvel import Router, access
    from norvel.accessibility import output_suffix, read_table

    try:
        output_suffix(args.out)
        router = Router.from_file(args.graph)
        result = access(router, read_table(args.origins),
                        read_table(args.places), args.minutes, weight=args.weight,
                        risk=args.risk, at=args.at, direction=args.direction,
                        max_snap_m=args.max_snap_m, max_detour=args.max_detour)
        result.write(args.out)
    except (OSError, ValueError, TypeError, ImportError) as error:
        print(f"norvel access: {error}", file=sys.stderr)
        return 1
    summary = result.summary()
    places = result.places
    weight = f" {args.weight}" if args.weight else ""
    print(f"origins: {len(result.origins)}, weight{weight} "
          f"{summary['weight'].iloc[0]:g}, of which not snapped "
          f"{summary['not_snapped_weight'].iloc[0]:g}")
    print(f"places: {len(places)}, {int(places['snapped'].sum())} snapped")
    shown = ["minutes", "reachable", "safely_reachable", "risky_only"]
    head = f"{'minutes':>8} {'reachable':>10} {'safely':>10} {'risky only':>11}"
    if args.max_detour is not None:
        shown.append("safer_within_detour")
        head += f" {'safer by detour':>16}"
    print(head)
    for minutes, *shares in zip(*(summary[name].tolist() for name in shown)):
        print(f"{minutes:8g} " + " ".join(
            f"{100 * share:{width}.1f}%" for share, width in zip(shares, (9, 9, 10, 15))))
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

    from norvel import Router, _files

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
    if args.max_queue < 0 or not args.max_wait_s >= 0:
        print("norvel serve: --max-queue and --max-wait-s must be 0 or more",
              file=sys.stderr)
        return 1
    return serve(args.graph, host=args.host, port=args.port, workers=args.workers,
                 timeout_s=args.timeout_s, max_catchment_nodes=args.max_catchment_nodes,
                 max_queue=args.max_queue, max_wait_s=args.max_wait_s,
                 reload_on_change=args.reload_on_change,
                 access_log=args.access_log)


if __name__ == "__main__":
    sys.exit(main())
