"""Which points of the engine's plane lie within a square around any of a
list of centres, in time proportional to the points (one pass) and to the
squares' edges, not to points times centres.

The squares' box is cut into cells of about an eighth of the reach. A point
in a cell that some square covers whole is inside; a point in a cell that
no square touches is outside; only a point in a cell on a square's edge is
compared with the centres whose squares touch that cell, exactly, in
integers. The answer is exactly that of comparing every point with every
centre.
"""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

Coordinates = npt.NDArray[np.int64]
Mask = npt.NDArray[np.bool_]

# Cells per reach: finer cells leave fewer points on the squares' edges to
# compare, at the cost of more runs of cells to look up per centre.
_CELLS_PER_REACH = 8
# Cells per side of the grid at most (a short reach over a wide box), so
# that the grid's flags stay a few megabytes.
_MOST_CELLS_PER_SIDE = 2048
# Point-centre comparisons per step, to bound the memory of one step.
_COMPARISONS_PER_STEP = 1 << 22
# More than the span of the plane's int32 coordinates: a reach this long
# holds every point from any centre, and a longer one would overflow the
# grid's int64 arithmetic.
_PAST_THE_PLANE = 1 << 32


def within_squares(x: Coordinates, y: Coordinates, centre_x: Coordinates,
                   centre_y: Coordinates, reach: int) -> Mask:
    """Per point (``x``, ``y``), whether some centre lies within ``reach``
    of it along both axes: |x - cx| <= reach and |y - cy| <= reach.
    ``reach`` >= 0, as long as need be; coordinates within the plane's
    int32 range."""
    inside = np.zeros(len(x), dtype=bool)
    if not len(x) or not len(centre_x):
        return inside
    reach = min(reach, _PAST_THE_PLANE)
    west, south = int(centre_x.min()) - reach, int(centre_y.min()) - reach
    extent = max(int(centre_x.max()) + reach - west,
                 int(centre_y.max()) + reach - south) + 1
    side = max(math.ceil(reach / _CELLS_PER_REACH),
               math.ceil(extent / _MOST_CELLS_PER_SIDE), 1)
    count = -(-extent // side)
    # Each centre's square in cells: those it touches, and those it covers.
    low_x, low_y = (centre_x - reach - west), (centre_y - reach - south)
    high_x, high_y = low_x + 2 * reach, low_y + 2 * reach
    touched = np.zeros((count, count), dtype=bool)
    covered = np.zeros((count, count), dtype=bool)
    rows = np.column_stack([low_y // side, high_y // side,
                            -(-low_y // side), (high_y + 1) // side]).tolist()
    columns = np.column_stack([low_x // side, high_x // side,
                               -(-low_x // side), (high_x + 1) // side]).tolist()
    for (row_in, row_out, row_from, row_to), (col_in, col_out, col_from, col_to) \
            in zip(rows, columns):
        touched[row_in:row_out + 1, col_in:col_out + 1] = True
        covered[row_from:row_to, col_from:col_to] = True
    # One pass over the points: the cell of each within the box.
    cell_x, cell_y = x - west, y - south
    in_box = ((cell_x >= 0) & (cell_x < extent)
              & (cell_y >= 0) & (cell_y < extent))
    boxed = np.flatnonzero(in_box)
    cell = (cell_y[boxed] // side) * count + cell_x[boxed] // side
    inside[boxed[covered.ravel()[cell]]] = True
    edge = touched.ravel()[cell] & ~covered.ravel()[cell]
    _compare_on_edges(inside, boxed[edge], cell[edge], x, y, centre_x,
                      centre_y, reach, rows, columns, count)
    return inside


def _compare_on_edges(inside: Mask, points: npt.NDArray[np.intp],
                      cells: Coordinates, x: Coordinates, y: Coordinates,
                      centre_x: Coordinates, centre_y: Coordinates,
                      reach: int, rows: list[list[int]],
                      columns: list[list[int]], count: int) -> None:
    """Marks in ``inside`` the ``points`` (in cells on some square's edge)
    within a square: each compared with every centre whose square touches
    its cell, those found a row of cells at a time in the points sorted by
    cell."""
    if not len(points):
        return
    order = np.argsort(cells, kind="stable")
    points, cells = points[order], cells[order]
    # One run of cells per centre and row of cells it touches.
    owners: list[int] = []
    firsts: list[int] = []
    lasts: list[int] = []
    for centre, ((row_in, row_out, _, _), (col_in, col_out, _, _)) in \
            enumerate(zip(rows, columns)):
        for row in range(row_in, row_out + 1):
            owners.append(centre)
            firsts.append(row * count + col_in)
            lasts.append(row * count + col_out)
    starts = np.searchsorted(cells, firsts, side="left")
    lengths = np.searchsorted(cells, lasts, side="right") - starts
    owner = np.asarray(owners, dtype=np.intp)
    runs = np.flatnonzero(lengths)
    starts, lengths, owner = starts[runs], lengths[runs], owner[runs]
    ends = np.cumsum(lengths)
    step = 0
    while step < len(runs):
        # As many runs as fit a step's comparisons (at least one).
        base = ends[step - 1] if step else 0
        stop = max(int(np.searchsorted(ends, base + _COMPARISONS_PER_STEP,
                                       side="right")), step + 1)
        sizes = lengths[step:stop]
        at = (np.arange(int(sizes.sum()), dtype=np.intp)
              + np.repeat(starts[step:stop] - (ends[step:stop] - sizes - base),
                          sizes))
        which = points[at]
        centres = np.repeat(owner[step:stop], sizes)
        near = ((np.abs(x[which] - centre_x[centres]) <= reach)
                & (np.abs(y[which] - centre_y[centres]) <= reach))
        inside[which[near]] = True
        step = stop
