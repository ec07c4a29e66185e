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
``itertools.product`` over the legs' fronts). A NaN sum neither
dominates nor is dominated; where a leg's joins have one, joins are the
same only when their sums' bits are (so -0.0 and 0.0 differ there, and not elsewhere).
The engine joins them (``engine.join_walks``, ``graph/walk_join.cpp``).

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

__all__ = ["WalkFront", "choose", "front_routes", "leg_fronts", "pair_routes",
           "routes", "walk_front", "walk_routes"]

Floats = npt.NDArray[np.float64]

_TYPES = ("shortest", "safest", "balanced")


class WalkFront(NamedTuple):
    """A walk's front, point by point in front order: its sums, and which
    route of each leg's front it joins (``picks``, a row per point of
    indices into each leg's list). Kept as the engine's arrays: a request
    makes routes of the few points it gives, not of every point."""

    distance_m: Floats
    risk: Floats
    familiarity: Floats
    picks: npt.NDArray[np.int64]

    def __len__(self) -> int:
        return int(self.distance_m.size)


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
               familiarity: Floats | None) -> WalkFront:
    """The front of the walks joining one route of each of ``legs`` (each
    leg's exact front), in front order (see the module), joined by the
    engine (``engine.join_walks``). ``facts``: the layer's lengths and
    risks per edge; ``familiarity``: per edge in document order, None
    where the graph has none (every sum then 0.0)."""
    first = legs[0]
    picks, distance, risk, known = engine.join_walks(
        [r.distance_m for r in first], [r.risk for r in first],
        [r.familiarity for r in first],
        [[r.edges for r in leg] for leg in legs[1:]],
        facts.lengths, facts.risks, familiarity)
    return WalkFront(distance, risk, known, picks)


def walk_route(front: WalkFront, at: int, legs: Sequence[Sequence[Route]],
               kind: str, facts: EdgeFacts) -> Route:
    """The ``Route`` of the point ``at`` of a walk's front, typed
    ``kind``."""
    parts = [leg[pick] for leg, pick in zip(legs, front.picks[at].tolist())]
    distance_m = float(front.distance_m[at])
    risk = float(front.risk[at])
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
    return Route(kind, nodes, coordinates, distance_m, risk,
                 _values.time_min(distance_m), _values.comfort(risk),
                 float(front.familiarity[at]), streets, edges, facts,
                 tuple(marks))


def choose(distance: Floats, risk: Floats) -> tuple[int, int, int]:
    """The positions in a front (in front order) of the shortest, the
    safest and the balanced route, from its points' sums."""
    if distance.size <= 1:
        return 0, 0, 0
    # argmin gives the first of equal keys.
    return (int(np.argmin(total_order_keys(distance))),
            int(np.argmin(total_order_keys(risk))),
            int(np.argmin(balance_keys(distance, risk))))


def _sums_of(points: Sequence[Route]) -> tuple[Floats, Floats]:
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
    chosen = choose(front.distance_m, front.risk)
    kinds = {at: kind for kind, at in reversed(list(zip(_TYPES, chosen)))}
    order = np.lexsort((total_order_keys(front.risk),
                        total_order_keys(front.distance_m)))
    return [walk_route(front, at, legs, kinds.get(at, "front"), facts)
            for at in order.tolist()]


def walk_routes(front: WalkFront, legs: Sequence[Sequence[Route]],
                facts: EdgeFacts, choice: Choice) -> list[Route]:
    """A walk's routes: the three, then what ``choice`` asks for."""
    chosen = choose(front.distance_m, front.risk)
    extras = bool(choice.alternatives) or choice.max_detour is not None
    made = {at: walk_route(front, at, legs, "front", facts)
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
