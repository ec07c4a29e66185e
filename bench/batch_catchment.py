"""The client's share of ``norvel.batch.catchment`` on a large graph: a
catchment of many places in tiles on local processes, timed as a whole
(wall) and in the calling process alone (its processor seconds: the tiles
run in other processes, so these are the client's planning, sending and
joining), beside one ``Router.catchment`` of the same places in this
process, whose nodes must be equal bit for bit.

    PYTHONPATH=.:build/rel/python python bench/batch_catchment.py \\
        /tmp/region1m/grid.norvel --places 2000 --minutes 2 --workers 2

The places: routable nodes picked at random (seed 1). Prints the figures
as JSON. Not run by the tests.
"""

from __future__ import annotations

import argparse
import json
import time
from pathlib import Path

import numpy as np
import pandas

import norvel
import norvel.batch


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("graph", type=Path, help="a snapshot or graph document")
    parser.add_argument("--places", type=int, default=2000)
    parser.add_argument("--minutes", type=float, default=2.0)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--no-check", action="store_true",
                        help="skip the one search in this process")
    options = parser.parse_args()
    router = norvel.Router.from_file(options.graph)
    ids = router.table.routable_ids
    rng = np.random.default_rng(1)
    places = [int(node) for node in
              ids[rng.choice(len(ids), options.places, replace=False)]]
    wall, cpu = time.perf_counter(), time.process_time()
    tiled = norvel.batch.catchment(options.graph, places, options.minutes,
                                   workers=options.workers, progress=False)
    figures: dict[str, object] = {
        "nodes": len(router.table), "places": options.places,
        "minutes": options.minutes, "workers": options.workers,
        "tiled_wall_s": round(time.perf_counter() - wall, 3),
        "tiled_client_cpu_s": round(time.process_time() - cpu, 3),
        "catchment_nodes": len(tiled)}
    if not options.no_check:
        wall = time.perf_counter()
        want = router.catchment(places, options.minutes).nodes
        figures["one_search_s"] = round(time.perf_counter() - wall, 3)
        pandas.testing.assert_frame_equal(tiled, want, check_exact=True)
        figures["equal"] = True
    print(json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()
