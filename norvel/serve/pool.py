"""The worker processes of ``norvel serve``, driven from the front's event
loop.

Each worker is a ``python -m norvel.serve.worker GRAPH`` process with a pipe
each way. A job list goes to an idle worker; the worker sends one answer
frame per job. The time limit runs from one answer to the next, so each job
gets the whole limit: a job over it is answered 504 here, its worker killed
and a new one started; a worker that dies answers its current job 503. The
jobs of the list not yet answered go to another worker.
"""

from __future__ import annotations

import asyncio
import contextlib
import os
import pickle
import sys
from collections import deque
from collections.abc import Coroutine, Sequence
from typing import Any

from norvel.serve import frames
from norvel.serve.frames import Job
from norvel.serve.queries import error_body

Answer = tuple[int, bytes]

# How many pairs of a POST /routes go to a worker at a time: big enough that
# the pipe is no cost, small enough that other requests get their turn.
CHUNK = 16
# A worker that failed to start is tried again after this many seconds.
RESTART_DELAY_S = 1.0


class WorkerStartError(RuntimeError):
    """A worker could not load the graph."""


class _Worker:
    def __init__(self, process: asyncio.subprocess.Process) -> None:
        self.process = process
        self.alive = True
        # The dead or killed worker's answer to its current job, set once.
        self.fault: Answer | None = None

    @property
    def pid(self) -> int:
        return self.process.pid

    async def read(self) -> bytes | None:
        """The next frame's payload; None when the worker is gone."""
        stream = self.process.stdout
        assert stream is not None
        try:
            header = await stream.readexactly(frames.LENGTH_SIZE)
            return await stream.readexactly(frames.length(header))
        except (asyncio.IncompleteReadError, ConnectionError):
            return None

    def send(self, jobs: Sequence[Job]) -> None:
        stream = self.process.stdin
        assert stream is not None
        stream.write(frames.pack(pickle.dumps(list(jobs), protocol=pickle.HIGHEST_PROTOCOL)))

    def kill(self) -> None:
        self.alive = False
        with contextlib.suppress(ProcessLookupError):
            self.process.kill()


def _exited(pid: int) -> bool:
    """Whether a child process has ended, without reaping it (the event loop
    does that, and then starts a new worker). A worker that died while idle
    is not given a job, which would then fail with it."""
    try:
        return os.waitid(os.P_PID, pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None
    except ChildProcessError:
        return True


class WorkerPool:
    """``size`` worker processes on the graph file ``path``."""

    def __init__(self, path: str, size: int, timeout_s: float) -> None:
        if size < 1:
            raise ValueError(f"a pool needs at least one worker, got {size}")
        if not timeout_s > 0:
            raise ValueError(f"the time limit must be positive, got {timeout_s}")
        self.path = os.fspath(path)
        self.size = size
        self.timeout_s = timeout_s
        self.nodes = 0
        self.edges = 0
        # None wakes a waiting request to look at _start_failure.
        self._idle: asyncio.Queue[_Worker | None] = asyncio.Queue()
        self._waiting = 0
        # Why the last new worker could not start, while none has since.
        self._start_failure: str | None = None
        self._workers: set[_Worker] = set()
        self._tasks: set[asyncio.Task[None]] = set()
        self._closing = False

    async def start(self) -> None:
        """Starts every worker and waits until each has loaded the graph;
        WorkerStartError when one cannot."""
        workers = await asyncio.gather(*(self._spawn() for _ in range(self.size)),
                                       return_exceptions=True)
        failures = [w for w in workers if isinstance(w, BaseException)]
        for worker in workers:
            if isinstance(worker, _Worker):
                self._adopt(worker)
        if failures:
            await self.close()
            raise failures[0]

    async def run(self, jobs: Sequence[Job]) -> list[Answer]:
        """The answers to the jobs, in their order, using up to every worker."""
        if len(jobs) <= CHUNK:
            return await self._run_all(list(jobs))
        answers: list[Answer | None] = [None] * len(jobs)
        waiting = deque(range(len(jobs)))

        async def lane() -> None:
            while waiting:
                chunk = [waiting.popleft() for _ in range(min(CHUNK, len(waiting)))]
                got = await self._run_some([jobs[i] for i in chunk])
                for index, answer in zip(chunk, got):
                    answers[index] = answer
                waiting.extendleft(reversed(chunk[len(got):]))

        lanes = min(self.size, -(-len(jobs) // CHUNK))
        await asyncio.gather(*(lane() for _ in range(lanes)))
        return [a for a in answers if a is not None]

    async def close(self) -> None:
        """Ends every worker: closes its input, then kills it if it lingers."""
        self._closing = True
        for task in list(self._tasks):
            task.cancel()
        workers = list(self._workers)
        for worker in workers:
            worker.alive = False
            if worker.process.stdin is not None:
                worker.process.stdin.close()
        for worker in workers:
            try:
                await asyncio.wait_for(worker.process.wait(), 2.0)
            except TimeoutError:
                worker.kill()
                await worker.process.wait()

    async def _run_all(self, jobs: list[Job]) -> list[Answer]:
        answers: list[Answer] = []
        while len(answers) < len(jobs):
            answers += await self._run_some(jobs[len(answers):])
        return answers

    async def _run_some(self, jobs: list[Job]) -> list[Answer]:
        """Answers to the first jobs, on one worker: all of them, or up to the
        one that timed out or lost its worker."""
        try:
            worker = await self._take_idle()
        except WorkerStartError as error:
            return [(503, error_body(f"no worker is running: {error}"))]
        answers: list[Answer] = []
        try:
            worker.send(jobs)
            while len(answers) < len(jobs):
                try:
                    async with asyncio.timeout(self.timeout_s):
                        payload = await worker.read()
                except TimeoutError:
                    worker.fault = (504, error_body(
                        f"the request took longer than {self.timeout_s:g} s"))
                    worker.kill()
                    payload = None
                if payload is None:
                    worker.alive = False
                    answers.append(worker.fault or (503, error_body(
                        "the worker answering the request ended; please try again")))
                    return answers
                answers.append(frames.unpack_answer(payload))
        except BaseException:
            # Cancelled halfway (the client left): its answers would be read
            # as the next request's, so the worker goes.
            if len(answers) < len(jobs):
                worker.kill()
            raise
        self._idle.put_nowait(worker)
        return answers

    async def _take_idle(self) -> _Worker:
        """An idle live worker; WorkerStartError when there is none and a new
        one cannot start, rather than a wait with no end."""
        while True:
            if self._start_failure is not None and not self._workers:
                raise WorkerStartError(self._start_failure)
            self._waiting += 1
            try:
                worker = await self._idle.get()
            finally:
                self._waiting -= 1
            if (worker is not None and worker.alive and worker.process.returncode is None
                    and not _exited(worker.pid)):
                return worker

    async def _spawn(self) -> _Worker:
        process = await asyncio.create_subprocess_exec(
            sys.executable, "-m", "norvel.serve.worker", self.path,
            stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE)
        worker = _Worker(process)
        payload = await worker.read()
        greeting = pickle.loads(payload) if payload is not None else None
        if isinstance(greeting, frames.Ready):
            self.nodes, self.edges = greeting.nodes, greeting.edges
            return worker
        worker.kill()
        await process.wait()
        if isinstance(greeting, frames.Failed):
            raise WorkerStartError(greeting.message)
        raise WorkerStartError(f"{self.path}: the worker ended with status "
                               f"{process.returncode} before loading the graph")

    def _adopt(self, worker: _Worker) -> None:
        self._workers.add(worker)
        self._idle.put_nowait(worker)
        self._watch(self._replace_when_gone(worker))

    def _watch(self, coroutine: Coroutine[Any, Any, None]) -> None:
        task = asyncio.ensure_future(coroutine)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    async def _replace_when_gone(self, worker: _Worker) -> None:
        await worker.process.wait()
        worker.alive = False
        self._workers.discard(worker)
        if worker.process.stdin is not None:
            worker.process.stdin.close()
        while not self._closing:
            try:
                replacement = await self._spawn()
            except (WorkerStartError, OSError) as error:
                print(f"norvel serve: cannot start a worker: {error}", file=sys.stderr)
                self._start_failure = str(error)
                for _ in range(self._waiting):
                    self._idle.put_nowait(None)
                await asyncio.sleep(RESTART_DELAY_S)
                continue
            self._start_failure = None
            if self._closing:
                replacement.kill()
            else:
                self._adopt(replacement)
            return
