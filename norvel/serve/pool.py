"""The worker processes of ``norvel serve``, driven from the front's event
loop: the generations of zygote and workers, each holding one graph
(``norvel.serve.generations``: loads, reloads, replacing workers), and the
dispatch of jobs to them under the admission rule
(``norvel.serve.dispatch``, ``norvel.serve.admission``).
"""

from __future__ import annotations

import os
from collections.abc import Sequence

from norvel._values import DEFAULT_MAX_CATCHMENT_NODES, DEFAULT_MAX_QUEUE, DEFAULT_MAX_WAIT_S
from norvel.serve.admission import Admission
from norvel.serve.dispatch import GRACE_S, Dispatch
from norvel.serve.frames import Answer, Job
from norvel.serve.generations import Generations, Graph, PoolStats
from norvel.serve.limits import time_limit


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
        timeout_s = time_limit(timeout_s)
        self.max_queue = DEFAULT_MAX_QUEUE if max_queue is None else max_queue
        self.stats = PoolStats()
        self.generations = Generations(os.fspath(path), size, timeout_s,
                                       max_catchment_nodes, self.stats)
        self.admission = Admission(size, max_wait_s, self.max_queue, timeout_s + GRACE_S)
        self.dispatch = Dispatch(self.generations, self.admission, timeout_s, self.stats)

    @property
    def path(self) -> str:
        return self.generations.path

    @property
    def graph(self) -> Graph | None:
        """The graph new requests are answered on."""
        return self.generations.graph

    @property
    def nodes(self) -> int:
        graph = self.graph
        return 0 if graph is None else graph.nodes

    @property
    def edges(self) -> int:
        graph = self.graph
        return 0 if graph is None else graph.edges

    @property
    def reload_failure(self) -> str | None:
        """Why the last reload failed, while none has succeeded since."""
        return self.generations.reload_failure

    @property
    def workers(self) -> int:
        """Live workers, of every generation."""
        return self.generations.workers

    @property
    def busy(self) -> int:
        """Workers running jobs."""
        return self.dispatch.busy

    @property
    def waiting(self) -> int:
        """Jobs admitted that no worker is running yet."""
        return self.dispatch.waiting

    def expected_wait_s(self) -> float:
        """How long a job coming now is expected to wait for a worker."""
        return self.dispatch.expected_wait_s()

    async def start(self) -> None:
        """Loads the graph and forks every worker; WorkerStartError when the
        graph cannot be loaded or no worker forked."""
        await self.generations.start()

    async def run(self, jobs: Sequence[Job]) -> list[Answer]:
        """The answers to the jobs, in their order, using up to every worker
        of the generation serving now; Overloaded, at once, when they would
        wait too long."""
        return await self.dispatch.run(jobs)

    def request_reload(self) -> None:
        """Loads the file again in the background; asked while a reload
        runs, another follows it (one, however often asked)."""
        self.generations.request_reload()

    async def reload(self) -> bool:
        """Loads the file into a new generation and sends new requests
        there; False (the serving generation kept) when it cannot be
        loaded."""
        return await self.generations.reload()

    async def close(self) -> None:
        """Ends every worker and the zygotes."""
        await self.generations.close()
