"""``norvel serve`` on a free loopback port, for the service's benchmarks."""

from __future__ import annotations

import contextlib
import socket
import subprocess
import sys
import time
import urllib.request
from typing import IO

import psutil


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return port


class Service:
    """``norvel serve GRAPH --workers N --timeout-s S`` (the service's own
    time limit when S is None) and any further options, started and
    answering ``/health`` once constructed; a with-block ends it. Its
    stderr goes to ``stderr`` when given."""

    def __init__(self, graph: str, *options: str, workers: int = 1,
                 timeout_s: float | None = 60.0, start_s: float = 120.0,
                 stderr: IO[str] | None = None) -> None:
        self.port = free_port()
        started = time.monotonic()
        limit = [] if timeout_s is None else ["--timeout-s", f"{timeout_s:g}"]
        self.process = subprocess.Popen(
            [sys.executable, "-m", "norvel", "serve", graph, "--port", str(self.port),
             "--workers", str(workers), *limit, *options], stderr=stderr)
        while True:
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/health",
                                            timeout=5):
                    break
            except OSError:
                if self.process.poll() is not None or time.monotonic() > started + start_s:
                    self.process.kill()
                    raise RuntimeError("the server did not start") from None
                time.sleep(0.2)
        self.start_s = time.monotonic() - started

    def cpu_s(self) -> tuple[float, float]:
        """CPU seconds of the front, and of the processes under it (the one
        holding the graph and the workers it forked), so far."""
        front = psutil.Process(self.process.pid)
        own = front.cpu_times()
        workers = 0.0
        for process in front.children(recursive=True):
            with contextlib.suppress(psutil.NoSuchProcess):
                times = process.cpu_times()
                workers += times.user + times.system
        return own.user + own.system, workers

    def __enter__(self) -> Service:
        return self

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(timeout=60)

    def __exit__(self, *exc: object) -> None:
        self.stop()
