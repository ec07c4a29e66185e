"""``norvel serve``: safe routes over HTTP, with a map page (extra ``serve``:
``pip install 'norvel_core[serve]'``).

One process holds the graph once: a front (uvicorn and Starlette on an
event loop) takes the HTTP requests and hands each to one of ``--workers``
threads, which all answer on the same ``norvel.Router``. A route runs
without the interpreter lock, so the threads search on as many cores at
once; it stops itself at the time limit, and the request gets a 504.

    norvel serve graph.json.gz --port 8000 --workers 2 --timeout-s 10

- ``norvel.serve.app.create_app(answers, pool)``: the ASGI application.
- ``norvel.serve.answers.Answers``: the endpoints' answers on a Router.
- ``norvel.serve.pool.AnswerPool``: the threads.
- ``norvel.serve.app.serve(...)``: what ``norvel serve`` runs.

The endpoints and their answers are described at ``/docs`` of a running
service and in ``norvel/serve/openapi.py``.
"""

from __future__ import annotations

from norvel._extras import require

require("norvel.serve", "serve", "starlette", "uvicorn")
