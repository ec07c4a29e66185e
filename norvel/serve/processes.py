"""The processes behind ``norvel serve``'s pool, seen from the front: the
zygote (``norvel.serve.zygote``), which loads a graph and forks workers
from it, and the workers, each on a socket of its own.
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
from collections.abc import Sequence

from norvel.serve import frames
from norvel.serve.frames import Answer, Job

#: How long the zygote may take to fork a worker.
FORK_TIMEOUT_S = 30.0
# The zygote forks: it must not start threads, so neither may the libraries
# it loads (numpy's BLAS would start one per core).
_ZYGOTE_ENVIRONMENT = {"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1",
                       "MKL_NUM_THREADS": "1"}


class WorkerStartError(RuntimeError):
    """No worker could be started: the graph could not be loaded, or the
    process holding it could not fork one."""


class WorkerProcess:
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


class Worker:
    """A worker as the pool drives it: its process, and its socket as a
    stream."""

    def __init__(self, process: WorkerProcess, reader: asyncio.StreamReader,
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

    def dismiss(self) -> None:
        """Closes its socket, which ends it once it has sent what it owes."""
        self.alive = False
        self.writer.close()

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
    # Descriptors arrive inheritable. A zygote started later would hold on
    # to these workers' sockets (uvloop's process spawning closes only what
    # is marked close-on-exec), and the workers would never see the front
    # close them.
    for fd in fds:
        os.set_inheritable(fd, False)
    return pickle.loads(payload), fds


class Zygote:
    """The process that holds the graph and forks the workers, seen from the
    front."""

    def __init__(self, process: asyncio.subprocess.Process,
                 control: socket.socket) -> None:
        self.process = process
        self.control = control
        self._forking = asyncio.Lock()

    @classmethod
    async def start(cls, path: str, timeout_s: float,
                    max_catchment_nodes: int) -> tuple[Zygote, frames.Ready]:
        """A new zygote once it has loaded the graph; WorkerStartError when
        it cannot."""
        control, its_end = socket.socketpair()
        try:
            process = await asyncio.create_subprocess_exec(
                sys.executable, "-m", "norvel.serve.zygote", str(its_end.fileno()), path,
                repr(timeout_s), str(max_catchment_nodes), pass_fds=[its_end.fileno()],
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

    async def fork(self) -> Worker:
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
        process = WorkerProcess(message.pid, fds[1] if len(fds) > 1 else None)
        reader, writer = await asyncio.open_unix_connection(sock=connection)
        return Worker(process, reader, writer)

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


