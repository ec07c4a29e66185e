"""Tasks over one graph file run on many processes: on the workers of a
Dask cluster or on local processes, each process loading the graph once (a
snapshot is memory-mapped, so the processes of one machine share one copy
of it) and keeping it for later tasks. The batch and the region's access
run their tasks here: progress on a bar, a failing task run again, every
task cancelled when the call ends early (an error, Ctrl-C)."""

from __future__ import annotations

import os
import threading
from collections import OrderedDict
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

from norvel import _requests
from norvel.errors import BatchError
from norvel.router import Router

if TYPE_CHECKING:
    import concurrent.futures
    from distributed import Client
    from tqdm import tqdm

# Runs of a task that raised, after its first.
RETRIES = 2

# A process keeps the routers it loaded for later calls; two, so that a
# client alternating between two graphs does not reload each time.
_KEPT_ROUTERS = 2
_routers: OrderedDict[tuple[str, int, int], Router] = OrderedDict()
# Dask runs the tasks of a worker on its threads: one load per graph.
_routers_lock = threading.Lock()


def router_for(path: str) -> Router:
    """The router of a graph file (a document or a snapshot), loaded once
    per process; a rewritten file (another size or time stamp) is loaded
    anew."""
    status = os.stat(path)
    key = (path, status.st_mtime_ns, status.st_size)
    with _routers_lock:
        router = _routers.get(key)
        if router is None:
            router = Router.from_file(path)
            _routers[key] = router
            while len(_routers) > _KEPT_ROUTERS:
                _routers.popitem(last=False)
        else:
            _routers.move_to_end(key)
        return router


def loaded_graphs() -> list[str]:
    """The paths of the graphs this process keeps, the least recently used
    first."""
    with _routers_lock:
        return [key[0] for key in _routers]


def risk_layers(path: str) -> tuple[list[str], _requests.Hours]:
    """A task: the risk layers of the graph of ``path``, and their
    hours."""
    session = router_for(path).session
    return session.layer_names(), session.layers.hours


def run_on_dask(client: Client, task: Callable[..., Any],
                arguments: Sequence[tuple[Any, ...]], sizes: Sequence[int],
                bar: tqdm[Any], describe: Callable[[int], str]) -> list[Any]:
    """Each task's answer, in the order of ``arguments`` (one tuple of
    arguments a task), run on the cluster with Dask's retries; the bar
    moves by a task's size when it is done. BatchError when a task raised
    ``1 + RETRIES`` times (``describe(number)`` names it) or the cluster
    gave up on it."""
    from distributed import KilledWorker, as_completed

    futures = [client.submit(task, *given, pure=False, retries=RETRIES)
               for given in arguments]
    number_of = {future.key: number for number, future in enumerate(futures)}
    results: dict[int, Any] = {}
    try:
        for future in as_completed(futures):
            number = number_of[future.key]
            try:
                results[number] = future.result()
            except KilledWorker as failure:
                raise BatchError(
                    f"the cluster gave up on {describe(number)}, whose "
                    f"workers kept dying, with {len(futures) - len(results)} "
                    f"of {len(futures)} tasks unfinished") from failure
            except Exception as failure:
                raise BatchError(
                    f"{describe(number)} raised {1 + RETRIES} times in a "
                    f"row, lastly {type(failure).__name__}: {failure}"
                ) from failure
            bar.update(sizes[number])
    finally:
        client.cancel(futures)
    return [results[number] for number in range(len(futures))]


def run_on_processes(task: Callable[..., Any],
                     arguments: Sequence[tuple[Any, ...]],
                     sizes: Sequence[int], workers: int, bar: tqdm[Any],
                     describe: Callable[[int], str]) -> list[Any]:
    """``run_on_dask`` on ``workers`` local processes (started afresh, not
    forked from this one, whose threads a fork would not carry): a task
    that raises runs again, up to ``RETRIES`` times."""
    # Imported here: `import norvel` should not load the process machinery
    # (and its modules' objects, which every collection then walks) for
    # the many programs that never start a process.
    import concurrent.futures
    import multiprocessing

    pool = concurrent.futures.ProcessPoolExecutor(
        workers, mp_context=multiprocessing.get_context("spawn"))
    try:
        return run_on_pool(pool, task, arguments, sizes, bar, describe)
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def run_on_pool(pool: concurrent.futures.Executor, task: Callable[..., Any],
                arguments: Sequence[tuple[Any, ...]], sizes: Sequence[int],
                bar: tqdm[Any], describe: Callable[[int], str]) -> list[Any]:
    """Each task's answer, in the order of ``arguments``, run on ``pool``
    (threads or processes, which the caller shuts down): a task that
    raises runs again, up to ``RETRIES`` times, then BatchError; the bar
    moves by a task's size when it is done."""
    import concurrent.futures

    results: dict[int, Any] = {}
    failures: dict[int, int] = {}
    running = {pool.submit(task, *given): number
               for number, given in enumerate(arguments)}
    while running:
        done, _ = concurrent.futures.wait(
            running, return_when=concurrent.futures.FIRST_COMPLETED)
        for future in done:
            number = running.pop(future)
            try:
                results[number] = future.result()
            except Exception as failure:
                failures[number] = failures.get(number, 0) + 1
                if failures[number] > RETRIES:
                    raise BatchError(
                        f"{describe(number)} raised {failures[number]} "
                        f"times in a row, lastly "
                        f"{type(failure).__name__}: {failure}"
                    ) from failure
                running[pool.submit(task, *arguments[number])] = number
            else:
                bar.update(sizes[number])
    return [results[number] for number in range(len(arguments))]
