"""A reference for norvel.access's search, independent of the engine's: a
bi-objective label-setting search in Python over every place at once,
for graphs too large to list every path of."""

from __future__ import annotations

import heapq
import math

import numpy as np

from norvel import _access_walks
from norvel.catchment import WALKING_SPEED_M_PER_MIN


def place_fronts(router, nodes, places, cutoffs, direction, risk):
    """The ``Fronts`` of the walks between each of ``nodes`` and any of
    ``places`` (node ids, repeats allowed), to the places (``direction``
    "to") or from them ("from"), on the risk layer ``risk``; a point is
    within a cutoff when its distance_m / 66.67 is at most the cutoff's
    minutes.

    A bi-objective label-setting search from every place at
    once (backwards along the edges for walks to the places) over the
    whole graph, in lexicographic (distance, risk, place) order. A label
    taken off the queue is on its node's front exactly when it is less
    risky than every label its node kept before, since those are no
    longer; so each node keeps its front in ascending distance, the first
    point the shortest and the last the safest, with the lower place
    first among equal costs. Sums run from the place outwards: walks from
    the places have the totals of their routes, walks to them may differ
    from their route's, summed from its start, in the last bits."""
    graph = router.session.engine
    # The layer's risks come in the document's order of edges; the search
    # walks the engine's outgoing rows.
    lengths, risks = graph.lengths, graph.layer_risks(risk)[graph.edge_index]
    if not (np.isfinite(lengths).all() and np.isfinite(risks).all()
            and (lengths >= 0.0).all() and (risks >= 0.0).all()):
        raise ValueError("access needs finite, non-negative distances and "
                         "risks, and this graph has a negative, infinite or "
                         "NaN one")
    begin = graph.out_begin.astype(np.int64)
    tails = np.repeat(np.arange(len(begin) - 1, dtype=np.int64), np.diff(begin))
    heads = graph.heads.astype(np.int64)
    starts, ends = (heads, tails) if direction == "to" else (tails, heads)
    order = np.argsort(starts, kind="stable")
    # Per node, the edges the search follows from it: next node, metres, risk.
    bounds = np.searchsorted(starts[order], np.arange(len(begin))).tolist()
    step_to = ends[order].tolist()
    step_m = lengths[order].tolist()
    step_risk = risks[order].tolist()

    dense = graph.node_index(nodes).tolist()
    wanted = set(dense)
    least_risk = [math.inf] * (len(begin) - 1)
    kept: dict[int, list[tuple[float, float, int]]] = {}
    queue = [(0.0, 0.0, index, node) for index, node in
             enumerate(graph.node_index(places).tolist())]
    heapq.heapify(queue)
    while queue:
        metres, risk_sum, index, node = heapq.heappop(queue)
        if not risk_sum < least_risk[node]:
            continue
        least_risk[node] = risk_sum
        if node in wanted:
            kept.setdefault(node, []).append((metres, risk_sum, index))
        for edge in range(bounds[node], bounds[node + 1]):
            onward_risk = risk_sum + step_risk[edge]
            head = step_to[edge]
            if onward_risk < least_risk[head]:
                heapq.heappush(queue, (metres + step_m[edge], onward_risk,
                                       index, head))

    count = len(nodes)
    best = np.full((4, count), np.nan)
    chosen = np.full((2, count), -1, dtype=np.int64)
    within = np.full((count, len(cutoffs)), np.nan)
    for at, node in enumerate(dense):
        front = kept.get(node)
        if not front:
            continue
        best[:, at] = (*front[0][:2], *front[-1][:2])
        chosen[:, at] = (front[0][2], front[-1][2])
        for metres, risk_sum, _ in front:
            for column, cutoff in enumerate(cutoffs):
                if metres / WALKING_SPEED_M_PER_MIN <= cutoff:
                    within[at, column] = risk_sum
    return _access_walks.Fronts(best[0], best[1], chosen[0], best[2], best[3], chosen[1],
                   within)
