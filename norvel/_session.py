"""One graph in the engine, and the requests it answers.

A ``Session`` owns everything the package keeps of one graph: the engine's
graph object, its node table, the nearest-node index (built when first
needed), the walking tags and street facts of its edges, and its risk
layers. Every interface reaches the graph through it: ``Router`` and
``Catchment`` are thin facades over a session, and the batch, ``access``,
the risk layers, the service, the files and the command line ask their
session, never another module's private members.

A request enters as checked options (``options``) and ends (``ends``,
every point of a request in one question to the index); the session asks
the engine and turns its answer into values (``Routes``, ``Route``,
catchment columns) or its failure into the one exception
``norvel.failures`` gives for it.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple, cast

import numpy as np
import numpy.typing as npt
from norvel_core import PyGraph

from norvel import _avoid, _files, _requests, _values, _walks
from norvel._layers import RiskLayers
from norvel._native import engine
from norvel._values import DEFAULT_EPS, DEFAULT_RISK
from norvel.routes import Route, Routes, Snap, route_of_row
from norvel.steps import EdgeFacts
from norvel.table import IdArray, NodeTable

if TYPE_CHECKING:
    import pandas

    from norvel._engine import CatchmentColumns

__all__ = ["Front", "NearestIndex", "Session"]

#: The roles of a pair's two ends, in order.
PAIR_ROLES = ("origin", "destination")


class Front(NamedTuple):
    """Every route of a pair's exact front, with the snaps of its ends."""

    routes: list[Route]
    origin: Snap
    destination: Snap


class Session:
    """A graph loaded by the engine, with what the package derives from it
    once. It never changes but for risk layers added (``layers``), and
    serves any number of threads at once."""

    def __init__(self, graph: engine.Graph,
                 document: Callable[[], bytes] | None = None) -> None:
        """``graph``: the engine's graph; ``document``: a function that
        gives the bytes of the document it was loaded from, read once when
        the walking tags are first asked (None: no tags)."""
        self.engine = graph
        self.table = NodeTable(graph)
        self.tags = _files.EdgeTags(document, int(graph.edge_count))
        self.layers = RiskLayers(graph, EdgeFacts(graph, self.table,
                                                  tags=self.tags))
        self._index: NearestIndex | None = None
        self._segments = _avoid.EdgeSegments(graph)
        self._core: PyGraph | None = None
        self._lock = threading.Lock()

    @classmethod
    def from_file(cls, path: str | os.PathLike[str]) -> Session:
        """The session of a graph file (a document or a snapshot, told
        apart by content; see ``norvel._files``)."""
        graph = _files.load_engine_graph(path)
        if graph.mapped:
            return cls(graph)
        source = os.path.abspath(path)
        return cls(graph, lambda: _files.read_graph_bytes(source))

    @classmethod
    def from_json(cls, text: str) -> Session:
        """The session of a document's JSON text."""
        graph = engine.Graph.load(text)
        # The text is kept for the walking tags only when it has some.
        return cls(graph, (lambda: text.encode()) if '"tags"' in text else None)

    @property
    def edge_count(self) -> int:
        return int(self.engine.edge_count)

    def core_graph(self) -> PyGraph:
        """The same graph as a ``norvel_core.PyGraph``, built the first
        time it is asked for."""
        core = self._core
        if core is None:
            with self._lock:
                if self._core is None:
                    self._core = PyGraph.from_json(
                        _files.core_document(self.engine))
                core = self._core
        return core

    # Risk layers
    def layer_names(self) -> list[str]:
        """The layers' names (``RiskLayers.names``)."""
        return self.layers.names()

    def layer_risks(self, layer: str) -> npt.NDArray[np.float64]:
        """The risk of every edge on ``layer``, in document order."""
        return self.layers.risks(layer)

    def facts(self, layer: str = DEFAULT_RISK) -> EdgeFacts:
        """What steps read of each edge on a risk layer."""
        return self.layers.facts(layer)

    # Checked requests
    def options(self, eps: object = DEFAULT_EPS,
                max_snap_m: object = _values.DEFAULT_MAX_SNAP_M,
                timeout_s: object = None, risk: object = None, *,
                exact: bool = False, avoid: object = None,
                at: object = None) -> _requests.Options:
        """A request's options checked on this graph (its layers, and with
        ``at`` the layer its hours give), the edges it avoids resolved
        (``avoided``)."""
        return _requests.options(self.layer_names, eps, max_snap_m,
                                 timeout_s, risk, exact=exact,
                                 avoid=self.avoided(avoid), at=at,
                                 hours=self.layers.hours)

    def avoided(self, value: object) -> _avoid.EdgeIndices | None:
        """The document indices of the edges ``value`` names (edge indices,
        a mask, a geometry in (lon, lat), or a list of these; see
        ``norvel._avoid``); None for None."""
        return _avoid.resolve(value, self._segments)

    def nearest_index(self) -> NearestIndex:
        """The nearest-node index, built the first time it is asked."""
        index = self._index
        if index is None:
            with self._lock:
                if self._index is None:
                    self._index = NearestIndex(self.engine)
                index = self._index
        return index

    def ends(self, places: Sequence[object], roles: Sequence[str],
             max_snap_m: float, *, strict: bool = True,
             avoid: _avoid.EdgeIndices | None = None) -> list[_requests.End]:
        """Where each place starts or ends a request (``_requests.ends``):
        every point in one question to the index."""
        return _requests.ends(self.nearest_index, places, roles, max_snap_m,
                              strict=strict, avoid=avoid)

    def snapped(self, places: Sequence[object], roles: Sequence[str],
                max_snap_m: float,
                avoid: _avoid.EdgeIndices | None = None) -> list[Snap]:
        """The snaps of ``places``, the first failure raised."""
        return [_requests.snapped(end)
                for end in self.ends(places, roles, max_snap_m, avoid=avoid)]

    def nearest_points(self, lats: npt.NDArray[np.float64],
                       lons: npt.NDArray[np.float64],
                       avoid: _avoid.EdgeIndices | None = None
                       ) -> tuple[IdArray, npt.NDArray[np.float64]]:
        """The nearest node with an outgoing edge (outside ``avoid``) to
        each point (checked coordinates, one shape): ``(ids, metres)`` of
        that shape. SnapError when there are points and no node has one."""
        return self.nearest_index().points(lats, lons, avoid)

    # Routes
    def pair_ends(self, origin: object, destination: object,
                  request: _requests.Options) -> tuple[Snap, Snap]:
        """The snapped ends of one request, the origin's failure raised
        first."""
        source, target = self.snapped((origin, destination), PAIR_ROLES,
                                      request.max_snap_m, request.avoid)
        return source, target

    def route(self, origin: object, destination: object,
              request: _requests.Options) -> Routes:
        """``Router.route``'s answer."""
        source, target = self.pair_ends(origin, destination, request)
        result = self.engine.route(source.node, target.node, request.eps,
                                   request.timeout_s, request.risk,
                                   request.avoid)
        if isinstance(result, engine.Failure):
            raise _requests.failure(result, source.node, target.node,
                                    request.timeout_s)
        return Routes(self.routes_of(result, request.risk), source, target,
                      request.risk)

    def walk(self, origin: object, destination: object,
             request: _requests.Options, choice: _requests.Choice) -> Routes:
        """``Router.route``'s answer with stops, alternatives or a detour
        budget (``norvel._walks`` says how they are chosen)."""
        if choice.plain:
            return self.route(origin, destination, request)
        ends, fronts = self.leg_fronts(origin, destination, choice.via, request)
        return Routes(_walks.routes(fronts, self.facts(request.risk), choice),
                      ends[0], ends[-1], request.risk)

    def leg_fronts(self, origin: object, destination: object,
                   via: Sequence[object], request: _requests.Options
                   ) -> tuple[list[Snap], list[list[Route]]]:
        """The snapped ends of a walk through the stops ``via`` (every
        point in one question to the index, the first failure raised) and
        the exact front of each leg (``_walks.leg_fronts``)."""
        roles = _requests.walk_roles(len(via))
        ends = self.snapped([origin, *via, destination], roles,
                            request.max_snap_m, request.avoid)
        return ends, _walks.leg_fronts(self.engine, ends, roles, request,
                                       self.routes_of)

    def front(self, origin: object, destination: object,
              request: _requests.Options, via: object = ()) -> Front:
        """``Router.front``'s routes, with the snaps of its ends; with
        stops ``via``, the front of the walks through them."""
        if stops := _values.via(via):
            ends, fronts = self.leg_fronts(origin, destination, stops, request)
            return Front(_walks.front_routes(fronts, self.facts(request.risk)),
                         ends[0], ends[-1])
        source, target = self.pair_ends(origin, destination, request)
        result = self.engine.front(source.node, target.node,
                                   request.timeout_s, request.risk,
                                   request.avoid)
        if isinstance(result, engine.Failure):
            raise _requests.failure(result, source.node, target.node,
                                    request.timeout_s)
        return Front(self.routes_of(result, request.risk), source, target)

    def routes_of(self, rows: Sequence[engine.RouteRow],
                  layer: str = DEFAULT_RISK) -> list[Route]:
        """The ``Route`` of each of the engine's route rows on ``layer``."""
        facts = self.facts(layer)
        return [route_of_row(row, facts) for row in rows]

    def answers(self, origins: Sequence[_requests.End],
                destinations: Sequence[_requests.End], workers: int,
                request: _requests.Options, *, paths: bool = True
                ) -> list[Any]:
        """Per pair, its ``Routes`` (with ``paths`` False, the engine's
        totals of each route alone, ``engine.RouteTotals``) or the error
        ``route`` raises for it; a pair whose ends did not both snap keeps
        the first failure of its ends, origin first."""
        answers, ready = _requests.split_failed(origins, destinations)
        results = self.engine.route_many(
            np.array([o.node for _, o, _ in ready], dtype=np.uint64),
            np.array([d.node for _, _, d in ready], dtype=np.uint64),
            request.eps, workers, request.timeout_s, paths, request.risk,
            request.avoid)
        facts = self.facts(request.risk) if paths else None
        for (at, origin, destination), result in zip(ready, results):
            if isinstance(result, engine.Failure):
                answers[at] = _requests.failure(
                    result, origin.node, destination.node, request.timeout_s)
            elif facts is not None:
                rows = cast(list[engine.RouteRow], result)
                answers[at] = Routes([route_of_row(row, facts) for row in rows],
                                     origin, destination, request.risk)
            else:
                answers[at] = result
        return answers

    def every_pair(self, origins: Sequence[object],
                   destinations: Sequence[object], workers: int,
                   request: _requests.Options
                   ) -> tuple[list[_requests.End], list[_requests.End], list[Any]]:
        """The snapped ends of a matrix and the totals of every pair, origin
        by origin (``answers`` without paths). Each end is snapped once,
        however many pairs it is in, both sides in one question to the
        index."""
        snaps = self.ends(
            [*origins, *destinations],
            ["origin"] * len(origins) + ["destination"] * len(destinations),
            request.max_snap_m, avoid=request.avoid)
        starts, ends = snaps[:len(origins)], snaps[len(origins):]
        return starts, ends, self.answers([s for s in starts for _ in ends],
                                          ends * len(starts), workers, request,
                                          paths=False)

    # Catchments
    def catchment(self, place: object, minutes: float, direction: str,
                  request: _requests.Options, max_detour: float | None = None
                  ) -> tuple[Snap, CatchmentColumns]:
        """The snapped place and the engine's columns of one place's
        catchment (checked ``minutes``, ``direction``, ``max_detour``: then
        ``within_detour_*`` too, ``_walks.within_detour``'s rule)."""
        (snap,) = self.snapped([place], [_place_role(direction)],
                               request.max_snap_m, request.avoid)
        result = self.engine.catchment(snap.node, minutes, direction == "to",
                                       request.timeout_s, request.risk,
                                       request.avoid, max_detour)
        if isinstance(result, engine.Failure):
            raise _catchment_failure(result, snap.node, request.timeout_s)
        return snap, result

    def catchment_columns(self, places: Sequence[object], minutes: float,
                          direction: str, request: _requests.Options, *,
                          cutoffs: Sequence[float] | None = None,
                          only: Sequence[int] | None = None,
                          max_detour: float | None = None,
                          within_minutes: bool = False
                          ) -> tuple[list[Snap], CatchmentColumns]:
        """The snapped places and the engine's columns of their catchment
        (checked ``minutes``, ``direction`` and ``cutoffs``). With
        ``cutoffs`` (minutes), ``within_m``, ``within_risk`` and
        ``within_place`` are (nodes, cutoffs) arrays: for each node and
        cutoff the least risky walk of its front that takes at most the
        cutoff (then the shortest, then the lower place), NaN where none
        does; a cutoff above ``minutes`` still reads only the nodes inside
        ``minutes``. Without, vectors for ``minutes``. With ``only`` (node
        ids), the rows of those nodes alone, as in the whole catchment;
        ``max_detour`` as in ``catchment``. With ``within_minutes``, each
        node's front holds only its walks of at most ``minutes`` and the
        search goes no farther: the shortest and ``within_*`` columns
        (cutoffs up to ``minutes``) are as without, ``safest_*`` and
        ``balanced_*`` NaN."""
        if not places:
            raise ValueError("places must not be empty")
        snaps = self.snapped(places, [_place_role(direction)] * len(places),
                             request.max_snap_m, request.avoid)
        result = self.engine.catchment_places(
            [snap.node for snap in snaps], minutes, direction == "to",
            None if cutoffs is None else list(cutoffs), request.timeout_s,
            request.risk, only, request.avoid, max_detour, within_minutes)
        if isinstance(result, engine.Failure):
            raise _catchment_failure(result, snaps[result.place].node,
                                     request.timeout_s)
        return snaps, result

    # Files
    def edges(self) -> pandas.DataFrame:
        """``Router.edges``' table."""
        return _files.edge_table(self.engine, self.tags, self.layer_names())

    def write_document(self, path: str | os.PathLike[str]) -> None:
        """Writes the graph as a document (``Router.to_document``)."""
        _files.write_document(self.engine, self.tags, path)

    def save(self, path: str | os.PathLike[str],
             source_sha256: bytes | None = None) -> None:
        """Writes the graph as a snapshot (``Router.save``)."""
        digest = (source_sha256 if source_sha256 is not None
                  else self.engine.source_sha256 or _files.UNKNOWN_SOURCE)
        if not isinstance(digest, bytes) or len(digest) != 32:
            raise ValueError("source_sha256 must be 32 bytes")
        self.engine.save(os.fsdecode(path), digest)


def _place_role(direction: str) -> str:
    """The role a catchment's places play in its walks' requests."""
    return "destination" if direction == "to" else "origin"


def _catchment_failure(result: engine.Failure, node: int,
                       seconds: float | None) -> Exception:
    """What a catchment's failure from the engine means."""
    return _requests.failure(result, node, node, seconds,
                             request=f"the catchment of node {node}")


class NearestIndex:
    """The engine's nearest-node index over the nodes with an outgoing
    edge: nearest by great-circle distance (of equally near nodes, the
    least id), answered without the interpreter lock."""

    def __init__(self, graph: engine.Graph) -> None:
        self._index = engine.NearestIndex(graph)
        self.size = self._index.size
        self.empty = self.size == 0

    def query(self, lats: npt.NDArray[np.float64],
              lons: npt.NDArray[np.float64],
              avoid: npt.NDArray[np.uint32] | None = None
              ) -> tuple[IdArray, npt.NDArray[np.float64]]:
        """(ids, metres) of the nearest node to each point; empty arrays
        when there is no node. With ``avoid`` (edge indices), of the nodes
        that keep an outgoing edge outside them (ValueError if none
        does)."""
        if self.empty:
            return np.empty(0, np.uint64), np.empty(0, np.float64)
        ids, metres = self._index.query(
            np.ascontiguousarray(lats, dtype=np.float64),
            np.ascontiguousarray(lons, dtype=np.float64), avoid)
        return ids, metres

    def points(self, lats: npt.NDArray[np.float64],
               lons: npt.NDArray[np.float64],
               avoid: npt.NDArray[np.uint32] | None = None
               ) -> tuple[IdArray, npt.NDArray[np.float64]]:
        """``query`` of points of any one shape, answered in that shape;
        SnapError when there are points and no node to snap them to."""
        try:
            if self.empty and lats.size:
                raise ValueError("no node has an outgoing edge")
            ids, metres = self.query(lats.ravel(), lons.ravel(), avoid)
        except ValueError:
            raise _requests.nowhere("point", float(lats.flat[0]),
                                    float(lons.flat[0])) from None
        return ids.reshape(lats.shape), metres.reshape(lats.shape)
