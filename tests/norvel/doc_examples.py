"""The Python examples of a Markdown page, and the output each one shows.

An example is a fenced ``python`` block; a fenced ``text`` block right after
it (blank lines between at most) is what it prints. An HTML comment line
``<!-- not run ... -->`` right before an example keeps it out (one that
needs a running server or a Dask cluster; the comment names the test that
covers it instead).
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass

_NUMBER = re.compile(r"(-?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?)")


@dataclass(frozen=True)
class Example:
    line: int                 # of the opening fence, counted from 1
    code: str
    output: str | None        # what it prints, when the page shows it
    skipped: bool


def _fences(text: str) -> list[tuple[int, int, str, str]]:
    """(opening line index, closing line index, info, body) of each fence."""
    lines = text.split("\n")
    fences, index = [], 0
    while index < len(lines):
        opening = re.match(r"^(`{3,})(.*)$", lines[index])
        if not opening:
            index += 1
            continue
        marker, info = opening.group(1), opening.group(2).strip()
        end = index + 1
        while end < len(lines) and lines[end].rstrip() != marker:
            end += 1
        fences.append((index, end, info, "\n".join(lines[index + 1:end]) + "\n"))
        index = end + 1
    return fences


def examples(text: str) -> list[Example]:
    """The page's Python examples, in order."""
    lines = text.split("\n")
    fences = _fences(text)
    found = []
    for position, (start, end, info, body) in enumerate(fences):
        if info.split(" ")[0] != "python":
            continue
        before = start - 1
        while before >= 0 and not lines[before].strip():
            before -= 1
        skipped = before >= 0 and lines[before].lstrip().startswith("<!-- not run")
        output = None
        if position + 1 < len(fences):
            next_start, _, next_info, next_body = fences[position + 1]
            between = lines[end + 1:next_start]
            if next_info == "text" and not any(line.strip() for line in between):
                output = next_body
        found.append(Example(start + 1, body, output, skipped))
    return found


def same_output(shown: str, printed: str, rel_tol: float = 1e-9) -> bool:
    """Whether printed output reads as the shown one: the same words with
    runs of spaces taken as one, and numbers equal to ``rel_tol`` (so that
    0.48277720743355503 and 0.482777207433555 agree)."""
    def pieces(text: str) -> list[str]:
        return _NUMBER.split(" ".join(text.split()))
    a, b = pieces(shown), pieces(printed)
    if len(a) != len(b):
        return False
    for index, (x, y) in enumerate(zip(a, b)):
        if index % 2 == 0:
            if x.strip() != y.strip():
                return False
        elif x != y and not math.isclose(float(x), float(y), rel_tol=rel_tol):
            return False
    return True
