"""Whether ``norvel serve`` takes a request as it comes: by the time it
would wait for a worker, not by a count of the jobs ahead of it.

**The rule.** A request is taken at once when a worker is free. Otherwise
it is taken when its *expected wait* is under the budget (``--max-wait-s``)
and refused at once when not: 503, with ``Retry-After`` the expected wait
rounded up to whole seconds (at least 1, at most ``MAX_RETRY_AFTER_S``). A
budget of 0 so refuses whatever would wait. ``--max-queue`` stays beside it
as a hard cap on the jobs waiting, a bound on the front's memory set high
enough that the wait decides. The expected wait is a forecast, and the wait
each job makes is checked as well (*The wait observed*, below): one that
has waited past the budget is refused when a worker takes it or when its
time limit passes, whichever comes first, and never runs.

**Why a time and not a count.** Jobs differ by three orders of magnitude:
a nearest-node look-up takes 0.1 ms, a route of the sample 1 to 3 ms, a
catchment of the whole sample 150 ms. Eight waiting catchments are a wait
of over half a second on two workers, eight waiting routes about 10 ms, so
no count both lets a burst of routes wait and stops a pile-up of
catchments. A client cares about the time: the budget is that time, which
the service keeps to by refusing what would exceed it. (The same idea as
CoDel's target queue delay, or the adaptive concurrency limits of load
balancers, here computed ahead rather than observed after the fact, so
that the refusal costs the client nothing but the round trip; the wait
observed is checked too, CoDel's own way, as the backstop below.)

**The expected wait** is the work ahead of the request divided over the
``w`` workers: ``w`` workers taking jobs in order from one queue get
through ``W`` seconds of work in about ``W / w``. The work ahead is

- each job waiting for a worker at the estimated time of its kind; a batch
  (``POST /routes``) goes to the workers in chunks, each chunk joining the
  queue as the one before it is answered, so what is ahead of a new
  request is the chunks already in the queue or on a worker, not the whole
  batch: that is what its pairs count;
- each running job, the time it still needs (below).

**The estimates.** Each kind of job (a route, a nearest node, a network, a
catchment, a pair of a batch) keeps a mean of the time its jobs took, as
the worker measures it (the search and the answer's JSON), over the jobs
of about the last ``MEMORY_S`` seconds: each job counts
``exp(-age / MEMORY_S)``. The worker's own time, not the time from
sending the job to reading its answer: that one holds the front's delays
too, and a front busy refusing a storm of requests (clients that try again
at once) reads its workers' answers late, would count the lateness as
work, and so go on refusing; measured so, 64 clients sending routes to one
worker on a loaded machine had 16,529 of 20,000 refused. (A job whose
worker ended or was killed has no such figure: its time from the front is
counted.) A memory in seconds
rather than in jobs keeps the time scale of the budget whatever the rate:
at 300 routes a second one worker stalled for 200 ms (another process took
its core) moves the mean by under a millisecond, where a weight of 1/16
per job moved it by 12 ms, enough to turn away a queue of ordinary routes;
at two catchments a second the mean is that of the last few.

**The spread.** A mean is what the wait comes to on average, and half
the jobs admitted just under the budget would wait past it. So each kind
keeps, beside its mean, the spread (standard deviation) of its times over
the same memory, and a request is taken only when the expected wait plus
``SPREAD_SIGMAS`` times the spread of that wait is under the budget. The
wait is a sum of the times of the jobs ahead over the workers; taken as
independent, their spreads add in quadrature, sqrt(sum of s_i^2) / ``w``,
and the sum of several is near normal, whose 99th percentile is 2.33
spreads above its mean: so some 99 % of the requests taken wait within the
budget, as long as the times of the jobs ahead are like the recent ones.
(A change that slows every job at once, such as another process taking the
cores, moves them together: that the rule cannot foresee, only measure
within about ``MEMORY_S``.) ``Retry-After`` and the gauge stay the mean.
Routes vary by a millisecond or so: the margin of a queue of 60 of them is
some 10 ms, nothing against a budget of a second; 60-minute catchments of
the sample vary by tens of milliseconds, and the margin keeps the last one
or two of a burst out that the mean would let wait too long.

A running job of age ``a`` whose kind's mean is ``m`` still needs
``max(m - a, a)``, never past the time limit (plus the grace after which
its worker is killed). Until it reaches its kind's mean the mean says what
is left. Past it, it is most likely one of the long searches of a mix
(route and catchment times are skewed: few long ones, many quick ones), and
the longer such a job has run the longer it still runs; as long again as
it has run is the even guess for a length known only to be more than
``a``. A job stuck until the time limit so counts more as it runs, rather
than nothing once it is past its mean.

**A fresh server**, before a kind has been measured, has one piece of
evidence: the jobs of that kind running now have taken their age so far.
A running job is then taken to need as long again, and each waiting job of
the kind as long as the oldest running one has run. Slow requests coming
one after another to a fresh server are so refused once the running ones
have run about ``budget`` seconds, or sooner when many wait, well before
the first answer measures the kind. A burst that comes all at once, before
the running jobs have aged, finds nothing to be refused by and is taken
whole: that is for the wait observed to mend.

**The wait observed.** A forecast misses when what it goes by is not yet
there (a fresh server, a burst faster than the running jobs age) or has
just changed (another process taking the cores). So each job's wait is
checked as it ends, as CoDel checks a packet's time in the queue as the
packet leaves it: a job that has waited longer than the budget when a
worker takes it is refused then, 503 with ``Retry-After`` (the expected
wait at that moment, which by then has measured what the forecast lacked),
rather than run late. Nor does any job wait past its time limit (which
counts from when it began to wait; a job that runs has the whole limit from
its start): one still waiting when the limit passes is answered at that
moment without running, refused as above when the budget is the shorter (as
by default), else 504. The answer to a race between a worker coming free
and the limit passing so does not depend on which wins. Whatever the
forecast, a job runs only after a wait within the budget, and is answered
at the latest ``min(budget, limit) + limit`` seconds after it came, and the
grace after which a stuck worker is killed. The wait is what a job spent
waiting for a worker with none idle (a job taken by an idle worker waited
nothing, so a budget of 0 refuses none of those); a chunk of a batch waits
from when it joins the queue, and a chunk that waited too long has its
pairs refused in the batch's answer, those of its other chunks standing. A
refusal so late costs the client the wait it made, which the forecast is
there to spare it: this is the backstop of the rule, not the rule. One
worker, a limit of 2 s, a fresh server and 60 slow routes sent at once
(more than a minute of work): without it, 45 were taken and each answered
504 two seconds after the one before, the last after 90 s; with it, the
first is answered 504 at the limit and the others 503 by then, none later
than 2.1 s.

Everything here runs on the front's event loop, once per request and once
per job answered: a few additions over the kinds (at most five) and the
running jobs (one per worker). With every worker busy, the rule and its
bookkeeping cost the front about 1.7 microseconds of CPU a request (timed
alone, ``time.process_time``), against some 250 for the rest of what the
front does for a route.
"""

from __future__ import annotations

import math
from collections import Counter
from collections.abc import Hashable

#: The estimates are means over about this many seconds of jobs.
MEMORY_S = 1.0
#: A request is taken while its expected wait plus this many spreads of it
#: is under the budget: the 99th percentile of a normal wait.
SPREAD_SIGMAS = 2.33
#: The longest wait a refused request is told to make before trying again.
MAX_RETRY_AFTER_S = 60
#: Why a request was refused: its expected wait was over the budget, the
#: count of waiting jobs over the cap, or the wait it had when a worker took
#: it over the budget.
REASONS = ("wait", "queue", "waited")


class Overloaded(Exception):
    """The request would wait too long for a worker (``reason`` "wait"),
    or beyond the cap of waiting jobs ("queue"), or it did wait too long
    ("waited"): try again in ``retry_after_s`` seconds."""

    def __init__(self, reason: str, retry_after_s: int) -> None:
        super().__init__(f"the service is busy; try again in {retry_after_s} s")
        self.reason = reason
        self.retry_after_s = retry_after_s


class JobKind:
    """What is known of one kind of job: the recent mean of its time (None
    until one is answered), the variance of those times about the mean (0.0
    until two are), and how many of it wait for a worker."""

    __slots__ = ("name", "mean_s", "variance_s2", "waiting", "_weight", "_at")

    def __init__(self, name: str) -> None:
        self.name = name
        self.mean_s: float | None = None
        self.variance_s2 = 0.0
        self.waiting = 0
        # The jobs in the mean, each counted by its age, as of ``_at``.
        self._weight = 0.0
        self._at = 0.0

    def observe(self, seconds: float, now: float) -> None:
        """Counts the time a worker was taken by a job of the kind, answered
        at ``now``."""
        if self.mean_s is None:
            self.mean_s, self._weight = seconds, 1.0
        else:
            self._weight = self._weight * math.exp((self._at - now) / MEMORY_S) + 1.0
            # West's update of a weighted mean and variance, each job
            # weighted as in the mean.
            share = 1.0 / self._weight
            change = seconds - self.mean_s
            self.mean_s += change * share
            self.variance_s2 = (1.0 - share) * (self.variance_s2 + share * change * change)
        self._at = now


class Admission:
    """The admission rule of a pool of ``workers`` workers: a budget of
    ``max_wait_s`` seconds of expected wait, at most ``max_queue`` jobs
    waiting, jobs stopped after ``limit_s`` seconds at the latest.

    The pool asks it whether to take a request (``admit``) and, when a
    worker takes a job, whether the job's wait allows it to run
    (``check_waited``). It tells it, with monotonic times, when a job starts
    waiting (``enqueue``), starts on a worker (``start``) and is answered
    or its worker ends (``finish``), or when it leaves unstarted
    (``dequeue``) or is given up running (``drop``, the client gone)."""

    def __init__(self, workers: int, max_wait_s: float, max_queue: int,
                 limit_s: float) -> None:
        if not max_wait_s >= 0:
            raise ValueError(f"the wait budget must be 0 or more seconds, got {max_wait_s}")
        self.workers = workers
        self.max_wait_s = max_wait_s
        self.max_queue = max_queue
        self.limit_s = limit_s
        self.kinds: dict[str, JobKind] = {}
        # The job each busy worker runs: its kind and when it started.
        self._running: dict[Hashable, tuple[JobKind, float]] = {}
        self.rejected: Counter[str] = Counter(dict.fromkeys(REASONS, 0))

    def kind(self, name: str) -> JobKind:
        """The record of a kind of job, made at its first job."""
        found = self.kinds.get(name)
        if found is None:
            found = self.kinds[name] = JobKind(name)
        return found

    def admit(self, count: int, in_flight: int, now: float) -> None:
        """Nothing when a request of ``count`` jobs is taken, with
        ``in_flight`` jobs admitted and not yet answered; Overloaded
        otherwise."""
        if count == 0 or not self.would_wait(in_flight):
            return  # nothing to wait for (a batch of no valid pair has no job)
        wait_s, spread_s = self.wait_and_spread_s(now)
        if in_flight + count - self.workers > self.max_queue:
            reason = "queue"
        elif not wait_s + SPREAD_SIGMAS * spread_s < self.max_wait_s:
            reason = "wait"
        else:
            return
        self.rejected[reason] += 1
        raise Overloaded(reason, retry_after(wait_s))

    def check_waited(self, waited_s: float, now: float) -> None:
        """Nothing when a job that waited ``waited_s`` seconds for the worker
        taking it now may run; Overloaded when that wait was over the
        budget."""
        if waited_s > self.max_wait_s:
            self.rejected["waited"] += 1
            raise Overloaded("waited", retry_after(self.expected_wait_s(now)))

    def would_wait(self, in_flight: int) -> bool:
        """Whether a job coming now, with ``in_flight`` jobs admitted and
        not yet answered, finds no worker free."""
        return in_flight >= self.workers

    def expected_wait_s(self, now: float) -> float:
        """The seconds a job coming now is expected to wait once every
        worker is busy: the work ahead of it over the workers."""
        return self.wait_and_spread_s(now)[0]

    def wait_and_spread_s(self, now: float) -> tuple[float, float]:
        """The expected wait of a job coming now once every worker is busy,
        and its spread: the square root of the summed variances of the
        jobs ahead, over the workers."""
        ahead_s = 0.0
        variance_s2 = 0.0
        # The oldest running job of each kind not yet measured.
        oldest: dict[str, float] = {}
        for kind, started in self._running.values():
            age = now - started
            if kind.mean_s is None:
                left = age
                oldest[kind.name] = max(age, oldest.get(kind.name, 0.0))
            else:
                left = max(kind.mean_s - age, age)
                variance_s2 += kind.variance_s2
            ahead_s += min(left, max(0.0, self.limit_s - age))
        for kind in self.kinds.values():
            if kind.waiting:
                each = kind.mean_s if kind.mean_s is not None else oldest.get(kind.name, 0.0)
                ahead_s += kind.waiting * each
                variance_s2 += kind.waiting * kind.variance_s2
        return ahead_s / self.workers, math.sqrt(variance_s2) / self.workers

    def enqueue(self, kind: JobKind) -> None:
        kind.waiting += 1

    def dequeue(self, kind: JobKind) -> None:
        kind.waiting -= 1

    def start(self, worker: Hashable, kind: JobKind, now: float) -> None:
        """A waiting job of the kind starts on the worker."""
        kind.waiting -= 1
        self._running[worker] = (kind, now)

    def finish(self, worker: Hashable, now: float, seconds: float | None = None) -> None:
        """The worker's job is answered, in ``seconds`` of the worker's, or
        the worker ended (None: the time since the job started counts)."""
        running = self._running.pop(worker, None)
        if running is not None:
            kind, started = running
            kind.observe(now - started if seconds is None else seconds, now)

    def drop(self, worker: Hashable) -> None:
        """The worker's job, if any, is given up unanswered: its time does
        not count."""
        self._running.pop(worker, None)


def retry_after(wait_s: float) -> int:
    """Whole seconds to tell a refused client to wait: the expected wait
    rounded up, at least 1, at most MAX_RETRY_AFTER_S."""
    return max(1, min(MAX_RETRY_AFTER_S, math.ceil(wait_s)))
