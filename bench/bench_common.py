"""What the benchmark scripts share: the least wall time of a call over a few
runs, the requests roadgen writes beside a generated grid, a graph document
read whether gzipped or not, and this process's resident memory.

Standard library only: bench/route_bench.py times any build of norvel_core
without importing the norvel package. Children that measure a bare
interpreter's memory take the source of document_bytes and rss_mib
(``inspect.getsource``) rather than import this module, whose imports
(pathlib, typing) would count in what they measure; that source needs
only ``gzip`` and ``os``.
"""

from __future__ import annotations

import gzip
import math
import os
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import NamedTuple, TypeVar

T = TypeVar("T")


def least_timed(run: Callable[[], T], repeat: int) -> tuple[float, T | None]:
    """The least wall time of ``repeat`` calls of ``run`` (seconds), and
    what the last call gave (None when ``repeat`` is 0, and the time then
    infinite)."""
    best = math.inf
    value: T | None = None
    for _ in range(repeat):
        start = time.perf_counter()
        value = run()
        best = min(best, time.perf_counter() - start)
    return best, value


def least_ms(run: Callable[[], object], repeat: int) -> float:
    """The least wall time of ``repeat`` calls of ``run``, in milliseconds."""
    return least_timed(run, repeat)[0] * 1000.0


def least_wall_cpu(run: Callable[[], T], repeat: int) -> tuple[float, float, T | None]:
    """The least wall time and the least processor time (seconds; they may
    come from different calls) of ``repeat`` calls of ``run``, and what the
    last call gave."""
    walls, cpus = [], []
    value: T | None = None
    for _ in range(repeat):
        wall, cpu = time.perf_counter(), time.process_time()
        value = run()
        walls.append(time.perf_counter() - wall)
        cpus.append(time.process_time() - cpu)
    return min(walls), min(cpus), value


def least_in_turn_ms(runs: Sequence[Callable[[], object]], repeat: int) -> list[float]:
    """The least wall time of each of ``runs`` (milliseconds), over
    ``repeat`` rounds in which each runs once in turn, so that the
    machine's drift reaches all of them alike."""
    best = [math.inf] * len(runs)
    for _ in range(repeat):
        for which, run in enumerate(runs):
            start = time.perf_counter()
            run()
            best[which] = min(best[which], time.perf_counter() - start)
    return [seconds * 1000.0 for seconds in best]


class Query(NamedTuple):
    """A request of roadgen's .queries file: its distance band (metres),
    its ends as node ids, and as 1-based node numbers of the .boa.txt and
    .gr files."""

    band_m: int
    source: int
    target: int
    source_no: int
    target_no: int


def read_queries(path: Path) -> list[Query]:
    """The requests of a .queries file, in its order: lines
    ``qno band_m source_id target_id source_no target_no crow_m``; blank
    lines and ``#`` comments are passed over."""
    queries = []
    for line in path.read_text().splitlines():
        if line.startswith("#") or not line.strip():
            continue
        fields = line.split()
        queries.append(Query(*(int(field) for field in fields[1:6])))
    return queries


def document_bytes(path: str | os.PathLike[str]) -> bytes:
    """The bytes of a graph document file, unpacked when gzipped (told by
    its first bytes, as norvel reads a file)."""
    with open(path, "rb") as stream:
        data = stream.read()
    return gzip.decompress(data) if data[:2] == b"\x1f\x8b" else data


def rss_mib() -> float:
    """This process's resident memory (VmRSS), in MiB; Linux only."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmRSS line in /proc/self/status")
