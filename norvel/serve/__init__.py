"""``norvel serve``: safe routes over HTTP, with a map page (extra ``serve``:
``pip install 'norvel_core[serve]'``).

The module holds the interpreter lock for a whole request, so the service
answers on worker processes: a front process (uvicorn and Starlette on
asyncio) takes the HTTP requests and hands each to an idle worker over a
pipe; every worker loads the graph once and sends back the finished JSON.
A request that runs longer than the time limit gets a 504 and its worker is
replaced; a worker that dies is replaced and its request gets a 503.

    norvel serve graph.json.gz --port 8000 --workers 2 --timeout-s 10

- ``norvel.serve.app.create_app(pool)``: the ASGI application.
- ``norvel.serve.pool.WorkerPool``: the worker processes.
- ``norvel.serve.app.serve(...)``: what ``norvel serve`` runs.

The endpoints and their answers are described at ``/docs`` of a running
service and in ``norvel/serve/openapi.py``.
"""

from __future__ import annotations

from norvel._extras import require

require("norvel.serve", "serve", "starlette", "uvicorn")
