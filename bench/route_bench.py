"""Route requests per band of distance: norvel_core with each eps side by
side, beside three Dijkstra searches in networkx and in rustworkx, and
beside another build of norvel_core, request for request in the same run.

    python bench/route_bench.py                       # the bundled Helsinki sample
    python bench/route_bench.py --grid /tmp/grid100k  # also a generated grid (8 and 16 km bands)
    python bench/route_bench.py --current build/py/python --baseline /tmp/base/build/python

`--grid PREFIX` reads PREFIX.json and PREFIX.queries as the road-like graph
generator writes them (../shared/bench/roadgen.py), and times the bands of
`--grid-bands` (all with `--grid-bands 0`). `--baseline DIR` runs the
same requests with the norvel_core found in DIR (for example a build of an
older commit), in a second process, one request after the other with this
one, so that both see the same machine. networkx and rustworkx are used
when installed (`pip install networkx rustworkx` into the benchmark's
environment; the project does not depend on them).

Each figure is the median over the band's requests of the best of
`--repeat` runs, in milliseconds; a row per band holds every eps, the
ratio of each eps to eps 0, the baseline's figures and the speed-up over
it, then the peers.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import random
import statistics
import subprocess
import sys
import types
from pathlib import Path

from bench_common import document_bytes, least_ms, read_queries

ROOT = Path(__file__).resolve().parent.parent
# The sample as the package ships it, read from the tree so that the
# benchmark runs against any build of the module.
HELSINKI = ROOT / "norvel" / "data" / "helsinki_walk.json.gz"
HELSINKI_BANDS_M = (500, 1000, 1400, 1800)
GRID_BANDS_M = (8000, 16000)


def _earth() -> types.ModuleType:
    """norvel/_earth.py of the tree, by its path: importing the norvel
    package would need a build of it, and this process runs none."""
    spec = importlib.util.spec_from_file_location("norvel_earth", ROOT / "norvel" / "_earth.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# Great-circle metres on norvel's one Earth radius.
haversine_m = _earth().haversine_m


def random_pairs(document: dict, bands: tuple[int, ...], per_band: int, seed: int) -> list[tuple[int, int, int]]:
    """Pairs of listed nodes whose great-circle distance lies within 10 % of a band."""
    rng = random.Random(seed)
    nodes = document["nodes"]
    pairs = []
    for band in bands:
        found = 0
        while found < per_band:
            a, b = rng.choice(nodes), rng.choice(nodes)
            if 0.9 * band <= haversine_m(a["lat"], a["lon"], b["lat"], b["lon"]) <= 1.1 * band:
                pairs.append((band, a["id"], b["id"]))
                found += 1
    return pairs


class Dijkstras:
    """Three single-objective searches per pair, as a user could run them."""

    def __init__(self, document: dict) -> None:
        self.edges = [(e["from"], e["to"], e["distance_m"], e["risk_score"]) for e in document["edges"]]

    @staticmethod
    def weights(distance: float, risk: float) -> tuple[float, float, float]:
        return distance, risk, distance / 1000.0 + risk


class NetworkxRoutes(Dijkstras):
    def __init__(self, document: dict) -> None:
        super().__init__(document)
        import networkx

        self.nx = networkx
        self.graph = networkx.DiGraph()
        for start, end, distance, risk in self.edges:
            d, r, w = self.weights(distance, risk)
            old = self.graph.get_edge_data(start, end)
            if old is None or old["d"] > d:
                self.graph.add_edge(start, end, d=d, r=r, w=w)

    def routes(self, source: int, target: int) -> None:
        for weight in ("d", "r", "w"):
            self.nx.dijkstra_path(self.graph, source, target, weight=weight)


class RustworkxRoutes(Dijkstras):
    def __init__(self, document: dict) -> None:
        super().__init__(document)
        import rustworkx

        self.rx = rustworkx
        self.graph = rustworkx.PyDiGraph()
        self.index = {}
        for node in document["nodes"]:
            self.index[node["id"]] = self.graph.add_node(node["id"])
        for start, end, distance, risk in self.edges:
            for node in (start, end):
                if node not in self.index:
                    self.index[node] = self.graph.add_node(node)
            self.graph.add_edge(self.index[start], self.index[end], self.weights(distance, risk))

    def routes(self, source: int, target: int) -> None:
        for which in range(3):
            self.rx.dijkstra_shortest_paths(
                self.graph, self.index[source], target=self.index[target],
                weight_fn=lambda weights, which=which: weights[which])


def worker(document_path: str, repeat: int) -> None:
    """Answers "source target eps" lines with the best time in ms."""
    import norvel_core

    graph = norvel_core.PyGraph.from_json(document_bytes(document_path).decode())
    print("ready", flush=True)
    for line in sys.stdin:
        source, target, eps = line.split()
        ms = least_ms(lambda: norvel_core.compute_safe_routes(graph, int(source), int(target), float(eps)), repeat)
        print(f"{ms:.4f}", flush=True)


class Process:
    def __init__(self, pythonpath: str | None, document: Path, repeat: int) -> None:
        env = None
        if pythonpath is not None:
            import os

            env = dict(os.environ, PYTHONPATH=pythonpath)
        self.process = subprocess.Popen(
            [sys.executable, __file__, "--worker", str(document), "--repeat", str(repeat)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
        assert self.process.stdout.readline().strip() == "ready"

    def time(self, source: int, target: int, eps: float) -> float:
        self.process.stdin.write(f"{source} {target} {eps!r}\n")
        self.process.stdin.flush()
        return float(self.process.stdout.readline())

    def close(self) -> None:
        self.process.stdin.close()
        self.process.wait()


def table(title: str, document_path: Path, pairs: list[tuple[int, int, int]], args: argparse.Namespace) -> None:
    document = json.loads(document_bytes(document_path))
    others = {}
    for name, kind in (("networkx", NetworkxRoutes), ("rustworkx", RustworkxRoutes)):
        try:
            others[name] = kind(document)
        except ImportError:
            print(f"({name} is not installed: its column is left out)")
    current = Process(args.current, document_path, args.repeat)
    baseline = Process(args.baseline, document_path, args.repeat) if args.baseline else None
    bands = sorted({band for band, _, _ in pairs})

    print(f"\n## {title}: median ms per request ({len(pairs) // len(bands)} per band, best of {args.repeat})\n")
    header = ["band m"] + [f"eps {eps:g}" for eps in args.eps]
    ratios = [eps for eps in args.eps if eps != 0.0] if 0.0 in args.eps else []
    header += [f"eps {eps:g} / eps 0" for eps in ratios]
    if baseline:
        header += [f"baseline eps {eps:g}" for eps in args.eps] + [f"speed-up eps {eps:g}" for eps in args.eps]
    header += list(others)
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for band in bands:
        band_pairs = [(s, t) for b, s, t in pairs if b == band]
        other_ms = {name: statistics.median(least_ms(lambda: routes.routes(s, t), args.repeat) for s, t in band_pairs)
                    for name, routes in others.items()}
        # Every eps and the baseline take their turn on each request before
        # the next one, so that a slow spell of this noisy machine falls on
        # all of them alike and the ratios between them hold.
        times = {eps: [] for eps in args.eps}
        base_times = {eps: [] for eps in args.eps}
        for source, target in band_pairs:
            for eps in args.eps:
                times[eps].append(current.time(source, target, eps))
                if baseline and band <= args.baseline_max_band:
                    base_times[eps].append(baseline.time(source, target, eps))
        now = {eps: statistics.median(times[eps]) for eps in args.eps}
        before = {eps: statistics.median(base_times[eps]) if base_times[eps] else None for eps in args.eps}
        row = [str(band)] + [f"{now[eps]:.3f}" for eps in args.eps]
        row += [f"{now[eps] / now[0.0]:.2f}" for eps in ratios]
        if baseline:
            row += [f"{before[eps]:.3f}" if before[eps] is not None else "" for eps in args.eps]
            row += [f"{before[eps] / now[eps]:.1f}x" if before[eps] is not None else "" for eps in args.eps]
        row += [f"{other_ms[name]:.3f}" for name in others]
        print("| " + " | ".join(row) + " |", flush=True)
    current.close()
    if baseline:
        baseline.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--grid", type=Path, help="prefix of a generated grid (PREFIX.json, PREFIX.queries)")
    parser.add_argument("--grid-bands", type=int, nargs="+", default=list(GRID_BANDS_M),
                        help="the grid's bands to time, in metres (0: every band of the queries)")
    parser.add_argument("--current", help="folder holding the norvel_core to measure (default: the installed one)")
    parser.add_argument("--baseline", help="folder holding another build of norvel_core to compare with")
    parser.add_argument("--baseline-max-band", type=int, default=10**9,
                        help="leave the baseline out of longer bands (it may take minutes there)")
    parser.add_argument("--eps", type=float, nargs="+", default=[0.0, 0.1])
    parser.add_argument("--pairs", type=int, default=20, help="random pairs per band on the sample")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--skip-sample", action="store_true")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.worker, args.repeat)
        return
    if not args.skip_sample:
        sample = json.loads(document_bytes(HELSINKI))
        table("Helsinki sample", HELSINKI, random_pairs(sample, HELSINKI_BANDS_M, args.pairs, seed=1), args)
    if args.grid:
        document = args.grid.with_name(args.grid.name + ".json")
        queries = [(query.band_m, query.source, query.target)
                   for query in read_queries(args.grid.with_name(args.grid.name + ".queries"))]
        if 0 not in args.grid_bands:
            queries = [query for query in queries if query[0] in args.grid_bands]
        table(f"Generated grid {args.grid.name}", document, queries, args)


if __name__ == "__main__":
    main()
