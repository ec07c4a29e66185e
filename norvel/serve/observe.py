"""What the front learns of each request as it answers it: the ASGI
middleware of ``norvel serve`` that times every request, names the graph
that answered it in a response header, counts it in the metrics and,
when asked, writes an access log line.

The pool's dispatch (``norvel.serve.dispatch``) adds to the request's ``RequestRecord``
(found through a context variable, so that any endpoint that hands jobs to
the pool is covered without knowing of it) the time the workers spent on
its jobs and the generation of the graph they answered on.
"""

from __future__ import annotations

import time
from collections.abc import Callable
from contextvars import ContextVar
from dataclasses import dataclass
from datetime import UTC, datetime
from typing import TextIO

from starlette.types import ASGIApp, Message, Receive, Scope, Send

from norvel.serve.queries import dumps

#: The response header naming the graph generation that answered.
GRAPH_HEADER = b"x-norvel-graph"


@dataclass
class RequestRecord:
    """One request's share of the workers' time: the seconds they spent on
    its jobs, and the generation of the graph they answered on (None when
    no worker was asked)."""

    search_s: float = 0.0
    generation: int | None = None


#: The record of the request being answered, in the front.
CURRENT_REQUEST: ContextVar[RequestRecord | None] = ContextVar(
    "norvel_serve_request", default=None)

#: What is told of each request answered: (endpoint, status, latency in
#: seconds, the workers' seconds or None).
Observer = Callable[[str, int, float, float | None], None]


def endpoint_of(path: str, endpoints: frozenset[str]) -> str:
    """The endpoint a request counts under: its path when the service knows
    it, "other" for the rest (so a scan of random paths cannot grow the
    metrics without end)."""
    return path if path in endpoints else "other"


class Observed:
    """Wraps the application: each HTTP request is timed and handed to
    ``observe`` once answered, its response gets the header naming the
    graph generation that answered it, and, with an ``access_log`` stream,
    a JSON line is written there per request."""

    def __init__(self, app: ASGIApp, endpoints: frozenset[str], observe: Observer,
                 access_log: TextIO | None = None) -> None:
        self.app = app
        self.endpoints = endpoints
        self.observe = observe
        self.access_log = access_log

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        record = RequestRecord()
        token = CURRENT_REQUEST.set(record)
        arrived = time.time()
        started = time.perf_counter()
        status = 500

        async def send_observed(message: Message) -> None:
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
                if record.generation is not None:
                    message = {**message, "headers": [
                        *message.get("headers", ()),
                        (GRAPH_HEADER, b"%d" % record.generation)]}
            await send(message)

        try:
            await self.app(scope, receive, send_observed)
        finally:
            CURRENT_REQUEST.reset(token)
            latency_s = time.perf_counter() - started
            search_s = None if record.generation is None else record.search_s
            self.observe(endpoint_of(scope["path"], self.endpoints), status,
                         latency_s, search_s)
            if self.access_log is not None:
                self._log(scope, arrived, status, latency_s, search_s, record.generation)

    def _log(self, scope: Scope, arrived: float, status: int, latency_s: float,
             search_s: float | None, generation: int | None) -> None:
        """The request's line: ``time`` is when it arrived, in UTC."""
        assert self.access_log is not None
        line = dumps({"time": datetime.fromtimestamp(arrived, UTC).isoformat(
                          timespec="milliseconds"),
                      "method": scope["method"], "path": scope["path"],
                      "status": status, "latency_s": round(latency_s, 6),
                      "search_s": None if search_s is None else round(search_s, 6),
                      "graph": generation})
        self.access_log.write(line.decode() + "\n")
