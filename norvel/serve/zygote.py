"""The process of ``norvel serve`` that holds the graph, and forks the
workers that answer the requests.

    python -m norvel.serve.zygote CONTROL_FD GRAPH TIMEOUT_S MAX_CATCHMENT_NODES

Started by the front with one end of a Unix socket (CONTROL_FD), it loads
the Router and its nearest-node index, says so (``frames.Ready`` or
``frames.Failed``), and then, for each byte the front sends, forks a worker
and hands the front its socket: ``frames.Forked`` with the worker's end of
the conversation (and, on Linux, a pidfd of the worker) as passed
descriptors. A worker shares the graph's memory with this process and with
every other worker: a page is copied only where a process writes to it, and
nobody writes to the graph. This process starts no thread and no event
loop, so forking it is safe at any time, and a worker that dies or hangs is
replaced in milliseconds, without reading the graph again.

It ends when the front closes its socket; the workers end when the front
closes theirs.
"""

from __future__ import annotations

import contextlib
import gc
import hashlib
import os
import pickle
import signal
import socket
import sys
import traceback
from typing import NoReturn

from norvel import Router
from norvel.serve import frames
from norvel.serve.answers import Answers
from norvel.serve.worker import serve_jobs


def _send(control: socket.socket, message: object, fds: list[int] | None = None) -> None:
    socket.send_fds(control, [frames.pack(pickle.dumps(message))], fds or [])


def _fork_worker(control: socket.socket, answers: Answers) -> None:
    """Forks a worker answering on a new socket, and sends the front its
    end (or why there is none)."""
    front_end, worker_end = socket.socketpair()
    try:
        pid = os.fork()
    except OSError as error:
        front_end.close()
        worker_end.close()
        _send(control, frames.Failed(f"cannot start a worker: {error}"))
        return
    if pid == 0:
        _run_worker(control, front_end, worker_end, answers)
    worker_end.close()
    pidfd = _pidfd(pid)
    try:
        _send(control, frames.Forked(pid),
              [front_end.fileno(), *([] if pidfd is None else [pidfd])])
    finally:
        front_end.close()
        if pidfd is not None:
            os.close(pidfd)


def _pidfd(pid: int) -> int | None:
    """A descriptor of the process (Linux 5.3 and later), for the front to
    signal it without the risk of a reused pid; None elsewhere."""
    try:
        return os.pidfd_open(pid)
    except (AttributeError, OSError):
        return None


def _run_worker(control: socket.socket, front_end: socket.socket,
                worker_end: socket.socket, answers: Answers) -> NoReturn:
    """The worker's life, in the child: never returns to the zygote's loop."""
    status = 0
    try:
        # Only the zygote talks to the front on the control socket, and only
        # the front holds the other end of the worker's: each sees the
        # other's end when it goes.
        control.close()
        front_end.close()
        signal.signal(signal.SIGCHLD, signal.SIG_DFL)
        serve_jobs(answers, worker_end)
    except BaseException:
        traceback.print_exc()
        status = 1
    finally:
        sys.stderr.flush()
        os._exit(status)


def _load(path: str) -> tuple[Router, frames.Ready]:
    """The Router of the file, its index built, and what it was loaded from.

    The file is described as it was before reading began: should it be
    replaced while it is read, the front sees a file other than the one
    described and loads it again."""
    before = os.stat(path)
    with open(path, "rb") as stream:
        digest = hashlib.file_digest(stream, "sha256").hexdigest()
    router = Router.from_file(path)
    router.build_index()
    return router, frames.Ready(router.node_count, router.edge_count, digest,
                                before.st_size, before.st_mtime_ns, before.st_ino,
                                tuple(router.risk_layers),
                                tuple(router.session.layers.hours))


def serve_forks(control: socket.socket, path: str, timeout_s: float,
                max_catchment_nodes: int) -> int:
    """Loads the graph, says so, then forks a worker for each byte received
    until the control socket ends."""
    try:
        router, ready = _load(path)
    except (OSError, ValueError, MemoryError) as error:
        with contextlib.suppress(ConnectionError):
            _send(control, frames.Failed(str(error)))
        return 1
    answers = Answers(router, timeout_s, max_catchment_nodes)
    # The kernel reaps the workers; the front learns of their end from
    # their sockets.
    signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    # What is loaded now stays: the collector never touches (and so never
    # copies) the pages of these objects in a worker.
    gc.collect()
    gc.freeze()
    try:
        _send(control, ready)
        while asked := control.recv(64):
            for _ in asked:
                _fork_worker(control, answers)
    except ConnectionError:
        pass  # the front is gone
    return 0


def main(argv: list[str] | None = None) -> int:
    control_fd, path, timeout_s, max_catchment_nodes = sys.argv[1:] if argv is None else argv
    # Ctrl-C reaches the whole process group; the front ends everything.
    # A hangup sent to the group is the front's to act on (a reload), and
    # would otherwise end this process and the workers (which inherit it).
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    with socket.socket(fileno=int(control_fd)) as control:
        return serve_forks(control, path, float(timeout_s), int(max_catchment_nodes))


if __name__ == "__main__":
    sys.exit(main())
