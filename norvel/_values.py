"""The values every interface of norvel takes, checked once: node ids,
points, eps and max_snap_m, with their defaults. The Router, the batch, the
command line and the service all check through here, so that one argument
means the same everywhere; the service turns a ``ValueError`` into a 400.
"""

from __future__ import annotations

import datetime
import functools
import math
import numbers
import operator
import os
import re
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

from norvel._native import engine
from norvel.errors import UnknownRiskLayerError

# A point is a (lat, lon) tuple in degrees; a node is its id.
Place = int | tuple[float, float]

DEFAULT_EPS = 0.0
#: Metres a minute: a route's time_min is its distance_m divided by this
#: (the engine's own constant).
WALKING_SPEED_M_PER_MIN: float = engine.WALKING_SPEED_M_PER_MIN
#: A route's comfort is e^(COMFORT_RISK_FACTOR x risk), at most 1.0, as
#: the engine computes it (a walk through stops is chosen here; the tests
#: hold its comfort to the engine's routes).
COMFORT_RISK_FACTOR = -2.0
#: The most of an alternative route's length that may run on the edges of
#: a route given before it (``Router.route(alternatives=...)``).
DEFAULT_MAX_SHARED = 0.8
DEFAULT_MAX_SNAP_M = 250.0
DEFAULT_CATCHMENT_MINUTES = 15.0
# The cutoffs of norvel.access, in minutes.
DEFAULT_ACCESS_MINUTES = (5.0, 10.0, 15.0)
# The most nodes a catchment answered by norvel serve may hold, unless
# --max-catchment-nodes says otherwise: about 100,000 street segments, 25 MB
# of GeoJSON. A 30-minute catchment of a grid of 80 m blocks holds 3,000.
DEFAULT_MAX_CATCHMENT_NODES = 50_000
# How long a request of norvel serve may be expected to wait for a worker
# before it is refused (503), unless --max-wait-s says otherwise: well
# under the time limit, and about 300 routes of the sample per worker, so
# that ordinary bursts of routes wait while a pile-up of slow catchments is
# told to come back (norvel/serve/admission.py).
DEFAULT_MAX_WAIT_S = 1.0
# The most jobs that may wait for a worker whatever their expected wait
# (--max-queue): a bound on the front's memory, high enough that the wait
# decides.
DEFAULT_MAX_QUEUE = 1024
NODE_ID_END = 2**64
# Which walks a catchment holds: to the place, or from it.
DIRECTIONS = ("to", "from")

def detour_m[T: (float, npt.NDArray[np.float64])](shortest_m: T, safest_m: T) -> T:
    """How much longer the safest walk is than the shortest, in metres."""
    return safest_m - shortest_m


def time_min(distance_m: float) -> float:
    """A walk's minutes, as the engine computes them."""
    return distance_m / WALKING_SPEED_M_PER_MIN


def comfort(risk: float) -> float:
    """A route's comfort, as the engine computes it: e^(-2 risk), at most
    1.0 (math.exp is the C library's exp, which the engine calls too)."""
    try:
        value = math.exp(COMFORT_RISK_FACTOR * risk)
    except OverflowError:  # the engine's exp gives infinity, clamped below
        return 1.0
    return 1.0 if value > 1.0 else value


def kind(value: object) -> str:
    """The name of a value's type, for messages."""
    return type(value).__name__


def real(value: object, name: str) -> float:
    """A real number (not a bool) as a float; TypeError otherwise."""
    # A float, the usual case, is told without the slower check of the ABC.
    if type(value) is float:
        return value
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {kind(value)}")
    return float(value)


def coordinate(value: object, name: str, bound: float) -> float:
    """A latitude (bound 90) or longitude (bound 180) in degrees; ValueError
    outside [-bound, bound] or NaN."""
    number = real(value, name)
    if not -bound <= number <= bound:
        raise ValueError(f"{name} must be within [{-bound:g}, {bound:g}], "
                         f"got {number!r}")
    return number


def latitude(value: object, name: str = "lat") -> float:
    return coordinate(value, name, 90.0)


def longitude(value: object, name: str = "lon") -> float:
    return coordinate(value, name, 180.0)


def check_range(values: npt.NDArray[np.float64], name: str,
                bound: float) -> None:
    """ValueError naming the first value of an array outside [-bound,
    bound] (or NaN) and its index."""
    bad = ~((values >= -bound) & (values <= bound))
    if bad.any():
        where = tuple(int(i) for i in np.argwhere(bad)[0])
        position = where[0] if len(where) == 1 else where
        raise ValueError(f"{name} must be within [{-bound:g}, {bound:g}], "
                         f"got {float(values[where])!r} at index {position}")


def points(lats: npt.ArrayLike, lons: npt.ArrayLike
           ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Arrays of latitudes and longitudes in degrees, of one shape, as
    float64; ValueError for shapes that differ or a coordinate out of range
    (or NaN)."""
    lat_array = np.asarray(lats, dtype=np.float64)
    lon_array = np.asarray(lons, dtype=np.float64)
    if lat_array.shape != lon_array.shape:
        raise ValueError(f"lats and lons differ in shape: "
                         f"{lat_array.shape} and {lon_array.shape}")
    check_range(lat_array, "lat", 90.0)
    check_range(lon_array, "lon", 180.0)
    return lat_array, lon_array


def places(value: object, name: str) -> Sequence[object]:
    """``value``, a sequence of places (not a str); TypeError otherwise."""
    if isinstance(value, (str, bytes)) or not isinstance(value, Sequence):
        raise TypeError(f"{name} must be a sequence of places, got "
                        f"{kind(value)}")
    return value


def risk_values(values: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """A risk layer's values, one per edge, as a float64 vector (whether
    each is finite and >= 0, and their count, the engine checks)."""
    try:
        risks = np.ascontiguousarray(values, dtype=np.float64)
    except (TypeError, ValueError) as failure:
        raise TypeError(f"values must be numbers, one per edge: "
                        f"{failure}") from None
    if risks.ndim != 1:
        raise ValueError(f"values must be one-dimensional, one per edge, "
                         f"got an array of shape {risks.shape}")
    return risks


def eps(value: object) -> float:
    """The search's approximation factor: a finite number >= 0."""
    number = real(value, "eps")
    if not (math.isfinite(number) and number >= 0.0):
        raise ValueError(f"eps must be a finite number >= 0, got {number!r}")
    return number


def max_snap(value: object) -> float:
    """The farthest a point may be from its node, in metres: >= 0 (infinity
    allowed)."""
    limit = real(value, "max_snap_m")
    if math.isnan(limit) or limit < 0.0:
        raise ValueError(f"max_snap_m must be a number >= 0, got {limit!r}")
    return limit


def minutes(value: object) -> float:
    """A walking time limit in minutes: >= 0 (infinity allowed)."""
    limit = real(value, "minutes")
    if math.isnan(limit) or limit < 0.0:
        raise ValueError(f"minutes must be a number >= 0, got {limit!r}")
    return limit


def direction(value: object) -> str:
    """Which walks a catchment holds: "to" the place or "from" it."""
    if not isinstance(value, str):
        raise TypeError(f"direction must be a str, got {kind(value)}")
    if value not in DIRECTIONS:
        raise ValueError(f'direction must be "to" or "from", got {value!r}')
    return value


def exact_eps(value: object) -> float:
    """The eps of a catchment: 0.0 only, since each of its nodes gets the
    exact answer; TypeError and ValueError as ``eps`` otherwise."""
    number = eps(value)
    if number != 0.0:
        raise ValueError(f"catchments are exact: eps must be 0.0, got "
                         f"{number!r} (Router.route takes eps > 0 for one "
                         f"pair at a time)")
    return number


def alternatives(value: object) -> int:
    """How many alternative routes a request asks for: an int >= 0."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"alternatives must be an int, got {kind(value)}")
    if value < 0:
        raise ValueError(f"alternatives must be at least 0, got {value}")
    return int(value)


def max_shared(value: object) -> float:
    """The most of an alternative's length on a given route's edges, as a
    share: a number from 0 to 1."""
    share = real(value, "max_shared")
    if not 0.0 <= share <= 1.0:
        raise ValueError(f"max_shared must be within [0, 1], got {share!r}")
    return share


def max_detour(value: object) -> float | None:
    """How much longer than the shortest route the ``within_detour`` route
    may be, as a share of it: None for no such route, else a number >= 0
    (infinity allowed: the safest route)."""
    if value is None:
        return None
    share = real(value, "max_detour")
    if math.isnan(share) or share < 0.0:
        raise ValueError(f"max_detour must be a number >= 0, got {share!r}")
    return share


def via(value: object) -> list[object]:
    """The stops of a request, in order: a sequence of places (not a str),
    each checked where it is snapped."""
    if isinstance(value, (str, bytes)) or not isinstance(value, Sequence):
        raise TypeError(f"via must be a sequence of places, got {kind(value)}")
    return list(value)


def via_role(index: int) -> str:
    """The role of the stop ``index`` (from 0) in messages: "via 1", ..."""
    return f"via {index + 1}"


def timeout(value: object) -> float | None:
    """A request's time limit in seconds: None for none, else > 0."""
    if value is None:
        return None
    seconds = real(value, "timeout_s")
    if not seconds > 0.0:
        raise ValueError(f"timeout_s must be a number > 0, got {seconds!r}")
    return seconds


def node_id(value: object, role: str) -> int:
    """An int node id (numpy integers too, bools not). An int outside
    [0, 2**64) is returned as it is: it names no node, which the caller
    reports as such."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{role} must be a node id (int) or a (lat, lon) "
                        f"tuple, got {kind(value)}")
    return operator.index(value)


def place(value: object, role: str) -> int | tuple[float, float]:
    """A node id, or a (lat, lon) tuple of checked coordinates."""
    if type(value) is int:  # the usual case, told at once
        return value
    if isinstance(value, tuple) and len(value) == 2:
        return (latitude(value[0], f"{role} lat"),
                longitude(value[1], f"{role} lon"))
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{role} must be a node id (int) or a (lat, lon) "
                        f"tuple, got {kind(value)}")
    return node_id(value, role)


#: The risk layer every request searches on unless told otherwise: the
#: document's own ``risk_score``.
DEFAULT_RISK = "default"


def risk(value: object, known: Sequence[str] | None) -> str:
    """A request's risk layer: one of ``known`` (the graph's layers);
    UnknownRiskLayerError, a ValueError listing them, for another name.
    ``known`` None: any str, for a graph not loaded yet."""
    if not isinstance(value, str):
        raise TypeError(f"risk must be the name of a risk layer (str), got "
                        f"{kind(value)}")
    if known is not None and value not in known:
        raise UnknownRiskLayerError(value, list(known))
    return value


def layer_hours(value: object) -> tuple[float, float] | None:
    """The hours a risk layer holds for: None for none, else a (start, end)
    pair of numbers (whether each is within [0, 24) the engine checks, for
    documents and snapshots too). TypeError otherwise."""
    if value is None:
        return None
    if isinstance(value, (str, bytes)) or not isinstance(value, Sequence) \
            or len(value) != 2:
        raise TypeError(f"hours must be a (start, end) pair of numbers, got "
                        f"{kind(value)}")
    return hours(value[0], value[1])


def hours(start: object, end: object) -> tuple[float, float]:
    """A layer's hours from ``start`` to ``end``, each a real number
    (TypeError otherwise)."""
    return real(start, "start"), real(end, "end")


#: A time of day as a client writes it, "HH:MM" (00:00 to 23:59).
CLOCK_PATTERN = r"([01][0-9]|2[0-3]):([0-5][0-9])"
_CLOCK = re.compile(CLOCK_PATTERN)


def time_of_day(value: object) -> float:
    """The hour of the day a request is for, as a number of hours in [0,
    24): ``at=``, a ``datetime.time``, a ``datetime.datetime`` (its time of
    day as it reads, whatever its time zone) or a text "HH:MM". TypeError
    for another kind, ValueError for another text."""
    if isinstance(value, str):
        return _clock_hours(value)
    if isinstance(value, datetime.datetime):
        value = value.time()
    elif not isinstance(value, datetime.time):
        raise TypeError(f'at must be a datetime.time, a datetime or a text '
                        f'"HH:MM", got {kind(value)}')
    # One division of exact integers, rounded once: a time that is an hour
    # written in decimals (20:06, 20.1) is that very double.
    micros = ((value.hour * 60 + value.minute) * 60 + value.second) * 1_000_000 \
        + value.microsecond
    return micros / 3_600_000_000


@functools.lru_cache(maxsize=2048)
def _clock_hours(text: str) -> float:
    """``time_of_day`` of a text "HH:MM", read once per text: a service's
    requests say the same few times over and over."""
    clock = _CLOCK.fullmatch(text)
    if clock is None:
        raise ValueError(f'at must be a time "HH:MM" from 00:00 to 23:59, '
                         f"got {text[:40]!r}")
    return time_of_day(datetime.time(int(clock[1]), int(clock[2])))


def workers(value: object) -> int:
    """How many threads to run requests on: None for one per core, else an
    int >= 1."""
    if value is None:
        return os.process_cpu_count() or 1
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"workers must be an int or None, got {kind(value)}")
    if value < 1:
        raise ValueError(f"workers must be at least 1, got {value}")
    return int(value)
