"""A worker process of ``norvel serve``: forked by the process that holds the
graph (``norvel.serve.zygote``), it answers the jobs the front sends on its
socket, one at a time, until the front closes it; the front kills it when a
job runs well over the time limit (it should have stopped itself there)."""

from __future__ import annotations

import pickle
import socket
import time

from norvel.serve import frames
from norvel.serve.answers import Answers


def serve_jobs(answers: Answers, connection: socket.socket) -> None:
    """Answers job lists, a frame per job with the time it took, until the
    connection ends."""
    with connection, connection.makefile("rb") as source:
        try:
            while (payload := frames.read_frame(source)) is not None:
                for job in pickle.loads(payload):
                    started = time.perf_counter()
                    status, body = answers.answer(job)
                    connection.sendall(frames.pack_answer(
                        status, body, time.perf_counter() - started))
        except ConnectionError:
            pass  # the front is gone
