"""``norvel serve --reload-on-change``: reloads the graph when its file
changes, found by looking at the file's inode, size and modification time
every ``POLL_S`` seconds (no dependency, and it sees a file replaced by a
rename as well as one written over).

A file being written changes from one look to the next: it is reloaded
once it has looked the same twice running, so that a reload does not read
half a document. A file that failed to load is not tried again until it
changes once more (SIGHUP still tries it at once).
"""

from __future__ import annotations

import asyncio
import os

from norvel.serve.pool import WorkerPool

#: Seconds between two looks at the file.
POLL_S = 0.5

_FileKey = tuple[int, int, int]


def _key(path: str) -> _FileKey | None:
    try:
        stat = os.stat(path)
    except OSError:
        return None  # away for a moment, while it is replaced
    return stat.st_ino, stat.st_size, stat.st_mtime_ns


async def reload_on_change(pool: WorkerPool, poll_s: float = POLL_S) -> None:
    """Runs until cancelled, asking the pool to reload when its file has
    changed and settled."""
    previous: _FileKey | None = None
    tried: _FileKey | None = None
    while True:
        await asyncio.sleep(poll_s)
        key, graph = _key(pool.path), pool.graph
        if key is None or graph is None:
            previous = key
            continue
        loaded = (graph.inode, graph.size, graph.mtime_ns)
        if key != loaded and key == previous and key != tried:
            tried = key
            pool.request_reload()
        if key == loaded:
            tried = None
        previous = key
