"""A worker process of ``norvel serve``: loads the graph once, then answers
the jobs the front sends on its standard input, on its standard output.

    python -m norvel.serve.worker GRAPH

It needs norvel_core and norvel only. The front ends it by closing its input,
or kills it when a job runs over the time limit.
"""

from __future__ import annotations

import os
import pickle
import signal
import sys
from typing import Any, BinaryIO

from norvel import Router
from norvel.serve import frames
from norvel.serve.network import StreetNetwork
from norvel.serve.queries import (
    ClientError,
    answer_nearest,
    answer_pair,
    answer_route,
    bbox,
    error_body,
)


class Answerer:
    """The jobs of one graph file, answered as (HTTP status, JSON body)."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.router = Router.from_file(path)
        self._network: StreetNetwork | None = None

    def answer(self, job: tuple[Any, ...]) -> tuple[int, bytes]:
        try:
            kind = job[0]
            if kind == "route":
                return 200, answer_route(self.router, job[1])
            if kind == "pair":
                return 200, answer_pair(self.router, *job[1:])
            if kind == "nearest":
                return 200, answer_nearest(self.router, job[1])
            if kind == "network":
                return 200, self.network().geojson(bbox(job[1]))
            return 500, error_body(f"unknown job {kind!r}")
        except ClientError as error:
            return error.status, error_body(error.message)
        except Exception as error:  # a fault of ours; the front goes on serving
            print(f"norvel serve worker: {type(error).__name__}: {error} in {job!r:.200}",
                  file=sys.stderr)
            return 500, error_body("internal error")

    def network(self) -> StreetNetwork:
        if self._network is None:
            table = self.router.table
            tails, heads = table.edges
            coordinates = {int(node): table.lon_lat(int(node)) for node in table.ids}
            self._network = StreetNetwork(
                coordinates, ((int(a), int(b), table.street_name(int(a), int(b)))
                              for a, b in zip(tails.tolist(), heads.tolist())))
        return self._network


def serve_jobs(path: str, source: BinaryIO, sink: BinaryIO) -> int:
    """Loads the graph, says so, then answers job lists until the input ends."""
    try:
        answerer = Answerer(path)
    except Exception as error:
        sink.write(frames.pack(pickle.dumps(frames.Failed(f"{path}: {error}"))))
        sink.flush()
        return 1
    graph = answerer.router.graph
    sink.write(frames.pack(pickle.dumps(frames.Ready(graph.node_count(),
                                                     graph.edge_count()))))
    sink.flush()
    while (payload := frames.read_frame(source)) is not None:
        for job in pickle.loads(payload):
            status, body = answerer.answer(job)
            sink.write(frames.pack_answer(status, body))
            sink.flush()
    return 0


def main(argv: list[str] | None = None) -> int:
    (path,) = sys.argv[1:] if argv is None else argv
    # Ctrl-C reaches the whole process group; the front ends its workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # The answers get a descriptor of their own; a stray print goes to stderr.
    sink = os.fdopen(os.dup(1), "wb")
    os.dup2(2, 1)
    source = os.fdopen(os.dup(0), "rb")
    return serve_jobs(path, source, sink)


if __name__ == "__main__":
    sys.exit(main())
