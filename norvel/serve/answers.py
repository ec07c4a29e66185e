"""The answers of ``norvel serve``, computed in a worker process with the
Router it shares with the other workers: each a (HTTP status, JSON body)
pair.

A route stops itself at the time limit (``Router.route(timeout_s=...)``),
so no request keeps a core busy past it; the street network looks at the
clock as it writes.
"""

from __future__ import annotations

import sys
import time
from collections.abc import Callable
from typing import Any

from norvel import Router, RoutingError, Snap, _geojson, failures
from norvel.errors import RouteTimeoutError
from norvel._values import DEFAULT_MAX_CATCHMENT_NODES, DEFAULT_MAX_SNAP_M, DEFAULT_RISK, Place
from norvel.catchment import Catchment
from norvel.serve import served
from norvel.serve.catchments import (CatchmentTooLarge, catchment_change_geojson,
                                     catchment_geojson)
from norvel.serve.frames import Answer, Job
from norvel.serve.limits import overtime, time_limit
from norvel.serve.network import Overtime, StreetNetwork
from norvel.serve.parameters import names
from norvel.serve.queries import (
    bbox,
    catchment_query,
    compared_layer,
    dumps,
    error_body,
    front_query,
    json_end,
    number,
    options,
    parse_query,
    query_end,
    route_body,
    route_output,
)


class Answers:
    """The endpoints' answers on ``router``, each request within
    ``timeout_s`` seconds, each catchment of at most ``max_catchment_nodes``
    nodes."""

    def __init__(self, router: Router, timeout_s: float,
                 max_catchment_nodes: int = DEFAULT_MAX_CATCHMENT_NODES) -> None:
        self.router = router
        self.timeout_s = time_limit(timeout_s)
        self.max_catchment_nodes = max_catchment_nodes
        self._network: StreetNetwork | None = None

    def answer(self, job: Job) -> Answer:
        """The answer to a job (``frames.Job``); a 500 for a fault of the
        service's own, which is written to stderr (the worker goes on)."""
        try:
            if job[0] == "pair":
                return self.pair(*job[1:])
            queries: dict[str, Callable[[bytes], Answer]] = {
                "route": self.route, "route_body": self.route_body,
                "nearest": self.nearest, "network": self.network,
                "catchment": self.catchment, "front": self.front,
                "served": self.served}
            kind, query = job
            return queries[kind](query)
        except Exception as error:
            print(f"norvel serve worker: {type(error).__name__}: {error} in "
                  f"{job!r:.200}", file=sys.stderr)
            return 500, error_body("internal error")

    def route(self, query: bytes) -> Answer:
        """GET /route."""
        return self._answer(lambda: self._route(parse_query(query, names("/route"))))

    def route_body(self, body: bytes) -> Answer:
        """POST /route: its JSON body read into GET /route's parameters,
        answered as they are."""
        return self._answer(lambda: self._route(*route_body(body)))

    def _route(self, params: dict[str, str], polygons: list[Any] | None = None) -> bytes:
        """The answer of GET /route to the query's ``params``, avoiding the
        GeoJSON ``polygons`` too."""
        form, steps = route_output(params)
        return self._routes(query_end(params, "from", "from_node"),
                            query_end(params, "to", "to_node"),
                            options(params, polygons or ()), form=form, steps=steps)

    def front(self, query: bytes) -> Answer:
        """GET /front: every route of the front, in the collection GET
        /route gives."""
        def answer() -> bytes:
            origin, destination, given = front_query(query)
            session = self.router.session
            request = session.options(
                risk=given.get("risk"), at=given.get("at"),
                max_snap_m=given.get("max_snap_m", DEFAULT_MAX_SNAP_M),
                timeout_s=self.timeout_s, avoid=given.get("avoid"))
            front = session.front(origin, destination, request,
                                  given.get("via", ()))
            return dumps(_geojson.collection(front.routes)
                         | _snaps(front.origin, front.destination)
                         | {"risk_layer": request.risk})

        return self._answer(answer)

    def pair(self, origin: Any, destination: Any, eps: float,
             max_snap_m: float, risk: str = DEFAULT_RISK) -> Answer:
        """One pair of POST /routes: its ends as the client sent them."""
        return self._answer(lambda: self._routes(
            json_end(origin, "from"), json_end(destination, "to"),
            {"eps": eps, "max_snap_m": max_snap_m, "risk": risk}))

    def served(self, query: bytes) -> Answer:
        """What the API's description says of the graph (``served``), as
        JSON; the query is empty."""
        return 200, served.to_json(served.of_router(self.router))

    def nearest(self, query: bytes) -> Answer:
        """GET /nearest."""
        def answer() -> bytes:
            params = parse_query(query, names("/nearest"))
            for name in ("lat", "lon"):
                if name not in params:
                    raise ValueError(f"missing parameter {name!r}")
            snap = self.router.nearest(number(params["lat"], "lat"),
                                       number(params["lon"], "lon"))
            return dumps(_geojson.snap(snap.node, snap.distance_m))

        return self._answer(answer)

    def catchment(self, query: bytes) -> Answer:
        """GET /catchment."""
        def answer() -> bytes:
            place, given = catchment_query(query)
            catchment = self.router.catchment(place, **given, timeout_s=self.timeout_s)
            compare = compared_layer(query)
            if compare is not None:
                return self._compared(catchment, place, given, compare)
            return catchment_geojson(catchment, self.router.table,
                                     self.max_catchment_nodes)

        return self._answer(answer)

    def _compared(self, catchment: Catchment, place: Place, given: dict[str, Any],
                  layer: str) -> bytes:
        """GET /catchment with 'compare': the catchment with the change of
        each segment against the same request on the risk layer ``layer``."""
        if len(catchment) > self.max_catchment_nodes:
            raise CatchmentTooLarge(len(catchment), self.max_catchment_nodes)
        # The other catchment is read for its changes alone.
        options = {name: value for name, value in given.items()
                   if name not in ("risk", "at", "max_detour")}
        other = self.router.catchment(place, **options, risk=layer,
                                      timeout_s=self.timeout_s)
        return catchment_change_geojson(catchment, other, layer, self.router.table,
                                        self.max_catchment_nodes)

    def network(self, query: bytes) -> Answer:
        """GET /network."""
        def answer() -> bytes:
            # The limit counts the drawing of the network, the first time.
            deadline = time.monotonic() + self.timeout_s
            box = bbox(query)
            return self._street_network().geojson(box, deadline)

        return self._answer(answer)

    def _routes(self, origin: Any, destination: Any, given: dict[str, Any],
                *, form: str = "geojson", steps: bool = False) -> bytes:
        """The routes between two ends in ``form`` (see
        ``queries.ROUTE_FORMATS``): the FeatureCollection, with the snaps
        and, with ``steps``, each route's steps; GPX; or the routes' totals
        and polylines (and steps), with the snaps."""
        routes = self.router.route(origin, destination, **given,
                                   timeout_s=self.timeout_s)
        if form == "gpx":
            return routes.to_gpx().encode("utf-8")
        ends = _snaps(routes.origin, routes.destination) | {"risk_layer": routes.risk}
        if form == "geojson":
            return dumps(routes.to_geojson(steps=steps) | ends)
        precision = int(form.removeprefix("polyline"))
        lines = []
        for route in routes:
            line = _geojson.totals(route) | {
                "streets": route.streets, "polyline": route.polyline(precision)
            } | _geojson.legs(route)
            if steps:
                line["steps"] = route.step_dicts()
            lines.append(line)
        return dumps({"precision": precision, "routes": lines} | ends)

    def _street_network(self) -> StreetNetwork:
        """The street network, drawn from the Router's table the first time
        it is asked for."""
        if self._network is None:
            self._network = StreetNetwork(self.router.table.segments(one_per_pair=True))
        return self._network

    def _answer(self, compute: Callable[[], bytes]) -> Answer:
        """200 with what ``compute`` wrote, or the status of why it could not:
        a value the client sent (ValueError, TypeError) is a 400, a refusal
        of the Router has the status of its kind."""
        try:
            return 200, compute()
        except (RouteTimeoutError, Overtime):
            # The service's own limit, whatever the request's words.
            return overtime(self.timeout_s)
        except (RoutingError, ValueError, TypeError) as error:
            return failures.status_of(error), error_body(str(error))


def _snaps(origin: Snap, destination: Snap) -> dict[str, Any]:
    """The snaps of a request's ends, as the JSON of its answer has them."""
    return {name: _geojson.snap(snap.node, snap.distance_m)
            for name, snap in (("origin", origin), ("destination", destination))}
