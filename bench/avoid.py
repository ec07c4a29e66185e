"""What avoid= costs: Router.route and Router.catchment with 200 random
edges avoided, against the same requests on a router of the document
without them; and how long a polygon of about 1 km^2 takes to resolve into
edges.

    PY=.venv/bin/python
    $PY ../shared/bench/roadgen.py --nodes 100000 --risk-div 1000 --out /tmp/grid100k
    $PY ../shared/bench/roadgen.py --nodes 1000000 --risk-div 1000 --out /tmp/grid1m
    $PY bench/avoid.py                                   # the sample
    $PY bench/avoid.py --graph /tmp/grid100k.json        # a generated grid
    $PY bench/avoid.py --graph /tmp/grid1m.json --polygon-only

Each figure is the median over the requests of the least of --repeat runs
(ms): requests between random nodes of the graph (or the grid's own
requests, read from GRAPH's .queries beside it), eps 0 and 0.1, and
10-minute catchments of random places. The answers of the two routers are
compared too (they must be equal, edges mapped back). The polygon: a square
of 1 km a side around the middle of the graph's box, in (lon, lat),
resolved by router.session.avoided once the segment index is built.
"""

from __future__ import annotations

import os

# numpy's BLAS threads spin for a while after a call, on a core the
# requests timed here would have had.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import json
import math
import random
import statistics
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

import norvel
from norvel.datasets import helsinki_walk

from bench_common import document_bytes, least_in_turn_ms, least_ms, read_queries


def ratio(mine: list[float], theirs: list[float]) -> float:
    """The median over the requests of each one's ratio."""
    return statistics.median(a / b for a, b in zip(mine, theirs))


def without(document: dict[str, Any], avoided: set[int]) -> dict[str, Any]:
    kept = [i for i in range(len(document["edges"])) if i not in avoided]
    replaced = dict(document, edges=[document["edges"][i] for i in kept])
    if "risk_layers" in document:
        replaced["risk_layers"] = {name: [risks[i] for i in kept]
                                   for name, risks in document["risk_layers"].items()}
    return replaced


def pairs_of(path: Path, ids: list[int], count: int, chooser: random.Random) -> list[tuple[int, int]]:
    queries = path.with_suffix(".queries")
    if queries.exists():
        return [(query.source, query.target) for query in read_queries(queries)][:count]
    return [tuple(chooser.sample(ids, 2)) for _ in range(count)]  # type: ignore[misc]


def outcome(call: Callable[[], Any]) -> Any:
    try:
        return call()
    except norvel.RoutingError as error:
        return str(error)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--graph", type=Path, default=None, help="graph document (default: the sample)")
    parser.add_argument("--avoided", type=int, default=200)
    parser.add_argument("--pairs", type=int, default=30)
    parser.add_argument("--places", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--polygon-only", action="store_true")
    args = parser.parse_args()
    path = args.graph or helsinki_walk()
    chooser = random.Random(1)
    document = json.loads(document_bytes(path))
    router = norvel.Router.from_json(json.dumps(document))
    print(f"{path}: {router.node_count} nodes, {router.edge_count} edges")

    lats = [node["lat"] for node in document["nodes"]]
    lons = [node["lon"] for node in document["nodes"]]
    lat, lon = (min(lats) + max(lats)) / 2, (min(lons) + max(lons)) / 2
    half_lat = 500.0 / 111_195.0
    half_lon = half_lat / math.cos(math.radians(lat))
    square = {"type": "Polygon", "coordinates": [[
        [lon - half_lon, lat - half_lat], [lon + half_lon, lat - half_lat],
        [lon + half_lon, lat + half_lat], [lon - half_lon, lat + half_lat],
        [lon - half_lon, lat - half_lat]]]}
    start = time.perf_counter()
    router.session.avoided(square)
    built = time.perf_counter() - start
    found = router.session.avoided(square)
    resolve = least_ms(lambda: router.session.avoided(square), max(args.repeat, 10))
    print(f"1 km^2 square: {len(found)} edges, resolved in {resolve:.2f} ms "
          f"(the segment index built once first: {built:.2f} s)")
    if args.polygon_only:
        return

    avoided = set(chooser.sample(range(router.edge_count), args.avoided))
    indices = sorted(avoided)
    kept = [i for i in range(router.edge_count) if i not in avoided]
    other = norvel.Router.from_json(json.dumps(without(document, avoided)))
    ids = [node["id"] for node in document["nodes"]]
    pairs = pairs_of(Path(path), ids, args.pairs, chooser)
    # The indices as a list of ints, and as an array of uint32 (what
    # router.session.avoided answers, cheaper to pass).
    for form, given in (("list", indices), ("uint32 array", np.asarray(indices, dtype=np.uint32))):
        for eps in (0.0, 0.1):
            mine, theirs, differ = [], [], 0
            for source, target in pairs:
                a = outcome(lambda: router.route(source, target, eps, avoid=given))
                b = outcome(lambda: other.route(source, target, eps))
                same = (a == b if isinstance(a, str) or isinstance(b, str) else
                        [(r.nodes, r.distance_m, r.risk, r.edges) for r in a]
                        == [(r.nodes, r.distance_m, r.risk, [kept[e] for e in r.edges]) for r in b])
                differ += not same
                ours, replaced = least_in_turn_ms((
                    lambda: outcome(lambda: router.route(source, target, eps, avoid=given)),
                    lambda: outcome(lambda: other.route(source, target, eps))), args.repeat)
                mine.append(ours)
                theirs.append(replaced)
            print(f"route eps {eps}, avoid= a {form}: {statistics.median(mine):.3f} ms, the document "
                  f"without the edges {statistics.median(theirs):.3f} ms "
                  f"(x{statistics.median(mine) / statistics.median(theirs):.3f}, sum x{sum(mine) / sum(theirs):.3f}, "
                  f"a pair's median x{ratio(mine, theirs):.3f}); {differ} answers differ")
    mine, theirs = [], []
    for place in chooser.sample(ids, args.places):
        ours, replaced = least_in_turn_ms((
            lambda: outcome(lambda: router.catchment(place, 10.0, avoid=indices)),
            lambda: outcome(lambda: other.catchment(place, 10.0))), args.repeat)
        mine.append(ours)
        theirs.append(replaced)
    print(f"catchment 10 min: avoid= {statistics.median(mine):.2f} ms, the document without the edges "
          f"{statistics.median(theirs):.2f} ms (x{statistics.median(mine) / statistics.median(theirs):.3f}, "
          f"sum x{sum(mine) / sum(theirs):.3f}, a place's median x{ratio(mine, theirs):.3f})")


if __name__ == "__main__":
    main()
