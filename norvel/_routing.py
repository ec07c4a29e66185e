"""The worker side of norvel.batch: what runs in a pool process or on a Dask
worker. It needs norvel_core only, so workers import neither pandas nor
Dask for it."""

from __future__ import annotations

import math
import os
import threading
from collections import OrderedDict

import norvel_core

from norvel._files import load_graph

# pair, source, target, type, distance, risk, time, comfort, familiarity,
# node count, error
Row = tuple[int, int, int, str | None, float, float, float, float, float,
            int | None, str | None]
# pair index, source, target
Job = tuple[int, int, int]

# A worker keeps the graphs it loaded for later calls; two, so that a
# client alternating between two graphs does not reload each time.
_KEPT_GRAPHS = 2
_graphs: OrderedDict[tuple[str, int, int], norvel_core.PyGraph] = OrderedDict()
# Dask may run several tasks of one worker on threads: one load per graph.
_graphs_lock = threading.Lock()


def graph_for(path: str) -> norvel_core.PyGraph:
    """The graph of a document file, loaded once per process; a rewritten
    file (another size or time stamp) is loaded anew."""
    status = os.stat(path)
    key = (path, status.st_mtime_ns, status.st_size)
    with _graphs_lock:
        graph = _graphs.get(key)
        if graph is None:
            graph = load_graph(path)
            _graphs[key] = graph
            while len(_graphs) > _KEPT_GRAPHS:
                _graphs.popitem(last=False)
        else:
            _graphs.move_to_end(key)
        return graph


def preload(path: str) -> None:
    """Pool initializer: loads the graph before the first pairs arrive. A
    failure is left for the first chunk to raise again, where the caller
    sees it; an initializer's own error would only break the pool."""
    try:
        graph_for(path)
    except Exception:
        pass


def pair_rows(graph: norvel_core.PyGraph, job: Job, eps: float) -> list[Row]:
    index, source, target = job
    try:
        routes = norvel_core.compute_safe_routes(graph, source, target, eps)
    except Exception as failure:  # a failed pair is a row, not a failed batch
        nan = math.nan
        return [(index, source, target, None, nan, nan, nan, nan, nan, None,
                 f"{type(failure).__name__}: {failure}")]
    return [(index, source, target, route.route_type, route.total_distance_m,
             route.total_risk, route.estimated_time_min, route.comfort_score,
             route.total_familiarity, route.node_count, None)
            for route in routes]


def route_chunk(path: str, jobs: list[Job], eps: float) -> list[Row]:
    graph = graph_for(path)
    return [row for job in jobs for row in pair_rows(graph, job, eps)]
