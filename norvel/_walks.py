"""Walks through stops, and what a request chooses from a front besides
its three routes: alternative routes, and the least risky route within a
detour budget. Pure functions of the legs' exact fronts (``Router.front``
of each leg, by distance ascending); ``norvel._session`` asks the engine
for those and hands them here.

A walk's front. A walk from the origin through each stop in order to the
destination is one route of each leg's front, joined. Its costs are summed
edge by edge in travel order, as the engine sums a route: each leg's edges
continue the running sum of the legs before it (not the legs' totals
added, which could round otherwise). Its front is the Pareto-optimal set
of all such joins, found leg by leg: after each leg, a prefix that another
prefix strictly dominates (no more distance and no more risk, and less of
one) is dropped. That loses no point of the front: rounded addition is
monotone (a <= b gives fl(a + x) <= fl(b + x)), so whatever a dropped
prefix goes on with, the prefix that dominated it, going on alike, costs
no more of either; at most the two tie exactly after rounding, and then
the point is still there, with the kept prefix's path. Of joins with the
very same distance and risk, the first in the *front order* is kept: the
order of leg 1's front first, then of leg 2's, and so on (the order of
``itertools.product`` over the legs' fronts).

Choosing. Of a walk's front, the three routes are chosen as the engine
chooses them (``graph/route_selection.cpp``): the shortest (least
distance), the safest (least risk) and the balanced one (least distance /
longest distance + risk / highest risk, each normaliser at least 1.0),
each the first in the front order of its least key in IEEE totalOrder; a
route whose node path was given before is left out. A request of one leg
takes the engine's own choice, as ``Router.route`` gives it.

Alternatives are taken from the rest of the front in the order of the
balanced score (ties: front order): a candidate is taken when, for each
route given before it (the three, then the alternatives taken), its
*share* on that route is at most ``max_shared``. The share is the metres
of the candidate's edges (summed in travel order) that the given route
also takes, over the candidate's ``distance_m`` (0 for a route of no
length).

The route "within_detour" is the least risky point of the front whose
distance is at most ``(1.0 + max_detour) * shortest.distance_m``,
evaluated as written; of equal risks the shorter, then the first in front
order. It is given even when it is one of the routes before it.

All of these are chosen from the exact fronts whatever the request's eps:
the exact routes are within any factor 1 + eps of them, and a front
within a factor has no order of its own to join or choose by.
"""

from __future__ import annotations

import itertools
import struct
import time
from collections.abc import Callable, Sequence
from dataclasses import replace
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

from norvel import _requests, _values
from norvel._native import engine
from norvel._requests import Choice
from norvel.errors import RouteTimeoutError
from norvel.routes import Leg, Route, Snap
from norvel.steps import EdgeFacts

__all__ = ["Walk", "choose", "front_routes", "leg_fronts", "pair_routes",
           "routes", "walk_front", "walk_routes"]

Floats = npt.NDArray[np.float64]

#: Adding it leaves every double as it is, -0.0 too: the padding of the
#: shorter routes' edge rows.
_NOTHING = -0.0
_TYPES = ("shortest", "safest", "balanced")


class Walk(NamedTuple):
    """A point of a walk's front: its sums, and which route of each leg's
    front it joins (``picks``, indices into each leg's list)."""

    distance_m: float
    risk: float
    familiarity: float
    picks: tuple[int, ...]


def total_order_key(value: float) -> int:
    """The key by which IEEE totalOrder compares doubles, as the engine
    computes it (``graph/search_order.hpp``)."""
    (bits,) = struct.unpack("<Q", struct.pack("<d", value))
    return int(bits ^ 0xFFFF_FFFF_FFFF_FFFF if bits >> 63 else bits | 1 << 63)


def leg_fronts(graph: engine.Graph, ends: Sequence[Snap], roles: Sequence[str],
               request: _requests.Options,
               routes_of: Callable[[list[engine.RouteRow], str], list[Route]]
               ) -> list[list[Route]]:
    """The exact front of each leg between the snapped ``ends`` (of
    ``roles``, ``_requests.walk_roles``), in order, as ``routes_of`` makes
    routes of the engine's rows; ``timeout_s`` bounds them all. A failure
    is raised naming its leg (``_requests.leg_failure``)."""
    started = time.monotonic()
    fronts: list[list[Route]] = []
    for leg in range(len(ends) - 1):
        left = request.timeout_s
        if left is not None:
            left -= time.monotonic() - started
            if left <= 0.0:
                raise RouteTimeoutError(ends[0].node, ends[-1].node,
                                        request.timeout_s or 0.0)
        result = graph.front(ends[leg].node, ends[leg + 1].node, left,
                             request.risk, request.avoid)
        if isinstance(result, engine.Failure):
            if _stays(result, ends, leg):
                fronts.append([_stay(fronts[-1][0])])
                continue
            raise _requests.leg_failure(result, ends, roles, leg,
                                        request.timeout_s)
        fronts.append(routes_of(result, request.risk))
    return fronts


def _stays(failure: engine.Failure, ends: Sequence[Snap], leg: int) -> bool:
    """Whether the failed leg ``leg`` is a stop at the node the walk is
    already at, one without an outgoing edge: an empty leg all the same,
    since the walk has reached it."""
    return (leg > 0 and ends[leg].node == ends[leg + 1].node
            and failure.kind.name == "source_isolated")


def _stay(before: Route) -> Route:
    """The route of no edges at the node where ``before`` ends."""
    return replace(before, type="shortest", nodes=before.nodes[-1:],
                   coordinates=before.coordinates[-1:], distance_m=0.0,
                   risk=0.0, time_min=_values.time_min(0.0),
                   comfort=_values.comfort(0.0), familiarity=0.0, streets=[],
                   edges=[])


def routes(legs: Sequence[Sequence[Route]], facts: EdgeFacts,
           choice: Choice) -> list[Route]:
    """The routes of a request from its legs' fronts: the three, then what
    ``choice`` asks for."""
    if len(legs) == 1:
        return pair_routes(legs[0], choice, facts)
    return walk_routes(walk_front(legs, facts, facts.familiarity), legs,
                       facts, choice)


def walk_front(legs: Sequence[Sequence[Route]], facts: EdgeFacts,
               familiarity: Floats | None) -> list[Walk]:
    """The front of the walks joining one route of each of ``legs`` (each
    leg's exact front), in front order (see the module). ``facts``: the
    layer's lengths and risks per edge; ``familiarity``: per edge in
    document order, None where the graph has none (every sum then 0.0)."""
    first = legs[0]
    distance = np.array([r.distance_m for r in first], dtype=np.float64)
    risk = np.array([r.risk for r in first], dtype=np.float64)
    known = np.array([r.familiarity for r in first], dtype=np.float64)
    picks = np.arange(len(first), dtype=np.int64)[:, None]
    for leg in legs[1:]:
        edges = _edge_rows(leg)
        lengths = _per_edge(edges, facts.lengths)
        risks = _per_edge(edges, facts.risks)
        pairs = _maybe_kept(distance, risk, leg, lengths, risks)
        prefix, route = pairs // len(leg), pairs % len(leg)
        distance_all = _continued(distance[prefix], lengths[route])
        risk_all = _continued(risk[prefix], risks[route])
        kept = _pareto(distance_all, risk_all)
        prefix, route = prefix[kept], route[kept]
        distance, risk = distance_all[kept], risk_all[kept]
        known = (_continued(known[prefix], _per_edge(edges, familiarity)[route])
                 if familiarity is not None else np.zeros(len(kept)))
        picks = np.hstack([picks[prefix], route[:, None]])
    return [Walk(d, r, f, tuple(p)) for d, r, f, p in zip(
        distance.tolist(), risk.tolist(), known.tolist(), picks.tolist())]


def _edge_rows(leg: Sequence[Route]) -> npt.NDArray[np.int64]:
    """The edges of each route of a leg, a row each, padded with -1."""
    counts = np.array([len(r.edges) for r in leg], dtype=np.int64)
    rows = np.full((len(leg), int(counts.max())), -1, np.int64)
    # Row by row, in order: each row's edges fill its first places.
    rows[np.arange(rows.shape[1]) < counts[:, None]] = np.fromiter(
        itertools.chain.from_iterable(r.edges for r in leg), np.int64,
        int(counts.sum()))
    return rows


def _per_edge(edges: npt.NDArray[np.int64], values: Floats) -> Floats:
    """The value of each edge of ``edges``' rows, -0.0 for the padding."""
    return np.where(edges >= 0, values[np.maximum(edges, 0)], _NOTHING)


def _continued(prefix: Floats, values: Floats) -> Floats:
    """Each prefix sum continued by its row of ``values``, one by one. A
    running sum (``np.add.accumulate``) adds strictly in order; the rows
    are laid down the columns, so that each addition is one vector's."""
    sums = np.empty((values.shape[1] + 1, len(prefix)), dtype=np.float64)
    sums[0] = prefix
    sums[1:] = values.T
    running: Floats = np.add.accumulate(sums, axis=0)[-1]
    return running


def _maybe_kept(distance: Floats, risk: Floats, leg: Sequence[Route],
                lengths: Floats, risks: Floats) -> npt.NDArray[np.int64]:
    """The joins (prefix x leg routes + route, ascending) that may be on
    the front after this leg: all but those certainly dominated.

    A join's running sum differs from the prefix plus the route's own
    total (both summed in order) by at most about 2(n + 1) units in the
    last place of |prefix| + the sum of |value| over the route's n edges
    (the usual bound of recursive summation, twice, and one addition);
    taken 8(n + 2) units, the interval holds the running sum whatever the
    rounding. A join whose interval lies wholly above another's in both
    distance and risk is strictly dominated by it, and needs no exact
    sum. Where a value is not finite every join is summed."""
    count = np.array([len(r.edges) for r in leg], dtype=np.float64)
    margin = 8.0 * (count + 2.0) * 2.0**-53
    bounds = []
    for prefix, values, totals in ((distance, lengths, [r.distance_m for r in leg]),
                                   (risk, risks, [r.risk for r in leg])):
        middle = (prefix[:, None] + np.array(totals)[None, :]).ravel()
        spread = (margin[None, :] * (np.abs(prefix)[:, None]
                                     + np.abs(values).sum(axis=1)[None, :])).ravel()
        bounds.append((middle - spread, middle + spread))
    (low_d, high_d), (low_r, high_r) = bounds
    every = np.arange(len(low_d), dtype=np.int64)
    if not all(np.isfinite(b).all() for pair in bounds for b in pair):
        return every
    order = np.argsort(high_d, kind="stable")
    least_risk = np.minimum.accumulate(high_r[order])
    # Of the joins surely shorter than each, the least risk they surely
    # stay under.
    shorter = np.searchsorted(high_d[order], low_d, side="left")
    dominated = (shorter > 0) & (least_risk[np.maximum(shorter - 1, 0)] < low_r)
    kept: npt.NDArray[np.int64] = every[~dominated]
    return kept


def _pareto(distance: Floats, risk: Floats) -> npt.NDArray[np.int64]:
    """The indices, ascending, of the points no other point strictly
    dominates, of equal points the first."""
    if np.isnan(distance).any() or np.isnan(risk).any():
        return _pareto_slow(distance, risk)
    count = len(distance)
    order = np.lexsort((np.arange(count), risk, distance))
    sorted_risk = risk[order]
    # Each point after the first is kept when its risk is below that of
    # every point before it in (distance, risk, index) order: those are
    # the points no longer than it, and of its length no less risky.
    kept = np.empty(count, dtype=bool)
    kept[0] = True
    kept[1:] = sorted_risk[1:] < np.minimum.accumulate(sorted_risk)[:-1]
    return np.sort(order[kept])


def _pareto_slow(distance: Floats, risk: Floats) -> npt.NDArray[np.int64]:
    """``_pareto`` where a NaN sum is: a NaN never dominates and is never
    dominated, as in the engine's fronts."""
    d, r = distance.tolist(), risk.tolist()
    kept: list[int] = []
    for i in range(len(d)):
        if any(_dominates(d[j], r[j], d[i], r[i]) for j in range(len(d))):
            continue
        if any(_same(d[j], r[j], d[i], r[i]) for j in kept):
            continue
        kept.append(i)
    return np.array(kept, dtype=np.int64)


def _dominates(d1: float, r1: float, d2: float, r2: float) -> bool:
    return d1 <= d2 and r1 <= r2 and (d1 < d2 or r1 < r2)


def _same(d1: float, r1: float, d2: float, r2: float) -> bool:
    return (total_order_key(d1) == total_order_key(d2)
            and total_order_key(r1) == total_order_key(r2))


def walk_route(walk: Walk, legs: Sequence[Sequence[Route]], kind: str,
               facts: EdgeFacts) -> Route:
    """The ``Route`` of a point of a walk's front, typed ``kind``."""
    parts = [leg[pick] for leg, pick in zip(legs, walk.picks)]
    nodes, coordinates, edges = list(parts[0].nodes), list(parts[0].coordinates), list(parts[0].edges)
    streets = list(parts[0].streets)
    marks = [Leg(0, len(nodes) - 1, parts[0].distance_m, parts[0].risk, parts[0].time_min)]
    for part in parts[1:]:
        start = len(nodes) - 1
        nodes += part.nodes[1:]
        coordinates += part.coordinates[1:]
        edges += part.edges
        # A name once a stretch, as the engine lists a route's streets.
        names = part.streets
        streets += names[1:] if streets and names and names[0] == streets[-1] else names
        marks.append(Leg(start, len(nodes) - 1, part.distance_m, part.risk, part.time_min))
    return Route(kind, nodes, coordinates, walk.distance_m, walk.risk,
                 _values.time_min(walk.distance_m), _values.comfort(walk.risk),
                 walk.familiarity, streets, edges, facts, tuple(marks))


def choose(points: Sequence[Walk]) -> tuple[int, int, int]:
    """The positions in ``points`` (a front in front order) of the
    shortest, the safest and the balanced route."""
    if len(points) <= 1:
        return 0, 0, 0
    distance, risk = _sums_of(points)
    # argmin gives the first of equal keys.
    return (int(np.argmin(total_order_keys(distance))),
            int(np.argmin(total_order_keys(risk))),
            int(np.argmin(balance_keys(distance, risk))))


def _sums_of(points: Sequence[Walk] | Sequence[Route]) -> tuple[Floats, Floats]:
    return (np.array([p.distance_m for p in points], dtype=np.float64),
            np.array([p.risk for p in points], dtype=np.float64))


def total_order_keys(values: Floats) -> npt.NDArray[np.uint64]:
    """``total_order_key`` of each value."""
    bits = np.ascontiguousarray(values, dtype=np.float64).view(np.uint64)
    keys: npt.NDArray[np.uint64] = np.where(
        (bits >> np.uint64(63)) != 0, ~bits, bits | np.uint64(1 << 63))
    return keys


def balance_keys(distance: Floats, risk: Floats) -> npt.NDArray[np.uint64]:
    """The balanced score's totalOrder key of each point of a front: two
    divisions by the front's normalisers (its longest distance and highest
    risk, IEEE maxNum: a NaN passed over, each at least 1.0), then their
    sum, as the engine evaluates it (each an IEEE operation, vector or
    not)."""
    longest = float(np.fmax.reduce(np.append(distance, 1.0)))
    riskiest = float(np.fmax.reduce(np.append(risk, 1.0)))
    return total_order_keys(distance / longest + risk / riskiest)


def front_routes(legs: Sequence[Sequence[Route]],
                 facts: EdgeFacts) -> list[Route]:
    """Every point of the front of the walks joining the legs' fronts as a
    route, by distance ascending, typed as ``Router.front`` types a
    pair's: "shortest", "safest" or "balanced" where ``route`` chooses it
    (the first of these), "front" otherwise."""
    front = walk_front(legs, facts, facts.familiarity)
    chosen = choose(front)
    kinds = {at: kind for kind, at in reversed(list(zip(_TYPES, chosen)))}
    distance, risk = _sums_of(front)
    order = np.lexsort((total_order_keys(risk), total_order_keys(distance)))
    return [walk_route(front[at], legs, kinds.get(at, "front"), facts)
            for at in order.tolist()]


def walk_routes(front: list[Walk], legs: Sequence[Sequence[Route]],
                facts: EdgeFacts, choice: Choice) -> list[Route]:
    """A walk's routes: the three, then what ``choice`` asks for."""
    chosen = choose(front)
    extras = bool(choice.alternatives) or choice.max_detour is not None
    made = {at: walk_route(front[at], legs, "front", facts)
            for at in (range(len(front)) if extras else sorted(set(chosen)))}
    routes: list[Route] = []
    for kind, at in zip(_TYPES, chosen):
        route = replace(made[at], type=kind)
        if all(given.nodes != route.nodes for given in routes):
            routes.append(route)
    if not extras:
        return routes
    return with_extras(routes, [made[at] for at in range(len(front))],
                       set(chosen), choice, facts)


def pair_routes(front: Sequence[Route], choice: Choice,
                facts: EdgeFacts) -> list[Route]:
    """A pair's routes from its exact front (``Router.front``): the three
    as the engine chose them, then what ``choice`` asks for."""
    routes: list[Route] = []
    for kind in _TYPES:
        route = next((r for r in front if r.type == kind), None)
        # The engine leaves out a path given before, even of other edges.
        if route is not None and all(r.nodes != route.nodes for r in routes):
            routes.append(route)
    chosen = {at for at, r in enumerate(front) if r.type in _TYPES}
    return with_extras(routes, list(front), chosen, choice, facts)


def with_extras(routes: list[Route], front: list[Route], chosen: set[int],
                choice: Choice, facts: EdgeFacts) -> list[Route]:
    """``routes`` (the three) followed by the alternatives and the route
    within the detour that ``choice`` asks for, from ``front`` (every point,
    in front order; ``chosen``: the positions of the three)."""
    extras: list[Route] = []
    if choice.alternatives:
        extras += alternatives(front, chosen, routes, choice, facts)
    if choice.max_detour is not None:
        within = within_detour(front, routes[0], choice.max_detour)
        if within is not None:
            extras.append(replace(within, type="within_detour"))
    return routes + extras


def alternatives(front: list[Route], chosen: set[int], given: list[Route],
                 choice: Choice, facts: EdgeFacts) -> list[Route]:
    """Up to ``choice.alternatives`` routes of ``front`` other than the
    ``chosen`` positions, by the module's rule, typed "alternative"."""
    keys = balance_keys(*_sums_of(front))
    order = [at for at in np.argsort(keys, kind="stable").tolist()
             if at not in chosen]
    lengths = facts.lengths
    taken: list[Route] = []
    used = [set(route.edges) for route in given]
    for at in order:
        if len(taken) == choice.alternatives:
            break
        candidate = front[at]
        if all(share(candidate, edges, lengths) <= choice.max_shared
               for edges in used):
            taken.append(replace(candidate, type="alternative"))
            used.append(set(candidate.edges))
    return taken


def share(route: Route, edges: set[int], lengths: Floats) -> float:
    """The share of ``route``'s length on ``edges``: the metres of its
    edges among them, summed in travel order, over its ``distance_m``."""
    shared = 0.0
    for edge in route.edges:
        if edge in edges:
            shared += float(lengths[edge])
    return shared / route.distance_m if route.distance_m else 0.0


def within_detour(front: list[Route], shortest: Route,
                  max_detour: float) -> Route | None:
    """The least risky route of ``front`` (in front order) within the
    detour budget (see the module); None where none is (a front of
    negative or NaN distances)."""
    budget = (1.0 + max_detour) * shortest.distance_m
    inside = [(total_order_key(r.risk), total_order_key(r.distance_m), at)
              for at, r in enumerate(front) if r.distance_m <= budget]
    return front[min(inside)[2]] if inside else None
