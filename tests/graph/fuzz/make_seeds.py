#!/usr/bin/env python3
"""Writes seed inputs for the request fuzzer: small street grids as graph
documents, behind three selector bytes. Usage: make_seeds.py CORPUS_DIR"""

import json
import random
import sys
from pathlib import Path


def grid_document(rng: random.Random, whole_metres: bool) -> str:
    rows, columns = rng.randint(2, 3), rng.randint(2, 4)
    nodes = []
    edges = []
    for row in range(rows):
        for column in range(columns):
            nodes.append({"id": row * columns + column + 1,
                          "lat": 60.17 + row * 0.0009, "lon": 24.94 + column * 0.0018})

    def street(a: int, b: int) -> None:
        length = rng.choice([80, 100, 120]) if whole_metres else round(rng.uniform(80, 130), 2)
        risk = round(length * rng.choice([0.5, 3.0]) / 1000, 3)
        for start, end in ((a, b), (b, a)):
            if rng.random() < 0.9:
                edge = {"from": start, "to": end, "distance_m": length, "risk_score": risk}
                if rng.random() < 0.2:
                    edge["familiarity"] = rng.choice([0.5, 1, None])
                edges.append(edge)

    for row in range(rows):
        for column in range(columns):
            here = row * columns + column + 1
            if column + 1 < columns:
                street(here, here + 1)
            if row + 1 < rows:
                street(here, here + columns)
    return json.dumps({"nodes": nodes, "edges": edges}, separators=(",", ":"))


def main() -> None:
    corpus = Path(sys.argv[1])
    corpus.mkdir(parents=True, exist_ok=True)
    rng = random.Random(1)
    for number in range(64):
        selectors = bytes(rng.randrange(256) for _ in range(3))
        document = grid_document(rng, whole_metres=number % 2 == 0)
        (corpus / f"seed-{number:02d}").write_bytes(selectors + document.encode())


if __name__ == "__main__":
    main()
