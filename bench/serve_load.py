"""Load test of ``norvel serve``: GET /route requests from many concurrent
clients, on loopback, with 1 and then 2 workers; and a serial run whose
answers every loaded run must repeat byte for byte.

    .venv/bin/python bench/serve_load.py                 # the bundled sample
    .venv/bin/python bench/serve_load.py --requests 2000 --workers 1,2,4

Requests: from=LAT,LON&to=LAT,LON between the positions of two random nodes
of the graph (seeded, so every run asks the same), eps 0. Each worker count
gets its own server (``python -m norvel serve``) with the service's default
settings (time limit, wait budget, queue cap) on a free loopback port, so
that a run also shows whether the defaults refuse (503) ordinary traffic;
after /health answers, a warm-up of 2 requests per client, then:

- a timed run by Debian's ``wrk`` (one thread, ``--clients`` keep-alive
  connections, ``bench/serve_load.lua``), the lightest client at hand: the
  client shares the machine's two cores with the server, and whatever it
  spends is taken from the workers;
- a run by this script's own asyncio client (HTTP/1.1 keep-alive, the same
  number of connections), which also keeps a digest of every answer: each
  must equal the serial run's, made first with one worker and one client.

Without wrk (``apt-get install wrk``) or with ``--client python`` the
asyncio run is the timed one. Prints per run: errors (any status but 200),
the 503s among them, answers that differ from the serial run's, throughput, p50 and p99 latency,
the CPU seconds of the server's front and of its workers, and the machine's
load average (1 min) before the run. Every run is bounded in count and in
time (--max-s).
"""

from __future__ import annotations

import argparse
import asyncio
import hashlib
import os
import random
import shutil
import signal
import statistics
import subprocess
import tempfile
import time
from dataclasses import dataclass

from pathlib import Path

from norvel.datasets import helsinki_walk
from norvel.geo import read_coordinates
from served import Service

def requests_for(graph: str, count: int, seed: int, trivial: bool = False) -> list[bytes]:
    positions = sorted(read_coordinates(graph).values())
    rng = random.Random(seed)
    lines = []
    for _ in range(count):
        (lon_a, lat_a), (lon_b, lat_b) = rng.choice(positions), rng.choice(positions)
        if trivial:
            lon_b, lat_b = lon_a, lat_a
        lines.append(f"GET /route?from={lat_a!r},{lon_a!r}&to={lat_b!r},{lon_b!r} "
                     f"HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
    return lines



@dataclass
class Run:
    statuses: list[int]
    digests: list[bytes]
    latencies_s: list[float]
    elapsed_s: float


async def load(port: int, requests: list[bytes], clients: int, max_s: float) -> Run:
    count = len(requests)
    statuses = [0] * count
    digests = [b""] * count
    latencies = [0.0] * count
    next_index = 0

    async def client() -> None:
        nonlocal next_index
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        try:
            while next_index < count:
                index = next_index
                next_index += 1
                started = time.perf_counter()
                writer.write(requests[index])
                head = await reader.readuntil(b"\r\n\r\n")
                start = head.lower().index(b"content-length:") + 15
                body = await reader.readexactly(int(head[start:head.index(b"\r\n", start)]))
                latencies[index] = time.perf_counter() - started
                statuses[index] = int(head[9:12])
                digests[index] = hashlib.blake2b(body, digest_size=16).digest()
        finally:
            writer.close()

    started = time.perf_counter()
    async with asyncio.timeout(max_s):
        await asyncio.gather(*(client() for _ in range(clients)))
    return Run(statuses, digests, latencies, time.perf_counter() - started)


def run_load(port: int, requests: list[bytes], clients: int, max_s: float) -> Run:
    """``load`` on uvloop's event loop when it is installed: a lighter client."""
    try:
        import uvloop
    except ImportError:
        return asyncio.run(load(port, requests, clients, max_s))
    return asyncio.run(load(port, requests, clients, max_s),
                       loop_factory=uvloop.new_event_loop)


@dataclass
class Timing:
    errors: int
    refused: int
    elapsed_s: float
    p50_s: float
    p99_s: float


def wrk_run(port: int, requests: list[bytes], clients: int, max_s: float) -> Timing:
    """The requests sent by wrk until every one is answered."""
    script = Path(__file__).with_name("serve_load.lua")
    with tempfile.NamedTemporaryFile("w", suffix=".txt") as paths:
        paths.writelines(r.split(b" ", 2)[1].decode() + "\n" for r in requests)
        paths.flush()
        wrk = subprocess.Popen(
            ["wrk", "-t1", f"-c{clients}", f"-d{int(max_s)}s", f"--timeout={int(max_s)}s",
             "-s", str(script), f"http://127.0.0.1:{port}", "--", paths.name],
            stdout=subprocess.PIPE, text=True)
        assert wrk.stdout is not None
        figures: dict[str, float] = {}
        for line in wrk.stdout:
            if line.startswith("norvel: "):
                words = line.split()[1:]
                figures.update(zip(words[::2], map(float, words[1::2])))
                if "seconds" in figures and "p50_us" not in figures:
                    wrk.send_signal(signal.SIGINT)  # wrk then prints its latencies
        wrk.wait()
    if "seconds" not in figures:
        raise RuntimeError(f"wrk did not get every answer within {max_s} s")
    return Timing(int(figures["failed"] + figures["errors"]), int(figures["refused"]),
                  figures["seconds"],
                  figures["p50_us"] * 1e-6, figures["p99_us"] * 1e-6)


def percentile(values: list[float], share: float) -> float:
    return statistics.quantiles(values, n=1000, method="inclusive")[round(share * 1000) - 1]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("graph", nargs="?", default=str(helsinki_walk()))
    parser.add_argument("--requests", type=int, default=20_000)
    parser.add_argument("--clients", type=int, default=64)
    parser.add_argument("--workers", default="1,2", help="comma-separated worker counts")
    parser.add_argument("--seed", type=int, default=14)
    parser.add_argument("--max-s", type=float, default=600.0,
                        help="longest a run may take, seconds")
    parser.add_argument("--client", choices=["auto", "wrk", "python"], default="auto",
                        help="the timing client: wrk when installed (auto), or this "
                             "script's asyncio client")
    parser.add_argument("--trivial", action="store_true",
                        help="ask routes from a node to itself: the cost of the HTTP "
                             "front and the client without the search")
    parser.add_argument("--no-serial", action="store_true",
                        help="skip the serial run and the comparison of answers")
    args = parser.parse_args()

    requests = requests_for(args.graph, args.requests, args.seed, args.trivial)
    print(f"{args.requests} GET /route requests on {args.graph}, {args.clients} clients, "
          f"{os.cpu_count()} cores", flush=True)
    reference: list[bytes] | None = None
    if not args.no_serial:
        with Service(args.graph, workers=1, timeout_s=None) as server:
            serial = run_load(server.port, requests, 1, args.max_s)
        reference = serial.digests
        print(f"serial run: {serial.elapsed_s:.1f} s, "
              f"{sum(s != 200 for s in serial.statuses)} errors", flush=True)
    use_wrk = args.client == "wrk" or (args.client == "auto" and shutil.which("wrk"))
    print(f"{'workers':>7} {'client':>6} {'errors':>6} {'503':>5} {'differ':>6} {'req/s':>8} "
          f"{'p50 ms':>7} {'p99 ms':>7} {'CPU s: front':>12} {'workers':>7} {'load avg':>8}")
    for workers in (int(w) for w in args.workers.split(",")):
        with Service(args.graph, workers=workers, timeout_s=None) as server:
            run_load(server.port, requests[:2 * args.clients], args.clients, args.max_s)
            if use_wrk:
                load_average = os.getloadavg()[0]
                before = server.cpu_s()
                timing = wrk_run(server.port, requests, args.clients, args.max_s)
                after = server.cpu_s()
                report(workers, "wrk", timing, None, len(requests), before, after,
                       load_average)
            load_average = os.getloadavg()[0]
            before = server.cpu_s()
            run = run_load(server.port, requests, args.clients, args.max_s)
            after = server.cpu_s()
        timing = Timing(sum(s != 200 for s in run.statuses),
                        sum(s == 503 for s in run.statuses), run.elapsed_s,
                        percentile(run.latencies_s, 0.5), percentile(run.latencies_s, 0.99))
        differ = (sum(a != b for a, b in zip(run.digests, reference))
                  if reference is not None else None)
        report(workers, "python", timing, differ, len(requests), before, after, load_average)


def report(workers: int, client: str, timing: Timing, differ: int | None, count: int,
           before: tuple[float, float], after: tuple[float, float],
           load_average: float) -> None:
    print(f"{workers:>7} {client:>6} {timing.errors:>6} {timing.refused:>5} "
          f"{'-' if differ is None else differ:>6} {count / timing.elapsed_s:>8.0f} "
          f"{timing.p50_s * 1e3:>7.2f} {timing.p99_s * 1e3:>7.2f} "
          f"{after[0] - before[0]:>12.1f} {after[1] - before[1]:>7.1f} "
          f"{load_average:>8.2f}", flush=True)


if __name__ == "__main__":
    main()
