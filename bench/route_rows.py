"""Routes with their rows (nodes, coordinates, streets, edges) through the
engine alone, on the bundled sample: PAIRS seeded random pairs, the least
wall time of REPEAT runs. With another build's engine first on PYTHONPATH
it times that one; under callgrind, the instructions of PAIRS against 0
pairs are the requests' own (set PYTHONHASHSEED for repeatable counts):

    PYTHONHASHSEED=0 valgrind --tool=callgrind python bench/route_rows.py 100 1
"""
import random, sys
from norvel._native import engine
import norvel.datasets
from bench_common import document_bytes, least_ms
g = engine.Graph.load(document_bytes(norvel.datasets.helsinki_walk()).decode())
ids = g.ids[g.listed]
rng = random.Random(7)
pairs = [(int(ids[rng.randrange(len(ids))]), int(ids[rng.randrange(len(ids))])) for _ in range(int(sys.argv[1]))]


def route_all() -> None:
    for s, t in pairs:
        g.route(s, t, 0.0)


print(f"{len(pairs)} pairs: {least_ms(route_all, int(sys.argv[2])):.1f} ms (engine {engine.__file__})")
