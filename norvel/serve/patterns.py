"""Regular expressions (the JSON Schema ``pattern`` of the API's
description) for the decimal numbers of an interval, and so for the
"LAT,LON" points and the boxes within a graph's box.

A point that the description shows must lie where the graph is: a
client that writes points anywhere on Earth misses the graph nearly every
time. The interval is widened to whole steps of 10**-digits, with
``digits`` chosen so that a step is at most half the box's extent: the
pattern covers the box and little more. Every text it matches is a number
``norvel._requests.number`` reads, in range for its coordinate."""

from __future__ import annotations

import math

from norvel.serve.served import Box

#: The finest step a pattern goes down to, in decimal digits (0.11 m).
MAX_DIGITS = 6


def decimal_range(low: int, high: int, digits: int) -> str:
    """A regular expression, unanchored, of the decimal texts whose value
    lies in [low, high] * 10**-digits (``low`` <= ``high``, integers): an
    integer part with no leading zero, then a point and decimals; a sign
    for a value below zero."""
    branches = []
    if high >= 0:
        branches += _magnitudes(max(low, 0), high, digits)
    if low < 0:
        branches += ["-" + b for b in _magnitudes(max(-high, 0), -low, digits)]
    return "(?:" + "|".join(branches) + ")"


def _magnitudes(low: int, high: int, digits: int) -> list[str]:
    """Branches of the unsigned texts in [low, high] * 10**-digits (0 <=
    ``low`` <= ``high``): those whose first ``digits`` decimals make a
    number below ``high``, whatever follows, and ``high`` itself followed
    by zeros only."""
    branches = [_decimal(atoms, digits, "[0-9]*")
                for atoms in _digit_classes(low, high - 1, digits)]
    return branches + [_decimal(list(_padded(high, digits)), digits, "0*")]


def _padded(value: int, digits: int) -> str:
    """``value`` written with at least ``digits`` + 1 digits."""
    return str(value).rjust(digits + 1, "0")


def _decimal(atoms: list[str], digits: int, tail: str) -> str:
    """The texts of digit atoms with the decimal point before the last
    ``digits``, then ``tail``. Trailing decimals that may be zeros may be
    left out, as may the point then ("60.17" is "60.170")."""
    whole, decimals = atoms[:len(atoms) - digits], atoms[len(atoms) - digits:]
    rest, droppable = tail, True
    for atom in reversed(decimals):
        droppable = droppable and (atom == "0" or atom.startswith("[0-"))
        rest = f"(?:{atom}{rest})?" if droppable else atom + rest
    if droppable:
        return "".join(whole) + rf"(?:\.{rest})?"
    return "".join(whole) + rf"\.{rest}"


def _digit_classes(low: int, high: int, digits: int) -> list[list[str]]:
    """Sequences of one-digit classes that together match the numbers from
    ``low`` to ``high`` (none when ``low`` > ``high``), each written with
    at least ``digits`` + 1 digits, as ``_padded`` does; split where the
    count of digits changes."""
    sequences: list[list[str]] = []
    while low <= high:
        length = len(_padded(low, digits))
        top = min(high, 10**length - 1)
        sequences += _same_length(_padded(low, digits), _padded(top, digits))
        low = top + 1
    return sequences


def _same_length(low: str, high: str) -> list[list[str]]:
    """Sequences of one-digit classes matching every digit string from
    ``low`` to ``high``, two strings of one length."""
    if not low:
        return [[]]
    rest = len(low) - 1
    if low[1:] == "0" * rest and high[1:] == "9" * rest:
        return [[_class(low[0], high[0]), *["[0-9]"] * rest]]
    if low[0] == high[0]:
        return [[low[0], *tail] for tail in _same_length(low[1:], high[1:])]
    sequences = [[low[0], *tail] for tail in _same_length(low[1:], "9" * rest)]
    if int(high[0]) - int(low[0]) > 1:
        sequences.append([_class(str(int(low[0]) + 1), str(int(high[0]) - 1)),
                          *["[0-9]"] * rest])
    return sequences + [[high[0], *tail] for tail in _same_length("0" * rest, high[1:])]


def _class(low: str, high: str) -> str:
    return low if low == high else f"[{low}-{high}]"


def _steps(low: float, high: float, bound: int) -> tuple[int, int, int]:
    """(low, high, digits): the interval from ``low`` to ``high`` widened to
    whole steps of 10**-digits, each at most half its extent, and kept
    within [-bound, bound]; the ends counted in steps."""
    extent = high - low
    digits = (MAX_DIGITS if extent <= 0 else
              min(MAX_DIGITS, max(0, math.ceil(-math.log10(extent / 2)))))
    scale = 10**digits
    return (max(math.floor(low * scale), -bound * scale),
            min(math.ceil(high * scale), bound * scale), digits)


def coordinates(bbox: Box) -> tuple[str, str]:
    """The patterns of a latitude and of a longitude within ``bbox``."""
    min_lon, min_lat, max_lon, max_lat = bbox
    return (decimal_range(*_steps(min_lat, max_lat, 90)),
            decimal_range(*_steps(min_lon, max_lon, 180)))


def point(bbox: Box) -> str:
    """The anchored pattern of a "LAT,LON" text within ``bbox``."""
    lat, lon = coordinates(bbox)
    return f"^{lat},{lon}$"


#: A node id as a query writes it: a decimal integer of at most 20 digits,
#: no sign, no leading zero.
NODE = "(?:0|[1-9][0-9]{0,19})"


def places(bbox: Box, most: int) -> str:
    """The anchored pattern of 1 to ``most`` places separated by ";", each
    a "LAT,LON" point within ``bbox`` or a node id."""
    lat, lon = coordinates(bbox)
    place = f"(?:{lat},{lon}|{NODE})"
    return f"^{place}(?:;{place}){{0,{most - 1}}}$"


def box(bbox: Box) -> str:
    """The anchored pattern of a "minlon,minlat,maxlon,maxlat" text within
    ``bbox`` whose mins are at most its maxes: the mins in the box's lower
    half, the maxes in its upper (which a pattern can say, unlike the
    order of two numbers)."""
    min_lon, min_lat, max_lon, max_lat = bbox
    halves = [_halves(*_steps(low, high, bound))
              for low, high, bound in ((min_lon, max_lon, 180), (min_lat, max_lat, 90))]
    (low_lon, high_lon), (low_lat, high_lat) = halves
    return f"^{low_lon},{low_lat},{high_lon},{high_lat}$"


def _halves(low: int, high: int, digits: int) -> tuple[str, str]:
    """The patterns of the lower and of the upper half of [low, high] *
    10**-digits, which share only their middle value."""
    middle = (low + high) // 2
    return decimal_range(low, middle, digits), decimal_range(middle, high, digits)
