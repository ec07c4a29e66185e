"""Which worker of ``norvel serve`` runs which job, from the front's event
loop: a job list goes to an idle worker of the generation serving when the
request came (``norvel.serve.generations``), which sends one answer frame
per job.

A route stops itself at the time limit and its worker answers 504. The
front's own clock is the backstop: a worker that has not answered a job
``GRACE_S`` after the limit is stuck, and is killed (its job answered 504);
a worker that dies answers its current job 503. Either way its generation
forks a new worker in its place. The jobs of a list not yet answered go to
another worker.

Admission (``norvel.serve.admission``, where the rule's argument is): a
request is taken at once when a worker is free, and otherwise when its
expected wait, from the recent times of each kind of job, is under
``max_wait_s``; else it is refused at once (``Overloaded``). At most
``max_queue`` jobs wait, whatever their wait. A job that has waited longer
than ``max_wait_s`` is refused when a worker takes it or when its time
limit passes, whichever comes first; one whose limit passes while it waits
within a longer budget is answered 504. Neither runs. The dispatch tells
the rule when each job starts waiting, starts on a worker and is
answered.
"""

from __future__ import annotations

import asyncio
import time
from collections import deque
from collections.abc import Sequence

from norvel.serve.admission import Admission, Overloaded
from norvel.serve.frames import Answer, Job, unpack_answer
from norvel.serve.generations import Generation, Generations, PoolStats
from norvel.serve.limits import overtime
from norvel.serve.observe import CURRENT_REQUEST
from norvel.serve.processes import Worker, WorkerStartError
from norvel.serve.queries import error_body

#: How many pairs of a POST /routes go to a worker at a time: big enough that
#: the socket is no cost, small enough that other requests get their turn.
CHUNK = 16
#: How long past the time limit a worker may take to say it stopped.
GRACE_S = 1.0


class Dispatch:
    """Runs jobs on the workers of ``generations``, each within
    ``timeout_s`` seconds, as ``admission`` allows; counts the 504s in
    ``stats``."""

    def __init__(self, generations: Generations, admission: Admission,
                 timeout_s: float, stats: PoolStats) -> None:
        self.generations = generations
        self.admission = admission
        self.timeout_s = timeout_s
        self.stats = stats
        # Jobs admitted and not yet answered, and workers running some.
        self._jobs = 0
        self._busy = 0

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

    async def run(self, jobs: Sequence[Job]) -> list[Answer]:
        """The answers to the jobs, in their order, using up to every worker
        of the generation serving now; Overloaded, at once, when they would
        wait too long."""
        generations = self.generations
        if not generations.closing:
            self.admission.admit(len(jobs), self._jobs, time.monotonic())
        generation = generations.current
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
            generations.settle(generation)

    async def _run_chunks(self, generation: Generation, jobs: Sequence[Job]) -> list[Answer]:
        answers: list[Answer | None] = [None] * len(jobs)
        waiting = deque(range(len(jobs)))

        async def lane() -> None:
            while waiting:
                chunk = [waiting.popleft() for _ in range(min(CHUNK, len(waiting)))]
                try:
                    got = await self._run_some(generation, [jobs[i] for i in chunk])
                except Overloaded as error:
                    # A chunk that waited too long: its pairs are refused in
                    # the batch's answer, those of the other chunks stand.
                    got = [(503, error_body(str(error)))] * len(chunk)
                for index, answer in zip(chunk, got):
                    answers[index] = answer
                waiting.extendleft(reversed(chunk[len(got):]))

        lanes = min(self.generations.size, -(-len(jobs) // CHUNK))
        await asyncio.gather(*(lane() for _ in range(lanes)))
        return [a for a in answers if a is not None]

    async def _run_all(self, generation: Generation, jobs: list[Job]) -> list[Answer]:
        answers: list[Answer] = []
        while len(answers) < len(jobs):
            try:
                answers += await self._run_some(generation, jobs[len(answers):])
            except Overloaded as error:
                if not answers:
                    raise  # the whole request is refused, as at its admission
                answers += [(503, error_body(str(error)))] * (len(jobs) - len(answers))
        return answers

    async def _run_some(self, generation: Generation, jobs: list[Job]) -> list[Answer]:
        """Answers to the first jobs, on one worker: all of them, or up to the
        one that got stuck or lost its worker. Jobs that waited for a worker
        longer than the budget are refused, Overloaded, when one takes them
        or when their time limit passes, whichever comes first; a limit
        passing with the wait within the budget (one longer than the limit)
        answers each 504. Either way they do not run."""
        admission = self.admission
        queued = time.monotonic()
        deadline = queued + self.timeout_s
        kinds = [admission.kind(job[0]) for job in jobs]
        for kind in kinds:
            admission.enqueue(kind)
        # Jobs started on the worker: a worker runs its list in order, so
        # each starts as the one before it is answered.
        started = 0
        worker: Worker | None = None
        try:
            try:
                generation, worker, waited_s = await self._take_idle(generation, deadline)
            except WorkerStartError as error:
                return [(503, error_body(f"no worker is running: {error}"))]
            except TimeoutError:
                return self._too_late(jobs, time.monotonic() - queued)
            now = time.monotonic()
            if now >= deadline:
                generation.release(worker)
                return self._too_late(jobs, waited_s)
            try:
                admission.check_waited(waited_s, now)
            except Overloaded:
                generation.release(worker)
                raise
            record = CURRENT_REQUEST.get()
            if record is not None:
                record.generation = generation.graph.generation
            answers: list[Answer] = []
            self._busy += 1
            try:
                worker.send(jobs)
                admission.start(worker, kinds[0], now)
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
            generation.release(worker)
            return answers
        finally:
            if worker is not None:
                admission.drop(worker)
            for kind in kinds[started:]:
                admission.dequeue(kind)

    def _count(self, job: Job, status: int) -> None:
        if status == 504:
            self.stats.timeouts[str(job[0])] += 1

    def _too_late(self, jobs: list[Job], waited_s: float) -> list[Answer]:
        """The answers of jobs whose time limit passed while they waited
        ``waited_s`` seconds for a worker: Overloaded when that was longer
        than the budget, as for any job that waited so, else 504s."""
        self.admission.check_waited(waited_s, time.monotonic())
        for job in jobs:
            self._count(job, 504)
        return [overtime(self.timeout_s)] * len(jobs)

    async def _take_idle(self, generation: Generation,
                         deadline: float) -> tuple[Generation, Worker, float]:
        """An idle live worker of the generation, or of the one serving now
        once that one has ended, with the generation it is of and the
        seconds waited for it (0.0 when one was idle at once);
        WorkerStartError when there is none and a new one cannot start,
        rather than a wait with no end; TimeoutError at ``deadline``
        (monotonic)."""
        waited_from: float | None = None
        while True:
            if generation.ended.is_set() and self.generations.current is not None:
                generation = self.generations.current
            if generation.start_failure is not None and not generation.workers:
                raise WorkerStartError(generation.start_failure)
            if waited_from is None and generation.idle.empty():
                waited_from = time.monotonic()
            generation.waiting += 1
            try:
                async with asyncio.timeout(deadline - time.monotonic()):
                    worker = await generation.idle.get()
            finally:
                generation.waiting -= 1
            if worker is not None and worker.usable():
                waited_s = 0.0 if waited_from is None else time.monotonic() - waited_from
                return generation, worker, waited_s
