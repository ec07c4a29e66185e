"""The errors of routing with ``norvel.Router``, each a ``RoutingError``.

    try:
        routes = router.route((60.17, 24.94), (60.18, 24.95))
    except norvel.SnapError as error:       # a point off the map
        print(error, error.distance_m)
    except norvel.NoRouteError as error:    # error.reason: "source_isolated" or "no_route"
        ...
    except norvel.NodeNotFoundError as error:   # error.node: the unknown id
        ...

Each error is made from the kind of failure the engine reports;
``kind`` names it, as ``norvel.failures`` lists the kinds with their HTTP
status and their ``error_kind`` in a table.
"""

from __future__ import annotations

from typing import Any, Literal

#: Why no route joins two nodes: the value of NoRouteError.reason.
NoRouteReason = Literal["source_isolated", "no_route"]
#: The kinds of failure, the value of RoutingError.kind and of a table's
#: ``error_kind`` ("invalid": a value that is no place or no option).
ErrorKind = Literal["node_not_found", "source_isolated", "no_route", "snap",
                    "timeout", "invalid"]


class RoutingError(Exception):
    """A route request that cannot be answered; ``kind`` says why (see the
    subclasses)."""

    kind: ErrorKind

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message

    def __str__(self) -> str:
        # KeyError would show the message quoted, as if it were the key.
        return self.message

    def __reduce__(self) -> tuple[Any, ...]:
        # The subclasses' arguments are not their message: rebuild from the
        # attributes, so that errors cross process boundaries whole.
        return _restore, (type(self), self.message, dict(self.__dict__))


def _restore(kind: type[RoutingError], message: str,
             state: dict[str, Any]) -> RoutingError:
    error = kind.__new__(kind, message)
    error.args = (message,)
    error.__dict__.update(state)
    return error


class NodeNotFoundError(RoutingError, KeyError):
    """A node id that is not a node of the graph; ``node`` is that id and
    ``role`` "origin" or "destination"."""

    kind: ErrorKind = "node_not_found"

    def __init__(self, node: int, role: str) -> None:
        super().__init__(f"{role} node {node} is not a node of the graph")
        self.node = node
        self.role = role


class NoRouteError(RoutingError):
    """No route between two nodes of the graph. ``reason`` is
    "source_isolated" (the origin has no outgoing edge) or "no_route" (no
    path leads from the origin to the destination). ``leg``: for a walk
    through stops, which leg has no route ("leg 2 of 3"), else None; then
    ``source`` and ``target`` are that leg's ends."""

    def __init__(self, source: int, target: int, reason: NoRouteReason, *,
                 leg: str | None = None) -> None:
        if reason == "source_isolated":
            message = (f"origin node {source} has no outgoing edge, so no "
                       f"route starts there")
        else:
            message = (f"no route from node {source} to node {target}: no "
                       f"path leads there in the graph")
        super().__init__(message if leg is None else f"{message} ({leg})")
        self.leg = leg
        self.source = source
        self.target = target
        self.reason: NoRouteReason = reason
        self.kind = reason


class SnapError(RoutingError, ValueError):
    """A point farther than ``max_snap_m`` from every routable node (a node
    with an outgoing edge). ``distance_m``: the distance to the nearest
    routable node (infinite when the graph has none), ``node``: that node or
    None."""

    kind: ErrorKind = "snap"

    def __init__(self, role: str, lat: float, lon: float, distance_m: float,
                 node: int | None, max_snap_m: float) -> None:
        if node is None:
            message = (f"{role} ({lat}, {lon}): the graph has no routable "
                       f"node (none has an outgoing edge)")
        else:
            message = (f"{role} ({lat}, {lon}) is {distance_m:.1f} m from the "
                       f"nearest routable node {node}, farther than "
                       f"max_snap_m={max_snap_m:g}")
        super().__init__(message)
        self.role = role
        self.lat = lat
        self.lon = lon
        self.distance_m = distance_m
        self.node = node
        self.max_snap_m = max_snap_m


class RouteTimeoutError(RoutingError, TimeoutError):
    """A request stopped when its time limit (``timeout_s`` seconds) ran
    out; the search ended there, and nothing of it goes on running."""

    kind: ErrorKind = "timeout"

    def __init__(self, source: int, target: int, timeout_s: float, *,
                 request: str | None = None) -> None:
        """``request`` names what ran out of time in the message (by
        default "the route from node ``source`` to node ``target``")."""
        if request is None:
            request = f"the route from node {source} to node {target}"
        super().__init__(f"{request} took longer than "
                         f"timeout_s={timeout_s:g} s")
        self.source = source
        self.target = target
        self.timeout_s = timeout_s


class UnknownRiskLayerError(ValueError):
    """A request names a risk layer the graph does not have. ``name``: the
    name asked for; ``known``: the graph's layers ("default" first)."""

    def __init__(self, name: str, known: list[str]) -> None:
        names = ", ".join(repr(layer) for layer in known)
        super().__init__(f"the graph has no risk layer {name!r}: its layers "
                         f"are {names}")
        self.name = name
        self.known = known

    def __reduce__(self) -> tuple[Any, ...]:
        return UnknownRiskLayerError, (self.name, self.known)


class BatchError(RuntimeError):
    """The batch could not be completed (a chunk of pairs kept failing, or
    the cluster gave up on a chunk whose workers kept dying); no partial
    table is returned."""
