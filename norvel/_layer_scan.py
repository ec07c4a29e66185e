"""A document's risk layers, read for the document checks: the top-level
member ``risk_layers`` that the engine's loader skips, saying where it was
(``Graph.risk_layers_members``), scanned in its bytes with a few passes of
numpy over each layer's numbers (``member_layers``), or taken from its
value as Python's json reads it (``value_layers``). Each layer is reduced
to how many risks it holds and which of them lie out of range."""

from __future__ import annotations

import json
import re
import sys
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from norvel._documents import PAIRS_DECODER, Pairs, json_float
from norvel.table import FloatArray

#: The largest finite double.
FINITE_MAX = sys.float_info.max

Indices = npt.NDArray[np.intp]


def out_of_range(values: FloatArray, low: float) -> Indices:
    """The positions of the values outside [low, the largest finite
    double], ascending."""
    # A comparison with NaN is false, so NaN counts as out of range.
    return np.flatnonzero(~((values >= low) & (values <= FINITE_MAX)))


@dataclass(frozen=True)
class Risks:
    """One layer's array: how many values it holds, and the positions
    (ascending) and values of those outside [0, the largest finite
    double]."""

    count: int
    wrong: Indices
    wrong_values: FloatArray

    @classmethod
    def of(cls, risks: FloatArray) -> Risks:
        wrong = out_of_range(risks, 0.0)
        return cls(len(risks), wrong, risks[wrong])


@dataclass(frozen=True)
class Layers:
    """A document's `risk_layers`: how many top-level members of that name
    it has, and the last one's layers in document order, each name with
    its risks (None when they are not an array of numbers); ``layers`` is
    None when that member is not an object."""

    members: int
    layers: list[tuple[str, Risks | None]] | None


_SPACE = re.compile(rb"[ \t\n\r]*")
_STRING = re.compile(rb'"(?:[^"\\]|\\.)*"', re.S)
# What an array of JSON numbers holds between its brackets.
_NUMBERS = re.compile(rb"[ \t\n\r0-9eE+\-.,]*")
# The longest number that number_text_risks takes as plain (a float's
# repr is 24 characters at most).
_PLAIN_NUMBER_LENGTH = 24
_COMMA, _MINUS, _EXPONENT = ord(","), ord("-"), ord("e")


def member_layers(data: bytes, members: list[tuple[int, int]]
                  ) -> Layers | None:
    """The layers of a document's top-level `risk_layers` members, given
    where the loader found their values (``Graph.risk_layers_members``);
    None when it has none."""
    if not members:
        return None
    start, end = members[-1]
    return Layers(len(members), _read_layers(data, start, end))


def value_layers(values: list[Any]) -> Layers | None:
    """The layers of a document's top-level `risk_layers` members, given
    their values in document order as ``json_document`` reads them; None
    when it has none."""
    if not values:
        return None
    return Layers(len(values), _parsed_layers(values[-1]))


def _skip_space(data: bytes, at: int) -> int:
    space = _SPACE.match(data, at)
    assert space is not None  # [ \t\n\r]* matches anywhere
    return space.end()


def _read_layers(data: bytes, start: int, end: int
                 ) -> list[tuple[str, Risks | None]] | None:
    """The layers of the member value ``data[start:end]``, None when it is
    no object: arrays of plain numbers straight from the bytes; a value
    with anything else in it through json."""
    if data[start:start + 1] != b"{":
        return None
    layers: list[tuple[str, Risks | None]] = []
    at = _skip_space(data, start + 1)
    if data[at:at + 1] == b"}":
        return layers
    while True:
        name = _STRING.match(data, at)
        assert name is not None  # the text is valid JSON
        at = _skip_space(data, _skip_space(data, name.end()) + 1)
        close = data.find(b"]", at)
        if data[at:at + 1] != b"[" \
                or _NUMBERS.fullmatch(data, at + 1, close) is None:
            # NaN, strings, nested arrays...: a faulty document, read the
            # slow way.
            return _parsed_layers(
                PAIRS_DECODER.decode(data[start:end].decode()))
        layers.append((json.loads(name.group()),
                       number_text_risks(data[at + 1:close])))
        at = _skip_space(data, close + 1)
        if data[at:at + 1] != b",":
            return layers
        at = _skip_space(data, at + 1)


def number_text_risks(text: bytes) -> Risks:
    """The risks of the comma-separated JSON numbers ``text``.

    Parsing every number would cost about 0.25 us each (4,000,000 edges: 1
    s a layer). Only a number that may be out of range is parsed, by
    float(), which rounds as the loader does: one with a minus sign that
    is no exponent's, one with an exponent of three characters or more, one
    longer than _PLAIN_NUMBER_LENGTH characters. Any other is 0 or more, and
    below 10**120 (21 digits and an exponent of 99 at most): finite. A
    sound layer has few such numbers, so its cost is a few passes of numpy
    over its bytes.
    """
    if not text.strip():
        return Risks.of(np.empty(0, dtype=np.float64))
    chars = np.frombuffer(text, dtype=np.uint8)
    # Number k lies between bounds[k] + 1 and bounds[k + 1].
    bounds = np.concatenate(([-1], np.flatnonzero(chars == _COMMA),
                             [len(text)]))
    commas = bounds[1:-1]
    minus = np.flatnonzero(chars == _MINUS)
    # ORed with 0x20, "E" becomes "e".
    signs = minus[chars[np.maximum(minus - 1, 0)] | 0x20 != _EXPONENT]
    exponents = np.flatnonzero(chars | 0x20 == _EXPONENT)
    if len(exponents):
        after = chars[np.minimum(exponents + 1, len(text) - 1)]
        number_ends = bounds[np.searchsorted(commas, exponents) + 1]
        exponents = exponents[(after != _MINUS)
                              & (exponents + 3 < number_ends)]
    positions = np.unique(np.concatenate((
        np.searchsorted(commas, signs), np.searchsorted(commas, exponents),
        np.flatnonzero(np.diff(bounds) > _PLAIN_NUMBER_LENGTH + 1))))
    values = np.array([float(text[a:b]) for a, b in zip(
        (bounds[positions] + 1).tolist(), bounds[positions + 1].tolist())],
        dtype=np.float64)
    found = Risks.of(values)
    return Risks(len(bounds) - 1, positions[found.wrong], found.wrong_values)


def _parsed_layers(value: Any) -> list[tuple[str, Risks | None]] | None:
    """The layers of a `risk_layers` member's value as PAIRS_DECODER reads
    it; None when it is no object."""
    if not isinstance(value, Pairs):
        return None
    layers: list[tuple[str, Risks | None]] = []
    for name, risks_value in value:
        risks = None
        if isinstance(risks_value, list) and not isinstance(risks_value, Pairs) \
                and all(isinstance(v, (int, float)) and not isinstance(v, bool)
                        for v in risks_value):
            risks = Risks.of(np.array([json_float(v) for v in risks_value],
                                      dtype=np.float64))
        layers.append((name, risks))
    return layers
