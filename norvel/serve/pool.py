"""The threads that answer the requests of ``norvel serve``, driven from the
front's event loop.

A request's work (``answers.Job``) runs on one of ``size`` threads, all
over the service's one Router: a route runs without the interpreter lock,
so the threads search at once on as many cores, while the graph is in
memory once. A job waits in line for a free thread; the jobs of a POST
/routes go in chunks, so that other requests get their turn in between.

There is nothing to replace: a job cannot stay stuck, since a route stops
itself at the time limit and the rest of a job's work is bounded by the
graph's size, and a thread cannot die alone, since every exception of a
job becomes its answer (``answers.run_job``).
"""

from __future__ import annotations

import asyncio
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor

from norvel.serve.answers import Answer, Job, run_job

# How many pairs of a POST /routes go to a thread at a time: enough that
# handing them over costs nothing, few enough that other requests get their
# turn.
CHUNK = 16


def _run_all(jobs: Sequence[Job]) -> list[Answer]:
    return [run_job(job) for job in jobs]


class AnswerPool:
    """``size`` threads that answer jobs."""

    def __init__(self, size: int) -> None:
        if size < 1:
            raise ValueError(f"a pool needs at least one thread, got {size}")
        self.size = size
        self._executor = ThreadPoolExecutor(size, thread_name_prefix="norvel-serve")

    async def run(self, jobs: Sequence[Job]) -> list[Answer]:
        """The answers to the jobs, in their order, using up to every thread.
        Cancelled (the client left), a job not yet started is dropped; one
        running ends by itself, within the time limit."""
        loop = asyncio.get_running_loop()
        chunks = [jobs[i:i + CHUNK] for i in range(0, len(jobs), CHUNK)]
        answers: list[list[Answer]] = [[] for _ in chunks]
        waiting = iter(range(len(chunks)))

        async def lane() -> None:
            # The lanes share one iterator: each takes the next chunk when
            # its last one is answered.
            for index in waiting:
                answers[index] = await loop.run_in_executor(self._executor, _run_all,
                                                            chunks[index])

        await asyncio.gather(*(lane() for _ in range(min(self.size, len(chunks)))))
        return [answer for chunk in answers for answer in chunk]

    def close(self) -> None:
        """Drops the jobs not yet started and waits for the running ones
        (each ends within the time limit)."""
        self._executor.shutdown(wait=True, cancel_futures=True)
