"""Catchments: every walk to one place, or from it, within a time limit.

    catchment = router.catchment((60.1699, 24.9384), minutes=15)
    catchment.nodes            # a pandas row per node (extra norvel_core[batch])
    catchment.route(node)      # that node's Routes, as router.route gives them
    catchment.to_geodataframe("areas").explore()   # extra norvel_core[geopandas]

A node belongs to the catchment when its shortest route to the place (with
``direction="from"``: from the place) takes at most ``minutes`` at the
routes' walking speed: ``time_min`` = ``distance_m`` / 66.67 <= minutes. For
each such node the catchment holds the totals of the shortest, safest and
balanced routes that ``router.route`` gives for it, bit for bit, found by
one search from the place rather than one request per node. The safest
route may take longer than ``minutes``: how much longer a safe way is, is
what a catchment tells.

Several places (a list, array or Series of node ids or points) make one
catchment of them all: a node's front is that of every walk to any of
them, its routes are chosen from it as ``route`` chooses (a tie of totals
going to the lower place index), and the ``shortest_place``,
``safest_place`` and ``balanced_place`` columns say which place each goes
to. ``within_m`` and ``within_risk`` are the least risky walk that takes at
most ``minutes``: the risk of the safest walk that fits the time budget.

With ``max_detour=X``, ``within_detour_m`` and ``within_detour_risk`` are
each node's least risky walk at most 1 + X times as long as its shortest
walk (``distance_m <= (1.0 + X) * shortest_m``, evaluated as written; of
equal risks the shorter, then the lower place index): the totals of the
route of type "within_detour" that ``router.route`` with ``max_detour=X``
gives between the node and the place, bit for bit. With several places the budget is over the node's shortest
walk to any place, and the walk may go to any place within it, as the
node's other routes are chosen from its walks to all of them. X = 0 gives
the shortest walk's totals; a budget that takes in the safest walk gives
the least risky point of the node's front (the safest route's totals but
where parallel ways of other costs make ``route`` leave that route out).
With an infinite X, a node at the place itself (a shortest walk of 0 m)
has NaN, as ``route`` gives no such route there (inf x 0 is NaN).
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from functools import cached_property
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from norvel import _catchment_maps, _catchment_routes, _values
from norvel._catchment_maps import CatchmentSegments, GeometryKind
from norvel._extras import require
from norvel.table import IdRows

if TYPE_CHECKING:
    import folium
    import geopandas
    import pandas

    from norvel import _requests
    from norvel._engine import CatchmentColumns
    from norvel._session import Session
    from norvel.routes import Route, Routes, Snap
    from norvel.table import IdArray, NodeTable

__all__ = ["COMPARED", "Catchment", "CatchmentSegments", "WALKING_SPEED_M_PER_MIN",
           "several_places"]

#: Metres a minute at which a route is walked: its ``time_min`` is its
#: ``distance_m`` divided by this.
WALKING_SPEED_M_PER_MIN = _values.WALKING_SPEED_M_PER_MIN


# The route totals of each node, in the engine's column names; which
# place each route goes to; the least risky walk within the minutes; and
# within the detour budget, where one was asked.
_TOTALS = _catchment_routes.TOTALS
_PLACES = _catchment_routes.PLACES
_WITHIN = ("within_m", "within_risk")
_DETOUR = _catchment_routes.DETOUR


def catchment_of(session: Session, place: object, minutes: float,
                 direction: str, request: _requests.Options,
                 max_detour: float | None = None) -> Catchment:
    """The catchment of ``place``, one or several (``several_places``),
    for checked ``minutes``, ``direction``, options and ``max_detour``
    (``Router.catchment``)."""
    several = several_places(place)
    if several is None:
        snap, columns = session.catchment(place, minutes, direction, request,
                                          max_detour)
        return Catchment(session, snap, minutes, direction, columns, None,
                         request.risk, request.avoid, max_detour)
    snaps, columns = session.catchment_columns(several, minutes, direction,
                                               request, max_detour=max_detour)
    return Catchment(session, snaps[0], minutes, direction, columns, snaps,
                     request.risk, request.avoid, max_detour)


def several_places(value: object) -> list[object] | None:
    """The places of a catchment asked for several (a list, a tuple other
    than one (lat, lon) pair, a numpy array of ids or of (lat, lon) rows,
    a pandas Series), as a list; None for one place (an id, or a tuple of
    two numbers)."""
    if isinstance(value, tuple):
        if len(value) == 2 and all(
                isinstance(part, (int, float, np.integer, np.floating))
                and not isinstance(part, (bool, np.bool_))
                for part in value):
            return None
        return list(value)
    if isinstance(value, list):
        return [tuple(one) if isinstance(one, list) else one
                for one in value]
    if isinstance(value, np.ndarray):
        if value.ndim == 2 and value.shape[1] == 2:
            return [(float(lat), float(lon)) for lat, lon in value.tolist()]
        if value.ndim == 1 and np.issubdtype(value.dtype, np.integer):
            return [int(one) for one in value.tolist()]
        raise TypeError("an array of places must hold node ids (1-D, "
                        "integers) or (lat, lon) rows (n x 2)")
    if type(value).__name__ == "Series" and hasattr(value, "tolist"):
        return several_places(list(value.tolist()))
    return None

#: What ``Catchment.compare`` sets side by side for each node.
COMPARED = ("shortest_m", "shortest_risk", "safest_m", "safest_risk", "detour_m")


class Catchment:
    """Every node whose shortest walk to the place (``direction`` "to") or
    from it ("from") takes at most ``minutes``, with its three routes.

    ``place``: the place's ``Snap`` (with several, the first's;
    ``places``: all of them, None for one); ``minutes``; ``direction``;
    ``node_ids``: the nodes, by shortest distance then id (``len``, ``in``
    and iteration follow them); ``nodes``: a pandas DataFrame of them and
    their routes' totals; ``route(node)``: a node's ``Routes``;
    ``to_geodataframe`` and ``explore``: on a map; ``compare(other)``:
    node by node beside another catchment. ``risk``: the risk layer it was
    searched on. ``max_detour``: the detour budget of the
    ``within_detour`` columns, None without them. ``report``: what the
    search did (``answered_by_request``: nodes whose balanced route was an
    exact tie between two routes, which their own request answered).
    Made by ``Router.catchment``.
    """

    def __init__(self, session: Session, place: Snap, minutes: float,
                 direction: str, columns: CatchmentColumns,
                 places: Sequence[Snap] | None = None,
                 risk: str = _values.DEFAULT_RISK,
                 avoid: npt.NDArray[np.uint32] | None = None,
                 max_detour: float | None = None) -> None:
        self._session = session
        self.max_detour = max_detour
        self.risk = risk
        # The edges its walks avoid (resolved indices), which the routes
        # it gives for a node avoid too.
        self._avoid = avoid
        self.place = place
        #: Every place asked (one ``Snap`` each, in their order); None for a
        #: catchment of one place.
        self.places: list[Snap] | None = (
            None if places is None else list(places))
        self.minutes = minutes
        self.direction = direction
        self._columns = columns
        self.report: dict[str, int | float] = dict(columns["report"])

    @property
    def avoided(self) -> npt.NDArray[np.uint32] | None:
        """The document indices of the edges its walks avoid (``avoid=``):
        indices given as one list or array as they were given, in their
        order; any other form's sorted and distinct; None for none. Its
        street segments leave them out."""
        return self._avoid

    @property
    def node_ids(self) -> IdArray:
        """The nodes' ids (uint64), by shortest distance, then by id."""
        return self._columns["node"]

    def __len__(self) -> int:
        return len(self.node_ids)

    def __iter__(self) -> Iterator[int]:
        return iter(self.node_ids.tolist())

    def __contains__(self, node: object) -> bool:
        return self._row(node) is not None

    def __repr__(self) -> str:
        way = "to" if self.direction == "to" else "from"
        return (f"<Catchment: {len(self)} nodes within {self.minutes:g} min "
                f"walking {way} node {self.place.node}>")

    @cached_property
    def _by_id(self) -> IdRows:
        return IdRows(self.node_ids)

    def rows_of(self, nodes: IdArray) -> npt.NDArray[np.int64]:
        """The row of each node id (``nodes``, uint64) in ``node_ids``, -1
        for an id outside the catchment."""
        return self._by_id.rows(nodes)

    def _row(self, node: object) -> int | None:
        if isinstance(node, bool) or not isinstance(node, (int, np.integer)):
            return None
        if not 0 <= int(node) < 2**64:
            return None
        row = int(self.rows_of(np.array([node], dtype=np.uint64))[0])
        return None if row < 0 else row

    def columns(self) -> dict[str, npt.NDArray[Any]]:
        """The columns of ``nodes`` as read-only numpy arrays, without
        pandas: ``node``, ``lat``, ``lon``, the routes' totals and places,
        ``within_m`` and ``within_risk``, and with ``max_detour``
        ``within_detour_m`` and ``within_detour_risk``, in the rows'
        order."""
        columns = self._columns
        data: dict[str, npt.NDArray[Any]] = {
            name: columns[name]  # type: ignore[literal-required]
            for name in ("node", "lat", "lon", *_TOTALS, *_PLACES, *_WITHIN,
                         *self._detour)}
        return data

    @property
    def _detour(self) -> tuple[str, ...]:
        return _DETOUR if self.max_detour is not None else ()

    @cached_property
    def nodes(self) -> pandas.DataFrame:
        """A row per node, by shortest distance then id: ``node`` (id),
        ``lat``, ``lon``, and per route (shortest, safest, balanced) its
        ``_m`` (distance_m) and ``_risk``, bit for bit as ``router.route``
        gives them; ``detour_m``: safest_m - shortest_m.

        Where ``router.route`` gives fewer than three routes, the safest or
        the balanced route repeats an earlier one, and its columns hold that
        route's values: the safest's those of the shortest, the balanced's
        those of the shortest or the safest. ``shortest_place``,
        ``safest_place``, ``balanced_place``: the index into the places of
        each route's place (0 with one place). ``within_m``,
        ``within_risk``: the least risky walk of the node's front that
        takes at most ``minutes`` (then the shortest such);
        ``within_detour_m``, ``within_detour_risk`` with ``max_detour``
        (see the module). Pandas: ``pip install 'norvel_core[batch]'``."""
        require("Catchment.nodes", "batch", "pandas")
        import pandas

        columns = self._columns
        data: dict[str, npt.NDArray[Any]] = {
            "node": columns["node"], "lat": columns["lat"],
            "lon": columns["lon"]}
        for name in _TOTALS:
            data[name] = columns[name]  # type: ignore[literal-required]
        data["detour_m"] = _values.detour_m(columns["shortest_m"],
                                            columns["safest_m"])
        for name in (*_PLACES, *_WITHIN, *self._detour):
            data[name] = columns[name]  # type: ignore[literal-required]
        return pandas.DataFrame(data)

    def route(self, node: int) -> Routes | list[tuple[int, Route]]:
        """The routes between ``node`` (a node of the catchment) and the
        place, in the catchment's direction: ``router.route`` itself, so
        with the paths and streets too. With several places, the node's
        shortest, safest and balanced routes as (place index, Route) pairs,
        a route that repeats an earlier one left out as ``route`` leaves it
        out; each is the route of that type between the node and its
        place (``router.route``). The balanced walk of the union's front
        can be none of its own pair's three routes (that pair's front has
        points the union's lacks, which move its balance): it is then that
        pair's point of the same costs from ``router.front``, typed
        "balanced". With ``max_detour``, the route of type "within_detour"
        follows: ``router.route(..., max_detour=...)``'s own with one
        place; with several, the pair's point of the front with the
        node's ``within_detour`` totals (given even where it repeats a
        route before it, as ``route`` gives it; left out where the node
        has none). KeyError for a node outside."""
        row = self._row(node)
        if row is None:
            raise KeyError(f"node {node} is not in the catchment")
        asked = _catchment_routes.Asked(self._session, self.direction, self.risk,
                                        self._avoid, self.max_detour)
        if self.places is None:
            return _catchment_routes.routes(asked, int(node), self.place.node)
        return _catchment_routes.several_routes(
            asked, [place.node for place in self.places], self._columns, row,
            int(node))

    # On the map
    @property
    def table(self) -> NodeTable:
        """The node table of the catchment's graph."""
        return self._session.table

    def segments(self) -> CatchmentSegments:
        """The street segments with both ends in the catchment, a two-way
        street once, in the graph document's order of edges, each with its
        tail's walk: the rows of ``to_geodataframe("edges")``, without
        geopandas."""
        return _catchment_maps.segments(self)

    def to_geodataframe(self, kind: GeometryKind = "edges", *,
                        bands: Sequence[float] | None = None
                        ) -> geopandas.GeoDataFrame:
        """The catchment as a GeoDataFrame in EPSG:4326 (geopandas: ``pip
        install 'norvel_core[geopandas]'``).

        ``kind="edges"``: a LineString per street segment with both ends in
        the catchment (a two-way street once), with ``tail``, ``head``,
        ``name``, ``minutes`` (of the shortest walk between its tail and the
        place) and ``risk`` (that walk's risk), with ``max_detour``
        ``within_detour_m`` and ``within_detour_risk`` (the tail's walk
        within the detour). ``"nodes"``: a Point per
        node with the columns of ``nodes``. ``"areas"``: a polygon per time
        band (``bands``, in minutes, each at most ``minutes``; by default
        a third, two thirds and all of it) covering the streets whose both
        ends are within the band, 30 m wide on each side with gaps up to
        30 m filled, so that every point of it lies within 45 m of such a
        street; a band without such a street covers its nodes alike.
        Columns ``band`` (minutes) and ``nodes`` (how many are within)."""
        return _catchment_maps.to_geodataframe(self, kind, bands)

    def explore(self, **kwargs: Any) -> folium.Map:
        """An interactive folium map of the streets of the catchment,
        coloured by the minutes of their shortest walk, and the place;
        keyword arguments go to ``GeoDataFrame.explore`` (geopandas: ``pip
        install 'norvel_core[geopandas]'``)."""
        return _catchment_maps.explore(self, **kwargs)

    # Against another catchment
    def compare(self, other: Catchment) -> pandas.DataFrame:
        """This catchment beside ``other``, node by node, matched by node id:
        the same place on two risk layers (night against day), or on two
        graphs (after a street changed, against before).

        A row per node of either catchment: this catchment's nodes in its
        order, then those of ``other`` alone in theirs. ``node``, ``lat``
        and ``lon`` (this catchment's where it holds the node); for each
        of ``COMPARED`` (shortest_m, shortest_risk, safest_m, safest_risk,
        detour_m) the value here (``_this``), in ``other`` (``_other``) and
        ``change_`` it: this one's minus the other's; ``missing_from``:
        None, or "this" or "other" for a node only one of them holds, whose
        values on the other side and changes are NaN (pandas: ``pip
        install 'norvel_core[batch]'``)."""
        require("Catchment.compare", "batch", "pandas")
        import pandas

        data: dict[str, Any] = dict(self.compare_columns(other))
        # Of objects, so that a node both hold has None, not a NaN text.
        data["missing_from"] = pandas.Series(data["missing_from"], dtype=object)
        return pandas.DataFrame(data)

    def compare_columns(self, other: Catchment) -> dict[str, npt.NDArray[Any]]:
        """The columns of ``compare(other)`` as numpy arrays, without pandas
        (``missing_from`` an array of objects)."""
        if not isinstance(other, Catchment):
            raise TypeError(f"other must be a Catchment, got "
                            f"{type(other).__name__}")
        rows_here = self.rows_of(other.node_ids)
        only_there = np.flatnonzero(rows_here < 0)
        nodes = np.concatenate((self.node_ids, other.node_ids[only_there]))
        # Per row of the result: its row in each catchment, -1 for none.
        here = np.concatenate((np.arange(len(self)), np.full(len(only_there), -1)))
        there = other.rows_of(nodes)
        data: dict[str, npt.NDArray[Any]] = {
            "node": nodes,
            "lat": np.concatenate((self._columns["lat"],
                                   other._columns["lat"][only_there])),
            "lon": np.concatenate((self._columns["lon"],
                                   other._columns["lon"][only_there]))}
        this_side, other_side = self._compared(here), other._compared(there)
        for name in COMPARED:
            data[f"{name}_this"] = this_side[name]
            data[f"{name}_other"] = other_side[name]
        for name in COMPARED:
            data[f"change_{name}"] = this_side[name] - other_side[name]
        missing = np.full(len(nodes), None, dtype=object)
        missing[here < 0] = "this"
        missing[there < 0] = "other"
        data["missing_from"] = missing
        return data

    def _compared(self, rows: npt.NDArray[np.intp]
                  ) -> dict[str, npt.NDArray[np.float64]]:
        """The ``COMPARED`` values of the given rows, NaN for row -1."""
        columns = self._columns
        values: dict[str, npt.NDArray[np.float64]] = {}
        for name in COMPARED[:-1]:
            column = columns[name]  # type: ignore[literal-required]
            values[name] = np.where(rows >= 0, column[np.maximum(rows, 0)]
                                    if len(column) else np.nan, np.nan)
        values["detour_m"] = _values.detour_m(values["shortest_m"],
                                              values["safest_m"])
        return values
