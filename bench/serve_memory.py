"""Memory of ``norvel serve``: the proportional set size (PSS) summed over
the server's processes, beside what one Router takes in a process of its
own.

    PY=.venv/bin/python
    $PY ../shared/bench/roadgen.py --nodes 1000000 --risk-div 1000 --out /tmp/grid1m
    $PY bench/serve_memory.py /tmp/grid1m.json [--workers 2] [--requests 20]

First a fresh process loads the graph (``Router.from_file``, then
``build_index()``) and reports its resident set (RSS) and PSS: one Router
with the interpreter and numpy/scipy around it. Then ``norvel serve GRAPH
--workers N`` starts on a free loopback port; once /health answers, it gets
``--requests`` GET /route requests between the ends of that many
(seeded) random node pairs, and its processes (the front, the process
holding the graph, the workers it forked) are measured: PSS counts a page
shared by k processes as 1/k in each, so the sum is the memory the service
really takes; USS, the pages a process holds alone. Linux only (psutil
reads /proc/PID/smaps).
"""

from __future__ import annotations

import argparse
import json
import random
import subprocess
import sys
import urllib.error
import urllib.request
from typing import NamedTuple

import psutil

from served import Service

MIB = 2**20

# Run in a process of its own: the Router, its index, and nothing else.
ONE_ROUTER = """
import json, psutil, norvel
router = norvel.Router.from_file({path!r})
router.build_index()
memory = psutil.Process().memory_full_info()
print(json.dumps({{"rss": memory.rss, "pss": memory.pss,
                  "nodes": router.node_count,
                  "ids": router.table.routable_ids[::max(1, router.node_count // 997)]
                                          .tolist()}}))
"""


class OneRouter(NamedTuple):
    """A fresh process holding one Router: its RSS and PSS in bytes, the
    graph's node count and some node ids to ask routes between."""

    rss: int
    pss: int
    nodes: int
    ids: list[int]


def one_router(path: str) -> OneRouter:
    run = subprocess.run([sys.executable, "-c", ONE_ROUTER.format(path=path)],
                         capture_output=True, text=True, check=True, timeout=600)
    return OneRouter(**json.loads(run.stdout))


def get(port: int, path: str, timeout_s: float) -> int:
    """The status of a GET on the server."""
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}",
                                    timeout=timeout_s) as answer:
            answer.read()
            status: int = answer.status
            return status
    except urllib.error.HTTPError as error:
        return error.code


def server_memory(process: psutil.Process) -> list[tuple[int, int, int]]:
    """(pid, PSS, USS) in bytes of a process and of every process under it;
    USS counts the pages a process holds alone."""
    found = []
    for each in [process, *process.children(recursive=True)]:
        try:
            memory = each.memory_full_info()
        except psutil.NoSuchProcess:
            continue
        found.append((each.pid, memory.pss, memory.uss))
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("graph", help="graph document, .json or .json.gz")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--requests", type=int, default=20)
    parser.add_argument("--seed", type=int, default=14)
    parser.add_argument("--start-s", type=float, default=600.0,
                        help="longest the server may take to start, seconds")
    args = parser.parse_args()

    alone = one_router(args.graph)
    print(f"{args.graph}: {alone.nodes} nodes")
    print(f"one Router (from_file + build_index) in a fresh process: "
          f"RSS {alone.rss / MIB:.0f} MiB, PSS {alone.pss / MIB:.0f} MiB", flush=True)

    with Service(args.graph, workers=args.workers, start_s=args.start_s) as server:
        port = server.port
        front = psutil.Process(server.process.pid)
        started = sum(pss for _, pss, _ in server_memory(front))
        rng = random.Random(args.seed)
        statuses = [get(port, f"/route?from_node={rng.choice(alone.ids)}"
                              f"&to_node={rng.choice(alone.ids)}", 120)
                    for _ in range(args.requests)]
        processes = server_memory(front)
    after = sum(pss for _, pss, _ in processes)
    print(f"norvel serve --workers {args.workers}, {len(processes)} processes: summed PSS "
          f"{started / MIB:.0f} MiB once started ({started / alone.rss:.2f}x the Router's "
          f"RSS), {after / MIB:.0f} MiB after {args.requests} routes "
          f"({after / alone.rss:.2f}x); "
          f"statuses {sorted(set(statuses))}")
    for pid, pss, uss in processes:
        print(f"  pid {pid}: PSS {pss / MIB:.0f} MiB, USS {uss / MIB:.0f} MiB")


if __name__ == "__main__":
    main()
