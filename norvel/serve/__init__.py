"""``norvel serve``: safe routes over HTTP, with a map page (extra ``serve``:
``pip install 'norvel_core[serve]'``).

The graph is in memory once, whatever the number of workers: one process
(``norvel.serve.zygote``) loads it, then forks the worker processes, which
share its pages. A front process (uvicorn and Starlette on asyncio) takes
the HTTP requests and hands each to an idle worker over a socket; the
worker sends back the finished JSON. A route stops itself at the time limit
and gets a 504; a worker that dies, or hangs past the limit, is replaced by
a new fork, and its request gets a 503 (or the 504).

    norvel serve graph.json.gz --port 8000 --workers 2 --timeout-s 10

SIGHUP (and, with ``--reload-on-change``, a change of the file) loads the
graph again beside the one serving, which goes on answering until the new
one is ready. ``/health`` names the graph loaded; ``/metrics`` gives the
service's metrics in Prometheus's text format. A request expected to wait
for a worker longer than ``--max-wait-s`` (from the recent times of each
kind of job, ``norvel.serve.admission``) gets 503 with Retry-After at
once.

- ``norvel.serve.app.create_app(pool)``: the ASGI application.
- ``norvel.serve.pool.WorkerPool``: the generations of zygote and workers
  (``norvel.serve.generations``) and the dispatch of jobs to them
  (``norvel.serve.dispatch``).
- ``norvel.serve.answers.Answers``: what a worker answers, on a Router.
- ``norvel.serve.app.serve(...)``: what ``norvel serve`` runs.

The endpoints and their answers are described at ``/docs`` and
``/openapi.json`` of a running service, made for the graph it serves
(``norvel/serve/openapi.py``); each query parameter is written once, in
``norvel/serve/parameters.py``, which the query parsers read too.
"""

from __future__ import annotations

from norvel._extras import require

require("norvel.serve", "serve", "starlette", "uvicorn", "prometheus_client")
