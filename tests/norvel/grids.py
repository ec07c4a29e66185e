"""Graph documents for the tests of the companion package."""

import numpy as np

# Node ids of the test grid start here; 1 is a node without edges, 2 a dead
# end, and 3 is no node at all.
FIRST_ID = 10_000
LONELY, DEAD_END, ABSENT = 1, 2, 3


def grid_document(size):
    """A size x size street grid, 0.001 deg apart, both ways along every
    street. Every third row is a calm main street and the others are
    riskier but shorter, so the shortest and the safest routes differ."""
    def node_id(row, col):
        return FIRST_ID + row * size + col

    nodes = [{"id": node_id(r, c), "lat": 60.0 + r * 0.001,
              "lon": 25.0 + c * 0.002} for r in range(size) for c in range(size)]
    nodes += [{"id": LONELY, "lat": 59.99, "lon": 25.0},
              {"id": DEAD_END, "lat": 59.99, "lon": 25.001}]
    edges = []
    for r in range(size):
        for c in range(size):
            for dr, dc in ((0, 1), (1, 0)):
                if r + dr >= size or c + dc >= size:
                    continue
                calm = dr == 0 and r % 3 == 0
                distance = 120.0 if calm else 100.0 + (r * 7 + c * 3) % 5 * 5
                risk = 0.01 if calm else 0.08 + (r + 2 * c) % 4 * 0.02
                for a, b in ((node_id(r, c), node_id(r + dr, c + dc)),
                             (node_id(r + dr, c + dc), node_id(r, c))):
                    edges.append({"from": a, "to": b, "distance_m": distance,
                                  "risk_score": risk})
    edges.append({"from": FIRST_ID, "to": DEAD_END, "distance_m": 50.0,
                  "risk_score": 0.5})
    return {"nodes": nodes, "edges": edges}


def random_document(seed, size, *, first_id, columns, edges_per_node, distance, risk):
    """``size`` nodes 0.01 deg apart in rows of ``columns``, ids from
    ``first_id`` (each point snaps to its own node), and ``edges_per_node``
    times ``size`` random edges between two distinct nodes, each with a
    reverse edge of the same costs at odds 0.6: some parallel, one-way and
    two-way. ``distance(rng)`` and ``risk(rng)`` draw an edge's costs from
    the generator seeded by ``seed``."""
    rng = np.random.default_rng(seed)
    nodes = [{"id": first_id + i, "lat": 60.0 + 0.01 * (i // columns),
              "lon": 25.0 + 0.01 * (i % columns)} for i in range(size)]
    edges = []
    for _ in range(edges_per_node * size):
        a, b = (first_id + int(x) for x in rng.choice(size, 2, replace=False))
        d = distance(rng)
        r = risk(rng)
        edges.append({"from": a, "to": b, "distance_m": d, "risk_score": r})
        if rng.random() < 0.6:
            edges.append({"from": b, "to": a, "distance_m": d, "risk_score": r})
    return {"nodes": nodes, "edges": edges}


def jittered_nodes(rng, side, first_id, spacing_deg, jitter):
    """side x side nodes in rows, ids from ``first_id``, ``spacing_deg``
    apart north-south and twice that east-west, each moved by up to
    ``jitter`` of a spacing (drawn from ``rng``, lat then lon)."""
    return [{"id": first_id + i,
             "lat": 60.0 + spacing_deg * (i // side + rng.uniform(-jitter, jitter)),
             "lon": 25.0 + 2 * spacing_deg * (i % side + rng.uniform(-jitter, jitter))}
            for i in range(side * side)]


def grid_streets(rng, side, left_out):
    """(i, j) for the street between each node of a side x side grid (in
    rows) and its east and south neighbours, in node order, each left out
    at odds ``left_out`` (drawn from ``rng`` as the streets are taken, so
    that a caller's draws for a street follow its own)."""
    for i in range(side * side):
        for j in (i + 1 if (i + 1) % side else None,
                  i + side if i + side < side * side else None):
            if j is None or rng.random() < left_out:
                continue
            yield i, j


def one_or_both_ways(rng, i, j):
    """The ends of a street's edges: both ways at odds 0.85, else one way,
    either at even odds."""
    if rng.random() < 0.85:
        return [(i, j), (j, i)]
    return [(i, j) if rng.random() < 0.5 else (j, i)]


def add_equal_cost_grid(document, first_id, rows, cols):
    """Adds to ``document`` a rows x cols grid, ids from ``first_id`` in row
    order, whose edges all cost 100 m and risk 0.1 both ways: countless
    equal routes between opposite corners, so that the exact search between
    them is slow. Returns the document."""
    for row in range(rows):
        for col in range(cols):
            a = first_id + row * cols + col
            document["nodes"].append({"id": a, "lat": 61.0 + row * 0.001,
                                      "lon": 25.0 + col * 0.002})
            for b in ((a + 1) if col + 1 < cols else None,
                      (a + cols) if row + 1 < rows else None):
                if b is not None:
                    document["edges"] += [
                        {"from": a, "to": b, "distance_m": 100.0, "risk_score": 0.1},
                        {"from": b, "to": a, "distance_m": 100.0, "risk_score": 0.1}]
    return document


# Two nodes added to the sample: ISOLATED has no edge (no route starts
# there), SOURCE_ONLY an edge out only (no route ends there).
ISOLATED, SOURCE_ONLY = 9_000_000_001, 9_000_000_002


def sample_plus(sample_path, folder):
    """The sample with ISOLATED and SOURCE_ONLY, written to `folder`; its
    path. The sample's own layers hold one risk per edge: the new one's
    too."""
    import gzip
    import json
    document = json.loads(gzip.decompress(sample_path.read_bytes()))
    first = document["nodes"][0]
    document["nodes"] += [
        {"id": ISOLATED, "lat": first["lat"] + 0.0002, "lon": first["lon"]},
        {"id": SOURCE_ONLY, "lat": first["lat"], "lon": first["lon"] + 0.0004}]
    document["edges"].append({"from": SOURCE_ONLY, "to": first["id"],
                              "distance_m": 22.0, "risk_score": 0.02})
    for risks in document.get("risk_layers", {}).values():
        risks.append(0.02)
    path = folder / "sample_plus.json"
    path.write_text(json.dumps(document))
    return path
