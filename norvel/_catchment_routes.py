"""The routes of a node of a catchment (``Catchment.route``): the
requests between the node and a place that give the catchment's walks,
with their paths and streets, on the catchment's layer and avoiding its
edges."""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import replace
from typing import TYPE_CHECKING, NamedTuple

from norvel import _avoid, _requests

if TYPE_CHECKING:
    from norvel._engine import CatchmentColumns
    from norvel._session import Session
    from norvel.routes import Route, Routes

__all__ = ["DETOUR", "PLACES", "TOTALS", "Asked", "routes", "several_routes"]

#: The route totals of each node, in the engine's column names.
TOTALS = ("shortest_m", "shortest_risk", "safest_m", "safest_risk",
          "balanced_m", "balanced_risk")
#: Which place each route goes to.
PLACES = ("shortest_place", "safest_place", "balanced_place")
#: The least risky walk within the detour budget, where one was asked.
DETOUR = ("within_detour_m", "within_detour_risk")

_KINDS = ("shortest", "safest", "balanced")


class Asked(NamedTuple):
    """What a catchment was asked on: its session, the walks' direction
    ("to" or "from" the place), its layer (``at=`` resolved), the edges
    it avoided (resolved indices) and its detour budget."""

    session: Session
    direction: str
    risk: str
    avoid: _avoid.EdgeIndices | None
    max_detour: float | None

    def ends(self, node: int, place: int) -> tuple[int, int]:
        """The request's ends, in the walks' direction."""
        return (node, place) if self.direction == "to" else (place, node)

    def request(self) -> _requests.Options:
        """The options of each request: the layer and the avoided edges."""
        return self.session.options(risk=self.risk, avoid=self.avoid)

    def front(self, node: int, place: int) -> list[Route]:
        """``router.front`` between the node and the place."""
        return self.session.front(*self.ends(node, place), self.request()).routes

    def routes(self, node: int, place: int, *, within_detour: bool) -> Routes:
        """``router.route`` between the node and the place; with
        ``within_detour``, its route "within_detour" of the catchment's
        budget too."""
        choice = _requests.choice(
            max_detour=self.max_detour if within_detour else None)
        return self.session.walk(*self.ends(node, place), self.request(), choice)


def routes(asked: Asked, node: int, place: int) -> Routes:
    """The routes of ``node`` of a catchment of the one ``place``:
    ``router.route``'s own, with the catchment's budget."""
    return asked.routes(node, place, within_detour=True)


def several_routes(asked: Asked, places: Sequence[int],
                   columns: CatchmentColumns, row: int, node: int
                   ) -> list[tuple[int, Route]]:
    """The routes of ``node`` (at ``row`` of the catchment's ``columns``)
    of a catchment of several ``places`` (node ids), as ``Catchment.route``
    gives them."""
    # Each pair's routes and front are asked once: the three routes often
    # go to one place, and the walk within the budget too.
    pair_routes: dict[int, Routes] = {}
    fronts: dict[int, list[Route]] = {}

    def front(index: int) -> list[Route]:
        if index not in fronts:
            fronts[index] = asked.front(node, places[index])
        return fronts[index]

    chosen: list[tuple[int, Route]] = []
    for kind, (name_m, name_risk), place_name in zip(
            _KINDS, zip(TOTALS[::2], TOTALS[1::2]), PLACES):
        index = int(columns[place_name][row])  # type: ignore[literal-required]
        totals = (float(columns[name_m][row]),  # type: ignore[literal-required]
                  float(columns[name_risk][row]))  # type: ignore[literal-required]
        if any(index == seen and totals == (route.distance_m, route.risk)
               for seen, route in chosen):
            continue
        if index not in pair_routes:
            pair_routes[index] = asked.routes(node, places[index],
                                              within_detour=False)
        match = [route for route in pair_routes[index]
                 if (route.distance_m, route.risk) == totals]
        if not match:
            match = [replace(route, type=kind) for route in front(index)
                     if (route.distance_m, route.risk) == totals]
        if match:
            by_type = [route for route in match if route.type == kind]
            chosen.append((index, (by_type or match)[0]))
    if asked.max_detour is not None:
        chosen += _within_detour(columns, row, front)
    return chosen


def _within_detour(columns: CatchmentColumns, row: int,
                   front: Callable[[int], list[Route]]
                   ) -> list[tuple[int, Route]]:
    """The node's walk within the detour budget, as (place index, Route):
    the point of its pair's front (``front(place index)``) with the node's
    totals, which ``router.route`` types "within_detour" where the budget
    leads it there; none where the node has no such walk."""
    place = float(columns["within_detour_place"][row])
    if math.isnan(place):
        return []
    index = int(place)
    totals = (float(columns["within_detour_m"][row]),
              float(columns["within_detour_risk"][row]))
    return [(index, replace(route, type="within_detour"))
            for route in front(index)
            if (route.distance_m, route.risk) == totals][:1]
