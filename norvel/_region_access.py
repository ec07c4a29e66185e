"""A region's access in tiles (``norvel._access_tiles``), each tile a task
on a Dask worker or a local process that loads the graph file once: the
same fronts as one search over the whole region, bit for bit."""

from __future__ import annotations

import math
import os
from typing import TYPE_CHECKING, Any

import numpy as np

from norvel import _access_tiles, _access_walks, _workers
from norvel._access_walks import Fronts
from norvel.table import IdArray

if TYPE_CHECKING:
    from distributed import Client

    from norvel._session import Session

# Tiles per worker thread: enough to keep every worker busy while the
# slowest tile runs, few enough that their margins (searched by two
# tiles) stay a small part of the work.
_TILES_PER_WORKER = 2
# The progress bar shows only once a call has run this long.
_PROGRESS_DELAY_S = 2.0


def tile_fronts(path: str, nodes: IdArray, places: IdArray,
                cutoffs: tuple[float, ...], direction: str, risk: str,
                avoid: object, max_minutes: float | None,
                max_detour: float | None) -> Fronts:
    """A task: ``_access_walks.place_fronts`` on the graph of ``path`` as
    this process loaded it, ``avoid`` resolved there."""
    session = _workers.router_for(path).session
    return _access_walks.place_fronts(session, nodes, places, cutoffs,
                                      direction, risk,
                                      session.avoided(avoid), max_detour,
                                      max_minutes)


def region_fronts(path: str | os.PathLike[str], session: Session,
                  nodes: IdArray, places: IdArray,
                  cutoffs: tuple[float, ...], direction: str, risk: str,
                  avoid: object, max_minutes: float | None,
                  max_detour: float | None, *,
                  client: Client | None, workers: int,
                  progress: bool) -> Fronts:
    """``_access_walks.place_fronts`` of ``nodes`` over ``places`` in tiles
    on the workers of ``client``, or on ``workers`` local processes, each
    loading the graph file ``path`` (the graph of ``session``, which
    tiles). Without ``max_minutes`` one tile holds everything."""
    from tqdm import tqdm

    file = os.path.abspath(os.fspath(path))
    margin = (math.inf if max_minutes is None
              else _access_tiles.margin_units(session, max_minutes))
    threads = (workers if client is None
               else max(1, sum(client.nthreads().values())))
    planned = [tile for tile in _access_tiles.tiles(
        _access_tiles.plane_of(session, nodes),
        _access_tiles.plane_of(session, places), margin,
        _TILES_PER_WORKER * threads) if len(tile.places)]
    arguments = [(file, nodes[tile.origins], places[tile.places], cutoffs,
                  direction, risk, avoid, max_minutes, max_detour)
                 for tile in planned]
    sizes = [len(tile.origins) for tile in planned]

    def describe(number: int) -> str:
        return (f"the tile of {sizes[number]} origins and "
                f"{len(planned[number].places)} places")

    bar = tqdm(total=sum(sizes), unit="origin", delay=_PROGRESS_DELAY_S,
               disable=not progress)
    try:
        answers: list[Any] = (
            _workers.run_on_dask(client, tile_fronts, arguments, sizes, bar,
                                 describe) if client is not None
            else _workers.run_on_processes(
                tile_fronts, arguments, sizes, min(workers, max(len(planned), 1)),
                bar, describe))
    finally:
        bar.close()
    return _merged(len(nodes), len(cutoffs), planned, answers)


def _merged(count: int, cutoff_count: int,
            planned: list[_access_tiles.Tile], answers: list[Fronts]
            ) -> Fronts:
    """The tiles' fronts as one, in the order of the nodes; a tile's place
    positions turned into the whole list's (a tile's places ascend, so its
    ties went as the whole list's would)."""
    def empty(missing: float) -> np.ndarray[Any, Any]:
        return np.full(count, missing)

    merged = Fronts(empty(math.nan), empty(math.nan),
                    np.full(count, -1, dtype=np.int64), empty(math.nan),
                    empty(math.nan), np.full(count, -1, dtype=np.int64),
                    np.full((count, cutoff_count), math.nan))
    for tile, fronts in zip(planned, answers):
        at = tile.origins
        for name in ("shortest_m", "shortest_risk", "safest_m",
                     "safest_risk", "within_risk"):
            getattr(merged, name)[at] = getattr(fronts, name)
        for name in ("shortest_place", "safest_place"):
            local = getattr(fronts, name)
            getattr(merged, name)[at] = np.where(
                local >= 0, tile.places[np.maximum(local, 0)], -1)
    return merged
