"""The one table of routes: a row per route of each pair, or one failure
row for a pair that has none, as ``Router.matrix`` and
``norvel.batch.route_pairs`` give it.

Columns: the keys naming the pair (``matrix``: ``origin`` and
``destination``, indices into its inputs; ``route_pairs``: ``pair``), then
``origin_node`` and ``destination_node`` (the nodes the ends snapped to,
<NA> where one did not), the route's ``type``, ``distance_m``, ``risk``,
``time_min``, ``comfort`` and ``familiarity``, optionally ``node_count``,
and ``error`` and ``error_kind`` (a failure row's message and kind, no
type and NaN metrics).
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

from norvel import failures
from norvel._geojson import RouteTotals
from norvel.routes import Snap

if TYPE_CHECKING:
    import pandas

    from norvel._requests import End

#: The columns after the keys, up to the optional ``node_count``.
ROUTE_COLUMNS = ("origin_node", "destination_node", "type", "distance_m",
                 "risk", "time_min", "comfort", "familiarity")
ERROR_COLUMNS = ("error", "error_kind")
# Ids nullable and unsigned, whatever fails: a column of ints and None would
# otherwise pass through float64, which rounds ids above 2**53. Text columns
# are pandas' own (``str``).
_ROUTE_DTYPES: tuple[Any, ...] = ("UInt64", "UInt64", str, "float64",
                                  "float64", "float64", "float64", "float64")
_NODE_COUNT_DTYPE = "Int64"
_ERROR_DTYPES: tuple[Any, ...] = (str, str)


def node_of(end: End) -> int | None:
    """The node an end snapped to, None where it did not."""
    return end.node if isinstance(end, Snap) else None


def rows_of(ends: tuple[Any, ...],
            answer: Iterable[RouteTotals] | BaseException, *,
            node_count: bool = False) -> list[tuple[Any, ...]]:
    """The rows of one pair, whose first columns are ``ends`` (its keys,
    then the nodes its ends snapped to, ``node_of``): one per route of
    ``answer``, or, where it is an exception (its own, or the first
    failure of its ends), one failure row. ``node_count``: the table has
    that column (``answer`` holds ``Route`` objects then)."""
    if isinstance(answer, BaseException):
        nan = math.nan
        return [(*ends, None, nan, nan, nan, nan, nan,
                 *((None,) if node_count else ()), str(answer),
                 failures.error_kind_of(answer))]
    if node_count:
        return [(*ends, t.type, t.distance_m, t.risk, t.time_min, t.comfort,
                 t.familiarity, len(t.nodes), None, None)  # type: ignore[attr-defined]
                for t in answer]
    return [(*ends, t.type, t.distance_m, t.risk, t.time_min, t.comfort,
             t.familiarity, None, None) for t in answer]


def columns(keys: Sequence[str], *, node_count: bool = False) -> tuple[str, ...]:
    """The table's column names, after ``keys``."""
    return (*keys, *ROUTE_COLUMNS, *(("node_count",) if node_count else ()),
            *ERROR_COLUMNS)


def frame(keys: Sequence[tuple[str, Any]], rows: Sequence[tuple[Any, ...]], *,
          node_count: bool = False) -> pandas.DataFrame:
    """The table of ``rows``, ``keys`` being the key columns' (name, dtype):
    built column by column, each with its type, whatever the rows hold (an
    empty table keeps its types)."""
    import pandas

    names = columns([name for name, _ in keys], node_count=node_count)
    dtypes = (*(dtype for _, dtype in keys), *_ROUTE_DTYPES,
              *((_NODE_COUNT_DTYPE,) if node_count else ()), *_ERROR_DTYPES)
    values = list(zip(*rows)) if rows else [()] * len(names)
    return pandas.DataFrame({name: pandas.Series(column, dtype=dtype)
                             for name, column, dtype
                             in zip(names, values, dtypes)})


def matrix(origins: Sequence[End], destinations: Sequence[End],
           answers: Sequence[Iterable[RouteTotals] | BaseException]
           ) -> pandas.DataFrame:
    """``Router.matrix``'s table: the answers of every origin to every
    destination, row-major, keyed by ``origin`` and ``destination``
    (indices into the ends)."""
    # Each end's node once, however many pairs it is in.
    starts = [node_of(end) for end in origins]
    ends = [node_of(end) for end in destinations]
    count = len(ends)
    rows = [row for at, answer in enumerate(answers)
            for i, j in (divmod(at, count),)
            for row in rows_of((i, j, starts[i], ends[j]), answer)]
    return frame((("origin", "int64"), ("destination", "int64")), rows)
