"""Routes for many (source, target) pairs at once, as one table (needs
pandas: ``pip install 'norvel_core[batch]'``; on a Dask cluster also
``norvel_core[dask]``).

    frame = route_pairs("graph.json.gz", [(a, b), (c, d)])
    frame = route_pairs("/shared/graph.json.gz", pairs, client=client)

The search holds the interpreter lock, so pairs run in processes, each with
its own copy of the graph: a local process pool by default, or the workers
of a Dask ``distributed.Client``. Dask workers with one thread each use the
cores best (``LocalCluster(threads_per_worker=1)``, ``dask worker
--nthreads 1``).

``eps`` defaults to 0.0: the exact front, which is also the fastest to
compute (the exact search takes shortcuts an approximate one cannot).

A worker that dies (killed, out of memory) costs only the chunks it had not
finished: they run again on a fresh pool, up to twice, as Dask retries the
tasks of a lost worker; only then does the call raise ``BatchError``.
"""

from __future__ import annotations

import concurrent.futures
import math
import multiprocessing
import os
from collections.abc import Iterable, Sequence
from concurrent.futures.process import BrokenProcessPool
from typing import TYPE_CHECKING, Any

from norvel._extras import require

require("norvel.batch", "batch", "pandas", "tqdm")

import pandas as pd
from tqdm import tqdm

from norvel import _routing
from norvel._routing import Job, Row

if TYPE_CHECKING:
    from distributed import Client

COLUMNS = ("pair", "source", "target", "type", "distance", "risk", "time",
           "comfort", "familiarity", "node_count", "error")

# Chunks per worker: enough to even out slow and fast pairs, few enough to
# keep the cost of sending each chunk small.
_CHUNKS_PER_WORKER = 4
_MAX_CHUNK = 500
# The progress bar shows only once a batch has run this long.
_PROGRESS_DELAY_S = 2.0
# Fresh pools for the chunks a dead worker left unfinished, after the first.
_POOL_RETRIES = 2


class BatchError(RuntimeError):
    """The batch could not be completed (a worker died, or the cluster gave
    up on a chunk); no partial table is returned."""


def route_pairs(graph_path: str | os.PathLike[str],
                pairs: Iterable[tuple[int, int]], eps: float = 0.0, *,
                client: Client | None = None, workers: int | None = None,
                chunk_size: int | None = None,
                progress: bool = True) -> pd.DataFrame:
    """One row per route of every pair, in pair order and, within a pair,
    in the order ``compute_safe_routes`` returns them.

    Columns: ``pair`` (index in ``pairs``), ``source``, ``target``,
    ``type``, ``distance`` (m), ``risk``, ``time`` (min), ``comfort``,
    ``familiarity``, ``node_count`` and ``error``. A pair that has no route
    (or a node the graph lacks) gives one row with its error text in
    ``error`` and no metrics; every pair appears, none twice.

    ``eps``: 0.0 for the exact Pareto front (the default), or the factor
    ``1 + eps`` within which an approximate front may miss routes.
    ``graph_path``: a ``.json`` or ``.json.gz`` graph document; with a
    ``client``, every worker must be able to read it under that name.
    ``workers``: processes of the local pool (default: ``os.cpu_count()``);
    ignored with a ``client``. ``progress``: a bar on stderr for batches
    longer than a few seconds.

    Raises BatchError when the batch cannot complete: on the local pool,
    when workers died on three pools in a row (the first and two retries of
    the unfinished chunks); on Dask, when the scheduler gave up on a chunk
    whose workers kept dying. A graph document that does not load raises its
    own error.
    """
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    path = os.path.abspath(os.fspath(graph_path))
    jobs: list[Job] = [(index, source, target)
                       for index, (source, target) in enumerate(pairs)]
    if not jobs:
        return _frame([], 0)
    bar = tqdm(total=len(jobs), unit="pair", delay=_PROGRESS_DELAY_S,
               disable=not progress)
    try:
        if client is None:
            count = min(workers or os.cpu_count() or 1, len(jobs))
            chunks = _chunks(jobs, chunk_size, count)
            rows = _on_pool(path, chunks, eps, min(count, len(chunks)), bar)
        else:
            count = max(1, len(client.nthreads()))
            chunks = _chunks(jobs, chunk_size, count)
            rows = _on_dask(client, path, chunks, eps, bar)
    finally:
        bar.close()
    return _frame(rows, len(jobs))


def _chunks(jobs: Sequence[Job], size: int | None,
            workers: int) -> list[list[Job]]:
    if size is None:
        size = min(_MAX_CHUNK,
                   math.ceil(len(jobs) / (workers * _CHUNKS_PER_WORKER)))
    if size < 1:
        raise ValueError(f"chunk_size must be at least 1, got {size}")
    return [list(jobs[start:start + size])
            for start in range(0, len(jobs), size)]


def _on_pool(path: str, chunks: list[list[Job]], eps: float, workers: int,
             bar: tqdm[Any]) -> list[Row]:
    results: dict[int, list[Row]] = {}
    for _ in range(1 + _POOL_RETRIES):
        unfinished = [n for n in range(len(chunks)) if n not in results]
        if not unfinished:
            break
        _run_pool(path, chunks, unfinished, eps,
                  min(workers, len(unfinished)), bar, results)
    if len(results) < len(chunks):
        raise BatchError(
            f"a worker process died on each of {1 + _POOL_RETRIES} pools in "
            f"a row, with {len(chunks) - len(results)} of {len(chunks)} "
            f"chunks of pairs unfinished")
    return [row for number in range(len(chunks)) for row in results[number]]


def _run_pool(path: str, chunks: list[list[Job]], numbers: list[int],
              eps: float, workers: int, bar: tqdm[Any],
              results: dict[int, list[Row]]) -> None:
    """Runs the chunks ``numbers`` on one pool and puts the rows of each
    chunk that finished into ``results``; a broken pool (a worker died)
    leaves the others out. Any other failure of a chunk is raised."""
    # Fork would copy the caller's threads' locks (a Dask client, a progress
    # bar) in whatever state they are; a fork server starts clean. With its
    # default preload (the caller's main module) every worker imported the
    # caller's imports anew: a pool of two took 2 s to start when the caller
    # had imported Dask, 0.3 s with this module's imports preloaded. The
    # preload only counts before the server's first start.
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload([__name__])
    with concurrent.futures.ProcessPoolExecutor(
            workers, mp_context=context, initializer=_routing.preload,
            initargs=(path,)) as pool:
        futures: dict[concurrent.futures.Future[list[Row]], int] = {}
        try:
            for number in numbers:
                # A worker may die while chunks are still being handed out:
                # then the pool refuses the rest, which wait for the next.
                futures[pool.submit(_routing.route_chunk, path,
                                    chunks[number], eps)] = number
        except BrokenProcessPool:
            pass
        try:
            # A dead worker breaks the whole pool: every future not done by
            # then fails with BrokenProcessPool, the finished ones keep
            # their rows.
            for future in concurrent.futures.as_completed(futures):
                number = futures[future]
                try:
                    rows = future.result()
                except BrokenProcessPool:
                    continue
                results[number] = rows
                bar.update(len(chunks[number]))
        finally:
            for future in futures:
                future.cancel()


def _on_dask(client: Client, path: str, chunks: list[list[Job]], eps: float,
             bar: tqdm[Any]) -> list[Row]:
    from distributed import KilledWorker, as_completed

    futures = client.map(_routing.route_chunk, [path] * len(chunks), chunks,
                         [eps] * len(chunks), pure=False)
    number_of = {future.key: number for number, future in enumerate(futures)}
    results: dict[int, list[Row]] = {}
    try:
        for future in as_completed(futures):
            number = number_of[future.key]
            results[number] = future.result()
            bar.update(len(chunks[number]))
    except KilledWorker as failure:
        raise BatchError(
            f"the cluster gave up on a chunk of pairs whose workers kept "
            f"dying, with {len(chunks) - len(results)} of {len(chunks)} "
            f"chunks unfinished") from failure
    finally:
        client.cancel(futures)
    return [row for number in range(len(chunks)) for row in results[number]]


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
    frame = pd.DataFrame.from_records(rows, columns=list(COLUMNS))
    frame["pair"] = frame["pair"].astype("int64")
    frame["node_count"] = frame["node_count"].astype("Int64")
    for column in ("distance", "risk", "time", "comfort", "familiarity"):
        frame[column] = frame[column].astype("float64")
    return frame
