"""The one path every request takes, whichever interface it came by
(``Router.route``, ``route_many``, ``matrix``, ``catchment``, ``front``,
``norvel.batch``, ``norvel serve`` and the command line): its options
checked, its ends checked and snapped, every point of a request in one
question to the nearest-node index, and the engine's failures turned into
their exceptions (``norvel.failures``). What a client writes as text, a
"LAT,LON" point or a number, is read here too.
"""

from __future__ import annotations

import math
import re
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple, Protocol

import numpy as np
import numpy.typing as npt

from norvel import _values, failures
from norvel._values import DEFAULT_EPS, DEFAULT_MAX_SNAP_M, DEFAULT_RISK, Place
from norvel.errors import (NodeNotFoundError, NoRouteError,
                           RouteTimeoutError, SnapError)
from norvel.routes import Snap

if TYPE_CHECKING:
    from norvel._engine import Failure

#: Where an end lies, or why it lies nowhere: a RoutingError of its own
#: (SnapError, NodeNotFoundError), or with ``strict`` off a ValueError or
#: TypeError of a value that is no place.
End = Snap | Exception


class NearestIndex(Protocol):
    """The nearest-node index of a graph, as the router keeps it."""

    @property
    def size(self) -> int: ...

    def query(self, lats: npt.NDArray[np.float64],
              lons: npt.NDArray[np.float64],
              avoid: npt.NDArray[np.uint32] | None = None
              ) -> tuple[Any, Any]: ...


class Options(NamedTuple):
    """The options of a request, checked: every pair of a batch shares
    them."""

    eps: float
    max_snap_m: float
    timeout_s: float | None
    risk: str
    #: The document indices of the edges the request must not take
    #: (``norvel._avoid``); None for none.
    avoid: npt.NDArray[np.uint32] | None = None


#: The hours of a graph's risk layers: (name, start, end) of each layer
#: that has some, in the order the layers were added.
Hours = Sequence[tuple[str, float, float]]

#: What a request that names its risk layer and a time too is told.
RISK_AND_AT = ("risk= and at= both choose the risk layer: give one of "
               "them (at= searches on the layer whose hours hold then)")


def options(layers: Sequence[str] | Callable[[], Sequence[str]] | None,
            eps: object = DEFAULT_EPS,
            max_snap_m: object = DEFAULT_MAX_SNAP_M,
            timeout_s: object = None, risk: object = None, *,
            exact: bool = False,
            avoid: npt.NDArray[np.uint32] | None = None,
            at: object = None, hours: Hours | None = None) -> Options:
    """The checked options of a request on a graph whose risk layers are
    ``layers``, or what a call of it gives (None: any name, checked once
    the graph is known); ``exact``: a catchment's, whose eps must be 0.0;
    ``avoid``: the edges avoided, resolved by the session. ``risk`` (None:
    "default") or ``at`` (a time of day) choose the layer, ``at`` among
    the layers' ``hours`` (``layer_at``; None: the graph is not known yet,
    "default" until it is). TypeError and ValueError (UnknownRiskLayerError)
    as ``norvel._values`` says; ValueError ``RISK_AND_AT`` for both."""
    checked = (_values.exact_eps(eps) if exact else _values.eps(eps),
               _values.max_snap(max_snap_m), _values.timeout(timeout_s))
    if at is not None:
        if risk is not None:
            raise ValueError(RISK_AND_AT)
        return Options(*checked, layer_at(hours or (), at), avoid)
    # Every graph has the default layer: most requests need no list of
    # the layers, which the engine makes anew each time it is asked.
    if risk is None:
        risk = DEFAULT_RISK
    elif type(risk) is not str or risk != DEFAULT_RISK:
        risk = _values.risk(risk, layers() if callable(layers) else layers)
    return Options(*checked, risk, avoid)


def layer_at(hours: Hours, at: object) -> str:
    """The risk layer a request at the time of day ``at`` (checked by
    ``_values.time_of_day``) searches on: of the layers whose ``hours``
    hold then, the one added last; "default" where none does. A layer
    holds from its start included to its end excluded, past midnight where
    the end is the lesser, all day where they are equal."""
    hour = _values.time_of_day(at)
    for name, start, end in reversed(hours):
        if (start <= hour < end if start < end
                else hour >= start or hour < end):
            return name
    return DEFAULT_RISK


class Choice(NamedTuple):
    """What a request chooses from its front besides the three routes, and
    through which stops it walks; checked (``choice``). The default asks for
    nothing more."""

    via: tuple[object, ...] = ()
    alternatives: int = 0
    max_shared: float = _values.DEFAULT_MAX_SHARED
    max_detour: float | None = None

    @property
    def plain(self) -> bool:
        """Whether the request asks for the three routes alone."""
        return not self.via and not self.alternatives and self.max_detour is None


_PLAIN = Choice()


def choice(via: object = (), alternatives: object = 0,
           max_shared: object = _values.DEFAULT_MAX_SHARED,
           max_detour: object = None) -> Choice:
    """The checked ``Choice`` of a request: TypeError for a value of the
    wrong kind, ValueError for one out of range. Stops, alternatives and a
    detour budget are chosen from the exact fronts whatever the request's
    eps: the exact routes are within any factor 1 + eps of them."""
    # The usual request asks for nothing more, and is told at once.
    if (type(via) is tuple and not via and type(alternatives) is int
            and alternatives == 0 and max_detour is None
            and max_shared is _values.DEFAULT_MAX_SHARED):
        return _PLAIN
    return Choice(tuple(_values.via(via)), _values.alternatives(alternatives),
                  _values.max_shared(max_shared), _values.max_detour(max_detour))


def walk_roles(stops: int) -> list[str]:
    """The roles of a walk's places, in order: "origin", "via 1", ...,
    "destination"."""
    return ["origin", *map(_values.via_role, range(stops)), "destination"]


def pair(value: object, index: int) -> tuple[object, object]:
    """The two ends of item ``index`` of a request's pairs, unchecked: a
    tuple, list or numpy array of two. TypeError showing the item
    otherwise."""
    if isinstance(value, (tuple, list, np.ndarray)) and len(value) == 2:
        return value[0], value[1]
    raise TypeError(f"pairs[{index}] must be an (origin, destination) "
                    f"pair, got {value!r:.80}")


def ends(index: Callable[[], NearestIndex], places: Sequence[object],
         roles: Sequence[str], max_snap_m: float, *,
         strict: bool = True,
         avoid: npt.NDArray[np.uint32] | None = None) -> list[End]:
    """Where each of ``places`` (node ids or (lat, lon) tuples, each
    checked as the end ``roles[i]`` of a request: "origin" or
    "destination") starts or ends a request: a node id is itself at 0 m, a
    point its nearest node with an outgoing edge, found for every point at
    once. A failure is the end's value: NodeNotFoundError for an id outside
    [0, 2**64) (an id of that range that is no node is the request's to
    report), SnapError beyond ``max_snap_m`` (or with no node to snap to).
    A value that is no place raises its TypeError or ValueError, or with
    ``strict`` False is the end's value too. ``index`` gives the
    nearest-node index, asked for only when there is a point. With
    ``avoid`` (edge indices), a point snaps to the nearest node that keeps
    an outgoing edge outside them."""
    # One pass over the ends, the points' places kept for the one
    # question to the index: a request of two node ids (the most usual)
    # costs what snapping each alone did.
    found: list[Any] = []
    points: list[int] = []
    for value, role in zip(places, roles):
        try:
            place = _values.place(value, role)
        except (TypeError, ValueError) as error:
            if strict:
                raise
            found.append(error)
            continue
        if isinstance(place, tuple):
            points.append(len(found))
            found.append(place)
        elif 0 <= place < _values.NODE_ID_END:
            found.append(Snap(place, 0.0))
        else:
            found.append(NodeNotFoundError(place, role))
    if points:
        _snap_points(index(), found, points, roles, max_snap_m, avoid)
    return found


def _snap_points(index: NearestIndex, found: list[Any], points: list[int],
                 roles: Sequence[str], max_snap_m: float,
                 avoid: npt.NDArray[np.uint32] | None) -> None:
    """Replaces each (lat, lon) of ``found`` at ``points`` with its Snap or
    SnapError, all in one question to ``index``."""
    try:
        if not index.size:
            raise ValueError("no node has an outgoing edge")
        ids, metres = index.query(
            np.array([found[at][0] for at in points], dtype=np.float64),
            np.array([found[at][1] for at in points], dtype=np.float64),
            avoid)
    except ValueError:
        # The index refuses only where no node has an edge out (every one
        # avoided, say): there is nowhere to snap to.
        for at in points:
            lat, lon = found[at]
            found[at] = nowhere(roles[at], lat, lon, max_snap_m)
        return
    for at, node, distance in zip(points, ids.tolist(), metres.tolist()):
        lat, lon = found[at]
        found[at] = (Snap(node, distance) if distance <= max_snap_m
                     else SnapError(roles[at], lat, lon, distance, node,
                                    max_snap_m))


def nowhere(role: str, lat: float, lon: float,
            max_snap_m: float = math.inf) -> SnapError:
    """The failure of a point on a graph where no node has an outgoing
    edge, so that nothing is near it."""
    return SnapError(role, lat, lon, math.inf, None, max_snap_m)


def snapped(end: End) -> Snap:
    """An end that snapped; its failure raised otherwise."""
    if isinstance(end, Exception):
        raise end
    return end


# A pair's index among the asked ones, and its two ends.
ReadyPair = tuple[int, Snap, Snap]


def split_failed(origins: Sequence[End], destinations: Sequence[End]
                 ) -> tuple[list[Any], list[ReadyPair]]:
    """Per pair, the first failure of its ends (origin first, as a request
    snaps them) or None; and the pairs whose ends both snapped."""
    answers: list[Any] = [None] * len(origins)
    ready: list[ReadyPair] = []
    for at, (origin, destination) in enumerate(zip(origins, destinations)):
        if isinstance(origin, Exception):
            answers[at] = origin
        elif isinstance(destination, Exception):
            answers[at] = destination
        else:
            ready.append((at, origin, destination))
    return answers, ready


def failure(result: Failure, source: int, target: int,
            timeout_s: float | None, request: str | None = None) -> Exception:
    """The exception of the engine's failure of a request from ``source``
    to ``target`` (node ids) within ``timeout_s``; ``request`` names a
    catchment in a time-out's message."""
    return failures.engine_error(result, failures.Situation(
        source, target, timeout_s, request))


def leg_failure(result: Failure, ends: Sequence[Snap], roles: Sequence[str],
                leg: int, timeout_s: float | None) -> Exception:
    """The exception of the engine's failure of leg ``leg`` (from 0) of a
    walk through the snapped ``ends`` of ``roles`` (``walk_roles``): an
    unknown node named by its role ("via 1"), a leg without a route named
    in the message ("leg 2 of 3") where there are stops, and a time-out of
    the whole walk."""
    source, target = ends[leg].node, ends[leg + 1].node
    error = failure(result, source, target, timeout_s)
    if isinstance(error, NodeNotFoundError):
        return NodeNotFoundError(error.node, roles[leg if error.role == "origin"
                                                  else leg + 1])
    if isinstance(error, NoRouteError) and len(ends) > 2:
        return NoRouteError(source, target, error.reason,
                            leg=f"leg {leg + 1} of {len(ends) - 1}")
    if isinstance(error, RouteTimeoutError) and timeout_s is not None:
        return RouteTimeoutError(ends[0].node, ends[-1].node, timeout_s)
    return error


# What a client writes as text.

_NUMBER = re.compile(r"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
_INTEGER = re.compile(r"[+-]?[0-9]+")


def number(text: str, name: str) -> float:
    """A decimal number, spaces round it allowed; words such as 'nan' and
    'inf' are no numbers (one too large for a double, '1e999', reads as
    infinity, which a coordinate's range refuses). ValueError naming
    ``name`` otherwise."""
    text = text.strip()
    if not _NUMBER.fullmatch(text):
        raise ValueError(f"{name!r} must be a number, got {text[:40]!r}")
    return float(text)


def node(text: str, name: str) -> int:
    """A node id written as a decimal integer (ASCII digits, a sign and
    spaces round it allowed), of any size: whether it names a node of the
    graph is the request's to say. ValueError naming ``name`` otherwise."""
    text = text.strip()
    if _INTEGER.fullmatch(text):
        try:
            return int(text)
        except ValueError:  # beyond Python's limit on the digits of an int
            pass
    raise ValueError(f"{name!r} must be a node id (an integer), got {text[:40]!r}")


def count(text: str, name: str) -> int:
    """A whole number written as a decimal integer (ASCII digits, a sign
    and spaces round it allowed); whether it is in range is the request's
    to check. ValueError naming ``name`` otherwise."""
    stripped = text.strip()
    if _INTEGER.fullmatch(stripped) and len(stripped) <= 20:
        return int(stripped)
    raise ValueError(f"{name!r} must be an integer, got {stripped[:40]!r}")


def places(text: str, name: str, most: int) -> list[int | tuple[float, float]]:
    """Places separated by ";", each a "LAT,LON" point or a node id, at
    most ``most`` of them. ValueError naming ``name`` otherwise."""
    items = text.split(";")
    if len(items) > most:
        raise ValueError(f"{name!r} names at most {most} places, got {len(items)}")
    return [point(item, name) if "," in item else node(item, name)
            for item in items]

def edge_indices(text: str, name: str) -> list[int]:
    """Edge indices written "I,J,K" (an empty text: none), as the service's
    ``avoid_edges`` and the command line's ``--avoid-edges`` write them;
    whether each is an edge of the graph is the session's to check."""
    parts = text.split(",") if text else []
    if not all(part.isascii() and part.isdigit() for part in parts):
        raise ValueError(f"{name!r} must be edge indices separated by commas, "
                         f"got {text[:40]!r}")
    return [int(part) for part in parts]


def point(text: str, name: str) -> tuple[float, float]:
    """A 'LAT,LON' text as (lat, lon); whether they are in range is the
    request's to check. ValueError naming ``name`` otherwise."""
    parts = text.split(",")
    if len(parts) != 2:
        raise ValueError(f"{name!r} must be LAT,LON, got {text[:40]!r}")
    return number(parts[0], name), number(parts[1], name)
