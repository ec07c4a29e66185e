"""A burst of slow catchments on ``norvel serve``, at several times what its
wait budget admits: the refusals come at once, the requests taken are
answered right and within the budget plus their own time.

    .venv/bin/python bench/serve_burst.py                  # the sample, 2 workers
    .venv/bin/python bench/serve_burst.py --times 10 --minutes 60 --workers 2

A server with the service's default settings (``--max-wait-s`` among them,
unless given with --max-wait-s) on a free loopback port. GET
/catchment?at=LAT,LON&minutes=M of --places random node positions (seeded);
at that many minutes a catchment of the sample holds most of the graph,
some 150 ms of a worker each.

1. Warm-up: --rounds rounds of the places in turn, on ``w`` keep-alive
   connections (one per worker, so that the workers run side by side as in
   the burst): each place's answer, whose digest every answer of the burst
   must repeat. The server has then measured catchments: what the budget
   admits at once is ``w * (1 + budget / t)`` requests (``w`` running, the
   rest waiting their turn, ``t`` the server's mean for a catchment, read
   at /metrics).
2. Burst: --times that many requests (the places in turn), each on a
   connection of its own opened beforehand, all sent at once.
3. Fresh: a new server, which has measured nothing, gets the same requests
   spread evenly over --spread-s seconds: how soon it refuses the first
   (the running jobs' age is all it knows), and the same figures.

Prints per run: requests taken and refused, and the CPU time the server's
front spent meanwhile (on a machine shared with other jobs the refusals'
latency is mostly the front waiting for a core); the refusals' time to the
answer (median, max; target: max within 50 ms) and their Retry-After
values; answers taken that differ from the warm-up's (target 0); for
those taken, the time to answer seen by the client (p50, p99, max), and,
from the server's access log, each one's time beyond its own (the front's
latency less the worker's time on it: its wait), whose p99 the budget
should bound.
"""

from __future__ import annotations

import argparse
import asyncio
import hashlib
import json
import os
import random
import statistics
import tempfile
import time
import urllib.request
from collections import Counter
from dataclasses import dataclass
from typing import IO

from prometheus_client.parser import text_string_to_metric_families

from norvel._values import DEFAULT_MAX_WAIT_S
from norvel.datasets import helsinki_walk
from norvel.geo import read_coordinates
from served import Service


@dataclass
class Answer:
    place: int
    # Seconds from the first request's sending to this one's.
    sent_s: float
    status: int
    retry_after: str | None
    seconds: float
    digest: bytes


def paths_for(graph: str, count: int, minutes: float, seed: int) -> list[str]:
    positions = sorted(read_coordinates(graph).values())
    rng = random.Random(seed)
    return [f"/catchment?at={lat!r},{lon!r}&minutes={minutes:g}"
            for lon, lat in rng.sample(positions, count)]


def request_bytes(path: str) -> bytes:
    return f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode()


async def read_answer(reader: asyncio.StreamReader) -> tuple[int, str | None, bytes]:
    head = await reader.readuntil(b"\r\n\r\n")
    fields = {}
    for line in head.decode("latin-1").split("\r\n")[1:]:
        name, _, value = line.partition(":")
        fields[name.strip().lower()] = value.strip()
    body = await reader.readexactly(int(fields["content-length"]))
    return int(head[9:12]), fields.get("retry-after"), body


def digest(body: bytes) -> bytes:
    return hashlib.blake2b(body, digest_size=16).digest()


async def warm_up(port: int, paths: list[str], rounds: int, clients: int) -> list[bytes]:
    """Each place's answer's digest, the places asked in turn ``rounds``
    times by ``clients`` connections."""
    digests: list[bytes | None] = [None] * len(paths)
    queue = [index % len(paths) for index in range(rounds * len(paths))]

    async def client() -> None:
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        try:
            while queue:
                place = queue.pop(0)
                writer.write(request_bytes(paths[place]))
                status, _, body = await read_answer(reader)
                if status != 200:
                    raise SystemExit(f"{paths[place]}: {status} {body[:200]!r}")
                digests[place] = digest(body)
        finally:
            writer.close()

    await asyncio.gather(*(client() for _ in range(clients)))
    return [d or b"" for d in digests]


async def burst(port: int, paths: list[str], count: int, spread_s: float) -> list[Answer]:
    """``count`` requests for the places in turn, each on a connection of its
    own, all at once (or evenly over ``spread_s`` seconds)."""
    connections = [await asyncio.open_connection("127.0.0.1", port) for _ in range(count)]
    started = time.perf_counter()

    async def one(index: int) -> Answer:
        reader, writer = connections[index]
        place = index % len(paths)
        if spread_s:
            await asyncio.sleep(started + spread_s * index / count - time.perf_counter())
        sent = time.perf_counter()
        writer.write(request_bytes(paths[place]))
        status, retry_after, body = await read_answer(reader)
        answered = time.perf_counter()
        writer.close()
        return Answer(place, sent - started, status, retry_after, answered - sent,
                      digest(body) if status == 200 else b"")

    return list(await asyncio.gather(*(one(i) for i in range(count))))


def catchment_estimate_s(port: int) -> float:
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=10) as page:
        text = page.read().decode()
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            if (sample.name == "norvel_job_estimate_seconds"
                    and sample.labels.get("kind") == "catchment"):
                return float(sample.value)
    raise RuntimeError("the server has no estimate for catchments")


def percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def waits_logged(log: IO[str]) -> list[float]:
    """Latency less the worker's time of each catchment answered 200 in the
    access log since the last call."""
    waits = []
    for line in log.readlines():
        if line.startswith("{"):
            entry = json.loads(line)
            if entry["path"] == "/catchment" and entry["status"] == 200:
                waits.append(entry["latency_s"] - entry["search_s"])
    return waits


def report(name: str, answers: list[Answer], reference: list[bytes], waits: list[float],
           budget_s: float, front_cpu_s: float) -> None:
    taken = [a for a in answers if a.status == 200]
    refused = [a for a in answers if a.status == 503]
    other = len(answers) - len(taken) - len(refused)
    differ = sum(a.digest != reference[a.place] for a in taken)
    print(f"{name}: {len(answers)} requests, {len(taken)} taken, {len(refused)} refused"
          f"{f', {other} other statuses' if other else ''}; the front's CPU meanwhile "
          f"{front_cpu_s * 1e3:.0f} ms")
    if refused:
        late = [a.seconds for a in refused]
        after = Counter(a.retry_after for a in refused)
        print(f"  refused: answered in median {statistics.median(late) * 1e3:.1f} ms, "
              f"max {max(late) * 1e3:.1f} ms (target 50 ms); Retry-After "
              + ", ".join(f"{value} s x{n}" for value, n in sorted(after.items())))
        print(f"  first refusal sent {min(a.sent_s for a in refused):.3f} s after "
              f"the first request")
    if taken:
        late = [a.seconds for a in taken]
        print(f"  taken: {differ} answers differ from the warm-up's; time to answer "
              f"p50 {statistics.median(late):.3f} s, p99 {percentile(late, 0.99):.3f} s, "
              f"max {max(late):.3f} s")
    if waits:
        print(f"  taken, beyond their own time (the server's log): p50 "
              f"{statistics.median(waits):.3f} s, p99 {percentile(waits, 0.99):.3f} s, "
              f"max {max(waits):.3f} s; budget {budget_s:g} s "
              f"({'within' if percentile(waits, 0.99) <= budget_s else 'OVER'})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("graph", nargs="?", default=str(helsinki_walk()))
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--minutes", type=float, default=60.0)
    parser.add_argument("--places", type=int, default=8)
    parser.add_argument("--rounds", type=int, default=3, help="warm-up requests per place")
    parser.add_argument("--times", type=float, default=10.0,
                        help="the burst, in multiples of what the budget admits")
    parser.add_argument("--max-wait-s", type=float, default=None,
                        help=f"the server's budget (default: its own, {DEFAULT_MAX_WAIT_S:g})")
    parser.add_argument("--spread-s", type=float, default=2.0,
                        help="the fresh server's burst is sent over this many seconds")
    parser.add_argument("--seed", type=int, default=33)
    args = parser.parse_args()

    budget_s = DEFAULT_MAX_WAIT_S if args.max_wait_s is None else args.max_wait_s
    options = [] if args.max_wait_s is None else ["--max-wait-s", f"{args.max_wait_s:g}"]
    paths = paths_for(args.graph, args.places, args.minutes, args.seed)
    print(f"GET /catchment, {args.minutes:g} minutes, {args.places} places of {args.graph}; "
          f"{args.workers} workers, budget {budget_s:g} s, {os.cpu_count()} cores, "
          f"load average {os.getloadavg()[0]:.2f}", flush=True)
    options += ["--access-log", "json"]
    # The servers append to the log (their stderr), this reads it on its own.
    folder = tempfile.TemporaryDirectory()
    path = os.path.join(folder.name, "access.log")
    written, log = open(path, "a"), open(path)
    with Service(args.graph, *options, workers=args.workers, timeout_s=None,
                 stderr=written) as server:
        reference = asyncio.run(warm_up(server.port, paths, args.rounds, args.workers))
        estimate_s = catchment_estimate_s(server.port)
        own = waits_logged(log)
        admitted = args.workers * (1 + budget_s / estimate_s)
        count = round(args.times * admitted)
        print(f"warm-up: {len(own)} catchments; the server's mean for one "
              f"{estimate_s * 1e3:.0f} ms, so the budget admits about {admitted:.1f} "
              f"at once; a burst of {count}", flush=True)
        before = server.cpu_s()[0]
        answers = asyncio.run(burst(server.port, paths, count, 0.0))
        front_s = server.cpu_s()[0] - before
        time.sleep(0.5)  # the access log is written once each answer is sent
        report("burst", answers, reference, waits_logged(log), budget_s, front_s)
    with Service(args.graph, *options, workers=args.workers, timeout_s=None,
                 stderr=written) as server:
        before = server.cpu_s()[0]
        answers = asyncio.run(burst(server.port, paths, count, args.spread_s))
        front_s = server.cpu_s()[0] - before
        time.sleep(0.5)
        report(f"fresh server, over {args.spread_s:g} s", answers, reference,
               waits_logged(log), budget_s, front_s)
    written.close()
    log.close()
    folder.cleanup()


if __name__ == "__main__":
    main()
