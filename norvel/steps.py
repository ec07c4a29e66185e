"""Directions: a route as the steps a walker follows, and as the encoded
polylines and GPX that navigation apps exchange.

A route knows the edges it took (``Route.edges``, document indices in
travel order). ``EdgeFacts`` holds what steps read of each edge (length,
risk, street name, the way's ``highway`` class where the document has one),
and ``route_steps`` cuts a route's edges into ``Step`` records.

Where a step starts: at the first edge; then wherever the street name
changes (an unnamed edge counts as a name of its own); on an unnamed way
also where the walk turns by more than ``UNNAMED_TURN_DEG``; and anywhere
it turns back by ``UTURN_DEG`` or more. Consecutive edges of one street stay
one step over smaller kinks. A step's modifier is the change of bearing at
its start, clockwise positive: below ``STRAIGHT_DEG`` either way is
"straight", below ``SLIGHT_DEG`` "slight left/right", below ``SHARP_DEG``
"left/right", below ``UTURN_DEG`` "sharp left/right", and from there on
"uturn". A new step that does not turn (straight) is a ``continue``, any
other a ``turn``; the first is ``depart`` and a last one, of no edges at
the destination, ``arrive``.

A walk through stops (``Router.route(via=...)``) also starts a step where
each leg starts, and has a ``via`` step of no edges where each leg ends,
after the step that ends there. A route of no edges, or whose first stop
is its origin, departs with a step of no edges ("Depart from your
origin"), so that ``depart`` stays first.
"""

from __future__ import annotations

import math
import threading
from collections.abc import Sequence
from dataclasses import asdict, dataclass
from functools import cached_property
from html import escape
from typing import TYPE_CHECKING, Any, Literal, Protocol

import numpy as np
import numpy.typing as npt

from norvel._geojson import RouteTotals
from norvel._values import DEFAULT_RISK, WALKING_SPEED_M_PER_MIN
from norvel.table import LatLon, LonLat, NodeTable, in_document_order

if TYPE_CHECKING:
    from norvel._engine import Graph
    from norvel._files import EdgeTags

__all__ = ["SHARP_DEG", "SLIGHT_DEG", "STRAIGHT_DEG", "UNNAMED_TURN_DEG",
           "UTURN_DEG", "EdgeFacts", "Step", "encode_polyline",
           "route_steps"]

#: A change of bearing below this, either way, goes straight on.
STRAIGHT_DEG = 20.0
#: Below this a turn is slight ...
SLIGHT_DEG = 60.0
#: ... below this a plain left or right ...
SHARP_DEG = 120.0
#: ... below this sharp, and from this on a U-turn.
UTURN_DEG = 170.0
#: On a way without a name, a turn by more than this starts a new step.
UNNAMED_TURN_DEG = 40.0

Kind = Literal["depart", "turn", "continue", "via", "arrive"]
Modifier = Literal["straight", "slight left", "left", "sharp left", "uturn",
                   "slight right", "right", "sharp right"]

#: How an instruction names a ``highway`` class that reads badly as it is.
_WAY_WORDS = {"pedestrian": "pedestrian street", "living_street":
              "living street", "steps": "steps", "footway": "footway",
              "path": "path", "cycleway": "cycleway", "track": "track"}
_COMPASS = ("north", "northeast", "east", "southeast", "south", "southwest",
            "west", "northwest")


@dataclass(frozen=True)
class Step:
    """One step of a route's directions.

    ``kind``: "depart", "turn", "continue", "via" (a stop reached) or
    "arrive"; ``modifier``: from the change of bearing at the step's start
    (see the module for the thresholds; "straight" for depart, via and
    arrive); ``street``: the name of
    its edges, or None; ``highway``: the way's ``highway`` class where the
    document gives one (of the step's first edge), else None;
    ``distance_m``, ``risk``, ``time_min``: summed over its edges in travel
    order (the steps add up to the route's totals within a relative 1e-9:
    partial sums round differently from the route's one sum);
    ``bearing_before``, ``bearing_after``: degrees clockwise from north of
    the edge before the step and of its first edge (None at the route's
    ends, and where a route of one node has no edge at all); ``location``:
    (lat, lon) of its first node; ``first_node``, ``last_node``: indices
    into ``Route.nodes`` (the next step starts at this one's last node);
    ``instruction``: an English sentence.
    """

    kind: Kind
    modifier: Modifier
    street: str | None
    highway: str | None
    distance_m: float
    risk: float
    time_min: float
    bearing_before: float | None
    bearing_after: float | None
    location: LatLon
    first_node: int
    last_node: int
    instruction: str

    @property
    def risk_per_km(self) -> float:
        """Risk per kilometre walked; 0.0 for a step of no length."""
        return self.risk * 1000.0 / self.distance_m if self.distance_m > 0 else 0.0

    def to_dict(self) -> dict[str, Any]:
        """The step as JSON values (``location`` a [lat, lon] list)."""
        values = asdict(self)
        values["location"] = list(self.location)
        return values


class EdgeFacts:
    """What steps read of every edge of a graph, by document index: its
    length, its risk (of the risk layer ``layer``, the document's
    ``risk_score`` unless given), its street name and its way's
    ``highway`` class. Built from the engine's graph the first time a
    route's steps ask; the arrays are shared by every route of the
    router."""

    def __init__(self, graph: Graph, table: NodeTable, *, layer: str = DEFAULT_RISK,
                 risks: npt.NDArray[np.float64] | None = None,
                 highways: Sequence[str | None] | None = None,
                 tags: EdgeTags | None = None) -> None:
        """``table``: the graph's ``NodeTable`` (the street names);
        ``layer``: the risk layer whose risks the steps sum ("default",
        the document's ``risk_score``, unless given); ``risks``: that
        layer's risk per edge in document order, or None to read them from
        the graph the first time a step asks; ``highways``: the highway
        class per edge in document order, or None; ``tags``: where the
        highway classes are read from instead, the first time a step asks
        (the router's walking tags)."""
        self._graph = graph
        self._table = table
        self.layer = layer
        self._risks = risks
        self._given_highways = highways
        self._tags = tags
        self._lock = threading.Lock()

    def on_layer(self, layer: str) -> EdgeFacts:
        """The same facts on another risk layer: its risks are read when a
        step first asks (a route that gives no steps costs no copy of
        them), the highway classes from where these are."""
        return EdgeFacts(self._graph, self._table, layer=layer,
                         highways=self._given_highways, tags=self._tags)

    @cached_property
    def lengths(self) -> npt.NDArray[np.float64]:
        """distance_m per edge, in document order."""
        with self._lock:
            return in_document_order(self._graph, self._graph.lengths)

    @cached_property
    def risks(self) -> npt.NDArray[np.float64]:
        """The layer's risk per edge, in document order."""
        if self._risks is not None:
            return self._risks
        with self._lock:
            return self._graph.layer_risks(self.layer)

    @cached_property
    def familiarity(self) -> npt.NDArray[np.float64] | None:
        """familiarity per edge, in document order; None where every
        edge's is 0, so that every sum of it is 0.0."""
        with self._lock:
            values = in_document_order(self._graph, self._graph.familiarity)
        return values if values.any() else None

    def name(self, edge: int) -> str | None:
        """The street name of an edge, or None."""
        return self._table.edge_name(edge)

    @cached_property
    def _highways(self) -> Sequence[str | None] | None:
        if self._given_highways is not None or self._tags is None:
            return self._given_highways
        columns = self._tags.columns()
        return None if columns is None else columns.get("highway")

    def highway(self, edge: int) -> str | None:
        """The ``highway`` class of an edge's way, or None."""
        highways = self._highways
        return None if highways is None else highways[edge]


def bearing(a: LatLon, b: LatLon) -> float | None:
    """Initial great-circle bearing from ``a`` to ``b``, (lat, lon) in
    degrees, in degrees clockwise from north in [0, 360); None when the
    two are one point."""
    if a == b:
        return None
    phi1, phi2 = math.radians(a[0]), math.radians(b[0])
    dlambda = math.radians(b[1] - a[1])
    y = math.sin(dlambda) * math.cos(phi2)
    x = (math.cos(phi1) * math.sin(phi2)
         - math.sin(phi1) * math.cos(phi2) * math.cos(dlambda))
    return math.degrees(math.atan2(y, x)) % 360.0


def turn_angle(before: float, after: float) -> float:
    """The change of bearing from ``before`` to ``after``, clockwise
    positive, in [-180, 180)."""
    return (after - before + 180.0) % 360.0 - 180.0


def modifier_of(turn: float) -> Modifier:
    """The modifier of a change of bearing (see the module's thresholds)."""
    size = abs(turn)
    if size < STRAIGHT_DEG:
        return "straight"
    if size >= UTURN_DEG:
        return "uturn"
    right = turn > 0
    if size < SLIGHT_DEG:
        return "slight right" if right else "slight left"
    if size < SHARP_DEG:
        return "right" if right else "left"
    return "sharp right" if right else "sharp left"


def route_steps(coordinates: Sequence[LonLat], edges: Sequence[int],
                facts: EdgeFacts, stops: Sequence[int] = ()) -> list[Step]:
    """The steps of a route with the node positions ``coordinates``
    ((lon, lat), as ``Route.coordinates``) that took ``edges`` (document
    indices, one fewer than the nodes); ValueError when the counts do not
    match. A route of one node has a depart and an arrive step.
    ``stops``: the indices into the nodes where its legs but the last end,
    in order, each a ``via`` step."""
    points = [(lat, lon) for lon, lat in coordinates]
    if not points or len(edges) != len(points) - 1:
        raise ValueError(f"a route of {len(points)} nodes takes "
                         f"{max(len(points) - 1, 0)} edges, not {len(edges)}")
    headings = _headings(points)
    names = [facts.name(edge) for edge in edges]
    cuts = set(stops)
    starts = [0] + [i for i in range(1, len(edges))
                    if i in cuts or _starts_step(names, headings, i)
                    ] if edges else []
    lengths, risks = facts.lengths, facts.risks
    steps: list[Step] = []
    if not edges or (stops and stops[0] == 0):
        steps.append(Step("depart", "straight", None, None, 0.0, 0.0, 0.0,
                          None, None, points[0], 0, 0,
                          "Depart from your origin"))
    reached = 0
    for k, first in enumerate(starts):
        while reached < len(stops) and stops[reached] <= first:
            steps.append(_stop(reached, stops[reached], points, names,
                               headings))
            reached += 1
        end = starts[k + 1] if k + 1 < len(starts) else len(edges)
        distance = 0.0
        risk = 0.0
        for edge in edges[first:end]:
            distance += float(lengths[edge])
            risk += float(risks[edge])
        before = headings[first - 1] if first else None
        after = headings[first]
        turn = 0.0 if before is None else turn_angle(before, after)
        kind: Kind = ("depart" if not steps else
                      "continue" if abs(turn) < STRAIGHT_DEG else "turn")
        modifier = "straight" if kind == "depart" else modifier_of(turn)
        street, way = names[first], facts.highway(edges[first])
        steps.append(Step(
            kind, modifier, street, way, distance, risk,
            distance / WALKING_SPEED_M_PER_MIN, before, after, points[first],
            first, end, _instruction(kind, modifier, street, way, distance,
                                     after)))
    for at in range(reached, len(stops)):
        steps.append(_stop(at, stops[at], points, names, headings))
    last = len(points) - 1
    final = headings[-1] if edges else None
    steps.append(Step("arrive", "straight", names[-1] if names else None,
                      None, 0.0, 0.0, 0.0, final, None, points[last], last,
                      last, "Arrive at your destination"))
    return steps


def _stop(index: int, node: int, points: list[LatLon],
          names: list[str | None], headings: list[float]) -> Step:
    """The ``via`` step of stop ``index`` (from 0), at the node ``node``
    (an index into the route's nodes)."""
    before = headings[node - 1] if node else None
    return Step("via", "straight", names[node - 1] if node else None, None,
                0.0, 0.0, 0.0, before, None, points[node], node, node,
                f"Arrive at stop {index + 1}")


def _headings(points: list[LatLon]) -> list[float]:
    """Per edge, its bearing; an edge between two equal positions has none
    of its own and keeps the one before (the first such ones, the one
    after; north where no edge has one)."""
    own = [bearing(a, b) for a, b in zip(points, points[1:])]
    known = next((b for b in own if b is not None), 0.0)
    headings: list[float] = []
    for value in own:
        known = known if value is None else value
        headings.append(known)
    return headings


def _starts_step(names: list[str | None], headings: list[float],
                 at: int) -> bool:
    """Whether edge ``at`` starts a new step (see the module)."""
    if names[at] != names[at - 1]:
        return True
    turn = abs(turn_angle(headings[at - 1], headings[at]))
    return turn >= UTURN_DEG or (names[at] is None and turn > UNNAMED_TURN_DEG)


def _instruction(kind: Kind, modifier: Modifier, street: str | None,
                 way: str | None, distance_m: float, heading: float) -> str:
    where = street if street is not None else (
        f"the {_WAY_WORDS.get(way, way.replace('_', ' '))}"
        if way is not None else None)
    if kind == "depart":
        compass = _COMPASS[int((heading + 22.5) % 360.0 // 45.0)]
        return f"Head {compass}" + (f" on {where}" if where else "")
    if kind == "continue":
        if street is not None:
            return f"Continue onto {street}"
        if where is not None:
            return f"Continue on {where}"
        return f"Continue for {format_distance(distance_m)}"
    verb = "Make a U-turn" if modifier == "uturn" else f"Turn {modifier}"
    return verb + (f" onto {where}" if where else "")


def format_distance(metres: float) -> str:
    """'120 m' below a kilometre (to the metre), else '1.2 km'."""
    if metres < 999.5:
        return f"{metres:.0f} m"
    return f"{metres / 1000.0:.1f} km"


def risky(steps: Sequence[Step], threshold: float) -> list[Step]:
    """The steps whose risk per km exceeds ``threshold``; ValueError for a
    NaN threshold."""
    if math.isnan(threshold):
        raise ValueError("the risk threshold must be a number, got nan")
    return [step for step in steps if step.risk_per_km > threshold]


def encode_polyline(points: Sequence[LonLat], precision: int = 6) -> str:
    """The encoded polyline algorithm format of (lon, lat) points, written
    in (lat, lon) order with ``precision`` decimals (5 as Google writes it,
    6 as OSRM and Valhalla do); each coordinate rounds half away from zero,
    and the differences are taken between rounded values so that no error
    builds up along the line. ValueError for a precision outside 1 to 10."""
    if isinstance(precision, bool) or not isinstance(precision, int) \
            or not 1 <= precision <= 10:
        raise ValueError(f"precision must be an integer from 1 to 10, "
                         f"got {precision!r}")
    factor = 10 ** precision
    chunks: list[str] = []
    last_lat = last_lon = 0
    for lon, lat in points:
        lat_units, lon_units = _units(lat, factor), _units(lon, factor)
        for delta in (lat_units - last_lat, lon_units - last_lon):
            value = ~(delta << 1) if delta < 0 else delta << 1
            while value >= 0x20:
                chunks.append(chr((0x20 | (value & 0x1F)) + 63))
                value >>= 5
            chunks.append(chr(value + 63))
        last_lat, last_lon = lat_units, lon_units
    return "".join(chunks)


def _units(degrees: float, factor: int) -> int:
    units = math.floor(abs(degrees) * factor + 0.5)
    return -units if degrees < 0 else units


GPX_NAMESPACE = "http://www.topografix.com/GPX/1/1"
#: The media type of a GPX document.
GPX_MEDIA_TYPE = "application/gpx+xml"


class GpxRoute(RouteTotals, Protocol):
    """What a GPX document reads of a route (a ``norvel.Route``)."""

    @property
    def steps(self) -> list[Step]: ...
    @property
    def coordinates(self) -> list[LonLat]: ...


def gpx_document(routes: Sequence[GpxRoute]) -> str:
    """A GPX 1.1 document of routes (``Route`` objects): per route a
    ``<rte>`` whose points are its steps (name: the instruction; desc: the
    step's distance and risk), then per route a ``<trk>`` of its nodes,
    both named by the route's type."""
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             f'<gpx version="1.1" creator="norvel" xmlns="{GPX_NAMESPACE}">']
    for route in routes:
        lines.append(f"  <rte><name>{escape(route.type)}</name>")
        for step in route.steps:
            lat, lon = step.location
            lines.append(
                f'    <rtept lat="{lat!r}" lon="{lon!r}"><name>'
                f"{escape(step.instruction)}</name><desc>"
                f"{format_distance(step.distance_m)}, risk {step.risk:.4f}"
                f"</desc><type>{step.kind}</type></rtept>")
        lines.append("  </rte>")
    for route in routes:
        lines.append(
            f"  <trk><name>{escape(route.type)}</name><desc>"
            f"{format_distance(route.distance_m)}, risk {route.risk:.4f}, "
            f"{route.time_min:.1f} min</desc><type>{escape(route.type)}"
            f"</type><trkseg>")
        lines.extend(f'    <trkpt lat="{lat!r}" lon="{lon!r}"/>'
                     for lon, lat in route.coordinates)
        lines.append("  </trkseg></trk>")
    lines.append("</gpx>")
    return "\n".join(lines) + "\n"
