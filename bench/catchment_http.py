"""Latency of GET /catchment on ``norvel serve``, beside the search alone.

    PY=.venv/bin/python
    $PY bench/catchment_http.py                       # the sample, 15 minutes
    $PY bench/catchment_http.py --graph /tmp/grid1m.json --at 48.8566,2.3522 \\
        --minutes 30 --timeout-s 30

A server with one worker (``python -m norvel serve``) on a free loopback
port; after /health answers and a warm-up of 3 requests, --requests
sequential requests on a keep-alive connection, each timed from sending
to the last byte of the answer read, for each direction (to the place, from
it). Beside them, in this process, the same number of
``Router.catchment`` calls alone (the search), and of the worker's whole
answer (``Answers.catchment``: the search, the segments and the JSON).
Prints per direction: the answer's size (bytes, segments, nodes), the
median and 90th percentile of the HTTP requests, and the medians of the
search alone and of the worker's answer. The target: the 15-minute catchment of the railway station
square of the sample (60.1699, 24.9384) within 100 ms at the median.
"""

from __future__ import annotations

import argparse
import http.client
import json
import os
import statistics
import time

import norvel
from norvel.datasets import helsinki_walk
from norvel.serve.answers import Answers
from served import Service


def percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--graph", default=str(helsinki_walk()))
    parser.add_argument("--at", default="60.1699,24.9384", help="LAT,LON of the place")
    parser.add_argument("--minutes", type=float, default=15.0)
    parser.add_argument("--requests", type=int, default=50)
    parser.add_argument("--timeout-s", type=float, default=10.0)
    args = parser.parse_args()
    lat, lon = (float(part) for part in args.at.split(","))

    router = norvel.Router.from_file(args.graph)
    router.build_index()
    answers = Answers(router, args.timeout_s)
    server = Service(args.graph, workers=1, timeout_s=args.timeout_s, start_s=300)
    port = server.port
    print(f"{args.graph}: GET /catchment?at={args.at}&minutes={args.minutes:g}, "
          f"{args.requests} requests per direction, 1 worker, load average "
          f"{os.getloadavg()[0]:.2f}")
    try:
        for direction in ("to", "from"):
            # A connection of its own: uvicorn closes one idle for 5 s, as
            # the last one is while this process times the library.
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
            path = (f"/catchment?at={args.at}&minutes={args.minutes:g}"
                    f"&direction={direction}")
            times = []
            for number in range(3 + args.requests):
                started = time.perf_counter()
                connection.request("GET", path)
                response = connection.getresponse()
                body = response.read()
                if number >= 3:
                    times.append(time.perf_counter() - started)
                if response.status != 200:
                    raise SystemExit(f"{response.status}: {body[:200]!r}")
            connection.close()
            answer = json.loads(body)
            searches, answering = [], []
            for _ in range(args.requests):
                started = time.perf_counter()
                router.catchment((lat, lon), args.minutes, direction=direction)
                searches.append(time.perf_counter() - started)
                started = time.perf_counter()
                status, _ = answers.catchment(path.partition("?")[2].encode())
                answering.append(time.perf_counter() - started)
                assert status == 200
            print(f"  {direction:>4}: {len(body):,} bytes, {len(answer['features']):,} "
                  f"segments, {answer['nodes']:,} nodes; HTTP median "
                  f"{statistics.median(times) * 1e3:.1f} ms, p90 "
                  f"{percentile(times, 0.9) * 1e3:.1f} ms; medians in this process: "
                  f"Router.catchment {statistics.median(searches) * 1e3:.1f} ms, "
                  f"the worker's answer {statistics.median(answering) * 1e3:.1f} ms")
    finally:
        server.stop()


if __name__ == "__main__":
    main()
