"""Seconds for norvel.access over the bundled sample's population grid and
its schools, or over a generated grid with random origins and places, and
what each part of it takes, beside the plain label search in Python it
replaced.

    PY=.venv/bin/python
    $PY bench/access.py                  # the 19 cells, the 3 schools
    $PY bench/access.py --repeat 10
    $PY ../shared/bench/roadgen.py --nodes 100000 --risk-div 1000 --out /tmp/grid100k
    $PY bench/access.py --graph /tmp/grid100k.json --origins 300 --places 20

The whole call (snapping, the search, the table) is timed, then the search
alone (`place_fronts`: one catchment of every place at once, of the origins'
nodes alone)
and, beside it, the label search in Python that answered it before
(`tests/norvel/access_reference.py`; --no-reference leaves it out on
large graphs), the whole call on it, and on the sample one whole-graph
catchment per place, the least that merging single-place catchments
would cost. On a generated grid the
origins and places are random nodes' points (seeded). Each figure is the
least of --repeat runs, wall and processor seconds, in one process, with
the load average. The goal: the whole call under 1 s on the sample.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from pathlib import Path

import numpy as np
import pandas

import norvel
from norvel import _access_walks

from bench_common import least_wall_cpu

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "norvel"))
from access_reference import place_fronts  # noqa: E402


def before(router: norvel.Router, homes: pandas.DataFrame, schools: pandas.DataFrame,
           minutes: tuple[float, ...], weight: str | None) -> None:
    """norvel.access as it was: the same call on the label search."""
    fast = _access_walks.place_fronts

    def label_search(session: object, nodes: object, places: object, cutoffs: object,
                     direction: object, risk: object, avoid: object = None,
                     max_detour: object = None, max_minutes: object = None) -> object:
        # The label search knows no avoided edges and no detour budget, and
        # needs no bound on the minutes: it settles the whole graph anyway.
        assert avoid is None and max_detour is None
        return place_fronts(router, nodes, places, cutoffs, direction, risk)

    _access_walks.place_fronts = label_search  # type: ignore[assignment]
    try:
        norvel.access(router, homes, schools, minutes, weight=weight)
    finally:
        _access_walks.place_fronts = fast


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--graph", help="a graph document (default: the sample)")
    parser.add_argument("--origins", type=int, default=300)
    parser.add_argument("--places", type=int, default=20)
    parser.add_argument("--seed", type=int, default=3)
    parser.add_argument("--no-reference", action="store_true")
    args = parser.parse_args()

    minutes = (5.0, 10.0, 15.0)
    if args.graph is None:
        import geopandas

        router = norvel.Router.from_file(norvel.datasets.helsinki_walk())
        homes: pandas.DataFrame = geopandas.read_file(norvel.datasets.helsinki_population())
        schools = pandas.read_csv(norvel.datasets.helsinki_schools())
        weight: str | None = "population"
    else:
        router = norvel.Router.from_file(args.graph)
        rng = np.random.default_rng(args.seed)
        table = router.table
        ids = table.routable_ids
        picked = rng.choice(len(ids), args.origins + args.places, replace=False)
        nodes = router.session.engine.node_index(ids[picked])
        lats, lons = router.session.engine.lats[nodes], router.session.engine.lons[nodes]
        homes = pandas.DataFrame({"lat": lats[:args.origins], "lon": lons[:args.origins]})
        schools = pandas.DataFrame({"lat": lats[args.origins:], "lon": lons[args.origins:]})
        weight = None
    router.build_index()
    result = norvel.access(router, homes, schools, minutes, weight=weight)
    nodes = np.asarray(result.origins["node"].dropna().to_numpy(np.uint64), dtype=np.uint64)
    places = np.asarray(result.places["node"].dropna().to_numpy(np.uint64), dtype=np.uint64)

    print(f"{len(homes)} origins ({len(nodes)} snapped), {len(places)} places, "
          f"{router.node_count} nodes; least of {args.repeat} runs; load average "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    rows = [
        ("norvel.access, whole call", lambda: norvel.access(
            router, homes, schools, minutes, weight=weight)),
        ("its search (place_fronts)", lambda: _access_walks.place_fronts(
            router.session, nodes, places, minutes, "to", "default")),
    ]
    if not args.no_reference:
        rows.append(("the label search in Python", lambda: place_fronts(
            router, nodes, places, minutes, "to", "default")))
        rows.append(("whole call on it (before)", lambda: before(
            router, homes, schools, minutes, weight)))
    if args.graph is None:  # on a large graph each takes minutes
        rows.append((f"{len(places)} whole-graph catchments", lambda: [
            router.catchment(int(place), math.inf) for place in places]))
    print(f"{'':34} {'wall s':>8} {'cpu s':>8}")
    for name, run in rows:
        wall, cpu, _ = least_wall_cpu(run, args.repeat)
        print(f"{name:34} {wall:8.3f} {cpu:8.3f}", flush=True)


if __name__ == "__main__":
    main()
