"""Seconds for norvel.risk to count random incidents on the streets of a
graph and to make a risk layer of the counts.

    PY=.venv/bin/python
    $PY bench/incidents.py                       # the bundled Helsinki sample
    $PY bench/incidents.py /tmp/grid1m.json [--incidents 10000 100000] [--repeat 3]

The incidents are uniform over the graph's bounding box (seed 1). "streets"
is the first count, which also finds the graph's streets and their tree;
"counts" a count after it; "layer" the layer at the default bandwidth
(100 m) from the counts. The least time of --repeat runs is shown.
"""

from __future__ import annotations

import argparse
import time
import warnings

import numpy as np
import pandas

import norvel
import norvel.risk


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("graph", nargs="?", default=str(norvel.datasets.helsinki_walk()),
                        help="graph document (default: the bundled sample)")
    parser.add_argument("--incidents", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    warnings.simplefilter("ignore", norvel.risk.IncidentsLeftOut)

    router = norvel.Router.from_file(args.graph)
    table = router.table
    rng = np.random.default_rng(1)
    started = time.perf_counter()
    norvel.risk.incident_counts(router, pandas.DataFrame({"lat": [], "lon": []}))
    print(f"{router.edge_count} edges: streets {time.perf_counter() - started:.3f} s")
    for count in args.incidents:
        incidents = pandas.DataFrame({
            "lat": rng.uniform(table.lats.min(), table.lats.max(), count),
            "lon": rng.uniform(table.lons.min(), table.lons.max(), count)})
        times = {"counts": [], "layer": []}
        for _ in range(args.repeat):
            started = time.perf_counter()
            counts = norvel.risk.incident_counts(router, incidents)
            times["counts"].append(time.perf_counter() - started)
            started = time.perf_counter()
            norvel.risk.layer_from_counts(router, counts)
            times["layer"].append(time.perf_counter() - started)
        print(f"{count} incidents ({np.count_nonzero(counts)} edges counted): "
              + ", ".join(f"{name} {min(values):.3f} s" for name, values in times.items()))


if __name__ == "__main__":
    main()
