"""The ASGI application of ``norvel serve`` (Starlette), and ``serve``, which
runs it on uvicorn in front of a pool of worker processes that share one
graph."""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import json
import signal
import sys
from collections.abc import Iterator
from datetime import UTC, datetime
from importlib import resources
from typing import Any, TextIO

import uvicorn
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import HTMLResponse, Response
from starlette.routing import Route
from starlette.types import ASGIApp, Receive, Scope, Send

from norvel import _requests
from norvel._values import DEFAULT_MAX_CATCHMENT_NODES, DEFAULT_MAX_WAIT_S, DEFAULT_RISK
from norvel.serve import watch
from norvel.serve.frames import Job
from norvel.serve.metrics import CONTENT_TYPE, ServiceMetrics
from norvel.serve.observe import Observed
from norvel.serve.openapi import docs_page, document
from norvel.serve.admission import Overloaded
from norvel.serve.generations import Graph
from norvel.serve.pool import WorkerPool
from norvel.serve.processes import WorkerStartError
from norvel.serve.queries import MAX_BODY_BYTES, batch_request, dumps, error_body
from norvel.serve.served import SAMPLE, Served, from_json
from norvel.steps import GPX_MEDIA_TYPE

#: The media type of every answer.
JSON = "application/json"


def _json(status: int, body: bytes) -> Response:
    return Response(body, status_code=status, media_type=JSON)


def _media_type(kind: str, status: int, body: bytes) -> str:
    """The media type of a worker's answer: JSON, but for a GPX route
    (whatever asked for it, a query or a body, the answer says)."""
    if kind == "route" and status == 200 and body.startswith(b"<?xml"):
        return GPX_MEDIA_TYPE
    return JSON


async def _read_body(request: Request) -> bytes:
    """The body of a POST; ValueError once it is longer than
    MAX_BODY_BYTES, before the rest is read."""
    body = bytearray()
    async for chunk in request.stream():
        body += chunk
        if len(body) > MAX_BODY_BYTES:
            raise ValueError(f"the body is longer than {MAX_BODY_BYTES} bytes")
    return bytes(body)


def _overloaded(error: Overloaded) -> Response:
    return Response(error_body(str(error)), status_code=503, media_type=JSON,
                    headers={"Retry-After": str(error.retry_after_s)})


def _iso(seconds: float) -> str:
    return datetime.fromtimestamp(seconds, UTC).isoformat(timespec="milliseconds")


def graph_summary(graph: Graph) -> dict[str, Any]:
    """What /health says of the graph serving new requests."""
    return {"file": graph.path, "sha256": graph.sha256, "size": graph.size,
            "modified": _iso(graph.mtime_ns / 1e9), "nodes": graph.nodes,
            "edges": graph.edges, "generation": graph.generation,
            "loaded_at": _iso(graph.loaded_at), "load_s": round(graph.load_s, 3),
            "risk_layers": list(graph.risk_layers)}


def create_app(pool: WorkerPool, access_log: TextIO | None = None) -> ASGIApp:
    """The endpoints, answered by the pool's workers, with the metrics of
    every request at /metrics and, given a stream, a JSON access log line
    per request written there."""
    page = resources.files("norvel.serve").joinpath("page.html").read_bytes()
    metrics = ServiceMetrics(pool)
    description = _Description(pool)

    async def one_job(kind: str, request: Request) -> Response:
        ((status, body),) = await pool.run([(kind, request.scope["query_string"])])
        return _json(status, body)

    async def health(request: Request) -> Response:
        body: dict[str, Any] = {"status": "ok", "nodes": pool.nodes, "edges": pool.edges,
                                "risk_layers": list(pool.graph.risk_layers
                                                    if pool.graph is not None else (DEFAULT_RISK,))}
        if pool.graph is not None:
            body["graph"] = graph_summary(pool.graph)
        if pool.reload_failure is not None:
            body["last_reload_error"] = pool.reload_failure
        return _json(200, dumps(body))

    async def metrics_text(request: Request) -> Response:
        return Response(metrics.exposition(), media_type=CONTENT_TYPE)

    async def nearest(request: Request) -> Response:
        return await one_job("nearest", request)

    async def route(request: Request) -> Response:
        job: Job = ("route", request.scope["query_string"])
        if request.method == "POST":
            try:
                job = ("route_body", await _read_body(request))
            except ValueError as error:
                return _json(400, error_body(str(error)))
        ((status, body),) = await pool.run([job])
        return Response(body, status_code=status,
                        media_type=_media_type("route", status, body))

    async def network(request: Request) -> Response:
        return await one_job("network", request)

    async def catchment(request: Request) -> Response:
        return await one_job("catchment", request)

    async def front(request: Request) -> Response:
        return await one_job("front", request)

    async def routes(request: Request) -> Response:
        try:
            body = await _read_body(request)
            graph = pool.graph
            pairs, eps, max_snap_m, risk = batch_request(
                body, (DEFAULT_RISK,) if graph is None else graph.risk_layers,
                () if graph is None else graph.risk_layer_hours)
        except (ValueError, TypeError) as error:
            return _json(400, error_body(str(error)))
        entries: list[bytes | None] = [None] * len(pairs)
        jobs: list[Job] = []
        places: list[int] = []
        for index, pair in enumerate(pairs):
            try:
                origin, destination = _requests.pair(pair, index)
            except TypeError as error:
                entries[index] = dumps({"error": str(error), "status": 400})
            else:
                jobs.append(("pair", origin, destination, eps, max_snap_m, risk))
                places.append(index)
        for index, (status, answer) in zip(places, await pool.run(jobs)):
            entries[index] = answer if status == 200 else _entry(status, answer)
        return _json(200, b'{"results":[' + b",".join(e or b"null" for e in entries)
                     + b'],"risk_layer":' + dumps(risk) + b"}")

    async def map_page(request: Request) -> Response:
        return HTMLResponse(page)

    async def docs_html(request: Request) -> Response:
        return HTMLResponse((await description.get())[1])

    async def openapi(request: Request) -> Response:
        return _json(200, (await description.get())[0])

    async def http_error(request: Request, error: Exception) -> Response:
        assert isinstance(error, HTTPException)
        # A 405's Allow header lists the methods the path takes.
        return Response(error_body(f"{error.detail} ({request.method} {request.url.path})"),
                        status_code=error.status_code, media_type=JSON,
                        headers=error.headers)

    async def overloaded(request: Request, error: Exception) -> Response:
        assert isinstance(error, Overloaded)
        return _overloaded(error)

    async def internal_error(request: Request, error: Exception) -> Response:
        print(f"norvel serve: {type(error).__name__}: {error}", file=sys.stderr)
        return _json(500, error_body("internal error"))

    app = Starlette(
        routes=[Route("/health", health), Route("/nearest", nearest),
                Route("/route", route, methods=["GET", "POST"]),
                Route("/routes", routes, methods=["POST"]),
                Route("/network", network), Route("/catchment", catchment),
                Route("/front", front),
                Route("/", map_page),
                Route("/docs", docs_html), Route("/openapi.json", openapi),
                Route("/metrics", metrics_text)],
        exception_handlers={HTTPException: http_error, Overloaded: overloaded,
                            Exception: internal_error})
    endpoints = frozenset(r.path for r in app.routes if isinstance(r, Route))
    return Observed(_FastQueries(pool, app), endpoints, metrics.observe, access_log)


class _FastQueries:
    """GET /route, /front, /nearest, /network and /catchment straight to a worker, everything
    else to Starlette. One front process feeds every worker, so its time per
    request bounds what more workers can add: this skips Starlette's request,
    routing and response objects for the requests that come by the
    thousand, and answers them exactly as the Starlette routes would."""

    KINDS = {"/route": "route", "/nearest": "nearest", "/network": "network",
             "/catchment": "catchment", "/front": "front"}

    def __init__(self, pool: WorkerPool, app: Starlette) -> None:
        self.pool = pool
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        kind = self.KINDS.get(scope["path"]) if scope["type"] == "http" else None
        if kind is None or scope["method"] != "GET":
            await self.app(scope, receive, send)
            return
        query = scope["query_string"]
        try:
            ((status, body),) = await self.pool.run([(kind, query)])
        except Overloaded as error:
            # The refusals of a burst come by the hundred, each costing the
            # front what it costs everyone else, so they skip Starlette too.
            status, body = 503, error_body(str(error))
            headers = [(b"content-type", JSON.encode()),
                       (b"retry-after", b"%d" % error.retry_after_s)]
        else:
            headers = [(b"content-type", _media_type(kind, status, body).encode())]
        await send({"type": "http.response.start", "status": status,
                    "headers": [*headers, (b"content-length", b"%d" % len(body))]})
        await send({"type": "http.response.body", "body": body})


class _Description:
    """The API's description, as JSON and as a page, made for the graph
    serving new requests once a worker of its generation has said what it
    holds (``served``); until one can say, on the sample's examples."""

    def __init__(self, pool: WorkerPool) -> None:
        self.pool = pool
        self.generation = -1
        self.made = (b"", "")

    async def get(self) -> tuple[bytes, str]:
        graph = self.pool.graph
        generation = -1 if graph is None else graph.generation
        if generation == self.generation:
            return self.made
        served: Served | None = None
        try:
            ((status, body),) = await self.pool.run([("served", b"")])
        except Overloaded:
            status = 503
        if status == 200:
            served = from_json(body)
        if served is None or self.pool.graph is not graph:
            layers = (DEFAULT_RISK,) if graph is None else graph.risk_layers
            return self._make(served or dataclasses.replace(SAMPLE, risk_layers=layers))
        self.made, self.generation = self._make(served), generation
        return self.made

    @staticmethod
    def _make(served: Served) -> tuple[bytes, str]:
        described = document(served)
        return dumps(described), docs_page(described)


def _entry(status: int, body: bytes) -> bytes:
    message: Any = json.loads(body).get("error", "")
    return dumps({"error": message, "status": status})


class _Server(uvicorn.Server):
    """uvicorn's server, minus its habit of raising SIGINT or SIGTERM again
    once it has shut down: the workers still have to be ended, and a
    shutdown asked for is a clean exit."""

    @contextlib.contextmanager
    def capture_signals(self) -> Iterator[None]:
        previous = {sig: signal.signal(sig, self.handle_exit)
                    for sig in (signal.SIGINT, signal.SIGTERM)}
        try:
            yield
        finally:
            for sig, handler in previous.items():
                signal.signal(sig, handler)


def serve(path: str, *, host: str = "127.0.0.1", port: int = 8000, workers: int = 1,
          timeout_s: float = 10.0,
          max_catchment_nodes: int = DEFAULT_MAX_CATCHMENT_NODES,
          max_queue: int | None = None, max_wait_s: float = DEFAULT_MAX_WAIT_S,
          reload_on_change: bool = False,
          access_log: str | None = None) -> int:
    """Runs the service until SIGINT or SIGTERM; the exit status.

    One process loads the graph (and its nearest-node index) and forks the
    ``workers`` processes, which share its memory; each request is answered
    within ``timeout_s`` seconds, and a catchment of more than
    ``max_catchment_nodes`` nodes is refused (400). A request that would
    wait for a worker is taken when its expected wait is under
    ``max_wait_s`` seconds and at most ``max_queue`` jobs wait (1024 when
    None); others are refused at once with 503 and Retry-After. SIGHUP loads the file again, as does a change of the
    file with ``reload_on_change``; the old graph serves until the new one
    is ready. ``access_log="json"`` writes a JSON line per request on
    stderr."""
    if access_log not in (None, "json"):
        raise ValueError(f"unknown access log format {access_log!r} (known: json)")

    async def run() -> int:
        pool = WorkerPool(path, workers, timeout_s, max_queue, max_wait_s=max_wait_s,
                          max_catchment_nodes=max_catchment_nodes)
        try:
            await pool.start()
        except (WorkerStartError, OSError) as error:
            print(f"norvel serve: {error}", file=sys.stderr)
            return 1
        loop = asyncio.get_running_loop()
        loop.add_signal_handler(signal.SIGHUP, pool.request_reload)
        watcher = asyncio.ensure_future(watch.reload_on_change(pool)) if reload_on_change else None
        try:
            app = create_app(pool, sys.stderr if access_log == "json" else None)
            config = uvicorn.Config(app, host=host, port=port,
                                    log_level="warning", access_log=False,
                                    lifespan="off", server_header=False,
                                    proxy_headers=False)
            server = _Server(config)
            print(f"norvel serve: {path} ({pool.nodes} nodes, {pool.edges} edges) "
                  f"on http://{host}:{port}/ with {workers} worker"
                  f"{'s' if workers != 1 else ''}", file=sys.stderr, flush=True)
            await server.serve()
        finally:
            loop.remove_signal_handler(signal.SIGHUP)
            if watcher is not None:
                watcher.cancel()
                with contextlib.suppress(asyncio.CancelledError):
                    await watcher
            await pool.close()
        return 0 if server.started else 1

    try:
        return asyncio.run(run(), loop_factory=_loop_factory())
    except KeyboardInterrupt:  # before the server took over Ctrl-C
        return 130


def _loop_factory() -> Any:
    """uvloop's event loop when it is installed, asyncio's otherwise."""
    try:
        import uvloop
    except ImportError:
        return None
    return uvloop.new_event_loop
