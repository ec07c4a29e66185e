"""The kinds of failure a request can end in, in one table: for each, the
exception ``norvel.Router`` raises, the HTTP status ``norvel serve``
answers with, and the ``error_kind`` of its row in a table
(``Router.matrix``, ``norvel.batch.route_pairs``).

The engine reports a failure as a ``norvel._engine.Failure``, whose
``kind`` is a member of ``norvel._engine.FailureKind`` named as the kind
here; ``engine_error`` turns it into its exception. Two kinds are the
package's own: "snap" (a point too far from the graph, found when the ends
are snapped) and "invalid" (an argument that is no value of its kind).
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING

from norvel import errors
from norvel.errors import ErrorKind, NoRouteReason

if TYPE_CHECKING:
    from norvel._engine import Failure

__all__ = ["COSTS_UNSUPPORTED", "KINDS", "Kind", "Situation", "engine_error",
           "error_kind_of", "kind_of", "status_of"]


@dataclass(frozen=True)
class Situation:
    """What an engine failure is told in its error: the ends of the request
    (node ids), its time limit, and for a catchment the words naming it."""

    source: int
    target: int
    timeout_s: float | None
    request: str | None = None


@dataclass(frozen=True)
class Kind:
    """One kind of failure. ``name``: the engine's name of it (or the
    package's, for "snap" and "invalid"); ``error``: the class of its
    exception; ``status``: the HTTP status of its answer; ``error_kind``:
    its name in a table's ``error_kind`` column; ``make``: its exception,
    from the engine's role ("origin", "destination" or "") and the
    request (None for the package's own kinds, whose exception is made
    where they are found)."""

    name: str
    error: type[Exception]
    status: int
    error_kind: ErrorKind
    make: Callable[[str, Situation], Exception] | None = None


def _timeout(situation: Situation) -> float:
    return math.inf if situation.timeout_s is None else situation.timeout_s


#: The message of a catchment on a graph whose costs its search cannot take.
COSTS_UNSUPPORTED = (
    "catchments need finite, non-negative distances and risks, and this "
    "graph has a negative, infinite or NaN one: Router.route answers its "
    "requests one at a time")

_KINDS = (
    Kind("node_not_found", errors.NodeNotFoundError, 404, "node_not_found",
         lambda role, s: errors.NodeNotFoundError(
             s.source if role == "origin" else s.target, role)),
    Kind("snap", errors.SnapError, 404, "snap"),
    Kind("source_isolated", errors.NoRouteError, 422, "source_isolated",
         lambda role, s: errors.NoRouteError(s.source, s.target,
                                             "source_isolated")),
    Kind("no_route", errors.NoRouteError, 422, "no_route",
         lambda role, s: errors.NoRouteError(s.source, s.target, "no_route")),
    Kind("timeout", errors.RouteTimeoutError, 504, "timeout",
         lambda role, s: errors.RouteTimeoutError(
             s.source, s.target, _timeout(s), request=s.request)),
    # A catchment on a graph whose costs its search cannot take: a value
    # the request cannot use, as an invalid argument is.
    Kind("costs_unsupported", ValueError, 400, "invalid",
         lambda role, s: ValueError(COSTS_UNSUPPORTED)),
    Kind("invalid", ValueError, 400, "invalid"),
)

#: Every kind by its name.
KINDS: dict[str, Kind] = {kind.name: kind for kind in _KINDS}

# Each error class of one kind names it as its table's kind does
# (NoRouteError takes its reason's).
assert all(kind.error.kind == kind.error_kind for kind in _KINDS
           if issubclass(kind.error, errors.RoutingError)
           and kind.error is not errors.NoRouteError)


def engine_error(failure: Failure, situation: Situation) -> Exception:
    """The exception of a failure the engine reported."""
    make = KINDS[failure.kind.name].make
    assert make is not None, failure
    return make(failure.role, situation)


def kind_of(error: BaseException) -> Kind:
    """The kind of an exception a request raised: a RoutingError's own,
    "invalid" for any other (a ValueError or TypeError of an argument)."""
    if isinstance(error, errors.RoutingError):
        return KINDS[error.kind]
    return KINDS["invalid"]


def status_of(error: BaseException) -> int:
    """The HTTP status of the answer to a request that raised ``error``."""
    return kind_of(error).status


def error_kind_of(error: BaseException) -> ErrorKind:
    """The ``error_kind`` of a table row whose request raised ``error``."""
    return kind_of(error).error_kind
