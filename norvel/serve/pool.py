"""The worker processes of ``norvel serve``, driven from the front's event
loop.

One process, the zygote (``norvel.serve.zygote``), loads the graph; the
workers are forked from it, so that they all share its memory. Each worker
talks with the front on a socket of its own: a job list goes to an idle
worker, which sends one answer frame per job.

A route stops itself at the time limit and its worker answers 504. The
front's own clock is the backstop: a worker that has not answered a job
``GRACE_S`` after the limit is stuck, and is killed (its job answered 504);
a worker that dies answers its current job 503. Either way a new worker is
forked in its place, in milliseconds. The jobs of a list not yet answered
go to another worker. Should the zygote itself end, the next worker needed
starts a new one, which reads the graph again.

A reload starts a new zygote on the file beside the serving one, forks a
new generation of workers from it, and only then sends new requests to
them. A request stays with the generation that was serving when it came:
the old workers finish what was given to them, then end, and with the last
of them the old graph's memory goes. A reload waits for the generation
before the serving one to have gone, so that at most two graphs are ever
in memory. A file that cannot be loaded leaves the serving generation as
it is.

Admission (``norvel.serve.admission``, where the rule's argument is): a
request is taken at once when a worker is free, and otherwise when its
expected wait, from the recent times of each kind of job, is under
``max_wait_s``; else it is refused at once (``Overloaded``). At most
``max_queue`` jobs wait, whatever their wait. The pool tells the rule
when each job starts waiting, starts on a worker and is answered.
"""

from __future__ import annotations

import asyncio
import contextlib
import os
import sys
import time
from collections import Counter, deque
from collections.abc import Coroutine, Sequence
from dataclasses import dataclass
from typing import Any

from norvel._values import DEFAULT_MAX_CATCHMENT_NODES, DEFAULT_MAX_QUEUE, DEFAULT_MAX_WAIT_S
from norvel.serve.admission import Admission, JobKind, Overloaded
from norvel.serve.frames import Answer, Job, unpack_answer
from norvel.serve.limits import overtime, time_limit
from norvel.serve.observe import CURRENT_REQUEST
from norvel.serve.processes import Worker, WorkerStartError, Zygote
from norvel.serve.queries import error_body

#: How many pairs of a POST /routes go to a worker at a time: big enough that
#: the socket is no cost, small enough that other requests get their turn.
CHUNK = 16
#: A worker that failed to start is tried again after this many seconds.
RESTART_DELAY_S = 1.0
#: How long past the time limit a worker may take to say it stopped.
GRACE_S = 1.0
#: How long an idle worker sent away may take to end before it is killed
#: (it owes no answer: this only keeps a stopped one from holding its graph).
DISMISS_GRACE_S = 2.0


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
    risk_layers: tuple[str, ...] = ("default",)


@dataclass
class PoolStats:
    """What the pool has done since it started, for the metrics."""

    worker_restarts: int = 0
    reloads_done: int = 0
    reloads_failed: int = 0
    # Jobs answered 504 (stopped at the time limit, or killed past it), by
    # the kind of job.
    timeouts: Counter[str] | None = None

    def __post_init__(self) -> None:
        self.timeouts = Counter()


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


class WorkerPool:
    """``size`` worker processes on the graph file ``path``, each job within
    ``timeout_s`` seconds, each catchment of at most ``max_catchment_nodes``
    nodes; a request taken when its expected wait is under ``max_wait_s``
    seconds, with at most ``max_queue`` jobs waiting (DEFAULT_MAX_QUEUE
    when None)."""

    def __init__(self, path: str, size: int, timeout_s: float,
                 max_queue: int | None = None, *,
                 max_wait_s: float = DEFAULT_MAX_WAIT_S,
                 max_catchment_nodes: int = DEFAULT_MAX_CATCHMENT_NODES) -> None:
        if size < 1:
            raise ValueError(f"a pool needs at least one worker, got {size}")
        if max_queue is not None and max_queue < 0:
            raise ValueError(f"the queue cannot be negative, got {max_queue}")
        self.path = os.fspath(path)
        self.size = size
        self.timeout_s = time_limit(timeout_s)
        self.max_catchment_nodes = max_catchment_nodes
        self.max_queue = DEFAULT_MAX_QUEUE if max_queue is None else max_queue
        self.admission = Admission(size, max_wait_s, self.max_queue, timeout_s + GRACE_S)
        self.stats = PoolStats()
        # Why the last reload failed, while none has succeeded since.
        self.reload_failure: str | None = None
        self.current: Generation | None = None
        self._retiring: list[Generation] = []
        self._generations = 0
        self._reload_lock = asyncio.Lock()
        self._reload_task: asyncio.Task[None] | None = None
        self._reload_again = False
        # Jobs admitted and not yet answered, and workers running some.
        self._jobs = 0
        self._busy = 0
        self._tasks: set[asyncio.Task[None]] = set()
        self._closing = False

    @property
    def graph(self) -> Graph | None:
        """The graph new requests are answered on."""
        return None if self.current is None else self.current.graph

    @property
    def nodes(self) -> int:
        return 0 if self.current is None else self.current.graph.nodes

    @property
    def edges(self) -> int:
        return 0 if self.current is None else self.current.graph.edges

    @property
    def busy(self) -> int:
        """Workers running jobs."""
        return self._busy

    @property
    def waiting(self) -> int:
        """Jobs admitted that no worker is running yet."""
        return max(0, self._jobs - self._busy)

    def expected_wait_s(self) -> float:
        """How long a job coming now is expected to wait for a worker."""
        if not self.admission.would_wait(self._jobs):
            return 0.0
        return self.admission.expected_wait_s(time.monotonic())

    @property
    def workers(self) -> int:
        """Live workers, of every generation."""
        generations = [*self._retiring, *([self.current] if self.current else [])]
        return sum(len(g.workers) for g in generations)

    async def start(self) -> None:
        """Loads the graph and forks every worker; WorkerStartError when the
        graph cannot be loaded or no worker forked."""
        try:
            self.current = await self._load()
        except BaseException:
            await self.close()
            raise

    async def run(self, jobs: Sequence[Job]) -> list[Answer]:
        """The answers to the jobs, in their order, using up to every worker
        of the generation serving now; Overloaded, at once, when they would
        wait too long."""
        if not self._closing:
            self.admission.admit(len(jobs), self._jobs, time.monotonic())
        generation = self.current
        assert generation is not None, "the pool is not started"
        self._jobs += len(jobs)
        generation.jobs += len(jobs)
        try:
            if len(jobs) <= CHUNK:
                return await self._run_all(generation, list(jobs))
            return await self._run_chunks(generation, jobs)
        finally:
            self._jobs -= len(jobs)
            generation.jobs -= len(jobs)
            if generation.retired and generation.jobs == 0:
                self._dismiss_idle(generation)

    def request_reload(self) -> None:
        """Loads the file again in the background; asked while a reload
        runs, another follows it (one, however often asked)."""
        if self._closing:
            return
        if self._reload_task is not None and not self._reload_task.done():
            self._reload_again = True
            return

        async def reloads() -> None:
            while True:
                self._reload_again = False
                await self.reload()
                if not self._reload_again or self._closing:
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
            if self._closing:
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
        self._closing = True
        tasks = list(self._tasks)
        if self._reload_task is not None:
            tasks.append(self._reload_task)
        for task in tasks:
            task.cancel()
        # Until they have let go of the workers' pidfds.
        await asyncio.gather(*tasks, return_exceptions=True)
        generations = [*self._retiring, *([self.current] if self.current else [])]
        for generation in generations:
            await self._end(generation)

    async def _run_chunks(self, generation: Generation, jobs: Sequence[Job]) -> list[Answer]:
        answers: list[Answer | None] = [None] * len(jobs)
        waiting = deque(range(len(jobs)))

        async def lane() -> None:
            while waiting:
                chunk = [waiting.popleft() for _ in range(min(CHUNK, len(waiting)))]
                got = await self._run_some(generation, [jobs[i] for i in chunk])
                for index, answer in zip(chunk, got):
                    answers[index] = answer
                waiting.extendleft(reversed(chunk[len(got):]))

        lanes = min(self.size, -(-len(jobs) // CHUNK))
        await asyncio.gather(*(lane() for _ in range(lanes)))
        return [a for a in answers if a is not None]

    async def _run_all(self, generation: Generation, jobs: list[Job]) -> list[Answer]:
        answers: list[Answer] = []
        while len(answers) < len(jobs):
            answers += await self._run_some(generation, jobs[len(answers):])
        return answers

    async def _run_some(self, generation: Generation, jobs: list[Job]) -> list[Answer]:
        """Answers to the first jobs, on one worker: all of them, or up to the
        one that got stuck or lost its worker."""
        admission = self.admission
        kinds = [admission.kind(job[0]) for job in jobs]
        for kind in kinds:
            admission.enqueue(kind)
        # Jobs started on the worker: a worker runs its list in order, so
        # each starts as the one before it is answered.
        started = 0
        worker: Worker | None = None
        try:
            try:
                worker = await self._take_idle(generation)
            except WorkerStartError as error:
                return [(503, error_body(f"no worker is running: {error}"))]
            assert worker.generation is not None
            record = CURRENT_REQUEST.get()
            if record is not None:
                record.generation = worker.generation.graph.generation
            answers: list[Answer] = []
            self._busy += 1
            try:
                worker.send(jobs)
                admission.start(worker, kinds[0], time.monotonic())
                started = 1
                while len(answers) < len(jobs):
                    try:
                        async with asyncio.timeout(self.timeout_s + GRACE_S):
                            payload = await worker.read()
                    except TimeoutError:
                        worker.fault = overtime(self.timeout_s)
                        worker.kill()
                        payload = None
                    now = time.monotonic()
                    if payload is None:
                        admission.finish(worker, now)
                        worker.alive = False
                        answer = worker.fault or (503, error_body(
                            "the worker answering the request ended; please try again"))
                        self._count(jobs[len(answers)], answer[0])
                        answers.append(answer)
                        return answers
                    status, body, seconds = unpack_answer(payload)
                    admission.finish(worker, now, seconds)
                    self._count(jobs[len(answers)], status)
                    if record is not None:
                        record.search_s += seconds
                    answers.append((status, body))
                    if started < len(jobs):
                        admission.start(worker, kinds[started], now)
                        started += 1
            except BaseException:
                # Cancelled halfway (the client left): its answers would be read
                # as the next request's, so the worker goes.
                if len(answers) < len(jobs):
                    worker.kill()
                raise
            finally:
                self._busy -= 1
            self._release(worker)
            return answers
        finally:
            if worker is not None:
                admission.drop(worker)
            for kind in kinds[started:]:
                admission.dequeue(kind)

    def _count(self, job: Job, status: int) -> None:
        if status == 504:
            assert self.stats.timeouts is not None
            self.stats.timeouts[str(job[0])] += 1

    async def _take_idle(self, generation: Generation) -> Worker:
        """An idle live worker of the generation, or of the one serving now
        once that one has ended; WorkerStartError when there is none and a
        new one cannot start, rather than a wait with no end."""
        while True:
            if generation.ended.is_set() and self.current is not None:
                generation = self.current
            if generation.start_failure is not None and not generation.workers:
                raise WorkerStartError(generation.start_failure)
            generation.waiting += 1
            try:
                worker = await generation.idle.get()
            finally:
                generation.waiting -= 1
            if worker is not None and worker.usable():
                return worker

    def _release(self, worker: Worker) -> None:
        generation = worker.generation
        assert generation is not None
        if generation.retired and generation.jobs == 0 and generation.waiting == 0:
            worker.dismiss()
        else:
            generation.idle.put_nowait(worker)

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
                      time.time(), time.monotonic() - started, ready.risk_layers)
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
        if generation.jobs == 0:
            self._dismiss_idle(generation)
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

    def _dismiss_idle(self, generation: Generation) -> None:
        while not generation.idle.empty():
            worker = generation.idle.get_nowait()
            if worker is not None:
                worker.dismiss()

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
                await asyncio.wait_for(worker.process.wait(), 2.0)
            except TimeoutError:
                worker.kill()
            worker.process.close()
        try:
            await asyncio.wait_for(generation.zygote.process.wait(), 2.0)
        except TimeoutError:
            with contextlib.suppress(ProcessLookupError):
                generation.zygote.process.kill()
            await generation.zygote.process.wait()

    def _adopt(self, generation: Generation, worker: Worker) -> None:
        worker.generation = generation
        generation.workers.add(worker)
        generation.idle.put_nowait(worker)
        self._watch(self._replace_when_gone(worker))

    def _watch(self, coroutine: Coroutine[Any, Any, None]) -> None:
        task = asyncio.ensure_future(coroutine)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    async def _replace_when_gone(self, worker: Worker) -> None:
        await worker.process.wait()
        worker.alive = False
        generation = worker.generation
        assert generation is not None
        generation.workers.discard(worker)
        worker.writer.close()
        worker.process.close()
        if self._closing:
            return
        if generation.retired:
            self._end_if_done(generation)
            return
        self.stats.worker_restarts += 1
        while not self._closing and generation is self.current:
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
            if self._closing or generation.retired:
                replacement.dismiss()
            return
