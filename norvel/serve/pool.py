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
"""

from __future__ import annotations

import asyncio
import contextlib
import os
import pickle
import select
import signal
import socket
import sys
from collections import deque
from collections.abc import Coroutine, Sequence
from typing import Any

from norvel.serve import frames
from norvel.serve.answers import Answer
from norvel.serve.frames import Job
from norvel.serve.queries import error_body

#: How many pairs of a POST /routes go to a worker at a time: big enough that
#: the socket is no cost, small enough that other requests get their turn.
CHUNK = 16
#: A worker that failed to start is tried again after this many seconds.
RESTART_DELAY_S = 1.0
#: How long past the time limit a worker may take to say it stopped.
GRACE_S = 1.0
#: How long the zygote may take to fork a worker.
FORK_TIMEOUT_S = 30.0
# The zygote forks: it must not start threads, so neither may the libraries
# it loads (numpy's BLAS would start one per core).
_ZYGOTE_ENVIRONMENT = {"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1",
                       "MKL_NUM_THREADS": "1"}


class WorkerStartError(RuntimeError):
    """No worker could be started: the graph could not be loaded, or the
    process holding it could not fork one."""


class _Process:
    """A worker process, which is the zygote's child and not the front's:
    signalled and watched through a pidfd where the system has them
    (Linux), so that a pid used again is never mistaken for it; by its pid
    elsewhere."""

    POLL_S = 0.2

    def __init__(self, pid: int, pidfd: int | None) -> None:
        self.pid = pid
        self.pidfd = pidfd
        # Known to have ended: its pid may be another process's by now.
        self.ended = False

    def exited(self) -> bool:
        if self.ended:
            return True
        if self.pidfd is not None:
            poll = select.poll()
            poll.register(self.pidfd, select.POLLIN)
            return bool(poll.poll(0))
        try:
            os.kill(self.pid, 0)
        except ProcessLookupError:
            return True
        return False

    def kill(self) -> None:
        if self.ended:
            return
        with contextlib.suppress(ProcessLookupError):
            if self.pidfd is not None:
                signal.pidfd_send_signal(self.pidfd, signal.SIGKILL)
            else:
                os.kill(self.pid, signal.SIGKILL)

    async def wait(self) -> None:
        """Returns once the process has ended."""
        if self.pidfd is None:
            while not self.exited():
                await asyncio.sleep(self.POLL_S)
        else:
            loop = asyncio.get_running_loop()
            ended: asyncio.Future[None] = loop.create_future()

            def readable() -> None:
                if not ended.done():
                    ended.set_result(None)

            loop.add_reader(self.pidfd, readable)
            try:
                await ended
            finally:
                loop.remove_reader(self.pidfd)
        self.ended = True

    def close(self) -> None:
        """Forgets the process, which has ended."""
        self.ended = True
        if self.pidfd is not None:
            os.close(self.pidfd)
            self.pidfd = None


class _Worker:
    def __init__(self, process: _Process, reader: asyncio.StreamReader,
                 writer: asyncio.StreamWriter) -> None:
        self.process = process
        self.reader = reader
        self.writer = writer
        self.alive = True
        # The dead or killed worker's answer to its current job, set once.
        self.fault: Answer | None = None

    @property
    def pid(self) -> int:
        return self.process.pid

    async def read(self) -> bytes | None:
        """The next frame's payload; None when the worker is gone."""
        try:
            header = await self.reader.readexactly(frames.LENGTH_SIZE)
            return await self.reader.readexactly(frames.length(header))
        except (asyncio.IncompleteReadError, ConnectionError):
            return None

    def send(self, jobs: Sequence[Job]) -> None:
        self.writer.write(frames.pack(pickle.dumps(list(jobs),
                                                   protocol=pickle.HIGHEST_PROTOCOL)))

    def kill(self) -> None:
        self.alive = False
        self.process.kill()

    def usable(self) -> bool:
        """Alive, as far as can be told without asking it: a worker that died
        while idle is not given a job, which would then fail with it."""
        return self.alive and not self.reader.at_eof() and not self.process.exited()


def _receive(control: socket.socket) -> tuple[object, list[int]]:
    """The zygote's next message and the descriptors passed with it;
    (None, []) once it is gone. Blocking."""
    try:
        header, fds, _, _ = socket.recv_fds(control, frames.LENGTH_SIZE, 2)
        payload = b""
        if len(header) == frames.LENGTH_SIZE:
            size = frames.length(header)
            while len(payload) < size and (part := control.recv(size - len(payload))):
                payload += part
    except OSError:
        return None, []
    if len(header) < frames.LENGTH_SIZE or len(payload) < frames.length(header):
        for fd in fds:
            os.close(fd)
        return None, []
    return pickle.loads(payload), fds


class _Zygote:
    """The process that holds the graph and forks the workers, seen from the
    front."""

    def __init__(self, process: asyncio.subprocess.Process,
                 control: socket.socket) -> None:
        self.process = process
        self.control = control
        self._forking = asyncio.Lock()

    @classmethod
    async def start(cls, path: str, timeout_s: float) -> tuple[_Zygote, frames.Ready]:
        """A new zygote once it has loaded the graph; WorkerStartError when
        it cannot."""
        control, its_end = socket.socketpair()
        try:
            process = await asyncio.create_subprocess_exec(
                sys.executable, "-m", "norvel.serve.zygote", str(its_end.fileno()), path,
                repr(timeout_s), pass_fds=[its_end.fileno()],
                env={**os.environ, **_ZYGOTE_ENVIRONMENT})
        except BaseException:
            control.close()
            raise
        finally:
            its_end.close()
        try:
            message, _ = await asyncio.to_thread(_receive, control)
        except BaseException:
            # Cancelled while it loads (Ctrl-C): end it, which also ends the
            # wait for its message.
            with contextlib.suppress(ProcessLookupError):
                process.kill()
            control.shutdown(socket.SHUT_RDWR)
            control.close()
            raise
        if isinstance(message, frames.Ready):
            return cls(process, control), message
        control.close()
        with contextlib.suppress(ProcessLookupError):
            process.kill()
        await process.wait()
        if isinstance(message, frames.Failed):
            raise WorkerStartError(message.message)
        raise WorkerStartError(f"{path}: the process loading the graph ended with "
                               f"status {process.returncode}")

    @property
    def alive(self) -> bool:
        return self.process.returncode is None and self.control.fileno() >= 0

    async def fork(self) -> _Worker:
        """A new worker; WorkerStartError when none can be forked."""
        async with self._forking:
            message, fds = await asyncio.to_thread(self._fork)
        if not isinstance(message, frames.Forked) or not fds:
            for fd in fds:
                os.close(fd)
            if isinstance(message, frames.Failed):
                raise WorkerStartError(message.message)
            self.close()
            raise WorkerStartError("the process holding the graph ended")
        connection = socket.socket(fileno=fds[0])
        process = _Process(message.pid, fds[1] if len(fds) > 1 else None)
        reader, writer = await asyncio.open_unix_connection(sock=connection)
        return _Worker(process, reader, writer)

    def _fork(self) -> tuple[object, list[int]]:
        self.control.settimeout(FORK_TIMEOUT_S)
        try:
            self.control.sendall(b"F")
        except OSError:
            return None, []
        return _receive(self.control)

    def close(self) -> None:
        """Closes its socket, which ends it."""
        self.control.close()


class WorkerPool:
    """``size`` worker processes on the graph file ``path``, each job within
    ``timeout_s`` seconds."""

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
        self._zygote: _Zygote | None = None
        self._zygote_lock = asyncio.Lock()
        # None wakes a waiting request to look at _start_failure.
        self._idle: asyncio.Queue[_Worker | None] = asyncio.Queue()
        self._waiting = 0
        # Why the last new worker could not start, while none has since.
        self._start_failure: str | None = None
        self._workers: set[_Worker] = set()
        self._tasks: set[asyncio.Task[None]] = set()
        self._closing = False

    async def start(self) -> None:
        """Loads the graph and forks every worker; WorkerStartError when the
        graph cannot be loaded or no worker forked."""
        try:
            workers = [await self._spawn() for _ in range(self.size)]
        except BaseException:
            await self.close()
            raise
        for worker in workers:
            self._adopt(worker)

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
        """Ends every worker and the zygote: closes their sockets, then kills
        those that linger."""
        self._closing = True
        tasks = list(self._tasks)
        for task in tasks:
            task.cancel()
        # Until they have let go of the workers' pidfds.
        await asyncio.gather(*tasks, return_exceptions=True)
        workers = list(self._workers)
        for worker in workers:
            worker.alive = False
            worker.writer.close()
        if self._zygote is not None:
            self._zygote.close()
        for worker in workers:
            try:
                await asyncio.wait_for(worker.process.wait(), 2.0)
            except TimeoutError:
                worker.kill()
            worker.process.close()
        if self._zygote is not None:
            try:
                await asyncio.wait_for(self._zygote.process.wait(), 2.0)
            except TimeoutError:
                with contextlib.suppress(ProcessLookupError):
                    self._zygote.process.kill()
                await self._zygote.process.wait()

    async def _run_all(self, jobs: list[Job]) -> list[Answer]:
        answers: list[Answer] = []
        while len(answers) < len(jobs):
            answers += await self._run_some(jobs[len(answers):])
        return answers

    async def _run_some(self, jobs: list[Job]) -> list[Answer]:
        """Answers to the first jobs, on one worker: all of them, or up to the
        one that got stuck or lost its worker."""
        try:
            worker = await self._take_idle()
        except WorkerStartError as error:
            return [(503, error_body(f"no worker is running: {error}"))]
        answers: list[Answer] = []
        try:
            worker.send(jobs)
            while len(answers) < len(jobs):
                try:
                    async with asyncio.timeout(self.timeout_s + GRACE_S):
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
            if worker is not None and worker.usable():
                return worker

    async def _running_zygote(self) -> _Zygote:
        """The zygote, started anew (the graph read again) when the last one
        has ended."""
        async with self._zygote_lock:
            if self._zygote is None or not self._zygote.alive:
                if self._zygote is not None:
                    self._zygote.close()
                    self._zygote = None
                self._zygote, ready = await _Zygote.start(self.path, self.timeout_s)
                self.nodes, self.edges = ready.nodes, ready.edges
            return self._zygote

    async def _spawn(self) -> _Worker:
        zygote = await self._running_zygote()
        return await zygote.fork()

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
        worker.writer.close()
        worker.process.close()
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
