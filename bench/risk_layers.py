"""What risk layers cost: memory, load time, and requests on a layer against
the same requests on a document whose risk_score is that layer.

    PY=.venv/bin/python
    $PY ../shared/bench/roadgen.py --nodes 100000 --risk-div 1000 --out /tmp/grid100k
    $PY ../shared/bench/roadgen.py --nodes 1000000 --risk-div 1000 --out /tmp/grid1m
    $PY bench/risk_layers.py requests --graph /tmp/grid100k.json [--pairs 300]
    $PY bench/risk_layers.py requests            # the bundled Helsinki sample
    $PY bench/risk_layers.py memory /tmp/grid1m.json [--build OLD:. --build NEW:.]
    $PY bench/risk_layers.py load /tmp/grid1m.json
    $PY bench/risk_layers.py load /tmp/grid1m.json --build OLD:. --build NEW:.
    $PY bench/risk_layers.py by-time [--graph /tmp/grid100k.json]

requests: one router holding a layer "night" (risks drawn once, with a
seed) beside a router of the same document with those risks as
risk_score; the same pairs (and the same catchments) are asked of both,
alternating pair by pair, and every answer is checked equal. Shown: the
median time per request on each, at eps 0 and 0.1, and of a 15-minute
catchment.

memory: resident memory (VmRSS) of a fresh interpreter after
Router.from_file, and after two layers are added to it (and the arrays
they were made from freed); and after use: the router without layers
after a route, against the router with the two after the same route on
each layer.

load: Router.from_file of the document as it is, and of the same
document with two layers in its risk_layers member, each in fresh
interpreters, alternating, --repeat times; the least wall time of each,
and the least processor time (steadier on a busy machine).
With --build (a PYTHONPATH, given more than once), each build in turn.

by-time: one router whose layer "night" holds from 20 to 6; the same
pairs (and catchments) asked with risk= that layer and with at="22:30",
alternating which goes first, every answer checked equal; the median time
per request of each.
"""

from __future__ import annotations

import argparse
import inspect
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import norvel

from bench_common import document_bytes, rss_mib


LAYER = "bench_night"


def night_risks(router: norvel.Router, seed: int = 1) -> np.ndarray:
    """A plausible layer: the document's risks, made three times as large
    on a third of the edges (unlit ones, say), to four decimals."""
    rng = np.random.default_rng(seed)
    base = router.edges()["default"].to_numpy()
    unlit = rng.random(len(base)) < 1 / 3
    return np.round(np.where(unlit, base * 3.0, base), 4)


def replaced_router(path: str, risks: np.ndarray) -> norvel.Router:
    """A router of the document at ``path`` with ``risks`` as risk_score."""
    document = json.loads(document_bytes(path))
    for edge, risk in zip(document["edges"], risks.tolist()):
        if isinstance(edge, dict):
            edge["risk_score"] = risk
        else:
            edge[3] = risk
    return norvel.Router.from_json(json.dumps(document))


def requests(args: argparse.Namespace) -> None:
    path = args.graph or str(norvel.datasets.helsinki_walk())
    router = norvel.Router.from_file(path)
    risks = night_risks(router)
    # A name no document layer takes (the sample has its own "night").
    router.add_risk(LAYER, risks)
    other = replaced_router(path, risks)
    ids = sorted(set(router.edges()["from"].tolist()))
    chooser = random.Random(7)
    pairs = [tuple(chooser.sample(ids, 2)) for _ in range(args.pairs)]
    print(f"{path}: {router.node_count} nodes, {router.edge_count} edges, "
          f"{len(pairs)} pairs")
    for eps in (0.0, 0.1):
        on_layer, on_document = [], []
        for turn, (a, b) in enumerate(pairs):
            # Either router goes first in turn, so that neither always
            # meets the caches the other left.
            calls = [(on_layer, lambda: router.route(a, b, eps, risk=LAYER)),
                     (on_document, lambda: other.route(a, b, eps))]
            for times, call in calls if turn % 2 == 0 else calls[::-1]:
                start = time.perf_counter()
                try:
                    answer = [(r.nodes, r.distance_m, r.risk) for r in call()]
                except norvel.RoutingError as error:
                    answer = [error.kind]
                times.append(time.perf_counter() - start)
                if times is on_layer:
                    on_layer_answer = answer
                else:
                    on_document_answer = answer
            if on_layer_answer != on_document_answer:
                raise SystemExit(f"answers differ for {a} -> {b} at eps {eps}")
        layer_ms = statistics.median(on_layer) * 1e3
        document_ms = statistics.median(on_document) * 1e3
        print(f"route eps {eps}: layer {layer_ms:.3f} ms, document {document_ms:.3f} ms, "
              f"ratio {layer_ms / document_ms:.3f}")
    on_layer, on_document = [], []
    for place in chooser.sample(ids, args.catchments):
        for times, call in ((on_layer, lambda: router.catchment(place, 15, risk=LAYER)),
                            (on_document, lambda: other.catchment(place, 15))):
            start = time.perf_counter()
            columns = call().columns()
            times.append(time.perf_counter() - start)
            if times is on_layer:
                expected_columns = columns
            elif any(not np.array_equal(columns[k], expected_columns[k]) for k in columns):
                raise SystemExit(f"catchments differ at {place}")
    layer_ms = statistics.median(on_layer) * 1e3
    document_ms = statistics.median(on_document) * 1e3
    print(f"catchment 15 min: layer {layer_ms:.2f} ms, document {document_ms:.2f} ms, "
          f"ratio {layer_ms / document_ms:.3f}")


def by_time(args: argparse.Namespace) -> None:
    path = args.graph or str(norvel.datasets.helsinki_walk())
    router = norvel.Router.from_file(path)
    router.add_risk(LAYER, night_risks(router), hours=(20, 6))
    ids = sorted(set(router.edges()["from"].tolist()))
    chooser = random.Random(7)
    pairs = [tuple(chooser.sample(ids, 2)) for _ in range(args.pairs)]
    places = chooser.sample(ids, args.catchments)
    print(f"{path}: {router.node_count} nodes, {router.edge_count} edges, "
          f"{len(pairs)} pairs, {len(places)} catchments")
    kinds = (("route", pairs, lambda a, b, **layer: [
                 (r.nodes, r.distance_m, r.risk) for r in router.route(a, b, **layer)]),
             ("catchment 15 min", [(p, None) for p in places], lambda a, _, **layer: [
                 router.catchment(a, 15, **layer).columns()["shortest_risk"].tolist()]))
    for name, asks, ask in kinds:
        times: dict[str, list[float]] = {"risk": [], "at": []}
        for turn, (a, b) in enumerate(asks):
            calls = [("risk", {"risk": LAYER}), ("at", {"at": "22:30"})]
            answers = []
            for key, layer in calls if turn % 2 == 0 else calls[::-1]:
                start = time.perf_counter()
                try:
                    answers.append(ask(a, b, **layer))
                except norvel.RoutingError as error:
                    answers.append([error.kind])
                times[key].append(time.perf_counter() - start)
            if answers[0] != answers[1]:
                raise SystemExit(f"answers differ for {a} -> {b}")
        risk_ms = statistics.median(times["risk"]) * 1e3
        at_ms = statistics.median(times["at"]) * 1e3
        print(f"{name}: risk= {risk_ms:.3f} ms, at= {at_ms:.3f} ms, "
              f"ratio {at_ms / risk_ms:.3f}")


MEMORY_CHILD = r"""
import ctypes, gc, json, sys
import numpy as np
import norvel
""" + inspect.getsource(rss_mib) + r"""
# What the router holds: glibc keeps freed blocks that large in the heap
# once its threshold has risen past them; they are given back first.
def resident_mib():
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    return rss_mib()

router = norvel.Router.from_file(sys.argv[1])
origin, destination = int(sys.argv[2]), int(sys.argv[3])
figures = {"edges": router.edge_count, "none": resident_mib()}
router.route(origin, destination)
figures["none used"] = resident_mib()
for name in ("night", "child"):
    values = np.full(router.edge_count, 0.25)
    router.add_risk(name, values)
    del values
figures["two"] = resident_mib()
for name in ("night", "child"):
    router.route(origin, destination, risk=name)
figures["two used"] = resident_mib()
print(json.dumps(figures))
"""


def memory_ends(path: str) -> tuple[int, int]:
    """Two nodes of the graph about 1.5 km apart, for the route asked on
    each layer: one in the middle of the ids, and the one nearest to a
    point 0.01 degrees north-east of it. Found in this process, so that
    the child measured holds nothing of the finding."""
    router = norvel.Router.from_file(path)
    ids = router.table.routable_ids
    origin = int(ids[len(ids) // 2])
    lat, lon = router.table[origin]
    return origin, router.nearest(lat + 0.01, lon + 0.01).node


def memory(args: argparse.Namespace) -> None:
    ends = memory_ends(args.graph)
    # Each build (a PYTHONPATH; the inherited one when none is given) in a
    # fresh child, in turn.
    for build in args.build or [os.environ.get("PYTHONPATH", "")]:
        # -P: the build's norvel, not one in the working folder.
        run = subprocess.run([sys.executable, "-P", "-c", MEMORY_CHILD, args.graph, *map(str, ends)],
                             capture_output=True, text=True, check=True,
                             env=dict(os.environ, PYTHONPATH=build))
        figures = json.loads(run.stdout)
        per_edge = 2**20 / figures["edges"] / 2
        if args.build:
            print(f"{build}:")
        print(f"{args.graph}: {figures['edges']} edges; Router {figures['none']:.0f} MiB, "
              f"with two layers {figures['two']:.0f} MiB: "
              f"{figures['two'] / figures['none']:.3f}x "
              f"({(figures['two'] - figures['none']) * per_edge:.1f} bytes per edge and layer)")
        print(f"after a route {ends[0]} -> {ends[1]} (on each layer): without layers "
              f"{figures['none used']:.0f} MiB, with two {figures['two used']:.0f} MiB: "
              f"{figures['two used'] / figures['none used']:.3f}x "
              f"({(figures['two used'] - figures['none used']) * per_edge:.1f} bytes per edge "
              f"and layer); against the unused router {figures['two used'] / figures['none']:.3f}x")


LOAD_CHILD = r"""
import json, sys, time
import norvel
start, processor = time.perf_counter(), time.process_time()
norvel.Router.from_file(sys.argv[1])
print(time.perf_counter() - start, time.process_time() - processor)
"""


def load(args: argparse.Namespace) -> None:
    router = norvel.Router.from_file(args.graph)
    with tempfile.TemporaryDirectory() as folder:
        layered = os.path.join(folder, "layered.json")
        for name in ("night", "child"):
            router.add_risk(name, night_risks(router, seed=len(name)))
        router.to_document(layered)
        del router
        plain = os.path.join(folder, "plain.json")
        norvel.Router.from_file(layered).to_document(plain)
        # The plain document keeps the layers' writer's form: drop them.
        with open(plain, "rb") as stream:
            text = stream.read()
        cut = text.rfind(b',\n"risk_layers"')
        with open(plain, "wb") as stream:
            stream.write(text[:cut] + b"}\n")
        # Each build (a PYTHONPATH its norvel is imported from; the
        # inherited one when none is given) loads both documents, the
        # builds and documents alternating, so that a busy machine slows
        # all of them alike.
        builds = args.build or [os.environ.get("PYTHONPATH", "")]
        times: dict[tuple[str, str], list[float]] = {}
        for _ in range(args.repeat):
            for build in builds:
                for kind, path in (("without", plain), ("two layers", layered)):
                    run = subprocess.run(
                        [sys.executable, "-c", LOAD_CHILD, path],
                        capture_output=True, text=True, check=True,
                        env=dict(os.environ, PYTHONPATH=build))
                    wall, processor = map(float, run.stdout.split())
                    times.setdefault((build, kind), []).append(wall)
                    times.setdefault((build, kind + " cpu"), []).append(processor)
        for build in builds:
            without = min(times[build, "without"])
            two = min(times[build, "two layers"])
            without_cpu = min(times[build, "without cpu"])
            two_cpu = min(times[build, "two layers cpu"])
            print(f"load{f' ({build})' if args.build else ''}: without layers "
                  f"{without:.3f} s, with two {two:.3f} s: {two / without:.3f}x; "
                  f"processor time {without_cpu:.3f} s and {two_cpu:.3f} s: "
                  f"{two_cpu / without_cpu:.3f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    ask = commands.add_parser("requests")
    ask.add_argument("--graph", default=None)
    ask.add_argument("--pairs", type=int, default=300)
    ask.add_argument("--catchments", type=int, default=15)
    ask.set_defaults(run=requests)
    hours = commands.add_parser("by-time")
    hours.add_argument("--graph", default=None)
    hours.add_argument("--pairs", type=int, default=300)
    hours.add_argument("--catchments", type=int, default=15)
    hours.set_defaults(run=by_time)
    size = commands.add_parser("memory")
    size.add_argument("graph")
    size.add_argument("--build", action="append", metavar="PYTHONPATH",
                      help="a build to measure (its PYTHONPATH); several "
                           "are measured in turn")
    size.set_defaults(run=memory)
    timing = commands.add_parser("load")
    timing.add_argument("graph")
    timing.add_argument("--repeat", type=int, default=3)
    timing.add_argument("--build", action="append", metavar="PYTHONPATH",
                        help="a build to time (its PYTHONPATH); several "
                             "are timed side by side")
    timing.set_defaults(run=load)
    args = parser.parse_args()
    args.run(args)


if __name__ == "__main__":
    main()
