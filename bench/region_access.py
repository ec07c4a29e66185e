"""A region's access on a Dask cluster against one process: a generated
street grid packed as a snapshot, a synthetic population and places,
``norvel.access(..., max_minutes=30)`` on a LocalCluster of two workers
(one thread each) and in one process; the answers must be equal.

    PYTHONPATH=.:build/rel/python python bench/region_access.py \\
        --nodes 1000000 --origins 20000 --places 500 --dir /tmp/region1m

Prints the figures as JSON: wall times, the speed-up, each worker's peak
resident memory against one Router's on the snapshot, and the
proportional set size (PSS) the two workers add beyond their interpreters
against what one Router adds to a process (a snapshot is memory-mapped:
the workers of a machine share its pages). Needs psutil, distributed and
the grid generator of ../shared/bench/roadgen.py. Not run by the tests.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas

# ../shared/bench/roadgen.py beside the repository; its command makes at
# most this many nodes.
ROADGEN_MOST = 2_500_000
ROADGEN = Path(__file__).resolve().parents[2] / "shared" / "bench" / "roadgen.py"
GIB = 2.0 ** 30


def pss() -> float:
    """This process's proportional set size, bytes."""
    import psutil

    return float(psutil.Process().memory_full_info().pss)


def peak_rss() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024.0


def graph_files(nodes: int, folder: Path, roadgen: Path) -> Path:
    """The snapshot of a generated grid of about ``nodes`` nodes (made
    once, kept in ``folder``)."""
    import norvel

    folder.mkdir(parents=True, exist_ok=True)
    snapshot = folder / "grid.norvel"
    if snapshot.exists():
        return snapshot
    prefix = folder / "grid"
    if nodes <= ROADGEN_MOST:
        subprocess.run([sys.executable, str(roadgen), "--nodes", str(nodes),
                        "--risk-div", "1000", "--out", str(prefix)], check=True)
    else:  # past roadgen's own command: through its classes, as capacity.py
        import capacity

        capacity.make(argparse.Namespace(roadgen=roadgen, nodes=nodes, routes=0),
                      folder / "grid.json", folder / "grid.pairs")
    norvel.Router.from_file(f"{prefix}.json").save(snapshot)
    return snapshot


def snapshot_pages(path: str) -> dict[str, float]:
    """What this process holds of the memory-mapped snapshot ``path``:
    resident bytes, the share of them other processes map too, and its
    proportional share (PSS), from /proc/self/smaps."""
    held = {"Rss": 0, "Shared_Clean": 0, "Shared_Dirty": 0, "Pss": 0}
    inside = False
    with open("/proc/self/smaps") as lines:
        for line in lines:
            fields = line.split()
            if "-" in fields[0] and len(fields) >= 5:  # a mapping's header
                inside = len(fields) >= 6 and fields[5] == path
            elif inside and fields[0].rstrip(":") in held:
                held[fields[0].rstrip(":")] += int(fields[1]) * 1024
    shared = held["Shared_Clean"] + held["Shared_Dirty"]
    return {"rss": held["Rss"], "pss": held["Pss"],
            "shared_share": shared / held["Rss"] if held["Rss"] else 0.0}


def population(snapshot: Path, origins: int, places: int,
               seed: int = 1) -> tuple[pandas.DataFrame, pandas.DataFrame]:
    """Origins at random nodes (a few metres off), weighted; places at
    others."""
    import norvel

    router = norvel.Router.from_file(snapshot)
    ids = router.table.routable_ids
    rng = np.random.default_rng(seed)
    chosen = rng.choice(len(ids), origins + places, replace=False)
    engine = router.session.engine
    dense = engine.node_index(np.ascontiguousarray(ids[chosen]))
    lat = np.asarray(engine.lats)[dense] + rng.normal(0, 2e-5, len(chosen))
    lon = np.asarray(engine.lons)[dense] + rng.normal(0, 3e-5, len(chosen))
    homes = pandas.DataFrame({"lat": lat[:origins], "lon": lon[:origins],
                              "people": rng.integers(1, 400, origins)})
    schools = pandas.DataFrame({"lat": lat[origins:], "lon": lon[origins:]})
    return homes, schools


ONE_PROCESS = """
import json, resource, sys, time
import pandas, psutil
import norvel
def pss():
    return psutil.Process().memory_full_info().pss
base = pss()
snapshot, origins, places, minutes, out = sys.argv[1:]
homes, schools = pandas.read_parquet(origins), pandas.read_parquet(places)
start_pss = pss()
router = norvel.Router.from_file(snapshot)
started = time.perf_counter()
result = norvel.access(router, homes, schools, (10, 20, 30), weight="people",
                       max_minutes=float(minutes))
seconds = time.perf_counter() - started
router_pss = pss() - start_pss
result.origins.to_parquet(out)
print(json.dumps({"seconds": seconds, "router_pss": router_pss,
                  "peak_rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
                  "interpreter_pss": base}))
"""


def one_process(snapshot: Path, folder: Path, minutes: float) -> dict[str, float]:
    out = subprocess.run(
        [sys.executable, "-c", ONE_PROCESS, str(snapshot),
         str(folder / "origins.parquet"), str(folder / "places.parquet"),
         str(minutes), str(folder / "local.parquet")],
        check=True, capture_output=True, text=True, env=os.environ)
    figures: dict[str, float] = json.loads(out.stdout.strip().splitlines()[-1])
    return figures


def on_cluster(snapshot: Path, homes: pandas.DataFrame,
               schools: pandas.DataFrame, minutes: float,
               workers: int) -> tuple[pandas.DataFrame, dict[str, object]]:
    import norvel
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=workers, threads_per_worker=1,
                      processes=True, dashboard_address=None,
                      memory_limit=0) as cluster, Client(cluster) as client:
        client.run(lambda: __import__("norvel.accessibility"))
        before = client.run(pss)
        started = time.perf_counter()
        result = norvel.access(snapshot, homes, schools, (10, 20, 30),
                               weight="people", max_minutes=minutes,
                               client=client)
        seconds = time.perf_counter() - started
        after = client.run(pss)
        peaks = client.run(peak_rss)
        pages = client.run(snapshot_pages, str(Path(snapshot).resolve()))
    added = sum(after[w] - before[w] for w in after)
    return result.origins, {"seconds": seconds, "workers_pss_added": added,
                            "worker_peak_rss": sorted(peaks.values()),
                            "snapshot_pages": list(pages.values())}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--nodes", type=int, default=1_000_000)
    parser.add_argument("--origins", type=int, default=20_000)
    parser.add_argument("--places", type=int, default=500)
    parser.add_argument("--max-minutes", type=float, default=30.0)
    parser.add_argument("--workers", default="2",
                        help="worker counts of the clusters run, comma-separated (e.g. 2,1)")
    parser.add_argument("--dir", type=Path, default=Path("/tmp/region_access"))
    parser.add_argument("--roadgen", type=Path, default=ROADGEN)
    options = parser.parse_args()
    snapshot = graph_files(options.nodes, options.dir, options.roadgen)
    homes, schools = population(snapshot, options.origins, options.places)
    homes.to_parquet(options.dir / "origins.parquet")
    schools.to_parquet(options.dir / "places.parquet")
    local = one_process(snapshot, options.dir, options.max_minutes)
    want = pandas.read_parquet(options.dir / "local.parquet")
    figures: dict[str, object] = {
        "nodes": options.nodes, "origins": options.origins,
        "places": options.places, "max_minutes": options.max_minutes,
        "snapshot_gib": round(snapshot.stat().st_size / GIB, 3),
        "one_process_s": round(local["seconds"], 2),
        "one_router_pss_gib": round(local["router_pss"] / GIB, 3),
        "one_process_peak_rss_gib": round(local["peak_rss"] / GIB, 3),
    }
    for workers in (int(count) for count in options.workers.split(",")):
        tiled, cluster = on_cluster(snapshot, homes, schools,
                                    options.max_minutes, workers)
        pandas.testing.assert_frame_equal(tiled, want)
        seconds = float(cluster["seconds"])  # type: ignore[arg-type]
        peaks = cluster["worker_peak_rss"]
        pages = cluster["snapshot_pages"]
        assert isinstance(peaks, list) and isinstance(pages, list)
        figures[f"workers_{workers}"] = {
            "equal": True, "seconds": round(seconds, 2),
            "speed_up": round(local["seconds"] / seconds, 2),
            "worker_peak_rss_gib": [round(p / GIB, 3) for p in peaks],
            "workers_pss_added_gib": round(float(cluster["workers_pss_added"]) / GIB, 3),  # type: ignore[arg-type]
            "snapshot_resident_gib": [round(p["rss"] / GIB, 3) for p in pages],
            "snapshot_pss_gib": [round(p["pss"] / GIB, 3) for p in pages],
            "snapshot_shared_share": [round(p["shared_share"], 3) for p in pages],
        }
    print(json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()
