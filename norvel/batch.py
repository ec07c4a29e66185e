"""Routes for many (origin, destination) pairs at once, as one table (needs
pandas: ``pip install 'norvel_core[batch]'``; on a Dask cluster also
``norvel_core[dask]``).

    frame = route_pairs("graph.json.gz", [(a, b), ((60.1718, 24.9414), c)])
    frame = route_pairs(router, pairs)              # a norvel.Router
    frame = route_pairs("/shared/graph.json.gz", pairs, client=client)

Each row is what ``Router.route`` gives for its pair: its routes, or its
error. Locally, the pairs run on threads over one ``Router``: a request runs
without the interpreter lock, so the threads use every core with one copy of
the graph. With a Dask ``distributed.Client``, they run on the cluster's
workers, for more than one machine: each worker process loads the graph once
and keeps it for later calls, and the threads of a worker share it (one
worker per machine with a thread per core uses the least memory).

Pairs travel in chunks that hold whole groups of pairs to one destination
(as given), and a chunk's pairs go to ``Router.route_many`` on the thread
that runs it: the requests of a group share the searches from their
destination, on a Dask worker as on a local thread.

``eps`` defaults to 0.0: the exact front, which is also the fastest to
compute (the exact search takes shortcuts an approximate one cannot).

Nothing is lost silently. A pair's own failure is its row. Any other
exception in a chunk of pairs runs that chunk again, up to twice, and then
fails the call with ``BatchError``. On Dask, a worker that dies (killed, out
of memory) costs only the chunks it had not finished: the scheduler runs
them on another worker, and gives up (``BatchError``) on a chunk whose
workers keep dying.
"""

from __future__ import annotations

import concurrent.futures
import math
import os
import threading
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

from norvel._extras import require

require("norvel.batch", "batch", "pandas", "tqdm")

import pandas as pd
from tqdm import tqdm

import numpy as np

from norvel import _access_tiles, _plane_cover, _requests, _route_table, _values, _workers
from norvel.errors import BatchError
from norvel._session import PAIR_ROLES, Session
from norvel._values import DEFAULT_CATCHMENT_MINUTES, DEFAULT_EPS, DEFAULT_MAX_SNAP_M, Place
from norvel.catchment import Catchment, several_places
from norvel.router import Router

if TYPE_CHECKING:
    from distributed import Client

    from norvel._engine import CatchmentColumns

__all__ = ["COLUMNS", "BatchError", "catchment", "route_pairs"]

# The key of route_pairs' rows: the pair's index.
_KEYS = (("pair", "int64"),)
#: The columns of route_pairs' table, in order: the names of ``Route``'s
#: fields and of ``Router.matrix``'s ends.
COLUMNS = _route_table.columns([name for name, _ in _KEYS], node_count=True)
# pair, origin node, destination node, type, distance_m, risk, time_min,
# comfort, familiarity, node count, error, error kind
Row = tuple[Any, ...]
# pair index, origin, destination (as the caller gave them)
Job = tuple[int, object, object]

# Chunks per worker: enough to even out slow and fast pairs (and to move the
# progress bar), few enough to keep the cost of sending each chunk small.
_CHUNKS_PER_WORKER = 4
_MAX_CHUNK = 500
# The progress bar shows only once a batch has run this long.
_PROGRESS_DELAY_S = 2.0


def route_pairs(graph: Router | str | os.PathLike[str],
                pairs: Iterable[tuple[Place, Place]],
                eps: float = DEFAULT_EPS, *,
                max_snap_m: float = DEFAULT_MAX_SNAP_M,
                timeout_s: float | None = None,
                risk: str | None = None, at: object = None,
                avoid: object = None, client: Client | None = None, workers: int | None = None,
                chunk_size: int | None = None,
                progress: bool = True) -> pd.DataFrame:
    """One row per route of every pair, in pair order and, within a pair,
    in the order ``Router.route`` returns them; a pair that fails gives one
    row.

    ``graph``: a ``norvel.Router``, or the path of a ``.json`` or
    ``.json.gz`` graph document (with a ``client``, a path every worker can
    read under that name). ``pairs``: (origin, destination) pairs, each end
    a node id or a (lat, lon) tuple in degrees, as ``Router.route`` takes
    them; ``eps``, ``max_snap_m``, ``timeout_s``, ``risk`` (the risk
    layer) and ``at`` (a time of day, which chooses it) mean what they mean
    there, and so does ``avoid`` (edges and
    areas not to take, docs/routes.md); with a ``client``, each worker
    resolves it on the graph it loaded, and a value it refuses fails the
    batch with a BatchError caused by its ValueError or TypeError.

    Columns, named as ``Route``'s fields and ``Router.matrix``'s columns:
    ``pair`` (index in ``pairs``); ``origin_node`` and
    ``destination_node``, the node ids the route starts and ends at: the
    id given, or the node a point snapped to (nullable UInt64; <NA> where
    there is none: a point too far from the graph, an id outside [0,
    2**64), a value that is no place); ``type``; ``distance_m``; ``risk``;
    ``time_min``;
    ``comfort``; ``familiarity``; ``node_count``; ``error``, the message of
    the error ``Router.route`` raises for the pair; and ``error_kind``:
    "node_not_found", "source_isolated", "no_route", "snap", "timeout", or
    "invalid" (a ValueError or TypeError of an end, such as a latitude out
    of range). A failed pair's row has no type and no metrics. Every pair
    appears, none twice.

    ``workers``: threads over one router (default: the CPUs this process
    may use); ignored with a ``client``, whose workers' threads run the
    pairs. ``chunk_size``: pairs per task (default: about four tasks per
    thread). ``progress``: a bar on stderr for batches longer than a few
    seconds.

    Raises ValueError or TypeError for an invalid ``eps``, ``max_snap_m``,
    ``timeout_s``, ``workers`` or ``chunk_size``, or an item of ``pairs``
    that is no pair; UnknownRiskLayerError (a ValueError) for a ``risk``
    the graph does not have, before any pair runs (on Dask, once a worker
    has loaded the graph). A graph document that does not load raises its own
    error (ValueError naming the file, OSError); on Dask, where the workers
    load it, a BatchError caused by that error. BatchError when a chunk of
    pairs raised three times in a row (the last exception is its cause), or
    when the Dask scheduler gave up on a chunk whose workers kept dying.
    """
    # The layer's name, or the layer of the time, is found once the graph
    # is loaded.
    request = _requests.options(None, eps, max_snap_m, timeout_s, risk, at=at)
    if workers is not None:
        _values.workers(workers)
    if chunk_size is not None and chunk_size < 1:
        raise ValueError(f"chunk_size must be at least 1, got {chunk_size}")
    if client is not None and isinstance(graph, Router):
        raise TypeError("with a client, graph must be the path of a graph "
                        "document that every worker can read, not a Router")
    jobs = _jobs(pairs)
    if not jobs:
        return _frame([], 0)
    bar = tqdm(total=len(jobs), unit="pair", delay=_PROGRESS_DELAY_S,
               disable=not progress)
    try:
        if client is None:
            router = (graph if isinstance(graph, Router)
                      else Router.from_file(graph))
            request = router.session.options(eps, max_snap_m, timeout_s, risk,
                                             avoid=avoid, at=at)
            count = min(_values.workers(workers), len(jobs))
            chunks = _chunks(jobs, chunk_size, count)
            rows = _on_threads(router, chunks, request,
                               min(count, len(chunks)), bar)
        else:
            assert not isinstance(graph, Router)  # refused above
            path = os.path.abspath(os.fspath(graph))
            count = max(1, sum(client.nthreads().values()))
            if risk is not None or at is not None:
                layers, hours = _worker_layers(client, path)
                request = _requests.options(layers, eps, max_snap_m, timeout_s,
                                            risk, at=at, hours=hours)
            chunks = _chunks(jobs, chunk_size, count)
            rows = _on_dask(client, path, chunks, request, avoid, bar)
    finally:
        bar.close()
    return _frame(rows, len(jobs))


def _jobs(pairs: Iterable[tuple[Place, Place]]) -> list[Job]:
    return [(index, *_requests.pair(pair, index))
            for index, pair in enumerate(pairs)]


def _chunks(jobs: Sequence[Job], size: int | None,
            workers: int) -> list[list[Job]]:
    """The jobs in chunks of about ``size``, each holding whole groups of
    pairs to one destination (as given), in the order the groups first
    appear: the requests of a group share the search from their
    destination (``Router.route_many``), wherever the chunk runs. Only a
    group larger than a chunk is cut, into chunks of its own."""
    if size is None:
        size = min(_MAX_CHUNK,
                   math.ceil(len(jobs) / (workers * _CHUNKS_PER_WORKER)))
    groups: dict[object, list[Job]] = {}
    for job in jobs:
        groups.setdefault(_destination_key(job[2], job[0]), []).append(job)
    chunks: list[list[Job]] = []
    filling: list[Job] = []
    for group in groups.values():
        if len(filling) + len(group) > size and filling:
            chunks.append(filling)
            filling = []
        for start in range(0, len(group), size):
            piece = group[start:start + size]
            if len(piece) == size:
                chunks.append(piece)
            else:
                filling += piece
    if filling:
        chunks.append(filling)
    return chunks


def _destination_key(place: object, index: int) -> object:
    """Equal for ends that name the same node id or the same point; a value
    that is neither groups alone (its pair fails on its own)."""
    if type(place) is int:
        return place
    if (type(place) is tuple and len(place) == 2
            and all(type(v) is float for v in place)):
        return place
    return ("alone", index)


# The rows of pairs, wherever they run.

class _Stopped(Exception):
    """The batch ended (it failed, or was interrupted) while this chunk
    was running."""


# Pairs routed by one call of Router.route_many. Between calls a stop is
# seen, and the calls' short turns with the interpreter lock (snapping the
# ends, building the rows) let the other threads' calls run meanwhile; a
# group cut between two calls builds the searches from its destination
# once more.
_PAIRS_PER_CALL = 64


def _route_chunk(session: Session, jobs: list[Job],
                 request: _requests.Options,
                 stop: threading.Event | None = None) -> list[Row]:
    """The rows of a chunk's pairs, in its order: per pair one row per
    route, or one with the error ``Router.route`` raises for it. Their
    ends are snapped together, once, and the pairs whose ends snapped run
    on this thread, the requests to one destination over the searches they
    share."""
    rows: list[Row] = []
    for start in range(0, len(jobs), _PAIRS_PER_CALL):
        if stop is not None and stop.is_set():
            raise _Stopped
        part = jobs[start:start + _PAIRS_PER_CALL]
        # Every end of the call snapped at once; an end that is no place
        # is its pair's row, not the batch's error.
        ends = session.ends([end for job in part for end in job[1:]],
                            PAIR_ROLES * len(part), request.max_snap_m,
                            strict=False, avoid=request.avoid)
        origins, destinations = ends[0::2], ends[1::2]
        answers = session.answers(origins, destinations, 1, request)
        for job, origin, destination, answer in zip(part, origins,
                                                    destinations, answers):
            rows += _pair_rows(session, job, origin, destination, answer)
    return rows


def _pair_rows(session: Session, job: Job, origin: _requests.End,
               destination: _requests.End, answer: Any) -> list[Row]:
    """The rows of one pair of the table: one per route, or one with the
    error ``Router.route`` raises for it."""
    return _route_table.rows_of(
        (job[0], _route_table.node_of(origin), _route_table.node_of(destination)),
        answer, node_count=True)


# Local threads over one router.

def _on_threads(router: Router, chunks: list[list[Job]], request: _requests.Options,
                workers: int, bar: tqdm[Any]) -> list[Row]:
    """The rows of the chunks, run on ``workers`` threads; a chunk that
    raises runs again, up to ``norvel._workers.RETRIES`` times."""
    # Set when the call ends early, so that running chunks stop at their
    # next pair rather than finish the work of a failed call.
    stop = threading.Event()
    pool = concurrent.futures.ThreadPoolExecutor(
        workers, thread_name_prefix="norvel-batch")
    try:
        rows = _workers.run_on_pool(
            pool, _route_chunk,
            [(router.session, chunk, request, stop) for chunk in chunks],
            [len(chunk) for chunk in chunks], bar,
            lambda number: f"the chunk of pairs {_span(chunks[number])}")
    finally:
        stop.set()
        pool.shutdown(wait=True, cancel_futures=True)
    return _in_pair_order(dict(enumerate(rows)))


def _in_pair_order(results: dict[int, list[Row]]) -> list[Row]:
    """The chunks' rows by pair (chunks hold groups, not runs of pairs);
    a pair's rows keep their order."""
    rows = [row for number in sorted(results) for row in results[number]]
    return sorted(rows, key=lambda row: row[0])


def _span(jobs: list[Job]) -> str:
    """The pairs of a chunk, as its run of indices or the first few."""
    indices = [job[0] for job in jobs]
    if indices == list(range(indices[0], indices[0] + len(indices))):
        return f"{indices[0]} to {indices[-1]}"
    shown = ", ".join(map(str, indices[:4]))
    return shown if len(indices) <= 4 else f"{shown} and {len(indices) - 4} more"


# Dask workers, each process with its own router.

def _worker_layers(client: Client, path: str
                   ) -> tuple[list[str], _requests.Hours]:
    """The risk layers of the graph of ``path`` and their hours, as a
    worker loads it; BatchError caused by the worker's error when it
    cannot."""
    try:
        layers: tuple[list[str], _requests.Hours] = client.submit(
            _workers.risk_layers, path, pure=False).result()
    except Exception as failure:
        raise BatchError(f"a worker could not load the graph {path}: "
                         f"{type(failure).__name__}: {failure}") from failure
    return layers


def _route_file_chunk(path: str, jobs: list[Job],
                      request: _requests.Options, avoid: object) -> list[Row]:
    """A Dask task: the rows of a chunk over the graph of ``path``, the
    request's ``avoid`` resolved on that graph (its segments' index is
    the session's, built once per process)."""
    session = _workers.router_for(path).session
    return _route_chunk(session, jobs,
                        request._replace(avoid=session.avoided(avoid)))


def _on_dask(client: Client, path: str, chunks: list[list[Job]],
             request: _requests.Options, avoid: object,
             bar: tqdm[Any]) -> list[Row]:
    answers = _workers.run_on_dask(
        client, _route_file_chunk,
        [(path, chunk, request, avoid) for chunk in chunks],
        [len(chunk) for chunk in chunks], bar,
        lambda number: f"the chunk of pairs {_span(chunks[number])}")
    return _in_pair_order(dict(enumerate(answers)))


# A catchment of several places, its nodes in tiles.

# Tiles per worker thread, as for a region's access.
_TILES_PER_WORKER = 2


def catchment(graph: str | os.PathLike[str], places: Sequence[Place],
              minutes: float = DEFAULT_CATCHMENT_MINUTES, *,
              direction: str = "to", max_snap_m: float = DEFAULT_MAX_SNAP_M,
              risk: str | None = None, at: object = None,
              avoid: object = None, client: Client | None = None,
              workers: int | None = None,
              progress: bool = True) -> pd.DataFrame:
    """``Router.from_file(graph).catchment(places, minutes, ...).nodes``,
    the same table bit for bit, its nodes answered in tiles on the workers
    of a Dask ``client`` (``graph`` a path every worker can read, a
    snapshot or a document; each worker loads it once) or on ``workers``
    local processes (default: the CPUs this process may use).

    The nodes a walk of ``minutes`` can reach lie within a margin of the
    places (``norvel._access_tiles`` has the argument); they are split by
    where they lie, and each tile is the catchment of every place asked
    about its nodes alone, which answers them as the whole catchment does
    (their safest walks may go anywhere). ``places``: node ids or (lat,
    lon) points, as ``Router.catchment`` takes several; ``direction``,
    ``max_snap_m``, ``risk``, ``at`` and ``avoid`` as there. Raises what
    ``Router.catchment`` raises for its arguments, and BatchError as
    ``route_pairs`` does."""
    path = os.path.abspath(os.fspath(graph))
    router = _workers.router_for(path)
    session = router.session
    request = session.options(DEFAULT_EPS, max_snap_m, None, risk,
                              exact=True, avoid=avoid, at=at)
    limit = _values.minutes(minutes)
    way = _values.direction(direction)
    several = several_places(list(places))
    assert several is not None  # a list is several places
    snaps, _ = session.catchment_columns(several, 0.0, way, request)
    nodes = _reachable_nodes(session, [snap.node for snap in snaps], limit)
    threads = (_values.workers(workers) if client is None
               else max(1, sum(client.nthreads().values())))
    tiles = _access_tiles.tiles(_access_tiles.plane_of(session, nodes),
                                _access_tiles.plane_of(session, nodes[:0]),
                                0.0, _TILES_PER_WORKER * threads)
    arguments = [(path, several, limit, way, max_snap_m, request.risk,
                  avoid, nodes[tile.origins]) for tile in tiles]
    sizes = [len(tile.origins) for tile in tiles]

    def describe(number: int) -> str:
        return f"the tile of {sizes[number]} nodes"

    bar = tqdm(total=sum(sizes), unit="node", delay=_PROGRESS_DELAY_S,
               disable=not progress)
    try:
        parts = (_workers.run_on_dask(client, _catchment_tile, arguments,
                                      sizes, bar, describe)
                 if client is not None else
                 _workers.run_on_processes(
                     _catchment_tile, arguments, sizes,
                     min(threads, max(len(tiles), 1)), bar, describe))
    finally:
        bar.close()
    columns = _joined(parts) if parts else session.catchment_columns(
        several, limit, way, request, only=[])[1]
    return Catchment(session, snaps[0], limit, way, columns, snaps,
                     request.risk, request.avoid).nodes


def _reachable_nodes(session: Session, places: list[int],
                     minutes: float) -> np.ndarray[Any, np.dtype[np.uint64]]:
    """The ids of the nodes within the plane's margin of ``minutes`` of a
    place: every node whose walk to or from one may take that long."""
    engine = session.engine
    margin = _access_tiles.margin_units(session, minutes)
    ids: np.ndarray[Any, np.dtype[np.uint64]] = np.asarray(engine.ids)
    if not np.isfinite(margin):
        return ids.copy()
    x, y = _access_tiles.plane_of(session, np.asarray(places, dtype=np.uint64))
    near = _plane_cover.within_squares(engine.plane_x.astype(np.int64),
                                       engine.plane_y.astype(np.int64),
                                       x, y, int(np.ceil(margin)))
    return ids[near]


def _catchment_tile(path: str, places: list[object], minutes: float,
                    direction: str, max_snap_m: float, risk: str,
                    avoid: object, nodes: np.ndarray[Any, Any]
                    ) -> CatchmentColumns:
    """A task: the catchment's columns of ``nodes`` alone."""
    session = _workers.router_for(path).session
    request = session.options(DEFAULT_EPS, max_snap_m, None, risk,
                              exact=True, avoid=avoid)
    return session.catchment_columns(places, minutes, direction, request,
                                     only=nodes.tolist())[1]


def _joined(parts: list[CatchmentColumns]) -> CatchmentColumns:
    """The tiles' columns as one catchment's: by shortest distance, then
    id; the report's counts summed."""
    names = [name for name in parts[0] if name != "report"]
    joined: dict[str, Any] = {name: np.concatenate([part[name]  # type: ignore[literal-required]
                                                    for part in parts])
                              for name in names}
    order = np.lexsort((joined["node"], joined["shortest_m"]))
    for name in names:
        joined[name] = joined[name][order]
    joined["report"] = {key: sum(part["report"][key] for part in parts)
                        for key in parts[0]["report"]}
    return joined  # type: ignore[return-value]


# The table.

def _frame(rows: list[Row], pair_count: int) -> pd.DataFrame:
    """The table, after checking that every pair is there exactly once: one
    failure row, or routes of distinct types."""
    seen: dict[int, set[str | None]] = {}
    for row in rows:
        kinds = seen.setdefault(row[0], set())
        # A failure row (type None) stands alone.
        if kinds and (row[3] in kinds or row[3] is None or None in kinds):
            raise BatchError(f"pair {row[0]} came back twice")
        kinds.add(row[3])
    if len(seen) != pair_count:
        missing = sorted(set(range(pair_count)) - seen.keys())
        raise BatchError(f"{len(missing)} pairs came back without rows, "
                         f"first {missing[:5]}")
    return _route_table.frame(_KEYS, rows, node_count=True)
