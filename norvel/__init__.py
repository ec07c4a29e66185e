"""Companion of the ``norvel_core`` extension module, in pure Python.

- ``norvel.Router``: a graph with its coordinates, for routes between node
  ids or (lat, lon) points; ``Routes`` and ``Route`` hold the answer, as
  GeoJSON or a GeoDataFrame (extra ``geopandas``) too; ``Route.steps``
  gives directions (``norvel.Step``), ``Route.polyline()`` and
  ``Routes.to_gpx()`` the forms navigation apps exchange.
- ``router.catchment(place, minutes)``: every walk to (or from) one place
  within a time, each node with its three routes' totals (a
  ``norvel.Catchment``).
- ``norvel.access(router, origins, places, minutes)``: who lives within a
  walk of a set of places (schools, say), weighted by a column such as
  population, and by how safe a walk (a ``norvel.Access``; module
  ``norvel.accessibility``).
- ``router.add_risk(name, values)``, ``router.risk_layers``,
  ``router.edges()``: risk layers beside the document's ``risk_score``,
  which every request searches on with ``risk=NAME``.
- ``norvel.errors``: the typed errors of routing (``RoutingError`` and its
  subclasses) and ``UnknownRiskLayerError``, also importable from
  ``norvel``.
- ``norvel.load_graph(path)``: a ``PyGraph`` from a ``.json`` or ``.json.gz``
  graph document.
- ``norvel.osm``: OpenStreetMap extracts to graph documents (extra ``osm``).
- ``norvel.geo``: node coordinates, routes as GeoJSON.
- ``norvel.plot``: a map picture of routes (extra ``plot``).
- ``norvel.risk``: risk layers from observed incidents (extra ``geopandas``).
- ``norvel.batch``: many pairs at once, locally or on a Dask cluster
  (extras ``batch`` and ``dask``).
- ``norvel.datasets.helsinki_walk()``: the path of the bundled sample graph.
- ``norvel.check_document(path)``: the problems of a graph document
  (``norvel.checks`` says which, and how grave).

The submodules are imported on demand, so that each needs only its own extra.
``norvel.__version__`` is the version of the installed distribution
``norvel_core`` (looked up when first read).
"""

from typing import TYPE_CHECKING

from norvel._files import load_graph, read_graph_bytes
from norvel.accessibility import Access, access
from norvel.catchment import Catchment
from norvel.errors import (NodeNotFoundError, NoRouteError, RoutingError,
                           SnapError, UnknownRiskLayerError)
from norvel.router import Router
from norvel.routes import Leg, Route, Routes, Snap
from norvel.steps import Step
from norvel.table import NodeTable

__all__ = ["Access", "Catchment", "Leg", "NodeNotFoundError", "NoRouteError", "NodeTable", "Route",
           "Router", "Routes", "RoutingError", "Snap", "SnapError", "Step",
           "UnknownRiskLayerError", "access", "load_graph", "read_graph_bytes"]

# The bundled sample and the document checks.
from norvel import datasets
from norvel.checks import Problem, check_document

__all__ += ["Problem", "check_document", "datasets"]

if TYPE_CHECKING:
    __version__: str
    """The version of the installed ``norvel_core`` distribution; run from a
    source tree that is not what was installed, its ``pyproject.toml``
    version with ``+source``."""
else:
    def __getattr__(name: str) -> object:
        # Reading the metadata costs tens of milliseconds: only when asked.
        if name == "__version__":
            from norvel._version import package_version

            return package_version()
        raise AttributeError(f"module 'norvel' has no attribute {name!r}")
