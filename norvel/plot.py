"""A map picture of routes over the street network (needs matplotlib:
``pip install 'norvel_core[plot]'``).

    router = norvel.Router.from_file("graph.json.gz")
    routes = router.route(origin, destination)
    norvel.plot.save_map("routes.png", routes, router)

The streets come from the router (or its ``NodeTable``, or a parsed graph
document); the routes may be ``Routes``, ``Route`` or ``PyRouteResult``
objects.
"""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from typing import Any

import numpy as np

from norvel._extras import require

require("norvel.plot", "plot", "matplotlib")

from matplotlib.axes import Axes
from matplotlib.collections import LineCollection
from matplotlib.figure import Figure
from norvel_core import PyRouteResult

from norvel.geo import (Coordinates, LonLat, node_coordinates, route_line,
                        street_edges)
from norvel.router import Route, Router
from norvel.table import NodeTable

AnyRoute = PyRouteResult | Route
# Where the streets come from: a router, its table or a parsed document.
Streets = Router | NodeTable | Any

# Okabe-Ito colours, told apart with any colour vision. Where routes share
# streets the wider line lies below, so every route stays visible.
ROUTE_STYLE: dict[str, tuple[str, float]] = {
    "shortest": ("#E69F00", 7.0),
    "balanced": ("#0072B2", 4.5),
    "safest": ("#009E73", 2.5),
}
_OTHER_STYLE = ("#CC79A7", 2.0)
STREET_COLOUR = "#b0b0b0"
# Share of the routes' extent shown around them.
VIEW_MARGIN = 0.15


def _kind(route: AnyRoute) -> str:
    return route.type if isinstance(route, Route) else route.route_type


def route_label(route: AnyRoute) -> str:
    if isinstance(route, Route):
        distance, risk = route.distance_m, route.risk
    else:
        distance, risk = route.total_distance_m, route.total_risk
    return f"{_kind(route)}: {distance:,.0f} m, risk {risk:.3f}"


def _street_lines(streets: Streets) -> tuple[Coordinates | NodeTable,
                                             list[tuple[LonLat, LonLat]]]:
    """(coordinate lookup, every edge as a pair of (lon, lat))."""
    if isinstance(streets, Router):
        streets = streets.table
    if isinstance(streets, NodeTable):
        tails, heads = streets.edges
        # Ends that are no node have no place on the map.
        known = np.isin(tails, streets.ids) & np.isin(heads, streets.ids)
        where_tail = np.searchsorted(streets.ids, tails[known])
        where_head = np.searchsorted(streets.ids, heads[known])
        lines = list(zip(zip(streets.lons[where_tail].tolist(),
                             streets.lats[where_tail].tolist()),
                         zip(streets.lons[where_head].tolist(),
                             streets.lats[where_head].tolist())))
        return streets, lines
    coordinates = node_coordinates(streets)
    pairs = []
    for source, target in street_edges(streets):
        a, b = coordinates.get(source), coordinates.get(target)
        if a is not None and b is not None:
            pairs.append((a, b))
    return coordinates, pairs


def draw_routes(ax: Axes, routes: Sequence[AnyRoute], streets: Streets) -> None:
    """Draws the street network thin and grey, the routes over it in their
    colours, start and end marks and a legend, framed on the routes.
    ``streets``: the router (or its table, or the parsed graph document)."""
    coordinates, edges = _street_lines(streets)
    lines = {id(route): route_line(route, coordinates) for route in routes}
    points = [p for line in lines.values() for p in line]
    if not points:
        raise ValueError("no route to draw")
    west, east, south, north = _view(points)

    def in_view(p: LonLat) -> bool:
        return west <= p[0] <= east and south <= p[1] <= north

    shown = [[a, b] for a, b in edges if in_view(a) or in_view(b)]
    ax.add_collection(LineCollection(shown, colors=STREET_COLOUR,
                                     linewidths=0.5, zorder=1))
    ordered = sorted(routes, key=lambda r: -ROUTE_STYLE.get(
        _kind(r), _OTHER_STYLE)[1])
    for layer, route in enumerate(ordered):
        colour, width = ROUTE_STYLE.get(_kind(route), _OTHER_STYLE)
        lons, lats = zip(*lines[id(route)])
        ax.plot(lons, lats, color=colour, linewidth=width, alpha=0.9,
                solid_capstyle="round", solid_joinstyle="round",
                label=route_label(route), zorder=2 + layer)
    start, end = lines[id(routes[0])][0], lines[id(routes[0])][-1]
    top = 3 + len(ordered)
    ax.plot(*start, marker="o", markersize=10, color="white",
            markeredgecolor="black", markeredgewidth=2, linestyle="none",
            label="start", zorder=top)
    ax.plot(*end, marker="s", markersize=9, color="black", linestyle="none",
            label="end", zorder=top)

    ax.set_xlim(west, east)
    ax.set_ylim(south, north)
    # Degrees of longitude shrink towards the poles: keep metres square.
    ax.set_aspect(1.0 / math.cos(math.radians((south + north) / 2)))
    ax.set_xlabel("longitude")
    ax.set_ylabel("latitude")
    ax.tick_params(labelsize=7)
    ax.ticklabel_format(useOffset=False)
    ax.legend(loc="best", fontsize=8, framealpha=0.9)


def _view(points: Sequence[LonLat]) -> tuple[float, float, float, float]:
    """(west, east, south, north): the routes with a margin, widened to a
    square on the ground so that a square picture has no empty bands."""
    lons = [p[0] for p in points]
    lats = [p[1] for p in points]
    shrink = math.cos(math.radians((min(lats) + max(lats)) / 2))
    # In degrees of latitude; a route of a few metres still gets a street
    # or two around it.
    side = max((max(lons) - min(lons)) * shrink, max(lats) - min(lats))
    side = max(side * (1.0 + 2.0 * VIEW_MARGIN), 0.002)
    mid_lon, mid_lat = (min(lons) + max(lons)) / 2, (min(lats) + max(lats)) / 2
    half_lon, half_lat = side / shrink / 2, side / 2
    return (mid_lon - half_lon, mid_lon + half_lon,
            mid_lat - half_lat, mid_lat + half_lat)


def save_map(path: str | os.PathLike[str], routes: Sequence[AnyRoute],
             streets: Streets, *, title: str | None = None,
             attribution: str | None = None, dpi: int = 150) -> None:
    """Writes the map picture; the format follows the file name (.png, .svg,
    .pdf)."""
    figure = Figure(figsize=(8, 8), layout="constrained")
    ax = figure.add_subplot()
    draw_routes(ax, routes, streets)
    if title:
        ax.set_title(title, fontsize=10)
    if attribution:
        figure.text(0.995, 0.005, attribution, ha="right", va="bottom",
                    fontsize=6, color="#555555")
    figure.savefig(path, dpi=dpi)
