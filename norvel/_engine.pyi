# The norvel package's private binding of the route engine (norvel._engine).
import enum
from collections.abc import Sequence
from typing import Literal, NotRequired, TypedDict, overload

import numpy as np
import numpy.typing as npt

# Metres a minute: a route's time_min is its distance_m divided by this.
WALKING_SPEED_M_PER_MIN: float
# The first bytes of every snapshot file.
SNAPSHOT_MAGIC: bytes

# Why a request has no answer (norvel.failures maps each to its exception).
class FailureKind(enum.Enum):
    node_not_found = 0
    source_isolated = 1
    no_route = 2
    timeout = 3
    # A catchment on a graph with a negative, infinite or NaN cost.
    costs_unsupported = 4

class Failure:
    @property
    def kind(self) -> FailureKind: ...
    # "origin" | "destination" for node_not_found, "" otherwise.
    @property
    def role(self) -> str: ...
    # A catchment of several places: the index of the place concerned.
    @property
    def place(self) -> int: ...

class RouteRow:
    @property
    def type(self) -> str: ...
    @property
    def nodes(self) -> list[int]: ...
    # (lon, lat) of each node.
    @property
    def coordinates(self) -> list[tuple[float, float]]: ...
    @property
    def distance_m(self) -> float: ...
    @property
    def risk(self) -> float: ...
    @property
    def time_min(self) -> float: ...
    @property
    def comfort(self) -> float: ...
    @property
    def familiarity(self) -> float: ...
    @property
    def streets(self) -> list[str]: ...
    # Document indices of the edges taken, in travel order.
    @property
    def edges(self) -> list[int]: ...

class RouteTotals:
    @property
    def type(self) -> str: ...
    @property
    def distance_m(self) -> float: ...
    @property
    def risk(self) -> float: ...
    @property
    def time_min(self) -> float: ...
    @property
    def comfort(self) -> float: ...
    @property
    def familiarity(self) -> float: ...

# A catchment's columns: per node (by shortest distance, then id) its id,
# coordinates and the totals of its three routes; and what the search did.
class CatchmentColumns(TypedDict):
    node: npt.NDArray[np.uint64]
    lat: npt.NDArray[np.float64]
    lon: npt.NDArray[np.float64]
    shortest_m: npt.NDArray[np.float64]
    shortest_risk: npt.NDArray[np.float64]
    safest_m: npt.NDArray[np.float64]
    safest_risk: npt.NDArray[np.float64]
    balanced_m: npt.NDArray[np.float64]
    balanced_risk: npt.NDArray[np.float64]
    # The index, into the places asked, of each route's place.
    shortest_place: npt.NDArray[np.int64]
    safest_place: npt.NDArray[np.int64]
    balanced_place: npt.NDArray[np.int64]
    # The least risky walk within the minutes (or each cutoff: nodes x
    # cutoffs), NaN where none; its place as a float for the NaN.
    within_m: npt.NDArray[np.float64]
    within_risk: npt.NDArray[np.float64]
    within_place: npt.NDArray[np.float64]
    # With max_detour only: the least risky walk within the detour budget.
    within_detour_m: NotRequired[npt.NDArray[np.float64]]
    within_detour_risk: NotRequired[npt.NDArray[np.float64]]
    within_detour_place: NotRequired[npt.NDArray[np.float64]]
    report: dict[str, int | float]

class Graph:
    @staticmethod
    def load(data: bytes | str, names: bool = True, layers: bool = True) -> Graph: ...
    @staticmethod
    def load_taking(held: list[bytes | str]) -> Graph: ...
    @property
    def risk_layers_members(self) -> list[tuple[int, int]]: ...
    # The graph, or (description, version) when the file is no sound
    # snapshot of this format (version: that of another format, else 0).
    @staticmethod
    def open_snapshot(path: str) -> Graph | tuple[str, int]: ...
    def save(self, path: str, source_sha256: bytes) -> None: ...
    @property
    def source_sha256(self) -> bytes | None: ...
    @property
    def mapped(self) -> bool: ...
    @property
    def node_count(self) -> int: ...
    @property
    def edge_count(self) -> int: ...
    @property
    def ids(self) -> npt.NDArray[np.uint64]: ...
    @property
    def listed(self) -> npt.NDArray[np.bool_]: ...
    @property
    def lats(self) -> npt.NDArray[np.float64]: ...
    @property
    def lons(self) -> npt.NDArray[np.float64]: ...
    @property
    def plane_x(self) -> npt.NDArray[np.int32]: ...
    @property
    def plane_y(self) -> npt.NDArray[np.int32]: ...
    @property
    def distance_per_plane_unit(self) -> float: ...
    @property
    def out_begin(self) -> npt.NDArray[np.uint32]: ...
    @property
    def heads(self) -> npt.NDArray[np.uint32]: ...
    @property
    def edge_index(self) -> npt.NDArray[np.uint32]: ...
    @property
    def lengths(self) -> npt.NDArray[np.float64]: ...
    @property
    def risks(self) -> npt.NDArray[np.float64]: ...
    @property
    def familiarity(self) -> npt.NDArray[np.float64]: ...
    @property
    def record_ids(self) -> npt.NDArray[np.uint64]: ...
    @property
    def record_lats(self) -> npt.NDArray[np.float64]: ...
    @property
    def record_lons(self) -> npt.NDArray[np.float64]: ...
    @property
    def has_names(self) -> bool: ...
    @property
    def edge_names(self) -> npt.NDArray[np.uint32]: ...
    def name_table(self) -> list[str]: ...
    def node_index(self, ids: npt.NDArray[np.uint64]) -> npt.NDArray[np.int64]: ...
    # A list or tuple of ints, each an edge, as indices; None otherwise.
    def listed_edges(self, items: object) -> npt.NDArray[np.uint32] | None: ...
    def route(self, source: int, target: int, eps: float,
              timeout_s: float | None = None, risk: str = "default",
              avoid: npt.NDArray[np.uint32] | None = None) -> list[RouteRow] | Failure: ...
    # Every point of the exact front, by distance ascending; type "front"
    # where route chooses none of them.
    def front(self, source: int, target: int,
              timeout_s: float | None = None, risk: str = "default",
              avoid: npt.NDArray[np.uint32] | None = None) -> list[RouteRow] | Failure: ...
    @overload
    def route_many(self, sources: npt.NDArray[np.uint64],
                   targets: npt.NDArray[np.uint64], eps: float, workers: int,
                   timeout_s: float | None = None,
                   paths: Literal[True] = True, risk: str = "default",
                   avoid: npt.NDArray[np.uint32] | None = None
                   ) -> list[list[RouteRow] | Failure]: ...
    @overload
    def route_many(self, sources: npt.NDArray[np.uint64],
                   targets: npt.NDArray[np.uint64], eps: float, workers: int,
                   timeout_s: float | None, paths: Literal[False],
                   risk: str = "default", avoid: npt.NDArray[np.uint32] | None = None
                   ) -> list[list[RouteTotals] | Failure]: ...
    @overload
    def route_many(self, sources: npt.NDArray[np.uint64],
                   targets: npt.NDArray[np.uint64], eps: float, workers: int,
                   timeout_s: float | None, paths: bool,
                   risk: str = "default", avoid: npt.NDArray[np.uint32] | None = None
                   ) -> list[list[RouteRow] | list[RouteTotals] | Failure]: ...
    def route_edges(self, nodes: list[int], distance_m: float, risk: float,
                    familiarity: float) -> list[int]: ...
    def streets(self, nodes: list[int]) -> list[str]: ...
    # Failure kinds besides route's: costs_unsupported.
    def catchment(self, place: int, minutes: float, to_place: bool,
                  timeout_s: float | None = None, risk: str = "default",
                  avoid: npt.NDArray[np.uint32] | None = None,
                  max_detour: float | None = None) -> CatchmentColumns | Failure: ...
    def catchment_places(self, places: Sequence[int], minutes: float,
                         to_place: bool,
                         cutoffs: Sequence[float] | None = None,
                         timeout_s: float | None = None,
                         risk: str = "default",
                         only: Sequence[int] | None = None,
                         avoid: npt.NDArray[np.uint32] | None = None,
                         max_detour: float | None = None,
                         within_minutes: bool = False
                         ) -> CatchmentColumns | Failure: ...
    # Risk layers besides "default" (risk_score): ValueError naming what is
    # wrong with a layer added, or a name unknown to layer_risks.
    def add_risk(self, name: str, values: npt.NDArray[np.float64],
                 hours: tuple[float, float] | None = None) -> None: ...
    @property
    def risk_layers(self) -> list[str]: ...
    # Gives a layer the hours it holds for (ValueError for "default", an
    # unknown layer or an hour outside [0, 24)).
    def set_hours(self, name: str, start: float, end: float) -> None: ...
    # (name, start, end) of each layer with hours, in the order the layers
    # came.
    @property
    def layer_hours(self) -> list[tuple[str, float, float]]: ...
    def layer_risks(self, name: str) -> npt.NDArray[np.float64]: ...

# Why a name cannot name a risk layer ('' when it can).
def layer_name_fault(name: str) -> str: ...

# The front of the walks joining a first leg's routes (their sums, in front
# order) with a route of each of `legs` (each route's edges): per walk, the
# position of its route in each leg (a row of picks) and its sums.
def join_walks(distance_m: Sequence[float], risk: Sequence[float],
               familiarity: Sequence[float],
               legs: list[list[list[int]]],
               lengths: npt.NDArray[np.float64], risks: npt.NDArray[np.float64],
               edge_familiarity: npt.NDArray[np.float64] | None
               ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64],
                          npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...

class NearestIndex:
    def __init__(self, graph: Graph) -> None: ...
    @property
    def size(self) -> int: ...
    def query(self, lats: npt.NDArray[np.float64], lons: npt.NDArray[np.float64],
              avoid: npt.NDArray[np.uint32] | None = None
              ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float64]]: ...

