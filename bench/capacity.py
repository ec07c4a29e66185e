"""The figures of the Capacity page for a large generated grid, end to end:
make it, pack it, load it from JSON and from the snapshot, route on it, and
serve it with two workers (kept out of CI: the 5 M-node run takes some
twenty minutes and some 6 GB of memory at its peak).

    PY=.venv/bin/python
    nice $PY bench/capacity.py --nodes 5000000 --out /tmp/grid5m \
        [--roadgen ../shared/bench/roadgen.py] [--skip-make]

The grid is ``../shared/bench/roadgen.py``'s road-like grid (seed 1,
``--risk-div 1000``), made through its classes rather than its command,
which stops at 2.5 M nodes for the research code's tables: only the JSON
document (``OUT.json``, byte for byte what the command writes) and route
requests (``OUT.pairs``) are written. The requests are ``--routes`` pairs
of nodes of one strongly connected component, in crow-fly bands of 250 m
to 4 km, as roadgen draws them.

Then, each step in a fresh interpreter so that its memory is its own:

- ``norvel pack OUT.json OUT.norvel``: seconds, processor seconds, peak
  RSS, the snapshot's size;
- ``Router.from_file`` of the JSON document, and of the snapshot (mapping
  it, every byte checked against its checksum), then ``build_index()``:
  wall and processor seconds, peak RSS, and RSS and PSS once loaded;
- the requests, one ``route()`` after another on the loaded snapshot
  (``eps=0``): processor seconds per route by band;
- ``norvel serve OUT.norvel --workers 2``: seconds until /health answers,
  summed PSS of its processes after start and after the requests' first
  100 as GET /route, then a reload (SIGHUP) timed until /health names the
  new generation, with the peak summed PSS meanwhile (sampled every 0.2 s)
  and the PSS once the old generation has gone.

The load average is printed beside the timings: the machine may be shared.
Linux only (PSS from /proc/PID/smaps_rollup, through psutil).
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import random
import resource
import signal
import struct
import subprocess
import sys
import threading
import time
import urllib.request
from pathlib import Path
from types import ModuleType
from typing import Any

import psutil

from served import Service

MIB = 2**20
BANDS_M = (250, 500, 1000, 2000, 4000)
ROADGEN = Path("../shared/bench/roadgen.py")  # from the repository, as bench/ reads it

# A fresh interpreter loads the graph and reports: its times, peak RSS, RSS
# and PSS once loaded; with pairs, it routes them and reports their times.
LOAD = r"""
import json, sys, time
import norvel

def high_water():
    # VmHWM: ru_maxrss would carry over the forking parent's.
    with open("/proc/self/status") as lines:
        for line in lines:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024

def rollup():
    fields = {}
    with open("/proc/self/smaps_rollup") as lines:
        for line in lines:
            parts = line.split()
            if parts[0] in ("Rss:", "Pss:"):
                fields[parts[0][:-1].lower()] = int(parts[1]) * 1024
    return fields

path, pairs_path = sys.argv[1], sys.argv[2]
wall, cpu = time.perf_counter(), time.process_time()
router = norvel.Router.from_file(path)
loaded = (time.perf_counter() - wall, time.process_time() - cpu)
wall, cpu = time.perf_counter(), time.process_time()
router.build_index()
indexed = (time.perf_counter() - wall, time.process_time() - cpu)
out = {"load": loaded, "index": indexed, **rollup(),
       "peak_rss": high_water(),
       "nodes": router.node_count, "edges": router.edge_count}
if pairs_path:
    times = {}
    first = None
    checksum = 0.0
    with open(pairs_path) as pairs:
        asked = [tuple(map(int, line.split())) for line in pairs]
    for band, source, target in asked:
        cpu = time.process_time()
        routes = router.route(source, target)
        took = time.process_time() - cpu
        first = took if first is None else first
        times.setdefault(band, []).append(took)
        checksum += routes[0].distance_m
    out["routes"] = times
    out["first"] = first
    out["checksum"] = checksum.hex()
print(json.dumps(out))
"""


def layout(path: Path) -> None:
    """Prints a snapshot's sections from its table, with bytes per node and
    per edge (docs/documents.md has the format)."""
    with open(path, "rb") as f:
        header = f.read(128)
        count = struct.unpack_from("<I", header, 24)[0]
        table = f.read(64 * count)
    sections = []
    for k in range(count):
        name = table[64 * k:64 * k + 32].rstrip(b"\0").decode()
        _, length, elements, _, _ = struct.unpack_from("<QQQII", table, 64 * k + 32)
        sections.append((name, length, elements))
    nodes = next(elements for name, _, elements in sections if name == "id_of")
    edges = next(elements for name, _, elements in sections if name == "out_edges")
    print(f"{path}: {path.stat().st_size} bytes, {nodes} nodes, {edges} edges")
    for name, length, elements in sections:
        per = ("node" if elements in (nodes, nodes + 1) else "edge" if elements == edges else "")
        share = f"{length / (nodes if per == 'node' else edges):6.2f} bytes a {per}" if per else ""
        print(f"  {name:16} {length:>12} bytes  {elements:>10} elements  {share}")


def load_average() -> str:
    return "load average " + " ".join(f"{x:.2f}" for x in os.getloadavg())


def roadgen(path: Path) -> ModuleType:
    spec = importlib.util.spec_from_file_location("roadgen", path)
    if spec is None or spec.loader is None:
        raise SystemExit(f"cannot import {path}")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def make(args: argparse.Namespace, document: Path, pairs: Path) -> None:
    """Writes the grid's document as roadgen writes it, and the pairs."""
    gen = roadgen(args.roadgen)
    rng = random.Random(1)
    started = time.perf_counter()
    graph = gen.Graph(rng, args.nodes, 80.0, 48.8566, 2.3522)
    per_band = -(-args.routes // len(BANDS_M))
    queries, scc = gen.make_queries(rng, graph, per_band, list(BANDS_M))
    with open(document, "w") as f:
        f.write('{"nodes":[\n')
        f.write(",\n".join('{"id":%d,"lat":%r,"lon":%r}' % (graph.ids[k], graph.lat[k], graph.lon[k])
                           for k in range(graph.n)))
        f.write('\n],"edges":[\n')
        f.write(",\n".join(
            '{"from":%d,"to":%d,"distance_m":%d,"risk_score":%r}' % (graph.ids[u], graph.ids[v], d, r / 1000)
            for u, v, d, r in zip(graph.src, graph.dst, graph.dist, graph.risk)))
        f.write("\n]}\n")
    with open(pairs, "w") as f:
        for band, s, t, _ in queries[:args.routes]:
            f.write(f"{band} {graph.ids[s]} {graph.ids[t]}\n")
    print(f"made {document}: {graph.n} nodes, {len(graph.src)} edges, strong component {scc}, "
          f"{min(len(queries), args.routes)} pairs; {time.perf_counter() - started:.0f} s", flush=True)


# A command of norvel's in a fresh interpreter, then its peak RSS (VmHWM)
# on stderr's last line.
COMMAND = r"""
import runpy, sys
sys.argv = ["norvel", *sys.argv[1:]]
try:
    runpy.run_module("norvel", run_name="__main__")
except SystemExit as done:
    if done.code:
        raise
with open("/proc/self/status") as lines:
    peak = next(int(line.split()[1]) * 1024 for line in lines if line.startswith("VmHWM:"))
print(peak, file=sys.stderr)
"""


def child_run(command: list[str]) -> tuple[float, float, str, str]:
    """Runs a command: (wall s, processor s of it, stdout, stderr)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu, done.stdout, done.stderr


def loaded(path: Path, pairs: Path | None) -> dict[str, Any]:
    _, _, out, _ = child_run([sys.executable, "-c", LOAD, str(path), str(pairs or "")])
    result: dict[str, Any] = json.loads(out)
    return result


def summed_pss(process: psutil.Process) -> int:
    total = 0
    for each in [process, *process.children(recursive=True)]:
        try:
            total += each.memory_full_info().pss
        except psutil.NoSuchProcess:
            continue
    return total


def health(port: int) -> dict[str, Any]:
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/health", timeout=5) as answer:
        document: dict[str, Any] = json.loads(answer.read())
        return document


def serve(snapshot: Path, pairs: list[tuple[int, int, int]], workers: int) -> None:
    with Service(str(snapshot), workers=workers, start_s=900.0) as server:
        port = server.port
        front = psutil.Process(server.process.pid)
        started = summed_pss(front)
        print(f"norvel serve --workers {workers}: /health answered after {server.start_s:.1f} s "
              f"({load_average()}); summed PSS {started / MIB:.0f} MiB", flush=True)
        statuses = set()
        begun = time.perf_counter()
        for _, source, target in pairs[:100]:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/route?from_node={source}"
                                        f"&to_node={target}", timeout=120) as answer:
                answer.read()
                statuses.add(answer.status)
        took = time.perf_counter() - begun
        steady = summed_pss(front)
        print(f"  after 100 GET /route (one client, {took:.1f} s, statuses {sorted(statuses)}): "
              f"summed PSS {steady / MIB:.0f} MiB", flush=True)
        peak = [steady]
        stop = threading.Event()

        def sample() -> None:
            while not stop.is_set():
                peak[0] = max(peak[0], summed_pss(front))
                time.sleep(0.2)

        sampler = threading.Thread(target=sample, daemon=True)
        sampler.start()
        before = health(port)["graph"]["generation"]
        hangup = time.perf_counter()
        server.process.send_signal(signal.SIGHUP)
        while True:
            try:
                graph = health(port)["graph"]
            except OSError:
                graph = {"generation": before}
            if graph["generation"] > before:
                break
            time.sleep(0.05)
        switched = time.perf_counter() - hangup
        # Until the old generation's processes have gone.
        time.sleep(5.0)
        stop.set()
        sampler.join()
        after = summed_pss(front)
        print(f"  reload (SIGHUP to /health naming the new generation): {switched:.2f} s "
              f"(its load_s {graph.get('load_s', float('nan')):.2f} s); summed PSS peak "
              f"{peak[0] / MIB:.0f} MiB ({peak[0] / steady:.2f}x steady), {after / MIB:.0f} MiB "
              f"5 s after ({load_average()})", flush=True)


def endpoints(graph: str, count: int, clients: int, band_m: float | None) -> None:
    """Requests per processor second of one worker, per endpoint, on random
    node pairs (and places) of ``graph``, or with ``band_m`` pairs of a
    random node and the node nearest the point ``band_m`` metres from it
    in a random direction: ``count`` requests sent on ``clients``
    keep-alive connections at once, the worker's processor seconds (and
    the front's) read before and after."""
    import http.client
    import math

    import numpy as np

    import norvel

    router = norvel.Router.from_file(graph)
    ids = router.table.routable_ids
    rng = random.Random(14)
    starts = [int(rng.choice(ids)) for _ in range(count)]
    if band_m is None:
        pairs = [(start, int(rng.choice(ids))) for start in starts]
    else:
        dense = router.session.engine.node_index(np.array(starts, dtype=np.uint64))
        lat, lon = router.session.engine.lats[dense], router.session.engine.lons[dense]
        angle = np.array([rng.uniform(0.0, 2.0 * math.pi) for _ in starts])
        lat_to = lat + band_m * np.sin(angle) / 111_320.0
        lon_to = lon + band_m * np.cos(angle) / (111_320.0 * np.cos(np.radians(lat)))
        ends, _ = router.nearest_many(lat_to, lon_to)
        pairs = list(zip(starts, (int(end) for end in ends)))
    del router
    batch = 100
    asks: dict[str, list[tuple[str, str, bytes | None]]] = {
        "/route": [("GET", f"/route?from_node={a}&to_node={b}", None) for a, b in pairs],
        "/front": [("GET", f"/front?from_node={a}&to_node={b}", None) for a, b in pairs],
        f"/routes ({batch} pairs)": [
            ("POST", "/routes", json.dumps({"pairs": pairs[k:k + batch]}).encode())
            for k in range(0, count, batch)],
        "/catchment (15 min)": [("GET", f"/catchment?at_node={a}&minutes=15", None)
                                for a, _ in pairs[:max(1, count // 10)]],
    }
    # The wait budget raised: the clients queue on purpose.
    with Service(graph, "--max-wait-s", "600", workers=1, timeout_s=600.0, start_s=600.0) as server:
        print(f"{graph}: one worker; {clients} connections at once ({load_average()})")
        print(f"{'endpoint':24} {'requests':>8} {'wall s':>8} {'worker cpu s':>12} "
              f"{'front cpu s':>11} {'per worker cpu s':>16}")
        for name, requests in asks.items():
            statuses: set[int] = set()
            work = list(enumerate(requests))

            def client() -> None:
                connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=600)
                while work:
                    try:
                        _, (method, path, body) = work.pop()
                    except IndexError:
                        break
                    connection.request(method, path, body=body,
                                       headers={"Content-Type": "application/json"})
                    answer = connection.getresponse()
                    answer.read()
                    statuses.add(answer.status)
                connection.close()

            front_before, worker_before = server.cpu_s()
            started = time.perf_counter()
            threads = [threading.Thread(target=client) for _ in range(clients)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            wall = time.perf_counter() - started
            front_after, worker_after = server.cpu_s()
            worker = worker_after - worker_before
            print(f"{name:24} {len(requests):>8} {wall:8.2f} {worker:12.2f} "
                  f"{front_after - front_before:11.2f} {len(requests) / worker:16.1f}"
                  f"  statuses {sorted(statuses)}", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=5_000_000)
    parser.add_argument("--out", default="/tmp/grid5m", help="prefix of the files written")
    parser.add_argument("--routes", type=int, default=1000)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--roadgen", type=Path, default=ROADGEN)
    parser.add_argument("--skip-make", action="store_true",
                        help="use OUT.json and OUT.pairs as they are")
    parser.add_argument("--layout", type=Path, help="print a snapshot's sections, and nothing else")
    parser.add_argument("--endpoints", metavar="GRAPH",
                        help="measure requests per processor second per endpoint on GRAPH, and nothing else")
    parser.add_argument("--requests", type=int, default=2000, help="with --endpoints")
    parser.add_argument("--clients", type=int, default=4, help="with --endpoints")
    parser.add_argument("--band-m", type=float, help="with --endpoints: pairs this far apart (crow-fly)")
    args = parser.parse_args()
    if args.layout:
        layout(args.layout)
        return
    if args.endpoints:
        endpoints(args.endpoints, args.requests, args.clients, args.band_m)
        return
    document, pairs_path = Path(args.out + ".json"), Path(args.out + ".pairs")
    snapshot = Path(args.out + ".norvel")
    if not args.skip_make:
        make(args, document, pairs_path)
    pairs = [(int(band), int(source), int(target)) for band, source, target in
             (line.split() for line in pairs_path.read_text().splitlines())]

    wall, cpu, _, err = child_run([sys.executable, "-c", COMMAND, "pack", str(document), str(snapshot)])
    peak = int(err.split()[-1])
    print(f"norvel pack: {wall:.1f} s, {cpu:.1f} processor s, peak RSS {peak / MIB:.0f} MiB; "
          f"{document.stat().st_size / MIB:.0f} MiB of JSON, snapshot {snapshot.stat().st_size / MIB:.0f} MiB "
          f"({load_average()})", flush=True)
    layout(snapshot)

    for path, routes in ((snapshot, pairs_path), (document, None)):
        run = loaded(path, routes)
        (load_wall, load_cpu), (index_wall, index_cpu) = run["load"], run["index"]
        print(f"Router.from_file({path.name}): {load_wall:.3f} s ({load_cpu:.3f} processor s), "
              f"build_index {index_wall:.3f} s ({index_cpu:.3f}); peak RSS {run['peak_rss'] / MIB:.0f} MiB, "
              f"then RSS {run['rss'] / MIB:.0f} MiB, PSS {run['pss'] / MIB:.0f} MiB; "
              f"{run['nodes']} nodes, {run['edges']} edges ({load_average()})", flush=True)
        if "routes" in run:
            every = [t for times in run["routes"].values() for t in times]
            print(f"  {len(every)} routes, eps 0: {sum(every):.2f} processor s in all, "
                  f"{1000 * sum(every) / len(every):.2f} ms a route; the first "
                  f"{1000 * run['first']:.1f} ms", flush=True)
            for band, times in sorted(run["routes"].items(), key=lambda kv: int(kv[0])):
                times = sorted(times)
                print(f"    band {int(band):>5} m: {len(times)} routes, median "
                      f"{1000 * times[len(times) // 2]:.2f} ms, greatest {1000 * times[-1]:.1f} ms")
    serve(snapshot, pairs, args.workers)


if __name__ == "__main__":
    main()
