"""A map picture of routes over the street network (needs matplotlib:
``pip install 'norvel_core[plot]'``).

    router = norvel.Router.from_file("graph.json.gz")
    routes = router.route(origin, destination)
    norvel.plot.save_map("routes.png", routes, router)

The streets come from the router (or its ``NodeTable``; a parsed graph
document is loaded into a router first), each pair of nodes drawn once
whichever the direction of its edges; the routes may be ``Routes``,
``Route`` or ``PyRouteResult`` objects (whose paths take their coordinates
from the same router, see ``norvel.geo.as_route``).
"""

from __future__ import annotations

import json
import math
import os
from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from norvel._extras import require

require("norvel.plot", "plot", "matplotlib")

from matplotlib.axes import Axes
from matplotlib.collections import LineCollection
from matplotlib.figure import Figure

from norvel.geo import (AnyRoute, LonLat, as_route, route_line,
                        route_properties)
from norvel.router import Router
from norvel.routes import Route
from norvel.table import NodeTable, Segments

#: Where the streets come from: a router, its table or a parsed document.
Streets = Router | NodeTable | Any

#: Okabe-Ito colours, told apart with any colour vision. Where routes share
#: streets the wider line lies below, so every route stays visible.
ROUTE_STYLE: dict[str, tuple[str, float]] = {
    "shortest": ("#E69F00", 7.0),
    "balanced": ("#0072B2", 4.5),
    "safest": ("#009E73", 2.5),
}
_OTHER_STYLE = ("#CC79A7", 2.0)
#: Colour of the street network under the routes.
STREET_COLOUR = "#b0b0b0"
#: Share of the routes' extent shown around them.
VIEW_MARGIN = 0.15


def route_label(route: AnyRoute) -> str:
    """The legend's text of a route: its type, metres and risk."""
    about = route_properties(route)
    return (f"{about['type']}: {about['distance_m']:,.0f} m, "
            f"risk {about['risk']:.3f}")


def street_table(streets: Streets) -> NodeTable:
    """The table whose edges are the streets: a router's, the table itself,
    or that of a parsed graph document (ValueError when it is none)."""
    if isinstance(streets, Router):
        return streets.table
    if isinstance(streets, NodeTable):
        return streets
    return Router.from_json(json.dumps(streets)).table


def _in_view(segments: Segments, view: tuple[float, float, float, float]
             ) -> list[npt.NDArray[np.float64]]:
    """The segments with an end in view, each a (2, 2) array of its ends'
    (lon, lat)."""
    west, east, south, north = view

    def inside(points: npt.NDArray[np.float64]) -> npt.NDArray[np.bool_]:
        lons, lats = points[:, 0], points[:, 1]
        return (west <= lons) & (lons <= east) & (south <= lats) & (lats <= north)

    shown = inside(segments.starts) | inside(segments.ends)
    return list(np.stack((segments.starts[shown], segments.ends[shown]), axis=1))


def draw_routes(ax: Axes, routes: Iterable[AnyRoute], streets: Streets) -> None:
    """Draws the street network thin and grey, the routes over it in their
    colours, start and end marks and a legend, framed on the routes.
    ``streets``: the router (or its table, or the parsed graph document),
    which also places the paths of ``PyRouteResult`` routes. ValueError
    when there is no route."""
    table = street_table(streets)
    drawn = [as_route(route, table) for route in routes]
    if not drawn:
        raise ValueError("no route to draw")
    lines = [route_line(route) for route in drawn]
    view = _view([p for line in lines for p in line])
    ax.add_collection(LineCollection(
        _in_view(table.segments(one_per_pair=True), view),
        colors=STREET_COLOUR, linewidths=0.5, zorder=1))
    # The widest first, so that every route stays visible.
    order = sorted(range(len(drawn)), key=lambda i: -_style(drawn[i])[1])
    for layer, i in enumerate(order):
        colour, width = _style(drawn[i])
        lons, lats = zip(*lines[i])
        ax.plot(lons, lats, color=colour, linewidth=width, alpha=0.9,
                solid_capstyle="round", solid_joinstyle="round",
                label=route_label(drawn[i]), zorder=2 + layer)
    start, end = lines[0][0], lines[0][-1]
    top = 3 + len(order)
    ax.plot(*start, marker="o", markersize=10, color="white",
            markeredgecolor="black", markeredgewidth=2, linestyle="none",
            label="start", zorder=top)
    ax.plot(*end, marker="s", markersize=9, color="black", linestyle="none",
            label="end", zorder=top)

    west, east, south, north = view
    ax.set_xlim(west, east)
    ax.set_ylim(south, north)
    # Degrees of longitude shrink towards the poles: keep metres square.
    ax.set_aspect(1.0 / math.cos(math.radians((south + north) / 2)))
    ax.set_xlabel("longitude")
    ax.set_ylabel("latitude")
    ax.tick_params(labelsize=7)
    ax.ticklabel_format(useOffset=False)
    ax.legend(loc="best", fontsize=8, framealpha=0.9)


def _style(route: Route) -> tuple[str, float]:
    return ROUTE_STYLE.get(route.type, _OTHER_STYLE)


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


def save_map(path: str | os.PathLike[str], routes: Iterable[AnyRoute],
             streets: Streets, *, title: str | None = None,
             attribution: str | None = None, dpi: int = 150) -> None:
    """Writes the map picture of ``draw_routes`` (with a title and an
    attribution line when given); the format follows the file name (.png,
    .svg, .pdf)."""
    figure = Figure(figsize=(8, 8), layout="constrained")
    ax = figure.add_subplot()
    draw_routes(ax, routes, streets)
    if title:
        ax.set_title(title, fontsize=10)
    if attribution:
        figure.text(0.995, 0.005, attribution, ha="right", va="bottom",
                    fontsize=6, color="#555555")
    figure.savefig(path, dpi=dpi)
