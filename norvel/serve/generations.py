"""The generations of ``norvel serve``'s worker processes: a zygote
(``norvel.serve.zygote``) holding one graph, and the workers forked from
it, which share its memory.

A worker that dies, or is killed stuck past the time limit, is replaced by
a new fork, in milliseconds. Should the zygote itself end, the next worker
needed starts a new one, which reads the graph again.

A reload starts a new zygote on the file beside the serving one, forks a
new generation of workers from it, and only then sends new requests to
them. A request stays with the generation that was serving when it came:
the old workers finish what was given to them, then end, and with the last
of them the old graph's memory goes. A reload waits for the generation
before the serving one to have gone, so that at most two graphs are ever
in memory. A file that cannot be loaded leaves the serving generation as
it is.

Which worker runs which job is ``norvel.serve.dispatch``'s: this module
only keeps the workers, idle ones in their generation's queue.
"""

from __future__ import annotations

import asyncio
import contextlib
import sys
import time
from collections import Counter
from collections.abc import Coroutine
from dataclasses import dataclass, field
from typing import Any

from norvel._values import DEFAULT_RISK
from norvel.serve.processes import Worker, WorkerStartError, Zygote

#: A worker that failed to start is tried again after this many seconds.
RESTART_DELAY_S = 1.0
#: How long an idle worker sent away may take to end before it is killed
#: (it owes no answer: this only keeps a stopped one from holding its graph).
DISMISS_GRACE_S = 2.0
#: How long a worker or zygote told to end may take before it is killed,
#: when the service shuts down.
END_GRACE_S = 2.0


@dataclass(frozen=True)
class Graph:
    """The graph a generation of workers answers on: the file as it was
    when its loading began, and when that finished (Unix time)."""

    generation: int
    path: str
    sha256: str
    size: int
    mtime_ns: int
    inode: int
    nodes: int
    edges: int
    loaded_at: float
    load_s: float
    risk_layers: tuple[str, ...] = (DEFAULT_RISK,)
    #: The hours of its layers that have some (``frames.Ready``).
    risk_layer_hours: tuple[tuple[str, float, float], ...] = ()


@dataclass
class PoolStats:
    """What the pool has done since it started, for the metrics."""

    worker_restarts: int = 0
    reloads_done: int = 0
    reloads_failed: int = 0
    # Jobs answered 504 (stopped at the time limit, killed past it, or
    # waiting until it passed), by the kind of job.
    timeouts: Counter[str] = field(default_factory=Counter)


class Generation:
    """A zygote holding one graph and the workers forked from it."""

    def __init__(self, graph: Graph, zygote: Zygote) -> None:
        self.graph = graph
        self.zygote = zygote
        self.workers: set[Worker] = set()
        # None wakes a waiting request to look again (the generation ended,
        # or no worker could start).
        self.idle: asyncio.Queue[Worker | None] = asyncio.Queue()
        self.waiting = 0
        # Jobs given to this generation and not yet answered.
        self.jobs = 0
        self.retired = False
        # Set once retired and every worker has ended.
        self.ended = asyncio.Event()
        # Why the last new worker could not start, while none has since.
        self.start_failure: str | None = None

    def wake_waiting(self) -> None:
        for _ in range(self.waiting):
            self.idle.put_nowait(None)

    def dismiss_idle(self) -> None:
        """Sends the idle workers away."""
        while not self.idle.empty():
            worker = self.idle.get_nowait()
            if worker is not None:
                worker.dismiss()

    def release(self, worker: Worker) -> None:
        """Takes back a worker done with its jobs: idle again, or sent away
        when the generation is retired and owes nothing more."""
        if self.retired and self.jobs == 0 and self.waiting == 0:
            worker.dismiss()
        else:
            self.idle.put_nowait(worker)


class Generations:
    """The generations of ``size`` workers on the graph file ``path``
    (answering each job within ``timeout_s`` seconds, each catchment of at
    most ``max_catchment_nodes`` nodes): the one serving new requests
    (``current``), and those retiring, whose workers finish what they were
    given. Counts what it does in ``stats``."""

    def __init__(self, path: str, size: int, timeout_s: float,
                 max_catchment_nodes: int, stats: PoolStats) -> None:
        self.path = path
        self.size = size
        self.timeout_s = timeout_s
        self.max_catchment_nodes = max_catchment_nodes
        self.stats = stats
        self.current: Generation | None = None
        # Why the last reload failed, while none has succeeded since.
        self.reload_failure: str | None = None
        self.closing = False
        self._retiring: list[Generation] = []
        self._generations = 0
        self._reload_lock = asyncio.Lock()
        self._reload_task: asyncio.Task[None] | None = None
        self._reload_again = False
        self._tasks: set[asyncio.Task[None]] = set()

    @property
    def graph(self) -> Graph | None:
        """The graph new requests are answered on."""
        return None if self.current is None else self.current.graph

    @property
    def workers(self) -> int:
        """Live workers, of every generation."""
        return sum(len(g.workers) for g in self._all())

    async def start(self) -> None:
        """Loads the graph and forks every worker; WorkerStartError when the
        graph cannot be loaded or no worker forked."""
        try:
            self.current = await self._load()
        except BaseException:
            await self.close()
            raise

    def request_reload(self) -> None:
        """Loads the file again in the background; asked while a reload
        runs, another follows it (one, however often asked)."""
        if self.closing:
            return
        if self._reload_task is not None and not self._reload_task.done():
            self._reload_again = True
            return

        async def reloads() -> None:
            while True:
                self._reload_again = False
                await self.reload()
                if not self._reload_again or self.closing:
                    return

        self._reload_task = asyncio.ensure_future(reloads())

    async def reload(self, *, unless_replaced: Generation | None = None) -> bool:
        """Loads the file into a new generation and sends new requests
        there; False (the serving generation kept, the reason on stderr and
        in ``reload_failure``) when it cannot be loaded. With
        ``unless_replaced``, does nothing unless that generation still
        serves."""
        async with self._reload_lock:
            if unless_replaced is not None and self.current is not unless_replaced:
                return True
            # At most two graphs in memory: the one serving, and this one.
            for retiring in list(self._retiring):
                await retiring.ended.wait()
            if self.closing:
                return False
            try:
                generation = await self._load()
            except Exception as error:  # whatever it was, the old graph serves on
                self.stats.reloads_failed += 1
                self.reload_failure = str(error)
                serving = self.graph
                print(f"norvel serve: cannot reload {self.path}: {error}"
                      + ("" if serving is None else
                         f" (generation {serving.generation} goes on serving)"),
                      file=sys.stderr, flush=True)
                return False
            old = self.current
            self.current = generation
            self.stats.reloads_done += 1
            self.reload_failure = None
            if old is not None:
                self._retire(old)
            graph = generation.graph
            print(f"norvel serve: loaded {graph.path} as generation {graph.generation} "
                  f"({graph.nodes} nodes, {graph.edges} edges, sha256 "
                  f"{graph.sha256[:12]}) in {graph.load_s:.2f} s",
                  file=sys.stderr, flush=True)
            return True

    async def close(self) -> None:
        """Ends every worker and the zygotes: closes their sockets, then
        kills those that linger."""
        self.closing = True
        tasks = list(self._tasks)
        if self._reload_task is not None:
            tasks.append(self._reload_task)
        for task in tasks:
            task.cancel()
        # Until they have let go of the workers' pidfds.
        await asyncio.gather(*tasks, return_exceptions=True)
        for generation in self._all():
            await self._end(generation)

    def settle(self, generation: Generation) -> None:
        """After a request given to ``generation`` is answered: a retired
        generation that owes no more answers sends its idle workers away."""
        if generation.retired and generation.jobs == 0:
            generation.dismiss_idle()

    def _all(self) -> list[Generation]:
        return [*self._retiring, *([self.current] if self.current else [])]

    async def _load(self) -> Generation:
        """A new generation on the file: its zygote and every worker."""
        started = time.monotonic()
        zygote, ready = await Zygote.start(self.path, self.timeout_s,
                                           self.max_catchment_nodes)
        workers: list[Worker] = []
        try:
            for _ in range(self.size):
                workers.append(await zygote.fork())
        except BaseException:
            for worker in workers:
                worker.kill()
                worker.process.close()
            zygote.close()
            await zygote.process.wait()
            raise
        self._generations += 1
        graph = Graph(self._generations, self.path, ready.sha256, ready.size,
                      ready.mtime_ns, ready.inode, ready.nodes, ready.edges,
                      time.time(), time.monotonic() - started, ready.risk_layers,
                      ready.risk_layer_hours)
        generation = Generation(graph, zygote)
        for worker in workers:
            self._adopt(generation, worker)
        return generation

    def _retire(self, generation: Generation) -> None:
        """Sends the generation's idle workers away, and the others once the
        jobs given to the generation are answered; its zygote goes now."""
        generation.retired = True
        generation.zygote.close()
        self._retiring.append(generation)
        self.settle(generation)
        self._end_if_done(generation)
        self._watch(self._kill_lingering(generation))

    async def _kill_lingering(self, generation: Generation) -> None:
        """Kills the retired generation's workers that were sent away and
        have not ended a grace later, so that its graph cannot outstay it
        (the next reload waits for it to go)."""
        while not generation.ended.is_set():
            await asyncio.sleep(DISMISS_GRACE_S)
            for worker in list(generation.workers):
                if not worker.alive:
                    worker.process.kill()

    def _end_if_done(self, generation: Generation) -> None:
        if generation.retired and not generation.workers and not generation.ended.is_set():
            generation.ended.set()
            self._retiring.remove(generation)
            # Requests still waiting here go to the generation serving now.
            generation.wake_waiting()
            graph = generation.graph
            print(f"norvel serve: generation {graph.generation} ended",
                  file=sys.stderr, flush=True)

    async def _end(self, generation: Generation) -> None:
        workers = list(generation.workers)
        for worker in workers:
            worker.dismiss()
        generation.zygote.close()
        for worker in workers:
            try:
                await asyncio.wait_for(worker.process.wait(), END_GRACE_S)
            except TimeoutError:
                worker.kill()
            worker.process.close()
        try:
            await asyncio.wait_for(generation.zygote.process.wait(), END_GRACE_S)
        except TimeoutError:
            with contextlib.suppress(ProcessLookupError):
                generation.zygote.process.kill()
            await generation.zygote.process.wait()

    def _adopt(self, generation: Generation, worker: Worker) -> None:
        generation.workers.add(worker)
        generation.idle.put_nowait(worker)
        self._watch(self._replace_when_gone(generation, worker))

    def _watch(self, coroutine: Coroutine[Any, Any, None]) -> None:
        task = asyncio.ensure_future(coroutine)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    async def _replace_when_gone(self, generation: Generation, worker: Worker) -> None:
        await worker.process.wait()
        worker.alive = False
        generation.workers.discard(worker)
        worker.writer.close()
        worker.process.close()
        if self.closing:
            return
        if generation.retired:
            self._end_if_done(generation)
            return
        self.stats.worker_restarts += 1
        while not self.closing and generation is self.current:
            try:
                if not generation.zygote.alive:
                    # The graph's process is gone: a new one reads the file
                    # again, as a reload does, for every worker.
                    if await self.reload(unless_replaced=generation):
                        return
                    raise WorkerStartError(self.reload_failure or "the reload failed")
                replacement = await generation.zygote.fork()
            except (WorkerStartError, OSError) as error:
                print(f"norvel serve: cannot start a worker: {error}", file=sys.stderr)
                generation.start_failure = str(error)
                generation.wake_waiting()
                await asyncio.sleep(RESTART_DELAY_S)
                continue
            generation.start_failure = None
            self._adopt(generation, replacement)
            if self.closing or generation.retired:
                replacement.dismiss()
            return
