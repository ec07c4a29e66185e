"""A catchment as the GeoJSON of GET /catchment: its street segments, each
with the walk from its start, and the place."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import numpy.typing as npt

from norvel.catchment import Catchment, CatchmentSegments
from norvel.serve.queries import dumps, dumps_array
from norvel.table import NodeTable


class CatchmentTooLarge(ValueError):
    """A catchment holds more nodes than the service answers with."""

    def __init__(self, nodes: int, limit: int) -> None:
        super().__init__(
            f"the catchment holds {nodes} nodes, more than this service's limit "
            f"of {limit} (norvel serve --max-catchment-nodes): ask for fewer "
            f"minutes")


_FEATURE = (b'{"type":"Feature","geometry":{"type":"LineString","coordinates":'
            b'[[%b,%b],[%b,%b]]},"properties":{"tail":%b,"head":%b,"name":%b,'
            b'"minutes":%b,"risk":%b,"detour_m":%b}}')


# The tail's walk within the detour budget, after the other properties.
_DETOUR_PROPERTIES = b',"within_detour_m":%b,"within_detour_risk":%b}}'


def _with_detour(template: bytes, segments: CatchmentSegments) -> bytes:
    """``template`` with the detour's properties where ``segments`` have
    them."""
    if segments.within_detour_m is None:
        return template
    return template[:-2] + _DETOUR_PROPERTIES


def catchment_geojson(catchment: Catchment, table: NodeTable, max_nodes: int) -> bytes:
    """A FeatureCollection with a LineString per segment of
    ``catchment.segments()``, properties ``tail``, ``head``, ``name``,
    ``minutes``, ``risk`` and ``detour_m`` (with ``max_detour``, then
    ``within_detour_m`` and ``within_detour_risk``, null where no walk
    is); and top-level ``place`` (the
    node the place snapped to, its ``lat`` and ``lon``, and ``distance_m``
    to it, from ``table``), ``minutes`` (null for no limit), ``direction``
    and ``nodes`` (how many the catchment holds), and ``max_detour`` where
    one was asked. CatchmentTooLarge beyond ``max_nodes`` nodes."""
    if len(catchment) > max_nodes:
        raise CatchmentTooLarge(len(catchment), max_nodes)
    segments = catchment.segments()
    template = _with_detour(_FEATURE, segments)
    columns = (*_segment_columns(segments), *_detour_columns(segments))
    features = b",".join([template % values for values in zip(*columns)])
    return _collection(features, catchment, table, {})


def _segment_columns(segments: CatchmentSegments) -> tuple[list[bytes], ...]:
    """The JSON texts of each segment's ends, tail, head, name, minutes,
    risk and detour, a column each. Each column is written as one JSON
    array, then cut at its commas (no number holds one) and filled into a
    template: half the time of building a dict per segment for dumps."""
    ends = _float_texts(segments.lines.reshape(-1))
    names: dict[str | None, bytes] = {}
    return (ends[0::4], ends[1::4], ends[2::4], ends[3::4],
            _int_texts(segments.tail.tolist()), _int_texts(segments.head.tolist()),
            [names.get(name) or names.setdefault(name, dumps(name))
             for name in segments.names],
            _float_texts(segments.minutes), _float_texts(segments.risk),
            _float_texts(segments.detour_m))


def _detour_columns(segments: CatchmentSegments) -> tuple[list[bytes], ...]:
    """The JSON texts of each segment's walk within the detour budget
    (metres, risk; null for none), none where no budget was asked."""
    if segments.within_detour_m is None or segments.within_detour_risk is None:
        return ()
    return (_nullable_texts(segments.within_detour_m),
            _nullable_texts(segments.within_detour_risk))


def _collection(features: bytes, catchment: Catchment, table: NodeTable,
                more: dict[str, Any]) -> bytes:
    """The FeatureCollection of the features, with the catchment's place,
    minutes, direction, risk layer (``risk_layer``) and node count, and
    ``more``, as top-level members."""
    place = catchment.place
    lat, lon = table[place.node]
    return (b'{"type":"FeatureCollection","features":[' + features + b"],"
            + dumps({"place": {"node": place.node, "lat": lat, "lon": lon,
                               "distance_m": place.distance_m},
                     "minutes": catchment.minutes if math.isfinite(catchment.minutes)
                     else None,
                     "direction": catchment.direction,
                     "risk_layer": catchment.risk,
                     "nodes": len(catchment), **more,
                     **({} if catchment.max_detour is None
                        else {"max_detour": catchment.max_detour})})[1:])

# Against another catchment: a segment's change in safety detour and in the
# risk of its tail's shortest walk, null where the other lacks the tail.
_CHANGE_FEATURE = (b'{"type":"Feature","geometry":{"type":"LineString","coordinates":'
                   b'[[%b,%b],[%b,%b]]},"properties":{"tail":%b,"head":%b,"name":%b,'
                   b'"minutes":%b,"risk":%b,"detour_m":%b,"detour_change_m":%b,'
                   b'"risk_change":%b}}')


def catchment_change_geojson(catchment: Catchment, other: Catchment, layer: str,
                             table: NodeTable, max_nodes: int) -> bytes:
    """``catchment_geojson`` of ``catchment`` with two more properties per
    segment: ``detour_change_m`` and ``risk_change``, the change in the
    safety detour and in the risk of the shortest walk from its tail,
    ``catchment``'s minus ``other``'s (as ``Catchment.compare`` gives
    them), null where ``other`` does not hold the tail; and top-level
    ``compare``: ``risk`` (``layer``, the other's risk layer), ``nodes``
    (how many the other holds) and ``only_there`` (how many of them
    ``catchment`` does not hold). CatchmentTooLarge beyond ``max_nodes``
    nodes of ``catchment``."""
    if len(catchment) > max_nodes:
        raise CatchmentTooLarge(len(catchment), max_nodes)
    compared = catchment.compare_columns(other)
    segments = catchment.segments()
    # The first rows of the comparison are the catchment's, in its order.
    order = np.argsort(catchment.node_ids, kind="stable")
    rows = order[np.searchsorted(catchment.node_ids[order], segments.tail)]
    columns = (*_segment_columns(segments),
               _nullable_texts(compared["change_detour_m"][rows]),
               _nullable_texts(compared["change_shortest_risk"][rows]),
               *_detour_columns(segments))
    template = _with_detour(_CHANGE_FEATURE, segments)
    features = b",".join([template % values for values in zip(*columns)])
    only_there = int((compared["missing_from"] == "this").sum())
    return _collection(features, catchment, table,
                       {"compare": {"risk": layer, "nodes": len(other),
                                    "only_there": only_there}})


def _nullable_texts(values: npt.NDArray[np.float64]) -> list[bytes]:
    """The JSON text of each float of a 1-d array, null for a NaN."""
    missing = np.isnan(values)
    texts = _float_texts(np.where(missing, 0.0, values))
    return [b"null" if gone else text for gone, text in zip(missing.tolist(), texts)]


def _int_texts(values: list[int]) -> list[bytes]:
    """The JSON text of each integer."""
    return dumps(values)[1:-1].split(b",") if values else []


def _float_texts(values: npt.NDArray[np.float64]) -> list[bytes]:
    """The JSON text of each float of a 1-d array."""
    if not len(values):
        return []
    return dumps_array(np.ascontiguousarray(values))[1:-1].split(b",")
