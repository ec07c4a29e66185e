"""A reload of ``norvel serve`` under load: how long it takes, the memory
the service's processes hold meanwhile, and the throughput and latency of
the requests around it against steady state; then a burst of long routes
and how fast its refusals come (``bench/serve_burst.py`` measures the
admission itself).

    PY=.venv/bin/python
    $PY ../shared/bench/roadgen.py --nodes 1000000 --risk-div 1000 --out /tmp/grid1m
    $PY bench/serve_reload.py /tmp/grid1m.json [--workers 2] [--clients 8]

The server (``python -m norvel serve GRAPH --workers N``) starts on a free
loopback port. Once /health answers, ``--clients`` keep-alive connections
send GET /route without pause between the pairs of the roadgen's
``.queries`` file beside the graph (bands up to 1,000 m; random node pairs
taken from the graph otherwise). After ``--steady-s`` seconds the server
gets SIGHUP, and /health is polled until it names the new generation; the
load goes on ``--after-s`` seconds past that. A sampler sums the PSS (a
page shared by k processes counts 1/k) and the RSS of the server's
processes (the front, the zygotes, the workers) every 0.2 s. Printed:

- the reload: SIGHUP to the new generation serving (seen by the client),
  and the zygote's own load time (load_s in /health);
- memory: PSS and RSS before, their peak during the reload, and after the
  old generation has ended; beside them, the peak RSS of a fresh process
  loading the graph alone, and its RSS once loaded (the reload's peak is
  the serving service plus about that peak);
- the requests started in the steady seconds before SIGHUP, from SIGHUP
  to the switch, and in the 10 s around the switch: throughput, p50, p99
  and the greatest latency, and any status but 200;
- admission: ``--burst`` (default 80) long routes (the longest band of
  the queries) sent at once on
  connections opened beforehand: how many were taken, and the latency of
  the 503s (their p50 and greatest, against a 50 ms target), each with
  Retry-After.

Linux only (PSS comes from /proc/PID/smaps_rollup through psutil).
"""

from __future__ import annotations

import argparse
import asyncio
import json
import random
import signal
import subprocess
import sys
import threading
import time
import urllib.request
from dataclasses import dataclass, field
from pathlib import Path

import psutil

from bench_common import read_queries
from served import Service

MIB = 2**20

# A fresh process loading the graph as the zygote does: the peak of its
# resident set, and what it holds once loaded.
ONE_LOAD = """
import json, resource, sys, psutil, norvel
router = norvel.Router.from_file(sys.argv[1])
router.build_index()
print(json.dumps([resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
                  psutil.Process().memory_info().rss]))
"""


@dataclass
class Sample:
    started: float
    latency_s: float
    status: int
    generation: int


@dataclass
class Memory:
    """(time, PSS sum, RSS sum, processes) every interval."""

    samples: list[tuple[float, int, int, int]] = field(default_factory=list)


def health(port: int) -> dict[str, object] | None:
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/health", timeout=5) as answer:
            document: dict[str, object] = json.loads(answer.read())
            return document
    except OSError:
        return None


def generation(port: int) -> int:
    document = health(port)
    graph = document.get("graph") if document else None
    return int(graph["generation"]) if isinstance(graph, dict) else 0


def query_pairs(graph: str, bands: tuple[int, int], count: int,
                seed: int) -> list[tuple[int, int]]:
    """Node pairs from the roadgen's .queries file beside the graph, of the
    bands between the two given (metres); random pairs of the graph's nodes
    without one."""
    queries = Path(graph).with_suffix(".queries")
    if queries.exists():
        pairs = [(query.source, query.target) for query in read_queries(queries)
                 if bands[0] <= query.band_m <= bands[1]]
        if pairs:
            return pairs
    import norvel

    ids = norvel.Router.from_file(graph).table.routable_ids.tolist()
    rng = random.Random(seed)
    return [(rng.choice(ids), rng.choice(ids)) for _ in range(count)]


def request_bytes(pair: tuple[int, int]) -> bytes:
    return (f"GET /route?from_node={pair[0]}&to_node={pair[1]} HTTP/1.1\r\n"
            f"Host: 127.0.0.1\r\n\r\n").encode()


async def read_answer(reader: asyncio.StreamReader) -> tuple[int, int, dict[str, str]]:
    """(status, graph generation or 0, headers) of one answer, its body read."""
    head = await reader.readuntil(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        if ":" in line:
            name, value = line.split(":", 1)
            headers[name.strip().lower()] = value.strip()
    await reader.readexactly(int(headers.get("content-length", "0")))
    return int(lines[0][9:12]), int(headers.get("x-norvel-graph", "0")), headers


async def steady_load(port: int, requests: list[bytes], clients: int,
                      stop: asyncio.Event, samples: list[Sample]) -> None:
    async def client(offset: int) -> None:
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        index = offset
        try:
            while not stop.is_set():
                started = time.monotonic()
                writer.write(requests[index % len(requests)])
                status, number, _ = await read_answer(reader)
                samples.append(Sample(started, time.monotonic() - started, status, number))
                index += clients
        finally:
            writer.close()

    await asyncio.gather(*(client(k) for k in range(clients)))


def sample_memory(pid: int, memory: Memory, stop: threading.Event) -> None:
    front = psutil.Process(pid)
    while not stop.is_set():
        pss = rss = count = 0
        for process in [front, *front.children(recursive=True)]:
            try:
                info = process.memory_full_info()
            except (psutil.NoSuchProcess, psutil.ZombieProcess):
                continue
            pss, rss, count = pss + info.pss, rss + info.rss, count + 1
        memory.samples.append((time.monotonic(), pss, rss, count))
        stop.wait(0.2)


def window(samples: list[Sample], begin: float, end: float) -> str:
    chosen = sorted(s.latency_s for s in samples if begin <= s.started < end)
    if not chosen:
        return "no requests"
    errors = sum(1 for s in samples if begin <= s.started < end and s.status != 200)

    def at(share: float) -> float:
        return chosen[min(len(chosen) - 1, int(share * len(chosen)))] * 1000

    return (f"{len(chosen) / (end - begin):7.1f} req/s over {end - begin:5.1f} s, "
            f"p50 {at(0.50):6.1f} ms, p99 {at(0.99):7.1f} ms, max {chosen[-1] * 1000:7.1f} ms,"
            f" {errors} not 200")


async def burst(port: int, request: bytes, count: int) -> list[tuple[int, float, str]]:
    """(status, seconds, Retry-After) of ``count`` requests sent at once on
    connections opened beforehand."""
    connections = [await asyncio.open_connection("127.0.0.1", port) for _ in range(count)]

    async def one(reader: asyncio.StreamReader,
                  writer: asyncio.StreamWriter) -> tuple[int, float, str]:
        started = time.monotonic()
        writer.write(request)
        status, _, headers = await read_answer(reader)
        writer.close()
        return status, time.monotonic() - started, headers.get("retry-after", "")

    return await asyncio.gather(*(one(r, w) for r, w in connections))


async def measure(args: argparse.Namespace, port: int, server: subprocess.Popen[bytes]) -> None:
    requests = [request_bytes(p) for p in query_pairs(args.graph, (0, 1000), 200, args.seed)]
    long_pairs = query_pairs(args.graph, (8000, 10**9), 5, args.seed)
    memory, memory_stop = Memory(), threading.Event()
    sampler = threading.Thread(target=sample_memory, args=(server.pid, memory, memory_stop))
    sampler.start()
    samples: list[Sample] = []
    stop = asyncio.Event()
    try:
        load = asyncio.ensure_future(steady_load(port, requests, args.clients, stop, samples))
        await asyncio.sleep(args.steady_s)
        hangup = time.monotonic()
        server.send_signal(signal.SIGHUP)
        while await asyncio.to_thread(generation, port) < 2:
            await asyncio.sleep(0.1)
        switched = time.monotonic()
        # The first answer from the new graph.
        while not any(s.generation == 2 for s in samples[-50:]):
            await asyncio.sleep(0.01)
        first_new = min(s.started + s.latency_s for s in samples if s.generation == 2)
        await asyncio.sleep(args.after_s)
        stop.set()
        await load
        document = await asyncio.to_thread(health, port)
        # Until the old generation's processes are gone.
        while memory.samples[-1][3] > 2 + args.workers:
            await asyncio.sleep(0.2)
        await asyncio.sleep(0.5)
    finally:
        memory_stop.set()
        sampler.join()
    assert document is not None
    graph = document["graph"]
    assert isinstance(graph, dict)
    print(f"reload: SIGHUP to /health naming generation 2 {switched - hangup:.2f} s, "
          f"to the first answer from it {first_new - hangup:.2f} s; "
          f"the zygote's load {graph['load_s']:.2f} s")
    before = [m for m in memory.samples if m[0] < hangup]
    during = [m for m in memory.samples if hangup <= m[0] <= switched + args.after_s]
    after = memory.samples[-1]
    print(f"memory (sum over the processes): before PSS {before[-1][1] / MIB:.0f} MiB "
          f"RSS {before[-1][2] / MIB:.0f} MiB ({before[-1][3]} processes); peak during "
          f"the reload PSS {max(m[1] for m in during) / MIB:.0f} MiB RSS "
          f"{max(m[2] for m in during) / MIB:.0f} MiB (up to "
          f"{max(m[3] for m in during)} processes); after PSS {after[1] / MIB:.0f} MiB "
          f"RSS {after[2] / MIB:.0f} MiB ({after[3]} processes)")
    print(f"steady, {args.steady_s - 2:.0f} s before SIGHUP: "
          f"{window(samples, hangup - args.steady_s + 2, hangup)}")
    print(f"SIGHUP to switch:             {window(samples, hangup, switched)}")
    print(f"10 s around the switch:       {window(samples, switched - 5, switched + 5)}")
    print(f"steady, after the switch:     "
          f"{window(samples, switched + 5, switched + args.after_s)}")

    request = request_bytes(long_pairs[-1])
    answers = await burst(port, request, args.burst)
    refused = sorted(seconds for status, seconds, _ in answers if status == 503)
    taken = [a for a in answers if a[0] == 200]
    with_retry = sum(1 for status, _, retry in answers if status == 503 and retry.isdigit())
    print(f"burst of {len(answers)} long routes: "
          f"{len(taken)} taken (longest {max(a[1] for a in taken) * 1000:.0f} ms), "
          f"{len(refused)} refused with 503 ({with_retry} with Retry-After), "
          f"other {len(answers) - len(taken) - len(refused)}")
    if refused:
        print(f"503 latency: p50 {refused[len(refused) // 2] * 1000:.1f} ms, "
              f"max {refused[-1] * 1000:.1f} ms (target: under 50 ms)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("graph", help="graph document, .json or .json.gz")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--clients", type=int, default=8)
    parser.add_argument("--steady-s", type=float, default=12.0)
    parser.add_argument("--after-s", type=float, default=12.0)
    parser.add_argument("--burst", type=int, default=80,
                        help="long routes sent at once after the reload")
    parser.add_argument("--seed", type=int, default=14)
    parser.add_argument("--start-s", type=float, default=600.0)
    args = parser.parse_args()
    peak, held = json.loads(subprocess.run(
        [sys.executable, "-c", ONE_LOAD, args.graph], capture_output=True, text=True,
        check=True, timeout=600).stdout)
    print(f"one load alone (Router.from_file + build_index): peak RSS {peak / MIB:.0f} MiB, "
          f"{held / MIB:.0f} MiB once loaded", flush=True)
    with Service(args.graph, workers=args.workers, start_s=args.start_s) as server:
        print(f"{args.graph}: server up in {server.start_s:.1f} s, "
              f"{args.workers} workers, {args.clients} clients", flush=True)
        asyncio.run(measure(args, server.port, server.process))


if __name__ == "__main__":
    main()
