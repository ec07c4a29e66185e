"""What the API's description says of the graph a service answers on: its
risk layers, the box its nodes lie in, and two real nodes and their points
for the examples. A worker learns it from its Router (``of_router``) and
sends it to the front as JSON, which the front reads back
(``from_json``)."""

from __future__ import annotations

import json
from dataclasses import asdict, dataclass
from typing import TYPE_CHECKING, Any

from norvel._values import DEFAULT_RISK

if TYPE_CHECKING:
    from norvel import Router

#: A bounding box: min lon, min lat, max lon, max lat.
Box = tuple[float, float, float, float]
#: (lat, lon) in degrees.
LatLon = tuple[float, float]

#: Every point there is.
WORLD: Box = (-180.0, -90.0, 180.0, 90.0)
#: How many edges the example destination is from the example origin, at
#: most.
EXAMPLE_EDGES = 20


@dataclass(frozen=True)
class Served:
    """The graph served, as the API's description shows it.

    ``bbox``: the box the graph's nodes lie in; ``origin`` and
    ``destination``: node ids with a route from the first to the second,
    each with an outgoing edge (so that its point snaps to it), at
    ``origin_point`` and ``destination_point``; ``edge_count``: how many
    edges it has (the indices a request may avoid)."""

    risk_layers: tuple[str, ...]
    bbox: Box
    origin: int
    destination: int
    origin_point: LatLon
    destination_point: LatLon
    edge_count: int = 0


#: The bundled sample's (``norvel.datasets.helsinki_walk``): the examples
#: when the graph served cannot say its own, with every point's box.
SAMPLE = Served((DEFAULT_RISK,), WORLD, 6138118389, 1490965433,
                (60.1718, 24.9414), (60.1663, 24.9436))


def of_router(router: Router) -> Served | None:
    """The graph of ``router`` as the description shows it; None for a
    graph with no edge. The origin is the node nearest the middle of the
    graph's box; the destination is reached from it along at most
    ``EXAMPLE_EDGES`` edges, each to the unvisited node farthest from the
    origin. No search runs: this costs the same on any graph."""
    table = router.table
    if not router.edge_count:
        return None
    lats, lons = table.lats, table.lons
    bbox = (float(lons.min()), float(lats.min()), float(lons.max()), float(lats.max()))
    origin = router.nearest((bbox[1] + bbox[3]) / 2, (bbox[0] + bbox[2]) / 2).node
    tails, heads = table.edges
    start = table[origin]
    walked, destination = {origin}, origin
    for _ in range(EXAMPLE_EDGES):
        ahead = [head for head in heads[tails == destination].tolist()
                 if head not in walked and table.has_outgoing(head)]
        if not ahead:
            break
        destination = max(ahead, key=lambda node: _squared_degrees(start, table[node]))
        walked.add(destination)
    return Served(tuple(router.risk_layers), bbox, origin, destination,
                  start, table[destination], router.edge_count)


def _squared_degrees(a: LatLon, b: LatLon) -> float:
    return (a[0] - b[0]) ** 2 + (a[1] - b[1]) ** 2


def to_json(served: Served | None) -> bytes:
    return json.dumps(None if served is None else asdict(served)).encode()


def from_json(body: bytes) -> Served | None:
    """What ``to_json`` wrote; None for a graph that has nothing to show."""
    data: Any = json.loads(body)
    if data is None:
        return None
    return Served(tuple(data["risk_layers"]), tuple(data["bbox"]), data["origin"],
                  data["destination"], tuple(data["origin_point"]),
                  tuple(data["destination_point"]), data.get("edge_count", 0))
